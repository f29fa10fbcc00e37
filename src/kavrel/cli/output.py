"""What the job and connection commands share: `--json`, the error line, the exit status.

A command produces an Outcome: a document for `--json` and text for a person. Errors the user can
act on are one line on standard error (and, with `--json`, an {"error": ...} document on standard
output, so a script always has one document to read).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from kavrel.cli.errors import CommandError, error_text


@dataclass
class Outcome:
    """What a command found: the `--json` document, the text for a person, the exit status."""

    document: dict[str, Any]
    text: str
    status: int = 0


def add_json_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--json",
        action="store_true",
        help="print one JSON document on standard output instead of text",
    )


def progress(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


def emit_json(document: dict[str, Any]) -> None:
    print(json.dumps(document, indent=2, ensure_ascii=False))


def fail(args: argparse.Namespace, message: str) -> int:
    if getattr(args, "json", False):
        emit_json({"error": message})
    print(f"Error: {message}", file=sys.stderr)
    return 1


def store_problem(error: BaseException) -> str | None:
    """The one line for an error met reading the connections file, which the store names on the
    error (its `connections_file`); None for any other error."""
    path = getattr(error, "connections_file", None)
    if path is None:
        return None
    if isinstance(error, OSError):
        return f"cannot read the connections file {path}: {error.strerror or error}"
    text = " ".join(str(error).split()) or type(error).__name__
    if str(path) in text:  # the store's own finding names the file already
        return text
    return f"the connections file {path} is damaged: {text}"


def _error_text(args: argparse.Namespace, error: Exception) -> str | None:
    """The one line for a failure that is not a fault in kavrel, or None."""
    import requests

    from kavrel.salesforce import ingest_bapi20

    if isinstance(error, CommandError):
        return str(error)
    if (problem := store_problem(error)) is not None:
        return problem
    if isinstance(error, ingest_bapi20.BulkApiError):
        job_id = getattr(args, "job_id", None)
        if error.status_code == 404 and job_id is not None:
            return f"no ingest job {job_id} in this org ({error.message})"
        return str(error)
    if isinstance(error, requests.RequestException):
        return f"cannot reach Salesforce: {error}"
    return None


def run_command(args: argparse.Namespace, produce: Callable[[], Outcome]) -> int:
    """Runs a command and shows its outcome; returns the exit status."""
    try:
        outcome = produce()
    except Exception as error:
        message = _error_text(args, error)
        return fail(args, error_text(error) if message is None else message)
    if args.json:
        emit_json(outcome.document)
    elif outcome.text:
        print(outcome.text)
    return outcome.status
