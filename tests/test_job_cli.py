"""`kavrel job ...` as a script runs it: a subprocess against the local Bulk API server, with a
saved Salesforce profile in a temporary home."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest
import requests
from command import KAVREL, run_kavrel

from kavrel.salesforce.ingest_bapi20 import API_VERSION
from kavrel.user.connections import manager

COUNTS = ("succeeded", "failed", "not_processed")


@pytest.fixture
def org(bulk_server, home):
    bulk_server.client_id, bulk_server.client_secret = "app", "secret"
    manager.save_connection_config(
        "crm", {"client_id": "app", "client_key": "secret", "my_domain": "acme"}, "salesforce"
    )
    manager.set_primary_connection("crm", "salesforce")
    return bulk_server


def start_job(server, csv_text: str | None = None) -> str:
    """Creates an insert job; uploads and closes it when given the CSV."""
    url = f"{server.base_url}/services/data/v{API_VERSION}/jobs/ingest"
    headers = {"Authorization": f"Bearer {server.access_token}"}
    job = requests.post(url, json={"object": "Account", "operation": "insert"}, headers=headers)
    job_id = job.json()["id"]
    if csv_text is not None:
        upload = {**headers, "Content-Type": "text/csv"}
        requests.put(f"{url}/{job_id}/batches", data=csv_text.encode(), headers=upload)
        requests.patch(f"{url}/{job_id}", json={"state": "UploadComplete"}, headers=headers)
    return job_id


def kavrel(home: Path, server, *args: str) -> subprocess.CompletedProcess:
    return run_kavrel(home, "job", *args, "--login-url", server.base_url, cwd=home)


def test_results_are_saved_privately_and_the_counts_add_up(org, home):
    org.reject_records("Name", "bad", "REQUIRED_FIELD_MISSING:no good")
    job_id = start_job(org, "Name\nAcme\nbad\nGlobex\n")
    done = kavrel(home, org, "results", job_id, "--results-dir", "out/new", "--json")
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert {key: document[key] for key in ("id", "state", "rows", *COUNTS)} == {
        "id": job_id,
        "state": "JobComplete",
        "rows": 3,
        "succeeded": 2,
        "failed": 1,
        "not_processed": 0,
    }
    folder = home / "out" / "new"
    assert [folder.stat().st_mode & 0o777, (home / "out").stat().st_mode & 0o777] == [0o700] * 2
    for kind, header, records in [
        ("success", "sf__Id,sf__Created,Name", 2),
        ("failed", "sf__Id,sf__Error,Name", 1),
        ("unprocessed", "Name", 0),
    ]:
        path = folder / f"{job_id}-{kind}.csv"
        assert document["files"][kind] == str(Path("out/new") / path.name)
        assert path.stat().st_mode & 0o777 == 0o600
        lines = path.read_text().splitlines()
        assert (lines[0], len(lines) - 1) == (header, records)


@pytest.mark.parametrize(
    ("rejected", "status", "line"),
    [(None, 0, "JobComplete, 1 record processed"), ("x", 1, "JobComplete, 1 record processed")],
)
def test_wait_shows_progress_on_stderr_and_fails_on_failed_records(
    org, home, rejected, status, line
):
    org.in_progress_checks = 2
    if rejected:
        org.reject_records("Name", rejected, "INVALID:refused")
    job_id = start_job(org, "Name\nx\n")
    done = kavrel(home, org, "wait", job_id, "--interval", "0.01", "--json")
    assert done.returncode == status, done.stderr
    assert f"Job {job_id}: InProgress, 0 records processed" in done.stderr
    assert line in done.stderr
    document = json.loads(done.stdout)
    assert document["rows"] == sum(document[key] for key in COUNTS) == 1


def test_abort_once_then_refused_with_salesforces_reason(org, home):
    job_id = start_job(org)
    first = kavrel(home, org, "abort", job_id)
    assert (first.returncode, first.stdout) == (0, f"Job {job_id} aborted.\n")
    again = kavrel(home, org, "abort", job_id, "--json")
    assert again.returncode == 1
    reason = f"Salesforce refused to abort job {job_id}: Job {job_id} is Aborted"
    assert json.loads(again.stdout)["error"].startswith(reason)
    assert again.stderr.startswith("Error: " + reason)


def test_list_is_newest_first_and_limited(org, home):
    ids = []
    for _ in range(3):
        ids.append(start_job(org))
        time.sleep(0.01)  # creation times are kept to the millisecond
    done = kavrel(home, org, "list", "--limit", "2", "--json")
    assert [job["id"] for job in json.loads(done.stdout)["jobs"]] == ids[:0:-1]
    table = kavrel(home, org, "list").stdout.splitlines()
    assert table[0].split() == ["job", "id", "created", "operation", "object", "state"]
    assert [row.split()[0] for row in table[1:]] == ids[::-1]


@pytest.mark.parametrize("pages", [2, 3])
def test_list_says_when_the_org_lists_more_pages_than_are_read(
    bulk_server, monkeypatch, capsys, pages
):
    from kavrel.cli.main import main
    from kavrel.salesforce import ingest_bapi20
    from kavrel.salesforce.emulator import jobs as emulated

    monkeypatch.setattr(emulated, "PAGE_SIZE", 1)
    monkeypatch.setattr(ingest_bapi20, "MAX_LIST_PAGES", 2)
    monkeypatch.setenv("SF_ACCESS_TOKEN", bulk_server.access_token)
    for _ in range(pages):
        start_job(bulk_server)
    assert main(["job", "list", "--json", "--instance-url", bulk_server.base_url]) == 0
    out, err = capsys.readouterr()
    document = json.loads(out)
    assert (len(document["jobs"]), document["complete"]) == (2, pages == 2)
    warned = "⚠️ The org lists more than 2 pages of ingest jobs; only those 2 were read"
    assert (warned in err) is (pages > 2)


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["status", "750000000000000AAA"], 1, "no ingest job 750000000000000AAA in this org"),
        (["results", "OPEN"], 1, "job OPEN is Open, so it has no records to save: "),
        (
            ["wait", "OPEN"],
            1,
            "nothing to wait for: Salesforce processes a job only once its "
            "upload is closed; if the load that created it is no longer running, abort it with "
            "`kavrel job abort OPEN`",
        ),
        (
            ["wait", "BUSY", "--timeout", "0.2", "--interval", "0.05"],
            1,
            "job BUSY is still InProgress after 0.2 s",
        ),
        (["status", "x", "--salesforce", "nobody"], 1, "no Salesforce profile named 'nobody'"),
        (["status"], 2, "the job's id is required (JOB_ID or --job-id ID)"),
        (["status", "--job-id", "750000000000000AAA"], 1, "no ingest job 750000000000000AAA"),
        (["wait", "x", "--interval", "0"], 2, "must be a positive number of seconds"),
        (["list", "--limit", "-1"], 2, "must be a positive whole number"),
    ],
)
def test_bad_input_gets_one_clear_line(org, home, args, status, message):
    org.in_progress_checks = 10**6
    jobs = {"OPEN": start_job(org), "BUSY": start_job(org, "Name\nA\n")}
    args = [jobs.get(arg, arg) for arg in args]
    for placeholder, job_id in jobs.items():
        message = message.replace(placeholder, job_id)
    done = kavrel(home, org, *args)
    assert done.returncode == status
    assert message in done.stderr
    if status == 1:
        errors = [line for line in done.stderr.splitlines() if line.startswith("Error: ")]
        assert len(errors) == 1
        assert message in errors[0]
        assert "Traceback" not in done.stderr


def test_sigterm_while_waiting_ends_with_143(org, home):
    org.in_progress_checks = 10**6
    job_id = start_job(org, "Name\nA\n")
    child = subprocess.Popen(
        [KAVREL, "job", "wait", job_id, "--interval", "0.05", "--login-url", org.base_url],
        env={**os.environ, "HOME": str(home)},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    line = "?"
    while line and "InProgress" not in line:
        line = child.stderr.readline()
    assert line, "the command ended before it reported the job"
    child.send_signal(signal.SIGTERM)
    assert child.wait(timeout=30) == 143
    child.stdout.close()
    child.stderr.close()


@pytest.mark.parametrize(("csv_text", "advice"), [(None, "abort"), ("Name\nA\n", "wait")])
def test_a_load_left_with_a_job_names_abort_when_open_and_wait_when_processing(
    org, csv_text, advice
):
    from kavrel.load import results, summary
    from kavrel.salesforce.bulk_client import BulkApiClient

    org.in_progress_checks = 10**6
    job_id = start_job(org, csv_text)
    outcome = summary.JobOutcome(None, job_id, 1, summary.UNKNOWN)
    with BulkApiClient(org.access_info) as client:
        results.check_jobs(client, [outcome])
    assert f"`kavrel job {advice} {job_id}`" in outcome.error
