from __future__ import annotations

import json
import logging
import sys
from pathlib import Path

import pytest

from kavrel.cli import loadreport
from kavrel.load import preview, results, summary
from kavrel.load.columns import column_checks
from kavrel.salesforce import oauth
from kavrel.sflake import local, snowpark
from kavrel.sflake.fieldnames import spelled_columns, upper_case_warning
from kavrel.sflake.sources import CSVSource

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
    ("texts", "expected"),
    [
        (["port=8080", "insecure_mode=TRUE", 'session_parameters={"QUERY_TAG": "n"}', "host=a=b"],
         {"port": 8080, "insecure_mode": True, "session_parameters": {"QUERY_TAG": "n"},
          "host": "a=b"}),
        (["HOST=x", "host="], {}),  # a later empty value keeps the default
        (["port"], "KEY=VALUE"), (["=1"], "KEY=VALUE"), (["Password=x"], "secret"),
        (["session_parameters={"], "not valid JSON"),
    ],
)  # fmt: skip
def test_snowflake_options(texts: list[str], expected: dict | str) -> None:
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            snowpark.parse_options(texts)
    else:
        assert snowpark.parse_options(texts) == expected


@pytest.mark.parametrize(
    ("query", "fields", "header", "warned"),
    [
        ("SELECT 1 AS FIRSTNAME, 2 AS EXT__C, 3 AS ID", ["FirstName", "Ext__c"],
         ["FirstName", "Ext__c", "Id"], False),
        ('SELECT 1 AS NAME, 2 AS "Rating"', [], ["NAME", "Rating"], True),
        # Two columns that name one field keep their names rather than merge.
        ("SELECT 1 AS ID, 2 AS Id", [], ["ID", "Id"], True),
    ],
)  # fmt: skip
def test_columns_take_the_field_spellings(query, fields, header, warned) -> None:
    [row] = local.SQLiteSession().sql(query).collect()
    spelled = spelled_columns(row._fields, fields)
    assert spelled == header
    assert (upper_case_warning(spelled) is not None) == warned


@pytest.mark.parametrize(
    ("kind", "advice"),
    [("CSV", "upper case in the CSV header"), ("SQLite", 'alias them (AS "FirstName")')],
)
def test_the_upper_case_warning_is_worded_for_its_source(tmp_path, kind, advice) -> None:
    (tmp_path / "in.csv").write_text("NAME\nAcme\n")
    source = CSVSource(tmp_path / "in.csv") if kind == "CSV" else local.SQLiteSession()
    found = preview(source, "" if kind == "CSV" else "SELECT 'Acme' AS NAME", "insert")
    [warning] = found.warnings
    assert advice in warning
    assert "Snowflake" not in warning


def test_renamed_columns_still_show_repeated_names() -> None:
    header = spelled_columns(["NAME", "NAME"], ["Name"])
    assert header == ["Name", "NAME"]
    assert column_checks("insert", None, header) == [
        (False, "more than one column is named Name, NAME (ignoring case)")
    ]


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
        summary.JobOutcome(1, "750A", 25000, "JobComplete", processed=25000, failed=0),
        summary.JobOutcome(2, "750B", 1234, "JobComplete", processed=1234, failed=2),
        summary.JobOutcome(3, None, 7, "error", error="Bulk API error 401: Unauthorized"),
        summary.JobOutcome(4, "750D", 10, "Failed", processed=4, failed=1,
                           error_message="InvalidBatch : bad line"),
        summary.JobOutcome(5, "750E", 3, "unknown", error="could not read"),
    ]  # fmt: skip
    load = summary.LoadSummary(26254, outcomes)
    assert summary.format_table(load).splitlines() == [
        "batch  job id  state          rows  succeeded  failed  not processed",
        "1      750A    JobComplete  25,000     25,000       0              0",
        "2      750B    JobComplete   1,234      1,232       2              0",
        "3      -       error             7          -       -              -",
        "4      750D    Failed           10          3       1              6",
        "5      750E    unknown           3          -       -              -",
        "batch 3: Bulk API error 401: Unauthorized",
        "batch 4: Salesforce says: InvalidBatch : bad line",
        "batch 5: could not read",
        "5 batches (2 completed, 3 failed), 26,254 rows, 26,235 records succeeded, 3 failed, "
        "6 not processed, 3 unknown, 7 not sent",
    ]
    # Every row of the query is accounted for exactly once.
    totals = load.as_dict()["totals"]
    parts = ("succeeded", "failed", "not_processed", "unknown", "not_sent")
    assert sum(totals[k] for k in parts) == totals["rows"]
    assert load.exit_status == 1
    job = json.loads(load.to_json())["jobs"][3]
    assert {k: job[k] for k in ("id", "state", "rows", "succeeded", "failed", "not_processed")} == {
        "id": "750D", "state": "Failed", "rows": 10, "succeeded": 3, "failed": 1,
        "not_processed": 6}  # fmt: skip


@pytest.mark.parametrize(
    ("jobs", "query_rows", "status"),
    [
        ([("JobComplete", 5, 5, 0)], 5, 0),
        ([("JobComplete", 5, 5, 0)], 6, 1),  # a row of the query was never sent
        ([("JobComplete", 5, 4, 0)], 5, 1),  # a row sent was never processed
        ([("JobComplete", 5, 5, 1)], 5, 1),
        ([("Aborted", 5, 5, 0)], 5, 1),
        ([("InProgress", 5, 0, 0)], 5, 1),
    ],
)
def test_exit_status_is_0_only_when_every_row_succeeded(jobs, query_rows, status) -> None:
    outcomes = [summary.JobOutcome(None, f"750{i}", rows, state, processed=p, failed=f)
                for i, (state, rows, p, f) in enumerate(jobs)]  # fmt: skip
    assert summary.LoadSummary(query_rows, outcomes).exit_status == status


def record(job_id: str | None, event: str = "") -> logging.LogRecord:
    extra = {} if job_id is None else {"job_id": job_id, "job_event": event}
    return logging.makeLogRecord({"msg": "any wording", "levelno": logging.DEBUG, **extra})


@pytest.mark.parametrize(
    ("events", "message"),
    [
        ([], "Interrupted before any job was created."),
        ([("750X", "created"), ("750X", "sent")],
         "Interrupted while job 750X was open; it could not be aborted: abort it with "
         "`kavrel job abort 750X` (or in Salesforce: Setup, Bulk Data Load Jobs)."),
        ([("750X", "sent"), ("750X", "aborted")],
         "Interrupted; job 750X was still open and has been aborted."),
        ([("750A", "ended"), ("750B", "closed"), ("750B", "polled")],
         "Interrupted while job 750B was processing; it was left to finish: check it with "
         "`kavrel job wait 750B` (or in Salesforce: Setup, Bulk Data Load Jobs)."),
        ([("750A", "created"), ("750A", "ended"), (None, "")],
         "Interrupted; the last job, 750A, had already finished."),
    ],
)  # fmt: skip
def test_tracker_names_the_job_in_flight(events, message: str) -> None:
    tracker = loadreport.JobTracker()
    for job_id, event in events:
        tracker.handle(record(job_id, event))
    assert tracker.interrupted_message() == message


def test_result_file_name_stays_in_the_results_directory() -> None:
    assert results.result_file_name("../../etc/x") == ".._.._etc_x-failed.csv"


def test_progress_display_names_what_each_slot_does() -> None:
    import io

    from kavrel.cli import progress

    stream = io.StringIO()
    display = progress.ProgressDisplay(stream)
    logger = logging.getLogger("kavrel.test.progress")
    logger.addHandler(display)
    logger.setLevel(logging.DEBUG)

    def job(job_id: str, event: str, batch: int, slot: int, **status) -> None:
        extra = {
            "job_id": job_id,
            "job_event": event,
            "batch": batch,
            "batch_rows": 2,
            "slot": slot,
        }
        logger.debug("job", extra={**extra, "job_status": status})

    try:
        display.begin_load("upsert Account")
        logger.debug("plan", extra={"load_rows": 5, "load_batches": 3, "load_parallel": 2})
        for number, (job_id, slot) in enumerate((("750A", 1), ("750B", 2), ("750C", 1)), 1):
            logger.debug("reading", extra={"load_event": "reading", "batch": number})
            logger.debug("read", extra={"batch": number, "batch_rows": 2})
            job(job_id, "created", number, slot)
        job("750A", "sent", 1, 1)
        job("750A", "polled", 1, 1, state="JobComplete", numberRecordsProcessed=2)
        job("750A", "ended", 1, 1)
        job("750B", "sent", 2, 2)
        job("750B", "polled", 2, 2, state="InProgress", numberRecordsProcessed=1)
        logger.debug("reading", extra={"load_event": "reading", "batch": 4})
        display.write_above("a warning\n")
    finally:
        logger.removeHandler(display)
    frame = [line.split(", 0:")[0] for line in display.lines()]
    assert frame == [
        "upsert Account: 4 of 5 rows sent, batch 3 of 3",
        "  batch 1  job 750A  JobComplete, 2 records processed",
        "  slot 1: batch 3  job 750C  uploading 2 rows",
        "  slot 2: batch 2  job 750B  InProgress, 1 record processed",
        "  reading batch 4",
    ]
    # The warning replaces the frame drawn before it (5 lines up), and the frame follows it.
    assert stream.getvalue().endswith(
        "\x1b[5F\x1b[Ja warning\n\x1b[J" + "".join(line + "\n" for line in display.lines())
    )
