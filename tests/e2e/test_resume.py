"""A setup download that fails for a reason that may pass (here a server that goes away for longer
than the three attempts) keeps its bytes in the user's folder of the product, and the next run of
the installer asks for the rest only (Range with If-Range) and installs. A file changed on the
server starts over, bytes kept too long ago are not resumed, a Cancel leaves nothing of its own
download and nothing of another's is touched, and of two installers at once only one goes on from
the kept bytes."""
import json
import os
import subprocess
import sys
import time
import unittest
import urllib.parse
from pathlib import Path

from winehost import BUILD, DRIVE_C, left_in_temp, reg_delete, reg_query, temp_leftovers, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
DRIVER = BUILD / "tests" / "e2e" / "e2e_driver.exe"
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
WORK = BUILD / "resume"
DAY_100NS = 24 * 60 * 60 * 10_000_000


def kept_folders():
    """The product's folder of interrupted downloads, for whichever user the prefix has."""
    return list((DRIVE_C / "users").glob("*/AppData/Local/Pellmorrow/Interrupted downloads"))


def kept_files():
    return sorted(p.name for folder in kept_folders() for p in folder.iterdir())


def filetime_now():
    return int((time.time() + 11644473600) * 10_000_000)


class Session:
    """One installer under the driver, in the background."""

    def __init__(self, name, *options):
        self.record = WORK / f"{name}-record.txt"
        self.record.unlink(missing_ok=True)
        self.out = WORK / f"{name}-out.txt"
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(
                ["wine", str(DRIVER), "session", str(INSTALLER_E2E), *options], stdout=out,
                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                env={**os.environ, "PELLMORROW_SETUP_RECORD": windows_path(self.record), "PELLMORROW_SETUP_MS": "200"})

    def report(self):
        assert self.process.wait(timeout=180) == 0, self.out.read_text(errors="replace")
        return json.loads(self.out.read_text())

    def installed(self):
        lines = self.record.read_text().splitlines() if self.record.exists() else []
        return bool(lines) and lines[-1] == "ended"


class Resume(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        WORK.mkdir(parents=True, exist_ok=True)
        cls.server = TestServer(port=TEST_PORT)
        cls.setup_bytes = FAKE_SETUP.read_bytes()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.forget()

    def tearDown(self):
        self.forget()

    def forget(self):
        reg_delete(PRODUCT_KEY)
        for folder in kept_folders():
            for path in folder.iterdir():
                path.unlink()
        self.server.clear_log()

    def serve(self, answers):
        """The setup request gets `answers` in turn, the last one repeated."""
        answers = list(answers)

        def answer(request):
            if request.query.get("action") != "installer":
                return Response(b"")
            return answers.pop(0) if len(answers) > 1 else answers[0]
        self.server.add_route("/index.new.php", answer)

    def run_session(self, name, *options):
        before = temp_leftovers()
        session = Session(name, *options)
        report = session.report()
        self.assertEqual(left_in_temp(report["tempDir"], before), [], "left in the temporary folder")
        return session, report

    def setup_requests(self):
        return [entry for entry in self.server.log()
                if urllib.parse.urlsplit(entry["path"]).path == "/index.new.php" and "action=installer&" in entry["path"]]

    def results(self):
        found = []
        for entry in self.server.log():
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(entry["path"]).query)
            if query.get("action") == ["installer_result"]:
                found.append((query.get("outcome", [""])[0], query.get("reason", [""])[0]))
        return found

    def fail_at(self, share):
        """A run whose download stops at `share` % and finds the server gone for all its later
        attempts; the user closes the window at "Download failed!". The number of bytes kept."""
        cut = len(self.setup_bytes) * share // 100
        self.serve([Response(self.setup_bytes, fault="reset", cut=cut),
                    Response(self.setup_bytes, fault="reset", cut=0)])
        session, report = self.run_session("failing", "cancel-at=Download failed!")
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertFalse(session.installed(), "a setup program ran")
        self.assertIsNone(reg_query(PRODUCT_KEY))
        self.assertEqual(len(self.setup_requests()), 3)
        self.assertEqual(self.results(), [("failed", "network")])
        kept = kept_files()
        self.assertEqual([name[16:] for name in kept], [".part", ".record"], kept)
        part = next(p for folder in kept_folders() for p in folder.iterdir() if p.suffix == ".part")
        self.assertTrue(0 < part.stat().st_size <= cut, "kept %d bytes of %d" % (part.stat().st_size, cut))
        self.assertEqual(part.read_bytes(), self.setup_bytes[:part.stat().st_size])
        self.server.clear_log()
        return part.stat().st_size

    def test_next_run_resumes_from_the_kept_bytes(self):
        kept = self.fail_at(60)
        self.serve([Response(self.setup_bytes)])
        session, report = self.run_session("resuming")
        self.assertEqual(report["exitCode"], 1, report)
        self.assertTrue(session.installed(), "the setup program did not run whole")
        (request,) = self.setup_requests()
        self.assertEqual(request["headers"].get("Range"), "bytes=%d-" % kept)
        self.assertRegex(request["headers"].get("If-Range", ""), r'^"[0-9a-f]+-[0-9a-f]+"$')
        served = (len(self.setup_bytes) - kept) / len(self.setup_bytes)
        self.assertTrue(0.35 < served <= 0.45, "served %.0f %% of the file" % (served * 100))
        positions = [int(p) for p in report["positions"]]
        self.assertEqual(positions, sorted(positions), "the bar went back: %s" % positions)
        self.assertEqual(positions[-1], 100)
        self.assertEqual(kept_files(), [], "kept bytes stayed after the installation")
        self.assertEqual(self.results(), [("installed", "")])

    def test_what_is_not_resumed_starts_over(self):
        cases = {
            # Another version of the file on the server: the If-Range names the kept one, the
            # server sends the new one whole.
            "a file changed on the server": (lambda: None, Response(self.setup_bytes, version=12345), True),
            "kept eight days ago": (self.age_record, Response(self.setup_bytes), False),
        }
        for name, (change, answer, asks_if_range) in cases.items():
            with self.subTest(name):
                self.forget()
                self.fail_at(60)
                change()
                self.serve([answer])
                session, report = self.run_session("over")
                self.assertEqual(report["exitCode"], 1, report)
                self.assertTrue(session.installed())
                (request,) = self.setup_requests()
                self.assertEqual("If-Range" in request["headers"], asks_if_range, request)
                self.assertEqual(kept_files(), [])

    def age_record(self):
        (record,) = [p for folder in kept_folders() for p in folder.iterdir() if p.suffix == ".record"]
        lines = record.read_text().splitlines(keepends=True)
        for i, line in enumerate(lines):
            if line.startswith("saved "):
                lines[i] = "saved %d\n" % (int(line[6:]) - 8 * DAY_100NS)
        record.write_text("".join(lines), newline="")

    def test_cancel_leaves_nothing_of_its_download_and_others_alone(self):
        self.fail_at(60)
        # What another download (another URL) kept a day ago, beside it.
        (folder,) = kept_folders()
        other = {"0123456789abcdef.part": b"other bytes",
                 "0123456789abcdef.record": ("pellmorrow kept download 1\nurl http://elsewhere.test/setup.exe\n"
                                             "validator \"1\"\nlength 100\nkept 11\nsaved %d\ndigest %s\n"
                                             "file 00000000:0000000000000000\n"
                                             % (filetime_now() - DAY_100NS, "0" * 64)).encode()}
        for name, data in other.items():
            (folder / name).write_bytes(data)
        self.serve([Response(self.setup_bytes, fault="slow", piece=1024, delay=0.1)])
        session, report = self.run_session("cancelled", "cancel-at=Download in progress...", "answer=no")
        self.assertNotEqual(report["exitCode"], 1, report)
        self.assertFalse(session.installed())
        self.assertIn("Range", self.setup_requests()[0]["headers"], "the cancelled run did not resume")
        self.assertEqual(kept_files(), sorted(other), "the cancelled download left something, or took another's")
        for name, data in other.items():
            self.assertEqual((folder / name).read_bytes(), data)

    def test_two_installers_at_once_only_one_resumes(self):
        kept = self.fail_at(60)
        self.serve([Response(self.setup_bytes, fault="slow", piece=16384, delay=0.1)])
        before = temp_leftovers()
        first, second = Session("first"), Session("second")
        reports = [first.report(), second.report()]
        for session, report in zip((first, second), reports):
            self.assertEqual(report["exitCode"], 1, report)
            self.assertTrue(session.installed())
            self.assertEqual(left_in_temp(report["tempDir"], before), [])
        ranges = sorted(r["headers"].get("Range", "") for r in self.setup_requests())
        self.assertEqual(ranges, ["", "bytes=%d-" % kept], "not exactly one of the two resumed")
        self.assertEqual(kept_files(), [])


if __name__ == "__main__":
    unittest.main()
