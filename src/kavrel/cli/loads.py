"""`kavrel upsert|insert|update|delete`: load a query's rows into a Salesforce object.

The source is a Snowflake profile (or a local SQLite/DuckDB file), the target a Salesforce profile
(or an instance URL with a token from the environment). Progress is the load operations' own log
on standard error; the summary table and the failed-records notes go to standard output.
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

OPERATIONS = ("upsert", "insert", "update", "delete")
DEFAULT_BATCH_SIZE = 25000
PREVIEW_ROWS = 5
TOKEN_VARIABLE = "SF_ACCESS_TOKEN"
LOGGER_NAME = "kavrel"

_HELP = {
    "upsert": "insert or update records matched on an external-ID field, in batches",
    "insert": "insert records, in one job (or batches with --batch-size)",
    "update": "update records by their Id column, in one job (or batches with --batch-size)",
    "delete": "delete records by their Id column, in one job (or batches with --batch-size)",
}
# The exit status of a command ended by SIGTERM, as a shell reports it.
TERMINATED_STATUS = 128 + signal.SIGTERM
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

    target = parser.add_argument_group("target (default: the primary Salesforce profile)")
    targets = target.add_mutually_exclusive_group()
    targets.add_argument("--salesforce", metavar="PROFILE", help="saved Salesforce profile")
    targets.add_argument(
        "--instance-url",
        metavar="URL",
        help=f"org URL; the access token is read from the environment variable {TOKEN_VARIABLE}",
    )
    target.add_argument(
        "--login-url",
        metavar="URL",
        help="host to ask for the access token instead of the profile's My Domain",
    )

    parser.add_argument(
        "--results-dir",
        metavar="DIR",
        default=".",
        help="where <job id>-failed.csv and <job id>-unprocessed.csv files go "
        "(default: the current directory)",
    )
    parser.add_argument(
        "--dry-run",
        action="store_true",
        help="count the rows and show the start of the CSV, without creating any job",
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


def _open_session(args: argparse.Namespace) -> Any:
    if args.sqlite is not None:
        return _local_session("SQLite", args.sqlite)
    if args.duckdb is not None:
        return _local_session("DuckDB", args.duckdb)
    from kavrel.sflake import snowpark

    profile = _profile("snowflake", args.snowflake)
    try:
        return snowpark.create_session(profile)
    except (snowpark.SnowparkMissingError, ValueError) as error:
        raise CommandError(str(error)) from None


def _close(session: Any) -> None:
    close = getattr(session, "close", None)
    if close is not None:
        with contextlib.suppress(Exception):
            close()


# --- logging --------------------------------------------------------------------------------------


@contextlib.contextmanager
def _logging(args: argparse.Namespace) -> Iterator[loadreport.JobTracker]:
    """Shows the kavrel log on standard error for the length of the command.

    The logger itself passes everything down to DEBUG so that the job tracker sees the job-id
    lines whatever the user chose to see.
    """
    logger = logging.getLogger(LOGGER_NAME)
    console = logging.StreamHandler(sys.stderr)
    console.setFormatter(logging.Formatter("%(message)s"))
    console.setLevel(
        logging.DEBUG if args.verbose else logging.WARNING if args.quiet else logging.INFO
    )
    tracker = loadreport.JobTracker()
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    # The tracker goes first: by the time a job id is on the screen it is also remembered.
    logger.addHandler(tracker)
    logger.addHandler(console)
    try:
        yield tracker
    finally:
        logger.removeHandler(tracker)
        logger.removeHandler(console)
        logger.setLevel(old_level)


def _error(text: str) -> None:
    print(f"Error: {text}", file=sys.stderr)


# --- the command ------------------------------------------------------------------------------


def _count_rows(session: Any, query: str) -> int:
    rows = session.sql(f"SELECT COUNT(*) FROM ({query}) AS _kavrel_count").collect()
    return int(rows[0][0]) if rows else 0


def _dry_run(args: argparse.Namespace, session: Any, query: str) -> int:
    from kavrel.util.csv import json_to_csv

    total = _count_rows(session, query)
    if args.batch_size is not None:
        batches = -(-total // args.batch_size)
        plan = f"in {batches:,} batch(es) of up to {args.batch_size:,} rows"
    else:
        plan = "in one job"
    print(
        f"Dry run: {total:,} rows would be {_VERB[args.operation]} into {args.sobject} {plan}; "
        "no job was created."
    )
    if total == 0:
        return 0
    limit = min(PREVIEW_ROWS, args.batch_size or PREVIEW_ROWS)
    # Batches are pages in the order of all columns: show the first batch's rows as it will be.
    order = " ORDER BY ALL" if args.batch_size is not None else ""
    preview = f"SELECT * FROM ({query}) AS _kavrel_preview{order} LIMIT {limit}"
    rows = session.sql(preview).collect()
    text = json_to_csv([row.asDict() for row in rows])
    print(f"First {len(rows):,} rows of the first batch's CSV:")
    print(text.replace("\r\n", "\n"), end="" if text.endswith("\r\n") else "\n")
    return 0


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
    rows = _count_rows(session, query)
    if rows == 0:
        return None
    if args.batch_size is None:
        outcome = load_page(args.operation, session, access_info, args.sobject, query, rows)
        return loadreport.LoadSummary(rows, [outcome])
    outcomes = []
    for number, offset in enumerate(range(0, rows, args.batch_size), 1):
        page = page_query(query, args.batch_size, offset)
        size = min(args.batch_size, rows - offset)
        outcomes.append(
            load_page(args.operation, session, access_info, args.sobject, page, size, number)
        )
    return loadreport.LoadSummary(rows, outcomes)


def _report(args, access_info, summary: loadreport.LoadSummary) -> int:
    from kavrel.salesforce import ingest_bapi20

    loadreport.check_jobs(ingest_bapi20, access_info, summary.jobs)
    notes = loadreport.write_failed_records(
        ingest_bapi20, access_info, summary.jobs, Path(args.results_dir)
    )
    print(loadreport.format_table(summary))
    for note in notes:
        print(note)
    return summary.exit_status


def _run(args: argparse.Namespace) -> int:
    query = _read_query(args)
    access_info = None if args.dry_run else _access_info(args)
    session = _open_session(args)
    try:
        if args.dry_run:
            return _dry_run(args, session, query)
        summary = _load(args, session, access_info, query)
        if summary is None:
            print(f"No rows to load; no job was created for {args.sobject}.")
            return 0
        return _report(args, access_info, summary)
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
    with _logging(args) as tracker, _sigterm_as_interrupt():
        try:
            return _run(args)
        except KeyboardInterrupt as interrupt:
            print(tracker.interrupted_message(), file=sys.stderr)
            return TERMINATED_STATUS if isinstance(interrupt, Terminated) else 130
        except CommandError as error:
            _error(str(error))
            return 1
        except Exception as error:
            if args.verbose:
                traceback.print_exc()
            _error(f"{type(error).__name__}: {error}" if str(error) else type(error).__name__)
            return 1
