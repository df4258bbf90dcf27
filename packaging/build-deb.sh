#!/usr/bin/env bash
# Lays out Thrumline's Debian package for jailbroken iPhones and builds it
# with dpkg-deb. Prints the path of the .deb it wrote.
#
# Usage: build-deb.sh --dylib PATH [--out DIR]
#   --dylib  the built Thrumline.dylib (arm64, signed)
#   --out    where to put the .deb (default: the current folder)
#
# The package holds:
#   /Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib   the library
#   /Library/MobileSubstrate/DynamicLibraries/Thrumline.plist   loads it into SpringBoard only
#   /Library/PreferenceLoader/Preferences/...                  the settings pane (layout/)
# and DEBIAN/control and DEBIAN/postinst from this folder.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"

usage() {
  echo "usage: $0 --dylib PATH [--out DIR]" >&2
  exit 2
}

dylib=""
out="."
while [ $# -gt 0 ]; do
  case "$1" in
    --dylib) [ $# -ge 2 ] || usage; dylib="$2"; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out="$2"; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$dylib" ] || usage
if [ ! -f "$dylib" ]; then
  echo "$0: no such file: $dylib" >&2
  exit 1
fi
command -v dpkg-deb >/dev/null || { echo "$0: dpkg-deb not found (Debian: apt-get install dpkg; macOS: brew install dpkg)" >&2; exit 1; }

field() { sed -n "s/^$1: *//p" "$here/control" | head -n 1; }
package="$(field Package)"
version="$(field Version)"
architecture="$(field Architecture)"

stage="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-deb.XXXXXX")"
trap 'rm -rf "$stage"' EXIT

# Folders 0755 and files 0644 whatever the umask; only the library and the
# maintainer script are executable.
mkdir -p "$stage/DEBIAN" "$stage/Library/MobileSubstrate/DynamicLibraries"
cp "$here/control" "$stage/DEBIAN/control"
cp "$here/postinst" "$stage/DEBIAN/postinst"
cp "$dylib" "$stage/Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib"
cp "$here/Thrumline.plist" "$stage/Library/MobileSubstrate/DynamicLibraries/Thrumline.plist"
if [ -d "$top/layout" ]; then
  (cd "$top/layout" && find . -type f ! -name '.*' -print0 | while IFS= read -r -d '' f; do
    mkdir -p "$stage/$(dirname "$f")"
    cp "$f" "$stage/$f"
  done)
fi
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage/DEBIAN/postinst" "$stage/Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib"

mkdir -p "$out"
deb="$(cd "$out" && pwd)/${package}_${version}_${architecture}.deb"
# gzip: the dpkg of older jailbreaks reads neither xz nor zstd.
dpkg-deb --root-owner-group -Zgzip --build "$stage" "$deb" >/dev/null
echo "$deb"
