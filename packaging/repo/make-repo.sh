#!/usr/bin/env bash
# Writes a package repository that Sileo, Zebra, Cydia and Installer can
# add, as a folder of static files, from packages built with
# build-deb.sh --repo URL. scripts/build-repo.sh builds those and calls this.
#
# Usage: make-repo.sh --url URL --sim THRUMLINE_SIM --out DIR DEB...
#   --url  the address DIR will be served at (the packages must name it)
#   --sim  thrumline-sim, which draws the timelines in the screenshots
#
# DIR gets, in the flat layout package managers read:
#   Release, Packages, Packages.gz/.bz2/.xz/.zst    the indexes (apt-ftparchive)
#   debs/                                           the packages
#   CydiaIcon.png                                   the repository's icon
#   depiction/PACKAGE.json, PACKAGE.html            Sileo's and the others' pages
#   depiction/header.png, depiction/screenshots/    their pictures
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packaging="$(dirname "$here")"
top="$(dirname "$packaging")"

usage() { echo "usage: $0 --url URL --sim THRUMLINE_SIM --out DIR DEB..." >&2; exit 2; }
url="" sim="" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --url) [ $# -ge 2 ] || usage; url="${2%/}"; shift 2 ;;
    --sim) [ $# -ge 2 ] || usage; sim="$2"; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out="$2"; shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ -n "$url" ] && [ -n "$sim" ] && [ -n "$out" ] && [ $# -gt 0 ] || usage
case "$url" in http://* | https://*) ;; *) echo "$0: --url must be http:// or https://: $url" >&2; exit 2 ;; esac
[ -x "$sim" ] || { echo "$0: thrumline-sim not found: $sim" >&2; exit 1; }
for tool in apt-ftparchive:apt-utils dpkg-deb:dpkg python3:python3 gzip:gzip; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "$0: ${tool%%:*} not found (apt-get install ${tool#*:})" >&2; exit 1; }
done

# Every package must point at this repository's pages, or the managers
# would show another repository's (or none).
for deb in "$@"; do
  [ -f "$deb" ] || { echo "$0: no such file: $deb" >&2; exit 1; }
  package="$(dpkg-deb --field "$deb" Package)"
  for field in "SileoDepiction:$url/depiction/$package.json" "Depiction:$url/depiction/$package.html" \
               "Icon:$url/CydiaIcon.png"; do
    if [ "$(dpkg-deb --field "$deb" "${field%%:*}")" != "${field#*:}" ]; then
      echo "$0: $deb: ${field%%:*} is not ${field#*:} (build it with build-deb.sh --repo $url)" >&2
      exit 1
    fi
  done
done

mkdir -p "$out"
out="$(cd "$out" && pwd)"
rm -rf "$out/debs" "$out/depiction" "$out"/Packages* "$out/Release"
mkdir -p "$out/debs" "$out/depiction/screenshots"
cp "$@" "$out/debs/"

# --- Pictures: the icon, the banner, the settings screen, two call timelines ---
work="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-repo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
shots="$out/depiction/screenshots"
# render SVG PNG [SCALE]: in the background, Chromium's start-up being most
# of the time a picture takes; all are waited for below.
renders=()
render() { bash "$here/render-png.sh" "$@" & renders+=($!); }
render "$here/icon.svg" "$out/CydiaIcon.png"
render "$here/header.svg" "$out/depiction/header.png"
phone=()
settings="$(python3 "$here/draw-settings.py" "$top/pane/Resources/Root.plist" "$work/settings")"
for svg in $settings; do
  name="$(basename "$svg" .svg)"
  render "$svg" "$shots/$name.png" 2
  phone+=(--phone-shot "$shots/$name.png:Settings, Thrumline: screen ${name#settings-}")
done
wide=()
for timeline in "call-patterns:A call in pattern output: two pulses as it connects, one as it ends" \
                "call-classic:The same call in classic output: the system vibration, three times and twice"; do
  name="${timeline%%:*}"
  "$sim" --svg "$work/$name.svg" "$here/$name.scn" >/dev/null
  render "$work/$name.svg" "$shots/$name.png"
  wide+=(--wide-shot "$shots/$name.png:${timeline#*:}")
done
for pid in "${renders[@]}"; do
  wait "$pid" || { echo "$0: a picture could not be rendered" >&2; exit 1; }
done

python3 "$here/depiction.py" --url "$url" --out "$out/depiction" --changes "$packaging/CHANGES.md" \
  "${phone[@]}" "${wide[@]}" "$out"/debs/*.deb

# --- The indexes ---
cd "$out"
apt-ftparchive -o APT::FTPArchive::SHA512=false packages debs > Packages
gzip -9n < Packages > Packages.gz
for form in bzip2:bz2:bzip2 xz:xz:xz-utils zstd:zst:zstd; do
  IFS=: read -r tool suffix debian <<< "$form"
  if command -v "$tool" >/dev/null; then
    "$tool" -9 -c < Packages > "Packages.$suffix"
  else
    echo "$0: $tool not found, so no Packages.$suffix (apt-get install $debian)" >&2
  fi
done
version="$(sed -n 's/^Version: //p' Packages | sort -V | tail -n 1)"
apt-ftparchive -o APT::FTPArchive::SHA512=false \
  -o APT::FTPArchive::Release::Origin=Thrumline -o APT::FTPArchive::Release::Label=Thrumline \
  -o APT::FTPArchive::Release::Suite=stable -o APT::FTPArchive::Release::Version="$version" \
  -o APT::FTPArchive::Release::Codename=ios \
  -o "APT::FTPArchive::Release::Architectures=iphoneos-arm iphoneos-arm64" \
  -o APT::FTPArchive::Release::Components=main \
  -o "APT::FTPArchive::Release::Description=Thrumline: your iPhone vibrates when a call connects and when it ends." \
  release . > "$work/Release"
mv "$work/Release" Release
echo "$out"
