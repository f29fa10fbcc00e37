"""The load commands as a user runs them: a subprocess, saved profiles in a temporary home, a
SQLite warehouse and the local Bulk API server."""

from __future__ import annotations

import contextlib
import importlib.util
import os
import queue
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("kavrel.salesforce.emulator")
pytest.importorskip("kavrel.sflake.local")
pytest.importorskip("kavrel.user.connections.manager")

from kavrel.salesforce.emulator import BulkApiEmulator  # noqa: E402

from kavrel.user.connections import manager  # noqa: E402

CLIENT_ID = "local-client"
CLIENT_SECRET = "local-secret"
ACCOUNTS = [("Acme", "A-1"), ("Globex", "A-2"), ("Initech", "A-3")]


@pytest.fixture
def server(bulk_server: BulkApiEmulator) -> BulkApiEmulator:
    bulk_server.client_id = CLIENT_ID
    bulk_server.client_secret = CLIENT_SECRET
    return bulk_server


@pytest.fixture
def warehouse(tmp_path: Path) -> Path:
    path = tmp_path / "warehouse.db"
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE accounts (Name TEXT, Ext__c TEXT)")
        db.executemany("INSERT INTO accounts VALUES (?, ?)", ACCOUNTS)
    db.close()
    return path


def save_salesforce(name: str = "crm", secret: str = CLIENT_SECRET, primary: bool = True) -> None:
    credentials = {"client_id": CLIENT_ID, "client_key": secret, "my_domain": "acme"}
    manager.save_connection_config(name, credentials, "salesforce")
    if primary:
        manager.set_primary_connection(name, "salesforce")


def kavrel(
    home: Path, cwd: Path, *args: str, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "kavrel", *args],
        cwd=cwd,
        env={**os.environ, "HOME": str(home), **(env or {})},
        capture_output=True,
        text=True,
        timeout=120,
    )


def source(warehouse: Path, server: BulkApiEmulator, *args: str) -> list[str]:
    return ["--sqlite", str(warehouse), "--login-url", server.base_url, *args]


@pytest.mark.parametrize(
    ("flags", "shown", "hidden"),
    [
        ([], "🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING", "🔍 STEP 1"),
        (["-v"], "🔍 STEP 1: Getting total record count...", None),
        (["-q"], None, "🚀"),
    ],
)
def test_upsert_loads_every_batch(
    flags: list[str],
    shown: str | None,
    hidden: str | None,
    home: Path,
    tmp_path: Path,
    server: BulkApiEmulator,
    warehouse: Path,
) -> None:
    save_salesforce()
    query_file = tmp_path / "accounts.sql"
    query_file.write_text("SELECT Name, Ext__c FROM accounts ORDER BY Ext__c;\n")
    done = kavrel(
        home,
        tmp_path,
        "upsert",
        "--sobject", "Account",
        "--external-id", "Ext__c",
        "--query-file", str(query_file),
        "--batch-size", "2",
        *source(warehouse, server, *flags),
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert sorted((r["Name"], r["Ext__c"]) for r in server.rows("Account")) == ACCOUNTS
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["batch", "job", "id", "state", "rows", "succeeded", "failed"]
    assert [line.split()[0] for line in lines[1:3]] == ["1", "2"]
    assert lines[-1] == "2 batches (2 succeeded, 0 failed), 3 rows, 3 records succeeded, 0 failed"
    if shown:
        assert shown in done.stderr
    if hidden:
        assert hidden not in done.stderr
    assert not list(tmp_path.glob("*-failed.csv"))


def test_insert_update_delete_round_trip(
    home: Path, tmp_path: Path, server: BulkApiEmulator, warehouse: Path
) -> None:
    save_salesforce()
    query = "SELECT Name, Ext__c FROM accounts"
    done = kavrel(home, tmp_path, "insert", "--sobject", "Account", "--query", query,
                  *source(warehouse, server))  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == (
        "1 batch (1 succeeded, 0 failed), 3 rows, 3 records succeeded, 0 failed"
    )
    stored = server.rows("Account")
    assert sorted(r["Name"] for r in stored) == ["Acme", "Globex", "Initech"]

    with sqlite3.connect(warehouse) as db:
        db.execute("CREATE TABLE changes (Id TEXT, Name TEXT)")
        db.executemany(
            "INSERT INTO changes VALUES (?, ?)", [(r["Id"], r["Name"] + " Ltd") for r in stored]
        )
    db.close()
    # The token can also come from the environment, for an org reached without a profile.
    done = kavrel(
        home, tmp_path, "update", "--sobject", "Account", "--query", "SELECT Id, Name FROM changes",
        "--sqlite", str(warehouse), "--instance-url", server.base_url,
        env={"SF_ACCESS_TOKEN": server.access_info["access_token"]},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert sorted(r["Name"] for r in server.rows("Account")) == [
        "Acme Ltd", "Globex Ltd", "Initech Ltd"
    ]  # fmt: skip

    done = kavrel(home, tmp_path, "delete", "--sobject", "Account",
                  "--query", "SELECT Id FROM changes WHERE Name <> 'Globex Ltd'",
                  *source(warehouse, server))  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert [r["Name"] for r in server.rows("Account")] == ["Globex Ltd"]


def test_rejected_records_are_saved_and_fail_the_run(
    home: Path, tmp_path: Path, server: BulkApiEmulator, warehouse: Path
) -> None:
    save_salesforce()
    server.reject_records("Ext__c", "A-2", "DUPLICATE_VALUE:duplicate value found")
    results = tmp_path / "results"
    done = kavrel(
        home, tmp_path, "upsert", "--sobject", "Account", "--external-id", "Ext__c",
        "--query", "SELECT Name, Ext__c FROM accounts", "--results-dir", str(results),
        *source(warehouse, server),
    )  # fmt: skip
    assert done.returncode == 1
    [failed_file] = results.glob("*-failed.csv")
    job_id = failed_file.name.removesuffix("-failed.csv")
    assert done.stdout.splitlines()[-1] == f"1 record failed in job {job_id}: see {failed_file}"
    text = failed_file.read_text(encoding="utf-8")
    assert "DUPLICATE_VALUE:duplicate value found" in text
    assert "Globex" in text
    assert "Acme" not in text
    assert sorted(r["Name"] for r in server.rows("Account")) == ["Acme", "Initech"]


@pytest.mark.parametrize(
    ("operation", "break_server", "error_line", "loaded"),
    [
        # The first batch's job is refused; the second still loads.
        (
            "upsert",
            lambda s: s.fail_next_request("POST", "/jobs/ingest", 500, {"message": "down"}),
            "batch 1: ",
            ["Initech"],
        ),
        (
            "insert",
            lambda s: s.force_job_state("Failed"),
            "Error: Salesforce insert job failed: Failed",
            [],
        ),
    ],
)  # fmt: skip
def test_a_failed_job_fails_the_run(
    operation: str,
    break_server,
    error_line: str,
    loaded: list[str],
    home: Path,
    tmp_path: Path,
    server: BulkApiEmulator,
    warehouse: Path,
) -> None:
    save_salesforce()
    break_server(server)
    extra = ["--external-id", "Ext__c", "--batch-size", "2"] if operation == "upsert" else []
    done = kavrel(
        home, tmp_path, operation, "--sobject", "Account", *extra,
        "--query", "SELECT Name, Ext__c FROM accounts ORDER BY Ext__c",
        *source(warehouse, server),
    )  # fmt: skip
    assert done.returncode == 1
    assert error_line in done.stdout + done.stderr
    assert sorted(r["Name"] for r in server.rows("Account")) == loaded


def test_wrong_client_secret_gives_the_login_error(
    home: Path, tmp_path: Path, server: BulkApiEmulator, warehouse: Path
) -> None:
    save_salesforce(secret="not-the-secret")
    done = kavrel(home, tmp_path, "insert", "--sobject", "Account", "--query", "SELECT 1 AS a",
                  *source(warehouse, server))  # fmt: skip
    assert done.returncode == 1
    assert done.stdout == ""
    [line] = done.stderr.splitlines()
    assert line.startswith("Error: Salesforce login failed: invalid_client")
    assert not server.rows("Account")


@pytest.mark.parametrize(
    ("profiles", "args", "message"),
    [
        ([], [], "Error: no connection profiles are saved yet; "
                 "create one with `kavrel mintova --salesforce`"),
        (["crm"], [], "Error: no Salesforce profile given and no primary Salesforce profile is "
                      "set; create one with `kavrel mintova --salesforce`, "
                      "or name a saved one with --salesforce PROFILE"),
        (["crm"], ["--salesforce", "prod"], "Error: no Salesforce profile named 'prod'; "
                                            "create one with `kavrel mintova --salesforce`"),
        (["crm!"], ["--snowflake", "crm"], "Error: the profile 'crm' is a salesforce profile, "
                                           "not a Snowflake one"),
        (["crm!"], [], "Error: no Snowflake profile given and no primary Snowflake profile is "
                       "set; create one with `kavrel mintova --snowflake`, "
                       "or name a saved one with --snowflake PROFILE"),
    ],
)  # fmt: skip
def test_missing_profiles_say_how_to_create_one(
    profiles: list[str],
    args: list[str],
    message: str,
    home: Path,
    tmp_path: Path,
    server: BulkApiEmulator,
) -> None:
    for name in profiles:
        save_salesforce(name.rstrip("!"), primary=name.endswith("!"))
    done = kavrel(home, tmp_path, "insert", "--sobject", "Account", "--query", "SELECT 1",
                  "--login-url", server.base_url, *args)  # fmt: skip
    assert (done.returncode, done.stderr) == (1, message + "\n")


def test_snowflake_profile_without_the_extra_names_it(
    home: Path, tmp_path: Path, server: BulkApiEmulator
) -> None:
    try:
        if importlib.util.find_spec("snowflake.snowpark") is not None:
            pytest.skip("Snowpark is installed here")
    except ModuleNotFoundError:
        pass
    save_salesforce()
    manager.save_connection_config(
        "dev", {"account": "xy12345", "user": "LOADER", "private_key_file": "/k.p8"}, "snowflake"
    )
    manager.set_primary_connection("dev", "snowflake")
    done = kavrel(home, tmp_path, "insert", "--sobject", "Account", "--query", "SELECT 1",
                  "--login-url", server.base_url)  # fmt: skip
    assert (done.returncode, done.stderr) == (
        1,
        "Error: Snowflake support is not installed; "
        "install it with: pip install 'kavrel[snowflake]'\n",
    )


def test_dry_run_shows_the_first_rows_and_creates_no_job(
    home: Path, tmp_path: Path, warehouse: Path
) -> None:
    done = kavrel(
        home, tmp_path, "upsert", "--dry-run", "--sobject", "Account", "--external-id", "Ext__c",
        "--query", "SELECT Name, Ext__c, NULL AS Phone FROM accounts ORDER BY Ext__c",
        "--batch-size", "2", "--sqlite", str(warehouse),
    )  # fmt: skip
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "Dry run: 3 rows would be upserted into Account in 2 batch(es) of up to 2 rows; "
        "no job was created.\n"
        "First 2 rows of the first batch's CSV:\n"
        "Name,Ext__c,Phone\n"
        "Acme,A-1,\n"
        "Globex,A-2,\n"
    )


def test_ctrl_c_names_the_job_in_flight(
    home: Path, tmp_path: Path, server: BulkApiEmulator, warehouse: Path
) -> None:
    save_salesforce()
    server.in_progress_checks = 1000  # the job stays InProgress: the load waits between checks
    process = subprocess.Popen(
        [sys.executable, "-m", "kavrel", "insert", "--sobject", "Account",
         "--query", "SELECT Name FROM accounts", *source(warehouse, server)],
        cwd=tmp_path,
        env={**os.environ, "HOME": str(home)},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )  # fmt: skip
    lines: queue.Queue[str] = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in process.stderr])
    reader.start()
    try:
        job_id = None
        deadline = time.monotonic() + 60
        while job_id is None and time.monotonic() < deadline:
            with contextlib.suppress(queue.Empty):
                line = lines.get(timeout=1)
                if line.startswith("✅ Job created: "):
                    job_id = line.removeprefix("✅ Job created: ").strip()
        assert job_id, "the load never created its job"
        process.send_signal(signal.SIGINT)
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        reader.join(timeout=10)
        process.stderr.close()
    rest = list(lines.queue)
    assert process.returncode == 130
    assert rest[-1].rstrip("\n") == (
        f"Interrupted while job {job_id} was in flight; it was not aborted, "
        "check its state in Salesforce."
    )
