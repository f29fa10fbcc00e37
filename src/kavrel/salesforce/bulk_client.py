"""The Bulk API client: one object for everything a load or a job command asks of an org.

A `BulkApiClient` holds what talking to one org takes: a `requests.Session` (a pool of
kept-alive connections, so each request after the first skips the TCP and TLS handshakes), the
access info and its renewal, the retry policy of each kind of request, and the instance URL,
checked on every request (`urls.on_instance`: the token never leaves for another host, and no
redirect is followed). Its methods are the Bulk API's requests, from a job's creation to its
result files; `kavrel.salesforce.ingest_bapi20`'s module functions are thin functions over a
client made for the one call.

When the org refuses a request because the session ended (401 INVALID_SESSION_ID), the client
logs in again with its `renew` (a function returning a new access info) and sends the request
once more: a refused request did nothing, so not even a creation goes twice. When that cannot be
done the request raises `SessionLost`, saying why, and every later request would be refused too.

What each kind of request may be tried again on (`RetryPolicy`): the reads (a job's status, its
result files, the job list, the user, an object's description, the limits) and the abort on
dropped connections, answers cut short, timeouts, 429 and 5xx answers, with exponential back-off
and jitter for about a minute; the upload and the close only when the request provably never
reached the server; a creation never (a creation that may have made a job is the runner's to
look up). Each try again is logged at WARNING with `extra={"job_id": ...}`.

`ModuleClient` gives the same methods over a module-shaped client: functions taking the access
info first (`send_file`, `job_close`, `job_status`, and when it has them `job_abort` and the
result reads), as the load operations' contract describes `ingest_bapi20`; what it lacks
(creating a job, the job list) a client of its own does.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Callable, Mapping
from typing import Any, TypeVar
from urllib.parse import quote

import requests
from requests.adapters import HTTPAdapter

from kavrel.salesforce import ingest_bapi20 as rules
from kavrel.salesforce import urls
from kavrel.salesforce.ingest_bapi20 import BulkApiError, SessionLost
from kavrel.salesforce.retries import with_retries

T = TypeVar("T")


class Session:
    """The access info of one org's session and its renewal, which every client of the session
    shares: when the org ends the session, `renewed()` logs in again and updates that one mapping
    in place, so every request from then on carries the new token."""

    def __init__(
        self,
        access_info: Mapping[str, Any],
        renew: Callable[[], Mapping[str, Any]] | None = None,
    ) -> None:
        # The caller's own mapping when it cannot change; a copy of it when renewals will.
        self.access_info: Any = access_info if renew is None else dict(access_info)
        self._renew = renew
        self.lost: str | None = None  # why the session could not be renewed, once it could not

    def authorized(self, send: Callable[[], T]) -> T:
        """`send()`, and once more with a new token when the org refused it because the session
        ended; SessionLost when no new token could be had or the new one is refused too."""
        try:
            return send()
        except BulkApiError as error:
            if not rules.session_expired(error) or isinstance(error, SessionLost):
                raise
            refused = error
        if self._renew is None:
            raise self._lose(refused, "the access token cannot be renewed: it was given as it "
                             "is, without a profile to log in again with")  # fmt: skip
        self.renewed(refused)
        try:
            return send()
        except BulkApiError as error:
            if rules.session_expired(error) and not isinstance(error, SessionLost):
                raise self._lose(error, "Salesforce refused the renewed access token too") from None
            raise

    def renewed(self, refused: BulkApiError | None = None) -> Any:
        """Logs in again; the access info, updated in place."""
        assert self._renew is not None
        try:
            fresh = self._renew()
        except Exception as error:
            if refused is None:
                raise
            raise self._lose(refused, f"no new access token could be had ({error})") from error
        self.access_info.clear()
        self.access_info.update(fresh)
        logging.getLogger("kavrel.load").info(
            "🔑 The session ended; logged in again for a new access token"
        )
        return self.access_info

    def _lose(self, refused: BulkApiError, why: str) -> SessionLost:
        self.lost = self.lost or why
        return SessionLost(refused, why)


class BulkApiClient:
    """The org's Bulk API 2.0 ingest jobs, over one pool of kept-alive connections.

    `access_info` ("access_token", "instance_url", optionally "api_version" and "user_id") names
    the org; `renew` returns a new one when the org ends the session; `connections` is how many
    connections the pool keeps (a load's jobs in flight and a few more). A session of another
    client (`session=`) is shared with it, renewal and all. Close the client when done (or use
    it as a context manager)."""

    def __init__(
        self,
        access_info: Mapping[str, Any],
        *,
        renew: Callable[[], Mapping[str, Any]] | None = None,
        connections: int = 4,
        session: Session | None = None,
    ) -> None:
        self.session = session if session is not None else Session(access_info, renew)
        self._http = requests.Session()
        adapter = HTTPAdapter(pool_connections=1, pool_maxsize=max(1, connections))
        self._http.mount("https://", adapter)
        self._http.mount("http://", adapter)

    @property
    def access_info(self) -> Any:
        return self.session.access_info

    def close(self) -> None:
        self._http.close()

    def __enter__(self) -> BulkApiClient:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    # --- requests ---------------------------------------------------------------------------

    def _send(
        self,
        method: str,
        path: str,
        *,
        data: bytes | None = None,
        content_type: str | None = None,
        accept: str = "application/json",
    ) -> requests.Response:
        """One request for `path` on the org's instance, with the session's current token."""
        access = self.access_info
        url = urls.on_instance(access["instance_url"], path)
        headers = {"Authorization": f"Bearer {access['access_token']}", "Accept": accept}
        if content_type is not None:
            headers["Content-Type"] = content_type
        response = self._http.request(
            method,
            url,
            headers=headers,
            data=data,
            timeout=(rules.CONNECT_TIMEOUT, rules.READ_TIMEOUT),
            allow_redirects=False,
        )
        if not 200 <= response.status_code < 300:
            raise rules.error_from_response(response)
        return response

    def _change(self, job_id: str, what: str, send: Callable[[], T]) -> T:
        """A request that changes a job: tried again only when it never reached the server."""
        renewing = lambda: self.session.authorized(send)  # noqa: E731
        return with_retries(job_id, what, renewing, rules.never_reached_server)

    def _read(
        self,
        job_id: str | None,
        path: str,
        what: str,
        parse: Callable[[requests.Response], T],
        **options: Any,
    ) -> T:
        """A read, tried again on transient failures; `parse` runs inside each try, so an answer
        cut short is read again."""

        def send() -> T:
            return self.session.authorized(lambda: parse(self._send("GET", path, **options)))

        return with_retries(job_id, what, send, rules.transient)

    def _job_path(self, job_id: str, tail: str = "") -> str:
        return f"{rules.ingest_path(self.access_info)}{quote(str(job_id), safe='')}{tail}"

    # --- a job, from its creation to its end -------------------------------------------------

    def create_job(self, document: Mapping[str, Any]) -> dict[str, Any]:
        """Creates a job from its creation document; the job info. Never tried again: a creation
        whose answer was lost may have made the job (`rules.may_have_created_job`)."""
        body = json.dumps(document).encode("utf-8")
        path = rules.ingest_path(self.access_info).rstrip("/")

        def send() -> dict[str, Any]:
            access = self.access_info
            url = urls.on_instance(access["instance_url"], path)
            headers = {"Authorization": f"Bearer {access['access_token']}",
                       "Content-Type": "application/json"}  # fmt: skip
            response = self._http.post(
                url, headers=headers, data=body, allow_redirects=False,
                timeout=(rules.CONNECT_TIMEOUT, rules.READ_TIMEOUT),
            )  # fmt: skip
            return rules.created_job(response)

        return self.session.authorized(send)

    def send_file(self, job_id: str, csv_text: str) -> None:
        """Uploads the job's CSV text (UTF-8); a job takes one upload. `UploadTooLarge` before any
        request when the text is above `MAX_UPLOAD_BYTES`."""
        data = csv_text.encode("utf-8")
        rules.check_upload_size(len(data))
        path = self._job_path(job_id, "/batches")
        upload = lambda: self._send("PUT", path, data=data, content_type="text/csv")  # noqa: E731
        self._change(job_id, "The upload", upload)

    def _state_change(self, job_id: str, state: str) -> Callable[[], requests.Response]:
        body = json.dumps({"state": state}).encode("utf-8")
        path = self._job_path(job_id)
        content_type = "application/json; charset=UTF-8"
        return lambda: self._send("PATCH", path, data=body, content_type=content_type)

    def job_close(self, job_id: str) -> dict[str, Any]:
        """Marks the upload complete so that Salesforce processes the job; the job info."""
        close = self._state_change(job_id, "UploadComplete")
        return self._change(job_id, "The close", close).json()

    def job_abort(self, job_id: str) -> dict[str, Any]:
        """Aborts a job that is Open (or closed but not yet processing); the job info.

        Tried again as the reads are, renewing the session as they do: aborting twice does no
        harm. When a later try is refused (the first was applied, its answer lost), the job's
        state decides: an Aborted job is the answer."""
        change = self._state_change(job_id, "Aborted")
        tries = 0

        def send() -> requests.Response:
            nonlocal tries
            tries += 1
            return self.session.authorized(change)

        try:
            return with_retries(job_id, "The abort", send, rules.transient).json()
        except BulkApiError as error:
            if tries == 1 or not 400 <= error.status_code < 500 or isinstance(error, SessionLost):
                raise
            info = self.job_status(job_id)
            if info.get("state") != "Aborted":
                raise
            return info

    def job_status(self, job_id: str) -> dict[str, Any]:
        """The job info, with "state", "numberRecordsProcessed" and "numberRecordsFailed"."""
        return self._read(job_id, self._job_path(job_id), "Reading the status", _json)

    def _results(self, job_id: str, kind: str) -> str:
        path = self._job_path(job_id, f"/{kind}/")
        return self._read(job_id, path, f"Reading the {kind}", _utf8_text, accept="text/csv")

    def successful_results(self, job_id: str) -> str:
        """CSV text of the records the job applied: sf__Id, sf__Created, then the uploaded
        fields."""
        return self._results(job_id, "successfulResults")

    def failed_results(self, job_id: str) -> str:
        """CSV text of the records that failed: sf__Id, sf__Error, then the uploaded fields."""
        return self._results(job_id, "failedResults")

    def unprocessed_records(self, job_id: str) -> str:
        """CSV text of the uploaded records the job never processed."""
        return self._results(job_id, "unprocessedrecords")

    # --- the org's jobs, and what the org says of itself -------------------------------------

    def job_pages(self) -> tuple[list[dict[str, Any]], bool]:
        """The org's ingest jobs, every page up to MAX_LIST_PAGES, and whether that was all."""
        path = rules.ingest_path(self.access_info)
        jobs: list[dict[str, Any]] = []
        for _ in range(rules.MAX_LIST_PAGES):
            page = self._read(None, path, "Listing the jobs", _json)
            jobs.extend(job for job in page.get("records") or [] if isinstance(job, dict))
            next_url = page.get("nextRecordsUrl")
            if page.get("done", True) or not next_url:
                return jobs, True
            # The next page is named by a path on the same instance, never by another host.
            path = "/" + str(next_url).lstrip("/")
        return jobs, False

    def job_list(self) -> list[dict[str, Any]]:
        """The org's ingest jobs as Salesforce lists them, every page up to MAX_LIST_PAGES."""
        return self.job_pages()[0]

    def current_user_id(self) -> str:
        """The id of the user the access token acts for: the `user_id` of the access info (which
        a login through kavrel.salesforce.oauth records), else the org's answer to a userinfo
        read."""
        known = self.access_info.get("user_id")
        if known:
            return str(known)
        document = self._read(None, rules.USERINFO_PATH, "Reading the current user", _json)
        user_id = document.get("user_id") if isinstance(document, dict) else None
        if not user_id:
            raise BulkApiError(200, None, "the userinfo answer names no user_id")
        return str(user_id)

    def find_open_jobs(self, sobject: str, operation: str, since: float) -> list[dict[str, Any]]:
        """The org's Open ingest jobs of this user, on `sobject` with `operation`, created at or
        after `since` (see `rules.open_jobs_among`); raises when the user or the whole list
        cannot be read, so that an empty result always means that no such job exists."""
        user_id = self.current_user_id()
        jobs, complete = self.job_pages()
        if not complete:
            raise RuntimeError(
                f"the org lists more than {rules.MAX_LIST_PAGES} pages of ingest jobs; "
                "the newest were not read"
            )
        return rules.open_jobs_among(jobs, user_id, sobject, operation, since)

    def describe_sobject(self, sobject: str) -> dict[str, Any]:
        """The object's description, as `GET .../sobjects/OBJECT/describe` answers it; an object
        the org does not have is a `BulkApiError` with status 404."""
        path = f"{rules.data_path(self.access_info)}sobjects/{quote(sobject, safe='')}/describe/"
        return self._read(None, path, f"Describing {sobject}", _json)

    def org_limits(self) -> dict[str, Any]:
        """The org's allocations as `GET .../limits` answers them ("DailyBulkApiBatches", ...,
        each with its "Max" and "Remaining")."""
        path = f"{rules.data_path(self.access_info)}limits/"
        return self._read(None, path, "Reading the limits", _json)


def _json(response: requests.Response) -> Any:
    return response.json()


def _utf8_text(response: requests.Response) -> str:
    # requests would read text/csv without a charset as Latin-1; the results are UTF-8.
    return response.content.decode("utf-8")


class ModuleClient:
    """A client object over a module-shaped Bulk API client (`ingest_bapi20` itself, or a stand-in
    with its documented functions): each method calls the module's function of that name with the
    session's access info first. What the module lacks (a job's creation, the job list, the org's
    descriptions), and the abort when it has none, a client of its own does over the same
    session."""

    def __init__(self, functions: Any, session: Session) -> None:
        self._functions = functions
        self.session = session
        self._own: BulkApiClient | None = None

    @property
    def access_info(self) -> Any:
        return self.session.access_info

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or not hasattr(BulkApiClient, name):
            raise AttributeError(name)
        function = getattr(self._functions, name, None)
        if function is None:
            if self._own is None:
                self._own = BulkApiClient(self.access_info, session=self.session)
            return getattr(self._own, name)

        def called(*args: Any) -> Any:
            return self.session.authorized(lambda: function(self.access_info, *args))

        return called

    def close(self) -> None:
        if self._own is not None:
            self._own.close()


def client_for(
    client: Any,
    access_info: Mapping[str, Any],
    renew: Callable[[], Mapping[str, Any]] | None = None,
    connections: int = 4,
) -> BulkApiClient | ModuleClient:
    """The client a load talks to its org through: a new `BulkApiClient` (None), a client
    object as it is, or a module-shaped client (functions taking the access info first) given
    the client's methods."""
    if client is None:
        return BulkApiClient(access_info, renew=renew, connections=connections)
    if isinstance(client, BulkApiClient | ModuleClient):
        return client
    return ModuleClient(client, Session(access_info, renew))
