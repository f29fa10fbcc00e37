"""What a dry run against the org costs: its memory as the rows grow, and its time against reading
the same rows and writing their CSV, which any load does.

A SQLite table of ROWS rows (six columns, each checked: text with a length, an external ID, a
double, a date, an email, a restricted picklist; one row in a thousand bad) is upserted with a dry
run against the local server, which describes the object. The Python memory the dry run allocates
at its peak (tracemalloc) is measured at ROWS / 10 and at ROWS rows; the time of the dry run is
measured without tracemalloc against the baseline of the same read and CSV writing in batches of
10,000. Ends with two ratios: `memory at ROWS / memory at ROWS/10` (target: about 1, memory
bounded) and `dry run / read and CSV` (the checks' cost over the read).

Run: .venv/bin/python bench/bench_dry_run.py [ROWS]
"""

from __future__ import annotations

import sqlite3
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

from kavrel import load
from kavrel.salesforce.emulator import BulkApiEmulator
from kavrel.sflake.sources import SQLiteSource
from kavrel.util.csv import rows_to_csv

SCHEMA = {
    "Account": {
        "keyPrefix": "001",
        "fields": [
            {"name": "Name", "length": 40, "nillable": False},
            {"name": "Ext__c", "length": 20, "externalId": True},
            {"name": "Amount__c", "type": "double", "precision": 18, "scale": 2},
            {"name": "Since__c", "type": "date"},
            {"name": "Email__c", "type": "email", "length": 80},
            {"name": "Tier__c", "type": "picklist", "restrictedPicklist": True,
             "picklistValues": ["Gold", "Silver", "Bronze"]},
        ],
    }
}  # fmt: skip
QUERY = "SELECT * FROM accounts"


def warehouse(path: Path, rows: int) -> Path:
    with sqlite3.connect(path) as connection:
        connection.execute(
            "CREATE TABLE accounts AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
            f"FROM n WHERE i < {rows}) SELECT 'Account ' || i AS Name, 'EXT-' || i AS Ext__c, "
            "i * 1.25 AS Amount__c, date('2020-01-01', '+' || (i % 1000) || ' days') AS Since__c, "
            "'user' || i || '@example.com' AS Email__c, "
            "CASE WHEN i % 1000 = 0 THEN 'Tin' ELSE 'Gold' END AS Tier__c FROM n"
        )
    connection.close()
    return path


def dry_run(path: Path, access_info: dict) -> load.Preview:
    return load.preview(
        SQLiteSource(str(path)), QUERY, "upsert", external_id="Ext__c",
        org=access_info, sobject="Account",
    )  # fmt: skip


def peak_memory(path: Path, access_info: dict) -> float:
    tracemalloc.start()
    dry_run(path, access_info)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak / 1e6


def read_and_write_csv(path: Path) -> float:
    reader = SQLiteSource(str(path)).open(QUERY)
    started = time.perf_counter()
    while rows := reader.fetchmany(10_000):
        rows_to_csv(reader.columns, rows)
    reader.close()
    return time.perf_counter() - started


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder, BulkApiEmulator(schema=SCHEMA) as server:
        small = warehouse(Path(folder) / "small.db", rows // 10)
        large = warehouse(Path(folder) / "large.db", rows)
        access_info = server.access_info
        peak_memory(small, access_info)  # the first run's peak holds what it imported
        small_peak, large_peak = peak_memory(small, access_info), peak_memory(large, access_info)
        started = time.perf_counter()
        found = dry_run(large, access_info)
        checked = time.perf_counter() - started
        baseline = read_and_write_csv(large)
    assert found.prediction is not None
    assert found.prediction.failures.count == rows // 1000
    print(f"dry run of {rows // 10:,} rows: peak {small_peak:.1f} MB of Python memory")
    print(f"dry run of {rows:,} rows: peak {large_peak:.1f} MB; {checked:.1f} s")
    print(f"reading the {rows:,} rows and writing their CSV: {baseline:.1f} s")
    print(f"ratio memory at {rows:,} / memory at {rows // 10:,}: {large_peak / small_peak:.2f}")
    print(f"ratio dry run / read and CSV: {checked / baseline:.1f}")


if __name__ == "__main__":
    main()
