from __future__ import annotations

import logging
import sys
import types
from pathlib import Path

import pytest

from kavrel.cli import loadreport
from kavrel.salesforce import oauth
from kavrel.sflake import snowpark

SNOWFLAKE_PROFILE = {
    "connection_type": "snowflake",
    "account": "xy12345.eu-west-1",
    "user": "LOADER",
    "role": "ETL",
    "warehouse": "WH",
    "private_key_file": "/keys/rsa.p8",
    "private_key_passphrase": "s3cret",
    "database": "SALES",
    "schema": "PUBLIC",
}


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        (
            {},
            {
                "account": "xy12345.eu-west-1",
                "user": "LOADER",
                "authenticator": "SNOWFLAKE_JWT",
                "private_key_file": "/keys/rsa.p8",
                "private_key_file_pwd": "s3cret",
                "role": "ETL",
                "warehouse": "WH",
                "database": "SALES",
                "schema": "PUBLIC",
            },
        ),
        # What the store gives for a profile saved with only account, user and key.
        (
            {"private_key_passphrase": None, "role": "", "warehouse": "", "database": None},
            {
                "account": "xy12345.eu-west-1",
                "user": "LOADER",
                "authenticator": "SNOWFLAKE_JWT",
                "private_key_file": "/keys/rsa.p8",
                "schema": "PUBLIC",
            },
        ),
    ],
)
def test_session_config_from_profile(changes: dict, expected: dict) -> None:
    profile = {**SNOWFLAKE_PROFILE, **changes}
    profile = {k: v for k, v in profile.items() if k != "database" or v is not None}
    assert snowpark.session_config(profile) == expected


def test_session_config_expands_a_home_relative_key_path(home: Path) -> None:
    config = snowpark.session_config({**SNOWFLAKE_PROFILE, "private_key_file": "~/k/rsa.p8"})
    assert config["private_key_file"] == str(home / "k" / "rsa.p8")


def test_create_session_without_snowpark_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "snowflake.snowpark", None)
    with pytest.raises(snowpark.SnowparkMissingError, match=r"pip install 'kavrel\[snowflake\]'"):
        snowpark.create_session(SNOWFLAKE_PROFILE)


def test_create_session_hands_the_config_to_the_builder(monkeypatch: pytest.MonkeyPatch) -> None:
    # Snowpark cannot log in here; a stand-in module records what the builder was given.
    seen = {}

    class Builder:
        def configs(self, config):
            seen.update(config)
            return self

        def create(self):
            return "session"

    fake = types.ModuleType("snowflake.snowpark")
    fake.Session = types.SimpleNamespace(builder=Builder())
    monkeypatch.setitem(sys.modules, "snowflake.snowpark", fake)
    assert snowpark.create_session(SNOWFLAKE_PROFILE) == "session"
    assert seen == snowpark.session_config(SNOWFLAKE_PROFILE)


def test_create_session_refuses_a_profile_without_account() -> None:
    with pytest.raises(ValueError, match="no account and no user"):
        snowpark.create_session({"connection_type": "snowflake", "account": " ", "user": ""})


@pytest.mark.parametrize(
    ("profile", "login_url", "url"),
    [
        ({"my_domain": "acme", "sandbox": False}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": True}, None, "https://acme.sandbox.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": "Yes"}, None, "https://acme.sandbox.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": "false"}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme", "sandbox": ""}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme"}, None, "https://acme.my.salesforce.com"),
        (
            {"my_domain": "https://Acme--dev.sandbox.my.salesforce.com/", "sandbox": "true"},
            None,
            "https://acme--dev.sandbox.my.salesforce.com",
        ),
        ({"my_domain": "acme.my.salesforce.com"}, None, "https://acme.my.salesforce.com"),
        ({"my_domain": "acme"}, "http://127.0.0.1:8080/", "http://127.0.0.1:8080"),
        ({"my_domain": ""}, "login.example.com", "https://login.example.com"),
    ],
)
def test_token_url(profile: dict, login_url: str | None, url: str) -> None:
    assert oauth.token_url(profile, login_url) == url + "/services/oauth2/token"


@pytest.mark.parametrize(
    ("profile", "message"),
    [
        ({"my_domain": "  "}, "no my_domain; give the login host with --login-url"),
        ({"my_domain": "acme", "sandbox": "maybe"}, "sandbox='maybe'"),
    ],
)
def test_token_url_refuses_what_it_cannot_read(profile: dict, message: str) -> None:
    with pytest.raises(oauth.OAuthError, match=message):
        oauth.token_url(profile)


def _outcomes() -> list[loadreport.JobOutcome]:
    return [
        loadreport.JobOutcome(1, "750A", 25000, "JobComplete", processed=25000, failed=0),
        loadreport.JobOutcome(2, "750B", 1234, "JobComplete", processed=1234, failed=2),
        loadreport.JobOutcome(3, None, 0, "error", error="401 Client Error: Unauthorized"),
        loadreport.JobOutcome(4, "750D", 10, "Failed", processed=0, failed=0),
    ]


def test_table_shows_each_job_and_the_totals() -> None:
    assert loadreport.format_table(_outcomes()).splitlines() == [
        "batch  job id  state          rows  succeeded  failed",
        "1      750A    JobComplete  25,000     25,000       0",
        "2      750B    JobComplete   1,234      1,232       2",
        "3      -       error             0          -       -",
        "4      750D    Failed           10          0       0",
        "batch 3: 401 Client Error: Unauthorized",
        "4 batches (2 succeeded, 2 failed), 26,244 rows, 26,232 records succeeded, 2 failed",
    ]


def test_outcomes_from_an_upsert_summary() -> None:
    summary = {
        "total_records": 3,
        "records_processed": 3,
        "total_batches": 2,
        "successful_batches": 1,
        "failed_batches": 1,
        "batch_results": [
            {"batch_number": 1, "job_id": "750A", "records_processed": 2, "success": True,
             "job_info": {"id": "750A"}},
            {"batch_number": 2, "job_id": None, "records_processed": 0, "success": False,
             "error": "boom"},
        ],
    }  # fmt: skip
    assert loadreport.outcomes_from_summary(summary) == [
        loadreport.JobOutcome(1, "750A", 2, "JobComplete"),
        loadreport.JobOutcome(2, None, 0, "error", error="boom"),
    ]


@pytest.mark.parametrize(
    ("lines", "message"),
    [
        ([], "Interrupted before any job was created."),
        (
            ["🚀 STARTING SALESFORCE INSERT", "✅ Job created: 750X", "✅ Data sent to Salesforce"],
            "Interrupted while job 750X was in flight; it was not aborted, "
            "check its state in Salesforce.",
        ),
        (
            ["✅ Job created successfully: {'id': '750A'}", "🆔 Job ID: 750A",
             "✅ Batch job completed successfully!", "🆔 Job ID: 750B"],
            "Interrupted while job 750B was in flight; it was not aborted, "
            "check its state in Salesforce.",
        ),
        (
            ["🆔 Job ID: 750A", "❌ Batch job failed with status: Failed"],
            "Interrupted; the last job, 750A, had already finished.",
        ),
    ],
)  # fmt: skip
def test_tracker_names_the_job_in_flight(lines: list[str], message: str) -> None:
    tracker = loadreport.JobTracker()
    logger = logging.getLogger("kavrel.test_tracker")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(tracker)
    try:
        for line in lines:
            logger.debug(line)
    finally:
        logger.removeHandler(tracker)
    assert tracker.interrupted_message() == message


@pytest.mark.parametrize(
    ("job_id", "name"),
    [("7505g00000AbCdE", "7505g00000AbCdE-failed.csv"), ("../../etc/x", ".._.._etc_x-failed.csv")],
)
def test_failed_file_name_stays_in_the_results_directory(job_id: str, name: str) -> None:
    assert loadreport.failed_file_name(job_id) == name
