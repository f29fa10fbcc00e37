"""How the commands word a failure: one line, for a person."""

from __future__ import annotations


class CommandError(Exception):
    """A problem the user can fix; its text is the whole message."""


def error_text(error: BaseException) -> str:
    """The one line for an error: a CommandError's own text, any other's type and text."""
    if isinstance(error, CommandError):
        return str(error)
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
