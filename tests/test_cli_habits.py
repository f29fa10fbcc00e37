"""The `kavrel` command as users of the Salesforce and Snowflake command lines type it, and what it
prints at the default verbosity: a subprocess, saved profiles in a temporary home, CSV files and
the local Bulk API server."""

from __future__ import annotations

import os
import re
import sqlite3
import subprocess
from pathlib import Path

import pytest
from command import KAVREL, run_kavrel

from kavrel.salesforce import ingest_bapi20
from kavrel.user.connections import manager

ACCOUNTS = 'Name,Ext__c\r\nAcme,A-1\r\n"Globex, ""Intl""",A-2\r\nInitech,A-3\r\n'


@pytest.fixture
def org(bulk_server, home):
    bulk_server.client_id, bulk_server.client_secret = "app", "secret"
    for name, secret in (("crm", "secret"), ("stale", "wrong")):
        credentials = {"client_id": "app", "client_key": secret, "my_domain": "acme"}
        manager.save_connection_config(name, credentials, "salesforce")
    manager.set_primary_connection("stale", "salesforce")  # a login with it would fail
    (home.parent / "accounts.csv").write_text(ACCOUNTS, newline="")
    return bulk_server


def kavrel(home: Path, server, *args: str, stdin: str | None = None, **env: str):
    return run_kavrel(home, *args, "--login-url", server.base_url, cwd=home.parent, stdin=stdin,
                      **env)  # fmt: skip


def test_short_forms_environment_profile_api_version_and_hard_delete(org, home):
    done = kavrel(home, org, "upsert", "-s", "Account", "-i", "Ext__c", "-f", "accounts.csv",
                  "-w", "5", "--api-version", "58.0", "--log-file", "load.log",
                  KAVREL_SALESFORCE="crm")  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert sorted(row["Name"] for row in org.rows("Account")) == [
        "Acme",
        'Globex, "Intl"',
        "Initech",
    ]
    assert "DEBUG   📊 Job " in (home.parent / "load.log").read_text(encoding="utf-8")

    ids = "Id\n" + "".join(f"{row['Id']}\n" for row in org.rows("Account"))
    done = kavrel(home, org, "delete", "--hard", "-s", "Account", "-f", "-", "-o", "crm",
                  stdin=ids)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert org.rows("Account") == []
    jobs = ingest_bapi20.job_list(org.access_info)
    assert sorted((job["operation"], job["apiVersion"]) for job in jobs) == [
        ("hardDelete", 62.0),
        ("upsert", 58.0),
    ]


def normalised(text: str) -> list[str]:
    """The lines with each job id as JOB, each load id as LOAD and the table's padding as one
    blank."""
    text = re.sub(r"[0-9]{8}-[0-9]{6}-[0-9a-f]{4}", "LOAD", re.sub(r"75\w{16}", "JOB", text))
    return re.sub(r" +", " ", text).splitlines()


STARTED = "🧾 Load LOAD: if it stops, `kavrel load resume LOAD` finishes it"
RETRY = "Send its failed records again with: kavrel load retry LOAD"


TABLE = "batch job id state rows succeeded failed not processed"


@pytest.mark.parametrize(
    ("args", "break_org", "stderr", "stdout"),
    [
        (["insert"], lambda org: org.reject_records("Ext__c", "A-2", "DUPLICATE_VALUE:dup"),
         [STARTED, "📦 Loading 3 rows in one job", "📤 Batch 1: job JOB created for 3 rows",
          "⚠️ Batch 1: job JOB JobComplete: 1 of 3 records failed", RETRY],
         [TABLE, "1 JOB JobComplete 3 2 1 0",
          "1 batch (1 completed, 0 failed), 3 rows, 2 records succeeded, 1 failed, "
          "0 not processed", "1 record failed in job JOB: see JOB-failed.csv"]),
        (["insert"], lambda org: org.force_job_state("Failed"),
         [STARTED, "📦 Loading 3 rows in one job", "📤 Batch 1: job JOB created for 3 rows",
          "❌ Batch 1: job JOB Failed", RETRY],
         [TABLE, "1 JOB Failed 3 0 0 3",
          "batch 1: Salesforce says: InvalidBatch : The job was set to fail",
          "1 batch (0 completed, 1 failed), 3 rows, 0 records succeeded, 0 failed, "
          "3 not processed", "3 records not processed in job JOB: see JOB-unprocessed.csv"]),
        # The refusal is told once, by the summary.
        (["insert", "--batch-size", "2"],
         lambda org: org.fail_next_request("POST", "/jobs/ingest", 400),
         [STARTED, "📦 Loading 3 rows in 2 batches of up to 2 rows, 1 job at a time",
          "Load LOAD did not finish; finish it with: kavrel load resume LOAD"],
         [TABLE, "1 - error 2 - - -",
          "The load stopped early: Salesforce refused to create the job of batch 1 (Bulk API "
          "error 400 BAD_REQUEST: Bad Request); no further job was created.",
          "1 batch (0 completed, 1 failed), 3 rows, 0 records succeeded, 0 failed, "
          "0 not processed, 3 not sent"]),
        (["delete", "--dry-run", "--sqlite", "one.db", "--query", "SELECT 'x' AS Id"], None, [],
         ["Dry run: 1 row would be deleted from Account in one job; no job was created.",
          "Columns: Id", "Check passed: the field Id is a column.",
          "Check passed: no two columns share a name.", "First row of the first batch's CSV:",
          "Id", "x"]),
    ],
)  # fmt: skip
def test_default_output_tells_each_outcome_once(org, home, args, break_org, stderr, stdout):
    if break_org:
        break_org(org)
    sqlite3.connect(home.parent / "one.db").close()
    # A dry run that names no org does not ask one (this local server describes no object).
    source = [] if "--dry-run" in args else ["-f", "accounts.csv", "-o", "crm"]
    done = kavrel(home, org, *args, "-s", "Account", *source)
    assert (normalised(done.stderr), normalised(done.stdout)) == (stderr, stdout)
    assert done.returncode == (0 if "--dry-run" in args else 1)


def test_bash_completion_asks_kavrel(org, home):
    script = subprocess.run([KAVREL, "completion", "bash"], capture_output=True, text=True).stdout

    def complete(*words: str) -> list[str]:
        run = f"{script}\nCOMP_WORDS=(kavrel {' '.join(words)}); COMP_CWORD={len(words)}\n"
        run += '_kavrel_complete; printf "%s\\n" "${COMPREPLY[@]}"'
        env = {
            **os.environ,
            "HOME": str(home),
            "PATH": f"{Path(KAVREL).parent}:{os.environ['PATH']}",
        }
        return subprocess.run(
            ["bash", "-c", run], env=env, capture_output=True, text=True
        ).stdout.split()

    assert complete("upsert", "--batch") == ["--batch-size"]
    assert complete("conn") == ["connection"]
    assert complete("connection", "remove", "''") == ["crm", "stale"]
    assert complete("job", "list", "-o", "c") == ["crm"]
    assert complete("completion", "''") == ["bash", "zsh", "fish"]
