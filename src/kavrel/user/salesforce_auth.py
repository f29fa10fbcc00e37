"""Interactive creation of a Salesforce connection profile (a connected app's credentials)."""

from __future__ import annotations

import re
from typing import Any

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


def ask_client_key(keep_current: bool, answers: Answers | None = None) -> str:
    answers = answers or Answers()
    if keep_current and "client_key" not in answers.given:
        return ask_secret("Client key (consumer secret; empty keeps the current one)")
    return answers.text(
        "client_key",
        "Client key (consumer secret)",
        required("The client key is required."),
        secret=True,
    )


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
    client_key = ask_client_key(bool(current.get("client_key")), answers) or default("client_key")
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
        ("Client key", "(set)"),
        ("My Domain", my_domain),
        ("Sandbox", "Yes" if sandbox else "No"),
        ("Redirect URL", redirect_url),
    ]
    return save_profile(name, credentials, "salesforce", summary, answers)


def authenticate_salesforce(answers: Answers | None = None) -> dict[str, Any] | None:
    """Creates a Salesforce connection profile by asking the user for its details, and saves it.

    `answers` holds details given beforehand (and whether to ask at all). Returns the saved
    profile, or None when the user declined or the input ended. Ctrl-C raises KeyboardInterrupt
    to the caller; nothing is saved before the user confirms.
    """
    return until_input_ends(lambda: _create_profile(answers or Answers()))
