#!/usr/bin/env python3
"""Writes a package's depictions: the native one Sileo (and Zebra) shows, in
JSON, and a plain HTML page for Cydia, Zebra and Installer.

Usage: depiction.py --url URL --out DIR --changes CHANGES.md
                    [--phone-shot PNG:TEXT]... [--wide-shot PNG:TEXT]... DEB...

DIR is the repository's depiction folder, served at URL/depiction; the PNGs
are inside it. The text comes from the packages themselves (Name,
Description, Version, Depends), what is new from CHANGES.md, and which phones
each package serves from the architectures of the library it carries
(read from its Mach-O header), so none of it can drift from what is built.
"""
import argparse
import html
import json
import os
import re
import struct
import subprocess
import sys
import tempfile

CPU_ARM64 = 0x0100000C
SUBTYPE_ARM64E = 2
JAILBREAKS = {
    "iphoneos-arm": "Rootful jailbreaks (unc0ver, checkra1n, Taurine, palera1n with -f)",
    "iphoneos-arm64": "Rootless jailbreaks (Dopamine, palera1n, XinaA15)",
}


class Failure(Exception):
    pass


def macho_archs(path):
    """The arm64 flavours of a Mach-O file, thin or fat."""
    with open(path, "rb") as f:
        data = f.read()

    def name(cputype, subtype):
        if cputype != CPU_ARM64:
            return f"cpu {cputype:#x}"
        return "arm64e" if subtype & 0xFF == SUBTYPE_ARM64E else "arm64"

    magic = data[:4]
    if magic == b"\xcf\xfa\xed\xfe":
        return [name(*struct.unpack_from("<iI", data, 4))]
    if magic in (b"\xca\xfe\xba\xbe", b"\xca\xfe\xba\xbf"):
        count = struct.unpack_from(">I", data, 4)[0]
        step = 20 if magic[3] == 0xBE else 32
        return [name(*struct.unpack_from(">iI", data, 8 + i * step)) for i in range(count)]
    raise Failure(f"{path}: not a 64-bit Mach-O file")


def oldest_phone(ios):
    """The oldest iPhone that runs IOS (a version like 15.0), among the 64-bit ones."""
    major = int(ios.split(".")[0]) if ios else 0
    return "iPhone 8" if major >= 16 else "iPhone 6s" if major >= 13 else "iPhone 5s"


def phones(archs, ios):
    first = oldest_phone(ios)
    if "arm64e" in archs and "arm64" in archs:
        # The arm64e slice is built for iOS 14's arm64e ABI.
        since = f"iOS {ios.split('.')[0]} and later" if ios else "the iOS it installs on"
        return (f"arm64 and arm64e: arm64 phones (A7 to A11, the {first} to iPhone X) on {since}; "
                "arm64e phones (A12 and later, iPhone XS, XR and newer) on iOS 14 and later. "
                "A12 and later phones on iOS 12 and 13 are not served: their arm64e ABI differs.")
    if archs == ["arm64"]:
        return (f"arm64 only: {first} to iPhone X (A11 chip and older). The iPhone XS, XR "
                "and later (A12 and newer, arm64e) need the build made with Xcode.")
    raise Failure(f"no phone runs a library built for {', '.join(archs)}")


def read_package(deb):
    def field(name):
        run = subprocess.run(["dpkg-deb", "--field", deb, name], capture_output=True, text=True)
        if run.returncode != 0:
            raise Failure(f"{deb}: {run.stderr.strip()}")
        return run.stdout.rstrip("\n")

    package = {name: field(name) for name in ("Package", "Name", "Version", "Architecture",
                                              "Depends", "Description")}
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["dpkg-deb", "--extract", deb, unpacked], check=True)
        dylibs = [os.path.join(top, name) for top, _, names in os.walk(unpacked) for name in names
                  if name.endswith(".dylib") and "MobileSubstrate" in top]
        if len(dylibs) != 1:
            raise Failure(f"{deb}: expected one library under MobileSubstrate, found {len(dylibs)}")
        archs = macho_archs(dylibs[0])
    firmware = re.search(r"firmware \(>= ([0-9.]+)\)", package["Depends"])
    package["ios"] = f"iOS {firmware.group(1)} or later" if firmware else "any iOS"
    package["phones"] = phones(archs, firmware.group(1) if firmware else "")
    return package


def read_changes(path):
    """CHANGES.md: '## VERSION' headings, each with '- ' items (continued by indented lines)."""
    versions, current = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("## "):
                current = (line[3:].strip(), [])
                versions.append(current)
            elif line.startswith("- ") and current:
                current[1].append(line[2:].strip())
            elif line.startswith("  ") and line.strip() and current and current[1]:
                current[1][-1] += " " + line.strip()
            elif line.strip() and current:
                raise Failure(f"{path}:{number}: expected '## VERSION' or a '- ' item")
    return versions


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise Failure(f"{path}: not a PNG")
    return struct.unpack(">II", head[16:24])


def inline_html(text):
    """The bits of Markdown CHANGES.md uses: *emphasis* and `code`."""
    text = html.escape(text)
    text = re.sub(r"`([^`]+)`", r"<code>\1</code>", text)
    return re.sub(r"\*([^*]+)\*", r"<em>\1</em>", text)


def main():
    parser = argparse.ArgumentParser(description="Writes the Sileo and HTML depictions.")
    parser.add_argument("--url", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--changes", required=True)
    parser.add_argument("--phone-shot", action="append", default=[])
    parser.add_argument("--wide-shot", action="append", default=[])
    parser.add_argument("debs", nargs="+")
    args = parser.parse_args()
    url = args.url.rstrip("/")
    try:
        packages = [read_package(deb) for deb in args.debs]
        name = packages[0]["Package"]
        if any(p["Package"] != name for p in packages):
            raise Failure("the packages are not all " + name)
        version = max((p["Version"] for p in packages),
                      key=lambda v: [int(n) if n.isdigit() else n for n in re.split(r"[.~+-]", v)])
        changes = read_changes(args.changes)
        new = dict(changes).get(version)
        if not new:
            raise Failure(f"{args.changes}: no entry for version {version}")
        shots = {}
        for kind, given in (("phone", args.phone_shot), ("wide", args.wide_shot)):
            shots[kind] = []
            for shot in given:
                path, _, text = shot.partition(":")
                shots[kind].append((os.path.relpath(path, args.out), text, png_size(path)))
    except (OSError, Failure) as error:
        print(f"depiction.py: {error}", file=sys.stderr)
        return 1

    first = packages[0]
    summary, _, rest = first["Description"].partition("\n")
    body = " ".join(line.strip() for line in rest.splitlines() if line.strip() != ".")
    base = f"{url}/depiction"

    def screenshots_view(kind, height):
        if not shots[kind]:
            return []
        w, h = shots[kind][0][2]
        return [{"class": "DepictionScreenshotsView", "itemCornerRadius": 8,
                 "itemSize": f"{{{round(w * height / h)}, {height}}}",
                 "screenshots": [{"url": f"{base}/{path}", "accessibilityText": text}
                                 for path, text, _ in shots[kind]]}]

    serves = []
    for p in sorted(packages, key=lambda p: p["Architecture"]):
        serves += [{"class": "DepictionSubheaderView", "title": f"{p['Architecture']}", "useBoldText": True},
                   {"class": "DepictionMarkdownView", "useSpacing": True,
                    "markdown": f"{JAILBREAKS.get(p['Architecture'], p['Architecture'])}, "
                                f"{p['ios']}.\n\n{p['phones']}"}]
    details = ([{"class": "DepictionMarkdownView", "markdown": f"**{summary}**\n\n{body}", "useSpacing": True}] +
               screenshots_view("phone", 346) + screenshots_view("wide", 160) +
               [{"class": "DepictionSeparatorView"},
                {"class": "DepictionHeaderView", "title": f"What's new in {version}"},
                {"class": "DepictionMarkdownView", "useSpacing": True,
                 "markdown": "\n".join(f"- {item}" for item in new)},
                {"class": "DepictionSeparatorView"},
                {"class": "DepictionHeaderView", "title": "Which phones each package serves"}] + serves +
               [{"class": "DepictionSeparatorView"},
                {"class": "DepictionTableTextView", "title": "Version", "text": version},
                {"class": "DepictionSpacerView", "spacing": 16}])
    changelog = []
    for number, items in changes:
        changelog += [{"class": "DepictionSubheaderView", "title": number, "useBoldText": True},
                      {"class": "DepictionMarkdownView", "useSpacing": True,
                       "markdown": "\n".join(f"- {item}" for item in items)}]
    depiction = {"minVersion": "0.1", "class": "DepictionTabView", "headerImage": f"{base}/header.png",
                 "tintColor": "#e8590c",
                 "tabs": [{"tabname": "Details", "class": "DepictionStackView", "views": details},
                          {"tabname": "Changelog", "class": "DepictionStackView", "views": changelog}]}

    def items(entries):
        return "".join(f"<li>{inline_html(entry)}</li>" for entry in entries)

    figures = "".join(f'<img src="{html.escape(path)}" alt="{html.escape(text)}" class="{kind}">'
                      for kind in ("phone", "wide") for path, text, _ in shots[kind])
    rows = "".join(f"<tr><th>{html.escape(p['Architecture'])}</th><td>"
                   f"{html.escape(JAILBREAKS.get(p['Architecture'], p['Architecture']))}, {p['ios']}.<br>"
                   f"{html.escape(p['phones'])}</td></tr>"
                   for p in sorted(packages, key=lambda p: p["Architecture"]))
    history = "".join(f"<h3>{html.escape(number)}</h3><ul>{items(entries)}</ul>" for number, entries in changes)
    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(first['Name'])}</title>
<link rel="icon" href="../CydiaIcon.png">
<style>
body {{ font-family: -apple-system, Helvetica, Arial, sans-serif; margin: 0; background: #f2f2f7; color: #000; }}
main {{ max-width: 720px; margin: 0 auto; padding: 0 16px 32px; }}
header img {{ width: 100%; display: block; }}
section {{ background: #fff; border-radius: 10px; padding: 4px 16px 12px; margin: 16px 0; }}
h2 {{ font-size: 1.1em; }} h3 {{ font-size: 1em; margin-bottom: 0; }}
.shots {{ display: flex; overflow-x: auto; gap: 12px; padding-bottom: 8px; }}
.shots img {{ border-radius: 8px; border: 1px solid #d1d1d6; }}
.shots img.phone {{ height: 346px; }} .shots img.wide {{ height: 160px; }}
th {{ text-align: left; vertical-align: top; padding-right: 12px; white-space: nowrap; }}
code {{ font-size: 0.95em; }}
@media (prefers-color-scheme: dark) {{
  body {{ background: #000; color: #fff; }} section {{ background: #1c1c1e; }}
}}
</style>
</head>
<body>
<header><img src="header.png" alt="{html.escape(first['Name'])}"></header>
<main>
<section><h1>{html.escape(first['Name'])}</h1><p><strong>{html.escape(summary)}</strong></p>
<p>{html.escape(body)}</p></section>
<section><h2>Screenshots</h2><div class="shots">{figures}</div></section>
<section><h2>What's new in {html.escape(version)}</h2><ul>{items(new)}</ul></section>
<section><h2>Which phones each package serves</h2><table>{rows}</table></section>
<section><h2>Details</h2><table><tr><th>Version</th><td>{html.escape(version)}</td></tr></table></section>
<section><h2>Changelog</h2>{history}</section>
</main>
</body>
</html>
"""
    with open(os.path.join(args.out, f"{name}.json"), "w", encoding="utf-8") as f:
        json.dump(depiction, f, indent=1, ensure_ascii=False)
        f.write("\n")
    with open(os.path.join(args.out, f"{name}.html"), "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
