#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: the simulated-platform
# tests, the POSIX port tests, the end-to-end runs of the Linux binary and of the Windows
# exe under wine, the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the check that the committed example images match their source.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test (warnings as errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DISP2313_WERROR=ON
cmake --build build -j"$jobs"
# wine's i386 side under emulation now and then loses its wineserver: a failed case is run again.
(cd build && ctest --output-on-failure -j"$jobs" --repeat until-pass:4)

echo "== 32-bit Windows cross build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DISP2313_WERROR=ON
cmake --build build-win -j"$jobs"
file build-win/isp2313.exe | grep -q 'PE32 executable (console) Intel 80386'

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DISP2313_WERROR=ON -DISP2313_SANITIZE=ON -DISP2313_E2E=OFF
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "== example images rebuilt from source"
examples/check-images.sh
