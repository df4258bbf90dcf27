#!/usr/bin/env bash
# Lays out Thrumline's Debian package for jailbroken iPhones and builds it
# with dpkg-deb. Prints the path of each .deb it wrote.
#
# Usage: build-deb.sh --pane PANE [--rootful DYLIB] [--rootless DYLIB] [--out DIR] [--repo URL]
#        build-deb.sh --pane PANE --dylib DYLIB [--scheme rootful|rootless] [--out DIR] [--repo URL]
#   --pane      the settings pane's executable (Thrumline.bundle/Thrumline),
#               the same for both schemes
#   --rootful   Thrumline.dylib built for rootful jailbreaks (files under /)
#   --rootless  Thrumline.dylib built for rootless ones (files under /var/jb)
#   --dylib, --scheme  the same, one package (the scheme defaults to rootful)
#   --out       where to put the packages (default: the current folder)
#   --repo      the address of the package repository that will serve them
#               (scripts/build-repo.sh): adds Icon, Depiction, SileoDepiction
#               and Homepage, the pages package managers show, under URL
#
# Each package is layout/ (the phone's tree: the filter and the pane's entry
# in Settings under Library/, DEBIAN/control and DEBIAN/postinst) laid under
# its scheme's root (/ or /var/jb), with the built files added:
#   Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib   the library
#   Library/PreferenceBundles/Thrumline.bundle/                the settings pane: PANE as
#                                                              Thrumline, pane/Resources' plists
# The control file gets the scheme's architecture and Depends, and the Description
# saying first which phones the package serves: those whose architecture
# (arm64, arm64e) the library and the pane both hold, read from their
# Mach-O headers. The settings file stays in /var/mobile/Library/Preferences
# for both.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"

usage() {
  echo "usage: $0 --pane PANE [--rootful DYLIB] [--rootless DYLIB] [--out DIR] [--repo URL]" >&2
  echo "       $0 --pane PANE --dylib DYLIB [--scheme rootful|rootless] [--out DIR] [--repo URL]" >&2
  exit 2
}

rootful=""
rootless=""
pane=""
dylib=""
scheme=rootful
out="."
repo=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
    --rootful) rootful="$2" ;;
    --rootless) rootless="$2" ;;
    --pane) pane="$2" ;;
    --dylib) dylib="$2" ;;
    --scheme) scheme="$2" ;;
    --out) out="$2" ;;
    --repo) repo="${2%/}" ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$dylib" ]; then
  case "$scheme" in
    rootful) [ -z "$rootful" ] || usage; rootful="$dylib" ;;
    rootless) [ -z "$rootless" ] || usage; rootless="$dylib" ;;
    *) echo "$0: unknown scheme: $scheme (rootful or rootless)" >&2; exit 2 ;;
  esac
fi
[ -n "$rootful$rootless" ] && [ -n "$pane" ] || usage
for file in "$pane" $rootful $rootless; do
  if [ ! -f "$file" ]; then
    echo "$0: no such file: $file" >&2
    exit 1
  fi
done
command -v dpkg-deb >/dev/null || { echo "$0: dpkg-deb not found (Debian: apt-get install dpkg; macOS: brew install dpkg)" >&2; exit 1; }

layout="$top/layout"
field() { sed -n "s/^$1: *//p" "$layout/DEBIAN/control" | head -n 1; }

# u32 FILE OFFSET be|le: the 32-bit number at OFFSET, or failure past the end.
u32() {
  local hex
  hex="$(od -An -tx1 -j "$2" -N4 "$1" | tr -d ' \n')"
  [ ${#hex} -eq 8 ] || return 1
  [ "$3" = be ] || hex="${hex:6:2}${hex:4:2}${hex:2:2}${hex:0:2}"
  echo $((16#$hex))
}
# arch CPUTYPE CPUSUBTYPE: arm64, arm64e or other.
arch() {
  if [ "$1" -ne $((0x0100000C)) ]; then echo other; return; fi
  case $(($2 & 0xFFFFFF)) in 0) echo arm64 ;; 2) echo arm64e ;; *) echo other ;; esac
}
# archs FILE: the architectures a thin or fat Mach-O file holds, one a line.
archs() {
  local magic count i size=20 cpu subtype
  magic="$(u32 "$1" 0 be)" || return 1
  case "$magic" in
    $((0xCFFAEDFE)))
      cpu="$(u32 "$1" 4 le)" && subtype="$(u32 "$1" 8 le)" || return 1
      arch "$cpu" "$subtype" ;;
    $((0xCAFEBABE)) | $((0xCAFEBABF)))
      [ "$magic" -eq $((0xCAFEBABE)) ] || size=32
      count="$(u32 "$1" 4 be)" || return 1
      for ((i = 0; i < count; i++)); do
        cpu="$(u32 "$1" $((8 + size * i)) be)" && subtype="$(u32 "$1" $((12 + size * i)) be)" ||
          return 1
        arch "$cpu" "$subtype"
      done ;;
    *) return 1 ;;
  esac
}
# phones DYLIB IOS: the Description's lines saying which phones the library
# and the pane both serve, in a package for iOS IOS and later. A12 and later
# run SpringBoard and Settings as arm64e, where arm64-only code never loads;
# the arm64e slice is built for iOS 14's arm64e ABI (iOS 12 and 13 had an
# earlier one).
phones() {
  local library panes cpu both=""
  library="$(archs "$1")" || { echo "$0: not a Mach-O file: $1" >&2; return 1; }
  panes="$(archs "$pane")" || { echo "$0: not a Mach-O file: $pane" >&2; return 1; }
  for cpu in arm64 arm64e; do
    if grep -qx "$cpu" <<< "$library" && grep -qx "$cpu" <<< "$panes"; then both+="$cpu "; fi
  done
  case "$both" in
    "arm64 arm64e ") printf '%s\n' "Built for arm64 and arm64e: serves arm64 phones (A7 to A11, up to" \
                                  "iPhone X) on iOS $2 and later, and arm64e phones (A12 and later," \
                                  "iPhone XS, XR and newer) on iOS 14 and later. A12 and later phones" \
                                  "on iOS 12 and 13 are not served: their arm64e ABI differs." ;;
    "arm64 ") printf '%s\n' "Built for arm64 only: serves phones with an A11 chip or older" \
                           "(iPhone X and older); it never loads on A12 and later (iPhone XS, XR" \
                           "and newer)." ;;
    "arm64e ") printf '%s\n' "Built for arm64e only: serves A12 and later phones (iPhone XS, XR and" \
                            "newer); it never loads on A11 and older (iPhone X and older)." ;;
    *) echo "$0: the library ($(echo $library)) and the pane ($(echo $panes)) share no" \
            "iPhone architecture" >&2
       return 1 ;;
  esac
}
package="$(field Package)"
version="$(field Version)"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

stage="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-deb.XXXXXX")"
trap 'rm -rf "$stage"' EXIT

# build_package SCHEME DYLIB ARCHITECTURE ROOT SHELL IOS DEPENDS...: for iOS
# IOS and later, DEPENDS appended to control's Depends.
build_package() {
  local scheme="$1" dylib="$2" architecture="$3" root="$4" shell="$5" ios="$6"
  shift 6
  local depends
  depends="$(printf '%s, ' "$@")"
  depends="${depends%, }"
  local dir="$stage/$scheme"
  local tweaks="$dir$root/Library/MobileSubstrate/DynamicLibraries"
  local bundle="$dir$root/Library/PreferenceBundles/Thrumline.bundle"
  local served
  served="$(phones "$dylib" "$ios")" || exit 1
  mkdir -p "$dir/DEBIAN" "$tweaks" "$bundle"
  # Which phones it serves comes first after the summary: package managers
  # show it before installing.
  sed -e "s/^Architecture: .*/Architecture: $architecture/" \
      -e "s/^Depends: .*/&, $depends/" "$layout/DEBIAN/control" |
    SERVED="$served" awk '{ print }
      /^Description:/ { n = split(ENVIRON["SERVED"], lines, "\n"); for (i = 1; i <= n; i++) print " " lines[i]
                      print " ." }' \
    > "$dir/DEBIAN/control"
  # The phone's shell: rootless jailbreaks have none at /bin/sh.
  sed -e "1s|^#!.*|#!$shell|" "$layout/DEBIAN/postinst" > "$dir/DEBIAN/postinst"
  if [ -n "$repo" ]; then
    # Where scripts/build-repo.sh puts the icon and the depictions.
    {
      echo "Icon: $repo/CydiaIcon.png"
      echo "Depiction: $repo/depiction/$package.html"
      echo "SileoDepiction: $repo/depiction/$package.json"
      echo "Homepage: $repo/depiction/$package.html"
    } >> "$dir/DEBIAN/control"
  fi
  cp -R "$layout/Library/." "$dir$root/Library/"
  cp "$dylib" "$tweaks/Thrumline.dylib"
  cp "$pane" "$bundle/Thrumline"
  cp "$top/pane/Resources/Info.plist" "$top/pane/Resources/Root.plist" "$bundle/"
  # Folders 0755 and files 0644 whatever the umask; only the library, the
  # pane's executable and the maintainer script are executable.
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f -exec chmod 0644 {} +
  chmod 0755 "$dir/DEBIAN/postinst" "$tweaks/Thrumline.dylib" "$bundle/Thrumline"

  local deb="$out/${package}_${version}_${architecture}.deb"
  # gzip: the dpkg of older jailbreaks reads neither xz nor zstd.
  dpkg-deb --root-owner-group -Zgzip --build "$dir" "$deb" >/dev/null
  echo "$deb"
}

# Calls vibrate from iOS 10 on; rootless jailbreaks start at iOS 15. Rootful
# iOS 10 also runs on 32-bit phones (iPhone 5 and 5c), where an arm64 library
# never loads: cy+cpu.arm64 keeps the package off them.
[ -z "$rootful" ] || build_package rootful "$rootful" iphoneos-arm "" /bin/sh 10 \
  "firmware (>= 10.0)" cy+cpu.arm64
[ -z "$rootless" ] || build_package rootless "$rootless" iphoneos-arm64 /var/jb /var/jb/bin/sh 15 \
  "firmware (>= 15.0)"
