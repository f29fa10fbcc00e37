"""The steps every interactive profile creation shares: choosing the name (and whether to replace
a profile of that name), confirming, saving, and offering to make the profile primary."""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from typing import Any, TypeVar

from kavrel.user import connections as store
from kavrel.user.prompts import ask_until_valid, ask_yes_no

# Bare TOML keys that do not begin with "_" (those names are reserved for the store's own tables
# and never listed as profiles) or "-" (it would read as an option on a command line).
NAME_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}")

T = TypeVar("T")


class MissingAnswer(Exception):
    """Creation without questions lacks an answer, or was given one that is not valid; the text
    names the option to give. `key` is the answer's key, `missing` whether it was not given."""

    def __init__(self, message: str, key: str | None = None, missing: bool = False) -> None:
        super().__init__(message)
        self.key = key
        self.missing = missing


class Answers:
    """The answers given before the creation starts (command-line options), by key.

    A given answer is checked like a typed one. Interactively, a missing or invalid one is asked
    for; without questions (`interactive=False`) a missing one takes the question's default and an
    invalid one, or a required one missing, raises MissingAnswer. `make_primary` True makes the
    profile primary without asking.
    """

    def __init__(
        self,
        given: Mapping[str, Any] | None = None,
        interactive: bool = True,
        make_primary: bool = False,
    ) -> None:
        self.given = {key: value for key, value in (given or {}).items() if value is not None}
        self.interactive = interactive
        self.make_primary = make_primary
        # The name the profile was given, once chosen, and whether the user agreed to replace the
        # profile saved under it.
        self.name: str | None = None
        self.replaces = False
        # Ctrl-C at a question after the save: the profile stays, and the command ends as
        # interrupted.
        self.interrupted = False

    def forget(self, key: str) -> None:
        """Drops a given answer, so that the question is asked (a refused name, say)."""
        self.given.pop(key, None)

    def refuse(self, key: str, problem: object) -> None:
        """Reports an unusable answer: raises without questions, else shows it and forgets it."""
        if not self.interactive:
            missing = key not in self.given
            raise MissingAnswer(f"--{key.replace('_', '-')}: {problem}", key, missing)
        print(f"  {problem}")
        self.forget(key)

    def text(
        self,
        key: str,
        label: str,
        parse: Callable[[str], T],
        default: str = "",
        *,
        secret: bool = False,
    ) -> T:
        if key in self.given:
            try:
                return parse(str(self.given[key]))
            except ValueError as problem:
                self.refuse(key, problem)
        elif not self.interactive:
            try:
                return parse(default)
            except ValueError as problem:
                self.refuse(key, problem)
        return ask_until_valid(label, parse, default, secret=secret)

    def yes_no(self, key: str, label: str, default: bool) -> bool:
        if key in self.given:
            return bool(self.given[key])
        if not self.interactive:
            return default
        return ask_yes_no(label, default)


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


def name_taken(kind: str, name: str) -> str:
    return (
        f"--name: a {kind} profile named '{name}' already exists; remove it first "
        f"(kavrel connection remove {name}) or choose another name"
    )


def _save_unless_taken(
    name: str,
    credentials: dict[str, Any],
    connection_type: str,
    answers: Answers,
    login: Mapping[str, str] | None = None,
) -> bool:
    """Saves the profile and its login settings (those of a replaced profile go), under the
    store's lock, unless another process saved one under its name since the name was found
    free; False when it did (nothing is saved then)."""
    from kavrel.user import logins

    def check_and_save() -> bool:
        current = None if answers.replaces else _saved_profile(name)
        if current:
            if not answers.interactive:
                raise MissingAnswer(name_taken(store.profile_type(current), name))
            return False
        store.save_connection_config(
            name, credentials, connection_type=connection_type, copy_key=True
        )
        if login:
            logins.save_login(name, login)
        else:
            logins.forget_login(name)
        return True

    store.initialize_velmora_directory()  # so that even the first save has a lock to take
    return store.under_store_lock(check_and_save)


def ask_profile_name(
    connection_type: str, answers: Answers | None = None
) -> tuple[str, dict[str, Any]]:
    """Asks for the new profile's name until it is valid and either free or, as the user
    confirms, to be replaced. Returns the name and the replaced profile of the same type (whose
    values serve as the defaults), or an empty mapping. Without questions an existing name is
    refused: replacing a profile is for a person to confirm."""
    answers = answers or Answers()
    while True:
        name = answers.text("name", "Profile name", parse_profile_name)
        current = _saved_profile(name)
        answers.name = name
        if not current:
            return name, {}
        kind = store.profile_type(current)
        if not answers.interactive:
            raise MissingAnswer(name_taken(kind, name))
        if ask_yes_no(f"A {kind} profile named '{name}' already exists. Replace it?", False):
            answers.replaces = True
            return name, current if kind == connection_type else {}
        print("  Choose another name.")
        answers.forget("name")


def save_profile(
    name: str,
    credentials: dict[str, Any],
    connection_type: str,
    summary: list[tuple[str, str]],
    answers: Answers | None = None,
    login: Mapping[str, str] | None = None,
) -> dict[str, Any] | None:
    """Shows `summary`, saves the profile (with its `login` settings, see kavrel.user.logins)
    once the user confirms, and offers to make it the primary of its type. Returns the profile
    as stored, or None when the user declines.

    Once the profile is saved, Ctrl-C or the end of input at the last question only skips making
    it primary: the profile stays saved, and the user is told so."""
    answers = answers or Answers()
    print()
    print(f"Profile '{name}' ({connection_type}):")
    for label, value in summary:
        print(f"  {label + ':':<18}{value}")
    if not answers.yes_no("save", "Save this profile?", True):
        print("Nothing saved.")
        return None
    if not _save_unless_taken(name, credentials, connection_type, answers, login):
        print(
            f"A profile named '{name}' was saved by another program meanwhile; nothing saved "
            "(run again to replace it or to choose another name)."
        )
        return None

    primary = store.get_primary_connection(connection_type)
    title = connection_type.capitalize()
    if answers.make_primary:
        store.set_primary_connection(name, connection_type)
    elif primary != name:
        # Proposed by default when there is no primary of this type yet, or it was deleted.
        first = primary is None or not _saved_profile(primary)
        try:
            make_primary = answers.yes_no(
                "default", f"Make '{name}' the primary {title} connection?", first
            )
        except (KeyboardInterrupt, EOFError) as ending:
            print(f"\nProfile '{name}' was saved; it was not made the primary {title} connection.")
            answers.interrupted = isinstance(ending, KeyboardInterrupt)
            make_primary = False
        if make_primary:
            store.set_primary_connection(name, connection_type)
    return store.load_connection(name) or credentials


def until_input_ends(create: Callable[[], dict[str, Any] | None]) -> dict[str, Any] | None:
    """Runs an interactive creation; input that ends early (Ctrl-D) declines it, saving nothing."""
    try:
        return create()
    except EOFError:
        print("\nInput ended before the profile was complete; nothing saved.")
        return None
