"""The fixture of the end-to-end tests that run the installer's test copy against the test server
on loopback: the server, a product key that no earlier run recorded, the stand-in setup program's
record, the run under the test driver, and what reached the server."""
import json
import os
import subprocess
import sys
import unittest
import urllib.parse
from pathlib import Path

from winehost import BUILD, DRIVE_C, DRIVER, reg_delete, temp_leftovers, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))  # the host the test copy was built with


def kept_folders():
    """The product's folder of interrupted downloads' bytes, for whichever user the prefix has."""
    return list((DRIVE_C / "users").glob("*/AppData/Local/Pellmorrow/Interrupted downloads"))


def forget_kept():
    """Deletes what failed downloads kept for a next run, so that no run resumes another test's."""
    for folder in kept_folders():
        for path in folder.iterdir():
            path.unlink()


class ServerTest(unittest.TestCase):
    """The test server at the test copy's host for the class's tests; each test starts with no
    product key, nothing kept of an earlier download and an empty request log, and leaves no
    product key and nothing kept."""

    @classmethod
    def setUpClass(cls):
        cls.server = TestServer(port=TEST_PORT)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.fresh()

    def tearDown(self):
        reg_delete(PRODUCT_KEY)
        forget_kept()

    def fresh(self):
        """Nothing recorded, nothing kept, no request seen: for each test, and each case of a test."""
        reg_delete(PRODUCT_KEY)
        forget_kept()
        self.server.clear_log()

    def serve_index(self, setup, description=Response(b"")):
        """Answers the setup request with `setup`, the slideshow request with `description`.
        Either may be a Response or a function of the request returning one; `setup` may also
        be a list of Responses, given in turn to the setup requests (the last one repeated)."""
        answers = list(setup) if isinstance(setup, list) else None

        def answer(request):
            if request.query.get("action") != "installer":
                chosen = description
            elif answers is not None:
                chosen = answers.pop(0) if len(answers) > 1 else answers[0]
            else:
                chosen = setup
            return chosen(request) if callable(chosen) else chosen
        self.server.add_route("/index.new.php", answer)

    def requests(self, action=None):
        """What reached the server, in order, as (query, log entry): every request, or with
        `action` only the requests of /index.new.php for it."""
        found = []
        for entry in self.server.log():
            url = urllib.parse.urlsplit(entry["path"])
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            if action is None or (url.path == "/index.new.php" and query.get("action") == action):
                found.append((query, entry))
        return found


class InstallerRunTest(ServerTest):
    """ServerTest for runs of the whole installer under the driver: the stand-in setup program
    takes SETUP_MS milliseconds and records what it was started with in self.record."""
    SETUP_MS = 300

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.setup_bytes = FAKE_SETUP.read_bytes()

    def setUp(self):
        self.record = DRIVE_C / "setup-record.txt"
        super().setUp()
        self.env = {"PELLMORROW_SETUP_RECORD": windows_path(self.record), "PELLMORROW_SETUP_MS": str(self.SETUP_MS)}

    def fresh(self):
        super().fresh()
        self.record.unlink(missing_ok=True)

    def run_session(self, *options, exe=INSTALLER_E2E, timeout=180):
        """The driver's report on one run of `exe`; self.temp is its temporary folder and
        self.before what earlier runs had left in the temporary folders (left_in_temp)."""
        self.before = temp_leftovers()
        code, out = wine(DRIVER, "session", exe, *options, env=self.env, timeout=timeout)
        self.assertEqual(code, 0, out)
        report = json.loads(out)
        self.temp = report["tempDir"]
        return report


class BackgroundSession:
    """One installer under the driver, started in the background beside others; the stand-in
    setup program takes `setup_ms` and records what it was started with in WORK/NAME-record.txt."""
    WORK = BUILD / "background-runs"

    def __init__(self, name, *options, setup_ms=300):
        self.WORK.mkdir(parents=True, exist_ok=True)
        self.record = self.WORK / f"{name}-record.txt"
        self.record.unlink(missing_ok=True)
        self.out = self.WORK / f"{name}-out.txt"
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(
                ["wine", str(DRIVER), "session", str(INSTALLER_E2E), *options], stdout=out,
                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                env={**os.environ, "PELLMORROW_SETUP_RECORD": windows_path(self.record), "PELLMORROW_SETUP_MS": str(setup_ms)})

    def report(self):
        assert self.process.wait(timeout=180) == 0, self.out.read_text(errors="replace")
        return json.loads(self.out.read_text())

    def lines(self):
        return self.record.read_text(encoding="utf-8").splitlines() if self.record.exists() else []

    def value(self, key):
        """A `key=value` line of the setup program's record."""
        return next((line[len(key) + 1:] for line in self.lines() if line.startswith(key + "=")), None)

    def installed(self):
        return self.lines()[-1:] == ["ended"]
