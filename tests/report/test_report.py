"""The report tool on a small set of server logs: fixtures/server-a.log holds odd remarks bytes,
broken lines and requests that are no downloads; fixtures/server-b.log, from a second server,
holds the same affiliate with a resumed download and a last line cut off mid-write; both are in
the older format without the installers' results. fixtures/server-c.log, from a server that logs
them, holds how runs ended: installs, a setup that failed, failed downloads, a Cancel."""
import contextlib
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
C = HERE / "fixtures" / "server-c.log"

sys.path.insert(0, str(REPORT.parent))
import report as log_report  # noqa: E402

DOWNLOADS = ["starts", "downloads_begun", "downloads_completed", "bytes"]
RESULTS = ["installs", "installs_failed", "downloads_failed", "failed_http", "failed_signature",
           "failed_other", "cancels", "median_download_seconds"]


def run(*args, stdin=None):
    result = subprocess.run([sys.executable, str(REPORT), *map(str, args)], input=stdin, capture_output=True,
                            timeout=120)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def csv_rows(out, columns=DOWNLOADS):
    """The CSV's rows by (affiliate, remarks) cells, each with the named columns' values."""
    rows = list(csv.DictReader(io.StringIO(out)))
    return {(row["affiliate"], row["remarks"]): tuple(row[c] if c == "median_download_seconds" else int(row[c])
                                                      for c in columns) for row in rows}


def log_line(action="installer_images", affiliate=b"7", remarks=b"=r", status=b"200", sent=b"35", result=None,
             method=b"GET", ranged=b"-"):
    """One line as nginx logs it; `result` is the outcome, exit code, reason and seconds of the
    newer format's last four fields, None for a line of the older format."""
    fields = [b"2026-12-03T08:00:00+00:00", method, action.encode(), affiliate, b"1", b"EN", remarks, status,
              sent, b"OK", ranged]
    if result is not None:
        fields += [v.encode() for v in result]
    return b"\t".join(fields) + b"\n"


class Report(unittest.TestCase):
    def test_counts_per_affiliate_and_remarks_over_several_servers(self):
        code, out, err = run("--csv", A, B)
        self.assertEqual(code, 0, err)
        self.assertEqual(csv_rows(out), {
            # Three starts on two servers; downloads: one whole, one cut off by the user, one
            # broken off and resumed with a Range request (begun once, completed by its end).
            ("11628", "spring & summer"): (3, 3, 2, 3000000 + 204800 + 1000000 + 2000000),
            # Remarks keep every byte: a backslash, a byte that is no UTF-8, a tab, NUL, a quote;
            # "-" and empty remarks stay apart ("-" made inert for spreadsheets). HEAD, a 404
            # and an unknown action are no downloads.
            ("42", "a\\x5Cb\\xFF\\x09\\x00\""): (1, 0, 0, 0),
            ("42", "'-"): (1, 0, 0, 0),
            ("42", ""): (1, 0, 0, 0),
            # A request without any query values still counts, under no affiliate.
            ("", ""): (0, 1, 1, 3000000),
        })

    def test_how_runs_ended_beside_old_logs(self):
        code, out, err = run("--csv", A, B, C)
        self.assertEqual(code, 0, err)
        rows = csv_rows(out, DOWNLOADS + RESULTS)
        self.assertEqual(rows[("11628", "spring & summer")], (
            # Downloads of both formats add up.
            3 + 4, 3 + 3, 2 + 2, 6204800 + 7000000,
            # One setup ended with 0, one with 3; a 404; a Cancel. The median of 40 s and 60 s.
            1, 1, 1, 1, 0, 0, 1, "50"))
        # A refused signature and a reason this report does not know; a result answered 404
        # and a HEAD count nothing.
        self.assertEqual(rows[("42", "'-")], (1, 0, 0, 0, 0, 0, 2, 0, 1, 1, 0, ""))

        code, out, err = run(A, B, C)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        # The table has columns for the reasons that occur only.
        self.assertIn("failed: http", lines[0])
        self.assertIn("failed: signature", lines[0])
        self.assertNotIn("failed: network", lines[0])
        self.assertEqual(lines[-3].split(), ["all", "10", "7", "5", str(9204800 + 7000000),
                                             "1", "1", "3", "1", "1", "1", "1", "50"])

    def test_failed_downloads_by_reason(self):
        # Each reason an installer sends counts in its own column; one this report does not
        # know counts as other.
        lines = [log_line("installer_result", result=("failed", "-", reason, "3"))
                 for reason in ("proxy-auth", "proxy-auth", "http", "no-such-reason", "disk-full", "disk-full",
                                "disk-full")]
        code, out, err = run("--csv", "-", stdin=b"".join(lines))
        self.assertEqual(code, 0, err)
        self.assertEqual(csv_rows(out, ["downloads_failed", "failed_proxy-auth", "failed_http", "failed_disk-full",
                                        "failed_other"]),
                         {("7", "r"): (7, 2, 1, 3, 1)})
        code, table, err = run("-", stdin=b"".join(lines))
        self.assertEqual(code, 0, err)
        self.assertIn("failed: proxy-auth", table.splitlines()[0])
        self.assertIn("failed: disk-full", table.splitlines()[0])

    def test_median_download_time(self):
        cases = [([], ""), ([7], "7"), ([30, 10], "20"), ([1, 2], "1.5"), ([5, 1, 9, 9, 3], "5"),
                 # A time beyond a day counts as a day.
                 ([10 ** 15], "86400"), ([10, 20, 30, 10 ** 15], "25")]
        for seconds, median in cases:
            with self.subTest(seconds=seconds):
                log = b"".join(log_line("installer_result", status=b"204", sent=b"0",
                                        result=("installed", "0", "-", str(s))) for s in seconds)
                log += log_line()  # the row exists without any install too
                code, out, err = run("--csv", "-", stdin=log)
                self.assertEqual(code, 0, err)
                self.assertEqual(csv_rows(out, ["median_download_seconds"])[("7", "r")], (median,))

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
        self.assertEqual(lines[0].split()[:8], ["affiliate", "remarks", "starts", "downloads", "begun",
                                                "downloads", "completed", "bytes"])
        self.assertIn("11628  spring & summer", out)
        self.assertEqual(lines[-3].split()[:5], ["all", "6", "4", "3", str(9204800)])
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
            # A byte below 0x80 that does not decode (half a UTF-16 unit) is escaped too.
            _, out, _ = run("--csv", "--remarks-encoding", "utf-16-le", "-", stdin=log_line(remarks=b"=abc"))
            self.assertIn(("7", "\u6261\\x63"), csv_rows(out))
            for name in ("no-such-code", "rot13", "hex"):
                code, _, err = run("--remarks-encoding", name, log)
                self.assertEqual(code, 2, name)
                self.assertIn("unknown encoding", err)
            # A codec that takes no error handler shows what is not ASCII escaped.
            _, out, _ = run("--csv", "--remarks-encoding", "idna", log)
            self.assertIn(("11628", "\\xE9t\\xE9"), csv_rows(out))

    def test_rotated_logs_missing_files_and_standard_input(self):
        with tempfile.TemporaryDirectory() as folder:
            rotated = Path(folder) / "server-b.log.1.gz"
            with open(B, "rb") as source, gzip.open(rotated, "wb") as target:
                shutil.copyfileobj(source, target)
            code, out, err = run("--csv", A, rotated, Path(folder) / "missing.log")
            self.assertEqual(code, 1)  # the others are still reported
            self.assertIn("missing.log", err)
            self.assertEqual(csv_rows(out)[("11628", "spring & summer")][0], 3)

        code, out, _ = run("--csv", "-", stdin=B.read_bytes())
        self.assertEqual(code, 0)
        self.assertEqual(csv_rows(out)[("11628", "spring & summer")], (1, 1, 1, 3000000))

    def test_damaged_compressed_logs(self):
        """Every damage to a compressed log, in any byte, leaves a report of what could be read;
        a damage the decompressor notices names the file and makes the exit status 1."""
        plain = (A.read_bytes() + B.read_bytes()).replace(b"11628", b"99") * 40
        packed = gzip.compress(plain, mtime=0)
        noticed = 0
        with tempfile.TemporaryDirectory() as folder:
            log = Path(folder) / "damaged.log.gz"
            for place in range(10, len(packed), max(1, len(packed) // 300)):
                for damage in (packed[:place] + bytes([packed[place] ^ 0x55]) + packed[place + 1:], packed[:place]):
                    log.write_bytes(damage)
                    out, err = io.StringIO(), io.StringIO()
                    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                        code = log_report.main(["--csv", str(C), str(log)])
                    self.assertIn(code, (0, 1), err.getvalue())
                    # The good log beside it is always reported whole.
                    self.assertEqual(csv_rows(out.getvalue())[("11628", "spring & summer")], (4, 3, 2, 7000000))
                    if code == 1:
                        noticed += 1
                        self.assertIn("damaged.log.gz", err.getvalue())
        self.assertGreater(noticed, 300)

        # What comes before the damage is counted.
        log_bytes = gzip.compress(B.read_bytes() * 1000, mtime=0)
        cut = log_bytes[:len(log_bytes) // 2]
        with tempfile.TemporaryDirectory() as folder:
            log = Path(folder) / "cut.log.gz"
            log.write_bytes(cut)
            code, out, err = run("--csv", log)
        self.assertEqual(code, 1)
        self.assertRegex(err, r"cut\.log\.gz: .*\(the \d+ lines before are counted\)")
        self.assertGreater(csv_rows(out)[("11628", "spring & summer")][1], 100)

    def test_output_cut_short(self):
        # A reader that stops early (report.py | head) ends the report quietly.
        log = log_line() * 10 + b"".join(log_line(remarks=b"=%d" % n) for n in range(50000))
        with subprocess.Popen([sys.executable, str(REPORT), "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as report:
            report.stdin.write(log)
            report.stdin.close()
            report.stdout.read(100)
            report.stdout.close()
            err = report.stderr.read().decode()
            self.assertEqual(report.wait(timeout=60), 1)
        self.assertNotIn("Traceback", err)


# What anyone can put into a request, or into a damaged log, and what the report makes of it:
# either the row it counts (its affiliate and remarks cells in the CSV and in the table, and its
# starts) or the reason the line is skipped. None in a cell: as in the CSV.
HOSTILE = [
    # Numbers too long for a number, or not numbers at all.
    ("affiliate of 5000 digits", log_line(affiliate=b"9" * 5000), ("9" * 5000, "r", None, 1)),
    ("status of 5000 digits", log_line(status=b"2" * 5000), "not a number: b'2222"),
    ("bytes sent of 21 digits", log_line(sent=b"1" * 21), "not a number"),
    ("negative bytes", log_line(sent=b"-35"), "not a number: b'-35'"),
    ("non-ASCII digits", log_line(sent="٣٥".encode()), "not a number"),
    ("content range of huge numbers", log_line(status=b"206", ranged=b"bytes 0-" + b"9" * 30 + b"/1"),
     "unreadable content range"),
    ("exit code of 30 digits", log_line("installer_result", result=("installed", "7" * 30, "-", "1")),
     "not an exit code"),
    ("install without exit code", log_line("installer_result", result=("installed", "-", "-", "1")),
     "not an exit code: b'-'"),
    ("seconds not a number", log_line("installer_result", result=("cancelled", "-", "-", "1e9")), "not seconds"),
    ("result without an outcome, as a probe of the server sends", log_line("installer_result", status=b"204",
                                                                            result=("-", "-", "-", "-")),
     ("7", "r", None, 0)),
    ("unknown outcome", log_line("installer_result", result=("x" * 100, "-", "-", "1")),
     "an outcome that is not installed, failed or cancelled: b'xxxx"),
    # Formulas: inert in the CSV, as they are in the table.
    ("formula in remarks", log_line(remarks=b'==HYPERLINK(\\x22http://evil.invalid\\x22,\\x22x\\x22)'),
     ("7", "'=HYPERLINK(\"http://evil.invalid\",\"x\")", "=HYPERLINK(\"http://evil.invalid\",\"x\")", 1)),
    ("command in remarks", log_line(remarks=b"==cmd|'/c calc'!A1"), ("7", "'=cmd|'/c calc'!A1", "=cmd|'/c calc'!A1", 1)),
    ("plus", log_line(remarks=b"=+1+1"), ("7", "'+1+1", "+1+1", 1)),
    ("minus", log_line(remarks=b"=-2+3"), ("7", "'-2+3", "-2+3", 1)),
    ("at", log_line(remarks=b"=@SUM(A1)"), ("7", "'@SUM(A1)", "@SUM(A1)", 1)),
    ("formula as affiliate", log_line(affiliate=b"=1+1"), ("'=1+1", "r", None, 1)),
    ("tab before a formula", log_line(remarks=b"=\\x09=1"), ("7", "\\x09=1", None, 1)),
    ("carriage return before a formula", log_line(remarks=b"=\\x0D=1"), ("7", "\\x0D=1", None, 1)),
    # Nothing reaches a terminal that acts on it.
    ("terminal escape", log_line(remarks=b"=\\x1B]0;owned\\x07\\x1B[2J"), ("7", "\\x1B]0;owned\\x07\\x1B[2J", None, 1)),
    ("C1 control", log_line(remarks=b"=a\\xC2\\x9B2J"), ("7", "a\\u009B2J", None, 1)),
    ("direction override", log_line(remarks=b"=\\xE2\\x80\\xAEtxt.exe"), ("7", "\\u202Etxt.exe", None, 1)),
    ("line separator", log_line(remarks=b"=a\\xE2\\x80\\xA8b"), ("7", "a\\u2028b", None, 1)),
    ("bytes that are no text", log_line(remarks=b"=\\xFF\\xFE\\x80"), ("7", "\\xFF\\xFE\\x80", None, 1)),
    ("control bytes unescaped, as no nginx writes them", log_line(remarks=b"=\x1b[2J\r\x00\x7f\xff"),
     ("7", "\\x1B[2J\\x0D\\x00\\x7F\\xFF", None, 1)),
    ("text stays text", log_line(remarks="=été 春".encode()), ("7", "été 春", None, 1)),
    # Broken lines.
    ("escape that is not one", log_line(remarks=b"=\\x4"), "a backslash that is not an \\xHH escape"),
    ("binary garbage", b"\x00\xff\x1f\x8b\t\t\x00\n", "3 fields instead of 11 or 15"),
    ("line of 2 MiB", b"x" * (2 << 20) + b"\n", "longer than 1048576 bytes"),
    ("line of 2 MiB without its end", b"\t" * (2 << 20), "longer than 1048576 bytes"),
]


class HostileLines(unittest.TestCase):
    def test_each_line(self):
        for what, line, expected in HOSTILE:
            with self.subTest(what):
                # Each line after a good one: the report goes on after it.
                log = log_line(affiliate=b"1") + line
                code, out, err = run("--csv", "-", stdin=log)
                self.assertEqual(code, 0, err)
                self.assertNotIn("Traceback", err)
                rows = csv_rows(out, ["starts"])
                self.assertEqual(rows.pop(("1", "r")), (1,))
                if isinstance(expected, str):
                    self.assertEqual(rows, {})
                    self.assertIn("1 malformed lines skipped", err)
                    self.assertIn(f"-:2: {expected}", err)
                    self.assertLess(len(err), 400)  # a hostile field is named clipped
                    continue
                affiliate, remarks, shown_remarks, starts = expected
                self.assertEqual(rows, {(affiliate, remarks): (starts,)})
                self.assertEqual(err, "")
                code, table, _ = run("-", stdin=log)
                self.assertEqual(code, 0)
                shown_affiliate = affiliate if affiliate.isdigit() else affiliate.lstrip("'")
                shown_remarks = remarks if shown_remarks is None else shown_remarks
                row = [l for l in table.splitlines()[2:] if l.split()[:1] == [shown_affiliate]]
                self.assertEqual(len(row), 1, table)
                self.assertIn(f"{shown_affiliate}  {shown_remarks} ", row[0])
                self.assertTrue(table.replace("\n", "").isprintable(), table)


if __name__ == "__main__":
    unittest.main()
