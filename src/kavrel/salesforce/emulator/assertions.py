"""JWT bearer assertions (RFC 7523) as an org checks them: signed RS256 with the key whose
certificate the connected app holds (`--jwt-cert FILE`), for this server (`aud`), not expired.

Checking a signature needs only the certificate's public key (modulus and exponent) and one
modular exponentiation, so it is done here without a crypto library: the server runs wherever
Python does, 32-bit ARM included, with neither the cryptography package nor openssl.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import json
import re
import time
from collections.abc import Iterator
from os import PathLike
from pathlib import Path
from typing import Any

# The DER of AlgorithmIdentifier's OID rsaEncryption (1.2.840.113549.1.1.1).
_RSA_ENCRYPTION = bytes.fromhex("06092a864886f70d010101")
# DigestInfo for SHA-256 before the digest itself (RFC 8017 §9.2, note 1).
_SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")
_PEM_CERTIFICATE = re.compile(
    r"-----BEGIN CERTIFICATE-----(.+?)-----END CERTIFICATE-----", re.DOTALL
)


class AssertionRefused(Exception):
    """The assertion does not log anyone in: `error` and `description` as the org answers."""

    def __init__(self, error: str, description: str) -> None:
        super().__init__(description)
        self.error = error
        self.description = description


class RsaKey:
    """The public half of an RSA key: what verifying a signature needs."""

    def __init__(self, modulus: int, exponent: int) -> None:
        self.modulus = modulus
        self.exponent = exponent

    def verifies(self, message: bytes, signature: bytes) -> bool:
        """RSASSA-PKCS1-v1_5 with SHA-256 (RFC 8017 §8.2.2): the signature raised to the public
        exponent must be exactly the padded DigestInfo of the message's hash."""
        size = (self.modulus.bit_length() + 7) // 8
        if len(signature) != size or int.from_bytes(signature, "big") >= self.modulus:
            return False
        opened = pow(int.from_bytes(signature, "big"), self.exponent, self.modulus)
        digest_info = _SHA256_DIGEST_INFO + hashlib.sha256(message).digest()
        padding = b"\xff" * (size - len(digest_info) - 3)
        expected = b"\x00\x01" + padding + b"\x00" + digest_info
        return hmac.compare_digest(opened.to_bytes(size, "big"), expected)


def _der_children(der: bytes, start: int, end: int) -> Iterator[tuple[int, int, int]]:
    """The (tag, content start, content end) of each DER element between `start` and `end`."""
    at = start
    while at < end:
        if at + 2 > end:
            raise ValueError("a DER element is cut short")
        tag, length = der[at], der[at + 1]
        at += 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(der[at : at + count], "big")
            at += count
        if at + length > end:
            raise ValueError("a DER element is longer than what holds it")
        yield tag, at, at + length
        at += length


def _sequence(der: bytes, start: int, end: int) -> list[tuple[int, int, int]]:
    return list(_der_children(der, start, end))


def rsa_key_of_certificate(pem: str) -> RsaKey:
    """The RSA public key of a PEM certificate; ValueError when it holds none."""
    found = _PEM_CERTIFICATE.search(pem)
    if found is None:
        raise ValueError("it holds no PEM certificate (-----BEGIN CERTIFICATE-----)")
    try:
        der = base64.b64decode("".join(found[1].split()), validate=True)
    except binascii.Error:
        raise ValueError("its certificate is not valid base64") from None
    # Certificate ::= SEQUENCE { tbsCertificate, ... }; tbsCertificate ::= SEQUENCE { [0] version
    # OPTIONAL, serial, signature, issuer, validity, subject, subjectPublicKeyInfo, ... }
    (_, start, end), *_ = _sequence(der, 0, len(der))
    (_, start, end), *_ = _sequence(der, start, end)
    fields = _sequence(der, start, end)
    first = 1 if fields and fields[0][0] == 0xA0 else 0
    if len(fields) < first + 6:
        raise ValueError("its certificate has no public key")
    _, start, end = fields[first + 5]
    (_, alg_start, alg_end), (bits_tag, bits_start, bits_end) = _sequence(der, start, end)[:2]
    if not der[alg_start:alg_end].startswith(_RSA_ENCRYPTION) or bits_tag != 0x03:
        raise ValueError("its certificate holds no RSA key (RS256 needs one)")
    (_, start, end), *_ = _sequence(der, bits_start + 1, bits_end)  # after the unused-bits byte
    (_, n_start, n_end), (_, e_start, e_end) = _sequence(der, start, end)[:2]
    return RsaKey(
        int.from_bytes(der[n_start:n_end], "big"), int.from_bytes(der[e_start:e_end], "big")
    )


def load_certificate(path: str | PathLike[str]) -> RsaKey:
    """The key of the certificate file given as --jwt-cert; ValueError saying what is wrong."""
    try:
        text = Path(path).read_text(encoding="ascii", errors="replace")
    except OSError as error:
        raise ValueError(f"cannot read the JWT certificate {path}: {error.strerror}") from None
    try:
        return rsa_key_of_certificate(text)
    except (ValueError, IndexError) as error:
        raise ValueError(f"the JWT certificate {path} cannot be used: {error}") from None


def _decoded(part: str) -> bytes:
    return base64.urlsafe_b64decode(part + "=" * (-len(part) % 4))


def _json_part(part: str) -> dict[str, Any]:
    document = json.loads(_decoded(part))
    if not isinstance(document, dict):
        raise ValueError("not a JSON object")
    return document


def check_assertion(
    assertion: str, key: RsaKey | None, audience: str, client_id: str | None
) -> str:
    """The username (`sub`) an assertion logs in; AssertionRefused as an org refuses it.

    `audience` is this server's URL as the client reached it; `client_id` the one the server
    expects (None: any)."""
    invalid = AssertionRefused("invalid_grant", "invalid assertion")
    if key is None:
        raise AssertionRefused(
            "invalid_grant", "no certificate for JWT assertions (start the server with --jwt-cert)"
        )
    parts = assertion.split(".")
    if len(parts) != 3:
        raise invalid
    try:
        header, claims = _json_part(parts[0]), _json_part(parts[1])
        signature = _decoded(parts[2])
    except (ValueError, binascii.Error):
        raise invalid from None
    signed = f"{parts[0]}.{parts[1]}".encode("ascii", "replace")
    if header.get("alg") != "RS256" or not key.verifies(signed, signature):
        raise invalid
    if client_id is not None and claims.get("iss") != client_id:
        raise AssertionRefused("invalid_client_id", "client identifier invalid")
    audiences = claims.get("aud")
    audiences = audiences if isinstance(audiences, list) else [audiences]
    if audience.rstrip("/") not in [str(a).rstrip("/") for a in audiences]:
        raise AssertionRefused("invalid_grant", "audience is invalid")
    expires = claims.get("exp")
    if isinstance(expires, bool) or not isinstance(expires, int | float) or expires <= time.time():
        raise AssertionRefused("invalid_grant", "expired assertion")
    subject = claims.get("sub")
    if not isinstance(subject, str) or not subject:
        raise invalid
    return subject
