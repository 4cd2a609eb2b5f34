#!/usr/bin/env python3
"""Who brought each install: reads the installer logs of one or more download servers (the
"pellmorrow" log format of server/nginx.conf) and prints, per affiliate and remarks, how many
installers started, how many setup downloads began and completed, the setup bytes sent, and how
the runs ended as the installers reported it: installs, installs whose setup program failed,
failed downloads by reason, Cancels, and the median download time of the installs.

    report.py [--csv] [--remarks-encoding ENC] LOG...

A LOG may be a rotated log compressed with gzip, or "-" for standard input. Lines that are not
in the format are skipped, counted and named on standard error; they never stop the report. A
file that cannot be read to its end (missing, damaged) is named on standard error, what was read
of it is reported, and the exit status is 1.
"""
import argparse
import codecs
import csv
import gc
import gzip
import os
import re
import sys
import unicodedata
import zlib
from dataclasses import dataclass

# Logs of servers set up before the installers reported their outcome have the first 11 fields.
FIELDS = 11
RESULT_FIELDS = 15
ESCAPE = re.compile(rb"\\x([0-9A-Fa-f]{2})")
TIME = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")
CONTENT_RANGE = re.compile(rb"^bytes (\d{1,20})-(\d{1,20})/(\d{1,20})$")
SHOWN_MALFORMED = 10
# No line of the format comes near this (nginx takes request lines of a few kilobytes); a file
# without line ends, such as a damaged one, is read in pieces of this size.
MAX_LINE = 1 << 20
# Counters of the log (status, bytes sent) and of the installer (exit code, seconds) fit in this.
MAX_DIGITS = 20
# The reasons an installer gives for a failed download, most common first; any other name counts
# as "other".
REASONS = ("http", "network", "length", "no-length", "too-large", "bad-range", "signature", "no-folder", "file",
           "no-memory", "no-thread", "bad-url", "stopped", "no-start", "changed",
           "proxy-auth", "disk-full")
REASONS_BYTES = tuple(reason.encode() for reason in REASONS)
OTHER_REASON = len(REASONS)
# Download times are counted in whole seconds up to a day; longer ones count as a day. This keeps
# the per-row record of times small whatever the installers send.
MAX_SECONDS = 86400


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
    outcome: bytes = b""  # what an installer_result request reports: installed, failed, cancelled
    exit_code: int = None  # of the setup program, with "installed"
    reason: bytes = b""  # with "failed"
    seconds: int = None  # the download's time in seconds, when given


def unescape(field):
    """Undoes nginx's log escaping: every '\\' of a logged value was written as \\x5C, so each
    backslash starts an \\xHH escape and the original bytes come back exactly."""
    if b"\\" not in field:
        return field
    if field.count(b"\\") != len(ESCAPE.findall(field)):
        raise Malformed("a backslash that is not an \\xHH escape")
    return ESCAPE.sub(lambda m: bytes([int(m.group(1), 16)]), field)


def number(field, what="a number"):
    if not field.isdigit() or len(field) > MAX_DIGITS:
        raise Malformed(f"not {what}: {clipped(field)}")
    return int(field)


def clipped(field):
    """A field as named on standard error: never longer than a line."""
    return repr(field[:40]) + ("..." if len(field) > 40 else "")


def parse(line):
    """One log line (without its line end) as a Request; raises Malformed."""
    fields = line.split(b"\t")
    if len(fields) not in (FIELDS, RESULT_FIELDS):
        raise Malformed(f"{len(fields)} fields instead of {FIELDS} or {RESULT_FIELDS}")
    time, method, action, affiliate, _skin, _lang, remarks, status, sent, completion, ranged = fields[:FIELDS]
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
    request = Request(method=query_value(method), action=query_value(action), affiliate=query_value(affiliate),
                      remarks=remarks[1:], status=number(status), sent=number(sent), complete=completion == b"OK",
                      content_range=content_range)
    if len(fields) == RESULT_FIELDS and request.action == b"installer_result":
        read_result(request, *fields[FIELDS:])
    return request


def read_result(request, outcome, exit_code, reason, seconds):
    request.outcome = query_value(outcome)
    if not request.outcome:
        return  # a request that reports nothing, such as a probe of the server: counts nothing
    if request.outcome == b"installed":
        request.exit_code = number(exit_code, "an exit code")
    elif request.outcome == b"failed":
        request.reason = query_value(reason)
    elif request.outcome != b"cancelled":
        raise Malformed(f"an outcome that is not installed, failed or cancelled: {clipped(request.outcome)}")
    if seconds != b"-":
        request.seconds = number(seconds, "seconds")


def query_value(field):
    """nginx writes a missing value as "-"; no real method, action or affiliate is "-"."""
    value = unescape(field)
    return b"" if value == b"-" else value


@dataclass(slots=True)
class Counts:
    starts: int = 0
    begun: int = 0
    completed: int = 0
    bytes: int = 0
    installs: int = 0
    installs_failed: int = 0
    cancels: int = 0
    failures: list = None  # failed downloads per reason of REASONS, then other ones
    seconds: dict = None  # download seconds of the installs: how often each was reported

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
        elif request.action == b"installer_result" and 200 <= request.status < 300:
            self.add_result(request)

    def add_result(self, request):
        if request.outcome == b"installed":
            if request.exit_code == 0:
                self.installs += 1
            else:
                self.installs_failed += 1
            if request.seconds is not None:
                self.add_seconds({min(request.seconds, MAX_SECONDS): 1})
        elif request.outcome == b"failed":
            failures = [0] * (len(REASONS) + 1)
            failures[REASONS_BYTES.index(request.reason) if request.reason in REASONS_BYTES else OTHER_REASON] = 1
            self.add_failures(failures)
        elif request.outcome == b"cancelled":
            self.cancels += 1

    def add_failures(self, failures):
        if self.failures is None:
            self.failures = [0] * (len(REASONS) + 1)
        for reason, count in enumerate(failures):
            self.failures[reason] += count

    def add_seconds(self, seconds):
        if self.seconds is None:
            self.seconds = {}
        for value, count in seconds.items():
            self.seconds[value] = self.seconds.get(value, 0) + count

    def merge(self, other):
        self.starts += other.starts
        self.begun += other.begun
        self.completed += other.completed
        self.bytes += other.bytes
        self.installs += other.installs
        self.installs_failed += other.installs_failed
        self.cancels += other.cancels
        if other.failures:
            self.add_failures(other.failures)
        if other.seconds:
            self.add_seconds(other.seconds)

    def failed(self, reason):
        return self.failures[reason] if self.failures else 0

    def median_seconds(self):
        """The median of the installs' download times (the mean of the middle two for an even
        count); None without any."""
        if not self.seconds:
            return None
        count = sum(self.seconds.values())
        wanted = ((count - 1) // 2, count // 2)  # places of the middle values, counted from 0
        middle = []
        seen = 0
        for value in sorted(self.seconds):
            seen += self.seconds[value]
            while len(middle) < 2 and wanted[len(middle)] < seen:
                middle.append(value)
        return (middle[0] + middle[1]) / 2



def row_key(affiliate, remarks):
    """One bytes object per row, which sorts as the report lists its rows: numeric affiliates
    first, by value, then the others; each affiliate's remarks by their bytes. One flat object
    instead of a pair of them keeps a report of a million rows small."""
    if affiliate.isdigit():
        value = affiliate.lstrip(b"0") or b"0"
        head = b"0%010d" % len(value) + value
    else:
        head = b"1"
    return head + b"%010d" % len(affiliate) + affiliate + remarks


def split_key(key):
    """The affiliate and remarks of a row_key."""
    at = 11 + int(key[1:11]) if key[:1] == b"0" else 1
    length = int(key[at:at + 10])
    at += 10
    return key[at:at + length], key[at + length:]


class Report:
    def __init__(self):
        self.counts = {}
        self.lines = 0
        self.malformed = 0
        self.shown_malformed = []  # (file name, line number, reason) of the first few

    def read(self, name, stream):
        """Counts the lines of one log; errors of the stream itself (a damaged file) pass up,
        and what was read before stays counted."""
        number_ = 0
        for line in iter(lambda: stream.readline(MAX_LINE), b""):
            number_ += 1
            self.lines += 1
            if len(line) == MAX_LINE and not line.endswith(b"\n"):
                while True:  # the rest of an over-long line is not kept
                    rest = stream.readline(MAX_LINE)
                    if not rest or rest.endswith(b"\n"):
                        break
                self.skip(name, number_, f"longer than {MAX_LINE} bytes")
                continue
            line = line.rstrip(b"\n").rstrip(b"\r")
            try:
                request = parse(line)
            except Malformed as reason:
                self.skip(name, number_, str(reason))
                continue
            key = row_key(request.affiliate, request.remarks)
            counts = self.counts.get(key)
            if counts is None:
                counts = self.counts[key] = Counts()
            counts.add(request)

    def skip(self, name, line, reason):
        self.malformed += 1
        if len(self.shown_malformed) < SHOWN_MALFORMED:
            self.shown_malformed.append((name, line, reason))

    def rows(self):
        """(affiliate, remarks, Counts) in the report's order."""
        for key in sorted(self.counts):
            yield (*split_key(key), self.counts[key])

    def total(self):
        total = Counts()
        for counts in self.counts.values():
            total.merge(counts)
        return total


# Characters that a terminal or a text viewer would act on rather than show: controls (C0, DEL,
# C1), format characters such as the bidirectional overrides, line and paragraph separators, and
# the surrogates and private or unassigned code points a decoder may leave.
HIDDEN = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def escape_bytes(error):
    """Decoding error handler: each byte that does not decode becomes the surrogate U+DC00+byte,
    which shown() writes as \\xHH (surrogateescape does this only for bytes from 0x80)."""
    return "".join(chr(0xDC00 + b) for b in error.object[error.start:error.end]), error.end


codecs.register_error("report-escape", escape_bytes)


def shown(value, encoding):
    """Text for a byte value: decoded with `encoding`; a byte that does not decode, a control
    character and the backslash itself are written as \\xHH, other hidden characters as \\uHHHH,
    so that distinct values never look alike and nothing in a value acts on a terminal."""
    try:
        text = value.decode(encoding, errors="report-escape")
    except ValueError:  # a codec that takes no error handler, or bytes it cannot decode at all
        text = value.decode("ascii", errors="report-escape")
    if text.isascii() and text.isprintable() and "\\" not in text:
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC00 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02X}")
        elif ch == "\\" or code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02X}")
        elif code > 0x7F and unicodedata.category(ch) in HIDDEN:
            out.append(f"\\u{code:04X}" if code <= 0xFFFF else f"\\U{code:08X}")
        else:
            out.append(ch)
    return "".join(out)


# Installers send their affiliate as a decimal number; anything else in its place is shown as
# UTF-8, whatever the remarks' encoding.
AFFILIATE_ENCODING = "utf-8"


def inert(cell):
    """A text cell that no spreadsheet takes for a formula: one beginning with =, +, -, @, tab
    or carriage return gets a leading apostrophe, as spreadsheet makers advise."""
    return "'" + cell if cell[:1] in ("=", "+", "-", "@", "\t", "\r") else cell


def median_text(seconds):
    if seconds is None:
        return ""
    return str(int(seconds)) if seconds == int(seconds) else f"{seconds:.1f}"


COLUMNS = [("affiliate", "affiliate"), ("remarks", "remarks"), ("starts", "starts"),
           ("downloads begun", "downloads_begun"), ("downloads completed", "downloads_completed"),
           ("bytes", "bytes"), ("installs", "installs"), ("installs failed", "installs_failed"),
           ("downloads failed", "downloads_failed")]
REASON_COLUMNS = [(f"failed: {reason}", f"failed_{reason}") for reason in REASONS + ("other",)]
END_COLUMNS = [("cancels", "cancels"), ("median seconds", "median_download_seconds")]


def cells(counts, reasons):
    """The number cells of a row, with the failures of the reasons given."""
    failed = sum(counts.failures) if counts.failures else 0
    return ([counts.starts, counts.begun, counts.completed, counts.bytes, counts.installs, counts.installs_failed,
             failed] + [counts.failed(reason) for reason in reasons] +
            [counts.cancels, median_text(counts.median_seconds())])


def print_text(report, encoding, out):
    total = report.total()
    # Only the reasons that occur get a column of their own.
    reasons = [reason for reason in range(len(REASONS) + 1) if total.failed(reason)]
    header = [title for title, _ in COLUMNS + [REASON_COLUMNS[r] for r in reasons] + END_COLUMNS]

    def lines():
        for affiliate, remarks, counts in report.rows():
            yield [shown(affiliate, AFFILIATE_ENCODING) or "-", shown(remarks, encoding)] + [str(c) for c in
                                                                                   cells(counts, reasons)]

    # Two passes over the rows, one for the widths and one to write, so that the table's text is
    # never held whole.
    totals = ["all", ""] + [str(c) for c in cells(total, reasons)]
    widths = [max(len(title), len(cell)) for title, cell in zip(header, totals)]
    for row in lines():
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]

    def write(row):
        line = [row[0].rjust(widths[0]), row[1].ljust(widths[1])]
        line += [cell.rjust(width) for cell, width in zip(row[2:], widths[2:])]
        out.write("  ".join(line).rstrip() + "\n")

    write(header)
    for row in lines():
        write(row)
    out.write("  ".join("-" * w for w in widths) + "\n")
    write(totals)
    out.write(f"\n{report.lines} lines read, {report.malformed} malformed\n")


def print_csv(report, encoding, out):
    reasons = range(len(REASONS) + 1)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([name for _, name in COLUMNS + REASON_COLUMNS + END_COLUMNS])
    for affiliate, remarks, counts in report.rows():
        writer.writerow([inert(shown(affiliate, AFFILIATE_ENCODING)), inert(shown(remarks, encoding))] + cells(counts, reasons))


def open_log(name):
    if name == "-":
        return sys.stdin.buffer
    stream = open(name, "rb")
    if stream.peek(2)[:2] == b"\x1f\x8b":
        return gzip.open(stream)
    return stream


def encoding_name(name):
    try:
        b"x".decode(name, "ignore")  # also refuses codecs that do not turn bytes into text, such as hex
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {name}")
    except ValueError:
        pass  # a codec that takes no error handler: shown() copes with it
    return name


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("logs", nargs="+", metavar="LOG", help="installer log of a server ('-': standard input)")
    parser.add_argument("--csv", action="store_true", help="comma-separated values instead of a table")
    parser.add_argument("--remarks-encoding", default="utf-8", metavar="ENC", type=encoding_name,
                        help="how the remarks' bytes are shown (default utf-8; cp1252 for copies "
                             "stamped on a Western Windows)")
    args = parser.parse_args(argv)

    # The report's records hold no reference cycles; the collector's passes over a million of them
    # would cost a third of the time.
    gc.disable()
    report = Report()
    unreadable = 0
    for name in args.logs:
        before = report.lines
        try:
            with open_log(name) as stream:
                report.read(name, stream)
        except (OSError, EOFError, zlib.error) as error:
            # A damaged compressed log: the lines before the damage are counted.
            read = f" (the {report.lines - before} lines before are counted)" if report.lines > before else ""
            print(f"report: {name}: {error or type(error).__name__}{read}", file=sys.stderr)
            unreadable += 1
    try:
        (print_csv if args.csv else print_text)(report, args.remarks_encoding, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (report.py ... | head): nothing more to say, and nothing to
        # fail on when Python flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1

    if report.malformed:
        print(f"report: {report.malformed} malformed lines skipped", file=sys.stderr)
        for name, line, reason in report.shown_malformed:
            print(f"  {name}:{line}: {reason}", file=sys.stderr)
        if report.malformed > SHOWN_MALFORMED:
            print(f"  ... and {report.malformed - SHOWN_MALFORMED} more", file=sys.stderr)
    return 1 if unreadable else 0


if __name__ == "__main__":
    # Whatever the terminal's encoding, a character it cannot show is written escaped.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.exit(main())
