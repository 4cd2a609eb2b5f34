"""Setup programs that are large for the disk or for 32-bit counts.

A small volume: a drive letter of the prefix (a dosdevices link) leads to a tmpfs of a few MiB
mounted inside the test's own mount namespace (wine_session's), and the temporary folder (TEMP,
TMP) is on it, so the run's folder and the setup program land there. A setup program longer than
the volume's free space fails at once as disk-full; one that fits, on a volume that another
program fills while it arrives, fails as disk-full too; either way nothing of the run is left on
the volume and nothing runs.

A setup program past 4 GiB (PELLMORROW_SLOW=1 only: it moves 4 GiB through the installer and
reads them twice for their digests): it downloads, its percentage follows the bytes the server
has sent, and the setup program runs with every byte in place."""
import os
import subprocess
import sys
import threading
import time
import unittest
import zlib
from pathlib import Path

from installer_run import PRODUCT_KEY, InstallerRunTest, Response
from winehost import BUILD, PREFIX, reg_add, reg_delete, reg_import, reg_query

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "server"))
from test_server import pattern  # noqa: E402

ENVIRONMENT_KEY = r"HKCU\Environment"
MIB = 1 << 20
# The installer's own margin over the declared length (services/Downloader.cpp).
MARGIN = 4 * MIB


class CountedBody:
    """The body of one answer: `head`, then `size - len(head)` bytes of a repeated pattern block,
    made as they are sent. Counts what has gone to the server's socket, with when."""

    def __init__(self, head, size):
        self.head = head
        self.size = size
        self.sent = 0
        self.progress = []  # (time.monotonic(), bytes sent by then)
        self.crc = None     # of the whole body, once it has all been sent
        self._filler = pattern(1 << 16, 5)

    def chunks(self):
        crc = zlib.crc32(self.head)
        yield from self._count(self.head)
        left = self.size - len(self.head)
        while left > 0:
            block = self._filler[:min(left, len(self._filler))]
            crc = zlib.crc32(block, crc)
            left -= len(block)
            yield from self._count(block)
        self.crc = crc

    def _count(self, block):
        yield block
        self.sent += len(block)
        self.progress.append((time.monotonic(), self.sent))

    def sent_by(self, when):
        """Bytes sent by the monotonic time `when`."""
        sent = 0
        for at, count in self.progress:
            if at > when:
                break
            sent = count
        return sent


class LargeSetupsBase(InstallerRunTest):
    SETUP_MS = 200

    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, PRODUCT_KEY)

    def serve_setup(self, body, **options):
        """The setup request gets `body` (a CountedBody), the slideshow request an empty list."""
        self.serve_index(lambda request: Response(body.chunks(), length=body.size, **options))

    def results(self):
        return [query for query, _ in self.requests("installer_result")]

    def temp_folder_at(self, folder):
        """TEMP and TMP name `folder` (a Windows path) for the next runs."""
        saved = reg_query(ENVIRONMENT_KEY)
        for name in ("TEMP", "TMP"):
            kind, data = saved[name]
            self.addCleanup(reg_add, ENVIRONMENT_KEY, name, data, kind)
        reg_import(ENVIRONMENT_KEY, {"TEMP": folder, "TMP": folder})


class SmallVolume(LargeSetupsBase):
    LETTER = "s:"
    SIZE = 16 * MIB

    def setUp(self):
        super().setUp()
        self.volume = BUILD / "e2e-small-volume"
        self.volume.mkdir(exist_ok=True)
        # Inside wine_session's namespaces the test is root there: the mount is the namespace's
        # own and goes with it.
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % self.SIZE, "tmpfs", str(self.volume)],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(mounted.returncode, 0, "no tmpfs for the small volume (run inside wine_session): %s"
                         % mounted.stdout.decode(errors="replace"))
        self.addCleanup(subprocess.run, ["umount", str(self.volume)])
        link = PREFIX / "dosdevices" / self.LETTER
        if link.is_symlink():
            link.unlink()
        link.symlink_to(self.volume)
        self.addCleanup(link.unlink)
        self.temp_folder_at(self.LETTER.upper() + "\\")

    def left_on_volume(self, besides=()):
        return sorted(str(path.relative_to(self.volume)) for path in self.volume.rglob("*")
                      if path.name not in besides)

    def assert_failed_as_disk_full(self, report):
        self.assertEqual(report["captions"][-1], "Download failed!", report)
        self.assertNotIn("Installing...", report["captions"])
        self.assertNotEqual(report["exitCode"], 1, report)
        self.assertFalse(self.record.exists(), "the setup program ran")
        self.assertIsNone(reg_query(PRODUCT_KEY))
        self.assertEqual(report["tempDir"], self.LETTER.upper() + "\\")
        results = self.results()
        self.assertEqual(len(results), 1, results)
        self.assertEqual((results[0]["outcome"], results[0]["reason"]), ("failed", "disk-full"), results)

    def test_setup_longer_than_the_free_space_fails_at_once(self):
        # Paced: Wine's WinINet reads what has arrived of a body when its request is closed.
        body = CountedBody(self.setup_bytes, self.SIZE)
        self.serve_setup(body, fault="slow", piece=16384, delay=0.05)
        report = self.run_session("cancel-at=Download failed!")
        self.assert_failed_as_disk_full(report)
        # One request, refused before its body: nothing of the body was waited for.
        self.assertEqual(len(self.requests("installer")), 1, self.requests("installer"))
        self.assertLessEqual(body.sent, 256 * 1024, "the server sent %d bytes" % body.sent)
        self.assertEqual(self.left_on_volume(), [])

    def test_volume_filled_by_another_program_during_the_download(self):
        # Fits with the margin to spare; once a quarter of it has been sent, another program
        # takes every free byte of the volume.
        size = 6 * MIB
        self.assertLess(size + MARGIN, self.SIZE)
        body = CountedBody(self.setup_bytes, size)
        self.serve_setup(body, fault="slow", piece=65536, delay=0.05)
        filler = self.volume / "filler.bin"
        filled = threading.Event()

        def fill():
            deadline = time.monotonic() + 120
            while body.sent < size // 4 and time.monotonic() < deadline:
                time.sleep(0.01)
            with open(filler, "wb") as out:
                try:
                    while True:
                        out.write(b"\0" * 65536)
                        out.flush()
                except OSError:
                    pass
            filled.set()
        filling = threading.Thread(target=fill, daemon=True)
        filling.start()
        report = self.run_session("cancel-at=Download failed!")
        filling.join(5)
        self.assertTrue(filled.is_set(), "the volume was never filled")
        self.assert_failed_as_disk_full(report)
        self.assertLess(body.sent, size, "the whole body was sent: the volume filled too late")
        # One request, whose length passed the check: the write is what found the volume full.
        self.assertEqual(len(self.requests("installer")), 1, self.requests("installer"))
        self.assertEqual(self.left_on_volume(besides=("filler.bin",)), [])


@unittest.skipUnless(os.environ.get("PELLMORROW_SLOW") == "1", "moves 4 GiB: set PELLMORROW_SLOW=1")
class PastFourGiB(LargeSetupsBase):
    SIZE = (1 << 32) + 3 * MIB

    def test_setup_past_4_gib_downloads_shows_its_share_and_runs(self):
        body = CountedBody(self.setup_bytes, self.SIZE)
        self.serve_setup(body)
        started = time.monotonic()
        report = self.run_session("timeout=3600000", timeout=3700)
        elapsed = time.monotonic() - started
        self.assertEqual(report["exitCode"], 1, report)
        self.assertEqual(report["captions"][-1], "Installing...", report)
        record = self.record.read_text().splitlines()
        self.assertEqual(record[-1], "ended")
        # Every byte in place: the setup program's CRC of its own file is the body's.
        self.assertIn("crc=%08x" % body.crc, record)
        positions = [int(p) for p in report["positions"]]
        self.assertEqual(positions, sorted(positions), "the bar went back: %s" % positions)
        self.assertEqual(positions[-1], 100)
        # The bar shows the share of the bytes sent: never ahead of the server, and behind it by
        # no more than what a few seconds bring (the socket's buffers, a frame, the driver's
        # polling, a Wine process's start before the driver's clock).
        checked = 0
        for event in report["events"]:
            if not event["event"].startswith("position "):
                continue
            shown = int(event["event"].split()[1])
            when = started + event["ms"] / 1000
            ahead = body.sent_by(when + 5) * 100 // self.SIZE
            behind = body.sent_by(when - 5) * 100 // self.SIZE
            self.assertLessEqual(shown, ahead, "showed %d%% at %.1f s, with %d%% sent" % (shown, event["ms"] / 1000, ahead))
            self.assertGreaterEqual(shown, min(behind, 99) - 1, "showed %d%% at %.1f s" % (shown, event["ms"] / 1000))
            checked += 1
        self.assertGreater(checked, 50, positions)
        print("\n%d bytes: installed in %.1f s (%.1f MiB/s over the whole run), %d positions shown"
              % (self.SIZE, elapsed, self.SIZE / MIB / elapsed, len(positions)), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
