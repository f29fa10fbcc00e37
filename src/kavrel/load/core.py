"""One load: the query read once, its rows through the load runner, the outcome as a summary.

The runner itself (batches, jobs in flight, status checks, aborts) is compiled:
`kavrel.salesforce.vantro.run_load`. Around it, this module opens the source's one read, checks
the columns before any job exists, sends once more the records that another job held locked,
reads what the runner could not learn of a job, and saves the result files.

Each load keeps a journal (kavrel.load.journal) that the runner writes ahead of every step; the
summary is what the journal tells, so a load stopped at any instant (even by SIGKILL) can say
what it did, and `kavrel.load.resume` finishes it from the same rows.
"""

from __future__ import annotations

import contextlib
import logging
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from kavrel.load import columns as checks
from kavrel.load import journal as journals
from kavrel.load import preflight
from kavrel.load.events import LoadEvents
from kavrel.load.lost import LostJobFinder
from kavrel.load.plan import LoadPlan
from kavrel.load.results import check_jobs, split_lock_errors, write_result_files
from kavrel.load.signals import Terminated, raised_as_interrupts
from kavrel.load.summary import LOCK_ERROR, JobOutcome, LoadSummary, records_text

OPERATIONS = ("upsert", "insert", "update", "delete", "hardDelete")
DEFAULT_BATCH_SIZE = 25000
PREVIEW_ROWS = 5

logger = logging.getLogger("kavrel.load")


def batches_for(rows: int, batch_size: int) -> int:
    """How many batches of at most `batch_size` rows `rows` rows make: the ceiling of the two."""
    return -(-rows // batch_size)


def job_rows(batch_size: int | None, parallel: int, total: int | None) -> int | None:
    """The rows of each job: `batch_size`, or without one, with jobs in flight side by side, as
    many nearly equal batches as there are slots (one job per slot, not one for all)."""
    if batch_size is None and parallel > 1 and total:
        return batches_for(total, parallel)
    return batch_size


class Stop:
    """A request to stop a load: from Ctrl-C or SIGTERM (`on_signals`), or from another thread
    (`request`). The load creates no job once it is set, aborts the one it is still uploading
    and names every job it leaves, then raises `interrupt()`."""

    def __init__(self) -> None:
        self._event = threading.Event()
        self._interrupt: type[BaseException] = KeyboardInterrupt
        self._signalled = False

    def request(self, interrupt: type[BaseException] = KeyboardInterrupt) -> None:
        self._interrupt = interrupt
        self._event.set()

    def _signal(self, interrupt: type[BaseException]) -> None:
        # A signal handler runs in the main thread between two of its steps, maybe while that
        # thread holds the event's lock inside `wait`: taking the lock again there would never
        # return. A plain attribute is set instead, which `is_set` and `wait` read first.
        self._interrupt = interrupt
        self._signalled = True

    def is_set(self) -> bool:
        return self._signalled or self._event.is_set()

    def wait(self, seconds: float) -> bool:
        return self._signalled or self._event.wait(seconds)

    def interrupt(self) -> BaseException:
        return self._interrupt()

    @contextlib.contextmanager
    def on_signals(self) -> Iterator[Stop]:
        """For as long as it lasts, Ctrl-C and SIGTERM set this stop and interrupt what the main
        thread is doing (a warehouse query, a request, a pause). Elsewhere than in the main
        thread, where signals cannot be caught, it does nothing."""
        with raised_as_interrupts(self._signal):
            yield self


@contextlib.contextmanager
def interrupts_of(stop: Stop | None) -> Iterator[None]:
    """A driver that turns an interrupt into an error of its own (DuckDB's "Query interrupted",
    the connector's cancelled statement) still ends the load as the interrupt it was."""
    try:
        yield
    except Exception as error:
        if stop is not None and stop.is_set():
            raise stop.interrupt() from error
        raise


@dataclass
class Preview:
    """What a dry run found: the rows, the batches they make, the columns sent and their checks,
    and the CSV of the first rows."""

    rows: int | None
    batches: int
    columns: list[str]
    checks: list[tuple[bool, str]]
    csv: str = ""
    shown_rows: int = 0
    warnings: list[str] = field(default_factory=list)
    # With an org: every row checked against its descriptions.
    prediction: preflight.Prediction | None = None

    @property
    def ok(self) -> bool:
        checked = self.prediction is None or self.prediction.ok
        return checked and all(passed for passed, _ in self.checks)


def client_of(
    client: Any,
    access_info: Mapping[str, Any],
    renew: Callable[[], Mapping[str, Any]] | None,
    parallel: int,
) -> Any:
    """The client a load talks to the org through (see kavrel.salesforce.bulk_client): its
    pool keeps a connection for each job in flight and two more."""
    from kavrel.salesforce.bulk_client import client_for

    return client_for(client, access_info, renew, connections=parallel + 2)


def _check_arguments(operation: str, external_id: str | None, batch_size: int | None) -> None:
    if operation not in OPERATIONS:
        raise ValueError(f"the operation must be one of {', '.join(OPERATIONS)}, not {operation!r}")
    if operation == "upsert" and not external_id:
        raise ValueError("an upsert needs the external ID field it matches records on")
    if batch_size is not None and (not isinstance(batch_size, int) or batch_size < 1):
        raise ValueError(f"the batch size must be a positive whole number, not {batch_size!r}")


def _header(
    names: Sequence[str], external_id: str | None, fields: Iterable[str], kind: str = "Snowflake"
):
    """The columns as sent (the fields' spellings), and the warning about upper-case ones, worded
    for the `kind` of source they come from."""
    from kavrel.sflake.fieldnames import spelled_columns, upper_case_warning

    header = spelled_columns(names, [*([external_id] if external_id else []), *fields])
    warning = upper_case_warning(header, kind)
    return header, warning


def load(
    source: Any,
    query: str,
    access_info: Mapping[str, Any],
    sobject: str,
    operation: str = "upsert",
    *,
    external_id: str | None = None,
    batch_size: int | None = DEFAULT_BATCH_SIZE,
    parallel: int = 1,
    fields: Iterable[str] = (),
    null_clears: bool = False,
    lock_retry: bool = True,
    wait: float | None = None,
    results_dir: str | Path | None = None,
    save_success: bool = False,
    stop: Stop | None = None,
    client: Any = None,
    renew: Callable[[], Mapping[str, Any]] | None = None,
    journal: bool = True,
    profiles: Mapping[str, str | None] | None = None,
    retry_of: str | None = None,
    check_records: bool = False,
    ignore_limits: bool = False,
    sync: Any = None,
) -> LoadSummary:
    """Loads the rows of `query` into `sobject` and returns the summary.

    `source` is a Snowpark session, a SQLite or DuckDB connection (or kavrel's sessions over
    them), any session with `sql(text).collect()`, or a `kavrel.sflake.sources.Source`. The query
    runs once; its rows go in batches of `batch_size`, one ingest job each, up to `parallel` jobs
    in flight (a `batch_size` of None: one job for all, or with `parallel` above 1 as many nearly
    equal batches). `fields` give the spelling of columns named like a field regardless of case;
    `null_clears` sends a NULL as #N/A so it clears its field; with `parallel` above 1 the records
    that failed with UNABLE_TO_LOCK_ROW are sent once more, in one job at the end (unless
    `lock_retry` is false). `wait` bounds the seconds the load may take: then the jobs still
    running are named and left to finish. With `results_dir`, the failed and unprocessed records
    of every job (and with `save_success` its successful ones) are saved there.

    The load keeps a journal in ~/.velmora/loads/ (`journal=False`: in memory only, and the load
    cannot be resumed), naming the `profiles` it used ({"salesforce": name, "snowflake": name});
    its id is the summary's `load_id`, and `resume(load_id, ...)` finishes a load that stopped.

    Ctrl-C and SIGTERM, in the main thread, or `stop` set from elsewhere, end the load: no job is
    created after them, an Open job is aborted, and the interrupt is raised, carrying the
    summary of what the load had done (`partial_summary(interrupt)`). Errors before any job
    (columns that do not suit the operation, a source that cannot be read) are raised.

    `renew` returns a new access info (kavrel.user.logins.ProfileLogin does, for a profile):
    when the org ends the session in the middle of the load (401 INVALID_SESSION_ID), the load
    logs in again with it and sends the refused request once more. Without it such a load stops
    creating jobs and says at which job the session ended.

    Before its first job, a load whose daily Bulk API batches exceed what the org has left raises
    `preflight.AllocationExceeded` (unless `ignore_limits`). With `check_records`, every row is
    checked against the org's descriptions first, as the org will check it: those predicted to
    fail go to no job, count as failed, and are saved as `<object>-predicted-failures.csv` in
    `results_dir`.

    `sync` (a name, or a `kavrel.load.sync.Sync`) makes the load a run of that sync: only the rows
    whose key is new or whose values changed since the sync's last run are sent, and the sync's
    state takes what the org reports successful (`summary.sync` tells the rows compared).
    """
    _check_arguments(operation, external_id, batch_size)
    from kavrel.load import sync as syncs
    from kavrel.salesforce import vantro
    from kavrel.sflake.sources import source_for

    talks_to = client_of(client, access_info, renew, parallel)
    key = checks.key_field(operation, external_id)
    with contextlib.ExitStack() as scope:
        if talks_to is not client:  # the load's own: its connections end with it
            scope.callback(talks_to.close)
        if stop is None:
            stop = scope.enter_context(Stop().on_signals())
        logger.debug("🔎 Running the query", extra={"load_event": "query"})
        read_from = source_for(source)
        asked = {"operation": operation, "object": sobject, "external_id": external_id,
                 "null_clears": null_clears, "journal": journal}  # fmt: skip
        syncing = scope.enter_context(syncs.begin(sync, read_from, asked, talks_to, stop))
        read_from = syncing.source(read_from)
        with interrupts_of(stop):
            reader = read_from.open(query)
        try:
            header, warning = _header(reader.columns, external_id, fields, read_from.kind)
            if header:  # a session that gave no rows may not name its columns either
                checks.refuse_unsuitable(operation, key, header)
            if warning:
                logger.warning(warning)
            batch_size = job_rows(batch_size, parallel, reader.total)
            plan = LoadPlan(
                client=talks_to, operation=operation, sobject=sobject, external_id=external_id,
                header=header, nulls=checks.null_texts(header, key) if null_clears else None,
                batch_size=batch_size, parallel=parallel, wait=wait, total_rows=reader.total,
            )  # fmt: skip
            described = read_from.describe(query, reader)  # the source's own read, not a check's
            reader = preflight.rows_for(
                plan, reader, talks_to, results_dir, check_records, ignore_limits
            )
            results = None if results_dir is None else str(Path(results_dir).resolve())
            book = _start_journal(
                journal,
                {
                    "operation": operation, "object": sobject, "external_id": external_id,
                    "batch_size": batch_size, "parallel": parallel, "fields": list(fields),
                    "null_clears": null_clears, "lock_retry": lock_retry, "wait": wait,
                    "results_dir": results, "save_success": save_success,
                    "check_records": check_records, "profiles": dict(profiles or {}),
                    "instance_url": access_info.get("instance_url"),
                    "api_version": access_info.get("api_version"),
                    "source": described, "header": header,
                    "total_rows": plan.total_rows, "retry_of": retry_of,
                    "sync": syncing.journaled(),
                },
            )  # fmt: skip
            syncing.started(book.load_id)
            scope.callback(book.close)
            plan.events = LoadEvents(book)
            plan.lost_jobs = LostJobFinder(talks_to, book, stop)
            with _ending(book), interrupts_of(stop):
                vantro.run_load(plan, reader, stop)
        finally:
            reader.close()
        with _ending(book):
            summary = finish(plan, lock_retry, results_dir, save_success, stop, reader)
        return syncing.finished(summary, plan, stop)


def _start_journal(on_disk: bool, load: dict[str, Any]) -> journals.Journal:
    """The new load's journal (on disk unless told otherwise), its id told to the user."""
    if not on_disk:
        return journals.Journal.in_memory(load)
    with contextlib.suppress(OSError, ValueError):
        journals.prune()
    book = journals.Journal.start(load)
    logger.info(
        "🧾 Load %s: if it stops, `kavrel load resume %s` finishes it",
        book.load_id,
        book.load_id,
        extra={"load_event": "journal", "load_id": book.load_id},
    )
    return book


def partial_summary(interrupt: BaseException) -> LoadSummary | None:
    """The summary an interrupted load carries: what it had done when it was stopped."""
    summary = getattr(interrupt, "load_summary", None)
    return summary if isinstance(summary, LoadSummary) else None


@contextlib.contextmanager
def _ending(book: journals.Journal) -> Iterator[None]:
    """Writes down how the run ended when it ends early: an interrupt (which then carries the
    summary of what the load did) or an error that broke it off."""
    try:
        yield
    except KeyboardInterrupt as interrupt:
        how = "terminated (SIGTERM)" if isinstance(interrupt, Terminated) else "interrupted"
        with contextlib.suppress(Exception):
            book.record("end", {"ok": False, "stopped": f"it was {how}", "interrupted": True})
        with contextlib.suppress(Exception):
            interrupt.load_summary = book.state().summary()  # type: ignore[attr-defined]
        raise
    except Exception as error:
        with contextlib.suppress(Exception):
            book.record("end", {"ok": False, "stopped": f"it broke off: {error}"})
        raise


def finish(
    plan: LoadPlan,
    lock_retry: bool,
    results_dir: str | Path | None,
    save_success: bool,
    stop: Stop | None,
    rows: Any = None,
) -> LoadSummary:
    """What a load does once the runner is done with its jobs: it reads the counts the runner
    could not, sends the row-lock failures again, saves the result files and writes its end;
    the summary is what its journal then tells, with the records `rows` (a checked reader) left
    out of the jobs."""
    book: journals.Journal = plan.journal
    client = plan.client
    stopped = getattr(plan.events, "stopped", None)
    outcomes = book.state().summary().jobs
    _check_and_record(book, client, [o for o in outcomes if o.job_id and o.processed is None])
    if lock_retry and plan.parallel > 1 and not _lock_retry_sent(book):
        with interrupts_of(stop):
            retry_lock_errors(plan, book.state().summary().jobs, stop)
    notes: list[str] = []
    if results_dir is not None:
        outcomes = book.state().summary().jobs
        notes = write_result_files(client, outcomes, Path(results_dir), save_success)
        for outcome in outcomes:
            if outcome.files or outcome.error:
                files = {kind: str(path) for kind, path in outcome.files.items()}
                book.record(
                    "files", {"batch": outcome.batch, "files": files, "error": outcome.error}
                )
    summary = book.state().summary()
    summary.stopped, summary.notes = stopped, notes
    preflight.report_left_out(summary, rows)
    book.record(
        "end",
        {"ok": summary.ok, "exit_status": summary.exit_status, "stopped": stopped,
         "notes": summary.notes, "left_out": summary.left_out},
    )  # fmt: skip
    return summary


def _check_and_record(book: journals.Journal, client: Any, outcomes: list[JobOutcome]) -> None:
    """Reads the final state and counts of each of `outcomes`' jobs, into the journal."""
    check_jobs(client, outcomes)
    for o in outcomes:
        book.record(
            "checked",
            {"batch": o.batch, "job_id": o.job_id, "state": o.state, "processed": o.processed,
             "failed": o.failed, "error": o.error, "error_message": o.error_message},
        )  # fmt: skip


def _lock_retry_sent(book: journals.Journal) -> bool:
    return any(batch.kind == "lock_retry" for batch in book.state().batches.values())


def preview(
    source: Any,
    query: str,
    operation: str = "upsert",
    *,
    external_id: str | None = None,
    batch_size: int | None = DEFAULT_BATCH_SIZE,
    fields: Iterable[str] = (),
    null_clears: bool = False,
    rows: int = PREVIEW_ROWS,
    org: Mapping[str, Any] | None = None,
    sobject: str | None = None,
    parallel: int = 1,
    results_dir: str | Path | None = None,
) -> Preview:
    """What a load would do, without creating any job: the query's row count and batches, the
    columns as they would be sent and their checks, and the CSV of the first `rows` rows.

    With `org` (an access info) and `sobject`, the columns are also checked against the org's
    fields, every row against its descriptions as the org will check it, and the load's daily Bulk
    API batches against what the org has left (`Preview.prediction`); the records predicted to
    fail are saved as `<object>-predicted-failures.csv` in `results_dir`."""
    from kavrel.sflake.sources import source_for
    from kavrel.util.csv import rows_to_csv

    _check_arguments(operation, external_id, batch_size)
    key = checks.key_field(operation, external_id)
    prediction = None
    read_from = source_for(source)
    reader = read_from.open(query)
    try:
        first = reader.fetchmany(rows if batch_size is None else min(rows, batch_size))
        total = reader.total
        header, warning = _header(reader.columns, external_id, fields, read_from.kind)
        found = checks.column_checks(operation, key, header) if header else []
        nulls = checks.null_texts(header, key) if null_clears else None
        if org is not None and sobject and header and all(passed for passed, _ in found):
            load = preflight.Load(
                org, None, sobject, operation, external_id, header, nulls,
                job_rows(batch_size, parallel, total), results_dir,
            )  # fmt: skip
            findings, prediction = preflight.dry_run(load, first, reader)
            found += findings
    finally:
        reader.close()
    batches = 0 if not total else 1 if batch_size is None else batches_for(total, batch_size)
    found_ok = all(passed for passed, _ in found)
    text = rows_to_csv(header, first, nulls) if first and found_ok else ""
    warnings = [warning] if warning else []
    return Preview(total, batches, header, found, text, len(first), warnings, prediction)


def _locked_records(plan: LoadPlan, outcomes: list[JobOutcome]):
    """The records of each finished job that failed on a row lock: (header, records, per job)."""
    header: list[str] | None = None
    records: list[list[str]] = []
    counts: list[tuple[JobOutcome, int]] = []
    for outcome in outcomes:
        if not outcome.finished or not outcome.failed:
            continue
        try:
            text = plan.client.failed_results(outcome.job_id)
        except Exception as error:  # its records stay failed; the report says what it can
            logger.warning("Could not read the failed records of job %s: %s", outcome.job_id, error)
            continue
        locked = split_lock_errors(text)[1]
        if not locked or (header is not None and locked[0] != header):
            continue
        header = locked[0]
        records += locked[1:]
        counts.append((outcome, len(locked) - 1))
    return header, records, counts


def retry_lock_errors(
    plan: LoadPlan, outcomes: list[JobOutcome], stop: Stop | None = None
) -> list[JobOutcome]:
    """Sends the records that failed on a row lock once more, in one job; returns its outcome."""
    from kavrel.salesforce import vantro
    from kavrel.sflake.sources import RowsReader

    header, records, counts = _locked_records(plan, outcomes)
    if not records or header is None:
        return []
    batch = max((o.batch or 0 for o in outcomes), default=0) + 1
    logger.info(
        "🔁 %s failed with %s; sending them again in one job (batch %d)",
        records_text(len(records)),
        LOCK_ERROR,
        batch,
    )
    book: journals.Journal = plan.journal
    retry = LoadPlan(
        client=plan.client, operation=plan.operation, sobject=plan.sobject,
        external_id=plan.external_id, header=header, batch_size=None, wait=plan.wait,
        poll_delays=plan.poll_delays, total_rows=len(records), first_batch=batch,
        events=LoadEvents(book, kind="lock_retry"), lost_jobs=plan.lost_jobs,
    )  # fmt: skip
    vantro.run_load(retry, RowsReader(header, records), stop)
    retried = [o for o in book.state().summary().jobs if o.batch == batch]
    _check_and_record(book, plan.client, [o for o in retried if o.job_id and o.processed is None])
    if any(outcome.job_id is not None for outcome in retried):
        for outcome, count in counts:
            outcome.retried, outcome.retried_in = count, batch
            book.record("retried", {"batch": outcome.batch, "retried": count, "retried_in": batch})
    return [o for o in book.state().summary().jobs if o.batch == batch]
