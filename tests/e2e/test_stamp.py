"""The stamp in the real installer: written by the publisher's tool (built for Windows) or by any
writer that follows the format, and read back by the installer's own reader code."""
import shutil
import struct
import unittest

from winehost import BUILD, DRIVE_C, INSTALLER, wine, windows_path

STAMP = BUILD / "stamp.exe"
MARKER = b"QuorvantisSignatureMarker"


def check_value(affiliate, remarks):
    r, c1, c2, total = 55665, 52845, 22719, 0
    for p in struct.pack("<I", affiliate) + remarks:
        c = (p ^ (r >> 8)) & 0xFF
        r = ((c + r) * c1 + c2) & 0xFFFF
        total = (total + c) & 0xFFFFFFFF
    return total


def block(affiliate, remarks, check=None):
    field = remarks + b"\0" * (128 - len(remarks))
    return MARKER + struct.pack("<I", affiliate) + field + struct.pack(
        "<I", check_value(affiliate, remarks) if check is None else check)


class StampedInstaller(unittest.TestCase):
    def setUp(self):
        self.dir = DRIVE_C / "stamping"
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir()

    def show(self, path):
        return wine(STAMP, "--show", windows_path(path))

    def test_the_program_alone_carries_no_stamp(self):
        # Its own copy of the marker text must not be taken for a stamp.
        self.assertIn(MARKER, INSTALLER.read_bytes())
        code, out = self.show(INSTALLER)
        self.assertEqual(code, 1, out)

    def test_copy_stamped_by_the_tool(self):
        source = self.dir / "PellmorrowInstaller.exe"
        shutil.copy(INSTALLER, source)
        before = source.read_bytes()
        target = self.dir / "affiliate.exe"
        code, out = wine(STAMP, windows_path(source), windows_path(target), "--affiliate", "11628",
                         "--remarks", "spring & summer #1")
        self.assertEqual(code, 0, out)
        self.assertEqual(source.read_bytes(), before)
        self.assertTrue(target.read_bytes().startswith(before))
        code, out = self.show(target)
        self.assertEqual(code, 0, out)
        self.assertEqual(out.splitlines(), ["affiliate: 11628", "remarks: spring & summer #1", "signature: none"])

    def test_copies_stamped_by_another_writer(self):
        program = INSTALLER.read_bytes()
        cases = [
            ("block alone", block(7, b"abc"), "7", "abc"),
            ("empty remarks and a certificate-like tail", block(0, b"") + b"\0" * 4 + b"\x30\x82" * 50, "0", ""),
            ("broken block before a valid one", block(1, b"bad", check=check_value(1, b"bad") + 1) + block(2, b"good"),
             "2", "good"),
            ("127-character remarks", block(4294967295, b"r" * 127), "4294967295", "r" * 127),
        ]
        for name, tail, affiliate, remarks in cases:
            with self.subTest(name):
                path = self.dir / "copy.exe"
                path.write_bytes(program + tail)
                code, out = self.show(path)
                self.assertEqual(code, 0, out)
                self.assertEqual(out.splitlines(), ["affiliate: " + affiliate, "remarks: " + remarks, "signature: none"])


if __name__ == "__main__":
    unittest.main()
