"""A load checked against the org itself before any job: every row as the org will check it (the
checks of kavrel.salesforce.records, which the local server runs too), and the load's need of the
org's daily Bulk API batches against what is left of them (kavrel.load.allocation).

- `dry_run`: a dry run's one read of the rows, in the chunks the org will process; the predicted
  failures are tallied by error code and written, as they are found, to
  `<object>-predicted-failures.csv` (kavrel.load.predicted). Keys repeated in another chunk fail
  nothing (the later record overwrites the earlier) and are counted apart.
- `checked_reader`: a load's rows with the predicted failures left out of its jobs, written and
  counted the same way (`--check-records`).

Memory stays bounded whatever the number of rows: one chunk of rows at a time, and the keys seen
so far in a temporary SQLite file.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kavrel.load.allocation import (
    Allocation,
    AllocationExceeded,
    batches_needed,
    check_allocation,
    daily_batches,
    limits_reader,
)
from kavrel.load.orgschema import (
    Describe,
    NotInOrg,
    OrgObjects,
    Refused,
    cannot_tell,
    column_findings,
    describe_for,
    predictor_for,
)
from kavrel.load.predicted import (
    SHOWN_ROWS,
    FailureLog,
    KeyLedger,
    Repeats,
    Tally,
    failures_file_name,
)
from kavrel.load.summary import LoadSummary, counted
from kavrel.salesforce.records.predict import CHUNK_SIZE, Predictor

__all__ = [
    "AllocationExceeded",
    "CheckedReader",
    "Load",
    "NotInOrg",
    "Prediction",
    "Refused",
    "check_allocation",
    "checked_reader",
    "count_left_out",
    "dry_run",
    "report_left_out",
    "repeats_text",
    "rows_for",
]

Row = Sequence[Any]


# --- the rows ------------------------------------------------------------------------------------


class Preflight:
    """The checks of one load's rows: each row's fields as they would be sent, judged by the
    predictor, the failures logged, the keys remembered across chunks."""

    def __init__(
        self,
        predictor: Predictor,
        header: Sequence[str],
        nulls: Sequence[str | None] | None,
        log: FailureLog,
    ) -> None:
        self.predictor = predictor
        self.header = list(header)
        self.nulls = nulls
        self.log = log
        self.repeats = Repeats()
        self.if_new = Tally()  # upserted records that fail if their key matches no record
        self.rows = 0
        self._ledger = KeyLedger() if predictor.key_position is not None else None

    def texts(self, rows: Sequence[Row]) -> list[list[str]]:
        """The rows' fields as the CSV of their job will hold them."""
        from kavrel.util.csv import rows_to_csv

        text = rows_to_csv(self.header, rows, self.nulls)
        return list(csv.reader(io.StringIO(text, newline="")))[1:]

    def remember_keys(self, keys: dict[str, int]) -> None:
        """The keys of one chunk's records that pass (to their rows), against earlier chunks'."""
        if self._ledger is None or not keys:
            return
        for key, earlier in self._ledger.earlier(keys).items():
            self.repeats.count += 1
            if len(self.repeats.first) < SHOWN_ROWS:
                self.repeats.first.append((keys[key], earlier))

    def judge_if_new(self, row: int, record: list[str]) -> None:
        if (fault := self.predictor.if_inserted(record)) is not None:
            self.if_new.add(row, fault)

    def close(self) -> None:
        self.log.close()
        if self._ledger is not None:
            self._ledger.close()

    # -- a dry run: every row as it would be sent ----------------------------------------------

    def predict(self, first: Sequence[Row], reader: Any, job_rows: int | None) -> None:
        """Reads the rest of the rows and judges them with `first`, chunk by chunk."""
        pending = list(first)
        while True:
            room = self._room(job_rows)
            while len(pending) < room and (more := reader.fetchmany(room - len(pending))):
                pending.extend(more)
            if not pending:
                return
            self._judge(pending[:room])
            del pending[:room]

    def _room(self, job_rows: int | None) -> int:
        """The rows up to the end of the chunk the next row falls in."""
        at = self.rows % job_rows if job_rows else self.rows
        end = (at // CHUNK_SIZE + 1) * CHUNK_SIZE
        return min(end, job_rows) - at if job_rows else end - at

    def _judge(self, rows: Sequence[Row]) -> None:
        texts = self.texts(rows)
        keys: dict[str, int] = {}
        for offset, (fault, record) in enumerate(
            zip(self.predictor.chunk(texts), texts, strict=True)
        ):
            number = self.rows + offset + 1
            if fault is not None:
                self.log.add_record(number, fault, record)
                continue
            self.judge_if_new(number, record)
            if (key := self.predictor.key(record)) is not None:
                keys[key] = number
        self.rows += len(rows)
        self.remember_keys(keys)


class CheckedReader:
    """A source's rows with the predicted failures left out (`--check-records`), as a reader the
    load runner reads its jobs from. Each job it asks for is filled chunk by chunk, as the org
    will process it; a key repeated within the chunk being filled leaves out the records the org
    would fail there (every one of an external ID, the later ones of an Id), so no chunk sent
    holds a repeated key."""

    def __init__(self, reader: Any, preflight: Preflight) -> None:
        self.columns = reader.columns
        self.total = reader.total
        self.preflight = preflight
        self._reader = reader
        self._exhausted = False

    def fetchmany(self, size: int) -> list[Row]:
        return self._job(size)

    def fetchall(self) -> list[Row]:
        return self._job(None)

    def close(self) -> None:
        try:
            self.preflight.close()
        finally:
            self._reader.close()

    def _job(self, size: int | None) -> list[Row]:
        job: list[Row] = []
        while not self._exhausted and (size is None or len(job) < size):
            job += self._chunk(CHUNK_SIZE if size is None else min(CHUNK_SIZE, size - len(job)))
        return job

    def _read(self, count: int) -> list[Row]:
        rows = list(self._reader.fetchmany(count)) if not self._exhausted else []
        self._exhausted = not rows
        return rows

    def _chunk(self, room: int) -> list[Row]:
        preflight, predictor, log = self.preflight, self.preflight.predictor, self.preflight.log
        kept: dict[int, tuple[Row, list[str], str | None]] = {}  # row number: row, fields, key
        holders: dict[str, int] = {}  # key to the row number holding it
        repeated: set[str] = set()  # external IDs that failed in this chunk
        while len(kept) < room and (rows := self._read(room - len(kept))):
            for row, record in zip(rows, preflight.texts(rows), strict=True):
                preflight.rows += 1
                number = preflight.rows
                fault = predictor.fault(record)
                key = predictor.key(record) if fault is None else None
                if key is not None and (key in repeated or key in holders):
                    fault = predictor.repeated(record)
                    if not predictor.by_id and key in holders:
                        first = holders.pop(key)
                        log.add_record(first, fault, kept.pop(first)[1])
                        repeated.add(key)
                if fault is not None:
                    log.add_record(number, fault, record)
                    continue
                preflight.judge_if_new(number, record)
                kept[number] = (row, record, key)
                if key is not None:
                    holders[key] = number
        preflight.remember_keys(holders)
        return [row for row, _, _ in kept.values()]


# --- the whole preflight of a dry run, and of a load -------------------------------------------


@dataclass
class Prediction:
    """What a dry run against the org found: the rows checked; the records predicted to fail, by
    error code, and the file that holds them; the records whose key an earlier chunk held; what
    the descriptions cannot tell; the daily batches the load needs and those the org has left
    (`limits_error` when its limits could not be read)."""

    rows: int
    failures: Tally
    if_new: Tally
    repeats: Repeats
    file: Path | None
    notes: list[str]
    batches_needed: int | None
    allocation: Allocation | None = None
    limits_error: str | None = None

    @property
    def over_allocation(self) -> bool:
        needed, allocation = self.batches_needed, self.allocation
        return needed is not None and allocation is not None and needed > allocation.remaining

    @property
    def ok(self) -> bool:
        return not self.failures.count and not self.repeats.count and not self.over_allocation

    def as_dict(self) -> dict[str, Any]:
        allocation = self.allocation
        return {
            "rows": self.rows,
            "failures": self.failures.as_dict(),
            "file": None if self.file is None else str(self.file),
            "if_new": self.if_new.as_dict(),
            "repeated_keys": {"count": self.repeats.count, "rows": self.repeats.first},
            "not_checked": self.notes,
            "daily_bulk_batches": {
                "needed": self.batches_needed,
                "remaining": None if allocation is None else allocation.remaining,
                "max": None if allocation is None else allocation.maximum,
                "error": self.limits_error,
            },
        }


def _org_reads(client: Any) -> tuple[Describe, Callable[[Any], Any] | None]:
    """How to describe an object and read the limits: the client's own functions, where it has
    them; a description is needed, so the Bulk API module's stands in for it."""
    from kavrel.salesforce import ingest_bapi20

    client = ingest_bapi20 if client is None else client
    if hasattr(client, "session"):  # a client object, whose methods know the org
        return (lambda _access_info, name: client.describe_sobject(name)), limits_reader(client)
    describe = getattr(client, "describe_sobject", None) or ingest_bapi20.describe_sobject
    return describe, getattr(client, "org_limits", None)


def _failure_log(org: OrgObjects, header: Sequence[str], results_dir: str | Path | None):
    path = None if results_dir is None else Path(results_dir) / failures_file_name(org.target.name)
    return FailureLog(header, path)


@dataclass
class Load:
    """The load a preflight is for: the org and its client, the object, the operation, the
    columns as sent and their NULL texts, the rows of each job, and where the file goes."""

    access_info: Mapping[str, Any]
    client: Any
    sobject: str
    operation: str
    external_id: str | None
    header: Sequence[str]
    nulls: Sequence[str | None] | None
    job_rows: int | None
    results_dir: str | Path | None


def _prepared(load: Load) -> tuple[list[tuple[bool, str]], Preflight | None]:
    """The columns against the org's fields, and the checks of the rows when they suit it."""
    describe, _ = _org_reads(load.client)
    org = describe_for(describe, load.access_info, load.sobject, load.header)
    findings = column_findings(org, load.operation, load.external_id, load.header)
    if not all(passed for passed, _ in findings):
        return findings, None
    predictor = predictor_for(org, load.operation, load.external_id, load.header)
    log = _failure_log(org, load.header, load.results_dir)
    return findings, Preflight(predictor, load.header, load.nulls, log)


def dry_run(
    load: Load, first: Sequence[Row], reader: Any
) -> tuple[list[tuple[bool, str]], Prediction | None]:
    """The columns against the org's fields and, when they suit it, the prediction of every row
    (`first`, then the rest of `reader`) and of the daily batches."""
    findings, preflight = _prepared(load)
    if preflight is None:
        return findings, None
    try:
        preflight.predict(first, reader, load.job_rows)
    finally:
        preflight.close()
    log = preflight.log
    prediction = Prediction(
        preflight.rows, log, preflight.if_new, preflight.repeats,
        log.path if log.count else None, cannot_tell(load.header),
        batches_needed(preflight.rows, load.job_rows),
    )  # fmt: skip
    read_limits = _org_reads(load.client)[1]
    if read_limits is not None:
        try:
            prediction.allocation = daily_batches(read_limits, load.access_info)
        except Exception as error:  # the rows' prediction stands without the limits
            prediction.limits_error = str(error) or type(error).__name__
    return findings, prediction


def checked_reader(load: Load, reader: Any) -> CheckedReader:
    """`reader` with the predicted failures left out; ColumnsUnsuitable when a column would fail
    every job."""
    from kavrel.load.columns import ColumnsUnsuitable

    findings, preflight = _prepared(load)
    if preflight is None:
        raise ColumnsUnsuitable(load.operation, [text for passed, text in findings if not passed])
    return CheckedReader(reader, preflight)


def rows_for(
    plan: Any,
    reader: Any,
    client: Any,
    results_dir: str | Path | None,
    check_records: bool,
    ignore_limits: bool,
) -> Any:
    """What a load (its `plan`) reads its rows from, once the org's daily batches and, with
    `check_records`, the columns are checked: `reader`, or one that leaves out the records
    predicted to fail (and closes `reader` with itself)."""
    rows = reader
    if check_records:
        load = Load(
            plan.access_info, client, plan.sobject, plan.operation, plan.external_id,
            plan.header, plan.nulls, plan.batch_size, results_dir,
        )  # fmt: skip
        rows = checked_reader(load, reader)
    if not ignore_limits:
        try:
            check_allocation(client, plan.access_info, reader.total, plan.batch_size)
        except BaseException:
            if rows is not reader:
                rows.preflight.close()
            raise
    return rows


def count_left_out(result: dict[str, Any], rows: Any) -> None:
    """The runner's rows read, with those a checked load left out: all read from the source."""
    if isinstance(rows, CheckedReader):
        result["rows_read"] += rows.preflight.log.count


def report_left_out(summary: LoadSummary, rows: Any) -> None:
    """The summary counts the records a checked load left out as failed, and tells where they
    are, and which keys repeated across chunks."""
    if not isinstance(rows, CheckedReader):
        return
    log, repeats = rows.preflight.log, rows.preflight.repeats
    summary.left_out = log.count
    if log.count:
        where = f": see {log.path}" if log.path is not None else ""
        summary.notes.append(
            f"{counted(log.count, 'record')} predicted to fail, sent to no job{where}"
        )
    if repeats.count:
        summary.notes.append(repeats_text(repeats))


def repeats_text(repeats: Repeats) -> str:
    rows = ", ".join(f"row {row} (as row {earlier})" for row, earlier in repeats.first)
    more = ", ..." if repeats.count > len(repeats.first) else ""
    return (
        f"{counted(repeats.count, 'record')} repeat the key of a record of an earlier chunk or "
        f"job, and overwrite it: {rows}{more}"
    )
