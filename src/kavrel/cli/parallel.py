"""`--parallel N`: one load as N slices side by side, each through the load operations' own code.

The ordered rows of the query are cut into N contiguous slices (pages of LIMIT/OFFSET over the
same ORDER BY ALL as every batch), so no row is in two slices and none is left out. Each slice runs
in its own thread as a load of its own (`vantro.upsert` over the slice, or the single-job
operation per batch); the warehouse session is shared, one query at a time, while the jobs run
side by side in the org. The outcomes come back in slice and batch order as one summary.

Records that fail because another job held their rows locked are sent once more, in one job after
all slices end, and are counted once, with the outcome of that job.

Ctrl-C and SIGTERM reach the main thread only. It marks the load as stopping and waits for the
slices; each raises the same interrupt at its next step (reading a page, uploading, closing,
reading a status; a pause between two status checks ends at once), so it aborts its Open job as a
sequential load does, and the command names every job left behind.
"""

from __future__ import annotations

import logging
import threading
import time
from dataclasses import dataclass, replace
from typing import Any

from kavrel.cli import loadreport

logger = logging.getLogger("kavrel.cli.parallel")
RETRY_TABLE = "_kavrel_lock_retry"


@dataclass(frozen=True)
class Slice:
    number: int  # from 1, in the order of the rows
    offset: int
    rows: int


@dataclass(frozen=True)
class Plan:
    """What every slice loads, and how."""

    operation: str
    session: Any
    access_info: dict[str, str]
    sobject: str
    query: str
    external_id: str | None
    batch_size: int | None


def slices(total: int, count: int) -> list[Slice]:
    """`total` rows cut into `count` contiguous slices (fewer when there are fewer rows) whose
    sizes differ by one row at most, the larger ones first."""
    count = min(count, total)
    if count <= 0:
        return []
    size, larger = divmod(total, count)
    pieces, offset = [], 0
    for index in range(count):
        rows = size + (1 if index < larger else 0)
        pieces.append(Slice(index + 1, offset, rows))
        offset += rows
    return pieces


def batches_in(rows: int, batch_size: int | None) -> int:
    return 1 if batch_size is None else -(-rows // batch_size)


# --- one slice ----------------------------------------------------------------------------------


class _Stop:
    """A stop asked for in the main thread, raised in each slice at its next step."""

    def __init__(self) -> None:
        self.event = threading.Event()
        self._interrupt: type[KeyboardInterrupt] = KeyboardInterrupt

    def request(self, interrupt: KeyboardInterrupt) -> None:
        self._interrupt = type(interrupt)
        self.event.set()

    def check(self) -> None:
        """Raises the interrupt the first time a slice gets here after a stop; never again in
        that slice, which may need the same calls to abort its job."""
        thread = threading.current_thread()
        if self.event.is_set() and isinstance(thread, _Worker) and not thread.stopped:
            thread.stopped = True
            raise self._interrupt()


class _OneQueryAtATime:
    """The warehouse session as the slices share it: queries run one after another, since
    sessions (and SQLite and DuckDB connections) are not made for use by several threads at once.
    Reading a page is quick beside an org processing a job."""

    def __init__(self, session: Any, stop: _Stop) -> None:
        self._session = session
        self._lock = threading.Lock()
        self.stop = stop

    def sql(self, text: str) -> _SerialQuery:
        return _SerialQuery(self, text)


class _SerialQuery:
    def __init__(self, shared: _OneQueryAtATime, text: str) -> None:
        self._shared = shared
        self._text = text

    def collect(self) -> Any:
        self._shared.stop.check()
        with self._shared._lock:
            return self._shared._session.sql(self._text).collect()


def load_slice(plan: Plan, piece: Slice) -> list[loadreport.JobOutcome]:
    """Loads one slice through the operation's own code; batches numbered from 1."""
    from kavrel.cli.loads import load_page, page_query
    from kavrel.salesforce import vantro

    if plan.operation == "upsert":
        query = page_query(plan.query, piece.rows, piece.offset)
        summary = vantro.upsert(
            plan.session, plan.access_info, plan.sobject, query, plan.external_id, plan.batch_size
        )
        return [] if summary is None else loadreport.outcomes_from_summary(summary)
    size = plan.batch_size or piece.rows
    outcomes = []
    for index, start in enumerate(range(0, piece.rows, size)):
        rows = min(size, piece.rows - start)
        page = page_query(plan.query, rows, piece.offset + start)
        outcomes.append(
            load_page(
                plan.operation, plan.session, plan.access_info, plan.sobject, page, rows, index + 1
            )
        )
    return outcomes


class _Worker(threading.Thread):
    def __init__(self, plan: Plan, piece: Slice) -> None:
        super().__init__(name=f"kavrel-slice-{piece.number}", daemon=True)
        self.plan = plan
        self.piece = piece
        self.outcomes: list[loadreport.JobOutcome] | None = None
        self.error: BaseException | None = None
        self.stopped = False
        # Waited on instead of join(): an interrupted join() of Python 3.11 takes a running
        # thread for ended.
        self.finished = threading.Event()

    def run(self) -> None:
        try:
            self.outcomes = load_slice(self.plan, self.piece)
        except BaseException as error:  # reported with the others' outcomes
            self.error = error
        finally:
            self.finished.set()


# --- stopping -----------------------------------------------------------------------------------


class _StoppablePauses:
    """Stands in for the `time` module of the load operations while slices run, so that a slice
    pausing between two status checks notices a stop at once instead of up to 10 s later."""

    def __init__(self, stop: _Stop) -> None:
        self._stop = stop

    def __getattr__(self, name: str) -> Any:
        return getattr(time, name)

    def sleep(self, seconds: float) -> None:
        sleep = time.sleep
        if getattr(sleep, "__self__", None) is time:  # the real one, not a test's or a bench's
            self._stop.event.wait(seconds)
        else:
            sleep(seconds)


class _StoppableIngest:
    """Stands in for the Bulk API client of the load operations while slices run: an upload, a
    close or a status read is where a stopped slice raises the interrupt. Never the creation of
    a job, whose id would then be lost."""

    STOP_POINTS = ("send_file", "job_close", "job_status")

    def __init__(self, ingest: Any, stop: _Stop) -> None:
        self._ingest = ingest
        self._stop = stop

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._ingest, name)
        if name not in self.STOP_POINTS:
            return value

        def call(*args: Any, **kwargs: Any) -> Any:
            self._stop.check()
            return value(*args, **kwargs)

        return call


def _stop(workers: list[_Worker], interrupt: KeyboardInterrupt, stop: _Stop) -> None:
    running = [w for w in workers if w.ident is not None and not w.finished.is_set()]
    logger.warning(
        "Stopping %d running slice(s); each aborts its job if it is still open...", len(running)
    )
    stop.request(interrupt)
    try:
        for worker in running:
            worker.finished.wait()
    except KeyboardInterrupt:  # asked twice: stop waiting, name what is known
        pass


# --- progress lines -----------------------------------------------------------------------------


class _SliceFilter(logging.Filter):
    """Marks the records logged by a slice with its number (`record.slice`)."""

    def filter(self, record: logging.LogRecord) -> bool:
        thread = threading.current_thread()
        if isinstance(thread, _Worker) and not hasattr(record, "slice"):
            record.slice = thread.piece.number
        return True


class _SliceFormatter(logging.Formatter):
    def __init__(self, inner: logging.Formatter) -> None:
        super().__init__()
        self._inner = inner

    def format(self, record: logging.LogRecord) -> str:
        text = self._inner.format(record)
        number = getattr(record, "slice", None)
        return text if number is None else f"[slice {number}] {text}"


class _Progress:
    """While slices run, every line on the console names its slice."""

    def __init__(self) -> None:
        self._handlers = list(logging.getLogger("kavrel").handlers)
        self._filter = _SliceFilter()
        self._formatters: list[tuple[logging.Handler, logging.Formatter | None]] = []

    def __enter__(self) -> _Progress:
        for handler in self._handlers:
            handler.addFilter(self._filter)
            if isinstance(handler, logging.StreamHandler):
                self._formatters.append((handler, handler.formatter))
                handler.setFormatter(_SliceFormatter(handler.formatter or logging.Formatter()))
        return self

    def __exit__(self, *exc_info: object) -> None:
        for handler in self._handlers:
            handler.removeFilter(self._filter)
        for handler, formatter in self._formatters:
            handler.setFormatter(formatter)


# --- the whole load -----------------------------------------------------------------------------


def run_slices(plan: Plan, pieces: list[Slice], stop: _Stop) -> list[_Worker]:
    """Runs the slices side by side until all end; an interrupt stops them all and is raised."""
    from kavrel.salesforce import vantro

    workers = [_Worker(plan, piece) for piece in pieces]
    operations = vantro.time, vantro.ingest
    vantro.time = _StoppablePauses(stop)
    vantro.ingest = _StoppableIngest(operations[1], stop)
    try:
        with _Progress():
            try:
                for worker in workers:
                    worker.start()
                for worker in workers:
                    worker.finished.wait()
            except KeyboardInterrupt as interrupt:
                _stop(workers, interrupt, stop)
                raise
    finally:
        vantro.time, vantro.ingest = operations
    return workers


def merge(plan: Plan, workers: list[_Worker]) -> list[loadreport.JobOutcome]:
    """Every slice's outcomes in slice and batch order, batches numbered across the load; a
    slice that broke off is one outcome naming its rows. Raises the error of a query that no
    slice could load (repeated column names)."""
    from kavrel.sflake.query import DuplicateColumns

    for worker in workers:
        if isinstance(worker.error, DuplicateColumns):
            raise worker.error
    outcomes, first = [], 1
    for worker in workers:
        piece = worker.piece
        if worker.error is not None or worker.outcomes is None:
            error = worker.error
            text = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
            last = piece.offset + piece.rows
            outcomes.append(
                loadreport.JobOutcome(
                    first,
                    None,
                    piece.rows,
                    "error",
                    error=f"slice {piece.number} (rows {piece.offset + 1:,} to {last:,}) "
                    f"stopped: {text}",
                )
            )
        for outcome in worker.outcomes or []:
            outcome.batch = first + (outcome.batch or 1) - 1
            outcomes.append(outcome)
        first += batches_in(piece.rows, plan.batch_size)
    return outcomes


def retry_session(header: list[str], records: list[list[str]]) -> Any:
    """An in-memory table of the records to send again, to load through the same operation."""
    from kavrel.sflake.local import SQLiteSession

    session = SQLiteSession()
    columns = ", ".join('"' + name.replace('"', '""') + '" TEXT' for name in header)
    session.connection.execute(f"CREATE TABLE {RETRY_TABLE} ({columns})")
    marks = ", ".join("?" * len(header))
    session.connection.executemany(f"INSERT INTO {RETRY_TABLE} VALUES ({marks})", records)
    return session


def _locked_records(plan: Plan, outcomes: list[loadreport.JobOutcome]):
    """The records of each finished job that failed on a row lock: (header, records, per job)."""
    from kavrel.salesforce import ingest_bapi20

    loadreport.check_jobs(ingest_bapi20, plan.access_info, outcomes)
    header: list[str] | None = None
    records: list[list[str]] = []
    counts: list[tuple[loadreport.JobOutcome, int]] = []
    for outcome in outcomes:
        if not outcome.finished or not outcome.failed:
            continue
        try:
            text = ingest_bapi20.failed_results(plan.access_info, outcome.job_id)
        except Exception as error:  # its records stay failed; the report says what it can
            logger.warning("Could not read the failed records of job %s: %s", outcome.job_id, error)
            continue
        locked = loadreport.split_lock_errors(text)[1]
        if not locked or (header is not None and locked[0] != header):
            continue
        header = locked[0]
        records += locked[1:]
        counts.append((outcome, len(locked) - 1))
    return header, records, counts


def retry_lock_errors(
    plan: Plan, outcomes: list[loadreport.JobOutcome]
) -> list[loadreport.JobOutcome]:
    """Sends the records that failed on a row lock once more, in one job; returns its outcome."""
    header, records, counts = _locked_records(plan, outcomes)
    if not records:
        return []
    batch = max((o.batch or 0 for o in outcomes), default=0) + 1
    logger.info(
        "🔁 %s record(s) failed with %s; sending them again in one job (batch %d)",
        f"{len(records):,}",
        loadreport.LOCK_ERROR,
        batch,
    )
    session = retry_session(header, records)
    try:
        retry_plan = replace(
            plan,
            session=session,
            query=f"SELECT * FROM {RETRY_TABLE}",
            batch_size=len(records) if plan.operation == "upsert" else None,
        )
        retried = load_slice(retry_plan, Slice(0, 0, len(records)))
    finally:
        session.close()
    for outcome in retried:
        outcome.batch = batch
    if any(outcome.job_id is not None for outcome in retried):
        for outcome, count in counts:
            outcome.retried, outcome.retried_in = count, batch
    return retried


def load(
    args: Any, session: Any, access_info: dict[str, str], query: str
) -> loadreport.LoadSummary | None:
    """The load of `args` (a load command's arguments) in `args.parallel` slices side by side;
    None when the query has no rows."""
    from kavrel.cli.loads import count_rows

    total = count_rows(session, query)
    pieces = slices(total, args.parallel)
    if not pieces:
        return None
    stop = _Stop()
    plan = Plan(
        args.operation,
        _OneQueryAtATime(session, stop),
        access_info,
        args.sobject,
        query,
        getattr(args, "external_id", None),
        args.batch_size,
    )
    logger.info(
        "🧩 Loading %s rows in %d slices side by side: %s",
        f"{total:,}",
        len(pieces),
        ", ".join(f"rows {p.offset + 1:,}-{p.offset + p.rows:,}" for p in pieces),
    )
    outcomes = merge(plan, run_slices(plan, pieces, stop))
    if not getattr(args, "no_lock_retry", False):
        outcomes += retry_lock_errors(plan, outcomes)
    return loadreport.LoadSummary(total, outcomes)
