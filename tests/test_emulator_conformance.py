"""A real, independent Bulk API 2.0 client against the local server: its default API version,
https, every ingest operation and result kind, and records refused as an org refuses them."""

import warnings

import pytest
import requests

from kavrel.salesforce.emulator import BulkApiEmulator

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    simple_salesforce = pytest.importorskip("simple_salesforce")


@pytest.fixture(params=[None])
def org(request, monkeypatch):
    # The client pauses between its status checks; the server answers the first one finished.
    monkeypatch.setattr("simple_salesforce.bulk2.sleep", lambda seconds: None)
    with BulkApiEmulator(tls=True, schema=request.param) as server:
        session = requests.Session()
        session.verify = str(server.certificate)
        session.trust_env = False  # a CA bundle named in the environment would win over verify
        client = simple_salesforce.Salesforce(
            instance_url=server.base_url, session_id=server.access_token, session=session
        )
        yield server, client


def test_a_real_client_runs_every_operation_over_https(org, tmp_path):
    server, client = org
    assert server.base_url.startswith("https://")
    accounts = client.bulk2.Account
    [inserted] = accounts.insert(
        records=[{"Name": "Acme", "Ext__c": "A-1"}, {"Name": "Globex", "Ext__c": "A-2"}]
    )
    assert (inserted["numberRecordsProcessed"], inserted["numberRecordsFailed"]) == (2, 0)
    ids = {row["Name"]: row["Id"] for row in server.rows("Account")}
    [upserted] = accounts.upsert(
        records=[{"Ext__c": "A-1", "Name": "Acme Corp"}, {"Ext__c": "A-3", "Name": "Initech"}],
        external_id_field="Ext__c",
    )
    assert upserted["numberRecordsFailed"] == 0
    [updated] = accounts.update(
        records=[
            {"Id": ids["Globex"], "Name": "Globex Inc"},
            {"Id": "001000000000zzzAAA", "Name": "X"},
        ]
    )
    assert updated["numberRecordsFailed"] == 1
    failed = accounts.get_failed_records(updated["job_id"])
    assert "ENTITY_IS_DELETED" in failed
    successful = accounts.get_successful_records(updated["job_id"])
    assert ids["Globex"] in successful
    unprocessed = accounts.get_unprocessed_records(updated["job_id"])
    assert set(unprocessed.strip().split(",")) == {"Id", "Name"}  # the header alone
    [deleted] = accounts.delete(records=[{"Id": ids["Globex"]}])
    [hard] = accounts.hard_delete(records=[{"Id": ids["Acme"]}])
    assert deleted["numberRecordsFailed"] == hard["numberRecordsFailed"] == 0
    assert [row["Name"] for row in server.rows("Account")] == ["Initech"]
    job = client.bulk2.Account._client.create_job("insert")
    assert job["apiVersion"] == float(client.sf_version)
    assert client.bulk2.Account._client.abort_job(job["id"], False)["state"] == "Aborted"


@pytest.mark.parametrize("org", ["standard"], indirect=True)
def test_a_real_client_sees_the_standard_objects_refuse_what_an_org_refuses(org):
    server, client = org
    records = [
        {"Name": "Acme", "NumberOfEmployees": "12", "Website": "acme.example"},
        {"Name": "", "NumberOfEmployees": "5", "Website": ""},
        {"Name": "Initech", "NumberOfEmployees": "many", "Website": ""},
    ]
    [accounts] = client.bulk2.Account.insert(records=records)
    assert (accounts["numberRecordsProcessed"], accounts["numberRecordsFailed"]) == (3, 2)
    failed = client.bulk2.Account.get_failed_records(accounts["job_id"])
    assert "REQUIRED_FIELD_MISSING:Required fields are missing: [Name]:Name --" in failed
    assert "'many' is not a valid value for the type xsd:int:NumberOfEmployees --" in failed
    [acme] = server.rows("Account")
    records = [
        {"LastName": "Ann", "AccountId": acme["Id"], "Email": "ann@acme.example"},
        {"LastName": "Bob", "AccountId": "001000000000zzzAAA", "Email": ""},
        {"LastName": "Cy", "AccountId": "", "Email": "not-an-email"},
    ]
    [contacts] = client.bulk2.Contact.insert(records=records)
    failed = client.bulk2.Contact.get_failed_records(contacts["job_id"])
    assert contacts["numberRecordsFailed"] == 2
    assert "INVALID_CROSS_REFERENCE_KEY" in failed
    assert "INVALID_EMAIL_ADDRESS" in failed
    assert [row["LastName"] for row in server.rows("Contact")] == ["Ann"]
