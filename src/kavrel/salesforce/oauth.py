"""Salesforce access tokens by the OAuth 2.0 client-credentials flow.

A saved Salesforce profile holds the connected app's `client_id`, its secret as `client_key`, the
org's `my_domain` and whether it is a `sandbox`. `request_token` turns such a profile into the
`access_info` mapping the load operations take, with the `user_id` of the user the token acts for
when the answer names one. The secret and the token go only to URLs that `urls.check` passed.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

import requests

from kavrel.salesforce import urls

TOKEN_PATH = "/services/oauth2/token"
# Connect quickly or not at all; the token endpoint itself answers in well under a minute.
TIMEOUT = (10, 60)

# A user's record id: key prefix 005, then 12 or 15 more characters (15- or 18-character form).
USER_ID = re.compile(r"005[A-Za-z0-9]{12}(?:[A-Za-z0-9]{3})?")

_TRUE_TEXTS = frozenset({"true", "yes", "y", "on", "1"})
_FALSE_TEXTS = frozenset({"false", "no", "n", "off", "0", "", "none"})


class OAuthError(Exception):
    """The token request failed; the text is one line meant for the user."""


def is_sandbox(value: Any) -> bool:
    """Reads a profile's `sandbox` value, which may be stored as a boolean or as text."""
    if value is None:
        return False
    if isinstance(value, bool):
        return value
    if isinstance(value, int | float):
        return value != 0
    text = str(value).strip().lower()
    if text in _TRUE_TEXTS:
        return True
    if text in _FALSE_TEXTS:
        return False
    raise OAuthError(f"cannot tell whether sandbox={value!r} means true or false")


def require_encrypted(url: str, secret: str, option: str) -> str:
    """Returns `url` as it will be requested when `secret` may be sent to it: over https, or over
    plain http only to this machine (the local server). Raises OAuthError saying why otherwise."""
    try:
        return urls.check(url.strip(), secret, option).url
    except urls.UnsafeUrl as error:
        raise OAuthError(str(error)) from None


def require_header_safe(access_token: str) -> str:
    """Returns the token when it can go into an HTTP header; the error never repeats it."""
    printable = access_token.isascii() and access_token.isprintable()
    if not printable or access_token != access_token.strip():
        raise OAuthError(
            "the access token holds a line break, a control or non-ASCII character, or blanks "
            "around it; it cannot be sent as a header (check how it was copied)"
        )
    return access_token


def bearer_access_info(access_token: str, instance_url: str, option: str) -> dict[str, str]:
    """The `access_info` mapping for a token the user already holds, refused where it could leak."""
    url = instance_url.strip().rstrip("/")
    if "://" not in url:
        url = "https://" + url
    url = require_encrypted(url, "access token", option)
    return {"access_token": require_header_safe(access_token), "instance_url": url}


def _domain_name(my_domain: str) -> str:
    """The bare My Domain name, also when the profile holds a host name or a URL."""
    name = my_domain.strip()
    if "://" in name:
        name = name.split("://", 1)[1]
    name = name.split("/", 1)[0].lower()
    for suffix in (".sandbox.my.salesforce.com", ".my.salesforce.com"):
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return name


def token_url(profile: Mapping[str, Any], login_url: str | None = None) -> str:
    """The token endpoint for a profile; `login_url` replaces the host derived from it."""
    if login_url:
        base = login_url.strip().rstrip("/")
        if "://" not in base:
            base = "https://" + base
        return require_encrypted(base, "client secret", "--login-url") + TOKEN_PATH
    name = _domain_name(str(profile.get("my_domain") or ""))
    if not name:
        raise OAuthError(
            "the Salesforce profile has no my_domain; give the login host with --login-url"
        )
    sandbox = ".sandbox" if is_sandbox(profile.get("sandbox")) else ""
    host = f"https://{name}{sandbox}.my.salesforce.com"
    return require_encrypted(host, "client secret", "the profile's My Domain") + TOKEN_PATH


def _error_text(response: requests.Response) -> str:
    try:
        body = response.json()
    except ValueError:
        body = None
    if isinstance(body, dict) and body.get("error"):
        description = body.get("error_description")
        return f"{body['error']}: {description}" if description else str(body["error"])
    snippet = " ".join(response.text.split())[:200]
    return f"HTTP {response.status_code}" + (f": {snippet}" if snippet else "")


def request_token(profile: Mapping[str, Any], login_url: str | None = None) -> dict[str, str]:
    """Asks Salesforce for an access token with the profile's client credentials.

    Returns {"access_token", "instance_url"}; raises OAuthError with a one-line message when the
    request cannot be made or is refused.
    """
    url = token_url(profile, login_url)
    form = {
        "grant_type": "client_credentials",
        "client_id": str(profile.get("client_id") or ""),
        "client_secret": str(profile.get("client_key") or ""),
    }
    try:
        # A redirect would carry the form, secret and all, to a URL that was never checked.
        response = requests.post(url, data=form, timeout=TIMEOUT, allow_redirects=False)
    except requests.RequestException as error:
        raise OAuthError(f"cannot reach {url}: {error}") from error
    if response.status_code != 200:
        raise OAuthError(f"Salesforce login failed: {_error_text(response)}")
    try:
        body = response.json()
    except ValueError:
        body = None
    if not isinstance(body, dict) or not body.get("access_token") or not body.get("instance_url"):
        raise OAuthError(f"Salesforce login failed: unexpected answer from {url}")
    access_info = bearer_access_info(
        str(body["access_token"]), str(body["instance_url"]), "the instance URL"
    )
    user_id = user_id_of(body.get("id"))
    if user_id is not None:
        access_info["user_id"] = user_id
    return access_info


def user_id_of(identity_url: Any) -> str | None:
    """The user id at the end of the identity URL a token answer names the user by
    (https://login.salesforce.com/id/<org id>/<user id>); None when it names none."""
    if not isinstance(identity_url, str):
        return None
    user_id = identity_url.rstrip("/").rpartition("/")[2]
    return user_id if USER_ID.fullmatch(user_id) else None
