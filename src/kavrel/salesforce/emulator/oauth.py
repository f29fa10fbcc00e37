"""The OAuth 2.0 endpoints of the server's one org and user (who creates every job).

The token endpoint grants client credentials, authorization codes (with PKCE), refresh tokens and
JWT bearer assertions (`assertions`); the authorization endpoint approves at once and sends the
browser back to the client's redirect URI with a code, as an org does once its user has logged
in and allowed the app. A client authenticates with `client_id`/`client_secret` in the form body
or with HTTP Basic (RFC 6749 §2.3.1). With a token lifetime, an access token stops working that
many seconds after it was issued, as a session times out. No answer repeats what the client sent.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import secrets
import threading
import time
from dataclasses import dataclass
from typing import Any
from urllib.parse import parse_qs, unquote_plus, urlencode

from .assertions import AssertionRefused, RsaKey, check_assertion

TOKEN_PATH = "/services/oauth2/token"
AUTHORIZE_PATH = "/services/oauth2/authorize"
USERINFO_PATH = "/services/oauth2/userinfo"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"
# The one org and user of the server: every token acts for this user, who creates every job.
ORG_ID = "00D000000000001AAA"
USER_ID = "005000000000001AAA"
# An org's authorization codes are good for 15 minutes, and for one exchange.
CODE_LIFETIME = 15 * 60


class OAuthError(Exception):
    def __init__(self, error: str, description: str, status: int = 400) -> None:
        super().__init__(description)
        self.error = error
        self.description = description
        self.status = status


def _basic_credentials(authorization: str) -> tuple[str, str] | None:
    scheme, _, encoded = authorization.strip().partition(" ")
    if scheme.lower() != "basic":
        return None
    try:
        decoded = base64.b64decode(encoded.strip(), validate=True).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        raise OAuthError(
            "invalid_client", "the Basic credentials are not valid base64", 401
        ) from None
    client_id, colon, client_secret = decoded.partition(":")
    if not colon:
        raise OAuthError("invalid_client", "the Basic credentials lack a colon", 401)
    # RFC 6749 §2.3.1: both parts are form-urlencoded before they are joined.
    return unquote_plus(client_id), unquote_plus(client_secret)


def _matches(expected: str | None, given: str | None) -> bool:
    if expected is None:
        return True
    return given is not None and hmac.compare_digest(given.encode(), expected.encode())


def _form(body: bytes) -> dict[str, str]:
    try:
        form = parse_qs(body.decode("utf-8"), keep_blank_values=True)
    except UnicodeDecodeError:
        raise OAuthError("invalid_request", "the body is not UTF-8 form data") from None
    return {key: items[0] for key, items in form.items()}


def _pkce_challenge(verifier: str, method: str) -> str:
    if method == "plain":
        return verifier
    digest = hashlib.sha256(verifier.encode("ascii", "replace")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


@dataclass
class _Code:
    """An authorization code waiting for its exchange."""

    client_id: str
    redirect_uri: str
    challenge: str | None
    method: str
    expires: float


@dataclass
class Client:
    """What the token endpoint expects of a client: its id and secret (None: any)."""

    client_id: str | None = None
    client_secret: str | None = None


class TokenIssuer:
    """Issues bearer tokens, and the codes and refresh tokens that lead to them; tells which
    tokens still work. Safe to use from the server's threads."""

    def __init__(self, lifetime: float | None = None, jwt_key: RsaKey | None = None) -> None:
        self.lifetime = lifetime
        self.jwt_key = jwt_key
        self._issued: dict[str, float] = {}  # token: when (time.monotonic)
        self._codes: dict[str, _Code] = {}
        self._refresh_tokens: dict[str, str] = {}  # refresh token: client id
        self._lock = threading.Lock()

    def knows(self, token: str) -> bool:
        with self._lock:
            issued = self._issued.get(token)
        return issued is not None and not self.expired(issued)

    def expired(self, issued: float) -> bool:
        """Whether a token issued at `issued` (time.monotonic) no longer works."""
        return self.lifetime is not None and time.monotonic() - issued >= self.lifetime

    # -- the authorization endpoint -----------------------------------------------------------

    def authorize(self, query: dict[str, str], expected: Client) -> str:
        """Where the browser goes next: the redirect URI with a new code (or the error), as an
        org answers once its user approved. OAuthError for a request it cannot send back."""
        redirect_uri = query.get("redirect_uri")
        if not redirect_uri:
            raise OAuthError("invalid_request", "missing required parameter: redirect_uri")
        client_id = query.get("client_id", "")
        if not client_id or not _matches(expected.client_id, client_id):
            raise OAuthError("invalid_client_id", "client identifier invalid")
        answer: dict[str, str]
        method = query.get("code_challenge_method", "plain")
        if query.get("response_type") != "code":
            answer = {"error": "unsupported_response_type", "error_description": "not code"}
        elif method not in ("S256", "plain"):
            answer = {"error": "invalid_request", "error_description": "bad challenge method"}
        else:
            code = secrets.token_urlsafe(32)
            with self._lock:
                self._codes[code] = _Code(
                    client_id,
                    redirect_uri,
                    query.get("code_challenge"),
                    method,
                    time.monotonic() + CODE_LIFETIME,
                )
            answer = {"code": code}
        if "state" in query:
            answer["state"] = query["state"]
        separator = "&" if "?" in redirect_uri else "?"
        return redirect_uri + separator + urlencode(answer)

    # -- the token endpoint -----------------------------------------------------------------

    def issue(
        self, body: bytes, authorization: str, instance_url: str, expected: Client
    ) -> dict[str, Any]:
        """A token document for the grant the form names."""
        values = _form(body)
        basic = _basic_credentials(authorization) if authorization else None
        if basic is not None and ("client_id" in values or "client_secret" in values):
            raise OAuthError("invalid_request", "use one way of client authentication, not two")
        client_id, secret = basic or (values.get("client_id"), values.get("client_secret"))
        grant = values.get("grant_type")
        refresh_token = None
        if grant == "client_credentials":
            if not (
                _matches(expected.client_id, client_id) and _matches(expected.client_secret, secret)
            ):
                raise OAuthError("invalid_client", "invalid client credentials")
        elif grant == "authorization_code":
            self._check_secret(expected, secret)
            client_id = self._exchange_code(values, client_id)
            refresh_token = secrets.token_urlsafe(48)
            with self._lock:
                self._refresh_tokens[refresh_token] = client_id
        elif grant == "refresh_token":
            self._check_secret(expected, secret)
            with self._lock:
                owner = self._refresh_tokens.get(values.get("refresh_token", ""))
            if owner is None or owner != client_id:
                raise OAuthError("invalid_grant", "expired access/refresh token")
        elif grant == JWT_BEARER:
            try:
                check_assertion(
                    values.get("assertion", ""), self.jwt_key, instance_url, expected.client_id
                )
            except AssertionRefused as refused:
                raise OAuthError(refused.error, refused.description) from None
            secret = None
        else:
            raise OAuthError("unsupported_grant_type", "grant type not supported")
        return self._token_document(instance_url, secret, refresh_token)

    @staticmethod
    def _check_secret(expected: Client, secret: str | None) -> None:
        # An org asks the secret of the web server flow unless the app says otherwise; one that
        # does not know it (None) takes the exchange without it, as a public client's.
        if not _matches(expected.client_secret, secret):
            raise OAuthError("invalid_client", "invalid client credentials")

    def _exchange_code(self, values: dict[str, str], client_id: str | None) -> str:
        with self._lock:
            code = self._codes.pop(values.get("code", ""), None)  # good for one exchange only
        if code is None or code.expires < time.monotonic():
            raise OAuthError("invalid_grant", "invalid authorization code")
        if client_id != code.client_id:
            raise OAuthError("invalid_client_id", "client identifier invalid")
        if values.get("redirect_uri") != code.redirect_uri:
            raise OAuthError("invalid_grant", "redirect_uri must match configuration")
        if code.challenge is not None:
            verifier = values.get("code_verifier", "")
            if not hmac.compare_digest(_pkce_challenge(verifier, code.method), code.challenge):
                raise OAuthError("invalid_grant", "invalid code verifier")
        return code.client_id

    def _token_document(
        self, instance_url: str, secret: str | None, refresh_token: str | None
    ) -> dict[str, Any]:
        token = "00D000000000001!" + secrets.token_urlsafe(32)
        now = time.monotonic()
        with self._lock:
            if self.lifetime is not None:  # what no longer works need not be remembered
                self._issued = {t: at for t, at in self._issued.items() if not self.expired(at)}
            self._issued[token] = now
        issued_at = str(int(time.time() * 1000))
        identity = identity_url(instance_url)
        signature = base64.b64encode(
            hmac.new(
                (secret or "").encode(), (identity + issued_at).encode(), hashlib.sha256
            ).digest()
        ).decode("ascii")
        document = {
            "access_token": token,
            "signature": signature,
            "instance_url": instance_url,
            "id": identity,
            "token_type": "Bearer",
            "issued_at": issued_at,
        }
        if refresh_token is not None:
            document["refresh_token"] = refresh_token
            document["scope"] = "api refresh_token"
        return document


def identity_url(instance_url: str) -> str:
    return f"{instance_url}/id/{ORG_ID}/{USER_ID}"


def user_info(instance_url: str) -> dict[str, Any]:
    """The userinfo document of the server's user, as a token's bearer reads it."""
    return {
        "sub": identity_url(instance_url),
        "user_id": USER_ID,
        "organization_id": ORG_ID,
        "preferred_username": "user@example.com",
    }
