"""`kavrel schema pull OBJECT... [--out DIR]`: save the org's own descriptions of objects, one
`OBJECT.json` each, as `kavrel emulator --schema DIR` reads them, so that a rehearsal against the
local server checks records with the org's fields, lengths, picklists and required fields.

Every object is described before anything is written: an object the org does not have, or a
description the local server could not read, leaves the folder as it was.
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile
from pathlib import Path
from typing import Any

from kavrel.cli import output
from kavrel.cli.errors import CommandError
from kavrel.cli.options import add_org_arguments, org_access

DEFAULT_FOLDER = "schema"


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds `kavrel schema pull` to the `kavrel` parser."""
    schema = subparsers.add_parser(
        "schema",
        help="save the org's object descriptions, for the local server's --schema",
        description="Save the org's descriptions of objects.",
    )
    commands = schema.add_subparsers(dest="schema_command", metavar="COMMAND", required=True)
    pull = commands.add_parser(
        "pull",
        help="save each object's describe as OBJECT.json",
        description="Save each object's description (its describe) as DIR/OBJECT.json, in the "
        "form `kavrel emulator --schema DIR` reads.",
    )
    pull.add_argument("objects", nargs="+", metavar="OBJECT", help="object API names (Account)")
    pull.add_argument(
        "--out",
        metavar="DIR",
        default=DEFAULT_FOLDER,
        help=f"the folder the files go to (default ./{DEFAULT_FOLDER}; made when missing)",
    )
    add_org_arguments(pull, "org (default: the primary Salesforce profile)")
    output.add_json_argument(pull)
    pull.set_defaults(run=_run)


def _run(args: argparse.Namespace) -> output.Outcome:
    return _pull(args, org_access(args))


def _described(access_info: dict[str, str], sobject: str) -> dict[str, Any]:
    from kavrel.salesforce import ingest_bapi20
    from kavrel.salesforce.records.describe import description_of
    from kavrel.salesforce.records.schema import SchemaError

    try:
        document = ingest_bapi20.describe_sobject(access_info, sobject)
    except ingest_bapi20.BulkApiError as error:
        if error.status_code == 404:
            raise CommandError(f"the org has no object {sobject} ({error.message})") from None
        raise
    try:
        description_of(document, f"the org's description of {sobject}")
    except SchemaError as error:
        raise CommandError(str(error)) from None
    return document


def _write(folder: Path, document: dict[str, Any]) -> Path:
    """Writes the description whole or not at all, so a pull killed midway leaves no half file."""
    path = folder / f"{document['name']}.json"
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            json.dump(document, file, indent=2, ensure_ascii=False)
            file.write("\n")
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    return path


def _pull(args: argparse.Namespace, access_info: dict[str, str]) -> output.Outcome:
    names = list({name.lower(): name for name in args.objects}.values())
    documents = [_described(access_info, name) for name in names]
    folder = Path(args.out)
    try:
        folder.mkdir(parents=True, exist_ok=True)
        paths = [_write(folder, document) for document in documents]
    except OSError as error:
        raise CommandError(f"cannot write to {folder}: {error.strerror or error}") from None
    saved = [
        {"object": document["name"], "fields": len(document["fields"]), "file": str(path)}
        for document, path in zip(documents, paths, strict=True)
    ]
    lines = [f"Saved {s['object']} ({s['fields']:,} fields) to {s['file']}" for s in saved]
    lines.append(f"Rehearse against them locally: kavrel emulator --schema {folder}")
    return output.Outcome({"folder": str(folder), "objects": saved}, "\n".join(lines))
