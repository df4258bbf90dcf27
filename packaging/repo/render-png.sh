#!/usr/bin/env bash
# Renders an SVG to a PNG of its own size (times SCALE) with headless
# Chromium, the browser the project already checks its SVGs in.
# Usage: render-png.sh SVG PNG [SCALE]
set -euo pipefail
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: $0 SVG PNG [SCALE]" >&2; exit 2; }
svg="$1" png="$2" scale="${3:-1}"
browser="$(command -v chromium || command -v chromium-browser || true)"
[ -n "$browser" ] || { echo "$0: chromium not found (apt-get install chromium)" >&2; exit 1; }
[ -f "$svg" ] || { echo "$0: no such file: $svg" >&2; exit 1; }

# The outer <svg> element's width and height, in pixels.
size() { sed -n "0,/<svg /{s/.*<svg [^>]*[ \t]$1=[\"']\([0-9.]*\)[\"'].*/\1/p}" "$svg" | head -n 1; }
width="$(size width)" height="$(size height)"
[ -n "$width" ] && [ -n "$height" ] || { echo "$0: $svg: no width and height on <svg>" >&2; exit 1; }

profile="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-chromium.XXXXXX")"
trap 'rm -rf "$profile"' EXIT
rm -f "$png"
"$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --hide-scrollbars --user-data-dir="$profile" --force-device-scale-factor="$scale" \
  --screenshot="$png" --window-size="${width%.*},${height%.*}" \
  "file://$(cd "$(dirname "$svg")" && pwd)/$(basename "$svg")" >/dev/null 2>&1 || true
[ -s "$png" ] || { echo "$0: chromium wrote no picture of $svg" >&2; exit 1; }
