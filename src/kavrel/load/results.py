"""What a load asks of Salesforce once its jobs are over: their final counts, and the result files
(`<job id>-failed.csv`, `-unprocessed.csv`, `-success.csv`), private to their owner."""

from __future__ import annotations

import csv
import io
import os
import re
from pathlib import Path
from typing import Any, TextIO

from kavrel.load.summary import (
    FINISHED_STATES,
    LOCK_ERROR,
    UNKNOWN,
    JobOutcome,
    how_to_abort,
    records_text,
    where_to_check,
)

_SAFE_NAME = re.compile(r"[^A-Za-z0-9_.-]")


def split_lock_errors(text: str) -> tuple[str, list[list[str]]]:
    """A failed-results CSV without its row-lock errors, and those records as they were sent
    (the header of their fields first; nothing when no record failed that way)."""
    rows = list(csv.reader(io.StringIO(text, newline="")))
    if not rows or "sf__Error" not in rows[0]:
        return text, []
    error = rows[0].index("sf__Error")
    fields = [i for i, name in enumerate(rows[0]) if name not in ("sf__Id", "sf__Error")]

    def locked(row: list[str]) -> bool:
        return len(row) > error and row[error].startswith(LOCK_ERROR)

    retried = [[row[i] for i in fields] for row in rows[1:] if locked(row)]
    if not retried:
        return text, []
    kept = io.StringIO()
    csv.writer(kept, lineterminator="\n").writerows(row for row in rows if not locked(row))
    return kept.getvalue(), [[rows[0][i] for i in fields], *retried]


def check_jobs(client: Any, outcomes: list[JobOutcome]) -> None:
    """Fills in each job's final state, record counts and Salesforce's errorMessage, as the
    client (kavrel.salesforce.bulk_client) reads them."""
    for outcome in outcomes:
        if outcome.job_id is None:
            continue
        try:
            status = client.job_status(outcome.job_id)
        except Exception as error:  # the load is over: report it, keep reporting the others
            outcome.state = UNKNOWN
            outcome.error = (
                f"could not read the job's state ({error}); {where_to_check(outcome.job_id)}"
            )
            continue
        outcome.state = str(status.get("state", UNKNOWN))
        outcome.processed = count_of(status.get("numberRecordsProcessed"))
        outcome.failed = count_of(status.get("numberRecordsFailed"))
        if outcome.state in ("Failed", "Aborted") and status.get("errorMessage"):
            outcome.error_message = str(status["errorMessage"])
        if outcome.state not in FINISHED_STATES:
            # An Open job is never processed, so waiting for it would never end.
            advice = how_to_abort if outcome.state == "Open" else where_to_check
            outcome.error = f"the job is still {outcome.state}; {advice(outcome.job_id)}"


def count_of(value: Any) -> int | None:
    """A record count from a job's info; None where Salesforce gave none (or no number)."""
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


# What each kind of result file holds, and the ingest function that reads it.
RESULT_KINDS = (
    ("success", "successful_results"),
    ("failed", "failed_results"),
    ("unprocessed", "unprocessed_records"),
)


def result_file_name(job_id: str, kind: str = "failed") -> str:
    """`<job id>-<kind>.csv`, the name `kavrel job results` and the loads both use."""
    # Job ids come from the server or the command line; never let one name a file elsewhere.
    return _SAFE_NAME.sub("_", job_id) + f"-{kind}.csv"


def make_private_dir(path: Path) -> None:
    """Creates `path` and any missing parents with mode 0700; an existing one is left as it is."""
    missing = []
    for folder in (path, *path.parents):
        if folder.is_dir():
            break
        missing.append(folder)
    for folder in reversed(missing):
        try:
            folder.mkdir(mode=0o700)
        except FileExistsError:
            if not folder.is_dir():
                raise
        os.chmod(folder, 0o700)


def open_private(path: Path) -> TextIO:
    """A new text (UTF-8) of a file only its owner can read, also when the file existed: records
    are business data."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    out = open(descriptor, "w", encoding="utf-8", newline="")  # noqa: SIM115 - the caller's
    try:
        os.fchmod(descriptor, 0o600)
    except BaseException:
        out.close()
        raise
    return out


def write_private(path: Path, text: str) -> None:
    """Writes `text` to a file only its owner can read (see `open_private`)."""
    with open_private(path) as out:
        out.write(text)


def save_result_file(
    client: Any,
    job_id: str,
    kind: str,
    directory: Path,
    drop_lock_errors: bool = False,
) -> tuple[Path, str]:
    """Fetches one kind of a job's results and saves it as `<job id>-<kind>.csv` in `directory`;
    returns the path and the CSV text. `drop_lock_errors` leaves out the failed records that a
    lock retry sent again, so re-sending the file cannot load them twice."""
    text = getattr(client, dict(RESULT_KINDS)[kind])(job_id)
    if drop_lock_errors:
        text = split_lock_errors(text)[0]
    make_private_dir(directory)
    path = directory / result_file_name(job_id, kind)
    write_private(path, text)
    return path, text


def write_result_files(
    client: Any,
    outcomes: list[JobOutcome],
    results_dir: Path,
    save_success: bool = False,
) -> list[str]:
    """Saves the failed and the unprocessed records of every finished job that has some, and
    with `save_success` the successful ones of every finished job; returns the lines to tell
    the user."""
    lines = []
    for outcome in outcomes:
        if outcome.job_id is None or not outcome.finished:
            continue
        for kind, count in (
            ("success", outcome.succeeded if save_success else 0),
            # Records sent again in the lock retry are not failures of this job any more.
            ("failed", (outcome.failed or 0) - outcome.retried),
            ("unprocessed", outcome.not_processed),
        ):
            # A successful-records file is written even when it is empty: a script asked for it.
            if not count and not (kind == "success" and save_success):
                continue
            what = f"{records_text(count or 0)} {_RESULT_WORDS[kind]}"
            try:
                path, _ = save_result_file(
                    client,
                    outcome.job_id,
                    kind,
                    results_dir,
                    drop_lock_errors=kind == "failed" and outcome.retried > 0,
                )
            except Exception as error:  # keep going: the other jobs' files matter as much
                outcome.error = f"could not save the {kind} records: {error}"
                lines.append(f"{what} in job {outcome.job_id}; could not save them: {error}")
                continue
            outcome.files[kind] = path
            lines.append(f"{what} in job {outcome.job_id}: see {path}")
    return lines


_RESULT_WORDS = {"success": "succeeded", "failed": "failed", "unprocessed": "not processed"}
