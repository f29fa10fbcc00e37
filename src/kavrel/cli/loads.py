"""`kavrel upsert|insert|update|delete`: load a query's rows (or a CSV file's) into a Salesforce
object.

The source is a Snowflake profile (or a local SQLite/DuckDB file, or a CSV file), the target a
Salesforce profile (or an instance URL with a token from the environment). The load itself is
kavrel.load's; this module reads the arguments and renders. Progress is the load's own log on
standard error, drawn as a live display on a terminal (kavrel.cli.progress); at the default
verbosity the lines the summary will tell anyway (a job's failure, a batch's error) are left to
the summary, so each problem is told once. The summary table and the result-file notes go to
standard output, or with --json one document instead; the load's id goes to standard error when
it starts, and the command that carries a load on (resume, retry) when it ends short. An
interrupted load shows what it had done by then, as the summary of the partial load.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from kavrel.cli import loadreport, options
from kavrel.cli.arguments import positive_int, positive_number
from kavrel.cli.ending import Told
from kavrel.cli.errors import CommandError
from kavrel.cli.options import add_org_arguments, add_output_arguments, add_source_arguments
from kavrel.cli.prediction import failure_text as prediction_failure
from kavrel.cli.prediction import lines as prediction_lines
from kavrel.cli.syncs import add_sync_arguments, nothing_sent, sync_options
from kavrel.load.columns import CLEAR_VALUE
from kavrel.load.core import DEFAULT_BATCH_SIZE
from kavrel.load.summary import LOCK_ERROR, counted

OPERATIONS = ("upsert", "insert", "update", "delete")
LOGGER_NAME = "kavrel"

_HELP = {
    "upsert": "insert or update records matched on an external-ID field, in batches",
    "insert": "insert records, in one job (or batches with --batch-size)",
    "update": "update records by their Id column, in one job (or batches with --batch-size)",
    "delete": "delete records by their Id column, in one job (or batches with --batch-size); "
    "--hard deletes them for good",
}
_log = logging.getLogger(__name__)
# What a dry run says would happen to the rows, and where.
_WOULD_BE = {
    "upsert": "upserted into",
    "insert": "inserted into",
    "update": "updated in",
    "delete": "deleted from",
    "hardDelete": "deleted for good (hard delete, no recycle bin) from",
}


# --- arguments ---------------------------------------------------------------------------------


def _add_arguments(parser: argparse.ArgumentParser, operation: str) -> None:
    parser.add_argument("--sobject", "-s", required=True, metavar="NAME", help="Salesforce object")
    rows = parser.add_mutually_exclusive_group(required=True)
    rows.add_argument("--query", metavar="TEXT", help="SQL whose rows are loaded")
    rows.add_argument(
        "--query-file", metavar="PATH", help="file holding that SQL (- for standard input)"
    )
    rows.add_argument(
        "--csv",
        "-f",
        metavar="FILE",
        help="load the rows of a CSV file instead, header first, values as text, an empty field "
        "as NULL (- for standard input)",
    )
    if operation == "delete":
        parser.add_argument(
            "--hard",
            action="store_true",
            help="delete the records for good (Bulk API's hardDelete: they skip the recycle bin; "
            "the user needs the Bulk API Hard Delete permission)",
        )
    if operation == "upsert":
        parser.add_argument(
            "--external-id",
            "-i",
            required=True,
            metavar="FIELD",
            help="field the records match on",
        )
        parser.add_argument(
            "--batch-size",
            type=positive_int,
            default=DEFAULT_BATCH_SIZE,
            metavar="N",
            help=f"rows per batch and job (default {DEFAULT_BATCH_SIZE})",
        )
    else:
        parser.add_argument(
            "--batch-size",
            type=positive_int,
            default=None,
            metavar="N",
            help="split the rows into jobs of at most N rows (default: one job)",
        )

    parser.add_argument(
        "--parallel",
        type=positive_int,
        default=1,
        metavar="N",
        help="keep up to N jobs in flight side by side (default 1: one job at a time)",
    )
    parser.add_argument(
        "--no-lock-retry",
        action="store_true",
        help=f"with --parallel, do not send records that failed with {LOCK_ERROR} "
        "again in one job after the others",
    )
    parser.add_argument(
        "--wait",
        "-w",
        type=positive_number("minutes"),
        default=None,
        metavar="MINUTES",
        help="stop waiting for the jobs after MINUTES: those still running are named and left "
        "to finish, and the load fails (default: wait until they are done)",
    )

    add_source_arguments(parser)

    add_org_arguments(parser, "target (default: the primary Salesforce profile)")

    parser.add_argument(
        "--fields",
        metavar="NAMES",
        help="comma-separated field API names; columns named the same regardless of case "
        "(such as Snowflake's upper-cased FIRSTNAME) are sent with these spellings",
    )
    parser.add_argument(
        "--results-dir",
        metavar="DIR",
        default=".",
        help="where <job id>-failed.csv, <job id>-unprocessed.csv and <job id>-success.csv files "
        "go (default: the current directory)",
    )
    parser.add_argument(
        "--save-success",
        action="store_true",
        help="also save each job's successful records, with the sf__Id Salesforce gave them, "
        "as <job id>-success.csv",
    )
    if operation in ("upsert", "update"):
        parser.add_argument(
            "--null-clears",
            action="store_true",
            help=f"a NULL clears the field (it is sent as {CLEAR_VALUE}); without it a NULL "
            "leaves the field as it is",
        )
    parser.add_argument(
        "--dry-run",
        action="store_true",
        help="count the rows, check the columns against the operation and show the start of the "
        "CSV, without creating any job (the checks run before every load too); with -o or "
        "--instance-url, also check every row against the org's own descriptions, as the org "
        "will, and its daily Bulk API batches",
    )
    parser.add_argument(
        "--check-records",
        action="store_true",
        help="check every row as --dry-run does first, and send no job the records predicted to "
        "fail (they count as failed and are saved as <object>-predicted-failures.csv)",
    )
    parser.add_argument(
        "--ignore-limits",
        action="store_true",
        help="load even when the load needs more of the org's daily Bulk API batches than are "
        "left (the org then leaves the rest of a job unprocessed)",
    )
    if operation != "delete":
        add_sync_arguments(parser, operation)
    add_output_arguments(parser)


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    for operation in OPERATIONS:
        parser = subparsers.add_parser(
            operation,
            help=_HELP[operation],
            description=f"Load the rows of a query or a CSV file into a Salesforce object: "
            f"{_HELP[operation]}.",
        )
        _add_arguments(parser, operation)
        parser.set_defaults(run=run, operation=operation)


def _read_query(args: argparse.Namespace) -> str:
    if getattr(args, "csv", None) is not None:
        return ""  # a CSV file's rows are its one result
    if args.query_file == "-":
        text = sys.stdin.read()
    elif args.query_file is not None:
        try:
            text = Path(args.query_file).read_text(encoding="utf-8")
        except OSError as error:
            raise CommandError(f"cannot read the query file {args.query_file}: {error}") from None
    else:
        text = args.query
    # The operations wrap the query in a subselect, where a closing semicolon (usual in .sql
    # files) is a syntax error, and a line comment at the end would swallow the closing bracket.
    query = text.strip().rstrip("; \t\r\n")
    if not query:
        raise CommandError("the query is empty")
    if "--" in query.rsplit("\n", 1)[-1]:
        query += "\n"
    return query


# --- logging --------------------------------------------------------------------------------------


def told_by_summary(record: logging.LogRecord) -> bool:
    """Whether the summary, or the message of an interrupted load, tells what `record` tells: a
    batch's error, a job aborted or left running, the reason the load stopped. Such records are
    left to them unless every step is shown (-v), so that each problem is told once. A job's end
    is progress, not a problem told twice: its line stays."""
    if getattr(record, "load_event", None) == "stopped":
        return True
    event = getattr(record, "job_event", None)
    return record.levelno >= logging.WARNING and event is not None and event != "ended"


def _shown(record: logging.LogRecord) -> bool:
    return not told_by_summary(record)


def _announces_the_load(record: logging.LogRecord) -> bool:
    return getattr(record, "load_event", None) == "journal"


class Console:
    """Where a load's messages go while it runs: the job tracker, the live display when there is
    one, the console log handler (whose lines appear above the display) and the log file."""

    def __init__(self, args: argparse.Namespace, log_file: logging.Handler | None = None) -> None:
        from kavrel.cli import progress

        self.tracker = loadreport.JobTracker()
        self.display: progress.ProgressDisplay | None = None
        if not args.quiet and not args.dry_run and progress.wanted():
            self.display = progress.ProgressDisplay(sys.stderr)
        stream = sys.stderr if self.display is None else self.display.above
        self.handler = logging.StreamHandler(stream)
        self.handler.setFormatter(logging.Formatter("%(message)s"))
        # On a terminal the display shows the progress; elsewhere the progress lines do (INFO):
        # the load's plan, each job's creation and end. -v shows every step.
        quiet = args.quiet or self.display is not None
        self.handler.setLevel(
            logging.DEBUG if args.verbose else logging.WARNING if quiet else logging.INFO
        )
        if not args.verbose:
            self.handler.addFilter(_shown)
        self.log_file = log_file
        # The load's id is told when it starts whatever the display shows, but not with -q.
        self.announcer: logging.StreamHandler | None = None
        if self.display is not None and not args.quiet:
            self.announcer = logging.StreamHandler(self.display.above)
            self.announcer.setFormatter(logging.Formatter("%(message)s"))
            self.announcer.addFilter(_announces_the_load)

    @property
    def handlers(self) -> list[logging.Handler]:
        # The tracker goes first: by the time a job id is on the screen it is also remembered.
        shown = [*([self.display] if self.display else []), self.handler]
        announcer = [self.announcer] if self.announcer else []
        return [self.tracker, *shown, *announcer, *([self.log_file] if self.log_file else [])]

    def say(self, text: str) -> None:
        """A line on standard error, above the display while there is one."""
        stream = sys.stderr if self.display is None else self.display.above
        stream.write(text + "\n")

    def stop_display(self) -> None:
        """Leaves the display's last frame on the screen; lines after it are plain."""
        if self.display is None:
            return
        logging.getLogger(LOGGER_NAME).removeHandler(self.display)
        self.display.stop()
        self.display = None
        self.handler.setStream(sys.stderr)
        if self.announcer is not None:
            self.announcer.setStream(sys.stderr)


_consoles: list[Console] = []


def log_file_handler(path: str | None) -> logging.Handler | None:
    """A handler that appends every log line, with its time and level, to `path`."""
    if path is None:
        return None
    try:
        handler = logging.FileHandler(path, encoding="utf-8")
    except OSError as error:
        raise CommandError(f"cannot open the log file {path}: {error.strerror or error}") from None
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s"))
    return handler


@contextlib.contextmanager
def _logging(
    args: argparse.Namespace, log_file: logging.Handler | None = None
) -> Iterator[Console]:
    """Shows the kavrel log on standard error (and in the log file) for the length of the
    command.

    The logger itself passes everything down to DEBUG so that the job tracker and the display
    see the job-id lines whatever the user chose to see.
    """
    logger = logging.getLogger(LOGGER_NAME)
    console = Console(args, log_file)
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    for handler in console.handlers:
        logger.addHandler(handler)
    if console.display is not None:
        console.display.start()
    _consoles.append(console)
    try:
        yield console
    finally:
        _consoles.remove(console)
        console.stop_display()
        for handler in console.handlers:
            logger.removeHandler(handler)
        logger.setLevel(old_level)
        if console.log_file is not None:
            console.log_file.close()


def _error(text: str) -> None:
    if _consoles:
        _consoles[-1].say(f"Error: {text}")
    else:
        print(f"Error: {text}", file=sys.stderr)


def _emit_json(document: dict[str, Any]) -> None:
    from kavrel.cli import output

    output.emit_json(document)


# --- the command ------------------------------------------------------------------------------


def _fields(args: argparse.Namespace) -> list[str]:
    from kavrel.sflake.fieldnames import parse_fields

    return parse_fields(args.fields or "")


def _dry_run(args: argparse.Namespace, source: Any, query: str, org: tuple | None) -> int:
    from kavrel import load

    found = load.preview(
        source,
        query,
        args.operation,
        external_id=getattr(args, "external_id", None),
        batch_size=args.batch_size,
        fields=_fields(args),
        null_clears=getattr(args, "null_clears", False),
        org=None if org is None else org[0],
        sobject=args.sobject,
        parallel=args.parallel,
        results_dir=args.results_dir,
    )
    prediction = found.prediction
    total = found.rows or 0
    if args.batch_size is not None:
        plan = f"in {counted(found.batches, 'batch')} of up to {counted(args.batch_size, 'row')}"
    else:
        plan = "in one job"
    lines = [
        f"Dry run: {counted(total, 'row')} would be {_WOULD_BE[args.operation]} {args.sobject} "
        f"{plan}; no job was created."
    ]
    if not found.shown_rows:
        lines.append("Columns: not checked: there are no rows.")
    else:
        lines.append("Columns: " + ", ".join(found.columns))
        lines += [f"Check {'passed' if ok else 'FAILED'}: {text}." for ok, text in found.checks]
    if found.csv:
        first = "row" if found.shown_rows == 1 else f"{found.shown_rows:,} rows"
        lines.append(f"First {first} of the first batch's CSV:")
        lines.append(found.csv.replace("\r\n", "\n").removesuffix("\n"))
    checks = found.checks if found.shown_rows else []
    passed = all(ok for ok, _ in checks)
    if prediction is not None:
        lines += prediction_lines(prediction, args.sobject)
    if args.json:
        _emit_json(
            {
                "dry_run": True,
                "operation": args.operation,
                "object": args.sobject,
                "rows": total,
                "batches": found.batches,
                "columns": found.columns if found.shown_rows else None,
                "checks": [{"passed": ok, "finding": text} for ok, text in checks],
                **({} if prediction is None else {"prediction": prediction.as_dict()}),
                "ok": passed and (prediction is None or prediction.ok),
            }
        )
    else:
        print("\n".join(lines))
    if not passed:
        _error(f"the columns do not suit {args.operation}; no job was created")
        return 1
    if prediction is not None and not prediction.ok:
        _error(prediction_failure(prediction, args.operation))
        return 1
    return 0


def _load(args: argparse.Namespace, source: Any, org: tuple, query: str, stop: Any) -> Any:
    """Runs the load of the arguments into `org` (its access info, and how to renew it) and
    returns its summary."""
    from kavrel import load

    access_info, renew = org
    return load.load(
        source,
        query,
        access_info,
        args.sobject,
        args.operation,
        external_id=getattr(args, "external_id", None),
        batch_size=args.batch_size,
        parallel=args.parallel,
        fields=_fields(args),
        null_clears=getattr(args, "null_clears", False),
        lock_retry=not args.no_lock_retry,
        wait=None if args.wait is None else args.wait * 60,
        results_dir=args.results_dir,
        save_success=args.save_success,
        stop=stop,
        renew=renew,
        profiles=profile_names(args),
        check_records=args.check_records,
        ignore_limits=args.ignore_limits,
        sync=sync_options(args),
    )


def profile_names(args: argparse.Namespace) -> dict[str, str | None]:
    """The profiles a load used, by name, for its journal: what resuming it uses again."""
    return {"salesforce": getattr(args, "salesforce_used", None),
            "snowflake": getattr(args, "snowflake_used", None)}  # fmt: skip


def report(args: argparse.Namespace, summary: Any, console: Console) -> int:
    """Shows a load's summary (the table, or with --json one document), the result-file notes
    and the command that carries the load on; returns its exit status."""
    console.stop_display()
    if args.json:
        _emit_json(_load_document(args, summary.as_dict()))
        for note in summary.notes:
            print(note, file=sys.stderr)
    else:
        print(summary)
        for note in summary.notes:
            print(note)
    tell_next_step(summary)
    return summary.exit_status


def tell_next_step(summary: Any) -> None:
    """On standard error, the command that finishes a load or sends its failures again."""
    command = summary.next_step() if summary is not None else None
    if command is None:
        return
    if " resume " in command:
        print(f"Load {summary.load_id} did not finish; finish it with: {command}", file=sys.stderr)
    else:
        print(f"Send its failed records again with: {command}", file=sys.stderr)


def _load_document(args: argparse.Namespace, summary: dict[str, Any]) -> dict[str, Any]:
    """The `--json` document of a load: what it loaded into, each job, the totals."""
    return {"operation": args.operation, "object": args.sobject, **summary}


def _run(args: argparse.Namespace, console: Console, stop: Any) -> int:
    from kavrel.load import ColumnsUnsuitable
    from kavrel.load.preflight import Refused
    from kavrel.load.sync import SyncRefused
    from kavrel.sflake.sources import UnreadableCSV, UnsendableValues

    sync_options(args)  # a sync's options are checked before any login
    query = _read_query(args)
    # A dry run asks the org only when told which one: it is a check that needs no login.
    named = args.salesforce is not None or args.instance_url is not None
    org = options.org_with_renewal(args) if named or not args.dry_run else None
    with options.open_source(args) as source:
        if args.dry_run:
            try:
                return _dry_run(args, source, query, org)
            except (UnreadableCSV, Refused) as error:
                raise CommandError(str(error)) from None
        if console.display is not None:
            console.display.begin_load(f"{args.operation} {args.sobject}")
        assert org is not None  # only a dry run goes without the org
        try:
            summary = _load(args, source, org, query, stop)
        except (ColumnsUnsuitable, UnsendableValues, UnreadableCSV, Refused, SyncRefused) as error:
            raise CommandError(str(error)) from None
    if not summary.jobs and summary.query_rows == 0 and summary.stopped is None:
        console.stop_display()
        if args.json:
            _emit_json(_load_document(args, summary.as_dict()))
        elif summary.sync is not None:
            print(nothing_sent(summary))
        else:
            print(f"No rows to load; no job was created for {args.sobject}.")
        return summary.exit_status
    return report(args, summary, console)


def run(args: argparse.Namespace) -> int:
    from kavrel.load import Stop

    if getattr(args, "hard", False):
        args.operation = "hardDelete"
    log_file = log_file_handler(args.log_file)
    with _logging(args, log_file) as console, Stop().on_signals() as stop:
        try:
            return _run(args, console, stop)
        except KeyboardInterrupt as interrupt:
            report_interrupt(args, console, interrupt)
            raise Told from interrupt


def report_interrupt(args: argparse.Namespace, console: Console, interrupt: BaseException) -> None:
    """What an interrupted load shows: the summary of what it had done (when it had begun), the
    command that finishes it, and last, on standard error, what became of its jobs."""
    from kavrel.load import partial_summary

    console.stop_display()
    message = console.tracker.interrupted_message()
    partial = partial_summary(interrupt)
    if args.json:
        document = {} if partial is None else _load_document(args, partial.as_dict())
        _emit_json({**document, "error": message, "interrupted": True})
    elif partial is not None:
        print(partial)
    tell_next_step(partial)
    print(message, file=sys.stderr)
