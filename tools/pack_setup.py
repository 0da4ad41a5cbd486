#!/usr/bin/python3
"""Writes a setup file: the linked setup program, the application payload, and
the 24-byte trailer (magic "TARVOPKG3" + 3 zero bytes, payload length as
unsigned 64-bit, payload CRC-32 as unsigned 32-bit, all little-endian).

    pack_setup.py STUB PAYLOAD OUTPUT     write OUTPUT
    pack_setup.py --verify SETUP          check SETUP's trailer and payload CRC

The CRC-32 comes from zlib, independently of the program that checks it.
Exit status: 0 done, 1 refused or failed (with a message on stderr).
"""
import os
import struct
import sys
import tempfile
import zlib

MAGIC = b"TARVOPKG3\0\0\0"
TRAILER = struct.Struct("<12sQI")
BLOCK = 1 << 20


class Refused(Exception):
    pass


def regular_file(path, what):
    if not os.path.isfile(path):
        raise Refused(f"{what} not found: {path}")
    return os.path.getsize(path)


def copy_into(out, path):
    crc = 0
    with open(path, "rb") as source:
        while block := source.read(BLOCK):
            out.write(block)
            crc = zlib.crc32(block, crc)
    return crc


def pack(stub, payload, output):
    regular_file(stub, "setup program")
    if regular_file(payload, "payload") == 0:
        raise Refused(f"payload is empty: {payload}")
    for source in (stub, payload):
        if os.path.exists(output) and os.path.samefile(source, output):
            raise Refused(f"output would overwrite an input: {output}")
    folder = os.path.dirname(os.path.abspath(output))
    # Written beside the output and renamed at the end: a failure never
    # leaves a half-written setup file under the final name.
    handle, temporary = tempfile.mkstemp(prefix=".pack-", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            copy_into(out, stub)
            crc = copy_into(out, payload)
            length = os.path.getsize(payload)
            out.write(TRAILER.pack(MAGIC, length, crc))
        os.chmod(temporary, 0o755)
        os.replace(temporary, output)
    except BaseException:
        os.unlink(temporary)
        raise
    print(f"{output}: payload {length} bytes, CRC-32 {crc:08x}")


def verify(setup):
    size = regular_file(setup, "setup file")
    if size < TRAILER.size:
        raise Refused(f"{setup}: {size} bytes, too short for a trailer")
    with open(setup, "rb") as source:
        source.seek(size - TRAILER.size)
        magic, length, expected = TRAILER.unpack(source.read(TRAILER.size))
        if magic[:9] != MAGIC[:9]:
            raise Refused(f"{setup}: no package trailer")
        if length == 0 or length > size - TRAILER.size:
            raise Refused(f"{setup}: payload length {length} does not fit a file of {size} bytes")
        source.seek(size - TRAILER.size - length)
        crc, left = 0, length
        while left:
            block = source.read(min(BLOCK, left))
            crc = zlib.crc32(block, crc)
            left -= len(block)
    print(f"{setup}: payload {length} bytes at offset {size - TRAILER.size - length}, "
          f"CRC-32 {expected:08x} stored, {crc:08x} computed")
    if crc != expected:
        raise Refused(f"{setup}: CRC-32 mismatch")


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "--verify":
            verify(argv[2])
        elif len(argv) == 4 and not argv[1].startswith("-"):
            pack(argv[1], argv[2], argv[3])
        else:
            raise Refused("usage: pack_setup.py STUB PAYLOAD OUTPUT | pack_setup.py --verify SETUP")
    except (Refused, OSError) as error:
        print(f"pack_setup: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
