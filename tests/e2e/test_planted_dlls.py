"""DLLs that a web page may have left in the Downloads folder never run in the installer, and a
system DLL that cannot be loaded ends the download as failed, never in a crash.

Wine is told to prefer a DLL of each planted name from the program's own folder, as Windows does
for every DLL that is not one of its KnownDLLs. The planted DLL (planted_dll.cpp) leaves a marker
beside itself when it is loaded. Wine's own user32 imports version.dll, so a planted version.dll
is loaded at the start of every program under Wine, before any of its code runs: its marker from
the process's start is Wine's, not the installer's (on Windows no KnownDLL imports version.dll;
tests/imports shows that the installer does not either)."""
import json
import os
import shutil
import sys
import unittest
from pathlib import Path

import testcerts
from winehost import BUILD, DRIVE_C, DRIVER, publisher, reg_delete, reg_query, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
INSTALLER_TLS = BUILD / "PellmorrowInstallerE2ETls.exe"  # built for https://127.0.0.1:47812
FAKE_SETUP = BUILD / "tests" / "e2e" / "fake_setup.exe"
PLANTED_DLL = BUILD / "tests" / "e2e" / "planted.dll"
PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
TLS_PORT = int(os.environ.get("PELLMORROW_E2E_TLS_PORT", "47812"))
WORK = BUILD / "planted"

# The installer's own network and trust DLLs, and what they and the window's DLLs load by name.
# uxtheme.dll too: Wine's common controls load it by a search of the program's folder when they
# start, which the installer's own delay-loading of them makes come after its code has loaded the
# system's one.
PLANTED = ["wininet", "crypt32", "wintrust", "version", "uxtheme", "bcrypt", "mpr", "secur32", "winhttp",
           "dwmapi", "cryptbase", "iertutil", "msasn1", "userenv"]


def overrides(**orders):
    """WINEDLLOVERRIDES with the test run's own settings and `name=order` for each given DLL."""
    own = os.environ.get("WINEDLLOVERRIDES", "")
    return ";".join([own] * bool(own) + [f"{name}={order}" for name, order in orders.items()])


def downloads_folder(name, program):
    """A fresh folder holding `program` and a planted DLL under each name."""
    folder = WORK / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    copy = folder / program.name
    shutil.copy(program, copy)
    for dll in PLANTED:
        shutil.copy(PLANTED_DLL, folder / f"{dll}.dll")
    return folder, copy


def run_folders():
    """The installer runs' folders in the temporary folder, whoever left them."""
    return set(DRIVE_C.glob("users/*/Temp/Pellmorrow-*"))


def markers(folder):
    """{dll: [how it was loaded, ...]} for every planted DLL that was loaded: 'start' when it came
    with the start of a process, 'later' when it was loaded by name afterwards."""
    found = {}
    for marker in folder.glob("*.dll.ran"):
        found[marker.name[:-len(".dll.ran")]] = [line.split(" ", 1)[0] for line in marker.read_text().splitlines()]
    return found


class PlantedDlls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        WORK.mkdir(parents=True)
        # A signed installer over https: the signature check and TLS load what they need too.
        signer = publisher()
        cls.installer = WORK / "PellmorrowInstaller.exe"
        signer.sign(INSTALLER_TLS, cls.installer)
        cls.signed_e2e = WORK / "PellmorrowInstallerE2E.exe"
        signer.sign(INSTALLER_E2E, cls.signed_e2e)
        signed_setup = WORK / "setup-signed.exe"
        signer.sign(FAKE_SETUP, signed_setup)
        cls.setup_bytes = signed_setup.read_bytes()
        authority = testcerts.Authority(WORK / "tls", "Pellmorrow Test TLS CA")
        cls.certificate = authority.issue("127.0.0.1", "IP:127.0.0.1,DNS:127.0.0.1")
        cls.root = testcerts.trust_root(authority)
        cls.picture = (Path(__file__).resolve().parent / "slides" / "small.jpg").read_bytes()

    @classmethod
    def tearDownClass(cls):
        testcerts.untrust_root(cls.root)

    def setUp(self):
        reg_delete(PRODUCT_KEY)
        self.record = WORK / "setup-record.txt"
        self.record.unlink(missing_ok=True)

    def serve(self, server, description=b""):
        def answer(request):
            if request.query.get("action") == "installer":
                return Response(self.setup_bytes)
            return Response(description, content_type="text/plain")
        server.add_route("/index.new.php", answer)
        server.add_route("/slides/picture.jpg", self.picture, content_type="image/jpeg")

    def run_session(self, exe, dll_overrides, *options):
        code, out = wine(DRIVER, "session", windows_path(exe), *options, timeout=180,
                         env={"PELLMORROW_SETUP_RECORD": windows_path(self.record),
                              "WINEDLLOVERRIDES": dll_overrides})
        self.assertEqual(code, 0, out)
        return json.loads(out)

    def test_planted_dlls_are_found_by_a_program_that_searches(self):
        # What makes the test below able to fail: a program that loads these DLLs by name from
        # the same kind of folder, with the same overrides, runs every planted one.
        folder, driver = downloads_folder("searching", DRIVER)
        code, out = wine(driver, "load", *[f"{dll}.dll" for dll in PLANTED],
                         env={"WINEDLLOVERRIDES": overrides(**{dll: "n,b" for dll in PLANTED})})
        self.assertEqual(code, 0, out)
        self.assertEqual(sorted(json.loads(out)["loaded"]), sorted(f"{dll}.dll" for dll in PLANTED))
        self.assertEqual(sorted(markers(folder)), sorted(PLANTED))

    def test_planted_dlls_never_run_and_the_installation_completes(self):
        cases = [
            # Over https the late DLLs (TLS among them) load before the first request; over http
            # they load once it is out, while the window starts and the body arrives.
            ("https", self.installer, TLS_PORT, (self.certificate.chain, self.certificate.key)),
            ("http", self.signed_e2e, TEST_PORT, None),
        ]
        for name, program, port, tls in cases:
            with self.subTest(name), TestServer(port=port, tls=tls) as server:
                self.setUp()
                folder, installer = downloads_folder("downloads-" + name, program)
                self.serve(server, f"bk_image 1 {server.url('/slides/picture.jpg')}\n".encode())
                report = self.run_session(installer, overrides(**{dll: "n,b" for dll in PLANTED}))
                self.assertIn("/slides/picture.jpg", [entry["path"] for entry in server.log()])
                self.assertEqual(report["exitCode"], 1, report)
                self.assertEqual(report["captions"][-1], "Installing...", report)
                self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
                self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))
                ran = markers(folder)
                # Wine's user32 brings version.dll in with every program's start (see above).
                if set(ran.get("version", [])) == {"start"}:
                    del ran["version"]
                self.assertEqual(ran, {}, "planted DLLs ran in the installer")

    def test_planted_dlls_never_run_when_the_first_answer_asks_for_more(self):
        # The first request goes out before the late DLLs (TLS, authentication, certificates) are
        # loaded from the system folder. Its answer may send the installer on to a secure server,
        # or ask for credentials: WinINet would then load them by a search of the program's folder,
        # unless they are loaded first.
        folder, installer = downloads_folder("asks", self.signed_e2e)
        challenge = Response(b"", status=401, headers={"WWW-Authenticate": "Negotiate"})
        cases = [
            # (what the first answer is, the caption the run ends on)
            ("redirect to a secure server", "Installing..."),
            ("challenge for credentials", "Download failed!"),
        ]
        for name, ending in cases:
            with self.subTest(name), TestServer(port=TEST_PORT) as plain, \
                    TestServer(port=TLS_PORT, tls=(self.certificate.chain, self.certificate.key)) as tls:
                self.setUp()
                for marker in folder.glob("*.dll.ran"):
                    marker.unlink()
                tls.add_route("/setup.exe", self.setup_bytes)

                def answer(request):
                    if request.query.get("action") != "installer":
                        return Response(b"", content_type="text/plain")
                    if name.startswith("redirect"):
                        return Response(b"", status=302, headers={"Location": tls.url("/setup.exe")})
                    return challenge
                plain.add_route("/index.new.php", answer)
                options = ["cancel-at=Download failed!"] if ending == "Download failed!" else []
                report = self.run_session(installer, overrides(**{dll: "n,b" for dll in PLANTED}), *options)
                self.assertIn(ending, report["captions"], report)
                asked = [e for e in plain.log() if "action=installer&" in e["path"]]
                # Asked again once the late DLLs were loaded: the first answer went unfollowed.
                self.assertGreaterEqual(len(asked), 2, asked)
                if ending == "Installing...":
                    self.assertIn("/setup.exe", [e["path"] for e in tls.log()])
                    self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
                ran = markers(folder)
                if set(ran.get("version", [])) == {"start"}:
                    del ran["version"]
                self.assertEqual(ran, {}, "planted DLLs ran in the installer")

    def test_missing_system_dll_fails_the_download(self):
        cases = [
            # No WinINet: nothing can be fetched.
            ("wininet", INSTALLER_E2E),
            # No signature functions: a signed installer runs nothing it cannot check.
            ("wintrust", self.signed_e2e),
        ]
        for dll, installer in cases:
            with self.subTest(dll), TestServer(port=TEST_PORT) as server:
                self.setUp()
                self.serve(server)
                report = self.run_session(installer, overrides(**{dll: ""}), "cancel-at=Download failed!")
                self.assertEqual(report["captions"][-1], "Download failed!", report)
                self.assertNotIn("Installing...", report["captions"])
                # Closed by the driver like any failed download: no question, no crash.
                self.assertIsNone(report["question"], report)
                self.assertNotEqual(report["exitCode"], 1, report)
                self.assertFalse(self.record.exists(), "the setup program ran")
                self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_missing_window_dll_never_crashes(self):
        # The window's DLLs load only once the program runs (delay-loaded). Without OLE's picture
        # loader the window has no pictures and the installation goes on; without the common
        # controls there is no window, and the run ends as a failed one, leaving nothing behind.
        cases = [
            # (the DLL, whether the installation completes)
            ("oleaut32", True),
            ("comctl32", False),
        ]
        for dll, completes in cases:
            with self.subTest(dll), TestServer(port=TEST_PORT) as server:
                self.setUp()
                self.serve(server, f"bk_image 1 {server.url('/slides/picture.jpg')}\n".encode())
                folders = run_folders()
                report = self.run_session(INSTALLER_E2E, overrides(**{dll: ""}), "cancel-at=Download failed!")
                if completes:
                    self.assertEqual(report["exitCode"], 1, report)
                    self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
                    self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))
                else:
                    self.assertNotIn("window shown", [e["event"] for e in report["events"]], report)
                    self.assertEqual(report["exitCode"], 0, report)
                    results = [e["path"] for e in server.log() if "action=installer_result&" in e["path"]]
                    self.assertEqual(len(results), 1, results)
                    self.assertIn("&outcome=failed&reason=no-window", results[0])
                    self.assertFalse(self.record.exists(), "the setup program ran")
                    self.assertIsNone(reg_query(PRODUCT_KEY))
                # The run's folder is gone with what was in it.
                self.assertEqual(run_folders() - folders, set())


if __name__ == "__main__":
    unittest.main()
