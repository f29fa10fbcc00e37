"""What keeping connections alive saves: the local Bulk API server over TLS, in this process.

First a load of 40 batches with 4 jobs in flight (`kavrel.load.load`, its own client), counting
the TCP connections the server accepts. Then 1,000 status checks of one job over one client
(its connection kept alive) against 1,000 made the way a module function makes them (a new
client, so a new connection and a TLS handshake, for each), in turns of 100, the best turn of
each kept.

Prints the load's connections (target: at most the jobs in flight plus 2) and the two times, and
ends with `ratio: X.Y`: the time without reuse over the time with it (target: at least 2.5).

Run: .venv/bin/python bench/bench_client.py [--checks N]
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import time

import requests

from kavrel import load
from kavrel.load.summary import counted
from kavrel.salesforce import ingest_bapi20
from kavrel.salesforce.bulk_client import BulkApiClient
from kavrel.salesforce.emulator import BulkApiEmulator

BATCHES = 40
PARALLEL = 4
TURN = 100


def loaded(server: BulkApiEmulator) -> str:
    """Loads 40 batches with 4 jobs in flight; the id of one of their jobs."""
    rows = sqlite3.connect(":memory:")
    rows.execute("CREATE TABLE a (Name TEXT)")
    rows.executemany("INSERT INTO a VALUES (?)", [(f"Account {n}",) for n in range(BATCHES * 5)])
    summary = load.load(rows, "SELECT Name FROM a", server.access_info, "Account", "insert",
                        batch_size=5, parallel=PARALLEL, journal=False)  # fmt: skip
    if summary.exit_status != 0:
        raise SystemExit(f"the load failed:\n{summary}")
    return str(summary.jobs[0].job_id)


def best_turn(check, checks: int) -> float:
    """The seconds of `checks` status checks, from the fastest turn of TURN checks."""
    turns = []
    for _ in range(max(1, checks // TURN)):
        started = time.perf_counter()
        for _ in range(TURN):
            check()
        turns.append(time.perf_counter() - started)
    return min(turns) / TURN * checks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--checks", type=int, default=1000)
    options = parser.parse_args()
    with BulkApiEmulator(tls=True) as server:
        os.environ["REQUESTS_CA_BUNDLE"] = str(server.certificate)  # its own certificate
        requests.get(server.base_url, timeout=10)  # the certificate read once, before timing
        before = server.connections_accepted
        job_id = loaded(server)
        connections = server.connections_accepted - before
        print(f"a load of {BATCHES} batches, {PARALLEL} jobs in flight: "
              f"{counted(connections, 'TCP connection')} (target at most {PARALLEL + 2})",
              flush=True)  # fmt: skip
        access = server.access_info
        with BulkApiClient(access) as client:
            kept = best_turn(lambda: client.job_status(job_id), options.checks)
        fresh = best_turn(lambda: ingest_bapi20.job_status(access, job_id), options.checks)
    print(f"{options.checks:,} status checks over one client: {kept:.2f} s; with a new "
          f"connection each: {fresh:.2f} s", flush=True)  # fmt: skip
    print(f"ratio: {fresh / kept:.1f}", flush=True)


if __name__ == "__main__":
    main()
