#!/usr/bin/python3
"""Writes a setup file: the linked setup program, zero bytes up to alignment,
the application payload, and the 24-byte trailer (magic "TARVOPKG3" + 3 zero
bytes, payload length as unsigned 64-bit, payload CRC-32 as unsigned 32-bit,
all little-endian). The trailer ends on an 8-byte boundary, so that signing,
which puts the certificate table on such a boundary behind it, adds nothing
between them.

    pack_setup.py STUB PAYLOAD OUTPUT     write OUTPUT
    pack_setup.py --verify SETUP          check SETUP's trailer and payload CRC

A signed setup file is read as the setup program reads it: when its PE header
names a certificate table that ends the file, the trailer ends where the table
begins, before at most 7 zero bytes.

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
ALIGNMENT = 8
MAX_TABLE_PADDING = 7
BLOCK = 1 << 20


class Refused(Exception):
    pass


def regular_file(path, what):
    if not os.path.isfile(path):
        raise Refused(f"{what} not found: {path}")
    return os.path.getsize(path)


def copy_into(out, path):
    """Copies a file; returns the number of bytes copied and their CRC-32."""
    crc, copied = 0, 0
    with open(path, "rb") as source:
        while block := source.read(BLOCK):
            out.write(block)
            crc = zlib.crc32(block, crc)
            copied += len(block)
    return copied, crc


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
            out.write(bytes(-(out.tell() + os.path.getsize(payload) + TRAILER.size) % ALIGNMENT))
            length, crc = copy_into(out, payload)
            out.write(TRAILER.pack(MAGIC, length, crc))
            if length == 0 or out.tell() % ALIGNMENT:
                raise Refused(f"{payload} changed while being packed")
        os.chmod(temporary, 0o755)
        os.replace(temporary, output)
    except BaseException:
        os.unlink(temporary)
        raise
    print(f"{output}: payload {length} bytes, CRC-32 {crc:08x}")


def read_at(source, size, offset, count):
    if offset < 0 or offset > size or size - offset < count:
        return None
    source.seek(offset)
    data = source.read(count)
    return data if len(data) == count else None


def certificate_table(source, size):
    """The file offset of a certificate table that ends the file, or None."""
    pointer = read_at(source, size, 0x3C, 4)
    if pointer is None:
        return None
    header_at = struct.unpack("<I", pointer)[0]
    headers = read_at(source, size, header_at, 4 + 20 + 112 + 40)
    if headers is None or headers[:4] != b"PE\0\0":
        return None
    optional_size = struct.unpack_from("<H", headers, 4 + 16)[0]
    directories = {0x20B: 112, 0x10B: 96}.get(struct.unpack_from("<H", headers, 24)[0])
    if directories is None or optional_size < directories + 40:
        return None
    offset, length = struct.unpack_from("<II", headers, 24 + directories + 4 * 8)
    if length == 0 or offset > size or size - offset != length:
        return None
    return offset


def verify(setup):
    size = regular_file(setup, "setup file")
    with open(setup, "rb") as source:
        table = certificate_table(source, size)
        end = size if table is None else table
        span = min(end, TRAILER.size + (0 if table is None else MAX_TABLE_PADDING))
        tail = read_at(source, size, end - span, span) if end >= TRAILER.size else None
        if tail is None:
            raise Refused(f"{setup}: {size} bytes, too short for a trailer")
        for padding in range(span - TRAILER.size + 1):
            if padding and tail[span - padding] != 0:
                raise Refused(f"{setup}: no package trailer")
            if tail[span - padding - TRAILER.size:][:9] == MAGIC[:9]:
                break
        else:
            raise Refused(f"{setup}: no package trailer")
        trailer_end = end - padding
        magic, length, expected = TRAILER.unpack(tail[span - padding - TRAILER.size:span - padding])
        if length == 0 or length > trailer_end - TRAILER.size:
            raise Refused(f"{setup}: payload length {length} does not fit a file of {size} bytes")
        source.seek(trailer_end - TRAILER.size - length)
        crc, left = 0, length
        while left:
            block = source.read(min(BLOCK, left))
            if not block:
                raise Refused(f"{setup}: ended {left} bytes before the end of the payload")
            crc = zlib.crc32(block, crc)
            left -= len(block)
    signature = "unsigned" if table is None else f"signed: certificate table of {size - table} bytes at offset {table}"
    print(f"{setup}: payload {length} bytes at offset {trailer_end - TRAILER.size - length}, "
          f"CRC-32 {expected:08x} stored, {crc:08x} computed; {signature}")
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
