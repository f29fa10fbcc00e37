"""Answers lost or cut short between kavrel and the local Bulk API server, by a small proxy on
loopback that forwards each request and then does with the server's answer what it is told."""

from __future__ import annotations

import http.client
import socket
import socketserver
import threading
import time
from collections import deque
from urllib.parse import urlsplit

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce import oauth, urls


class _Handler(socketserver.StreamRequestHandler):
    def handle(self) -> None:
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            line = self.rfile.readline()
            if not line:
                return
            head += line
        request_line, *header_lines = head.decode("latin-1").split("\r\n")
        method, target, _ = request_line.split(" ", 2)
        headers = dict(line.split(": ", 1) for line in header_lines if line)
        body = self.rfile.read(int(headers.get("Content-Length", 0)))
        fate = self.server.fate(method)
        upstream = http.client.HTTPConnection(*self.server.upstream, timeout=10)
        upstream.request(method, target, body, headers)
        answer = upstream.getresponse()
        content = answer.read()
        upstream.close()
        if fate == "lose":
            return  # applied by the server, its answer never delivered
        if fate == "truncate":
            content = content[: len(content) // 2]
        status = f"HTTP/1.1 {answer.status} {answer.reason}\r\n"
        kept = [f"{k}: {v}\r\n" for k, v in answer.getheaders() if k.lower() != "connection"]
        self.wfile.write((status + "".join(kept) + "Connection: close\r\n\r\n").encode("latin-1"))
        self.wfile.write(content)


class LossyProxy(socketserver.ThreadingTCPServer):
    daemon_threads = True

    def __init__(self, upstream_url: str) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        parts = urlsplit(upstream_url)
        self.upstream = (parts.hostname, parts.port)
        self.fates: deque[tuple[str, str]] = deque()

    def fate(self, method: str) -> str | None:
        """What happens to this request's answer: the first pending fate for its method."""
        for pending in list(self.fates):
            if pending[0] == method:
                self.fates.remove(pending)
                return pending[1]
        return None

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}"


@pytest.fixture
def proxy(bulk_server):
    server = LossyProxy(bulk_server.base_url)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join()


def create(base_url: str, token: str, sobject: str = "Account", operation: str = "insert"):
    return requests.post(
        f"{base_url}{ingest.INGEST_PATH}",
        headers={"Authorization": f"Bearer {token}"},
        json={"object": sobject, "operation": operation},
        timeout=10,
    )


def test_a_job_whose_creation_answer_was_lost_is_found(bulk_server, proxy, monkeypatch):
    monkeypatch.setattr(ingest, "CLOCK_SKEW", 0.0)
    token = bulk_server.access_token
    create(bulk_server.base_url, token)  # this user's, but from before the lost request
    time.sleep(0.01)  # creation times are kept to the millisecond
    since = time.time()
    proxy.fates.append(("POST", "lose"))
    with pytest.raises(requests.ConnectionError) as lost:
        create(proxy.url, token)
    assert ingest.may_have_created_job(lost.value)
    create(bulk_server.base_url, token, "Contact")
    create(bulk_server.base_url, token, operation="delete")
    closed = create(bulk_server.base_url, token).json()["id"]
    ingest.job_abort(bulk_server.access_info, closed)

    listed = ingest.job_list(bulk_server.access_info)
    lost_job = listed[1]["id"]
    # Logged in through a profile, the token answer names the user; a bare token asks userinfo.
    bulk_server.client_id = bulk_server.client_secret = None
    by_login = oauth.request_token({}, bulk_server.base_url)
    assert by_login["user_id"] == "005000000000001AAA"
    for access in (by_login, bulk_server.access_info):
        found = ingest.find_open_jobs(access, "account", "insert", since)
        assert [job["id"] for job in found] == [lost_job]
    other_user = {**bulk_server.access_info, "user_id": "005000000000002AAA"}
    assert ingest.find_open_jobs(other_user, "Account", "insert", since) == []


def _refused_connection() -> requests.ConnectionError:
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    try:
        requests.get(f"http://127.0.0.1:{port}/", timeout=5)
    except requests.ConnectionError as error:
        return error
    raise AssertionError("the connection was not refused")


@pytest.mark.parametrize(
    ("error", "may_exist"),
    [(_refused_connection, False), (requests.ConnectTimeout, False),
     (lambda: urls.UnsafeUrl("x"), False), (requests.exceptions.InvalidURL, False),
     (lambda: ingest.BulkApiError(400, "INVALIDJOB", "x"), False), (ValueError, False),
     (lambda: ingest.BulkApiError(502, None, "x"), True), (requests.ReadTimeout, True),
     (requests.exceptions.ChunkedEncodingError, True), (KeyboardInterrupt, True)],
)  # fmt: skip
def test_whether_a_failed_creation_may_have_made_a_job(error, may_exist):
    assert ingest.may_have_created_job(error()) is may_exist


@pytest.mark.parametrize("fate", ["lose", "503"])
def test_an_abort_is_retried_and_an_abort_already_applied_counts(
    bulk_server, proxy, no_sleep, fate
):
    job_id = create(bulk_server.base_url, bulk_server.access_token).json()["id"]
    if fate == "503":
        bulk_server.fail_next_request("PATCH", job_id, 503)
    else:
        proxy.fates.append(("PATCH", "lose"))
    access = {**bulk_server.access_info, "instance_url": proxy.url}
    assert ingest.job_abort(access, job_id)["state"] == "Aborted"
    assert len(no_sleep) == 1
    with pytest.raises(ingest.BulkApiError):  # a job aborted before is refused as ever
        ingest.job_abort(access, job_id)


@pytest.mark.parametrize("read", ["job_status", "successful_results", "job_list"])
def test_an_answer_cut_short_is_read_again(bulk_server, proxy, no_sleep, read):
    job_id = create(bulk_server.base_url, bulk_server.access_token).json()["id"]
    access = {**bulk_server.access_info, "instance_url": proxy.url}
    ingest.send_file(access, job_id, "Name\nA\nB\n")
    ingest.job_close(access, job_id)
    proxy.fates.append(("GET", "truncate"))
    arguments = (access,) if read == "job_list" else (access, job_id)
    answer = getattr(ingest, read)(*arguments)
    assert answer == getattr(ingest, read)(*arguments) and len(no_sleep) == 1
