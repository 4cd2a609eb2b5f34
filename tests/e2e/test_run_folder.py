"""The setup program's folder: each run downloads it into a new folder of its own under the
temporary folder, starts it there, and removes the folder when it ends, however it ends; two
installers at once never meet; and what another program does to the setup program from its first
byte to the end of its run never makes anything but the downloaded bytes run."""
import json
import os
import shutil
import subprocess
import sys
import unittest
import zlib
from collections import Counter
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

from installer_run import BackgroundSession
from winehost import BUILD, DRIVE_C, reg_delete, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
TAMPERED_SETUP = BUILD / "tests" / "e2e" / "tampered_setup.exe"
TAMPER = BUILD / "tests" / "e2e" / "setup_tamper.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
WORK = BUILD / "run-folder"


def unix_path(windows):
    assert windows[:3].upper() == "C:\\", windows
    return DRIVE_C / windows[3:].replace("\\", "/")


def run_folders(temp):
    return sorted(p.name for p in temp.glob("Pellmorrow-*"))


def run_folders_anywhere():
    """Every run folder in the prefix's user folders, before a run has said where its temp is."""
    return [p for p in (DRIVE_C / "users").rglob("Pellmorrow-*") if p.is_dir()]


class RunFolder(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        WORK.mkdir(parents=True, exist_ok=True)
        cls.server = TestServer(port=TEST_PORT)
        cls.setup_bytes = FAKE_SETUP.read_bytes()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        reg_delete(PRODUCT_KEY)
        self.serve(Response(self.setup_bytes))

    def serve(self, setup):
        def answer(request):
            if request.query.get("action") != "installer":
                return Response(b"")
            return setup(request) if callable(setup) else setup
        self.server.add_route("/index.new.php", answer)

    def slowly(self, seconds):
        """The setup program in pieces over about `seconds`."""
        pieces = 20
        return lambda request: Response(self.setup_bytes, fault="slow", piece=len(self.setup_bytes) // pieces + 1,
                                        delay=seconds / pieces)

    def assertInstalledFromOwnFolder(self, session, report):
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(session.lines()[-1], "ended", session.lines())
        folder = session.value("cwd")
        self.assertIsNotNone(folder, session.lines())
        # Started in its own folder, a new one under the temporary folder.
        parent, name = folder.rsplit("\\", 1)
        self.assertEqual(parent.lower() + "\\", report["tempDir"].lower())
        self.assertRegex(name, r"^Pellmorrow-[0-9a-f]{32}$")
        self.assertEqual(session.value("path"), folder + "\\QVTInstaller.exe")
        return folder

    def test_two_installers_at_once_each_in_its_own_folder(self):
        self.serve(self.slowly(3))
        first, second = BackgroundSession("first"), BackgroundSession("second")
        reports = [first.report(), second.report()]
        folders = [self.assertInstalledFromOwnFolder(s, r) for s, r in zip((first, second), reports)]
        self.assertNotEqual(folders[0], folders[1])

    def test_cancel_in_one_leaves_the_others_program_alone(self):
        self.serve(self.slowly(4))
        going_on = BackgroundSession("going-on")
        cancelled = BackgroundSession("cancelled", "cancel-at=Download in progress...", "answer=no")
        report = cancelled.report()
        self.assertNotEqual(report["exitCode"], 1, report)
        self.assertEqual(cancelled.lines(), [], "the cancelled run started a setup program")
        # The other run's setup program was complete and ran from where it was written.
        self.assertInstalledFromOwnFolder(going_on, going_on.report())

    def test_folder_goes_however_the_run_ends(self):
        cases = [
            ("installed", Response(self.setup_bytes), []),
            ("download failed", Response(b"missing", status=404), ["cancel-at=Download failed!"]),
            ("cancelled", self.slowly(4), ["cancel-at=Download in progress...", "answer=no"]),
        ]
        for name, setup, options in cases:
            with self.subTest(name):
                reg_delete(PRODUCT_KEY)
                self.serve(setup)
                # Only this run's folder counts: a run that was killed keeps its (empty) folder.
                before = set(run_folders_anywhere())
                session = BackgroundSession(name, *options)
                report = session.report()
                self.assertEqual(report["exitCode"] == 1, name == "installed", report)
                temp = unix_path(report["tempDir"])
                self.assertTrue(temp.is_dir(), temp)
                self.assertEqual(sorted(set(run_folders(temp)) - {p.name for p in before}), [])

    def results(self):
        """The outcome and reason of each result request the server heard."""
        found = []
        for entry in self.server.log():
            query = parse_qs(urlsplit(entry["path"]).query)
            if query.get("action") == ["installer_result"]:
                found.append((query.get("outcome", [""])[0], query.get("reason", [""])[0]))
        return found

    def test_what_runs_is_only_ever_the_downloaded_program(self):
        # Another program tries all along, from the first byte to the setup program's end, to
        # write another program over it, rename it, and rename another program over it. Windows
        # cannot start a program while a handle that may write it is open, so there is one
        # instant, between the download's last write and the holder's open, in which it may get
        # at the file: then the download fails, and nothing it put there runs. From the holder's
        # open on, nothing it tries succeeds until the setup program has ended.
        code, out = wine("cmd", "/c", "echo", "%TEMP%")
        self.assertEqual(code, 0, out)
        temp = out.strip()
        stop = WORK / "tamper-stop"
        expected_crc = "%08x" % zlib.crc32(self.setup_bytes)
        self.assertNotEqual(self.setup_bytes, TAMPERED_SETUP.read_bytes())
        # The body arrives slowly, so that the other program tries while it is written too.
        for round_ in range(3):
            with self.subTest(round=round_):
                reg_delete(PRODUCT_KEY)
                self.serve(self.slowly(2))
                self.server.clear_log()
                before = set(run_folders_anywhere())
                stop.unlink(missing_ok=True)
                tamper_out = WORK / f"tamper-{round_}.txt"
                with open(tamper_out, "wb") as out:
                    tamper = subprocess.Popen(
                        ["wine", str(TAMPER), temp, windows_path(stop), windows_path(TAMPERED_SETUP)], stdout=out,
                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                try:
                    session = BackgroundSession(f"tampered-{round_}", "cancel-at=Download failed!", setup_ms=1000)
                    report = session.report()
                finally:
                    stop.touch()
                    tamper.wait(timeout=60)
                seen = json.loads(tamper_out.read_text())
                # What the other program moved or left in a run's folder is its own: the run
                # leaves it, and the test removes it.
                for folder in set(run_folders_anywhere()) - before:
                    shutil.rmtree(folder, ignore_errors=True)
                tally = Counter((s["what"], "after the setup ended" if s["afterSetupEnded"] else "before")
                                for s in seen["succeeded"])
                print(f"\ntampering, round {round_}: found {seen['found']} times, succeeded {dict(tally)}, "
                      f"exit code {report['exitCode']}", file=sys.stderr)
                self.assertGreater(seen["found"], 0, "the other program never saw the setup program")
                self.assertNotIn("build=tampered", session.lines(), "the other program's program ran")
                while_held = [s["what"] for s in seen["succeeded"] if not s["afterSetupEnded"]]
                if report["exitCode"] == 1:
                    # The downloaded bytes ran, from the run's folder, and nothing got at them.
                    self.assertTrue(seen["sawSetup"], tally)
                    self.assertEqual(while_held, [], tally)
                    self.assertInstalledFromOwnFolder(session, report)
                    self.assertEqual(session.value("build"), "original")
                    self.assertEqual(session.value("crc"), expected_crc)
                else:
                    # It got at the file in the instant before it was held: nothing ran, and the
                    # run says why.
                    self.assertEqual(session.lines(), [], "a setup program ran after a failed download")
                    self.assertNotEqual(while_held, [], tally)
                    self.assertIn("Download failed!", report["captions"])
                    self.assertEqual(self.results(), [("failed", "changed")])


if __name__ == "__main__":
    unittest.main()
