"""The `kavrel` command: a dispatcher over subcommands.

Each module in COMMAND_MODULES offers `register(subparsers)`, which adds its subcommands and sets
`run` on each parser to a function taking the parsed arguments and returning the exit status.
"""

from __future__ import annotations

import argparse
import importlib
import sys

COMMAND_MODULES: tuple[str, ...] = (
    "kavrel.cli.connections",
    "kavrel.cli.loads",
    "kavrel.cli.emulator",
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kavrel",
        description="Load Snowflake query results into Salesforce and manage saved connections.",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name in COMMAND_MODULES:
        importlib.import_module(name).register(subparsers)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run = getattr(args, "run", None)
    if run is None:
        parser.print_help()
        return 2
    return int(run(args))


if __name__ == "__main__":
    sys.exit(main())
