"""How much the local Bulk API server adds over writing the same rows straight into SQLite.

Pushes ROWS rows of 20 text columns through insert jobs, then the same rows again through upsert
jobs (matching every row), JOB_SIZE rows per job, and compares each with plain sqlite3
executemany of the same rows in the same run. Then shows how much the server process grew over
the loads (its database on disk, so the figure is what the server keeps besides the records) and
the time of one status check on a kept-alive connection and on a new one.
Run: .venv/bin/python bench/bench_emulator.py [ROWS]
"""

from __future__ import annotations

import contextlib
import csv
import ctypes
import io
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

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
        assert status["state"] == "JobComplete", status
        assert status["numberRecordsFailed"] == 0, status


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


def resident_mb() -> float:
    """The process's resident memory after giving freed memory back to the system."""
    with contextlib.suppress(OSError):  # not glibc: the figure includes freed memory
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def request_ms(server: BulkApiEmulator, get, job: str) -> float:
    url = f"{server.base_url}/services/data/v62.0/jobs/ingest/{job}"
    headers = {"Authorization": "Bearer " + server.access_token}
    get(url, headers=headers, timeout=10)
    started = time.perf_counter()
    for _ in range(50):
        get(url, headers=headers, timeout=10)
    return (time.perf_counter() - started) / 50 * 1000


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rows = make_rows(count)
    plain = baseline(rows)
    folder = tempfile.TemporaryDirectory()
    with BulkApiEmulator(db=Path(folder.name) / "org.db") as server:
        before = resident_mb()
        started = time.perf_counter()
        push(server, rows, {"object": "Account", "operation": "insert"})
        inserted = time.perf_counter() - started
        started = time.perf_counter()
        upsert = {"object": "Account", "operation": "upsert", "externalIdFieldName": "Key__c"}
        push(server, rows, upsert)
        upserted = time.perf_counter() - started
        grown = resident_mb() - before
        job = requests.post(
            server.base_url + "/services/data/v62.0/jobs/ingest",
            headers={"Authorization": "Bearer " + server.access_token},
            json={"object": "Account", "operation": "insert"},
            timeout=30,
        ).json()["id"]
        kept_alive = request_ms(server, requests.Session().get, job)
        new_connection = request_ms(server, requests.get, job)
    folder.cleanup()
    print(f"rows: {count:,} in jobs of {JOB_SIZE:,}")
    print(f"plain sqlite3 executemany: {plain:.2f} s")
    print(f"emulator insert jobs:      {inserted:.2f} s ({count / inserted:,.0f} rows/s)")
    print(f"emulator upsert jobs:      {upserted:.2f} s ({count / upserted:,.0f} rows/s)")
    print(f"process growth over the loads: {grown:.0f} MB ({len(rows) * 2:,} rows loaded)")
    # Head and body written apart once made each answer on a kept-alive connection wait ~40 ms for
    # the client's delayed ACK, far slower than a new connection.
    print(
        f"status check: {kept_alive:.1f} ms kept-alive, {new_connection:.1f} ms new connection, "
        f"ratio kept-alive/new: {kept_alive / new_connection:.2f} (target: at most 1)"
    )
    print(f"ratio insert/plain: {inserted / plain:.1f}x, upsert/plain: {upserted / plain:.1f}x")


if __name__ == "__main__":
    main()
