"""What a load command reports at the end: one row per job, the result files, the totals.

The load operations return only what each job's creation response said, or raise a value naming
the job; how many records each job processed and failed is asked of Salesforce once the jobs are
over. `LoadSummary` holds the whole verdict as data (`as_dict()`), and the table is drawn from it.
"""

from __future__ import annotations

import csv
import io
import json
import logging
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

_SAFE_NAME = re.compile(r"[^A-Za-z0-9_.-]")
FINISHED_STATES = ("JobComplete", "Failed", "Aborted")
UNKNOWN = "unknown"


def where_to_check(job_id: str) -> str:
    """How the user follows a job the load left to finish."""
    return (
        f"check it with `kavrel job wait {job_id}` (or in Salesforce: Setup, Bulk Data Load Jobs)"
    )


def how_to_abort(job_id: str) -> str:
    """How the user aborts a job the load could not abort."""
    return (
        f"abort it with `kavrel job abort {job_id}` (or in Salesforce: Setup, Bulk Data Load Jobs)"
    )


# The error of a record whose row another job held locked: it may well load when sent again.
LOCK_ERROR = "UNABLE_TO_LOCK_ROW"


@dataclass
class JobOutcome:
    """One job (or one batch that broke off before its job existed) as the summary shows it.

    `rows` are the rows sent to the job; `processed` and `failed` are Salesforce's counts, known
    once the job has finished; `error` is what went wrong on this side, `error_message` the
    reason Salesforce gives for a Failed or Aborted job. `retried` of its failed records (row-lock
    errors) were sent again in the job of batch `retried_in`, whose outcome is theirs.
    """

    batch: int | None
    job_id: str | None
    rows: int
    state: str
    processed: int | None = None
    failed: int | None = None
    retried: int = 0
    retried_in: int | None = None
    error: str | None = None
    error_message: str | None = None
    files: dict[str, Path] = field(default_factory=dict)  # result kind ("failed", ...) to path

    @property
    def finished(self) -> bool:
        """Salesforce has finished with the job and its counts could be read."""
        return self.state in FINISHED_STATES and self.processed is not None

    @property
    def succeeded(self) -> int | None:
        if not self.finished or self.failed is None:
            return None
        return self.processed - self.failed

    @property
    def not_processed(self) -> int | None:
        """Rows sent that the job never processed (all of them when it failed outright)."""
        return max(0, self.rows - self.processed) if self.finished else None

    @property
    def completed(self) -> bool:
        """The job ran to completion and its counts could be read."""
        return self.state == "JobComplete" and self.finished and self.failed is not None

    @property
    def ok(self) -> bool:
        """Completed with every row it was sent loaded (or sent again to a later job)."""
        return self.completed and self.succeeded + self.retried == self.rows

    def as_dict(self) -> dict[str, Any]:
        return {
            "batch": self.batch,
            "id": self.job_id,
            "state": self.state,
            "rows": self.rows,
            "succeeded": self.succeeded,
            "failed": self.failed if self.finished else None,
            "retried": self.retried,
            "retried_in": self.retried_in,
            "not_processed": self.not_processed,
            "error_message": self.error_message,
            "error": self.error,
            "files": {kind: str(path) for kind, path in self.files.items()},
        }


@dataclass
class LoadSummary:
    """Every job a load created, against the rows its query gave.

    The load succeeded (`exit_status` 0) only when every row of the query is known to have
    succeeded: all jobs completed and their succeeded records add up to `query_rows`.
    """

    query_rows: int
    jobs: list[JobOutcome] = field(default_factory=list)

    def totals(self) -> dict[str, int]:
        """rows (of the query), sent, succeeded, failed, not_processed, unknown (sent to a job
        whose end could not be read) and not_sent. A record sent again is counted once, with the
        outcome of the job that took it last."""
        jobs = [o for o in self.jobs if o.job_id is not None]
        sent = sum(o.rows - o.retried for o in jobs)
        return {
            "rows": self.query_rows,
            "sent": sent,
            "succeeded": sum(o.succeeded or 0 for o in jobs),
            "failed": sum((o.failed or 0) - o.retried for o in jobs if o.finished),
            "not_processed": sum(o.not_processed or 0 for o in jobs),
            "unknown": sum(o.rows for o in jobs if not o.finished),
            "not_sent": max(0, self.query_rows - sent),
        }

    @property
    def ok(self) -> bool:
        return all(o.ok for o in self.jobs) and self.totals()["succeeded"] == self.query_rows

    @property
    def exit_status(self) -> int:
        return 0 if self.ok else 1

    def as_dict(self) -> dict[str, Any]:
        return {
            "jobs": [o.as_dict() for o in self.jobs],
            "totals": self.totals(),
            "ok": self.ok,
        }

    def to_json(self) -> str:
        return json.dumps(self.as_dict(), indent=2)


class JobTracker(logging.Handler):
    """Follows the jobs of a load through the `job_id` and `job_event` its log records carry, so
    that an interrupted load can say what became of the job it was working on."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.jobs: dict[str, str] = {}

    @property
    def job_id(self) -> str | None:
        """The job the load most recently worked on."""
        return next(reversed(self.jobs), None)

    def emit(self, record: logging.LogRecord) -> None:
        job_id = getattr(record, "job_id", None)
        event = getattr(record, "job_event", None)
        # Records that only mention a job (a retried read) say nothing of its state.
        if job_id is not None and event is not None:
            job_id = str(job_id)
            self.jobs.pop(job_id, None)  # most recent last
            self.jobs[job_id] = str(event)

    def interrupted_message(self) -> str:
        left = [job for job, event in self.jobs.items() if event not in ("ended", "error")]
        if len(left) > 1:  # several jobs side by side: name each one
            lines = [f"Interrupted with {len(left)} jobs under way:"]
            return "\n".join(lines + [f"- {self._job_left(job)}" for job in left])
        job_id = self.job_id
        if job_id is None:
            return "Interrupted before any job was created."
        event = self.jobs[job_id]
        if event == "ended":
            return f"Interrupted; the last job, {job_id}, had already finished."
        if event == "aborted":
            return f"Interrupted; job {job_id} was still open and has been aborted."
        if event in ("created", "sent", "open"):
            return (
                f"Interrupted while job {job_id} was open; it could not be aborted: "
                f"{how_to_abort(job_id)}."
            )
        return (
            f"Interrupted while job {job_id} was processing; it was left to finish: "
            f"{where_to_check(job_id)}."
        )

    def _job_left(self, job_id: str) -> str:
        event = self.jobs[job_id]
        if event == "aborted":
            return f"job {job_id} was still open and has been aborted"
        if event in ("created", "sent", "open"):
            return f"job {job_id} is open and could not be aborted: {how_to_abort(job_id)}"
        return f"job {job_id} was processing and was left to finish: {where_to_check(job_id)}"


def outcomes_from_summary(summary: Mapping[str, Any]) -> list[JobOutcome]:
    """The outcomes of a batched upsert, one per batch record of its summary."""
    outcomes = []
    for batch in summary.get("batch_results") or []:
        job_id = batch.get("job_id")
        error = batch.get("error")
        outcomes.append(
            JobOutcome(
                batch=batch.get("batch_number"),
                job_id=None if job_id is None else str(job_id),
                rows=int(batch.get("records_processed") or 0),
                state=_batch_state(job_id, batch.get("success")),
                error=None if error is None else str(error),
            )
        )
    return outcomes


def _batch_state(job_id: Any, success: Any) -> str:
    if job_id is None:
        return "error"
    return "JobComplete" if success else UNKNOWN


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


def check_jobs(ingest: ModuleType, access_info: Mapping[str, Any], outcomes: list[JobOutcome]):
    """Fills in each job's final state, record counts and Salesforce's errorMessage."""
    for outcome in outcomes:
        if outcome.job_id is None:
            continue
        try:
            status = ingest.job_status(access_info, outcome.job_id)
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


def write_private(path: Path, text: str) -> None:
    """Writes `text` (UTF-8) to a file only its owner can read, also when the file existed:
    records are business data."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with open(descriptor, "w", encoding="utf-8", newline="") as out:
        os.fchmod(descriptor, 0o600)
        out.write(text)


def save_result_file(
    ingest: ModuleType,
    access_info: Mapping[str, Any],
    job_id: str,
    kind: str,
    directory: Path,
    drop_lock_errors: bool = False,
) -> tuple[Path, str]:
    """Fetches one kind of a job's results and saves it as `<job id>-<kind>.csv` in `directory`;
    returns the path and the CSV text. `drop_lock_errors` leaves out the failed records that a
    lock retry sent again, so re-sending the file cannot load them twice."""
    fetch = getattr(ingest, dict(RESULT_KINDS)[kind])
    text = fetch(access_info, job_id)
    if drop_lock_errors:
        text = split_lock_errors(text)[0]
    make_private_dir(directory)
    path = directory / result_file_name(job_id, kind)
    write_private(path, text)
    return path, text


def write_result_files(
    ingest: ModuleType,
    access_info: Mapping[str, Any],
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
                    ingest,
                    access_info,
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


def records_text(n: int) -> str:
    """'1 record', '2,500 records'."""
    return f"{n:,} record" + ("" if n == 1 else "s")


def number_text(value: int | None) -> str:
    """A count for a table cell: grouped digits, '-' where it is not known."""
    return "-" if value is None else f"{value:,}"


def format_table(summary: LoadSummary | list[JobOutcome]) -> str:
    """The per-job table, the notes on jobs that went wrong and a totals line."""
    if not isinstance(summary, LoadSummary):
        summary = LoadSummary(sum(o.rows for o in summary), summary)
    outcomes = summary.jobs
    header = ("batch", "job id", "state", "rows", "succeeded", "failed", "not processed")
    rows = [
        (
            "-" if o.batch is None else str(o.batch),
            o.job_id or "-",
            o.state,
            number_text(o.rows),
            number_text(o.succeeded),
            number_text(o.failed if o.finished else None),
            number_text(o.not_processed),
        )
        for o in outcomes
    ]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    numeric = {3, 4, 5, 6}

    def line(cells: tuple[str, ...]) -> str:
        parts = [
            c.rjust(widths[i]) if i in numeric else c.ljust(widths[i]) for i, c in enumerate(cells)
        ]
        return "  ".join(parts).rstrip()

    lines = [line(header), *(line(r) for r in rows)]
    for o in outcomes:
        where = f"batch {o.batch}" if o.batch is not None else f"job {o.job_id}"
        if o.error_message:
            lines.append(f"{where}: Salesforce says: {o.error_message}")
        if o.error:
            lines.append(f"{where}: {o.error}")
        if o.retried:
            lines.append(
                f"{where}: {records_text(o.retried)} failed with {LOCK_ERROR} and "
                f"{'was' if o.retried == 1 else 'were'} sent again in batch {o.retried_in}"
            )
    lines.append(totals_line(summary))
    return "\n".join(lines)


def totals_line(summary: LoadSummary | list[JobOutcome]) -> str:
    if not isinstance(summary, LoadSummary):
        summary = LoadSummary(sum(o.rows for o in summary), summary)
    totals = summary.totals()
    batches = len(summary.jobs)
    good = sum(1 for o in summary.jobs if o.completed)
    noun = "batch" if batches == 1 else "batches"
    text = (
        f"{batches:,} {noun} ({good:,} succeeded, {batches - good:,} failed), "
        f"{totals['rows']:,} rows, {totals['succeeded']:,} records succeeded, "
        f"{totals['failed']:,} failed, {totals['not_processed']:,} not processed"
    )
    for key in ("unknown", "not_sent"):
        if totals[key]:
            text += f", {totals[key]:,} {key.replace('_', ' ')}"
    return text
