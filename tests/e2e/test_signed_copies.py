"""Signed copies: the installer signed and timestamped once with the tests' own certificate,
then stamped per affiliate by the Linux build of the tool. The platform's own check
(WinVerifyTrust under Wine) and osslsigncode accept every stamped copy, osslsigncode also after
the certificate has expired (the timestamp is kept), and both reject one whose program was
changed."""
import shutil
import subprocess
import time
import unittest

from winehost import BUILD, INSTALLER, native_stamp, publisher, wine, windows_path

TRUST_CHECK = BUILD / "tests" / "e2e" / "trust_check.exe"
TRUSTED = (0, "0x00000000")


class SignedCopies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = BUILD / "e2e-signed"
        shutil.rmtree(cls.dir, ignore_errors=True)
        cls.dir.mkdir()
        cls.publisher = publisher()
        cls.signed = cls.dir / "signed.exe"
        cls.publisher.sign(INSTALLER, cls.signed)

    def trust(self, path):
        code, out = wine(TRUST_CHECK, windows_path(path))
        return code, out.strip()

    def assert_valid(self, path):
        self.assertEqual(self.trust(path), TRUSTED)
        verified, report = self.publisher.verify(path)
        self.assertTrue(verified, report)
        # The tests' certificate is valid for ten years; the timestamp outlives it.
        verified, report = self.publisher.verify(path, at=time.time() + 11 * 365 * 24 * 3600)
        self.assertTrue(verified, report)

    def test_stamped_copies_stay_validly_signed(self):
        self.assert_valid(self.signed)
        remarks127 = "r" * 126 + "!"
        fresh, long, restamped = (self.dir / name for name in ("fresh.exe", "long.exe", "restamped.exe"))
        native_stamp(self.signed, fresh, 11628, "spring & summer #1")
        native_stamp(self.signed, long, 4294967295, remarks127)
        native_stamp(fresh, restamped, 4294967295, remarks127)
        self.assertEqual(restamped.read_bytes(), long.read_bytes())
        for path, affiliate, remarks in [(fresh, "11628", "spring & summer #1"),
                                         (restamped, "4294967295", remarks127)]:
            with self.subTest(path.name):
                self.assert_valid(path)
                # The Windows build reads the stamp with the installer's own reader.
                code, out = wine(BUILD / "stamp.exe", "--show", windows_path(path))
                self.assertEqual(code, 0, out)
                self.assertEqual(out.splitlines(), [
                    "affiliate: " + affiliate, "remarks: " + remarks,
                    "signature: not checked: this build of stamp cannot read signatures"])

    def test_a_changed_copy_fails_both_checks(self):
        stamped = self.dir / "stamped.exe"
        native_stamp(self.signed, stamped, 5, "five")
        data = bytearray(stamped.read_bytes())
        data[0x400] ^= 1  # in the first section's code
        changed = self.dir / "changed.exe"
        changed.write_bytes(bytes(data))
        self.assertEqual(self.trust(changed), (1, "0x80096010"))  # TRUST_E_BAD_DIGEST
        verified, report = self.publisher.verify(changed)
        self.assertFalse(verified, report)
        self.assertEqual(self.trust(INSTALLER), (1, "0x800B0100"))  # TRUST_E_NOSIGNATURE

    def test_the_windows_build_refuses_signed_programs(self):
        folder = self.dir / "refused"
        folder.mkdir()
        source = folder / "signed.exe"
        shutil.copy(self.signed, source)
        errors = self.dir / "errors.txt"
        with open(errors, "wb") as stream:
            code = subprocess.call(["wine", str(BUILD / "stamp.exe"), windows_path(source), windows_path(folder / "copy.exe"),
                                    "--affiliate", "1", "--remarks", "x"],
                                   stdout=subprocess.DEVNULL, stderr=stream, stdin=subprocess.DEVNULL, timeout=120)
        self.assertEqual(code, 1)
        self.assertIn("cannot stamp signed programs", errors.read_text(errors="replace"))
        self.assertEqual([p.name for p in folder.iterdir()], ["signed.exe"])
        self.assertEqual(source.read_bytes(), self.signed.read_bytes())


if __name__ == "__main__":
    unittest.main()
