"""The window on screens set to other scales than 100%.

At 120, 144 and 192 DPI (Windows' 125%, 150% and 200%) the window is what it is at 96 DPI with
every length multiplied by DPI / 96: its client area, the status bar, the buttons, the picture
(resampled smoothly) and the bar's text, which stays inside the bar. A window told that it moved
to a screen of another scale asks for the size it needs there and lays itself out again.

Wine takes the screen's DPI from LogPixels when its server starts: each DPI costs one restart of
the prefix's server, and 96 is restored at the end for the other tests. The screenshots are left in
the build tree for a person to look at: scale-DPI.png, and scale-96-to-192.png after the move.
"""
import json
import os
import subprocess
import sys
import unittest
from pathlib import Path

from bmp2png import read_bmp, write_png
from winehost import BUILD, DRIVER, wine, windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import Response, TestServer  # noqa: E402

INSTALLER_E2E = BUILD / "PellmorrowInstallerE2E.exe"
TEST_PORT = int(os.environ.get("PELLMORROW_E2E_PORT", "47811"))
DPIS = (96, 120, 144, 192)
MOVED_TO = 192  # the window started at 96 DPI is told that it moved to a screen of this DPI
DPI_KEYS = (r"HKCU\Control Panel\Desktop",
            r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts")
DESIGN_CLIENT = (474, 215)  # the client area at 96 DPI
FIELD = (5, 80, 21)  # the picture's plain green below its banner


def scaled(length, scale):
    """A 96 DPI length at `scale`, rounded as the program rounds (to the nearest)."""
    return int(length * scale + 0.5)


def scaled_rect(left, top, right, bottom, scale):
    """[x, y, width, height] of a 96 DPI rectangle whose edges are scaled."""
    l, t, r, b = (scaled(v, scale) for v in (left, top, right, bottom))
    return [l, t, r - l, b - t]


def near(actual, expected, tolerance=1):
    return len(actual) == len(expected) and all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def close(colour, expected, tolerance=14):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def set_screen_dpi(dpi):
    for key in DPI_KEYS:
        code, out = wine("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
        assert code == 0, out
    # The server writes the registry out and ends; the next one reads LogPixels afresh.
    subprocess.call(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.call(["wineserver", "-w"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.call(["wineserver", "-p"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                    stdin=subprocess.DEVNULL)
    wine("cmd", "/c", "exit")


def screen_dpi():
    code, out = wine("reg", "query", DPI_KEYS[0], "/v", "LogPixels")
    for line in out.splitlines():
        parts = line.split()
        if code == 0 and len(parts) == 3 and parts[0] == "LogPixels":
            return int(parts[2], 0)
    return 96


class Shot:
    """A screenshot of the window, read in the window's client coordinates."""

    def __init__(self, path, layout):
        self.width, self.height, self.rows = read_bmp(path)
        self.origin = layout["clientOrigin"]
        write_png(path.with_suffix(".png"), self.width, self.height, self.rows)

    def pixel(self, x, y):
        row = self.rows[self.origin[1] + y]
        i = (self.origin[0] + x) * 3
        return tuple(row[i:i + 3])

    def text_box(self, bar):
        """The box around the bar's text: in each column of the bar, the pixels that differ from
        the column's own colour (the filled part's or the rest's); None when there are none."""
        x0, y0, w, h = bar
        box = None
        for x in range(x0, x0 + w):
            column = [self.pixel(x, y) for y in range(y0, y0 + h)]
            ground = max(set(column), key=column.count)
            for i, colour in enumerate(column):
                if sum(abs(a - b) for a, b in zip(colour, ground)) > 90:
                    y = y0 + i
                    box = [x, y, x, y] if box is None else [min(box[0], x), min(box[1], y),
                                                            max(box[2], x), max(box[3], y)]
        return box

    def repeated_neighbours(self, scale):
        """How often a pixel of the banner equals its right-hand neighbour: pixel doubling makes
        at least 1 - 1 / scale of them equal, smooth resampling few more than the picture has."""
        equal = total = 0
        for y in range(scaled(5, scale), scaled(35, scale)):
            for x in range(scaled(470, scale) - 1):
                total += 1
                equal += self.pixel(x, y) == self.pixel(x + 1, y)
        return equal / total


class ScreenScale(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        server = TestServer(port=TEST_PORT)
        # The setup program's body comes slowly (about 13 s in all), so the bar shows a download
        # in progress, and a closed window leaves nothing behind; the slideshow is empty, so the
        # start-up picture stays.
        def answer(request):
            if request.query.get("action") == "installer":
                return Response(b"\0" * 1_000_000, fault="slow", piece=4096, delay=0.05)
            return Response(b"")
        server.add_route("/index.new.php", answer)
        cls.reports, cls.shots = {}, {}
        try:
            for dpi in DPIS:
                if screen_dpi() != dpi:
                    set_screen_dpi(dpi)
                out_base = BUILD / f"scale-{dpi}"
                for suffix in ("-1.bmp", "-2.bmp"):
                    Path(str(out_base) + suffix).unlink(missing_ok=True)
                moved = [f"dpi={MOVED_TO}"] if dpi == 96 else []
                code, out = wine(DRIVER, "scale", INSTALLER_E2E, windows_path(out_base), *moved)
                assert code == 0, out
                report = json.loads(out)
                assert report["mainWindow"] and report["inProgress"] and report["saved"], report
                cls.reports[dpi] = report
                shot = Path(str(out_base) + "-1.bmp")
                cls.shots[dpi] = Shot(shot.rename(BUILD / f"scale-{dpi}.bmp"), report["before"])
                if moved:
                    shot = Path(str(out_base) + "-2.bmp")
                    cls.moved_shot = Shot(shot.rename(BUILD / f"scale-96-to-{MOVED_TO}.bmp"), report["after"])
        finally:
            server.stop()
            if screen_dpi() != 96:
                set_screen_dpi(96)

    def cases(self):
        """(name, scale, layout, screenshot) for every DPI, and for the window moved to another."""
        for dpi in DPIS:
            yield f"{dpi} DPI", dpi / 96, self.reports[dpi]["before"], self.shots[dpi]
        yield f"96 DPI moved to {MOVED_TO}", MOVED_TO / 96, self.reports[96]["after"], self.moved_shot

    def test_window_is_per_monitor_aware_at_the_screen_dpi(self):
        for dpi in DPIS:
            layout = self.reports[dpi]["before"]
            self.assertEqual((layout["dpi"], layout["awareness"]), (dpi, 2), dpi)

    def test_client_area_is_the_design_scaled(self):
        for dpi in DPIS:
            expected = [scaled(v, dpi / 96) for v in DESIGN_CLIENT]
            self.assertTrue(near(self.reports[dpi]["before"]["client"], expected),
                            (dpi, self.reports[dpi]["before"]["client"], expected))

    def test_bar_and_buttons_keep_their_places_at_every_scale(self):
        cancel96 = {b[0]: b for b in self.reports[96]["before"]["buttons"]}[2][1:]
        for name, scale, layout, _ in self.cases():
            width, height = layout["client"]
            side, bottom, bar_height = scaled(15, scale), height - scaled(5, scale), scaled(20, scale)
            self.assertTrue(near(layout["bar"], [side, bottom - bar_height, width - 2 * side, bar_height]),
                            (name, layout["bar"]))
            buttons = {b[0]: b[1:] for b in layout["buttons"]}
            for i, id in enumerate(range(1024, 1037)):
                column, row = divmod(i, 5)  # five to a column in the 215-pixel design
                left, top = 15 + 152 * column, 50 + 30 * row
                self.assertTrue(near(buttons[id], scaled_rect(left, top, left + 142, top + 25, scale)),
                                (name, id, buttons[id]))
            l, t, w, h = cancel96
            self.assertTrue(near(buttons[2], scaled_rect(l, t, l + w, t + h, scale)), (name, buttons[2], cancel96))

    def test_bar_text_lies_inside_the_bar(self):
        for name, scale, layout, shot in self.cases():
            self.assertTrue(layout["caption"].startswith("Download in progress..."), (name, layout["caption"]))
            x, y, w, h = layout["bar"]
            box = shot.text_box(layout["bar"])
            self.assertIsNotNone(box, name)
            # Not cut at any edge: at least one pixel of the bar's own colours all round.
            self.assertTrue(x < box[0] and box[2] < x + w - 1 and y < box[1] and box[3] < y + h - 1,
                            (name, layout["bar"], box))
            # The text grows with the bar: it is no mere speck in a large bar.
            self.assertGreater(box[3] - box[1] + 1, h * 0.3, (name, layout["bar"], box))

    def test_picture_lands_where_the_scale_puts_it(self):
        for name, scale, _, shot in self.cases():
            # The banner's gold rule (picture rows 36 and 37), the banner above it and the field below.
            for x in (100, 300, 460):
                gold = shot.pixel(scaled(x, scale), int(37 * scale))
                self.assertTrue(gold[0] > 150 and gold[1] > 120 and gold[2] < 150, (name, x, gold))
                self.assertLess(shot.pixel(scaled(x, scale), int(33 * scale))[0], 100, (name, x))
                self.assertTrue(close(shot.pixel(scaled(x, scale), scaled(42, scale)), FIELD), (name, x))
            # The left edge of the title's first letter: picture column 17 on rows 15 to 25.
            row = scaled(20, scale)
            first = next((x for x in range(scaled(60, scale)) if min(shot.pixel(x, row)) > 200), None)
            self.assertIsNotNone(first, name)
            self.assertLessEqual(abs(first - 17 * scale), 2, (name, first))

    def test_picture_is_resampled_smoothly(self):
        for name, scale, _, shot in self.cases():
            if scale >= 1.5:
                self.assertLess(shot.repeated_neighbours(scale), 0.3, name)

    def test_moved_window_asks_for_its_size_there_and_takes_it(self):
        # The size asked for at the new DPI is the size the window has when it starts there.
        report = self.reports[96]
        started_there = self.reports[MOVED_TO]["before"]["window"][2:]
        self.assertEqual(report["askedSize"], started_there)
        self.assertEqual(report["after"]["window"][2:], started_there)
        self.assertEqual(report["after"]["window"][:2], report["before"]["window"][:2])


if __name__ == "__main__":
    unittest.main()
