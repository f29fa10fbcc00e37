import json
import signal
import sqlite3
import subprocess
import sys

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest
from kavrel.salesforce.emulator import BulkApiEmulator

INGEST = "/services/data/v62.0/jobs/ingest"


def post_job(server, body, token="local-token"):
    data = body if isinstance(body, str) else json.dumps(body)
    return requests.post(
        server.base_url + INGEST,
        headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json"},
        data=data,
        timeout=10,
    )


def load(server, document, text):
    job_id = post_job(server, {"lineEnding": "CRLF", **document}).json()["id"]
    ingest.send_file(server.access_info, job_id, text)
    ingest.job_close(server.access_info, job_id)
    return job_id, ingest.job_status(server.access_info, job_id)


def test_job_creation_needs_a_valid_token_and_answers_salesforce_error_shape(bulk_server):
    response = post_job(bulk_server, {"object": "Account", "operation": "insert"}, token="wrong")
    assert response.status_code == 401
    assert response.json() == [
        {"errorCode": "INVALID_SESSION_ID", "message": "Session expired or invalid"}
    ]
    info = post_job(bulk_server, {"object": "Account", "operation": "insert"}).json()
    assert (info["state"], info["object"], info["operation"], info["lineEnding"]) == (
        "Open",
        "Account",
        "insert",
        "LF",
    )


@pytest.mark.parametrize(
    ("body", "error_code"),
    [
        ("{not json", "JSON_PARSER_ERROR"),
        ('["object", "Account"]', "JSON_PARSER_ERROR"),
        ({"object": "Account", "operation": "insert", "extra": 1}, "JSON_PARSER_ERROR"),
        ({"operation": "insert"}, "INVALIDJOB"),
        ({"object": 'Account"; DROP TABLE x; --', "operation": "insert"}, "INVALIDJOB"),
        ({"object": "sqlite_master", "operation": "insert"}, "INVALIDJOB"),
        ({"object": "Account", "operation": "merge"}, "INVALIDJOB"),
        ({"object": "Account", "operation": "upsert"}, "INVALIDJOB"),
        ({"object": "Account", "operation": "upsert", "externalIdFieldName": "a b"}, "INVALIDJOB"),
        ({"object": "Account", "operation": "insert", "lineEnding": "CR"}, "INVALIDJOB"),
        ({"object": "Account", "operation": "insert", "contentType": "JSON"}, "INVALIDJOB"),
    ],
)
def test_malformed_job_documents_are_refused(bulk_server, body, error_code):
    response = post_job(bulk_server, body)
    assert response.status_code == 400
    [error] = response.json()
    assert error["errorCode"] == error_code and error["message"]


@pytest.mark.parametrize(
    ("line_ending", "text", "state"),
    [
        ("CRLF", "Name\r\nA\r\nB\r\n", "JobComplete"),
        ("CRLF", "Name\nA\nB\n", "Failed"),
        ("CRLF", "Name\r\nA\nB\r\n", "Failed"),
        ("LF", "Name\nA\n", "JobComplete"),
        ("LF", "Name\r\nA\r\n", "Failed"),
        ("LF", 'Name\n"two\r\nlines"\n', "JobComplete"),  # line breaks inside quotes are data
        ("CRLF", 'Name\r\n"two\nlines"\r\n', "JobComplete"),
    ],
)
def test_the_upload_must_use_the_declared_line_ending(bulk_server, line_ending, text, state):
    document = {"object": "Account", "operation": "insert", "lineEnding": line_ending}
    _, status = load(bulk_server, document, text)
    assert status["state"] == state
    if state == "Failed":
        assert "LineEnding is invalid" in status["errorMessage"]
        assert bulk_server.rows("Account") == []


@pytest.mark.parametrize(
    "text",
    [
        "",
        'Name\r\n"open quote\r\n',
        'Name\r\nab"c\r\n',
        '"Name"x\r\nA\r\n',
        "Name,Phone\r\nA\r\n",
        "Name,name\r\nA,B\r\n",
        'Name,"Bad""Field"\r\nA,B\r\n',
        "Name,Owner.Name\r\nA,B\r\n",
    ],
)
def test_a_malformed_upload_fails_the_whole_job(bulk_server, text):
    job_id, status = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert (status["state"], status["numberRecordsProcessed"]) == ("Failed", 0)
    assert status["errorMessage"]
    assert bulk_server.rows("Account") == []


def test_rejected_records_fail_with_the_given_error_and_the_rest_apply(bulk_server):
    bulk_server.reject_records("Name", "Bad", "REQUIRED_FIELD_MISSING:Required fields are missing")
    text = "Name,City\r\nGood,X\r\nBad,Y\r\n"
    job_id, status = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert (status["numberRecordsProcessed"], status["numberRecordsFailed"]) == (2, 1)
    failed = ingest.failed_results(bulk_server.access_info, job_id)
    assert failed == (
        "sf__Id,sf__Error,Name,City\r\n"
        ",REQUIRED_FIELD_MISSING:Required fields are missing,Bad,Y\r\n"
    )
    assert [(r["Name"], r["City"]) for r in bulk_server.rows("Account")] == [("Good", "X")]


def test_upsert_on_id_creates_blank_ids_and_updates_known_ones(bulk_server):
    document = {"object": "Contact", "operation": "insert"}
    load(bulk_server, document, "LastName\r\nOld\r\n")
    [existing] = bulk_server.rows("Contact")
    upsert = {"object": "Contact", "operation": "upsert", "externalIdFieldName": "Id"}
    _, status = load(bulk_server, upsert, f"Id,LastName\r\n{existing['Id']},New\r\n,Added\r\n")
    assert status["numberRecordsFailed"] == 0
    assert [r["LastName"] for r in bulk_server.rows("Contact")] == ["New", "Added"]


def test_ids_have_the_case_safe_suffix_of_their_first_fifteen_characters(bulk_server):
    load(bulk_server, {"object": "Widget__c", "operation": "insert"}, "Name\r\nA\r\nB\r\n")
    for row in bulk_server.rows("Widget__c"):
        id15 = row["Id"][:15]
        suffix = ""
        for chunk in (id15[0:5], id15[5:10], id15[10:15]):
            bits = sum(1 << i for i, c in enumerate(chunk) if c.isupper())
            suffix += "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"[bits]
        assert row["Id"] == id15 + suffix


@pytest.mark.parametrize(
    ("client_id", "client_secret", "form", "status", "error"),
    [
        (None, None, {"grant_type": "client_credentials"}, 200, None),
        ("cid", "s3cret", {"client_id": "cid", "client_secret": "s3cret"}, 200, None),
        ("cid", "s3cret", {"client_id": "cid", "client_secret": "nope"}, 400, "invalid_client"),
        ("cid", "s3cret", {"client_secret": "s3cret"}, 400, "invalid_client"),
        (None, None, {"grant_type": "password"}, 400, "unsupported_grant_type"),
    ],
)
def test_token_endpoint_issues_tokens_the_ingest_endpoints_accept(
    client_id, client_secret, form, status, error
):
    form = {"grant_type": "client_credentials", **form}
    with BulkApiEmulator(client_id=client_id, client_secret=client_secret) as server:
        response = requests.post(server.base_url + "/services/oauth2/token", data=form, timeout=10)
        assert response.status_code == status
        document = response.json()
        if error:
            assert document["error"] == error and document["error_description"]
            return
        assert (document["instance_url"], document["token_type"]) == (server.base_url, "Bearer")
        assert int(document["issued_at"]) > 0
        access = {"access_token": document["access_token"], "instance_url": server.base_url}
        assert post_job(server, {"object": "A", "operation": "insert"}).status_code == 200
        job = post_job(server, {"object": "A", "operation": "insert"}, document["access_token"])
        assert ingest.job_status(access, job.json()["id"])["state"] == "Open"


def test_python_m_serves_until_interrupted_and_keeps_records_in_the_db_file(tmp_path):
    database = tmp_path / "org.db"
    command = [sys.executable, "-m", "kavrel.salesforce.emulator", "--access-token", "T"]
    command += ["--db", str(database)]
    first_ids = []
    for _ in range(2):  # a second run on the same file goes on with new Ids
        with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as process:
            try:
                base_url = process.stdout.readline().strip()
                assert base_url.startswith("http://127.0.0.1:")
                access = {"access_token": "T", "instance_url": base_url}
                job = requests.post(
                    base_url + INGEST,
                    headers={"Authorization": "Bearer T"},
                    json={"object": "Account", "operation": "insert"},
                    timeout=10,
                ).json()["id"]
                ingest.send_file(access, job, "Name\nA\n")
                ingest.job_close(access, job)
                assert ingest.job_status(access, job)["state"] == "JobComplete"
                first_ids.append(ingest.successful_results(access, job).splitlines()[1][:18])
            finally:
                process.send_signal(signal.SIGINT)
                status = process.wait(timeout=10)
        assert status == 0
    with sqlite3.connect(database) as connection:
        stored = [row[0] for row in connection.execute('SELECT "Id" FROM "Account" ORDER BY "Id"')]
    connection.close()
    assert stored == first_ids and first_ids[0] != first_ids[1]


def test_dropped_and_delayed_requests_fire_once_then_answer_normally(bulk_server):
    bulk_server.drop_next_request("POST", "/jobs/ingest")
    bulk_server.delay_next_request("POST", "/jobs/ingest", 0.3)
    with pytest.raises(requests.ConnectionError):
        post_job(bulk_server, {"object": "Account", "operation": "insert"})
    with pytest.raises(requests.ReadTimeout):
        requests.post(
            bulk_server.base_url + INGEST,
            headers={"Authorization": "Bearer local-token"},
            data=json.dumps({"object": "Account", "operation": "insert", "lineEnding": "LF"}),
            timeout=0.1,
        )
    assert post_job(bulk_server, {"object": "Account", "operation": "insert"}).status_code == 200
