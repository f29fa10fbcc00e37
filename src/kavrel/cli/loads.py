"""`kavrel upsert|insert|update|delete`: load a query's rows into a Salesforce object.

The source is a Snowflake profile (or a local SQLite/DuckDB file), the target a Salesforce profile
(or an instance URL with a token from the environment). Progress is the load operations' own log
on standard error, drawn as a live display on a terminal (kavrel.cli.progress); the summary table
and the result-file notes go to standard output, or with --json one document instead.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import signal
import sys
import threading
import traceback
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from kavrel.cli import loadreport
from kavrel.sflake.snowpark import DEFAULT_LOGIN_TIMEOUT

OPERATIONS = ("upsert", "insert", "update", "delete")
DEFAULT_BATCH_SIZE = 25000
PREVIEW_ROWS = 5
TOKEN_VARIABLE = "SF_ACCESS_TOKEN"
LOGGER_NAME = "kavrel"
# What Salesforce reads as "set this field to null" in a CSV upload; an empty value leaves it.
CLEAR_VALUE = "#N/A"

_HELP = {
    "upsert": "insert or update records matched on an external-ID field, in batches",
    "insert": "insert records, in one job (or batches with --batch-size)",
    "update": "update records by their Id column, in one job (or batches with --batch-size)",
    "delete": "delete records by their Id column, in one job (or batches with --batch-size)",
}
# The exit status of a command ended by SIGTERM, as a shell reports it.
TERMINATED_STATUS = 128 + signal.SIGTERM
_log = logging.getLogger(__name__)
_VERB = {"upsert": "upserted", "insert": "inserted", "update": "updated", "delete": "deleted"}


class CommandError(Exception):
    """A problem the user can fix; its text is the whole message."""


class Terminated(KeyboardInterrupt):
    """SIGTERM (from cron, `timeout` or an orchestrator), handled as Ctrl-C is."""


# --- arguments ---------------------------------------------------------------------------------


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}")
    return value


def snowflake_option(text: str) -> str:
    """A `KEY=VALUE` connector setting, checked while the arguments are read so that a mistyped
    one stops the command before Salesforce is contacted."""
    from kavrel.sflake.snowpark import parse_option

    try:
        parse_option(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def add_org_arguments(parser: argparse.ArgumentParser, title: str) -> None:
    """The ways to name the org: a saved profile, or an instance URL with a token from the
    environment; and the host that gives the token. `_access_info` reads them."""
    org = parser.add_argument_group(title)
    orgs = org.add_mutually_exclusive_group()
    orgs.add_argument("--salesforce", metavar="PROFILE", help="saved Salesforce profile")
    orgs.add_argument(
        "--instance-url",
        metavar="URL",
        help=f"org URL; the access token is read from the environment variable {TOKEN_VARIABLE}",
    )
    org.add_argument(
        "--login-url",
        metavar="URL",
        help="host to ask for the access token instead of the profile's My Domain",
    )


def _add_arguments(parser: argparse.ArgumentParser, operation: str) -> None:
    parser.add_argument("--sobject", required=True, metavar="NAME", help="Salesforce object")
    query = parser.add_mutually_exclusive_group(required=True)
    query.add_argument("--query", metavar="TEXT", help="SQL whose rows are loaded")
    query.add_argument("--query-file", metavar="PATH", help="file holding that SQL")
    if operation == "upsert":
        parser.add_argument(
            "--external-id", required=True, metavar="FIELD", help="field the records match on"
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
        help="load the rows as N contiguous slices, each with its own jobs, side by side "
        "(default 1: one job at a time)",
    )
    parser.add_argument(
        "--no-lock-retry",
        action="store_true",
        help=f"with --parallel, do not send records that failed with {loadreport.LOCK_ERROR} "
        "again in one job after the others",
    )

    source = parser.add_argument_group("source (default: the primary Snowflake profile)")
    sources = source.add_mutually_exclusive_group()
    sources.add_argument("--snowflake", metavar="PROFILE", help="saved Snowflake profile")
    sources.add_argument("--sqlite", metavar="PATH", help="read from a SQLite database file")
    sources.add_argument("--duckdb", metavar="PATH", help="read from a DuckDB database file")
    source.add_argument(
        "--snowflake-option",
        action="append",
        default=[],
        type=snowflake_option,
        metavar="KEY=VALUE",
        help="connector setting for the Snowflake session (host, port, protocol, proxy_host, "
        f"login_timeout, ...; login_timeout defaults to {DEFAULT_LOGIN_TIMEOUT} s); repeatable",
    )

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
        "CSV, without creating any job",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print one JSON document on standard output instead of the table",
    )
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-v", "--verbose", action="store_true", help="log every step")
    verbosity.add_argument("-q", "--quiet", action="store_true", help="log warnings only")


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    for operation in OPERATIONS:
        parser = subparsers.add_parser(
            operation,
            help=_HELP[operation],
            description=f"Load the rows of a query into a Salesforce object: {_HELP[operation]}.",
        )
        _add_arguments(parser, operation)
        parser.set_defaults(run=run, operation=operation)


def _read_query(args: argparse.Namespace) -> str:
    if args.query_file is not None:
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


# --- profiles, source and target -----------------------------------------------------------------


def _profile(kind: str, name: str | None) -> dict[str, Any]:
    from kavrel.user.connections import get_primary_connection, load_connection

    title = kind.capitalize() if kind == "snowflake" else "Salesforce"
    create = f"create one with `kavrel mintova --{kind}`"
    try:
        if name is None:
            name = get_primary_connection(kind)
            if not name:
                raise CommandError(
                    f"no {title} profile given and no primary {title} profile is set; "
                    f"{create}, or name a saved one with --{kind} PROFILE"
                )
            missing = f"the primary {title} profile '{name}' no longer exists; {create}"
        else:
            missing = f"no {title} profile named '{name}'; {create}"
        profile = load_connection(name)
    except FileNotFoundError:
        raise CommandError(f"no connection profiles are saved yet; {create}") from None
    except Exception as error:
        from kavrel.cli.output import store_problem

        if (problem := store_problem(error)) is None:
            raise
        raise CommandError(problem) from None
    if profile is None:
        raise CommandError(missing)
    stored_type = profile.get("connection_type")
    if stored_type != kind:
        raise CommandError(f"the profile '{name}' is a {stored_type} profile, not a {title} one")
    return profile


def _access_info(args: argparse.Namespace) -> dict[str, str]:
    from kavrel.salesforce import oauth

    if args.instance_url is not None:
        if args.login_url is not None:
            raise CommandError("--login-url has no use with --instance-url")
        token = os.environ.get(TOKEN_VARIABLE, "").strip()
        if not token:
            raise CommandError(
                f"--instance-url needs the access token in the environment variable "
                f"{TOKEN_VARIABLE}"
            )
        try:
            return oauth.bearer_access_info(token, args.instance_url, "--instance-url")
        except oauth.OAuthError as error:
            raise CommandError(str(error)) from None
    profile = _profile("salesforce", args.salesforce)
    try:
        return oauth.request_token(profile, args.login_url)
    except oauth.OAuthError as error:
        raise CommandError(str(error)) from None


def _local_session(kind: str, path: str) -> Any:
    from kavrel.sflake import local

    # Connecting would quietly create an empty database where the user mistyped a path.
    if not os.path.isfile(path):
        raise CommandError(f"no such {kind} database file: {path}")
    if kind == "SQLite":
        return local.SQLiteSession(path, read_only=True)
    try:
        return local.DuckDBSession(path)
    except ImportError:
        raise CommandError(
            "DuckDB support is not installed; install it with: pip install 'kavrel[duckdb]'"
        ) from None


def _open_source(args: argparse.Namespace) -> Any:
    local = (
        "--sqlite" if args.sqlite is not None else "--duckdb" if args.duckdb is not None else None
    )
    if local and args.snowflake_option:
        raise CommandError(f"--snowflake-option has no use with {local}")
    if args.sqlite is not None:
        return _local_session("SQLite", args.sqlite)
    if args.duckdb is not None:
        return _local_session("DuckDB", args.duckdb)
    from kavrel.sflake import snowpark

    options = snowpark.parse_options(args.snowflake_option)
    profile = _profile("snowflake", args.snowflake)
    try:
        return snowpark.create_session(profile, options)
    except (snowpark.SnowparkMissingError, snowpark.SnowflakeLoginError, ValueError) as error:
        raise CommandError(str(error)) from None


def _open_session(args: argparse.Namespace) -> Any:
    from kavrel.sflake.fieldnames import FieldNameSession, parse_fields

    names = parse_fields(args.fields or "")
    if args.operation == "upsert":
        names.insert(0, args.external_id)
    return FieldNameSession(_open_source(args), names)


def _close(session: Any) -> None:
    close = getattr(session, "close", None)
    if close is not None:
        with contextlib.suppress(Exception):
            close()


# --- logging --------------------------------------------------------------------------------------


class Console:
    """Where a load's messages go while it runs: the job tracker, the live display when there is
    one, and the console log handler (whose lines appear above the display)."""

    def __init__(self, args: argparse.Namespace) -> None:
        from kavrel.cli import progress

        self.tracker = loadreport.JobTracker()
        self.display: progress.ProgressDisplay | None = None
        if not args.quiet and not args.dry_run and progress.wanted():
            self.display = progress.ProgressDisplay(sys.stderr)
        stream = sys.stderr if self.display is None else self.display.above
        self.handler = logging.StreamHandler(stream)
        self.handler.setFormatter(logging.Formatter("%(message)s"))
        # On a terminal the display replaces the step-by-step lines; -v still shows them all.
        quiet = args.quiet or self.display is not None
        self.handler.setLevel(
            logging.DEBUG if args.verbose else logging.WARNING if quiet else logging.INFO
        )

    @property
    def handlers(self) -> list[logging.Handler]:
        # The tracker goes first: by the time a job id is on the screen it is also remembered.
        return [self.tracker, *([self.display] if self.display else []), self.handler]

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


_consoles: list[Console] = []


@contextlib.contextmanager
def _logging(args: argparse.Namespace) -> Iterator[Console]:
    """Shows the kavrel log on standard error for the length of the command.

    The logger itself passes everything down to DEBUG so that the job tracker and the display
    see the job-id lines whatever the user chose to see.
    """
    logger = logging.getLogger(LOGGER_NAME)
    console = Console(args)
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


def _error(text: str) -> None:
    if _consoles:
        _consoles[-1].say(f"Error: {text}")
    else:
        print(f"Error: {text}", file=sys.stderr)


def _emit_json(document: dict[str, Any]) -> None:
    # Imported here: kavrel.cli.output imports this module for CommandError.
    from kavrel.cli import output

    output.emit_json(document)


# --- the command ------------------------------------------------------------------------------


def count_rows(session: Any, query: str) -> int:
    rows = session.sql(f"SELECT COUNT(*) FROM ({query}) AS _kavrel_count").collect()
    return int(rows[0][0]) if rows else 0


def _key_field(args: argparse.Namespace) -> str | None:
    """The field the records are matched on: the external ID for upsert, Id for update and
    delete; None for insert."""
    if args.operation == "upsert":
        return args.external_id
    return None if args.operation == "insert" else "Id"


def _column_names(row: Any) -> list[str]:
    """The column names as they will be sent; the row's own names where two columns share one,
    since asDict() then keeps only one of them."""
    sent = list(row.asDict())
    names = getattr(row, "_fields", None)
    return list(names) if names and len(names) > len(sent) else sent


def column_checks(operation: str, key: str | None, names: list[str]) -> list[tuple[bool, str]]:
    """What the columns mean for the operation, as (passed, finding) pairs. The names are those
    sent, after the session gave the fields their spelling: Salesforce expects each header spelled
    as the field's API name, so a column that differs from the key field only in case fails."""
    checks = []
    if key is not None:
        what = "external ID field" if operation == "upsert" else "field"
        found = [name for name in names if name.lower() == key.lower()]
        if not found:
            checks.append((False, f"the {what} {key} is not one of the columns"))
        elif key in found:
            checks.append((True, f"the {what} {key} is a column"))
        else:
            checks.append(
                (
                    False,
                    f"the {what} {key} is spelled {found[0]} in the columns; give it the "
                    "field's spelling (a quoted alias, or --fields)",
                )
            )
    by_case: dict[str, list[str]] = {}
    for name in names:
        by_case.setdefault(name.lower(), []).append(name)
    repeated = [group for group in by_case.values() if len(group) > 1]
    if repeated:
        for group in repeated:
            listed = ", ".join(group)
            checks.append((False, f"more than one column is named {listed} (ignoring case)"))
    else:
        checks.append((True, "no two columns share a name"))
    return checks


def _dry_run(args: argparse.Namespace, session: Any, query: str) -> int:
    from kavrel.sflake.query import DuplicateColumns
    from kavrel.util.csv import json_to_csv

    total = count_rows(session, query)
    batches = 1 if args.batch_size is None else -(-total // args.batch_size)
    if args.batch_size is not None:
        plan = f"in {batches:,} batch(es) of up to {args.batch_size:,} rows"
    else:
        plan = "in one job"
    lines = [
        f"Dry run: {total:,} rows would be {_VERB[args.operation]} into {args.sobject} {plan}; "
        "no job was created."
    ]
    rows: list[Any] = []
    names: list[str] | None = None
    checks: list[tuple[bool, str]] = []
    if total:
        limit = min(PREVIEW_ROWS, args.batch_size or PREVIEW_ROWS)
        # Batches are pages in the order of all columns: show the first batch's rows as it will
        # be.
        order = " ORDER BY ALL" if args.batch_size is not None else ""
        preview = f"SELECT * FROM ({query}) AS _kavrel_preview{order} LIMIT {limit}"
        try:
            rows = session.sql(preview).collect()
            names = _column_names(rows[0]) if rows else None
        except DuplicateColumns as error:  # some sources refuse such a query outright
            checks = [(False, f"more than one column is named {name}") for name in error.names]
    if checks:
        lines += [f"Check FAILED: {text}." for _, text in checks]
    elif names is None:
        lines.append("Columns: not checked, the query gives no rows.")
    else:
        checks = column_checks(args.operation, _key_field(args), names)
        lines.append("Columns: " + ", ".join(names))
        lines += [f"Check {'passed' if ok else 'FAILED'}: {text}." for ok, text in checks]
    passed = all(ok for ok, _ in checks)
    if rows and passed:
        text = json_to_csv([row.asDict() for row in rows])
        lines.append(f"First {len(rows):,} rows of the first batch's CSV:")
        lines.append(text.replace("\r\n", "\n").removesuffix("\n"))
    if args.json:
        _emit_json(
            {
                "dry_run": True,
                "operation": args.operation,
                "object": args.sobject,
                "rows": total,
                "batches": batches if total else 0,
                "columns": names,
                "checks": [{"passed": ok, "finding": text} for ok, text in checks],
                "ok": passed,
            }
        )
    else:
        print("\n".join(lines))
    if not passed:
        _error(f"the columns do not suit {args.operation}; no job was created")
        return 1
    return 0


def null_clearing(session: Any, key: str | None) -> Any:
    """The session with rows that give CLEAR_VALUE for a NULL, so that the NULL clears the field
    in Salesforce. The key field (the external ID or Id) keeps its NULL: as CLEAR_VALUE it would
    be taken for a value to match records on."""
    from kavrel.sflake.query import RecordMappingSession

    key = None if key is None else key.lower()

    def clear_nulls(record: dict[str, Any]) -> dict[str, Any]:
        return {
            name: CLEAR_VALUE if value is None and name.lower() != key else value
            for name, value in record.items()
        }

    return RecordMappingSession(session, clear_nulls)


def page_query(query: str, limit: int, offset: int) -> str:
    """One page of the query's rows. Ordered by all columns: without an ordering a warehouse may
    give each page's rows in another order, and rows would be loaded twice or never."""
    return f"SELECT * FROM ({query}) AS _kavrel_page ORDER BY ALL LIMIT {limit} OFFSET {offset}"


def load_page(
    operation: str,
    session: Any,
    access_info: dict[str, str],
    sobject: str,
    query: str,
    rows: int,
    batch: int | None = None,
) -> loadreport.JobOutcome:
    """Loads `query` (all rows, or one page of them) through one job of the single-job
    `operation` (insert, update or delete) and returns that job's outcome.

    A job that ends Failed or Aborted, or that breaks off after it was created, is an outcome;
    an error before any job exists is raised when the load is one job (`batch` None) and is an
    outcome of its batch otherwise. Errors common to every page (repeated column names) are
    always raised. Safe to run for several pages side by side: it keeps no shared state.
    """
    from kavrel.salesforce import vantro
    from kavrel.sflake.query import DuplicateColumns

    extra = (None,) if operation == "delete" else ()
    try:
        job_info = getattr(vantro, operation)(session, access_info, sobject, query, *extra)
    except vantro.JobFailed as error:
        _error(str(error))
        message = error.job_info.get("errorMessage") if isinstance(error.job_info, dict) else None
        return loadreport.JobOutcome(
            batch, str(error.job_id), rows, str(error.state), error_message=message
        )
    except DuplicateColumns:
        raise
    except Exception as error:
        job_id = getattr(error, "job_id", None)
        if job_id is None and batch is None:
            raise
        text = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
        job = None if job_id is None else str(job_id)
        return loadreport.JobOutcome(
            batch, job, rows, loadreport.UNKNOWN if job else "error", error=text
        )
    return loadreport.JobOutcome(batch, str(job_info["id"]), rows, "JobComplete")


def _load(
    args: argparse.Namespace, session: Any, access_info: dict[str, str], query: str
) -> loadreport.LoadSummary | None:
    """Runs the operation; returns its summary, or None when there was nothing to load."""
    from kavrel.salesforce import vantro

    if getattr(args, "parallel", 1) > 1:
        from kavrel.cli import parallel

        return parallel.load(args, session, access_info, query)
    if args.operation == "upsert":
        summary = vantro.upsert(
            session, access_info, args.sobject, query, args.external_id, args.batch_size
        )
        if summary is None:
            return None
        total = int(summary["total_records"])
        return loadreport.LoadSummary(total, loadreport.outcomes_from_summary(summary))
    # Counted first because the single-job operations would create a job even for no rows,
    # which Salesforce then refuses; the count is also what the summary must add up to.
    rows = count_rows(session, query)
    if rows == 0:
        return None
    batches = 1 if args.batch_size is None else -(-rows // args.batch_size)
    _log.debug(
        "%s rows in %s batch(es)",
        f"{rows:,}",
        f"{batches:,}",
        extra={"load_rows": rows, "load_batches": batches},
    )
    if args.batch_size is None:
        _log.debug("batch 1 of 1", extra={"batch": 1, "batch_rows": rows})
        outcome = load_page(args.operation, session, access_info, args.sobject, query, rows)
        return loadreport.LoadSummary(rows, [outcome])
    outcomes = []
    for number, offset in enumerate(range(0, rows, args.batch_size), 1):
        page = page_query(query, args.batch_size, offset)
        size = min(args.batch_size, rows - offset)
        _log.debug(
            "batch %s of %s: %s rows",
            number,
            f"{batches:,}",
            f"{size:,}",
            extra={"batch": number, "batch_rows": size},
        )
        outcomes.append(
            load_page(args.operation, session, access_info, args.sobject, page, size, number)
        )
    return loadreport.LoadSummary(rows, outcomes)


def _report(
    args: argparse.Namespace,
    access_info: dict[str, str],
    summary: loadreport.LoadSummary,
    console: Console | None = None,
) -> int:
    from kavrel.salesforce import ingest_bapi20

    loadreport.check_jobs(ingest_bapi20, access_info, summary.jobs)
    notes = loadreport.write_result_files(
        ingest_bapi20, access_info, summary.jobs, Path(args.results_dir), args.save_success
    )
    if console is not None:
        console.stop_display()
    if args.json:
        _emit_json(_load_document(args, summary))
        for note in notes:
            print(note, file=sys.stderr)
        return summary.exit_status
    print(loadreport.format_table(summary))
    for note in notes:
        print(note)
    return summary.exit_status


def _load_document(args: argparse.Namespace, summary: loadreport.LoadSummary) -> dict[str, Any]:
    """The `--json` document of a load: what it loaded into, each job, the totals."""
    return {"operation": args.operation, "object": args.sobject, **summary.as_dict()}


def _run(args: argparse.Namespace, console: Console) -> int:
    query = _read_query(args)
    access_info = None if args.dry_run else _access_info(args)
    session = _open_session(args)
    try:
        if getattr(args, "null_clears", False):
            session = null_clearing(session, _key_field(args))
        if args.dry_run:
            return _dry_run(args, session, query)
        if console.display is not None:
            console.display.begin_load(f"{args.operation} {args.sobject}")
        summary = _load(args, session, access_info, query)
        if summary is None:
            console.stop_display()
            if args.json:
                _emit_json(_load_document(args, loadreport.LoadSummary(0, [])))
            else:
                print(f"No rows to load; no job was created for {args.sobject}.")
            return 0
        return _report(args, access_info, summary, console)
    finally:
        _close(session)


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated()


@contextlib.contextmanager
def _sigterm_as_interrupt() -> Iterator[None]:
    """While the command runs, SIGTERM interrupts it as Ctrl-C does, so an Open job is aborted
    and the job in flight named instead of the process vanishing without a word."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def run(args: argparse.Namespace) -> int:
    with _logging(args) as console, _sigterm_as_interrupt():
        try:
            return _run(args, console)
        except KeyboardInterrupt as interrupt:
            console.stop_display()
            message = console.tracker.interrupted_message()
            print(message, file=sys.stderr)
            if args.json:
                _emit_json({"error": message, "interrupted": True})
            return TERMINATED_STATUS if isinstance(interrupt, Terminated) else 130
        except Exception as error:
            console.stop_display()
            if args.verbose and not isinstance(error, CommandError):
                traceback.print_exc()
            message = str(error)
            if not isinstance(error, CommandError):
                message = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
            _error(message)
            if args.json:
                _emit_json({"error": message})
            return 1
