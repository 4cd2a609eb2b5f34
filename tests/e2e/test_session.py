"""The download session end to end: the installer copy built for the test server on loopback
downloads a stand-in setup program, runs it, records the installation and ends; failures and
Cancel leave nothing behind."""
import re
import shutil
import struct
import time
import unittest

from installer_run import FAKE_SETUP, INSTALLER_E2E, PRODUCT_KEY, InstallerRunTest, Response
from winehost import (BUILD, DRIVE_C, DriverEvents, drive, left_in_temp, native_stamp, program_argument, publisher,
                      reg_add, reg_import, reg_query, wine, windows_path)

FAKE_GAME = BUILD / "tests" / "e2e" / "Pellmorrow.exe"
ENVIRONMENT_KEY = r"HKCU\Environment"


def default_install_dir(setup_bytes):
    """Where a setup program that records no folder installs: the Program Files folder of its own
    processor, "(x86)" for a 32-bit one (64-bit Windows, as the tests' prefixes are)."""
    machine, = struct.unpack_from("<H", setup_bytes, struct.unpack_from("<I", setup_bytes, 0x3C)[0] + 4)
    return {0x14C: "C:\\Program Files (x86)\\Pellmorrow", 0x8664: "C:\\Program Files\\Pellmorrow"}[machine]


def unix_path(path):
    """The file behind a path on the prefix's drive C:."""
    assert path[:3].upper() == "C:\\", path
    return DRIVE_C.joinpath(*path[3:].split("\\"))


class Session(InstallerRunTest):
    SETUP_MS = 1500

    def setUp(self):
        super().setUp()
        self.serve_index(Response(self.setup_bytes))

    def test_successful_run(self):
        # The answer waits until the window shows that it is connecting, and each piece of the
        # body until the bar has shown the one before (for at most 2 s: the test copy gives up on
        # a server silent for 3 s), so that every caption and a rising percentage show however
        # slowly the installer runs.
        events = DriverEvents(BUILD / "e2e-events.txt")
        piece = 16384

        def pieces():
            for start in range(0, len(self.setup_bytes), piece):
                shown = len(events.positions())
                yield self.setup_bytes[start:start + piece]
                events.wait(lambda lines: len([line for line in lines if line.startswith("position ")]) > shown, 2)
                if start + 2 * piece >= len(self.setup_bytes):
                    events.wait("caption Download in progress...", 2)

        def slow_setup(request):
            events.wait("caption Connecting to server...")
            return Response(pieces(), length=len(self.setup_bytes))
        self.serve_index(slow_setup)
        report = self.run_session(events.option())

        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"],
                         ["Connecting to server...", "Download in progress...", "Installing..."], report)
        positions = [int(p) for p in report["positions"]]
        self.assertEqual(positions, sorted(positions))
        self.assertGreater(len(set(positions)), 3, positions)
        self.assertEqual(positions[-1], 100)
        self.assertTrue(report["hidden"], "the window stayed visible while the setup ran")
        self.assertEqual(report["barPlace"], [15, 190, 444, 20])

        # The request: the setup for English from an unstamped copy, never from a cache. Where the
        # window comes up later than the silence bound (an emulated 32-bit program), the held
        # answer's attempt gives up and the same request is sent again.
        requests = self.requests("installer")
        self.assertTrue(requests)
        for query, entry in requests:
            self.assertEqual(query, {"action": "installer", "affid": "0", "skinid": "1", "lang": "EN",
                                     "remarks": "NoSign"})
            self.assertEqual(entry["headers"].get("User-Agent"), "QVT")

        # The setup ran silently from its own folder in the temporary folder and was waited for;
        # it is gone now, and so is its folder.
        record = self.record.read_text().splitlines()
        self.assertIn("arg=/SILENT", record)
        self.assertEqual(len([line for line in record if line.startswith("arg=")]), 1)
        self.assertRegex(record[0], r"^path=.*\\Pellmorrow-[0-9a-f]{32}\\QVTInstaller\.exe$")
        self.assertEqual(record[1], "cwd=" + record[0][len("path="):].rsplit("\\", 1)[0])
        self.assertIn("productKeyAtStart=no", record)
        self.assertEqual(record[-1], "ended", "the installer did not wait for the setup")
        self.assertEqual(left_in_temp(self.temp, self.before), [])

        values = reg_query(PRODUCT_KEY)
        self.assertEqual(values["affId"], ("REG_DWORD", "0x0"))
        self.assertEqual(values["skinId"], ("REG_DWORD", "0x1"))
        self.assertEqual(values["remarks"], ("REG_SZ", "NoSign"))
        self.assertEqual(values["lang"], ("REG_SZ", "EN"))
        self.assertEqual(values["installDir"], ("REG_SZ", default_install_dir(self.setup_bytes)))
        self.assertRegex(values["guid"][1], r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")

    def test_stamped_copies_send_their_stamp(self):
        plain = BUILD / "e2e-stamped.exe"
        code, out = wine(BUILD / "stamp.exe", windows_path(INSTALLER_E2E), windows_path(plain),
                         "--affiliate", "11628", "--remarks", "spring & summer #1 50%")
        self.assertEqual(code, 0, out)
        # Signed once, then stamped inside its signature; a signed installer runs only a setup
        # program of its own publisher.
        signed, signed_stamped = BUILD / "e2e-signed.exe", BUILD / "e2e-signed-stamped.exe"
        signed_setup = BUILD / "e2e-signed-setup.exe"
        publisher().sign(INSTALLER_E2E, signed)
        publisher().sign(FAKE_SETUP, signed_setup)
        native_stamp(signed, signed_stamped, 4294967295, "signed & stamped 100%")
        cases = [
            ("stamped by the Windows tool", plain, self.setup_bytes, "11628", "0x2d6c", "spring & summer #1 50%"),
            ("signed, then stamped", signed_stamped, signed_setup.read_bytes(), "4294967295", "0xffffffff",
             "signed & stamped 100%"),
        ]
        for name, copy, setup, affiliate, dword, remarks in cases:
            with self.subTest(name):
                self.fresh()
                self.serve_index(Response(setup))
                report = self.run_session(exe=copy)
                self.assertEqual(report["exitCode"], 1, report)
                self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
                for action in ("installer", "installer_images"):
                    (query, _), = self.requests(action)
                    self.assertEqual((query["affid"], query["remarks"]), (affiliate, remarks), action)
                values = reg_query(PRODUCT_KEY)
                self.assertEqual(values["affId"], ("REG_DWORD", dword))
                self.assertEqual(values["remarks"], ("REG_SZ", remarks))

    def folder_named_in_other_scripts(self, name):
        """A new folder on C: whose name the Western code page cannot write."""
        folder = DRIVE_C / name
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        self.addCleanup(shutil.rmtree, folder, True)
        return folder

    def test_stamped_copy_in_a_folder_named_in_other_scripts(self):
        folder = self.folder_named_in_other_scripts("Загрузки 下载")
        copy = folder / "stamped.exe"
        # Under a UTF-8 locale Wine hands such names to the tool intact.
        code, out = wine(BUILD / "stamp.exe", windows_path(INSTALLER_E2E), windows_path(copy),
                         "--affiliate", "11628", "--remarks", "spring", env={"LANG": "C.UTF-8"})
        self.assertEqual(code, 0, out)
        report = self.run_session(exe=program_argument(copy))
        self.assertEqual(report["exitCode"], 1, report)
        (query, _), = self.requests("installer")
        self.assertEqual((query["affid"], query["remarks"]), ("11628", "spring"))
        values = reg_query(PRODUCT_KEY)
        self.assertEqual(values["affId"], ("REG_DWORD", "0x2d6c"))
        self.assertEqual(values["remarks"], ("REG_SZ", "spring"))

    def test_temporary_folder_named_in_other_scripts(self):
        temp = self.folder_named_in_other_scripts("Временные файлы 临时文件")
        saved = reg_query(ENVIRONMENT_KEY)
        for name in ("TEMP", "TMP"):
            kind, data = saved[name]
            self.addCleanup(reg_add, ENVIRONMENT_KEY, name, data, kind)
        reg_import(ENVIRONMENT_KEY, {"TEMP": windows_path(temp), "TMP": windows_path(temp)})

        report = self.run_session()
        self.assertEqual(report["tempDir"], windows_path(temp) + "\\")
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        record = self.record.read_text(encoding="utf-8").splitlines()
        self.assertRegex(record[0], r"^path=" + re.escape(windows_path(temp)) + r"\\Pellmorrow-[0-9a-f]{32}\\QVTInstaller\.exe$")
        self.assertIn("arg=/SILENT", record)
        self.assertEqual(record[-1], "ended")
        self.assertEqual(left_in_temp(self.temp, self.before), [])
        self.assertEqual(list(temp.iterdir()), [])
        values = reg_query(PRODUCT_KEY)
        self.assertEqual(values["lang"], ("REG_SZ", "EN"))
        self.assertEqual(values["installDir"], ("REG_SZ", default_install_dir(self.setup_bytes)))

    def test_setup_that_cannot_start_is_still_recorded(self):
        self.serve_index(Response(b"this is not a program" * 100))
        report = self.run_session()
        self.assertEqual(report["exitCode"], 1, report)
        self.assertFalse(self.record.exists())
        self.assertEqual(left_in_temp(self.temp, self.before), [])
        values = reg_query(PRODUCT_KEY)
        self.assertEqual(values["lang"], ("REG_SZ", "EN"))
        # Not a program: nobody can tell where it would have installed.
        self.assertNotIn("installDir", values)

    def test_next_run_finds_the_game_where_a_setup_recording_no_folder_installed_it(self):
        # As most setup programs do: installed into the Program Files folder of its own
        # processor, which for a 32-bit setup on 64-bit Windows is "Program Files (x86)", and
        # said nothing of where.
        self.env["PELLMORROW_SETUP_GAME"] = windows_path(FAKE_GAME)
        report = self.run_session()
        self.assertEqual(report["exitCode"], 1, report)
        installed = [line.split("=", 1)[1] for line in self.record.read_text(encoding="utf-8").splitlines()
                     if line.startswith("installedGame=")]
        self.assertEqual(len(installed), 1, "the setup program installed no game")
        folder = installed[0].rsplit("\\", 1)[0]
        self.addCleanup(shutil.rmtree, unix_path(folder), ignore_errors=True)
        self.assertEqual(reg_query(PRODUCT_KEY)["installDir"], ("REG_SZ", folder))

        # The next run launches that game, without a window and without asking the server.
        self.server.clear_log()
        game_record = DRIVE_C / "game-record.txt"
        game_record.unlink(missing_ok=True)
        report = drive("watch", exe=INSTALLER_E2E, env={"PELLMORROW_GAME_RECORD": windows_path(game_record)})
        self.assertEqual(report, {"exitCode": 1, "sawVisibleWindow": False})
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if game_record.exists() and game_record.read_text(encoding="utf-8").endswith("\n"):
                break
            time.sleep(0.1)
        self.assertTrue(game_record.exists(), "the installed game was not started")
        self.assertIn("cwd=" + folder, game_record.read_text(encoding="utf-8").splitlines())
        self.assertEqual(self.server.log(), [])

    def test_failed_downloads(self):
        # A cut body is tried again (3 attempts in all), here from a server that never answers a
        # range request and cuts every answer; a refusal or a missing length fails at once.
        size = len(self.setup_bytes)
        cases = {
            "not found": (Response(b"missing", status=404), 1),
            "short body": (Response(self.setup_bytes, fault="short", cut=size // 2, ranges="ignore"), 3),
            "reset": (Response(self.setup_bytes, fault="reset", cut=size // 3, ranges="ignore"), 3),
            "no length": (Response(self.setup_bytes, fault="nolength"), 1),
        }
        for name, (response, attempts) in cases.items():
            with self.subTest(name):
                # A cut body's bytes are kept for a next run: none of these runs goes on from them.
                self.fresh()
                self.serve_index(response)
                # The close box after a failure closes at once, without a question.
                report = self.run_session("cancel-at=Download failed!")
                self.assertEqual(report["captions"][-1], "Download failed!", report)
                self.assertIsNone(report["question"], report)
                self.assertNotEqual(report["exitCode"], 1)
                self.assertEqual(len(self.requests("installer")), attempts)
                self.assertEqual(left_in_temp(self.temp, self.before), [])
                self.assertFalse(self.record.exists())
                self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_download_completing_while_the_question_is_open(self):
        # The question box holds the window's thread in its own loop; the hand-over must not
        # depend on that thread to run the setup, record it and end the process.
        # About two seconds of download: the question must open while it still runs, and the
        # installer asks for the setup program before its window shows.
        self.serve_index(Response(self.setup_bytes, fault="slow", piece=4096, delay=0.2))
        report = self.run_session("cancel-at=Download in progress...", "answer=none")
        self.assertIn("Do you want to continue downloading?", report["question"])
        # The question is moot once the setup program starts: it goes away then, long before the
        # process ends (the setup takes 1.5 s).
        closed = [e["ms"] for e in report["events"] if e["event"] == "question closed"]
        ended = [e["ms"] for e in report["events"] if e["event"] == "ended"]
        self.assertTrue(closed and ended, report["events"])
        self.assertGreater(ended[0] - closed[0], 1000,
                           "question closed %d ms before the end" % (ended[0] - closed[0]))
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(self.record.read_text().splitlines()[-1], "ended")
        self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))

    def test_killed_installer_leaves_no_partial_file(self):
        self.serve_index(Response(self.setup_bytes, fault="slow", piece=4096, delay=0.1))
        report = self.run_session("kill-at=Download in progress...")
        self.assertEqual(report["exitCode"], 77, report)
        def setup_programs():
            return [path for path in left_in_temp(self.temp, self.before) if path.endswith("QVTInstaller.exe")]
        for _ in range(50):  # the system deletes it once the handle is gone
            if not setup_programs():
                break
            time.sleep(0.1)
        self.assertEqual(setup_programs(), [])

    def test_cancel_asks_first(self):
        def slow(request):
            return Response(self.setup_bytes, fault="slow", piece=4096, delay=0.1)
        self.serve_index(slow)
        # The close box and Escape both reach the same question.
        for way in ("close", "escape"):
            with self.subTest("No closes and leaves no partial file", way=way):
                report = self.run_session("cancel-at=Download in progress...", f"cancel-by={way}", "answer=no")
                self.assertIn("Do you want to continue downloading?", report["question"])
                self.assertNotEqual(report["exitCode"], 1)
                self.assertNotIn("Installing...", report["captions"])
                self.assertEqual(left_in_temp(self.temp, self.before), [])
                self.assertIsNone(reg_query(PRODUCT_KEY))
        with self.subTest("Yes keeps downloading"):
            report = self.run_session("cancel-at=Download in progress...", "answer=yes")
            self.assertIn("Do you want to continue downloading?", report["question"])
            self.assertEqual(report["exitCode"], 1, report)
            self.assertEqual(report["captions"][-1], "Installing...")
            self.assertEqual(reg_query(PRODUCT_KEY)["lang"], ("REG_SZ", "EN"))


if __name__ == "__main__":
    unittest.main()
