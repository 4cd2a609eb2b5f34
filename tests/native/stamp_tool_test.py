"""The stamping tool, run the way a publisher runs it: python3 stamp_tool_test.py STAMP_BINARY

Programs are tiny PE files built here; stamps are checked against a layout and a check value
computed here from the format, independently of the C++ code. Signed programs are signed and
timestamped here with certificates and a timestamp authority of the tests' own
(tests/signing.py), with explicit validity dates and signing times, and checked with
osslsigncode as of chosen times.
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from signing import TestPublisher, timestamps, utc  # noqa: E402

STAMP = None  # path to the tool, from the command line

MARKER = b"QuorvantisSignatureMarker"
REMARKS_SIZE = 128


def check_value(affiliate, remarks):
    r, total = 55665, 0
    for p in affiliate.to_bytes(4, "little") + remarks:
        c = (p ^ (r >> 8)) & 0xFF
        r = ((c + r) * 52845 + 22719) & 0xFFFF
        total = (total + c) & 0xFFFFFFFF
    return total


def stamp_bytes(affiliate, remarks, check=None, fill=b"\0"):
    """Marker and block as any writer following the format lays them out."""
    field = remarks + b"\0"
    field += fill * (REMARKS_SIZE - len(field))
    if check is None:
        check = check_value(affiliate, remarks)
    return MARKER + struct.pack("<I", affiliate) + field + struct.pack("<I", check)


def make_pe(sections=((0x200, b"\x90" * 0x200),), pe32plus=False, headers_size=0x200,
            certificate=None, symbols=None, trailing=b""):
    """A PE program: DOS header, PE header, optional header with 16 data directories, one
    section header per (file offset, data) pair, then the section data. `certificate` is the
    (offset, size) of the security directory; `symbols` is (count, string table bytes) for a
    COFF symbol table placed after the last section. Returns (file bytes, image end)."""
    e_lfanew = 0x40
    optional_size = (112 if pe32plus else 96) + 16 * 8
    data_end = max([headers_size] + [offset + len(data) for offset, data in sections if data])
    symbol_pointer, symbol_count, symbol_tables = 0, 0, b""
    if symbols:
        symbol_count, strings = symbols
        symbol_pointer = data_end
        symbol_tables = b"S" * (18 * symbol_count) + struct.pack("<I", 4 + len(strings)) + strings

    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, e_lfanew)
    coff = struct.pack("<HHIIIHH", 0x8664 if pe32plus else 0x14C, len(sections), 0,
                       symbol_pointer, symbol_count, optional_size, 0x0102)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if pe32plus else 0x10B)
    struct.pack_into("<I", optional, 60, headers_size)
    count_at = 108 if pe32plus else 92
    struct.pack_into("<I", optional, count_at, 16)
    if certificate:
        struct.pack_into("<II", optional, count_at + 4 + 4 * 8, *certificate)
    table = b""
    for index, (offset, data) in enumerate(sections):
        table += struct.pack("<8sIIIIIIHHI", b".s%d" % index, len(data), 0x1000 * (index + 1),
                             len(data), offset, 0, 0, 0, 0, 0x60000020)

    image = bytearray(dos + b"PE\0\0" + coff + optional + table)
    image += bytes(headers_size - len(image))
    for offset, data in sections:
        if data:
            image += bytes(max(0, offset + len(data) - len(image)))
            image[offset:offset + len(data)] = data
    image += symbol_tables
    return bytes(image) + trailing, len(image)


PLAIN_PE, PLAIN_END = make_pe()


class ToolRun(unittest.TestCase):
    """Runs the tool in a fresh folder of its own."""

    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = self._dir.name
        self.out = os.path.join(self.dir, "out.exe")

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def run_tool(self, *args):
        return subprocess.run([STAMP, *args], capture_output=True, timeout=60)

    def stamp(self, source, affiliate, remarks, *options, out=None):
        return self.run_tool(source, out or self.out, "--affiliate", affiliate, "--remarks", remarks, *options)

    def assert_shows(self, path, affiliate, remarks, signature=b"none", timestamp=None):
        """--show prints this stamp and signature, and for a signature the timestamp line."""
        shown = self.run_tool("--show", path)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        expected = b"affiliate: %d\nremarks: %s\nsignature: %s\n" % (affiliate, remarks, signature)
        if timestamp is not None:
            expected += b"timestamp: %s\n" % timestamp
        # A Windows build of the tool writes CRLF.
        self.assertEqual(shown.stdout.replace(b"\r\n", b"\n"), expected)

    def assert_refused(self, args, why, exit_code=1):
        """Refused with `why` on stderr, OUT neither created nor touched, no files left over."""
        before = sorted(os.listdir(self.dir))
        refused = self.run_tool(*args)
        self.assertEqual(refused.returncode, exit_code, refused.stderr)
        self.assertIn(why, refused.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), before)
        return refused


class StampTool(ToolRun):
    def test_python_check_value_matches_known_blocks(self):
        # The reference used below must agree with the format's known values.
        for affiliate, remarks, check in [(11628, b"0", 598), (11628, b"", 490), (0, b"", 641), (0, b"abc", 785)]:
            self.assertEqual(check_value(affiliate, remarks), check)

    def test_stamp_and_show(self):
        cases = [
            (0, b""),
            (11628, b"hello world"),
            (4294967295, bytes(range(0x80, 0xFF))),  # 127 chars, all above 0x7F
            (7, b"x" * 127),
        ]
        source = self.write("in.exe", PLAIN_PE)
        for affiliate, remarks in cases:
            with self.subTest(affiliate=affiliate, remarks=remarks):
                done = self.stamp(source, str(affiliate), remarks)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.read(source), PLAIN_PE)
                self.assertEqual(self.read(self.out), PLAIN_PE + stamp_bytes(affiliate, remarks))
                self.assert_shows(self.out, affiliate, remarks)
                self.assertEqual(sorted(os.listdir(self.dir)), ["in.exe", "out.exe"])

    def test_stamp_goes_right_after_the_image(self):
        old_stamp = stamp_bytes(1, b"old")
        cases = {
            "PE32+": make_pe(pe32plus=True),
            "last section in file listed first": make_pe(sections=((0x600, b"B" * 0x100), (0x200, b"A" * 0x400))),
            "empty section with a stray offset": make_pe(sections=((0x200, b"A" * 0x200), (0x9000, b""))),
            "headers only": make_pe(sections=(), headers_size=0x400),
            "COFF symbol tables kept": make_pe(symbols=(3, b".debug_info\0")),
            "earlier stamp left out": make_pe(trailing=old_stamp),
            "appended junk left out": make_pe(trailing=b"junk" * 50),
        }
        for name, (program, image_end) in cases.items():
            with self.subTest(name):
                source = self.write("in.exe", program)
                done = self.stamp(source, "31337", b"new")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.read(self.out), program[:image_end] + stamp_bytes(31337, b"new"))
                self.assertEqual(self.read(source), program)
                self.assert_shows(self.out, 31337, b"new")

    def test_restamping_a_stamped_copy_replaces_its_stamp(self):
        source = self.write("in.exe", PLAIN_PE)
        first = os.path.join(self.dir, "first.exe")
        self.assertEqual(self.stamp(source, "1", b"first", out=first).returncode, 0)
        done = self.stamp(first, "2", b"second")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.read(self.out), PLAIN_PE + stamp_bytes(2, b"second"))
        self.assert_shows(self.out, 2, b"second")

    def test_replaces_an_existing_out(self):
        source = self.write("in.exe", PLAIN_PE)
        self.write("out.exe", b"an older build" * 1000)
        self.assertEqual(self.stamp(source, "5", b"five").returncode, 0)
        self.assertEqual(self.read(self.out), PLAIN_PE + stamp_bytes(5, b"five"))

    def test_show_reads_blocks_from_other_writers(self):
        wrong = stamp_bytes(3, b"wrong", check=check_value(3, b"wrong") ^ 1)
        cases = [
            ("amid data, bytes after the NUL",
             b"junk" * 300 + stamp_bytes(77, b"by hand", fill=b"\xAA") + b"\0\0\0\0tail", (77, b"by hand")),
            ("after a block with a bad check", wrong + stamp_bytes(78, b"good"), (78, b"good")),
            ("first of two", stamp_bytes(1, b"one") + stamp_bytes(2, b"two"), (1, b"one")),
            ("bad check only", b"head" + wrong, None),
            ("cut short", stamp_bytes(9, b"cut")[:-1], None),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                path = self.write("any.bin", data)
                if expected:
                    self.assert_shows(path, *expected)
                else:
                    shown = self.run_tool("--show", path)
                    self.assertEqual(shown.returncode, 1)
                    self.assertEqual(shown.stdout, b"signature: none\n")
                    self.assertIn(b"no stamp", shown.stderr)

    def test_show_without_a_stamp(self):
        for name, path, out in [("unstamped program", self.write("in.exe", PLAIN_PE), b"signature: none\n"),
                                ("missing file", os.path.join(self.dir, "missing.exe"), b"")]:
            with self.subTest(name):
                shown = self.run_tool("--show", path)
                self.assertEqual(shown.returncode, 1)
                self.assertEqual(shown.stdout, out)
                self.assertNotEqual(shown.stderr, b"")

    def test_refusals(self):
        bad_signature = bytearray(PLAIN_PE)
        bad_signature[0x40:0x44] = b"PE\0\1"
        bad_magic = bytearray(PLAIN_PE)
        bad_magic[0x58:0x5A] = b"\x07\x01"
        far_header = bytearray(PLAIN_PE)
        struct.pack_into("<I", far_header, 0x3C, 0xFFFFFFF0)
        zeroed_table, _ = make_pe(certificate=(PLAIN_END, 16), trailing=bytes(16))
        zeroed_table_plus, _ = make_pe(pe32plus=True, certificate=(PLAIN_END, 16), trailing=bytes(16))
        certificate_offset_only, _ = make_pe(certificate=(PLAIN_END, 0))
        certificate_size_only, _ = make_pe(certificate=(0, 16))
        # A valid block inside the image would win over the new one when the installer reads.
        holding_stamp, _ = make_pe(sections=((0x200, stamp_bytes(4, b"inside").ljust(0x200, b"\0")),))

        cases = [
            ("remarks of 128 bytes", PLAIN_PE, "1", b"r" * 128, b"remarks"),
            ("negative affiliate", PLAIN_PE, "-1", b"", b"affiliate"),
            ("signed affiliate", PLAIN_PE, "+1", b"", b"affiliate"),
            ("affiliate above 32 bits", PLAIN_PE, "4294967296", b"", b"affiliate"),
            ("affiliate far above 32 bits", PLAIN_PE, "99999999999999999999999", b"", b"affiliate"),
            ("affiliate with trailing garbage", PLAIN_PE, "12x", b"", b"affiliate"),
            ("empty affiliate", PLAIN_PE, "", b"", b"affiliate"),
            ("affiliate with a blank", PLAIN_PE, " 12", b"", b"affiliate"),
            ("hexadecimal affiliate", PLAIN_PE, "0x10", b"", b"affiliate"),
            ("text file", b"just some text, long enough to hold a DOS header if it were one" * 4,
             "1", b"", b"not a Windows program"),
            ("empty file", b"", "1", b"", b"not a Windows program"),
            ("PE header offset outside the file", bytes(far_header), "1", b"", b"not a Windows program"),
            ("no PE signature", bytes(bad_signature), "1", b"", b"not a Windows program"),
            ("neither PE32 nor PE32+", bytes(bad_magic), "1", b"", b"not a Windows program"),
            ("truncated in the DOS header", PLAIN_PE[:40], "1", b"", b"not a Windows program"),
            ("truncated in the COFF header", PLAIN_PE[:0x50], "1", b"", b"not a Windows program"),
            ("truncated in the optional header", PLAIN_PE[:0x100], "1", b"", b"optional header"),
            ("truncated in the section table", PLAIN_PE[:0x150], "1", b"", b"section table"),
            ("truncated in the section data", PLAIN_PE[:0x300], "1", b"", b"section data"),
            ("certificate table of zeros", zeroed_table, "1", b"", b"damaged signature"),
            ("PE32+ certificate table of zeros", zeroed_table_plus, "1", b"", b"damaged signature"),
            ("certificate table offset only", certificate_offset_only, "1", b"", b"damaged signature"),
            ("certificate table size only", certificate_size_only, "1", b"", b"damaged signature"),
            ("image already holding a stamp", holding_stamp, "1", b"", b"read back"),
        ]
        for name, program, affiliate, remarks, why in cases:
            with self.subTest(name):
                if os.path.exists(self.out):
                    os.remove(self.out)  # left by a failed case
                source = self.write("in.exe", program)
                args = (source, self.out, "--affiliate", affiliate, "--remarks", remarks)
                self.assert_refused(args, why)
                self.assertFalse(os.path.exists(self.out))
                previous = self.write("out.exe", b"previous build")
                self.assert_refused(args, why)
                self.assertEqual(self.read(previous), b"previous build")
                os.remove(previous)
                self.assertEqual(self.read(source), program)

    def test_refuses_to_write_over_in(self):
        source = self.write("in.exe", PLAIN_PE)
        os.link(source, os.path.join(self.dir, "link.exe"))
        for out in [source, os.path.join(self.dir, ".", "in.exe"), os.path.join(self.dir, "link.exe")]:
            with self.subTest(out=out):
                self.assert_refused((source, out, "--affiliate", "1", "--remarks", "x"), b"same file")
                self.assertEqual(self.read(source), PLAIN_PE)

    def test_never_consumes_in(self):
        # Names a careless temporary file could take: IN named like the copy's temporary file,
        # and an OUT that is a folder (a rename onto it fails, and the clean-up must not then
        # remove IN).
        source = self.write("out.exe.stamp-tmp", PLAIN_PE)
        done = self.stamp(source, "1", b"x")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.read(source), PLAIN_PE)
        self.assertEqual(self.read(self.out), PLAIN_PE + stamp_bytes(1, b"x"))
        self.assertEqual(sorted(os.listdir(self.dir)), ["out.exe", "out.exe.stamp-tmp"])

        source = self.write("folder.stamp-tmp", PLAIN_PE)
        folder = os.path.join(self.dir, "folder")
        os.mkdir(folder)
        self.assert_refused((source, folder, "--affiliate", "1", "--remarks", "x"), b"folder")
        self.assertEqual(os.listdir(folder), [])
        self.assertEqual(self.read(source), PLAIN_PE)

    def test_cannot_write_out(self):
        source = self.write("in.exe", PLAIN_PE)
        out = os.path.join(self.dir, "no such dir", "out.exe")
        self.assert_refused((source, out, "--affiliate", "1", "--remarks", "x"), b"cannot write")

    def test_bad_command_lines(self):
        source = self.write("in.exe", PLAIN_PE)
        cases = [
            (),
            (source,),
            (source, self.out, "--affiliate", "1"),
            (source, self.out, "--remarks", "x"),
            (source, self.out, "--affiliate", "1", "--remarks"),
            (source, self.out, "extra", "--affiliate", "1", "--remarks", "x"),
            (source, self.out, "--affiliate", "1", "--affiliate", "2", "--remarks", "x"),
            (source, self.out, "--affiliate", "1", "--remarks", "x", "--force"),
            (source, self.out, "--affiliate", "1", "--remarks", "x", "--require-timestamp", "--require-timestamp"),
            ("--show",),
            ("--show", source, source),
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assert_refused(args, b"usage:", exit_code=2)

    def test_help(self):
        shown = self.run_tool("--help")
        self.assertEqual(shown.returncode, 0)
        self.assertIn(b"usage:", shown.stdout)


def certificate_table(data):
    """(where the security directory entry lies, (table offset, table size))."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    pe32plus = struct.unpack_from("<H", data, pe + 24)[0] == 0x20B
    entry = pe + 24 + (112 if pe32plus else 96) + 4 * 8
    return entry, struct.unpack_from("<II", data, entry)


def checksum_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64


def pe_checksum(data):
    """The loader's checksum: 16-bit words with end-around carry, the field itself as zero, plus
    the length."""
    at = checksum_offset(data)
    words = bytearray(data)
    words[at:at + 4] = bytes(4)
    if len(words) % 2:
        words.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def der_size(der):
    """Header plus contents of the DER element that starts der."""
    if der[1] < 0x80:
        return 2 + der[1]
    count = der[1] & 0x7F
    return 2 + count + int.from_bytes(der[2:2 + count], "big")


# The publisher's certificate is valid through 2030 only; programs are signed, and timestamped,
# in the middle of that year.
VALID = (utc("2030-01-01"), utc("2031-01-01"))
EXPIRES = b"2031-01-01 00:00:00 UTC"
SIGNED_AT = utc("2030-06-01 12:00:00")
TIMESTAMP = b"2030-06-01 12:00:00 UTC"
WHILE_VALID, AFTER_EXPIRY = utc("2030-07-01"), utc("2032-01-01")


def certificate_der(pem):
    return subprocess.run(["openssl", "x509", "-in", str(pem), "-outform", "DER"],
                          capture_output=True, check=True).stdout


class SignedStamping(ToolRun):
    """Signed programs keep a valid signature, and their timestamp, when stamped: the stamp goes
    into the signature's unauthenticated part, beside the timestamp."""

    @classmethod
    def setUpClass(cls):
        cls._keys = tempfile.TemporaryDirectory()
        cls.publisher = TestPublisher(cls._keys.name, valid=VALID)

    @classmethod
    def tearDownClass(cls):
        cls._keys.cleanup()

    def signed(self, program=PLAIN_PE, *options, name="signed.exe", timestamp=True, publisher=None):
        source = self.write("unsigned-" + name, program)
        target = os.path.join(self.dir, name)
        (publisher or self.publisher).sign(source, target, *options, at=SIGNED_AT, timestamp=timestamp)
        os.remove(source)
        return target

    def assert_signed_stamp(self, source, path, affiliate, remarks, timestamp=TIMESTAMP):
        """path is source's signature with this stamp, and nothing else changed."""
        data, before = self.read(path), self.read(source)
        verified, report = self.publisher.verify(path, at=WHILE_VALID)
        self.assertTrue(verified, report)
        self.assert_shows(path, affiliate, remarks, signature=b"intact", timestamp=timestamp)
        self.assertEqual(data.count(MARKER), 1)
        self.assertEqual(data.count(stamp_bytes(affiliate, remarks)), 1)

        # The lengths: one entry, 8-byte aligned, ending the file, its DER filling it but for
        # the padding; the program before it as signed, but for the table's size and checksum.
        entry, (offset, size) = certificate_table(data)
        self.assertEqual(offset, certificate_table(before)[1][0])
        self.assertEqual(offset + size, len(data))
        self.assertEqual(size % 8, 0)
        self.assertEqual(struct.unpack_from("<IHH", data, offset), (size, 0x0200, 0x0002))
        der = data[offset + 8:]
        self.assertEqual(der[0], 0x30)
        self.assertGreater(der_size(der), len(der) - 8)
        self.assertEqual(der[der_size(der):], bytes(len(der) - der_size(der)))
        checksum = struct.unpack_from("<I", before, checksum_offset(before))[0]
        self.assertEqual(struct.unpack_from("<I", data, checksum_offset(data))[0], checksum and pe_checksum(data))
        changed = bytearray(data[:offset])
        changed[entry + 4:entry + 8] = before[entry + 4:entry + 8]
        at = checksum_offset(data)
        changed[at:at + 4] = before[at:at + 4]
        self.assertEqual(bytes(changed), before[:offset])

    def test_stamps_inside_the_signature(self):
        cases = [
            ("fresh", PLAIN_PE, (), 11628, b"spring"),
            ("empty remarks", PLAIN_PE, (), 0, b""),
            ("127-byte remarks", PLAIN_PE, (), 4294967295, bytes(range(0x80, 0xFF))),
            ("PE32+", make_pe(pe32plus=True)[0], (), 7, b"wide"),
            ("space reserved by the signer", PLAIN_PE, ("-addUnauthenticatedBlob",), 8, b"blob"),
        ]
        for name, program, options, affiliate, remarks in cases:
            with self.subTest(name):
                source = self.signed(program, *options)
                before = self.read(source)
                done = self.stamp(source, str(affiliate), remarks)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.read(source), before)
                self.assert_signed_stamp(source, self.out, affiliate, remarks)
                self.assertEqual(sorted(os.listdir(self.dir)), ["out.exe", "signed.exe"])
                os.remove(self.out)

    def test_checksum_kept_right_or_absent(self):
        signed = self.read(self.signed())
        self.assertNotEqual(struct.unpack_from("<I", signed, checksum_offset(signed))[0], 0)
        # The signer's checksum is not signed: without one, the copy carries none either.
        without = bytearray(signed)
        struct.pack_into("<I", without, checksum_offset(signed), 0)
        for name, program in [("with a checksum", signed), ("without", bytes(without))]:
            with self.subTest(name):
                source = self.write("in.exe", program)
                done = self.stamp(source, "9", b"nine")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assert_signed_stamp(source, self.out, 9, b"nine")

    def test_restamping_replaces_the_stamp(self):
        source = self.signed()
        first = os.path.join(self.dir, "first.exe")
        self.assertEqual(self.stamp(source, "1", b"first", out=first).returncode, 0)
        done = self.stamp(first, "2", b"second")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_signed_stamp(source, self.out, 2, b"second")
        self.assertNotIn(stamp_bytes(1, b"first"), self.read(self.out))
        # The same file as stamping the signed program afresh.
        fresh = os.path.join(self.dir, "fresh.exe")
        self.assertEqual(self.stamp(source, "2", b"second", out=fresh).returncode, 0)
        self.assertEqual(self.read(self.out), self.read(fresh))

    def test_timestamp_outlives_the_certificate(self):
        # Checked as of a time after the certificate expired: a timestamped signature is judged
        # as of its timestamp, one without is refused; stamping keeps the timestamp.
        timestamped = self.signed()
        older = self.signed(name="older.exe", timestamp="authenticode")  # Authenticode's older form
        bare = self.signed(name="bare.exe", timestamp=False)
        stamped, restamped, older_stamped = (os.path.join(self.dir, name)
                                             for name in ("stamped.exe", "restamped.exe", "older-stamped.exe"))
        self.assertEqual(self.stamp(timestamped, "11628", b"spring", out=stamped).returncode, 0)
        self.assertEqual(self.stamp(stamped, "42", b"autumn", out=restamped).returncode, 0)
        self.assertEqual(self.stamp(older, "7", b"older", out=older_stamped).returncode, 0)
        cases = [
            ("timestamped", timestamped, None, True),
            ("timestamped, stamped", stamped, (11628, b"spring", timestamped), True),
            ("timestamped, restamped", restamped, (42, b"autumn", timestamped), True),
            ("older timestamp, stamped", older_stamped, (7, b"older", older), True),
            ("without a timestamp", bare, None, False),
        ]
        for name, path, stamp, outlives in cases:
            with self.subTest(name):
                verified, report = self.publisher.verify(path, at=WHILE_VALID)
                self.assertTrue(verified, report)
                verified, report = self.publisher.verify(path, at=AFTER_EXPIRY)
                self.assertEqual(verified, outlives, report)
                if stamp:
                    affiliate, remarks, source = stamp
                    self.assert_signed_stamp(source, path, affiliate, remarks)

    def test_stamping_a_signature_that_expires_warns_or_refuses(self):
        # Signatures that Windows refuses once the certificate expires: without a timestamp, or
        # by a certificate with the lifetime-signing usage, timestamp or not.
        lifetime = TestPublisher(os.path.join(self._keys.name, "lifetime"), valid=VALID,
                                 authority=self.publisher.authority, kind="lifetime_signing")
        cases = [
            ("no timestamp", self.signed(name="bare.exe", timestamp=False), b"no timestamp", b"none"),
            ("lifetime signing", self.signed(name="lifetime.exe", publisher=lifetime), b"lifetime-signing", TIMESTAMP),
        ]
        for name, source, why, timestamp in cases:
            with self.subTest(name):
                done = self.stamp(source, "3", b"three")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn(b"warning", done.stderr)
                self.assertIn(why, done.stderr)
                self.assertIn(EXPIRES, done.stderr)
                self.assert_signed_stamp(source, self.out, 3, b"three", timestamp=timestamp)
                os.remove(self.out)

                refused = self.assert_refused((source, self.out, "--affiliate", "3", "--remarks", "three",
                                               "--require-timestamp"), why)
                self.assertIn(EXPIRES, refused.stderr)

        done = self.stamp(self.signed(), "3", b"three", "--require-timestamp")
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_signed_stamp(self.signed(), self.out, 3, b"three")

    def test_damaged_signatures_are_broken(self):
        # Each damage is one Windows refuses the file for. osslsigncode, checking as of a time
        # when only an intact timestamp can carry the signature, refuses them too, except the
        # issuer's own signature: it ends chains at the root it trusts, not at the file's copy.
        signed = self.read(self.signed())

        def flipped_last_byte(der):
            """signed with one bit of der's last byte (a signature value's) changed."""
            end = signed.index(der) + len(der)
            return signed[:end - 1] + bytes([signed[end - 1] ^ 1]) + signed[end:]

        older = self.read(self.signed(name="older.exe", timestamp="authenticode"))

        def flipped_signature_end(data):
            """data with one bit of its signature's last byte changed: before a stamp, that is
            the last byte of the timestamp, its authority's signature value."""
            offset = certificate_table(data)[1][0] + 8
            end = offset + der_size(data[offset:])
            return data[:end - 1] + bytes([data[end - 1] ^ 1]) + data[end:]

        cases = [
            ("signer certificate's signature", flipped_last_byte(certificate_der(self.publisher.cert)),
             b"Pellmorrow Test Publisher in the signature does not carry its issuer's", False),
            ("issuer certificate's signature", flipped_last_byte(certificate_der(self.publisher.authority.cert)),
             b"Pellmorrow Test Publisher Root in the signature does not carry its issuer's", True),
            ("counter-signature of the timestamp", flipped_signature_end(signed),
             b"the timestamp's signature does not verify", False),
            ("counter-signature of an older timestamp", flipped_signature_end(older),
             b"the timestamp's signature does not verify", False),
            ("timestamp authority's certificate", flipped_last_byte(certificate_der(timestamps().root.parent / "tsa.pem")),
             b"Pellmorrow Test Timestamp Authority in the timestamp does not carry its issuer's", False),
            ("timestamp of another signature", self.read(self.signed(name="foreign.exe", timestamp="foreign")),
             b"the timestamp is not of this signature", False),
            ("older timestamp of another signature",
             self.read(self.signed(name="older-foreign.exe", timestamp="authenticode-foreign")),
             b"the timestamp is not of this signature", False),
            ("bytes after the certificate table", signed + b"appended",
             b"8 bytes follow the certificate table", False),
        ]
        for name, program, why, osslsigncode_accepts in cases:
            with self.subTest(name):
                self.assertNotEqual(program, signed)
                source = self.write("damaged.exe", program)
                verified, report = self.publisher.verify(source, at=AFTER_EXPIRY)
                self.assertEqual(verified, osslsigncode_accepts, report)
                shown = self.run_tool("--show", source)
                self.assertEqual(shown.returncode, 1)
                self.assertEqual(shown.stdout.splitlines()[-1][:len(b"signature: broken: ")], b"signature: broken: ")
                self.assertIn(why, shown.stdout)
                self.assert_refused((source, self.out, "--affiliate", "1", "--remarks", "x"), why)
                self.assertEqual(self.read(source), program)

    def test_a_changed_program_shows_a_broken_signature(self):
        done = self.stamp(self.signed(), "4", b"four")
        self.assertEqual(done.returncode, 0, done.stderr)
        stamped = bytearray(self.read(self.out))
        stamped[0x210] ^= 1  # in the section data
        tampered = self.write("tampered.exe", bytes(stamped))
        verified, report = self.publisher.verify(tampered)
        self.assertFalse(verified, report)
        shown = self.run_tool("--show", tampered)
        self.assertEqual(shown.returncode, 1)
        self.assertEqual(shown.stdout, b"affiliate: 4\nremarks: four\n"
                                       b"signature: broken: the program differs from the one that was signed\n")

    def test_refused_signatures(self):
        signed = self.read(self.signed())
        entry, (offset, size) = certificate_table(signed)

        def patched(at, fmt, *values, data=signed):
            changed = bytearray(data)
            struct.pack_into(fmt, changed, at, *values)
            return bytes(changed)

        changed_program = bytearray(signed)
        changed_program[0x210] ^= 1
        certificate_der = subprocess.run(["openssl", "x509", "-in", str(self.publisher.cert), "-outform", "DER"],
                                         capture_output=True, check=True).stdout
        not_pkcs7 = struct.pack("<IHH", 8 + len(certificate_der), 0x0200, 0x0002) + certificate_der
        not_pkcs7 += bytes(-len(not_pkcs7) % 8)
        second_entry = signed + struct.pack("<IHH", 16, 0x0200, 0x0002) + bytes(8)
        cases = [
            ("entry longer than its table", patched(offset, "<I", size + 8), b"length does not fit"),
            ("entry shorter than its header", patched(offset, "<I", 4), b"length does not fit"),
            ("X.509 entry, not PKCS#7", patched(offset + 6, "<H", 1), b"not a PKCS#7 signature"),
            ("old entry revision", patched(offset + 4, "<H", 0x0100), b"not a PKCS#7 signature"),
            ("PKCS#7 damaged", patched(offset + 8, "<B", 0x31), b"no readable PKCS#7"),
            ("a certificate where the signature belongs",
             patched(entry + 4, "<I", len(not_pkcs7), data=signed[:offset] + not_pkcs7), b"no readable PKCS#7"),
            ("truncated in the certificate table", signed[:offset + size // 2], b"past the end of the file"),
            ("table placed past the end of the file", patched(entry, "<I", len(signed) + 8), b"past the end"),
            ("table size past the end of the file", patched(entry + 4, "<I", size + 4096), b"past the end"),
            ("two entries", patched(entry + 4, "<I", size + 16, data=second_entry), b"more than one entry"),
            ("program changed after signing", bytes(changed_program), b"differs from the one that was signed"),
        ]
        for name, program, why in cases:
            with self.subTest(name):
                source = self.write("in.exe", program)
                args = (source, self.out, "--affiliate", "1", "--remarks", "x")
                refused = self.assert_refused(args, why)
                self.assertIn(b"signed", refused.stderr)
                self.assertFalse(os.path.exists(self.out))
                self.assertEqual(self.read(source), program)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: stamp_tool_test.py PATH_TO_STAMP [unittest options]")
    STAMP = os.path.abspath(sys.argv.pop(1))
    unittest.main()
