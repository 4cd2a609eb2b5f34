#!/bin/sh
# What the checks after the setup program's last byte cost: a signed installer and an unsigned
# one each download the same large signed setup program (SIZE MiB, default 256) from a loopback
# server and hand over to it, ROUNDS times (default 1), interleaved. Prints, for both, the time
# from the last byte received to "Installing..." (the hand-over starts the setup program then;
# the signed one checks both signatures in it, beside the pass over the held file's digest that
# both make) and the installer process's peak resident memory (the setup program must never be
# read into memory whole). Then, on the same file (bench/trust_bench.exe), the pieces alone:
# the platform's signature check, and one SHA-256 pass with the system's hash; and both at once
# on two threads, as the installer runs them.
# usage: bench/run_trust_bench.sh BUILD_DIR [SIZE_MIB [ROUNDS]]
# Builds nothing: BUILD_DIR must hold PellmorrowInstallerE2E.exe (it talks to 127.0.0.1:47811),
# tests/e2e/e2e_driver.exe and fake_setup.exe, and bench/trust_bench.exe. Needs openssl and
# osslsigncode. Uses the caller's Wine prefix when WINEPREFIX is set, else starts one under
# BUILD_DIR. Where the machine runs no 32-bit code, measure the 64-bit build (build/windows64):
# the emulated 32-bit program's times would be the emulator's.
set -eu
build=$(cd "${1:?usage: run_trust_bench.sh BUILD_DIR [SIZE_MIB]}" && pwd)
size=${2:-256}
rounds=${3:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
for f in PellmorrowInstallerE2E.exe tests/e2e/e2e_driver.exe tests/e2e/fake_setup.exe bench/trust_bench.exe; do
  [ -f "$build/$f" ] || { echo "no $build/$f: build it first" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/Microsoft/Windows/INetCache
  if [ -n "${started_wine:-}" ]; then wine_stop; fi
}
trap cleanup EXIT INT TERM
if [ -z "${WINEPREFIX:-}" ]; then
  . "$root/scripts/lib/wine.sh"
  set +e
  wine_start "$build/wine-bench"
  set -e
  started_wine=1
fi

# A throwaway publisher (tests/signing.py: signed and timestamped, as a publisher signs); the
# setup is the stand-in setup program with SIZE MiB of data after it.
python3 - "$build/tests/e2e/fake_setup.exe" "$work/setup-unsigned.exe" "$size" <<'PY'
import os, sys
program = open(sys.argv[1], "rb").read()
block = os.urandom(1 << 20)
with open(sys.argv[2], "wb") as out:
    out.write(program + b"\0" * (-len(program) % 8))
    for _ in range(int(sys.argv[3])):
        out.write(block)
PY
sign() { python3 "$root/tests/signing.py" "$work/publisher" "$1" "$2"; }
sign "$work/setup-unsigned.exe" "$work/setup.exe"
sign "$build/PellmorrowInstallerE2E.exe" "$work/installer-signed.exe"
cp "$build/PellmorrowInstallerE2E.exe" "$work/installer-unsigned.exe"

python3 - "$root/tests/server" "$work/setup.exe" "$work/port" >/dev/null 2>&1 </dev/null <<'PY' &
import signal, sys, threading
sys.path.insert(0, sys.argv[1])
from test_server import Response, TestServer
server = TestServer(port=47811)
server.add_file_route("/setup.exe", sys.argv[2])
setup = server._routes["/setup.exe"]
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

for round in $(seq "$rounds"); do
for kind in signed unsigned; do
  wine reg delete 'HKCU\Software\Pellmorrow' /f >/dev/null 2>&1 </dev/null || true
  wine "$build/tests/e2e/e2e_driver.exe" session "$work/installer-$kind.exe" timeout=300000 \
    >"$work/$kind-$round.json" 2>/dev/null </dev/null &
  driver=$!
  # The peak resident set of the installer's process, sampled until the session ends.
  peak=0
  while kill -0 "$driver" 2>/dev/null; do
    for pid in $(pgrep -f "installer-$kind.exe" || true); do
      [ "$pid" = "$driver" ] && continue
      kb=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
      [ -n "$kb" ] && [ "$kb" -gt "$peak" ] && peak=$kb
    done
    sleep 0.05
  done
  echo "$peak" >"$work/$kind-$round.peak"
done
done

python3 - "$work" "$size" "$rounds" <<'PY'
import json, statistics, sys
work, size, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
print(f"signed setup program of {size} MiB over loopback, {rounds} run(s) each")
for kind in ("signed", "unsigned"):
    handovers, peaks = [], []
    for round in range(1, rounds + 1):
        report = json.load(open(f"{work}/{kind}-{round}.json"))
        times = {e["event"]: e["ms"] for e in report["events"]}
        if "caption Installing..." not in times:
            sys.exit(f"{kind} installer did not hand over: {report['captions']}")
        handovers.append(times["caption Installing..."] - times["position 100"])
        peaks.append(int(open(f"{work}/{kind}-{round}.peak").read()) / 1024)
    runs = " ".join(str(ms) for ms in handovers)
    print(f"  {kind:8} installer: last byte to \"Installing...\" median {statistics.median(handovers):6.0f} ms"
          f" (runs: {runs}), peak resident {max(peaks):6.1f} MiB")
PY
echo "the same setup program, each piece alone on one thread, then both at once:"
# Into a file, not a pipe: Wine's daemons may hold a pipe's end long after the program ends.
pieces=0
wine "$build/bench/trust_bench.exe" "Z:$work/setup.exe" 3 >"$work/pieces.txt" 2>&1 </dev/null || pieces=$?
tr -d '\r' <"$work/pieces.txt"
exit "$pieces"
