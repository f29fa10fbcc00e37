"""HTTP calls of Salesforce Bulk API 2.0 ingest jobs, API version 62.0.

Every function takes the caller's `access_info` (`access_token`, `instance_url`) and a job id.
A non-2xx answer raises `BulkApiError`, which carries Salesforce's error code and message.
"""

from __future__ import annotations

import json
from typing import Any
from urllib.parse import quote

import requests

API_VERSION = "62.0"
# Seconds to connect, and to wait for an answer once the request is sent. Salesforce answers an
# upload only after storing it, so the read wait leaves room for a large CSV.
CONNECT_TIMEOUT = 10
READ_TIMEOUT = 120


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


def _error_from(response: requests.Response) -> BulkApiError:
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
        raise _error_from(response)
    return response


def send_file(access_info: dict[str, Any], job_id: str, csv_text: str) -> None:
    """Uploads the job's CSV text (UTF-8); a job takes one upload."""
    _request(
        "PUT",
        access_info,
        _job_url(access_info, job_id, "/batches"),
        data=csv_text.encode("utf-8"),
        content_type="text/csv",
    )


def job_close(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Marks the upload complete so that Salesforce processes the job; the job info."""
    body = json.dumps({"state": "UploadComplete"}).encode("utf-8")
    response = _request(
        "PATCH",
        access_info,
        _job_url(access_info, job_id),
        data=body,
        content_type="application/json; charset=UTF-8",
    )
    return response.json()


def job_status(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """The job info, with "state", "numberRecordsProcessed" and "numberRecordsFailed"."""
    return _request("GET", access_info, _job_url(access_info, job_id)).json()


def _results(access_info: dict[str, Any], job_id: str, kind: str) -> str:
    response = _request(
        "GET", access_info, _job_url(access_info, job_id, f"/{kind}/"), accept="text/csv"
    )
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


# --- looking after jobs once they run: abort, list -----------------------------------------------

# A list of ingest jobs comes in pages; past this many pages the rest is left unread.
MAX_LIST_PAGES = 50


def job_abort(access_info: dict[str, Any], job_id: str) -> dict[str, Any]:
    """Asks Salesforce to abort an open or uploaded job; the job info. Salesforce refuses a job
    that has already ended (BulkApiError)."""
    body = json.dumps({"state": "Aborted"}).encode("utf-8")
    response = _request(
        "PATCH",
        access_info,
        _job_url(access_info, job_id),
        data=body,
        content_type="application/json; charset=UTF-8",
    )
    return response.json()


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
