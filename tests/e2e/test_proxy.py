"""The installer behind a proxy: a real squid on loopback, set as the prefix's proxy. Without
authentication every request of the run goes through it; with basic authentication the system's
credentials dialog is asked once, owned by the installer's window, and every request then carries
the user; a wrong password asks again; Cancel fails the download (proxy-auth); a proxy that is not
there fails the run as a server that is not there would."""
import json
import shutil
import socket
import subprocess
import sys
import time
import unittest
import urllib.parse
from pathlib import Path

from installer_run import PRODUCT_KEY, TEST_PORT, InstallerRunTest, Response
from winehost import BUILD, left_in_temp, reg_add, reg_query, wine

sys.path.insert(0, str(Path(__file__).resolve().parent / "slides"))
from hostile import plain_jpeg  # noqa: E402

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
SQUID = "/usr/sbin/squid"
NCSA_AUTH = "/usr/lib/squid/basic_ncsa_auth"
USER, PASSWORD = "tester", "s3cret-Pw"
SILENCE_S = 3.0       # the test copy's silence bound
PAUSES_S = 1.0 + 2.0  # the pauses between the setup download's three attempts


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Squid:
    """squid in the foreground with a configuration, pid, logs and cache of its own under `work`;
    with `users`, basic authentication against a password file made with openssl."""

    def __init__(self, work, users=None):
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        # squid started as root works as its own user, which must write here.
        work.chmod(0o777)
        self.work = work
        self.port = free_port()
        self.access_log = work / "access.log"
        lines = [
            f"http_port 127.0.0.1:{self.port}",
            f"pid_filename {work / 'squid.pid'}",
            f"cache_log {work / 'cache.log'}",
            f"access_log stdio:{self.access_log} squid",
            "logfile_rotate 0",
            f"coredump_dir {work}",
            "cache deny all",
            "cache_mem 8 MB",
            "netdb_filename none",
            "shutdown_lifetime 0 seconds",
            "visible_hostname pellmorrow-test-proxy",
            # The queries name the requests (and the result its reason).
            "strip_query_terms off",
            # The test server listens on loopback: this proxy may reach it (Debian's own
            # configuration would refuse it).
        ]
        if users:
            passwd = work / "passwd"
            entries = []
            for user, password in users.items():
                hashed = subprocess.run(["openssl", "passwd", "-apr1", password], capture_output=True, check=True,
                                        text=True).stdout.strip()
                entries.append(f"{user}:{hashed}\n")
            passwd.write_text("".join(entries))
            passwd.chmod(0o644)
            lines += [f"auth_param basic program {NCSA_AUTH} {passwd}",
                      "auth_param basic realm Pellmorrow test proxy",
                      "auth_param basic credentialsttl 1 hour",
                      "acl known proxy_auth REQUIRED",
                      "http_access allow known"]
        else:
            lines.append("http_access allow all")
        lines.append("http_access deny all")
        config = work / "squid.conf"
        config.write_text("\n".join(lines) + "\n")
        with open(work / "squid.out", "wb") as out:
            self.process = subprocess.Popen([SQUID, "-N", "-f", str(config)], stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not self.listening():
            if self.process.poll() is not None or time.monotonic() > deadline:
                logs = [work / "squid.out", work / "cache.log"]
                raise RuntimeError("squid did not start: " + "".join(p.read_text(errors="replace")
                                                                     for p in logs if p.exists()))
            time.sleep(0.05)

    def listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def log(self):
        """The access log's entries as (status, user, URL), in order. squid writes an entry as a
        transaction ends; the run's last one (the result request) ends before the installer does."""
        if not self.access_log.exists():
            return []
        entries = []
        for line in self.access_log.read_text(errors="replace").splitlines():
            fields = line.split()
            if len(fields) >= 8:
                entries.append((fields[3], fields[7], fields[6]))
        return entries

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Proxy(InstallerRunTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.saved = reg_query(INTERNET_SETTINGS) or {}

    def setUp(self):
        super().setUp()
        self.squid = None
        picture = plain_jpeg(64, 48)

        def setup(request):
            # Slow enough that the slideshow's requests are made while it arrives.
            time.sleep(0.5)
            return Response(self.setup_bytes, fault="slow", piece=16384, delay=0.1)
        self.serve_index(setup, Response(f"bk_image 1 {self.server.url('/slides/one.jpg')}\n".encode(),
                                         content_type="text/plain"))
        self.server.add_route("/slides/one.jpg", lambda request: Response(picture, content_type="image/jpeg"))
        self.addCleanup(self.restore_proxy_settings)

    def tearDown(self):
        if self.squid:
            self.squid.stop()
        super().tearDown()

    def use_proxy(self, port):
        reg_add(INTERNET_SETTINGS, "ProxyEnable", "1", "REG_DWORD")
        reg_add(INTERNET_SETTINGS, "ProxyServer", f"127.0.0.1:{port}")
        # Nothing is exempt from the proxy, loopback included.
        reg_add(INTERNET_SETTINGS, "ProxyOverride", "")

    def restore_proxy_settings(self):
        for name in ("ProxyEnable", "ProxyServer", "ProxyOverride"):
            if name in self.saved:
                kind, data = self.saved[name]
                if kind == "REG_DWORD":
                    data = str(int(data, 0))
                reg_add(INTERNET_SETTINGS, name, data, kind)
            else:
                wine("reg", "delete", INTERNET_SETTINGS, "/v", name, "/f")

    def start_squid(self, users=None):
        self.squid = Squid(BUILD / "e2e-squid", users)
        self.use_proxy(self.squid.port)
        return self.squid

    def server_requests(self):
        """What reached the test server: (action or picture path, query) in order."""
        return [(query.get("action", urllib.parse.urlsplit(entry["path"]).path), query)
                for query, entry in self.requests()]

    def proxied(self, status_prefix):
        """The squid log's entries for the test server whose status starts with `status_prefix`,
        as (action or picture path, user)."""
        found = []
        for status, user, url in self.squid.log():
            if status.split("/")[-1].startswith(status_prefix) and f":{TEST_PORT}/" in url:
                parts = urllib.parse.urlsplit(url)
                query = dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True))
                found.append((query.get("action", parts.path), user))
        return found

    def assert_installed(self, report):
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))
        self.assertEqual(left_in_temp(self.temp), [])

    def assert_every_request_through_proxy(self, user):
        """Every request the server saw came through squid, for `user`: the setup program, the
        slideshow's description and picture, the result."""
        seen = [action for action, _ in self.server_requests()]
        self.assertEqual(sorted(seen), sorted(["installer", "installer_images", "/slides/one.jpg",
                                               "installer_result"]), seen)
        passed = self.proxied("2")
        self.assertEqual(sorted(passed), sorted((action, user) for action in seen), self.squid.log())

    def test_proxy_without_authentication(self):
        self.start_squid()
        report = self.run_session()
        self.assert_installed(report)
        self.assertEqual(report["credentialsDialogs"], 0, report)
        self.assert_every_request_through_proxy("-")

    def test_basic_authentication_asks_once(self):
        self.start_squid({USER: PASSWORD})
        for name, answers, dialogs in [("right password", [f"{USER}:{PASSWORD}"], 1),
                                       ("wrong password, then the right one", [f"{USER}:wrong", f"{USER}:{PASSWORD}"], 2)]:
            with self.subTest(name):
                self.fresh()
                self.squid.access_log.write_text("")
                report = self.run_session("credentials=" + ",".join(answers))
                self.assert_installed(report)
                # Once per answer, whatever else asked meanwhile; owned by the installer's window;
                # the proxy's own dialog, naming the proxy and its realm.
                self.assertEqual(report["credentialsDialogs"], dialogs, report)
                self.assertIn(f"127.0.0.1:{self.squid.port}", report["credentialsTexts"], report)
                self.assertIn("Pellmorrow test proxy", report["credentialsTexts"], report)
                asked = [e["event"] for e in report["events"] if e["event"].startswith("credentials ")]
                self.assertEqual([e for e in asked if e != "credentials closed"], ["credentials ok owned"] * dialogs,
                                 report)
                self.assert_every_request_through_proxy(USER)
                # The proxy asked before anyone answered; nothing reached the server unasked.
                self.assertIn(("installer", "-"), self.proxied("407"))
                # The password never reaches the server, nor the program's own traces.
                for _, query in self.server_requests():
                    self.assertNotIn(PASSWORD, json.dumps(query))
                for entry in self.server.log():
                    self.assertNotIn("Proxy-Authorization", entry["headers"])

    def test_no_right_answer_fails_the_download_as_proxy_auth(self):
        self.start_squid({USER: PASSWORD})
        for name, answers in [("cancel", ["cancel"]),
                              ("three wrong passwords", [f"{USER}:wrong1", f"{USER}:wrong2", f"{USER}:wrong3"])]:
            with self.subTest(name):
                self.server.clear_log()
                self.squid.access_log.write_text("")
                report = self.run_session("credentials=" + ",".join(answers), "cancel-at=Download failed!")
                self.assertEqual(report["captions"][-1], "Download failed!", report)
                self.assertNotEqual(report["exitCode"], 1, report)
                self.assertFalse(self.record.exists(), "the setup program ran")
                self.assertEqual(left_in_temp(self.temp), [])
                # Asked no more than that: the slideshow's request, refused too, asks nobody again.
                self.assertEqual(report["credentialsDialogs"], len(answers), report)
                self.assertEqual(self.server_requests(), [], "a request passed the proxy")
                # The result request names the reason; the proxy refuses it as well (bare, and again
                # with the session's wrong credentials where there are any), so it shows in the
                # proxy's log only.
                results = [query for status, _, url in self.squid.log() if "installer_result" in url
                           for query in [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))]]
                self.assertTrue(results, self.squid.log())
                self.assertEqual({(q["outcome"], q["reason"]) for q in results}, {("failed", "proxy-auth")},
                                 self.squid.log())

    def test_proxy_that_is_not_there_fails_like_a_server_that_is_not_there(self):
        self.use_proxy(free_port())
        report = self.run_session("cancel-at=Download failed!")
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertEqual(report["credentialsDialogs"], 0, report)
        self.assertEqual(self.server_requests(), [])
        failed_ms = next(e["ms"] for e in report["events"] if e["event"] == "caption Download failed!")
        shown_ms = next(e["ms"] for e in report["events"] if e["event"] == "window shown")
        # Refused connections: three attempts, the pauses between them, nothing waits for a silence.
        self.assertLess((failed_ms - shown_ms) / 1000, PAUSES_S + SILENCE_S, report)


class PublisherChallenge(InstallerRunTest):
    """A 401 from the publisher's own server is a refusal, never a question to the user."""

    def test_server_asking_for_credentials_fails_the_download(self):
        self.server.add_route("/index.new.php", b"who are you", status=401,
                              headers={"WWW-Authenticate": 'Basic realm="publisher"'})
        report = self.run_session("cancel-at=Download failed!", "timeout=60000")
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertEqual(report["credentialsDialogs"], 0, report)
        results = [query for query, _ in self.requests()]
        self.assertIn(("failed", "http"), [(q.get("outcome"), q.get("reason")) for q in results], results)

if __name__ == "__main__":
    unittest.main()
