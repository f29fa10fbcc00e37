"""The installed package as a user meets it: the command's version, every compiled module, and one
load from a SQLite file into the local Bulk API server (with the object descriptions it ships),
all from the installed files only. Run with the Python of the venv that holds the wheel."""

from __future__ import annotations

import importlib
import os
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

from kavrel._extensions import EXTENSION_MODULES


def kavrel(*args: str, env: dict[str, str] | None = None) -> str:
    command = [str(Path(sys.executable).with_name("kavrel")), *args]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
    if done.returncode != 0:
        raise SystemExit(f"kavrel {' '.join(args)} failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


def main() -> None:
    print(kavrel("--version").strip())
    for name in EXTENSION_MODULES:
        importlib.import_module(name)
    print(f"{len(EXTENSION_MODULES)} compiled modules import")
    server = subprocess.Popen(
        [sys.executable, "-m", "kavrel.salesforce.emulator", "--port", "0", "--schema", "standard"],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        url = server.stdout.readline().strip()
        with tempfile.TemporaryDirectory() as folder:
            db = Path(folder) / "w.db"
            with sqlite3.connect(db) as connection:
                connection.execute("CREATE TABLE a (Name TEXT)")
                connection.executemany("INSERT INTO a VALUES (?)", [("Acme",), ("Globex",)])
            connection.close()
            env = {**os.environ, "SF_ACCESS_TOKEN": "local-token", "HOME": folder}
            table = kavrel("insert", "--sobject", "Account", "--query", "SELECT Name FROM a",
                           "--sqlite", str(db), "--instance-url", url, "--results-dir", folder,
                           env=env)  # fmt: skip
    finally:
        server.terminate()
        server.wait()
    print(table.splitlines()[-1])


if __name__ == "__main__":
    main()
