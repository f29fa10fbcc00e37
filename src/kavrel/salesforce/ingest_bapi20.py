"""HTTP calls of Salesforce Bulk API 2.0 ingest jobs, API version 62.0.

Every function takes the caller's `access_info` (`access_token`, `instance_url`) and a job id.
A non-2xx answer raises `BulkApiError`, which carries Salesforce's error code and message.

Requests that only read (the job status and its result files) are retried on connection errors,
timeouts, 429 and 5xx answers, with exponential back-off and jitter, for about a minute; each retry
is logged at WARNING with `extra={"job_id": ...}`. The upload, the close and the abort change the
job, so they are retried only when the request provably never reached the server (the connection
was refused or could not be made in time). Creating a job is not done here and never retried.
"""

from __future__ import annotations

import json
import logging
import random
import time
from collections.abc import Callable
from email.utils import parsedate_to_datetime
from typing import Any
from urllib.parse import quote

import requests
import urllib3

API_VERSION = "62.0"
# Seconds to connect, and to wait for an answer once the request is sent. Salesforce answers an
# upload only after storing it, so the read wait leaves room for a large CSV.
CONNECT_TIMEOUT = 10
READ_TIMEOUT = 120
# Salesforce refuses an upload above 150 MB once base64-encoded, which is about 100 MB of CSV.
MAX_UPLOAD_BYTES = 100_000_000
# Seconds of waiting between tries of one request before giving up, and the back-off's bounds.
RETRY_BUDGET = 60.0
FIRST_RETRY_DELAY = 1.0
LONGEST_RETRY_DELAY = 16.0

logger = logging.getLogger(__name__)


class BulkApiError(requests.HTTPError):
    """A Bulk API answer with a non-2xx status."""

    def __init__(
        self,
        status_code: int,
        error_code: str | None,
        message: str,
        response: requests.Response | None = None,
    ) -> None:
        label = f"{status_code} {error_code}" if error_code else str(status_code)
        super().__init__(f"Bulk API error {label}: {message}", response=response)
        self.status_code = status_code
        self.error_code = error_code
        self.message = message


class UploadTooLarge(ValueError):
    """A job's CSV above the per-upload limit; `size` and `limit` in bytes."""

    def __init__(self, size: int, limit: int) -> None:
        super().__init__(
            f"the CSV for this job is {size:,} bytes, above Salesforce's per-upload limit of "
            f"{limit:,} bytes; load the rows in smaller batches (--batch-size)"
        )
        self.size = size
        self.limit = limit


def check_upload_size(size: int) -> None:
    """Raises `UploadTooLarge` when `size` bytes of CSV are more than one upload may carry."""
    if size > MAX_UPLOAD_BYTES:
        raise UploadTooLarge(size, MAX_UPLOAD_BYTES)


def error_from_response(response: requests.Response) -> BulkApiError:
    """Reads Salesforce's error list (or an OAuth error document) out of a failed answer."""
    error_code: str | None = None
    message = ""
    try:
        document = response.json()
    except ValueError:
        document = None
    if isinstance(document, list) and document and all(isinstance(e, dict) for e in document):
        codes = [str(e["errorCode"]) for e in document if e.get("errorCode") is not None]
        error_code = codes[0] if codes else None
        message = "; ".join(str(e.get("message", "")) for e in document)
    elif isinstance(document, dict):
        code = document.get("errorCode", document.get("error"))
        error_code = None if code is None else str(code)
        message = str(document.get("message", document.get("error_description", "")))
    if not message:
        text = response.content.decode("utf-8", "replace").strip()
        message = text[:500] if text else (response.reason or "no message")
    return BulkApiError(response.status_code, error_code, message, response=response)


def created_job(response: requests.Response) -> dict[str, Any]:
    """The job info of a job-creation answer; `BulkApiError` for an answer that is not a 2xx
    JSON object with an "id"."""
    if not 200 <= response.status_code < 300:
        raise error_from_response(response)
    try:
        document = response.json()
    except ValueError:
        document = None
    if not isinstance(document, dict) or "id" not in document:
        text = response.content.decode("utf-8", "replace").strip()[:500]
        raise BulkApiError(
            response.status_code,
            None,
            f"the job-creation answer names no job: {text!r}",
            response=response,
        )
    return document


def _job_url(access_info: dict[str, Any], job_id: str, tail: str = "") -> str:
    instance_url = str(access_info["instance_url"]).rstrip("/")
    return (
        f"{instance_url}/services/data/v{API_VERSION}/jobs/ingest/{quote(str(job_id), safe='')}"
        + tail
    )


def _request(
    method: str,
    access_info: dict[str, Any],
    url: str,
    *,
    data: bytes | None = None,
    content_type: str | None = None,
    accept: str = "application/json",
) -> requests.Response:
    headers = {"Authorization": f"Bearer {access_info['access_token']}", "Accept": accept}
    if content_type is not None:
        headers["Content-Type"] = content_type
    response = requests.request(
        method, url, headers=headers, data=data, timeout=(CONNECT_TIMEOUT, READ_TIMEOUT)
    )
    if not 200 <= response.status_code < 300:
        raise error_from_response(response)
    return response


def never_reached_server(error: BaseException) -> bool:
    """True when the request could not have been received: the connection was refused or not
    made in time. A dropped connection or a read timeout may follow a request that was acted on."""
    if isinstance(error, requests.ConnectTimeout):
        return True
    if not isinstance(error, requests.ConnectionError):
        return False
    cause = error.args[0] if error.args else None
    reason = getattr(cause, "reason", cause)
    return isinstance(reason, urllib3.exceptions.NewConnectionError | ConnectionRefusedError)


def _transient(error: Exception) -> bool:
    """A failure of a read that is worth trying again."""
    if isinstance(error, requests.ConnectionError | requests.Timeout):
        return True
    status = getattr(error, "status_code", None)
    return isinstance(error, BulkApiError) and (status == 429 or 500 <= status <= 599)


def _retry_after(error: Exception) -> float | None:
    """The wait a 429 or 503 answer asks for in its Retry-After header, in seconds."""
    response = getattr(error, "response", None)
    value = None if response is None else response.headers.get("Retry-After")
    if not value:
        return None
    try:
        return max(0.0, float(value))
    except ValueError:
        pass
    try:
        return max(0.0, parsedate_to_datetime(value).timestamp() - time.time())
    except (TypeError, ValueError, OverflowError):
        return None


def _with_retries(
    job_id: str, what: str, send: Callable[[], requests.Response], may_retry: Callable
) -> requests.Response:
    """Sends a request, again after a pause for as long as `may_retry(error)` and the budget
    allow; the last error is raised as it came."""
    # Counted both ways: the pauses asked for, and the time gone (a try can itself take long).
    started = time.monotonic()
    waited = 0.0
    attempt = 0
    while True:
        try:
            return send()
        except Exception as error:
            delay = min(LONGEST_RETRY_DELAY, FIRST_RETRY_DELAY * 2**attempt)
            delay *= random.uniform(0.5, 1.0)
            asked = _retry_after(error)
            if asked is not None:  # never sooner than the server asks, nor at once
                delay = max(delay, asked)
            spent = max(waited, time.monotonic() - started)
            if not may_retry(error) or spent + delay > RETRY_BUDGET:
                raise
            attempt += 1
            waited += delay
            logger.warning(
                "%s of job %s failed (%s); trying again in %.1f s",
                what, job_id, str(error) or type(error).__name__, delay, extra={"job_id": job_id},
            )  # fmt: skip
            time.sleep(delay)


def send_file(access_info: dict[str, Any], job_id: str, csv_text: str) -> None:
    """Uploads the job's CSV text (UTF-8); a job takes one upload. `UploadTooLarge` before any
    request when the text is above `MAX_UPLOAD_BYTES`."""
    data = csv_text.encode("utf-8")
    check_upload_size(len(data))
    url = _job_url(access_info, job_id, "/batches")
    _with_retries(
        job_id,
        "The upload",
        lambda: _request("PUT", access_info, url, data=data, content_type="text/csv"),
        never_reached_server,
    )


def _set_state(access_info: dict[str, Any], job_id: str, state: str, what: str) -> dict[str, Any]:
    body = json.dumps({"state": state}).encode("utf-8")
    url = _job_url(access_info, job_id)
    response = _with_retries(
        job_id,
        what,
        lambda: _request(
            "PATCH", access_info, url, data=body, content_type="application/json; charset=UTF-8"
        ),
        never_reached_server,
    )
    return response.json()


def job_close(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Marks the upload complete so that Salesforce processes the job; the job info."""
    return _set_state(access_info, job_id, "UploadComplete", "The close")


def job_abort(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Aborts a job that is Open (or closed but not yet processing); the job info."""
    return _set_state(access_info, job_id, "Aborted", "The abort")


def _read(access_info: dict[str, Any], job_id: str, url: str, what: str, **options: Any):
    return _with_retries(
        job_id, what, lambda: _request("GET", access_info, url, **options), _transient
    )


def job_status(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """The job info, with "state", "numberRecordsProcessed" and "numberRecordsFailed"."""
    return _read(access_info, job_id, _job_url(access_info, job_id), "Reading the status").json()


def _results(access_info: dict[str, Any], job_id: str, kind: str) -> str:
    url = _job_url(access_info, job_id, f"/{kind}/")
    response = _read(access_info, job_id, url, f"Reading the {kind}", accept="text/csv")
    # requests would read text/csv without a charset as Latin-1; the results are UTF-8.
    return response.content.decode("utf-8")


def successful_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records the job applied: sf__Id, sf__Created, then the uploaded fields."""
    return _results(access_info, job_id, "successfulResults")


def failed_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records that failed: sf__Id, sf__Error, then the uploaded fields."""
    return _results(access_info, job_id, "failedResults")


def unprocessed_records(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the uploaded records the job never processed."""
    return _results(access_info, job_id, "unprocessedrecords")


# --- looking after jobs once they run: list -----------------------------------------------------

# A list of ingest jobs comes in pages; past this many pages the rest is left unread.
MAX_LIST_PAGES = 50


def job_list(access_info: dict[str, Any]) -> list[dict[str, Any]]:
    """The org's ingest jobs as Salesforce lists them, every page up to MAX_LIST_PAGES."""
    instance_url = str(access_info["instance_url"]).rstrip("/")
    url = f"{instance_url}/services/data/v{API_VERSION}/jobs/ingest/"
    jobs: list[dict[str, Any]] = []
    for _ in range(MAX_LIST_PAGES):
        page = _request("GET", access_info, url).json()
        jobs.extend(record for record in page.get("records") or [] if isinstance(record, dict))
        next_url = page.get("nextRecordsUrl")
        if page.get("done", True) or not next_url:
            break
        # The next page is named by a path on the same instance, never by another host.
        url = instance_url + "/" + str(next_url).lstrip("/")
    return jobs
