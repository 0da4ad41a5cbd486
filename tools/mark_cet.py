#!/usr/bin/env python3
"""Marks a linked PE32+ image as compatible with hardware-enforced shadow
stacks (CET), which GNU ld cannot do: a debug directory entry of type
IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS with IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT,
in a small read-only section added after the last one. Entries the image
already has are kept. The result depends only on the input, so a
reproducible build stays reproducible; an image already marked is left
alone.

Usage: mark_cet.py IMAGE
"""
import struct
import sys

DEBUG_DIRECTORY = 6
DEBUG_ENTRY = struct.Struct("<IIHHIIII")
TYPE_EX_DLLCHARACTERISTICS = 20
EX_CET_COMPAT = 0x1
SECTION = struct.Struct("<8sIIIIIIHHI")
SECTION_NAME = b".dbgdir\0"
READ_ONLY_DATA = 0x40000040


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum(image, field):
    """The PE checksum: 16-bit one's-complement sum of the file, the checksum
    field taken as zero, plus the file's length."""
    data = image[:field] + b"\0\0\0\0" + image[field + 4:]
    data += b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(image)


def mark(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise SystemExit("not a PE32+ image")
    section_alignment, file_alignment = struct.unpack_from("<II", image, optional + 32)
    headers_size = struct.unpack_from("<I", image, optional + 60)[0]
    directory = optional + 112 + DEBUG_DIRECTORY * 8
    debug_rva, debug_size = struct.unpack_from("<II", image, directory)

    table = optional + optional_size
    headers = [SECTION.unpack_from(image, table + i * SECTION.size) for i in range(sections)]

    def offset_of(rva):
        for _, virtual_size, address, raw_size, raw_pointer, *_ in headers:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_pointer + rva - address
        raise SystemExit("debug directory outside every section")

    entries = []
    if debug_size:
        start = offset_of(debug_rva)
        entries = [DEBUG_ENTRY.unpack_from(image, start + i * DEBUG_ENTRY.size)
                   for i in range(debug_size // DEBUG_ENTRY.size)]
    if any(entry[4] == TYPE_EX_DLLCHARACTERISTICS for entry in entries):
        return image

    if table + (sections + 1) * SECTION.size > min([headers_size] + [h[4] for h in headers if h[3]]):
        raise SystemExit("no room for another section header")
    last = max(headers, key=lambda h: h[2])
    file_end = max(h[4] + h[3] for h in headers)
    if file_end != len(image):
        raise SystemExit("data after the last section: mark the image before anything is appended")

    address = align(last[2] + last[1], section_alignment)
    raw_pointer = align(len(image), file_alignment)
    entries_size = (len(entries) + 1) * DEBUG_ENTRY.size
    payload = struct.pack("<I", EX_CET_COMPAT)
    entries.append((0, 0, 0, 0, TYPE_EX_DLLCHARACTERISTICS, len(payload), address + entries_size, raw_pointer + entries_size))
    body = b"".join(DEBUG_ENTRY.pack(*entry) for entry in entries) + payload
    raw_size = align(len(body), file_alignment)

    out = bytearray(image) + b"\0" * (raw_pointer - len(image))
    out += body + b"\0" * (raw_size - len(body))
    SECTION.pack_into(out, table + sections * SECTION.size, SECTION_NAME, len(body), address, raw_size, raw_pointer,
                      0, 0, 0, 0, READ_ONLY_DATA)
    struct.pack_into("<H", out, pe + 6, sections + 1)
    initialized = struct.unpack_from("<I", out, optional + 8)[0]
    struct.pack_into("<I", out, optional + 8, initialized + raw_size)
    struct.pack_into("<I", out, optional + 56, align(address + len(body), section_alignment))
    struct.pack_into("<II", out, directory, address, entries_size)
    struct.pack_into("<I", out, optional + 64, checksum(bytes(out), optional + 64))
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as handle:
        image = handle.read()
    marked = mark(image)
    if marked != image:
        with open(sys.argv[1], "wb") as handle:
            handle.write(marked)


if __name__ == "__main__":
    main()
