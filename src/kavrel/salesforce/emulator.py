"""A local Salesforce Bulk API 2.0 ingest server, for trying loads without touching an org.

The server speaks the ingest endpoints of API version 62.0 and the client-credentials token
endpoint, and really applies each job's records to a SQLite database: one table per object, named
as the object, with an `Id` column and one TEXT column per field, created as fields first appear.
Values are stored as the CSV text gives them. As on Salesforce, an empty CSV value leaves a field
unchanged when a record is updated (and is null on insert); the text "#N/A" sets it to null.

Behaviour that mirrors Salesforce closely enough for the load operations:
- insert creates 18-character Ids (a per-object key prefix, a counter, the case-safe suffix);
- update and delete find records by `Id` (15- or 18-character form);
- upsert matches on the job's external-ID field with exact text comparison; a blank value creates
  a record, a value matching several records or repeated within one upload fails that record;
- a malformed upload (bad quoting, a line ending other than the declared one, a row whose field
  count differs from the header's, an invalid field name, an empty upload) makes the whole job
  end "Failed" with an `errorMessage`, as Salesforce does;
- a record that cannot be applied becomes a failed record with an `sf__Error`.

Jobs live in memory for the life of the server; the object tables live in the database. The Id
counter is kept in the database's `user_version`, so Ids stay unique across runs on one file.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import hmac
import io
import json
import logging
import re
import secrets
import sqlite3
import subprocess
import sys
import threading
import time
import zlib
from collections import deque
from dataclasses import dataclass, field
from datetime import UTC, datetime
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from os import PathLike
from typing import Any
from urllib.parse import parse_qs

API_VERSION = "62.0"
INGEST_PATH = f"/services/data/v{API_VERSION}/jobs/ingest"
TOKEN_PATH = "/services/oauth2/token"
DEFAULT_ACCESS_TOKEN = "local-token"
HOST = "127.0.0.1"
# Salesforce refuses uploads above 150 MB; the same bound keeps a stray client from filling memory.
MAX_BODY_BYTES = 150 * 1024 * 1024

OPERATIONS = ("insert", "update", "upsert", "delete")
LINE_ENDINGS = {"LF": "\n", "CRLF": "\r\n"}
COLUMN_DELIMITERS = {
    "COMMA": ",",
    "TAB": "\t",
    "PIPE": "|",
    "SEMICOLON": ";",
    "CARET": "^",
    "BACKQUOTE": "`",
}
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

logger = logging.getLogger(__name__)

_API_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,79}")
_JOB_PATH = re.compile(
    re.escape(INGEST_PATH)
    + r"/(?P<job>[A-Za-z0-9]+)"
    + r"(?:/(?P<part>batches|successfulResults|failedResults|unprocessedrecords))?/?"
)
_SALESFORCE_ID = re.compile(r"[A-Za-z0-9]{15}(?:[A-Za-z0-9]{3})?")
_KEY_PREFIXES = {
    "account": "001",
    "contact": "003",
    "user": "005",
    "opportunity": "006",
    "lead": "00Q",
    "task": "00T",
    "event": "00U",
    "product2": "01t",
    "case": "500",
    "campaign": "701",
    "contract": "800",
    "order": "801",
}
_BASE36 = "0123456789abcdefghijklmnopqrstuvwxyz"
_BASE62 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
_SUFFIX_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"
# SQLite's default bound on host parameters is 999 before 3.32; IN lists stay under it.
_LOOKUP_CHUNK = 900


class _BatchError(Exception):
    """An upload that cannot be processed at all: the whole job ends Failed with this message."""


class _RequestError(Exception):
    """A request answered with a Salesforce error document instead of being carried out."""

    def __init__(self, status: int, error_code: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.error_code = error_code
        self.message = message


def _json_body(body: bytes, what: str) -> Any:
    """The request body parsed as JSON; Salesforce's JSON_PARSER_ERROR when it is not JSON."""
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise _RequestError(
            400, "JSON_PARSER_ERROR", f"{what} is not valid JSON: {error}"
        ) from None


@dataclass
class _Answer:
    status: int
    body: bytes = b""
    content_type: str | None = None
    close: bool = False


@dataclass
class _Job:
    id: str
    object: str
    operation: str
    external_id_field: str | None
    line_ending: str
    column_delimiter: str
    created: str
    state: str = "Open"
    modstamp: str = ""
    content: str | None = None
    pending_checks: int = 0
    forced_state: str | None = None
    error_message: str | None = None
    processing_ms: int = 0
    header: list[str] = field(default_factory=list)
    successes: list[list[str]] = field(default_factory=list)
    failures: list[list[str]] = field(default_factory=list)
    unprocessed: list[list[str]] = field(default_factory=list)


def _now_text() -> str:
    now = datetime.now(UTC)
    return now.strftime("%Y-%m-%dT%H:%M:%S.") + f"{now.microsecond // 1000:03d}+0000"


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _is_api_name(name: Any) -> bool:
    return isinstance(name, str) and _API_NAME.fullmatch(name) is not None


def _id_suffix(id15: str) -> str:
    """The three characters that make a 15-character Id case-insensitively unique."""
    suffix = ""
    for start in (0, 5, 10):
        bits = 0
        for position, char in enumerate(id15[start : start + 5]):
            if "A" <= char <= "Z":
                bits |= 1 << position
        suffix += _SUFFIX_CHARS[bits]
    return suffix


def _key_prefix(sobject: str) -> str:
    known = _KEY_PREFIXES.get(sobject.lower())
    if known:
        return known
    number = zlib.crc32(sobject.lower().encode("ascii"))
    return "a" + _BASE62[number % 62] + _BASE62[(number // 62) % 62]


def _base36(number: int, width: int = 9) -> str:
    digits = ""
    while number:
        number, rest = divmod(number, 36)
        digits = _BASE36[rest] + digits
    return digits.rjust(width, "0")


def _make_ids(prefix: str, first: int, count: int) -> list[str]:
    # The counter digits are never upper case, so the suffix depends on the prefix alone, and
    # fixed-width base-36 digits sort in creation order.
    head = prefix + "000"
    suffix = _id_suffix(head + "0" * 9)
    return [head + _base36(number) + suffix for number in range(first, first + count)]


def _to_id18(value: str) -> str | None:
    """The 18-character form of an Id given in either form; None when it is not an Id."""
    if _SALESFORCE_ID.fullmatch(value) is None:
        return None
    if len(value) == 15:
        return value + _id_suffix(value)
    return value


def _json_bytes(document: Any) -> bytes:
    return json.dumps(document).encode("utf-8")


def _error_answer(status: int, error_code: str, message: str, close: bool = False) -> _Answer:
    body = _json_bytes([{"errorCode": error_code, "message": message}])
    return _Answer(status, body, "application/json;charset=UTF-8", close)


def _oauth_error(error: str, description: str) -> _Answer:
    body = _json_bytes({"error": error, "error_description": description})
    return _Answer(400, body, "application/json;charset=UTF-8")


def _check_quote_placement(outside: list[str], delimiter: str) -> None:
    boundary = delimiter + "\r\n"
    last = len(outside) - 1
    for index, piece in enumerate(outside):
        if piece and (
            (index > 0 and piece[0] not in boundary) or (index < last and piece[-1] not in boundary)
        ):
            raise _BatchError(
                "InvalidBatch : Failed to parse CSV: a double quote appears inside an "
                "unquoted field or after a quoted one"
            )


def _check_quoting_and_line_ending(text: str, line_ending: str, delimiter: str) -> None:
    """Refuses stray quotes and any record separator other than the declared line ending.

    Splitting on the quote character leaves the text outside quoted fields at the even
    positions (an escaped quote is an empty piece between two quoted ones), so both checks run
    over that text only: line breaks inside quoted fields are data.
    """
    if '"' in text:
        pieces = text.split('"')
        if len(pieces) % 2 == 0:
            raise _BatchError("InvalidBatch : Failed to parse CSV: a quoted field is not closed")
        # Each NUL stands for one quoted piece; a quoted piece must touch only a delimiter, a
        # line break or another quoted piece (an escaped quote).
        outside_text = "\0".join(pieces[0::2])
        edge = re.escape(delimiter) + "\r\n\0"
        stray = re.compile(f"[^{edge}]\0|\0[^{edge}]")
        if "\0" in text or stray.search(outside_text):
            _check_quote_placement(pieces[0::2], delimiter)
    else:
        outside_text = text
    if line_ending == "\r\n":
        bare = outside_text.replace("\r\n", "")
        mismatch = "\n" in bare or "\r" in bare
        declared = "CRLF"
    else:
        mismatch = "\r" in outside_text
        declared = "LF"
    if mismatch:
        raise _BatchError(
            f"ClientInputError : LineEnding is invalid on user data. Current LineEnding setting is "
            f"{declared}"
        )


def _parse_upload(text: str, line_ending: str, delimiter: str) -> tuple[list[str], list[list[str]]]:
    if text.startswith("\ufeff"):
        text = text[1:]
    if not text:
        raise _BatchError("InvalidBatch : The upload is empty: a CSV header row is required")
    _check_quoting_and_line_ending(text, line_ending, delimiter)
    try:
        rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True))
    except csv.Error as error:
        raise _BatchError(f"InvalidBatch : Failed to parse CSV: {error}") from None
    header, records = rows[0], rows[1:]
    if not header:
        raise _BatchError("InvalidBatch : The CSV header row is empty")
    seen: set[str] = set()
    for name in header:
        if not _is_api_name(name) or name.lower().startswith("sqlite_"):
            raise _BatchError(f"InvalidBatch : Field name not valid: {name!r}")
        if name.lower() in seen:
            raise _BatchError(f"InvalidBatch : Duplicate field name: {name}")
        seen.add(name.lower())
    width = len(header)
    for number, record in enumerate(records, start=2):
        if len(record) != width:
            if not record and width == 1:
                record.append("")
                continue
            raise _BatchError(
                f"InvalidBatch : Row {number} has {len(record)} fields, the header has {width}"
            )
    return header, records


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kavrel-bulk-emulator"
    sys_version = ""
    # Idle keep-alive connections are closed after a minute instead of holding a thread forever.
    timeout = 60

    def do_GET(self) -> None:  # noqa: N802 (name fixed by http.server)
        self._serve("GET")

    def do_POST(self) -> None:  # noqa: N802
        self._serve("POST")

    def do_PUT(self) -> None:  # noqa: N802
        self._serve("PUT")

    def do_PATCH(self) -> None:  # noqa: N802
        self._serve("PATCH")

    def do_DELETE(self) -> None:  # noqa: N802
        self._serve("DELETE")

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        logger.info("%s %s", self.address_string(), format % args)

    def _serve(self, method: str) -> None:
        emulator: BulkApiEmulator = self.server.emulator  # type: ignore[attr-defined]
        answer = self._read_body()
        if isinstance(answer, _Answer):
            self._send(answer)
            return
        injected = emulator._take_injection(method, self.path)
        if injected is not None and injected[0] == "drop":
            # The request was read whole; the client sees the connection end with no answer.
            self.close_connection = True
            return
        if injected is not None and injected[0] == "delay":
            time.sleep(injected[1])
        try:
            answer = emulator._answer(
                method, self.path, dict(self.headers.items()), answer, injected
            )
        except Exception:  # a fault of ours must not drop the client's connection unanswered
            logger.exception("request %s %s failed", method, self.path)
            answer = _error_answer(500, "UNKNOWN_EXCEPTION", "An unexpected error occurred")
        self._send(answer)

    def _read_body(self) -> bytes | _Answer:
        if self.headers.get("Transfer-Encoding"):
            return _error_answer(411, "LENGTH_REQUIRED", "Send the body with Content-Length", True)
        length_text = self.headers.get("Content-Length", "0")
        try:
            length = int(length_text)
        except ValueError:
            length = -1
        if length < 0:
            return _error_answer(400, "INVALID_REQUEST", "Content-Length is not valid", True)
        if length > MAX_BODY_BYTES:
            return _error_answer(
                413, "REQUEST_ENTITY_TOO_LARGE", "The body exceeds 150 MB", close=True
            )
        return self.rfile.read(length) if length else b""

    def _send(self, answer: _Answer) -> None:
        self.send_response(answer.status)
        if answer.status != 204:
            if answer.content_type:
                self.send_header("Content-Type", answer.content_type)
            self.send_header("Content-Length", str(len(answer.body)))
        if answer.close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if answer.status != 204:
            self.wfile.write(answer.body)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    emulator: BulkApiEmulator

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that hangs up mid-answer is routine; keep it out of the user's terminal.
        logger.debug("connection from %s ended with an error", client_address, exc_info=True)


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
    ) -> None:
        if not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port must be an integer from 0 to 65535, not {port!r}")
        if not isinstance(access_token, str) or not access_token:
            raise ValueError("access_token must be a non-empty text")
        if not isinstance(in_progress_checks, int) or in_progress_checks < 0:
            raise ValueError("in_progress_checks must be an integer of 0 or more")
        self.port = port
        self.access_token = access_token
        self.db = db
        self.client_id = client_id
        self.client_secret = client_secret
        self.in_progress_checks = in_progress_checks
        self.requests: list[tuple[str, str, dict[str, str], str]] = []
        self._lock = threading.RLock()
        self._issued_tokens: set[str] = set()
        self._jobs: dict[str, _Job] = {}
        self._job_counter = secrets.randbelow(36**7)
        self._forced_states: deque[str] = deque()
        # Injected faults, each (method, path suffix, kind, detail), fired once in the order given.
        self._failures: list[tuple[str, str, str, Any]] = []
        self._rejections: list[tuple[str, str, str]] = []
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._connection: sqlite3.Connection | None = None
        self._stopped = False

    # -- life cycle -------------------------------------------------------------------------

    def start(self) -> BulkApiEmulator:
        with self._lock:
            if self._server is not None or self._stopped:
                raise RuntimeError("the emulator was already started")
            connection = sqlite3.connect(self.db, check_same_thread=False, isolation_level=None)
            try:
                server = _Server((HOST, self.port), _Handler)
            except BaseException:
                connection.close()
                raise
            server.emulator = self
            self._connection = connection
            self._server = server
            self.port = server.server_address[1]
            self._thread = threading.Thread(
                target=server.serve_forever,
                kwargs={"poll_interval": 0.05},
                name=f"bulk-api-emulator-{self.port}",
                daemon=True,
            )
            self._thread.start()
        logger.info("Bulk API 2.0 emulator listening on %s", self.base_url)
        return self

    def stop(self) -> None:
        with self._lock:
            server, thread, connection = self._server, self._thread, self._connection
            self._server = self._thread = self._connection = None
            self._stopped = True
        if server is not None:
            server.shutdown()
            server.server_close()
        if thread is not None:
            thread.join()
        if connection is not None:
            with self._lock:
                connection.close()

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
        return f"http://{HOST}:{self.port}"

    @property
    def access_info(self) -> dict[str, str]:
        return {"access_token": self.access_token, "instance_url": self.base_url}

    # -- behaviour for tests ----------------------------------------------------------------

    def force_job_state(self, state: str, count: int = 1) -> None:
        """The next `count` jobs closed end in `state` without their records being applied."""
        if not isinstance(state, str) or not state:
            raise ValueError("state must be a non-empty text")
        if not isinstance(count, int) or count < 0:
            raise ValueError("count must be an integer of 0 or more")
        with self._lock:
            self._forced_states.extend([state] * count)

    def fail_next_request(
        self, method: str, path_suffix: str, status: int, body: Any = None
    ) -> None:
        """The next request for `method` whose path ends with `path_suffix` answers `status`.

        `body` is sent as JSON; by default a Salesforce error list naming the status.
        """
        if not isinstance(status, int) or not 100 <= status <= 599:
            raise ValueError(f"status must be an HTTP status code, not {status!r}")
        self._inject(method, path_suffix, "fail", (status, body))

    def drop_next_request(self, method: str, path_suffix: str) -> None:
        """The next matching request is read whole, then its connection closed unanswered."""
        self._inject(method, path_suffix, "drop", None)

    def delay_next_request(self, method: str, path_suffix: str, seconds: float) -> None:
        """The next matching request is answered only after `seconds` (as a slow org would)."""
        if isinstance(seconds, bool) or not isinstance(seconds, int | float) or seconds < 0:
            raise ValueError(f"seconds must be a number of 0 or more, not {seconds!r}")
        self._inject(method, path_suffix, "delay", float(seconds))

    def _inject(self, method: str, path_suffix: str, kind: str, detail: Any) -> None:
        with self._lock:
            self._failures.append((method.upper(), path_suffix, kind, detail))

    def _take_injection(self, method: str, target: str) -> tuple[str, Any] | None:
        """Removes and returns the first injected fault matching this request, if any."""
        path = target.partition("?")[0]
        with self._lock:
            for index, (fault_method, suffix, kind, detail) in enumerate(self._failures):
                if fault_method == method and path.endswith(suffix):
                    del self._failures[index]
                    return kind, detail
        return None

    def reject_records(self, field: str, value: str, message: str) -> None:
        """Records whose `field` holds exactly the text `value` fail with `message`."""
        with self._lock:
            self._rejections.append((field.lower(), value, message))

    def rows(self, sobject: str) -> list[dict[str, Any]]:
        """What the object's table holds, in Id order (empty when it has none yet)."""
        if not _is_api_name(sobject):
            raise ValueError(f"not a valid object name: {sobject!r}")
        with self._lock:
            connection = self._database()
            if not self._columns(connection, sobject):
                return []
            cursor = connection.execute(f'SELECT * FROM {_quote(sobject)} ORDER BY "Id"')
            names = [column[0] for column in cursor.description]
            return [dict(zip(names, row, strict=True)) for row in cursor.fetchall()]

    # -- request dispatch -------------------------------------------------------------------

    def _answer(
        self,
        method: str,
        target: str,
        headers: dict[str, str],
        body: bytes,
        injected: tuple[str, Any] | None = None,
    ) -> _Answer:
        path = target.partition("?")[0]
        with self._lock:
            self.requests.append((method, target, headers, body.decode("utf-8", "replace")))
            if injected is not None and injected[0] == "fail":
                return self._injected_failure(*injected[1])
            if path == TOKEN_PATH:
                if method != "POST":
                    return _oauth_error("invalid_request", "must use HTTP POST")
                return self._issue_token(body)
            if not path.startswith("/services/data/"):
                return _error_answer(404, "NOT_FOUND", "The requested resource does not exist")
            if not self._authorised(headers):
                return _error_answer(401, "INVALID_SESSION_ID", "Session expired or invalid")
            try:
                return self._route(method, path, headers, body)
            except _RequestError as error:
                return _error_answer(error.status, error.error_code, error.message)

    def _injected_failure(self, status: int, body: Any) -> _Answer:
        if body is None:
            try:
                known = HTTPStatus(status)
                body = [{"errorCode": known.name, "message": known.phrase}]
            except ValueError:
                body = [{"errorCode": "ERROR", "message": f"HTTP {status}"}]
        if status in (204, 304):
            return _Answer(status)
        return _Answer(status, _json_bytes(body), "application/json;charset=UTF-8")

    def _authorised(self, headers: dict[str, str]) -> bool:
        value = next((v for k, v in headers.items() if k.lower() == "authorization"), "")
        scheme, _, token = value.strip().partition(" ")
        if scheme.lower() not in ("bearer", "oauth") or not token:
            return False
        token = token.strip()
        if hmac.compare_digest(token.encode(), self.access_token.encode()):
            return True
        return token in self._issued_tokens

    def _issue_token(self, body: bytes) -> _Answer:
        try:
            form = parse_qs(body.decode("utf-8"), keep_blank_values=True)
        except UnicodeDecodeError:
            return _oauth_error("invalid_request", "the body is not UTF-8 form data")
        values = {key: items[0] for key, items in form.items()}
        if values.get("grant_type") != "client_credentials":
            return _oauth_error("unsupported_grant_type", "grant type not supported")
        for expected, given in (
            (self.client_id, values.get("client_id")),
            (self.client_secret, values.get("client_secret")),
        ):
            if expected is not None and (
                given is None or not hmac.compare_digest(given.encode(), expected.encode())
            ):
                return _oauth_error("invalid_client", "invalid client credentials")
        token = "00D000000000001!" + secrets.token_urlsafe(32)
        self._issued_tokens.add(token)
        issued_at = str(int(time.time() * 1000))
        identity = f"{self.base_url}/id/00D000000000001AAA/005000000000001AAA"
        key = (values.get("client_secret") or "").encode()
        signature = base64.b64encode(
            hmac.new(key, (identity + issued_at).encode(), hashlib.sha256).digest()
        ).decode("ascii")
        document = {
            "access_token": token,
            "signature": signature,
            "instance_url": self.base_url,
            "id": identity,
            "token_type": "Bearer",
            "issued_at": issued_at,
        }
        return _Answer(200, _json_bytes(document), "application/json;charset=UTF-8")

    def _route(self, method: str, path: str, headers: dict[str, str], body: bytes) -> _Answer:
        if path in (INGEST_PATH, INGEST_PATH + "/"):
            if method == "POST":
                return self._create_job(body)
            if method == "GET":
                records = [self._job_info(job) for job in self._jobs.values()]
                return self._json({"done": True, "records": records, "nextRecordsUrl": None})
            raise self._method_not_allowed(method, "GET,POST")
        match = _JOB_PATH.fullmatch(path)
        if match is None:
            raise _RequestError(404, "NOT_FOUND", "The requested resource does not exist")
        job = self._jobs.get(match["job"])
        if job is None:
            raise _RequestError(404, "NOT_FOUND", "The requested resource does not exist")
        part = match["part"]
        if part is None:
            if method == "GET":
                return self._json(self._status(job))
            if method == "PATCH":
                return self._change_state(job, body)
            if method == "DELETE":
                return self._delete_job(job)
            raise self._method_not_allowed(method, "GET,PATCH,DELETE")
        if part == "batches":
            if method != "PUT":
                raise self._method_not_allowed(method, "PUT")
            return self._upload(job, headers, body)
        if method != "GET":
            raise self._method_not_allowed(method, "GET")
        return self._results(job, part)

    @staticmethod
    def _method_not_allowed(method: str, allowed: str) -> _RequestError:
        message = f"HTTP Method '{method}' not allowed. Allowed are {allowed}"
        return _RequestError(405, "METHOD_NOT_ALLOWED", message)

    @staticmethod
    def _json(document: Any, status: int = 200) -> _Answer:
        return _Answer(status, _json_bytes(document), "application/json;charset=UTF-8")

    # -- jobs -------------------------------------------------------------------------------

    def _create_job(self, body: bytes) -> _Answer:
        document = _json_body(body, "The job")
        if not isinstance(document, dict):
            raise _RequestError(400, "JSON_PARSER_ERROR", "The job must be a JSON object")
        unknown = sorted(set(document) - JOB_MEMBERS)
        if unknown:
            raise _RequestError(400, "JSON_PARSER_ERROR", f"Unrecognized field {unknown[0]!r}")

        def invalid(message: str) -> _RequestError:
            return _RequestError(400, "INVALIDJOB", f"InvalidJob : {message}")

        sobject = document.get("object")
        if sobject is None:
            raise invalid("the job needs an object")
        if not _is_api_name(sobject) or sobject.lower().startswith("sqlite_"):
            raise invalid(f"Invalid object name: {sobject!r}")
        operation = document.get("operation")
        if operation not in OPERATIONS:
            raise invalid(f"Invalid operation {operation!r}: use one of {', '.join(OPERATIONS)}")
        external_id = document.get("externalIdFieldName")
        if operation == "upsert":
            if external_id is None:
                raise invalid("External ID field name is required for upsert")
            if not _is_api_name(external_id):
                raise invalid(f"Invalid external ID field name: {external_id!r}")
        else:
            external_id = None
        line_ending = document.get("lineEnding", "LF")
        if line_ending not in LINE_ENDINGS:
            raise invalid(f"Invalid lineEnding {line_ending!r}: use LF or CRLF")
        if document.get("contentType", "CSV") != "CSV":
            raise invalid(f"Invalid contentType {document['contentType']!r}: use CSV")
        delimiter = document.get("columnDelimiter", "COMMA")
        if delimiter not in COLUMN_DELIMITERS:
            raise invalid(f"Invalid columnDelimiter {delimiter!r}")
        self._job_counter += 1
        job_id = _make_ids("750", self._job_counter, 1)[0]
        created = _now_text()
        job = _Job(
            id=job_id,
            object=sobject,
            operation=operation,
            external_id_field=external_id,
            line_ending=line_ending,
            column_delimiter=delimiter,
            created=created,
            modstamp=created,
        )
        self._jobs[job_id] = job
        return self._json(self._job_info(job))

    def _job_info(self, job: _Job, state: str | None = None) -> dict[str, Any]:
        info: dict[str, Any] = {
            "id": job.id,
            "operation": job.operation,
            "object": job.object,
            "createdById": "005000000000001AAA",
            "createdDate": job.created,
            "systemModstamp": job.modstamp,
            "state": state or job.state,
        }
        if job.external_id_field is not None:
            info["externalIdFieldName"] = job.external_id_field
        info.update(
            concurrencyMode="Parallel",
            contentType="CSV",
            apiVersion=float(API_VERSION),
            contentUrl=f"services/data/v{API_VERSION}/jobs/ingest/{job.id}/batches",
            lineEnding=job.line_ending,
            columnDelimiter=job.column_delimiter,
        )
        return info

    def _status(self, job: _Job) -> dict[str, Any]:
        if job.state == "UploadComplete":
            if job.pending_checks > 0:
                job.pending_checks -= 1
                return self._status_document(job, "InProgress")
            self._finish(job)
        return self._status_document(job, None)

    def _status_document(self, job: _Job, state: str | None) -> dict[str, Any]:
        info = self._job_info(job, state)
        done = state is None and job.state in TERMINAL_STATES
        info["jobType"] = "V2Ingest"
        info["numberRecordsProcessed"] = len(job.successes) + len(job.failures) if done else 0
        info["numberRecordsFailed"] = len(job.failures) if done else 0
        info["retries"] = 0
        info["totalProcessingTime"] = job.processing_ms
        info["apiActiveProcessingTime"] = job.processing_ms
        info["apexProcessingTime"] = 0
        if job.error_message is not None:
            info["errorMessage"] = job.error_message
        return info

    def _change_state(self, job: _Job, body: bytes) -> _Answer:
        document = _json_body(body, "The body")
        state = document.get("state") if isinstance(document, dict) else None
        if state not in ("UploadComplete", "Aborted"):
            raise _RequestError(
                400, "INVALIDJOBSTATE", f"Invalid state {state!r}: use UploadComplete or Aborted"
            )
        allowed = ("Open",) if state == "UploadComplete" else ("Open", "UploadComplete")
        if job.state not in allowed:
            raise _RequestError(
                409,
                "INVALIDJOBSTATE",
                f"Job {job.id} is {job.state} and cannot be set to {state}",
            )
        job.modstamp = _now_text()
        if state == "Aborted":
            job.state = "Aborted"
            job.unprocessed = self._unprocessed_rows(job)
            job.content = None
            return self._json(self._job_info(job))
        job.state = "UploadComplete"
        job.forced_state = self._forced_states.popleft() if self._forced_states else None
        job.pending_checks = self.in_progress_checks
        answer = self._json(self._job_info(job))
        if job.pending_checks == 0:
            self._finish(job)
        return answer

    def _delete_job(self, job: _Job) -> _Answer:
        if job.state == "Open":
            raise _RequestError(409, "INVALIDJOBSTATE", f"Job {job.id} is Open: close it first")
        del self._jobs[job.id]
        return _Answer(204)

    def _upload(self, job: _Job, headers: dict[str, str], body: bytes) -> _Answer:
        if job.state != "Open":
            raise _RequestError(
                409, "INVALIDJOBSTATE", f"Found a job in state: {job.state}, expected state: Open"
            )
        if job.content is not None:
            raise _RequestError(
                400,
                "BULK_API_ERROR",
                f"Found multiple contents for job: <{job.id}>, please 'Close' / 'Abort' / 'Delete'"
                " the current Job then create a new Job and make sure you only do 'PUT' once on a"
                " given Job.",
            )
        content_type = next((v for k, v in headers.items() if k.lower() == "content-type"), "")
        if content_type.split(";")[0].strip().lower() != "text/csv":
            raise _RequestError(
                400, "INVALIDCONTENTTYPE", f"Content-Type must be text/csv, not {content_type!r}"
            )
        try:
            job.content = body.decode("utf-8")
        except UnicodeDecodeError as error:
            raise _RequestError(
                400, "INVALIDBATCH", f"The upload is not UTF-8 text: {error}"
            ) from None
        job.modstamp = _now_text()
        return _Answer(201)

    def _unprocessed_rows(self, job: _Job) -> list[list[str]]:
        if not job.content:
            return []
        delimiter = COLUMN_DELIMITERS[job.column_delimiter]
        try:
            return list(csv.reader(io.StringIO(job.content, newline=""), delimiter=delimiter))
        except csv.Error:
            return []

    def _finish(self, job: _Job) -> None:
        """Processes a closed job: applies its records, or ends it as it was told to."""
        started = time.perf_counter()
        if job.forced_state is not None:
            job.state = job.forced_state
            if job.state == "Failed":
                job.error_message = "InvalidBatch : The job was set to fail"
            job.unprocessed = self._unprocessed_rows(job)
        else:
            try:
                header, records = _parse_upload(
                    job.content or "",
                    LINE_ENDINGS[job.line_ending],
                    COLUMN_DELIMITERS[job.column_delimiter],
                )
                self._apply(job, header, records)
                job.state = "JobComplete"
            except _BatchError as error:
                job.state = "Failed"
                job.error_message = str(error)
                job.unprocessed = self._unprocessed_rows(job)
        job.processing_ms = int((time.perf_counter() - started) * 1000)
        job.modstamp = _now_text()
        job.content = None

    # -- applying records -------------------------------------------------------------------

    def _database(self) -> sqlite3.Connection:
        if self._connection is None:
            raise RuntimeError("the emulator is not running: its database is closed")
        return self._connection

    @staticmethod
    def _columns(connection: sqlite3.Connection, table: str) -> dict[str, str]:
        """The table's columns, lower-cased name to name (empty when there is no such table)."""
        rows = connection.execute(f"PRAGMA table_info({_quote(table)})").fetchall()
        return {row[1].lower(): row[1] for row in rows}

    def _apply(self, job: _Job, header: list[str], records: list[list[str]]) -> None:
        job.header = header
        positions = {name.lower(): index for index, name in enumerate(header)}
        rules = [
            (positions[name], value, message)
            for name, value, message in self._rejections
            if name in positions
        ]
        accepted: list[list[str]] = []
        for record in records:
            for position, value, message in rules:
                if record[position] == value:
                    job.failures.append(["", message, *record])
                    break
            else:
                accepted.append(record)
        connection = self._database()
        connection.execute("BEGIN")
        try:
            if job.operation == "insert":
                self._insert(connection, job, header, positions, accepted)
            elif job.operation == "upsert":
                self._upsert(connection, job, header, positions, accepted)
            else:
                self._update_or_delete(connection, job, header, positions, accepted)
            connection.execute("COMMIT")
        except BaseException as error:
            connection.execute("ROLLBACK")
            job.successes.clear()
            job.failures.clear()
            if isinstance(error, sqlite3.Error):
                raise _BatchError(
                    f"InvalidBatch : The records could not be stored: {error}"
                ) from None
            raise

    def _prepare_table(
        self, connection: sqlite3.Connection, sobject: str, header: list[str]
    ) -> str:
        """Creates the table and any missing column; returns the table's own name."""
        connection.execute(
            f'CREATE TABLE IF NOT EXISTS {_quote(sobject)} ("Id" TEXT PRIMARY KEY NOT NULL)'
        )
        columns = self._columns(connection, sobject)
        for name in header:
            if name.lower() not in columns:
                connection.execute(f"ALTER TABLE {_quote(sobject)} ADD COLUMN {_quote(name)} TEXT")
                columns[name.lower()] = name
        return sobject

    def _allocate_ids(self, connection: sqlite3.Connection, sobject: str, count: int) -> list[str]:
        first = connection.execute("PRAGMA user_version").fetchone()[0] + 1
        connection.execute(f"PRAGMA user_version = {first + count - 1:d}")
        return _make_ids(_key_prefix(sobject), first, count)

    @staticmethod
    def _without(record: list[str], position: int | None) -> list[str]:
        return record if position is None else record[:position] + record[position + 1 :]

    def _insert_rows(
        self,
        connection: sqlite3.Connection,
        job: _Job,
        fields: list[str],
        id_position: int | None,
        records: list[list[str]],
    ) -> None:
        if not records:
            return
        ids = self._allocate_ids(connection, job.object, len(records))
        names = ", ".join(['"Id"', *(_quote(name) for name in fields)])
        values = ", ".join(["?", *(["NULLIF(NULLIF(?, ''), '#N/A')"] * len(fields))])
        statement = f"INSERT INTO {_quote(job.object)} ({names}) VALUES ({values})"
        if id_position is None:
            connection.executemany(
                statement, [(new, *rec) for new, rec in zip(ids, records, strict=True)]
            )
        else:
            connection.executemany(
                statement,
                [
                    (new, *self._without(rec, id_position))
                    for new, rec in zip(ids, records, strict=True)
                ],
            )
        job.successes.extend([new, "true", *rec] for new, rec in zip(ids, records, strict=True))

    def _update_rows(
        self,
        connection: sqlite3.Connection,
        job: _Job,
        fields: list[str],
        id_position: int | None,
        updates: list[tuple[str, list[str]]],
    ) -> None:
        if not updates:
            return
        if fields:
            assignments = ", ".join(
                f"{_quote(name)} = CASE ?{number} WHEN '' THEN {_quote(name)} "
                f"WHEN '#N/A' THEN NULL ELSE ?{number} END"
                for number, name in enumerate(fields, start=2)
            )
            statement = f'UPDATE {_quote(job.object)} SET {assignments} WHERE "Id" = ?1'
            if id_position is None:
                params = [(key, *rec) for key, rec in updates]
            else:
                params = [(key, *self._without(rec, id_position)) for key, rec in updates]
            connection.executemany(statement, params)
        job.successes.extend([key, "false", *rec] for key, rec in updates)

    def _existing_ids(self, connection: sqlite3.Connection, sobject: str, ids: list[str]) -> set:
        found: set[str] = set()
        if not self._columns(connection, sobject):
            return found
        for start in range(0, len(ids), _LOOKUP_CHUNK):
            chunk = ids[start : start + _LOOKUP_CHUNK]
            marks = ", ".join("?" * len(chunk))
            statement = f'SELECT "Id" FROM {_quote(sobject)} WHERE "Id" IN ({marks})'
            found.update(row[0] for row in connection.execute(statement, chunk))
        return found

    def _insert(self, connection, job, header, positions, records) -> None:
        self._prepare_table(connection, job.object, header)
        id_position = positions.get("id")
        fields = [name for name in header if name.lower() != "id"]
        if id_position is not None:
            keep = []
            for record in records:
                if record[id_position]:
                    job.failures.append(
                        [
                            "",
                            "INVALID_FIELD_FOR_INSERT_UPDATE:cannot specify Id in an insert "
                            "call:Id --",
                            *record,
                        ]
                    )
                else:
                    keep.append(record)
            records = keep
        self._insert_rows(connection, job, fields, id_position, records)

    def _match_by_id(
        self, connection, job, id_position, records
    ) -> tuple[list[tuple[str, list[str]]], list[list[str]]]:
        """Splits records into (Id, record) pairs of existing records and records with no Id;
        the rest fail."""
        keys: list[str | None] = []
        for record in records:
            value = record[id_position]
            keys.append(_to_id18(value) if value else "")
        existing = self._existing_ids(connection, job.object, [key for key in keys if key])
        matched: list[tuple[str, list[str]]] = []
        blank: list[list[str]] = []
        seen: set[str] = set()
        for key, record in zip(keys, records, strict=True):
            if key == "":
                blank.append(record)
            elif key is None:
                job.failures.append(
                    [
                        "",
                        f"MALFORMED_ID:{job.object} ID: id value of incorrect type: "
                        f"{record[id_position]}:Id --",
                        *record,
                    ]
                )
            elif key not in existing:
                job.failures.append([key, "ENTITY_IS_DELETED:entity is deleted:--", *record])
            elif key in seen:
                job.failures.append(
                    [key, f"DUPLICATE_VALUE:Duplicate id in list: {key}:--", *record]
                )
            else:
                seen.add(key)
                matched.append((key, record))
        return matched, blank

    def _update_or_delete(self, connection, job, header, positions, records) -> None:
        id_position = positions.get("id")
        if id_position is None:
            message = f"MISSING_ARGUMENT:Id not specified in an {job.operation} call:--"
            job.failures.extend(["", message, *record] for record in records)
            return
        matched, blank = self._match_by_id(connection, job, id_position, records)
        message = f"MISSING_ARGUMENT:Id not specified in an {job.operation} call:--"
        job.failures.extend(["", message, *record] for record in blank)
        if not matched:
            return
        if job.operation == "delete":
            statement = f'DELETE FROM {_quote(job.object)} WHERE "Id" = ?'
            connection.executemany(statement, [(key,) for key, _ in matched])
            job.successes.extend([key, "false", *record] for key, record in matched)
            return
        self._prepare_table(connection, job.object, header)
        fields = [name for name in header if name.lower() != "id"]
        self._update_rows(connection, job, fields, id_position, matched)

    def _upsert(self, connection, job, header, positions, records) -> None:
        external = job.external_id_field or "Id"
        ext_position = positions.get(external.lower())
        if ext_position is None:
            raise _BatchError(
                f"InvalidBatch : Field {external} is not in the upload; the upsert matches on it"
            )
        self._prepare_table(connection, job.object, header)
        id_position = positions.get("id")
        fields = [name for name in header if name.lower() != "id"]
        if external.lower() == "id":
            matched, blank = self._match_by_id(connection, job, ext_position, records)
            self._update_rows(connection, job, fields, id_position, matched)
            self._insert_rows(connection, job, fields, id_position, blank)
            return
        table, column = _quote(job.object), _quote(header[ext_position])
        index = _quote(f"{job.object}:{header[ext_position]}".lower())
        connection.execute(f"CREATE INDEX IF NOT EXISTS {index} ON {table} ({column})")
        counts: dict[str, int] = {}
        for record in records:
            value = record[ext_position]
            counts[value] = counts.get(value, 0) + 1
        values = [value for value in counts if value]
        found: dict[str, list[str]] = {}
        for start in range(0, len(values), _LOOKUP_CHUNK):
            chunk = values[start : start + _LOOKUP_CHUNK]
            marks = ", ".join("?" * len(chunk))
            statement = f'SELECT {column}, "Id" FROM {table} WHERE {column} IN ({marks})'
            for value, key in connection.execute(statement, chunk):
                found.setdefault(value, []).append(key)
        updates: list[tuple[str, list[str]]] = []
        inserts: list[list[str]] = []
        for record in records:
            value = record[ext_position]
            keys = found.get(value)
            if value and counts[value] > 1:
                job.failures.append(
                    ["", f"DUPLICATE_VALUE:Duplicate external id specified: {value}:--", *record]
                )
            elif keys is None:
                inserts.append(record)
            elif len(keys) > 1:
                job.failures.append(
                    [
                        "",
                        f"DUPLICATE_EXTERNAL_ID:{external}: more than one record found for "
                        f"external id field: [{', '.join(sorted(keys))}]:--",
                        *record,
                    ]
                )
            else:
                updates.append((keys[0], record))
        self._update_rows(connection, job, fields, id_position, updates)
        self._insert_rows(connection, job, fields, id_position, inserts)

    # -- results ----------------------------------------------------------------------------

    def _results(self, job: _Job, part: str) -> _Answer:
        if part == "unprocessedrecords":
            rows = job.unprocessed
            if not rows:
                rows = [job.header] if job.header else []
        elif part == "successfulResults":
            rows = [["sf__Id", "sf__Created", *job.header], *job.successes]
        else:
            rows = [["sf__Id", "sf__Error", *job.header], *job.failures]
        buffer = io.StringIO()
        writer = csv.writer(
            buffer,
            delimiter=COLUMN_DELIMITERS[job.column_delimiter],
            lineterminator=LINE_ENDINGS[job.line_ending],
        )
        writer.writerows(rows)
        return _Answer(200, buffer.getvalue().encode("utf-8"), "text/csv; charset=UTF-8")


# -- command line -----------------------------------------------------------------------------


def run_in_subprocess(*options: str) -> tuple[subprocess.Popen, str]:
    """Starts `python -m kavrel.salesforce.emulator` on a free port with these options.

    Returns the process and its base URL. Asking for port 0 and reading the URL it prints
    avoids the race of probing for a free port first. The caller terminates the process.
    """
    command = [sys.executable, "-m", "kavrel.salesforce.emulator", "--port", "0", *options]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    base_url = server.stdout.readline().strip()
    if not base_url:
        server.kill()
        server.wait()
        raise RuntimeError("the local Bulk API server did not start")
    return server, base_url


def serve(args: argparse.Namespace) -> int:
    """Runs the emulator from parsed options until interrupted; the exit status."""
    try:
        emulator = BulkApiEmulator(
            port=args.port,
            access_token=args.access_token or DEFAULT_ACCESS_TOKEN,
            db=args.db,
            client_id=args.client_id,
            client_secret=args.client_secret,
            in_progress_checks=args.in_progress_checks,
        )
        emulator.start()
    except (ValueError, OSError, sqlite3.Error) as error:
        print(f"Error: cannot start the Bulk API emulator: {error}", file=sys.stderr)
        return 1
    print(emulator.base_url, flush=True)
    print(
        f"Bulk API 2.0 emulator: access token {emulator.access_token!r}, database {args.db}; "
        "press Ctrl+C to stop.",
        file=sys.stderr,
        flush=True,
    )
    try:
        assert emulator._thread is not None
        while emulator._thread.is_alive():
            emulator._thread.join(0.5)
    except KeyboardInterrupt:
        pass
    finally:
        emulator.stop()
    return 0


def main(argv: list[str] | None = None) -> int:
    from kavrel.cli.emulator import add_arguments

    parser = argparse.ArgumentParser(
        prog="python -m kavrel.salesforce.emulator",
        description="A local Salesforce Bulk API 2.0 ingest server that applies jobs to SQLite.",
    )
    add_arguments(parser)
    return serve(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
