"""Ingest jobs: their documents, their states, and their processing on worker threads.

Open → (upload, close) → UploadComplete → InProgress → JobComplete, Failed or Aborted. Closing
answers at once; each closed job is processed on its own thread, so jobs run side by side as
in an org. With a processing rate (records per second per job) a job stays InProgress for as
long as an org at that pace would take, and its records are applied when that time is up; an
abort before then leaves every record unprocessed. Without one, a status check or a results
request of a job being processed waits until it ends, so one check after the close sees the
end state.
"""

from __future__ import annotations

import csv
import io
import secrets
import threading
import time
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import Any

from .ids import JOB_KEY_PREFIX, base36, make_ids
from .store import ObjectStore, Outcome, UnknownObject
from .upload import COLUMN_DELIMITERS, LINE_ENDINGS, BatchError, Upload, is_api_name, parse_upload

OPERATIONS = ("insert", "update", "upsert", "delete", "hardDelete")
JOB_MEMBERS = frozenset(
    {
        "object",
        "operation",
        "externalIdFieldName",
        "lineEnding",
        "contentType",
        "columnDelimiter",
        "assignmentRuleId",
    }
)
TERMINAL_STATES = frozenset({"JobComplete", "Failed", "Aborted"})
PAGE_SIZE = 1000
# Clients spell the unprocessed records both ways; Salesforce answers both.
RESULT_PARTS = {
    "successfulResults": "successfulResults",
    "failedResults": "failedResults",
    "unprocessedrecords": "unprocessedrecords",
    "unprocessedRecords": "unprocessedrecords",
}

# Returns the rows to reject (row index to error) given the header and the rows.
Rejecter = Callable[[list[str], list[list[str]]], dict[int, str]]


class JobError(Exception):
    """A request answered with a Salesforce error document instead of being carried out."""

    def __init__(self, status: int, error_code: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.error_code = error_code
        self.message = message


def now_text() -> str:
    now = datetime.now(UTC)
    return now.strftime("%Y-%m-%dT%H:%M:%S.") + f"{now.microsecond // 1000:03d}+0000"


@dataclass
class Job:
    id: str
    object: str
    operation: str
    external_id_field: str | None
    line_ending: str
    column_delimiter: str
    api_version: str
    created: str
    state: str = "Open"
    modstamp: str = ""
    content: bytes | None = None
    pending_checks: int = 0
    forced_state: str | None = None
    error_message: str | None = None
    processing_ms: int = 0
    started: float | None = None
    record_count: int = 0
    processed: int = 0
    failed: int = 0
    results: dict[str, bytes] = field(default_factory=dict)
    done: threading.Event = field(default_factory=threading.Event)
    worker: threading.Thread | None = None


def _invalid_job(message: str) -> JobError:
    return JobError(400, "INVALIDJOB", f"InvalidJob : {message}")


def _csv_bytes(job: Job, rows: list[list[str]]) -> bytes:
    """The rows as the CSV the client downloads, compressed: results are kept for the life of
    the server, and a job's results are about as large as its upload."""
    buffer = io.StringIO()
    writer = csv.writer(
        buffer,
        delimiter=COLUMN_DELIMITERS[job.column_delimiter],
        lineterminator=LINE_ENDINGS[job.line_ending],
    )
    writer.writerows(rows)
    return zlib.compress(buffer.getvalue().encode("utf-8"), 1)


class JobBook:
    """Every job of the server, and the processing of closed ones."""

    def __init__(
        self,
        store: ObjectStore,
        lock: threading.RLock,
        reject: Rejecter,
        processing_rate: float | None = None,
    ) -> None:
        self.store = store
        self.lock = lock
        self.reject = reject
        self.processing_rate = processing_rate
        self.jobs: dict[str, Job] = {}
        self.stopping = threading.Event()
        self._counter = secrets.randbelow(36**7)

    # -- creation and documents -------------------------------------------------------------

    def create(self, document: Any, api_version: str) -> Job:
        if not isinstance(document, dict):
            raise JobError(400, "JSON_PARSER_ERROR", "The job must be a JSON object")
        unknown = sorted(set(document) - JOB_MEMBERS)
        if unknown:
            raise JobError(400, "JSON_PARSER_ERROR", f"Unrecognized field {unknown[0]!r}")
        sobject = document.get("object")
        if sobject is None:
            raise _invalid_job("the job needs an object")
        if not is_api_name(sobject) or sobject.lower().startswith("sqlite_"):
            raise _invalid_job(f"Invalid object name: {sobject!r}")
        try:
            sobject = self.store.object_name(sobject)
        except UnknownObject as error:
            raise _invalid_job(str(error)) from None
        operation = document.get("operation")
        if operation not in OPERATIONS:
            raise _invalid_job(
                f"Invalid operation {operation!r}: use one of {', '.join(OPERATIONS)}"
            )
        external_id = self._external_id(sobject, operation, document.get("externalIdFieldName"))
        line_ending = document.get("lineEnding", "LF")
        if line_ending not in LINE_ENDINGS:
            raise _invalid_job(f"Invalid lineEnding {line_ending!r}: use LF or CRLF")
        if document.get("contentType", "CSV") != "CSV":
            raise _invalid_job(f"Invalid contentType {document['contentType']!r}: use CSV")
        delimiter = document.get("columnDelimiter", "COMMA")
        if delimiter not in COLUMN_DELIMITERS:
            raise _invalid_job(f"Invalid columnDelimiter {delimiter!r}")
        with self.lock:
            self._counter += 1
            created = now_text()
            job = Job(
                id=make_ids(JOB_KEY_PREFIX, self._counter, 1)[0],
                object=sobject,
                operation=operation,
                external_id_field=external_id,
                line_ending=line_ending,
                column_delimiter=delimiter,
                api_version=api_version,
                created=created,
                modstamp=created,
            )
            self.jobs[job.id] = job
        return job

    def _external_id(self, sobject: str, operation: str, name: Any) -> str | None:
        if operation != "upsert":
            return None
        if name is None:
            raise _invalid_job("External ID field name is required for upsert")
        if not is_api_name(name):
            raise _invalid_job(f"Invalid external ID field name: {name!r}")
        try:
            return self.store.check_external_id(sobject, name)
        except ValueError as error:
            raise _invalid_job(str(error)) from None

    def get(self, job_id: str) -> Job:
        job = self.jobs.get(job_id)
        if job is None:
            raise JobError(404, "NOT_FOUND", "The requested resource does not exist")
        return job

    def info(self, job: Job, state: str | None = None) -> dict[str, Any]:
        document: dict[str, Any] = {
            "id": job.id,
            "operation": job.operation,
            "object": job.object,
            "createdById": "005000000000001AAA",
            "createdDate": job.created,
            "systemModstamp": job.modstamp,
            "state": state or job.state,
        }
        if job.external_id_field is not None:
            document["externalIdFieldName"] = job.external_id_field
        document.update(
            concurrencyMode="Parallel",
            contentType="CSV",
            apiVersion=float(job.api_version),
            contentUrl=f"services/data/v{job.api_version}/jobs/ingest/{job.id}/batches",
            lineEnding=job.line_ending,
            columnDelimiter=job.column_delimiter,
        )
        return document

    def status(self, job: Job) -> dict[str, Any]:
        """The job's full document, as a status check sees it."""
        with self.lock:
            if job.state in ("UploadComplete", "InProgress") and job.pending_checks > 0:
                job.pending_checks -= 1
                return self._status_document(job, "InProgress")
            self._start(job)
        self._wait_when_immediate(job)
        with self.lock:
            return self._status_document(job, None)

    def _status_document(self, job: Job, state: str | None) -> dict[str, Any]:
        document = self.info(job, state)
        done = state is None and job.state in TERMINAL_STATES
        document["jobType"] = "V2Ingest"
        document["numberRecordsProcessed"] = job.processed if done else self._progress(job)
        document["numberRecordsFailed"] = job.failed if done else 0
        document["retries"] = 0
        document["totalProcessingTime"] = job.processing_ms
        document["apiActiveProcessingTime"] = job.processing_ms
        document["apexProcessingTime"] = 0
        if job.error_message is not None:
            document["errorMessage"] = job.error_message
        return document

    def _progress(self, job: Job) -> int:
        if job.state != "InProgress" or job.started is None or not self.processing_rate:
            return 0
        elapsed = time.monotonic() - job.started
        return min(job.record_count, int(elapsed * self.processing_rate))

    def listing(self, query: dict[str, str], api_version: str) -> dict[str, Any]:
        """One page of the jobs (oldest first), filtered as the query asks."""
        wanted = {
            "jobType": query.get("jobType"),
            "isPkChunkingEnabled": query.get("isPkChunkingEnabled"),
            "concurrencyMode": query.get("concurrencyMode"),
        }
        for name, value in wanted.items():
            allowed = {
                "jobType": ("Classic", "V2Ingest", "BigObjectIngest"),
                "isPkChunkingEnabled": ("true", "false"),
                "concurrencyMode": ("Parallel", "serial", "Serial"),
            }[name]
            if value is not None and value not in allowed:
                raise JobError(400, "INVALIDURL", f"Invalid value for {name}: {value}")
        locator = query.get("queryLocator") or "0"
        try:
            start = int(locator, 36)
            if start < 0:
                raise ValueError
        except ValueError:
            raise JobError(400, "INVALID_QUERY_LOCATOR", "invalid query locator") from None
        with self.lock:
            matching = [
                job
                for job in self.jobs.values()
                if wanted["jobType"] in (None, "V2Ingest")
                and wanted["isPkChunkingEnabled"] in (None, "false")
                and wanted["concurrencyMode"] in (None, "Parallel")
            ]
            page = [
                {**self.info(job), "jobType": "V2Ingest"}
                for job in matching[start : start + PAGE_SIZE]
            ]
        done = start + PAGE_SIZE >= len(matching)
        next_url = None
        if not done:
            filters = "".join(f"&{name}={value}" for name, value in wanted.items() if value)
            next_url = (
                f"/services/data/v{api_version}/jobs/ingest?queryLocator="
                f"{base36(start + PAGE_SIZE, width=1)}{filters}"
            )
        return {"done": done, "records": page, "nextRecordsUrl": next_url}

    # -- state changes ----------------------------------------------------------------------

    def upload(self, job: Job, content_type: str, body: bytes) -> None:
        with self.lock:
            if job.state != "Open":
                raise JobError(
                    409,
                    "INVALIDJOBSTATE",
                    f"Found a job in state: {job.state}, expected state: Open",
                )
            if job.content is not None:
                raise JobError(
                    400,
                    "BULK_API_ERROR",
                    f"Found multiple contents for job: <{job.id}>, please 'Close' / 'Abort' / "
                    "'Delete' the current Job then create a new Job and make sure you only do "
                    "'PUT' once on a given Job.",
                )
            if content_type.split(";")[0].strip().lower() != "text/csv":
                raise JobError(
                    400,
                    "INVALIDCONTENTTYPE",
                    f"Content-Type must be text/csv, not {content_type!r}",
                )
            try:
                body.decode("utf-8")
            except UnicodeDecodeError as error:
                raise JobError(
                    400, "INVALIDBATCH", f"The upload is not UTF-8 text: {error}"
                ) from None
            job.content = body
            job.modstamp = now_text()

    def change_state(self, job: Job, state: Any, forced: str | None, checks: int) -> None:
        """Closes or aborts the job; `forced` is the end state it is told to take instead of
        being processed, `checks` how many status checks it answers InProgress first."""
        if state not in ("UploadComplete", "Aborted"):
            raise JobError(
                400, "INVALIDJOBSTATE", f"Invalid state {state!r}: use UploadComplete or Aborted"
            )
        with self.lock:
            allowed = (
                ("Open",) if state == "UploadComplete" else ("Open", "UploadComplete", "InProgress")
            )
            if job.state not in allowed:
                raise JobError(
                    409,
                    "INVALIDJOBSTATE",
                    f"Job {job.id} is {job.state} and cannot be set to {state}",
                )
            job.modstamp = now_text()
            if state == "Aborted":
                self._end_unprocessed(job, "Aborted")
                return
            job.state = "UploadComplete"
            job.forced_state = forced
            job.pending_checks = checks
            if checks == 0:
                self._start(job)

    def delete(self, job: Job) -> None:
        with self.lock:
            if job.state == "Open":
                raise JobError(409, "INVALIDJOBSTATE", f"Job {job.id} is Open: close it first")
            if job.state == "InProgress":
                raise JobError(
                    409,
                    "INVALIDJOBSTATE",
                    f"Job {job.id} is InProgress: abort it or wait for its end",
                )
            # A deleted job that was waiting for processing must not be processed after all.
            job.state = "Deleted"
            job.content = None
            del self.jobs[job.id]

    def results(self, job: Job, part: str) -> bytes:
        self._wait_when_immediate(job)
        with self.lock:
            if part in job.results:
                return zlib.decompress(job.results[part])
            header = zlib.decompress(job.results["header"]) if "header" in job.results else b""
        if part == "unprocessedrecords":
            return header
        first = b"sf__Id,sf__Created" if part == "successfulResults" else b"sf__Id,sf__Error"
        return first + LINE_ENDINGS[job.line_ending].encode()

    # -- processing -------------------------------------------------------------------------

    def _start(self, job: Job) -> None:
        """Starts processing a closed job that is not being processed yet (lock held)."""
        if job.state != "UploadComplete" or job.worker is not None:
            return
        job.worker = threading.Thread(
            target=self._process, args=(job,), name=f"bulk-job-{job.id}", daemon=True
        )
        job.worker.start()

    def _wait_when_immediate(self, job: Job) -> None:
        if self.processing_rate is None and job.worker is not None:
            job.done.wait()

    def _process(self, job: Job) -> None:
        try:
            with self.lock:
                if job.state != "UploadComplete" or self.stopping.is_set():
                    return
                job.state = "InProgress"
                job.started = time.monotonic()
                job.modstamp = now_text()
            started = time.perf_counter()
            self._run(job)
            with self.lock:
                if job.state == "InProgress":
                    job.processing_ms = int((time.perf_counter() - started) * 1000)
                job.modstamp = now_text()
        finally:
            job.done.set()

    def _run(self, job: Job) -> None:
        if job.forced_state is not None:
            with self.lock:
                if job.forced_state == "Failed":
                    job.error_message = "InvalidBatch : The job was set to fail"
                self._end_unprocessed(job, job.forced_state)
            return
        text = (job.content or b"").decode("utf-8")
        try:
            upload = parse_upload(
                text, LINE_ENDINGS[job.line_ending], COLUMN_DELIMITERS[job.column_delimiter]
            )
        except BatchError as error:
            with self.lock:
                job.error_message = str(error)
                self._end_unprocessed(job, "Failed")
            return
        job.record_count = len(upload.records)
        if not self._pace(job):
            return
        try:
            outcome = self._apply(job, upload)
        except BatchError as error:
            with self.lock:
                job.error_message = str(error)
                self._end_unprocessed(job, "Failed")
            return
        with self.lock:
            self._record(job, upload, outcome)

    def _pace(self, job: Job) -> bool:
        """Waits as long as an org at the processing rate would take; False when the job was
        aborted or the server stopped meanwhile."""
        if self.processing_rate:
            deadline = (job.started or time.monotonic()) + job.record_count / self.processing_rate
            while not self.stopping.is_set() and job.state == "InProgress":
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.stopping.wait(min(left, 0.05))
        with self.lock:
            return job.state == "InProgress" and not self.stopping.is_set()

    def _apply(self, job: Job, upload: Upload) -> Outcome:
        skipped = dict(upload.bad_rows)
        for index, message in self.reject(upload.header, upload.records).items():
            skipped.setdefault(index, message)
        items = [(i, record) for i, record in enumerate(upload.records) if i not in skipped]
        outcome = self.store.apply(
            job.object, job.operation, job.external_id_field, upload.header, items
        )
        outcome.failures[:0] = [(index, "", message) for index, message in skipped.items()]
        return outcome

    def _record(self, job: Job, upload: Upload, outcome: Outcome) -> None:
        """Stores the results as the CSV the client downloads, and ends the job (lock held).

        A job aborted while its records were being applied stays Aborted, but its results say
        what was applied: those records are in the org now, as in an org.
        """
        if job.state not in ("InProgress", "Aborted"):
            return
        records, header = upload.records, upload.header
        job.results = {
            "successfulResults": _csv_bytes(
                job,
                [["sf__Id", "sf__Created", *header]]
                + [
                    [key, "true" if created else "false", *records[i]]
                    for i, key, created in outcome.successes
                ],
            ),
            "failedResults": _csv_bytes(
                job,
                [["sf__Id", "sf__Error", *header]]
                + [[key, message, *records[i]] for i, key, message in outcome.failures],
            ),
            "unprocessedrecords": _csv_bytes(job, [header]),
        }
        job.processed = len(outcome.successes) + len(outcome.failures)
        job.failed = len(outcome.failures)
        if job.state == "InProgress":
            job.state = "JobComplete"
        job.content = None

    def _end_unprocessed(self, job: Job, state: str) -> None:
        """Ends the job with every uploaded row unprocessed (lock held)."""
        rows: list[list[str]] = []
        if job.content:
            delimiter = COLUMN_DELIMITERS[job.column_delimiter]
            text = job.content.decode("utf-8")
            try:
                rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
            except csv.Error:
                rows = []
        job.results = {"unprocessedrecords": _csv_bytes(job, rows)}
        if rows:
            job.results["header"] = _csv_bytes(job, rows[:1])
        job.state = state
        job.content = None
        job.done.set()

    def stop(self) -> None:
        """Ends the processing threads; jobs still being processed stay unfinished."""
        self.stopping.set()
        with self.lock:
            workers = [job.worker for job in self.jobs.values() if job.worker is not None]
        for worker in workers:
            worker.join()
