#!/usr/bin/env python3
"""The installer's peak working set over a run whose slideshow is hostile: a 20000 x 20000 JPEG
and three 11200 x 11200 colour ones (1.5 MB each on the wire, 1.2 GB and 376 MB each once
decoded), then an ordinary picture; beside the same run with two ordinary pictures. Also the
slowest answer of its window to a message while the pictures arrive.

usage: bench/hostile_slideshow_bench.py BUILD_DIR [ROUNDS]
Run where scripts/test runs the end-to-end tests (a Wine prefix in WINEPREFIX and a display, e.g.
after `source scripts/lib/wine.sh; wine_start build/wineprefix`); it uses port 47811 on loopback
and PellmorrowInstallerE2E.exe and tests/e2e/e2e_driver.exe from BUILD_DIR."""
import json
import os
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
if len(sys.argv) < 2:
    sys.exit(__doc__)
os.environ["PELLMORROW_BUILD"] = str(Path(sys.argv[1]).resolve())
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
sys.path[:0] = [str(ROOT / "tests" / "e2e"), str(ROOT / "tests" / "e2e" / "slides"), str(ROOT / "tests" / "server")]

from hostile import plain_jpeg  # noqa: E402
from test_server import Response, TestServer  # noqa: E402
from winehost import BUILD, DRIVE_C, reg_delete, wine, windows_path  # noqa: E402

SLIDES = ROOT / "tests" / "e2e" / "slides"
HOSTILE = [("huge.jpg", plain_jpeg(20000, 20000))] + \
          [("colour%d.jpg" % i, plain_jpeg(11200, 11200, 3)) for i in (1, 2, 3)] + \
          [("small.jpg", (SLIDES / "small.jpg").read_bytes())]
ORDINARY = [(name, (SLIDES / name).read_bytes()) for name in ("large.jpg", "small.jpg")]


def run(server, pictures):
    for name, data in pictures:
        server.add_route("/slides/" + name, data, content_type="image/jpeg")
    description = " ".join("bk_image 0 " + server.url("/slides/" + name) for name, _ in pictures).encode()
    setup = (BUILD / "tests" / "e2e" / "fake_setup.exe").read_bytes()
    server.add_route("/index.new.php", lambda request: Response(setup, fault="slow", piece=2048, delay=0.25)
                     if request.query.get("action") == "installer" else Response(description))
    reg_delete(r"HKCU\Software\Pellmorrow")
    record = DRIVE_C / "bench-setup-record.txt"
    code, out = wine(BUILD / "tests" / "e2e" / "e2e_driver.exe", "session", BUILD / "PellmorrowInstallerE2E.exe",
                     env={"PELLMORROW_SETUP_RECORD": windows_path(record), "PELLMORROW_SETUP_MS": "0"}, timeout=180)
    reg_delete(r"HKCU\Software\Pellmorrow")
    report = json.loads(out)
    asked = {e["path"] for e in server.log() if e["path"].startswith("/slides/")}
    server.clear_log()
    if len(asked) != len(pictures):
        print("  (only %d of %d pictures were asked for before the setup arrived)" % (len(asked), len(pictures)))
    return report["peakWorkingSet"] / 2**20, report["slowestReplyMs"]


def main():
    with TestServer(port=47811) as server:
        for title, pictures in (("ordinary slideshow", ORDINARY), ("hostile slideshow", HOSTILE)):
            peaks, replies = zip(*(run(server, pictures) for _ in range(rounds)))
            print("%-19s peak working set %.1f MiB (median of %d, max %.1f); slowest window answer %d ms"
                  % (title, statistics.median(peaks), rounds, max(peaks), max(replies)))


if __name__ == "__main__":
    main()
