"""The main window as the user sees it: its size, and the background picture in its client area."""
import json
import unittest

from bmp2png import read_bmp
from winehost import DRIVE_C, DRIVER, INSTALLER, reg_delete, wine


def close(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


class Screenshot:
    def __init__(self, path, origin):
        self.width, self.height, self.rows = read_bmp(path)
        self.origin = origin

    def client_pixel(self, x, y):
        row = self.rows[self.origin[1] + y]
        i = (self.origin[0] + x) * 3
        return tuple(row[i:i + 3])


class MainWindowLook(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reg_delete(r"HKCU\Software\Pellmorrow")
        path = DRIVE_C / "window.bmp"
        path.unlink(missing_ok=True)
        code, out = wine(DRIVER, "shot", INSTALLER, "C:\\window.bmp", "1500")
        assert code == 0, out
        cls.report = json.loads(out)
        cls.shot = Screenshot(path, cls.report["clientOrigin"])

    def test_window_takes_the_size_of_the_picture(self):
        # 480 x 223 at 96 pixels per inch, 17 pixels taller; the frame eats into the client area.
        self.assertEqual(self.report["window"], [480, 240])
        self.assertEqual(self.report["client"], [474, 215])

    def test_background_picture_fills_the_client_area(self):
        field = (5, 80, 21)  # the picture's plain green below its artwork strip
        for x, y in [(5, 60), (240, 120), (470, 180), (5, 212)]:
            self.assertTrue(close(self.shot.client_pixel(x, y), field), ((x, y), self.shot.client_pixel(x, y)))
        # The status bar lies over the picture: 444 x 20 at (15, 190), the field on either side.
        for x, y in [(20, 195), (240, 200), (455, 205)]:
            self.assertFalse(close(self.shot.client_pixel(x, y), field), ((x, y), self.shot.client_pixel(x, y)))
        for x, y in [(7, 200), (466, 200), (240, 186)]:
            self.assertTrue(close(self.shot.client_pixel(x, y), field), ((x, y), self.shot.client_pixel(x, y)))
        # The artwork strip at the top is not the plain field.
        strip = [self.shot.client_pixel(x, 15) for x in range(0, 470, 10)]
        self.assertGreater(sum(not close(p, field) for p in strip), len(strip) // 2)


if __name__ == "__main__":
    unittest.main()
