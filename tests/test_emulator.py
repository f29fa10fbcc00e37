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
    assert error["errorCode"] == error_code
    assert error["message"]


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
            assert document["error"] == error
            assert document["error_description"]
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
        assert status == 130  # interrupted, as every kavrel command ends on Ctrl-C
    with sqlite3.connect(database) as connection:
        stored = [row[0] for row in connection.execute('SELECT "Id" FROM "Account" ORDER BY "Id"')]
    connection.close()
    assert stored == first_ids
    assert first_ids[0] != first_ids[1]


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


def auth(server):
    return {"Authorization": f"Bearer {server.access_token}"}


def create(server, version="62.0", **document):
    url = f"{server.base_url}/services/data/v{version}/jobs/ingest"
    return requests.post(url, headers=auth(server), json=document, timeout=10)


@pytest.mark.parametrize(
    ("version", "status"),
    [("41.0", 200), ("59.0", 200), ("67.0", 200), ("40.0", 404), ("68.0", 404)],
)
def test_ingest_answers_every_version_from_41_and_records_it(bulk_server, version, status):
    response = create(bulk_server, version, object="Account", operation="insert")
    assert response.status_code == status
    if status == 200:
        assert response.json()["apiVersion"] == float(version)


def test_hard_delete_and_both_spellings_of_unprocessed_records(bulk_server):
    load(bulk_server, {"object": "Account", "operation": "insert"}, "Name\r\nA\r\n")
    [row] = bulk_server.rows("Account")
    job_id, status = load(
        bulk_server, {"object": "Account", "operation": "hardDelete"}, f"Id\r\n{row['Id']}\r\n"
    )
    assert (status["state"], status["numberRecordsFailed"]) == ("JobComplete", 0)
    assert bulk_server.rows("Account") == []
    for part in ("unprocessedrecords", "unprocessedRecords"):
        url = f"{bulk_server.base_url}{INGEST}/{job_id}/{part}"
        assert requests.get(url, headers=auth(bulk_server), timeout=10).text == "Id\r\n"


def test_a_row_with_a_misplaced_quote_fails_alone(bulk_server):
    text = 'First,Last\r\n"John", "Smith"\r\nAda,Lovelace\r\n'
    job_id, status = load(bulk_server, {"object": "Contact", "operation": "insert"}, text)
    assert (status["state"], status["numberRecordsFailed"]) == ("JobComplete", 1)
    assert [r["Last"] for r in bulk_server.rows("Contact")] == ["Lovelace"]
    failed = ingest.failed_results(bulk_server.access_info, job_id).splitlines()
    assert failed[1].startswith(",INVALID_FIELD:Failed to parse the row")
    assert "John" in failed[1]


@pytest.mark.parametrize(
    ("headers", "form", "status"),
    [
        ({"Authorization": "Basic Y2lkOnMzY3JldA=="}, {}, 200),  # cid:s3cret
        ({"Authorization": "Basic Y2lkOm5vcGU="}, {}, 400),  # cid:nope
        ({"Authorization": "Basic !!"}, {}, 401),
    ],
)
def test_token_endpoint_takes_http_basic_client_credentials(headers, form, status):
    with BulkApiEmulator(client_id="cid", client_secret="s3cret") as server:
        url = f"http://localhost:{server.port}/services/oauth2/token"
        form = {"grant_type": "client_credentials", **form}
        response = requests.post(url, headers=headers, data=form, timeout=10)
        assert response.status_code == status
        assert "s3cret" not in response.text
        assert "nope" not in response.text
        if status == 200:  # the instance URL is the one the client used
            assert response.json()["instance_url"] == f"http://localhost:{server.port}"


SCHEMA = {
    "Account": {"fields": ["Name", "Ext__c"], "external_ids": ["Ext__c"]},
    "Contact": {
        "fields": ["LastName", "AccountId", "Parent__c"],
        "lookups": {"AccountId": "Account", "Parent__c": "Account"},
    },
}


def test_with_a_schema_unknown_names_fail_and_relationship_columns_resolve():
    with BulkApiEmulator(schema=SCHEMA) as server:
        refused = create(server, object="Widget__c", operation="insert")
        assert (refused.status_code, refused.json()[0]["errorCode"]) == (400, "INVALIDJOB")
        assert (
            create(
                server, object="Account", operation="upsert", externalIdFieldName="Name"
            ).status_code
            == 400
        )
        _, status = load(
            server, {"object": "Account", "operation": "insert"}, "Name,Bogus__c\r\nA,1\r\n"
        )
        assert (status["state"], status["errorMessage"]) == (
            "Failed",
            "InvalidBatch : Field name not found : Bogus__c",
        )
        load(
            server,
            {"object": "Account", "operation": "insert"},
            "Name,Ext__c\r\nAcme,A-1\r\nB,A-2\r\nC,A-2\r\n",
        )
        acme = server.rows("Account")[0]["Id"]
        text = "LastName,Account.Ext__c,Parent__r.Ext__c\r\n"
        text += "One,A-1,\r\nTwo,A-9,A-1\r\nThree,A-1,A-2\r\n"
        job_id, status = load(server, {"object": "Contact", "operation": "insert"}, text)
        assert status["numberRecordsFailed"] == 2
        assert [
            (r["LastName"], r["AccountId"], r["Parent__c"]) for r in server.rows("Contact")
        ] == [("One", acme, None)]
        failed = ingest.failed_results(server.access_info, job_id)
        assert "A-9 not found" in failed
        assert "A-2 matches more than one record" in failed


def test_uploads_over_the_limit_are_refused_unread_and_chunked_ones_accepted(bulk_server):
    job_id = create(bulk_server, object="Account", operation="insert").json()["id"]
    url = f"{bulk_server.base_url}{INGEST}/{job_id}/batches"
    headers = {**auth(bulk_server), "Content-Type": "text/csv"}
    too_big = requests.put(
        url, headers={**headers, "Content-Length": "112500001"}, data=b"", timeout=10
    )
    assert (too_big.status_code, too_big.json()[0]["errorCode"]) == (
        413,
        "REQUEST_ENTITY_TOO_LARGE",
    )
    chunked = requests.put(url, headers=headers, data=iter([b"Name\n", b"A\n"]), timeout=10)
    assert chunked.status_code == 201
    ingest.job_close(bulk_server.access_info, job_id)
    assert ingest.job_status(bulk_server.access_info, job_id)["numberRecordsProcessed"] == 1


def test_a_multipart_creation_uploads_and_closes_the_job(bulk_server):
    files = {
        "job": (None, json.dumps({"object": "Account", "operation": "insert"}), "application/json"),
        "content": ("content", "Name\nA\nB\n", "text/csv"),
    }
    info = requests.post(
        bulk_server.base_url + INGEST, headers=auth(bulk_server), files=files, timeout=10
    ).json()
    assert info["state"] == "UploadComplete"
    assert ingest.job_status(bulk_server.access_info, info["id"])["numberRecordsProcessed"] == 2
    files["content"] = ("content", "Name\n" + "A" * 100_000 + "\n", "text/csv")
    too_big = requests.post(
        bulk_server.base_url + INGEST, headers=auth(bulk_server), files=files, timeout=10
    )
    assert too_big.status_code == 400


def test_a_multipart_creation_with_lf_line_endings_is_read(bulk_server):
    # As in the Bulk API guide's own example: every line of the body ends with LF alone.
    job = json.dumps(
        {"object": "Account", "operation": "insert", "assignmentRuleId": "01Q000000000001"}
    )
    body = (
        "--BOUNDARY\nContent-Type: application/json\n"
        'Content-Disposition: form-data; name="job"\n\n'
        f"{job}\n--BOUNDARY\nContent-Type: text/csv\n"
        'Content-Disposition: form-data; name="content"; filename="content"\n\n'
        "Name\nA\nB\n\n--BOUNDARY--\n"
    )
    headers = {**auth(bulk_server), "Content-Type": "multipart/form-data; boundary=BOUNDARY"}
    info = requests.post(bulk_server.base_url + INGEST, headers=headers, data=body, timeout=10)
    assert info.json()["assignmentRuleId"] == "01Q000000000001"
    status = ingest.job_status(bulk_server.access_info, info.json()["id"])
    assert (status["state"], status["numberRecordsProcessed"]) == ("JobComplete", 2)


def test_a_job_failing_part_way_keeps_its_applied_chunks_and_reports_the_rest(bulk_server):
    bulk_server.fail_job_after(15_000)
    text = "Name\r\n" + "".join(f"A{i}\r\n" for i in range(25_000))
    job_id, status = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert (status["state"], status["numberRecordsProcessed"]) == ("Failed", 15_000)
    assert status["totalProcessingTime"] >= status["apiActiveProcessingTime"] > 0
    assert len(bulk_server.rows("Account")) == 15_000
    access = bulk_server.access_info
    assert len(ingest.successful_results(access, job_id).splitlines()) == 1 + 15_000
    unprocessed = ingest.unprocessed_records(access, job_id).splitlines()
    assert unprocessed[:2] == ["Name", "A15000"]
    assert len(unprocessed) == 1 + 10_000
    _, status = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert (status["state"], status["numberRecordsProcessed"]) == ("JobComplete", 25_000)


@pytest.mark.parametrize("block_chars", [1, 7, 1 << 20])
def test_an_upload_read_block_by_block_gives_its_records_whole(
    bulk_server, monkeypatch, block_chars
):
    from kavrel.salesforce.emulator import upload

    monkeypatch.setattr(upload, "BLOCK_CHARS", block_chars)
    text = 'Name,Note\r\n"Two\r\nlines","say ""hi"",\r\nMüller"\r\nPlain,ü\r\n"A, B",\r\n'
    _, status = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert status["numberRecordsFailed"] == 0
    assert [(row["Name"], row["Note"]) for row in bulk_server.rows("Account")] == [
        ("Two\r\nlines", 'say "hi",\r\nMüller'),
        ("Plain", "ü"),
        ("A, B", None),
    ]


def test_the_job_list_is_paged_and_filtered(bulk_server, monkeypatch):
    from kavrel.salesforce.emulator import jobs

    monkeypatch.setattr(jobs, "PAGE_SIZE", 2)
    made = [
        create(bulk_server, object="Account", operation="insert").json()["id"] for _ in range(3)
    ]
    url, seen = bulk_server.base_url + INGEST, []
    while url:
        page = requests.get(url, headers=auth(bulk_server), timeout=10).json()
        seen += [job["id"] for job in page["records"]]
        url = page["nextRecordsUrl"] and bulk_server.base_url + page["nextRecordsUrl"]
    assert seen == made
    for query, count in (
        ("jobType=Classic", 0),
        ("jobType=V2Ingest", 2),
        ("concurrencyMode=serial", 0),
        ("concurrencyMode=parallel", 2),
    ):
        page = requests.get(
            f"{bulk_server.base_url}{INGEST}?{query}", headers=auth(bulk_server), timeout=10
        )
        assert len(page.json()["records"]) == count


def test_a_paced_job_goes_through_its_states_and_an_abort_applies_nothing():
    with BulkApiEmulator(processing_rate=20) as server:
        job_id = create(server, object="Account", operation="insert").json()["id"]
        ingest.send_file(server.access_info, job_id, "Name\n" + "A\n" * 10)
        assert ingest.job_close(server.access_info, job_id)["state"] == "UploadComplete"
        assert ingest.job_status(server.access_info, job_id)["state"] in (
            "UploadComplete",
            "InProgress",
        )
        aborted = requests.patch(
            f"{server.base_url}{INGEST}/{job_id}",
            headers=auth(server),
            json={"state": "Aborted"},
            timeout=10,
        )
        assert aborted.json()["state"] == "Aborted"
        assert server.rows("Account") == []
        job_id = create(server, object="Account", operation="insert").json()["id"]
        ingest.send_file(server.access_info, job_id, "Name\nA\nB\n")
        ingest.job_close(server.access_info, job_id)
        states = set()
        while (state := ingest.job_status(server.access_info, job_id)["state"]) != "JobComplete":
            states.add(state)
        assert "InProgress" in states
        assert len(server.rows("Account")) == 2


def test_a_rejection_rule_fires_only_its_count(bulk_server):
    bulk_server.reject_records(
        "Name", "Locked", "UNABLE_TO_LOCK_ROW:unable to obtain exclusive access", count=1
    )
    text = "Name\r\nLocked\r\nLocked\r\n"
    _, first = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    _, second = load(bulk_server, {"object": "Account", "operation": "insert"}, text)
    assert (first["numberRecordsFailed"], second["numberRecordsFailed"]) == (1, 0)


@pytest.mark.parametrize(
    ("kind", "text"),
    [
        ("fail", "GET:/x"),
        ("fail", "GET:/x:abc"),
        ("fail", "GET:/x:99"),
        ("delay", "GET:/x:-1"),
        ("delay", "GET:/x:nan"),
        ("drop", ":/x"),
    ],
)
def test_bad_fault_options_are_refused_by_name(kind, text):
    from kavrel.salesforce.emulator.controls import parse_fault

    with pytest.raises(ValueError, match=f"--{kind}"):
        parse_fault(kind, text)


def test_the_command_line_serves_https_with_injected_faults_and_http_controls(tmp_path):
    from emulator_process import run_in_subprocess

    env_secret = {"KAVREL_EMULATOR_CLIENT_SECRET": "from-env"}
    command = [sys.executable, "-m", "kavrel.salesforce.emulator", "--port", "0", "--tls"]
    command += ["--fail", "POST:/oauth2/token:503", "--test-controls"]
    with subprocess.Popen(
        command, stdout=subprocess.PIPE, text=True, env={**__import__("os").environ, **env_secret}
    ) as process:
        try:
            certificate = process.stdout.readline().strip().removeprefix("certificate: ")
            base_url = process.stdout.readline().strip()
            assert base_url.startswith("https://127.0.0.1:")
            token_url = base_url + "/services/oauth2/token"
            form = {"grant_type": "client_credentials", "client_secret": "from-env"}
            assert (
                requests.post(token_url, data=form, verify=certificate, timeout=10).status_code
                == 503
            )
            assert (
                requests.post(token_url, data=form, verify=certificate, timeout=10).status_code
                == 200
            )
            wrong = requests.post(
                token_url, data={**form, "client_secret": "x"}, verify=certificate, timeout=10
            )
            assert wrong.json()["error"] == "invalid_client"
            control = {
                "action": "fail",
                "method": "GET",
                "path_suffix": "/jobs/ingest",
                "status": 500,
            }
            controls = requests.post(
                base_url + "/__kavrel__/controls", json=control, verify=certificate, timeout=10
            )
            assert controls.status_code == 204
            listing = requests.get(
                base_url + INGEST,
                headers={"Authorization": "Bearer local-token"},
                verify=certificate,
                timeout=10,
            )
            assert listing.status_code == 500
        finally:
            process.send_signal(signal.SIGINT)
            process.wait(timeout=10)
    server, base_url = run_in_subprocess()  # without --test-controls the path does not exist
    try:
        assert (
            requests.post(base_url + "/__kavrel__/controls", json=control, timeout=10).status_code
            == 404
        )
    finally:
        server.terminate()
        server.wait()
        server.stdout.close()


@pytest.mark.parametrize(
    ("options", "schema", "message"),
    [
        (["--tls-cert", "cert.pem"], None, "give both a certificate and its key"),
        (["--schema", "missing.toml"], None, "cannot read the schema file missing.toml"),
        (
            ["--schema", "s.toml"],
            '[Contact]\nfields = ["AccountId"]\nlookups = { AccountId = "Account" }\n',
            "has a lookup to Account, which it does not describe",
        ),
        (
            ["--schema", "s.toml"],
            '[Account]\nfields = ["Name"]\nexternal_ids = ["Ext__c"]\n',
            "names 'Ext__c', which is not in its fields",
        ),
        (
            ["--schema", "s.toml"],
            '[Account]\nfields = [{ name = "Name", length = "255" }]\n',
            "field Name: length has the wrong type ('255')",
        ),
        (["--schema", "s.json"], '{"name": "Account"}', "s.json: not an object description"),
        (["--fail", "GET:/jobs/ingest"], None, "--fail takes METHOD:SUFFIX:STATUS"),
    ],
)
def test_bad_start_options_give_one_clear_line(
    tmp_path, monkeypatch, capsys, options, schema, message
):
    from kavrel.salesforce.emulator.__main__ import main

    monkeypatch.chdir(tmp_path)
    if schema is not None:
        (tmp_path / options[1]).write_text(schema)
    assert main(options) == 1
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("Error: cannot start the Bulk API emulator: ")
    assert message in line
