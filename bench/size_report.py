#!/usr/bin/env python3
"""Prints a Windows program's size, its budget, its sections and the largest objects in its
linker map (GNU ld's -Map output). Standard library only.

usage: size_report.py PROGRAM MAP BUDGET_BYTES [COUNT]"""
import collections
import os
import re
import struct
import sys


def pe_sections(path):
    """(name, bytes in the file) of each section of a PE file."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        name, raw_size = struct.unpack_from("<8s8xI", data, table + 40 * i)
        sections.append((name.rstrip(b"\0").decode("ascii", "replace"), raw_size))
    return sections


def map_contributions(path):
    """Bytes each input object adds to the output, from the map's memory-map part.

    An input section is listed as ' NAME ADDRESS SIZE FILE', with a long NAME on a line of its
    own; archive members appear as 'library.a(member.o)'."""
    sizes = collections.Counter()
    in_map = False
    pending = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map or not line.startswith(" "):
                continue
            alone = re.match(r"^ (\S+)\s*$", line)
            if alone:
                pending = alone.group(1)
                continue
            entry = re.match(r"^ (\S+)?\s+0x[0-9a-fA-F]+\s+0x([0-9a-fA-F]+)\s+(\S.*)$", line)
            name = entry and (entry.group(1) or pending)
            pending = None
            if not entry or not name or name.startswith("*") or name.startswith("0x"):
                continue
            source = os.path.basename(entry.group(3).strip())
            if ".ltrans" in source:  # link-time optimisation's output: the program's own code
                source = "program code, optimised at link time (%s)" % source
            sizes[source] += int(entry.group(2), 16)
    return sizes


def main():
    program, map_path, budget = sys.argv[1], sys.argv[2], int(sys.argv[3])
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 15
    size = os.path.getsize(program)
    verdict = "within budget" if size <= budget else "OVER BUDGET by %d bytes" % (size - budget)
    print("%s: %d bytes (%.1f KB); budget %d bytes (%g KB): %s"
          % (os.path.basename(program), size, size / 1000, budget, budget / 1000, verdict))
    print("\nsections (bytes in the file):")
    for name, raw in pe_sections(program):
        print("  %-8s %8d" % (name, raw))
    print("\nlargest objects linked in (bytes before alignment, from %s):"
          % os.path.basename(map_path))
    for name, bytes_ in map_contributions(map_path).most_common(count):
        print("  %8d  %s" % (bytes_, name))


if __name__ == "__main__":
    main()
