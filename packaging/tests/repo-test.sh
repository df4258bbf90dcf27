#!/usr/bin/env bash
# Proves the package repository with real clients: builds it from the phone
# build's binaries, serves it on 127.0.0.1, and has Debian's apt-get read it
# as a rootless and as a rootful phone would (its own configuration, lists,
# cache and dpkg status, never the machine's), Chromium open its HTML page,
# and Sileo's rules check its native depiction.
#
# Usage: repo-test.sh THRUMLINE_SIM ROOTFUL_DYLIB ROOTLESS_DYLIB PANE
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packaging="$(dirname "$here")"
[ $# -eq 4 ] || { echo "usage: $0 THRUMLINE_SIM ROOTFUL_DYLIB ROOTLESS_DYLIB PANE" >&2; exit 2; }
sim="$1" rootful="$2" rootless="$3" pane="$4"
for tool in apt-get apt-cache apt-ftparchive chromium python3 bzip2 xz zstd; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/thrumline-repo-test.XXXXXX")"
server=""
cleanup() { [ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

. "$here/checks.sh"
fails() { ! "$@" >/dev/null 2>&1; }
quiet() { "$@" > "$work/quiet.log" 2>&1 || { cat "$work/quiet.log"; return 1; }; }

# --- Serve first: the port the system gives decides the repository's URL ---
site="$work/site"
mkdir -p "$site"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$site" > "$work/server.out" 2> "$work/server.log" &
server=$!
for _ in $(seq 600); do
  grep -q " port " "$work/server.out" && break
  sleep 0.1
done
port="$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.out")"
[ -n "$port" ] || { echo "$0: the web server did not start" >&2; cat "$work/server.log" >&2; exit 1; }
url="http://127.0.0.1:$port"

bash "$packaging/build-deb.sh" --repo "$url" --rootful "$rootful" --rootless "$rootless" --pane "$pane" \
  --out "$work/built" >/dev/null || exit 1
repo="$site"
bash "$packaging/repo/make-repo.sh" --url "$url" --sim "$sim" --out "$repo" "$work"/built/*.deb >/dev/null ||
  exit 1
version="$(dpkg-deb --field "$work"/built/*_iphoneos-arm64.deb Version)"

# --- Release: the fields managers show, and every index's size and hashes ---
field() { sed -n "s/^$1: //p" "$repo/Release"; }
for expected in "Origin:Thrumline" "Label:Thrumline" "Suite:stable" "Version:$version" "Codename:ios" \
                "Architectures:iphoneos-arm iphoneos-arm64" "Components:main"; do
  check "Release: ${expected%%:*}" equals "$(field "${expected%%:*}")" "${expected#*:}"
done
check "Release: a Description" test -n "$(field Description)"
check "Release lists each index in every hash, with its size and hash" python3 - "$repo" <<'EOF'
import hashlib, os, sys
repo = sys.argv[1]
indexes = ["Packages", "Packages.gz", "Packages.bz2", "Packages.xz", "Packages.zst"]
lists, current = {}, None
for line in open(os.path.join(repo, "Release")):
    if not line.startswith(" "):
        current = line.split(":")[0] if line.rstrip().endswith(":") else None
        if current:
            lists[current] = {}
    elif current:
        digest, size, name = line.split()
        lists[current][name] = (digest, int(size))
bad = []
for section, algorithm in (("MD5Sum", "md5"), ("SHA1", "sha1"), ("SHA256", "sha256")):
    listed = lists.get(section, {})
    if sorted(listed) != sorted(indexes):
        bad.append(f"{section} lists {sorted(listed)}")
    for name, (digest, size) in listed.items():
        data = open(os.path.join(repo, name), "rb").read()
        if len(data) != size or hashlib.new(algorithm, data).hexdigest() != digest:
            bad.append(f"{section}: {name} does not match")
print("\n".join(bad))
sys.exit(1 if bad else 0)
EOF
for form in "gzip -dc:gz" "bzip2 -dc:bz2" "xz -dc:xz" "zstd -qdc:zst"; do
  check "Packages.${form#*:} holds Packages" cmp -s <(${form%%:*} "$repo/Packages.${form#*:}") "$repo/Packages"
done

# --- The settings screen is drawn from Root.plist: what it holds shows, in order ---
check "the settings screen shows the words of Root.plist's cells, in order, and a cell added to it" \
  python3 - "$packaging/repo/draw-settings.py" "$(dirname "$packaging")/pane/Resources/Root.plist" \
    "$work/drawn" <<'EOF_DRAWN'
import plistlib, re, subprocess, sys
from xml.sax.saxutils import unescape
draw, plist, out = sys.argv[1:]
root = plistlib.load(open(plist, "rb"))
root["items"].insert(4, {"cell": "PSSwitchCell", "key": "brandNew", "label": "A brand new switch",
                         "default": True})
plistlib.dump(root, open(out + ".plist", "wb"))
svgs = subprocess.run([sys.executable, draw, out + ".plist", out], capture_output=True, text=True,
                      check=True).stdout.split()
shown = [unescape(word) for svg in svgs
         for line in re.findall(r"<text[^>]*>([^<]*)</text>", open(svg).read()) for word in line.split()]
expected, footer = [], []
for item in root["items"]:
    if item.get("onlyWhenUnreadable"):
        continue
    if item["cell"] == "PSGroupCell":  # its footer comes under its cells
        expected += footer + item.get("label", "").upper().split()
        footer = item.get("footerText", "").split()
    else:
        expected += " ".join([item.get("label", "")] + item.get("validTitles", [])).split()
expected += footer
at = 0
for word in expected:
    while at < len(shown) and shown[at] != word:
        at += 1
    if at == len(shown):
        sys.exit(f"{word!r} is not drawn where Root.plist has it")
    at += 1
EOF_DRAWN
printf '<plist><dict><key>items</key><array><dict><key>cell</key><string>PSFancyCell</string></dict></array></dict></plist>' \
  > "$work/fancy.plist"
check "a cell the drawing does not know is an error, not left out" \
  fails python3 "$packaging/repo/draw-settings.py" "$work/fancy.plist" "$work/fancy"

# --- The native depiction, by Sileo's rules, and every file the indexes name ---
json="$repo/depiction/com.brindle.thrumline.json"
check "the Sileo depiction has only Sileo's classes and fields, its URLs in the repository" \
  bash -c 'python3 "$1" "$2" "$3" >/dev/null' _ "$here/check-sileo-depiction.py" "$json" "$url/"
# The checker itself: each mistake it is for must fail it.
for mistake in "d['class'] = 'DepictionTabsView'" "del d['tabs'][1]['tabname']" \
               "d['tabs'][0]['views'][0]['markdwon'] = d['tabs'][0]['views'][0].pop('markdown')" \
               "[v for v in d['tabs'][0]['views'] if 'screenshots' in v][0]['screenshots'][0]['url'] = 'shot.png'" \
               "d['tabs'][0]['views'].append({'class': 'DepictionScreenshotsView', 'screenshots': []})"; do
  python3 -c "import json, sys; d = json.load(open(sys.argv[1])); $mistake; json.dump(d, open(sys.argv[2], 'w'))" \
    "$json" "$work/mistaken.json"
  check "the depiction check refuses: $mistake" fails python3 "$here/check-sileo-depiction.py" "$work/mistaken.json"
done
check "the depiction tells what is new in $version and which phones each package serves" python3 - "$json" "$version" <<'EOF'
import json, sys
text = json.dumps(json.load(open(sys.argv[1])))
needed = [f"What's new in {sys.argv[2]}", "iphoneos-arm64", "iphoneos-arm\"", "iPhone",
          "arm64 phones (A7 to A11, the iPhone 5s to iPhone X) on iOS 10 and later",
          "arm64 phones (A7 to A11, the iPhone 6s to iPhone X) on iOS 15 and later",
          "arm64e phones (A12 and later, iPhone XS, XR and newer) on iOS 14 and later",
          "A12 and later phones on iOS 12 and 13 are not served"]
missing = [n for n in needed if n not in text]
print("missing:", missing) if missing else None
sys.exit(1 if missing else 0)
EOF
urls="$( (python3 "$here/check-sileo-depiction.py" "$json" "$url/"
          sed -n 's/^\(Icon\|Depiction\|SileoDepiction\|Homepage\): //p' "$repo/Packages") | sort -u)"
check "every URL the packages and the depiction name is served (pictures as PNG)" python3 - $urls <<'EOF'
import sys, urllib.request
bad = []
for url in sys.argv[1:]:
    try:
        body = urllib.request.urlopen(url, timeout=30).read()
    except OSError as error:
        bad.append(f"{url}: {error}")
        continue
    if url.endswith(".png") and body[:8] != b"\x89PNG\r\n\x1a\n":
        bad.append(f"{url}: not a PNG")
print("\n".join(bad))
sys.exit(1 if bad or len(sys.argv) < 2 else 0)
EOF

# --- apt-get, as each kind of phone ---
# apt_for ARCH DIR [STATUS]: a configuration of apt's own under DIR, reading
# nothing of the machine's; prints the file to give as APT_CONFIG.
apt_for() {
  local arch="$1" dir="$2" source="$3"
  mkdir -p "$dir"/{apt.conf.d,sources.list.d,preferences.d,trusted.gpg.d,lists/partial,archives/partial,log}
  echo "deb [trusted=yes] $source/ ./" > "$dir/sources.list"
  : > "$dir/status"
  cat > "$dir/apt.conf" <<EOF
Dir::Etc::main "/dev/null";
Dir::Etc::parts "$dir/apt.conf.d";
Dir::Etc::sourcelist "$dir/sources.list";
Dir::Etc::sourceparts "$dir/sources.list.d";
Dir::Etc::preferences "$dir/preferences";
Dir::Etc::preferencesparts "$dir/preferences.d";
Dir::Etc::trusted "$dir/trusted.gpg";
Dir::Etc::trustedparts "$dir/trusted.gpg.d";
Dir::State "$dir";
Dir::State::lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::archives "$dir/archives";
Dir::Log "$dir/log";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Acquire::Languages "none";
Acquire::http::Proxy "DIRECT";
APT::Sandbox::User "$(id -un)";
Debug::NoLocking "true";
EOF
}
apt_run() {  # apt_run DIR COMMAND ARGS...
  local dir="$1"
  shift
  APT_CONFIG="$dir/apt.conf" "$@" -q -o APT::Architecture="$(sed -n 's/^APT::Architecture "\(.*\)";/\1/p' "$dir/apt.conf")"
}

for arch in iphoneos-arm64 iphoneos-arm; do
  apt="$work/apt-$arch"
  apt_for "$arch" "$apt" "$url"
  built="$work/built/com.brindle.thrumline_${version}_$arch.deb"
  check "$arch: apt-get update reads the repository, with no warning" quiet apt_run "$apt" apt-get update
  check "$arch: ... and no warning" bash -c "! grep '^[WE]:' '$work/quiet.log'"
  show="$(apt_run "$apt" apt-cache show com.brindle.thrumline 2>&1)"
  check "$arch: apt lists the package once, for $arch" equals "$(grep -c '^Package: com.brindle.thrumline$' <<< "$show")" 1
  for name in Architecture Version Depends SileoDepiction Depiction Icon Name Section; do
    check "$arch: apt shows the package's $name" \
      equals "$(sed -n "s/^$name: //p" <<< "$show")" "$(dpkg-deb --field "$built" "$name")"
  done
  mkdir -p "$apt/download"
  (cd "$apt/download" && apt_run "$apt" apt-get download com.brindle.thrumline >/dev/null 2>&1)
  check "$arch: apt-get download fetches the built package, byte for byte" \
    cmp -s "$apt/download/com.brindle.thrumline_${version}_$arch.deb" "$built"
  # An older version installed: apt offers this one as its update.
  printf 'Package: com.brindle.thrumline\nStatus: install ok installed\nVersion: 0.9\nArchitecture: %s\n\n' \
    "$arch" > "$apt/status"
  check "$arch: a phone with 0.9 installed is offered $version" \
    equals "$(apt_run "$apt" apt-cache policy com.brindle.thrumline | sed -n 's/^ *Candidate: //p')" "$version"
done

# apt checks what Release says: a changed index or package is refused.
mkdir -p "$site/changed-index" "$site/changed-deb/debs"
cp "$repo/Release" "$repo"/Packages* "$site/changed-index/"
sed -i 's/^Section: Tweaks$/Section: Tweakz/' "$site/changed-index/Packages"
for form in "gzip -9n:gz" "bzip2 -9:bz2" "xz -9:xz" "zstd -q -19:zst"; do
  ${form%%:*} -c < "$site/changed-index/Packages" > "$site/changed-index/Packages.${form#*:}"
done
cp "$repo/Release" "$repo"/Packages* "$site/changed-deb/"
cp "$repo"/debs/*.deb "$site/changed-deb/debs/"
for deb in "$site"/changed-deb/debs/*.deb; do
  printf 'X' | dd of="$deb" bs=1 seek=200 conv=notrunc 2>/dev/null
done
apt_for iphoneos-arm64 "$work/apt-changed-index" "$url/changed-index"
check "apt-get update refuses an index that Release does not vouch for" \
  fails apt_run "$work/apt-changed-index" apt-get update
apt_for iphoneos-arm64 "$work/apt-changed-deb" "$url/changed-deb"
apt_run "$work/apt-changed-deb" apt-get update >/dev/null 2>&1
mkdir -p "$work/apt-changed-deb/download"
check "apt-get download refuses a package that its index does not vouch for" \
  fails bash -c "cd '$work/apt-changed-deb/download' && APT_CONFIG='$work/apt-changed-deb/apt.conf' apt-get -q download com.brindle.thrumline"

# --- The HTML page in a browser: everything loads, nothing complains ---
page="$url/depiction/com.brindle.thrumline.html"
before="$(wc -l < "$work/server.log")"
profile="$work/chromium"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$profile" --enable-logging=stderr --v=0 --dump-dom "$page" \
  > "$work/page.html" 2> "$work/chromium.log"
visit="$(tail -n +"$((before + 1))" "$work/server.log")"
check "Chromium shows the page" grep -q "What's new in $version" "$work/page.html"
check "Chromium logs no console message" bash -c "! grep 'CONSOLE' '$work/chromium.log'"
check "every request of the page is answered (no 404)" \
  bash -c "! grep -E '\" [45][0-9][0-9] ' <<< \"\$1\"" _ "$visit"
# Images load before the page does; the tab's icon may come later, or never.
check "the page loads every screenshot and the banner" \
  equals "$(grep -c 'GET /depiction/screenshots/.*\.png\|GET /depiction/header\.png' <<< "$visit")" \
         "$(($(ls "$repo"/depiction/screenshots/*.png | wc -l) + 1))"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
