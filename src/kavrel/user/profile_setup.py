"""The steps every interactive profile creation shares: choosing the name (and whether to replace
a profile of that name), confirming, saving, and offering to make the profile primary."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from kavrel.user import connections as store
from kavrel.user.prompts import ask_until_valid, ask_yes_no

# Bare TOML keys that do not begin with "_" (those names are reserved for the store's own tables
# and never listed as profiles) or "-" (it would read as an option on a command line).
NAME_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}")


def parse_profile_name(answer: str) -> str:
    if not answer:
        raise ValueError("A profile name is required.")
    if not NAME_PATTERN.fullmatch(answer):
        raise ValueError(
            "A profile name is up to 64 letters, digits, '-' and '_', "
            "beginning with a letter or digit."
        )
    return answer


def required(message: str):
    """A parser for `ask_until_valid` that accepts any non-empty answer."""

    def parse(answer: str) -> str:
        if not answer:
            raise ValueError(message)
        return answer

    return parse


def _saved_profile(name: str) -> dict[str, Any] | None:
    try:
        return store.load_connection(name)
    except FileNotFoundError:  # no profile saved yet
        return None


def ask_profile_name(connection_type: str) -> tuple[str, dict[str, Any]]:
    """Asks for the new profile's name until it is valid and either free or, as the user
    confirms, to be replaced. Returns the name and the replaced profile of the same type (whose
    values serve as the defaults), or an empty mapping."""
    while True:
        name = ask_until_valid("Profile name", parse_profile_name)
        current = _saved_profile(name)
        if not current:
            return name, {}
        kind = current.get("connection_type", "")
        if ask_yes_no(f"A {kind} profile named '{name}' already exists. Replace it?", False):
            return name, current if kind == connection_type else {}
        print("  Choose another name.")


def save_profile(
    name: str,
    credentials: dict[str, Any],
    connection_type: str,
    summary: list[tuple[str, str]],
) -> dict[str, Any] | None:
    """Shows `summary`, saves the profile once the user confirms, and offers to make it the
    primary of its type. Returns the profile as stored, or None when the user declines."""
    print()
    print(f"Profile '{name}' ({connection_type}):")
    for label, value in summary:
        print(f"  {label + ':':<18}{value}")
    if not ask_yes_no("Save this profile?", True):
        print("Nothing saved.")
        return None
    store.save_connection_config(name, credentials, connection_type=connection_type, copy_key=True)

    primary = store.get_primary_connection(connection_type)
    if primary != name:
        # Proposed by default when there is no primary of this type yet, or it was deleted.
        first = primary is None or not _saved_profile(primary)
        title = connection_type.capitalize()
        if ask_yes_no(f"Make '{name}' the primary {title} connection?", first):
            store.set_primary_connection(name, connection_type)
    return store.load_connection(name) or credentials


def until_input_ends(create: Callable[[], dict[str, Any] | None]) -> dict[str, Any] | None:
    """Runs an interactive creation; input that ends early (Ctrl-D) declines it, saving nothing."""
    try:
        return create()
    except EOFError:
        print("\nInput ended before the profile was complete; nothing saved.")
        return None
