"""The load operations end to end: a SQLite warehouse, the local Bulk API server, real CSV."""

from __future__ import annotations

import pytest

from kavrel.salesforce import vantro
from kavrel.sflake.local import SQLiteSession

if not hasattr(pytest.importorskip("kavrel.util.csv"), "json_to_csv"):
    pytest.skip("the CSV writer is not built yet", allow_module_level=True)

ACCOUNTS = [
    ("A-1", "Plain", 10, 1.5),
    ("A-2", 'Smith, "Jr." & Sons', None, 0.0),
    ("A-3", "Zürich Ünited", 0, None),
    ("A-4", None, 42, -2.25),
    ("A-5", "Line\nbreak", 7, 3.0),
]


@pytest.fixture
def warehouse():
    with SQLiteSession() as session:
        db = session.connection
        db.execute("CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Seats INT, Score REAL)")
        db.executemany("INSERT INTO accounts VALUES (?, ?, ?, ?)", ACCOUNTS)
        db.commit()
        yield session


def held(server) -> dict[str, dict]:
    return {row["Ext_Id__c"]: row for row in server.rows("Account")}


def test_upsert_loads_each_row_once_and_a_rerun_changes_nothing(bulk_server, no_sleep, warehouse):
    query = "SELECT * FROM accounts"
    for _ in range(2):
        summary = vantro.upsert(
            warehouse, bulk_server.access_info, "Account", query, "Ext_Id__c", 2
        )
        assert summary["total_batches"] == summary["successful_batches"] == 3
        assert summary["records_processed"] == len(ACCOUNTS)
    rows = held(bulk_server)
    assert len(bulk_server.rows("Account")) == len(ACCOUNTS)
    assert rows["A-2"]["Name"] == 'Smith, "Jr." & Sons'
    assert rows["A-3"]["Name"] == "Zürich Ünited"
    assert rows["A-5"]["Name"] == "Line\nbreak"
    # None went up as an empty field, which the server stores as no value.
    assert rows["A-4"]["Name"] in (None, "")


def test_update_then_delete_change_what_the_server_holds(bulk_server, no_sleep, warehouse):
    vantro.upsert(
        warehouse, bulk_server.access_info, "Account", "SELECT * FROM accounts", "Ext_Id__c"
    )
    ids = {ext: row["Id"] for ext, row in held(bulk_server).items()}
    db = warehouse.connection
    db.execute("CREATE TABLE sf_ids (Id TEXT, Ext_Id__c TEXT)")
    db.executemany("INSERT INTO sf_ids VALUES (?, ?)", [(v, k) for k, v in ids.items()])

    update = "SELECT Id, 'Renamed ' || Ext_Id__c AS Name FROM sf_ids WHERE Ext_Id__c <= 'A-2'"
    job = vantro.update(warehouse, bulk_server.access_info, "Account", update)
    assert job["operation"] == "update"
    rows = held(bulk_server)
    assert [rows[k]["Name"] for k in ("A-1", "A-2", "A-3")] == [
        "Renamed A-1",
        "Renamed A-2",
        "Zürich Ünited",
    ]

    delete = "SELECT Id FROM sf_ids WHERE Ext_Id__c IN ('A-1', 'A-4')"
    vantro.delete(warehouse, bulk_server.access_info, "Account", delete, None)
    assert sorted(held(bulk_server)) == ["A-2", "A-3", "A-5"]


def test_failed_and_refused_jobs_are_recorded_per_batch(bulk_server, no_sleep, warehouse):
    bulk_server.force_job_state("Failed")
    bulk_server.fail_next_request(
        "POST", "/jobs/ingest", 401, [{"errorCode": "INVALID_SESSION_ID"}]
    )
    summary = vantro.upsert(
        warehouse, bulk_server.access_info, "Account", "SELECT * FROM accounts", "Ext_Id__c", 2
    )
    outcomes = [(r["success"], r["job_id"] is None) for r in summary["batch_results"]]
    assert outcomes == [(False, True), (False, False), (True, False)]
    assert (summary["successful_batches"], summary["failed_batches"]) == (1, 2)
    assert sorted(held(bulk_server)) == ["A-5"]


def test_single_job_failure_raises(bulk_server, no_sleep, warehouse):
    bulk_server.force_job_state("Aborted")
    with pytest.raises(RuntimeError, match="^Salesforce insert job failed: Aborted$"):
        vantro.insert(warehouse, bulk_server.access_info, "Account", "SELECT * FROM accounts")
    assert bulk_server.rows("Account") == []
