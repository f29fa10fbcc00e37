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
import sys
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
    "insert": "insert records, in one job",
    "update": "update records by their Id column, in one job",
    "delete": "delete records by their Id column, in one job",
}
_VERB = {"upsert": "upserted", "insert": "inserted", "update": "updated", "delete": "deleted"}


class CommandError(Exception):
    """A problem the user can fix; its text is the whole message."""


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
        help="where <job id>-failed.csv files go (default: the current directory)",
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
        return local.SQLiteSession(path)
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
    if args.operation == "upsert":
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
    limit = min(PREVIEW_ROWS, args.batch_size) if args.operation == "upsert" else PREVIEW_ROWS
    rows = session.sql(f"SELECT * FROM ({query}) AS _kavrel_preview LIMIT {limit}").collect()
    text = json_to_csv([row.asDict() for row in rows])
    print(f"First {len(rows):,} rows of the first batch's CSV:")
    print(text.replace("\r\n", "\n"), end="" if text.endswith("\r\n") else "\n")
    return 0


def _load(
    args: argparse.Namespace,
    session: Any,
    access_info: dict[str, str],
    query: str,
    tracker: loadreport.JobTracker,
) -> list[loadreport.JobOutcome] | None:
    """Runs the operation; returns the jobs to report on, or None when there was nothing to load."""
    from kavrel.salesforce import vantro

    if args.operation == "upsert":
        summary = vantro.upsert(
            session, access_info, args.sobject, query, args.external_id, args.batch_size
        )
        return None if summary is None else loadreport.outcomes_from_summary(summary)
    # Counted first because the single-job operations would create a job even for no rows,
    # which Salesforce then refuses.
    rows = _count_rows(session, query)
    if rows == 0:
        return None
    operation = getattr(vantro, args.operation)
    extra = (None,) if args.operation == "delete" else ()
    try:
        job_info = operation(session, access_info, args.sobject, query, *extra)
    except RuntimeError as error:
        if (
            not str(error).startswith(f"Salesforce {args.operation} job failed")
            or not tracker.job_id
        ):
            raise
        # The job ended Failed or Aborted: still show what it did and keep its failed records.
        _error(str(error))
        return [loadreport.JobOutcome(None, tracker.job_id, rows, "Failed")]
    return [loadreport.JobOutcome(None, str(job_info["id"]), rows, "JobComplete")]


def _report(args, access_info, outcomes: list[loadreport.JobOutcome]) -> int:
    from kavrel.salesforce import ingest_bapi20

    loadreport.check_jobs(ingest_bapi20, access_info, outcomes)
    notes = loadreport.write_failed_records(
        ingest_bapi20, access_info, outcomes, Path(args.results_dir)
    )
    print(loadreport.format_table(outcomes))
    for note in notes:
        print(note)
    return 0 if outcomes and all(o.ok for o in outcomes) else 1


def _run(args: argparse.Namespace, tracker: loadreport.JobTracker) -> int:
    query = _read_query(args)
    access_info = None if args.dry_run else _access_info(args)
    session = _open_session(args)
    try:
        if args.dry_run:
            return _dry_run(args, session, query)
        outcomes = _load(args, session, access_info, query, tracker)
        if outcomes is None:
            print(f"No rows to load; no job was created for {args.sobject}.")
            return 0
        return _report(args, access_info, outcomes)
    finally:
        _close(session)


def run(args: argparse.Namespace) -> int:
    with _logging(args) as tracker:
        try:
            return _run(args, tracker)
        except KeyboardInterrupt:
            print(tracker.interrupted_message(), file=sys.stderr)
            return 130
        except CommandError as error:
            _error(str(error))
            return 1
        except Exception as error:
            if args.verbose:
                traceback.print_exc()
            _error(f"{type(error).__name__}: {error}" if str(error) else type(error).__name__)
            return 1
