"""One load, one job at a time against four jobs in flight, at a realistic org's pace.

200,000 rows of a SQLite warehouse are upserted by `kavrel upsert` in batches of 25,000 into the
local Bulk API server started with `--processing-rate 2000` (records per second per job, as an org
processes them), once with `--parallel 1` and once with `--parallel 4`, each into a fresh server.
The pauses between two status checks of a job are shortened to 0.5 s (`kavrel.load.core.
POLL_DELAYS`, patched in this process), the same way for both runs. Prints the wall time of each,
checks that both servers hold the same records (every row once), and ends with `ratio: X.Y`
(sequential time over parallel time; target: at least 3.5).

Run: .venv/bin/python bench/bench_parallel.py [--rows N] [--rate R]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

from kavrel.cli.main import main as kavrel
from kavrel.load import core
from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN

# The subprocess helper is shared with the tests and the demo.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

BATCH = 25_000
STATUS_PAUSE = 0.5  # seconds between two status checks, instead of up to 10


def create_warehouse(path: Path, rows: int) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Score__c INTEGER, Note__c)")
        db.executemany(
            "INSERT INTO accounts VALUES (?, ?, ?, ?)",
            (
                (f"EXT-{i:07d}", f"Account {i}", i % 1000, None if i % 7 else f"note, {i}")
                for i in range(rows)
            ),
        )
    db.close()


def load(warehouse: Path, org: Path, jobs: int, rate: float) -> float:
    """Upserts the warehouse into a fresh server keeping its records in `org`; the wall time."""
    server, url = run_in_subprocess("--db", str(org), "--processing-rate", str(rate))
    argv = ["upsert", "--sobject", "Account", "--external-id", "Ext_Id__c", "-q"]
    argv += ["--query", "SELECT * FROM accounts", "--sqlite", str(warehouse)]
    argv += ["--instance-url", url, "--batch-size", str(BATCH), "--parallel", str(jobs)]
    argv += ["--results-dir", str(org.parent)]
    report = io.StringIO()
    try:
        started = time.perf_counter()
        with contextlib.redirect_stdout(report):
            status = kavrel(argv)
        elapsed = time.perf_counter() - started
    finally:
        server.terminate()
        server.wait()
    if status != 0:
        raise SystemExit(f"--parallel {jobs} failed ({status}):\n{report.getvalue()}")
    print(f"--parallel {jobs}: {report.getvalue().splitlines()[-1]}", flush=True)
    return elapsed


def records(org: Path) -> list[tuple]:
    """What the server kept (without the Ids it gave), in the order of the keys."""
    with sqlite3.connect(org) as db:
        rows = db.execute(
            'SELECT "Ext_Id__c", "Name", "Score__c", "Note__c" FROM "Account" ORDER BY 1, 2, 3, 4'
        ).fetchall()
    db.close()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--rate", type=float, default=2000.0, help="records per second per job")
    options = parser.parse_args()

    core.POLL_DELAYS = (STATUS_PAUSE,)
    os.environ["SF_ACCESS_TOKEN"] = DEFAULT_ACCESS_TOKEN
    with tempfile.TemporaryDirectory() as folder:
        warehouse = Path(folder) / "warehouse.db"
        create_warehouse(warehouse, options.rows)
        print(
            f"{options.rows:,} rows in batches of {BATCH:,}; local server at "
            f"--processing-rate {options.rate:g}; {STATUS_PAUSE} s between a job's status "
            "checks, in both runs"
        )
        times, kept = {}, {}
        for jobs in (1, 4):
            org = Path(folder) / f"org-{jobs}" / "org.db"
            org.parent.mkdir()
            times[jobs] = load(warehouse, org, jobs, options.rate)
            kept[jobs] = records(org)
            print(f"--parallel {jobs}: {times[jobs]:.1f} s wall time", flush=True)
    keys = [row[0] for row in kept[4]]
    same = kept[1] == kept[4] and len(keys) == len(set(keys)) == options.rows
    print(f"same records in both servers, every row once: {'yes' if same else 'NO'}", flush=True)
    if not same:
        raise SystemExit(1)
    print(f"ratio: {times[1] / times[4]:.1f}", flush=True)


if __name__ == "__main__":
    main()
