"""The load commands as a user runs them: a subprocess, saved profiles in a temporary home, a
SQLite warehouse and the local Bulk API server."""

from __future__ import annotations

import csv
import importlib.util
import json
import os
import shlex
import signal
import sqlite3
import subprocess
import sys
from pathlib import Path

import pexpect
import pytest
from command import run_kavrel

from kavrel.salesforce import ingest_bapi20
from kavrel.user.connections import manager

SECRET = "local-secret"
ACCOUNTS = [("Acme", "A-1"), ("Globex", "A-2"), ("Initech", "A-3")]
QUERY = "SELECT Name, Ext__c FROM accounts ORDER BY Ext__c"


@pytest.fixture
def server(bulk_server):
    bulk_server.client_id, bulk_server.client_secret = "local-client", SECRET
    return bulk_server


@pytest.fixture
def db(tmp_path: Path) -> Path:
    path = tmp_path / "warehouse.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
        connection.executemany("INSERT INTO accounts VALUES (?, ?)", ACCOUNTS)
    connection.close()
    return path


def save_salesforce(name: str = "crm", secret: str = SECRET, primary: bool = True) -> None:
    credentials = {"client_id": "local-client", "client_key": secret, "my_domain": "acme"}
    manager.save_connection_config(name, credentials, "salesforce")
    if primary:
        manager.set_primary_connection(name, "salesforce")


def kavrel(home: Path, *args, env=None, server=None, db=None) -> subprocess.CompletedProcess:
    args = [*args, *(["--login-url", server.base_url] if server else [])]
    args += ["--sqlite", str(db)] if db else []
    return run_kavrel(home, *args, cwd=home.parent, **(env or {}))


def names(server) -> list[str]:
    return sorted(row["Name"] for row in server.rows("Account"))


@pytest.mark.parametrize(
    ("flag", "shown", "hidden"),
    [
        ("--batch-size=2", "📦 Loading 3 rows in 2 batches of up to 2 rows", "📥 Reading batch"),
        ("-v", "📥 Reading batch 1", None),
        ("-q", None, "📦"),
    ],
)
def test_upsert_loads_every_batch(flag, shown, hidden, home: Path, server, db: Path) -> None:
    save_salesforce()
    (home.parent / "accounts.sql").write_text(QUERY + ";\n")
    done = kavrel(
        home,
        "upsert",
        "--sobject",
        "Account",
        "--external-id",
        "Ext__c",
        "--query-file",
        "accounts.sql",
        "--batch-size=2",
        flag,
        server=server,
        db=db,
    )
    assert done.returncode == 0, done.stderr
    assert sorted((r["Name"], r["Ext__c"]) for r in server.rows("Account")) == ACCOUNTS
    lines = done.stdout.splitlines()
    assert lines[0] == (
        "batch  job id              state        rows  succeeded  failed  not processed"
    )
    assert [line.split()[0] for line in lines[1:3]] == ["1", "2"]
    assert lines[-1] == (
        "2 batches (2 completed, 0 failed), 3 rows, 3 records succeeded, 0 failed, 0 not processed"
    )
    assert shown is None or shown in done.stderr
    assert hidden is None or hidden not in done.stderr


def test_insert_update_delete_round_trip(home: Path, server, db: Path) -> None:
    save_salesforce()
    done = kavrel(home, "insert", "--sobject", "Account", "--query", QUERY, server=server, db=db)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == (
        "1 batch (1 completed, 0 failed), 3 rows, 3 records succeeded, 0 failed, 0 not processed"
    )
    with sqlite3.connect(db) as connection:
        connection.execute("CREATE TABLE changes (Id TEXT, Name TEXT)")
        connection.executemany(
            "INSERT INTO changes VALUES (?, ?)",
            [(r["Id"], r["Name"] + " Ltd") for r in server.rows("Account")],
        )
    connection.close()
    # An org reached without a profile: the token comes from the environment.
    done = kavrel(home, "update", "--sobject", "Account", "--query", "SELECT Id, Name FROM changes",
                  "--instance-url", server.base_url, db=db,
                  env={"SF_ACCESS_TOKEN": server.access_info["access_token"]})  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert names(server) == ["Acme Ltd", "Globex Ltd", "Initech Ltd"]
    done = kavrel(
        home,
        "delete",
        "--sobject",
        "Account",
        "--query",
        "SELECT Id FROM changes WHERE Name <> 'Globex Ltd'",
        server=server,
        db=db,
    )
    assert done.returncode == 0, done.stderr
    assert names(server) == ["Globex Ltd"]


def test_rejected_records_are_saved_and_fail_the_run(home: Path, server, db: Path) -> None:
    save_salesforce()
    server.reject_records("Ext__c", "A-2", "DUPLICATE_VALUE:duplicate value found")
    done = kavrel(home, "upsert", "--sobject", "Account", "--external-id", "Ext__c",
                  "--query", QUERY, "--results-dir", "out", server=server, db=db)  # fmt: skip
    assert done.returncode == 1
    [failed_file] = (home.parent / "out").glob("*-failed.csv")
    job_id = failed_file.name.removesuffix("-failed.csv")
    assert (
        done.stdout.splitlines()[-1]
        == f"1 record failed in job {job_id}: see out/{failed_file.name}"
    )
    text = failed_file.read_text(encoding="utf-8")
    assert "DUPLICATE_VALUE:duplicate value found" in text
    assert "Globex" in text
    assert "Acme" not in text
    assert names(server) == ["Acme", "Initech"]


@pytest.mark.parametrize(
    ("args", "break_server", "message", "loaded"),
    [
        # The first batch's upload is refused (its job aborted); the second batch still loads.
        (["upsert", "--external-id", "Ext__c", "--batch-size", "2"],
         lambda s: s.fail_next_request("PUT", "/batches", 500),
         "batch 1: Bulk API error 500 INTERNAL_SERVER_ERROR", ["Initech"]),
        (["insert"], lambda s: s.force_job_state("Failed"),
         "batch 1: Salesforce says: InvalidBatch : The job was set to fail", []),
    ],
)  # fmt: skip
def test_a_failed_job_fails_the_run(args, break_server, message, loaded, home, server, db) -> None:
    save_salesforce()
    break_server(server)
    done = kavrel(home, *args, "--sobject", "Account", "--query", QUERY, server=server, db=db)
    assert done.returncode == 1
    assert message in done.stdout + done.stderr
    assert names(server) == loaded


@pytest.mark.parametrize(
    ("args", "break_server", "status", "totals"),
    [
        (["insert", "--batch-size", "2"], None, 0,
         "2 batches (2 completed, 0 failed), 3 rows, 3 records succeeded, 0 failed, "
         "0 not processed"),
        # One 503 on a status read is retried: the verdict stays right.
        (["upsert", "--external-id", "Ext__c"], lambda s: s.fail_next_request("GET", "AAA", 503),
         0, "1 batch (1 completed, 0 failed), 3 rows, 3 records succeeded, 0 failed, "
            "0 not processed"),
        (["insert"], lambda s: s.force_job_state("Failed"), 1,
         "1 batch (0 completed, 1 failed), 3 rows, 0 records succeeded, 0 failed, "
         "3 not processed"),
    ],
)  # fmt: skip
def test_every_summary_adds_up(args, break_server, status, totals, home, server, db) -> None:
    save_salesforce()
    if break_server:
        break_server(server)
    done = kavrel(home, *args, "--sobject", "Account", "--query", QUERY,
                  "--results-dir", "out/new", server=server, db=db)  # fmt: skip
    assert done.returncode == status, done.stderr
    lines = done.stdout.splitlines()
    assert totals in lines
    if status == 0:
        assert len(server.rows("Account")) == 3
        return
    [job_id] = [line.split()[1] for line in lines[1:2]]
    assert "batch 1: Salesforce says: InvalidBatch : The job was set to fail" in lines
    unprocessed = home.parent / "out" / "new" / f"{job_id}-unprocessed.csv"
    assert lines[-1] == f"3 records not processed in job {job_id}: see out/new/{unprocessed.name}"
    assert "Globex" in unprocessed.read_text(encoding="utf-8")
    modes = [
        p.stat().st_mode & 0o777 for p in (unprocessed, unprocessed.parent, home.parent / "out")
    ]
    assert modes == [0o600, 0o700, 0o700]


def test_wrong_client_secret_gives_the_login_error(home: Path, server, db: Path) -> None:
    save_salesforce(secret="not-the-secret")
    done = kavrel(home, "insert", "--sobject", "Account", "--query", QUERY, server=server, db=db)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", "Error: Salesforce login failed: invalid_client: invalid client credentials\n"
    )  # fmt: skip


@pytest.mark.parametrize(
    ("saved", "args", "message"),
    [
        ([], [], "no connection profiles are saved yet; create one with `kavrel mintova "
                 "--salesforce`"),
        (["crm"], [], "no Salesforce profile given and no primary Salesforce profile is set; "
                      "create one with `kavrel mintova --salesforce`, or name a saved one with "
                      "--salesforce PROFILE"),
        (["crm"], ["--salesforce", "prod"], "no Salesforce profile named 'prod'; create one "
                                            "with `kavrel mintova --salesforce`"),
        (["crm!"], ["--snowflake", "crm"], "the profile 'crm' is a Salesforce profile, not a "
                                           "Snowflake one"),
        (["crm!"], [], "no Snowflake profile given and no primary Snowflake profile is set; "
                       "create one with `kavrel mintova --snowflake`, or name a saved one with "
                       "--snowflake PROFILE"),
        (["crm!", "dev!"], [], "Snowflake support is not installed; install it with: "
                               "pip install 'kavrel[snowflake]'"),
    ],
)  # fmt: skip
def test_missing_profiles_and_extra(saved, args, message, home: Path, server) -> None:
    if "dev!" in saved and importlib.util.find_spec("snowflake") is not None:
        pytest.skip("Snowflake's packages are installed here")
    if saved:
        save_salesforce("crm", primary=saved[0].endswith("!"))
    if "dev!" in saved:
        manager.save_connection_config("dev", {"account": "xy1", "user": "LOADER"}, "snowflake")
        manager.set_primary_connection("dev", "snowflake")
    done = kavrel(home, "insert", "--sobject", "Account", "--query", "SELECT 1", *args,
                  server=server)  # fmt: skip
    assert (done.returncode, done.stderr) == (1, f"Error: {message}\n")


@pytest.mark.parametrize("kind", ["sqlite", "duckdb"])
def test_dry_run_shows_the_first_rows_and_creates_no_job(kind: str, home: Path, db: Path) -> None:
    if kind == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        db = home.parent / "warehouse.duckdb"
        with duckdb.connect(str(db)) as connection:
            connection.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
            connection.executemany("INSERT INTO accounts VALUES (?, ?)", ACCOUNTS)
    query = "SELECT Name, Ext__c, NULL AS Phone FROM accounts ORDER BY Ext__c"
    done = kavrel(home, "upsert", "--dry-run", "--sobject", "Account", "--external-id", "Ext__c",
                  "--query", query, "--batch-size", "2", f"--{kind}", str(db))  # fmt: skip
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "Dry run: 3 rows would be upserted into Account in 2 batches of up to 2 rows; "
        "no job was created.\nColumns: Name, Ext__c, Phone\n"
        "Check passed: the external ID field Ext__c is a column.\n"
        "Check passed: no two columns share a name.\nFirst 2 rows of the first batch's CSV:\n"
        "Name,Ext__c,Phone\nAcme,A-1,\nGlobex,A-2,\n"
    )


@pytest.mark.parametrize(
    ("stop", "slow_upload", "wait_for", "status", "message"),
    [
        # Closed and processing: left to finish, and named.
        (signal.SIGINT, False, "📊 Job ", 130,
         "Interrupted while job {job} was processing; it was left to finish: check it with "
         "`kavrel job wait {job}` (or in Salesforce: Setup, Bulk Data Load Jobs)."),
        # Still uploading: the Open job is aborted, and SIGTERM is handled as Ctrl-C is.
        (signal.SIGTERM, True, None, 143,
         "Interrupted; job {job} was still open and has been aborted."),
    ],
)  # fmt: skip
def test_an_interrupted_load_names_its_job(stop, slow_upload, wait_for, status, message, home,
                                           server, db) -> None:  # fmt: skip
    save_salesforce()
    server.in_progress_checks = 1000  # the job stays InProgress while the load waits on it
    if slow_upload:
        server.delay_next_request("PUT", "/batches", 5)
    argv = [
        "insert",
        "-v",
        "--sobject",
        "Account",
        "--query",
        QUERY,
        "--login-url",
        server.base_url,
    ]
    with subprocess.Popen(
        [sys.executable, "-m", "kavrel", *argv, "--sqlite", str(db)],
        env={**os.environ, "HOME": str(home)},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    ) as process:
        try:
            # Bounded by the process: it either logs the line or ends.
            lines = iter(process.stderr)
            created = next(line for line in lines if line.startswith("📤 Batch 1: job "))
            if wait_for is not None:
                next(line for line in lines if line.startswith(wait_for))
            process.send_signal(stop)
            rest = process.stderr.read()
            process.wait(timeout=30)
        finally:
            process.kill()
    job_id = created.split()[4]
    assert process.returncode == status
    assert rest.splitlines()[-1] == message.format(job=job_id), rest
    state = ingest_bapi20.job_status(server.access_info, job_id)["state"]
    assert state == ("Aborted" if slow_upload else "InProgress")


@pytest.mark.parametrize(
    ("args", "reject", "status"),
    [
        (["insert", "--batch-size", "2"], None, 0),
        (["upsert", "--external-id", "Ext__c", "--batch-size", "2"], "A-2", 1),
    ],
)
def test_json_document_adds_up_and_names_the_saved_files(args, reject, status, home, server, db):
    save_salesforce()
    if reject:
        server.reject_records("Ext__c", reject, "DUPLICATE_VALUE:duplicate value found")
    done = kavrel(home, *args, "--sobject", "Account", "--query", QUERY, "--json",
                  "--save-success", "--results-dir", "out", server=server, db=db)  # fmt: skip
    assert done.returncode == status
    document = json.loads(done.stdout)  # nothing else on standard output
    assert "📦 Loading 3 rows in 2 batches" in done.stderr
    assert SECRET not in done.stdout
    assert server.access_info["access_token"] not in done.stdout
    jobs, totals = document["jobs"], document["totals"]
    assert [job["batch"] for job in jobs] == [1, 2]
    assert document["ok"] is (status == 0)
    for key in ("rows", "succeeded", "failed", "not_processed"):
        assert totals[key] == sum(job[key] for job in jobs)
    assert totals["rows"] == 3
    assert totals["succeeded"] == 3 - (reject is not None)
    ids = {row["Ext__c"]: row["Id"] for row in server.rows("Account")}
    saved = {}
    for job in jobs:
        assert job["rows"] == job["succeeded"] + job["failed"] + job["not_processed"]
        path = home.parent / job["files"]["success"]
        assert path.name == f"{job['id']}-success.csv"
        assert path.stat().st_mode & 0o777 == 0o600
        assert job["files"].get("failed") is None or (job["failed"] and reject)
        with path.open(encoding="utf-8", newline="") as file:
            saved.update((row["Ext__c"], row["sf__Id"]) for row in csv.DictReader(file))
    assert saved == ids


@pytest.mark.parametrize(("flag", "phone"), [("--null-clears", None), (None, "555-0100")])
def test_null_clears_only_when_asked(flag, phone, home: Path, server, db: Path) -> None:
    save_salesforce()
    with sqlite3.connect(db) as connection:
        connection.execute("ALTER TABLE accounts ADD COLUMN Phone TEXT DEFAULT '555-0100'")
    connection.close()
    query = "SELECT Name, Ext__c, Phone FROM accounts"
    done = kavrel(home, "upsert", "--sobject", "Account", "--external-id", "Ext__c", "--query",
                  query, server=server, db=db)  # fmt: skip
    assert done.returncode == 0, done.stderr
    query = "SELECT Ext__c, NULL AS Phone, Name FROM accounts"
    done = kavrel(home, "upsert", "--sobject", "Account", "--external-id", "Ext__c", "--query",
                  query, *([flag] if flag else []), server=server, db=db)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert [row["Phone"] for row in server.rows("Account")] == [phone] * 3


@pytest.mark.parametrize(
    ("args", "query", "status", "findings"),
    [
        (["upsert", "--external-id", "ext__C", "--null-clears"],
         "SELECT Name, NULL AS Ext__c, NULL AS Phone FROM accounts", 0,
         ["Check passed: the external ID field ext__C is a column.",
          "Check passed: no two columns share a name.",
          # The NULL that clears is not the match field's: that one stays empty.
          "Acme,,#N/A"]),
        (["upsert", "--external-id", "Key__c"], QUERY, 1,
         ["Check FAILED: the external ID field Key__c is not one of the columns."]),
        (["update"], "SELECT Name, Name AS NAME2 FROM accounts", 1,
         ["Check FAILED: the field Id is not one of the columns."]),
        (["delete"], "SELECT Ext__c AS id FROM accounts", 0,
         ["Check passed: the field Id is a column."]),
        (["insert"], "SELECT Name, Ext__c AS Name FROM accounts", 1,
         ["Check FAILED: more than one column is named Name."]),
    ],
)  # fmt: skip
def test_dry_run_checks_the_columns(args, query, status, findings, home: Path, db: Path) -> None:
    common = ["--dry-run", "--sobject", "Account", "--query", query, "--sqlite", str(db)]
    done = kavrel(home, *args, *common)
    assert done.returncode == status, done.stderr
    lines = done.stdout.splitlines()
    assert all(finding in lines for finding in findings), lines
    assert ("Error: the columns do not suit" in done.stderr) is bool(status)
    document = json.loads(kavrel(home, *args, *common, "--json").stdout)
    assert document["ok"] is not status
    assert document["rows"] == 3
    assert [c["finding"] + "." for c in document["checks"]] == [
        line.split(": ", 1)[1] for line in lines if line.startswith("Check ")
    ]


@pytest.mark.parametrize("piped", [False, True])
def test_progress_display_only_on_a_terminal(piped: bool, home: Path, server, db: Path) -> None:
    save_salesforce()
    load = ["insert", "--sobject", "Account", "--query", QUERY, "--batch-size", "2"]
    command = [sys.executable, "-m", "kavrel", *load, "--login-url", server.base_url]
    command += ["--sqlite", str(db)]
    if piped:
        command = ["sh", "-c", " ".join(map(shlex.quote, command)) + " | cat"]
    env = {**os.environ, "HOME": str(home), "TERM": "xterm"}
    child = pexpect.spawn(command[0], command[1:], env=env, encoding="utf-8", timeout=60)
    child.expect(pexpect.EOF)
    child.close()
    output = child.before
    assert child.exitstatus == 0, output
    assert output.splitlines()[-1] == (
        "2 batches (2 completed, 0 failed), 3 rows, 3 records succeeded, 0 failed, 0 not processed"
    )
    if piped:  # the plain log lines, and not one control sequence
        assert "\x1b" not in output
        assert "📤 Batch 1: job " in output
        return
    assert "📤 Batch 1: job " not in output
    frame = output.rsplit("\x1b[J", 1)[1].splitlines()
    assert frame[0].startswith("insert Account: 3 of 3 rows sent, batch 2 of 2, ")
    assert [line.split()[:2] + line.split()[4:] for line in frame[1:3]] == [
        ["batch", "1", "JobComplete,", "2", "records", "processed"],
        ["batch", "2", "JobComplete,", "1", "record", "processed"],
    ]
