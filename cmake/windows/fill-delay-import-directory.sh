#!/usr/bin/env bash
# Points the delay-import directory of a linked MinGW program at its table
# of delay-import descriptors. GNU ld leaves that header entry empty; the
# delay-load helper does not need it, but tools that list a program's
# imports, scripts/build-windows.sh among them, find delay imports only
# through it.
#
#   fill-delay-import-directory.sh PROGRAM NM OBJDUMP
#
# The descriptors are the __DELAY_IMPORT_DESCRIPTOR_* symbols, 32 bytes
# each and side by side, followed by the zero one from
# delay-import-end.cpp. A program without any is left as it is.
set -euo pipefail

program=$1
nm=$2
objdump=$3
descriptor_size=32

# PROGRAM's 4 bytes at OFFSET become VALUE, little-endian; the bytes are
# written as printf escapes, so they are its format.
# shellcheck disable=SC2059
write_u32() {
    local offset=$1 value=$2
    printf "$(printf '\\x%02x' $((value & 255)) $((value >> 8 & 255)) \
        $((value >> 16 & 255)) $((value >> 24 & 255)))" |
        dd of="$program" bs=1 seek="$offset" conv=notrunc status=none
}

base=$("$objdump" -p "$program" | awk '$1 == "ImageBase" { print $2 }')
mapfile -t descriptors < <("$nm" "$program" |
    awk '$3 ~ /^__DELAY_IMPORT_DESCRIPTOR_/ { print $1 }' | sort)
count=${#descriptors[@]}
[ "$count" -gt 0 ] || exit 0
first=$((16#${descriptors[0]} - 16#$base))
last=$((16#${descriptors[count - 1]} - 16#$base))
if [ $((last - first)) -ne $((descriptor_size * (count - 1))) ]; then
    echo "FAILED: the delay-import descriptors of $program are not side by side" >&2
    exit 1
fi
# The PE32+ optional header's data directories start 24 + 112 bytes after
# the PE signature, whose offset the DOS header keeps at 0x3c; the delay
# imports' is the 14th, 8 bytes each.
pe_header=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
directory=$((pe_header + 24 + 112 + 13 * 8))
write_u32 "$directory" "$first"
write_u32 $((directory + 4)) $((descriptor_size * (count + 1)))
