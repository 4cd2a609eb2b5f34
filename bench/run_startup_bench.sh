#!/bin/sh
# Start-up: from launching a program to its first request for the setup program reaching a
# loopback server, for (a) the installer and (b) startup_minimal, the least a Windows program can
# do to send the same request (WinINet on its main thread, no window). Launched in turn over
# interleaved rounds under Wine, on an Xvfb display with a window manager (openbox) running, as
# every user has one; prints each round, both medians and their ratio.
# usage: bench/run_startup_bench.sh BUILD_DIR [ROUNDS]
# Builds nothing: BUILD_DIR must hold PellmorrowInstallerE2E.exe (it talks to 127.0.0.1:47811) and
# bench/startup_minimal.exe. Runs Wine in a prefix of its own, BUILD_DIR/wine-startup, with its
# own display. Port 47811 must be free: run it in a network namespace of its own
# (unshare -n sh -c 'ip link set lo up && bench/run_startup_bench.sh build/windows').
set -eu
build=$(cd "${1:?usage: run_startup_bench.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-21}
root=$(cd "$(dirname "$0")/.." && pwd)
for f in PellmorrowInstallerE2E.exe bench/startup_minimal.exe; do
  [ -f "$build/$f" ] || { echo "no $build/$f: build it first" >&2; exit 2; }
done
command -v openbox >/dev/null || { echo "no openbox: run scripts/setup" >&2; exit 2; }

openbox_pid=
cleanup() {
  if [ -n "$openbox_pid" ]; then kill "$openbox_pid" 2>/dev/null || true; fi
  wine_stop
}
. "$root/scripts/lib/wine.sh"
trap cleanup EXIT INT TERM
set +e
wine_start "$build/wine-startup"
set -e
# wine_start leaves Wine's windows unmanaged when it brings its own display; here the window
# manager must see them, as on a user's desktop.
wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 </dev/null || true
wine reg delete 'HKCU\Software\Pellmorrow' /f >/dev/null 2>&1 </dev/null || true
openbox --sm-disable >/dev/null 2>&1 </dev/null &
openbox_pid=$!
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
  { echo "openbox did not start on $DISPLAY" >&2; exit 1; }

python3 - "$build" "$rounds" <<'PY'
import socket, statistics, subprocess, sys, threading, time, urllib.parse

build, rounds = sys.argv[1], int(sys.argv[2])
PORT = 47811
# What the installer asks first for an unstamped copy, English, skin 1.
SETUP_URL = ("http://127.0.0.1:%d/index.new.php?action=installer&affid=0&skinid=1&lang=EN&remarks=NoSign" % PORT)

arrivals = []          # (time.monotonic(), action) of every request, in order of arrival
arrived = threading.Condition()

def serve(connection):
    with connection:
        head = b""
        while b"\r\n\r\n" not in head:
            piece = connection.recv(4096)
            if not piece:
                return
            head += piece
        now = time.monotonic()
        target = head.split(b" ", 2)[1].decode("latin-1")
        action = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query).get("action", [""])[0]
        with arrived:
            arrivals.append((now, action))
            arrived.notify_all()
        # Nothing to download: the installer shows "Download failed!" and is ended from here.
        connection.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    listener.bind(("127.0.0.1", PORT))
except OSError as error:
    sys.exit("port %d: %s (run the benchmark in a network namespace of its own)" % (PORT, error))
listener.listen(16)

def accept_loop():
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()

threading.Thread(target=accept_loop, daemon=True).start()

PROGRAMS = {
    "installer": [build + "/PellmorrowInstallerE2E.exe"],
    "minimal": [build + "/bench/startup_minimal.exe", SETUP_URL],
}

def launch(name):
    """Seconds from the launch to the setup request's arrival, and to the first request's."""
    with arrived:
        arrivals.clear()
    start = time.monotonic()
    process = subprocess.Popen(["wine"] + PROGRAMS[name], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with arrived:
        seen = arrived.wait_for(lambda: any(a == "installer" for _, a in arrivals), timeout=30)
        setup = next((t for t, a in arrivals if a == "installer"), None)
        first = arrivals[0][0] if arrivals else None
    # The minimal program ends by itself; the installer waits on its failed download.
    try:
        process.wait(timeout=2 if name == "minimal" else 0.2)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if not seen:
        sys.exit("%s: no setup request within 30 s" % name)
    # Let Wine tidy up after the ended process and the display settle before the next launch.
    time.sleep(0.5)
    return setup - start, first - start

# One launch of each first, not counted: the first start after a while reads its files from disk.
launch("minimal")
launch("installer")
times = {"installer": [], "minimal": [], "installer_first": []}
for i in range(rounds):
    # Alternating which goes first, so that neither always follows the other.
    order = ("minimal", "installer") if i % 2 == 0 else ("installer", "minimal")
    for name in order:
        setup, first = launch(name)
        times[name].append(setup)
        if name == "installer":
            times["installer_first"].append(first)
    print("round %2d: installer %.3f s, minimal %.3f s" % (i + 1, times["installer"][-1], times["minimal"][-1]))

a, b = statistics.median(times["installer"]), statistics.median(times["minimal"])
ratios = [x / y for x, y in zip(times["installer"], times["minimal"])]
print()
print("launch to the setup request at the server, %d interleaved rounds, window manager running" % rounds)
print("                                        median     best   (s)")
print("  (a) installer                       %8.3f %8.3f" % (a, min(times["installer"])))
print("  (b) minimal WinINet program         %8.3f %8.3f" % (b, min(times["minimal"])))
print("  a/b %.2f (medians)  %.2f (median of per-round ratios)   target <= 1.5"
      % (a / b, statistics.median(ratios)))
print("  installer's first request of any kind: median %.3f s" % statistics.median(times["installer_first"]))
PY
