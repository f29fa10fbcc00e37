"""Faults a real org and a real warehouse produce, against the local Bulk API server and real
SQLite/DuckDB sources: the load either recovers or says exactly what it left behind."""

from __future__ import annotations

import socket
import sqlite3

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce import vantro
from kavrel.sflake.local import SQLiteSession
from kavrel.sflake.query import DuplicateColumns

ROWS = [(f"Name {i}", f"E{i:03d}") for i in range(5)]
QUERY = "SELECT Name, Ext__c FROM accounts"


@pytest.fixture
def source() -> SQLiteSession:
    session = SQLiteSession()
    session.connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
    session.connection.executemany("INSERT INTO accounts VALUES (?, ?)", ROWS)
    return session


def jobs(server) -> list[dict]:
    url = server.base_url + "/services/data/v62.0/jobs/ingest"
    headers = {"Authorization": "Bearer " + server.access_token}
    return requests.get(url, headers=headers, timeout=10).json()["records"]


def test_pages_of_a_source_that_reorders_between_runs_load_every_row(bulk_server, no_sleep):
    pytest.importorskip("duckdb", reason="DuckDB is an optional extra")
    from kavrel.sflake.local import DuckDBSession

    session = DuckDBSession()
    session.connection.execute(
        "CREATE TABLE events AS SELECT (i % 20000) AS k FROM range(200000) t(i)"
    )
    query = "SELECT 'E' || k AS Ext__c, 'N' || COUNT(*) AS Name FROM events GROUP BY k"
    summary = vantro.upsert(session, bulk_server.access_info, "Account", query, "Ext__c", 2500)
    assert (summary["successful_batches"], summary["failed_batches"]) == (8, 0)
    assert len({row["Ext__c"] for row in bulk_server.rows("Account")}) == 20000


# What each request kind may do with one 503 or one dropped connection: reads are retried; the
# upload and the close are not (they may have been acted on), and their job is aborted; the
# creation is never retried, so a second job never appears.
@pytest.mark.parametrize(
    ("method", "path", "outcome"),
    [
        ("GET", "ingest/{job}", "loaded"),
        ("PUT", "/batches", "aborted"),
        ("PATCH", "ingest/{job}", "aborted"),
        ("POST", "/jobs/ingest", "no job"),
    ],
)
@pytest.mark.parametrize("fault", ["503", "drop"])
def test_one_transient_fault_per_request_kind(
    bulk_server, source, no_sleep, method, path, outcome, fault
):
    # The next job's id is not known yet: match any job path for the reads and changes.
    suffix = path.replace("ingest/{job}", "AAA")
    if fault == "503":
        bulk_server.fail_next_request(method, suffix, 503)
    else:
        bulk_server.drop_next_request(method, suffix)
    if outcome == "loaded":
        job_info = vantro.insert(source, bulk_server.access_info, "Account", QUERY)
        assert len(bulk_server.rows("Account")) == len(ROWS)
        assert no_sleep
        assert [j["id"] for j in jobs(bulk_server)] == [job_info["id"]]
        return
    with pytest.raises((ingest.BulkApiError, requests.ConnectionError)) as raised:
        vantro.insert(source, bulk_server.access_info, "Account", QUERY)
    assert bulk_server.rows("Account") == []
    assert no_sleep == []
    states = [j["state"] for j in jobs(bulk_server)]
    if outcome == "no job":
        assert states == []
        assert not hasattr(raised.value, "job_id")
    else:
        assert states == ["Aborted"]
        assert raised.value.job_id == jobs(bulk_server)[0]["id"]


def test_changes_are_retried_only_when_the_server_was_never_reached(no_sleep):
    with socket.socket() as probe:  # a port nobody listens on: the connection is refused
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    access = {"access_token": "t", "instance_url": f"http://127.0.0.1:{port}"}
    with pytest.raises(requests.ConnectionError) as raised:
        ingest.job_close(access, "750X")
    assert ingest.never_reached_server(raised.value)
    assert len(no_sleep) > 1
    assert sum(no_sleep) <= ingest.RETRY_BUDGET


@pytest.mark.parametrize("kind", ["sqlite", "duckdb"])
@pytest.mark.parametrize("operation", ["upsert", "insert", "update", "delete"])
def test_repeated_column_names_are_refused_before_any_job(bulk_server, source, operation, kind):
    if kind == "duckdb":
        pytest.importorskip("duckdb", reason="DuckDB is an optional extra")
        from kavrel.sflake.local import DuckDBSession

        source = DuckDBSession()
        source.connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
        source.connection.executemany("INSERT INTO accounts VALUES (?, ?)", ROWS)
    extra = {"upsert": ("Ext__c", 2), "delete": (None,)}.get(operation, ())
    query = "SELECT a.Name, b.Name, a.Ext__c FROM accounts a JOIN accounts b USING (Ext__c)"
    with pytest.raises(DuplicateColumns, match="more than one column named Name;"):
        getattr(vantro, operation)(source, bulk_server.access_info, "Account", query, *extra)
    assert jobs(bulk_server) == []


def test_an_upload_above_the_limit_is_refused_before_its_job(bulk_server, source, monkeypatch):
    monkeypatch.setattr(ingest, "MAX_UPLOAD_BYTES", 30)
    with pytest.raises(ingest.UploadTooLarge, match=r"is 78 bytes, above .* limit of 30 bytes"):
        vantro.insert(source, bulk_server.access_info, "Account", QUERY)
    summary = vantro.upsert(source, bulk_server.access_info, "Account", QUERY, "Ext__c", 2)
    assert [b["success"] for b in summary["batch_results"]] == [False, False, True]
    assert len(jobs(bulk_server)) == 1


def test_a_sqlite_source_is_read_only_and_must_exist(tmp_path):
    path = tmp_path / "w.db"
    with pytest.raises(FileNotFoundError):
        SQLiteSession(path, read_only=True)
    sqlite3.connect(path).close()
    with (
        SQLiteSession(path, read_only=True) as session,
        pytest.raises(sqlite3.OperationalError, match="readonly"),
    ):
        session.sql("CREATE TABLE t (a)").collect()
