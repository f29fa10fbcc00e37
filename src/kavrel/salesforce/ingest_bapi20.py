"""Salesforce Bulk API 2.0 ingest jobs: the API's facts (its version, paths, timeouts, upload
limit), its errors and how to read them out of an answer, and the module functions that the load
operations' contract names (`send_file`, `job_close`, `job_status`, with `job_abort`, the result
reads, the job list and the lookup of a lost creation's job beside them).

Each module function takes the caller's `access_info` (`access_token`, `instance_url`, and
"api_version" such as "63.0" when not 62.0) first and makes one request through a
`kavrel.salesforce.bulk_client.BulkApiClient` made for the call, with that client's checks (the
instance URL checked, no redirect followed) and retry policy. A load or a job command keeps one
client for all its requests instead, so its connections are kept alive. A non-2xx answer raises
`BulkApiError`, which carries Salesforce's error code and message.
"""

from __future__ import annotations

import http.client
import re
from collections.abc import Callable, Mapping
from datetime import datetime
from typing import Any, TypeVar

import requests
import urllib3

from kavrel.salesforce import urls

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


class SessionLost(BulkApiError):
    """The org ended the session and no working token could be had (`reason` says why): every
    later request would be refused too."""

    def __init__(self, refused: BulkApiError, reason: str) -> None:
        super().__init__(refused.status_code, refused.error_code, refused.message,
                         response=refused.response)  # fmt: skip
        self.reason = reason


class UploadTooLarge(ValueError):
    """A job's CSV above the per-upload limit; `size` and `limit` in bytes."""

    def __init__(self, size: int, limit: int) -> None:
        super().__init__(
            f"the CSV for this job is {size:,} bytes, above Salesforce's per-upload limit of "
            f"{limit:,} bytes; load the rows in smaller batches (--batch-size)"
        )
        self.size = size
        self.limit = limit


def session_expired(error: BaseException) -> bool:
    """Whether Salesforce refused a request because its access token no longer works (401, as
    INVALID_SESSION_ID): the session timed out, or was ended. Such a request was not acted on, so
    it may be sent again with a new token."""
    return isinstance(error, BulkApiError) and error.status_code == 401


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
        text = _body_text(response)
        message = text[:500] if text else _status_phrase(response.status_code)
    return BulkApiError(response.status_code, error_code, message, response=response)


# A caller's HTTP client may hand over any response that has `status_code`, `text` and `json()`,
# the parts every client documents: the errors are read from those alone.
def _body_text(response: requests.Response) -> str:
    return (response.text or "").strip()


def _status_phrase(status_code: int) -> str:
    """What an answer with no body says: the status's standard phrase, as a server sends it."""
    try:
        return http.HTTPStatus(status_code).phrase
    except ValueError:
        return "no message"


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
        text = _body_text(response)[:500]
        raise BulkApiError(
            response.status_code,
            None,
            f"the job-creation answer names no job: {text!r}",
            response=response,
        )
    return document


# The states a job ends in, and those in which the org holds its data whole and processes it.
FINISHED_STATES = ("JobComplete", "Failed", "Aborted")
PROCESSING_STATES = ("UploadComplete", "InProgress")

INGEST_PATH = f"/services/data/v{API_VERSION}/jobs/ingest/"
USERINFO_PATH = "/services/oauth2/userinfo"
_VERSION = re.compile(r"[1-9][0-9]*\.[0-9]")


def data_path(access_info: Mapping[str, Any]) -> str:
    """The REST API's path for the API version that `access_info` names as "api_version"
    (API_VERSION when it names none)."""
    version = access_info.get("api_version") or API_VERSION
    if not isinstance(version, str) or not _VERSION.fullmatch(version):
        raise ValueError(f"the API version must be written like {API_VERSION}, not {version!r}")
    return f"/services/data/v{version}/"


def ingest_path(access_info: Mapping[str, Any]) -> str:
    """The ingest jobs' path at the API version of `access_info` (see `data_path`). The load
    runner creates its jobs on it too."""
    return data_path(access_info) + "jobs/ingest/"


# What a truncated answer raises, read by requests or straight from urllib3: the request was
# received, and reading it again is as safe as after a dropped connection.
_TRUNCATED = (
    requests.exceptions.ChunkedEncodingError,
    urllib3.exceptions.ProtocolError,
    http.client.IncompleteRead,
)


# Errors requests raises while preparing a request, before anything is sent.
_NEVER_SENT = (
    requests.exceptions.URLRequired,
    requests.exceptions.MissingSchema,
    requests.exceptions.InvalidSchema,
    requests.exceptions.InvalidURL,
    requests.exceptions.InvalidHeader,
)


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


def may_have_created_job(error: BaseException) -> bool:
    """Whether a job-creation request that ended in `error` may still have created a job, so that
    the org's open jobs are worth looking up (`find_open_jobs`).

    False when the request never left (a URL refused by the check, a connection refused or not
    made in time) or Salesforce refused it with a 4xx answer. True for everything else: an answer
    lost to a reset, a timeout or a truncation, a 5xx (a gateway may answer so after the job
    exists), a 2xx that names no job, and an interrupt (Ctrl-C, SIGTERM) while it was in flight.
    """
    if isinstance(error, (urls.UnsafeUrl, *_NEVER_SENT)) or never_reached_server(error):
        return False
    if isinstance(error, BulkApiError):
        return not 400 <= error.status_code < 500
    return isinstance(error, (requests.RequestException, KeyboardInterrupt, *_TRUNCATED))


def transient(error: Exception) -> bool:
    """A failure of a read that is worth trying again. A 2xx answer whose JSON does not parse
    was cut short too."""
    if isinstance(error, (requests.ConnectionError, requests.Timeout, *_TRUNCATED)):
        return True
    if isinstance(error, requests.JSONDecodeError):
        return True
    if not isinstance(error, BulkApiError):
        return False
    return error.status_code == 429 or 500 <= error.status_code <= 599


T = TypeVar("T")


def _client(access_info: Mapping[str, Any]) -> Any:
    from kavrel.salesforce.bulk_client import BulkApiClient

    return BulkApiClient(access_info, connections=1)


def _one_request(access_info: Mapping[str, Any], call: Callable[[Any], T]) -> T:
    client = _client(access_info)
    try:
        return call(client)
    finally:
        client.close()


def send_file(access_info: dict[str, Any], job_id: str, csv_text: str) -> None:
    """Uploads the job's CSV text (UTF-8); a job takes one upload. `UploadTooLarge` before any
    request when the text is above `MAX_UPLOAD_BYTES`. Tried again only when the request never
    reached the server."""
    _one_request(access_info, lambda client: client.send_file(job_id, csv_text))


def job_close(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Marks the upload complete so that Salesforce processes the job; the job info."""
    return _one_request(access_info, lambda client: client.job_close(job_id))


def job_abort(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Aborts a job that is Open (or closed but not yet processing); the job info. Tried again as
    the reads are: a later try refused for a job the first one aborted answers its info."""
    return _one_request(access_info, lambda client: client.job_abort(job_id))


def job_status(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """The job info, with "state", "numberRecordsProcessed" and "numberRecordsFailed"."""
    return _one_request(access_info, lambda client: client.job_status(job_id))


def successful_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records the job applied: sf__Id, sf__Created, then the uploaded fields."""
    return _one_request(access_info, lambda client: client.successful_results(job_id))


def failed_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records that failed: sf__Id, sf__Error, then the uploaded fields."""
    return _one_request(access_info, lambda client: client.failed_results(job_id))


def unprocessed_records(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the uploaded records the job never processed."""
    return _one_request(access_info, lambda client: client.unprocessed_records(job_id))


def describe_sobject(access_info: dict[str, Any], sobject: str) -> dict[str, Any]:
    """The object's description (its fields, their types, lengths, picklists, what may be set), as
    `GET .../sobjects/OBJECT/describe` answers it; an object the org does not have is a
    `BulkApiError` with status 404."""
    return _one_request(access_info, lambda client: client.describe_sobject(sobject))


def org_limits(access_info: dict[str, Any]) -> dict[str, Any]:
    """The org's allocations as `GET .../limits` answers them: each by name ("DailyBulkApiBatches",
    ...) with its "Max" and what "Remaining" of it over a rolling 24 hours. Needs the user's "View
    Setup and Configuration" permission."""
    return _one_request(access_info, lambda client: client.org_limits())


# A list of ingest jobs comes in pages; past this many pages the rest is left unread.
MAX_LIST_PAGES = 50


def job_list(access_info: dict[str, Any]) -> list[dict[str, Any]]:
    """The org's ingest jobs as Salesforce lists them, every page up to MAX_LIST_PAGES."""
    return _one_request(access_info, lambda client: client.job_list())


# --- a job whose creation answer was lost -------------------------------------------------------

# Seconds a job's createdDate may lie before the `since` of the request that created it: the
# org's clock and this machine's need not agree to the second.
CLOCK_SKEW = 120.0


def current_user_id(access_info: dict[str, Any]) -> str:
    """The id of the user the access token acts for: the `user_id` of `access_info` (which a
    login through kavrel.salesforce.oauth records), else the org's answer to a userinfo read."""
    return _one_request(access_info, lambda client: client.current_user_id())


def _same_record_id(a: Any, b: Any) -> bool:
    # Ids come in a 15-character form and an 18-character one with a case checksum.
    return isinstance(a, str) and isinstance(b, str) and a[:15] == b[:15] and len(a) >= 15


def _created_at(job: dict[str, Any]) -> float | None:
    try:
        return datetime.fromisoformat(str(job.get("createdDate"))).timestamp()
    except ValueError:
        return None


def find_open_jobs(
    access_info: dict[str, Any], sobject: str, operation: str, since: float
) -> list[dict[str, Any]]:
    """The org's Open ingest jobs of this user, on `sobject` with `operation`, created at or after
    `since` (a POSIX time in seconds, taken before the creation request whose answer was lost),
    oldest first, as the job list gives them (each with its "id").

    Every job it returns may be the lost one, or another job of the same user started meanwhile
    (another slice of a parallel load, another run): a caller leaves out the jobs it knows.
    Raises when the user or the whole list cannot be read, so that an empty result always means
    that no such job exists.
    """
    return _one_request(
        access_info, lambda client: client.find_open_jobs(sobject, operation, since)
    )


def open_jobs_among(
    jobs: list[dict[str, Any]], user_id: str, sobject: str, operation: str, since: float
) -> list[dict[str, Any]]:
    """Of `jobs` (as the job list gives them), the Open ones of `user_id` on `sobject` with
    `operation` created at or after `since` (less CLOCK_SKEW), oldest first."""
    found = []
    for job in jobs:
        created = _created_at(job)
        if (
            job.get("state") == "Open"
            and str(job.get("object", "")).lower() == sobject.lower()
            and job.get("operation") == operation
            and _same_record_id(job.get("createdById"), user_id)
            and created is not None
            and created >= since - CLOCK_SKEW
        ):
            found.append((created, job))
    return [job for _, job in sorted(found, key=lambda pair: pair[0])]
