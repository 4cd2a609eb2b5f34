"""The thirteen language buttons and the Cancel button of the running installer: where they are,
that none shows in a normal run, how a hovered one looks once shown, and that a click reaches the
download start."""
import json
import os
import shutil
import sys
import unittest
import urllib.parse
from pathlib import Path

from bmp2png import read_bmp
from winehost import BUILD, DRIVE_C, DRIVER, reg_delete, wine

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"  # the copy that asks the test server
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))


def close(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


class LanguageButtons(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reg_delete(r"HKCU\Software\Pellmorrow")
        path = DRIVE_C / "buttons.bmp"
        path.unlink(missing_ok=True)
        # Every request is refused, so the English download that starts with the window has
        # failed and is no longer busy when a language button is clicked.
        server = TestServer(port=TEST_PORT)
        try:
            server.add_route("/index.new.php", b"", status=404)
            code, out = wine(DRIVER, "buttons", INSTALLER_E2E, "C:\\buttons.bmp")
            cls.setup_languages = []
            for entry in server.log():
                url = urllib.parse.urlsplit(entry["path"])
                query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
                if url.path == "/index.new.php" and query.get("action") == "installer":
                    cls.setup_languages.append(query.get("lang"))
        finally:
            server.stop()
        assert code == 0, out
        cls.report = json.loads(out)
        assert cls.report["saved"], cls.report
        shutil.copy(path, BUILD / "language_buttons.bmp")  # for a person to look at
        cls.width, cls.height, cls.rows = read_bmp(path)
        cls.buttons = {b[0]: b for b in cls.report["buttons"]}

    def pixel(self, x, y):
        ox, oy = self.report["clientOrigin"]
        row = self.rows[oy + y]
        return tuple(row[(ox + x) * 3:(ox + x) * 3 + 3])

    def test_thirteen_buttons_in_columns_none_visible(self):
        # A 215-pixel client area: columns of 5, 5 and 3 buttons of 142 x 25.
        expected = {}
        for i, id in enumerate(range(1024, 1037)):
            column, row = divmod(i, 5)
            expected[id] = [id, 15 + 152 * column, 50 + 30 * row, 142, 25, False, 11]
        self.assertEqual({id: self.buttons[id] for id in range(1024, 1037)}, expected)
        cancel = self.buttons[2]
        self.assertFalse(cancel[5], "the Cancel button is visible")
        self.assertEqual(cancel[6], 11, "the Cancel button is not owner-drawn")

    def rows_with_long_bright_runs(self, id):
        _, x0, y0, w, h, _, _ = self.buttons[id]
        found = 0
        for y in range(y0, y0 + h):
            run = best = 0
            for x in range(x0, x0 + w):
                run = run + 1 if min(self.pixel(x, y)) > 200 else 0
                best = max(best, run)
            found += best > 40
        return found

    def test_hovered_button_shows_its_underlined_row_over_the_window(self):
        # The underline is a long bright line; plain text has none.
        self.assertGreater(self.rows_with_long_bright_runs(1025), 0)
        for other in (1024, 1026, 1029):
            self.assertEqual(self.rows_with_long_bright_runs(other), 0, other)
        # The one-pixel margin around the 140-pixel image shows the window's own field colour.
        _, x0, y0, w, h, _, _ = self.buttons[1025]
        field = (5, 80, 21)
        for x, y in [(x0, y0 + 10), (x0 + w - 1, y0 + 10), (x0 + 70, y0 + h - 1)]:
            self.assertTrue(close(self.pixel(x, y), field), ((x, y), self.pixel(x, y)))

    def test_click_reaches_the_download_start(self):
        # Starting a download hides the language buttons again, and asks for the clicked
        # button's language: first English at start-up, then German (button 1027).
        self.assertEqual([int(id) for id in self.report["visibleAfterClick"] if 1024 <= int(id) <= 1036], [])
        self.assertEqual(self.setup_languages, ["EN", "DE"])


if __name__ == "__main__":
    unittest.main()
