#!/usr/bin/env bash
# Builds and runs the benchmarks in full, then prints what the library adds
# to the host and the ratios against the goals (docs/performance.md).
# Usage: bench/run-benchmarks.sh [--proof] [REPETITIONS] [extra Google Benchmark flags]
#   --proof      the device backend on GNUstep's Objective-C runtime (the
#                proof build) instead of the simulated host
#   REPETITIONS  default 5 (--proof: 20 shorter ones, for its nanosecond
#                differences); each figure is the median, benchmarks interleaved
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$top/scripts/packages.sh"

proof=no
repetitions=5
min_time=0.2
if [ "${1:-}" = --proof ]; then
  proof=yes
  repetitions=20
  min_time=0.05
  shift
fi
repetitions="${1:-$repetitions}"
shift || true
case "$repetitions" in
  ''|*[!0-9]*) echo "usage: $0 [--proof] [REPETITIONS] [benchmark flags...]" >&2; exit 2 ;;
esac

if [ "$proof" = yes ]; then
  # The proof build is part of the test build.
  "$top/scripts/ensure-packages.sh" "${TEST_PACKAGES[@]}"
  build="$top/build/bench-proof"
  target=thrumline_proof_bench
  folder="$build/gnustep-proof/bench"
  tests=ON
else
  "$top/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" libbenchmark-dev
  build="$top/build/bench"
  target=thrumline_bench
  folder="$build/bench"
  tests=OFF
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHRUMLINE_BUILD_TESTS="$tests" >/dev/null
jobs="$(nproc)"
[ "$jobs" -gt 2 ] && jobs=2
if [ "$proof" = yes ] && ! grep -q '^THRUMLINE_GNUSTEP_PROOF:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "the GNUstep proof build is off in $build (needs gobjc++ and libgnustep-base-dev)" >&2
  exit 1
fi
cmake --build "$build" -j"$jobs" --target "$target"

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; $(uname -sr); $(c++ --version | head -n1)"
# The Google Benchmark of Debian 12 says it was built for debugging; that
# concerns its own bookkeeping, not the code measured. Run from its own
# folder, where the proof build's libraries are found.
cd "$folder"
"./$target" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_min_time="$min_time" "$@"
