#!/usr/bin/env python3
"""Checks a Mach-O file's code signature the way the phone's kernel does on
each page it maps: every CodeDirectory present (ldid and codesign write a
SHA-1 one in slot 0 and a SHA-256 one as the first alternate; LLVM's linker
one SHA-256 directory) must cover every byte before the signature, and each
page's hash must match its slot. A fat file is checked slice by slice. Exit
0 when every slice verifies, 1 otherwise, 2 on bad usage."""
import hashlib
import struct
import sys

LC_CODE_SIGNATURE = 0x1D
CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSSLOT_CODEDIRECTORY = 0
# Slot 0 holds the CodeDirectory the kernel needs; 0x1000 to 0x1004 hold
# alternates with other hash types.
DIRECTORY_SLOTS = [0] + list(range(0x1000, 0x1005))
# Hash type: name, hash, bytes kept of each digest.
HASH_TYPES = {
    1: ("SHA-1", hashlib.sha1, 20),
    2: ("SHA-256", hashlib.sha256, 32),
    3: ("SHA-256 truncated", hashlib.sha256, 20),
    4: ("SHA-384", hashlib.sha384, 48),
}


def check_directory(data, directory, dataoff, name):
    """Returns a list of problems with one CodeDirectory at `directory`."""
    (cd_magic, _, _, _, hash_offset, _, _, code_slots, code_limit, hash_size,
     hash_type, _, page_shift) = struct.unpack_from(">IIIIIIIIIBBBB", data, directory)
    if cd_magic != CSMAGIC_CODEDIRECTORY:
        return [f"{name}: the CodeDirectory has the wrong magic"]
    if hash_type not in HASH_TYPES or HASH_TYPES[hash_type][2] != hash_size:
        return [f"{name}: unknown hash type {hash_type} of {hash_size} bytes"]
    kind, hasher, kept = HASH_TYPES[hash_type]
    name = f"{name} ({kind})"
    problems = []
    if code_limit != dataoff:
        problems.append(f"{name}: signature covers {code_limit} bytes, not the {dataoff} before it")
    page = 1 << page_shift if page_shift else code_limit
    expected_slots = (code_limit + page - 1) // page
    if code_slots != expected_slots:
        problems.append(f"{name}: {code_slots} page hashes for {expected_slots} pages")
    for i in range(min(code_slots, expected_slots)):
        start = i * page
        actual = hasher(data[start:min(start + page, code_limit)]).digest()[:kept]
        slot_at = directory + hash_offset + i * hash_size
        if actual != data[slot_at:slot_at + hash_size]:
            problems.append(f"{name}: page {i} (bytes {start}..) does not match its hash")
    return problems


def check_slice(data, name):
    """Returns a list of problems with one thin Mach-O image."""
    magic, = struct.unpack_from("<I", data, 0)
    if magic != 0xFEEDFACF:
        return [f"{name}: not a 64-bit little-endian Mach-O (magic {magic:#x})"]
    ncmds, = struct.unpack_from("<I", data, 16)
    offset = 32
    signature = None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, offset)
        if cmd == LC_CODE_SIGNATURE:
            signature = struct.unpack_from("<II", data, offset + 8)
        offset += size
    if signature is None:
        return [f"{name}: no LC_CODE_SIGNATURE (unsigned)"]
    dataoff, datasize = signature
    if dataoff + datasize > len(data):
        return [f"{name}: signature runs past the end of the file"]
    blob_magic, _, count = struct.unpack_from(">III", data, dataoff)
    if blob_magic != CSMAGIC_EMBEDDED_SIGNATURE:
        return [f"{name}: signature is not an embedded signature blob"]
    directories = {}
    for i in range(count):
        slot, blob_offset = struct.unpack_from(">II", data, dataoff + 12 + 8 * i)
        if slot in DIRECTORY_SLOTS:
            directories[slot] = dataoff + blob_offset
    if CSSLOT_CODEDIRECTORY not in directories:
        return [f"{name}: signature has no CodeDirectory in slot 0"]
    problems = []
    for slot, directory in sorted(directories.items()):
        problems += check_directory(data, directory, dataoff, f"{name}: CodeDirectory {slot:#x}")
    return problems


def slices(data):
    """(name, bytes) of each image in a thin or fat Mach-O file."""
    magic, = struct.unpack_from(">I", data, 0)
    if magic != 0xCAFEBABE:
        return [("thin", data)]
    count, = struct.unpack_from(">I", data, 4)
    result = []
    for i in range(count):
        cputype, subtype, offset, size, _ = struct.unpack_from(">IIIII", data, 8 + 20 * i)
        result.append((f"slice {cputype:#x}/{subtype & 0xFFFFFF:#x}", data[offset:offset + size]))
    return result


def main(argv):
    if len(argv) != 2:
        print(f"usage: {argv[0]} MACHO_FILE", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"{argv[0]}: {error}", file=sys.stderr)
        return 2
    problems = []
    try:
        for name, image in slices(data):
            problems += check_slice(image, name)
    except struct.error:
        problems.append("truncated Mach-O file")
    for problem in problems:
        print(f"{argv[1]}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
