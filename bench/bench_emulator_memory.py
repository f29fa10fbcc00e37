"""How much memory the local Bulk API server holds for one large job and for many jobs.

The server runs in its own process with its records in a database file, so its memory is what it
keeps besides the records. First ROWS rows (four columns, about 40 bytes a row) go through one
insert job; the server's peak resident memory above its idle size is compared with the upload's
size. Then JOBS insert jobs of 2,500 rows each; the server's resident memory after all of them is
compared with its size after the first tenth of them. Ends with two ratios: `peak/upload` (target:
a few) and `growth over the jobs` in megabytes per 100 jobs (target: about 0).

Run: .venv/bin/python bench/bench_emulator_memory.py [ROWS] [JOBS]
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import requests

from kavrel.salesforce.emulator import DEFAULT_ACCESS_TOKEN

# The subprocess helper is shared with the tests and the demo.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from emulator_process import run_in_subprocess  # noqa: E402

INGEST = "/services/data/v62.0/jobs/ingest"
HEADERS = {"Authorization": f"Bearer {DEFAULT_ACCESS_TOKEN}"}
SMALL_JOB = 2_500


def upload_text(first: int, count: int) -> bytes:
    lines = ["Name,Ext__c,Amount__c,Note__c"]
    lines += [
        f"Account {i},EXT-{i:08d},{i % 100000}.25,note {i % 97}"
        for i in range(first, first + count)
    ]
    return ("\n".join(lines) + "\n").encode()


def run_job(base_url: str, body: bytes) -> dict:
    session = requests.Session()
    job = session.post(
        base_url + INGEST,
        headers=HEADERS,
        json={"object": "Account", "operation": "insert"},
        timeout=60,
    ).json()["id"]
    url = f"{base_url}{INGEST}/{job}"
    put = session.put(url + "/batches", headers={**HEADERS, "Content-Type": "text/csv"}, data=body)
    assert put.status_code == 201, put.text
    session.patch(url, headers=HEADERS, json={"state": "UploadComplete"}, timeout=60)
    while True:
        status = session.get(url, headers=HEADERS, timeout=600).json()
        if status["state"] in ("JobComplete", "Failed", "Aborted"):
            assert status["state"] == "JobComplete", status
            return status
        time.sleep(0.05)


def memory_mb(pid: int, key: str) -> float:
    """VmRSS (resident now) or VmHWM (resident at its peak) of the process, in megabytes."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {key} for process {pid}")


def one_large_job(rows: int) -> tuple[float, float]:
    """The upload's size and the server's peak growth while processing it, in megabytes."""
    with tempfile.TemporaryDirectory() as folder:
        server, base_url = run_in_subprocess("--db", str(Path(folder) / "org.db"))
        try:
            run_job(base_url, upload_text(0, 10))  # warm up the code paths
            idle = memory_mb(server.pid, "VmRSS")
            body = upload_text(0, rows)
            status = run_job(base_url, body)
            assert status["numberRecordsProcessed"] == rows
            return len(body) / 2**20, memory_mb(server.pid, "VmHWM") - idle
        finally:
            server.terminate()
            server.wait()
            server.stdout.close()


def many_jobs(jobs: int) -> tuple[float, float]:
    """The server's resident memory after a tenth of the jobs and after all of them."""
    with tempfile.TemporaryDirectory() as folder:
        server, base_url = run_in_subprocess("--db", str(Path(folder) / "org.db"))
        try:
            early = 0.0
            for number in range(jobs):
                run_job(base_url, upload_text(number * SMALL_JOB, SMALL_JOB))
                if number + 1 == max(1, jobs // 10):
                    early = memory_mb(server.pid, "VmRSS")
            return early, memory_mb(server.pid, "VmRSS")
        finally:
            server.terminate()
            server.wait()
            server.stdout.close()


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    started = time.perf_counter()
    upload_mb, peak_mb = one_large_job(rows)
    large_seconds = time.perf_counter() - started
    early_mb, late_mb = many_jobs(jobs)
    print(
        f"one job of {rows:,} rows: upload {upload_mb:.0f} MB, server peak +{peak_mb:.0f} MB "
        f"({large_seconds:.1f} s)"
    )
    print(
        f"{jobs} jobs of {SMALL_JOB:,} rows: server {early_mb:.0f} MB after {max(1, jobs // 10)}, "
        f"{late_mb:.0f} MB after {jobs}"
    )
    per_100 = (late_mb - early_mb) / (jobs - max(1, jobs // 10)) * 100
    print(
        f"ratio peak/upload: {peak_mb / upload_mb:.1f}x; growth over the jobs: "
        f"{per_100:.1f} MB per 100 jobs"
    )


if __name__ == "__main__":
    main()
