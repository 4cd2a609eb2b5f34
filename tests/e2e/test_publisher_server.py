"""The publisher's download server end to end: nginx with the shipped server/nginx.conf, started
by server/run on loopback, serves a site folder to the installer under Wine; its installer log
records each request, the installer's report of how its run ended included, and tools/report
counts them per affiliate and remarks."""
import csv
import io
import json
import math
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import testcerts
from winehost import BUILD, DRIVE_C, ROOT, reg_delete, reg_query, wine, windows_path

sys.path.insert(0, str(ROOT / "tools" / "report"))
import report as log_report  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
INSTALLER_TLS = BUILD / "PellmorrowInstallerE2ETls.exe"  # built for https://127.0.0.1:TLS_PORT
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
REQUEST_FETCH = BUILD / "tests" / "e2e" / "request_fetch.exe"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))  # the host the test copy was built with
HOST = f"127.0.0.1:{TEST_PORT}"
TLS_PORT = int(os.environ.get("PELLMORROW_E2E_TLS_PORT", "47812"))
# Answers leave at most this fast, so that a Cancel reliably comes before a download's end.
RATE = 100_000


def site_bytes(tag, size):
    """A setup program's stand-in: distinct per language, every byte value in it."""
    return bytes((i * 31 + tag) % 256 for i in range(size))


class PublisherServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = BUILD / "e2e-nginx"
        cls.site = BUILD / "e2e-site"
        shutil.rmtree(cls.prefix, ignore_errors=True)
        shutil.rmtree(cls.site, ignore_errors=True)
        for folder in ("setup", "slideshow", "pictures"):
            (cls.site / folder).mkdir(parents=True)
        # English has the real stand-in setup; German has files of its own; every other
        # language falls back to English.
        cls.english_setup = FAKE_SETUP.read_bytes()
        (cls.site / "setup" / "EN.exe").write_bytes(cls.english_setup)
        (cls.site / "setup" / "DE.exe").write_bytes(site_bytes(7, 70_000))
        (cls.site / "slideshow" / "EN.txt").write_text(f"bk_image 4 http://{HOST}/pictures/en-1.jpg\n")
        (cls.site / "slideshow" / "DE.txt").write_text(f"bk_image 4 http://{HOST}/pictures/de-1.jpg\n")
        shutil.copy(ROOT / "demo" / "slide1.jpg", cls.site / "pictures" / "en-1.jpg")
        shutil.copy(ROOT / "demo" / "slide2.jpg", cls.site / "pictures" / "de-1.jpg")
        # The same server also answers over HTTPS, with a certificate from an authority that the
        # Wine prefix trusts.
        authority = testcerts.Authority(cls.prefix.with_name("e2e-nginx-tls"), "Pellmorrow Test Server CA")
        credential = authority.issue("127.0.0.1", "IP:127.0.0.1,DNS:127.0.0.1")
        cls.root = testcerts.trust_root(authority)
        subprocess.run([ROOT / "server" / "run", "start", cls.prefix, cls.site, HOST, f"127.0.0.1:{TLS_PORT} ssl",
                        "--rate", str(RATE), "--certificate", credential.chain, credential.key],
                       check=True, stdin=subprocess.DEVNULL, timeout=60)
        cls.log = cls.prefix / "logs" / "installer.log"

    @classmethod
    def tearDownClass(cls):
        subprocess.run([ROOT / "server" / "run", "stop", cls.prefix], stdin=subprocess.DEVNULL, timeout=60)
        testcerts.untrust_root(cls.root)

    def setUp(self):
        reg_delete(PRODUCT_KEY)
        self.record = DRIVE_C / "setup-record.txt"
        self.record.unlink(missing_ok=True)
        self.env = {"PELLMORROW_SETUP_RECORD": windows_path(self.record), "PELLMORROW_SETUP_MS": "2500"}

    def tearDown(self):
        reg_delete(PRODUCT_KEY)

    def stamped_copy(self, affiliate, remarks, installer=INSTALLER_E2E):
        copy = BUILD / f"e2e-publisher-{affiliate}.exe"
        code, out = wine(BUILD / "stamp.exe", windows_path(installer), windows_path(copy),
                         "--affiliate", affiliate, "--remarks", remarks)
        self.assertEqual(code, 0, out)
        return copy

    def session(self, exe, *options):
        code, out = wine(BUILD / "tests" / "e2e" / "e2e_driver.exe", "session", exe, *options, env=self.env,
                         timeout=180)
        self.assertEqual(code, 0, out)
        return json.loads(out)

    def logged(self, affiliate, count, action=None):
        """The installer log's lines of one affiliate, once there are `count` (of `action`, when
        given): nginx writes a line when its answer has ended, which for a cut-off answer is
        when it notices."""
        deadline = time.monotonic() + 30
        while True:
            lines = [line.split("\t") for line in self.log.read_text(encoding="latin-1").splitlines()]
            mine = [fields for fields in lines if fields[3] == affiliate]
            counted = [fields for fields in mine if action is None or fields[2] == action]
            if len(counted) >= count or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        if len(counted) >= count:
            return mine
        self.fail(f"{count} log lines of affiliate {affiliate} expected, found {mine}")

    def result_line(self, affiliate, count):
        """The one installer_result line of an affiliate, among its `count` lines."""
        result, = [f for f in self.logged(affiliate, count) if f[2] == "installer_result"]
        return result

    def report(self, columns=("starts", "downloads_begun", "downloads_completed", "bytes")):
        result = subprocess.run([sys.executable, ROOT / "tools" / "report" / "report.py", "--csv", self.log],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("malformed", result.stderr)
        rows = list(csv.DictReader(io.StringIO(result.stdout)))
        return {(row["affiliate"], row["remarks"]): tuple(row[k] if k == "median_download_seconds" else int(row[k])
                                                          for k in columns) for row in rows}

    def results(self):
        """What the report says of how the runs ended, per affiliate and remarks."""
        return self.report(("installs", "installs_failed", "downloads_failed", "failed_http", "cancels"))

    def test_installer_downloads_runs_and_is_counted(self):
        remarks = "spring & summer #1 50%"
        copy = self.stamped_copy("11628", remarks)
        # When the setup program starts (its record appears), as seen from here.
        began, started = time.monotonic(), []

        def watch():
            while not started and time.monotonic() - began < 180:
                if self.record.exists():
                    started.append(time.monotonic())
                time.sleep(0.01)
        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        report = self.session(copy)
        watcher.join()
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))

        lines = self.logged("11628", 3)
        self.assertEqual(sorted((f[1], f[2], f[5], f[6], f[7], f[9]) for f in lines), [
            ("GET", "installer", "EN", "=" + remarks, "200", "OK"),
            ("GET", "installer_images", "EN", "=" + remarks, "200", "OK"),
            ("GET", "installer_result", "EN", "=" + remarks, "204", "OK"),
        ])
        # After the setup program ended, the installer said so, with its exit code and the
        # download's time, which the setup program's 2.5 s are no part of: it is at most the
        # time from the installer's start to the setup program's.
        result = self.result_line("11628", 3)
        self.assertEqual(result[11:14], ["installed", "0", "-"], result)
        self.assertTrue(started, "the setup program's record never appeared")
        self.assertLessEqual(int(result[14]), math.ceil(started[0] - began), result)
        # The description's picture came from the same server, with its cache headers.
        access = (self.prefix / "logs" / "access.log").read_text()
        self.assertRegex(access, r'"GET /pictures/en-1\.jpg HTTP/1\.1" 200 ')
        self.assertEqual(self.report()[("11628", remarks)], (1, 1, 1, len(self.english_setup)))
        self.assertEqual(self.results()[("11628", remarks)], (1, 0, 0, 0, 0))

    def test_setup_program_that_fails_is_reported(self):
        self.env["PELLMORROW_SETUP_EXIT"] = "3"
        report = self.session(self.stamped_copy("11631", "exit three"))
        # The installer's own ending does not change: the run is recorded and ends as always.
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        self.assertEqual(reg_query(PRODUCT_KEY)["affId"], ("REG_DWORD", "0x2d6f"))
        self.assertEqual(self.result_line("11631", 3)[11:14], ["installed", "3", "-"])
        self.assertEqual(self.results()[("11631", "exit three")], (0, 1, 0, 0, 0))

    def test_missing_setup_program_is_reported_with_its_reason(self):
        english = self.site / "setup" / "EN.exe"
        english.unlink()
        try:
            report = self.session(self.stamped_copy("11632", "not found"), "cancel-at=Download failed!")
        finally:
            english.write_bytes(self.english_setup)
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertIsNone(reg_query(PRODUCT_KEY))
        # Sent when the run ends: once the user has closed the window.
        result = self.result_line("11632", 3)
        self.assertEqual(result[11:14], ["failed", "-", "http"], result)
        self.assertTrue(result[14].isdigit(), result)
        self.assertEqual(self.results()[("11632", "not found")], (0, 0, 1, 1, 0))

    def test_server_without_results_changes_nothing(self):
        # A server set up before installers reported their results answers them 404.
        conf = self.prefix / "conf" / "nginx.conf"
        current = conf.read_text()
        older = re.sub(r"\n *if \(\$arg_action = installer_result\) \{\n *return 204;\n *\}", "", current)
        self.assertNotEqual(older, current)
        self.reload(older, 404)
        try:
            old = self.session(self.stamped_copy("11633", "old server"))
            old_record = reg_query(PRODUCT_KEY)
        finally:
            self.reload(current, 204)
        reg_delete(PRODUCT_KEY)
        new = self.session(self.stamped_copy("11634", "new server"))
        new_record = reg_query(PRODUCT_KEY)
        # The user sees the same run and the registry holds the same record.
        self.assertEqual(old["captions"][-1], "Installing...", old)
        for key in ("hidden", "question", "exitCode"):
            self.assertEqual(old[key], new[key], key)
        self.assertEqual({k: v for k, v in old_record.items() if k not in ("affId", "remarks", "guid")},
                         {k: v for k, v in new_record.items() if k not in ("affId", "remarks", "guid")})
        self.assertEqual(old_record["remarks"], ("REG_SZ", "old server"))
        self.assertEqual(self.result_line("11633", 3)[7], "404")
        self.assertEqual(self.results()[("11633", "old server")], (0, 0, 0, 0, 0))

    def reload(self, conf_text, result_status):
        """Gives the running server another configuration, and waits until it answers a result
        request with `result_status`."""
        (self.prefix / "conf" / "nginx.conf").write_text(conf_text)
        subprocess.run(["nginx", "-p", f"{self.prefix}/", "-c", "conf/nginx.conf", "-e", "logs/error.log",
                        "-s", "reload"], check=True, stdin=subprocess.DEVNULL, timeout=60)
        probe = f"http://{HOST}/index.new.php?action=installer_result&affid=1&skinid=1&lang=EN&remarks=probe"
        for _ in range(100):
            try:
                with urllib.request.urlopen(probe, timeout=10) as answer:
                    status = answer.status
            except urllib.error.HTTPError as error:
                status = error.code
            if status == result_status:
                return
            time.sleep(0.1)
        self.fail(f"the server did not take its new configuration: {status}")

    def test_installer_over_https(self):
        report = self.session(self.stamped_copy("11630", "over tls", INSTALLER_TLS))
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        lines = self.logged("11630", 3)
        self.assertEqual(sorted((f[2], f[7], f[9], f[11]) for f in lines),
                         [("installer", "200", "OK", "-"), ("installer_images", "200", "OK", "-"),
                          ("installer_result", "204", "OK", "installed")])
        self.assertEqual(self.report()[("11630", "over tls")], (1, 1, 1, len(self.english_setup)))

    def test_cancelled_download_is_logged_incomplete(self):
        # A setup that takes about ten seconds at the server's rate; Cancel comes long before.
        big = site_bytes(3, 10 * RATE)
        english = self.site / "setup" / "EN.exe"
        english.write_bytes(big)
        try:
            report = self.session(self.stamped_copy("11629", "cancelled"), "cancel-at=Download in progress...",
                                  "answer=no")
        finally:
            english.write_bytes(self.english_setup)
        self.assertIn("Do you want to continue downloading?", report["question"])
        self.assertNotEqual(report["exitCode"], 1, report)

        setup, = [f for f in self.logged("11629", 3) if f[2] == "installer"]
        self.assertEqual((setup[7], setup[9]), ("200", ""), setup)  # sent in part only
        self.assertLess(int(setup[8]), len(big))
        self.assertEqual(self.report()[("11629", "cancelled")], (1, 1, 0, int(setup[8])))
        self.assertEqual(self.result_line("11629", 3)[11:14], ["cancelled", "-", "-"])
        self.assertEqual(self.results()[("11629", "cancelled")], (0, 0, 0, 0, 1))

    def test_languages_with_own_files_and_falling_back(self):
        # The installer's requests for German (files of its own) and Turkish (none: English).
        cases = [("DE", "setup", self.site / "setup" / "DE.exe"),
                 ("DE", "slideshow", self.site / "slideshow" / "DE.txt"),
                 ("TR", "setup", self.site / "setup" / "EN.exe"),
                 ("TR", "slideshow", self.site / "slideshow" / "EN.txt")]
        target = BUILD / "e2e-fetched.bin"
        for lang, kind, expected in cases:
            with self.subTest(lang=lang, kind=kind):
                target.unlink(missing_ok=True)
                code, out = wine(REQUEST_FETCH, HOST, kind, lang, "31337", "lang test", windows_path(target))
                self.assertEqual(code, 0, out)
                self.assertEqual(json.loads(out)["status"], 4, out)
                self.assertEqual(target.read_bytes(), expected.read_bytes())
        lines = self.logged("31337", 4)
        self.assertEqual(sorted((f[2], f[5], f[7], f[9]) for f in lines), [
            ("installer", "DE", "200", "OK"), ("installer", "TR", "200", "OK"),
            ("installer_images", "DE", "200", "OK"), ("installer_images", "TR", "200", "OK")])
        setup_bytes = len(self.english_setup) + (self.site / "setup" / "DE.exe").stat().st_size
        self.assertEqual(self.report()[("31337", "lang test")], (2, 2, 2, setup_bytes))

    def test_http_answers(self):
        base = f"http://{HOST}/index.new.php?affid=5&skinid=1&remarks=x"

        def get(url, headers=None):
            try:
                with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}), timeout=30) as r:
                    return r.status, r.headers, r.read()
            except urllib.error.HTTPError as error:
                return error.code, error.headers, error.read()

        # Unknown actions, other paths and a language that is a path get nothing or English.
        for url in (base + "&action=nothing", base, f"http://{HOST}/setup/EN.exe", f"http://{HOST}/pictures/"):
            with self.subTest(url=url):
                status, headers, body = get(url)
                self.assertEqual(status, 404)
                self.assertEqual(int(headers["Content-Length"]), len(body))
        status, _, body = get(base + "&action=installer_images&lang=..%2Fsetup%2FDE")
        self.assertEqual((status, body), (200, (self.site / "slideshow" / "EN.txt").read_bytes()))

        # The answers carry their length and are never cached; a resumed download gets its part.
        status, headers, body = get(base + "&action=installer&lang=DE")
        self.assertEqual((status, int(headers["Content-Length"])), (200, len(body)))
        self.assertEqual(headers["Cache-Control"], "no-store")
        status, headers, part = get(base + "&action=installer&lang=DE", {"Range": "bytes=1000-"})
        self.assertEqual((status, part), (206, body[1000:]))
        self.assertEqual(headers["Content-Range"], f"bytes 1000-{len(body) - 1}/{len(body)}")
        self.assertEqual(int(headers["Content-Length"]), len(body) - 1000)

        # An installer's result is logged with its values and answered with nothing.
        status, headers, body = get(base + "&action=installer_result&lang=EN&outcome=failed&reason=network&seconds=3")
        self.assertEqual((status, body, headers["Cache-Control"]), (204, b"", "no-store"))
        result, = [f for f in self.logged("5", 1, action="installer_result") if f[2] == "installer_result"]
        self.assertEqual(result[7:], ["204", "0", "OK", "-", "failed", "-", "network", "3"])

        # Pictures may be kept by caches and proxies.
        status, headers, picture = get(f"http://{HOST}/pictures/en-1.jpg")
        self.assertEqual((status, int(headers["Content-Length"])), (200, len(picture)))
        self.assertEqual(headers["Content-Type"], "image/jpeg")
        self.assertTrue(re.fullmatch(r"max-age=\d{4,}", headers["Cache-Control"]), headers["Cache-Control"])

    def test_remarks_keep_every_byte_through_the_log(self):
        # The installer percent-encodes every byte of its remarks; nginx decodes them for the log
        # and escapes what it must; the report must get back exactly what was stamped.
        cases = [bytes(range(256)), b"-", b"", b"a+b \\x41 \\"]
        for number, remarks in enumerate(cases, 900):
            query = urllib.parse.urlencode({"action": "installer_images", "affid": number, "skinid": 1,
                                            "lang": "EN", "remarks": remarks}, quote_via=urllib.parse.quote)
            with urllib.request.urlopen(f"http://{HOST}/index.new.php?{query}", timeout=30) as answer:
                self.assertEqual(answer.status, 200)
        for number, remarks in enumerate(cases, 900):
            with self.subTest(remarks=remarks):
                line, = self.logged(str(number), 1)
                request = log_report.parse("\t".join(line).encode("latin-1"))
                self.assertEqual(request.remarks, remarks)


if __name__ == "__main__":
    unittest.main()
