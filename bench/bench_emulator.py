"""How much the local Bulk API server adds over writing the same rows straight into SQLite.

Pushes ROWS rows of 20 text columns through insert jobs, then the same rows again through upsert
jobs (matching every row), JOB_SIZE rows per job, and compares each with plain sqlite3
executemany of the same rows in the same run. Run: .venv/bin/python bench/bench_emulator.py [ROWS]
"""

from __future__ import annotations

import csv
import io
import sqlite3
import sys
import time

import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce.emulator import BulkApiEmulator

JOB_SIZE = 25_000
COLUMNS = ["Key__c"] + [f"Field{n}__c" for n in range(19)]


def make_rows(count: int) -> list[list[str]]:
    return [[f"k{i}"] + [f'value {i} {n}, "q"' for n in range(19)] for i in range(count)]


def push(server: BulkApiEmulator, rows: list[list[str]], document: dict) -> None:
    for start in range(0, len(rows), JOB_SIZE):
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\r\n")
        writer.writerow(COLUMNS)
        writer.writerows(rows[start : start + JOB_SIZE])
        job = requests.post(
            server.base_url + "/services/data/v62.0/jobs/ingest",
            headers={"Authorization": "Bearer " + server.access_token},
            json={**document, "lineEnding": "CRLF"},
            timeout=30,
        ).json()["id"]
        ingest.send_file(server.access_info, job, buffer.getvalue())
        ingest.job_close(server.access_info, job)
        status = ingest.job_status(server.access_info, job)
        assert status["state"] == "JobComplete" and status["numberRecordsFailed"] == 0, status


def baseline(rows: list[list[str]]) -> float:
    started = time.perf_counter()
    connection = sqlite3.connect(":memory:")
    names = ", ".join(["Id", *COLUMNS])
    connection.execute(f"CREATE TABLE t ({names})")
    marks = ", ".join("?" * (len(COLUMNS) + 1))
    for start in range(0, len(rows), JOB_SIZE):
        chunk = rows[start : start + JOB_SIZE]
        with connection:
            connection.executemany(
                f"INSERT INTO t VALUES ({marks})",
                [(f"id{start + i}", *r) for i, r in enumerate(chunk)],
            )
    connection.close()
    return time.perf_counter() - started


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rows = make_rows(count)
    plain = baseline(rows)
    with BulkApiEmulator() as server:
        started = time.perf_counter()
        push(server, rows, {"object": "Account", "operation": "insert"})
        inserted = time.perf_counter() - started
        started = time.perf_counter()
        upsert = {"object": "Account", "operation": "upsert", "externalIdFieldName": "Key__c"}
        push(server, rows, upsert)
        upserted = time.perf_counter() - started
    print(f"rows: {count:,} in jobs of {JOB_SIZE:,}")
    print(f"plain sqlite3 executemany: {plain:.2f} s")
    print(f"emulator insert jobs:      {inserted:.2f} s ({count / inserted:,.0f} rows/s)")
    print(f"emulator upsert jobs:      {upserted:.2f} s ({count / upserted:,.0f} rows/s)")
    print(f"ratio insert/plain: {inserted / plain:.1f}x, upsert/plain: {upserted / plain:.1f}x")


if __name__ == "__main__":
    main()
