"""Loads with several jobs in flight, against the local Bulk API server and real SQLite/DuckDB
files."""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from kavrel.cli.main import main
from kavrel.salesforce import ingest_bapi20

LOCK = "UNABLE_TO_LOCK_ROW:unable to obtain exclusive access to this record"


def warehouse(path: Path, keys: list[str]) -> Path:
    if path.suffix == ".duckdb":
        duckdb = pytest.importorskip("duckdb", reason="DuckDB is an optional extra")
        connection = duckdb.connect(str(path))
    else:
        connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
    connection.executemany("INSERT INTO accounts VALUES (?, ?)", [(f"N{k}", k) for k in keys])
    connection.commit()
    connection.close()
    return path


def load(server, db: Path, *args: str, query: str = "SELECT Name, Ext__c FROM accounts") -> int:
    kind = "--duckdb" if db.suffix == ".duckdb" else "--sqlite"
    argv = [*args, "--sobject", "Account", "--query", query, kind, str(db)]
    return main([*argv, "--instance-url", server.base_url, "--results-dir", str(db.parent)])


@pytest.fixture
def token(monkeypatch, bulk_server, no_sleep):
    monkeypatch.setenv("SF_ACCESS_TOKEN", bulk_server.access_token)


# A short last batch, more jobs in flight than rows, and both embedded warehouses.
@pytest.mark.parametrize(
    ("rows", "args", "jobs"),
    [
        (11, ["upsert", "--external-id", "Ext__c", "--parallel", "3", "--batch-size", "2"], 6),
        (3, ["insert", "--parallel", "5"], 3),
        (10, ["insert", "--parallel", "4", "--batch-size", "2"], 5),
    ],
)
@pytest.mark.parametrize("suffix", [".db", ".duckdb"])
def test_every_row_is_loaded_once(rows, args, jobs, suffix, bulk_server, token, tmp_path, capsys):
    keys = [f"K{i:02d}" for i in range(rows)]
    db = warehouse(tmp_path / f"w{suffix}", keys)
    assert load(bulk_server, db, *args) == 0
    stored = sorted(row["Ext__c"] for row in bulk_server.rows("Account"))
    assert stored == keys
    table = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in table[1:-1]] == [str(n) for n in range(1, jobs + 1)]
    assert table[-1].startswith(f"{jobs} batches ({jobs} completed, 0 failed), {rows} rows")


def test_repeated_column_names_are_refused_before_any_job(bulk_server, token, tmp_path, capsys):
    db = warehouse(tmp_path / "w.duckdb", ["A", "B", "C"])
    query = "SELECT a.Name, b.Name, a.Ext__c FROM accounts a JOIN accounts b USING (Ext__c)"
    assert load(bulk_server, db, "insert", "--parallel", "2", query=query) == 1
    assert "more than one column is named Name;" in capsys.readouterr().err
    assert bulk_server.rows("Account") == []


def test_a_failing_batch_does_not_stop_the_others(bulk_server, token, tmp_path, capsys):
    db = warehouse(tmp_path / "w.db", ["A", "B", "C", "D"])
    bulk_server.fail_next_request("PUT", "/batches", 500)
    bulk_server.force_job_state("Failed")
    assert load(bulk_server, db, "insert", "--parallel", "4") == 1
    out = capsys.readouterr().out
    assert len(bulk_server.rows("Account")) == 2
    assert "Bulk API error 500 INTERNAL_SERVER_ERROR" in out
    assert "Salesforce says: InvalidBatch : The job was set to fail" in out
    assert (
        "4 batches (2 completed, 2 failed), 4 rows, 2 records succeeded, 0 failed, 2 not processed"
        in out.splitlines()
    ), out


# The lock clears on the retry (count 1), holds (no count), or the retry is turned off.
@pytest.mark.parametrize(
    ("count", "flags", "status", "totals"),
    [
        (1, [], 0, "4 batches (4 completed, 0 failed), 6 rows, 6 records succeeded, 0 failed"),
        (None, [], 1, "4 batches (4 completed, 0 failed), 6 rows, 4 records succeeded, 2 failed"),
        (1, ["--no-lock-retry"], 1,
         "3 batches (3 completed, 0 failed), 6 rows, 4 records succeeded, 2 failed"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("operation", ["upsert", "insert"])
def test_row_lock_errors_are_retried_once(
    operation, count, flags, status, totals, bulk_server, token, tmp_path, capsys
):
    db = warehouse(tmp_path / "w.db", ["A", "B", "C", "D", "E", "F"])
    bulk_server.reject_records("Ext__c", "B", LOCK, count=count)
    bulk_server.reject_records("Ext__c", "E", LOCK, count=None if count is None else 1)
    extra = ["--external-id", "Ext__c"] if operation == "upsert" else []
    argv = [operation, *extra, "--parallel", "3", "--batch-size", "2", *flags]
    assert load(bulk_server, db, *argv) == status
    lines = capsys.readouterr().out.splitlines()
    assert totals + ", 0 not processed" in lines
    stored = sorted(row["Ext__c"] for row in bulk_server.rows("Account"))
    assert stored == sorted(set("ABCDEF") - (set("BE") if count is None else set()) - (
        {"B", "E"} if flags else set()))  # fmt: skip
    failed = sorted(tmp_path.glob("*-failed.csv"))
    if flags:
        assert len(failed) == 2
        assert not any("retried" in line for line in lines)
        return
    assert "batch 1: 1 record failed with UNABLE_TO_LOCK_ROW and was sent again in batch 4" in lines
    # Only the records that failed in the end are saved: the retry job's, never twice.
    texts = [path.read_text(encoding="utf-8") for path in failed]
    assert len(texts) == (0 if count == 1 else 1)
    assert all(t.count(LOCK) == 2 for t in texts)


def test_sigterm_names_every_job_in_flight(bulk_server, tmp_path):
    db = warehouse(tmp_path / "w.db", ["A", "B", "C"])
    bulk_server.in_progress_checks = 1000  # the closed jobs stay InProgress
    for seconds in (0, 0, 5):  # the third job is still uploading when the stop comes
        bulk_server.delay_next_request("PUT", "/batches", seconds)
    argv = ["insert", "--parallel", "3", "--sobject", "Account", "--sqlite", str(db)]
    argv += ["--query", "SELECT * FROM accounts", "--instance-url", bulk_server.base_url]
    env = {**os.environ, "SF_ACCESS_TOKEN": bulk_server.access_token}
    command = [sys.executable, "-m", "kavrel", *argv]
    with subprocess.Popen(
        command, env=env, text=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    ) as process:
        try:
            next(line for line in process.stderr if line.startswith("📤 Batch 3: job "))
            process.send_signal(signal.SIGTERM)
            rest = process.stderr.read().splitlines()
            process.wait(timeout=30)
        finally:
            process.kill()
    assert process.returncode == 143
    named = rest[rest.index("Interrupted with 3 jobs under way:") + 1 :]
    assert sorted(line.split()[4] for line in named) == ["processing", "processing", "still"]
    aborted = next(line.split()[2] for line in named if "aborted" in line)
    assert ingest_bapi20.job_status(bulk_server.access_info, aborted)["state"] == "Aborted"
