"""The background slideshow end to end: the installer copy built for the test server on loopback
fetches the slideshow description and its pictures while the setup download runs, shows each
picture at the top-left of its client area and fetches the next one when the shown one's time is
up. Timings come from the server's request log and are checked with generous bounds."""
import json
import sys
import time
import unittest
from pathlib import Path

from installer_run import INSTALLER_E2E, InstallerRunTest, Response, ServerTest
from test_window import Screenshot, close
from winehost import DRIVE_C, DRIVER, wine

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import pattern  # noqa: E402

SLIDES = Path(__file__).resolve().parent / "slides"  # made by slides/make_slides.py

FILL = (5, 81, 21)
RED = (200, 40, 40)       # small.jpg, 160 x 96
BLUE = (40, 60, 200)      # large.jpg, 512 x 256 ...
YELLOW = (230, 200, 40)   # ... with a yellow column at x 400-431 and a yellow row at y 160-175
# The progress bar covers (15, 190) to (458, 209) of the 474 x 215 client area: no point below
# lies on it.
SMALL_SHOWN = {(3, 3): RED, (156, 92): RED, (80, 48): RED, (166, 40): FILL, (80, 102): FILL, (300, 150): FILL,
               (470, 5): FILL, (470, 212): FILL}
LARGE_SHOWN = {(3, 3): BLUE, (415, 100): YELLOW, (415, 5): YELLOW, (390, 100): BLUE, (440, 100): BLUE,
               (100, 168): YELLOW, (100, 150): BLUE, (100, 184): BLUE, (470, 212): BLUE}
FILL_ONLY = {(x, y): FILL for x in range(0, 474, 47) for y in (2, 15, 60, 120, 185)}


class SlideshowTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.served = set()
        cls.pictures = {name: (SLIDES / name).read_bytes() for name in ("small.jpg", "large.jpg")}

    def setUp(self):
        super().setUp()
        while self.served:
            self.server.remove_route(self.served.pop())
        self.description = Response(b"")
        # The setup arrives far too slowly to complete during a test (about a minute), and it
        # reads in small pieces, so that closing the window stops it at once.
        self.setup = Response(pattern(2_000_000), fault="slow", piece=4096, delay=0.12)
        # Each answer is the one the test has set by the time the request comes.
        self.serve_index(lambda request: self.setup, lambda request: self.description)

    def url(self, name):
        return self.server.url("/slides/" + name)

    def serve(self, name, response, after=0.0):
        """Serves `response` at /slides/NAME, `after` seconds after the request came in."""
        def delayed(request):
            time.sleep(after)
            return response
        self.server.add_route("/slides/" + name, delayed)
        self.served.add("/slides/" + name)

    def serve_pictures(self, after=None):
        for name, data in self.pictures.items():
            self.serve(name, Response(data, content_type="image/jpeg"), (after or {}).get(name, 0.0))

    def describe(self, text):
        self.description = Response(text.encode(), content_type="text/plain")

    def run_shots(self, *moments):
        """Runs the installer, takes screenshots MS milliseconds after its window appeared, closes
        it; returns the report and the screenshots."""
        out = DRIVE_C / "slideshow"
        for n in range(1, len(moments) + 1):
            Path(f"{out}-{n}.bmp").unlink(missing_ok=True)
        code, text = wine(DRIVER, "shots", INSTALLER_E2E, "C:\\slideshow", *moments, timeout=180)
        self.assertEqual(code, 0, text)
        report = json.loads(text)
        self.assertTrue(report["mainWindow"] and report["saved"], report)
        # Closing (the close box, then No) stops both downloads and ends the program at once,
        # whatever the slideshow was doing.
        self.assertEqual(report["exitCode"], 0, report)
        self.assertLess(report["closeMs"], 5000, report)
        shots = [Screenshot(f"{out}-{n}.bmp", report["clientOrigin"]) for n in range(1, len(moments) + 1)]
        return report, shots

    def assertLooks(self, shot, look, what):
        for point, colour in look.items():
            pixel = shot.client_pixel(*point)
            self.assertTrue(close(pixel, colour), f"{what}: pixel {point} is {pixel}, not {colour}")

    def assertStartUpPicture(self, shot):
        field = (5, 80, 21)  # the start-up picture's plain green below its artwork strip
        for point in [(5, 60), (240, 120), (470, 180)]:
            self.assertTrue(close(shot.client_pixel(*point), field), point)
        strip = [shot.client_pixel(x, 15) for x in range(0, 470, 10)]
        self.assertGreater(sum(not close(p, field) for p in strip), len(strip) // 2, "no artwork at the top")

    def requests(self):
        """(what, time) of every request in order: "setup", "description" or a picture's name."""
        found = []
        for entry in self.server.log():
            if entry["path"].startswith("/slides/"):
                found.append((entry["path"][len("/slides/"):], entry["time"]))
            elif "action=installer_images" in entry["path"]:
                found.append(("description", entry["time"]))
            elif "action=installer" in entry["path"]:
                found.append(("setup", entry["time"]))
        return found

    def picture_requests(self):
        return [(name, t) for name, t in self.requests() if name not in ("setup", "description")]

    def test_two_pictures_each_for_its_time(self):
        self.describe(f"bk_image 3 {self.url('small.jpg')}\nbk_image 7 {self.url('large.jpg')}\n")
        # The second picture takes two seconds to come: the first stays until then.
        self.serve_pictures(after={"large.jpg": 2.0})
        report, (first, second, last) = self.run_shots(2000, 8000, 14000)

        self.assertLooks(first, SMALL_SHOWN, "first picture, at its size, over the fill")
        # Larger than the client area: cut at its right and bottom edges, neither scaled nor moved.
        self.assertLooks(second, LARGE_SHOWN, "second picture")
        self.assertLooks(last, LARGE_SHOWN, "second picture after its time")

        requests = dict(self.requests())
        self.assertEqual([name for name, _ in self.picture_requests()], ["small.jpg", "large.jpg"])
        self.assertLess(requests["small.jpg"] - requests["description"], 2.0, "the first picture waited")
        waited = requests["large.jpg"] - requests["small.jpg"]
        self.assertTrue(2.5 <= waited <= 6.0, f"the second picture was fetched {waited:.2f} s after the first")

    def test_failed_picture_ends_the_slideshow_at_the_picture_shown(self):
        cases = {
            "server error": (f"bk_image 1 {self.url('broken.jpg')}", Response(b"gone", status=500)),
            "body cut short": (f"bk_image 1 {self.url('broken.jpg')}",
                               Response(self.pictures["large.jpg"], fault="short", cut=500)),
            "empty URL at the end of the description": ("bk_image 1", None),
        }
        for name, (entry, broken) in cases.items():
            with self.subTest(name):
                self.setUp()
                self.serve_pictures()
                if broken:
                    self.serve("broken.jpg", broken)
                self.describe(f"bk_image 1 {self.url('small.jpg')} {entry} bk_image 1 {self.url('large.jpg')}")
                _, (shot,) = self.run_shots(5000)
                self.assertLooks(shot, SMALL_SHOWN, "the picture before the failed one")
                expected = ["small.jpg", "broken.jpg"] if broken else ["small.jpg"]
                self.assertEqual([n for n, _ in self.picture_requests()], expected)

    def test_undecodable_picture_leaves_the_fill_until_the_next(self):
        self.serve_pictures(after={"small.jpg": 2.0})
        self.serve("garbage.jpg", Response(b"\xff\xd8\xff\xe0 this is not a picture" * 20, content_type="image/jpeg"))
        self.describe(f"bk_image 2 {self.url('garbage.jpg')} bk_image 60 {self.url('small.jpg')}")
        _, (garbage, small) = self.run_shots(1500, 7000)
        self.assertLooks(garbage, FILL_ONLY, "after the undecodable picture")
        self.assertLooks(small, SMALL_SHOWN, "the next picture")

    def test_without_a_slideshow_the_start_up_picture_stays(self):
        cases = {
            "description not found": Response(b"missing", status=404),
            "empty description": Response(b""),
            "no bk_image entry": Response(b"title Welcome skin 2\n"),
            "a value of two words puts the pairs out of step":
                Response(f"title Pellmorrow Online bk_image 1 {self.url('small.jpg')}".encode()),
        }
        for name, description in cases.items():
            with self.subTest(name):
                self.setUp()
                self.serve_pictures()
                self.description = description
                _, (shot,) = self.run_shots(2500)
                self.assertStartUpPicture(shot)
                self.assertEqual(self.picture_requests(), [])
                self.assertIn("description", dict(self.requests()))

    def test_closing_while_a_picture_downloads(self):
        self.serve_pictures()
        # Whole chunks of the downloader's reads, so that each read returns and sees the stop.
        self.serve("slow.jpg", Response(pattern(400_000), fault="slow", piece=4096, delay=0.3))
        self.describe(f"bk_image 1 {self.url('small.jpg')} bk_image 1 {self.url('slow.jpg')}")
        # run_shots checks that the close is prompt and clean.
        _, (shot,) = self.run_shots(3500)
        self.assertLooks(shot, SMALL_SHOWN, "the picture before the one still coming")
        self.assertEqual([n for n, _ in self.picture_requests()], ["small.jpg", "slow.jpg"])


class SetupNotHeldUp(InstallerRunTest):
    """Whatever the slideshow does, the setup download completes and the program hands over."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.small = (SLIDES / "small.jpg").read_bytes()

    def test_setup_completes_beside_the_slideshow(self):
        base = self.server.url("/slides/")
        cases = {
            # The description alone would take a minute.
            "slow description": Response(b"bk_image 1 " * 600, fault="slow", piece=16, delay=0.1),
            # Pictures one after the other, as fast as the timer allows, during the whole download.
            "busy slideshow": Response("".join(f"bk_image 0 {base}small.jpg " for _ in range(200)).encode()),
        }
        self.server.add_route("/slides/small.jpg", self.small)
        for name, description in cases.items():
            with self.subTest(name):
                self.fresh()
                # About a second: long enough for several pictures once the window runs.
                self.serve_index(Response(self.setup_bytes, fault="slow", piece=4096, delay=0.1), description)
                report = self.run_session("timeout=60000")
                self.assertEqual(report["exitCode"], 1, report)
                self.assertEqual(report["captions"][-1], "Installing...", report)
                hidden = [e["ms"] for e in report["events"] if e["event"] == "window hidden"]
                self.assertTrue(hidden and hidden[0] < 30000, report)
                if name == "busy slideshow":
                    pictures = [e for e in self.server.log() if e["path"].startswith("/slides/")]
                    self.assertGreater(len(pictures), 2, "the slideshow did not run beside the download")


if __name__ == "__main__":
    unittest.main()
