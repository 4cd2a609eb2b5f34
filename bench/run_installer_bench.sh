#!/bin/sh
# The whole installer downloading a 16 MiB setup program from a loopback server: its throughput
# (window, status bar and an idle slideshow downloader included) beside the bare 4096-byte
# WinINet loop of download_bench on the same file, in one run, and how many times the status bar
# repainted meanwhile (target: no more than its client width + 2).
# usage: bench/run_installer_bench.sh BUILD_DIR [ROUNDS]
# Builds nothing: BUILD_DIR must hold PellmorrowInstallerE2E.exe (it talks to 127.0.0.1:47811),
# tests/e2e/e2e_driver.exe and bench/download_bench.exe. Uses the caller's Wine prefix when
# WINEPREFIX is set, else starts one under BUILD_DIR.
set -eu
build=$(cd "${1:?usage: run_installer_bench.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
for f in PellmorrowInstallerE2E.exe tests/e2e/e2e_driver.exe bench/download_bench.exe; do
  [ -f "$build/$f" ] || { echo "no $build/$f: build it first" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  [ -n "${KEEP_BENCH:-}" ] && cp -r "$work" /tmp/bench-keep; rm -rf "$work"
  # WinINet keeps a copy of every download in its cache (the request flags do not forbid it).
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/Microsoft/Windows/INetCache
  if [ -n "${started_wine:-}" ]; then wine_stop; fi
}
trap cleanup EXIT INT TERM
# As in run_download_bench.sh: Wine's side (wineserver, the programs) on one CPU and the server on
# the other; left to the scheduler, where Wine's server lands swamps the comparison.
client= server_cpu=
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
  client="taskset -c 0" server_cpu="taskset -c 1"
fi

if [ -z "${WINEPREFIX:-}" ]; then
  . "$root/scripts/lib/wine.sh"
  set +e
  wine_start "$build/wine-bench"
  set -e
  started_wine=1
fi
# A wineserver inherits the CPU of whoever starts it.
wineserver -k >/dev/null 2>&1 || true
$client wineserver -p >/dev/null 2>&1 </dev/null || true

head -c $((16 * 1024 * 1024)) /dev/urandom > "$work/setup.bin"
# The setup request gets the file; the slideshow request is refused, so that downloader idles.
$server_cpu python3 - "$root/tests/server" "$work/setup.bin" "$work/port" >/dev/null 2>&1 </dev/null <<'PY' &
import signal, sys, threading
sys.path.insert(0, sys.argv[1])
from test_server import Response, TestServer
server = TestServer(port=47811)
server.add_file_route("/setup.bin", sys.argv[2])
setup = server._routes["/setup.bin"]
server.add_route("/index.new.php", lambda request: setup(request) if request.query.get("action") == "installer"
                 else Response(b"no slideshow", status=404))
open(sys.argv[3], "w").write(str(server.port))
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
stop.wait()
server.stop()
PY
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the bench server did not start (port 47811 busy?)" >&2; exit 1; }

i=0
while [ "$i" -lt "$rounds" ]; do
  i=$((i + 1))
  # The bare loop and the installer take turns, so that both see the same machine.
  (cd "$work" && $client wine "$build/bench/download_bench.exe" "http://127.0.0.1:47811/setup.bin" bare.bin 1 \
    >"$work/bare-$i.txt" 2>&1 </dev/null) || { cat "$work/bare-$i.txt" >&2; exit 1; }
  wine reg delete 'HKCU\Software\Pellmorrow' /f >/dev/null 2>&1 </dev/null || true
  $client wine "$build/tests/e2e/e2e_driver.exe" session "$build/PellmorrowInstallerE2E.exe" poll=5 every=20 \
    >"$work/installer-$i.json" 2>/dev/null </dev/null
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
size = 16 * 1024 * 1024 / 1048576
bare, whole, paints = [], [], []
for i in range(1, rounds + 1):
    figures = dict(line.split(None, 1) for line in open(f"{work}/bare-{i}.txt") if len(line.split()) == 2)
    bare.append(float(figures["bare_wininet_mib_s"]))
    report = json.load(open(f"{work}/installer-{i}.json"))
    # The body's own time, as the bar shows it: from the first percent to the last chunk (100).
    times = {e["event"]: e["ms"] for e in reversed(report["events"])}
    first = min(int(e["event"].split()[1]) for e in report["events"]
                if e["event"].startswith("position ") and e["event"] != "position 0")
    start, end = times[f"position {first}"], times["position 100"]
    whole.append(size * (100 - first) / 100 / ((end - start) / 1000.0))
    paints.append(report["paints"])
    width = report["barClientWidth"]
b, a = statistics.median(bare), statistics.median(whole)
print(f"16 MiB setup program over loopback, median of {rounds} rounds")
print(f"  whole installer (window, bar, idle slideshow)  {a:8.1f} MiB/s")
print(f"  bare WinINet loop, 4096-byte reads              {b:8.1f} MiB/s")
print(f"  installer / bare loop  {a / b:.2f}   (target >= 0.8)")
print(f"  bar repaints per download: {', '.join(map(str, paints))}   (target <= client width + 2 = {width + 2})")
PY
