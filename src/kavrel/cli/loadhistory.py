"""`kavrel load resume|retry|list|show`: the loads that ran, from their journals.

`resume` finishes a load that stopped, whatever stopped it, from the same rows; `retry` sends
the records a load's jobs failed or did not process once more, as a new load tied to the first;
`list` and `show` look back on the loads of this machine. The journals and what they promise
are kavrel.load's (journal, resume); this module reads the arguments and renders, as the load
commands do (kavrel.cli.loads), whose output a resumed or retried load shares.
"""

from __future__ import annotations

import argparse
import contextlib
import time
from collections.abc import Iterator
from typing import Any

from kavrel.cli import loads, options, output
from kavrel.cli.arguments import positive_int, positive_number
from kavrel.cli.completion import takes_profile
from kavrel.cli.ending import Told
from kavrel.cli.errors import CommandError
from kavrel.load import journal as journals
from kavrel.load.summary import counted, number_text

DEFAULT_LIST_LIMIT = 20

_COMMANDS = {
    "resume": "finish a load that stopped, from the same rows (`last`: the newest load)",
    "retry": "send once more, as a new load, the records a load's jobs failed or did not process",
    "list": "list the loads that ran on this machine, newest first",
    "show": "show a load: what it was asked, every batch and job, how it ended",
}


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds `kavrel load ...` to the `kavrel` parser."""
    commands = options.add_command_group(
        subparsers, "load", "resume, retry, list or show the loads that ran",
        "The loads that ran on this machine, from their journals in ~/.velmora/loads (kept for "
        "30 days, or $KAVREL_LOAD_HISTORY_DAYS).", _COMMANDS,
    )  # fmt: skip
    for name, parser in commands.items():
        if name == "list":
            parser.add_argument(
                "--limit",
                type=positive_int,
                default=DEFAULT_LIST_LIMIT,
                metavar="N",
                help=f"show at most N loads (default {DEFAULT_LIST_LIMIT})",
            )
        else:
            parser.add_argument("load_id", metavar="LOAD_ID", help="the load's id, or `last`")
        if name in ("resume", "retry"):
            _add_run_arguments(parser, name)
            parser.set_defaults(run=_run_again, dry_run=False)
        else:
            output.add_json_argument(parser)
            parser.set_defaults(run=_look_back)


def _add_run_arguments(parser: argparse.ArgumentParser, name: str) -> None:
    if name == "retry":
        parser.add_argument(
            "--batch-size",
            type=positive_int,
            metavar="N",
            help="records per job (default: the first load's batch size)",
        )
        parser.add_argument(
            "--parallel",
            type=positive_int,
            metavar="N",
            help="jobs in flight side by side (default: the first load's)",
        )
        parser.add_argument(
            "--save-success",
            action="store_true",
            help="also save each job's successful records as <job id>-success.csv",
        )
    else:
        source = parser.add_argument_group(
            "source (a Snowflake load only; default: the profile the load used)"
        )
        snowflake = source.add_argument(
            "--snowflake",
            "-c",
            metavar="PROFILE",
            help="saved Snowflake profile to read the result with",
        )
        takes_profile(snowflake, "snowflake")
        source.add_argument(
            "--snowflake-option",
            action="append",
            default=[],
            type=options.snowflake_option,
            metavar="KEY=VALUE",
            help="connector setting for the Snowflake session; repeatable",
        )
    options.add_org_arguments(parser, "target (default: the profile the load used)")
    parser.add_argument(
        "--wait",
        "-w",
        type=positive_number("minutes"),
        metavar="MINUTES",
        help="stop waiting for the jobs after MINUTES (default: wait until they are done)",
    )
    parser.add_argument(
        "--results-dir",
        metavar="DIR",
        help="where the result files go (default: where the first load put them)",
    )
    options.add_output_arguments(parser)


# --- resume and retry ------------------------------------------------------------------------


def _run_again(args: argparse.Namespace) -> int:
    from kavrel.load import ResumeRefused, RetryRefused, Stop
    from kavrel.load.sync import SyncRefused
    from kavrel.sflake.sources import UnreadableCSV

    record = _record(args.load_id)
    log_file = loads.log_file_handler(args.log_file)
    args.operation, args.sobject = record.load["operation"], record.load["object"]
    again = _resume if args.load_command == "resume" else _retry
    with loads._logging(args, log_file) as console, Stop().on_signals() as stop:
        try:
            return again(args, record, console, stop)
        except KeyboardInterrupt as interrupt:
            loads.report_interrupt(args, console, interrupt)
            raise Told from interrupt
        except (ResumeRefused, RetryRefused, UnreadableCSV, SyncRefused) as refused:
            raise CommandError(str(refused)) from None


def _resume(args: argparse.Namespace, record: journals.LoadRecord, console, stop) -> int:
    from kavrel import load

    if record.finished:
        console.stop_display()
        line = f"Load {record.load_id} had finished; there is nothing to resume."
        if args.json:
            loads._emit_json(
                {**loads._load_document(args, record.summary().as_dict()), "resumed": False}
            )
        else:
            print(line)
        return 0
    access_info, renew = _org_of(args, record)
    if console.display is not None:
        console.display.begin_load(f"resume {args.operation} {args.sobject}")
    with _source_of(args, record) as source:
        summary = load.resume(
            record.load_id,
            access_info,
            source=source,
            renew=renew,
            stop=stop,
            wait=None if args.wait is None else args.wait * 60,
            **({} if args.results_dir is None else {"results_dir": args.results_dir}),
        )
    return loads.report(args, summary, console)


def _retry(args: argparse.Namespace, record: journals.LoadRecord, console, stop) -> int:
    from kavrel import load

    access_info, renew = _org_of(args, record)
    if console.display is not None:
        console.display.begin_load(f"retry {args.operation} {args.sobject}")
    chosen = {
        name: getattr(args, name)
        for name in ("batch_size", "parallel", "results_dir")
        if getattr(args, name) is not None
    }
    summary = load.retry(
        record.load_id,
        access_info,
        renew=renew,
        stop=stop,
        wait=None if args.wait is None else args.wait * 60,
        save_success=args.save_success,
        profiles=loads.profile_names(args),
        **chosen,
    )
    if summary is None:
        console.stop_display()
        line = f"Load {record.load_id} has no failed or unprocessed records; nothing to retry."
        if args.json:
            loads._emit_json({"load_id": None, "retry_of": record.load_id, "jobs": [], "ok": True})
        else:
            print(line)
        return 0
    return loads.report(args, summary, console)


def _org_of(args: argparse.Namespace, record: journals.LoadRecord):
    """The org as the arguments name it, else through the Salesforce profile the load used."""
    used = (record.load.get("profiles") or {}).get("salesforce")
    if args.instance_url is None and args.salesforce is None:
        if used is None and record.load.get("instance_url"):
            raise CommandError(
                f"load {record.load_id} ran with --instance-url {record.load['instance_url']}; "
                f"give it again, with the token in ${options.TOKEN_VARIABLE}"
            )
        args.salesforce = used
    return options.org_with_renewal(args)


@contextlib.contextmanager
def _source_of(args: argparse.Namespace, record: journals.LoadRecord) -> Iterator[Any]:
    """A Snowflake session for a Snowflake load's stored result; None for a load of a file,
    which the journal names."""
    source = record.load.get("source") or {}
    if source.get("kind") != "Snowflake":
        if args.snowflake is not None or args.snowflake_option:
            raise CommandError(
                f"load {record.load_id} read a {source.get('kind')} source, not Snowflake"
            )
        yield None
        return
    name = args.snowflake or (record.load.get("profiles") or {}).get("snowflake")
    opened = options.snowflake_source(args, name)
    try:
        yield opened
    finally:
        options.close_quietly(opened)


def _record(load_id: str) -> journals.LoadRecord:
    try:
        return journals.read(load_id)
    except journals.UnknownLoad as error:
        raise CommandError(str(error)) from None
    except (journals.JournalUnreadable, OSError) as error:
        raise CommandError(f"the journal of load {load_id} cannot be read: {error}") from None


# --- list and show ---------------------------------------------------------------------------


def _look_back(args: argparse.Namespace) -> output.Outcome:
    return (_list if args.load_command == "list" else _show)(args)


def _when(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def _utc(seconds: float | None) -> str | None:
    if seconds is None:
        return None
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def source_text(source: dict[str, Any]) -> str:
    """A load's source in a few words: the kind, and the file or the start of the query."""
    kind = str(source.get("kind") or "?")
    where = (
        source.get("path") or source.get("name") or " ".join(str(source.get("query") or "").split())
    )
    where = str(where)
    return kind if not where else f"{kind} {where if len(where) <= 40 else where[:39] + '…'}"


def load_document(record: journals.LoadRecord) -> dict[str, Any]:
    """A load as `load list --json` shows it."""
    totals = record.summary().totals()
    asked = record.load
    return {
        "load_id": record.load_id,
        "started": _utc(record.started),
        "ended": _utc(record.ended),
        "operation": asked.get("operation"),
        "object": asked.get("object"),
        "source": {k: v for k, v in (asked.get("source") or {}).items() if k != "query"},
        "rows": totals["rows"],
        "succeeded": totals["succeeded"],
        "failed": totals["failed"],
        "state": record.state,
        "retry_of": asked.get("retry_of"),
    }


def _list(args: argparse.Namespace) -> output.Outcome:
    records = journals.history(limit=args.limit)
    documents = [load_document(record) for record in records]
    if not records:
        return output.Outcome({"loads": []}, "No load has run on this machine yet.")
    header = (
        "load id",
        "started",
        "operation",
        "object",
        "source",
        "rows",
        "succeeded",
        "failed",
        "state",
    )
    rows = [
        (
            d["load_id"],
            _when(r.started),
            str(d["operation"]),
            str(d["object"]),
            source_text(r.load.get("source") or {}),
            number_text(d["rows"]),
            number_text(d["succeeded"]),
            number_text(d["failed"]),
            d["state"],
        )
        for r, d in zip(records, documents, strict=True)
    ]
    return output.Outcome({"loads": documents}, _table(header, rows, numeric={5, 6, 7}))


def _table(header: tuple[str, ...], rows: list[tuple[Any, ...]], numeric: set[int]) -> str:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells: tuple[str, ...]) -> str:
        parts = [
            c.rjust(widths[i]) if i in numeric else c.ljust(widths[i]) for i, c in enumerate(cells)
        ]
        return "  ".join(parts).rstrip()

    return "\n".join([line(header), *(line(r) for r in rows)])


def _show(args: argparse.Namespace) -> output.Outcome:
    record = _record(args.load_id)
    asked = record.load
    summary = record.summary()
    document = {
        **load_document(record),
        **summary.as_dict(),
        "source": asked.get("source"),
        "batch_size": asked.get("batch_size"),
        "parallel": asked.get("parallel"),
        "profiles": asked.get("profiles"),
        "external_id": asked.get("external_id"),
        "abandoned_jobs": {
            str(b.number): b.abandoned for b in record.batches.values() if b.abandoned
        },
    }
    document["state"] = record.state
    size = asked.get("batch_size")
    batches = "one job" if size is None else f"batches of up to {counted(int(size), 'row')}"
    parallel = int(asked.get("parallel") or 1)
    profiles = ", ".join(
        f"{kind} {name}" for kind, name in (asked.get("profiles") or {}).items() if name
    )
    lines = [
        f"Load {record.load_id}: {asked.get('operation')} into {asked.get('object')}"
        + (f" on {asked['external_id']}" if asked.get("external_id") else ""),
        f"Started {_when(record.started)}; {_ended_text(record)}.",
        f"Source: {source_text(asked.get('source') or {})}",
        f"In {batches}, {counted(parallel, 'job')} at a time"
        + (f"; profiles: {profiles}" if profiles else ""),
    ]
    if asked.get("retry_of"):
        lines.append(f"It sent again the failed records of load {asked['retry_of']}.")
    lines.append(str(summary))
    for batch in sorted(record.batches.values(), key=lambda b: b.number):
        if batch.abandoned:
            jobs = ", ".join(batch.abandoned)
            lines.append(
                f"batch {batch.number}: earlier job(s) {jobs} were aborted before "
                "they held its rows"
            )
    if (command := summary.next_step()) is not None:
        lines.append(f"Next: {command}")
    return output.Outcome(document, "\n".join(lines))


def _ended_text(record: journals.LoadRecord) -> str:
    state = record.state
    if state == "running":
        return f"still running (process {record.running_elsewhere.get('pid')})"  # type: ignore[union-attr]
    if state == "killed":
        return "it ended without a word (killed, or its machine went down)"
    return f"{state} {_when(record.ended)}"
