#!/bin/sh
# Rebuilds every example's images (raw .bin, Intel HEX .hex and .eep) from source and checks
# that they are byte for byte the committed ones, and that isp2313 would take the raw ones
# (flash even and at most 2048 bytes, EEPROM at most 127). Needs gcc-avr, avr-libc and
# binutils-avr.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for tool in avr-gcc avr-objcopy make cmp; do
    command -v "$tool" >/dev/null || { echo "check-images: $tool not found (apt-get install gcc-avr avr-libc binutils-avr)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for dir in "$here"/*/; do
    [ -f "$dir/Makefile" ] || continue
    name=$(basename "$dir")
    mkdir "$work/$name"
    make -s -C "$dir" OUT="$work/$name" >/dev/null
    rm -f "$work/$name"/*.elf
    for file in $(cd "$work/$name" && ls *.bin *.hex *.eep 2>/dev/null; cd "$dir" && ls *.bin *.hex *.eep 2>/dev/null); do
        case " ${seen:-} " in *" $name/$file "*) continue ;; esac
        seen="${seen:-} $name/$file"
        if ! cmp -s "$work/$name/$file" "$dir$file"; then
            echo "check-images: $name/$file differs from a fresh build (or is missing on one side)" >&2
            status=1
            continue
        fi
        size=$(wc -c < "$dir$file")
        case "$file" in
        *.hex | *.eep) ;;
        *eeprom*) [ "$size" -le 127 ] || { echo "check-images: $name/$file: $size bytes, isp2313 takes at most 127" >&2; status=1; } ;;
        *) [ $((size % 2)) -eq 0 ] && [ "$size" -le 2048 ] || { echo "check-images: $name/$file: $size bytes, not an even size up to 2048" >&2; status=1; } ;;
        esac
    done
    [ $status -eq 0 ] && echo "check-images: $name: images match the source"
done
exit $status
