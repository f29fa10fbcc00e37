"""Interactive creation of a Snowflake connection profile (key-pair authentication)."""

from __future__ import annotations

import base64
import binascii
import os
import re
from typing import Any

from kavrel.user.profile_setup import (
    ask_profile_name,
    required,
    save_profile,
    until_input_ends,
)
from kavrel.user.prompts import ask, ask_secret, ask_until_valid

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


def ask_passphrase(encrypted: bool) -> str:
    if not encrypted:
        return ask_secret("Private key passphrase (empty: the key is not encrypted)")
    while True:
        passphrase = ask_secret("Private key passphrase")
        if passphrase:
            return passphrase
        print("  This key is encrypted: its passphrase is required.")


def _create_profile() -> dict[str, Any] | None:
    print("New Snowflake connection (key-pair authentication). Ctrl-C cancels.")
    name, current = ask_profile_name("snowflake")

    def default(key: str) -> str:
        return str(current.get(key) or "")

    account = ask_until_valid("Account identifier", parse_account, default("account"))
    user = ask_until_valid("User", required("A user name is required."), default("user"))
    role = ask("Role", default("role"))
    warehouse = ask("Warehouse", default("warehouse"))
    database = ask("Database", default("database"))
    schema = ask("Schema", default("schema"))
    key_file, encrypted = ask_until_valid(
        "Private key file", parse_key_file, default("private_key_file")
    )
    passphrase = ask_passphrase(encrypted)

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
    return save_profile(name, credentials, "snowflake", summary)


def authenticate() -> dict[str, Any] | None:
    """Creates a Snowflake connection profile by asking the user for its details, and saves it.

    Returns the saved profile, or None when the user declined or the input ended. Ctrl-C raises
    KeyboardInterrupt to the caller; nothing is saved before the user confirms.
    """
    return until_input_ends(_create_profile)
