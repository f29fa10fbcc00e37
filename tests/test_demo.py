"""`make demo`: the `kavrel` command's main job from end to end, as a new user first sees it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "demo" / "demo.py"


def test_the_demo_runs_the_commands_and_ends_with_what_to_try(tmp_path: Path) -> None:
    done = subprocess.run(
        [sys.executable, str(DEMO)],
        cwd=tmp_path,
        env={**os.environ, "TMPDIR": str(tmp_path)},  # where the demo leaves its files
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    lines = done.stdout.splitlines()
    assert done.returncode == 0, done.stdout
    assert "Traceback" not in done.stdout
    assert (
        "4 batches (4 completed, 0 failed), 3,500 rows, 3,499 records succeeded, 1 failed, "
        "0 not processed"
    ) in lines
    listed = lines[lines.index("=== every job's final state ===") + 4 :][:6]
    assert [line.split()[2:] for line in listed] == [
        [operation, "Account", "JobComplete"]
        for operation in ("delete", "update", "upsert", "upsert", "upsert", "upsert")
    ]
    assert lines[-4] == "Try next:"
    assert [line.split()[:2] for line in lines[-3:]] == [
        ["cd", lines[-3].split()[1]],
        [lines[-2].split()[0], "kavrel"],
        ["kavrel", "upsert"],
    ]
