"""Test TLS certificates, made with openssl.

Two independent identities, each a root CA and a server certificate for
localhost (SAN DNS:localhost, IP:127.0.0.1, DNS:127.0.0.1) signed by it:
  trusted    the one tests add to trust stores (curl --cacert, the Wine prefix)
  untrusted  never trusted anywhere: a server presenting it must be refused

Usage as a program: python3 pki.py OUT_DIR [--rsa]
"""

import secrets
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

# P-256 keys cost nothing to make, and Wine's WinHTTP accepts ECDSA chains.
EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"]
RSA_KEY = ["-newkey", "rsa:2048"]

SERVER_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, {key_usage}
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, DNS:127.0.0.1
"""
# Wine's certificate name check compares an https://127.0.0.1 host with the DNS
# names only, so the address is a DNS name too: a redirect to it must reach the
# trusted-host check of the engine, not fail in TLS.


@dataclass(frozen=True)
class TlsIdentity:
    ca_pem: Path  # the root CA certificate, PEM
    ca_der: Path  # the same, DER (what Windows tools read most easily)
    cert: Path  # the localhost server certificate, PEM
    key: Path  # its private key, PEM


@dataclass(frozen=True)
class TestPki:
    trusted: TlsIdentity
    untrusted: TlsIdentity


def _openssl(*args: str) -> None:
    completed = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if completed.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {completed.stderr.decode(errors='replace')}")


def _make_identity(out: Path, label: str, key_args: list) -> TlsIdentity:
    out.mkdir(parents=True, exist_ok=True)
    identity = TlsIdentity(out / "ca.pem", out / "ca.der", out / "server.pem", out / "server.key")
    ca_key = out / "ca.key"
    _openssl("req", "-x509", *key_args, "-nodes", "-sha256", "-days", "3650",
             "-keyout", str(ca_key), "-out", str(identity.ca_pem),
             "-subj", f"/O=Yoxa Test/CN=Yoxa Test Root CA ({label})",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash")
    _openssl("x509", "-in", str(identity.ca_pem), "-outform", "der", "-out", str(identity.ca_der))

    request = out / "server.csr"
    extensions = out / "server.ext"
    # An EC key signs the handshake; only an RSA key may also encipher the secret.
    key_usage = "digitalSignature, keyEncipherment" if key_args == RSA_KEY else "digitalSignature"
    extensions.write_text(SERVER_EXTENSIONS.format(key_usage=key_usage))
    _openssl("req", "-new", *key_args, "-nodes", "-sha256", "-keyout", str(identity.key), "-out", str(request),
             "-subj", "/O=Yoxa Test/CN=localhost")
    _openssl("x509", "-req", "-sha256", "-days", "825", "-in", str(request),
             "-CA", str(identity.ca_pem), "-CAkey", str(ca_key),
             "-set_serial", "0x" + secrets.token_hex(16), "-extfile", str(extensions), "-out", str(identity.cert))
    return identity


def generate(out_dir: Path, rsa: bool = False) -> TestPki:
    """Writes both identities under out_dir/trusted and out_dir/untrusted."""
    key_args = RSA_KEY if rsa else EC_KEY
    out_dir = Path(out_dir)
    return TestPki(trusted=_make_identity(out_dir / "trusted", "trusted", key_args),
                   untrusted=_make_identity(out_dir / "untrusted", "untrusted", key_args))


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["--rsa"]):
        sys.exit("usage: pki.py OUT_DIR [--rsa]")
    made = generate(Path(sys.argv[1]), rsa=len(sys.argv) == 3)
    for name, identity in (("trusted", made.trusted), ("untrusted", made.untrusted)):
        print(f"{name}: CA {identity.ca_pem}, server {identity.cert}")
