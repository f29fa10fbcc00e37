"""HTTP calls of Salesforce Bulk API 2.0 ingest jobs, API version 62.0 unless the caller's
`access_info` names another as its "api_version" (such as "63.0"), and the two reads a load's
preflight makes of the org: an object's description and the org's limits.

Every function takes the caller's `access_info` (`access_token`, `instance_url`) and a job id.
A non-2xx answer raises `BulkApiError`, which carries Salesforce's error code and message. Every
request goes to a URL built on the instance URL that `urls.on_instance` checked, the token never
leaves for another host, and no redirect is followed.

Requests that only read (the job status, its result files, the job list) are retried on connection
errors, answers cut short, timeouts, 429 and 5xx answers, with exponential back-off and jitter, for
about a minute; each retry is logged at WARNING with `extra={"job_id": ...}`. The abort is retried
the same way, since aborting twice does no harm. The upload and the close change the job, so they
are retried only when the request provably never reached the server (the connection was refused or
could not be made in time). Creating a job is not done here and never retried; when its answer is
lost, `may_have_created_job` and `find_open_jobs` tell whether it may exist and which it may be.
"""

from __future__ import annotations

import http.client
import json
import logging
import random
import re
import time
from collections.abc import Callable, Mapping
from datetime import datetime
from email.utils import parsedate_to_datetime
from typing import Any, TypeVar
from urllib.parse import quote

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


def _job_path(access_info: Mapping[str, Any], job_id: str, tail: str = "") -> str:
    return f"{ingest_path(access_info)}{quote(str(job_id), safe='')}{tail}"


def _request(
    method: str,
    access_info: dict[str, Any],
    path: str,
    *,
    data: bytes | None = None,
    content_type: str | None = None,
    accept: str = "application/json",
) -> requests.Response:
    """Sends the request for `path` on the org's instance, with the access token; the instance
    URL is checked on every call (`urls.on_instance`), and no redirect is followed."""
    url = urls.on_instance(access_info["instance_url"], path)
    headers = {"Authorization": f"Bearer {access_info['access_token']}", "Accept": accept}
    if content_type is not None:
        headers["Content-Type"] = content_type
    response = requests.request(
        method,
        url,
        headers=headers,
        data=data,
        timeout=(CONNECT_TIMEOUT, READ_TIMEOUT),
        allow_redirects=False,
    )
    if not 200 <= response.status_code < 300:
        raise error_from_response(response)
    return response


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


def _transient(error: Exception) -> bool:
    """A failure of a read that is worth trying again. A 2xx answer whose JSON does not parse
    was cut short too."""
    if isinstance(error, (requests.ConnectionError, requests.Timeout, *_TRUNCATED)):
        return True
    if isinstance(error, requests.JSONDecodeError):
        return True
    if not isinstance(error, BulkApiError):
        return False
    return error.status_code == 429 or 500 <= error.status_code <= 599


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


T = TypeVar("T")


def _with_retries(
    job_id: str | None, what: str, send: Callable[[], T], may_retry: Callable[[Exception], bool]
) -> T:
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
            subject = what if job_id is None else f"{what} of job {job_id}"
            logger.warning(
                "%s failed (%s); trying again in %.1f s",
                subject, str(error) or type(error).__name__, delay, extra={"job_id": job_id},
            )  # fmt: skip
            time.sleep(delay)


def send_file(access_info: dict[str, Any], job_id: str, csv_text: str) -> None:
    """Uploads the job's CSV text (UTF-8); a job takes one upload. `UploadTooLarge` before any
    request when the text is above `MAX_UPLOAD_BYTES`."""
    data = csv_text.encode("utf-8")
    check_upload_size(len(data))
    path = _job_path(access_info, job_id, "/batches")
    _with_retries(
        job_id,
        "The upload",
        lambda: _request("PUT", access_info, path, data=data, content_type="text/csv"),
        never_reached_server,
    )


def _state_change(access_info: dict[str, Any], job_id: str, state: str) -> Callable[[], Any]:
    body = json.dumps({"state": state}).encode("utf-8")
    path = _job_path(access_info, job_id)
    content_type = "application/json; charset=UTF-8"
    return lambda: _request("PATCH", access_info, path, data=body, content_type=content_type)


def job_close(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Marks the upload complete so that Salesforce processes the job; the job info."""
    send = _state_change(access_info, job_id, "UploadComplete")
    return _with_retries(job_id, "The close", send, never_reached_server).json()


def job_abort(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Aborts a job that is Open (or closed but not yet processing); the job info.

    Retried as the reads are: aborting twice does no harm. When a later try is refused (the
    first was applied, its answer lost), the job's state decides: an Aborted job is the answer.
    """
    change = _state_change(access_info, job_id, "Aborted")
    tries = 0

    def send() -> requests.Response:
        nonlocal tries
        tries += 1
        return change()

    try:
        return _with_retries(job_id, "The abort", send, _transient).json()
    except BulkApiError as error:
        if tries == 1 or not 400 <= error.status_code < 500:
            raise
        info = job_status(access_info, job_id)
        if info.get("state") != "Aborted":
            raise
        return info


def _read(
    access_info: dict[str, Any],
    job_id: str | None,
    path: str,
    what: str,
    parse: Callable[[requests.Response], T],
    **options: Any,
) -> T:
    """A read, retried on transient failures; `parse` runs inside each try, so an answer cut
    short is read again."""
    return _with_retries(
        job_id, what, lambda: parse(_request("GET", access_info, path, **options)), _transient
    )


def _json(response: requests.Response) -> Any:
    return response.json()


def job_status(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """The job info, with "state", "numberRecordsProcessed" and "numberRecordsFailed"."""
    return _read(access_info, job_id, _job_path(access_info, job_id), "Reading the status", _json)


def _utf8_text(response: requests.Response) -> str:
    # requests would read text/csv without a charset as Latin-1; the results are UTF-8.
    return response.content.decode("utf-8")


def _results(access_info: dict[str, Any], job_id: str, kind: str) -> str:
    path = _job_path(access_info, job_id, f"/{kind}/")
    return _read(access_info, job_id, path, f"Reading the {kind}", _utf8_text, accept="text/csv")


def successful_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records the job applied: sf__Id, sf__Created, then the uploaded fields."""
    return _results(access_info, job_id, "successfulResults")


def failed_results(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the records that failed: sf__Id, sf__Error, then the uploaded fields."""
    return _results(access_info, job_id, "failedResults")


def unprocessed_records(access_info: dict[str, Any], job_id: str) -> str:
    """CSV text of the uploaded records the job never processed."""
    return _results(access_info, job_id, "unprocessedrecords")


# --- what the org says of itself: an object's description, its limits ------------------------


def describe_sobject(access_info: dict[str, Any], sobject: str) -> dict[str, Any]:
    """The object's description (its fields, their types, lengths, picklists, what may be set), as
    `GET .../sobjects/OBJECT/describe` answers it; an object the org does not have is a
    `BulkApiError` with status 404."""
    path = f"{data_path(access_info)}sobjects/{quote(sobject, safe='')}/describe/"
    return _read(access_info, None, path, f"Describing {sobject}", _json)


def org_limits(access_info: dict[str, Any]) -> dict[str, Any]:
    """The org's allocations as `GET .../limits` answers them: each by name ("DailyBulkApiBatches",
    ...) with its "Max" and what "Remaining" of it over a rolling 24 hours. Needs the user's "View
    Setup and Configuration" permission."""
    return _read(access_info, None, f"{data_path(access_info)}limits/", "Reading the limits", _json)


# --- looking after jobs once they run: list -----------------------------------------------------

# A list of ingest jobs comes in pages; past this many pages the rest is left unread.
MAX_LIST_PAGES = 50


def _job_pages(access_info: dict[str, Any]) -> tuple[list[dict[str, Any]], bool]:
    """The org's ingest jobs, every page up to MAX_LIST_PAGES, and whether that was all."""
    path = ingest_path(access_info)
    jobs: list[dict[str, Any]] = []
    for _ in range(MAX_LIST_PAGES):
        page = _read(access_info, None, path, "Listing the jobs", _json)
        jobs.extend(record for record in page.get("records") or [] if isinstance(record, dict))
        next_url = page.get("nextRecordsUrl")
        if page.get("done", True) or not next_url:
            return jobs, True
        # The next page is named by a path on the same instance, never by another host.
        path = "/" + str(next_url).lstrip("/")
    return jobs, False


def job_list(access_info: dict[str, Any]) -> list[dict[str, Any]]:
    """The org's ingest jobs as Salesforce lists them, every page up to MAX_LIST_PAGES."""
    return _job_pages(access_info)[0]


# --- a job whose creation answer was lost -------------------------------------------------------

# Seconds a job's createdDate may lie before the `since` of the request that created it: the
# org's clock and this machine's need not agree to the second.
CLOCK_SKEW = 120.0


def current_user_id(access_info: dict[str, Any]) -> str:
    """The id of the user the access token acts for: the `user_id` of `access_info` (which a
    login through kavrel.salesforce.oauth records), else the org's answer to a userinfo read."""
    known = access_info.get("user_id")
    if known:
        return str(known)
    document = _read(access_info, None, USERINFO_PATH, "Reading the current user", _json)
    user_id = document.get("user_id") if isinstance(document, dict) else None
    if not user_id:
        raise BulkApiError(200, None, "the userinfo answer names no user_id")
    return str(user_id)


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
    user_id = current_user_id(access_info)
    jobs, complete = _job_pages(access_info)
    if not complete:
        raise RuntimeError(
            f"the org lists more than {MAX_LIST_PAGES} pages of ingest jobs; "
            "the newest were not read"
        )
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
