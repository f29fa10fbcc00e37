"""Finishing a load that stopped (`resume`), and sending its failed records once more (`retry`).

A load's journal (kavrel.load.journal) is the only thing a resumed run trusts. Its batches are
taken stock of first: a job that was closed and is still processing is followed to its end and
never sent again; a job left Open (created, never closed) is aborted and its batch sent again;
a batch whose creation answer never came has its job looked up (kavrel.load.lost) and aborted
before the batch is sent again; a batch that never reached a job is sent. Rows come from the
source read again: the same query of the same SQLite, DuckDB or CSV file, or for Snowflake the
stored result of the load's own run. Before anything is sent, the batches already sent are read
again and must give the same digests, so that a source that changed is refused instead of being
loaded twice or half. Every row of the source lands once, however often the load stops.

`retry` makes a new load, tied to the first, of the records the first one's jobs failed or did
not process: read from the jobs' results (or the result files it saved), their `sf__` columns
dropped, kept in a private file beside the journal so that the retry can be resumed too.
"""

from __future__ import annotations

import contextlib
import csv
import io
import logging
import os
import secrets
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

from kavrel.load import columns as checks
from kavrel.load import journal as journals
from kavrel.load import sync as syncs
from kavrel.load.core import (
    LoadPlan,
    Stop,
    _ending,
    _header,
    client_of,
    finish,
    interrupts_of,
    load,
)
from kavrel.load.events import LoadEvents
from kavrel.load.lost import LostJobFinder
from kavrel.load.plan import RunningJob
from kavrel.load.results import make_private_dir, split_lock_errors, write_private
from kavrel.load.summary import FINISHED_STATES, LoadSummary, counted

logger = logging.getLogger("kavrel.load")

_FROM_JOURNAL: Any = object()  # a keyword's default: what the load's journal says


class ResumeRefused(RuntimeError):
    """The load cannot be carried on as it stands; nothing was sent."""


def resume(
    load_id: str,
    access_info: Mapping[str, Any],
    *,
    source: Any = None,
    client: Any = None,
    renew: Callable[[], Mapping[str, Any]] | None = None,
    stop: Stop | None = None,
    wait: float | None = None,
    results_dir: str | Path | None = _FROM_JOURNAL,
) -> LoadSummary:
    """Finishes the load `load_id` ("last": the newest) and returns the summary of the whole
    load, every run of it. A load that had finished is left as it is (its summary returned).

    `access_info` (and `renew`, `client`) reach the load's org; `source` is the source to read
    the rows from again, needed for Snowflake (a Snowpark session of the user who ran the
    query) and otherwise the file the journal names. `results_dir` defaults to the load's own.
    Raises ResumeRefused (nothing sent) when the rows cannot be read again as they were, and
    journal.UnknownLoad for an id no journal has.
    """
    record = journals.read(load_id)
    if record.running_elsewhere is not None:
        pid = record.running_elsewhere.get("pid")
        raise ResumeRefused(f"load {record.load_id} is still running (process {pid})")
    if record.finished:
        logger.info("Load %s had finished; there is nothing to resume", record.load_id)
        return record.summary()
    _check_same_org(record, access_info)
    asked = record.load
    if results_dir is _FROM_JOURNAL:
        results_dir = asked.get("results_dir")
    talks_to = client_of(client, access_info, renew, int(asked.get("parallel") or 1))
    with contextlib.ExitStack() as scope:
        if talks_to is not client:
            scope.callback(talks_to.close)
        if stop is None:
            stop = scope.enter_context(Stop().on_signals())
        syncing = scope.enter_context(syncs.resuming(record, source))
        book = scope.enter_context(journals.Journal.reopen(record.load_id))
        plan = _plan(asked, talks_to, book, stop, wait)
        with _ending(book):
            reader = _resumed_reader(book, plan, source, stop, scope, syncing)
            from kavrel.salesforce import vantro

            with interrupts_of(stop):
                vantro.run_load(plan, reader, stop)
        with _ending(book):
            summary = finish(
                plan,
                bool(asked.get("lock_retry", True)),
                results_dir,
                bool(asked.get("save_success")),
                stop,
                reader,
            )
        return syncing.finished(summary, plan, stop)


def _check_same_org(record: journals.LoadRecord, access_info: Mapping[str, Any]) -> None:
    """The jobs of the load are the org's it ran against: another org knows none of them."""
    was, now = record.load.get("instance_url"), access_info.get("instance_url")
    if was and now and str(was).rstrip("/") != str(now).rstrip("/"):
        raise ResumeRefused(
            f"load {record.load_id} ran against {was}, not {now}: resume it with that org"
        )


def _plan(asked, client, book, stop, wait) -> LoadPlan:
    header = list(asked.get("header") or [])
    key = checks.key_field(asked["operation"], asked.get("external_id"))
    return LoadPlan(
        client=client, operation=asked["operation"], sobject=asked["object"],
        external_id=asked.get("external_id"), header=header,
        nulls=checks.null_texts(header, key) if asked.get("null_clears") else None,
        batch_size=asked.get("batch_size"), parallel=int(asked.get("parallel") or 1), wait=wait,
        total_rows=asked.get("total_rows"), events=LoadEvents(book),
        lost_jobs=LostJobFinder(client, book, stop, resuming=True),
    )  # fmt: skip


def _resumed_reader(book, plan: LoadPlan, source: Any, stop: Stop, scope, syncing) -> Any:
    """Takes stock of the load's batches, and gives the reader of the rows still to send (or
    none, when every batch reached the org and only its jobs are left to follow)."""
    from kavrel.sflake import sources

    plan.running = _take_stock(book, plan)
    state = book.state()
    _supersede_unsent_lock_retry(book, state)
    state = book.state()
    plan.skip = {
        batch.number: batch.digest
        for batch in state.source_batches()
        if batch.phase in (journals.DONE, journals.RUNNING) and batch.digest
    }
    unsent = [b for b in state.source_batches() if b.phase not in (journals.DONE, journals.RUNNING)]
    unread = "" if state.rows_read is not None else ", then the rows it had not read"
    logger.info(
        "🔁 Resuming load %s: %s reached the org (%s still running), %s to send again%s",
        book.load_id,
        counted(len(plan.skip), "batch"),
        f"{len(plan.running or []):,}",
        counted(len(unsent), "batch"),
        unread,
        extra={"load_event": "resuming", "load_id": book.load_id},
    )
    if not unsent and state.rows_read is not None:
        return sources.RowsReader(plan.header, [])
    description = state.load.get("source") or {}
    try:
        opened = syncing.source(sources.reopen(description, source))
    except sources.SourceGone as error:
        raise ResumeRefused(f"{error}; nothing was sent") from None
    if source is None:
        scope.callback(opened.close)
    with interrupts_of(stop):
        _verify_sent_rows(opened, description, plan, state)
        reader = _open_again(opened, description, plan, state)
    scope.callback(reader.close)
    return reader


def _take_stock(book, plan: LoadPlan) -> list[RunningJob]:
    """Settles what each batch's journal left unsure, writing it down: returns the jobs still
    processing, for the runner to follow."""
    client = plan.client
    running: list[RunningJob] = []
    for batch in sorted(book.state().batches.values(), key=lambda b: b.number):
        if batch.phase in (journals.OPEN, journals.RUNNING):
            state = _job_state(client, batch)
            if state is None or state in ("UploadComplete", "InProgress"):
                if batch.phase == journals.OPEN:  # its close reached the org after all
                    book.record("closed", {"batch": batch.number, "job_id": batch.job_id,
                                           "state": state or "UploadComplete"})  # fmt: skip
                running.append({"batch": batch.number, "rows": batch.rows,
                                "job_id": batch.job_id, "state": state or batch.state})  # fmt: skip
            elif state == "Open" or (state == "Aborted" and batch.phase == journals.OPEN):
                _withdraw(book, client, batch, state)
            else:
                _record_final(book, client, batch)
        elif batch.phase == journals.LOST:
            _settle_lost_creation(book, plan, batch)
    return running


def _job_state(client: Any, batch) -> str | None:
    try:
        return str(client.job_status(batch.job_id).get("state"))
    except Exception as error:
        if batch.phase == journals.OPEN:
            raise ResumeRefused(
                f"the state of job {batch.job_id} (batch {batch.number}), created and never "
                f"closed, cannot be read: {error}; nothing was sent"
            ) from error
        return None  # the runner follows it and says what it can


def _withdraw(book, client, batch, state: str) -> None:
    """An Open job never processes what it holds: aborted, its batch goes again."""
    if state == "Open":
        try:
            client.job_abort(batch.job_id)
        except Exception as error:  # noqa: BLE001 (the batch goes again all the same)
            logger.warning(
                "⚠️ Job %s (batch %d) is Open and could not be aborted (%s); abort it with "
                "`kavrel job abort %s`",
                batch.job_id,
                batch.number,
                error,
                batch.job_id,
                extra={"job_id": batch.job_id, "job_event": "open"},
            )
    book.record("withdrawn", {"batch": batch.number, "job_id": batch.job_id})


def _record_final(book, client, batch) -> None:
    from kavrel.load.results import check_jobs

    outcome = batch.outcome()
    check_jobs(client, [outcome])
    book.record(
        "checked",
        {"batch": batch.number, "job_id": batch.job_id, "state": outcome.state,
         "processed": outcome.processed, "failed": outcome.failed, "error": outcome.error,
         "error_message": outcome.error_message},
    )  # fmt: skip


def _settle_lost_creation(book, plan: LoadPlan, batch) -> None:
    """Looks up the job a creation of an earlier run may have made, aborts it when it is this
    load's, and marks the batch to be sent again."""
    client = plan.client
    aborted, left = [], []
    try:
        assert plan.lost_jobs is not None  # a resumed plan always has its finder
        for job in plan.lost_jobs(plan.sobject, plan.operation, batch.since or 0.0, ()):
            if not job.get("claim"):
                left.append(job["id"])
                continue
            try:
                client.job_abort(job["id"])
                aborted.append(job["id"])
            except Exception:  # noqa: BLE001 (named in the outcome instead)
                left.append(job["id"])
    except Exception as error:  # noqa: BLE001 (an orphan holds no rows: the batch goes again)
        logger.warning(
            "⚠️ Batch %d: the job its creation may have made could not be looked up (%s)",
            batch.number,
            error,
        )
    book.record("lost", {"batch": batch.number, "aborted": aborted, "left": left})
    book.record(
        "failed",
        {"batch": batch.number, "job_id": None, "rows": batch.rows, "state": "error",
         "error": "its creation's answer was lost; it is sent again", "lost": False},
    )  # fmt: skip


def _supersede_unsent_lock_retry(book, state: journals.LoadRecord) -> None:
    """A lock retry whose job never reached the org is made again at the end, from the failed
    records of the jobs as they then stand."""
    for batch in state.batches.values():
        if batch.kind == "lock_retry" and batch.phase not in (journals.DONE, journals.RUNNING):
            book.record("superseded", {"batch": batch.number})


def _verify_sent_rows(opened, description, plan: LoadPlan, state: journals.LoadRecord) -> None:
    """Reads the rows of the batches that reached the org once more and compares their digests
    with the journal's, before anything is sent: a source that changed is refused."""
    expected = dict(plan.skip or {})
    if not expected:
        return
    reader = _open_again(opened, description, plan, state)
    try:
        _compare_batches(reader, plan, expected)
    finally:
        reader.close()


def _open_again(opened, description, plan: LoadPlan, state: journals.LoadRecord) -> Any:
    from kavrel.sflake.sources import SourceGone

    try:
        reader = opened.open_again(description)
    except SourceGone as error:
        raise ResumeRefused(f"{error}; nothing was sent") from None
    asked = state.load
    header, _ = _header(reader.columns, asked.get("external_id"), asked.get("fields") or ())
    was = asked.get("total_rows")
    if header != plan.header:
        reader.close()
        raise ResumeRefused(
            f"the source's columns are now {', '.join(header)}, not the {', '.join(plan.header)} "
            "the load sent; nothing was sent"
        )
    if isinstance(was, int) and reader.total is not None and reader.total != was:
        reader.close()
        raise ResumeRefused(
            f"the source now gives {reader.total:,} rows where the load read {was:,}: it "
            "changed since the load began; nothing was sent"
        )
    if not asked.get("check_records"):
        return reader
    # The batches were cut from the rows the checks kept: the same checks keep them again.
    from kavrel.load import preflight

    return preflight.rows_for(plan, reader, plan.client, asked.get("results_dir"), True, True)


def _compare_batches(reader: Any, plan: LoadPlan, expected: Mapping[int, str]) -> None:
    from kavrel.salesforce import vantro
    from kavrel.util.csv import rows_to_csv

    for number in range(1, max(expected) + 1):
        rows = reader.fetchall() if plan.batch_size is None else reader.fetchmany(plan.batch_size)
        if not rows:
            raise ResumeRefused(
                f"the source now ends before batch {number}, which the load sent: it changed "
                "since the load began; nothing was sent"
            )
        if number not in expected:
            continue
        if vantro.batch_digest(rows_to_csv(plan.header, rows, plan.nulls)) != expected[number]:
            raise ResumeRefused(
                f"the rows of batch {number} are not the ones the load sent: the source changed "
                "since the load began; nothing was sent"
            )


# --- retry ------------------------------------------------------------------------------------


class RetryRefused(RuntimeError):
    """The load's failed records cannot be sent again as things stand; nothing was sent."""


def retry(
    load_id: str,
    access_info: Mapping[str, Any],
    *,
    client: Any = None,
    renew: Callable[[], Mapping[str, Any]] | None = None,
    stop: Stop | None = None,
    batch_size: int | None = _FROM_JOURNAL,
    parallel: int = _FROM_JOURNAL,
    wait: float | None = None,
    results_dir: str | Path | None = _FROM_JOURNAL,
    save_success: bool = False,
    profiles: Mapping[str, str | None] | None = None,
) -> LoadSummary | None:
    """Sends once more, as a new load tied to `load_id`, the records its jobs failed or did not
    process, with the same operation and object; returns that load's summary, or None when
    there is no such record. Raises RetryRefused when the load has not finished (resume it) or
    its records were sent again already."""
    record = journals.read(load_id)
    if record.load.get("sync"):
        raise RetryRefused(
            f"load {record.load_id} is a run of sync {record.load['sync'].get('name')}: its next "
            "run sends the records that failed again"
        )
    if not record.finished:
        raise RetryRefused(
            f"load {record.load_id} has not finished: finish it first with "
            f"`kavrel load resume {record.load_id}`"
        )
    earlier = [r.load_id for r in journals.history() if r.load.get("retry_of") == record.load_id]
    if earlier:
        raise RetryRefused(
            f"the failed records of load {record.load_id} were sent again by load {earlier[0]}; "
            f"retry that one instead"
        )
    asked = record.load
    talks_to = client_of(client, access_info, renew, int(asked.get("parallel") or 1))
    try:
        header, records = _failed_records(record, talks_to)
    finally:
        if talks_to is not client:
            talks_to.close()
    if not records:
        return None
    asked = record.load
    path = journals.loads_dir() / f"retry-{record.load_id}-{secrets.token_hex(2)}.records.csv"
    _write_records(path, header, records)
    from kavrel.sflake.sources import CSVSource

    logger.info(
        "🔁 Sending the %s records of load %s that failed or were not processed again",
        f"{len(records):,}",
        record.load_id,
    )
    return load(
        CSVSource(path, f"the failed records of load {record.load_id}"),
        "",
        access_info,
        asked["object"],
        asked["operation"],
        external_id=asked.get("external_id"),
        batch_size=asked.get("batch_size") if batch_size is _FROM_JOURNAL else batch_size,
        parallel=int(asked.get("parallel") or 1) if parallel is _FROM_JOURNAL else parallel,
        lock_retry=bool(asked.get("lock_retry", True)),
        wait=wait,
        results_dir=asked.get("results_dir") if results_dir is _FROM_JOURNAL else results_dir,
        save_success=save_success,
        stop=stop,
        client=client,
        renew=renew,
        profiles=profiles if profiles is not None else asked.get("profiles"),
        retry_of=record.load_id,
    )


def _failed_records(record: journals.LoadRecord, client: Any) -> tuple[list[str], list[list[str]]]:
    """The records of the load's finished jobs that failed (less those a lock retry sent
    again) or were not processed, as sent: their header, and their values."""
    header: list[str] | None = None
    records: list[list[str]] = []
    for batch in sorted(record.batches.values(), key=lambda b: b.number):
        outcome = batch.outcome()
        if batch.job_id is None or batch.state not in FINISHED_STATES or batch.withdrawn:
            continue
        wanted = [("failed", "failed_results", (outcome.failed or 0) - outcome.retried),
                  ("unprocessed", "unprocessed_records", outcome.not_processed or 0)]  # fmt: skip
        for kind, fetch, count in wanted:
            if count <= 0:
                continue
            text = _results_text(client, batch, kind, fetch)
            if kind == "failed" and outcome.retried:
                text = split_lock_errors(text)[0]
            names, rows = without_result_columns(text)
            if header is not None and names and names != header:
                raise RetryRefused(
                    f"the {kind} records of job {batch.job_id} have the columns "
                    f"{', '.join(names)}, not {', '.join(header)}"
                )
            header = header or names
            records += rows
    return header or [], records


def _results_text(client, batch, kind: str, fetch: str) -> str:
    try:
        return getattr(client, fetch)(batch.job_id)
    except Exception as error:
        saved = batch.files.get(kind)
        if saved and Path(saved).is_file():  # the org keeps results 7 days; the file, longer
            return Path(saved).read_text(encoding="utf-8")
        raise RetryRefused(
            f"the {kind} records of job {batch.job_id} cannot be read ({error}), and the load "
            "saved no file of them; nothing was sent"
        ) from error


def without_result_columns(text: str) -> tuple[list[str], list[list[str]]]:
    """A result file's header and records without the columns Salesforce added (sf__Id,
    sf__Error, sf__Created): the records as they were sent."""
    rows = [row for row in csv.reader(io.StringIO(text, newline="")) if row]
    if not rows:
        return [], []
    from kavrel.sflake.sources import RESULT_COLUMNS

    kept = [i for i, name in enumerate(rows[0]) if name not in RESULT_COLUMNS]
    return [rows[0][i] for i in kept], [
        [row[i] if i < len(row) else "" for i in kept] for row in rows[1:]
    ]


def _write_records(path: Path, header: list[str], records: list[list[str]]) -> None:
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(header)
    writer.writerows(records)
    make_private_dir(path.parent)
    write_private(path, text.getvalue())
    os.chmod(path, 0o600)
