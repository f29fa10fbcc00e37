"""Terminal prompts for the interactive commands: one question, one answer.

`input` and `getpass.getpass` are looked up when a prompt runs, so a test (or another front end)
can replace them. Ctrl-C raises KeyboardInterrupt and Ctrl-D raises EOFError to the caller.
"""

from __future__ import annotations

import getpass
from collections.abc import Callable
from typing import TypeVar

T = TypeVar("T")


def ask(label: str, default: str = "") -> str:
    """Asks for one line of text; an empty answer takes `default`, shown in brackets."""
    suffix = f" [{default}]" if default else ""
    answer = input(f"{label}{suffix}: ").strip()
    return answer or default


def ask_secret(label: str) -> str:
    """Asks for a secret without echoing it."""
    return getpass.getpass(f"{label}: ").strip()


def ask_yes_no(label: str, default: bool) -> bool:
    """Asks a yes/no question until it gets an answer; an empty answer takes `default`."""
    hint = "Y/n" if default else "y/N"
    while True:
        answer = input(f"{label} [{hint}]: ").strip().lower()
        if not answer:
            return default
        if answer in ("y", "yes"):
            return True
        if answer in ("n", "no"):
            return False
        print("  Please answer y or n.")


def ask_until_valid(
    label: str,
    parse: Callable[[str], T],
    default: str = "",
    *,
    secret: bool = False,
) -> T:
    """Asks until `parse(answer)` accepts the answer; a ValueError from it is shown to the user
    as the reason, and the question is asked again."""
    while True:
        answer = ask_secret(label) if secret else ask(label, default)
        try:
            return parse(answer)
        except ValueError as problem:
            print(f"  {problem}")
