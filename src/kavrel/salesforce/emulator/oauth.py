"""The OAuth 2.0 client-credentials token endpoint, and the userinfo document of the server's one
user (who creates every job). The client authenticates with `client_id`/`client_secret` in the
form body or with HTTP Basic (RFC 6749 §2.3.1); no answer repeats what the client sent."""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import secrets
import time
from typing import Any
from urllib.parse import parse_qs, unquote_plus

TOKEN_PATH = "/services/oauth2/token"
USERINFO_PATH = "/services/oauth2/userinfo"
# The one org and user of the server: every token acts for this user, who creates every job.
ORG_ID = "00D000000000001AAA"
USER_ID = "005000000000001AAA"


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


class TokenIssuer:
    """Issues bearer tokens to the expected client (any client when none is expected)."""

    def __init__(self) -> None:
        self.issued: set[str] = set()

    def knows(self, token: str) -> bool:
        return token in self.issued

    def issue(
        self,
        body: bytes,
        authorization: str,
        instance_url: str,
        expected: tuple[str | None, str | None] = (None, None),
    ) -> dict[str, Any]:
        """A token document for a client matching `expected` (client id, secret)."""
        try:
            form = parse_qs(body.decode("utf-8"), keep_blank_values=True)
        except UnicodeDecodeError:
            raise OAuthError("invalid_request", "the body is not UTF-8 form data") from None
        values = {key: items[0] for key, items in form.items()}
        if values.get("grant_type") != "client_credentials":
            raise OAuthError("unsupported_grant_type", "grant type not supported")
        basic = _basic_credentials(authorization) if authorization else None
        if basic is not None and ("client_id" in values or "client_secret" in values):
            raise OAuthError("invalid_request", "use one way of client authentication, not two")
        client_id, client_secret = basic or (values.get("client_id"), values.get("client_secret"))
        if not (_matches(expected[0], client_id) and _matches(expected[1], client_secret)):
            raise OAuthError("invalid_client", "invalid client credentials")
        token = "00D000000000001!" + secrets.token_urlsafe(32)
        self.issued.add(token)
        issued_at = str(int(time.time() * 1000))
        identity = identity_url(instance_url)
        signature = base64.b64encode(
            hmac.new(
                (client_secret or "").encode(), (identity + issued_at).encode(), hashlib.sha256
            ).digest()
        ).decode("ascii")
        return {
            "access_token": token,
            "signature": signature,
            "instance_url": instance_url,
            "id": identity,
            "token_type": "Bearer",
            "issued_at": issued_at,
        }


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
