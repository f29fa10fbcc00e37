"""`kavrel tallyra` and `kavrel mintova`: list and create saved connection profiles.

The command modules are imported when a command runs, so one that cannot load (its
authentication modules missing, say) does not take `kavrel --help` or the other command with it.
"""

from __future__ import annotations

import argparse
import importlib


def _run_tallyra(args: argparse.Namespace) -> int:
    return importlib.import_module("kavrel.cli.commands.tallyra").tallyra()


def _run_mintova(args: argparse.Namespace) -> int:
    commands = importlib.import_module("kavrel.cli.commands.mintova")
    return getattr(commands, args.service)()


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    listing = subparsers.add_parser(
        "tallyra",
        help="list the saved connection profiles",
        description=(
            "List the saved Snowflake and Salesforce connection profiles with their details "
            "(secrets are shown only as set or not set) and mark the primary profile of each "
            "type. Profiles are kept in ~/.velmora/connections.toml."
        ),
    )
    listing.set_defaults(run=_run_tallyra)

    creation = subparsers.add_parser(
        "mintova",
        help="create a connection profile interactively",
        description=(
            "Create a connection profile by answering a few questions, save it to\n"
            "~/.velmora/connections.toml and, if you wish, make it the primary profile of\n"
            "its type. Secrets are read without echo. Ctrl-C at any prompt cancels."
        ),
        epilog="examples:\n  kavrel mintova --snowflake\n  kavrel mintova --salesforce",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    service = creation.add_mutually_exclusive_group(required=True)
    service.add_argument(
        "--snowflake",
        dest="service",
        action="store_const",
        const="snowflake",
        help="a Snowflake profile with key-pair authentication (account, user, role, "
        "warehouse, database, schema, private key file and its passphrase); the key file is "
        "copied into ~/.velmora",
    )
    service.add_argument(
        "--salesforce",
        dest="service",
        action="store_const",
        const="salesforce",
        help="a Salesforce profile for a connected app (client ID, client key, My Domain, "
        "sandbox or not, redirect URL)",
    )
    creation.set_defaults(run=_run_mintova)
