"""`kavrel schema pull`: an org's descriptions saved as the local server reads them, and the local
server answering describe and limits from its schema and its own counters."""

import pytest
import requests

from kavrel.cli.main import main
from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce.emulator import BulkApiEmulator

# A schema with what a round trip could lose: bare fields, a lookup given by name, labels, a
# restricted picklist, external IDs, fields that cannot be set, an object's own key prefix.
SCHEMA = {
    "Account": {
        "keyPrefix": "001",
        "fields": [
            {"name": "Name", "label": "Account Name", "length": 12, "nillable": False},
            {"name": "Ext__c", "length": 6, "externalId": True, "unique": True},
            {"name": "Tier__c", "type": "picklist", "restrictedPicklist": True,
             "picklistValues": ["Gold", "Silver"]},
            {"name": "Seats__c", "type": "int", "digits": 3},
            {"name": "Since__c", "type": "date", "updateable": False},
            {"name": "Stamp__c", "type": "datetime", "createable": False},
            "Notes__c",
        ],
    },
    "Project__c": {
        "fields": [{"name": "Name", "nillable": False}, "Account__c", "Code__c"],
        "external_ids": ["Code__c"],
        "lookups": {"Account__c": "Account"},
    },
}  # fmt: skip
ACCOUNTS = [
    "Name,Ext__c,Tier__c,Seats__c,Since__c,Stamp__c,Notes__c",
    "Acme,A1,Gold,12,2020-01-31,,anything",
    "A name too long,A2,,,,,",
    ",A3,,,,,",
    "Bad tier,A4,Bronze,,,,",
    "Too many,A5,,1234,,,",
    "Bad date,A6,,,2020-02-30,,",
    "Stamped,A7,,,,2020-01-01T00:00:00Z,",
    "Long key,A8888888,,,,,",
]
PROJECTS = ["Name,Code__c,Account__r.Ext__c", "P1,C1,A1", "P2,C2,A9", ",C3,A1"]


def outcomes(server):
    """What the same jobs come to on `server`: each record's error code, and the Ids' prefixes."""
    codes = []
    for sobject, lines, operation in [
        ("Account", ACCOUNTS, "insert"),
        ("Project__c", PROJECTS, "insert"),
        ("Account", ["Ext__c,Since__c", "A1,2021-01-01", "A9,2021-01-01"], "upsert"),
    ]:
        document = {"object": sobject, "operation": operation, "externalIdFieldName": "Ext__c"}
        url = f"{server.base_url}{ingest.ingest_path({})}"
        headers = {"Authorization": f"Bearer {server.access_token}"}
        job = requests.post(url, headers=headers, json=document, timeout=10).json()["id"]
        ingest.send_file(server.access_info, job, "\n".join(lines) + "\n")
        ingest.job_close(server.access_info, job)
        failed = ingest.failed_results(server.access_info, job).splitlines()[1:]
        codes.append(sorted(row.split(",")[1].strip('"').split(":")[0] for row in failed))
    prefixes = {row["Id"][:3] for sobject in SCHEMA for row in server.rows(sobject)}
    return codes, prefixes


def pull(server, folder, *objects):
    argv = ["schema", "pull", *objects, "--out", str(folder), "--instance-url", server.base_url]
    return main(argv)


@pytest.fixture
def token(monkeypatch):
    monkeypatch.setenv("SF_ACCESS_TOKEN", "local-token")


def test_a_pulled_schema_served_again_gives_the_same_outcomes(tmp_path, token, capsys):
    with BulkApiEmulator(schema=SCHEMA) as org:
        assert pull(org, tmp_path / "schema", "account", "Project__c") == 0
        expected = outcomes(org)
    assert sorted(p.name for p in (tmp_path / "schema").iterdir()) == [
        "Account.json",
        "Project__c.json",
    ]
    assert "Saved Account (8 fields)" in capsys.readouterr().out
    with BulkApiEmulator(schema=tmp_path / "schema") as rehearsal:
        assert outcomes(rehearsal) == expected
    assert expected[0][0] == [
        "INVALID_FIELD",
        "INVALID_FIELD_FOR_INSERT_UPDATE",
        "INVALID_OR_NULL_FOR_RESTRICTED_PICKLIST",
        "NUMBER_OUTSIDE_VALID_RANGE",
        "REQUIRED_FIELD_MISSING",
        "STRING_TOO_LONG",
        "STRING_TOO_LONG",
    ]


def test_an_object_the_org_lacks_leaves_the_folder_as_it_was(tmp_path, token, capsys):
    folder = tmp_path / "schema"
    folder.mkdir()
    (folder / "Account.json").write_text("{}")
    with BulkApiEmulator(schema=SCHEMA) as org:
        assert pull(org, folder, "Account", "Nothing__c") == 1
    assert "the org has no object Nothing__c" in capsys.readouterr().err
    assert [p.read_text() for p in folder.iterdir()] == ["{}"]


def test_the_local_server_reports_and_spends_its_daily_batches(tmp_path):
    with BulkApiEmulator(daily_bulk_batches=2) as org:
        lines = ["Name", *(f"N{i}" for i in range(25_000))]
        url = f"{org.base_url}{ingest.ingest_path({})}"
        headers = {"Authorization": f"Bearer {org.access_token}"}
        document = {"object": "Account", "operation": "insert"}
        job = requests.post(url, headers=headers, json=document, timeout=10).json()["id"]
        ingest.send_file(org.access_info, job, "\n".join(lines) + "\n")
        ingest.job_close(org.access_info, job)
        status = ingest.job_status(org.access_info, job)
        limits = ingest.org_limits(org.access_info)
    assert (status["state"], status["numberRecordsProcessed"]) == ("Failed", 20_000)
    assert status["errorMessage"].startswith("ExceededQuota")
    assert limits["DailyBulkApiBatches"] == {"Max": 2, "Remaining": 0}
