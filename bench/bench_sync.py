"""A sync's later runs against its first: only what changed is sent.

A 1,000,000-row SQLite table is upserted as a sync (`kavrel.load.load(..., sync=...)`, the
command line's own load) into a local Bulk API server in its own process; then 1% of its rows
change, 0.1% are added and 0.1% removed, and it is synced again with a mirror (the removed
records deleted), and again with no change. Each run prints its seconds and the records it sent;
after each, the server must hold exactly the table.

Ends with `ratio: X.Y`: the second run's seconds over the first's (target: at most 0.1; the
third run must send 0 records).

Run: .venv/bin/python bench/bench_sync.py [--rows N]
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

from kavrel import load
from kavrel.load.sync import Sync
from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN
from kavrel.sflake.sources import SQLiteSource

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

BATCH = 25_000
QUERY = "SELECT Ext__c, Name, Score__c, Note__c, Day__c FROM accounts"


def create(path: Path, count: int) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE accounts (Ext__c TEXT PRIMARY KEY, Name TEXT, Score__c INTEGER, "
                   "Note__c TEXT, Day__c TEXT)")  # fmt: skip
        db.executemany(
            "INSERT INTO accounts VALUES (?, ?, ?, ?, ?)",
            (
                (
                    f"EXT-{i:08d}",
                    f"Account {i}",
                    i % 1000,
                    None if i % 7 else f"note, {i}",
                    f"2024-01-{i % 28 + 1:02d}",
                )
                for i in range(count)
            ),  # fmt: skip
        )
    db.close()


def change(path: Path, count: int) -> None:
    """1% of the rows changed, 0.1% added, 0.1% removed."""
    with sqlite3.connect(path) as db:
        db.execute("UPDATE accounts SET Name = Name || ' (renamed)' WHERE rowid % 100 = 1")
        db.execute("DELETE FROM accounts WHERE rowid % 1000 = 2")
        db.executemany(
            "INSERT INTO accounts VALUES (?, ?, 1, NULL, '2024-02-01')",
            ((f"NEW-{i:08d}", f"New {i}") for i in range(count // 1000)),
        )
    db.close()


def table(path: Path) -> dict[str, str]:
    with sqlite3.connect(path) as db:
        found = dict(db.execute("SELECT Ext__c, Name FROM accounts"))
    db.close()
    return found


def org(path: Path) -> dict[str, str]:
    with sqlite3.connect(path) as db:
        found = dict(db.execute('SELECT "Ext__c", "Name" FROM "Account"'))
    db.close()
    return found


def run(warehouse: Path, access: dict[str, str]) -> tuple[float, int]:
    started = time.perf_counter()
    summary = load.load(
        SQLiteSource(warehouse), QUERY, access, "Account", "upsert", external_id="Ext__c",
        batch_size=BATCH, sync=Sync("bench", mirror=True),
    )  # fmt: skip
    elapsed = time.perf_counter() - started
    if summary.exit_status != 0:
        raise SystemExit(f"the sync failed:\n{summary}")
    deletes = summary.sync.deletes
    sent = summary.totals()["sent"] + (deletes.totals()["sent"] if deletes is not None else 0)
    return elapsed, sent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    rows = parser.parse_args().rows
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        os.environ["HOME"] = str(base)  # the sync's state and the journals
        warehouse, held = base / "w.db", base / "org.db"
        create(warehouse, rows)
        server, url = run_in_subprocess("--db", str(held))
        access = {"access_token": DEFAULT_ACCESS_TOKEN, "instance_url": url}
        seconds = []
        try:
            for number, what in enumerate(("first run", "1% changed", "no change"), 1):
                if number == 2:
                    change(warehouse, rows)
                elapsed, sent = run(warehouse, access)
                seconds.append(elapsed)
                same = org(held) == table(warehouse)
                print(
                    f"run {number} ({what}): {elapsed:6.2f} s, {sent:,} records sent, "
                    f"the org {'equals' if same else 'DIFFERS FROM'} the table",
                    flush=True,
                )
                if not same or (number == 3 and sent):
                    raise SystemExit("the sync did not bring the org to the table")
        finally:
            server.terminate()
            server.wait()
    print(f"ratio: {seconds[1] / seconds[0]:.2f}", flush=True)


if __name__ == "__main__":
    main()
