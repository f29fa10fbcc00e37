"""How a command ends: one function (`conclude`) maps what a command returns or raises to its exit
status and its last line, for every command of `kavrel`, the local server's included.

A command returns its exit status, or an `Outcome` (a document for `--json`, text for a person,
a status), and raises for whatever ends it early; it never exits by itself. The statuses: 0
success, 1 a failure at run time (one line `Error: ...` on standard error, and with `--json` an
`{"error": ...}` document on standard output, so a script always has one document to read), 2 a
usage error (argparse's own), 130 interrupted by Ctrl-C, 143 terminated by SIGTERM. Ctrl-C and
SIGTERM raise where the command is (kavrel.load.signals), so its clean-up runs; a command that
has told the user what the interrupt left raises `Told`, and the line "Interrupted." is not
added.
"""

from __future__ import annotations

import argparse
import signal
import sys
import traceback
from collections.abc import Callable
from typing import Any

from kavrel.cli.errors import CommandError, error_text
from kavrel.cli.output import Outcome, emit_json, failure_text
from kavrel.load import signals

SUCCEEDED = 0
FAILED = 1
USAGE = 2
INTERRUPTED = 128 + signal.SIGINT  # the exit status of a command ended by Ctrl-C
TERMINATED = 128 + signal.SIGTERM  # and by SIGTERM, as a shell reports them


class Told(KeyboardInterrupt):
    """An interrupt whose consequence the command has already told the user."""


def conclude(run: Callable[[argparse.Namespace], Any], args: argparse.Namespace) -> int:
    """Runs the command `run(args)` with Ctrl-C and SIGTERM raised where it is, shows what it
    returns, and gives its exit status."""
    received = len(signals.received)
    try:
        with signals.raised_as_interrupts():
            status = _shown(run(args), args)
    except KeyboardInterrupt as interrupt:
        if not isinstance(interrupt, Told | signals.Terminated):
            print("\nInterrupted.", file=sys.stderr)
        status = INTERRUPTED
    except Exception as error:
        status = _failed(args, error)
    # A command may turn the interrupt into an outcome of its own; SIGTERM still ends with 143.
    return TERMINATED if signal.SIGTERM in signals.received[received:] else status


def _shown(result: Any, args: argparse.Namespace) -> int:
    if not isinstance(result, Outcome):
        return int(result)
    if getattr(args, "json", False):
        emit_json(result.document)
    elif result.text:
        print(result.text)
    return result.status


def _failed(args: argparse.Namespace, error: Exception) -> int:
    """The one line for a failure (a traceback before it with -v, for a fault in kavrel)."""
    message = failure_text(args, error)
    if message is None:
        if getattr(args, "verbose", False):
            traceback.print_exc()
        message = error_text(error)
    if getattr(args, "json", False):
        emit_json({"error": message})
    print(f"Error: {message}", file=sys.stderr)
    return FAILED


__all__ = ["FAILED", "INTERRUPTED", "SUCCEEDED", "TERMINATED", "USAGE", "CommandError", "Told",
           "conclude"]  # fmt: skip
