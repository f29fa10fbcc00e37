from __future__ import annotations

from pathlib import Path

import pytest


@pytest.fixture(autouse=True)
def _home_of_the_run(tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch):
    """Loads keep journals in the home directory: a test that asks for no `home` of its own
    still writes them in one of the run's, never in the user's."""
    shared = tmp_path_factory.getbasetemp() / "shared-home"
    shared.mkdir(exist_ok=True)
    monkeypatch.setenv("HOME", str(shared))


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A fresh, empty home directory for the test (Path.home() and ~ resolve to it), where new
    files are private to their owner, as the store wants its secrets."""
    import os

    home_dir = tmp_path / "home"
    home_dir.mkdir()
    monkeypatch.setenv("HOME", str(home_dir))
    old_umask = os.umask(0o077)
    yield home_dir
    os.umask(old_umask)


@pytest.fixture
def private_key():
    """Writes a PEM private key to a path and returns the path: a real PKCS#8 RSA key from the
    cryptography package or openssl, whichever is installed (encrypted when a passphrase is
    given), else a block of the same shape, which is all the profile commands look at where
    passphrases cannot be checked."""
    import base64
    import shutil
    import subprocess

    def make(path: Path, passphrase: str | None = None) -> Path:
        try:
            from cryptography.hazmat.primitives import serialization
            from cryptography.hazmat.primitives.asymmetric import rsa
        except ImportError:
            pass
        else:
            key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
            encryption = (
                serialization.BestAvailableEncryption(passphrase.encode())
                if passphrase
                else serialization.NoEncryption()
            )
            path.write_bytes(
                key.private_bytes(
                    serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption
                )
            )
            return path
        openssl = shutil.which("openssl")
        if openssl:
            command = [openssl, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"]
            if passphrase:
                command += ["-aes256", "-pass", f"pass:{passphrase}"]
            subprocess.run([*command, "-out", str(path)], check=True, capture_output=True)
        else:
            label = "ENCRYPTED PRIVATE KEY" if passphrase else "PRIVATE KEY"
            body = base64.encodebytes(bytes(range(256)) * 2).decode()
            path.write_text(f"-----BEGIN {label}-----\n{body}-----END {label}-----\n")
        return path

    return make


@pytest.fixture
def bulk_server():
    """A Bulk API 2.0 emulator serving on 127.0.0.1 at a free port, stopped after the test."""
    from kavrel.salesforce.emulator import BulkApiEmulator

    with BulkApiEmulator() as server:
        yield server


@pytest.fixture
def no_sleep(monkeypatch: pytest.MonkeyPatch) -> list[float]:
    """Makes time.sleep return at once; the list collects the pauses that were asked for."""
    import time

    pauses: list[float] = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    return pauses
