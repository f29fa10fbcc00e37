"""What the commands share for their output: `--json`, the Outcome a command returns (shown by
kavrel.cli.ending), the progress lines, and the one line for a failure the user can act on.
"""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass
from typing import Any

from kavrel.cli.errors import CommandError


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


def failure_text(args: argparse.Namespace, error: Exception) -> str | None:
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
