"""Interactive creation of a Salesforce connection profile: a connected app's credentials, and
how loads log in with it (client credentials, the JWT bearer flow, or a browser login)."""

from __future__ import annotations

import os
import re
from typing import Any

from kavrel.user.logins import BROWSER, CLIENT_CREDENTIALS, FLOW_TITLES, JWT
from kavrel.user.profile_setup import (
    Answers,
    ask_profile_name,
    required,
    save_profile,
    until_input_ends,
)
from kavrel.user.prompts import ask_secret

DEFAULT_REDIRECT_URL = "https://localhost:1717//OauthRedirect"
HOST_LABEL = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?")
MY_DOMAIN_SUFFIX = re.compile(r"\.(sandbox\.)?my\.salesforce\.com$", re.IGNORECASE)


def parse_my_domain(answer: str) -> tuple[str, bool | None]:
    """The My Domain name (acme for acme.my.salesforce.com); the org's URL or host name is
    accepted and reduced to it. Also tells whether the host named a sandbox (None: not said)."""
    host = re.sub(r"^https?://", "", answer, flags=re.IGNORECASE).split("/")[0]
    suffix = MY_DOMAIN_SUFFIX.search(host)
    sandbox = None
    if suffix:
        host = host[: suffix.start()]
        sandbox = suffix.group(1) is not None
    if not host and answer.strip():
        raise ValueError(
            f"'{answer}' is not a My Domain: give its name, host or URL "
            "(acme, acme.my.salesforce.com or https://acme.my.salesforce.com)."
        )
    if not host:
        raise ValueError("My Domain is required (acme for https://acme.my.salesforce.com).")
    if not HOST_LABEL.fullmatch(host):
        raise ValueError(
            f"'{host}' is not a My Domain name: use letters, digits and '-' "
            "(acme for https://acme.my.salesforce.com)."
        )
    return host, sandbox


def parse_redirect_url(answer: str) -> str:
    if not re.match(r"https?://[^/\s]+", answer, flags=re.IGNORECASE) or re.search(r"\s", answer):
        raise ValueError("The redirect URL must be an http:// or https:// URL.")
    return answer


_FLOW_ANSWERS = {
    "1": CLIENT_CREDENTIALS,
    CLIENT_CREDENTIALS: CLIENT_CREDENTIALS,
    "client credentials": CLIENT_CREDENTIALS,
    "2": JWT,
    JWT: JWT,
    "3": BROWSER,
    BROWSER: BROWSER,
}


def parse_flow(answer: str) -> str:
    flow = _FLOW_ANSWERS.get(answer.strip().lower())
    if flow is None:
        raise ValueError("Answer client-credentials (1), jwt (2) or browser (3).")
    return flow


def parse_jwt_key_file(answer: str) -> str:
    """The absolute path of a readable, unencrypted PEM private key (what the JWT bearer flow
    signs with); the profile refers to the file where it is."""
    from kavrel.salesforce.jwt_assertion import SigningError, read_key

    if not answer:
        raise ValueError("The JWT key file is required.")
    path = os.path.abspath(os.path.expanduser(answer))
    try:
        read_key(path)
    except SigningError as problem:
        raise ValueError(str(problem)) from None
    return path


def ask_client_key(keep_current: bool, answers: Answers | None = None, needed: bool = True) -> str:
    answers = answers or Answers()
    if keep_current and "client_key" not in answers.given:
        return ask_secret("Client key (consumer secret; empty keeps the current one)")
    if not needed:
        label = "Client key (consumer secret; empty when the app asks none of a browser login)"
        return answers.text("client_key", label, str, secret=True)
    return answers.text(
        "client_key",
        "Client key (consumer secret)",
        required("The client key is required."),
        secret=True,
    )


def _ask_login(answers: Answers, current_flow: str) -> tuple[str, dict[str, str]]:
    """How loads log in, and the settings that flow needs beyond the profile's own."""
    flow = answers.text(
        "flow",
        "Login: client-credentials (1), jwt (2) or browser (3)",
        parse_flow,
        current_flow,
    )
    if flow != JWT:
        return flow, {}
    username = answers.text(
        "username", "Salesforce username to log in", required("The username is required.")
    )
    key_file = answers.text("jwt_key_file", "JWT private key file", parse_jwt_key_file)
    return flow, {"username": username, "jwt_key_file": key_file}


def _create_profile(answers: Answers) -> dict[str, Any] | None:
    print("New Salesforce connection (connected app). Ctrl-C cancels.")
    name, current = ask_profile_name("salesforce", answers)

    def default(key: str) -> str:
        return str(current.get(key) or "")

    client_id = answers.text(
        "client_id",
        "Client ID (consumer key)",
        required("The client ID is required."),
        default("client_id"),
    )
    flow, settings = _ask_login(answers, _current_flow(name, current))
    client_key = ""
    if flow != JWT:  # the JWT bearer flow needs no secret of the app
        keep = bool(current.get("client_key"))
        client_key = ask_client_key(keep, answers, flow == CLIENT_CREDENTIALS)
        client_key = client_key or default("client_key")
    my_domain, host_sandbox = answers.text(
        "my_domain", "My Domain", parse_my_domain, default("my_domain")
    )
    sandbox_default = bool(current.get("sandbox")) if host_sandbox is None else host_sandbox
    sandbox = answers.yes_no("sandbox", "Sandbox org?", sandbox_default)
    redirect_url = answers.text(
        "redirect_url",
        "Redirect URL",
        parse_redirect_url,
        default("redirect_url") or DEFAULT_REDIRECT_URL,
    )

    credentials = {
        "connection_type": "salesforce",
        "client_id": client_id,
        "client_key": client_key,
        "my_domain": my_domain,
        "sandbox": sandbox,
        "redirect_url": redirect_url,
    }
    summary = [
        ("Client ID", client_id),
        ("Client key", "(set)" if client_key else "(not set)"),
        ("My Domain", my_domain),
        ("Sandbox", "Yes" if sandbox else "No"),
        ("Redirect URL", redirect_url),
        ("Login", FLOW_TITLES[flow]),
        *[(label, settings[key]) for key, label in _SETTING_LABELS if key in settings],
    ]
    login = (
        {"flow": flow, "client_id": client_id, **settings} if flow != CLIENT_CREDENTIALS else None
    )
    saved = save_profile(name, credentials, "salesforce", summary, answers, login)
    if saved and flow == BROWSER:
        print(f"Log in with `kavrel connection login {name}` before loading with it.")
    return saved


_SETTING_LABELS = (("username", "Username"), ("jwt_key_file", "JWT key file"))


def _current_flow(name: str, current: dict[str, Any]) -> str:
    """The flow of the profile being replaced, as the question's default."""
    from kavrel.user import logins

    return logins.flow_of(logins.login_of(name, current)) if current else CLIENT_CREDENTIALS


def authenticate_salesforce(answers: Answers | None = None) -> dict[str, Any] | None:
    """Creates a Salesforce connection profile by asking the user for its details, and saves it.

    `answers` holds details given beforehand (and whether to ask at all). Returns the saved
    profile, or None when the user declined or the input ended. Ctrl-C raises KeyboardInterrupt
    to the caller; nothing is saved before the user confirms.
    """
    return until_input_ends(lambda: _create_profile(answers or Answers()))
