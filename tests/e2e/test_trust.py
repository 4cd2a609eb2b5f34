"""Trust end to end: a signed installer runs only a setup program signed by its own publisher,
an unsigned one runs any; signatures are timestamped, and one whose certificate has since
expired still counts (as Windows counts it, by its timestamp); and an installer built for an https:// server talks to it over TLS with
the platform's certificate checks, trusting the test authority that the test adds to the prefix."""
import json
import os
import shutil
import sys
import time
import unittest
from pathlib import Path

import testcerts
from winehost import BUILD, DRIVER, left_in_temp, temp_leftovers, native_stamp, reg_delete, reg_query, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from signing import TestPublisher, utc  # noqa: E402
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
INSTALLER_TLS = BUILD / "PellmorrowInstallerE2ETls.exe"  # built for https://127.0.0.1:47812
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
TLS_PORT = int(os.environ.get("PELLMORROW_E2E_TLS_PORT", "47812"))
WORK = BUILD / "trust"


def altered(source, target):
    """A copy with one byte of the DOS stub's text changed: covered by the signature, harmless
    to the program, which still runs."""
    data = bytearray(source.read_bytes())
    at = data.index(b"This program cannot be run")
    data[at] ^= 0x20
    target.write_bytes(data)
    return target


class SessionRunner(unittest.TestCase):
    """Runs an installer copy through a whole session under the e2e driver."""

    def setUp(self):
        reg_delete(PRODUCT_KEY)
        self.record = WORK / "setup-record.txt"
        self.record.unlink(missing_ok=True)

    def run_session(self, exe, *options):
        self.before = temp_leftovers()
        code, out = wine(DRIVER, "session", exe, *options,
                         env={"PELLMORROW_SETUP_RECORD": windows_path(self.record)}, timeout=180)
        self.assertEqual(code, 0, out)
        report = json.loads(out)
        self.temp = report["tempDir"]
        return report

    def assertInstalled(self, report):
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        self.assertIn("arg=/SILENT", self.record.read_text().splitlines())
        self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))
        self.assertEqual(left_in_temp(self.temp, self.before), [])

    def assertFailedLikeADownload(self, report):
        # The close box after the failure closes at once: nothing is asked.
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertNotIn("Installing...", report["captions"])
        self.assertIsNone(report["question"], report)
        self.assertNotEqual(report["exitCode"], 1, report)
        self.assertEqual(left_in_temp(self.temp, self.before), [], "the refused setup program was left behind")
        self.assertFalse(self.record.exists(), "the refused setup program ran")
        self.assertIsNone(reg_query(PRODUCT_KEY))


class SignedSetup(SessionRunner):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        publisher = TestPublisher(WORK / "publisher")
        other = TestPublisher(WORK / "other", "Another Test Publisher")
        renewed = publisher.renewed(WORK / "renewed")
        # The publisher's earlier certificate for the same key, expired since; what it signed
        # was timestamped while it was valid.
        expired = publisher.renewed(WORK / "expired", valid=(utc("2020-01-01"), utc("2021-01-01")))
        signed_in_2020 = utc("2020-06-01 12:00:00")
        cls.installers = {"unsigned": INSTALLER_E2E, "signed": WORK / "installer-signed.exe"}
        publisher.sign(INSTALLER_E2E, cls.installers["signed"])
        cls.setups = {"unsigned": FAKE_SETUP, "same publisher": WORK / "setup-same.exe",
                      "other publisher": WORK / "setup-other.exe"}
        publisher.sign(FAKE_SETUP, cls.setups["same publisher"])
        other.sign(FAKE_SETUP, cls.setups["other publisher"])
        cls.setups["same publisher, renewed certificate"] = WORK / "setup-renewed.exe"
        renewed.sign(FAKE_SETUP, cls.setups["same publisher, renewed certificate"])
        cls.setups["same publisher, certificate since expired"] = WORK / "setup-expired.exe"
        expired.sign(FAKE_SETUP, cls.setups["same publisher, certificate since expired"], at=signed_in_2020)
        cls.installers["signed, certificate since expired"] = WORK / "installer-expired.exe"
        expired.sign(INSTALLER_E2E, cls.installers["signed, certificate since expired"], at=signed_in_2020)
        cls.setups["same publisher, altered"] = altered(cls.setups["same publisher"], WORK / "setup-altered.exe")
        cls.installers["signed, altered"] = altered(cls.installers["signed"], WORK / "installer-altered.exe")
        cls.installers["signed, then stamped"] = WORK / "installer-stamped.exe"
        native_stamp(cls.installers["signed"], cls.installers["signed, then stamped"], 11628, "stamped")
        cls.server = TestServer(port=TEST_PORT)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def serve(self, setup):
        body = self.setups[setup].read_bytes()
        self.server.add_route("/index.new.php", lambda request: Response(
            body if request.query.get("action") == "installer" else b""))

    def test_setup_must_be_signed_by_the_installers_publisher(self):
        cases = [
            ("signed", "same publisher", True),
            # The publisher is its key: a certificate renewed for the same key is the same publisher.
            ("signed", "same publisher, renewed certificate", True),
            # Copies signed before a renewal keep working with it, and with what their own
            # certificate signed, after that certificate expired: their signatures are
            # timestamped. (Wine does not check expiry at all; Windows does, by the timestamp.)
            ("signed, certificate since expired", "same publisher", True),
            ("signed, certificate since expired", "same publisher, certificate since expired", True),
            ("signed", "same publisher, certificate since expired", True),
            # A stamped copy is still signed: it checks too (test_session runs its publisher's setup).
            ("signed, then stamped", "unsigned", False),
            ("signed", "unsigned", False),
            ("signed", "other publisher", False),
            ("signed", "same publisher, altered", False),
            # A signed installer whose own signature does not check out trusts nobody.
            ("signed, altered", "same publisher", False),
            ("unsigned", "unsigned", True),
            # The altered copy is a working program: only the check keeps it from running.
            ("unsigned", "same publisher, altered", True),
        ]
        for installer, setup, runs in cases:
            with self.subTest(installer=installer, setup=setup):
                self.setUp()
                self.serve(setup)
                if runs:
                    self.assertInstalled(self.run_session(self.installers[installer]))
                else:
                    self.assertFailedLikeADownload(
                        self.run_session(self.installers[installer], "cancel-at=Download failed!"))


class Tls(SessionRunner):
    @classmethod
    def setUpClass(cls):
        folder = WORK / "tls"
        shutil.rmtree(folder, ignore_errors=True)
        trusted = testcerts.Authority(folder, "Pellmorrow Test TLS CA")
        stranger = testcerts.Authority(folder / "stranger", "Unknown Test TLS CA")
        loopback = "IP:127.0.0.1,DNS:127.0.0.1"
        cls.certificates = {
            "good": trusted.issue("127.0.0.1", loopback),
            "untrusted": stranger.issue("127.0.0.1", loopback),
            "another host": trusted.issue("downloads.example.invalid", "DNS:downloads.example.invalid"),
        }
        cls.root = testcerts.trust_root(trusted)
        cls.setup_bytes = FAKE_SETUP.read_bytes()
        cls.pictures = (Path(__file__).resolve().parent / "slides" / "small.jpg").read_bytes()

    @classmethod
    def tearDownClass(cls):
        testcerts.untrust_root(cls.root)

    def tls_server(self, certificate):
        credential = self.certificates[certificate]
        return TestServer(port=TLS_PORT, tls=(credential.chain, credential.key))

    def serve(self, server, description=b""):
        def answer(request):
            if request.query.get("action") == "installer":
                # Slow enough for the slideshow to fetch its pictures meanwhile.
                return Response(self.setup_bytes, fault="slow", piece=len(self.setup_bytes) // 20 + 1, delay=0.15)
            return Response(description, content_type="text/plain")
        server.add_route("/index.new.php", answer)
        server.add_route("/slides/picture.jpg", self.pictures, content_type="image/jpeg")

    def test_download_over_tls(self):
        with self.tls_server("good") as tls, TestServer(port=TEST_PORT) as plain:
            # Pictures are fetched as named: over http, or over https.
            self.serve(tls, f"bk_image 1 {plain.url('/slides/picture.jpg')}\n"
                            f"bk_image 1 {tls.url('/slides/picture.jpg')}\n".encode())
            plain.add_route("/slides/picture.jpg", self.pictures, content_type="image/jpeg")
            self.assertInstalled(self.run_session(INSTALLER_TLS))
            paths = [entry["path"] for entry in tls.log()]
            # The two downloads' requests (the run's result, sent after them, is not what this is about).
            downloads = [p.split("&")[0] for p in paths if p.startswith("/index.new.php")]
            self.assertEqual(sorted(d for d in downloads if d != "/index.new.php?action=installer_result"),
                             ["/index.new.php?action=installer", "/index.new.php?action=installer_images"])
            self.assertIn("/slides/picture.jpg", paths)
            self.assertEqual([entry["path"] for entry in plain.log()], ["/slides/picture.jpg"])

    def test_certificate_that_does_not_check_out(self):
        for name in ("untrusted", "another host"):
            with self.subTest(name), self.tls_server(name) as tls:
                self.setUp()
                self.serve(tls)
                self.assertFailedLikeADownload(self.run_session(INSTALLER_TLS, "cancel-at=Download failed!"))
                self.assertEqual(tls.log(), [], "a request went over a connection that was not trusted")


if __name__ == "__main__":
    unittest.main()
