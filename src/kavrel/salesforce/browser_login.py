"""A browser login: the OAuth 2.0 web server flow with PKCE (RFC 7636).

The user logs in on the org's authorization page, in a browser; the org then sends the browser to
the profile's redirect URL with a one-time code, which this process exchanges for an access token
and a refresh token. The code is worth nothing without the verifier that never leaves this process
(only its hash goes with the login), and the `state` ties the answer to this one login, so a page
that sends the browser to the redirect URL with a code of its own is turned away.

The code comes back in one of two ways:
- a one-shot listener on the redirect URL's host and port, when that is this machine over plain
  http (`http://localhost:1717/OauthRedirect`): it answers the browser with a page saying the
  login is done, and stops;
- the address the browser ended on, pasted back by the user: with --no-browser (the browser is on
  another machine), or for a redirect URL nothing here can answer (https, which would need a
  certificate the browser trusts, or another host), where the browser shows an error page whose
  address still holds the code.
"""

from __future__ import annotations

import base64
import hashlib
import html
import queue
import secrets
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs

from urllib3.util import parse_url

from kavrel.salesforce import oauth, urls

# How long the listener waits for the browser to come back.
WAIT_SECONDS = 300.0


class LoginRefused(Exception):
    """The login did not bring back a code; the text is one line for the user."""


class NotThisLogin(LoginRefused):
    """An answer whose state is not this login's: another page's, or an older login's."""


@dataclass(frozen=True)
class Pending:
    """One login under way: the PKCE verifier (kept here), its challenge (sent), and the state."""

    verifier: str
    challenge: str
    state: str


def pending() -> Pending:
    # 64 random bytes give 86 characters of the base64url alphabet: within PKCE's 43 to 128.
    verifier = secrets.token_urlsafe(64)
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    challenge = base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")
    return Pending(verifier, challenge, secrets.token_urlsafe(24))


def code_of(query: Mapping[str, list[str]], state: str) -> str:
    """The code a redirect to the client carries; LoginRefused when it carries the org's refusal
    or belongs to another login (its state is not this one's)."""
    if query.get("state", [""])[0] != state:
        raise NotThisLogin(
            "the answer does not belong to this login (its state differs); log in again"
        )
    if "error" in query:
        description = query.get("error_description", [""])[0]
        error = query["error"][0] + (f": {description}" if description else "")
        raise LoginRefused(f"Salesforce refused the login: {error}")
    code = query.get("code", [""])[0]
    if not code:
        raise LoginRefused("the answer holds no code; log in again")
    return code


def code_from_pasted(text: str, state: str) -> str:
    """The code in an address pasted back by the user (the whole URL, or its query)."""
    query = text.strip().partition("?")[2] or text.strip()
    return code_of(parse_qs(query.partition("#")[0]), state)


# --- the listener --------------------------------------------------------------------------------


def _page(title: str, text: str) -> bytes:
    return (
        f"<!doctype html><meta charset=utf-8><title>kavrel: {html.escape(title)}</title>"
        f"<h1>{html.escape(title)}</h1><p>{html.escape(text)}</p>"
    ).encode()


class _Handler(BaseHTTPRequestHandler):
    server: _OneShotServer
    timeout = 10  # a browser's spare connection that sends nothing does not hold a thread

    def do_GET(self) -> None:  # noqa: N802 (name fixed by http.server)
        path, _, query = self.path.partition("?")
        if path != self.server.path:
            self._answer(404, _page("Not found", "This is not the login's redirect address."))
            return
        try:
            code = code_of(parse_qs(query), self.server.state)
        except NotThisLogin as foreign:  # another page's redirect: keep waiting for ours
            self._answer(400, _page("Not this login", str(foreign)))
            return
        except LoginRefused as refused:
            self.server.outcome.put(refused)
            self._answer(200, _page("Login refused", str(refused)))
            return
        self.server.outcome.put(code)
        self._answer(200, _page("Logged in", "kavrel has the login; you can close this tab."))

    def _answer(self, status: int, page: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # the request line holds the code


class _OneShotServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], path: str, state: str) -> None:
        super().__init__(address, _Handler)
        self.path = path
        self.state = state
        self.outcome: queue.Queue[str | LoginRefused] = queue.Queue()


class Listener:
    """Serves the redirect URL until the browser brings this login's code back."""

    def __init__(self, host: str, port: int, path: str, state: str) -> None:
        address = "::1" if host == "[::1]" else "127.0.0.1" if host == "localhost" else host
        self._server = _OneShotServer((address, port), path, state)
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True
        )
        self._thread.start()

    def wait(self, seconds: float = WAIT_SECONDS) -> str:
        try:
            outcome = self._server.outcome.get(timeout=seconds)
        except queue.Empty:
            raise LoginRefused(
                f"the browser did not come back within {seconds:.0f} seconds; log in again"
            ) from None
        if isinstance(outcome, LoginRefused):
            raise outcome
        return outcome

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()


def why_no_listener(redirect_url: str) -> str | None:
    """Why no listener can take the browser's redirect to `redirect_url` (None: one can)."""
    try:
        parts = parse_url(redirect_url)
    except ValueError:
        return f"the redirect URL {redirect_url} cannot be read"
    if parts.scheme == "https" and urls.is_loopback(parts.host or ""):
        return (
            f"the redirect URL {redirect_url} is https, which nothing here can answer with a "
            "certificate your browser trusts (a redirect URL http://localhost:1717/OauthRedirect, "
            "in the connected app and the profile, lets kavrel take the answer itself)"
        )
    if parts.scheme != "http" or not urls.is_loopback(parts.host or ""):
        return f"the redirect URL {redirect_url} is not on this machine"
    return None


def listen(redirect_url: str, state: str) -> Listener:
    """A listener for a redirect URL that `why_no_listener` passed; OSError when its port cannot
    be had (another program holds it)."""
    parts = parse_url(redirect_url)
    return Listener(parts.host or "", parts.port or 80, parts.path or "/", state)


# --- one login ---------------------------------------------------------------------------------


def log_in(
    profile: Mapping[str, Any],
    base: str,
    *,
    use_browser: bool,
    say: Callable[[str], None],
    ask: Callable[[str], str],
    open_browser: Callable[[str], bool],
    wait_seconds: float = WAIT_SECONDS,
) -> tuple[dict[str, str], str | None]:
    """Logs in on the org at `base` as the user chooses in the browser; returns the access info
    and the refresh token (None when the org gave none). `say` shows a line, `ask` asks for the
    pasted address, `open_browser` opens a URL (False when it could not)."""
    redirect_url = str(profile.get("redirect_url") or "")
    login = pending()
    url = oauth.authorize_url(profile, base, redirect_url, login.challenge, login.state)
    listener = None
    reason = why_no_listener(redirect_url) if use_browser else None
    if use_browser and reason is None:
        try:
            listener = listen(redirect_url, login.state)
        except OSError as error:
            reason = f"nothing can listen on {redirect_url} ({error.strerror or error})"
    try:
        if use_browser and open_browser(url):
            say(f"Log in in the browser window that opened (or open {url} ).")
        else:
            say(f"Open this address in a browser and log in:\n{url}")
        if listener is None:
            say(
                "Then paste the address the browser ends on (its page may show an error: the "
                "address is what counts)" + (f"; {reason}." if reason else ".")
            )
            try:
                code = code_from_pasted(ask("Address the browser ended on"), login.state)
            except EOFError:
                raise LoginRefused("no address was pasted") from None
        else:
            say(f"Waiting for the browser to come back to {redirect_url} ...")
            code = listener.wait(wait_seconds)
    finally:
        if listener is not None:
            listener.close()
    return oauth.exchange_code(profile, base, code, login.verifier, redirect_url)
