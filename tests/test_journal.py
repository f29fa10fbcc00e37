"""A load's journal read back: what each sequence of lines says is left to do for a batch, lines
a crash tore or damaged, the history's pruning, and the lookup of a lost creation's job among the
journals of other loads."""

from __future__ import annotations

import json
import os
import time

import pytest

from kavrel.load import journal as journals
from kavrel.load import lost
from kavrel.salesforce import ingest_bapi20
from kavrel.salesforce.bulk_client import BulkApiClient


def written(*events: tuple[str, dict]) -> journals.LoadRecord:
    book = journals.Journal.start({"operation": "insert", "object": "Account", "total_rows": 10})
    for event, details in events:
        book.record(event, {"batch": 1, **details})
    book.close()
    return journals.read(book.load_id)


CREATING = ("creating", {"rows": 10, "first_row": 0, "digest": "d", "since": 1.0})


@pytest.mark.parametrize(
    ("events", "phase"),
    [
        ([CREATING], journals.LOST),  # its creation's answer never came
        ([CREATING, ("failed", {"job_id": None, "state": "error", "lost": True})], journals.LOST),
        ([CREATING, ("failed", {"job_id": None, "state": "error"})], journals.UNSENT),
        ([CREATING, ("created", {"job_id": "J"})], journals.OPEN),
        ([CREATING, ("created", {"job_id": "J"}), ("closing", {"job_id": "J"})], journals.RUNNING),
        ([CREATING, ("created", {"job_id": "J"}), ("withdrawn", {"job_id": "J"}),
          ("failed", {"job_id": "J", "state": "Aborted"})], journals.UNSENT),
        ([CREATING, ("created", {"job_id": "J"}),
          ("closed", {"job_id": "J", "state": "UploadComplete"}),
          ("ended", {"job_id": "J", "state": "Aborted", "processed": 2, "failed": 0})],
         journals.DONE),  # aborted after its close: some of its rows may have landed
        ([CREATING, ("created", {"job_id": "J"}), ("withdrawn", {"job_id": "J"}), CREATING,
          ("created", {"job_id": "K"}), ("closed", {"job_id": "K", "state": "UploadComplete"}),
          ("ended", {"job_id": "K", "state": "JobComplete", "processed": 10, "failed": 0})],
         journals.DONE),
    ],
)  # fmt: skip
def test_what_is_left_to_do_for_a_batch(home, events, phase):
    assert written(*events).batches[1].phase == phase


def test_a_batch_sent_again_keeps_the_job_it_abandoned_and_counts_its_last_attempt(home):
    record = written(
        CREATING, ("created", {"job_id": "J"}), ("withdrawn", {"job_id": "J"}), CREATING,
        ("created", {"job_id": "K"}), ("closed", {"job_id": "K", "state": "UploadComplete"}),
        ("ended", {"job_id": "K", "state": "JobComplete", "processed": 10, "failed": 1}),
    )  # fmt: skip
    assert record.batches[1].abandoned == ["J"]
    assert record.job_ids() == {"J", "K"}
    totals = record.summary().totals()
    assert (totals["sent"], totals["succeeded"], totals["failed"]) == (10, 9, 1)


def test_a_result_file_that_could_not_be_saved_stays_in_the_summary(home):
    error = "could not save the failed records: disk full"
    record = written(
        CREATING, ("created", {"job_id": "J"}), ("files", {"files": {}, "error": error})
    )
    assert record.summary().jobs[0].error == error


def test_a_torn_last_line_is_left_out_and_a_damaged_one_refused(home):
    record = written(CREATING)
    path = journals.journal_path(record.load_id)
    with open(path, "ab") as out:
        out.write(b'{"event":"created","batch":1,"job_i')  # the machine went down mid-write
    assert journals.read(record.load_id).batches[1].phase == journals.LOST
    with open(path, "ab") as out:
        out.write(b"\n" + json.dumps({"event": "read", "rows": 10}).encode() + b"\n")
    with pytest.raises(journals.JournalUnreadable, match="line 3 of"):
        journals.read(record.load_id)
    assert journals.history() == []  # and the history leaves it out


def test_a_killed_load_is_told_apart_from_one_still_running(home):
    record = written(CREATING)
    assert record.state == "running"  # this process wrote it and has not ended it
    path = journals.journal_path(record.load_id)
    first, *rest = path.read_text(encoding="utf-8").splitlines()
    first = json.dumps({**json.loads(first), "pid": 2**22 + 1})  # a process that is gone
    path.write_text("\n".join([first, *rest]) + "\n", encoding="utf-8")
    assert journals.read(record.load_id).state == "killed"
    assert journals.read(journals.LAST).load_id == record.load_id


def test_journals_past_the_history_are_pruned(home, monkeypatch):
    old, new = written(CREATING), written(CREATING)
    a_while_ago = time.time() - 3 * 86400
    os.utime(journals.journal_path(old.load_id), (a_while_ago, a_while_ago))
    monkeypatch.setenv(journals.HISTORY_VARIABLE, "2")
    assert journals.prune() == [old.load_id]
    assert [r.load_id for r in journals.history()] == [new.load_id]
    monkeypatch.setenv(journals.HISTORY_VARIABLE, "soon")
    with pytest.raises(ValueError, match="KAVREL_LOAD_HISTORY_DAYS must be a number of days"):
        journals.prune()


def open_job(server) -> str:
    import requests

    access = server.access_info
    url = access["instance_url"] + ingest_bapi20.INGEST_PATH
    headers = {"Authorization": f"Bearer {access['access_token']}"}
    return requests.post(url, headers=headers, json={"object": "Account", "operation": "insert"},
                         timeout=10).json()["id"]  # fmt: skip


@pytest.mark.parametrize(
    ("theirs", "claimed"),
    [("named", True), ("pending", False), (None, True)],
)
def test_the_lookup_claims_only_what_no_other_load_explains(bulk_server, home, monkeypatch,
                                                            theirs, claimed):  # fmt: skip
    now, pauses = [time.time()], []

    def pause(_finder, seconds: float) -> None:
        pauses.append(seconds)
        now[0] += seconds

    monkeypatch.setattr(lost.LostJobFinder, "_pause", pause)
    ours_book = journals.Journal.start({"operation": "insert", "object": "Account"})
    other = journals.Journal.start({"operation": "insert", "object": "Account"})
    since = time.time() - 1
    named = open_job(bulk_server)
    if theirs is not None:
        other.record("creating", {"batch": 1, "rows": 1, "since": time.time()})
    if theirs == "named":
        other.record("created", {"batch": 1, "job_id": named})
    if theirs == "pending":  # its answer still on the way: the job found may be its own
        other.record("creating", {"batch": 2, "rows": 1, "since": time.time()})
    ours = open_job(bulk_server)
    client = BulkApiClient(bulk_server.access_info)
    finder = lost.LostJobFinder(client, ours_book,
                                clock=lambda: now[0])  # fmt: skip
    found = {job["id"]: job["claim"] for job in finder("Account", "insert", since, ())}
    if theirs == "named":
        assert found == {ours: True}
    else:
        assert found == {named: claimed, ours: claimed}
    assert bool(pauses) is (theirs == "pending")  # it waited for the other load's answer
    # An answer from the org itself came after whatever it did: one look, no waiting.
    pauses.clear()
    error = ingest_bapi20.BulkApiError(500, "UNKNOWN_EXCEPTION", "x")
    assert finder("Contact", "insert", since, (), error) == []
    assert pauses == []
    other.close()
    ours_book.close()
    client.close()
