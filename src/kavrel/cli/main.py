"""The `kavrel` command: a dispatcher over subcommands.

Each module in COMMAND_GROUPS offers `register(subparsers)`, which adds its subcommands and sets
`run` on each parser to a function taking the parsed arguments and returning the exit status.
`kavrel --help` lists the commands by the group of the module that registered them.

Exit status: 0 success, 1 a failure at run time, 2 a usage error, 130 interrupted (Ctrl-C),
143 terminated (SIGTERM).
"""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
from typing import Any

COMMAND_GROUPS: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("Load a query's rows into Salesforce", ("kavrel.cli.loads",)),
    ("Look after ingest jobs", ("kavrel.cli.jobs",)),
    ("Saved connections", ("kavrel.cli.connections",)),
    ("Local Bulk API server, for trying things out", ("kavrel.cli.emulator",)),
)
COMMAND_MODULES: tuple[str, ...] = tuple(m for _, modules in COMMAND_GROUPS for m in modules)
INTERRUPTED = 130
TERMINATED = 143


def _version() -> str:
    import kavrel

    return kavrel.__version__


def _grouped_commands(groups: list[tuple[str, list[Any]]]) -> str:
    width = max((len(action.dest) for _, actions in groups for action in actions), default=0)
    lines = []
    for title, actions in groups:
        if not actions:
            continue
        lines.append(f"{title}:")
        lines += [f"  {action.dest:<{width}}  {action.help}" for action in actions]
        lines.append("")
    lines.append("Run `kavrel COMMAND --help` for a command's options.")
    return "\n".join(lines)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kavrel",
        usage="kavrel [-h] [--version] COMMAND ...",
        description="Load Snowflake query results into Salesforce and manage saved connections.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"kavrel {_version()}")
    subparsers = parser.add_subparsers(
        dest="command", metavar="COMMAND", help=argparse.SUPPRESS, prog="kavrel"
    )
    groups = []
    for title, modules in COMMAND_GROUPS:
        before = len(subparsers._choices_actions)
        for name in modules:
            importlib.import_module(name).register(subparsers)
        groups.append((title, subparsers._choices_actions[before:]))
    parser.epilog = _grouped_commands(groups)
    return parser


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised where the program is, so that commands end as on Ctrl-C."""


_signals_received: list[int] = []


def _raise_terminated(signum: int, frame: Any) -> None:
    _signals_received.append(signum)
    raise _Terminated


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run = getattr(args, "run", None)
    if run is None:
        parser.print_help()
        return 2
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        status = int(run(args))
    except KeyboardInterrupt:
        if not _signals_received:
            print("\nInterrupted.", file=sys.stderr)
        status = INTERRUPTED
    finally:
        signal.signal(signal.SIGTERM, previous)
    # A command may turn the interrupt into its own status; SIGTERM still ends with 143.
    return TERMINATED if _signals_received else status


if __name__ == "__main__":
    sys.exit(main())
