#!/usr/bin/env python3
"""Inspects a built binary of the phone build the way the phone's loader
will meet it: a fat Mach-O file with an arm64 and an arm64e slice, each
checked on its own: for its deployment target (arm64: --min-os; arm64e:
--arm64e-min-os, 14.0), loading exactly the libraries it should, every
import bound to the library that exports it on iOS, an ad-hoc signature
valid over its final bytes, no libstdc++. The arm64e slice as dyld on an
A12 or later phone needs it: cpusubtype 0x80000002, chained fixups in a
pointer format dyld processes in arm64e images and no classic dyld info,
initialisers as 32-bit offsets (__init_offsets), none as pointers
(__mod_init_func). Then, for Thrumline.dylib: a dylib exporting
refreshPrefs only, its two load-time initialisers, the scheme's install
name, Substrate path and rpaths, each slice under 80 KiB; for the settings
pane's Thrumline.bundle/Thrumline: a bundle exporting nothing, holding no
class metadata and no constant strings, that makes the class its
Info.plist names at run time.

Usage: check-phone-binary.py --dylib FILE --scheme rootful|rootless COMMON
       check-phone-binary.py --bundle FILE --info-plist PLIST COMMON
  COMMON: --sdk DIR --min-os VERSION [--arm64e-min-os VERSION] --objdump TOOL
          --nm TOOL --otool TOOL
Exit 0 when every check holds, 1 otherwise, 2 on bad usage."""
import argparse
import os
import plistlib
import re
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Where each library lives on iOS, by the short name the tools print.
LIBRARIES = {
    "libSystem": "/usr/lib/libSystem.B.dylib",
    "libobjc": "/usr/lib/libobjc.A.dylib",
    "libc++": "/usr/lib/libc++.1.dylib",
    "libc++abi": "/usr/lib/libc++abi.dylib",
    "Foundation": "/System/Library/Frameworks/Foundation.framework/Foundation",
    "CoreFoundation": "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
    "AudioToolbox": "/System/Library/Frameworks/AudioToolbox.framework/AudioToolbox",
    "CoreTelephony": "/System/Library/Frameworks/CoreTelephony.framework/CoreTelephony",
    "UIKit": "/System/Library/Frameworks/UIKit.framework/UIKit",
    "Preferences": "/System/Library/PrivateFrameworks/Preferences.framework/Preferences",
}
# What each binary loads (libobjc through Foundation, which re-exports it).
LOADS = {
    "dylib": ["libSystem", "libobjc", "libc++", "libc++abi", "Foundation", "CoreFoundation",
              "AudioToolbox", "CoreTelephony", "CydiaSubstrate"],
    "bundle": ["libSystem", "libobjc", "Foundation", "CoreFoundation", "UIKit", "Preferences",
               "AudioToolbox"],
}
SUBSTRATE = {
    "rootful": "/Library/Frameworks/CydiaSubstrate.framework/CydiaSubstrate",
    "rootless": "@rpath/CydiaSubstrate.framework/CydiaSubstrate",
}
ROOT = {"rootful": "", "rootless": "/var/jb"}
RPATHS = {"rootful": [], "rootless": ["/var/jb/Library/Frameworks", "/var/jb/usr/lib"]}

# Every symbol the library or the pane may import, at any deployment target
# the preset offers, and the library that exports it on iOS. Foundation's
# classes bind to Foundation, which has them on every version from 7.0,
# itself or through the CoreFoundation it re-exports where newer systems
# moved some. Every symbol of the stand-in stubs is here too.
EXPORTED_BY = {
    "dyld_stub_binder": "libSystem",
    "__Unwind_Resume": "libSystem",
    "___cxa_atexit": "libSystem",
    "___stack_chk_fail": "libSystem",
    "___stack_chk_guard": "libSystem",
    "__dispatch_main_q": "libSystem",
    "_dispatch_after_f": "libSystem",
    "_dispatch_time": "libSystem",
    "_dladdr": "libSystem",          # the pane finds its own bundle
    "_mach_absolute_time": "libSystem",
    "_mach_timebase_info": "libSystem",
    "_memset": "libSystem",          # the pane's loops, unoptimised
    "_objc_msgSend": "libobjc",
    "_objc_getClass": "libobjc",
    "_sel_registerName": "libobjc",
    "_objc_autoreleasePoolPush": "libobjc",
    "_objc_autoreleasePoolPop": "libobjc",
    "_objc_alloc": "libobjc",        # iOS 10 and later targets
    "_objc_retain": "libobjc",       # iOS 10 and later targets
    "_objc_release": "libobjc",      # iOS 10 and later targets
    "_objc_alloc_init": "libobjc",   # iOS 13 and later targets
    "_objc_enumerationMutation": "libobjc",
    "_OBJC_METACLASS_$_NSObject": "libobjc",
    # The pane makes its class at run time.
    "_objc_allocateClassPair": "libobjc",
    "_objc_registerClassPair": "libobjc",
    "_class_addMethod": "libobjc",
    "_class_getInstanceVariable": "libobjc",
    "_ivar_getOffset": "libobjc",
    "_object_getClass": "libobjc",
    "__Znwm": "libc++",
    "__ZdlPv": "libc++",
    "__ZSt9terminatev": "libc++abi",
    "__ZTVN10__cxxabiv117__class_type_infoE": "libc++abi",
    "__ZTVN10__cxxabiv120__si_class_type_infoE": "libc++abi",
    "___cxa_begin_catch": "libc++abi",
    "___cxa_guard_abort": "libc++abi",
    "___cxa_guard_acquire": "libc++abi",
    "___cxa_guard_release": "libc++abi",
    "___gxx_personality_v0": "libc++abi",
    "_OBJC_CLASS_$_NSBundle": "Foundation",
    "_OBJC_CLASS_$_NSDictionary": "Foundation",
    "_OBJC_CLASS_$_NSFileManager": "Foundation",
    "_OBJC_CLASS_$_NSMutableArray": "Foundation",
    "_OBJC_CLASS_$_NSMutableDictionary": "Foundation",
    "_OBJC_CLASS_$_NSNumber": "Foundation",
    "_OBJC_CLASS_$_NSPropertyListSerialization": "Foundation",
    "_OBJC_CLASS_$_NSString": "Foundation",
    "_kCFCoreFoundationVersionNumber": "CoreFoundation",
    "___CFConstantStringClassReference": "CoreFoundation",
    "_CFNotificationCenterGetDarwinNotifyCenter": "CoreFoundation",
    "_CFNotificationCenterAddObserver": "CoreFoundation",
    "_CFNotificationCenterPostNotification": "CoreFoundation",
    "_AudioServicesPlaySystemSound": "AudioToolbox",
    "_AudioServicesPlaySystemSoundWithVibration": "AudioToolbox",
    "_MSHookMessageEx": "CydiaSubstrate",
    "_OBJC_CLASS_$_PSListController": "Preferences",
    "_OBJC_METACLASS_$_PSListController": "Preferences",
}
# Five 16 KiB pages a slice: the header's, two for code and constants, the
# data's, and the link edit's (symbols and signature). Every segment but the
# last fills whole pages, so the file grows a page at a time.
MAX_SIZE = 80 * 1024
# CPU_SUBTYPE_ARM64E with the pointer-authentication ABI flag, ABI version 0.
ARM64E_SUBTYPE = 0x80000002
# The chained-fixup pointer formats dyld processes in arm64e images:
# DYLD_CHAINED_PTR_ARM64E, _64, _64_OFFSET, _ARM64E_USERLAND24.
ARM64E_POINTER_FORMATS = {1, 2, 6, 12}

# The highest compatibility version a binary may record for each library:
# dyld refuses a library whose current version is below the recorded
# compatibility version (always, up to iOS 12). Substrate and its rootless
# replacements ship 0.0.0; the system libraries' current versions are far
# above these, which are their own compatibility versions (what Apple's SDK
# records).
COMPATIBILITY = dict({name: "1.0.0" for name in LIBRARIES}, CydiaSubstrate="0.0.0",
                     Foundation="300.0.0", CoreFoundation="150.0.0")


class Checks:
    def __init__(self):
        self.failures = 0
        self.count = 0
        self.prefix = ""  # the slice of a fat file being checked

    def check(self, what, ok, detail=""):
        self.count += 1
        if ok:
            print(f"ok: {self.prefix}{what}")
        else:
            self.failures += 1
            print(f"FAILED: {self.prefix}{what}" + (f"\n  {detail}" if detail else ""))


CPU_TYPE_ARM64 = 0x0100000C


def slices(path):
    """(architecture, bytes) of each image in a thin or fat Mach-O file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, = struct.unpack_from(">I", data, 0)
    if magic in (0xCAFEBABE, 0xCAFEBABF):  # fat, 32- or 64-bit offsets
        count, = struct.unpack_from(">I", data, 4)
        entry, size = (">IIIII", 20) if magic == 0xCAFEBABE else (">IIQQII", 32)
        images = [struct.unpack_from(entry, data, 8 + size * i)[:4] for i in range(count)]
    else:
        images = [struct.unpack_from("<II", data, 4) + (0, len(data))]
    named = []
    for cputype, subtype, offset, size in images:
        name = f"cpu {cputype:#x}/{subtype:#x}"
        if cputype == CPU_TYPE_ARM64:
            name = {0: "arm64", 2: "arm64e"}.get(subtype & 0xFFFFFF, name)
        named.append((name, data[offset:offset + size]))
    return named


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{result.stderr}")
    return result.stdout


# The symbols of each kind of objc entry in a .tbd stub.
TBD_PREFIXES = {
    "symbols": [""],
    "objc-classes": ["_OBJC_CLASS_$_", "_OBJC_METACLASS_$_"],
    "objc-ivars": ["_OBJC_IVAR_$_"],
}


def version(text):
    """A Mach-O version (X[.Y[.Z]]) as a comparable tuple."""
    parts = [int(part) for part in text.split(".")]
    return tuple(parts + [0] * (3 - len(parts)))


def tbd_versions(path):
    """The current and compatibility versions a .tbd stub declares, or None."""
    with open(path) as f:
        text = f.read()
    found = [re.search(rf"^{key}-version:\s*'?([0-9.]+)", text, re.M)
             for key in ("current", "compatibility")]
    return [match.group(1) if match else None for match in found]


def tbd_exports(path):
    """The symbols a .tbd stub exports, and the libraries it re-exports."""
    with open(path) as f:
        text = f.read()
    names = set()
    for kind, items in re.findall(r"(symbols|objc-classes|objc-ivars):\s*\[([^\]]*)\]", text):
        for item in items.replace("\n", " ").split(","):
            item = item.strip().strip("'")
            if item:
                names.update(prefix + item for prefix in TBD_PREFIXES[kind])
    reexports = re.findall(r"'([^']+)'", "".join(re.findall(r"libraries:\s*\[([^\]]*)\]", text)))
    return names, reexports


def stub_path(sdk, install_name):
    """The stand-in SDK's stub for a library, by its install name."""
    path = os.path.join(sdk, install_name.replace("@rpath/", "/Library/Frameworks/").lstrip("/"))
    return (path[:-len(".dylib")] if path.endswith(".dylib") else path) + ".tbd"


def load_commands(otool, dylib):
    """(command, {field: value}) for each load command."""
    commands = []
    for block in re.split(r"\nLoad command \d+\n", run(otool, "-l", dylib))[1:]:
        fields = {}
        for line in block.splitlines():
            parts = line.split(None, 1)
            if len(parts) == 2:
                fields.setdefault(parts[0], parts[1])
        commands.append((fields.get("cmd"), fields))
    return commands


def bindings(objdump, dylib, chained):
    """{symbol: library short name} from the bind, lazy and weak tables, or
    from the chained fixups' binds."""
    bound = {}
    tables = ("--dyld-info",) if chained else ("--bind", "--lazy-bind", "--weak-bind")
    for table in tables:
        for line in run(objdump, "--macho", table, dylib).splitlines():
            parts = line.split()
            if chained and (len(parts) < 8 or parts[4] != "bind"):
                continue
            if len(parts) >= 5 and parts[0].startswith("__") and parts[-1].startswith(("_", "dyld")):
                bound[parts[-1]] = parts[-2]
    return bound


def chained_pointer_formats(objdump, image):
    """The pointer format of each segment's chained fixups."""
    listing = run(objdump, "--macho", "--chained-fixups", image)
    return [int(value) for value in re.findall(r"pointer_format = (\d+)", listing)]


def check_arm64e(c, args, commands, data):
    """What dyld on an A12 or later phone needs of an arm64e image."""
    cputype, subtype = struct.unpack_from("<II", data, 4)
    c.check(f"cputype arm64 and cpusubtype {ARM64E_SUBTYPE:#x}",
            (cputype, subtype) == (CPU_TYPE_ARM64, ARM64E_SUBTYPE),
            f"found {cputype:#x}/{subtype:#x}")
    kinds = [cmd for cmd, _ in commands]
    c.check("chained fixups (LC_DYLD_CHAINED_FIXUPS), no classic dyld info",
            "LC_DYLD_CHAINED_FIXUPS" in kinds
            and not {"LC_DYLD_INFO", "LC_DYLD_INFO_ONLY"} & set(kinds), f"found {kinds}")
    formats = chained_pointer_formats(args.objdump, args.file)
    c.check("one pointer format that dyld processes in arm64e images",
            len(set(formats)) == 1 and formats[0] in ARM64E_POINTER_FORMATS, f"found {formats}")
    sections = run(args.objdump, "--macho", "--section-headers", args.file)
    c.check("initialisers as 32-bit offsets (__init_offsets), none as pointers (__mod_init_func)",
            "__init_offsets" in sections and "__mod_init_func" not in sections)


def as_class(symbol):
    """A stub exports a class and its metaclass together: one export."""
    return symbol.replace("_OBJC_METACLASS_$_", "_OBJC_CLASS_$_", 1)


def check_stubs(c, sdk):
    """The table agrees with the stubs, both ways: each symbol is exported by
    the stub of its library and each stub exports only symbols of the table
    under its own library, so the stubs say what iOS says."""
    libraries = dict(LIBRARIES, CydiaSubstrate=SUBSTRATE["rootful"])
    for library, install_name in sorted(libraries.items()):
        names = {as_class(name) for name in tbd_exports(stub_path(sdk, install_name))[0]}
        table = {as_class(symbol) for symbol, owner in EXPORTED_BY.items() if owner == library}
        c.check(f"the stand-in {library} exports exactly its symbols of the table", names == table,
                f"missing {sorted(table - names)}, not in the table {sorted(names - table)}")
        # Undeclared, the linker records 1.0.0, too high for Substrate.
        current, compatibility = tbd_versions(stub_path(sdk, install_name))
        c.check(f"the stand-in {library} declares versions, compatibility at most "
                f"{COMPATIBILITY[library]}",
                current is not None and compatibility is not None
                and version(compatibility) <= min(version(current), version(COMPATIBILITY[library])),
                f"current {current}, compatibility {compatibility}")
    _, foundation_reexports = tbd_exports(stub_path(sdk, LIBRARIES["Foundation"]))
    c.check("Foundation re-exports libobjc and CoreFoundation",
            sorted(foundation_reexports) == sorted([LIBRARIES["libobjc"], LIBRARIES["CoreFoundation"]]),
            f"re-exports {foundation_reexports}")


def check_dylib(c, args, commands):
    """Thrumline.dylib: the scheme's names and paths, one export, its
    initialisers, its size."""
    root = ROOT[args.scheme]
    ids = [f.get("name", "").split(" (offset")[0] for cmd, f in commands if cmd == "LC_ID_DYLIB"]
    c.check("install name under the scheme's root",
            ids == [f"{root}/Library/MobileSubstrate/DynamicLibraries/Thrumline.dylib"], f"found {ids}")
    rpaths = [f.get("path", "").split(" (offset")[0] for cmd, f in commands if cmd == "LC_RPATH"]
    c.check("the scheme's rpaths", rpaths == RPATHS[args.scheme], f"found {rpaths}")

    exported = run(args.nm, "-g", "--defined-only", args.file).split()
    c.check("exports exactly _refreshPrefs", exported[2::3] == ["_refreshPrefs"], f"found {exported[2::3]}")

    # The settings table's and the library's own load-time work: pointers in
    # the arm64 slice, 32-bit offsets in the arm64e one.
    sections = run(args.objdump, "--macho", "--section-headers", args.file)
    init = re.search(r"(__mod_init_func|__init_offsets)\s+([0-9a-f]+)", sections)
    entry = {"__mod_init_func": 8, "__init_offsets": 4}
    c.check("two load-time initialisers",
            init is not None and int(init.group(2), 16) == 2 * entry[init.group(1)],
            f"{init.group(1)}: {init.group(2)}" if init else "none")
    size = os.path.getsize(args.file)
    c.check(f"under {MAX_SIZE // 1024} KiB ({size} bytes)", size < MAX_SIZE)


def check_bundle(c, args, data):
    """The pane's executable: Settings makes an object of the class
    Info.plist names, which the bundle makes at run time as it loads (class
    metadata and constant strings would be signed pointers in static data in
    the arm64e slice), and needs nothing else from it."""
    with open(args.info_plist, "rb") as f:
        principal = plistlib.load(f)["NSPrincipalClass"]
    exported = run(args.nm, "-g", "--defined-only", args.file).split()
    c.check("exports nothing", exported == [], f"found {exported[2::3]}")
    sections = run(args.objdump, "--macho", "--section-headers", args.file)
    held = [name for name in ("__objc_classlist", "__objc_data", "__cfstring") if name in sections]
    c.check("no class metadata, no constant strings", held == [], f"found {held}")
    undefined = run(args.nm, "-u", args.file).split()
    c.check(f"makes {principal}, Info.plist's principal class, at run time",
            b"\0" + principal.encode() + b"\0" in data
            and {"_objc_allocateClassPair", "_objc_registerClassPair"} <= set(undefined))


def check_image(c, args, is_dylib, arch, path, data):
    """Every check of one thin image, `path`, of args.file."""
    args = argparse.Namespace(**dict(vars(args), file=path))
    min_os = args.arm64e_min_os if arch == "arm64e" else args.min_os

    header = run(args.otool, "-hv", args.file).splitlines()[-1].split()
    c.check("a 64-bit Mach-O", header[0] == "MH_MAGIC_64", " ".join(header))
    c.check(f"{arch}", header[1:3] == ["ARM64", {"arm64": "ALL", "arm64e": "E"}.get(arch)],
            " ".join(header))
    file_type = "DYLIB" if is_dylib else "BUNDLE"
    c.check(f"a {file_type.lower()}", header[4] == file_type, " ".join(header))

    commands = load_commands(args.otool, args.file)
    versions = [f.get("version") for cmd, f in commands if cmd == "LC_VERSION_MIN_IPHONEOS"]
    versions += [f.get("minos") for cmd, f in commands
                 if cmd == "LC_BUILD_VERSION" and f.get("platform", "").lower() in ("2", "ios")]
    c.check(f"minimum iOS {min_os}", versions == [min_os], f"found {versions}")

    libraries = dict(LIBRARIES, CydiaSubstrate=SUBSTRATE.get(args.scheme))
    expected = [libraries[name] for name in LOADS["dylib" if is_dylib else "bundle"]]
    loaded = [f.get("name", "").split(" (offset")[0] for cmd, f in commands if cmd == "LC_LOAD_DYLIB"]
    c.check("loads exactly the libraries it needs", sorted(loaded) == sorted(expected), f"found {loaded}")
    c.check("no libstdc++", not any("stdc++" in name for name in loaded))
    by_name = {name: library for library, name in libraries.items()}
    for cmd, f in commands:
        if cmd != "LC_LOAD_DYLIB":
            continue
        library = by_name.get(f.get("name", "").split(" (offset")[0])
        recorded = f.get("compatibility", "version ?").split()[-1]
        ceiling = COMPATIBILITY.get(library, "0.0.0")
        c.check(f"{library} recorded with compatibility version {recorded}, at most {ceiling}",
                re.fullmatch(r"[0-9.]+", recorded) is not None and version(recorded) <= version(ceiling),
                f"current {f.get('current', '?')}")

    if arch == "arm64e":
        check_arm64e(c, args, commands, data)
    undefined = set(run(args.nm, "-u", args.file).split())
    if arch == "arm64e":
        # The linker names lazy binding's helper in every symbol table; with
        # chained fixups nothing is bound lazily and nothing refers to it.
        undefined.discard("dyld_stub_binder")
    bound = bindings(args.objdump, args.file, chained=arch == "arm64e")
    c.check("every import is bound", undefined == set(bound),
            f"unbound {sorted(undefined - set(bound))}, bound only {sorted(set(bound) - undefined)}")
    for symbol in sorted(undefined):
        owner = EXPORTED_BY.get(symbol)
        c.check(f"{symbol} bound to {owner}", bound.get(symbol) == owner,
                f"bound to {bound.get(symbol)}" if owner else "not an import the phone build may have")

    verify = subprocess.run([sys.executable, os.path.join(HERE, "verify-code-signature.py"), args.file],
                            capture_output=True, text=True)
    c.check("an ad-hoc signature whose page hashes verify", verify.returncode == 0, verify.stderr.strip())

    if is_dylib:
        check_dylib(c, args, commands)
    else:
        check_bundle(c, args, data)


def main():
    parser = argparse.ArgumentParser()
    kind = parser.add_mutually_exclusive_group(required=True)
    kind.add_argument("--dylib")
    kind.add_argument("--bundle")
    parser.add_argument("--scheme")
    parser.add_argument("--info-plist")
    for option in ("--sdk", "--min-os", "--objdump", "--nm", "--otool"):
        parser.add_argument(option, required=True)
    parser.add_argument("--arm64e-min-os", default="14.0")
    args = parser.parse_args()
    is_dylib = args.dylib is not None
    args.file = args.dylib if is_dylib else args.bundle
    if is_dylib and args.scheme not in ROOT:
        parser.error("--dylib needs --scheme rootful or rootless")
    if not is_dylib and not args.info_plist:
        parser.error("--bundle needs --info-plist")
    if not os.path.isfile(args.file):
        parser.error(f"no such file: {args.file}")
    c = Checks()
    check_stubs(c, args.sdk)
    images = slices(args.file)
    names = [name for name, _ in images]
    c.check(f"an arm64 and an arm64e slice ({', '.join(names)})",
            sorted(names) == ["arm64", "arm64e"])
    with tempfile.TemporaryDirectory() as work:
        for arch, image in images:
            if len(images) > 1:
                c.prefix = f"{arch}: "
            path = os.path.join(work, arch)
            with open(path, "wb") as f:
                f.write(image)
            check_image(c, args, is_dylib, arch, path, image)
    print(f"{c.count - c.failures} passed, {c.failures} failed")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
