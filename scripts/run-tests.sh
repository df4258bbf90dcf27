#!/usr/bin/env bash
# Builds everything and runs the test suite.
# Usage: run-tests.sh [--sanitize] [--long]
#   --sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer
#   --long      also run the long soak and fuzzing runs (label "long")
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$here/packages.sh"

sanitize=OFF
labels=(-LE long)
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=ON ;;
    --long) labels=() ;;
    *) echo "usage: $0 [--sanitize] [--long]" >&2; exit 2 ;;
  esac
done
"$here/ensure-packages.sh" "${TEST_PACKAGES[@]}"

build="$top/build/tests"
[ "$sanitize" = ON ] && build="$top/build/tests-asan"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHRUMLINE_WERROR=ON \
      -DTHRUMLINE_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${labels[@]}"
