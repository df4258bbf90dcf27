#!/usr/bin/env python3
"""Draws the settings pane as the phone shows it, from its Root.plist.

Usage: draw-settings.py ROOT_PLIST OUT_PREFIX

Writes OUT_PREFIX-1.svg, OUT_PREFIX-2.svg, ... : phone screens (375 points
wide) holding the groups, cells, footers and buttons in the plist's order,
with the values a fresh install has (the reset button's installedSettings,
else each cell's default). Items shown only when the settings file is
unreadable are left out: that is not the screen a user normally sees.
Prints the SVGs written. Any cell or getter it cannot draw is an error, so
the picture cannot silently leave out what the pane shows.
"""
import plistlib
import sys
from xml.sax.saxutils import escape

WIDTH = 375
SCREEN = 812  # iPhone X points: a page is cut at a group boundary below this
MARGIN = 16  # inset grouped cards
CARD = WIDTH - 2 * MARGIN
ROW = 44
BLUE, GREEN, GREY, LABEL = "#007aff", "#34c759", "#6d6d72", "#000000"
FONT = "font-family='-apple-system, Helvetica, Arial, sans-serif'"
# The pane's getters, as ThrumlineListController formats them.
GETTERS = {"readMilliseconds:": "{} ms", "readSeconds:": "{} s"}


class DrawError(Exception):
    pass


def wrap(text, size, width):
    """Word-wraps for a sans-serif face at SIZE px (0.58 em a letter, generous)."""
    per_line = max(10, int(width / (size * 0.58)))
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > per_line:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    if line:
        lines.append(line)
    return lines


def text(x, y, value, size=17, colour=LABEL, anchor="start", weight="normal"):
    return (f"<text x='{x}' y='{y}' {FONT} font-size='{size}' fill='{colour}' "
            f"text-anchor='{anchor}' font-weight='{weight}'>{escape(str(value))}</text>")


class Screen:
    """Groups laid out top to bottom; each group is a header, a card of rows and a footer."""

    def __init__(self, title, values):
        self.title = title
        self.values = values
        self.groups = []  # (header, [item], footer)

    def value(self, item, where):
        key = item.get("key")
        if key in self.values:
            return self.values[key]
        if "default" in item:
            return item["default"]
        raise DrawError(f"{where}: {key or item['cell']} has no value to show")

    def row(self, item, y, where):
        """SVG of one cell at the top Y of its card row; returns (svg, height)."""
        cell, x = item["cell"], MARGIN + 16
        right = MARGIN + CARD - 16
        mid = y + ROW / 2 + 6
        if cell == "PSSwitchCell":
            on = bool(self.value(item, where))
            knob = right - 15.5 if on else right - 51 + 15.5
            return (text(x, mid, item["label"]) +
                    f"<rect x='{right - 51}' y='{y + 6.5}' width='51' height='31' rx='15.5' "
                    f"fill='{GREEN if on else '#e9e9eb'}'/>"
                    f"<circle cx='{knob}' cy='{y + 22}' r='13.5' fill='#ffffff' stroke='#d1d1d6'/>", ROW)
        if cell == "PSButtonCell":
            return text(x, mid, item["label"], colour=BLUE), ROW
        if cell == "PSTitleValueCell":
            getter = item.get("get")
            if getter not in GETTERS:
                raise DrawError(f"{where}: no drawing for the getter {getter!r}")
            shown = GETTERS[getter].format(self.value(item, where))
            return text(x, mid, item["label"]) + text(right, mid, shown, colour="#8a8a8e", anchor="end"), ROW
        if cell == "PSSliderCell":
            low, high = item["min"], item["max"]
            at = x + (right - x) * (self.value(item, where) - low) / (high - low)
            return (f"<rect x='{x}' y='{y + 20}' width='{right - x}' height='4' rx='2' fill='#e3e3e8'/>"
                    f"<rect x='{x}' y='{y + 20}' width='{at - x}' height='4' rx='2' fill='{BLUE}'/>"
                    f"<circle cx='{at}' cy='{y + 22}' r='13' fill='#ffffff' stroke='#c7c7cc'/>", ROW)
        if cell == "PSSegmentCell":
            titles, values = item["validTitles"], item["validValues"]
            chosen = values.index(self.value(item, where))
            each = (right - x) / len(titles)
            parts = [f"<rect x='{x}' y='{y + 6}' width='{right - x}' height='32' rx='8' fill='#eeeef0'/>",
                     f"<rect x='{x + chosen * each + 2}' y='{y + 8}' width='{each - 4}' height='28' rx='7' "
                     f"fill='#ffffff' stroke='#d1d1d6'/>"]
            for i, title in enumerate(titles):
                parts.append(text(x + (i + 0.5) * each, y + 27, title, size=13, anchor="middle",
                                  weight="bold" if i == chosen else "normal"))
            return "".join(parts), ROW
        raise DrawError(f"{where}: no drawing for the cell {cell}")

    def pages(self):
        """Lays the groups out on screens, each starting under the navigation bar."""
        pages, body, y = [], [], 0
        top = 96
        for header, items, footer in self.groups:
            parts, gy = [], 0
            if header:
                parts.append(text(MARGIN + 16, gy + 30, header.upper(), size=13, colour=GREY))
            gy += 38
            card_top = gy
            rows = []
            for index, (where, item) in enumerate(items):
                svg, height = self.row(item, gy, where)
                rows.append(svg)
                gy += height
                if index + 1 < len(items):
                    rows.append(f"<rect x='{MARGIN + 16}' y='{gy - 0.5}' width='{CARD - 16}' height='0.5' "
                                f"fill='#c6c6c8'/>")
            parts.append(f"<rect x='{MARGIN}' y='{card_top}' width='{CARD}' height='{gy - card_top}' rx='10' "
                         f"fill='#ffffff'/>")
            parts.extend(rows)
            gy += 6
            for line in wrap(footer or "", 13, CARD - 32):
                gy += 17
                parts.append(text(MARGIN + 16, gy, line, size=13, colour=GREY))
            gy += 8
            if body and top + y + gy > SCREEN:
                pages.append((body, y))
                body, y = [], 0
            body.append(f"<g transform='translate(0 {top + y})'>{''.join(parts)}</g>")
            y += gy
        if body:
            pages.append((body, y))
        return [self.svg(body, max(SCREEN, top + height + 24)) for body, height in pages]

    def svg(self, body, height):
        bar = (f"<rect width='{WIDTH}' height='88' fill='#f9f9f9'/>"
               f"<rect y='88' width='{WIDTH}' height='0.5' fill='#c6c6c8'/>" +
               text(12, 72, "\u2039 Settings", colour=BLUE) +
               text(WIDTH / 2, 72, self.title, anchor="middle", weight="bold"))
        return (f"<svg xmlns='http://www.w3.org/2000/svg' width='{WIDTH}' height='{height}' "
                f"viewBox='0 0 {WIDTH} {height}'><rect width='{WIDTH}' height='{height}' fill='#f2f2f7'/>"
                f"{''.join(body)}{bar}</svg>\n")


def load(path):
    with open(path, "rb") as f:
        root = plistlib.load(f)
    items = root.get("items")
    if not isinstance(items, list):
        raise DrawError(f"{path}: no items array")
    values = {}
    for item in items:
        values.update(item.get("installedSettings", {}))
    screen = Screen(root.get("title", ""), values)
    for index, item in enumerate(items):
        where = f"{path}: item {index}"
        if not isinstance(item, dict) or "cell" not in item:
            raise DrawError(f"{where}: not a cell")
        if item.get("onlyWhenUnreadable"):
            continue
        if item["cell"] == "PSGroupCell":
            screen.groups.append((item.get("label"), [], item.get("footerText")))
            continue
        if not screen.groups:
            screen.groups.append((None, [], None))
        screen.groups[-1][1].append((where, item))
    return screen


def main():
    if len(sys.argv) != 3:
        print("usage: draw-settings.py ROOT_PLIST OUT_PREFIX", file=sys.stderr)
        return 2
    try:
        pages = load(sys.argv[1]).pages()
    except KeyError as error:
        print(f"draw-settings.py: {sys.argv[1]}: a cell lacks {error}", file=sys.stderr)
        return 1
    except (OSError, plistlib.InvalidFileException, ValueError, TypeError, DrawError) as error:
        print(f"draw-settings.py: {error}", file=sys.stderr)
        return 1
    for number, svg in enumerate(pages, 1):
        path = f"{sys.argv[2]}-{number}.svg"
        with open(path, "w", encoding="utf-8") as f:
            f.write(svg)
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
