"""Snowpark sessions from saved Snowflake profiles (key-pair login).

Snowpark is an optional extra; it is imported only when a session is actually created, so the rest
of kavrel works without it.
"""

from __future__ import annotations

import importlib
import json
import logging
import os
import time
from collections.abc import Iterable, Mapping
from typing import Any

INSTALL_HINT = "pip install 'kavrel[snowflake]'"

# Without a bound the connector keeps retrying an unreachable account for minutes, silently.
DEFAULT_LOGIN_TIMEOUT = 60

# Settings that carry secrets belong in the profile (or the key file), never on a command line
# where the process list and the shell history keep them.
_SECRET_OPTIONS = frozenset(
    {"password", "private_key_file_pwd", "private_key", "token", "passcode"}
)

_log = logging.getLogger("kavrel.sflake")

# Optional connection settings that are left out when the profile holds no value for them, so
# that Snowflake falls back to the user's defaults instead of receiving an empty name.
_OPTIONAL_KEYS = ("role", "warehouse", "database", "schema")


class SnowparkMissingError(Exception):
    """Snowpark is not installed."""


class SnowflakeLoginError(Exception):
    """The session could not be opened; the text is one line naming the account."""


def parse_option(text: str) -> tuple[str, Any]:
    """A connector setting from `KEY=VALUE`: whole numbers become int, true/false become bool
    (the connector compares timeouts and ports as numbers and flags as booleans), and a value in
    braces or brackets is JSON (`session_parameters={"QUERY_TAG": "nightly"}`)."""
    key, sep, value = text.partition("=")
    key = key.strip().lower()
    if not sep or not key:
        raise ValueError(f"a Snowflake option is KEY=VALUE, not {text!r}")
    if key in _SECRET_OPTIONS:
        raise ValueError(f"the Snowflake option {key} is a secret; keep it in the profile")
    value = value.strip()
    if value[:1] in ("{", "["):
        try:
            return key, json.loads(value)
        except ValueError as error:
            raise ValueError(f"the Snowflake option {key} is not valid JSON: {error}") from None
    if value.lower() in ("true", "false"):
        return key, value.lower() == "true"
    if value.isdigit():
        return key, int(value)
    return key, value


def parse_options(texts: Iterable[str]) -> dict[str, Any]:
    """The connector settings from repeated `KEY=VALUE` texts; a later key wins, and an empty
    value leaves the setting to the connector's default."""
    options = dict(parse_option(text) for text in texts)
    return {key: value for key, value in options.items() if value != ""}


def session_config(profile: Mapping[str, Any]) -> dict[str, str]:
    """The configuration Snowpark's session builder takes, from a Snowflake profile."""
    config: dict[str, str] = {
        "account": str(profile.get("account") or "").strip(),
        "user": str(profile.get("user") or "").strip(),
        "authenticator": "SNOWFLAKE_JWT",
    }
    key_file = str(profile.get("private_key_file") or "").strip()
    if key_file:
        config["private_key_file"] = os.path.expanduser(key_file)
    passphrase = profile.get("private_key_passphrase")
    if passphrase is not None and str(passphrase) != "":
        config["private_key_file_pwd"] = str(passphrase)
    for key in _OPTIONAL_KEYS:
        value = str(profile.get(key) or "").strip()
        if value:
            config[key] = value
    return config


def _session_class() -> Any:
    try:
        module = importlib.import_module("snowflake.snowpark")
    except ImportError as error:
        raise SnowparkMissingError(
            f"Snowflake support is not installed; install it with: {INSTALL_HINT}"
        ) from error
    return module.Session


def check_private_key(config: Mapping[str, Any]) -> None:
    """Opens the key file with the passphrase the session would send, so that a wrong or missing
    passphrase is one clear line instead of the connector's login failure."""
    path = config.get("private_key_file")
    if not path:
        return
    from cryptography.hazmat.primitives import serialization

    passphrase = config.get("private_key_file_pwd")
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise SnowflakeLoginError(f"cannot read the private key file {path}: {error}") from None
    try:
        serialization.load_pem_private_key(
            data, None if passphrase is None else passphrase.encode()
        )
    except TypeError:
        state = "has a passphrase" if passphrase is None else "is not encrypted"
        raise SnowflakeLoginError(
            f"the private key file {path} {state}, unlike what the profile says"
        ) from None
    except ValueError:
        reason = "the profile's passphrase does not open" if passphrase else "cannot read"
        raise SnowflakeLoginError(f"{reason} the private key file {path}") from None


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def create_session(profile: Mapping[str, Any], options: Mapping[str, Any] | None = None) -> Any:
    """Opens a Snowpark session for the profile, with connector settings (host, port, protocol,
    proxy, login_timeout, ...) from `options` on top.

    A profile without account or user is refused with ValueError before Snowpark is imported:
    the login could not succeed, and the profile is what needs fixing. A refused or timed-out
    login raises SnowflakeLoginError with one line naming the account.
    """
    config: dict[str, Any] = {"login_timeout": DEFAULT_LOGIN_TIMEOUT}
    config.update(session_config(profile))
    missing = [key for key in ("account", "user") if not config[key]]
    if missing:
        raise ValueError("the Snowflake profile has no " + " and no ".join(missing))
    config.update(options or {})
    session_class = _session_class()
    check_private_key(config)
    account, user = config["account"], config["user"]
    _log.info(f"connecting to Snowflake account {account} as {user}")
    started = time.monotonic()
    try:
        return session_class.builder.configs(config).create()
    except Exception as error:
        timeout = config["login_timeout"]
        if isinstance(timeout, int | float) and time.monotonic() - started >= timeout:
            raise SnowflakeLoginError(
                f"cannot log in to Snowflake account {account} as {user}: the login timeout of "
                f"{timeout} s ran out (--snowflake-option login_timeout=N waits longer); "
                f"the last problem: {_one_line(error)}"
            ) from error
        raise SnowflakeLoginError(
            f"cannot log in to Snowflake account {account} as {user} "
            f"(login timeout {timeout} s): {_one_line(error)}"
        ) from error
