"""The `kavrel` command as a user runs it, in its own process: the one helper of the tests.

Asking `python -m kavrel` of this interpreter runs the installed package, whatever PATH holds.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

# The installed console script, for a test that needs the command by its own name.
KAVREL = str(Path(sys.executable).parent / "kavrel")


def environment(home: Path, **env: str) -> dict[str, str]:
    """This process's environment with `home` as HOME and UTF-8 output, plus `env`."""
    return {**os.environ, "HOME": str(home), "PYTHONIOENCODING": "utf-8", **env}


def run_kavrel(
    home: Path,
    *args: str,
    cwd: Path | None = None,
    stdin: str | None = None,
    timeout: float = 120,
    **env: str,
) -> subprocess.CompletedProcess:
    """Runs `kavrel ARGS` to its end with `home` as HOME; standard input is `stdin` or nothing."""
    return subprocess.run(
        [sys.executable, "-m", "kavrel", *args],
        cwd=cwd,
        env=environment(home, **env),
        input=stdin,
        stdin=None if stdin is not None else subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
