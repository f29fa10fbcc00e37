"""A load's outcome: one row per job, the totals, and the verdict (the exit status).

`LoadSummary` holds the whole verdict as data (`as_dict()`, the `--json` document of a load) and
its text is drawn from it (`format_table`), so the command line and a Python caller see the same.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from kavrel.salesforce.ingest_bapi20 import FINISHED_STATES, PROCESSING_STATES

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
        if self.processed is None or self.failed is None or not self.finished:
            return None
        return self.processed - self.failed

    @property
    def not_processed(self) -> int | None:
        """Rows sent that the job never processed (all of them when it failed outright)."""
        if self.processed is None or not self.finished:
            return None
        return max(0, self.rows - self.processed)

    @property
    def completed(self) -> bool:
        """The job ran to completion and its counts could be read."""
        return self.state == "JobComplete" and self.finished and self.failed is not None

    @property
    def ok(self) -> bool:
        """Completed with every row it was sent loaded (or sent again to a later job)."""
        succeeded = self.succeeded
        return self.completed and succeeded is not None and succeeded + self.retried == self.rows

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
    succeeded: all jobs completed and their succeeded records add up to `query_rows`. `stopped`
    says why a load created no further job before the end of its rows (a refusal that would
    repeat for every batch, a read that broke off, the wait running out); `notes` tell where the
    result files went. `left_out` rows were predicted to fail and sent to no job; they count as
    failed. `load_id` names the load's journal (`kavrel load show`), and `interrupted` says the
    load was ended by Ctrl-C or SIGTERM: the summary then tells what the load had done by then.
    """

    query_rows: int
    jobs: list[JobOutcome] = field(default_factory=list)
    stopped: str | None = None
    notes: list[str] = field(default_factory=list)
    load_id: str | None = None
    interrupted: bool = False
    left_out: int = 0
    # A sync's run (kavrel.load.sync.SyncOutcome): the rows it compared, its mirror's deletes.
    sync: Any = None

    def totals(self) -> dict[str, int]:
        """rows (of the query), sent, succeeded, failed (left_out included), not_processed,
        processing (sent to a job still processing when the load ended), unknown (sent to a job
        whose end could not be read), not_sent (left_out aside) and left_out. A record sent again
        is counted once, with the outcome of the job that took it last."""
        jobs = [o for o in self.jobs if o.job_id is not None]
        sent = sum(o.rows - o.retried for o in jobs)
        failed = sum((o.failed or 0) - o.retried for o in jobs if o.finished)
        unfinished = [o for o in jobs if not o.finished]
        processing = sum(o.rows for o in unfinished if o.state in PROCESSING_STATES)
        return {
            "rows": self.query_rows,
            "sent": sent,
            "succeeded": sum(o.succeeded or 0 for o in jobs),
            "failed": failed + self.left_out,
            "not_processed": sum(o.not_processed or 0 for o in jobs),
            "processing": processing,
            "unknown": sum(o.rows for o in unfinished) - processing,
            "not_sent": max(0, self.query_rows - sent - self.left_out),
            "left_out": self.left_out,
        }

    @property
    def ok(self) -> bool:
        if self.stopped is not None or not all(o.ok for o in self.jobs):
            return False
        if self.sync is not None and not self.sync.ok:
            return False
        return self.totals()["succeeded"] == self.query_rows

    @property
    def exit_status(self) -> int:
        return 0 if self.ok else 1

    def next_step(self) -> str | None:
        """The command that carries the load on: `kavrel load resume` while some of its rows
        were not sent or their jobs' ends are not known, `kavrel load retry` when records
        failed or were not processed; None when there is nothing to do (or no journal)."""
        if self.load_id is None or self.ok:
            return None
        totals = self.totals()
        if self.stopped or totals["not_sent"] or totals["processing"] or totals["unknown"]:
            return f"kavrel load resume {self.load_id}"
        if (totals["failed"] or totals["not_processed"]) and self.sync is None:
            return f"kavrel load retry {self.load_id}"  # a sync's next run sends them again
        return None

    def as_dict(self) -> dict[str, Any]:
        return {
            "load_id": self.load_id,
            "jobs": [o.as_dict() for o in self.jobs],
            "totals": self.totals(),
            "stopped": self.stopped,
            "interrupted": self.interrupted,
            "ok": self.ok,
            "next": self.next_step(),
            **({} if self.sync is None else {"sync": self.sync.as_dict()}),
        }

    def to_json(self) -> str:
        return json.dumps(self.as_dict(), indent=2)

    def __str__(self) -> str:
        return format_table(self)


def counted(n: int, noun: str) -> str:
    """'1 row', '2,500 rows', '1 batch', '3 batches'."""
    plural = noun + ("es" if noun.endswith(("s", "sh", "ch", "x")) else "s")
    return f"{n:,} {noun if n == 1 else plural}"


def records_text(n: int) -> str:
    """'1 record', '2,500 records'."""
    return counted(n, "record")


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
        # The refusal that stopped the load is told once, as the reason it stopped.
        if o.error and not (summary.stopped and o.error in summary.stopped):
            lines.append(f"{where}: {o.error}")
        if o.retried:
            lines.append(
                f"{where}: {records_text(o.retried)} failed with {LOCK_ERROR} and "
                f"{'was' if o.retried == 1 else 'were'} sent again in batch {o.retried_in}"
            )
    if summary.stopped:
        lines.append(f"The load stopped early: {summary.stopped}.")
    lines.append(totals_line(summary))
    if summary.sync is not None:
        lines += summary.sync.lines()
    return "\n".join(lines)


def totals_line(summary: LoadSummary | list[JobOutcome]) -> str:
    if not isinstance(summary, LoadSummary):
        summary = LoadSummary(sum(o.rows for o in summary), summary)
    totals = summary.totals()
    batches = len(summary.jobs)
    # A job that completes may still have failed records, so jobs are counted as completed (the
    # state Salesforce gives) and only records as succeeded.
    completed = sum(1 for o in summary.jobs if o.completed)
    # A job still processing when the load ended has not failed (yet).
    processing = sum(1 for o in summary.jobs if o.job_id and o.state in PROCESSING_STATES)
    still = f", {processing:,} still processing" if processing else ""
    text = (
        f"{counted(batches, 'batch')} ({completed:,} completed, "
        f"{batches - completed - processing:,} failed{still}), "
        f"{counted(totals['rows'], 'row')}, {records_text(totals['succeeded'])} succeeded, "
        f"{totals['failed']:,} failed"
    )
    if totals["left_out"]:
        text += f" ({totals['left_out']:,} predicted and sent to no job)"
    text += f", {totals['not_processed']:,} not processed"
    for key, words in (("processing", "still processing"), ("unknown", "unknown"),
                       ("not_sent", "not sent")):  # fmt: skip
        if totals[key]:
            text += f", {totals[key]:,} {words}"
    return text
