"""Ingest jobs: their documents, their states, and what a client may do with them.

Open → (upload, close) → UploadComplete → InProgress → JobComplete, Failed or Aborted. Closing
answers at once; each closed job is then processed on its own thread (see `processing`), so jobs
run side by side as in an org. Without a processing rate, a status check or a results request of
a job being processed waits until it ends, so one check after the close sees the end state.
"""

from __future__ import annotations

import secrets
import threading
import time
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import IO, Any

from kavrel.salesforce.records.ids import JOB_KEY_PREFIX, base36, make_ids, to_id18
from kavrel.salesforce.records.schema import is_api_name

from .limits import Allocation
from .processing import TERMINAL_STATES, Processor, Rejecter
from .results import ResultStore
from .store import ObjectStore, UnknownObject
from .upload import COLUMN_DELIMITERS, LINE_ENDINGS, spool_upload

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
PAGE_SIZE = 1000
# Clients spell the unprocessed records both ways; Salesforce answers both.
RESULT_PARTS = {
    "successfulResults": "successfulResults",
    "failedResults": "failedResults",
    "unprocessedrecords": "unprocessedrecords",
    "unprocessedRecords": "unprocessedrecords",
}


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
    assignment_rule_id: str | None = None
    state: str = "Open"
    modstamp: str = ""
    upload: IO[bytes] | None = None
    pending_checks: int = 0
    forced_state: str | None = None
    fail_after: int | None = None
    error_message: str | None = None
    started: float | None = None
    waited: float = 0.0
    total_ms: int = 0
    api_ms: int = 0
    record_count: int = 0
    processed: int = 0
    failed: int = 0
    done: threading.Event = field(default_factory=threading.Event)
    worker: threading.Thread | None = None

    def modstamp_now(self) -> None:
        self.modstamp = now_text()


def _invalid_job(message: str) -> JobError:
    return JobError(400, "INVALIDJOB", f"InvalidJob : {message}")


class JobBook:
    """Every job of the server, and what clients do with them."""

    def __init__(
        self,
        store: ObjectStore,
        lock: threading.RLock,
        reject: Rejecter,
        processing_rate: float | None = None,
        batches: Allocation | None = None,
    ) -> None:
        self.store = store
        self.lock = lock
        self.results = ResultStore()
        self.processor = Processor(store, self.results, lock, reject, processing_rate, batches)
        self.jobs: dict[str, Job] = {}
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
        rule = document.get("assignmentRuleId")
        if rule is not None and (not isinstance(rule, str) or to_id18(rule) is None):
            raise _invalid_job(f"Invalid assignmentRuleId {rule!r}: use the rule's Id")
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
                assignment_rule_id=rule,
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
        if job.assignment_rule_id is not None:
            document["assignmentRuleId"] = job.assignment_rule_id
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
            self.processor.start(job)
        self.processor.wait_when_immediate(job)
        with self.lock:
            return self._status_document(job, None)

    def _status_document(self, job: Job, state: str | None) -> dict[str, Any]:
        document = self.info(job, state)
        done = state is None and job.state in TERMINAL_STATES
        total_ms, api_ms = (job.total_ms, job.api_ms) if done else self._times_so_far(job)
        document["jobType"] = "V2Ingest"
        document["numberRecordsProcessed"] = job.processed if done else self.processor.progress(job)
        document["numberRecordsFailed"] = job.failed
        document["retries"] = 0
        document["totalProcessingTime"] = total_ms
        document["apiActiveProcessingTime"] = api_ms
        document["apexProcessingTime"] = 0
        if job.error_message is not None:
            document["errorMessage"] = job.error_message
        return document

    @staticmethod
    def _times_so_far(job: Job) -> tuple[int, int]:
        if job.state != "InProgress" or job.started is None:
            return job.total_ms, job.api_ms
        elapsed = time.monotonic() - job.started
        return int(elapsed * 1000), int(max(elapsed - job.waited, 0) * 1000)

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
                "concurrencyMode": ("Parallel", "parallel", "Serial", "serial"),
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
                and wanted["concurrencyMode"] in (None, "Parallel", "parallel")
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
            self._check_uploadable(job)
        if content_type.split(";")[0].strip().lower() != "text/csv":
            raise JobError(
                400, "INVALIDCONTENTTYPE", f"Content-Type must be text/csv, not {content_type!r}"
            )
        # Spooled outside the lock: a large upload takes a while to write.
        try:
            upload = spool_upload(body)
        except UnicodeDecodeError as error:
            raise JobError(400, "INVALIDBATCH", f"The upload is not UTF-8 text: {error}") from None
        with self.lock:
            try:
                self._check_uploadable(job)
            except JobError:
                upload.close()
                raise
            job.upload = upload
            job.modstamp_now()

    @staticmethod
    def _check_uploadable(job: Job) -> None:
        """JobError unless the job is Open and holds no upload yet (lock held)."""
        if job.state != "Open":
            raise JobError(
                409, "INVALIDJOBSTATE", f"Found a job in state: {job.state}, expected state: Open"
            )
        if job.upload is not None:
            raise JobError(
                400,
                "BULK_API_ERROR",
                f"Found multiple contents for job: <{job.id}>, please 'Close' / 'Abort' / "
                "'Delete' the current Job then create a new Job and make sure you only do "
                "'PUT' once on a given Job.",
            )

    def change_state(
        self, job: Job, state: Any, forced: str | None, checks: int, fail_after: int | None = None
    ) -> None:
        """Closes or aborts the job; `forced` is the end state it is told to take instead of
        being processed, `checks` how many status checks it answers InProgress first,
        `fail_after` after how many records it is told to fail."""
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
            job.modstamp_now()
            if state == "Aborted":
                # A job being processed stops after its current chunk, and ends itself.
                started = job.state == "InProgress"
                job.state = "Aborted"
                if started:
                    return
                upload, job.upload = job.upload, None
            else:
                job.state = "UploadComplete"
                job.forced_state = forced
                job.fail_after = fail_after
                job.pending_checks = checks
                if checks == 0:
                    self.processor.start(job)
                return
        self.processor.end_unprocessed(job, upload)

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
            aborted_while_processed = job.started is not None
            job.state = "Deleted"
            # The upload of a job that started is its processing's to close.
            if job.upload is not None and not aborted_while_processed:
                job.upload.close()
            job.upload = None
            del self.jobs[job.id]
        if aborted_while_processed:
            job.done.wait()  # it writes its last results as it stops
        self.results.drop(job.id)

    def results_of(self, job: Job, part: str) -> bytes:
        with self.lock:
            ended = job.state in TERMINAL_STATES
        if ended:
            job.done.wait()
        else:
            self.processor.wait_when_immediate(job)
        text = self.results.read(job.id, part)
        if text is not None:
            return text
        if part == "unprocessedrecords":
            return b""
        first = b"sf__Id,sf__Created" if part == "successfulResults" else b"sf__Id,sf__Error"
        return first + LINE_ENDINGS[job.line_ending].encode()

    def stop(self) -> None:
        """Ends the processing threads; jobs still being processed stay unfinished. Their
        results go with the server."""
        self.processor.stopping.set()
        with self.lock:
            workers = [job.worker for job in self.jobs.values() if job.worker is not None]
        for worker in workers:
            worker.join()
        with self.lock:
            for job in self.jobs.values():
                if job.upload is not None:
                    job.upload.close()
        self.results.close()
