#!/usr/bin/env python3
"""Makes the resource section of a linked PE image read-only, in place.

GNU ld gives a section named .rsrc write permission whatever its input
sections ask for, yet nothing ever writes to resources: Windows maps them
read-only when the section says so. This step clears the section's write
flag and writes the image checksum again, since the flag is part of the
summed bytes. Everything else stays as the linker wrote it, so two builds
still give the same bytes.

    readonly_resources.py IMAGE

Exits non-zero, leaving IMAGE as it was, when IMAGE is not a PE image or
has no .rsrc section.
"""

import struct
import sys

SCN_MEM_WRITE = 0x80000000
SECTION_HEADER_SIZE = 40
# Offset of CheckSum in the optional header; the same for PE32 and PE32+.
CHECKSUM_OFFSET = 64


def pe_checksum(data, checksum_at):
    """The image checksum: the 16-bit one's-complement-style sum of the file
    with the checksum field taken as zero, plus the file's length."""
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The checksum field's two words counted as zero.
    total -= sum(struct.unpack_from("<HH", padded, checksum_at))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def make_resources_readonly(data):
    """Returns the patched image, or raises ValueError."""
    image = bytearray(data)
    if image[:2] != b"MZ" or len(image) < 0x40:
        raise ValueError("not a PE image (no MZ header)")
    pe_at = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe_at:pe_at + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe_at + 6)
    optional_at = pe_at + 24
    table_at = optional_at + optional_size
    for i in range(sections):
        header_at = table_at + i * SECTION_HEADER_SIZE
        name = bytes(image[header_at:header_at + 8]).rstrip(b"\0")
        if name != b".rsrc":
            continue
        flags_at = header_at + 36
        flags = struct.unpack_from("<I", image, flags_at)[0]
        struct.pack_into("<I", image, flags_at, flags & ~SCN_MEM_WRITE)
        checksum_at = optional_at + CHECKSUM_OFFSET
        struct.pack_into("<I", image, checksum_at, pe_checksum(bytes(image), checksum_at))
        return bytes(image)
    raise ValueError("no .rsrc section")


def main(argv):
    if len(argv) != 1:
        print("usage: readonly_resources.py IMAGE", file=sys.stderr)
        return 64
    path = argv[0]
    try:
        with open(path, "rb") as f:
            patched = make_resources_readonly(f.read())
    except (OSError, ValueError) as e:
        print(f"readonly_resources: {path}: {e}", file=sys.stderr)
        return 1
    with open(path, "wb") as f:
        f.write(patched)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
