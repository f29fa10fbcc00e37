"""What a load's journal costs, and what a resume sends: a 1,000,000-row insert from SQLite into
the local Bulk API server (its own process, no processing rate), in batches of 10,000.

First the uninterrupted load through `kavrel.load.load`, with its journal and without one
(`journal=False`), three times each in turn, the best time of each kept. Then the same insert
through the `kavrel` command, stopped with SIGTERM once about 60% of its rows were sent to jobs, and
`kavrel load resume last`: from the journal, the rows the resume sent are compared with the rows
of the batches that had not reached the org when the load stopped (their jobs Open, their
creation in flight, or never sent), which are the only ones it may send.

Prints both loads' times, the stop and the resume, checks that the org holds every row once, and
ends with `overhead: X.YY`: the uninterrupted load's time with the journal over its time without
it (target: at most 1.05). The line before it gives the rows sent again beyond the batches in
flight at the stop (target 0).

Run: .venv/bin/python bench/bench_resume.py [--rows N]
"""

from __future__ import annotations

import argparse
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BATCH = 10_000
PARALLEL = 4
QUERY = "SELECT Ext__c, Name, Score__c, Note__c, Day__c FROM accounts"

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from bench_source import create_sqlite  # noqa: E402
from emulator_process import run_in_subprocess  # noqa: E402


def timed_load(warehouse: Path, org: Path, journal: bool) -> float:
    from kavrel import load
    from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN
    from kavrel.sflake.sources import SQLiteSource

    server, url = run_in_subprocess("--db", str(org))
    access = {"access_token": DEFAULT_ACCESS_TOKEN, "instance_url": url}
    source = SQLiteSource(warehouse)
    try:
        started = time.perf_counter()
        summary = load.load(source, QUERY, access, "Account", "insert", batch_size=BATCH,
                            parallel=PARALLEL, journal=journal)  # fmt: skip
        elapsed = time.perf_counter() - started
    finally:
        source.close()
        server.terminate()
        server.wait()
    if summary.exit_status != 0:
        raise SystemExit(f"the load failed:\n{summary}")
    return elapsed


def kavrel(*args: str, url: str, **popen) -> subprocess.Popen:
    from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN

    env = {**os.environ, "SF_ACCESS_TOKEN": DEFAULT_ACCESS_TOKEN}
    command = [sys.executable, "-m", "kavrel", *args, "--instance-url", url, "-q"]
    return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, text=True, **popen)


def stopped_and_resumed(warehouse: Path, org: Path, rows: int) -> tuple[int, int, int, float]:
    """The insert stopped at about 60% and resumed: the rows of the batches that had not
    reached the org at the stop, the rows the resume sent, the keys the org then holds once,
    and the resume's seconds."""
    from kavrel.load import journal as journals

    server, url = run_in_subprocess("--db", str(org))
    try:
        before = {record.load_id for record in journals.history()}
        load = kavrel("insert", "-s", "Account", "--query", QUERY, "--sqlite", str(warehouse),
                      "--batch-size", str(BATCH), "--parallel", str(PARALLEL), url=url)  # fmt: skip
        wait_until_sent(load, rows * 0.6, before)
        load.send_signal(signal.SIGTERM)
        load.wait()
        [record] = journals.history(limit=1)
        unsent = rows - sum(
            batch.rows
            for batch in record.source_batches()
            if batch.phase in (journals.DONE, journals.RUNNING)
        )
        print(f"stopped with SIGTERM (status {load.returncode}) after "
              f"{sum(b.rows for b in record.source_batches()):,} rows went to jobs; "
              f"{rows - unsent:,} of them had reached the org", flush=True)  # fmt: skip
        started = time.perf_counter()
        resume = kavrel("load", "resume", "last", url=url)
        if resume.wait() != 0:
            raise SystemExit("the resume failed")
        elapsed = time.perf_counter() - started
    finally:
        server.terminate()
        server.wait()
    sent_by_resume = rows_sent_by_latest_run(record.load_id)
    with sqlite3.connect(org) as db:
        once = db.execute(
            'SELECT COUNT(*) FROM (SELECT "Ext__c" FROM "Account" GROUP BY 1 HAVING COUNT(*) = 1)'
        ).fetchone()[0]
    db.close()
    return unsent, sent_by_resume, once, elapsed


def wait_until_sent(process: subprocess.Popen, rows: float, before: set[str]) -> None:
    """Until the journal of the load (not one of the loads `before`) shows `rows` rows given to
    jobs."""
    from kavrel.load import journal as journals

    while process.poll() is None:
        time.sleep(0.05)
        found = [r for r in journals.history(limit=1) if r.load_id not in before]
        if found and sum(b.rows for b in found[0].source_batches()) >= rows:
            return
    raise SystemExit("the load ended before it was stopped")


def rows_sent_by_latest_run(load_id: str) -> int:
    """The rows of the creations the latest run of the load made (its resume)."""
    import json

    from kavrel.load import journal as journals

    events = journals.journal_path(load_id).read_text(encoding="utf-8").splitlines()
    runs = [i for i, line in enumerate(events) if json.loads(line)["event"] == "run"]
    if not runs:  # the load had finished before it was stopped: nothing to resume
        return 0
    latest = [json.loads(line) for line in events[runs[-1] :]]
    sent: dict[int, int] = {}
    for event in latest:
        if event["event"] == "created":
            sent[event["batch"]] = creating_rows(latest, event["batch"])
    return sum(sent.values())


def creating_rows(events: list[dict], batch: int) -> int:
    return next(
        e["rows"] for e in reversed(events) if e["event"] == "creating" and e["batch"] == batch
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        os.environ["HOME"] = str(base / "home")  # the journals go to a home of the run's own
        (base / "home").mkdir()
        warehouse = base / "w.db"
        create_sqlite(warehouse, options.rows)
        times: dict[bool, list[float]] = {True: [], False: []}
        for attempt in range(3):
            for journal in (False, True):
                org = base / f"org-{journal}-{attempt}.db"
                times[journal].append(timed_load(warehouse, org, journal))
                org.unlink()
                print(f"uninterrupted load, {'with' if journal else 'without'} its journal: "
                      f"{times[journal][-1]:.2f} s", flush=True)  # fmt: skip
        unsent, resent, once, elapsed = stopped_and_resumed(
            warehouse, base / "org.db", options.rows
        )
        print(f"resume: {resent:,} rows sent in {elapsed:.1f} s; {unsent:,} had not reached the "
              "org at the stop", flush=True)  # fmt: skip
        if once != options.rows:
            raise SystemExit(f"the org holds {once:,} of the {options.rows:,} rows exactly once")
        print(f"the org holds every one of the {options.rows:,} rows exactly once")
        print(
            f"rows sent again beyond the batches in flight at the stop: {max(0, resent - unsent):,}"
        )
    print(f"overhead: {min(times[True]) / min(times[False]):.2f}", flush=True)


if __name__ == "__main__":
    main()
