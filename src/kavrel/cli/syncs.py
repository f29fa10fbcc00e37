"""`--sync NAME` on the load commands, and `kavrel sync list|show|forget`: the syncs of this
machine, which send only what changed since their last run. The syncs themselves are
kavrel.load.sync's; this module reads the arguments and renders."""

from __future__ import annotations

import argparse
import time
from typing import Any

from kavrel.cli import output
from kavrel.cli.arguments import positive_int
from kavrel.cli.errors import CommandError
from kavrel.cli.options import add_command_group
from kavrel.load.summary import number_text

_COMMANDS = {
    "list": "list the syncs of this machine",
    "show": "show a sync: what it loads, its keys, its runs",
    "forget": "forget a sync's state: its next run sends every row",
}


def add_sync_arguments(parser: argparse.ArgumentParser, operation: str) -> None:
    """--sync and what goes with it, on upsert, update and insert."""
    sync = parser.add_argument_group("sync (send only what changed since the sync's last run)")
    sync.add_argument(
        "--sync",
        metavar="NAME",
        help="run the load as the sync NAME: only rows whose key is new or whose values differ "
        "from what NAME last sent successfully are sent (the first run sends every row)",
    )
    if operation == "insert":
        sync.add_argument(
            "--key",
            metavar="COLUMN",
            help="with --sync, the column whose values key the records: only keys never "
            "inserted before are inserted",
        )
    if operation == "upsert":
        sync.add_argument(
            "--mirror",
            action="store_true",
            help="with --sync, delete the records whose keys left the query since the last run",
        )
        sync.add_argument(
            "--hard",
            dest="mirror_hard",
            action="store_true",
            help="with --mirror, delete them for good (hardDelete)",
        )
        sync.add_argument(
            "--max-deletes",
            type=int,
            metavar="N",
            help="with --mirror, delete at most N records (default: a tenth of the synced keys); "
            "more are refused, so a broken query cannot empty the object",
        )
    sync.add_argument(
        "--full",
        action="store_true",
        help="with --sync, send every row and rebuild the sync's state",
    )
    sync.add_argument(
        "--state-table",
        metavar="DATABASE.SCHEMA.TABLE",
        help="with --sync and a Snowflake source, keep the state in this table and compare in "
        "the warehouse, so unchanged rows never leave it",
    )


# The Sync's settings, by the arguments' names.
_SYNC_OPTIONS = {
    "key": "key", "mirror": "mirror", "mirror_hard": "hard", "max_deletes": "max_deletes",
    "full": "full", "state_table": "state_table",
}  # fmt: skip


def sync_options(args: argparse.Namespace) -> Any:
    """The kavrel.load.sync.Sync the arguments ask for; None without --sync."""
    from kavrel.load.sync import Sync, check

    if not hasattr(args, "sync"):
        return None
    given = {setting: getattr(args, name, None) for name, setting in _SYNC_OPTIONS.items()}
    if args.sync is None:
        used = [f"--{n.replace('_', '-')}" for n, v in given.items() if v not in (None, False)]
        if used:
            raise CommandError(f"{used[0]} goes with --sync NAME")
        return None
    if args.dry_run:
        raise CommandError("--dry-run does not compare a sync's rows; run it without --sync")
    if given["max_deletes"] is not None and given["max_deletes"] < 0:
        raise CommandError(f"--max-deletes must be 0 or more, not {given['max_deletes']}")
    options = Sync(args.sync, **{k: v for k, v in given.items() if v not in (None, False)})
    try:
        check(options, args.operation)
    except ValueError as error:
        raise CommandError(_in_options(str(error))) from None
    return options


def _in_options(text: str) -> str:
    """A sync's refusal in the words of the command's options."""
    for keyword, option in (("mirror=True", "--mirror"), ("max_deletes=", "--max-deletes"),
                            ("hard=", "--hard"), ("key=", "--key COLUMN"),
                            ("full=", "--full")):  # fmt: skip
        text = text.replace(keyword, option)
    return text


def nothing_sent(summary: Any) -> str:
    """What a sync's run that sent no row says."""
    outcome = summary.sync
    return "\n".join([outcome.line(), "Nothing changed; no job was created.", *outcome.lines()[1:]])


# --- kavrel sync list|show|forget ------------------------------------------------------------


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds `kavrel sync ...` to the `kavrel` parser."""
    commands = add_command_group(
        subparsers, "sync", "list, show or forget the syncs (loads run with --sync NAME)",
        "The syncs of this machine, whose state is in ~/.velmora/syncs.", _COMMANDS,
    )  # fmt: skip
    for name, parser in commands.items():
        if name == "list":
            parser.add_argument(
                "--limit", type=positive_int, default=None, metavar="N", help="at most N syncs"
            )
        else:
            parser.add_argument("name", metavar="NAME", help="the sync's name")
        output.add_json_argument(parser)
        parser.set_defaults(run=_run)


def _run(args: argparse.Namespace) -> output.Outcome:
    return {"list": _list, "show": _show, "forget": _forget}[args.sync_command](args)


def _described(name: str) -> dict[str, Any]:
    from kavrel.load import sync as syncs

    try:
        document = syncs.describe(name)
    except (syncs.UnknownSync, ValueError) as error:
        raise CommandError(str(error)) from None
    last = next((run for run in document["runs"] if run["role"] == "rows"), None)
    document["last_run"] = None if last is None else {**last, "started": _utc(last["started"]),
                                                      "ended": _utc(last["ended"])}  # fmt: skip
    return document


def _utc(seconds: float | None) -> str | None:
    return None if seconds is None else time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _when(seconds: float | None) -> str:
    return "-" if seconds is None else time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


def _outcome(run: dict[str, Any] | None) -> str:
    if run is None:
        return "never ran"
    return str(run["outcome"] or "unfinished")


def _list(args: argparse.Namespace) -> output.Outcome:
    from kavrel.load import sync as syncs
    from kavrel.load.sync.state import UnknownSync

    documents = []
    for name in syncs.names()[: args.limit]:
        try:
            documents.append(_described(name))
        except (CommandError, UnknownSync):
            continue
    if not documents:
        return output.Outcome({"syncs": []}, "No sync has run on this machine yet.")
    header = ("name", "object", "operation", "keys synced", "last run", "outcome")
    rows = []
    for d in documents:
        last = next((r for r in d["runs"] if r["role"] == "rows"), None)
        rows.append((d["name"], str(d["object"]), str(d["operation"]),
                     number_text(d["synced_keys"]), _when(last and last["started"]),
                     _outcome(last)))  # fmt: skip
    for d in documents:
        del d["runs"]
    return output.Outcome({"syncs": documents}, _table(header, rows))


def _table(header: tuple[str, ...], rows: list[tuple[Any, ...]]) -> str:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    lines = [
        "  ".join(c.rjust(widths[i]) if i == 3 else c.ljust(widths[i]) for i, c in enumerate(r))
        for r in [header, *rows]
    ]
    return "\n".join(line.rstrip() for line in lines)


def _show(args: argparse.Namespace) -> output.Outcome:
    d = _described(args.name)
    where = f"the warehouse table {d['state_table']}" if d["state_table"] else "its own file"
    lines = [
        f"Sync {d['name']}: {d['operation']} into {d['object']} on {d['key']}, its state in "
        f"{where}; {number_text(d['synced_keys'])} keys synced.",
    ]
    if d["unfinished_load"]:
        lines.append(f"Its load {d['unfinished_load']} did not finish: `kavrel load resume "
                     f"{d['unfinished_load']}`, or run the sync again.")  # fmt: skip
    for run in d["runs"]:
        counts = run["counts"] or {}
        what = ", ".join(
            f"{counts[k]:,} {k.replace('_', ' ')}"
            for k in ("read", "unchanged", "new", "changed", "deleted")
            if isinstance(counts.get(k), int)
        )
        kind = "deletes" if run["role"] == "mirror" else "rows"
        lines.append(f"  {_when(run['started'])}  load {run['load_id']} ({kind}): "
                     f"{_outcome(run)}{'; ' + what if what else ''}")  # fmt: skip
    return output.Outcome(d, "\n".join(lines))


def _forget(args: argparse.Namespace) -> output.Outcome:
    from kavrel.load import sync as syncs

    d = _described(args.name)
    try:
        syncs.forget(args.name)
    except syncs.SyncRefused as error:
        raise CommandError(str(error)) from None
    table = d["state_table"]
    extra = f" (its state table {table} is emptied by that run)" if table else ""
    return output.Outcome(
        {"forgotten": args.name},
        f"✓ Sync {args.name} forgotten: its next run sends every row{extra}.",
    )
