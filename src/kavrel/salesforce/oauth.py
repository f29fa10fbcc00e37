"""Salesforce access tokens by the OAuth 2.0 client-credentials flow.

A saved Salesforce profile holds the connected app's `client_id`, its secret as `client_key`, the
org's `my_domain` and whether it is a `sandbox`. `request_token` turns such a profile into the
`access_info` mapping the load operations take.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Mapping
from typing import Any
from urllib.parse import urlsplit

import requests

TOKEN_PATH = "/services/oauth2/token"
# Connect quickly or not at all; the token endpoint itself answers in well under a minute.
TIMEOUT = (10, 60)

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


def _is_loopback(host: str) -> bool:
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def require_encrypted(url: str, secret: str, option: str) -> str:
    """Returns `url` when `secret` may be sent to it: over https, or over plain http only to this
    machine (the local server). Raises OAuthError saying why otherwise."""
    parts = urlsplit(url.strip())
    scheme = parts.scheme.lower()
    if scheme == "https" or (scheme == "http" and _is_loopback(parts.hostname or "")):
        return url
    if scheme == "http":
        raise OAuthError(
            f"{option} {url} uses http://, which would send the {secret} unencrypted; "
            "use https:// (plain http is accepted only for a loopback address)"
        )
    raise OAuthError(f"{option} {url} must begin with https://")


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
    return f"https://{name}{sandbox}.my.salesforce.com{TOKEN_PATH}"


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
        response = requests.post(url, data=form, timeout=TIMEOUT)
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
    return bearer_access_info(
        str(body["access_token"]), str(body["instance_url"]), "the instance URL"
    )
