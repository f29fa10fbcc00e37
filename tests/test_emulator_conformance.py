"""A real, independent Bulk API 2.0 client against the local server: its default API version,
https, and every ingest operation and result kind."""

import warnings

import pytest
import requests

from kavrel.salesforce.emulator import BulkApiEmulator

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    simple_salesforce = pytest.importorskip("simple_salesforce")


@pytest.fixture
def org(monkeypatch):
    # The client pauses between its status checks; the server answers the first one finished.
    monkeypatch.setattr("simple_salesforce.bulk2.sleep", lambda seconds: None)
    with BulkApiEmulator(tls=True) as server:
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
