"""End-to-end upsert benchmark: 500,000 rows of 20 mixed columns from SQLite into the local Bulk
API server in batches of 25,000, against a straightforward pure-Python version of the local work.

Prints:
- end to end: rows per second of `vantro.upsert` (the server runs in its own process, so its
  work and memory are not counted here; `time.sleep` is patched to return at once), and of the
  command line's load (`kavrel.load`, one read of the query) for the same rows;
- local work: rows -> records -> CSV for the same rows by the module and by the baseline, and the
  ratio (target: the module at least 20 times faster);
- memory: peak traced allocation above the start during the upsert against one batch's CSV text
  (target: at most 3 times), and the peak of the session's own collect() of one batch, which the
  upsert cannot go below.

Run: .venv/bin/python bench/bench_upsert.py [--rows N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

from kavrel.salesforce import vantro
from kavrel.sflake.local import SQLiteSession
from kavrel.util.csv import json_to_csv

# The subprocess helper is shared with the tests and the demo.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

BATCH = 25_000
COLUMNS = 20
TOKEN = "bench-token"


# ---------------------------------------------------------------------------------------------
# Data


def create_warehouse(path: Path, rows: int) -> None:
    """20 columns: the external id, text (some with commas, quotes and line breaks), whole and
    decimal numbers, flags and missing values."""
    names = ["Ext_Id__c"] + [f"C{i:02d}__c" for i in range(1, COLUMNS)]
    with SQLiteSession(str(path)) as session:
        db = session.connection
        db.execute(f"CREATE TABLE bench ({', '.join(names)})")

        def row(i: int) -> tuple:
            return (
                f"EXT-{i:07d}", f"Account {i}", f'Name, "{i % 97}"' if i % 10 == 0 else f"N{i}",
                i, i * 7 % 1000, i * 0.25, (i % 1000) / 8, None if i % 5 == 0 else i % 2,
                None, f"city-{i % 313}", f"line\n{i}" if i % 50 == 0 else "x", -i,
                i % 3 == 0, None if i % 2 else f"note {i}", 12345.5, f"2024-01-{i % 28 + 1:02d}",
                i * 1_000_003, "", f"t{i % 7}", 0.5 + i,
            )  # fmt: skip

        # One transaction: the session's connection commits every statement on its own otherwise.
        db.execute("BEGIN")
        db.executemany(
            f"INSERT INTO bench VALUES ({', '.join('?' * COLUMNS)})",
            (row(i) for i in range(1, rows + 1)),
        )
        db.execute("COMMIT")


# ---------------------------------------------------------------------------------------------
# Baseline: what a user would write in Python for rows -> records -> CSV


def baseline_field(value) -> str:
    if value is None:
        return ""
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    text = str(value)
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def baseline_batch(rows) -> str:
    records = []
    for result in rows:
        record = {}
        for key, value in result.asDict().items():
            record[key] = "" if value is None else value
        records.append(record)
    header = list(records[0])
    lines = [",".join(baseline_field(k) for k in header)]
    for record in records:
        lines.append(",".join(baseline_field(record.get(k)) for k in header))
    return "\r\n".join(lines) + "\r\n"


# ---------------------------------------------------------------------------------------------
# The module's local work, alone: upsert over rows already in memory, with the network calls
# answered at once in this process.


class InstantWire:
    def __init__(self):
        self.csv_chars = 0
        answer = SimpleNamespace(status_code=200, json=lambda: {"id": "750LOCAL"}, text="")
        self.requests = SimpleNamespace(post=lambda _url, **_request: answer)
        # A Bulk API client with only its documented functions; the module's own checks of sizes
        # and answers stay, only the network is left out.
        self.ingest = SimpleNamespace(
            send_file=self.send_file,
            job_close=lambda _access_info, job_id: {"id": job_id, "state": "UploadComplete"},
            job_status=lambda _access_info, job_id: {"id": job_id, "state": "JobComplete"},
        )

    def send_file(self, _access_info, _job_id, text):
        self.csv_chars += len(text)


def module_local_work(rows: list, total: int) -> float:
    """Seconds `vantro.upsert` takes for `total` rows when every page answers `rows`."""
    count = SimpleNamespace(collect=lambda: [(total,)])
    page = SimpleNamespace(collect=lambda: rows)
    session = SimpleNamespace(sql=lambda text: count if text.startswith("SELECT COUNT") else page)
    wire, saved = InstantWire(), (vantro.requests, vantro.ingest)
    vantro.requests, vantro.ingest = wire.requests, wire.ingest
    try:
        started = time.perf_counter()
        vantro.upsert(session, {"access_token": "t", "instance_url": "x"}, "A", "q", "E", BATCH)
        return time.perf_counter() - started
    finally:
        vantro.requests, vantro.ingest = saved


# ---------------------------------------------------------------------------------------------
# The local Bulk API server, in its own process


def start_server(db_path: Path) -> tuple[subprocess.Popen, str]:
    return run_in_subprocess("--access-token", TOKEN, "--db", str(db_path))


def end_to_end(session, base_url: str, total: int, traced: bool) -> tuple[float, int, dict]:
    access_info = {"access_token": TOKEN, "instance_url": base_url}
    if traced:
        tracemalloc.start()
    start_current = tracemalloc.get_traced_memory()[0] if traced else 0
    started = time.perf_counter()
    summary = vantro.upsert(session, access_info, "Account", "SELECT * FROM bench", "Ext_Id__c")
    elapsed = time.perf_counter() - started
    peak = 0
    if traced:
        peak = tracemalloc.get_traced_memory()[1] - start_current
        tracemalloc.stop()
    assert summary["successful_batches"] == summary["total_batches"], summary
    assert summary["records_processed"] == total
    return elapsed, peak, summary


def command_line_load(path: Path, base_url: str, total: int) -> float:
    """Seconds the command line's load (kavrel.load, one read of the query) takes for the same
    upsert into a fresh server."""
    from kavrel.load import load

    access_info = {"access_token": TOKEN, "instance_url": base_url}
    with SQLiteSession(str(path), read_only=True) as session:
        started = time.perf_counter()
        summary = load(session, "SELECT * FROM bench", access_info, "Account", "upsert",
                       external_id="Ext_Id__c", batch_size=BATCH)  # fmt: skip
        elapsed = time.perf_counter() - started
    assert summary.exit_status == 0, summary
    assert summary.query_rows == total, summary
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=500_000)
    parser.add_argument("--repeat", type=int, default=3, help="local-work timing repetitions")
    total = parser.parse_args().rows
    repeat = parser.parse_args().repeat
    vantro.time.sleep = lambda _seconds: None

    workdir = Path(tempfile.mkdtemp(prefix="kavrel-bench-"))
    print(f"creating {total:,} rows x {COLUMNS} columns in SQLite ...", flush=True)
    create_warehouse(workdir / "warehouse.db", total)

    with SQLiteSession(str(workdir / "warehouse.db")) as session:
        rows = session.sql(f"SELECT * FROM bench LIMIT {min(BATCH, total)}").collect()
        one_batch_csv = json_to_csv([{k: "" if v is None else v for k, v in r.asDict().items()}
                                     for r in rows])  # fmt: skip
        same_text = baseline_batch(rows) == one_batch_csv
        batches = -(-total // BATCH)
        module_s = min(module_local_work(rows, total) for _ in range(repeat))
        baseline_s = min(
            timed(lambda: [baseline_batch(rows) for _ in range(batches)]) for _ in range(repeat)
        )
        # Both sides call the session's asDict() on every row; its share bounds the speed-up.
        as_dict_s = min(
            timed(lambda: [[r.asDict() for r in rows] for _ in range(batches)])
            for _ in range(repeat)
        )
        collect_peak = traced_peak(lambda: session.sql(f"SELECT * FROM bench LIMIT {BATCH}"))

        server, base_url = start_server(workdir / "salesforce.db")
        try:
            speed_s, _, _ = end_to_end(session, base_url, total, traced=False)
            # A second server database so the traced run inserts as the first one did.
            server.terminate()
            server.wait(timeout=30)
            server, base_url = start_server(workdir / "salesforce2.db")
            _, peak, _ = end_to_end(session, base_url, total, traced=True)
            server.terminate()
            server.wait(timeout=30)
            server, base_url = start_server(workdir / "salesforce3.db")
            load_s = command_line_load(workdir / "warehouse.db", base_url, total)
        finally:
            server.terminate()
            server.wait(timeout=30)

    csv_bytes = len(one_batch_csv.encode())
    print()
    print(f"rows x columns            : {total:,} x {COLUMNS}, batches of {BATCH:,}")
    print(f"end to end                : {speed_s:8.2f} s  {total / speed_s:12,.0f} rows/s")
    print(f"  the command line's load : {load_s:8.2f} s  {total / load_s:12,.0f} rows/s")
    print(f"local work, module        : {module_s:8.2f} s  {total / module_s:12,.0f} rows/s")
    print(f"local work, pure Python   : {baseline_s:8.2f} s  {total / baseline_s:12,.0f} rows/s")
    print(f"  same CSV text           : {same_text}")
    print(f"  speed-up (target >= 20) : {baseline_s / module_s:8.1f}x")
    print(f"rows' asDict() alone      : {as_dict_s:8.2f} s  (session code, inside both figures)")
    print(f"  speed-up without it     : {(baseline_s - as_dict_s) / (module_s - as_dict_s):8.1f}x")
    print(f"one batch's CSV text      : {csv_bytes / 1e6:8.2f} MB")
    print(f"peak memory above start   : {peak / 1e6:8.2f} MB (tracemalloc, during upsert)")
    print(f"  ratio (target <= 3)     : {peak / csv_bytes:8.2f}x")
    print(f"one batch's collect()     : {collect_peak / 1e6:8.2f} MB peak (session code alone)")
    print(f"  ratio                   : {collect_peak / csv_bytes:8.2f}x")
    return 0


def traced_peak(query) -> int:
    """Peak traced allocation while the session collects one batch's rows."""
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    rows = query().collect()
    peak = tracemalloc.get_traced_memory()[1] - start
    tracemalloc.stop()
    del rows
    return peak


def timed(work) -> float:
    started = time.perf_counter()
    work()
    return time.perf_counter() - started


if __name__ == "__main__":
    raise SystemExit(main())
