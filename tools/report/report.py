#!/usr/bin/env python3
"""Who brought each install: reads the installer logs of one or more download servers (the
"pellmorrow" log format of server/nginx.conf) and prints, per affiliate and remarks, how many
installers started, how many setup downloads began and completed, and the setup bytes sent.

    report.py [--csv] [--remarks-encoding ENC] LOG...

A LOG may be a rotated log compressed with gzip, or "-" for standard input. Lines that are not
in the format are skipped, counted and named on standard error; they never stop the report.
"""
import argparse
import csv
import gzip
import re
import sys
from collections import defaultdict
from dataclasses import dataclass

FIELDS = 11
ESCAPE = re.compile(rb"\\x([0-9A-Fa-f]{2})")
TIME = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")
CONTENT_RANGE = re.compile(rb"^bytes (\d+)-(\d+)/(\d+)$")
SHOWN_MALFORMED = 10


class Malformed(Exception):
    pass


@dataclass
class Request:
    method: bytes
    action: bytes
    affiliate: bytes
    remarks: bytes
    status: int
    sent: int
    complete: bool
    content_range: tuple  # (first, last, total) of a 206 answer, or None


def unescape(field):
    """Undoes nginx's log escaping: every '\\' of a logged value was written as \\x5C, so each
    backslash starts an \\xHH escape and the original bytes come back exactly."""
    if field.count(b"\\") != len(ESCAPE.findall(field)):
        raise Malformed("a backslash that is not an \\xHH escape")
    return ESCAPE.sub(lambda m: bytes([int(m.group(1), 16)]), field)


def number(field):
    if not field.isdigit():
        raise Malformed(f"not a number: {field!r}")
    return int(field)


def parse(line):
    """One log line (without its line end) as a Request; raises Malformed."""
    fields = line.split(b"\t")
    if len(fields) != FIELDS:
        raise Malformed(f"{len(fields)} fields instead of {FIELDS}")
    time, method, action, affiliate, _skin, _lang, remarks, status, sent, completion, ranged = fields
    if not TIME.match(time):
        raise Malformed("no time")
    remarks = unescape(remarks)
    if not remarks.startswith(b"="):
        raise Malformed("remarks without their leading '='")
    if completion not in (b"OK", b""):
        raise Malformed("completion is neither OK nor empty")
    content_range = None
    if ranged != b"-":
        match = CONTENT_RANGE.match(ranged)
        if not match:
            raise Malformed("unreadable content range")
        content_range = tuple(int(n) for n in match.groups())
    return Request(method=query_value(method), action=query_value(action), affiliate=query_value(affiliate),
                   remarks=remarks[1:], status=number(status), sent=number(sent), complete=completion == b"OK",
                   content_range=content_range)


def query_value(field):
    """nginx writes a missing value as "-"; no real method, action or affiliate is "-"."""
    value = unescape(field)
    return b"" if value == b"-" else value


@dataclass
class Counts:
    starts: int = 0
    begun: int = 0
    completed: int = 0
    bytes: int = 0

    def add(self, request):
        if request.method != b"GET":
            return
        if request.action == b"installer_images":
            self.starts += 1
        elif request.action == b"installer" and request.status in (200, 206):
            self.bytes += request.sent
            # A download resumed with a Range request continues one already begun; it completes
            # the download when its part reaches the end of the file.
            # An answer to several ranges at once carries no Content-Range and counts only bytes.
            if request.status == 200:
                starts_file = ends_file = True
            elif request.content_range:
                first, last, total = request.content_range
                starts_file, ends_file = first == 0, last + 1 == total
            else:
                starts_file = ends_file = False
            self.begun += starts_file
            self.completed += request.complete and ends_file


class Report:
    def __init__(self):
        self.counts = defaultdict(Counts)
        self.lines = 0
        self.malformed = []  # (file name, line number, reason)

    def read(self, name, stream):
        for number_, line in enumerate(stream, 1):
            self.lines += 1
            line = line.rstrip(b"\n").rstrip(b"\r")
            try:
                request = parse(line)
            except Malformed as reason:
                self.malformed.append((name, number_, str(reason)))
                continue
            self.counts[(request.affiliate, request.remarks)].add(request)

    def rows(self):
        def order(key):
            affiliate, remarks = key
            return (not affiliate.isdigit(), int(affiliate) if affiliate.isdigit() else 0, affiliate, remarks)
        return [(key, self.counts[key]) for key in sorted(self.counts, key=order)]


def shown(value, encoding):
    """Text for a byte value: decoded with `encoding`; a byte that does not decode, a control
    character and the backslash itself are written as \\xHH, so that distinct values never look
    alike."""
    text = value.decode(encoding, errors="surrogateescape")
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02X}")
        elif ch == "\\" or code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02X}")
        else:
            out.append(ch)
    return "".join(out)


HEADER = ("affiliate", "remarks", "starts", "downloads begun", "downloads completed", "bytes")


def print_text(report, encoding, out):
    rows = [(shown(a, encoding) or "-", shown(r, encoding), c.starts, c.begun, c.completed, c.bytes)
            for (a, r), c in report.rows()]
    total = Counts()
    for _, c in report.rows():
        total.starts += c.starts
        total.begun += c.begun
        total.completed += c.completed
        total.bytes += c.bytes
    rows.append(("all", "", total.starts, total.begun, total.completed, total.bytes))
    table = [HEADER] + [tuple(str(v) for v in row) for row in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(HEADER))]
    for index, row in enumerate(table):
        if index == len(table) - 1:
            out.write("  ".join("-" * w for w in widths) + "\n")
        cells = [row[0].rjust(widths[0]), row[1].ljust(widths[1])]
        cells += [cell.rjust(width) for cell, width in zip(row[2:], widths[2:])]
        out.write("  ".join(cells).rstrip() + "\n")
    out.write(f"\n{report.lines} lines read, {len(report.malformed)} malformed\n")


def print_csv(report, encoding, out):
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([h.replace(" ", "_") for h in HEADER])
    for (affiliate, remarks), c in report.rows():
        writer.writerow([shown(affiliate, encoding), shown(remarks, encoding), c.starts, c.begun, c.completed,
                         c.bytes])


def open_log(name):
    if name == "-":
        return sys.stdin.buffer
    stream = open(name, "rb")
    if stream.peek(2)[:2] == b"\x1f\x8b":
        return gzip.open(stream)
    return stream


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("logs", nargs="+", metavar="LOG", help="installer log of a server ('-': standard input)")
    parser.add_argument("--csv", action="store_true", help="comma-separated values instead of a table")
    parser.add_argument("--remarks-encoding", default="utf-8", metavar="ENC",
                        help="how the remarks' bytes are shown (default utf-8; cp1252 for copies "
                             "stamped on a Western Windows)")
    args = parser.parse_args(argv)

    report = Report()
    unreadable = 0
    for name in args.logs:
        try:
            with open_log(name) as stream:
                report.read(name, stream)
        except (OSError, EOFError) as error:
            print(f"report: {name}: {error}", file=sys.stderr)
            unreadable += 1
    (print_csv if args.csv else print_text)(report, args.remarks_encoding, sys.stdout)

    if report.malformed:
        print(f"report: {len(report.malformed)} malformed lines skipped", file=sys.stderr)
        for name, line, reason in report.malformed[:SHOWN_MALFORMED]:
            print(f"  {name}:{line}: {reason}", file=sys.stderr)
        if len(report.malformed) > SHOWN_MALFORMED:
            print(f"  ... and {len(report.malformed) - SHOWN_MALFORMED} more", file=sys.stderr)
    return 1 if unreadable else 0


if __name__ == "__main__":
    sys.exit(main())
