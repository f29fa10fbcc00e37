"""Records checked against object descriptions, each bad record failing alone with the org's code
while the good records of its job are applied; and the limits that hold without a schema."""

import json

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce.emulator import BulkApiEmulator

INGEST = "/services/data/v62.0/jobs/ingest"


def described(name, type="string", **settings):
    """A field as an org's describe gives it, with settings the server does not read."""
    field = {
        "name": name, "label": name, "type": type, "length": 0, "precision": 0, "scale": 0,
        "digits": 0, "nillable": True, "defaultedOnCreate": False, "createable": True,
        "updateable": True, "externalId": False, "idLookup": False, "unique": False,
        "caseSensitive": False, "referenceTo": [], "relationshipName": None,
        "picklistValues": [], "restrictedPicklist": False, "soapType": "xsd:string",
        "filterable": True,
    }  # fmt: skip
    return {**field, **settings}


ACCOUNT = {
    "name": "Account",
    "keyPrefix": "001",
    "fields": [
        described("Id", "id", length=18, nillable=False, createable=False, updateable=False),
        described("Name", length=20, nillable=False, label="Account Name"),
        described("Ext__c", length=10, externalId=True, unique=True),
        described("Rating__c", "picklist", restrictedPicklist=True, picklistValues=[
            {"value": "Hot", "active": True}, {"value": "Warm", "active": False}]),
        described("NumberOfEmployees", "int", digits=8, label="Employees"),
        described("Founded__c", "date"),
        described("Checked__c", "boolean", nillable=False, defaultedOnCreate=True),
        described("Email__c", "email", length=80),
        described("Stamp__c", "datetime", createable=False),
        described("Locked__c", length=10, updateable=False),
        described("ParentId", "reference", referenceTo=["Account"], relationshipName="Parent"),
        described("Notes__c", "textarea", length=131072),
    ],
}  # fmt: skip
CONTACT = {
    "name": "Contact",
    "keyPrefix": "003",
    "fields": [
        described("LastName", length=80, nillable=False),
        described("Email", "email", length=80, idLookup=True),
        described("AccountId", "reference", referenceTo=["Account"], relationshipName="Account"),
    ],
}
HEADER = "Name,Ext__c,Rating__c,NumberOfEmployees,Founded__c,Checked__c,Email__c,Stamp__c,"
HEADER += "ParentId,Notes__c"
GOOD = ["Acme,A-1,Hot,12,2020-02-29,true,a@b.io,,,", "Globex,,,,,0,,,," + "n" * 40_000]


@pytest.fixture
def org(tmp_path):
    """A server whose schema is a folder of describe files (the CLI's wrapper on one of them)."""
    (tmp_path / "Account.json").write_text(json.dumps(ACCOUNT))
    (tmp_path / "Contact.json").write_text(json.dumps({"status": 0, "result": CONTACT}))
    with BulkApiEmulator(schema=tmp_path) as server:
        yield server


def load(server, document, lines, version="62.0"):
    url = f"{server.base_url}/services/data/v{version}/jobs/ingest"
    headers = {"Authorization": f"Bearer {server.access_token}"}
    job = requests.post(url, headers=headers, json=document, timeout=10).json()["id"]
    ingest.send_file(server.access_info, job, "".join(line + "\n" for line in lines))
    ingest.job_close(server.access_info, job)
    return job, ingest.job_status(server.access_info, job)


def failed_codes(server, job):
    rows = ingest.failed_results(server.access_info, job).splitlines()[1:]
    return [row.split(",")[1].lstrip('"').split(":")[0] for row in rows]


@pytest.mark.parametrize(
    ("bad", "code"),
    [
        (",B-1,,,,,,,,", "REQUIRED_FIELD_MISSING"),
        ("A name of twenty-one!,,,,,,,,,", "STRING_TOO_LONG"),
        ("Bad,,,abc,,,,,,", "INVALID_FIELD"),
        ("Bad,,,123456789,,,,,,", "NUMBER_OUTSIDE_VALID_RANGE"),
        ("Bad,,,,2021-02-29,,,,,", "INVALID_FIELD"),
        ("Bad,,,,,yes,,,,", "INVALID_FIELD"),
        ("Bad,,Warm,,,,,,,", "INVALID_OR_NULL_FOR_RESTRICTED_PICKLIST"),
        ("Bad,,,,,,not-an-email,,,", "INVALID_EMAIL_ADDRESS"),
        ("Bad,,,,,,,2024-01-01T00:00:00Z,,", "INVALID_FIELD_FOR_INSERT_UPDATE"),
        ("Bad,,,,,,,,notanid,", "MALFORMED_ID"),
        ("Bad,,,,,,,,003000000000001AAA,", "MALFORMED_ID"),
        ("Bad,,,,,,,,001000000000zzzAAA,", "INVALID_CROSS_REFERENCE_KEY"),
        ("Bad,A-0,,,,,,,,", "DUPLICATE_VALUE"),
        ("Bad,,,,,,,,," + "n" * 131_073, "STRING_TOO_LONG"),
    ],
)
def test_a_bad_record_fails_alone_with_the_orgs_code(org, bad, code):
    load(org, {"object": "Account", "operation": "insert"}, [HEADER, "First,a-0,,,,,,,,"])
    job, status = load(org, {"object": "Account", "operation": "insert"}, [HEADER, *GOOD, bad])
    assert (status["state"], status["numberRecordsProcessed"]) == ("JobComplete", 3)
    assert failed_codes(org, job) == [code]
    assert [row["Name"] for row in org.rows("Account")] == ["First", "Acme", "Globex"]


@pytest.mark.parametrize(
    ("operation", "lines", "code"),
    [
        ("update", ["Id,Locked__c", "{first},x"], "INVALID_FIELD_FOR_INSERT_UPDATE"),
        ("update", ["Id,Name", "{first},#N/A"], "REQUIRED_FIELD_MISSING"),
        ("update", ["Id,Name", "001000000000zzzAAA,X"], "INVALID_CROSS_REFERENCE_KEY"),
        ("update", ["Id,Name", "{deleted},X"], "ENTITY_IS_DELETED"),
        ("upsert", ["Ext__c,Name", "A-1,Renamed"], None),  # its own value is no duplicate
    ],
)
def test_updates_are_checked_as_an_org_checks_them(org, operation, lines, code):
    _, status = load(org, {"object": "Account", "operation": "insert"}, [HEADER, *GOOD])
    first, deleted = (row["Id"] for row in org.rows("Account"))
    load(org, {"object": "Account", "operation": "delete"}, ["Id", deleted])
    document = {"object": "Account", "operation": operation, "externalIdFieldName": "Ext__c"}
    lines = [line.format(first=first, deleted=deleted) for line in lines]
    job, status = load(org, document, lines)
    assert failed_codes(org, job) == ([code] if code else [])


def test_relationship_headers_and_upsert_matches_resolve_through_descriptions(org):
    load(org, {"object": "Account", "operation": "insert"}, [HEADER, *GOOD])
    load(org, {"object": "Account", "operation": "insert"}, ["Name,Parent.Ext__c", "Sub,A-1"])
    acme, _, sub = org.rows("Account")
    assert sub["ParentId"] == acme["Id"]
    lines = ["LastName,Email,Account.Ext__c", "Ann,x@y.io,A-1", "Bob,x@y.io,A-9"]
    job, _ = load(org, {"object": "Contact", "operation": "insert"}, lines)
    assert failed_codes(org, job) == ["INVALID_FIELD"]  # no account holds A-9
    assert org.rows("Contact")[0]["AccountId"] == acme["Id"]
    load(org, {"object": "Contact", "operation": "insert"}, ["LastName,Email", "Cy,x@y.io"])
    upsert = {"object": "Contact", "operation": "upsert", "externalIdFieldName": "Email"}
    job, _ = load(org, upsert, ["Email,LastName", "x@y.io,Dee"])
    assert failed_codes(org, job) == ["DUPLICATE_EXTERNAL_ID"]


@pytest.mark.parametrize(("version", "named"), [("52.0", False), ("53.0", True)])
def test_failed_results_name_the_failed_record_from_version_53(org, version, named):
    load(org, {"object": "Account", "operation": "insert"}, ["Name", "Acme"])
    [acme] = org.rows("Account")
    update = ["Id,Name", f"{acme['Id']},#N/A"]
    job, _ = load(org, {"object": "Account", "operation": "update"}, update, version)
    [row] = ingest.failed_results(org.access_info, job).splitlines()[1:]
    assert row.startswith(acme["Id"] if named else ",REQUIRED_FIELD_MISSING")


@pytest.mark.parametrize(
    ("lines", "state", "failed"),
    [
        (["Name,Note", "A," + "x" * 32_000, "B," + "x" * 32_001], "JobComplete", 1),
        ([",".join(f"F{i}" for i in range(14)), ",".join(["y" * 30_000] * 14)], "JobComplete", 1),
        ([",".join(f"F{i}" for i in range(5_001)), "," * 5_000], "Failed", 0),
    ],
)
def test_the_bulk_limits_hold_without_a_schema(bulk_server, lines, state, failed):
    _, status = load(bulk_server, {"object": "Account", "operation": "insert"}, lines)
    assert (status["state"], status["numberRecordsFailed"]) == (state, failed)
