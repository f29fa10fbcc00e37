"""The Bulk API client as a layer: a load keeps its connections alive, an abort is renewed as any
request is, the token endpoint is tried again when busy, and every command (the local server's
included) ends with 130 on Ctrl-C and 143 on SIGTERM."""

from __future__ import annotations

import signal
import sqlite3
import subprocess
import sys
import time

import pytest
import requests
from command import environment

from kavrel import load
from kavrel.salesforce import ingest_bapi20, oauth
from kavrel.salesforce.bulk_client import BulkApiClient
from kavrel.salesforce.emulator import BulkApiEmulator

SESSION_ENDED = [{"errorCode": "INVALID_SESSION_ID", "message": "Session expired or invalid"}]


def open_job(server) -> str:
    access = server.access_info
    headers = {"Authorization": f"Bearer {access['access_token']}"}
    url = access["instance_url"] + ingest_bapi20.INGEST_PATH
    document = {"object": "Account", "operation": "insert"}
    return requests.post(url, headers=headers, json=document, timeout=10).json()["id"]


def test_a_load_keeps_its_connections_alive(bulk_server, no_sleep):
    connection = sqlite3.connect(":memory:")
    connection.execute("CREATE TABLE a AS SELECT 'Account ' || value AS Name FROM "
                       "json_each('[1,2,3,4,5,6,7,8,9,10,11,12]')")  # fmt: skip
    summary = load.load(connection, "SELECT Name FROM a", bulk_server.access_info, "Account",
                        "insert", batch_size=1, parallel=3, journal=False)  # fmt: skip
    assert summary.exit_status == 0
    # 12 jobs of four requests and more each, over the connections of one pool.
    assert bulk_server.connections_accepted <= 3 + 2
    before = bulk_server.connections_accepted
    job_id = summary.jobs[0].job_id
    for _ in range(3):  # a module function makes a client, and a connection, for each call
        ingest_bapi20.job_status(bulk_server.access_info, job_id)
    assert bulk_server.connections_accepted == before + 3


def test_an_abort_refused_for_an_ended_session_is_renewed(bulk_server):
    job_id = open_job(bulk_server)
    renewals = []

    def renew() -> dict[str, str]:
        renewals.append(1)
        return bulk_server.access_info

    with BulkApiClient({**bulk_server.access_info}, renew=renew) as client:
        bulk_server.fail_next_request("PATCH", job_id, 401, SESSION_ENDED)
        assert client.job_abort(job_id)["state"] == "Aborted"
    assert renewals == [1]


@pytest.mark.parametrize("fault", [503, 429, "drop"])
def test_a_busy_token_endpoint_is_asked_again(bulk_server, no_sleep, fault):
    if fault == "drop":
        bulk_server.drop_next_request("POST", "/services/oauth2/token")
    else:
        bulk_server.fail_next_request("POST", "/services/oauth2/token", fault)
    access = oauth.request_token({"client_id": "a", "client_key": "b"}, bulk_server.base_url)
    assert access["instance_url"] == bulk_server.base_url
    assert len(no_sleep) == 1


def started(command: list[str], home, **env: str) -> subprocess.Popen:
    return subprocess.Popen(command, env=environment(home, **env), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)  # fmt: skip


@pytest.mark.parametrize(("how", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("command", ["kavrel emulator", "python -m emulator", "job wait"])
def test_every_command_ends_on_ctrl_c_and_sigterm_as_the_others(home, command, how, status):
    with BulkApiEmulator(in_progress_checks=10**6) as server:
        if command == "job wait":
            job_id = open_job(server)
            ingest_bapi20.send_file(server.access_info, job_id, "Name\nA\n")
            ingest_bapi20.job_close(server.access_info, job_id)
            process = started([sys.executable, "-m", "kavrel", "job", "wait", job_id,
                               "--instance-url", server.base_url], home,
                              SF_ACCESS_TOKEN=server.access_token)  # fmt: skip
            ready = "Job "  # its first progress line
        else:
            module = "kavrel" if command == "kavrel emulator" else "kavrel.salesforce.emulator"
            extra = ["emulator"] if module == "kavrel" else []
            process = started([sys.executable, "-m", module, *extra, "--port", "0"], home)
            ready = "Bulk API 2.0 emulator:"
        try:
            for line in process.stderr:
                if line.startswith(ready):
                    break
            time.sleep(0.1)  # well inside its wait: the signal lands there, not at a start-up
            process.send_signal(how)
            assert process.wait(timeout=30) == status
        finally:
            process.kill()
            process.communicate()


def test_a_signal_stops_a_load_without_taking_the_lock_its_wait_may_hold():
    import threading

    from kavrel.load import Stop, Terminated

    stop = Stop()
    with stop._event._cond:  # as the main thread holds it inside the stop's wait
        handler = threading.Thread(target=stop._signal, args=(Terminated,))
        handler.start()
        handler.join(timeout=10)
        assert not handler.is_alive()  # a handler that waits for that lock never returns
    assert stop.is_set()
    assert stop.wait(60)
    assert isinstance(stop.interrupt(), Terminated)
