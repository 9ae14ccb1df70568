"""Authenticode test signing: a code-signing CA and signer certificates made with
openssl, and osslsigncode (Debian package `osslsigncode`) to sign files with SHA-256.

  yoxa        CN "YOXA Corporation Private Limited": the signer the engine expects
  other_case  CN "Yoxa Corporation Private Limited": the same name in other letter
              case, which the engine must refuse (the comparison is case-sensitive)

The CA is not trusted anywhere, and does not need to be for the Wine tests: Wine's
WinVerifyTrust does not check the trust root of an Authenticode chain (see
shared/wine-notes.md), so a signature verifies whatever root it ends in.

Usage as a program: python3 codesign.py OUT_DIR [FILE...]
  makes the certificates under OUT_DIR and signs each FILE in place as "yoxa".
"""

import secrets
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

YOXA_SIGNER = "YOXA Corporation Private Limited"
OTHER_CASE_SIGNER = "Yoxa Corporation Private Limited"

# osslsigncode and Wine both handle RSA chains; 2048 bits keeps key generation quick.
KEY = ["-newkey", "rsa:2048"]

SIGNER_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


@dataclass(frozen=True)
class CodeSigner:
    common_name: str
    certificate: Path  # the signer's certificate, PEM
    chain: Path  # the signer's certificate followed by the CA's, PEM (what osslsigncode embeds)
    key: Path  # its private key, PEM


@dataclass(frozen=True)
class CodeSigningPki:
    ca_pem: Path
    ca_der: Path
    ca_key: Path
    yoxa: CodeSigner
    other_case: CodeSigner


def osslsigncode() -> str:
    """The osslsigncode program, or an error naming the package that provides it."""
    found = shutil.which("osslsigncode")
    if not found:
        raise RuntimeError("osslsigncode is not installed: apt-get install osslsigncode")
    return found


def _run(*command: str) -> None:
    completed = subprocess.run(list(command), stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if completed.returncode != 0:
        raise RuntimeError(f"{' '.join(command[:2])} failed ({completed.returncode}): "
                           f"{completed.stderr.decode(errors='replace')}{completed.stdout.decode(errors='replace')}")


def make_signer(out_dir: Path, ca_pem: Path, ca_key: Path, common_name: str, label: str) -> CodeSigner:
    """A code-signing certificate for common_name issued by the CA, with files named after label."""
    out_dir = Path(out_dir)
    signer = CodeSigner(common_name, out_dir / f"{label}.pem", out_dir / f"{label}-chain.pem", out_dir / f"{label}.key")
    request = out_dir / f"{label}.csr"
    extensions = out_dir / f"{label}.ext"
    extensions.write_text(SIGNER_EXTENSIONS)
    _run("openssl", "req", "-new", *KEY, "-nodes", "-sha256", "-keyout", str(signer.key), "-out", str(request),
         "-subj", f"/C=IN/O={common_name}/CN={common_name}")
    _run("openssl", "x509", "-req", "-sha256", "-days", "825", "-in", str(request),
         "-CA", str(ca_pem), "-CAkey", str(ca_key), "-set_serial", "0x" + secrets.token_hex(16),
         "-extfile", str(extensions), "-out", str(signer.certificate))
    signer.chain.write_text(signer.certificate.read_text() + ca_pem.read_text())
    return signer


def generate(out_dir: Path) -> CodeSigningPki:
    """Writes the CA and both signers under out_dir."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    ca_pem, ca_der, ca_key = out_dir / "codesign-ca.pem", out_dir / "codesign-ca.der", out_dir / "codesign-ca.key"
    _run("openssl", "req", "-x509", *KEY, "-nodes", "-sha256", "-days", "3650",
         "-keyout", str(ca_key), "-out", str(ca_pem),
         "-subj", "/O=Yoxa Test/CN=Yoxa Test Code Signing CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign",
         "-addext", "subjectKeyIdentifier=hash")
    _run("openssl", "x509", "-in", str(ca_pem), "-outform", "der", "-out", str(ca_der))
    return CodeSigningPki(
        ca_pem, ca_der, ca_key,
        yoxa=make_signer(out_dir, ca_pem, ca_key, YOXA_SIGNER, "yoxa"),
        other_case=make_signer(out_dir, ca_pem, ca_key, OTHER_CASE_SIGNER, "other-case"),
    )


def sign(path: Path, signer: CodeSigner, out: Optional[Path] = None, description: str = "Yoxa Office") -> Path:
    """Authenticode-signs path (a PE file or an MSI) with SHA-256 into out, or in place."""
    path = Path(path)
    target = Path(out) if out is not None else path
    signed = target.with_name(target.name + ".signing")
    signed.unlink(missing_ok=True)
    _run(osslsigncode(), "sign", "-certs", str(signer.chain), "-key", str(signer.key), "-h", "sha256",
         "-n", description, "-in", str(path), "-out", str(signed))
    signed.replace(target)
    return target


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: codesign.py OUT_DIR [FILE...]")
    made = generate(Path(sys.argv[1]))
    print(f"CA {made.ca_pem}; signers {made.yoxa.chain} ({made.yoxa.common_name}), "
          f"{made.other_case.chain} ({made.other_case.common_name})")
    for name in sys.argv[2:]:
        print(f"signed {sign(Path(name), made.yoxa)}")
