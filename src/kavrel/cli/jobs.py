"""`kavrel job status|wait|results|abort|list`: look after Bulk API ingest jobs once they run.

A job left running (after Ctrl-C, or started elsewhere) is named by its id; the org is a saved
Salesforce profile or an instance URL with a token from the environment, as for the loads.
Human-readable output goes to standard output, progress and errors to standard error; with
`--json` standard output holds exactly one JSON document.
"""

from __future__ import annotations

import argparse
import csv
import io
import time
from pathlib import Path
from typing import Any

from kavrel.cli import output
from kavrel.cli.arguments import positive_int, positive_number
from kavrel.cli.ending import Told
from kavrel.cli.errors import CommandError
from kavrel.cli.options import add_command_group, add_org_arguments, org_session
from kavrel.load import results
from kavrel.load.results import RESULT_KINDS, count_of
from kavrel.load.summary import FINISHED_STATES, counted, how_to_abort, number_text, records_text

DEFAULT_INTERVAL = 5.0
DEFAULT_LIST_LIMIT = 20


# --- arguments ---------------------------------------------------------------------------------


def _add_org_arguments(parser: argparse.ArgumentParser) -> None:
    add_org_arguments(parser, "org (default: the primary Salesforce profile)")
    output.add_json_argument(parser)


_COMMANDS = {
    "status": "show a job's state and record counts",
    "wait": "wait until a job ends, showing its progress",
    "results": "save a job's successful, failed and unprocessed records as CSV files",
    "abort": "abort a job that is still open or being processed",
    "list": "list the org's recent ingest jobs, newest first",
}


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds `kavrel job ...` to the `kavrel` parser."""
    commands = add_command_group(
        subparsers, "job", "look at, wait for, save the records of, or abort an ingest job",
        "Look after Salesforce Bulk API ingest jobs by their id.", _COMMANDS,
    )  # fmt: skip
    for name, parser in commands.items():
        if name != "list":
            _add_job_id_arguments(parser)
        _add_org_arguments(parser)
        parser.set_defaults(run=_runner(name, parser))
    commands["wait"].add_argument(
        "--interval",
        type=positive_number("seconds"),
        default=DEFAULT_INTERVAL,
        metavar="SECONDS",
        help=f"pause between status checks (default {DEFAULT_INTERVAL:g})",
    )
    commands["wait"].add_argument(
        "--timeout",
        type=positive_number("seconds"),
        metavar="SECONDS",
        help="give up (status 1) when the job has not ended after this long",
    )
    commands["results"].add_argument(
        "--results-dir",
        metavar="DIR",
        default=".",
        help="where the <job id>-success|failed|unprocessed.csv files go (default: here)",
    )
    commands["list"].add_argument(
        "--limit",
        type=positive_int,
        default=DEFAULT_LIST_LIMIT,
        metavar="N",
        help=f"show at most N jobs (default {DEFAULT_LIST_LIMIT})",
    )


def _add_job_id_arguments(parser: argparse.ArgumentParser) -> None:
    """The job's id, as a positional argument or, as sf takes it, with --job-id."""
    parser.add_argument("job_id", nargs="?", metavar="JOB_ID", help="the ingest job's id (750...)")
    parser.add_argument(
        "--job-id", "-i", dest="job_id_option", metavar="ID", help="the job's id, as sf takes it"
    )


def _job_id(parser: argparse.ArgumentParser, args: argparse.Namespace) -> str:
    given = {value for value in (args.job_id, args.job_id_option) if value is not None}
    if not given:
        parser.error("the job's id is required (JOB_ID or --job-id ID)")
    if len(given) > 1:
        parser.error("JOB_ID and --job-id name different jobs")
    return given.pop()


def _runner(name: str, parser: argparse.ArgumentParser):
    command = globals()[f"_{name}"]

    def run(args: argparse.Namespace) -> output.Outcome:
        if name != "list":
            args.job_id = _job_id(parser, args)
        return _with_client(args, command)

    return run


# --- what a job looks like to the user -------------------------------------------------------


def job_document(info: dict[str, Any], not_processed: int | None = None) -> dict[str, Any]:
    """A job as `--json` shows it. `rows` is known only once the job has ended and its
    unprocessed records were counted; until then it and `not_processed` are null."""
    processed = count_of(info.get("numberRecordsProcessed"))
    failed = count_of(info.get("numberRecordsFailed"))
    succeeded = None if processed is None or failed is None else processed - failed
    rows = None if processed is None or not_processed is None else processed + not_processed
    document = {
        "id": info.get("id"),
        "state": info.get("state"),
        "object": info.get("object"),
        "operation": info.get("operation"),
        "rows": rows,
        "succeeded": succeeded,
        "failed": failed,
        "not_processed": not_processed,
    }
    if info.get("errorMessage"):
        document["error"] = str(info["errorMessage"])
    return document


def describe(document: dict[str, Any]) -> str:
    """Lines for a person: the job, its state and counts."""
    lines = [
        f"Job {document['id']}: {document['operation']} {document['object']}, {document['state']}",
        f"  rows {number_text(document['rows'])}, succeeded {number_text(document['succeeded'])}, "
        f"failed {number_text(document['failed'])}, "
        f"not processed {number_text(document['not_processed'])}",
    ]
    if document.get("error"):
        lines.append(f"  error: {document['error']}")
    return "\n".join(lines)


def _csv_records(text: str) -> int:
    rows = sum(1 for row in csv.reader(io.StringIO(text, newline="")) if row)
    return max(rows - 1, 0)


def _with_client(args: argparse.Namespace, command: Any) -> output.Outcome:
    """Runs the command with one client of the org the arguments name, its connections kept
    alive from one request to the next and its session renewed when the org ends it."""
    from kavrel.salesforce.bulk_client import BulkApiClient

    access_info, renew = org_session(args)
    with BulkApiClient(access_info, renew=renew) as client:
        return command(args, client)


def _read_job(client: Any, job_id: str) -> dict[str, Any]:
    info = client.job_status(job_id)
    not_processed = None
    if info.get("state") in FINISHED_STATES:
        not_processed = _csv_records(client.unprocessed_records(job_id))
    return job_document(info, not_processed)


def _open_job(job_id: str, consequence: str) -> str:
    """Why a command that needs the job's end stops at an Open job, and what the user can do."""
    return (
        f"job {job_id} is Open, so {consequence}: Salesforce processes a job only once its "
        "upload is closed; if the load that created it is no longer running, "
        f"{how_to_abort(job_id)}"
    )


# --- the commands ------------------------------------------------------------------------------


def _status(args: argparse.Namespace, client: Any) -> output.Outcome:
    document = _read_job(client, args.job_id)
    return output.Outcome(document, describe(document))


def _wait(args: argparse.Namespace, client: Any) -> output.Outcome:
    try:
        return _wait_for_end(args, client)
    except KeyboardInterrupt as interrupt:
        output.progress(f"Stopped waiting; job {args.job_id} was not aborted and keeps running.")
        raise Told from interrupt


def _wait_for_end(args: argparse.Namespace, client: Any) -> output.Outcome:
    started = time.monotonic()
    shown = None
    while True:
        info = client.job_status(args.job_id)
        state = info.get("state")
        if state == "Open":
            raise CommandError(_open_job(args.job_id, "there is nothing to wait for"))
        progress = (state, info.get("numberRecordsProcessed"))
        elapsed = time.monotonic() - started
        if progress != shown:
            shown = progress
            processed = count_of(info.get("numberRecordsProcessed"))
            records = "- records" if processed is None else records_text(processed)
            output.progress(f"Job {args.job_id}: {state}, {records} processed ({elapsed:.0f} s)")
        if state in FINISHED_STATES:
            break
        if args.timeout is not None and elapsed >= args.timeout:
            raise CommandError(
                f"job {args.job_id} is still {state} after {args.timeout:g} s; "
                f"it keeps running (kavrel job wait {args.job_id} to wait again)"
            )
        time.sleep(args.interval)
    document = _read_job(client, args.job_id)
    ok = document["state"] == "JobComplete" and document["failed"] == 0
    return output.Outcome(document, describe(document), 0 if ok else 1)


def _results(args: argparse.Namespace, client: Any) -> output.Outcome:
    info = client.job_status(args.job_id)
    if info.get("state") == "Open":
        raise CommandError(_open_job(args.job_id, "it has no records to save"))
    if info.get("state") not in FINISHED_STATES:
        raise CommandError(
            f"job {args.job_id} is {info.get('state')}; its records can be saved once it ends "
            f"(kavrel job wait {args.job_id})"
        )
    directory = Path(args.results_dir)
    try:
        results.make_private_dir(directory)
    except OSError as error:
        raise CommandError(f"cannot create the results directory {directory}: {error}") from None
    files: dict[str, str] = {}
    counts: dict[str, int] = {}
    for kind, _ in RESULT_KINDS:
        try:
            path, text = results.save_result_file(client, args.job_id, kind, directory)
        except OSError as error:
            import requests

            if isinstance(error, requests.RequestException):
                raise  # a network error is an OSError too, and is told as one
            file = directory / results.result_file_name(args.job_id, kind)
            raise CommandError(f"cannot write {file}: {error}") from None
        files[kind] = str(path)
        counts[kind] = _csv_records(text)
    document = job_document(info, counts["unprocessed"])
    document["files"] = files
    lines = [describe(document)]
    lines += [
        f"  {counted(counts[kind], kind + ' record')}: {files[kind]}" for kind, _ in RESULT_KINDS
    ]
    return output.Outcome(document, "\n".join(lines))


def _abort(args: argparse.Namespace, client: Any) -> output.Outcome:
    from kavrel.salesforce.ingest_bapi20 import BulkApiError

    try:
        info = client.job_abort(args.job_id)
    except BulkApiError as error:
        if error.status_code == 404:
            raise
        message = f"Salesforce refused to abort job {args.job_id}: {error.message}"
        raise CommandError(message) from None
    document = job_document(info)
    return output.Outcome(document, f"Job {args.job_id} aborted.")


def _list(args: argparse.Namespace, client: Any) -> output.Outcome:
    from kavrel.salesforce.ingest_bapi20 import MAX_LIST_PAGES

    jobs, complete = client.job_pages()
    if not complete:
        output.progress(
            f"⚠️ The org lists more than {MAX_LIST_PAGES} pages of ingest jobs; only those "
            f"{MAX_LIST_PAGES} were read, so the jobs of later pages (perhaps the newest) are "
            "not shown"
        )
    jobs.sort(key=lambda job: str(job.get("createdDate") or ""), reverse=True)
    shown = [{**job_document(job), "created": job.get("createdDate")} for job in jobs[: args.limit]]
    if not shown:
        return output.Outcome({"jobs": [], "complete": complete}, "No ingest jobs in this org.")
    header = ("job id", "created", "operation", "object", "state")
    rows = [
        tuple(str(job[key] or "-") for key in ("id", "created", "operation", "object", "state"))
        for job in shown
    ]
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]
    text = "\n".join(
        "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip()
        for row in (header, *rows)
    )
    return output.Outcome({"jobs": shown, "complete": complete}, text)
