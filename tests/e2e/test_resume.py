"""A setup download that fails for a reason that may pass (here a server that goes away for longer
than the three attempts) keeps its bytes in the user's folder of the product, and the next run of
the installer asks for the rest only (Range with If-Range) and installs. A file changed on the
server starts over, bytes kept too long ago are not resumed, a Cancel leaves nothing of its own
download and nothing of another's is touched, and of two installers at once only one goes on from
the kept bytes."""
import time
import unittest

from installer_run import PRODUCT_KEY, BackgroundSession, InstallerRunTest, Response, kept_folders
from winehost import left_in_temp, reg_query, temp_leftovers

DAY_100NS = 24 * 60 * 60 * 10_000_000


def kept_files():
    return sorted(p.name for folder in kept_folders() for p in folder.iterdir())


def kept_file(suffix):
    (path,) = [p for folder in kept_folders() for p in folder.iterdir() if p.suffix == suffix]
    return path


def filetime_now():
    return int((time.time() + 11644473600) * 10_000_000)


class Resume(InstallerRunTest):
    SETUP_MS = 200

    def installed(self):
        lines = self.record.read_text().splitlines() if self.record.exists() else []
        return bool(lines) and lines[-1] == "ended"

    def run_clean(self, *options):
        """A run that leaves nothing in the temporary folder, however it ends."""
        report = self.run_session(*options)
        self.assertEqual(left_in_temp(self.temp, self.before), [], "left in the temporary folder")
        return report

    def setup_headers(self):
        return [entry["headers"] for _, entry in self.requests("installer")]

    def results(self):
        return [(query.get("outcome", ""), query.get("reason", "")) for query, _ in self.requests("installer_result")]

    def fail_at(self, share):
        """A run whose download stops at `share` % and finds the server gone for all its later
        attempts; the user closes the window at "Download failed!". The number of bytes kept."""
        cut = len(self.setup_bytes) * share // 100
        # First cut short and closed, not reset: a reset may throw away bytes the installer has
        # not read yet, and the test would not know how many it kept. Then reset at once.
        self.serve_index([Response(self.setup_bytes, fault="short", cut=cut),
                          Response(self.setup_bytes, fault="reset", cut=0)])
        report = self.run_clean("cancel-at=Download failed!")
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertFalse(self.installed(), "a setup program ran")
        self.assertIsNone(reg_query(PRODUCT_KEY))
        self.assertEqual(len(self.setup_headers()), 3)
        self.assertEqual(self.results(), [("failed", "network")])
        self.assertEqual([name[16:] for name in kept_files()], [".part", ".record"], kept_files())
        kept = kept_file(".part").read_bytes()
        self.assertEqual(len(kept), cut)
        self.assertEqual(kept, self.setup_bytes[:len(kept)])
        self.server.clear_log()
        self.record.unlink(missing_ok=True)
        return len(kept)

    def test_next_run_resumes_from_the_kept_bytes(self):
        kept = self.fail_at(60)
        self.serve_index(Response(self.setup_bytes))
        report = self.run_clean()
        self.assertEqual(report["exitCode"], 1, report)
        self.assertTrue(self.installed(), "the setup program did not run whole")
        (headers,) = self.setup_headers()
        self.assertEqual(headers.get("Range"), "bytes=%d-" % kept)
        self.assertRegex(headers.get("If-Range", ""), r'^"[0-9a-f]+-[0-9a-f]+"$')
        served = (len(self.setup_bytes) - kept) / len(self.setup_bytes)
        self.assertAlmostEqual(served, 0.40, delta=0.01)
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
                self.fresh()
                self.fail_at(60)
                change()
                self.serve_index(answer)
                report = self.run_clean()
                self.assertEqual(report["exitCode"], 1, report)
                self.assertTrue(self.installed())
                (headers,) = self.setup_headers()
                self.assertEqual("If-Range" in headers, asks_if_range, headers)
                self.assertEqual(kept_files(), [])

    def age_record(self):
        record = kept_file(".record")
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
                 "0123456789abcdef.record": ("pellmorrow kept download 1\nurl http://127.0.0.1:47812/setup.exe\n"
                                             "validator \"1\"\nlength 100\nkept 11\nsaved %d\ndigest %s\n"
                                             "file 00000000:0000000000000000\n"
                                             % (filetime_now() - DAY_100NS, "0" * 64)).encode()}
        for name, data in other.items():
            (folder / name).write_bytes(data)
        self.serve_index(Response(self.setup_bytes, fault="slow", piece=1024, delay=0.1))
        report = self.run_clean("cancel-at=Download in progress...", "answer=no")
        self.assertNotEqual(report["exitCode"], 1, report)
        self.assertFalse(self.installed())
        self.assertIn("Range", self.setup_headers()[0], "the cancelled run did not resume")
        self.assertEqual(kept_files(), sorted(other), "the cancelled download left something, or took another's")
        for name, data in other.items():
            self.assertEqual((folder / name).read_bytes(), data)

    def test_two_installers_at_once_only_one_resumes(self):
        kept = self.fail_at(60)
        self.serve_index(Response(self.setup_bytes, fault="slow", piece=16384, delay=0.1))
        before = temp_leftovers()
        first, second = BackgroundSession("first", setup_ms=200), BackgroundSession("second", setup_ms=200)
        reports = [first.report(), second.report()]
        for session, report in zip((first, second), reports):
            self.assertEqual(report["exitCode"], 1, report)
            self.assertTrue(session.installed())
            self.assertEqual(left_in_temp(report["tempDir"], before), [])
        ranges = sorted(headers.get("Range", "") for headers in self.setup_headers())
        self.assertEqual(ranges, ["", "bytes=%d-" % kept], "not exactly one of the two resumed")
        self.assertEqual(kept_files(), [])


if __name__ == "__main__":
    unittest.main()
