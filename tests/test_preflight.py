"""A load checked against the org's own descriptions before any job: the dry run predicts exactly
the records the local server then fails, with the same texts; --check-records sends none of them;
the daily Bulk API batches stop a load that needs more than are left."""

import csv
import json
import sqlite3
import tracemalloc

import pytest

from kavrel import load
from kavrel.cli.main import main
from kavrel.load import allocation
from kavrel.salesforce.emulator import BulkApiEmulator

SCHEMA = {
    "Account": {
        "keyPrefix": "001",
        "fields": [
            {"name": "Name", "label": "Account Name", "length": 20, "nillable": False},
            {"name": "Ext__c", "length": 10, "externalId": True},
            {"name": "Rating__c", "type": "picklist", "restrictedPicklist": True,
             "picklistValues": ["Hot", "Warm"]},
            {"name": "Employees__c", "type": "int", "digits": 4},
            {"name": "Founded__c", "type": "date"},
            {"name": "Email__c", "type": "email", "length": 80},
            {"name": "Stamp__c", "type": "datetime", "createable": False},
            {"name": "Locked__c", "updateable": False},
            {"name": "Formula__c", "createable": False, "updateable": False},
            {"name": "ParentId", "type": "reference", "referenceTo": "Account"},
        ],
    },
    "Contact": {
        "keyPrefix": "003",
        "fields": [{"name": "LastName", "length": 8, "nillable": False}, "AccountId"],
        "lookups": {"AccountId": "Account"},
    },
}  # fmt: skip
INSERT = (
    ["Name", "Ext__c", "Rating__c", "Employees__c", "Founded__c", "Email__c", "Stamp__c",
     "ParentId"],
    [
        ("Good", "G1", "Hot", "12", "2020-02-29", "a@b.io", None, None),
        (None, "G2", None, None, None, None, None, None),
        ("A name of twenty-one!", "G3", None, None, None, None, None, None),
        ("Cold", "G4", "Cold", None, None, None, None, None),
        ("Letters", "G5", None, "ten", None, None, None, None),
        ("Many", "G6", None, "12345", None, None, None, None),
        ("Leap", "G7", None, None, "2021-02-29", None, None, None),
        ("Mail", "G8", None, None, None, "not-an-email", None, None),
        ("Stamped", "G9", None, None, None, None, "2020-01-01T00:00:00Z", None),
        ("Parent", "G10", None, None, None, None, None, "notanid"),
        ("Other", "G11", None, None, None, None, None, "003000000000001AAA"),
        ("Fine", "G12", "Warm", None, None, None, None, None),
    ],
)  # fmt: skip
CASES = {
    "insert": (INSERT, [], [
        "INVALID_EMAIL_ADDRESS", "INVALID_FIELD", "INVALID_FIELD",
        "INVALID_FIELD_FOR_INSERT_UPDATE", "INVALID_OR_NULL_FOR_RESTRICTED_PICKLIST",
        "MALFORMED_ID", "MALFORMED_ID",
        "NUMBER_OUTSIDE_VALID_RANGE", "REQUIRED_FIELD_MISSING", "STRING_TOO_LONG"]),
    "update": ((["Id", "Name", "Locked__c"], [
        ("{0}", "Renamed", None), (None, "No Id", None), ("notanid", "Bad", None),
        ("003000000000001AAA", "Contact's", None), ("{1}", "Once", None), ("{1}", "Twice", None),
        ("{2}", "Locked", "x"), ("{3}", "#N/A", None)]), [], [
        "DUPLICATE_VALUE", "INVALID_FIELD_FOR_INSERT_UPDATE", "MALFORMED_ID", "MALFORMED_ID",
        "MISSING_ARGUMENT", "REQUIRED_FIELD_MISSING"]),
    "upsert": ((["Ext__c", "Name", "Formula__c", "Stamp__c"], [
        ("S1", "Stamped", None, "2020-01-01T00:00:00Z"), ("D1", "Once", None, None),
        ("D1", "Twice", None, None), (None, None, None, None), ("S2", "Formula", "x", None),
        ("S3", "A name of twenty-one!", None, None), ("S4", "Fine", None, None)]),
        ["--external-id", "Ext__c"], [
        "DUPLICATE_VALUE", "DUPLICATE_VALUE", "INVALID_FIELD_FOR_INSERT_UPDATE",
        "REQUIRED_FIELD_MISSING", "STRING_TOO_LONG"]),
    "delete": ((["Id"], [("{0}",), (None,), ("bad",), ("{1}",), ("{1}",)]), [], [
        "DUPLICATE_VALUE", "MALFORMED_ID", "MISSING_ARGUMENT"]),
}  # fmt: skip


@pytest.fixture
def org(monkeypatch):
    with BulkApiEmulator(schema=SCHEMA) as server:
        monkeypatch.setenv("SF_ACCESS_TOKEN", server.access_token)
        yield server


def warehouse(path, columns, rows):
    with sqlite3.connect(path) as connection:
        names = ", ".join(f'"{column}" TEXT' for column in columns)
        connection.execute(f"CREATE TABLE t ({names})")
        marks = ", ".join("?" * len(columns))
        connection.executemany(f"INSERT INTO t VALUES ({marks})", rows)
    connection.close()
    return path


def kavrel(server, folder, operation, sobject, *args):
    argv = [operation, "--sobject", sobject, "--query", "SELECT * FROM t", "--sqlite"]
    argv += [str(folder / "w.db"), "--instance-url", server.base_url, "--results-dir", str(folder)]
    return main([*argv, *args])


def records(folder, pattern, error):
    """(error text, fields) of every record in the CSV files matching `pattern`."""
    found = []
    for path in folder.glob(pattern):
        with path.open(encoding="utf-8", newline="") as file:
            for row in csv.DictReader(file):
                fields = [v for k, v in row.items() if k not in ("row", "code", "sf__Id", error)]
                found.append((row[error], fields))
    return sorted(found)


def seed(server, tmp_path):
    """Four accounts S1..S4; their Ids."""
    warehouse(tmp_path / "w.db", ["Name", "Ext__c"], [(f"Seed {i}", f"S{i}") for i in range(1, 5)])
    assert kavrel(server, tmp_path, "insert", "Account") == 0
    (tmp_path / "w.db").unlink()
    return [row["Id"] for row in server.rows("Account")]


@pytest.mark.parametrize("operation", CASES)
def test_the_dry_run_predicts_exactly_the_records_the_org_fails(org, tmp_path, operation):
    (columns, rows), options, codes = CASES[operation]
    ids = seed(org, tmp_path)
    rows = [tuple(v.format(*ids) if v else v for v in row) for row in rows]
    warehouse(tmp_path / "w.db", columns, rows)

    assert kavrel(org, tmp_path, operation, "Account", "--dry-run", *options) == 1
    predicted = records(tmp_path, "*-predicted-failures.csv", "message")
    assert kavrel(org, tmp_path, operation, "Account", *options) == 1
    assert records(tmp_path, "750*-failed.csv", "sf__Error") == predicted
    assert sorted(message.split(":")[0] for message, _ in predicted) == codes


@pytest.mark.parametrize(
    ("again_at", "batch_size", "failed", "repeated"),
    [
        (3, "3", 2, []),
        (3, "2", 0, [[3, 1]]),
        (10_000, "25000", 2, []),  # the last record of the job's first chunk of 10,000
        (10_001, "25000", 0, [[10_001, 1]]),  # the first of its second chunk
    ],
)
def test_a_key_repeated_in_a_chunk_fails_and_in_another_overwrites(
    org, tmp_path, capsys, again_at, batch_size, failed, repeated
):
    rows = [("K1", "First"), *((f"F{i}", "Filler") for i in range(2, again_at)), ("K1", "Later")]
    warehouse(tmp_path / "w.db", ["Ext__c", "Name"], rows)
    options = ["--external-id", "Ext__c", "--batch-size", batch_size]
    assert kavrel(org, tmp_path, "upsert", "Account", "--dry-run", "--json", *options) == 1
    prediction = json.loads(capsys.readouterr().out)["prediction"]
    assert (prediction["failures"]["count"], prediction["repeated_keys"]["rows"]) == (
        failed,
        repeated,
    )
    # Checked, the records that would fail go to no job; the later chunk overwrites.
    assert kavrel(org, tmp_path, "upsert", "Account", "--check-records", *options) == (failed > 0)
    names = [row["Name"] for row in org.rows("Account") if row["Ext__c"] == "K1"]
    assert names == ([] if failed else ["Later"])
    assert kavrel(org, tmp_path, "upsert", "Account", *options) == (failed > 0)  # unchecked
    assert len(records(tmp_path, "750*-failed.csv", "sf__Error")) == failed


def test_checked_records_go_to_no_job_and_count_as_failed(org, tmp_path, capsys):
    warehouse(tmp_path / "w.db", *INSERT)
    assert kavrel(org, tmp_path, "insert", "Account", "--check-records", "--json") == 1
    totals = json.loads(capsys.readouterr().out)["totals"]
    assert (totals["sent"], totals["succeeded"], totals["failed"], totals["left_out"]) == (
        2,
        2,
        10,
        10,
    )
    assert totals["not_sent"] == 0
    assert sorted(row["Name"] for row in org.rows("Account")) == ["Fine", "Good"]
    assert not list(tmp_path.glob("750*-failed.csv"))
    assert len(records(tmp_path, "*-predicted-failures.csv", "message")) == 10


def test_a_checked_update_sends_the_first_record_of_a_repeated_id(org, tmp_path):
    first, second, *_ = seed(org, tmp_path)
    rows = [(first, "Once"), (first[:15], "Twice"), (second, "Other")]  # one Id, two forms
    warehouse(tmp_path / "w.db", ["Id", "Name"], rows)
    assert kavrel(org, tmp_path, "update", "Account", "--check-records") == 1
    assert [row["Name"] for row in org.rows("Account")][:2] == ["Once", "Other"]
    [(message, _)] = records(tmp_path, "*-predicted-failures.csv", "message")
    assert message == f"DUPLICATE_VALUE:Duplicate id in list: {first}:--"


@pytest.mark.parametrize(
    ("rows", "job_rows", "needed"),
    [(0, None, 0), (10_000, None, 1), (10_001, None, 2), (50_000, 25_000, 6), (30_001, 15_000, 5)],
)
def test_each_job_uses_a_daily_batch_for_every_10000_of_its_records(rows, job_rows, needed):
    assert allocation.batches_needed(rows, job_rows) == needed


@pytest.mark.parametrize(
    ("column", "value", "finding"),
    [
        ("Account.Ext__c", "S9", "must name exactly one record"),  # no account holds S9
        ("Account.Name", "Seed 1", "Name is not an external ID of Account"),
        ("Nothing__c", "x", "Field name not found : Nothing__c"),
    ],
)
def test_relationship_columns_resolve_through_the_described_objects(
    org, tmp_path, capsys, column, value, finding
):
    seed(org, tmp_path)
    warehouse(tmp_path / "w.db", ["LastName", column], [("Long last name", "S1"), ("Ann", value)])
    assert kavrel(org, tmp_path, "insert", "Contact", "--dry-run") == 1
    shown = capsys.readouterr()
    assert finding in shown.out
    if "exactly one" in finding:
        assert "STRING_TOO_LONG: 1 (row 1)" in shown.out
        assert kavrel(org, tmp_path, "insert", "Contact") == 1  # row 2's account is not found
        assert len(records(tmp_path, "750*-failed.csv", "sf__Error")) == 2


def test_a_load_that_needs_more_batches_than_are_left_stops_before_its_first_job(
    tmp_path, monkeypatch, capsys
):
    warehouse(tmp_path / "w.db", ["Name"], [(f"N{i}",) for i in range(10_001)])
    with BulkApiEmulator(schema=SCHEMA, daily_bulk_batches=1) as server:
        monkeypatch.setenv("SF_ACCESS_TOKEN", server.access_token)
        assert kavrel(server, tmp_path, "insert", "Account", "--dry-run") == 1
        assert "needs 2 batches and the org has 1 of 1 left" in capsys.readouterr().out
        assert kavrel(server, tmp_path, "insert", "Account") == 1
        assert "needs 2 batches of the org's daily Bulk API" in capsys.readouterr().err
        assert server.rows("Account") == []
        assert kavrel(server, tmp_path, "insert", "Account", "--ignore-limits") == 1
        assert "ExceededQuota" in capsys.readouterr().out
        assert len(server.rows("Account")) == 10_000


def test_the_dry_run_holds_one_chunk_in_memory_however_many_rows(org, tmp_path):
    def peak(rows):
        source = sqlite3.connect(":memory:")
        source.execute(
            "CREATE TABLE t AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
            f"WHERE i < {rows}) SELECT 'K' || i AS Ext__c, 'Name ' || i AS Name FROM n"
        )
        tracemalloc.start()
        found = load.preview(source, "SELECT * FROM t", "upsert", external_id="Ext__c",
                             org=org.access_info, sobject="Account")  # fmt: skip
        highest = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert (found.prediction.rows, found.prediction.ok) == (rows, True)
        return highest

    peak(20_000)  # the first run's peak holds what it imported
    assert peak(100_000) < 1.5 * peak(20_000)
