import csv
import io
import json
from types import SimpleNamespace

import pytest
import requests

from kavrel.salesforce import ingest_bapi20 as ingest


def csv_text(rows, line_ending="\r\n"):
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator=line_ending).writerows(rows)
    return buffer.getvalue()


def read_csv(text):
    return list(csv.DictReader(io.StringIO(text, newline="")))


def create_job(server, **document):
    document.setdefault("lineEnding", "CRLF")
    response = requests.post(
        server.base_url + "/services/data/v62.0/jobs/ingest",
        headers={"Authorization": "Bearer " + server.access_token},
        json=document,
        timeout=10,
    )
    assert response.status_code == 200, response.text
    return response.json()["id"]


def run_job(server, rows, **document):
    job_id = create_job(server, **document)
    ingest.send_file(server.access_info, job_id, csv_text(rows))
    ingest.job_close(server.access_info, job_id)
    return job_id, ingest.job_status(server.access_info, job_id)


HOSTILE = ["comma, inside", 'quote "inside"', "line\r\nbreak", "lf\nonly", "Zürich ✓ 東京", " pad "]


def test_insert_update_upsert_delete_apply_to_the_object_table_and_report_per_record(bulk_server):
    access = bulk_server.access_info
    rows = [["Name", "Code__c"]] + [[value, f"c{i}"] for i, value in enumerate(HOSTILE)]
    job_id, status = run_job(bulk_server, rows, object="Account", operation="insert")
    assert (status["state"], status["numberRecordsProcessed"], status["numberRecordsFailed"]) == (
        "JobComplete",
        len(HOSTILE),
        0,
    )
    created = read_csv(ingest.successful_results(access, job_id))
    assert [r["Name"] for r in created] == HOSTILE
    assert {r["sf__Created"] for r in created} == {"true"}
    ids = [r["sf__Id"] for r in created]
    assert len(set(ids)) == len(ids)
    assert all(len(i) == 18 for i in ids)
    assert [r["Id"] for r in bulk_server.rows("Account")] == ids
    assert [r["Name"] for r in bulk_server.rows("Account")] == HOSTILE

    # Empty leaves a field as it was, #N/A clears it; a 15-character Id finds the same record.
    update = [["Id", "Name", "Code__c"], [ids[0][:15], "", "#N/A"], [ids[1], "Renamed", ""]]
    update.append(["001000000000zzzAAA", "Nobody", ""])
    job_id, status = run_job(bulk_server, update, object="Account", operation="update")
    assert (status["numberRecordsProcessed"], status["numberRecordsFailed"]) == (3, 1)
    failed = read_csv(ingest.failed_results(access, job_id))
    assert [(r["Name"], r["sf__Error"].split(":")[0]) for r in failed] == [
        ("Nobody", "ENTITY_IS_DELETED")
    ]
    stored = {r["Id"]: r for r in bulk_server.rows("account")}
    assert (stored[ids[0]]["Name"], stored[ids[0]]["Code__c"]) == (HOSTILE[0], None)
    assert (stored[ids[1]]["Name"], stored[ids[1]]["Code__c"]) == ("Renamed", "c1")

    upsert = [["Code__c", "Name"], ["c2", "Matched"], ["new", "Created"], ["dup", "A"]]
    upsert.append(["dup", "B"])
    job_id, status = run_job(
        bulk_server, upsert, object="Account", operation="upsert", externalIdFieldName="Code__c"
    )
    assert (status["numberRecordsProcessed"], status["numberRecordsFailed"]) == (4, 2)
    results = {r["Name"]: r for r in read_csv(ingest.successful_results(access, job_id))}
    assert (results["Matched"]["sf__Id"], results["Matched"]["sf__Created"]) == (ids[2], "false")
    assert results["Created"]["sf__Created"] == "true"
    assert all(
        r["sf__Error"].startswith("DUPLICATE_VALUE")
        for r in read_csv(ingest.failed_results(access, job_id))
    )
    assert len(bulk_server.rows("Account")) == len(HOSTILE) + 1

    job_id, status = run_job(
        bulk_server, [["Id"], [ids[3]], [ids[3]], [""]], object="Account", operation="delete"
    )
    assert (status["numberRecordsProcessed"], status["numberRecordsFailed"]) == (3, 2)
    errors = sorted(
        r["sf__Error"].split(":")[0] for r in read_csv(ingest.failed_results(access, job_id))
    )
    assert errors == ["DUPLICATE_VALUE", "MISSING_ARGUMENT"]
    assert ids[3] not in {r["Id"] for r in bulk_server.rows("Account")}


def test_upload_is_sent_as_one_utf8_text_csv_put_to_the_job(bulk_server):
    job_id = create_job(bulk_server, object="Contact", operation="insert")
    text = csv_text([["LastName"], ["Müller"]])
    assert ingest.send_file(bulk_server.access_info, job_id, text) is None
    method, path, headers, body = bulk_server.requests[-1]
    assert (method, path, body) == (
        "PUT",
        f"/services/data/v62.0/jobs/ingest/{job_id}/batches",
        text,
    )
    assert headers["Content-Type"] == "text/csv"
    assert headers["Authorization"] == "Bearer local-token"
    closed = ingest.job_close(bulk_server.access_info, job_id)
    assert (closed["id"], closed["state"]) == (job_id, "UploadComplete")
    assert bulk_server.requests[-1][3] == '{"state": "UploadComplete"}'


def error_of(call):
    with pytest.raises(ingest.BulkApiError) as caught:
        call()
    assert isinstance(caught.value, requests.HTTPError)
    return caught.value


def test_answers_that_are_not_2xx_raise_with_salesforce_code_and_message(bulk_server):
    access = bulk_server.access_info
    job_id = create_job(bulk_server, object="Account", operation="insert")

    error = error_of(lambda: ingest.job_status({**access, "access_token": "stale"}, job_id))
    assert (error.status_code, error.error_code, error.message) == (
        401,
        "INVALID_SESSION_ID",
        "Session expired or invalid",
    )

    ingest.send_file(access, job_id, csv_text([["Name"], ["A"]]))
    error = error_of(lambda: ingest.send_file(access, job_id, csv_text([["Name"], ["B"]])))
    assert (error.status_code, error.error_code) == (400, "BULK_API_ERROR")
    assert "only do 'PUT' once" in error.message

    error = error_of(lambda: ingest.job_status(access, "750000000000000AAA"))
    assert (error.status_code, error.error_code) == (404, "NOT_FOUND")

    bulk_server.fail_next_request("PUT", "/batches", 503)  # a change is not retried on a 503
    other = create_job(bulk_server, object="Account", operation="insert")
    error = error_of(lambda: ingest.send_file(access, other, csv_text([["Name"], ["C"]])))
    assert (error.status_code, error.error_code) == (503, "SERVICE_UNAVAILABLE")

    bulk_server.fail_next_request("PATCH", job_id, 500, {"message": "boom"})
    error = error_of(lambda: ingest.job_close(access, job_id))
    assert (error.status_code, error.error_code, error.message) == (500, None, "boom")


# A caller's client may answer with no more than what every HTTP client documents.
@pytest.mark.parametrize(
    ("status", "body", "message"),
    [
        (502, "  <html>Bad gateway</html>\n", "<html>Bad gateway</html>"),
        (503, "", "Service Unavailable"),
        (200, '{"state": "Open"}', 'the job-creation answer names no job: \'{"state": "Open"}\''),
    ],
)
def test_errors_are_read_from_a_minimal_response(status, body, message):
    answer = SimpleNamespace(status_code=status, text=body, json=lambda: json.loads(body))
    error = error_of(lambda: ingest.created_job(answer))
    assert (error.status_code, error.error_code, error.message) == (status, None, message)


@pytest.mark.parametrize("state", ["Failed", "Aborted"])
def test_a_job_forced_to_end_unsuccessfully_applies_nothing_and_keeps_its_records(
    bulk_server, state
):
    bulk_server.force_job_state(state)
    rows = [["Name"], ["A"], ["B"]]
    job_id, status = run_job(bulk_server, rows, object="Account", operation="insert")
    assert status["state"] == state
    assert ("errorMessage" in status) == (state == "Failed")
    assert bulk_server.rows("Account") == []
    assert ingest.unprocessed_records(bulk_server.access_info, job_id) == csv_text(rows)
    _, status = run_job(bulk_server, rows, object="Account", operation="insert")
    assert status["state"] == "JobComplete"  # the forced state was for one job only


def test_a_job_reports_in_progress_for_the_configured_checks_before_applying(bulk_server):
    bulk_server.in_progress_checks = 2
    job_id, status = run_job(bulk_server, [["Name"], ["A"]], object="Lead", operation="insert")
    states = [status["state"]]
    assert bulk_server.rows("Lead") == []
    states += [ingest.job_status(bulk_server.access_info, job_id)["state"] for _ in range(2)]
    assert states == ["InProgress", "InProgress", "JobComplete"]
    assert [r["Name"] for r in bulk_server.rows("Lead")] == ["A"]
