"""The assertion of the OAuth 2.0 JWT bearer flow (RFC 7523): a JSON Web Token naming the
connected app (`iss`), the user to log in (`sub`) and the login host (`aud`), good for a few
minutes (`exp`), signed RS256 with the private key whose certificate the connected app holds.

It is signed with the `cryptography` package, or where that is missing (it has no 32-bit ARM
wheel) with the `openssl` command; with neither, the error says what to install. The key file is
read as it is: an encrypted key would need its passphrase kept somewhere, so it is refused with
the command that writes an unencrypted copy.
"""

from __future__ import annotations

import base64
import json
import shutil
import subprocess
import time
from collections.abc import Callable
from pathlib import Path

# Salesforce takes an assertion whose `exp` is at most three minutes ahead.
LIFETIME_SECONDS = 180


class SigningError(Exception):
    """No assertion could be signed; the text says why and what to do, never the key."""


def _encoded(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def read_key(key_file: str | Path) -> bytes:
    """The PEM text of an unencrypted private key file; SigningError saying what is wrong."""
    path = Path(key_file).expanduser()
    try:
        pem = path.read_bytes()
    except OSError as error:
        raise SigningError(f"cannot read the JWT key file {path}: {error.strerror}") from None
    if b"-----BEGIN" not in pem or b"PRIVATE KEY-----" not in pem:
        raise SigningError(f"the JWT key file {path} holds no PEM private key")
    if b"ENCRYPTED" in pem:
        raise SigningError(
            f"the JWT key file {path} is encrypted; keep an unencrypted copy readable by you "
            f"only: openssl pkey -in {path} -out KEY.pem && chmod 600 KEY.pem"
        )
    return pem


def _with_cryptography(data: bytes, pem: bytes, key_file: Path) -> bytes | None:
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import padding, rsa
    except ImportError:
        return None
    try:
        key = serialization.load_pem_private_key(pem, password=None)
    except (ValueError, TypeError) as error:
        raise SigningError(f"the JWT key file {key_file} cannot be read: {error}") from None
    if not isinstance(key, rsa.RSAPrivateKey):
        raise SigningError(f"the JWT key file {key_file} holds no RSA key (RS256 needs one)")
    return key.sign(data, padding.PKCS1v15(), hashes.SHA256())


def _with_openssl(data: bytes, _pem: bytes, key_file: Path) -> bytes | None:
    openssl = shutil.which("openssl")
    if openssl is None:
        return None
    # An empty passphrase on the command line: openssl must fail, never ask on the terminal.
    for command, stdin in (
        ([openssl, "rsa", "-in", str(key_file), "-passin", "pass:", "-noout"], b""),
        ([openssl, "dgst", "-sha256", "-sign", str(key_file), "-passin", "pass:"], data),
    ):
        done = subprocess.run(command, input=stdin, capture_output=True, check=False)
        if done.returncode != 0:
            problem = done.stderr.decode("utf-8", "replace").strip().splitlines()
            raise SigningError(
                f"openssl cannot sign with the JWT key file {key_file} (it needs an "
                f"unencrypted RSA key): {problem[0] if problem else 'no reason given'}"
            )
    return done.stdout


Signer = Callable[[bytes, bytes, Path], bytes | None]
SIGNERS: tuple[Signer, ...] = (_with_cryptography, _with_openssl)


def sign_rs256(data: bytes, key_file: str | Path, signers: tuple[Signer, ...] = SIGNERS) -> bytes:
    """The RSASSA-PKCS1-v1_5 SHA-256 signature of `data` by the key in `key_file`, made by the
    first of `signers` that is available."""
    path = Path(key_file).expanduser()
    pem = read_key(path)
    for signer in signers:
        signature = signer(data, pem, path)
        if signature is not None:
            return signature
    raise SigningError(
        "signing a JWT assertion needs the cryptography package (pip install cryptography) "
        "or the openssl command (apt-get install openssl)"
    )


def assertion(
    client_id: str,
    username: str,
    audience: str,
    key_file: str | Path,
    now: float | None = None,
    signers: tuple[Signer, ...] = SIGNERS,
) -> str:
    """The signed assertion that logs `username` in through the connected app `client_id`."""
    issued = int(time.time() if now is None else now)
    header = {"alg": "RS256"}
    claims = {"iss": client_id, "sub": username, "aud": audience, "exp": issued + LIFETIME_SECONDS}
    signing_input = ".".join(
        _encoded(json.dumps(part, separators=(",", ":")).encode("utf-8"))
        for part in (header, claims)
    )
    signature = sign_rs256(signing_input.encode("ascii"), key_file, signers)
    return f"{signing_input}.{_encoded(signature)}"
