"""Snowpark sessions from saved Snowflake profiles (key-pair login).

Snowpark is an optional extra; it is imported only when a session is actually created, so the rest
of kavrel works without it.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Mapping
from typing import Any

INSTALL_HINT = "pip install 'kavrel[snowflake]'"

# Optional connection settings that are left out when the profile holds no value for them, so
# that Snowflake falls back to the user's defaults instead of receiving an empty name.
_OPTIONAL_KEYS = ("role", "warehouse", "database", "schema")


class SnowparkMissingError(Exception):
    """Snowpark is not installed."""


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


def create_session(profile: Mapping[str, Any]) -> Any:
    """Opens a Snowpark session for the profile.

    A profile without account or user is refused with ValueError before Snowpark is imported:
    the login could not succeed, and the profile is what needs fixing.
    """
    config = session_config(profile)
    missing = [key for key in ("account", "user") if not config[key]]
    if missing:
        raise ValueError("the Snowflake profile has no " + " and no ".join(missing))
    return _session_class().builder.configs(config).create()
