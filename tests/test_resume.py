"""Loads that outlive a stop: each load's journal, `kavrel load resume` from the same rows after a
SIGKILL or SIGTERM at a random instant, `kavrel load retry` of rejected records, and the lost
creation of one load next to another's jobs. The command runs in its own process, against the
local Bulk API server and a SQLite warehouse."""

from __future__ import annotations

import json
import random
import signal
import sqlite3
import stat
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest
from command import environment, run_kavrel

from kavrel.load import journal as journals
from kavrel.salesforce import ingest_bapi20
from kavrel.salesforce.emulator import BulkApiEmulator
from kavrel.user.connections import manager

ROWS = 600
QUERY = "SELECT Name, Ext__c FROM accounts ORDER BY Ext__c"


@pytest.fixture
def warehouse(tmp_path: Path) -> Path:
    path = tmp_path / "warehouse.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
        connection.executemany(
            "INSERT INTO accounts VALUES (?, ?)", [(f"N{i:04}", f"E{i:04}") for i in range(ROWS)]
        )
    connection.close()
    return path


def org_arguments(server) -> list[str]:
    return ["--instance-url", server.base_url]


def token(server) -> dict[str, str]:
    return {"SF_ACCESS_TOKEN": server.access_info["access_token"]}


def start_insert(home: Path, server, warehouse: Path, *extra: str) -> subprocess.Popen:
    command = [sys.executable, "-m", "kavrel", "insert", "-s", "Account", "--query", QUERY,
               "--sqlite", str(warehouse), "--batch-size", "50", "--parallel", "3",
               *org_arguments(server), *extra]  # fmt: skip
    return subprocess.Popen(command, env=environment(home, **token(server)), cwd=home.parent,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # fmt: skip


def stop_after_batch(process: subprocess.Popen, batch: int, pause: float, how: int) -> str:
    """Stops the load `pause` seconds after its batch `batch` (or a later one) was created (0:
    after it told its plan); returns its standard output."""
    for line in process.stderr:
        if batch == 0 and line.startswith("📦 Loading"):
            break
        if line.startswith("📤 Batch ") and int(line.split()[2].rstrip(":")) >= batch:
            break
    time.sleep(pause)
    process.send_signal(how)
    out, _ = process.communicate(timeout=60)
    return out


def resume(home: Path, server, *args: str) -> subprocess.CompletedProcess:
    return run_kavrel(home, "load", "resume", "last", *org_arguments(server), *args,
                      cwd=home.parent, **token(server))  # fmt: skip


def loaded(server) -> Counter:
    return Counter(row["Ext__c"] for row in server.rows("Account"))


@pytest.mark.parametrize(
    ("how", "seed"),
    [(signal.SIGKILL, 1), (signal.SIGKILL, 2), (signal.SIGKILL, 3), (signal.SIGKILL, 4),
     (signal.SIGTERM, 1), (signal.SIGTERM, 2)],
)  # fmt: skip
def test_a_load_stopped_at_any_instant_resumes_to_every_row_once(how, seed, home, warehouse):
    chance = random.Random(seed)
    with BulkApiEmulator(processing_rate=2000) as server:
        if seed % 2:  # the org creates the job but its answer is lost on the way back
            server.lose_next_answer("POST", "/jobs/ingest", cut=seed == 3)
        first = chance.randint(1, 6)
        if seed == 2:  # a slow creation: the stop lands while the request is out
            server.delay_next_request("POST", "/jobs/ingest", 0.5)
            first = 0
        process = start_insert(home, server, warehouse, "--json")
        out = stop_after_batch(process, first, chance.uniform(0, 0.3), how)
        if how == signal.SIGTERM:
            assert process.returncode == 143
            document = json.loads(out)
            assert document["interrupted"] is True
            assert document["load_id"] == journals.history()[0].load_id
            totals = document["totals"]
            parts = ("succeeded", "failed", "processing", "unknown", "not_processed", "not_sent")
            assert sum(totals[k] for k in parts) == ROWS
        if seed == 4:  # a resume stopped in its turn, then resumed again
            stop_after_batch(subprocess.Popen(
                [sys.executable, "-m", "kavrel", "load", "resume", "last", *org_arguments(server)],
                env=environment(home, **token(server)), stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True), 8, 0.05, signal.SIGKILL)  # fmt: skip
        done = resume(home, server, "--json")
        assert done.returncode == 0, done.stderr
        assert loaded(server) == Counter(f"E{i:04}" for i in range(ROWS))
        assert json.loads(done.stdout)["totals"]["succeeded"] == ROWS
        # Nothing the load made is left Open on the org.
        states = Counter(job["state"] for job in ingest_bapi20.job_list(server.access_info))
        assert set(states) <= {"JobComplete", "Aborted"}, states


def test_resume_refuses_a_source_that_changed_and_sends_nothing(home, warehouse):
    with BulkApiEmulator(in_progress_checks=3) as server:
        process = start_insert(home, server, warehouse)
        stop_after_batch(process, 3, 0, signal.SIGTERM)
        jobs = len(ingest_bapi20.job_list(server.access_info))
        with sqlite3.connect(warehouse) as connection:
            connection.execute("UPDATE accounts SET Name = 'changed' WHERE Ext__c = 'E0060'")
        connection.close()
        done = resume(home, server)
        assert done.returncode == 1
        assert done.stderr.splitlines()[-1] == (
            "Error: the rows of batch 2 are not the ones the load sent: the source changed since "
            "the load began; nothing was sent"
        )
        assert len(ingest_bapi20.job_list(server.access_info)) == jobs


def test_rejected_records_are_sent_again_by_retry(home, warehouse):
    with BulkApiEmulator(client_id="app", client_secret="secret-key") as server:
        manager.save_connection_config(
            "crm", {"client_id": "app", "client_key": "secret-key", "my_domain": "acme"},
            "salesforce",
        )  # fmt: skip
        server.reject_records("Ext__c", "E0007", "DUPLICATE_VALUE:dup", count=1)
        server.fail_next_request("POST", "/jobs/ingest", 503)  # sent again, not lost
        first = run_kavrel(home, "insert", "-s", "Account", "--query", QUERY, "--sqlite",
                           str(warehouse), "-o", "crm", "--login-url", server.base_url,
                           "--batch-size", "100", cwd=home.parent)  # fmt: skip
        assert first.returncode == 1
        assert first.stderr.splitlines()[-1].endswith("kavrel load retry " + history_id(0))
        again = run_kavrel(home, "load", "retry", "last", "--login-url", server.base_url,
                           "--json", cwd=home.parent)  # fmt: skip
        assert again.returncode == 0, again.stderr
        assert loaded(server) == Counter(f"E{i:04}" for i in range(ROWS))
        listing = json.loads(run_kavrel(home, "load", "list", "--json").stdout)["loads"]
        assert [load["retry_of"] for load in listing] == [history_id(1), None]
        assert [load["state"] for load in listing] == ["finished", "finished"]
        twice = run_kavrel(home, "load", "retry", history_id(1), "--login-url", server.base_url)
        assert twice.returncode == 1  # its records went again already
        finished = run_kavrel(home, "load", "resume", history_id(1), "--login-url", server.base_url)
        assert (finished.returncode, finished.stdout) == (
            0, f"Load {history_id(1)} had finished; there is nothing to resume.\n")  # fmt: skip
    # Private, and nothing secret in it: the profile's name, never its key or the token.
    folder = journals.loads_dir()
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    for path in folder.iterdir():
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        text = path.read_text(encoding="utf-8")
        assert "secret-key" not in text
        assert server.access_info["access_token"] not in text


def history_id(index: int) -> str:
    return journals.history()[index].load_id


@pytest.mark.parametrize("args", [["show", "20990101-000000-abcd"], ["resume", "last"]])
def test_an_unknown_load_is_a_clear_error(home, args):
    done = run_kavrel(home, "load", *args)
    assert done.returncode == 1
    assert done.stderr.startswith("Error: no load ")


def test_a_failed_results_file_is_sent_again_without_its_result_columns(home):
    (home.parent / "accounts.csv").write_text("Name\nAcme\nGlobex\n", encoding="utf-8")
    with BulkApiEmulator(schema="standard") as server:  # an org refuses a field named sf__Id
        server.reject_records("Name", "Globex", "DUPLICATE_VALUE:dup", count=1)
        first = run_kavrel(home, "insert", "-s", "Account", "-f", "accounts.csv",
                           "--results-dir", "out", "--instance-url", server.base_url,
                           cwd=home.parent, **token(server))  # fmt: skip
        assert first.returncode == 1
        [failed] = (home.parent / "out").glob("*-failed.csv")
        again = run_kavrel(home, "insert", "-s", "Account", "-f", str(failed),
                           "--instance-url", server.base_url, cwd=home.parent,
                           **token(server))  # fmt: skip
        assert again.returncode == 0, again.stdout + again.stderr
        assert sorted(row["Name"] for row in server.rows("Account")) == ["Acme", "Globex"]


def test_a_lost_creation_leaves_the_jobs_of_another_load_alone(bulk_server, home, warehouse):
    from kavrel import load
    from kavrel.sflake.sources import SQLiteSource

    access = bulk_server.access_info
    other = journals.Journal.start({"operation": "insert", "object": "Account"})
    theirs = ingest_bapi20.job_status(access, create_open_job(bulk_server))["id"]
    other.record("creating", {"batch": 1, "rows": 1, "since": time.time()})
    other.record("created", {"batch": 1, "job_id": theirs})
    bulk_server.lose_next_answer("POST", "/jobs/ingest")
    summary = load.load(SQLiteSource(warehouse), QUERY, access, "Account", "insert")
    assert summary.exit_status == 0
    assert ingest_bapi20.job_status(access, theirs)["state"] == "Open"
    [ours] = journals.read(summary.load_id).batches[1].abandoned
    assert ingest_bapi20.job_status(access, ours)["state"] == "Aborted"
    other.close()


def create_open_job(server) -> str:
    import requests

    access = server.access_info
    url = access["instance_url"] + ingest_bapi20.INGEST_PATH
    headers = {"Authorization": f"Bearer {access['access_token']}"}
    document = {"object": "Account", "operation": "insert"}
    return requests.post(url, headers=headers, json=document, timeout=10).json()["id"]


def test_a_load_whose_wait_ran_out_is_resumed_without_sending_a_batch_twice(home, warehouse):
    with BulkApiEmulator(in_progress_checks=2) as server:
        first = run_kavrel(home, "insert", "-s", "Account", "--query", QUERY, "--sqlite",
                           str(warehouse), "--batch-size", "200", "--wait", "0.001",
                           *org_arguments(server), cwd=home.parent, **token(server))  # fmt: skip
        assert first.returncode == 1
        assert "still processing" in first.stdout.splitlines()[-1]
        elsewhere = run_kavrel(home, "load", "resume", "last", "--instance-url",
                               "http://127.0.0.1:9", **token(server))  # fmt: skip
        assert elsewhere.returncode == 1
        assert f"ran against {server.base_url}, not http://127.0.0.1:9" in elsewhere.stderr
        shown = run_kavrel(home, "load", "show", "last")
        assert shown.stdout.splitlines()[-1] == f"Next: kavrel load resume {history_id(0)}"
        done = resume(home, server)
        assert done.returncode == 0, done.stderr
        assert loaded(server) == Counter(f"E{i:04}" for i in range(ROWS))
        assert len(ingest_bapi20.job_list(server.access_info)) == ROWS // 200


def test_a_load_from_standard_input_cannot_be_read_again(home, warehouse):
    rows = "Name,Ext__c\n" + "".join(f"N{i},E{i}\n" for i in range(ROWS))
    with BulkApiEmulator(in_progress_checks=1000) as server:  # its first job never ends
        process = subprocess.Popen(
            [sys.executable, "-m", "kavrel", "insert", "-s", "Account", "-f", "-",
             "--batch-size", "50", *org_arguments(server)],
            env=environment(home, **token(server)), stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        process.stdin.write(rows)
        process.stdin.close()
        process.stdin = None  # written whole: nothing more for communicate() to send
        stop_after_batch(process, 1, 0, signal.SIGTERM)
        done = resume(home, server, "--wait", "0.001")
        assert done.returncode == 1
        assert done.stderr.splitlines()[-1] == (
            "Error: the load read its rows from standard input, which cannot be read again; "
            "nothing was sent"
        )


def test_a_checked_load_resumes_through_the_same_checks(home):
    names = [("x" * 300 if i % 7 == 0 else f"N{i:04}") for i in range(ROWS)]
    (home.parent / "accounts.csv").write_text(
        "Name\n" + "".join(f"{name}\n" for name in names), encoding="utf-8"
    )
    with BulkApiEmulator(schema="standard", in_progress_checks=1) as server:
        process = subprocess.Popen(
            [sys.executable, "-m", "kavrel", "insert", "-s", "Account", "-f", "accounts.csv",
             "--check-records", "--batch-size", "200", "--parallel", "2", *org_arguments(server)],
            env=environment(home, **token(server)), cwd=home.parent,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        stop_after_batch(process, 2, 0, signal.SIGTERM)
        done = resume(home, server, "--json")
        assert done.returncode == 1  # the records too long for the field failed, as predicted
        totals = json.loads(done.stdout)["totals"]
        assert (totals["left_out"], totals["succeeded"]) == (86, ROWS - 86)
        stored = sorted(row["Name"] for row in server.rows("Account"))
        assert stored == sorted(name for name in names if len(name) < 300)


def test_a_pipe_named_by_its_path_is_read_as_a_stream(home, tmp_path):
    import os
    import threading

    pipe = tmp_path / "rows.csv"
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_text, args=("Name\nAcme\nGlobex\n",))
    writer.start()
    with BulkApiEmulator() as server:
        done = run_kavrel(home, "insert", "-s", "Account", "-f", str(pipe),
                          *org_arguments(server), **token(server))  # fmt: skip
        writer.join(timeout=30)
        assert done.returncode == 0, done.stderr
        assert sorted(row["Name"] for row in server.rows("Account")) == ["Acme", "Globex"]
