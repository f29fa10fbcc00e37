"""The local Bulk API 2.0 server: its life cycle, its Python controls, and the routing of each
request to the token endpoint, the ingest resources or the test controls.

The ingest resources answer at every API version from 41.0 (where they appeared) to
NEWEST_API_VERSION; a job's `apiVersion` is the version it was created with. So do an object's
describe (from the schema: an object it does not describe, or any without a schema, is not found)
and the org's limits (see `limits`).
"""

from __future__ import annotations

import hmac
import json
import re
import shutil
import sqlite3
import threading
import time
from collections import deque
from http import HTTPStatus
from os import PathLike
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

from kavrel.salesforce.records.describe import description_document
from kavrel.salesforce.records.schema import Schema

from .assertions import load_certificate
from .controls import CONTROLS_PATH, Controls, Fault, check_count, check_seconds, check_status
from .jobs import RESULT_PARTS, JobBook, JobError
from .limits import DAILY_BULK_BATCHES, OrgLimits
from .oauth import (
    AUTHORIZE_PATH,
    TOKEN_PATH,
    USERINFO_PATH,
    Client,
    OAuthError,
    TokenIssuer,
    user_info,
)
from .store import ObjectStore
from .tls import make_self_signed, server_context
from .transport import Answer, Request, Server, error_answer, json_answer, logger

API_VERSION = "62.0"
OLDEST_API_VERSION = 41
NEWEST_API_VERSION = 67
INGEST_PATH = f"/services/data/v{API_VERSION}/jobs/ingest"
DEFAULT_ACCESS_TOKEN = "local-token"
HOST = "127.0.0.1"
# Request bodies kept in `requests` are cut to this many characters: a whole upload kept per
# request would grow the server by the size of every load.
LOGGED_BODY_CHARS = 4096
LOGGED_REQUESTS = 1000
# Salesforce takes job data in the creating request only up to this size.
MULTIPART_CSV_CHARS = 100_000

_INGEST = re.compile(
    r"/services/data/v(?P<version>\d+\.0)/jobs/ingest/?"
    r"(?:(?P<job>[A-Za-z0-9]+)(?:/(?P<part>[A-Za-z]+))?/?)?"
)
_DESCRIBE = re.compile(
    r"/services/data/v(?P<version>\d+\.0)/sobjects/(?P<object>[A-Za-z][A-Za-z0-9_]*)/describe/?"
)
_LIMITS = re.compile(r"/services/data/v(?P<version>\d+\.0)/limits/?")
_LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")
# Where a multipart part's head ends: the first empty line.
_HEAD_END = re.compile(rb"\r?\n\r?\n")


def _not_found() -> JobError:
    return JobError(404, "NOT_FOUND", "The requested resource does not exist")


def _served_version(version: str) -> bool:
    return OLDEST_API_VERSION <= int(version.split(".")[0]) <= NEWEST_API_VERSION


def _method_not_allowed(method: str, allowed: str) -> JobError:
    message = f"HTTP Method '{method}' not allowed. Allowed are {allowed}"
    return JobError(405, "METHOD_NOT_ALLOWED", message)


def _json_body(body: bytes, what: str) -> Any:
    """The request body parsed as JSON; Salesforce's JSON_PARSER_ERROR when it is not JSON."""
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise JobError(400, "JSON_PARSER_ERROR", f"{what} is not valid JSON: {error}") from None


def multipart_parts(content_type: str, body: bytes) -> dict[str, tuple[str, bytes]]:
    """The parts of a multipart/form-data body by name: (content type, content). Lines may end
    with CRLF, as RFC 7578 has them, or with LF, as the Bulk API guide's own example has them."""
    match = re.search(r'boundary="?([^";]+)"?', content_type)
    if match is None:
        raise JobError(400, "INVALIDCONTENTTYPE", "The multipart Content-Type has no boundary")
    delimiter = b"--" + match[1].encode("latin-1")
    parts: dict[str, tuple[str, bytes]] = {}
    for piece in body.split(delimiter)[1:]:
        if piece.startswith(b"--"):
            break
        piece = (
            piece.removeprefix(b"\r\n") if piece.startswith(b"\r\n") else piece.removeprefix(b"\n")
        )
        split = _HEAD_END.search(piece)
        if split is None:
            raise JobError(400, "INVALIDMULTIPART", "A part of the multipart body has no head")
        head, content = piece[: split.start()], piece[split.end() :]
        fields = {}
        for line in head.decode("latin-1").splitlines():
            key, _, value = line.partition(":")
            fields[key.strip().lower()] = value.strip()
        name = re.search(r'name="([^"]*)"', fields.get("content-disposition", ""))
        if name is not None:
            ending = b"\r\n" if content.endswith(b"\r\n") else b"\n"
            parts[name[1]] = (fields.get("content-type", ""), content.removesuffix(ending))
    return parts


class BulkApiEmulator:
    """A Bulk API 2.0 ingest server on 127.0.0.1 that applies jobs to SQLite.

    `start()` binds and serves from a background thread; `stop()` shuts the server down and
    closes the database. Usable as a context manager.
    """

    def __init__(
        self,
        *,
        port: int = 0,
        access_token: str = DEFAULT_ACCESS_TOKEN,
        db: str | PathLike[str] = ":memory:",
        client_id: str | None = None,
        client_secret: str | None = None,
        in_progress_checks: int = 0,
        schema: Schema | str | PathLike[str] | dict[str, Any] | None = None,
        processing_rate: float | None = None,
        tls: bool = False,
        tls_cert: str | PathLike[str] | None = None,
        tls_key: str | PathLike[str] | None = None,
        test_controls: bool = False,
        token_lifetime: float | None = None,
        jwt_cert: str | PathLike[str] | None = None,
        daily_bulk_batches: int = DAILY_BULK_BATCHES,
    ) -> None:
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port must be an integer from 0 to 65535, not {port!r}")
        if not isinstance(access_token, str) or not access_token:
            raise ValueError("access_token must be a non-empty text")
        check_count(in_progress_checks, "in_progress_checks")
        check_count(daily_bulk_batches, "daily_bulk_batches")
        if processing_rate is not None and (
            check_seconds(processing_rate) == 0 or processing_rate == float("inf")
        ):
            raise ValueError("processing_rate must be a number of records per second above 0")
        if token_lifetime is not None and check_seconds(token_lifetime) == 0:
            raise ValueError("token_lifetime must be a number of seconds above 0")
        if (tls_cert is None) != (tls_key is None):
            raise ValueError("give both a certificate and its key (--tls-cert and --tls-key)")
        self.port = port
        self.access_token = access_token
        self.db = db
        self.client_id = client_id
        self.client_secret = client_secret
        self.in_progress_checks = in_progress_checks
        self.schema = self._schema(schema)
        self.processing_rate = processing_rate
        self.tls = tls or tls_cert is not None
        self.certificate: Path | None = Path(tls_cert) if tls_cert is not None else None
        self._tls_key = Path(tls_key) if tls_key is not None else None
        self._made_certificate = False
        self.test_controls = test_controls
        # What tests inspect: (method, target, headers, body cut to LOGGED_BODY_CHARS).
        self.requests: deque[tuple[str, str, dict[str, str], str]] = deque(maxlen=LOGGED_REQUESTS)
        self._lock = threading.RLock()
        self._controls = Controls()
        self.limits = OrgLimits(daily_bulk_batches)
        self._tokens = TokenIssuer(
            token_lifetime, load_certificate(jwt_cert) if jwt_cert is not None else None
        )
        self._started_at = 0.0  # time.monotonic() at start: the fixed token's issue
        self._server: Server | None = None
        self._thread: threading.Thread | None = None
        self._connection: sqlite3.Connection | None = None
        self._jobs: JobBook | None = None
        self._stopped = False

    @staticmethod
    def _schema(schema: Any) -> Schema | None:
        if schema is None or isinstance(schema, Schema):
            return schema
        if isinstance(schema, dict):
            return Schema.from_document(schema)
        return Schema.load(schema)

    # -- life cycle -------------------------------------------------------------------------

    def start(self) -> BulkApiEmulator:
        with self._lock:
            if self._server is not None or self._stopped:
                raise RuntimeError("the emulator was already started")
            context = self._tls_context()
            connection = sqlite3.connect(self.db, check_same_thread=False, isolation_level=None)
            try:
                server = Server((HOST, self.port), self._controls_take_fault, self._answer, context)
            except BaseException:
                connection.close()
                raise
            self._connection = connection
            store = ObjectStore(connection, self.schema)
            self._jobs = JobBook(
                store,
                self._lock,
                self._controls.rejected,
                self.processing_rate,
                self.limits.bulk_batches,
            )
            self._server = server
            self.port = server.server_address[1]
            self._started_at = time.monotonic()
            self._thread = threading.Thread(
                target=server.serve_forever,
                kwargs={"poll_interval": 0.05},
                name=f"bulk-api-emulator-{self.port}",
                daemon=True,
            )
            self._thread.start()
        logger.info("Bulk API 2.0 emulator listening on %s", self.base_url)
        return self

    def _tls_context(self) -> Any:
        if not self.tls:
            return None
        if self.certificate is None:
            self.certificate, self._tls_key = make_self_signed()
            self._made_certificate = True
        return server_context(self.certificate, self._tls_key)  # type: ignore[arg-type]

    def stop(self) -> None:
        with self._lock:
            server, thread, connection = self._server, self._thread, self._connection
            jobs = self._jobs
            self._server = self._thread = self._connection = None
            self._stopped = True
        if server is not None:
            server.shutdown()
            server.server_close()
        if thread is not None:
            thread.join()
        if jobs is not None:
            jobs.stop()
        if connection is not None:
            with self._lock:
                connection.close()
        if self._made_certificate and self.certificate is not None:
            shutil.rmtree(self.certificate.parent, ignore_errors=True)

    def __enter__(self) -> BulkApiEmulator:
        if self._server is None:
            self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def base_url(self) -> str:
        if self.port == 0:
            raise RuntimeError("the emulator has no port until it is started")
        return f"{'https' if self.tls else 'http'}://{HOST}:{self.port}"

    @property
    def access_info(self) -> dict[str, str]:
        return {"access_token": self.access_token, "instance_url": self.base_url}

    @property
    def connections_accepted(self) -> int:
        """The TCP connections the server has accepted since it started."""
        return 0 if self._server is None else self._server.connections_accepted

    # -- behaviour for tests ----------------------------------------------------------------

    def force_job_state(self, state: str, count: int = 1) -> None:
        """The next `count` jobs closed end in `state` without their records being applied."""
        self._controls.force_job_state(state, count)

    def fail_next_request(
        self, method: str, path_suffix: str, status: int, body: Any = None
    ) -> None:
        """The next request for `method` whose path ends with `path_suffix` answers `status`.

        `body` is sent as JSON; by default a Salesforce error list naming the status.
        """
        self._controls.add_fault(Fault(method, path_suffix, "fail", (check_status(status), body)))

    def drop_next_request(self, method: str, path_suffix: str) -> None:
        """The next matching request is read whole, then its connection closed unanswered."""
        self._controls.add_fault(Fault(method, path_suffix, "drop"))

    def delay_next_request(self, method: str, path_suffix: str, seconds: float) -> None:
        """The next matching request is answered only after `seconds` (as a slow org would)."""
        self._controls.add_fault(Fault(method, path_suffix, "delay", check_seconds(seconds)))

    def lose_next_answer(self, method: str, path_suffix: str, cut: bool = False) -> None:
        """The next matching request is carried out, then its answer lost: the connection closes
        unanswered, or with `cut` after half of the answer's body."""
        self._controls.add_fault(Fault(method, path_suffix, "cut" if cut else "lose"))

    def add_fault(self, fault: Fault) -> None:
        """A fault read from the command line (see `controls.parse_fault`)."""
        self._controls.add_fault(fault)

    def fail_job_after(self, records: int) -> None:
        """The next job closed ends Failed once `records` of its records are processed (the
        chunks before applied and counted, the rest unprocessed)."""
        self._controls.fail_job_after(records)

    def reject_records(
        self, field: str, value: str, message: str, count: int | None = None
    ) -> None:
        """Records whose `field` holds exactly the text `value` fail with `message`: the first
        `count` such records, or all of them when `count` is None."""
        self._controls.reject_records(field, value, message, count)

    def rows(self, sobject: str) -> list[dict[str, Any]]:
        """What the object's table holds, in Id order (empty when it has none yet)."""
        if self._jobs is None:
            raise RuntimeError("the emulator is not running: its database is closed")
        return self._jobs.store.rows(sobject)

    # -- request dispatch -------------------------------------------------------------------

    def _controls_take_fault(self, request: Request) -> Fault | None:
        if self.test_controls and request.path == CONTROLS_PATH:
            return None
        return self._controls.take_fault(request.method, request.target)

    def _answer(self, request: Request, fault: Fault | None) -> Answer:
        body = request.body[:LOGGED_BODY_CHARS].decode("utf-8", "replace")
        self.requests.append((request.method, request.target, request.headers, body))
        if fault is not None and fault.kind == "fail":
            return self._injected_failure(*fault.detail)
        path = request.path
        if path == TOKEN_PATH:
            return self._issue_token(request)
        if path == AUTHORIZE_PATH:
            return self._authorize(request)
        if self.test_controls and path == CONTROLS_PATH:
            return self._control(request)
        if not path.startswith("/services/data/") and path != USERINFO_PATH:
            return error_answer(404, "NOT_FOUND", "The requested resource does not exist")
        if not self._authorised(request.header("Authorization")):
            return error_answer(401, "INVALID_SESSION_ID", "Session expired or invalid")
        if path == USERINFO_PATH:
            return json_answer(user_info(self._instance_url(request)))
        self.limits.api_requests.take()
        try:
            return self._route(request)
        except JobError as error:
            return error_answer(error.status, error.error_code, error.message)

    def _injected_failure(self, status: int, body: Any) -> Answer:
        if body is None:
            try:
                known = HTTPStatus(status)
                body = [{"errorCode": known.name, "message": known.phrase}]
            except ValueError:
                body = [{"errorCode": "ERROR", "message": f"HTTP {status}"}]
        if status in (204, 304):
            return Answer(status)
        return json_answer(body, status)

    def _authorised(self, value: str) -> bool:
        scheme, _, token = value.strip().partition(" ")
        if scheme.lower() not in ("bearer", "oauth") or not token:
            return False
        token = token.strip()
        if hmac.compare_digest(token.encode(), self.access_token.encode()):
            return not self._tokens.expired(self._started_at)
        return self._tokens.knows(token)

    def _instance_url(self, request: Request) -> str:
        """The scheme, host and port the client used, when it used a loopback name."""
        host = request.header("Host")
        try:
            parts = urlsplit(f"//{host}")
            if parts.hostname in _LOOPBACK_NAMES and parts.port == self.port:
                return f"{request.scheme}://{host}"
        except ValueError:
            pass
        return self.base_url

    def _issue_token(self, request: Request) -> Answer:
        if request.method != "POST":
            error = OAuthError("invalid_request", "must use HTTP POST")
        else:
            try:
                with self._lock:
                    document = self._tokens.issue(
                        request.body,
                        request.header("Authorization"),
                        self._instance_url(request),
                        Client(self.client_id, self.client_secret),
                    )
                return json_answer(document)
            except OAuthError as raised:
                error = raised
        return json_answer(
            {"error": error.error, "error_description": error.description}, error.status
        )

    def _authorize(self, request: Request) -> Answer:
        """Approves at once: the browser goes back to the client with a code."""
        if request.method != "GET":
            error = _method_not_allowed(request.method, "GET")
            return error_answer(error.status, error.error_code, error.message)
        query = {k: v[0] for k, v in parse_qs(urlsplit(request.target).query).items()}
        try:
            location = self._tokens.authorize(query, Client(self.client_id, self.client_secret))
        except OAuthError as error:
            return json_answer(
                {"error": error.error, "error_description": error.description}, error.status
            )
        return Answer(302, headers={"Location": location})

    def _control(self, request: Request) -> Answer:
        if request.method != "POST":
            return error_answer(405, "METHOD_NOT_ALLOWED", "POST a control as JSON")
        try:
            self._controls.apply_document(_json_body(request.body, "The control"))
        except JobError as error:
            return error_answer(error.status, error.error_code, error.message)
        except ValueError as error:
            return error_answer(400, "INVALID_CONTROL", str(error))
        return Answer(204)

    def _route(self, request: Request) -> Answer:
        jobs = self._jobs
        assert jobs is not None
        about_org = _DESCRIBE.fullmatch(request.path) or _LIMITS.fullmatch(request.path)
        if about_org is not None and _served_version(about_org["version"]):
            if request.method != "GET":
                raise _method_not_allowed(request.method, "GET")
            if about_org.re is _LIMITS:
                return json_answer(self.limits.document())
            return json_answer(self._description(jobs.store, about_org["object"]))
        match = _INGEST.fullmatch(request.path)
        if match is None or not _served_version(match["version"]):
            raise _not_found()
        version, method = match["version"], request.method
        if match["job"] is None:
            if method == "POST":
                return self._create_job(jobs, request, version)
            if method == "GET":
                query = {
                    key: values[0]
                    for key, values in parse_qs(urlsplit(request.target).query).items()
                }
                return json_answer(jobs.listing(query, version))
            raise _method_not_allowed(method, "GET,POST")
        job = jobs.get(match["job"])
        part = match["part"]
        if part is None:
            if method == "GET":
                return json_answer(jobs.status(job))
            if method == "PATCH":
                document = _json_body(request.body, "The body")
                state = document.get("state") if isinstance(document, dict) else None
                closing = state == "UploadComplete"
                forced = self._controls.take_forced_state() if closing else None
                fail_after = self._controls.take_fail_after() if closing else None
                jobs.change_state(job, state, forced, self.in_progress_checks, fail_after)
                return json_answer(jobs.info(job))
            if method == "DELETE":
                jobs.delete(job)
                return Answer(204)
            raise _method_not_allowed(method, "GET,PATCH,DELETE")
        if part == "batches":
            if method != "PUT":
                raise _method_not_allowed(method, "PUT")
            jobs.upload(job, request.header("Content-Type"), request.body)
            return Answer(201)
        if part not in RESULT_PARTS:
            raise _not_found()
        if method != "GET":
            raise _method_not_allowed(method, "GET")
        results = jobs.results_of(job, RESULT_PARTS[part])
        return Answer(200, results, "text/csv; charset=UTF-8")

    def _description(self, store: ObjectStore, sobject: str) -> dict[str, Any]:
        if self.schema is None:
            raise JobError(
                404,
                "NOT_FOUND",
                "The requested resource does not exist (the local server describes the objects "
                "of its --schema)",
            )
        described = self.schema.get(sobject)
        if described is None:
            raise _not_found()
        return description_document(described, store.key_prefix(described.name))

    def _create_job(self, jobs: JobBook, request: Request, version: str) -> Answer:
        content_type = request.header("Content-Type")
        if content_type.split(";")[0].strip().lower() != "multipart/form-data":
            return json_answer(jobs.info(jobs.create(_json_body(request.body, "The job"), version)))
        parts = multipart_parts(content_type, request.body)
        if "job" not in parts or "content" not in parts:
            raise JobError(
                400, "INVALIDMULTIPART", "A multipart job needs a 'job' part and a 'content' part"
            )
        content = parts["content"][1]
        if len(content.decode("utf-8", "replace")) > MULTIPART_CSV_CHARS:
            raise JobError(
                400,
                "INVALIDBATCH",
                f"The CSV of a multipart request is limited to {MULTIPART_CSV_CHARS:,} characters; "
                "upload more with a PUT to the job's batches",
            )
        job = jobs.create(_json_body(parts["job"][1], "The job"), version)
        try:
            jobs.upload(job, parts["content"][0] or "text/csv", content)
        except JobError:
            jobs.jobs.pop(job.id, None)
            raise
        forced = self._controls.take_forced_state()
        fail_after = self._controls.take_fail_after()
        jobs.change_state(job, "UploadComplete", forced, self.in_progress_checks, fail_after)
        return json_answer(jobs.info(job))
