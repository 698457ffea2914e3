#!/usr/bin/env bash
# Builds everything with warnings as errors and every part required, and runs every test
# once: the simulated-platform tests, the POSIX port tests, the end-to-end runs of the
# Linux binary and of the Windows exes under wine, the same tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the check that the committed example
# images match their source. Then makes the .deb and the Windows zip, installs the .deb
# (dpkg -i, as root) and runs what it installed. At its end, pass or fail, a table of the
# time each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
# The end-to-end cases of the 32-bit exe, which runs under wine's i386 side in qemu here.
emulated='/wine32'

# stage NAME: the stage before ends, NAME begins.
stage_names=()
stage_seconds=()
stage_start=$SECONDS
stage() {
    if [ ${#stage_names[@]} -gt 0 ]; then
        stage_seconds+=($((SECONDS - stage_start)))
    fi
    stage_start=$SECONDS
    stage_names+=("$1")
    echo "== $1"
}
stage_table() {
    local status=$? i
    [ ${#stage_seconds[@]} -lt ${#stage_names[@]} ] && stage_seconds+=($((SECONDS - stage_start)))
    echo
    echo "test.sh: $([ $status = 0 ] && echo passed || echo FAILED) in $((SECONDS / 60)) min $((SECONDS % 60)) s"
    for i in "${!stage_names[@]}"; do
        printf '  %5d s  %s\n' "${stage_seconds[$i]}" "${stage_names[$i]}"
    done
}
trap stage_table EXIT

# The tests' scratch files go here; a test run must leave nothing in it.
scratch_tmp() {
    export TMPDIR=$PWD/$1/tmp
    rm -rf "$TMPDIR"
    mkdir -p "$TMPDIR"
}
nothing_left() {
    if [ -n "$(ls -A "$TMPDIR")" ]; then
        echo "test.sh: the tests left files in $TMPDIR:" >&2
        ls -A "$TMPDIR" | head -20 >&2
        exit 1
    fi
}

stage "build (warnings as errors, every part required; the Windows exes too)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DISP2313_WERROR=ON -DISP2313_REQUIRE_ALL=ON
cmake --build build -j"$jobs"

stage "tests, end to end on Linux and wine64"
scratch_tmp build
rm -f build/e2e/reruns.log
(cd build && ctest --output-on-failure -j"$jobs" -E "$emulated")

# Run once each. The harness runs a case's program once more only when the emulator failed
# by its own words, never for a wrong result, and says so in build/e2e/reruns.log.
stage "end to end, the 32-bit exe under emulated wine"
status=0
(cd build && ctest --output-on-failure -j"$jobs" -R "$emulated") || status=$?
if [ -s build/e2e/reruns.log ]; then
    echo "test.sh: runs made once more after the emulator's own failures:"
    cat build/e2e/reruns.log
fi
[ $status = 0 ]
nothing_left

# The shipped exes are the end-to-end tests' 32-bit build: the same tree, toolchain, build
# type and warnings as errors, so they are packaged from there rather than built again.
stage "the 32-bit Windows exes and their zip"
win=build/e2e/win32
for exe in isp2313 isp2313-sim isp2313-probe; do
    file $win/$exe.exe | grep -q 'PE32 executable (console) Intel 80386'
    # Only Windows' own DLLs: FTDI's D2XX library is loaded at run time where it is installed.
    imports=$(i686-w64-mingw32-objdump -p $win/$exe.exe | sed -n 's/^\tDLL Name: //p')
    if grep -viqE '^(kernel32|advapi32|msvcrt|winmm|user32)\.dll$' <<<"$imports"; then
        echo "test.sh: $exe.exe imports more than Windows' own DLLs:" $imports >&2
        exit 1
    fi
done
rm -f $win/isp2313-*-win32.zip
(cd $win && cpack)
zip=$(ls $win/isp2313-*-win32.zip)
listing=$(cmake -E tar tf "$zip")
echo "$listing"
for member in isp2313.exe isp2313-sim.exe isp2313-probe.exe README.txt examples/blink.hex examples/blink.eep; do
    grep -q "/$member\$" <<<"$listing" || { echo "test.sh: $zip lacks $member" >&2; exit 1; }
done
! grep -qi 'ftd2xx' <<<"$listing" || { echo "test.sh: $zip carries a D2XX DLL" >&2; exit 1; }
[ "$(grep -c $'\r$' $win/README.txt)" = "$(wc -l < $win/README.txt)" ] ||
    { echo "test.sh: README.txt in the zip has lines without CR LF" >&2; exit 1; }

stage "the .deb, installed"
(cd build && cpack)
deb=$(ls build/isp2313_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Architecture|Depends):'
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
# FTDI bit-bang: libftdi1 at run time, and the udev rule that opens FTDI devices to dialout.
# (Read whole before grep: grep -q would close the pipe early and pipefail would count it.)
grep -q 'libftdi1-2' <<<"$(dpkg-deb --field "$deb" Depends)" ||
    { echo "test.sh: $deb does not depend on libftdi1-2" >&2; exit 1; }
grep -q ' ./usr/lib/udev/rules.d/60-isp2313-ftdi.rules$' <<<"$contents" ||
    { echo "test.sh: $deb lacks the udev rule for FTDI devices" >&2; exit 1; }
dpkg -i "$deb"
man -w isp2313 isp2313-sim isp2313-probe
examples=/usr/share/doc/isp2313/examples
# The installed tool programs the installed HEX pair as the built one the raw images.
diff <(isp2313-sim --dump 1 $examples/blink.hex $examples/blink.eep 2>&1) \
     <(build/isp2313-sim --dump 1 examples/blink/blink.flash.bin examples/blink/blink.eeprom.bin 2>&1)
echo "installed isp2313-sim: the example programs as from the build"

stage "AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DISP2313_WERROR=ON -DISP2313_SANITIZE=ON -DISP2313_E2E=OFF
cmake --build build-asan -j"$jobs"
scratch_tmp build-asan
(cd build-asan && ctest --output-on-failure -j"$jobs")
nothing_left

stage "example images rebuilt from source"
examples/check-images.sh
