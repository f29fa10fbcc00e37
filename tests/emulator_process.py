"""The local Bulk API server in its own process, for the tests, the benchmarks and the demo.

Asking for port 0 and reading the URL it prints avoids the race of probing for a free port first.
"""

from __future__ import annotations

import subprocess
import sys
from typing import Any


def run_in_subprocess(*options: str, stderr: Any = None) -> tuple[subprocess.Popen, str]:
    """Starts `python -m kavrel.salesforce.emulator` on a free port with these options, its
    standard error going to `stderr` (default: this process's).

    Returns the process and its base URL (after a `certificate:` line when it serves https).
    The caller terminates the process.
    """
    command = [sys.executable, "-m", "kavrel.salesforce.emulator", "--port", "0", *options]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True)
    line = server.stdout.readline().strip()
    if line.startswith("certificate: "):
        line = server.stdout.readline().strip()
    if not line:
        server.kill()
        server.wait()
        raise RuntimeError("the local Bulk API server did not start")
    return server, line
