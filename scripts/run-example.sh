#!/usr/bin/env bash
# Builds thrumline-sim and replays a bundled scenario through the simulated
# home screen. Usage: run-example.sh [SCENARIO] [thrumline-sim options...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$here/packages.sh"
"$here/ensure-packages.sh" "${BUILD_PACKAGES[@]}"

build="$top/build/example"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTHRUMLINE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target thrumline-sim -j"$(nproc)" >/dev/null

scenario="${1:-$top/examples/call-ios11-patterns.scn}"
[ $# -gt 0 ] && shift
echo "== thrumline-sim $(basename "$scenario")" >&2
exec "$build/simulator/thrumline-sim/thrumline-sim" "$@" "$scenario"
