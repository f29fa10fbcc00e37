"""Interactive creation of a Snowflake connection profile (key-pair authentication)."""

from __future__ import annotations

import base64
import binascii
import os
import re
from typing import Any

from kavrel.user.profile_setup import (
    Answers,
    ask_profile_name,
    required,
    save_profile,
    until_input_ends,
)

ACCOUNT_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
ACCOUNT_HOST_SUFFIX = ".snowflakecomputing.com"
PEM_BEGIN = re.compile(r"-----BEGIN ([A-Z0-9 ]+)-----")
# A key file is a few kilobytes; anything far larger is the wrong file, and is not read whole.
MAX_KEY_FILE_BYTES = 64 * 1024


def parse_account(answer: str) -> str:
    """The account identifier; the account's URL or host name is accepted and reduced to it."""
    account = re.sub(r"^https?://", "", answer, flags=re.IGNORECASE).split("/")[0]
    if account.lower().endswith(ACCOUNT_HOST_SUFFIX):
        account = account[: -len(ACCOUNT_HOST_SUFFIX)]
    if not account:
        raise ValueError("An account identifier is required (for example xy12345 or myorg-acct).")
    if not ACCOUNT_PATTERN.fullmatch(account):
        raise ValueError(
            f"'{account}' is not an account identifier: use letters, digits, '-', '_' and '.'."
        )
    return account


def private_key_is_encrypted(path: str) -> bool:
    """Checks that `path` holds a PEM private key and tells whether it is encrypted.
    Raises ValueError with the reason when it holds none."""
    try:
        with open(path, "rb") as key_file:
            data = key_file.read(MAX_KEY_FILE_BYTES + 1)
    except OSError as error:
        raise ValueError(f"Cannot read {path}: {error.strerror or error}") from None
    if len(data) > MAX_KEY_FILE_BYTES:
        raise ValueError(f"{path} is too large to be a private key file.")
    lines = [line.strip() for line in data.decode("ascii", errors="replace").splitlines()]
    begins = [
        (index, match) for index, line in enumerate(lines) if (match := PEM_BEGIN.fullmatch(line))
    ]
    for index, match in begins:
        label = match.group(1)
        if not label.endswith("PRIVATE KEY"):
            continue
        if label == "OPENSSH PRIVATE KEY":
            raise ValueError(
                f"{path} is an OpenSSH key; convert it to PKCS#8 "
                "(ssh-keygen -p -m PKCS8 -f FILE) or give the .p8 file."
            )
        end = f"-----END {label}-----"
        if end not in lines[index + 1 :]:
            raise ValueError(f"{path} is damaged: its private key has no '{end}' line.")
        body = lines[index + 1 : lines.index(end, index + 1)]
        headers = [line for line in body if ":" in line]
        payload = "".join(line for line in body if line and ":" not in line)
        try:
            decoded = base64.b64decode(payload, validate=True)
        except binascii.Error:
            decoded = b""
        if not decoded:
            raise ValueError(f"{path} is damaged: its private key is not valid base64.")
        legacy_encrypted = any(
            h.replace(" ", "").upper() == "PROC-TYPE:4,ENCRYPTED" for h in headers
        )
        return "ENCRYPTED" in label or legacy_encrypted
    if begins:
        raise ValueError(
            f"{path} holds a {begins[0][1].group(1).lower()}, not a private key "
            "(the private key file is usually rsa_key.p8)."
        )
    raise ValueError(
        f"{path} is not a PEM private key: it has no '-----BEGIN ... PRIVATE KEY-----' line."
    )


def parse_key_file(answer: str) -> tuple[str, bool]:
    """The absolute path of a PEM private key file, and whether the key is encrypted."""
    if not answer:
        raise ValueError("A private key file is required (the .p8 file of your key pair).")
    path = os.path.abspath(os.path.expanduser(answer))
    if not os.path.exists(path):
        raise ValueError(f"No such file: {path}")
    if not os.path.isfile(path):
        raise ValueError(f"Not a file: {path}")
    return path, private_key_is_encrypted(path)


def passphrase_problem(path: str, passphrase: str) -> str | None:
    """Why `passphrase` does not open the encrypted key in `path`, or None when it does.
    Raises ImportError where the cryptography package is not installed."""
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives.serialization import load_pem_private_key

    with open(path, "rb") as key_file:
        data = key_file.read(MAX_KEY_FILE_BYTES)
    try:
        load_pem_private_key(data, passphrase.encode("utf-8"))
    except UnsupportedAlgorithm:
        return None  # a key kind the library does not know: it cannot judge the passphrase
    except (ValueError, TypeError):
        return "This passphrase does not open the key (or the key file is damaged)."
    return None


def ask_passphrase(path: str, encrypted: bool, answers: Answers | None = None) -> str:
    """The passphrase of an encrypted key, checked against the key where the cryptography
    package is installed; an unencrypted key has none and nothing is asked."""
    answers = answers or Answers()
    if not encrypted:
        if answers.given.get("private_key_passphrase"):
            print("  The private key is not encrypted; the passphrase given is not stored.")
        return ""
    while True:
        passphrase = answers.text(
            "private_key_passphrase",
            "Private key passphrase",
            required("This key is encrypted: its passphrase is required."),
            secret=True,
        )
        try:
            problem = passphrase_problem(path, passphrase)
        except ImportError:
            print(
                "  The passphrase could not be checked (the cryptography package is not "
                "installed); it is saved as given."
            )
            return passphrase
        if problem is None:
            return passphrase
        answers.refuse("private_key_passphrase", problem)


def _create_profile(answers: Answers) -> dict[str, Any] | None:
    print("New Snowflake connection (key-pair authentication). Ctrl-C cancels.")
    name, current = ask_profile_name("snowflake", answers)

    def default(key: str) -> str:
        return str(current.get(key) or "")

    def optional(answer: str) -> str:
        return answer

    account = answers.text("account", "Account identifier", parse_account, default("account"))
    user = answers.text("user", "User", required("A user name is required."), default("user"))
    role = answers.text("role", "Role", optional, default("role"))
    warehouse = answers.text("warehouse", "Warehouse", optional, default("warehouse"))
    database = answers.text("database", "Database", optional, default("database"))
    schema = answers.text("schema", "Schema", optional, default("schema"))
    key_file, encrypted = answers.text(
        "private_key_file", "Private key file", parse_key_file, default("private_key_file")
    )
    passphrase = ask_passphrase(key_file, encrypted, answers)

    credentials = {
        "connection_type": "snowflake",
        "account": account,
        "user": user,
        "role": role,
        "warehouse": warehouse,
        "database": database,
        "schema": schema,
        "private_key_file": key_file,
        "private_key_passphrase": passphrase,
    }
    summary = [
        ("Account", account),
        ("User", user),
        ("Role", role or "(not set)"),
        ("Warehouse", warehouse or "(not set)"),
        ("Database", database or "(not set)"),
        ("Schema", schema or "(not set)"),
        ("Private key", key_file),
        ("Passphrase", "(set)" if passphrase else "(not set)"),
    ]
    return save_profile(name, credentials, "snowflake", summary, answers)


def authenticate(answers: Answers | None = None) -> dict[str, Any] | None:
    """Creates a Snowflake connection profile by asking the user for its details, and saves it.

    `answers` holds details given beforehand (and whether to ask at all). Returns the saved
    profile, or None when the user declined or the input ended. Ctrl-C raises KeyboardInterrupt
    to the caller; nothing is saved before the user confirms.
    """
    return until_input_ends(lambda: _create_profile(answers or Answers()))
