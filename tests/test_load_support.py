from __future__ import annotations

import logging
import sys
from pathlib import Path

import pytest

from kavrel.cli import loadreport
from kavrel.salesforce import oauth
from kavrel.sflake import snowpark

PROFILE = {"connection_type": "snowflake", "account": "xy1", "user": "LOADER", "role": "ETL",
           "warehouse": "WH", "private_key_file": "~/keys/rsa.p8",
           "private_key_passphrase": "s3cret", "database": "SALES", "schema": "PUBLIC"}  # fmt: skip


@pytest.mark.parametrize(
    ("changes", "dropped"),
    [
        ({}, []),
        # What the store gives for a profile saved without passphrase, role or database.
        ({"private_key_passphrase": None, "role": "", "database": None},
         ["private_key_file_pwd", "role", "database"]),
    ],
)  # fmt: skip
def test_session_config_from_profile(changes: dict, dropped: list[str], home: Path) -> None:
    full = {"account": "xy1", "user": "LOADER", "authenticator": "SNOWFLAKE_JWT",
            "private_key_file": str(home / "keys" / "rsa.p8"), "private_key_file_pwd": "s3cret",
            "role": "ETL", "warehouse": "WH", "database": "SALES", "schema": "PUBLIC"}  # fmt: skip
    expected = {k: v for k, v in full.items() if k not in dropped}
    assert snowpark.session_config({**PROFILE, **changes}) == expected


@pytest.mark.parametrize(
    ("profile", "message"),
    [(PROFILE, r"pip install 'kavrel\[snowflake\]'"), ({"user": "x"}, "no account")],
)
def test_create_session_refusals(profile: dict, message: str, monkeypatch) -> None:
    monkeypatch.setitem(sys.modules, "snowflake.snowpark", None)  # as if not installed
    with pytest.raises((snowpark.SnowparkMissingError, ValueError), match=message):
        snowpark.create_session(profile)


@pytest.mark.parametrize(
    ("profile", "login_url", "host"),
    [
        ({"my_domain": "acme", "sandbox": False}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": "Yes"}, None, "https://acme.sandbox.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": "false"}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": None}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "https://Acme--dev.sandbox.my.salesforce.com/", "sandbox": True}, None,
         "https://acme--dev.sandbox.my.salesforce.com"),
        ({"my_domain": "acme"}, "http://127.0.0.1:8080/", "http://127.0.0.1:8080"),
        ({"my_domain": ""}, "login.example.com", "https://login.example.com"),
    ],
)  # fmt: skip
def test_token_url(profile: dict, login_url: str | None, host: str) -> None:
    assert oauth.token_url(profile, login_url) == host + "/services/oauth2/token"


@pytest.mark.parametrize(
    ("profile", "message"),
    [({"my_domain": " "}, "no my_domain; give the login host with --login-url"),
     ({"my_domain": "acme", "sandbox": "maybe"}, "sandbox='maybe'")],
)  # fmt: skip
def test_token_url_refuses_what_it_cannot_read(profile: dict, message: str) -> None:
    with pytest.raises(oauth.OAuthError, match=message):
        oauth.token_url(profile)


def test_table_shows_each_job_and_the_totals() -> None:
    outcomes = [
        loadreport.JobOutcome(1, "750A", 25000, "JobComplete", processed=25000, failed=0),
        loadreport.JobOutcome(2, "750B", 1234, "JobComplete", processed=1234, failed=2),
        loadreport.JobOutcome(3, None, 0, "error", error="401 Client Error: Unauthorized"),
        loadreport.JobOutcome(4, "750D", 10, "Failed", processed=0, failed=0),
    ]
    assert loadreport.format_table(outcomes).splitlines() == [
        "batch  job id  state          rows  succeeded  failed",
        "1      750A    JobComplete  25,000     25,000       0",
        "2      750B    JobComplete   1,234      1,232       2",
        "3      -       error             0          -       -",
        "4      750D    Failed           10          0       0",
        "batch 3: 401 Client Error: Unauthorized",
        "4 batches (2 succeeded, 2 failed), 26,244 rows, 26,232 records succeeded, 2 failed",
    ]


@pytest.mark.parametrize(
    ("lines", "message"),
    [
        ([], "Interrupted before any job was created."),
        (["✅ Job created: 750X", "✅ Data sent to Salesforce"],
         "Interrupted while job 750X was in flight; it was not aborted, "
         "check its state in Salesforce."),
        (["🆔 Job ID: 750A", "✅ Batch job completed successfully!", "🆔 Job ID: 750B"],
         "Interrupted while job 750B was in flight; it was not aborted, "
         "check its state in Salesforce."),
        (["🆔 Job ID: 750A", "❌ Batch job failed with status: Failed"],
         "Interrupted; the last job, 750A, had already finished."),
    ],
)  # fmt: skip
def test_tracker_names_the_job_in_flight(lines: list[str], message: str) -> None:
    tracker = loadreport.JobTracker()
    for line in lines:
        tracker.handle(logging.makeLogRecord({"msg": line, "levelno": logging.DEBUG}))
    assert tracker.interrupted_message() == message


def test_failed_file_name_stays_in_the_results_directory() -> None:
    assert loadreport.failed_file_name("../../etc/x") == ".._.._etc_x-failed.csv"
