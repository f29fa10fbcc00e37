"""The load core: one read of the query, batches as the rows stream in, jobs in flight, against
the local Bulk API server and real SQLite and DuckDB sources."""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
from collections import Counter

import pytest

from kavrel import load
from kavrel.cli.main import main
from kavrel.salesforce import ingest_bapi20, vantro
from kavrel.sflake.local import SQLiteSession

duckdb_required = pytest.mark.skipif(
    __import__("importlib").util.find_spec("duckdb") is None, reason="DuckDB is an optional extra"
)


def duckdb_with(*statements: str):
    import duckdb

    connection = duckdb.connect()
    for statement in statements:
        connection.execute(statement)
    return connection


def stored(server, field: str = "Ext__c") -> Counter:
    return Counter(row[field] for row in server.rows("Account"))


# Rows that tie under any ordering (one collation, 0.0 beside -0.0) and a volatile column: paged
# queries loaded some twice and others never; one read loads each exactly once.
@duckdb_required
@pytest.mark.parametrize(
    "query",
    [
        "SELECT (CASE WHEN i % 2 = 0 THEN 'name' ELSE 'NAME' END || (i // 2)) COLLATE NOCASE "
        "AS Ext__c, (CASE WHEN i % 3 = 0 THEN -0.0 ELSE 0.0 END) AS Score__c "
        "FROM range(20000) t(i)",
        "SELECT 'K' || i AS Ext__c, random() AS Score__c FROM range(20000) t(i)",
    ],
    ids=["ties", "random"],
)
def test_every_row_of_one_read_is_sent_exactly_once(bulk_server, query):
    connection = duckdb_with()
    expected = Counter(
        row[0] for row in connection.execute(f"SELECT Ext__c FROM ({query})").fetchall()
    )
    summary = load.load(
        connection, query, bulk_server.access_info, "Account", "insert", batch_size=999, parallel=3
    )
    assert summary.exit_status == 0
    assert summary.query_rows == 20000
    assert stored(bulk_server) == expected
    assert len(summary.jobs) == 21


def test_a_caller_may_hand_in_clients_with_only_the_documented_functions(
    bulk_server, monkeypatch, no_sleep
):
    documented = type(
        "Client",
        (),
        {
            name: staticmethod(getattr(ingest_bapi20, name))
            for name in ("send_file", "job_close", "job_status")
        },
    )
    query_helper = type("Query", (), {"get_records": staticmethod(vantro.q.get_records)})
    monkeypatch.setattr(vantro, "ingest", documented)
    monkeypatch.setattr(vantro, "q", query_helper)
    session = SQLiteSession()
    session.connection.execute(
        "CREATE TABLE t AS SELECT 'N' || value AS Name, value AS Ext__c "
        "FROM (SELECT 1 AS value UNION SELECT 2 UNION SELECT 3)"
    )
    access = bulk_server.access_info
    assert (
        vantro.upsert(session, access, "Account", "SELECT * FROM t", "Ext__c", 2)[
            "successful_batches"
        ]
        == 2
    )
    vantro.insert(session, access, "Account", "SELECT Name FROM t")
    summary = load.load(
        session,
        "SELECT * FROM t",
        access,
        "Account",
        "upsert",
        external_id="Ext__c",
        client=documented,
        parallel=2,
        batch_size=1,
    )
    assert summary.exit_status == 0
    assert len(bulk_server.rows("Account")) == 6


@pytest.fixture
def warehouse(tmp_path):
    path = tmp_path / "w.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
        connection.executemany(
            "INSERT INTO accounts VALUES (?, ?)", [(f"N{i}", f"E{i}") for i in range(5)]
        )
    connection.close()
    return path


def run(server, warehouse, *args, query="SELECT Name, Ext__c FROM accounts"):
    argv = ["--sobject", "Account", "--query", query, "--sqlite", str(warehouse)]
    argv += ["--instance-url", server.base_url, "--results-dir", str(warehouse.parent)]
    return main([*args, *argv])


@pytest.fixture
def token(monkeypatch, bulk_server):
    monkeypatch.setenv("SF_ACCESS_TOKEN", bulk_server.access_token)


def created_jobs(server) -> list[dict]:
    return ingest_bapi20.job_list(server.access_info)


# What no later batch could change stops the load before (or at) the first job.
@pytest.mark.parametrize(
    ("args", "refuse", "message"),
    [
        (
            ["upsert", "--external-id", "Key__c"],
            False,
            "the columns do not suit upsert: the external ID field Key__c is not one of the "
            "columns",
        ),
        (
            ["update"],
            False,
            "the columns do not suit update: the field Id is not one of the columns",
        ),
        (
            ["insert", "--batch-size", "2"],
            True,
            "Salesforce refused to create the job of batch 1 (Bulk API error 400",
        ),
    ],
)
def test_what_every_batch_would_meet_stops_the_load_at_once(
    args, refuse, message, bulk_server, token, warehouse, capsys
):
    if refuse:
        bulk_server.fail_next_request("POST", "/jobs/ingest", 400)
    assert run(bulk_server, warehouse, *args) == 1
    captured = capsys.readouterr()
    assert message in captured.out + captured.err
    assert created_jobs(bulk_server) == []
    assert bulk_server.rows("Account") == []


def test_a_wait_that_runs_out_names_the_jobs_still_running(bulk_server, token, warehouse, capsys):
    bulk_server.in_progress_checks = 1000
    # The first job never ends; the rows after the batch read ahead are never read.
    assert run(bulk_server, warehouse, "insert", "--wait", "0.005", "--batch-size", "2") == 1
    out = capsys.readouterr().out.splitlines()
    [job] = created_jobs(bulk_server)
    assert f"batch 1: the job is still InProgress; check it with `kavrel job wait {job['id']}`" in (
        " ".join(out)
    )
    assert out[-1].endswith(
        "5 rows, 0 records succeeded, 0 failed, 0 not processed, 2 still processing, 3 not sent"
    )
    assert "The load stopped early: the wait for the jobs ran out." in out


@duckdb_required
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupt_during_the_query_ends_the_load(bulk_server, tmp_path, stop):
    import duckdb

    path = tmp_path / "w.duckdb"
    duckdb.connect(str(path)).close()
    argv = [
        "insert",
        "-v",
        "--sobject",
        "Account",
        "--duckdb",
        str(path),
        "--instance-url",
        bulk_server.base_url,
        "--query",
        "SELECT count(*) AS Name FROM range(100000000000)",
    ]
    env = {**os.environ, "SF_ACCESS_TOKEN": bulk_server.access_token}
    with subprocess.Popen(
        [sys.executable, "-m", "kavrel", *argv],
        env=env,
        text=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    ) as process:
        try:
            next(line for line in process.stderr if "Running the query" in line)
            process.send_signal(stop)
            rest = process.stderr.read()
            process.wait(timeout=30)
        finally:
            process.kill()
    assert process.returncode == 128 + stop
    assert rest.splitlines()[-1] == "Interrupted before any job was created."
    assert created_jobs(bulk_server) == []


@duckdb_required
@pytest.mark.parametrize(
    ("value", "what"),
    [
        ("'infinity'::DATE", "an infinite date"),
        ("DATE '0045-03-15 (BC)'", "before year 1"),
        ("DATE '10000-01-01'", "after year 9999"),
        ("TIMESTAMP '10000-01-01 00:00:00'", "after year 9999"),
        ("TIMESTAMPTZ '10000-01-01 00:00:00+00'", "after year 9999"),
        ("INTERVAL 3 DAY", "hold intervals"),
        ("'nan'::DOUBLE", "NaN or infinity"),
    ],
)
def test_values_without_a_faithful_csv_form_are_refused_before_any_job(
    bulk_server, token, tmp_path, capsys, value, what
):
    import duckdb

    path = tmp_path / "w.duckdb"
    with duckdb.connect(str(path)) as connection:
        connection.execute(f"CREATE TABLE t AS SELECT 'A' AS Name, {value} AS Value__c")
    argv = ["insert", "--sobject", "Account", "--duckdb", str(path), "--query", "SELECT * FROM t"]
    # Two loads from one file at once: the source is opened read-only.
    with duckdb.connect(str(path), read_only=True):
        assert main([*argv, "--instance-url", bulk_server.base_url]) == 1
    assert what in capsys.readouterr().err
    assert created_jobs(bulk_server) == []
