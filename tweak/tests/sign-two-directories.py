#!/usr/bin/env python3
"""Signs a thin Mach-O file ad hoc the way ldid and codesign do, with two
CodeDirectories: SHA-1 in slot 0 and SHA-256 as the first alternate. The
tests use it to check the signature check against what those signers
write.

Usage: sign-two-directories.py IN OUT
Exit 0 when OUT is written, 2 on bad usage or input."""
import argparse
import hashlib
import struct
import sys

LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
PAGE_SHIFT = 12
DIRECTORIES = [(0, 1, hashlib.sha1), (0x1000, 2, hashlib.sha256)]  # slot, hash type, hash
IDENTIFIER = b"com.brindle.thrumline\0"


def code_directory(code, hash_type, hasher):
    """A CodeDirectory (version 0x20100) hashing each page of `code`."""
    page = 1 << PAGE_SHIFT
    hashes = b"".join(hasher(code[i:i + page]).digest() for i in range(0, len(code), page))
    header_size = 48
    hash_offset = header_size + len(IDENTIFIER)
    return struct.pack(">IIIIIIIIIBBBBII", 0xFADE0C02, hash_offset + len(hashes), 0x20100,
                       0x2, hash_offset, header_size, 0, len(code) // page + (len(code) % page > 0),
                       len(code), hasher().digest_size, hash_type, 0, PAGE_SHIFT, 0,
                       0) + IDENTIFIER + hashes


def sign(data):
    data = bytearray(data)
    if struct.unpack_from("<I", data, 0)[0] != 0xFEEDFACF:
        raise ValueError("not a thin 64-bit Mach-O file")
    ncmds, = struct.unpack_from("<I", data, 16)
    offset, signature, linkedit = 32, None, None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, offset)
        if cmd == LC_CODE_SIGNATURE:
            signature = offset
        elif cmd == LC_SEGMENT_64 and data[offset + 8:offset + 24].rstrip(b"\0") == b"__LINKEDIT":
            linkedit = offset
        offset += size
    if signature is None or linkedit is None:
        raise ValueError("no LC_CODE_SIGNATURE or __LINKEDIT to sign into")
    dataoff, = struct.unpack_from("<I", data, signature + 8)

    # The blob's size first: it goes into the header, which is then hashed.
    requirements = struct.pack(">III", 0xFADE0C01, 12, 0)
    cms = struct.pack(">II", 0xFADE0B01, 8)
    blob_sizes = [len(code_directory(bytes(dataoff), t, h)) for _, t, h in DIRECTORIES]
    size = 12 + 8 * 4 + sum(blob_sizes) + len(requirements) + len(cms)
    size = (size + 15) & ~15
    struct.pack_into("<I", data, signature + 12, size)
    fileoff, = struct.unpack_from("<Q", data, linkedit + 40)
    filesize = dataoff + size - fileoff
    struct.pack_into("<Q", data, linkedit + 32, (filesize + 0x3FFF) & ~0x3FFF)  # vmsize
    struct.pack_into("<Q", data, linkedit + 48, filesize)

    code = bytes(data[:dataoff])
    (sha1_slot, sha1_type, sha1), (sha256_slot, sha256_type, sha256) = DIRECTORIES
    blobs = [(sha1_slot, code_directory(code, sha1_type, sha1)), (2, requirements),
             (sha256_slot, code_directory(code, sha256_type, sha256)), (0x10000, cms)]
    index, body = b"", b""
    for slot, blob in blobs:
        index += struct.pack(">II", slot, 12 + 8 * len(blobs) + len(body))
        body += blob
    superblob = struct.pack(">III", 0xFADE0CC0, size, len(blobs)) + index + body
    return code + superblob.ljust(size, b"\0")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()
    try:
        with open(args.input, "rb") as f:
            signed = sign(f.read())
    except (OSError, ValueError, struct.error) as error:
        print(f"{args.input}: {error}", file=sys.stderr)
        return 2
    with open(args.output, "wb") as f:
        f.write(signed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
