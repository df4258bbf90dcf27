#!/usr/bin/env bash
# The arm64e build's check for signed pointers in static data
# (cmake/check-signed-pointers.cmake): an object holding one fails the
# build with the object, the place and the symbol named; objects that make
# their function pointers at run time pass.
# Usage: signed-pointer-check-test.sh CLANG OBJDUMP CHECK WORKDIR
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 CLANG OBJDUMP CHECK WORKDIR" >&2; exit 2; }
clang=$1 objdump=$2 check=$3 work=$4
mkdir -p "$work"
compile() {  # NAME SOURCE
  printf '%s\n' "$2" > "$work/$1.c"
  "$clang" --target=arm64e-apple-ios14.0 -O2 -c "$work/$1.c" -o "$work/$1.o"
}
compile table 'void stepOne(void); void stepTwo(void);
void (*const steps[])(void) = {stepOne, stepTwo};'
compile chosen 'void stepOne(void); void stepTwo(void); void run(void (*)(void));
void pick(int which) { run(which ? stepTwo : stepOne); }'

status=0
if output=$(cmake -DOBJDUMP="$objdump" -P "$check" "$work/chosen.o" "$work/table.o" 2>&1); then
  echo "FAILED: a table of function pointers passed the check"; status=1
else
  for symbol in _stepOne _stepTwo; do
    if grep -q "$work/table.o: __DATA,__const+0x[0-9a-f]*: a signed pointer to $symbol\$" <<< "$output"; then
      echo "ok: names table.o and $symbol"
    else
      echo "FAILED: no line naming table.o and $symbol in:"; echo "$output"; status=1
    fi
  done
  if grep -q "chosen.o" <<< "$output"; then
    echo "FAILED: blames chosen.o, which holds no signed pointer"; status=1
  fi
fi
if output=$(cmake -DOBJDUMP="$objdump" -P "$check" "$work/chosen.o" 2>&1); then
  echo "ok: pointers made at run time pass"
else
  echo "FAILED: chosen.o was refused:"; echo "$output"; status=1
fi
exit $status
