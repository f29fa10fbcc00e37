"""Syncs: runs that send only the rows that changed, against the local Bulk API server, over a
SQLite warehouse and over Snowflake (fakesnow) with the state in a warehouse table; a run stopped
at any instant and then resumed or simply run again; rejected records sent again; the mirror's
deletes and their limit; an insert keyed by a column."""

from __future__ import annotations

import csv
import io
import json
import signal
import sqlite3
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest
from command import environment, run_kavrel

from kavrel.load import load
from kavrel.load.sync import Sync
from kavrel.salesforce.emulator import BulkApiEmulator
from kavrel.sflake.sources import SQLiteSource
from kavrel.util.csv import row_fingerprints

QUERY = "SELECT Ext__c, Name FROM accounts"


def make_warehouse(path: Path, rows: dict[str, str]) -> Path:
    with sqlite3.connect(path) as connection:
        connection.execute("DROP TABLE IF EXISTS accounts")
        connection.execute("CREATE TABLE accounts (Ext__c TEXT, Name TEXT)")
        connection.executemany("INSERT INTO accounts VALUES (?, ?)", rows.items())
    connection.close()
    return path


def org(server) -> dict[str, str]:
    return {row["Ext__c"]: row["Name"] for row in server.rows("Account")}


def sync_upsert(warehouse: Path, server, **options):
    return load(SQLiteSource(warehouse), QUERY, server.access_info, "Account", "upsert",
                external_id="Ext__c", batch_size=7, sync=Sync("accounts", **options))  # fmt: skip


def counts(summary) -> tuple[int, ...]:
    found = summary.sync.as_dict()
    return tuple(found[k] for k in ("read", "unchanged", "new", "changed", "deleted"))


@pytest.mark.parametrize(
    ("key", "line"),
    [(0, 'a,"b ""c""\r\nd"'), (1, 'x,"1,2"'), (1, "x,"), (0, '"",y')],
)
def test_a_fingerprint_keys_the_row_by_its_field_as_csv_reads_it(key, line):
    row = next(csv.reader(io.StringIO(line, newline="")))
    [(found, fingerprint)] = row_fingerprints(["k", "v"], [[v or None for v in row]], key)
    assert found == row[key]
    assert row_fingerprints(["k", "v"], [row], key) == [(found, fingerprint)] or not row[key]
    assert row_fingerprints(["k", "w"], [row], key)[0][1] != fingerprint  # another header


def test_fingerprints_stay_what_the_states_on_disk_hold():
    """A state keeps these across releases (and on 32-bit ARM): another hash would resend all."""
    assert row_fingerprints(["Ext__c", "Name"], [("E1", "Acme, Inc."), ("E2", None)], 0) == [
        ("E1", "972b6909d567c9a1b277182eb875f36d"), ("E2", "72a325346acfc0e381342b820368e7b4"),
    ]  # fmt: skip
    assert row_fingerprints(["Ext__c", "Name"], [("E2", None)], 0, [None, "#N/A"]) == [
        ("E2", "9ac2a0f56d20b6033394cb99e9df8e8b")
    ]


def test_each_run_sends_only_what_changed_and_the_org_equals_the_table(home, tmp_path):
    rows = {f"E{i:03}": f"N{i}" for i in range(40)}
    warehouse = make_warehouse(tmp_path / "w.db", rows)
    with BulkApiEmulator() as server:
        assert counts(sync_upsert(warehouse, server, mirror=True)) == (40, 0, 40, 0, 0)
        rows.update({"E001": "changed", "E002": "changed", "E100": "new"})
        del rows["E003"]
        make_warehouse(warehouse, rows)
        summary = sync_upsert(warehouse, server, mirror=True)
        assert counts(summary) == (40, 37, 1, 2, 1)
        assert summary.totals()["sent"] == 3
        assert summary.exit_status == 0
        assert org(server) == rows
        again = sync_upsert(warehouse, server, mirror=True)
        assert counts(again) == (40, 40, 0, 0, 0)
        assert again.jobs == []


def test_rejected_records_are_sent_again_by_the_next_run(home, tmp_path):
    rows = {f"E{i}": f"N{i}" for i in range(10)}
    warehouse = make_warehouse(tmp_path / "w.db", rows)
    with BulkApiEmulator() as server:
        server.reject_records("Name", "N4", "FIELD_CUSTOM_VALIDATION_EXCEPTION:no", count=1)
        first = sync_upsert(warehouse, server)
        assert (first.totals()["failed"], first.exit_status) == (1, 1)
        assert first.sync.synced == 9  # the state never claims the record the org refused
        second = sync_upsert(warehouse, server)
        assert counts(second) == (10, 9, 1, 0, 0)
        assert second.exit_status == 0
        assert org(server) == rows


def test_a_mirror_refuses_more_deletes_than_allowed_and_deletes_nothing(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {f"E{i}": "n" for i in range(20)})
    with BulkApiEmulator() as server:
        sync_upsert(warehouse, server, mirror=True)
        make_warehouse(warehouse, {"E0": "n"})  # a broken query
        refused = sync_upsert(warehouse, server, mirror=True)
        assert (refused.exit_status, len(server.rows("Account"))) == (1, 20)
        assert refused.sync.refused == (
            "The mirror did not delete the 19 records whose keys left the query: more than 2 "
            "(--max-deletes); if the query is right, run again with --max-deletes 19"
        )
        told = sync_upsert(warehouse, server, mirror=True, max_deletes=19, hard=True)
        assert told.sync.deleted == 19
        assert org(server) == {"E0": "n"}


def test_an_insert_sync_inserts_each_key_once(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a", "E2": "b"})

    def insert(server):
        return load(SQLiteSource(warehouse), QUERY, server.access_info, "Account", "insert",
                    sync=Sync("contacts", key="Ext__c"))  # fmt: skip

    with BulkApiEmulator() as server:
        insert(server)
        make_warehouse(warehouse, {"E1": "changed", "E2": "b", "E3": "c"})
        summary = insert(server)
        assert summary.sync.changes["changed_not_sent"] == 1
        assert summary.totals()["sent"] == 1
        assert sorted(r["Ext__c"] for r in server.rows("Account")) == ["E1", "E2", "E3"]
        with pytest.raises(ValueError, match="needs the column that keys its records"):
            load(SQLiteSource(warehouse), QUERY, server.access_info, "Account", "insert",
                 sync="contacts")  # fmt: skip


def test_a_key_that_comes_twice_stops_the_run_before_its_job(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a"})
    with BulkApiEmulator() as server:
        summary = load(SQLiteSource(warehouse), QUERY + " UNION ALL " + QUERY, server.access_info,
                       "Account", "upsert", external_id="Ext__c", sync="twice")  # fmt: skip
        assert (summary.jobs, summary.exit_status) == ([], 1)
        assert summary.stopped.endswith(
            "SyncRefused: the key Ext__c 'E1' comes in more than one row: a sync sends one "
            "record per key"
        )


@pytest.mark.parametrize("then", ["resume", "run again"])
def test_a_sync_killed_mid_run_ends_with_every_changed_row_sent_once(then, home, tmp_path):
    rows = {f"E{i:04}": f"N{i}" for i in range(300)}
    warehouse = make_warehouse(tmp_path / "w.db", rows)
    command = ["upsert", "-s", "Account", "-i", "Ext__c", "--query", QUERY, "--sqlite",
               str(warehouse), "--sync", "accounts", "--batch-size", "20",
               "--parallel", "3"]  # fmt: skip
    with BulkApiEmulator(processing_rate=3000) as server:
        token = {"SF_ACCESS_TOKEN": server.access_info["access_token"]}
        target = ["--instance-url", server.base_url]
        process = subprocess.Popen([sys.executable, "-m", "kavrel", *command, *target],
                                   env=environment(home, **token), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)  # fmt: skip
        for line in process.stderr:  # type: ignore[union-attr]
            if line.startswith("✅ Batch 4"):
                break
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=60)
        if then == "resume":
            done = run_kavrel(home, "load", "resume", "last", *target, **token)
        else:
            done = run_kavrel(home, *command, *target, **token)
        assert done.returncode == 0, done.stderr
        assert Counter(r["Ext__c"] for r in server.rows("Account")) == Counter(rows.keys())
        sent = sum(job["numberRecordsProcessed"] for job in server_jobs(server))
        assert sent == len(rows)  # no row went twice
        quiet = run_kavrel(home, *command, *target, "--json", **token)
        assert json.loads(quiet.stdout)["sync"]["unchanged"] == len(rows), quiet.stderr
        if then == "run again":  # the killed run was settled: nobody resumes it now
            stale = run_kavrel(home, "load", "resume", done_load_before(home), *target, **token)
            assert "was settled by a later run of the sync" in stale.stderr


def server_jobs(server) -> list[dict]:
    from kavrel.salesforce import ingest_bapi20

    jobs = ingest_bapi20.job_list(server.access_info)
    return [ingest_bapi20.job_status(server.access_info, j["id"]) for j in jobs
            if j["state"] == "JobComplete"]  # fmt: skip


def done_load_before(home: Path) -> str:
    from kavrel.load import history

    return history()[-1].load_id


def test_sync_commands_list_show_and_forget(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a", "E2": "b"})
    with BulkApiEmulator() as server:
        sync_upsert(warehouse, server)
        listed = json.loads(run_kavrel(home, "sync", "list", "--json").stdout)["syncs"]
        assert [(s["name"], s["object"], s["synced_keys"]) for s in listed] == [
            ("accounts", "Account", 2)
        ]
        assert run_kavrel(home, "sync", "forget", "accounts").stdout == (
            "✓ Sync accounts forgotten: its next run sends every row.\n"
        )
        assert counts(sync_upsert(warehouse, server)) == (2, 0, 2, 0, 0)
        unknown = run_kavrel(home, "sync", "show", "nope")
        assert (unknown.returncode, unknown.stderr) == (
            1, "Error: no sync named 'nope' on this machine\n"
        )  # fmt: skip


@pytest.mark.parametrize(
    ("args", "error"),
    [
        (["insert", "--sync", "s"], "an insert sync needs the column that keys its records "
                                    "(--key COLUMN)"),
        (["upsert", "-i", "Ext__c", "--mirror"], "--mirror goes with --sync NAME"),
        (["upsert", "-i", "Ext__c", "--sync", "s", "--hard"], "--hard and --max-deletes go with "
                                                              "--mirror"),
        (["update", "--sync", "no/name"], "a sync's name is 1 to 64 letters, digits, '_', '.' or "
                                          "'-', starting with a letter or digit, not 'no/name'"),
        (["insert", "--sync", "s", "--key", "K", "--full"], "an insert with --full would insert "
         "every record again, doubling those inserted before; `kavrel sync forget s` first if "
         "that is what you want"),
    ],
)  # fmt: skip
def test_sync_options_that_do_not_go_together_are_refused_before_any_login(args, error, home):
    done = run_kavrel(home, *args, "-s", "Account", "--query", "SELECT 1", "--sqlite", "x.db")
    assert (done.returncode, done.stderr) == (1, f"Error: {error}\n")


class SessionEndsAtUpload:
    """The Bulk API client, whose session ends at the `n`th upload (and cannot be renewed)."""

    def __init__(self, n: int) -> None:
        from kavrel.salesforce import ingest_bapi20

        self._client, self._left = ingest_bapi20, n

    def __getattr__(self, name: str):
        return getattr(self._client, name)

    def send_file(self, access_info, job_id, csv_text):
        self._left -= 1
        if self._left == 0:
            raise self._client.BulkApiError(401, "INVALID_SESSION_ID", "Session expired")
        return self._client.send_file(access_info, job_id, csv_text)


def test_a_run_that_stopped_early_is_resumed_through_the_records_it_began_with(home, tmp_path):
    from kavrel.load import resume

    rows = {f"E{i:02}": f"N{i}" for i in range(20)}
    warehouse = make_warehouse(tmp_path / "w.db", rows)
    with BulkApiEmulator() as server:
        stopped = load(SQLiteSource(warehouse), QUERY, server.access_info, "Account", "upsert",
                       external_id="Ext__c", batch_size=7, sync="accounts",
                       client=SessionEndsAtUpload(2))  # fmt: skip
        assert stopped.stopped.startswith("the session ended at job ")
        done = resume(stopped.load_id, server.access_info)
        assert (done.exit_status, done.sync.synced, org(server)) == (0, 20, rows)
        assert counts(sync_upsert(warehouse, server)) == (20, 20, 0, 0, 0)


def test_a_run_with_nothing_to_send_says_so_and_exits_0(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a", "E2": "b"})
    with BulkApiEmulator() as server:
        command = ["upsert", "-s", "Account", "-i", "Ext__c", "--query", QUERY, "--sqlite",
                   str(warehouse), "--sync", "accounts",
                   "--instance-url", server.base_url]  # fmt: skip
        token = {"SF_ACCESS_TOKEN": server.access_info["access_token"]}
        assert run_kavrel(home, *command, **token).returncode == 0
        quiet = run_kavrel(home, *command, "-q", **token)
        assert (quiet.returncode, quiet.stdout) == (0, (
            "Sync accounts: 2 rows read, 2 unchanged, 0 new, 0 changed.\n"
            "Nothing changed; no job was created.\n"
        ))  # fmt: skip
        retry = run_kavrel(home, "load", "retry", "last", "--instance-url", server.base_url,
                           **token)  # fmt: skip
        assert retry.stderr.splitlines()[-1].endswith(
            "is a run of sync accounts: its next run sends the records that failed again"
        )


def test_a_sync_stays_bound_to_its_object_and_operation(home, tmp_path):
    from kavrel.load.sync import SyncRefused

    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a"})
    with BulkApiEmulator() as server:
        sync_upsert(warehouse, server)
        with pytest.raises(SyncRefused, match="is the sync of upsert Account on Ext__c"):
            load(SQLiteSource(warehouse), QUERY, server.access_info, "Contact", "upsert",
                 external_id="Ext__c", sync="accounts")  # fmt: skip


def test_a_record_deleted_in_the_org_already_leaves_the_state_with_the_mirror(home, tmp_path):
    from kavrel.salesforce.bulk_client import BulkApiClient

    rows = {f"E{i}": "n" for i in range(20)}
    warehouse = make_warehouse(tmp_path / "w.db", rows)
    with BulkApiEmulator() as server, BulkApiClient(server.access_info) as client:
        sync_upsert(warehouse, server, mirror=True)
        [gone] = [r["Id"] for r in server.rows("Account") if r["Ext__c"] == "E3"]
        job = client.create_job({"object": "Account", "contentType": "CSV",
                                 "operation": "delete", "lineEnding": "CRLF"})["id"]  # fmt: skip
        client.send_file(job, f"Id\r\n{gone}\r\n")
        client.job_close(job)
        while client.job_status(job)["state"] != "JobComplete":  # someone else's delete
            time.sleep(0.01)
        del rows["E3"]
        make_warehouse(warehouse, rows)
        summary = sync_upsert(warehouse, server, mirror=True)
        assert (summary.sync.deleted, summary.sync.synced) == (1, 19)
        assert counts(sync_upsert(warehouse, server, mirror=True)) == (19, 19, 0, 0, 0)


def test_full_sends_every_row_again(home, tmp_path):
    warehouse = make_warehouse(tmp_path / "w.db", {"E1": "a", "E2": "b"})
    with BulkApiEmulator() as server:
        sync_upsert(warehouse, server)
        full = sync_upsert(warehouse, server, full=True)
        assert (counts(full), full.totals()["sent"]) == ((2, 0, 0, 2, 0), 2)
        assert counts(sync_upsert(warehouse, server)) == (2, 2, 0, 0, 0)
