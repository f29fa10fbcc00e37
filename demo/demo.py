"""kavrel's main job on a laptop: load a sample warehouse into the local Bulk API server.

Builds a SQLite warehouse of a few thousand accounts, starts the local Bulk API server on a free
loopback port in its own process, upserts the accounts in several batches, brings the Salesforce
Ids the server assigned back into the warehouse, updates some accounts and deletes others, and
shows the summary and what the server holds afterwards.
"""

from __future__ import annotations

import csv
import io
import logging
import random
import subprocess
import sys
import tempfile
from datetime import date, timedelta
from pathlib import Path

from kavrel.salesforce import ingest_bapi20, vantro
from kavrel.salesforce.emulator import BulkApiEmulator
from kavrel.sflake.local import SQLiteSession

# The subprocess helper is shared with the tests and the benchmarks.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

ACCOUNTS = 3500
BATCH_SIZE = 1000
TOKEN = "demo-token"
INDUSTRIES = ["Energy", "Retail", "Banking", "Media", None]


def sample_accounts(count: int) -> list[tuple]:
    """Accounts with text, whole and decimal numbers, dates, flags and missing values."""
    rng = random.Random(7)
    start = date(2020, 1, 1)
    rows = []
    for i in range(1, count + 1):
        name = f"Account {i:04d}"
        if i == 2:
            name = 'Smith, "Junior" & Sons'
        rows.append(
            (
                f"EXT-{i:05d}",
                name,
                rng.choice(INDUSTRIES),
                rng.randint(1, 5000) if i % 7 else None,
                round(rng.uniform(1e3, 5e6), 2) if i % 11 else None,
                (start + timedelta(days=rng.randint(0, 1800))).isoformat(),
                i % 3 == 0,
            )
        )
    return rows


def build_warehouse(path: Path) -> SQLiteSession:
    session = SQLiteSession(str(path))
    db = session.connection
    db.execute(
        "CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Industry TEXT, "
        "NumberOfEmployees INTEGER, AnnualRevenue REAL, Customer_Since__c TEXT, Active__c INTEGER)"
    )
    db.executemany("INSERT INTO accounts VALUES (?, ?, ?, ?, ?, ?, ?)", sample_accounts(ACCOUNTS))
    db.commit()
    return session


def start_server(db_path: Path) -> tuple[subprocess.Popen, str]:
    return run_in_subprocess("--access-token", TOKEN, "--db", str(db_path))


def bring_ids_back(session: SQLiteSession, access_info: dict, summary: dict) -> int:
    """Stores the Id the server gave each account next to its external id, as a sync would."""
    db = session.connection
    db.execute("CREATE TABLE sf_accounts (Id TEXT, Ext_Id__c TEXT)")
    for batch in summary["batch_results"]:
        if batch["success"]:
            text = ingest_bapi20.successful_results(access_info, batch["job_id"])
            rows = csv.DictReader(io.StringIO(text))
            db.executemany(
                "INSERT INTO sf_accounts VALUES (?, ?)",
                [(row["sf__Id"], row["Ext_Id__c"]) for row in rows],
            )
    db.commit()
    return db.execute("SELECT COUNT(*) FROM sf_accounts").fetchone()[0]


def show(title: str, value) -> None:
    print(f"\n=== {title} ===")
    print(value)


def main() -> int:
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)-7s %(message)s")
    workdir = Path(tempfile.mkdtemp(prefix="kavrel-demo-"))
    session = build_warehouse(workdir / "warehouse.db")
    server, base_url = start_server(workdir / "salesforce.db")
    access_info = {"access_token": TOKEN, "instance_url": base_url}
    print(f"warehouse: {workdir / 'warehouse.db'} ({ACCOUNTS:,} accounts)")
    print(f"local Bulk API server: {base_url}")
    try:
        summary = vantro.upsert(
            session, access_info, "Account", "SELECT * FROM accounts", "Ext_Id__c", BATCH_SIZE
        )
        show("upsert summary", {k: v for k, v in summary.items() if k != "batch_results"})
        for batch in summary["batch_results"]:
            number, job_id, size = (
                batch["batch_number"],
                batch["job_id"],
                batch["records_processed"],
            )
            print(f"  batch {number}: job {job_id}, {size:,} records, success={batch['success']}")

        synced = bring_ids_back(session, access_info, summary)
        print(f"\n{synced:,} Salesforce Ids brought back into the warehouse")

        job = vantro.update(
            session,
            access_info,
            "Account",
            "SELECT Id, 'Platinum' AS Rating FROM sf_accounts WHERE Ext_Id__c <= 'EXT-00100'",
        )
        show("update job", job)
        job = vantro.delete(
            session,
            access_info,
            "Account",
            "SELECT Id FROM sf_accounts WHERE Ext_Id__c > 'EXT-03400'",
            None,
        )
        show("delete job", job)
    finally:
        server.terminate()
        server.wait(timeout=10)
        session.close()

    # The server kept its objects in its database file; open that file again to read them.
    with BulkApiEmulator(db=str(workdir / "salesforce.db")) as reader:
        rows = reader.rows("Account")
    by_ext = {row["Ext_Id__c"]: row for row in rows}
    show("what the server holds", f"{len(rows):,} Account rows (3,500 upserted, 100 deleted)")
    for ext in ("EXT-00001", "EXT-00002", "EXT-00007", "EXT-03400"):
        print(f"  {by_ext[ext]}")
    rated = sum(1 for row in rows if row.get("Rating") == "Platinum")
    print(f"  accounts rated Platinum by the update: {rated}")
    print(f"  EXT-03401 still there: {'EXT-03401' in by_ext}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
