"""The download session against a server that misbehaves: silence, cut connections, servers that
answer range requests wrongly or not at all, lengths that are not numbers, a Cancel while the
network is stuck. The test copy of the installer gives up after 3 s of silence instead of the
shipped 30 s (tests/win/DownloaderTest.cpp holds the shipped figure)."""
import json
import os
import sys
import unittest
import urllib.parse
from pathlib import Path

from winehost import BUILD, DRIVE_C, reg_add, reg_delete, reg_query, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent / "slides"))
from hostile import plain_jpeg  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
SILENCE_S = 3.0       # the test copy's silence bound
ATTEMPTS = 3          # the setup download's attempts
PAUSES_S = 1.0 + 2.0  # the pauses between them


def unix_path(windows):
    assert windows[:3].upper() == "C:\\", windows
    return DRIVE_C / windows[3:].replace("\\", "/")


def event_ms(report, prefix):
    """When the driver first saw an event starting with `prefix`, in ms from the start."""
    for event in report["events"]:
        if event["event"].startswith(prefix):
            return event["ms"]
    return None


class Faults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = TestServer(port=TEST_PORT)
        cls.setup_bytes = FAKE_SETUP.read_bytes()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.record = DRIVE_C / "setup-record.txt"
        self.fresh()
        self.env = {"PELLMORROW_SETUP_RECORD": windows_path(self.record), "PELLMORROW_SETUP_MS": "200"}

    def fresh(self):
        """No record, no setup run, no request seen: for each test and each of its cases."""
        reg_delete(PRODUCT_KEY)
        self.server.clear_log()
        self.record.unlink(missing_ok=True)

    def tearDown(self):
        reg_delete(PRODUCT_KEY)

    def serve_setup(self, answers, description=Response(b"")):
        """The setup request gets `answers` in turn (the last one repeated); the slideshow
        request `description`."""
        answers = list(answers) if isinstance(answers, list) else [answers]

        def answer(request):
            if request.query.get("action") != "installer":
                return description
            return answers.pop(0) if len(answers) > 1 else answers[0]
        self.server.add_route("/index.new.php", answer)

    def run_session(self, *options):
        code, out = wine(BUILD / "tests" / "e2e" / "e2e_driver.exe", "session", INSTALLER_E2E, *options,
                         env=self.env, timeout=180)
        self.assertEqual(code, 0, out)
        report = json.loads(out)
        self.temp_file = unix_path(report["tempDir"]) / "QVTInstaller.exe"
        return report

    def setup_requests(self):
        found = []
        for entry in self.server.log():
            url = urllib.parse.urlsplit(entry["path"])
            if url.path == "/index.new.php" and "action=installer&" in url.query:
                found.append(entry)
        return found

    def assert_installed(self, report):
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        # The setup program ran, so its bytes arrived whole and in order.
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        self.assertFalse(self.temp_file.exists())
        self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))
        positions = [int(p) for p in report["positions"]]
        self.assertEqual(positions, sorted(positions), "the bar went back: %s" % positions)
        self.assertEqual(positions[-1], 100)

    def assert_failed_and_clean(self, report):
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertNotEqual(report["exitCode"], 1)
        self.assertFalse(self.record.exists(), "the setup program ran")
        self.assertFalse(self.temp_file.exists())
        self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_broken_transfer_resumes_where_it_stopped(self):
        size = len(self.setup_bytes)
        for share in (50, 90):
            with self.subTest("reset at %d%%" % share):
                self.fresh()
                cut = size * share // 100
                self.serve_setup([Response(self.setup_bytes, fault="reset", cut=cut),
                                  Response(self.setup_bytes, fault="slow", piece=16384, delay=0.02)])
                report = self.run_session()
                self.assert_installed(report)
                first, second = self.setup_requests()
                self.assertNotIn("Range", first["headers"])
                asked = second["headers"].get("Range", "")
                self.assertRegex(asked, r"^bytes=\d+-$")
                resumed_at = int(asked[6:-1])
                self.assertTrue(0 < resumed_at <= cut, "resumed at %d of %d, cut at %d" % (resumed_at, size, cut))

    def test_server_that_cannot_resume_is_read_again_from_the_start(self):
        size = len(self.setup_bytes)
        for ranges in ("ignore", "wrong"):
            with self.subTest(ranges):
                self.fresh()
                self.serve_setup([Response(self.setup_bytes, fault="short", cut=size // 2),
                                  Response(self.setup_bytes, ranges=ranges)] +
                                 ([Response(self.setup_bytes)] if ranges == "wrong" else []))
                report = self.run_session()
                self.assert_installed(report)
                requests = self.setup_requests()
                self.assertIn("Range", requests[1]["headers"])
                if ranges == "wrong":
                    # The part that was not the one asked for is thrown away with what was kept.
                    self.assertEqual(len(requests), 3, requests)
                    self.assertNotIn("Range", requests[2]["headers"])
                else:
                    self.assertEqual(len(requests), 2, requests)

    def test_server_errors_are_retried_refusals_are_not(self):
        with self.subTest("503 then the setup"):
            self.serve_setup([Response(b"busy", status=503), Response(self.setup_bytes)])
            self.assert_installed(self.run_session())
            self.assertEqual(len(self.setup_requests()), 2)
        for name, response in {
                "404": Response(b"missing", status=404),
                "Content-Length abc with a short body": Response(
                    self.setup_bytes[:len(self.setup_bytes) // 2], fault="nolength",
                    headers={"Content-Length": "abc"}),
                "Content-Length out of range": Response(
                    self.setup_bytes, fault="nolength", headers={"Content-Length": "99999999999"}),
        }.items():
            with self.subTest(name):
                self.fresh()
                self.serve_setup(response)
                report = self.run_session("cancel-at=Download failed!")
                self.assert_failed_and_clean(report)
                self.assertEqual(len(self.setup_requests()), 1, "a refusal was retried")

    def test_silent_server_fails_within_the_bound_and_the_window_stays_responsive(self):
        self.serve_setup(Response(self.setup_bytes, fault="silent"))
        report = self.run_session("cancel-at=Download failed!")
        self.assert_failed_and_clean(report)
        failed_s = event_ms(report, "caption Download failed!") / 1000
        bound_s = ATTEMPTS * SILENCE_S + PAUSES_S
        self.assertLess(failed_s, bound_s + 5, "failed after %.1f s, bound %.1f s" % (failed_s, bound_s))
        self.assertGreater(failed_s, ATTEMPTS * SILENCE_S * 0.9, "failed after %.1f s" % failed_s)
        self.assertEqual(len(self.setup_requests()), ATTEMPTS)
        self.assertLess(report["slowestReplyMs"], 1000,
                        "the window took %d ms to answer" % report["slowestReplyMs"])

    def test_body_that_stops_arriving_is_resumed(self):
        self.serve_setup([Response(self.setup_bytes, fault="stall", cut=len(self.setup_bytes) // 3),
                          Response(self.setup_bytes)])
        report = self.run_session()
        self.assert_installed(report)
        self.assertIn("Range", self.setup_requests()[1]["headers"])

    def test_cancel_with_a_stalled_server_ends_at_once(self):
        self.serve_setup(Response(self.setup_bytes, fault="stall", cut=len(self.setup_bytes) // 3))
        report = self.run_session("cancel-at=Download in progress...", "answer=no")
        answered = event_ms(report, "answer no")
        self.assertIsNotNone(answered, report)
        gone = event_ms(report, "window hidden")
        ended = event_ms(report, "ended")
        self.assertIsNotNone(gone, report)
        self.assertLess(gone - answered, 1000, "window gone %d ms after No" % (gone - answered))
        self.assertIsNotNone(ended, report)
        self.assertLess(ended - answered, 2000, "process ended %d ms after No" % (ended - answered))
        self.assertNotEqual(report["exitCode"], 1)
        self.assertFalse(self.temp_file.exists())
        self.assertFalse(self.record.exists())
        self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_pictures_too_large_to_show_are_not_decoded(self):
        # 1.5 MB each on the wire; decoded, 1.2 GB and 376 MB each.
        pictures = [("huge.jpg", plain_jpeg(20000, 20000))] + \
                   [("colour%d.jpg" % i, plain_jpeg(11200, 11200, 3)) for i in (1, 2, 3)] + \
                   [("last.jpg", plain_jpeg(160, 96, 3))]
        for name, data in pictures:
            self.server.add_route("/slides/" + name, data, content_type="image/jpeg")
        description = " ".join("bk_image 0 " + self.server.url("/slides/" + name) for name, _ in pictures)
        self.serve_setup(Response(self.setup_bytes, fault="slow", piece=2048, delay=0.25),
                         description=Response(description.encode()))
        report = self.run_session()
        self.assert_installed(report)
        asked = [e["path"] for e in self.server.log() if e["path"].startswith("/slides/")]
        self.assertEqual(asked, ["/slides/" + name for name, _ in pictures], "the slideshow stopped early")
        peak_mib = report["peakWorkingSet"] / 2**20
        self.assertGreater(peak_mib, 0, report)
        self.assertLess(peak_mib, 64, "peak working set %.1f MiB" % peak_mib)
        self.assertLess(report["slowestReplyMs"], 1000,
                        "the window took %d ms to answer" % report["slowestReplyMs"])

    def test_install_folder_chosen_by_the_setup_program_is_kept(self):
        self.serve_setup(Response(self.setup_bytes))
        chosen = "C:\\Program Files (x86)\\Pellmorrow"
        with self.subTest("the setup program records its folder"):
            self.env["PELLMORROW_SETUP_INSTALLDIR"] = chosen
            self.assert_installed(self.run_session())
            self.assertEqual(reg_query(PRODUCT_KEY)["installDir"], ("REG_SZ", chosen))
        with self.subTest("a folder left from an earlier installation is not taken for it"):
            del self.env["PELLMORROW_SETUP_INSTALLDIR"]
            self.fresh()
            reg_add(PRODUCT_KEY, "installDir", "C:\\nothing-installed-here")
            self.assert_installed(self.run_session())
            self.assertEqual(reg_query(PRODUCT_KEY)["installDir"], ("REG_SZ", "C:\\Program Files\\Pellmorrow"))


if __name__ == "__main__":
    unittest.main()
