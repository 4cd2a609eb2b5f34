"""The report tool on a small pair of server logs: fixtures/server-a.log holds odd remarks bytes,
broken lines and requests that are no downloads; fixtures/server-b.log, from a second server,
holds the same affiliate with a resumed download and a last line cut off mid-write."""
import csv
import gzip
import io
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPORT = HERE.parents[1] / "tools" / "report" / "report.py"
A = HERE / "fixtures" / "server-a.log"
B = HERE / "fixtures" / "server-b.log"


def run(*args):
    result = subprocess.run([sys.executable, str(REPORT), *map(str, args)], capture_output=True, timeout=60)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def csv_rows(out):
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == ["affiliate", "remarks", "starts", "downloads_begun", "downloads_completed", "bytes"]
    return {(row[0], row[1]): tuple(int(n) for n in row[2:]) for row in rows[1:]}


class Report(unittest.TestCase):
    def test_counts_per_affiliate_and_remarks_over_several_servers(self):
        code, out, err = run("--csv", A, B)
        self.assertEqual(code, 0, err)
        self.assertEqual(csv_rows(out), {
            # Three starts on two servers; downloads: one whole, one cut off by the user, one
            # broken off and resumed with a Range request (begun once, completed by its end).
            ("11628", "spring & summer"): (3, 3, 2, 3000000 + 204800 + 1000000 + 2000000),
            # Remarks keep every byte: a backslash, a byte that is no UTF-8, a tab, NUL, a quote;
            # "-" and empty remarks stay apart. HEAD, a 404 and an unknown action are no downloads.
            ("42", "a\\x5Cb\\xFF\\x09\\x00\""): (1, 0, 0, 0),
            ("42", "-"): (1, 0, 0, 0),
            ("42", ""): (1, 0, 0, 0),
            # A request without any query values still counts, under no affiliate.
            ("", ""): (0, 1, 1, 3000000),
        })

    def test_broken_lines_are_counted_and_named(self):
        code, out, err = run(A, B)
        self.assertEqual(code, 0, err)
        self.assertIn("20 lines read, 6 malformed", out)
        self.assertIn("6 malformed lines skipped", err)
        for place, reason in [("server-a.log:8:", "1 fields"), ("server-a.log:9:", "backslash"),
                              ("server-a.log:10:", "leading '='"), ("server-a.log:11:", "not a number"),
                              ("server-a.log:12:", "3 fields"), ("server-b.log:5:", "4 fields")]:
            self.assertRegex(err, f"{place} .*{reason}")

    def test_text_table(self):
        code, out, _ = run(A, B)
        self.assertEqual(code, 0)
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["affiliate", "remarks", "starts", "downloads", "begun", "downloads",
                                            "completed", "bytes"])
        self.assertIn("11628  spring & summer", out)
        self.assertEqual(lines[-3].split(), ["all", "6", "4", "3", str(9204800)])
        # Control bytes of remarks are shown escaped: no table row is split or shifted by them.
        self.assertIn("a\\x5Cb\\xFF\\x09\\x00\"", out)
        self.assertEqual(len(lines), 10)

    def test_remarks_encoding(self):
        with tempfile.TemporaryDirectory() as folder:
            log = Path(folder) / "cp1252.log"
            log.write_bytes(A.read_bytes().splitlines(keepends=True)[0].replace(b"=spring & summer", b"=\\xE9t\\xE9"))
            _, out, _ = run("--csv", log)
            self.assertIn(("11628", "\\xE9t\\xE9"), csv_rows(out))
            _, out, _ = run("--csv", "--remarks-encoding", "cp1252", log)
            self.assertIn(("11628", "été"), csv_rows(out))

    def test_rotated_logs_missing_files_and_standard_input(self):
        with tempfile.TemporaryDirectory() as folder:
            rotated = Path(folder) / "server-b.log.1.gz"
            with open(B, "rb") as source, gzip.open(rotated, "wb") as target:
                shutil.copyfileobj(source, target)
            code, out, err = run("--csv", A, rotated, Path(folder) / "missing.log")
            self.assertEqual(code, 1)  # the others are still reported
            self.assertIn("missing.log", err)
            self.assertEqual(csv_rows(out)[("11628", "spring & summer")][0], 3)

        result = subprocess.run([sys.executable, str(REPORT), "--csv", "-"], input=B.read_bytes(),
                                capture_output=True, timeout=60)
        self.assertEqual(csv_rows(result.stdout.decode())[("11628", "spring & summer")], (1, 1, 1, 3000000))


if __name__ == "__main__":
    unittest.main()
