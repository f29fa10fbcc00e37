"""Salesforce access tokens by the OAuth 2.0 flows a profile may log in with.

A saved Salesforce profile holds the connected app's `client_id`, its secret as `client_key`, the
org's `my_domain` and whether it is a `sandbox`. Each grant turns it into the `access_info`
mapping the load operations take, with the `user_id` of the user the token acts for when the
answer names one: `request_token` by client credentials, `jwt_bearer_token` by a signed assertion
(`jwt_assertion`), `exchange_code` by the code of a browser login (`browser_login`) and
`refresh_access` by the refresh token that login gave. Every secret (client secret, assertion,
code, refresh token) and every token goes only to URLs that `urls.check` passed, in requests that
follow no redirect.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any
from urllib.parse import urlencode

import requests

from kavrel.salesforce import urls

TOKEN_PATH = "/services/oauth2/token"
AUTHORIZE_PATH = "/services/oauth2/authorize"
JWT_BEARER_GRANT = "urn:ietf:params:oauth:grant-type:jwt-bearer"
# The audiences Salesforce's own login hosts take in a JWT bearer assertion.
PRODUCTION_AUDIENCE = "https://login.salesforce.com"
SANDBOX_AUDIENCE = "https://test.salesforce.com"
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


def login_base(
    profile: Mapping[str, Any], login_url: str | None = None, secret: str = "client secret"
) -> str:
    """The URL the profile logs in at (its My Domain, or `login_url` instead), checked for
    `secret`; the OAuth endpoints lie under it."""
    if login_url:
        base = login_url.strip().rstrip("/")
        if "://" not in base:
            base = "https://" + base
        return require_encrypted(base, secret, "--login-url")
    name = _domain_name(str(profile.get("my_domain") or ""))
    if not name:
        raise OAuthError(
            "the Salesforce profile has no my_domain; give the login host with --login-url"
        )
    sandbox = ".sandbox" if is_sandbox(profile.get("sandbox")) else ""
    host = f"https://{name}{sandbox}.my.salesforce.com"
    return require_encrypted(host, secret, "the profile's My Domain")


def token_url(profile: Mapping[str, Any], login_url: str | None = None) -> str:
    """The token endpoint for a profile; `login_url` replaces the host derived from it."""
    return login_base(profile, login_url) + TOKEN_PATH


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


class _Busy(requests.HTTPError):
    """A token endpoint that answered 429 or 5xx: it may answer the same request later."""


def _worth_again(error: Exception) -> bool:
    """A login to try again: the endpoint was busy, or the request or its answer was lost on
    the way (a login asks for a token and changes nothing the next try would not change too)."""
    from kavrel.salesforce.ingest_bapi20 import transient

    return isinstance(error, _Busy) or transient(error)


def _token_answer(url: str, form: Mapping[str, str]) -> dict[str, Any]:
    """The token endpoint's answer to `form`: a document with an access token and an instance
    URL; OAuthError with one line for the user when there is none. A busy endpoint (429, 5xx)
    and a lost request or answer are tried again for about a minute: the first login of a load,
    and its renewals mid-load, do not end on one 503."""
    from kavrel.salesforce.retries import with_retries

    def send() -> requests.Response:
        # A redirect would carry the form, secret and all, to a URL that was never checked.
        response = requests.post(url, data=form, timeout=TIMEOUT, allow_redirects=False)
        if response.status_code == 429 or 500 <= response.status_code <= 599:
            raise _Busy(f"HTTP {response.status_code}", response=response)
        return response

    try:
        response = with_retries(None, "The login", send, _worth_again)
    except _Busy as busy:  # still busy after a minute: its answer says why
        response = busy.response  # type: ignore[assignment]
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
    return body


def _access_info_of(body: Mapping[str, Any]) -> dict[str, str]:
    access_info = bearer_access_info(
        str(body["access_token"]), str(body["instance_url"]), "the instance URL"
    )
    user_id = user_id_of(body.get("id"))
    if user_id is not None:
        access_info["user_id"] = user_id
    return access_info


def request_token(profile: Mapping[str, Any], login_url: str | None = None) -> dict[str, str]:
    """Asks Salesforce for an access token with the profile's client credentials.

    Returns {"access_token", "instance_url"}; raises OAuthError with a one-line message when the
    request cannot be made or is refused.
    """
    form = {
        "grant_type": "client_credentials",
        "client_id": str(profile.get("client_id") or ""),
        "client_secret": str(profile.get("client_key") or ""),
    }
    return _access_info_of(_token_answer(token_url(profile, login_url), form))


def jwt_audience(profile: Mapping[str, Any], login_url: str | None = None) -> str:
    """The `aud` of a JWT bearer assertion: the login host given with `login_url` (an Experience
    Cloud site, or the local server), else Salesforce's production or sandbox login host, which
    a My Domain's token endpoint also takes."""
    if login_url:
        base = login_base(profile, login_url, "JWT assertion")
        if not base.split("://", 1)[1].split("/", 1)[0].endswith(".my.salesforce.com"):
            return base
        sandbox = ".sandbox.my.salesforce.com" in base
    else:
        sandbox = is_sandbox(profile.get("sandbox"))
    return SANDBOX_AUDIENCE if sandbox else PRODUCTION_AUDIENCE


def jwt_bearer_token(
    profile: Mapping[str, Any], username: str, key_file: str, login_url: str | None = None
) -> dict[str, str]:
    """An access token for `username` by the JWT bearer flow: an assertion signed with the key in
    `key_file`, whose certificate the profile's connected app holds."""
    from kavrel.salesforce import jwt_assertion

    url = login_base(profile, login_url, "JWT assertion") + TOKEN_PATH
    try:
        signed = jwt_assertion.assertion(
            str(profile.get("client_id") or ""),
            username,
            jwt_audience(profile, login_url),
            key_file,
        )
    except jwt_assertion.SigningError as error:
        raise OAuthError(str(error)) from None
    form = {"grant_type": JWT_BEARER_GRANT, "assertion": signed}
    return _access_info_of(_token_answer(url, form))


def _client_form(profile: Mapping[str, Any]) -> dict[str, str]:
    """The client's own part of a browser login's requests: its id, and its secret when the
    profile has one (an app may take the exchange without it, relying on PKCE)."""
    form = {"client_id": str(profile.get("client_id") or "")}
    if profile.get("client_key"):
        form["client_secret"] = str(profile["client_key"])
    return form


def authorize_url(
    profile: Mapping[str, Any], base: str, redirect_url: str, challenge: str, state: str
) -> str:
    """The org's authorization page for a browser login with PKCE (S256)."""
    query = urlencode(
        {
            "response_type": "code",
            "client_id": str(profile.get("client_id") or ""),
            "redirect_uri": redirect_url,
            "code_challenge": challenge,
            "code_challenge_method": "S256",
            "state": state,
        }
    )
    return require_encrypted(base, "authorization request", "the login URL") + (
        f"{AUTHORIZE_PATH}?{query}"
    )


def exchange_code(
    profile: Mapping[str, Any], base: str, code: str, verifier: str, redirect_url: str
) -> tuple[dict[str, str], str | None]:
    """The access info and the refresh token (None when the org gave none) for the code a
    browser login brought back; `verifier` is the PKCE secret whose hash went with the login."""
    url = require_encrypted(base, "authorization code", "the login URL") + TOKEN_PATH
    form = {
        "grant_type": "authorization_code",
        "code": code,
        "redirect_uri": redirect_url,
        "code_verifier": verifier,
        **_client_form(profile),
    }
    body = _token_answer(url, form)
    return _access_info_of(body), _text_or_none(body.get("refresh_token"))


def refresh_access(
    profile: Mapping[str, Any], base: str, refresh_token: str
) -> tuple[dict[str, str], str | None]:
    """A new access token from the refresh token of a browser login made at `base`; also the
    new refresh token when the org rotates them (None otherwise)."""
    url = require_encrypted(base, "refresh token", "the login URL") + TOKEN_PATH
    form = {"grant_type": "refresh_token", "refresh_token": refresh_token, **_client_form(profile)}
    body = _token_answer(url, form)
    return _access_info_of(body), _text_or_none(body.get("refresh_token"))


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) and value else None


def user_id_of(identity_url: Any) -> str | None:
    """The user id at the end of the identity URL a token answer names the user by
    (https://login.salesforce.com/id/<org id>/<user id>); None when it names none."""
    if not isinstance(identity_url, str):
        return None
    user_id = identity_url.rstrip("/").rpartition("/")[2]
    return user_id if USER_ID.fullmatch(user_id) else None
