"""What a load command reports at the end: one line per job, the failed-records files, the totals.

The load operations return only what each job's creation response said; how many records each job
processed and failed is asked of Salesforce once the jobs are over.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

_SAFE_NAME = re.compile(r"[^A-Za-z0-9_.-]")


@dataclass
class JobOutcome:
    """One batch's job as the summary shows it."""

    batch: int | None
    job_id: str | None
    rows: int
    state: str
    processed: int | None = None
    failed: int | None = None
    error: str | None = None
    failed_file: Path | None = None

    @property
    def completed(self) -> bool:
        """The job ran to completion and its status could be read."""
        return self.error is None and self.state == "JobComplete" and self.failed is not None

    @property
    def ok(self) -> bool:
        """Completed with every record loaded."""
        return self.completed and self.failed == 0


class JobTracker(logging.Handler):
    """Remembers the job the load operations most recently created, from their log lines.

    An interrupted load can then say which job was left running in Salesforce.
    """

    _CREATED = ("🆔 Job ID: ", "✅ Job created: ")
    # A batch that broke off with an error leaves its job in an unknown state: still in flight.
    _ENDED = ("completed successfully", "job failed with status")

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.job_id: str | None = None
        self.finished = False

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        for prefix in self._CREATED:
            if message.startswith(prefix):
                self.job_id = message[len(prefix) :].strip()
                self.finished = False
                return
        if self.job_id and any(marker in message for marker in self._ENDED):
            self.finished = True

    def interrupted_message(self) -> str:
        if self.job_id is None:
            return "Interrupted before any job was created."
        if self.finished:
            return f"Interrupted; the last job, {self.job_id}, had already finished."
        return (
            f"Interrupted while job {self.job_id} was in flight; it was not aborted, "
            "check its state in Salesforce."
        )


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
    return "JobComplete" if success else "Failed"


def check_jobs(ingest: ModuleType, access_info: Mapping[str, Any], outcomes: list[JobOutcome]):
    """Fills in each job's final state and record counts from its status document."""
    for outcome in outcomes:
        if outcome.job_id is None:
            continue
        try:
            status = ingest.job_status(access_info, outcome.job_id)
        except Exception as error:  # the load is over: report it, keep reporting the others
            outcome.error = f"could not read the job status: {error}"
            continue
        outcome.state = str(status.get("state", outcome.state))
        outcome.processed = _count(status.get("numberRecordsProcessed"))
        outcome.failed = _count(status.get("numberRecordsFailed"))


def _count(value: Any) -> int | None:
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def failed_file_name(job_id: str) -> str:
    # Job ids come from the server; never let one name a file outside the results directory.
    return _SAFE_NAME.sub("_", job_id) + "-failed.csv"


def write_failed_records(
    ingest: ModuleType,
    access_info: Mapping[str, Any],
    outcomes: list[JobOutcome],
    results_dir: Path,
) -> list[str]:
    """Saves the failed-records CSV of every job that has failed records; returns the lines to
    tell the user."""
    lines = []
    for outcome in outcomes:
        if outcome.job_id is None or not outcome.failed:
            continue
        try:
            text = ingest.failed_results(access_info, outcome.job_id)
            results_dir.mkdir(parents=True, exist_ok=True)
            path = results_dir / failed_file_name(outcome.job_id)
            with open(path, "w", encoding="utf-8", newline="") as out:
                out.write(text)
        except Exception as error:  # keep going: the other jobs' files matter as much
            outcome.error = f"could not save the failed records: {error}"
            lines.append(
                f"{_records(outcome.failed)} failed in job {outcome.job_id}; "
                f"could not save them: {error}"
            )
            continue
        outcome.failed_file = path
        lines.append(f"{_records(outcome.failed)} failed in job {outcome.job_id}: see {path}")
    return lines


def _records(n: int) -> str:
    return f"{n:,} record" + ("" if n == 1 else "s")


def _number(value: int | None) -> str:
    return "-" if value is None else f"{value:,}"


def format_table(outcomes: list[JobOutcome]) -> str:
    """The per-job table and a totals line."""
    header = ("batch", "job id", "state", "rows", "succeeded", "failed")
    rows = []
    for o in outcomes:
        succeeded = None if o.processed is None or o.failed is None else o.processed - o.failed
        rows.append(
            (
                "-" if o.batch is None else str(o.batch),
                o.job_id or "-",
                o.state,
                _number(o.rows),
                _number(succeeded),
                _number(o.failed),
            )
        )
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    numeric = {3, 4, 5}

    def line(cells: tuple[str, ...]) -> str:
        parts = [
            c.rjust(widths[i]) if i in numeric else c.ljust(widths[i]) for i, c in enumerate(cells)
        ]
        return "  ".join(parts).rstrip()

    lines = [line(header), *(line(r) for r in rows)]
    for o in outcomes:
        if o.error:
            where = f"batch {o.batch}" if o.batch is not None else f"job {o.job_id}"
            lines.append(f"{where}: {o.error}")
    lines.append(totals_line(outcomes))
    return "\n".join(lines)


def totals_line(outcomes: list[JobOutcome]) -> str:
    good = sum(1 for o in outcomes if o.completed)
    batches = len(outcomes)
    rows = sum(o.rows for o in outcomes)
    succeeded = sum(
        o.processed - o.failed for o in outcomes if o.processed is not None and o.failed is not None
    )
    failed = sum(o.failed or 0 for o in outcomes)
    noun = "batch" if batches == 1 else "batches"
    return (
        f"{batches:,} {noun} ({good:,} succeeded, {batches - good:,} failed), {rows:,} rows, "
        f"{succeeded:,} records succeeded, {failed:,} failed"
    )
