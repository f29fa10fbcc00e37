"""`kavrel emulator`: a local Bulk API 2.0 ingest server for trying loads without an org.

The server module is imported only when the command runs, so other commands start fast.
"""

from __future__ import annotations

import argparse


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The server's options, shared with `python -m kavrel.salesforce.emulator`."""
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0 picks one)")
    parser.add_argument(
        "--access-token", help="bearer token accepted besides issued ones (default local-token)"
    )
    parser.add_argument(
        "--db", default=":memory:", help="SQLite file the records go to (default: in memory)"
    )
    parser.add_argument("--client-id", help="client id the token endpoint accepts (default any)")
    parser.add_argument("--client-secret", help="client secret it accepts (default any)")
    parser.add_argument(
        "--in-progress-checks",
        type=int,
        default=0,
        metavar="N",
        help="status checks a closed job answers InProgress before its end state (default 0)",
    )


def _run(args: argparse.Namespace) -> int:
    from kavrel.salesforce import emulator

    return emulator.serve(args)


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    parser = subparsers.add_parser(
        "emulator",
        help="run a local Salesforce Bulk API 2.0 server that applies loads to SQLite",
        description=(
            "Serve the Bulk API 2.0 ingest endpoints on 127.0.0.1, applying each job to a SQLite "
            "database. Prints the base URL (the instance_url to load into) and serves until "
            "interrupted."
        ),
    )
    add_arguments(parser)
    parser.set_defaults(run=_run)
