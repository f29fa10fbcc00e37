"""`kavrel emulator`: a local Bulk API 2.0 ingest server for trying loads without an org."""

from __future__ import annotations

import argparse


def _run(args: argparse.Namespace) -> int:
    from kavrel.salesforce import emulator

    return emulator.serve(args)


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    from kavrel.salesforce import emulator

    parser = subparsers.add_parser(
        "emulator",
        help="run a local Salesforce Bulk API 2.0 server that applies loads to SQLite",
        description=(
            "Serve the Bulk API 2.0 ingest endpoints on 127.0.0.1, applying each job to a SQLite "
            "database. Prints the base URL (the instance_url to load into) and serves until "
            "interrupted."
        ),
    )
    emulator.add_arguments(parser)
    parser.set_defaults(run=_run)
