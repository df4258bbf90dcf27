#!/usr/bin/env bash
# Builds and runs the benchmarks in full, then prints what the library adds
# to the host and the ratios against the goals (docs/performance.md).
# Usage: bench/run-benchmarks.sh [REPETITIONS] [extra Google Benchmark flags]
#   REPETITIONS  default 5; each figure is the median, benchmarks interleaved
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$top/scripts/packages.sh"

repetitions="${1:-5}"
shift || true
case "$repetitions" in
  ''|*[!0-9]*) echo "usage: $0 [REPETITIONS] [benchmark flags...]" >&2; exit 2 ;;
esac

"$top/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" libbenchmark-dev

build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHRUMLINE_BUILD_TESTS=OFF >/dev/null
jobs="$(nproc)"
[ "$jobs" -gt 2 ] && jobs=2
cmake --build "$build" -j"$jobs" --target thrumline_bench

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; $(uname -sr); $(c++ --version | head -n1)"
# The Google Benchmark of Debian 12 says it was built for debugging; that
# concerns its own bookkeeping, not the code measured.
"$build/bench/thrumline_bench" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.2 "$@"
