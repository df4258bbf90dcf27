#!/usr/bin/env python3
"""The signature check itself, against the signatures the phone build may
carry: LLVM's linker's one SHA-256 CodeDirectory, and the SHA-1 and SHA-256
pair that ldid and codesign write. Each must verify as built and fail on a
changed page, and a wrong hash in either directory of the pair alone must
fail too.

Usage: signature-check-test.py VERIFIER SIGNER DYLIB WORKDIR
Exit 0 when every case holds, 1 otherwise."""
import os
import struct
import subprocess
import sys


def directory_hash_at(data, slot):
    """The file offset of page 0's hash in the CodeDirectory in `slot`."""
    ncmds, = struct.unpack_from("<I", data, 16)
    offset = 32
    for _ in range(ncmds):
        cmd, size, dataoff = struct.unpack_from("<III", data, offset)
        if cmd == 0x1D:
            break
        offset += size
    count, = struct.unpack_from(">I", data, dataoff + 8)
    for i in range(count):
        entry, blob = struct.unpack_from(">II", data, dataoff + 12 + 8 * i)
        if entry == slot:
            hash_offset, = struct.unpack_from(">I", data, dataoff + blob + 16)
            return dataoff + blob + hash_offset
    raise SystemExit(f"no CodeDirectory in slot {slot:#x}")


def main(verifier, signer, dylib, work):
    os.makedirs(work, exist_ok=True)
    two = os.path.join(work, "two-directories.dylib")
    subprocess.run([sys.executable, signer, dylib, two], check=True)
    with open(dylib, "rb") as f:
        linked = f.read()
    with open(two, "rb") as f:
        paired = f.read()

    def changed(data, at):
        return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]

    # (case, file contents, verifies, directories the failure names)
    cases = [
        ("linker's signature", linked, True, []),
        ("linker's signature, a changed page", changed(linked, 20000), False, ["0x0"]),
        ("ldid's and codesign's pair", paired, True, []),
        ("the pair, a changed page", changed(paired, 20000), False, ["0x0 (SHA-1)", "0x1000 (SHA-256)"]),
        ("the pair, a wrong SHA-1 hash", changed(paired, directory_hash_at(paired, 0)), False,
         ["0x0 (SHA-1): page 0"]),
        ("the pair, a wrong SHA-256 hash", changed(paired, directory_hash_at(paired, 0x1000)), False,
         ["0x1000 (SHA-256): page 0"]),
    ]
    failures = 0
    for name, data, verifies, named in cases:
        path = os.path.join(work, "case.dylib")
        with open(path, "wb") as f:
            f.write(data)
        result = subprocess.run([sys.executable, verifier, path], capture_output=True, text=True)
        ok = (result.returncode == 0) == verifies and all(
            f"CodeDirectory {directory}" in result.stderr for directory in named)
        failures += not ok
        print(f"{'ok' if ok else 'FAILED'}: {name}" + ("" if ok else f"\n  {result.stderr.strip()}"))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__.split("\n\n")[1])
    sys.exit(main(*sys.argv[1:]))
