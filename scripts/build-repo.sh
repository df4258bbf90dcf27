#!/usr/bin/env bash
# Builds the package repository users add in Sileo, Zebra, Cydia or
# Installer: a folder of static files for any web server.
#
# Usage: build-repo.sh [--url URL] [OUT] [DEB...]
#   --url  the address OUT will be served at (default http://localhost:8000,
#          for python3 -m http.server 8000 --directory OUT); the packages
#          and depictions point there, so give the one you publish at
#   OUT    the repository folder (default build/repo)
#   DEB    packages to publish, built with packaging/build-deb.sh --repo URL;
#          without any, both are built here (the phone build, ios-arm64)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
usage() { echo "usage: $0 [--url URL] [OUT] [DEB...]" >&2; exit 2; }

url="http://localhost:8000"
if [ "${1:-}" = --url ]; then
  [ $# -ge 2 ] || usage
  url="${2%/}"
  shift 2
fi
case "${1:-}" in -*) usage ;; esac
out="${1:-$top/build/repo}"
[ $# -gt 0 ] && shift
debs=("$@")

if [ "$(uname -s)" = Linux ]; then
  . "$here/packages.sh"
  needed=("${BUILD_PACKAGES[@]}" "${REPO_PACKAGES[@]}")
  [ ${#debs[@]} -gt 0 ] || needed+=("${PHONE_PACKAGES[@]}")
  "$here/ensure-packages.sh" "${needed[@]}"
fi

# thrumline-sim draws the timelines in the screenshots (the same build as
# run-example.sh's).
sim_build="$top/build/example"
cmake -S "$top" -B "$sim_build" -DCMAKE_BUILD_TYPE=Release -DTHRUMLINE_BUILD_TESTS=OFF >/dev/null
cmake --build "$sim_build" --target thrumline-sim -j"$(getconf _NPROCESSORS_ONLN)" >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-build-repo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
if [ ${#debs[@]} -eq 0 ]; then
  phone="$top/build/ios-arm64"
  (cd "$top" && cmake --preset ios-arm64 >/dev/null &&
   cmake --build --preset ios-arm64 -j"$(getconf _NPROCESSORS_ONLN)" >/dev/null)
  mapfile -t debs < <(bash "$top/packaging/build-deb.sh" --repo "$url" --out "$work" \
    --rootful "$phone/tweak/Thrumline/Thrumline.dylib" \
    --rootless "$phone/tweak/Thrumline-rootless/Thrumline.dylib" \
    --pane "$phone/pane/Thrumline.bundle/Thrumline")
fi

bash "$top/packaging/repo/make-repo.sh" --url "$url" --sim "$sim_build/simulator/thrumline-sim/thrumline-sim" \
  --out "$out" "${debs[@]}" >/dev/null
echo "Repository for $url in $out:"
(cd "$out" && ls -d Release Packages* debs/* CydiaIcon.png depiction/*.json depiction/*.html)
