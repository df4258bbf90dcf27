#!/usr/bin/env bash
# Builds Thrumline.dylib and the settings pane for iPhone and both packages
# (rootful, rootless) with the ios-arm64 preset: on Linux with Debian's clang,
# lld and libc++ headers and the stand-in SDK, on macOS with Xcode. Prints
# the packages.
# Usage: build-phone.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
[ $# -eq 0 ] || { echo "usage: $0" >&2; exit 2; }
if [ "$(uname -s)" = Linux ]; then
  . "$here/packages.sh"
  "$here/ensure-packages.sh" "${PHONE_PACKAGES[@]}"
fi

cd "$top"
cmake --preset ios-arm64 >/dev/null
cmake --build --preset ios-arm64 -j"$(getconf _NPROCESSORS_ONLN)" >/dev/null
ls "$top"/build/ios-arm64/packaging/*.deb
