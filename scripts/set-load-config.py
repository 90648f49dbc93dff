#!/usr/bin/python3
"""Points the PE header's load-configuration directory at `_load_config_used`,
which GNU ld 2.40 places in the image but does not enter in the directory. The
symbol's address comes from the linker's map, since the image is stripped; the
directory's size is the structure's own Size field. The header's checksum, which
ld computed, is computed again.

Usage: set-load-config.py IMAGE MAP
"""
import re
import struct
import sys

IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG = 10


def checksum(data, field):
    """The PE checksum: the 16-bit one's-complement sum of the file's words, its own
    field left out, plus the file's length."""
    total = 0
    padded = bytes(data) + b"\0" * (len(data) % 2)
    for offset, (word,) in zip(range(0, len(padded), 2), struct.iter_unpack("<H", padded)):
        if field <= offset < field + 4:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main():
    image, map_file = sys.argv[1:3]
    found = re.findall(r"^\s+0x([0-9a-f]+)\s+_?_load_config_used$", open(map_file).read(), re.M)
    if len(found) != 1:
        sys.exit(f"{map_file}: _load_config_used found {len(found)} times, expected once")
    data = bytearray(open(image, "rb").read())
    header = struct.unpack_from("<I", data, 0x3C)[0]
    optional = header + 4 + 20
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:  # PE32
        image_base, directories = struct.unpack_from("<I", data, optional + 28)[0], optional + 96
    elif magic == 0x20B:  # PE32+
        image_base, directories = struct.unpack_from("<Q", data, optional + 24)[0], optional + 112
    else:
        sys.exit(f"{image}: optional header magic {magic:#x}")
    rva = int(found[0], 16) - image_base

    sections = struct.unpack_from("<H", data, header + 6)[0]
    table = optional + struct.unpack_from("<H", data, header + 20)[0]
    for i in range(sections):
        size, address, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if address <= rva < address + size:
            size_field = struct.unpack_from("<I", data, raw + rva - address)[0]
            break
    else:
        sys.exit(f"{image}: _load_config_used at RVA {rva:#x} is in no section")
    struct.pack_into("<II", data, directories + 8 * IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG, rva, size_field)
    struct.pack_into("<I", data, optional + 64, checksum(data, optional + 64))
    open(image, "wb").write(data)


if __name__ == "__main__":
    main()
