"""Signing of meta.json: the one place that knows the format the engine verifies.

    meta.json.sig   base64 (standard alphabet, with padding) of the 64-byte raw ECDSA
                    P-256 signature r||s (each 32 bytes, big-endian) over SHA-256 of the
                    exact bytes of meta.json, and a line feed.
    public key      in the configuration's "metaSigningKeys": base64 of the 65-byte
                    uncompressed X9.62 point (0x04, X, Y).
    private key     a PEM file (PKCS#8, unencrypted) holding a P-256 key.

The cryptography library signs in DER (an ASN.1 SEQUENCE of r and s); the engine's
Windows verifier (BCryptVerifySignature) takes r||s, so the signature is converted here.
Needs the Debian package python3-cryptography.
"""

import base64
from pathlib import Path

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature

COORDINATE_BYTES = 32


class KeyProblem(Exception):
    """A key file that cannot sign meta.json; the message says why."""


def load_private_key(path: Path) -> ec.EllipticCurvePrivateKey:
    try:
        key = serialization.load_pem_private_key(Path(path).read_bytes(), password=None)
    except (OSError, ValueError, TypeError) as error:
        raise KeyProblem(f"cannot read the signing key {path}: {error}") from None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or not isinstance(key.curve, ec.SECP256R1):
        raise KeyProblem(f"the signing key {path} is not a P-256 (prime256v1) key")
    return key


def new_private_key() -> ec.EllipticCurvePrivateKey:
    return ec.generate_private_key(ec.SECP256R1())


def private_key_pem(key: ec.EllipticCurvePrivateKey) -> bytes:
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def public_key_text(key) -> str:
    """The form "metaSigningKeys" takes."""
    public = key.public_key() if isinstance(key, ec.EllipticCurvePrivateKey) else key
    point = public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    return base64.b64encode(point).decode("ascii")


def sign(data: bytes, key: ec.EllipticCurvePrivateKey) -> bytes:
    """The content of meta.json.sig for the exact bytes `data`."""
    r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    raw = r.to_bytes(COORDINATE_BYTES, "big") + s.to_bytes(COORDINATE_BYTES, "big")
    return base64.b64encode(raw) + b"\n"


def verify(data: bytes, signature_file: bytes, public_text: str) -> bool:
    """Whether meta.json.sig content verifies `data` with a "metaSigningKeys" entry."""
    raw = base64.b64decode(signature_file.strip(), validate=True)
    if len(raw) != 2 * COORDINATE_BYTES:
        return False
    public = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), base64.b64decode(public_text))
    der = encode_dss_signature(int.from_bytes(raw[:COORDINATE_BYTES], "big"),
                               int.from_bytes(raw[COORDINATE_BYTES:], "big"))
    try:
        public.verify(der, data, ec.ECDSA(hashes.SHA256()))
        return True
    except Exception:  # cryptography raises InvalidSignature
        return False
