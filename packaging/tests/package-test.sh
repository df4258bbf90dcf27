#!/usr/bin/env bash
# Checks the packages the way dpkg on the phone will see them: control
# fields, files, owners and modes, the library and the settings pane, the
# filter, the compression, and the maintainer script run by a POSIX shell
# (dash), for both schemes.
#
# Usage: package-test.sh VERSION
#          builds both packages from stand-in files, after checking that the
#          script refuses what it cannot package
#        package-test.sh VERSION --built DEB_DIR ROOTFUL_DYLIB ROOTLESS_DYLIB PANE
#          checks the packages the phone build made from those libraries and
#          the pane's executable
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packaging="$(dirname "$here")"
pane_sources="$(dirname "$packaging")/pane"
layout="$(dirname "$packaging")/layout"
usage() { echo "usage: $0 VERSION [--built DEB_DIR ROOTFUL_DYLIB ROOTLESS_DYLIB PANE]" >&2; exit 2; }
[ $# -eq 1 ] || { [ $# -eq 6 ] && [ "$2" = --built ]; } || usage
expected_version="$1"
command -v dash >/dev/null || { echo "$0: dash not found (apt-get install dash)" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-package-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT

. "$here/checks.sh"

if [ $# -eq 6 ]; then
  debs="$3"
  rootful_dylib="$4"
  rootless_dylib="$5"
  pane="$6"
else
  # --- The script refuses what it cannot package ---
  build="$packaging/build-deb.sh"
  # Stand-ins with the Mach-O headers the script reads: a thin arm64 image,
  # and a fat file of arm64 and arm64e (cpu type, subtype, offset, size, align).
  thin='\xcf\xfa\xed\xfe\x0c\x00\x00\x01\x00\x00\x00\x00'
  fat='\xca\xfe\xba\xbe\x00\x00\x00\x02'\
'\x01\x00\x00\x0c\x00\x00\x00\x00\x00\x00\x10\x00\x00\x00\x00\x0c\x00\x00\x00\x0e'\
'\x01\x00\x00\x0c\x80\x00\x00\x02\x00\x00\x20\x00\x00\x00\x00\x0c\x00\x00\x00\x0e'
  # shellcheck disable=SC2059  # the header is the format
  stand_in() { printf "$1"; echo "stand-in for $2"; }  # stand_in HEADER WHAT
  stand_in "$thin" "the rootful Thrumline.dylib" > "$work/rootful.dylib"
  stand_in "$fat" "the settings pane" > "$work/pane"
  printf 'not a Mach-O file\n' > "$work/text"
  for refused in "--pane $work/pane --out $work" "--pane $work/pane --rootful $work/none --out $work" \
                 "--rootful $work/rootful.dylib --out $work" \
                 "--pane $work/none --rootful $work/rootful.dylib --out $work" \
                 "--pane $work/pane --dylib $work/rootful.dylib --scheme sideways" \
                 "--pane $work/pane --dylib $work/rootful.dylib --rootful $work/rootful.dylib" \
                 "--pane $work/pane --rootful" "--pane $work/pane --rootful $work/text --out $work" \
                 "--pane $work/text --rootful $work/rootful.dylib --out $work"; do
    # shellcheck disable=SC2086  # the options are split on purpose
    check "build-deb.sh $refused is refused" bash -c "! bash '$build' $refused 2>/dev/null"
  done
  # --- Build with stand-in binaries ---
  stand_in "$fat" "the rootless Thrumline.dylib" > "$work/rootless.dylib"
  debs="$work/out"
  (umask 077 && bash "$build" --rootful "$work/rootful.dylib" --rootless "$work/rootless.dylib" \
                              --pane "$work/pane" --out "$debs") > "$work/built"
  check "the script prints the two packages it built" equals "$(wc -l < "$work/built")" "2"
  # One package alone, named by its scheme, is the same package.
  bash "$build" --dylib "$work/rootless.dylib" --scheme rootless --pane "$work/pane" \
    --out "$work/alone" >/dev/null
  check "--dylib --scheme rootless builds the rootless package alone" \
    equals "$(ls "$work/alone")" "com.brindle.thrumline_${expected_version}_iphoneos-arm64.deb"
  rootful_dylib="$work/rootful.dylib"
  rootless_dylib="$work/rootless.dylib"
  pane="$work/pane"
fi
# Which phones each package serves: what its library and the pane both hold.
# The phone build is fat; the stand-ins are an arm64 library (rootful) and a
# fat one (rootless).
both="Built for arm64 and arm64e: serves arm64 phones (A7 to A11, up to"
rootful_serves="$both"
rootless_serves="$both"
[ $# -eq 6 ] || rootful_serves="Built for arm64 only: serves phones with an A11 chip or older"

# check_package SCHEME ARCHITECTURE ROOT DEPENDS SHELL DYLIB SERVES
check_package() {
  local scheme="$1" architecture="$2" root="$3" depends="$4" shell="$5" dylib="$6" serves="$7"
  local deb="$debs/com.brindle.thrumline_${expected_version}_${architecture}.deb"
  local tweaks=".$root/Library/MobileSubstrate/DynamicLibraries"
  local bundle=".$root/Library/PreferenceBundles/Thrumline.bundle"
  echo "--- $scheme: $(basename "$deb")"
  check "$scheme: the package is named package_version_architecture.deb" test -f "$deb"
  [ -f "$deb" ] || return

  f() { dpkg-deb --field "$deb" "$1"; }
  check "$scheme: Package" equals "$(f Package)" "com.brindle.thrumline"
  check "$scheme: Name" equals "$(f Name)" "Thrumline"
  check "$scheme: Version matches the project version" equals "$(f Version)" "$expected_version"
  check "$scheme: Architecture" equals "$(f Architecture)" "$architecture"
  check "$scheme: Section" equals "$(f Section)" "Tweaks"
  check "$scheme: Depends: $depends" equals "$(f Depends)" "$depends"
  check "$scheme: the Description says which phones it serves first" \
    equals "$(f Description | sed -n 2p)" " $serves"
  if [ "$serves" = "$both" ]; then
    local ios
    ios="$(sed -n 's/.*firmware (>= \([0-9]*\)\.0).*/\1/p' <<< "$depends")"
    check "$scheme: arm64 phones on iOS $ios and later, arm64e phones on iOS 14 and later" \
      equals "$(f Description | sed -n '2,5p' | sed 's/^ //' | tr '\n' ' ')" \
      "$both iPhone X) on iOS $ios and later, and arm64e phones (A12 and later, iPhone XS, XR and newer) on iOS 14 and later. A12 and later phones on iOS 12 and 13 are not served: their arm64e ABI differs. "
  fi
  for field in Maintainer Author; do
    check "$scheme: $field is set" test -n "$(f "$field")"
  done

  # Every folder on the way to the scheme's root, then the files.
  local listing expected="" path="."
  listing="$(dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' | sort -k3)"
  for part in "" ${root//\// }; do
    [ -n "$part" ] && path="$path/$part"
    expected+="drwxr-xr-x root/root $path/"$'\n'
  done
  expected+="$(sed "s|\./|.$root/|" <<'EOF_LISTING'
drwxr-xr-x root/root ./Library/
drwxr-xr-x root/root ./Library/MobileSubstrate/
drwxr-xr-x root/root ./Library/MobileSubstrate/DynamicLibraries/
-rwxr-xr-x root/root ./Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib
-rw-r--r-- root/root ./Library/MobileSubstrate/DynamicLibraries/Thrumline.plist
drwxr-xr-x root/root ./Library/PreferenceBundles/
drwxr-xr-x root/root ./Library/PreferenceBundles/Thrumline.bundle/
-rw-r--r-- root/root ./Library/PreferenceBundles/Thrumline.bundle/Info.plist
-rw-r--r-- root/root ./Library/PreferenceBundles/Thrumline.bundle/Root.plist
-rwxr-xr-x root/root ./Library/PreferenceBundles/Thrumline.bundle/Thrumline
drwxr-xr-x root/root ./Library/PreferenceLoader/
drwxr-xr-x root/root ./Library/PreferenceLoader/Preferences/
-rw-r--r-- root/root ./Library/PreferenceLoader/Preferences/Thrumline.plist
EOF_LISTING
)"
  check "$scheme: exactly the library, its filter, the pane's bundle and entry under ${root:-/}, owned by root" \
    equals "$listing" "$(sort -k3 <<< "$expected")"

  local unpacked="$work/$scheme"
  mkdir -p "$unpacked"
  dpkg-deb --extract "$deb" "$unpacked/root"
  dpkg-deb --control "$deb" "$unpacked/control"
  check "$scheme: the library is the one built for the scheme" \
    cmp -s "$dylib" "$unpacked/root/$tweaks/Thrumline.dylib"
  check "$scheme: the pane's executable is the one built" cmp -s "$pane" "$unpacked/root/$bundle/Thrumline"
  for plist in Info Root; do
    check "$scheme: the pane's $plist.plist is pane/Resources'" \
      cmp -s "$pane_sources/Resources/$plist.plist" "$unpacked/root/$bundle/$plist.plist"
  done
  check "$scheme: the pane's entry in Settings is layout/'s" \
    cmp -s "$layout/Library/PreferenceLoader/Preferences/Thrumline.plist" \
           "$unpacked/root/.$root/Library/PreferenceLoader/Preferences/Thrumline.plist"
  # The filter: loaded into SpringBoard and nothing else.
  check "$scheme: the filter names SpringBoard's bundle only" \
    equals "$(tr -d ' \t\n' < "$unpacked/root/$tweaks/Thrumline.plist")" \
           '{Filter={Bundles=("com.apple.springboard");};}'
  # gzip members: older jailbreaks' dpkg reads neither xz nor zstd.
  check "$scheme: control and data are gzip archives" \
    equals "$(ar t "$deb" | tr '\n' ' ')" "debian-binary control.tar.gz data.tar.gz "

  # --- The maintainer script, as the phone's shell runs it ---
  local postinst="$unpacked/control/postinst"
  check "$scheme: postinst is executable" test -x "$postinst"
  check "$scheme: postinst runs the phone's $shell" equals "$(head -n 1 "$postinst")" "#!$shell"
  check "$scheme: postinst is layout/'s past its first line" \
    cmp -s <(tail -n +2 "$postinst") <(tail -n +2 "$layout/DEBIAN/postinst")
  local device="$unpacked/device"
  local settings="$device/var/mobile/Library/Preferences/com.brindle.thrumline.plist"
  THRUMLINE_ROOT="$device" dash "$postinst" configure ""
  check "$scheme: postinst configure creates /var/mobile's settings file" test -f "$settings"
  check "$scheme: the settings file is readable by everyone" \
    equals "$(stat -c %a "$settings" 2>/dev/null)" "644"
  if [ "$(id -u)" -eq 0 ]; then
    check "$scheme: the settings file belongs to mobile (501)" \
      equals "$(stat -c %u:%g "$settings" 2>/dev/null)" "501:501"
  fi
  check "$scheme: it keeps the respring flag on" \
    bash -c "tr -d ' \t\n' < '$settings' | grep -q '<key>isNotRespringing</key><true/>'"
  printf 'kept' > "$settings"
  THRUMLINE_ROOT="$device" dash "$postinst" configure "1.0.0"
  check "$scheme: an existing settings file is left alone" equals "$(cat "$settings")" "kept"
  rm -f "$settings"
  THRUMLINE_ROOT="$device" dash "$postinst" abort-upgrade "1.0.0"
  check "$scheme: postinst does nothing but configure" test ! -e "$settings"
}

# Calls vibrate from iOS 10 on; rootless jailbreaks start at iOS 15. Rootful
# iOS 10 also runs on 32-bit phones, which cannot load an arm64 library.
check_package rootful iphoneos-arm "" \
  "mobilesubstrate, preferenceloader, firmware (>= 10.0), cy+cpu.arm64" /bin/sh "$rootful_dylib" \
  "$rootful_serves"
check_package rootless iphoneos-arm64 /var/jb "mobilesubstrate, preferenceloader, firmware (>= 15.0)" \
  /var/jb/bin/sh "$rootless_dylib" "$rootless_serves"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
