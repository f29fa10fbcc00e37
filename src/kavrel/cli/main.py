"""The `kavrel` command: a dispatcher over subcommands.

Each module in COMMAND_GROUPS offers `register(subparsers)`, which adds its subcommands and sets
`run` on each parser to a function taking the parsed arguments and returning the exit status.
`kavrel --help` lists the commands by the group of the module that registered them.

How a command ends (its exit status and last line) is kavrel.cli.ending's to decide, for every
command alike. A usage error (status 2) shows the usage of the command it belongs to, and a
mistyped option or command is named with the likely one.
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import sys
from typing import Any

from kavrel.cli.ending import USAGE, conclude

COMMAND_GROUPS: tuple[tuple[str, tuple[str, ...]], ...] = (
    (
        "Load a query's or a CSV file's rows into Salesforce",
        ("kavrel.cli.loads", "kavrel.cli.loadhistory", "kavrel.cli.syncs"),
    ),
    ("Look after ingest jobs", ("kavrel.cli.jobs",)),
    ("Saved connections", ("kavrel.cli.connections",)),
    ("Local Bulk API server, for trying things out", ("kavrel.cli.emulator", "kavrel.cli.schema")),
    ("Shell completion", ("kavrel.cli.completion",)),
)
COMMAND_MODULES: tuple[str, ...] = tuple(m for _, modules in COMMAND_GROUPS for m in modules)
# What the shell completion scripts run to ask for the words that may follow.
COMPLETE_COMMAND = "__complete"


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


def likely(word: str, choices: list[str]) -> str | None:
    """The choice `word` was most likely meant to be, when one is close enough."""
    found = difflib.get_close_matches(word, choices, n=1, cutoff=0.6)
    return found[0] if found else None


class CommandParser(argparse.ArgumentParser):
    """argparse's parser, with errors that stay with the command they belong to.

    argparse hands a subcommand's unknown options up to the top-level parser, whose error shows
    the top-level usage and no hint; and a missing required option is reported before an option
    that was mistyped. Here an unknown option is an error of the (sub)command itself, reported
    first and with the option it most likely meant (`--batchsize` → `--batch-size`); a mistyped
    command or choice gets the same hint.
    """

    def parse_known_args(self, args=None, namespace=None):  # type: ignore[override]
        self._given = list(sys.argv[1:] if args is None else args)
        namespace, extras = super().parse_known_args(args, namespace)
        if extras and not self._has_subcommands():
            self.error(self._unknown_option_text() or f"unrecognized arguments: {' '.join(extras)}")
        return namespace, extras

    def error(self, message: str):  # type: ignore[override]
        if not self._has_subcommands():
            message = self._unknown_option_text() or message
        super().error(message)

    def _check_value(self, action: argparse.Action, value: Any) -> None:
        if action.choices is not None and value not in action.choices:
            choices = [str(choice) for choice in action.choices]
            meant = likely(str(value), choices)
            hint = f"; did you mean {meant!r}?" if meant else ""
            raise argparse.ArgumentError(
                action, f"invalid choice: {value!r}{hint} (choose from {', '.join(choices)})"
            )
        super()._check_value(action, value)

    def _has_subcommands(self) -> bool:
        return any(isinstance(a, argparse._SubParsersAction) for a in self._actions)

    def _unknown_option_text(self) -> str | None:
        """The error for the first `--option` given that this command does not know (neither
        exactly nor as the start of one), or None."""
        known = [s for action in self._actions for s in action.option_strings if s[:2] == "--"]
        for arg in getattr(self, "_given", []):
            if arg == "--":
                break
            name = arg.split("=", 1)[0]
            if arg[:2] != "--" or any(option.startswith(name) for option in known):
                continue
            meant = likely(name, known)
            return f"unrecognized option {name}" + (f"; did you mean {meant}?" if meant else "")
        return None


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="kavrel",
        usage="kavrel [-h] [-V] COMMAND ...",
        description="Load Snowflake query results into Salesforce and manage saved connections.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("-V", "--version", action="version", version=f"kavrel {_version()}")
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


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == [COMPLETE_COMMAND]:
        from kavrel.cli import completion

        return completion.complete(parser, argv[1:])
    args = parser.parse_args(argv)
    run = getattr(args, "run", None)
    if run is None:
        parser.print_help()
        return USAGE
    return conclude(run, args)


if __name__ == "__main__":
    sys.exit(main())
