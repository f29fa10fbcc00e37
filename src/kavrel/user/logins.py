"""How each Salesforce profile logs in, kept beside the connections file in a file of its own.

`connections.toml` keeps exactly the keys the store writes for a profile. What a Salesforce
profile needs beyond them to log in otherwise than by client credentials lives in
`salesforce_logins.toml`, one table per profile name: the flow (`jwt` or `browser`), the JWT
bearer flow's `username` and `jwt_key_file`, a browser login's `refresh_token` and the
`login_url` it was made at (the only host its refresh token is ever sent to). A profile without
a table there logs in by client credentials, as every profile did before.

The file holds refresh tokens: it is readable by its owner only (mode 0600, whatever it was
before), and it is rewritten whole, atomically (a temporary file, synced, renamed over it), while
holding the store's lock, so a change here and a change of the store never cross. A table counts
only for a profile with the client ID it was saved for: a profile saved again under that name
for another connected app does not inherit another app's login.
"""

from __future__ import annotations

import contextlib
import os
import re
import tempfile
import tomllib
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

from kavrel.salesforce import oauth
from kavrel.user import connections as store

FILE_NAME = "salesforce_logins.toml"
_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
CLIENT_CREDENTIALS, JWT, BROWSER = FLOWS = ("client-credentials", "jwt", "browser")
FLOW_TITLES = {CLIENT_CREDENTIALS: "client credentials", JWT: "JWT bearer", BROWSER: "browser"}


def logins_file() -> Path:
    return store.get_velmora_dir() / FILE_NAME


# --- the file ------------------------------------------------------------------------------------


def _entries() -> dict[str, dict[str, Any]]:
    path = logins_file()
    try:
        document = tomllib.loads(store.read_settings_file(path).decode())
    except FileNotFoundError:
        return {}
    except (OSError, tomllib.TOMLDecodeError) as error:
        raise ValueError(f"cannot read the login file {path}: {error}") from None
    return {name: entry for name, entry in document.items() if isinstance(entry, dict)}


def _toml_key(text: str) -> str:
    return text if _BARE_KEY.fullmatch(text) else _toml_string(text)


def _toml_string(text: str) -> str:
    """`text` as a TOML basic string, every control character escaped."""
    out = []
    for character in text:
        code = ord(character)
        if character in '"\\':
            out.append("\\" + character)
        elif code < 0x20 or code == 0x7F:
            out.append(f"\\u{code:04X}")
        else:
            out.append(character)
    return '"' + "".join(out) + '"'


def _render(entries: Mapping[str, Mapping[str, Any]]) -> str:
    lines = ["# How kavrel's Salesforce profiles log in; holds refresh tokens: keep it private."]
    for name, entry in entries.items():
        lines += ["", f"[{_toml_key(name)}]"]
        lines += [f"{_toml_key(key)} = {_toml_string(str(v))}" for key, v in entry.items()]
    return "\n".join(lines) + "\n"


def _write(entries: Mapping[str, Mapping[str, Any]]) -> None:
    """Replaces the file whole. The temporary file is named as the store names its own, so the
    store's next change removes it if this process is killed before the rename."""
    path = logins_file()
    descriptor, temporary = tempfile.mkstemp(  # created with mode 0600
        prefix=f".{path.name}.tmp-{os.getpid()}-", dir=path.parent
    )
    try:
        with open(descriptor, "w", encoding="utf-8", newline="") as out:
            out.write(_render(entries))
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):  # the rename survives a crash where the system allows
        directory = os.open(path.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


def _change(change: Callable[[dict[str, dict[str, Any]]], tuple[Any, bool]]) -> Any:
    """Runs `change(entries)` under the store's lock and writes the entries when it says so."""

    def locked() -> Any:
        entries = _entries()
        result, changed = change(entries)
        if changed:
            _write(entries)
        return result

    return store.under_store_lock(locked)


# --- the settings of one profile -----------------------------------------------------------------


def login_of(name: str, profile: Mapping[str, Any]) -> dict[str, str] | None:
    """The login settings saved for the Salesforce profile `name` (the store's mapping
    `profile`); None when it has none, or they were saved for another connected app."""
    entry = _entries().get(name)
    if entry is None or str(entry.get("client_id", "")) != str(profile.get("client_id") or ""):
        return None
    return {key: str(value) for key, value in entry.items()}


def flow_of(login: Mapping[str, str] | None) -> str:
    flow = (login or {}).get("flow")
    return flow if flow in FLOWS else CLIENT_CREDENTIALS


def save_login(name: str, settings: Mapping[str, str]) -> None:
    """Keeps `settings` (with the `client_id` they belong to) as the profile's login."""

    def put(entries: dict[str, dict[str, Any]]) -> tuple[None, bool]:
        entries[name] = dict(settings)
        return None, True

    store.initialize_velmora_directory()  # even the first save takes the lock
    _change(put)


def forget_login(name: str) -> bool:
    """Removes the profile's login settings; False when it had none."""

    def drop(entries: dict[str, dict[str, Any]]) -> tuple[bool, bool]:
        found = entries.pop(name, None) is not None
        return found, found

    return _change(drop)


def _keep_rotated(name: str, old: str, new: str) -> None:
    """Saves the refresh token an org gave in place of `old`, unless the profile logged in
    again meanwhile (its token is no longer `old`)."""

    def swap(entries: dict[str, dict[str, Any]]) -> tuple[None, bool]:
        entry = entries.get(name)
        if entry is None or entry.get("refresh_token") != old:
            return None, False
        entry["refresh_token"] = new
        return None, True

    _change(swap)


# --- logging in ----------------------------------------------------------------------------------


class ProfileLogin:
    """Logs a Salesforce profile in by its flow: each call gets a new access token and returns
    the access info. OAuthError (one line for the user) when it cannot."""

    def __init__(self, name: str, profile: Mapping[str, Any], login_url: str | None = None):
        self.name = name
        self.profile = profile
        self.login_url = login_url
        self.login = login_of(name, profile)
        self.flow = flow_of(self.login)
        if self.flow == BROWSER:
            self._check_browser_login()

    def _check_browser_login(self) -> None:
        assert self.login is not None
        again = f"kavrel connection login {self.name}"
        if not self.login.get("refresh_token") or not self.login.get("login_url"):
            raise oauth.OAuthError(
                f"the profile '{self.name}' logs in by browser and has not logged in yet; "
                f"run `{again}`"
            )
        made_at = self.login["login_url"]
        if self.login_url and oauth.login_base(self.profile, self.login_url) != made_at:
            raise oauth.OAuthError(
                f"the profile '{self.name}' logged in at {made_at}, and its login is sent nowhere "
                f"else; to use --login-url {self.login_url}, run `{again} --login-url URL`"
            )

    def __call__(self) -> dict[str, str]:
        if self.flow == JWT:
            assert self.login is not None
            return oauth.jwt_bearer_token(
                self.profile,
                self.login.get("username", ""),
                self.login.get("jwt_key_file", ""),
                self.login_url,
            )
        if self.flow == BROWSER:
            return self._refreshed()
        return oauth.request_token(self.profile, self.login_url)

    def _refreshed(self) -> dict[str, str]:
        assert self.login is not None
        old = self.login["refresh_token"]
        try:
            access_info, rotated = oauth.refresh_access(self.profile, self.login["login_url"], old)
        except oauth.OAuthError as error:
            raise oauth.OAuthError(
                f"{error} (log in again with `kavrel connection login {self.name}`)"
            ) from None
        if rotated and rotated != old:
            _keep_rotated(self.name, old, rotated)
            self.login["refresh_token"] = rotated
        return access_info


def describe(name: str, profile: Mapping[str, Any]) -> dict[str, Any]:
    """How the profile logs in, for listings: the flow, whether it holds what it needs to log in,
    and the settings that are not secret."""
    login = login_of(name, profile)
    flow = flow_of(login)
    found: dict[str, Any] = {"flow": flow}
    if flow == JWT:
        assert login is not None
        found["username"] = login.get("username", "")
        found["jwt_key_file"] = login.get("jwt_key_file", "")
        found["logged_in"] = bool(found["username"]) and os.path.isfile(found["jwt_key_file"])
    elif flow == BROWSER:
        assert login is not None
        found["login_url"] = login.get("login_url", "")
        found["logged_in"] = bool(login.get("refresh_token"))
    else:
        found["logged_in"] = bool(profile.get("client_key"))
    return found
