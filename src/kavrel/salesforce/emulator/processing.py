"""Processing a closed job, as an org does it: on a thread of its own, its upload read whole once
to find whether it can be processed at all, then applied in chunks of CHUNK_SIZE records, each in a
transaction of its own. Each chunk's results are written as soon as it is applied, and the job's
counts grow with them, so a job aborted or failed part-way keeps the chunks it applied, counted,
with the rest of its records unprocessed.

Each chunk uses one of the org's daily Bulk API batches; once none is left, the job fails with the
rest of its records unprocessed. With a processing rate (records per second) each chunk is applied
once an org at that pace would have reached its end. The job's `totalProcessingTime` is the time
from its start to its end; its `apiActiveProcessingTime` leaves out the time spent waiting for
that pace.
"""

from __future__ import annotations

import csv
import io
import math
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import IO, TYPE_CHECKING

from kavrel.salesforce.records.predict import CHUNK_SIZE

from .limits import DAILY_BULK_BATCHES, Allocation, quota_exceeded
from .results import ResultStore
from .store import ObjectStore, Outcome, Plan
from .upload import (
    COLUMN_DELIMITERS,
    LINE_ENDINGS,
    BatchError,
    Chunk,
    Scan,
    read_leniently,
    scan_upload,
)

if TYPE_CHECKING:
    from .jobs import Job

TERMINAL_STATES = frozenset({"JobComplete", "Failed", "Aborted"})
# From this version on, failed results name the record that failed (`sf__Id`); before it the
# column is there but empty.
FAILED_ID_VERSION = 53

# Returns the rows to reject (row index in the rows given, to error) given the header and rows.
Rejecter = Callable[[list[str], list[list[str]]], dict[int, str]]


def csv_text(job: Job, rows: Iterable[list[str]]) -> str:
    """The rows as the CSV the client downloads, in the job's own delimiter and line ending."""
    buffer = io.StringIO()
    writer = csv.writer(
        buffer,
        delimiter=COLUMN_DELIMITERS[job.column_delimiter],
        lineterminator=LINE_ENDINGS[job.line_ending],
    )
    writer.writerows(rows)
    return buffer.getvalue()


class Processor:
    """Runs closed jobs, each on its own thread, against the store."""

    def __init__(
        self,
        store: ObjectStore,
        results: ResultStore,
        lock: threading.RLock,
        reject: Rejecter,
        processing_rate: float | None = None,
        batches: Allocation | None = None,
    ) -> None:
        self.store = store
        self.results = results
        self.lock = lock
        self.reject = reject
        self.processing_rate = processing_rate
        self.batches = batches if batches is not None else Allocation(DAILY_BULK_BATCHES)
        self.stopping = threading.Event()

    def start(self, job: Job) -> None:
        """Starts processing a closed job that is not being processed yet (lock held)."""
        if job.state != "UploadComplete" or job.worker is not None:
            return
        job.worker = threading.Thread(
            target=self._process, args=(job,), name=f"bulk-job-{job.id}", daemon=True
        )
        job.worker.start()

    def wait_when_immediate(self, job: Job) -> None:
        if self.processing_rate is None and job.worker is not None:
            job.done.wait()

    def progress(self, job: Job) -> int:
        """How many records a job being processed has reached."""
        if job.state != "InProgress" or not self.processing_rate or job.started is None:
            return job.processed
        elapsed = time.monotonic() - job.started
        return max(job.processed, min(job.record_count, int(elapsed * self.processing_rate)))

    def end_unprocessed(self, job: Job, upload: IO[bytes] | None) -> None:
        """Hands every uploaded row back unprocessed, once the job has taken its end state."""
        try:
            self._hand_back(job, upload)
        finally:
            job.done.set()

    def _hand_back(self, job: Job, upload: IO[bytes] | None) -> None:
        """Writes every row of an upload, read as far as it can be, as unprocessed; closes it."""
        if upload is None:
            return
        try:
            rows = read_leniently(upload, COLUMN_DELIMITERS[job.column_delimiter])
            self._write_in_pieces(job, "unprocessedrecords", rows)
        finally:
            upload.close()

    # -- one job ------------------------------------------------------------------------------

    def _process(self, job: Job) -> None:
        with self.lock:
            # A job aborted or deleted before its start is ended by whoever did it.
            started = job.state == "UploadComplete" and not self.stopping.is_set()
            if started:
                job.state = "InProgress"
                job.started = time.monotonic()
                job.modstamp_now()
        try:
            if started:
                self._run(job)
        finally:
            if started:
                job.done.set()
            # A finished thread's object would stay with the job for the life of the server.
            with self.lock:
                job.worker = None

    def _run(self, job: Job) -> None:
        upload = job.upload
        if job.forced_state is not None:
            message = (
                "InvalidBatch : The job was set to fail" if job.forced_state == "Failed" else None
            )
            self._finish(job, job.forced_state, message, unprocessed=upload)
            return
        if upload is None:
            message = "InvalidBatch : The upload is empty: a CSV header row is required"
            self._finish(job, "Failed", message, unprocessed=None)
            return
        line_ending = LINE_ENDINGS[job.line_ending]
        delimiter = COLUMN_DELIMITERS[job.column_delimiter]
        try:
            scan = scan_upload(upload, line_ending, delimiter, CHUNK_SIZE)
        except BatchError as error:
            self._finish(job, "Failed", str(error), unprocessed=upload)
            return
        upload.close()
        try:
            self._run_chunks(job, scan)
        finally:
            scan.close()

    def _run_chunks(self, job: Job, scan: Scan) -> None:
        try:
            plan = self.store.plan(job.object, scan.header)
        except BatchError as error:
            self._finish(job, "Failed", str(error), scan=scan)
            return
        job.record_count = scan.records
        self._start_results(job, scan.header)
        applied = 0
        try:
            for whole in scan.chunks():
                chunk = self._cut_to_limit(job, whole)
                if chunk is None or not self._pace(job, chunk.first + len(chunk.records)):
                    break
                if not self.batches.take():
                    message = quota_exceeded(self.batches.maximum)
                    self._finish(job, "Failed", message, scan=scan, after=applied)
                    return
                self._apply(job, plan, scan.header, chunk)
                applied = chunk.first + len(chunk.records)
                if job.state != "InProgress":
                    break
        except BatchError as error:
            self._finish(job, "Failed", str(error), scan=scan, after=applied)
            return
        if self.stopping.is_set():
            return
        if job.fail_after is not None:
            message = (
                f"InternalServerError : The job stopped after {applied:,} records (fail_job_after)"
            )
            self._finish(job, "Failed", message, scan=scan, after=applied)
        else:
            self._finish(
                job,
                "Aborted" if job.state == "Aborted" else "JobComplete",
                None,
                scan=scan,
                after=applied,
            )

    def _cut_to_limit(self, job: Job, chunk: Chunk) -> Chunk | None:
        """The chunk's records within the job's `fail_job_after` limit (None: none are)."""
        if job.fail_after is None:
            return chunk
        room = job.fail_after - chunk.first
        if room <= 0:
            return None
        if room < len(chunk.records):
            records = chunk.records[:room]
            bad_rows = {i: e for i, e in chunk.bad_rows.items() if i < chunk.first + room}
            return Chunk(chunk.first, records, bad_rows)
        return chunk

    def _pace(self, job: Job, reached: int) -> bool:
        """Waits until an org at the processing rate would have reached record `reached`; False
        when the job was aborted or the server stopped meanwhile."""
        if self.processing_rate:
            deadline = (job.started or time.monotonic()) + reached / self.processing_rate
            while not self.stopping.is_set() and job.state == "InProgress":
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                waited = time.monotonic()
                self.stopping.wait(min(left, 0.05))
                job.waited += time.monotonic() - waited
        with self.lock:
            return job.state == "InProgress" and not self.stopping.is_set()

    def _apply(self, job: Job, plan: Plan, header: list[str], chunk: Chunk) -> None:
        skipped = dict(chunk.bad_rows)
        for local, message in self.reject(header, chunk.records).items():
            skipped.setdefault(chunk.first + local, message)
        items = [
            (chunk.first + i, record)
            for i, record in enumerate(chunk.records)
            if chunk.first + i not in skipped
        ]
        outcome = self.store.apply(plan, job.operation, job.external_id_field, items)
        outcome.failures[:0] = [(index, "", message) for index, message in skipped.items()]
        self._write_outcome(job, chunk, outcome)
        with self.lock:
            job.processed += len(outcome.successes) + len(outcome.failures)
            job.failed += len(outcome.failures)

    # -- results --------------------------------------------------------------------------------

    def _start_results(self, job: Job, header: list[str]) -> None:
        self.results.add(
            job.id, "successfulResults", csv_text(job, [["sf__Id", "sf__Created", *header]])
        )
        self.results.add(job.id, "failedResults", csv_text(job, [["sf__Id", "sf__Error", *header]]))

    def _write_outcome(self, job: Job, chunk: Chunk, outcome: Outcome) -> None:
        records, first = chunk.records, chunk.first
        names_failed = int(float(job.api_version)) >= FAILED_ID_VERSION
        successes = [
            [key, "true" if created else "false", *records[i - first]]
            for i, key, created in outcome.successes
        ]
        failures = [
            [key if names_failed else "", message, *records[i - first]]
            for i, key, message in outcome.failures
        ]
        if successes:
            self.results.add(job.id, "successfulResults", csv_text(job, successes))
        if failures:
            self.results.add(job.id, "failedResults", csv_text(job, failures))

    def _write_in_pieces(self, job: Job, part: str, rows: Iterable[list[str]]) -> None:
        piece: list[list[str]] = []
        for row in rows:
            piece.append(row)
            if len(piece) == CHUNK_SIZE:
                self.results.add(job.id, part, csv_text(job, piece))
                piece = []
        if piece:
            self.results.add(job.id, part, csv_text(job, piece))

    @staticmethod
    def _unprocessed_after(scan: Scan, after: int) -> Iterator[list[str]]:
        """The header, then the upload's records from index `after` on."""
        yield scan.header
        if after >= scan.records:
            return
        for chunk in scan.chunks():
            yield from chunk.records[max(after - chunk.first, 0) :]

    # -- the end --------------------------------------------------------------------------------

    def _finish(
        self,
        job: Job,
        state: str,
        message: str | None,
        unprocessed: IO[bytes] | None = None,
        scan: Scan | None = None,
        after: int = 0,
    ) -> None:
        """Writes the rows left unprocessed (from an upload that could not be read, or from
        record `after` of one that could), then ends the job: its times first, then its state,
        so no one sees it ended without them."""
        if scan is not None:
            self._write_in_pieces(job, "unprocessedrecords", self._unprocessed_after(scan, after))
        else:
            self._hand_back(job, unprocessed)
        with self.lock:
            elapsed = time.monotonic() - (job.started or time.monotonic())
            job.total_ms = math.ceil(elapsed * 1000)
            job.api_ms = math.ceil(max(elapsed - job.waited, 0) * 1000)
            if message is not None:
                job.error_message = message
            # An abort while the last chunk was applied stays an abort.
            job.state = "Aborted" if job.state == "Aborted" else state
            job.upload = None
            job.modstamp_now()
