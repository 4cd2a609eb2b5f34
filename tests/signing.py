"""Authenticode signing for the tests: a self-signed code-signing certificate made with openssl,
files signed and verified with osslsigncode (Debian's packages).

As a module:
    publisher = TestPublisher(directory)          # makes directory/cert.pem and key.pem once
    publisher.sign(source, target)                # extra osslsigncode options may follow
    ok, output = publisher.verify(path)           # osslsigncode verify against this certificate

As a program (for shell scripts):
    python3 tests/signing.py DIRECTORY SOURCE TARGET [osslsigncode sign options...]
signs SOURCE as TARGET with the certificate kept in DIRECTORY (made there when missing).
"""
import subprocess
import sys
from pathlib import Path


class TestPublisher:
    def __init__(self, directory, name="Pellmorrow Test Publisher"):
        """Keeps its key and certificate in directory; a directory that already holds them is
        reused as it is, so two publishers need two directories."""
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.cert = self.directory / "cert.pem"
        self.key = self.directory / "key.pem"
        if not (self.cert.exists() and self.key.exists()):
            run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
                 "-subj", "/CN=" + name, "-addext", "extendedKeyUsage=codeSigning",
                 "-addext", "keyUsage=critical,digitalSignature",
                 "-keyout", str(self.key), "-out", str(self.cert)])

    def sign(self, source, target, *options):
        """Signs source as target (SHA-256, no timestamp: the tests have no network)."""
        Path(target).unlink(missing_ok=True)  # osslsigncode will not replace a file
        run(["osslsigncode", "sign", "-certs", str(self.cert), "-key", str(self.key), "-h", "sha256",
             *options, "-in", str(source), "-out", str(target)])

    def verify(self, path):
        """(passed, osslsigncode's report) for path, trusting this publisher's certificate."""
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.cert), "-in", str(path)],
                              capture_output=True, text=True, errors="replace", timeout=60)
        return done.returncode == 0, done.stdout + done.stderr


def run(command):
    done = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}): {done.stdout}{done.stderr}")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: signing.py DIRECTORY SOURCE TARGET [osslsigncode sign options...]")
    TestPublisher(sys.argv[1]).sign(sys.argv[2], sys.argv[3], *sys.argv[4:])
