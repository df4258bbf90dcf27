#!/usr/bin/env python3
"""Checks a native depiction against what Sileo reads.

Usage: check-sileo-depiction.py JSON [URL_PREFIX]

Sileo builds its views from each object's "class" and ignores, or fails on,
what it does not know: every class must be one of Sileo's, with its required
fields of the right type and no field Sileo would not read (a misspelt key
is silently dropped on the phone). Every URL must be absolute, and under
URL_PREFIX when given. Prints the URLs it found, one a line, for the caller
to fetch. Standard library only.
"""
import json
import re
import sys

NUMBER, TEXT, FLAG = (int, float), str, bool
# class: ({required field: type}, {optional field: type})
VIEWS = {
    "DepictionMarkdownView": ({"markdown": TEXT}, {"useSpacing": FLAG, "useMargins": FLAG,
                                                   "useRawFormat": FLAG, "tintColor": TEXT}),
    "DepictionHeaderView": ({"title": TEXT}, {"useMargins": FLAG, "useBottomMargin": FLAG,
                                              "useBoldText": FLAG, "alignment": int}),
    "DepictionSubheaderView": ({"title": TEXT}, {"useMargins": FLAG, "useBottomMargin": FLAG,
                                                 "useBoldText": FLAG, "alignment": int}),
    "DepictionScreenshotsView": ({"screenshots": list, "itemSize": TEXT, "itemCornerRadius": NUMBER}, {}),
    "DepictionTableTextView": ({"title": TEXT, "text": TEXT}, {}),
    "DepictionTableButtonView": ({"title": TEXT, "action": TEXT}, {"backupAction": TEXT, "openExternal": FLAG}),
    "DepictionSeparatorView": ({}, {}),
    "DepictionSpacerView": ({"spacing": NUMBER}, {}),
    "DepictionImageView": ({"URL": TEXT, "width": NUMBER, "height": NUMBER, "cornerRadius": NUMBER},
                           {"alignment": int}),
    "DepictionLabelView": ({"text": TEXT}, {"margins": TEXT, "useMargins": FLAG, "usePadding": FLAG,
                                            "fontWeight": TEXT, "fontSize": NUMBER, "textColor": TEXT,
                                            "alignment": int}),
}
STACK = ({"views": list}, {"tabname": TEXT, "orientation": TEXT, "xPadding": NUMBER, "backgroundColor": TEXT})
ROOT = ({"minVersion": TEXT, "tabs": list}, {"headerImage": TEXT, "tintColor": TEXT, "backgroundColor": TEXT})


class Checker:
    def __init__(self, prefix):
        self.prefix = prefix
        self.problems = []
        self.urls = []

    def fields(self, where, obj, required, optional):
        if not isinstance(obj, dict):
            self.problems.append(f"{where}: not an object")
            return False
        for key, kind in required.items():
            if key not in obj:
                self.problems.append(f"{where}: no {key!r}")
            elif not isinstance(obj[key], kind) or (kind is not FLAG and isinstance(obj[key], bool)):
                self.problems.append(f"{where}: {key!r} has the wrong type")
        for key in obj:
            if key != "class" and key not in required and key not in optional:
                self.problems.append(f"{where}: {key!r} is not a field Sileo reads")
            elif key in optional and not isinstance(obj[key], optional[key]):
                self.problems.append(f"{where}: {key!r} has the wrong type")
        return True

    def url(self, where, value):
        if not re.match(r"https?://[^/\s]+/\S*$", value or ""):
            self.problems.append(f"{where}: {value!r} is not an absolute URL")
        elif self.prefix and not value.startswith(self.prefix):
            self.problems.append(f"{where}: {value!r} is outside {self.prefix}")
        else:
            self.urls.append(value)

    def colour(self, where, value):
        if not re.fullmatch(r"#[0-9a-fA-F]{6}", value):
            self.problems.append(f"{where}: {value!r} is not #RRGGBB")

    def view(self, where, view):
        kind = view.get("class") if isinstance(view, dict) else None
        if kind not in VIEWS:
            self.problems.append(f"{where}: {kind!r} is not a class Sileo knows")
            return
        if not self.fields(f"{where} ({kind})", view, *VIEWS[kind]):
            return
        if kind == "DepictionScreenshotsView":
            if not re.fullmatch(r"\{\d+(\.\d+)?, ?\d+(\.\d+)?\}", str(view.get("itemSize"))):
                self.problems.append(f"{where}: itemSize {view.get('itemSize')!r} is not {{width, height}}")
            shots = view.get("screenshots") or []
            if not shots:
                self.problems.append(f"{where}: no screenshots")
            for i, shot in enumerate(shots):
                if self.fields(f"{where}.screenshots[{i}]", shot, {"url": TEXT, "accessibilityText": TEXT},
                               {"video": FLAG}):
                    self.url(f"{where}.screenshots[{i}]", shot.get("url"))
        if kind == "DepictionImageView" and isinstance(view.get("URL"), str):
            self.url(where, view["URL"])
        for key in ("tintColor", "textColor"):
            if isinstance(view.get(key), str):
                self.colour(f"{where}.{key}", view[key])

    def depiction(self, root):
        if not self.fields("root", root, *ROOT):
            return
        if root.get("class") != "DepictionTabView":
            self.problems.append(f"root: class {root.get('class')!r}, expected 'DepictionTabView'")
        if isinstance(root.get("headerImage"), str):
            self.url("root.headerImage", root["headerImage"])
        if isinstance(root.get("tintColor"), str):
            self.colour("root.tintColor", root["tintColor"])
        names = []
        for t, tab in enumerate(root.get("tabs") or []):
            where = f"tabs[{t}]"
            if not self.fields(where, tab, *STACK):
                continue
            if tab.get("class") != "DepictionStackView":
                self.problems.append(f"{where}: class {tab.get('class')!r}, expected 'DepictionStackView'")
            if not tab.get("tabname"):
                self.problems.append(f"{where}: a tab needs its tabname")
            names.append(tab.get("tabname"))
            if not tab.get("views"):
                self.problems.append(f"{where}: no views")
            for v, view in enumerate(tab.get("views") or []):
                self.view(f"{where}.views[{v}]", view)
        if not names:
            self.problems.append("root: no tabs")
        if len(set(names)) != len(names):
            self.problems.append(f"root: tab names repeat: {names}")


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: check-sileo-depiction.py JSON [URL_PREFIX]", file=sys.stderr)
        return 2
    checker = Checker(sys.argv[2] if len(sys.argv) == 3 else "")
    try:
        with open(sys.argv[1], encoding="utf-8") as f:
            checker.depiction(json.load(f))
    except (OSError, ValueError) as error:
        print(f"{sys.argv[1]}: {error}", file=sys.stderr)
        return 1
    for problem in checker.problems:
        print(f"{sys.argv[1]}: {problem}", file=sys.stderr)
    if checker.problems:
        return 1
    print("\n".join(checker.urls))
    return 0


if __name__ == "__main__":
    sys.exit(main())
