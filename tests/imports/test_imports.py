"""What the built installers ask Windows' loader for before any of their code runs.

Windows looks for a DLL that is not one of its KnownDLLs in the program's own folder first, and an
installer runs from a Downloads folder. So every DLL in an installer's import table (and delay
import table) must be a KnownDLL on every Windows the installer supports (7 to 11), except the
common controls, which the manifest's side-by-side dependency brings from the system's own store;
and the load configuration must tell Windows 10 (1607 and later) to take what those DLLs import
from the system folder. Wine applies neither KnownDLLs nor the load configuration, so this reads
the files themselves. The DLLs that the program loads itself at their first use (its delay-loaded
ones) count too: GNU ld leaves the delay import directory empty, so the link map says where their
descriptors are. Run by CTest in the Windows build (PELLMORROW_BUILD: its folder).
"""
import os
import re
import struct
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("PELLMORROW_BUILD", Path(__file__).resolve().parents[2] / "build" / "windows"))
PROGRAMS = ["PellmorrowInstaller.exe", "PellmorrowInstallerE2E.exe", "PellmorrowInstallerE2ETls.exe"]

# KnownDLLs of both Windows 7 and Windows 10/11 (ntdll is always the system's own).
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll",
    "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}
SIDE_BY_SIDE = {"comctl32.dll"}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
IMPORTS, RESOURCES, LOAD_CONFIG, DELAY_IMPORTS = 1, 2, 10, 13
RT_MANIFEST = 24


class PeFile:
    """The parts of a PE file that say what it loads."""

    def __init__(self, path):
        self.data = path.read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        count, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        if magic not in (0x10B, 0x20B):
            raise ValueError(f"{path} is not a Windows program")
        # The shipped program is 32-bit; the tests' 64-bit build has wider fields before the directories.
        self.wide = magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if self.wide else "<I", self.data, optional + (24 if self.wide else 28))[0]
        count_at = optional + (108 if self.wide else 92)
        directories = struct.unpack_from("<I", self.data, count_at)[0]
        self.directories = [struct.unpack_from("<II", self.data, count_at + 4 + 8 * i) for i in range(directories)]
        self.sections = [struct.unpack_from("<8xIIII", self.data, optional + optional_size + 40 * i)
                         for i in range(count)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f"address {rva:#x} is in no section")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def descriptors(self, index, size, name_at):
        """The DLL names of an import (or delay import) table: descriptors up to an empty one."""
        rva, _ = self.directory(index)
        names = []
        while rva:
            entry = self.data[self.offset(rva):self.offset(rva) + size]
            if not any(entry):
                break
            names.append(self.text(struct.unpack_from("<I", entry, name_at)[0]))
            rva += size
        return names

    def imported_dlls(self):
        return self.descriptors(IMPORTS, 20, 12) + self.descriptors(DELAY_IMPORTS, 32, 4)

    def delay_descriptors(self, link_map):
        """(attributes, DLL name address, import name table address) of each delay import
        descriptor that the link map places in the program."""
        found = []
        for address in re.findall(r"^\s+0x([0-9a-fA-F]+)\s+_{1,2}DELAY_IMPORT_DESCRIPTOR_\w+\s*$", link_map, re.MULTILINE):
            attributes, name, _, _, names = struct.unpack_from(
                "<IIIII", self.data, self.offset(int(address, 16) - self.image_base))
            found.append((attributes, name, names))
        return found

    def rva(self, attributes, address):
        # Addresses relative to the image, or (the old form) whole addresses.
        return address if attributes & 1 else address - self.image_base

    def delay_loaded_dlls(self, link_map):
        """The DLL names of the delay import descriptors that the link map places in the program."""
        return [self.text(self.rva(attributes, name)) for attributes, name, _ in self.delay_descriptors(link_map)]

    def delay_loaded_functions(self, link_map):
        """The names of the functions the program delay-loads."""
        width = 8 if self.wide else 4
        functions = []
        for attributes, _, names in self.delay_descriptors(link_map):
            at = self.offset(self.rva(attributes, names))
            while True:
                entry = int.from_bytes(self.data[at:at + width], "little")
                if entry == 0:
                    break
                if not entry >> (width * 8 - 1):  # by name, not by ordinal: past a two-byte hint
                    functions.append(self.text(self.rva(attributes, entry) + 2))
                at += width
        return functions

    def resource(self, kind):
        """The first resource of a type (first name, first language), or None."""
        base, _ = self.directory(RESOURCES)
        if not base:
            return None
        entry = self._resource_entry(base, 0, kind)
        for _ in range(2):
            if entry is None or not entry & 0x80000000:
                return None
            entry = self._resource_entry(base, entry & 0x7FFFFFFF, None)
        if entry is None:
            return None
        rva, size = struct.unpack_from("<II", self.data, self.offset(base + entry))
        return self.data[self.offset(rva):self.offset(rva) + size]

    def _resource_entry(self, base, table, wanted):
        at = self.offset(base + table)
        named, numbered = struct.unpack_from("<12xHH", self.data, at)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            if wanted is None or name == wanted:
                return target
        return None

    def dependent_load_flags(self):
        """DependentLoadFlags of the load configuration; None when it has none."""
        field = 78 if self.wide else 54
        rva, size = self.directory(LOAD_CONFIG)
        if not rva or size < field + 2:
            return None
        at = self.offset(rva)
        declared = struct.unpack_from("<I", self.data, at)[0]
        return struct.unpack_from("<H", self.data, at + field)[0] if declared >= field + 2 else None


def common_controls_v6(manifest):
    """Whether a manifest depends on the side-by-side common controls of version 6."""
    text = manifest.decode("utf-8", errors="replace")
    for identity in re.findall(r"<assemblyIdentity\b[^>]*>", text):
        if ('name="Microsoft.Windows.Common-Controls"' in identity and
                re.search(r'version="6\.', identity)):
            return True
    return False


class ImportTable(unittest.TestCase):
    def programs(self):
        for name in PROGRAMS:
            path = BUILD / name
            self.assertTrue(path.exists(), f"{path} is not built")
            yield name, PeFile(path)

    def test_only_dlls_that_windows_takes_from_its_own_folder(self):
        for name, program in self.programs():
            with self.subTest(name):
                link_map = (BUILD / name).with_suffix(".map").read_text(encoding="utf-8", errors="replace")
                delayed = {dll.lower() for dll in program.delay_loaded_dlls(link_map)}
                # The window's DLLs load at their first use (see cmake/windows.cmake).
                self.assertIn("comctl32.dll", delayed, "the delay import descriptors were not read")
                dlls = {dll.lower() for dll in program.imported_dlls()} | delayed
                self.assertIn("kernel32.dll", dlls, "the import table was not read")
                outside = sorted(dlls - KNOWN_DLLS - SIDE_BY_SIDE)
                self.assertEqual(outside, [], f"{name} imports DLLs that Windows may take from its folder: "
                                 + ", ".join(outside))
                if dlls & SIDE_BY_SIDE:
                    manifest = program.resource(RT_MANIFEST)
                    self.assertIsNotNone(manifest, f"{name} imports comctl32.dll and has no manifest")
                    self.assertTrue(common_controls_v6(manifest),
                                    f"{name} imports comctl32.dll without the side-by-side common controls 6")

    def test_every_delay_loaded_function_has_a_stand_in(self):
        # Without one, a system that lacks the function (or its DLL) ends the program as a crash.
        source = (Path(__file__).resolve().parents[2] / "framework" / "DelayLoadFailure.cpp").read_text()
        stand_ins = set(re.findall(r"^\s*STAND_IN\((\w+),", source, re.MULTILINE))
        self.assertIn("OleLoadPicture", stand_ins, "the stand-ins were not read")
        for name, program in self.programs():
            with self.subTest(name):
                link_map = (BUILD / name).with_suffix(".map").read_text(encoding="utf-8", errors="replace")
                functions = set(program.delay_loaded_functions(link_map))
                self.assertIn("InitCommonControlsEx", functions, "the delay-loaded functions were not read")
                self.assertEqual(sorted(functions - stand_ins), [], f"{name}: delay-loaded without a stand-in")

    def test_imports_of_imports_come_from_the_system_folder(self):
        for name, program in self.programs():
            with self.subTest(name):
                self.assertEqual(program.dependent_load_flags(), LOAD_LIBRARY_SEARCH_SYSTEM32,
                                 f"{name}: its load configuration does not restrict what its DLLs load")


if __name__ == "__main__":
    unittest.main()
