"""https for the local server: a self-signed certificate for 127.0.0.1 and localhost, made with
the `cryptography` package when it is installed, else with `openssl` on PATH."""

from __future__ import annotations

import datetime
import ipaddress
import os
import shutil
import ssl
import subprocess
import tempfile
from pathlib import Path


class TlsError(RuntimeError):
    """No certificate could be made or loaded; the message says what to do."""


def _with_cryptography(cert: Path, key: Path) -> bool:
    try:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID
    except ImportError:
        return False
    private = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.UTC)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(private.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(
            x509.SubjectAlternativeName(
                [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
            ),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(private, hashes.SHA256())
    )
    key.write_bytes(
        private.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        )
    )
    cert.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    return True


def _with_openssl(cert: Path, key: Path) -> bool:
    openssl = shutil.which("openssl")
    if openssl is None:
        return False
    command = [
        openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-days", "30", "-subj", "/CN=localhost", "-keyout", str(key), "-out", str(cert),
        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
    ]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise TlsError(f"openssl could not make a certificate: {done.stderr.strip()}")
    return True


def make_self_signed() -> tuple[Path, Path]:
    """A new certificate and key in a private temporary folder; the caller removes the folder."""
    folder = Path(tempfile.mkdtemp(prefix="kavrel-emulator-tls-"))
    cert, key = folder / "cert.pem", folder / "key.pem"
    old_mask = os.umask(0o077)
    try:
        if _with_cryptography(cert, key) or _with_openssl(cert, key):
            return cert, key
    finally:
        os.umask(old_mask)
    shutil.rmtree(folder, ignore_errors=True)
    raise TlsError(
        "--tls needs the cryptography package or openssl on PATH to make a certificate; "
        "install one, or pass --tls-cert and --tls-key"
    )


def server_context(cert: str | os.PathLike[str], key: str | os.PathLike[str]) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.load_cert_chain(cert, key)
    except (OSError, ssl.SSLError) as error:
        raise TlsError(f"cannot use the certificate {cert} with the key {key}: {error}") from None
    return context
