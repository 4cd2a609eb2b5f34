#!/usr/bin/env python3
"""Points a linked program's load-configuration directory at its `_load_config_used` structure.

GNU ld before 2.41 does not fill in that directory entry by itself; the structure is in the
program all the same (framework/WinMain.cpp), and the link map says where. Usage:
set_load_config.py PROGRAM.exe PROGRAM.map
"""
import re
import struct
import sys

LOAD_CONFIG = 10


def symbol_address(map_text):
    found = re.search(r"^\s+0x([0-9a-fA-F]+)\s+_{1,2}load_config_used\s*$", map_text, re.MULTILINE)
    if not found:
        sys.exit("set_load_config: no _load_config_used in the link map")
    return int(found.group(1), 16)


def file_offset(image, sections_at, count, rva):
    for i in range(count):
        _, virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", image, sections_at + 40 * i)
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_offset + rva - virtual_address
    sys.exit(f"set_load_config: address {rva:#x} is in no section")


def checksum(image, field):
    """The PE checksum: 16-bit words summed with carries folded in, the field itself left out,
    plus the file's length."""
    data = image[:field] + b"\0\0\0\0" + image[field + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(image)


def main(program, link_map):
    image = bytearray(open(program, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic == 0x10B:  # a 32-bit program
        image_base = struct.unpack_from("<I", image, optional + 28)[0]
        directories = optional + 96
    elif magic == 0x20B:  # a 64-bit one
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        directories = optional + 112
    else:
        sys.exit("set_load_config: not a Windows program")
    rva = symbol_address(open(link_map, encoding="utf-8", errors="replace").read()) - image_base
    at = file_offset(image, optional + optional_size, count, rva)
    size = struct.unpack_from("<I", image, at)[0]
    if not 64 <= size <= 0x200:
        sys.exit(f"set_load_config: the structure at {rva:#x} does not look like one (size {size})")
    struct.pack_into("<II", image, directories + 8 * LOAD_CONFIG, rva, size)
    struct.pack_into("<I", image, optional + 64, checksum(image, optional + 64))
    open(program, "wb").write(image)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
