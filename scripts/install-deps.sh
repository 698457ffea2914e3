#!/usr/bin/env bash
# Installs what building and testing isp2313 needs on Debian (run as root).
# wine and its 32-bit half run the Windows exe in the end-to-end tests; a missing wine
# fails here, loudly, rather than letting those tests skip.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq \
    cmake make g++ libgtest-dev googletest \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64-win32 \
    gcc-multilib g++-multilib \
    wine wine64 wine32:i386 qemu-user-static \
    gcc-avr avr-libc binutils-avr \
    sigrok-cli util-linux file
command -v wine >/dev/null || { echo "install-deps: wine is missing" >&2; exit 1; }
test -x /usr/lib/wine/wine64 || { echo "install-deps: wine64 is missing" >&2; exit 1; }
test -x /usr/lib/wine/wine || { echo "install-deps: wine32 is missing" >&2; exit 1; }
command -v x86_64-w64-mingw32-g++ >/dev/null || { echo "install-deps: x86-64 mingw-w64 is missing" >&2; exit 1; }
