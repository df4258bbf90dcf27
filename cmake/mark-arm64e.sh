#!/bin/sh
# Marks a thin arm64 Mach-O file that ld64.lld linked from arm64e objects as
# arm64e (cpusubtype 0x80000002: arm64e with the pointer-authentication ABI
# flag, ABI version 0, as Apple's linker writes it for iOS 14 and later),
# then signs it again over the changed header: llvm-objcopy writes a new
# ad-hoc signature for a file the linker signed.
# Usage: mark-arm64e.sh FILE LLVM-OBJCOPY
set -eu
[ $# -eq 2 ] || { echo "usage: $0 FILE LLVM-OBJCOPY" >&2; exit 2; }
file=$1
objcopy=$2
header=$(od -An -tx1 -N12 "$file" | tr -d ' \n')
case "$header" in
  cffaedfe0c00000100000000) ;;  # MH_MAGIC_64, CPU_TYPE_ARM64, CPU_SUBTYPE_ARM64_ALL
  *) echo "$file: not a thin arm64 Mach-O file of subtype ALL (header $header)" >&2; exit 1 ;;
esac
printf '\002\000\000\200' | dd of="$file" bs=1 seek=8 count=4 conv=notrunc status=none
"$objcopy" "$file"
