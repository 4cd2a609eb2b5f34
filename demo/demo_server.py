#!/usr/bin/env python3
"""The demo's download server on loopback: the setup program (delivered slowly enough to watch the
bar), a slideshow description and its two pictures; every request is logged.

    demo_server.py SETUP.exe --port 47811 --port-file F --log F
"""
import argparse
import signal
import sys
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "server"))
from test_server import Response, TestServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("setup")
    parser.add_argument("--port", type=int, default=47811)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    args = parser.parse_args()

    setup = Path(args.setup).read_bytes()
    server = TestServer(port=args.port, log_path=args.log)
    base = server.url("")
    description = (f"bk_image 4 {base}/slides/1.jpg\n"
                   f"bk_image 4 {base}/slides/2.jpg\n").encode()
    # About six seconds for the whole setup program.
    piece = max(1024, len(setup) // 60)

    def index(request):
        if request.query.get("action") == "installer":
            return Response(setup, fault="slow", piece=piece, delay=0.1)
        if request.query.get("action") == "installer_images":
            return Response(description, content_type="text/plain")
        return Response(b"unknown action\n", status=404, content_type="text/plain")

    server.add_route("/index.new.php", index)
    for n in (1, 2):
        server.add_route(f"/slides/{n}.jpg", (HERE / f"slide{n}.jpg").read_bytes(), content_type="image/jpeg")
    if args.port_file:
        Path(args.port_file).write_text(str(server.port))

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    server.stop()


if __name__ == "__main__":
    main()
