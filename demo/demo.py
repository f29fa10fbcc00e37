"""kavrel's main job on a laptop, through the `kavrel` command itself.

Builds a SQLite warehouse of a few thousand accounts, starts the local Bulk API server in its own
process (with a schema, so that it checks each record as an org does), saves a Salesforce profile
for it in a home directory of the demo's own, and runs what a user types: an upsert in batches
(its summary table and result files), an update and a delete by the Ids that the upsert's
success files brought back, `kavrel job list` for the final state of every job, and
`kavrel load list` for the loads that ran.
"""

from __future__ import annotations

import csv
import os
import random
import shlex
import sqlite3
import subprocess
import sys
import tempfile
from datetime import date, timedelta
from pathlib import Path

# The subprocess helper is shared with the tests and the benchmarks.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

ACCOUNTS = 3500
BATCH_SIZE = 1000
NAMELESS = 1234  # this account has no Name, which the org refuses: one failed record
CLIENT_ID, CLIENT_SECRET = "demo-app", "demo-secret"
INDUSTRIES = ["Energy", "Retail", "Banking", "Media", None]
SCHEMA = """\
[Account]
fields = [
    { name = "Name", type = "string", length = 255, nillable = false },
    "Ext_Id__c", "Industry", "Rating",
    { name = "NumberOfEmployees", type = "int" },
    { name = "AnnualRevenue", type = "currency", precision = 18, scale = 2 },
    { name = "Customer_Since__c", type = "date" },
    { name = "Active__c", type = "boolean" },
]
external_ids = ["Ext_Id__c"]
"""
KAVREL = Path(sys.executable).parent / "kavrel"


def sample_accounts(count: int) -> list[tuple]:
    """Accounts with text, whole and decimal numbers, dates, flags and missing values."""
    rng = random.Random(7)
    start = date(2020, 1, 1)
    rows = []
    for i in range(1, count + 1):
        name = {2: 'Smith, "Junior" & Sons', NAMELESS: None}.get(i, f"Account {i:04d}")
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


def build_warehouse(path: Path) -> None:
    with sqlite3.connect(path) as db:
        db.execute(
            "CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Industry TEXT, NumberOfEmployees "
            "INTEGER, AnnualRevenue REAL, Customer_Since__c TEXT, Active__c INTEGER)"
        )
        db.executemany(
            "INSERT INTO accounts VALUES (?, ?, ?, ?, ?, ?, ?)", sample_accounts(ACCOUNTS)
        )
    db.close()


def bring_ids_back(warehouse: Path, results: Path) -> int:
    """Stores the Id the org gave each account next to its external ID, from the upsert's
    success files, as a sync would."""
    with sqlite3.connect(warehouse) as db:
        db.execute("CREATE TABLE sf_accounts (Id TEXT, Ext_Id__c TEXT)")
        for path in sorted(results.glob("*-success.csv")):
            with path.open(encoding="utf-8", newline="") as file:
                rows = [(row["sf__Id"], row["Ext_Id__c"]) for row in csv.DictReader(file)]
            db.executemany("INSERT INTO sf_accounts VALUES (?, ?)", rows)
        count = db.execute("SELECT COUNT(*) FROM sf_accounts").fetchone()[0]
    db.close()
    return count


class Shell:
    """Runs `kavrel` as a user would, in the demo's directory and home, showing each command."""

    def __init__(self, workdir: Path, login_url: str) -> None:
        self.workdir = workdir
        self.login_url = login_url
        self.env = {**os.environ, "HOME": str(workdir / "home"), "KAVREL_CLIENT_KEY": CLIENT_SECRET}

    def kavrel(self, *args: str, org: bool = True) -> int:
        args = (*args, *(("--login-url", self.login_url) if org else ()))
        print(f"\n$ kavrel {' '.join(map(shell_word, args))}", flush=True)
        command = [str(KAVREL)] if KAVREL.exists() else [sys.executable, "-m", "kavrel"]
        status = subprocess.run([*command, *args], cwd=self.workdir, env=self.env).returncode
        if status:
            print(f"(exit status {status})", flush=True)
        return status


def shell_word(text: str) -> str:
    """`text` as a shell reads it back, in double quotes where it holds SQL's single quotes."""
    if "'" in text and not any(c in text for c in '"$`\\!'):
        return f'"{text}"'
    return shlex.quote(text)


def title(text: str) -> None:
    print(f"\n=== {text} ===", flush=True)


def what_the_org_holds(database: Path) -> None:
    with sqlite3.connect(database) as db:
        count = db.execute('SELECT COUNT(*) FROM "Account"').fetchone()[0]
        rated = db.execute("SELECT COUNT(*) FROM \"Account\" WHERE Rating = 'Platinum'").fetchone()
        kept = db.execute("SELECT COUNT(*) FROM \"Account\" WHERE Ext_Id__c > 'EXT-03400'")
        gone = kept.fetchone()[0] == 0
        sample = db.execute(
            'SELECT Id, Ext_Id__c, Name, Rating FROM "Account" WHERE Ext_Id__c IN '
            "('EXT-00002', 'EXT-03400') ORDER BY Ext_Id__c"
        ).fetchall()
    db.close()
    print(f"{count:,} accounts ({ACCOUNTS:,} upserted less the one refused, 100 deleted)")
    print(f"{rated[0]:,} rated Platinum by the update; those above EXT-03400 deleted: {gone}")
    for row in sample:
        print("  " + ", ".join(str(value) for value in row))


def main() -> int:
    workdir = Path(tempfile.mkdtemp(prefix="kavrel-demo-"))
    (workdir / "home").mkdir(mode=0o700)
    build_warehouse(workdir / "warehouse.db")
    (workdir / "schema.toml").write_text(SCHEMA)
    options = ["--db", "salesforce.db", "--schema", "schema.toml"]
    os.chdir(workdir)
    os.environ["KAVREL_EMULATOR_CLIENT_SECRET"] = CLIENT_SECRET  # kept out of the process list
    # The server's own log (a line per request) would interleave with the commands' output.
    with open(workdir / "server.log", "w", encoding="utf-8") as server_log:
        server, base_url = run_in_subprocess(*options, "--client-id", CLIENT_ID, stderr=server_log)
    shell = Shell(workdir, base_url)
    print(f"In {workdir}: warehouse.db ({ACCOUNTS:,} accounts), the local Bulk API server at "
          f"{base_url} (the org, with schema.toml), a home of the demo's own for the "
          "profile.")  # fmt: skip
    try:
        title("a Salesforce profile, the org's connected app")
        shell.kavrel("connection", "add", "--salesforce", "--name", "demo-org", "--client-id",
                     CLIENT_ID, "--my-domain", "demo", "--no-interactive", "--default",
                     org=False)  # fmt: skip
        shell.kavrel("connection", "list", org=False)

        title(f"upsert in batches of {BATCH_SIZE:,}: one record is refused (account {NAMELESS} "
              "has no Name)")  # fmt: skip
        shell.kavrel("upsert", "-s", "Account", "-i", "Ext_Id__c", "--sqlite", "warehouse.db",
                     "--query", "SELECT * FROM accounts", "--batch-size", str(BATCH_SIZE),
                     "--results-dir", "results", "--save-success")  # fmt: skip
        synced = bring_ids_back(workdir / "warehouse.db", workdir / "results")
        print(f"\n{synced:,} Salesforce Ids brought back into the warehouse from the success files")

        title("update and delete by those Ids")
        shell.kavrel("update", "-s", "Account", "--sqlite", "warehouse.db", "--query",
                     "SELECT Id, 'Platinum' AS Rating FROM sf_accounts "
                     "WHERE Ext_Id__c <= 'EXT-00100'")  # fmt: skip
        shell.kavrel("delete", "-s", "Account", "--sqlite", "warehouse.db", "--query",
                     "SELECT Id FROM sf_accounts WHERE Ext_Id__c > 'EXT-03400'")  # fmt: skip

        title("every job's final state")
        shell.kavrel("job", "list")

        title("the loads that ran, from their journals (kavrel load show ID for one)")
        shell.kavrel("load", "list", org=False)
    finally:
        server.terminate()
        server.wait(timeout=10)

    title("what the org holds")
    what_the_org_holds(workdir / "salesforce.db")

    home = shlex.quote(str(workdir / "home"))
    print("\nTry next:")
    print(f"  cd {shlex.quote(str(workdir))} && kavrel emulator --port 8443 {' '.join(options)}")
    print(f"  HOME={home} kavrel job list --login-url http://127.0.0.1:8443   # in another shell")
    warehouse = shlex.quote(str(workdir / "warehouse.db"))
    print(f"  kavrel upsert --dry-run -s Account -i Ext_Id__c --sqlite {warehouse} "
          '--query "SELECT * FROM accounts"')  # fmt: skip
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
