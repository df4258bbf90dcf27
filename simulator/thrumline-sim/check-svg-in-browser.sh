#!/usr/bin/env bash
# Renders thrumline-sim's SVG timelines in a real browser (Debian's chromium,
# headless) and checks the screenshots: the picture must show the pattern
# bars, and the classic pulse markers where the scenario has classic pulses.
# Not part of the default test run: it needs chromium
# (apt-get install -y chromium).
#
# Usage: simulator/thrumline-sim/check-svg-in-browser.sh [BUILD_DIR] [OUT_DIR]
#   BUILD_DIR  a build with thrumline-sim built (default: build/tests, the test build)
#   OUT_DIR    where the SVGs and PNGs are kept to look at (default: a new
#              temporary folder, printed at the end)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/../.." && pwd)"
build="${1:-$top/build/tests}"
out="${2:-$(mktemp -d /tmp/thrumline-svg-XXXXXX)}"
tool="$build/simulator/thrumline-sim/thrumline-sim"
browser="$(command -v chromium || command -v chromium-browser || true)"

[ -x "$tool" ] || { echo "no thrumline-sim in $build (build the thrumline-sim target)" >&2; exit 2; }
[ -n "$browser" ] || { echo "chromium is missing: apt-get install -y chromium" >&2; exit 2; }
mkdir -p "$out"

# scenario, then the colours that must appear: pattern bars (e8590c) and,
# for classic output, pulse markers (1c7ed6).
checks=(
  "call-ios11-patterns e8590c"
  "respring-guard e8590c"
  "classic-chains 1c7ed6"
  "previews e8590c"
)

failed=0
for check in "${checks[@]}"; do
  read -r name colours <<<"$check"
  svg="$out/$name.svg"
  png="$out/$name.png"
  "$tool" --svg "$svg" "$top/examples/$name.scn" >/dev/null
  height="$(sed -n 's/.*<svg [^>]*height="\([0-9.]*\)".*/\1/p' "$svg" | head -1)"
  profile="$(mktemp -d)"
  "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --hide-scrollbars --user-data-dir="$profile" --screenshot="$png" \
    --window-size="1200,${height%.*}" "file://$svg" >/dev/null 2>&1 || true
  rm -rf "$profile"
  if python3 "$here/check-png.py" "$png" $colours; then
    echo "ok      $name  ($png)"
  else
    echo "FAILED  $name  ($png)"
    failed=1
  fi
done
echo "SVGs and screenshots: $out"
exit "$failed"
