"""Authenticode signing for the tests, with everything a publisher's pipeline has, made here with
openssl: a certificate authority, a code-signing certificate it issues (with the validity dates a
test asks for), and an RFC 3161 timestamp authority answering on loopback (openssl ts behind a
small HTTP server, its certificate issued by an authority of its own). Files are signed,
timestamped and verified with osslsigncode (Debian's packages).

As a module:
    publisher = TestPublisher(directory)          # makes its authority, key and certificate once
    publisher.sign(source, target)                # signed and timestamped now
    publisher.sign(source, target, at=T)          # as of T (seconds since 1970): signer and TSA
    publisher.sign(source, target, timestamp=False)
    ok, output = publisher.verify(path, at=T)     # osslsigncode verify as of T (default: now)

As a program (for shell scripts):
    python3 tests/signing.py DIRECTORY SOURCE TARGET [osslsigncode sign options...]
signs and timestamps SOURCE as TARGET with the publisher kept in DIRECTORY (made there when
missing).
"""
import atexit
import base64
import calendar
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

_CONFIG = """
[ca]
default_ca = authority

[authority]
dir = {folder}
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no

[any_name]
commonName = supplied

[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[lifetime_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning, 1.3.6.1.4.1.311.10.3.13
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[time_stamping]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[tsa]
default_tsa = loopback

[loopback]
dir = {folder}
serial = $dir/tsa-serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
certs = $dir/tsa-chain.pem
signer_key = $dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

# The authorities' own certificates outlast every date the tests sign or check at.
AUTHORITY_VALIDITY = ("20000101000000Z", "20991231235959Z")
DAY = 24 * 3600


def utc(text):
    """Seconds since 1970 of a UTC date "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS"."""
    if len(text) == 10:
        text += " 00:00:00"
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def asn1_time(seconds):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(seconds))


def at_time(seconds, command):
    """command run with the system clock showing `seconds` (faketime), or as it is for None."""
    if seconds is None:
        return command
    return ["faketime", "-f", "@" + time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds)), *command]


def run(command, env=None):
    done = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=120,
                          env={**os.environ, "TZ": "UTC", **(env or {})})
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}): {done.stdout}{done.stderr}")
    return done


class Authority:
    """A certificate authority kept in `folder`: a self-signed root that issues certificates with
    explicit validity dates (openssl ca), and the configuration openssl ts reads."""

    def __init__(self, folder, name):
        self.folder = Path(folder)
        self.config = self.folder / "openssl.cnf"
        self.cert = self.folder / "root.pem"
        self.key = self.folder / "root.key"
        if self.cert.exists():
            return
        (self.folder / "issued").mkdir(parents=True, exist_ok=True)
        self.config.write_text(_CONFIG.format(folder=self.folder))
        (self.folder / "index.txt").write_text("")
        (self.folder / "serial").write_text("1000\n")
        (self.folder / "tsa-serial").write_text("01\n")
        request = self.folder / "root.csr"
        run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
             "-keyout", str(self.key), "-out", str(request)])
        self._sign(request, self.cert, "root", AUTHORITY_VALIDITY, "-selfsign", "-keyfile", str(self.key))

    def issue(self, name, kind, key, cert, valid):
        """cert for `key` (made when missing), named `name`, of extension section `kind`
        ("code_signing" or "time_stamping"), valid from valid[0] to valid[1] (seconds)."""
        request = Path(str(cert) + ".csr")
        key_options = ["-key", str(key)] if Path(key).exists() else ["-newkey", "rsa:2048", "-nodes", "-keyout", str(key)]
        run(["openssl", "req", "-new", *key_options, "-subj", "/CN=" + name, "-out", str(request)])
        self._sign(request, cert, kind, tuple(map(asn1_time, valid)), "-cert", str(self.cert), "-keyfile", str(self.key))

    def _sign(self, request, cert, kind, valid, *options):
        run(["openssl", "ca", "-batch", "-notext", "-config", str(self.config), "-extensions", kind,
             "-startdate", valid[0], "-enddate", valid[1], *options, "-in", str(request), "-out", str(cert)])


class TimestampAuthority:
    """An RFC 3161 timestamp authority on 127.0.0.1 at a port of the system's choosing. Its
    certificate is issued by a root of its own (`root`, for verifying). POST a request to
    /  for a timestamp of the present moment, to /at/SECONDS for one of that moment (openssl
    runs under faketime: signing "in the past" for certificates that have since expired), and
    to /foreign/ for a timestamp of another digest than the one asked for, as a timestamp
    copied from another signature would be. Under /authenticode/ it answers Authenticode's
    older timestamp requests (a countersignature, openssl cms) the same ways."""

    def __init__(self, folder):
        self.authority = Authority(Path(folder), "Pellmorrow Test Timestamp Root")
        folder = self.authority.folder
        self.root = self.authority.cert
        if not (folder / "tsa.pem").exists():
            self.authority.issue("Pellmorrow Test Timestamp Authority", "time_stamping", folder / "tsa.key",
                                 folder / "tsa.pem", (utc("2000-01-01"), utc("2099-12-31")))
            (folder / "tsa-chain.pem").write_text((folder / "tsa.pem").read_text() + self.root.read_text())
        self.lock = threading.Lock()  # openssl ts keeps its serial number in a file
        authority = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                path = self.path
                older = path.startswith("/authenticode/")
                if older:
                    query, path = countersigned_value(base64.b64decode(query)), path[len("/authenticode"):]
                if path.startswith("/foreign/"):
                    query, path = (query[:-1] + bytes([query[-1] ^ 1])) if older else other_digest(query), \
                        path[len("/foreign"):]
                moment = int(path[4:]) if path.startswith("/at/") else None
                try:
                    if older:
                        reply, status = base64.b64encode(authority.countersign(query, moment)), 200
                    else:
                        reply, status = authority.reply(query, moment), 200
                except RuntimeError as error:
                    reply, status = str(error).encode(), 500
                self.send_response(status)
                self.send_header("Content-Type", "application/octet-stream" if older else "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url_at(self, seconds, foreign=False, authenticode=False):
        return (self.url + ("authenticode/" if authenticode else "") + ("foreign/" if foreign else "") +
                ("" if seconds is None else f"at/{int(seconds)}"))

    def reply(self, query, seconds=None):
        with self.lock, tempfile.TemporaryDirectory() as folder:
            query_file, reply_file = Path(folder) / "query.tsq", Path(folder) / "reply.tsr"
            query_file.write_bytes(query)
            run(at_time(seconds, ["openssl", "ts", "-reply", "-config", str(self.authority.config),
                                  "-queryfile", str(query_file), "-out", str(reply_file)]))
            return reply_file.read_bytes()

    def countersign(self, value, seconds=None):
        """Authenticode's older timestamp: a PKCS#7 signed data over value, whose signer info
        (with the signing time) becomes the countersignature."""
        folder = self.authority.folder
        with tempfile.TemporaryDirectory() as scratch:
            value_file, reply_file = Path(scratch) / "value", Path(scratch) / "reply.p7"
            value_file.write_bytes(value)
            run(at_time(seconds, ["openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha256",
                                  "-signer", str(folder / "tsa.pem"), "-inkey", str(folder / "tsa.key"),
                                  "-certfile", str(self.root), "-in", str(value_file), "-outform", "DER",
                                  "-out", str(reply_file)]))
            return reply_file.read_bytes()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def der_element(data, at):
    """(where its contents start, where it ends) of the DER element at `at` in data."""
    length, start = data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, start = int.from_bytes(data[start:start + count], "big"), start + count
    return start, start + length


def other_digest(query):
    """A timestamp request for another digest: the last byte of its message imprint changed.
    TimeStampReq ::= SEQUENCE { version INTEGER, messageImprint SEQUENCE { hashAlgorithm
    AlgorithmIdentifier, hashedMessage OCTET STRING }, ... }"""
    request, _ = der_element(query, 0)
    _, version_end = der_element(query, request)
    imprint, _ = der_element(query, version_end)
    _, algorithm_end = der_element(query, imprint)
    _, digest_end = der_element(query, algorithm_end)
    return query[:digest_end - 1] + bytes([query[digest_end - 1] ^ 1]) + query[digest_end:]


def countersigned_value(query):
    """What an Authenticode timestamp request asks to have countersigned, the signature value.
    TimeStampRequest ::= SEQUENCE { countersignatureType OBJECT IDENTIFIER, content SEQUENCE {
    contentType OBJECT IDENTIFIER, content [0] EXPLICIT OCTET STRING } }"""
    request, _ = der_element(query, 0)
    _, type_end = der_element(query, request)
    content, _ = der_element(query, type_end)
    _, content_type_end = der_element(query, content)
    explicit, _ = der_element(query, content_type_end)
    start, end = der_element(query, explicit)
    return query[start:end]


_timestamps = None


def timestamps():
    """The process's one timestamp authority, started at first use and stopped at exit."""
    global _timestamps
    if _timestamps is None:
        folder = tempfile.mkdtemp(prefix="pellmorrow-tsa-")
        _timestamps = TimestampAuthority(folder)
        atexit.register(shutil.rmtree, folder, True)
        atexit.register(_timestamps.stop)
    return _timestamps


class TestPublisher:
    def __init__(self, directory, name="Pellmorrow Test Publisher", valid=None, authority=None,
                 kind="code_signing"):
        """Keeps its key and certificate (valid from valid[0] to valid[1] in seconds since 1970; by
        default from yesterday for ten years) in directory, and the authority that issues it
        unless one is given; a directory that already holds them is reused as it is, so two
        publishers need two directories. kind "lifetime_signing" adds the lifetime-signing
        usage, with which Windows lets signatures expire with the certificate."""
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.name = name
        self.authority = authority or Authority(self.directory / "authority", name + " Root")
        self.cert = self.directory / "cert.pem"
        self.key = self.directory / "key.pem"
        # What a signature carries: the certificate and its issuer's.
        self.chain = self.directory / "chain.pem"
        if not self.chain.exists():
            now = int(time.time())
            self.authority.issue(name, kind, self.key, self.cert, valid or (now - DAY, now + 3650 * DAY))
            self.chain.write_text(self.cert.read_text() + self.authority.cert.read_text())

    def renewed(self, directory, valid=None):
        """The same publisher in `directory` with a new certificate from the same authority for
        the same key, as a renewal gives."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        shutil.copy(self.key, directory / "key.pem")
        return TestPublisher(directory, self.name, valid, self.authority)

    def sign(self, source, target, *options, at=None, timestamp=True):
        """Signs source as target (SHA-256) as of `at` (seconds since 1970; default now), with an
        RFC 3161 timestamp of that moment from the tests' own timestamp authority unless
        timestamp is False; "authenticode": one in Authenticode's older form; either with
        "-foreign" (or "foreign" alone): one of another signature."""
        Path(target).unlink(missing_ok=True)  # osslsigncode will not replace a file
        stamping = []
        if timestamp:
            older = str(timestamp).startswith("authenticode")
            url = timestamps().url_at(at, str(timestamp).endswith("foreign"), older)
            stamping = ["-t" if older else "-ts", url]
        # The timestamp authority is on loopback: never through a proxy the environment names.
        run(at_time(at, ["osslsigncode", "sign", "-certs", str(self.chain), "-key", str(self.key), "-h", "sha256",
                         *stamping, *options, "-in", str(source), "-out", str(target)]),
            env={"no_proxy": "127.0.0.1", "NO_PROXY": "127.0.0.1"})

    def verify(self, path, at=None):
        """(passed, osslsigncode's report) for path as of `at` (seconds since 1970; default now),
        trusting this publisher's authority and the tests' timestamp authority. A signature
        with a valid timestamp is checked as of the timestamp's time, as Windows does."""
        moment = ["-time", str(int(at))] if at is not None else []
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.authority.cert),
                               "-TSA-CAfile", str(timestamps().root), *moment, "-in", str(path)],
                              capture_output=True, text=True, errors="replace", timeout=60)
        return done.returncode == 0, done.stdout + done.stderr


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: signing.py DIRECTORY SOURCE TARGET [osslsigncode sign options...]")
    TestPublisher(sys.argv[1]).sign(sys.argv[2], sys.argv[3], *sys.argv[4:])
