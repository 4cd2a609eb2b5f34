#!/usr/bin/env python3
"""What the report tool costs: writes an installer log into a temporary folder, runs
tools/report/report.py on it and prints the lines read per second and the report's peak resident
memory. Two logs: LINES ordinary lines (a few hundred affiliates with a handful of remarks each,
starts, downloads and results in the proportions of real runs), and PAIRS lines that are each of
a distinct affiliate and remarks (the memory a report of that many rows needs).

    bench/report_bench.py [--lines LINES] [--pairs PAIRS] [--csv]

The defaults are 10,000,000 and 1,000,000; the logs take about 1 GB and 100 MB on disk while
the benchmark runs.
"""
import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path

REPORT = Path(__file__).resolve().parents[1] / "tools" / "report" / "report.py"
TIME = "2026-12-10T12:00:00+00:00"
REASONS = ["http", "network", "length", "signature"]


def ordinary_log(path, lines):
    """Runs of one installer each: a start, its download, and mostly its result."""
    rng = random.Random(1)
    affiliates = [str(rng.randrange(1, 100000)) for _ in range(300)]
    remarks = ["", "-", "spring campaign", "banner 3", "newsletter #12", "video"]
    written = 0
    with open(path, "w", encoding="utf-8") as log:
        while written < lines:
            query = f"{rng.choice(affiliates)}\t1\tEN\t={rng.choice(remarks)}"
            run = [f"{TIME}\tGET\tinstaller_images\t{query}\t200\t180\tOK\t-\t-\t-\t-\t-\n",
                   f"{TIME}\tGET\tinstaller\t{query}\t200\t52428800\tOK\t-\t-\t-\t-\t-\n"]
            roll = rng.random()
            if roll < 0.8:
                code = 0 if roll < 0.75 else 3
                run.append(f"{TIME}\tGET\tinstaller_result\t{query}\t204\t0\tOK\t-\tinstalled\t{code}\t-\t"
                           f"{rng.randrange(20, 900)}\n")
            elif roll < 0.9:
                run.append(f"{TIME}\tGET\tinstaller_result\t{query}\t204\t0\tOK\t-\tfailed\t-\t"
                           f"{rng.choice(REASONS)}\t{rng.randrange(0, 60)}\n")
            else:
                run.append(f"{TIME}\tGET\tinstaller_result\t{query}\t204\t0\tOK\t-\tcancelled\t-\t-\t"
                           f"{rng.randrange(0, 300)}\n")
            run = run[:lines - written]
            log.writelines(run)
            written += len(run)


def distinct_log(path, pairs):
    """Each line a start of its own affiliate and remarks."""
    with open(path, "w", encoding="utf-8") as log:
        for n in range(pairs):
            log.write(f"{TIME}\tGET\tinstaller_images\t{n % 50000}\t1\tEN\t=campaign {n}\t200\t180\tOK\t-\t-\t-\t-\t-\n")


def measure(log, csv):
    """Runs the report on `log` alone in a child process; its time and peak memory."""
    command = [sys.executable, str(REPORT), *(["--csv"] if csv else []), str(log)]
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        os.execv(sys.executable, command)
    start = time.monotonic()
    _, status, usage = os.wait4(pid, 0)
    seconds = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"report failed on {log}")
    return seconds, usage.ru_maxrss  # kilobytes on Linux


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=10_000_000)
    parser.add_argument("--pairs", type=int, default=1_000_000)
    parser.add_argument("--csv", action="store_true", help="time the CSV output instead of the table")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="report-bench-") as folder:
        for name, make, count in (("ordinary lines", ordinary_log, args.lines),
                                  ("distinct affiliate/remarks pairs", distinct_log, args.pairs)):
            log = Path(folder) / "installer.log"
            make(log, count)
            size = log.stat().st_size
            seconds, peak_kb = measure(log, args.csv)
            print(f"{count:,} {name} ({size / 1e6:,.0f} MB): {seconds:.1f} s, "
                  f"{count / seconds:,.0f} lines/s, peak memory {peak_kb / 1024:,.0f} MiB")
            log.unlink()


if __name__ == "__main__":
    main()
