"""TLS certificates made by the tests themselves (openssl): a test authority, server certificates
it issues, and trusting it in the Wine prefix."""
import hashlib
import struct
import subprocess
from collections import namedtuple
from pathlib import Path

from winehost import reg_add, reg_delete

ROOTS = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"

# A private key and its certificate chain file (the certificate, then its authority's).
Credential = namedtuple("Credential", "key chain")

_EXTENSIONS = """
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = ${ENV::SAN}
"""


def _openssl(*args, san="DNS:unused.invalid"):
    result = subprocess.run(["openssl", *map(str, args)], capture_output=True, text=True,
                            env={"SAN": san, "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr


class Authority:
    """A certificate authority in `folder`, issuing server certificates."""

    def __init__(self, folder, name):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.config = self.folder / "extensions.cnf"
        self.config.write_text(_EXTENSIONS)
        self.key, self.cert = self._paths(name)
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
                 "-days", "30", "-subj", "/CN=" + name, "-config", self.config, "-extensions", "authority")

    def _paths(self, name):
        stem = name.replace(" ", "_")
        return self.folder / (stem + ".key"), self.folder / (stem + ".crt")

    def issue(self, name, san):
        """A new key and its server certificate for the subject alternative names `san`."""
        key, cert = self._paths(name)
        request = self.folder / (key.stem + ".csr")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=" + name)
        _openssl("x509", "-req", "-in", request, "-CA", self.cert, "-CAkey", self.key, "-set_serial",
                 str(int.from_bytes(hashlib.sha1(name.encode()).digest()[:8], "big")), "-days", "30",
                 "-out", cert, "-extfile", self.config, "-extensions", "server", san=san)
        chain = self.folder / (key.stem + ".chain.pem")
        chain.write_text(cert.read_text() + self.cert.read_text())
        return Credential(key, chain)

    def der(self):
        out = self.folder / (self.key.stem + ".der")
        _openssl("x509", "-in", self.cert, "-outform", "DER", "-out", out)
        return out.read_bytes()


def trust_root(authority):
    """Adds the authority to the prefix's trusted roots, as a system store of the registry holds
    them: a serialized certificate under its SHA-1 thumbprint."""
    der = authority.der()
    thumbprint = hashlib.sha1(der).hexdigest().upper()
    blob = struct.pack("<III", 32, 1, len(der)) + der  # CERT_CERT_PROP_ID, then the encoded certificate
    reg_add(ROOTS + "\\" + thumbprint, "Blob", blob.hex(), kind="REG_BINARY")
    return thumbprint


def untrust_root(thumbprint):
    reg_delete(ROOTS + "\\" + thumbprint)
