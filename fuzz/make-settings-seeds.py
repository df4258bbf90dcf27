#!/usr/bin/env python3
"""Writes the seed corpus of the settings-file fuzzer (fuzz/corpus/settings_file).

The seeds are committed; run this again only to change them. Each seed is a
file a settings pane, an old version or a damaged disk could leave behind.
"""
import os
import plistlib
import datetime
import sys

sys.setrecursionlimit(20000)

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "settings_file")

TYPICAL = {
    "isEnabled": True,
    "isNotRespringing": True,
    "isVibrationsNumber": True,
    "oldMethod": False,
    "firstVibrationNumber": 1,
    "lastVibrationNumber": 2,
    "VibrationDuration": 200,
    "vibration1": 300,
    "vibration2": 250,
}


def variant(**changes):
    d = dict(TYPICAL)
    for k, v in changes.items():
        if v is None:
            d.pop(k, None)
        else:
            d[k] = v
    return d


SEEDS = {
    "typical": TYPICAL,
    "classic-chains": variant(oldMethod=True, firstVibrationNumber=2, lastVibrationNumber=1),
    "classic-single": variant(oldMethod=True, isVibrationsNumber=False),
    "rhythm": variant(firstVibrationNumber=3, lastVibrationNumber=3),
    "single-pulse": variant(isVibrationsNumber=False),
    "respringing": variant(isNotRespringing=False),
    "disabled": variant(isEnabled=False),
    "empty": {},
    "only-enabled": {"isEnabled": True},
    "negative": variant(VibrationDuration=-50, vibration1=-1, firstVibrationNumber=-3),
    "unknown-numbers": variant(firstVibrationNumber=9, lastVibrationNumber=4),
    "strings": variant(isEnabled="YES", isNotRespringing=" +0001", oldMethod="no",
                       VibrationDuration="150ms", vibration1="  -42abc", vibration2="",
                       firstVibrationNumber="2", isVibrationsNumber="t"),
    "reals": variant(vibration1=250.9, vibration2=-250.9, VibrationDuration=1e-9,
                     isEnabled=0.5, oldMethod=0.0),
    "huge-numbers": variant(vibration1=2**63 - 1, vibration2=-2**63, VibrationDuration=2**64 - 1,
                            firstVibrationNumber=2**31, lastVibrationNumber=-2**31 - 1,
                            isEnabled=2**64 - 1),
    # Hand-edited integers past 32 bits: each reads as its low 32 bits
    # (300, 250, figure 2, figure 3, a pause of 150), booleans on the whole value.
    "low-bits": variant(vibration1=2**32 + 300, vibration2=2**64 - 2**32 + 250,
                        firstVibrationNumber=2**32 + 2, lastVibrationNumber=-2**32 + 3,
                        VibrationDuration=2**33 + 150, isEnabled=2**32),
    "huge-reals": variant(vibration1=1e308, vibration2=-1e308, VibrationDuration=2147483647.5,
                          firstVibrationNumber=float("inf"), lastVibrationNumber=float("nan")),
    "odd-types": variant(isEnabled=b"\x01", isNotRespringing=[True], oldMethod={"a": 1},
                         vibration1=datetime.datetime(2020, 1, 2, 3, 4, 5),
                         vibration2=plistlib.UID(7)),
    "extra-keys": variant(label="call \u00e9t\u00e9", blob=bytes(range(256)) * 4,
                          nested={"a": [1, 2.5, "x", {"b": False}]}),
    "minder-outgoing-only": variant(connectOutgoingOnly=True, minuteMinder=True,
                                    minuteMinderSecond=20),
    "minder-classic-chain": variant(oldMethod=True, firstVibrationNumber=2, VibrationDuration=25000,
                                    minuteMinder="YES", minuteMinderSecond="50",
                                    connectOutgoingOnly=0),
    "minder-odd-seconds": variant(isVibrationsNumber=False, minuteMinder=1,
                                  minuteMinderSecond=-2**31 - 1, connectOutgoingOnly=[True]),
    "integers-as-booleans": variant(isEnabled=2, isNotRespringing=1, isVibrationsNumber=0,
                                    oldMethod=-1),
}


def xml_form(value):
    # XML has no UID type; Apple's reader takes {CF$UID = n} for one.
    if isinstance(value, plistlib.UID):
        return {"CF$UID": value.data}
    if isinstance(value, dict):
        return {k: xml_form(v) for k, v in value.items()}
    if isinstance(value, list):
        return [xml_form(v) for v in value]
    return value


def compact_deep_xml(depth):
    # Written without indentation: plistlib would indent each level.
    body = b"<array>" * (depth + 1) + b"<integer>1</integer>" + b"</array>" * (depth + 1)
    keys = b"".join(b"<key>%s</key><integer>%d</integer>" % (k.encode(), int(v))
                    for k, v in TYPICAL.items())
    return (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>' + keys +
            b"<key>deep</key>" + body + b"</dict></plist>\n")


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def nested(depth):
    v = [1]
    for _ in range(depth):
        v = [v]
    return v


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, value in SEEDS.items():
        xml = plistlib.dumps(xml_form(value), fmt=plistlib.FMT_XML, sort_keys=False)
        binary = plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)
        write(name + ".plist", xml)
        write(name + ".bplist", binary)
    typical_xml = plistlib.dumps(TYPICAL, fmt=plistlib.FMT_XML)
    typical_bin = plistlib.dumps(TYPICAL, fmt=plistlib.FMT_BINARY)
    # Files cut short, as a pane killed mid-write without an atomic rename would leave.
    write("truncated-half.plist", typical_xml[: len(typical_xml) // 2])
    write("truncated-end.plist", typical_xml[:-3])
    write("truncated-half.bplist", typical_bin[: len(typical_bin) // 2])
    write("truncated-trailer.bplist", typical_bin[:-5])
    # Deep nesting under a key, just inside and beyond what the reader takes.
    for depth in (100, 511, 600):
        write("deep-%d.plist" % depth, compact_deep_xml(depth))
        write("deep-%d.bplist" % depth, plistlib.dumps(variant(deep=nested(depth)), fmt=plistlib.FMT_BINARY))
    # Roots that are not dictionaries.
    write("root-array.plist", plistlib.dumps([TYPICAL], fmt=plistlib.FMT_XML))
    write("root-string.bplist", plistlib.dumps("isEnabled", fmt=plistlib.FMT_BINARY))
    # XML the way people write it by hand: entities, comments, CDATA, the
    # same key twice, a UID spelt as CF$UID, whitespace inside values.
    write("hand-written.plist", b"""<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<!-- written by hand -->
<dict>
  <key>isEnabled</key><true/>
  <key>isNotRespringing</key><string><![CDATA[Yes]]></string>
  <key>isVibrationsNumber</key><integer> 1 </integer>
  <key>oldMethod</key><false/>
  <key>firstVibrationNumber</key><string>&#x32;</string>
  <key>lastVibrationNumber</key><integer>3</integer>
  <key>VibrationDuration</key><real>1.5e2</real>
  <key>vibration1</key><integer>300</integer>
  <key>vibration1</key><integer>400</integer>
  <key>vibration2</key><dict><key>CF$UID</key><integer>5</integer></dict>
  <key>note</key><string>&lt;&amp;&gt;</string>
</dict>
</plist>
""")
    write("not-a-plist.txt", b"isEnabled = YES;\nvibration1 = 300;\n")
    write("openstep.plist", b'{ isEnabled = YES; vibration1 = 300; }')
    write("empty-file", b"")


if __name__ == "__main__":
    main()
