"""Answers lost or cut short between kavrel and the local Bulk API server, by a small proxy on
loopback that forwards each request and then does with the server's answer what it is told."""

from __future__ import annotations

import http.client
import http.server
import threading
import time

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce import oauth, urls


class LossyProxy(http.server.BaseHTTPRequestHandler):
    """Forwards a request; the answer of the next one of a method in `server.fates` is lost
    ("lose": the server applied it, the client sees the connection drop) or cut in half."""

    def forward(self) -> None:
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        upstream = http.client.HTTPConnection("127.0.0.1", self.server.upstream_port, timeout=10)
        upstream.request(self.command, self.path, body, dict(self.headers))
        answer = upstream.getresponse()
        content = answer.read()
        upstream.close()
        fate = self.server.fates.pop(self.command, None)
        if fate == "lose":
            return
        self.send_response(answer.status)
        for name, value in answer.getheaders():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(content[: len(content) // 2] if fate == "cut" else content)

    do_GET = do_POST = do_PUT = do_PATCH = forward

    def log_message(self, *args: object) -> None:
        pass


@pytest.fixture
def proxy(bulk_server):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), LossyProxy)
    server.upstream_port, server.fates = bulk_server.port, {}
    lossy = {**bulk_server.access_info, "instance_url": f"http://127.0.0.1:{server.server_port}"}
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server, lossy
    server.shutdown()
    server.server_close()
    thread.join()


def create(access: dict, sobject: str = "Account", operation: str = "insert") -> str:
    headers = {"Authorization": f"Bearer {access['access_token']}"}
    document = {"object": sobject, "operation": operation}
    url = access["instance_url"] + ingest.INGEST_PATH
    return requests.post(url, headers=headers, json=document, timeout=10).json()["id"]


def test_a_job_whose_creation_answer_was_lost_is_found(bulk_server, proxy, monkeypatch):
    server, lossy = proxy
    monkeypatch.setattr(ingest, "CLOCK_SKEW", 0.0)
    direct = bulk_server.access_info
    create(direct)  # this user's, but from before the lost request
    time.sleep(0.01)  # creation times are kept to the millisecond
    since = time.time()
    server.fates["POST"] = "lose"
    with pytest.raises(requests.ConnectionError) as lost:
        create(lossy)
    assert ingest.may_have_created_job(lost.value)
    create(direct, "Contact")
    create(direct, operation="delete")
    ingest.job_abort(direct, create(direct))
    lost_job = ingest.job_list(direct)[1]["id"]
    # Logged in through a profile, the token answer names the user; a bare token asks userinfo.
    by_login = oauth.request_token({}, bulk_server.base_url)
    assert by_login["user_id"] == "005000000000001AAA"
    for access in (by_login, direct):
        found = ingest.find_open_jobs(access, "account", "insert", since)
        assert [job["id"] for job in found] == [lost_job]
    other_user = {**direct, "user_id": "005000000000002AAA"}
    assert ingest.find_open_jobs(other_user, "Account", "insert", since) == []


@pytest.mark.parametrize(
    ("error", "may_exist"),
    [(requests.ConnectTimeout, False), (lambda: urls.UnsafeUrl("x"), False),
     (requests.exceptions.InvalidURL, False), (lambda: ingest.BulkApiError(400, "X", "x"), False),
     (lambda: ingest.BulkApiError(502, None, "x"), True), (requests.ReadTimeout, True),
     (requests.exceptions.ChunkedEncodingError, True), (KeyboardInterrupt, True)],
)  # fmt: skip
def test_whether_a_failed_creation_may_have_made_a_job(error, may_exist):
    assert ingest.may_have_created_job(error()) is may_exist


@pytest.mark.parametrize("fate", ["lose", "503"])
def test_an_abort_is_retried_and_an_abort_already_applied_counts(
    bulk_server, proxy, no_sleep, fate
):
    server, lossy = proxy
    job_id = create(lossy)
    if fate == "503":
        bulk_server.fail_next_request("PATCH", job_id, 503)
    else:
        server.fates["PATCH"] = "lose"
    assert ingest.job_abort(lossy, job_id)["state"] == "Aborted"
    assert len(no_sleep) == 1
    with pytest.raises(ingest.BulkApiError):  # a job aborted before is refused as ever
        ingest.job_abort(lossy, job_id)


@pytest.mark.parametrize("read", ["job_status", "successful_results", "job_list"])
def test_an_answer_cut_short_is_read_again(proxy, no_sleep, read):
    server, lossy = proxy
    job_id = create(lossy)
    ingest.send_file(lossy, job_id, "Name\nA\nB\n")
    ingest.job_close(lossy, job_id)
    # Ended first (a status read waits for the local server's job to end), so that the two
    # reads below can only differ by what the cut answer lost.
    assert ingest.job_status(lossy, job_id)["state"] == "JobComplete"
    server.fates["GET"] = "cut"
    arguments = (lossy,) if read == "job_list" else (lossy, job_id)
    assert getattr(ingest, read)(*arguments) == getattr(ingest, read)(*arguments)
    assert len(no_sleep) == 1


def test_a_load_aborts_the_job_whose_creation_answer_was_lost_and_sends_its_batch_again(
    bulk_server, proxy, home
):
    from kavrel import load
    from kavrel.sflake.local import SQLiteSession

    server, lossy = proxy
    session = SQLiteSession()
    session.connection.execute("CREATE TABLE t AS SELECT 'A' AS Name UNION SELECT 'B'")
    server.fates["POST"] = "lose"
    summary = load.load(session, "SELECT Name FROM t ORDER BY Name", lossy, "Account", "insert",
                        batch_size=1)  # fmt: skip
    [lost] = [job for job in ingest.job_list(bulk_server.access_info) if job["state"] == "Aborted"]
    first = summary.jobs[0]
    assert first.completed
    assert first.job_id != lost["id"]
    assert sorted(row["Name"] for row in bulk_server.rows("Account")) == ["A", "B"]
    assert summary.exit_status == 0
    assert load.history()[0].batches[1].abandoned == [lost["id"]]
