"""HTTP/1.1 for the local server: reading request bodies (Content-Length or chunked, bounded),
answering in one write on a socket without Nagle's delay, https when a TLS context is given,
and the injected drops and delays. What a request means is the router's business."""

from __future__ import annotations

import json
import logging
import socket
import ssl
import time
from collections.abc import Callable
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from .controls import Fault
from .upload import MAX_UPLOAD_BYTES

JSON_TYPE = "application/json;charset=UTF-8"

logger = logging.getLogger("kavrel.salesforce.emulator")


@dataclass
class Answer:
    status: int
    body: bytes = b""
    content_type: str | None = None
    close: bool = False
    headers: dict[str, str] | None = None


@dataclass
class Request:
    method: str
    target: str
    headers: dict[str, str]
    body: bytes
    scheme: str

    @property
    def path(self) -> str:
        return self.target.partition("?")[0]

    def header(self, name: str) -> str:
        lowered = name.lower()
        return next((v for k, v in self.headers.items() if k.lower() == lowered), "")


class BodyTooLarge(Exception):
    pass


class BadBody(Exception):
    pass


def read_chunked(read_line: Callable[[], bytes], read: Callable[[int], bytes], limit: int) -> bytes:
    """A chunked body (RFC 9112 §7.1), refused once it grows past `limit` bytes."""
    parts: list[bytes] = []
    total = 0
    while True:
        line = read_line()
        try:
            size = int(line.split(b";")[0].strip(), 16)
        except ValueError:
            raise BadBody("a chunk size is not valid") from None
        if size < 0:
            raise BadBody("a chunk size is not valid")
        if size == 0:
            while read_line().strip():  # trailer fields, ignored
                pass
            return b"".join(parts)
        total += size
        if total > limit:
            raise BodyTooLarge
        chunk = read(size)
        if len(chunk) != size or read(2) != b"\r\n":
            raise BadBody("a chunk ended early")
        parts.append(chunk)


def json_answer(document: Any, status: int = 200, close: bool = False) -> Answer:
    return Answer(status, json.dumps(document).encode("utf-8"), JSON_TYPE, close)


def error_answer(status: int, error_code: str, message: str, close: bool = False) -> Answer:
    """Salesforce's error list: one error with its code and message."""
    return json_answer([{"errorCode": error_code, "message": message}], status, close)


TOO_LARGE = (
    413,
    "REQUEST_ENTITY_TOO_LARGE",
    f"The body exceeds 150,000,000 bytes once base64-encoded ({MAX_UPLOAD_BYTES:,} bytes)",
)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kavrel-bulk-emulator"
    sys_version = ""
    # Idle keep-alive connections are closed after a minute instead of holding a thread forever.
    timeout = 60

    def setup(self) -> None:
        super().setup()
        # Small answers go out at once instead of waiting for the client's delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

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
        server: Server = self.server  # type: ignore[assignment]
        body = self._read_body()
        if isinstance(body, Answer):
            self._send(body)
            return
        scheme = "https" if server.tls_context is not None else "http"
        request = Request(method, self.path, dict(self.headers.items()), body, scheme)
        fault = server.take_fault(request)
        if fault is not None and fault.kind == "drop":
            # The request was read whole; the client sees the connection end with no answer.
            self.close_connection = True
            return
        if fault is not None and fault.kind == "delay":
            time.sleep(fault.detail)
        try:
            answer = server.answer(request, fault)
        except Exception:  # a fault of ours must not drop the client's connection unanswered
            logger.exception("request %s %s failed", method, self.path)
            answer = error_answer(500, "UNKNOWN_EXCEPTION", "An unexpected error occurred")
        if fault is not None and fault.kind in ("lose", "cut"):
            # The work is done; what the client learns of it is lost on the way back.
            self.close_connection = True
            if fault.kind == "cut":
                self._send(answer, cut=True)
            return
        self._send(answer)

    def _read_body(self) -> bytes | Answer:
        try:
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                return read_chunked(self.rfile.readline, self.rfile.read, MAX_UPLOAD_BYTES)
            length = int(self.headers.get("Content-Length", "0"))
            if length < 0:
                raise ValueError
        except BodyTooLarge:
            return error_answer(*TOO_LARGE, close=True)
        except (BadBody, ValueError):
            return error_answer(400, "INVALID_REQUEST", "The body's length is not valid", True)
        if length > MAX_UPLOAD_BYTES:
            # Not read at all: the connection is closed after the answer.
            return error_answer(*TOO_LARGE, close=True)
        return self.rfile.read(length) if length else b""

    def _send(self, answer: Answer, cut: bool = False) -> None:
        self.send_response(answer.status)
        has_body = answer.status not in (204, 304)
        if has_body:
            if answer.content_type:
                self.send_header("Content-Type", answer.content_type)
            self.send_header("Content-Length", str(len(answer.body)))
        for name, value in (answer.headers or {}).items():
            self.send_header(name, value)
        if answer.close:
            self.send_header("Connection", "close")
            self.close_connection = True
        # Head and body in one write: a separate small write would wait for the delayed ACK of
        # the first on a kept-alive connection.
        buffered: list[bytes] = getattr(self, "_headers_buffer", [])
        head = b"".join(buffered) + b"\r\n"
        buffered.clear()
        body = answer.body[: len(answer.body) // 2] if cut else answer.body
        self.wfile.write(head + body if has_body else head)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(
        self,
        address: tuple[str, int],
        take_fault: Callable[[Request], Fault | None],
        answer: Callable[[Request, Fault | None], Answer],
        tls_context: ssl.SSLContext | None = None,
    ) -> None:
        super().__init__(address, Handler)
        self.take_fault = take_fault
        self.answer = answer
        self.tls_context = tls_context
        # Every TCP connection accepted: how a client keeps (or does not keep) its connections.
        self.connections_accepted = 0

    def get_request(self) -> tuple[socket.socket, Any]:
        connection, address = super().get_request()
        self.connections_accepted += 1
        if self.tls_context is not None:
            # The handshake happens on the handler's thread, at its first read.
            connection = self.tls_context.wrap_socket(
                connection, server_side=True, do_handshake_on_connect=False
            )
        return connection, address

    def handle_error(self, _request: Any, client_address: Any) -> None:
        # A client that hangs up mid-answer (or refuses the certificate) is routine; keep it out
        # of the user's terminal.
        logger.debug("connection from %s ended with an error", client_address, exc_info=True)
