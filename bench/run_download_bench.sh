#!/bin/sh
# Download throughput, all ways side by side on one 64 MiB file from a loopback server:
#   (a) Downloader into a file, (b) a bare WinINet read loop with the same 4096-byte reads,
#   both in bench/download_bench.exe under Wine; (c) curl into a file, natively.
# usage: bench/run_download_bench.sh BUILD_DIR [ROUNDS]
# Builds nothing: BUILD_DIR must hold bench/download_bench.exe. Runs Wine in a prefix of its own,
# BUILD_DIR/wine-bench, with no display (the program is a console one).
# On a machine with two or more CPUs the client side (wineserver, the Wine program, curl) runs
# on CPU 0 and the server on CPU 1: under Wine each 4096-byte read is a round trip to the
# wineserver, and whether the scheduler happens to put the two on one CPU or on two changes
# the throughput several-fold from run to run, which would drown the comparison.
set -eu
build=$(cd "${1:?usage: run_download_bench.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-9}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
bench="$build/bench/download_bench.exe"
[ -f "$bench" ] || { echo "no $bench: build the download_bench target first" >&2; exit 2; }

client= server_cpu=
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
  client="taskset -c 0" server_cpu="taskset -c 1"
fi

# A 32-bit prefix, or a 64-bit one where no 32-bit code runs (then BUILD_DIR is the 64-bit build).
. "$root/scripts/lib/wine.sh"
wine_use_prefix "$build/wine-bench"
unset DISPLAY
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  wineserver -k >/dev/null 2>&1 || true
  # WinINet keeps a copy of every download in its cache (the request flags do not forbid it):
  # 64 MiB a round, on a new port each run.
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/Microsoft/Windows/INetCache
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$WINEPREFIX"
# Wine's daemons keep the streams of whoever starts them: started detached, output discarded.
# A wineserver started by a pinned Wine program inherits its CPU, so a failure here only costs
# the start-up time of the first program.
$client wineserver -p >/dev/null 2>&1 </dev/null || true
[ -f "$WINEPREFIX/system.reg" ] || $client wineboot -i >/dev/null 2>&1 </dev/null

head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/big.bin"
$server_cpu python3 "$root/tests/server/test_server.py" --port-file "$work/port" \
  --serve-file "/big.bin=$work/big.bin" >/dev/null 2>&1 </dev/null &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/big.bin"

# (a) and (b): the program writes its figures to a file; nothing waits on a pipe Wine writes to.
(cd "$work" && $client wine "$bench" "$url" bench-out.bin "$rounds" >"$work/wine.txt" 2>&1 </dev/null) || {
  cat "$work/wine.txt" >&2; exit 1; }

# (c): curl, the same number of rounds, median.
curl_rates=
for _ in $(seq "$rounds"); do
  rm -f "$work/curl-out.bin"
  rate=$($client curl -s -o "$work/curl-out.bin" -w '%{speed_download}' "$url")
  curl_rates="$curl_rates $rate"
done

python3 - "$work/wine.txt" "$rounds" $curl_rates <<'PY'
import statistics, sys
text = open(sys.argv[1]).read()
fig = {k: float(v) for k, v in (line.split() for line in text.splitlines() if line and not line.startswith("round"))}
curl = [float(r) / (1024 * 1024) for r in sys.argv[3:]]
a, b, c = fig["downloader_mib_s"], fig["bare_wininet_mib_s"], statistics.median(curl)
a_best, b_best, c_best = fig["downloader_best_mib_s"], fig["bare_wininet_best_mib_s"], max(curl)
print(text.rstrip())
print("curl rounds: " + " ".join("%.1f" % r for r in curl))
print()
print("64 MiB over loopback, %s interleaved rounds each        median      best   (MiB/s)" % sys.argv[2])
print("  (a) Downloader to a file (Wine)                   %8.1f  %8.1f" % (a, a_best))
print("  (b) bare WinINet loop, 4096-byte reads (Wine)     %8.1f  %8.1f" % (b, b_best))
print("  (c) curl to a file (native)                       %8.1f  %8.1f" % (c, c_best))
print("  (a) from its last byte to its Done: %.1f ms (median)" % fig["last_byte_to_done_ms"])
print("  a/b %.2f (medians)  %.2f (best)  %.2f (median of per-round ratios)   target >= 0.9"
      % (a / b, a_best / b_best, fig["paired_ratio_median"]))
print("  a/c %.3f (medians)  %.3f (best)" % (a / c, a_best / c_best))
print("  peak working set of the downloading process: %.1f MiB" % (fig["peak_working_set_bytes"] / 1048576))
PY
