#!/usr/bin/env bash
# Builds the package with a stand-in file in place of Thrumline.dylib and
# checks it the way dpkg on the phone will see it: control fields, files,
# owners and modes, the filter, the compression, and the maintainer script.
# Usage: package-test.sh EXPECTED_VERSION
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packaging="$(dirname "$here")"
expected_version="${1:?usage: $0 EXPECTED_VERSION}"

work="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-package-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
equals() { [ "$1" = "$2" ] || { echo "  expected [$2], got [$1]"; return 1; }; }

# --- The script refuses what it cannot package ---
check "no --dylib is refused" bash -c "! bash '$packaging/build-deb.sh' --out '$work' 2>/dev/null"
check "a missing dylib is refused" \
  bash -c "! bash '$packaging/build-deb.sh' --dylib '$work/none' --out '$work' 2>/dev/null"

# --- Build with a stand-in library ---
printf 'stand-in for the arm64 Thrumline.dylib\n' > "$work/Thrumline.dylib"
deb="$(umask 077 && bash "$packaging/build-deb.sh" --dylib "$work/Thrumline.dylib" --out "$work/out")"
check "the script builds a package" test -f "$deb"
check "the package is named package_version_architecture.deb" \
  equals "$(basename "$deb")" "com.brindle.thrumline_${expected_version}_iphoneos-arm.deb"

# --- Control fields ---
f() { dpkg-deb --field "$deb" "$1"; }
check "Package" equals "$(f Package)" "com.brindle.thrumline"
check "Name" equals "$(f Name)" "Thrumline"
check "Version matches the project version" equals "$(f Version)" "$expected_version"
check "Architecture" equals "$(f Architecture)" "iphoneos-arm"
check "Section" equals "$(f Section)" "Tweaks"
check "Depends on mobilesubstrate" bash -c "dpkg-deb --field '$deb' Depends | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' | grep -qx mobilesubstrate"
for field in Description Maintainer Author; do
  check "$field is set" test -n "$(f "$field")"
done

# --- Files, owners and modes ---
listing="$(dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' | sort -k3)"
expected_listing="$(sort -k3 <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./Library/
drwxr-xr-x root/root ./Library/MobileSubstrate/
drwxr-xr-x root/root ./Library/MobileSubstrate/DynamicLibraries/
-rwxr-xr-x root/root ./Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib
-rw-r--r-- root/root ./Library/MobileSubstrate/DynamicLibraries/Thrumline.plist
drwxr-xr-x root/root ./Library/PreferenceLoader/
drwxr-xr-x root/root ./Library/PreferenceLoader/Preferences/
-rw-r--r-- root/root ./Library/PreferenceLoader/Preferences/Thrumline.plist
EOF
)"
check "exactly the library, its filter and the settings pane, owned by root" \
  equals "$listing" "$expected_listing"

dpkg-deb --extract "$deb" "$work/root"
dpkg-deb --control "$deb" "$work/control"
check "the library is the file given" \
  cmp -s "$work/Thrumline.dylib" "$work/root/Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib"
check "the settings pane is layout/'s" \
  cmp -s "$packaging/../layout/Library/PreferenceLoader/Preferences/Thrumline.plist" \
         "$work/root/Library/PreferenceLoader/Preferences/Thrumline.plist"

# The filter: loaded into SpringBoard and nothing else.
filter="$(tr -d ' \t\n' < "$work/root/Library/MobileSubstrate/DynamicLibraries/Thrumline.plist")"
check "the filter names SpringBoard's bundle only" \
  equals "$filter" '{Filter={Bundles=("com.apple.springboard");};}'

# gzip members: older jailbreaks' dpkg reads neither xz nor zstd.
check "control and data are gzip archives" \
  equals "$(ar t "$deb" | tr '\n' ' ')" "debian-binary control.tar.gz data.tar.gz "

# --- The maintainer script, as dpkg runs it ---
check "postinst is executable" test -x "$work/control/postinst"
check "postinst is the one in packaging/" cmp -s "$work/control/postinst" "$packaging/postinst"
settings="$work/device/var/mobile/Library/Preferences/com.brindle.thrumline.plist"
THRUMLINE_ROOT="$work/device" sh "$work/control/postinst" configure ""
check "postinst configure creates the settings file" test -f "$settings"
check "the settings file is readable by everyone" \
  equals "$(stat -c %a "$settings" 2>/dev/null)" "644"
if [ "$(id -u)" -eq 0 ]; then
  check "the settings file belongs to mobile (501)" equals "$(stat -c %u:%g "$settings")" "501:501"
fi
check "it keeps the respring flag on" \
  bash -c "tr -d ' \t\n' < '$settings' | grep -q '<key>isNotRespringing</key><true/>'"
printf 'kept' > "$settings"
THRUMLINE_ROOT="$work/device" sh "$work/control/postinst" configure "1.0.0"
check "an existing settings file is left alone" equals "$(cat "$settings")" "kept"
rm -f "$settings"
THRUMLINE_ROOT="$work/device" sh "$work/control/postinst" abort-upgrade "1.0.0"
check "postinst does nothing but configure" test ! -e "$settings"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
