#!/usr/bin/env bash
# Builds everything and runs the test suite.
# Usage: run-tests.sh [--sanitize] [--long] [--ninja]
#   --sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer
#   --long      also run the long soak and fuzzing runs (label "long")
#   --ninja     build with Ninja instead of make, in a build folder of its own
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$here/packages.sh"

sanitize=OFF
labels=(-LE long)
generator=()
packages=("${TEST_PACKAGES[@]}")
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=ON ;;
    --long) labels=() ;;
    --ninja) generator=(-G Ninja); packages+=("${NINJA_PACKAGES[@]}") ;;
    *) echo "usage: $0 [--sanitize] [--long] [--ninja]" >&2; exit 2 ;;
  esac
done
"$here/ensure-packages.sh" "${packages[@]}"

build="$top/build/tests"
[ "$sanitize" = ON ] && build="$top/build/tests-asan"
[ ${#generator[@]} -eq 0 ] || build="$build-ninja"
cmake -S "$top" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHRUMLINE_WERROR=ON \
      -DTHRUMLINE_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${labels[@]}"
