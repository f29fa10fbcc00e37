import csv
import datetime
import decimal
import io

import pytest

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.sflake.local import DuckDBSession, SQLiteSession
from kavrel.sflake.query import get_records


def test_sqlite_rows_answer_by_position_and_as_dicts_in_column_order(tmp_path):
    with SQLiteSession(tmp_path / "w.db") as session:
        session.connection.execute("CREATE TABLE t (z INTEGER, a TEXT, m REAL, b BLOB)")
        session.connection.execute(
            "INSERT INTO t VALUES (1, 'x', 2.5, x'00ff'), (NULL, '', 0, NULL)"
        )
        rows = session.sql("SELECT * FROM t ORDER BY z DESC").collect()
        assert (rows[0][0], rows[0][3], rows[1][0], rows[1][1]) == (1, b"\x00\xff", None, "")
        assert list(rows[0].asDict().items()) == [
            ("z", 1),
            ("a", "x"),
            ("m", 2.5),
            ("b", b"\x00\xff"),
        ]
        assert (
            session.sql("SELECT COUNT(*) as total_count FROM (SELECT * FROM t)").collect()[0][0]
            == 2
        )
        assert session.sql("CREATE TABLE u (c TEXT)").collect() == []
    with SQLiteSession(tmp_path / "w.db") as session:  # statements were committed
        assert get_records(session, "SELECT a, z FROM t ORDER BY z") == [
            {"a": "", "z": None},
            {"a": "x", "z": 1},
        ]


def test_duckdb_rows_carry_the_warehouse_types():
    pytest.importorskip("duckdb", reason="DuckDB is an optional extra")
    with DuckDBSession() as session:
        rows = get_records(
            session,
            "SELECT 12.50::DECIMAL(10, 2) AS amount, DATE '2024-02-29' AS day, "
            "TIMESTAMP '2024-01-02 03:04:05' AS at, NULL AS nothing, 7 AS n",
        )
    assert rows == [
        {
            "amount": decimal.Decimal("12.50"),
            "day": datetime.date(2024, 2, 29),
            "at": datetime.datetime(2024, 1, 2, 3, 4, 5),
            "nothing": None,
            "n": 7,
        }
    ]
    assert list(rows[0]) == ["amount", "day", "at", "nothing", "n"]


def test_warehouse_rows_load_into_the_emulator_and_results_come_back(bulk_server):
    with SQLiteSession() as session:
        session.connection.execute("CREATE TABLE src (Name TEXT, Rank INTEGER)")
        session.connection.executemany(
            "INSERT INTO src VALUES (?, ?)", [("Ölwerk, AG", 1), ('Say "hi"', 2), (None, 3)]
        )
        records = get_records(session, "SELECT Name, Rank FROM src ORDER BY Rank")
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=list(records[0]), lineterminator="\r\n")
    writer.writeheader()
    writer.writerows(records)
    job = ingest.requests.post(
        bulk_server.base_url + "/services/data/v62.0/jobs/ingest",
        headers={"Authorization": "Bearer local-token", "Content-Type": "application/json"},
        json={
            "object": "Account",
            "contentType": "CSV",
            "operation": "insert",
            "lineEnding": "CRLF",
        },
        timeout=10,
    ).json()["id"]
    ingest.send_file(bulk_server.access_info, job, buffer.getvalue())
    ingest.job_close(bulk_server.access_info, job)
    assert ingest.job_status(bulk_server.access_info, job)["numberRecordsProcessed"] == 3
    results = list(
        csv.DictReader(io.StringIO(ingest.successful_results(bulk_server.access_info, job)))
    )
    assert [(r["Name"], r["Rank"]) for r in results] == [
        ("Ölwerk, AG", "1"),
        ('Say "hi"', "2"),
        ("", "3"),
    ]
    assert [(r["Name"], r["Rank"]) for r in bulk_server.rows("Account")] == [
        ("Ölwerk, AG", "1"),
        ('Say "hi"', "2"),
        (None, "3"),
    ]
