"""Test PKI made with the real openssl command: EC P-256 keys, certificates really signed by a CA.

    pki = Pki(directory)          # creates what is missing, reuses what is there
    pki.ca.cert                   # CA certificate (PEM path)
    pki.server.cert, .key         # server certificate for 127.0.0.1 / localhost, signed by the CA
    pki.client("dev-1")           # client certificate (CN=dev-1) signed by the CA, made on first use
    pki.sign_csr(csr, out)        # sign a certificate request file with the CA
    pki.other_ca, pki.other_server, pki.other_client("x")   # a second, independent CA and its certificates

Keys are written with mode 0600, as a device keeps them.
"""
import os
import subprocess
import threading
from dataclasses import dataclass
from pathlib import Path

OPENSSL = "openssl"
DAYS = "3650"


@dataclass(frozen=True)
class Credential:
    cert: str
    key: str


def _run(*args, cwd=None):
    proc = subprocess.run([OPENSSL, *args], cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args), proc.stderr.strip()))
    return proc.stdout


def make_ec_key(path):
    """A fresh EC P-256 private key in PEM (PKCS#8), mode 0600."""
    path = str(path)
    _run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path + ".tmp")
    os.chmod(path + ".tmp", 0o600)
    os.replace(path + ".tmp", path)
    return path


def make_csr(key, subject, path):
    _run("req", "-new", "-key", str(key), "-subj", subject, "-out", str(path))
    return str(path)


class CertificateAuthority:
    """One CA in its own directory: ca.key, ca.crt, and what it signs."""

    def __init__(self, directory, name):
        self.dir = Path(directory)
        self.name = name
        self.cert = str(self.dir / "ca.crt")
        self.key = str(self.dir / "ca.key")
        self._lock = threading.Lock()

    def ensure(self):
        if Path(self.cert).exists() and Path(self.key).exists():
            return self
        self.dir.mkdir(parents=True, exist_ok=True)
        make_ec_key(self.key)
        _run("req", "-x509", "-new", "-key", self.key, "-sha256", "-days", DAYS,
             "-subj", "/O=Velmo Test/CN=" + self.name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-out", self.cert + ".tmp")
        os.replace(self.cert + ".tmp", self.cert)
        return self

    def sign_csr(self, csr_path, out_path, extensions=None, days=DAYS):
        """Signs the request file with this CA; writes the certificate (PEM) to out_path and returns it."""
        ext_file = None
        args = ["x509", "-req", "-in", str(csr_path), "-CA", self.cert, "-CAkey", self.key,
                "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", str(days), "-sha256",
                "-out", str(out_path)]
        if extensions:
            ext_file = str(out_path) + ".ext"
            Path(ext_file).write_text(extensions)
            args += ["-extfile", ext_file]
        try:
            with self._lock:
                _run(*args)
        finally:
            if ext_file:
                os.unlink(ext_file)
        return str(out_path)

    def issue(self, name, kind, alt_names="IP:127.0.0.1,DNS:localhost"):
        """Key and certificate CN=name, for a "server" (alt_names) or a "client"."""
        base = self.dir / name
        cert, key = str(base) + ".crt", str(base) + ".key"
        if Path(cert).exists() and Path(key).exists():
            return Credential(cert, key)
        make_ec_key(key)
        csr = make_csr(key, "/O=Velmo Test/CN=" + name, str(base) + ".csr")
        if kind == "server":
            ext = ("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=serverAuth\nsubjectAltName=%s\n" % alt_names)
        else:
            ext = ("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=clientAuth\n")
        self.sign_csr(csr, cert + ".tmp", ext)
        os.replace(cert + ".tmp", cert)
        os.unlink(csr)
        return Credential(cert, key)


class Pki:
    """The test PKI of one directory: the CA with its server certificate, and an independent second CA."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.ca = CertificateAuthority(self.dir / "ca", "Velmo Test CA").ensure()
        self.server = self.ca.issue("server", "server")
        self.other_ca = CertificateAuthority(self.dir / "other-ca", "Other Test CA").ensure()
        self.other_server = self.other_ca.issue("server", "server")

    def server_for(self, name, alt_names):
        """A server certificate of the CA for other names (to see a host-name check fail)."""
        return self.ca.issue("server-" + name, "server", alt_names)

    def client(self, name):
        """A client certificate CN=name signed by the CA (made once, then reused)."""
        return self.ca.issue("client-" + name, "client")

    def other_client(self, name):
        """A client certificate CN=name signed by the second CA."""
        return self.other_ca.issue("client-" + name, "client")

    def sign_csr(self, csr_path, out_path, days=DAYS):
        """Signs a device's certificate request with the CA as a client certificate."""
        ext = "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n"
        return self.ca.sign_csr(csr_path, out_path, ext, days)
