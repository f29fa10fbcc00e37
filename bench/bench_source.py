"""How a load's cost grows with its rows: 100,000 and 1,000,000 rows from SQLite and from DuckDB.

Each load is an insert of a five-column table through `kavrel.load.load` (the command line's own
load) in batches of 25,000, into a fresh local Bulk API server in its own process (no processing
rate, so the server applies each job as fast as it can). A load that read its rows in pages would
cost more per row the more rows there are; one read should cost the same per row at any size.

Prints the seconds per 100,000 rows of each source at each size, checks that every server holds
every row once, and ends with `ratio: X.Y`: the seconds per 100,000 rows at 1,000,000 over those
at 100,000, for the source where that grows most (target: at most 1.3).

Run: .venv/bin/python bench/bench_source.py [--small N] [--large N]
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

from kavrel import load
from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN

# The subprocess helper is shared with the tests and the demo.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

BATCH = 25_000
QUERY = "SELECT Ext__c, Name, Score__c, Note__c, Day__c FROM accounts"


def rows(count: int):
    for i in range(count):
        note = None if i % 7 else f"note, {i}"
        yield (f"EXT-{i:08d}", f"Account {i}", i % 1000, note, f"2024-01-{i % 28 + 1:02d}")


def create_sqlite(path: Path, count: int) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE accounts (Ext__c TEXT, Name TEXT, Score__c INTEGER, Note__c TEXT,"
                   " Day__c TEXT)")  # fmt: skip
        db.executemany("INSERT INTO accounts VALUES (?, ?, ?, ?, ?)", rows(count))
    db.close()


def create_duckdb(path: Path, count: int) -> bool:
    """The same rows as create_sqlite, made by DuckDB itself (its executemany is row by row)."""
    try:
        import duckdb
    except ImportError:
        return False
    with duckdb.connect(str(path)) as db:
        db.execute(
            "CREATE TABLE accounts AS SELECT printf('EXT-%08d', i) AS Ext__c, "
            "'Account ' || i AS Name, (i % 1000)::INTEGER AS Score__c, "
            "CASE WHEN i % 7 = 0 THEN 'note, ' || i END AS Note__c, "
            "printf('2024-01-%02d', i % 28 + 1) AS Day__c FROM range(?) t(i)",
            [count],
        )
    return True


def timed_load(source, org: Path) -> tuple[float, int]:
    """Inserts the source's rows into a fresh server keeping them in `org`; the wall time and
    the distinct keys the server holds."""
    server, url = run_in_subprocess("--db", str(org))
    access = {"access_token": DEFAULT_ACCESS_TOKEN, "instance_url": url}
    try:
        started = time.perf_counter()
        summary = load.load(source, QUERY, access, "Account", "insert", batch_size=BATCH)
        elapsed = time.perf_counter() - started
    finally:
        server.terminate()
        server.wait()
    if summary.exit_status != 0:
        raise SystemExit(f"the load failed:\n{summary}")
    with sqlite3.connect(org) as db:
        kept = db.execute('SELECT COUNT(DISTINCT "Ext__c") FROM "Account"').fetchone()[0]
    db.close()
    return elapsed, kept


def open_source(kind: str, path: Path):
    from kavrel.sflake import sources

    return sources.SQLiteSource(path) if kind == "SQLite" else sources.DuckDBSource(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", type=int, default=100_000)
    parser.add_argument("--large", type=int, default=1_000_000)
    options = parser.parse_args()
    per_100k: dict[tuple[str, int], float] = {}
    with tempfile.TemporaryDirectory() as folder:
        for count in (options.small, options.large):
            base = Path(folder) / str(count)
            base.mkdir()
            warehouses = {"SQLite": base / "w.db"}
            create_sqlite(warehouses["SQLite"], count)
            if create_duckdb(base / "w.duckdb", count):
                warehouses["DuckDB"] = base / "w.duckdb"
            for kind, path in warehouses.items():
                source = open_source(kind, path)
                try:
                    elapsed, kept = timed_load(source, base / f"org-{kind}.db")
                finally:
                    source.close()
                if kept != count:
                    raise SystemExit(f"{kind}, {count:,} rows: the server holds {kept:,} keys")
                per_100k[kind, count] = elapsed / count * 100_000
                print(f"{kind:6} {count:>9,} rows: {elapsed:6.1f} s, "
                      f"{per_100k[kind, count]:.2f} s per 100,000 rows, every row once",
                      flush=True)  # fmt: skip
    growth = {
        kind: per_100k[kind, options.large] / per_100k[kind, options.small]
        for kind, _ in per_100k
        if (kind, options.large) in per_100k
    }
    for kind, ratio in growth.items():
        print(f"{kind}: seconds per 100,000 rows at {options.large:,} over {options.small:,}: "
              f"{ratio:.2f}")  # fmt: skip
    print(f"ratio: {max(growth.values()):.1f}", flush=True)


if __name__ == "__main__":
    main()
