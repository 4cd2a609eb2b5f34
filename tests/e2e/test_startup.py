"""Start-up of the installer: an installed product is launched instead, otherwise the window opens
with its About box on the system menu."""
import os
import shutil
import sys
import time
import unittest
from pathlib import Path

from winehost import BUILD, DRIVE_C, FAKE_GAME, drive, reg_add, reg_delete, reg_import, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import TestServer  # noqa: E402

PRODUCT_KEY = r"HKCU\Software\Pellmorrow"
# The copy that asks the test server on loopback for its setup program.
INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))


def run_folders():
    """The installer runs' folders in the temporary folders of the prefix's users."""
    return set(DRIVE_C.glob("users/*/Temp/Pellmorrow-*")) | set(DRIVE_C.glob("users/*/AppData/Local/Temp/Pellmorrow-*"))


class InstalledCheck(unittest.TestCase):
    def setUp(self):
        reg_delete(PRODUCT_KEY)
        self.folder = DRIVE_C / "Games" / "Pellmorrow Game Folder"
        shutil.rmtree(DRIVE_C / "Games", ignore_errors=True)
        self.folder.mkdir(parents=True)
        self.record = DRIVE_C / "game-record.txt"
        self.record.unlink(missing_ok=True)
        self.env = {"PELLMORROW_GAME_RECORD": windows_path(self.record)}

    def tearDown(self):
        reg_delete(PRODUCT_KEY)
        shutil.rmtree(DRIVE_C / "Games", ignore_errors=True)

    def wait_for_record(self):
        for _ in range(100):
            if self.record.exists() and self.record.read_text(encoding="utf-8").endswith("\n"):
                return self.record.read_text(encoding="utf-8")
            time.sleep(0.1)
        return None

    def test_installed_game_is_launched_from_its_folder_without_a_window(self):
        shutil.copy(FAKE_GAME, self.folder / "Pellmorrow.exe")
        reg_add(PRODUCT_KEY, "installDir", windows_path(self.folder))
        report = drive("watch", env=self.env)
        self.assertEqual(report, {"exitCode": 1, "sawVisibleWindow": False})
        record = self.wait_for_record()
        self.assertIsNotNone(record, "the game was not started")
        self.assertIn("cwd=" + windows_path(self.folder), record.splitlines())
        self.assertNotIn("arg=", record)

    def test_installed_game_is_launched_without_any_download(self):
        # The download starts before the window exists: an installed product must be launched
        # before that, with no request to the server and no folder made for a setup program.
        shutil.copy(FAKE_GAME, self.folder / "Pellmorrow.exe")
        reg_add(PRODUCT_KEY, "installDir", windows_path(self.folder))
        folders_before = run_folders()
        with TestServer(port=TEST_PORT) as server:
            server.add_route("/index.new.php", b"")
            report = drive("watch", exe=INSTALLER_E2E, env=self.env)
            self.assertEqual(report, {"exitCode": 1, "sawVisibleWindow": False})
            self.assertIsNotNone(self.wait_for_record(), "the game was not started")
            self.assertEqual(server.log(), [])
        self.assertEqual(run_folders() - folders_before, set())

    def test_installed_game_in_a_folder_named_in_other_scripts(self):
        folder = DRIVE_C / "Games" / "Игры 游戏"
        folder.mkdir()
        shutil.copy(FAKE_GAME, folder / "Pellmorrow.exe")
        # The Western code page cannot write the name: only a wide read and launch find the game.
        reg_import(PRODUCT_KEY, {"installDir": windows_path(folder)})
        report = drive("watch", env=self.env)
        self.assertEqual(report, {"exitCode": 1, "sawVisibleWindow": False})
        record = self.wait_for_record()
        self.assertIsNotNone(record, "the game was not started")
        self.assertIn("cwd=" + windows_path(folder), record.splitlines())

    def test_without_a_launchable_game_the_installer_carries_on(self):
        cases = {
            "value names a folder without the game": lambda: reg_add(
                PRODUCT_KEY, "installDir", windows_path(self.folder)),
            "product key without the value": lambda: reg_add(PRODUCT_KEY, "other", "x"),
            "no product key": lambda: None,
        }
        for name, prepare in cases.items():
            with self.subTest(name):
                reg_delete(PRODUCT_KEY)
                prepare()
                report = drive("about", env=self.env)
                self.assertTrue(report["mainWindow"], report)
                self.assertFalse(self.record.exists())


class MainWindow(unittest.TestCase):
    def setUp(self):
        reg_delete(PRODUCT_KEY)

    def test_about_box_from_the_system_menu(self):
        report = drive("about")
        self.assertTrue(report["mainWindow"])
        self.assertTrue(report["systemMenuOpened"])
        # The last item of the system menu opens the About box, modal over the main window.
        self.assertTrue(report["aboutOpened"], report)
        self.assertTrue(report["aboutOwnedByMain"])
        self.assertTrue(report["mainDisabledWhileAbout"])
        self.assertIn("Pellmorrow Installer Version 1.0", report["aboutTexts"])
        self.assertIn("OK", report["aboutTexts"])
        self.assertTrue(report["aboutClosed"])
        self.assertTrue(report["openAfterEnter"], "Enter closed the installer")


if __name__ == "__main__":
    unittest.main()
