"""A sync's own file: ~/.velmora/syncs/NAME.sqlite (the folder 0700, the file 0600).

It names what the sync loads (object, operation, key, where its records are kept) and holds:
- `records`: each key the org confirmed, the fingerprint of the row it last took, and the
  record's Salesforce Id (unless the records live in a warehouse table, kavrel.load.sync.warehouse);
- `pending`: the fingerprint of each row the current run hands to its jobs, written before the
  rows go out, so that the org's confirmation of a key can say which values it took;
- `deletes`: the records the current run's mirror deletes (keys that left the query);
- `folded`: the jobs whose results are in the state already, so that none is counted twice;
- `runs`: each run's load, its counts and how it ended.

The state changes only with what a load's jobs report, after the org reported it: it is never
ahead of the org. One run of a sync at a time: a run holds an exclusive lock on the file.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
import sqlite3
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from kavrel.load.results import make_private_dir

SUFFIX = ".sqlite"
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS about (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS records (key TEXT PRIMARY KEY, fingerprint TEXT NOT NULL, sf_id TEXT)
    WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS records_by_id ON records (sf_id);
CREATE TABLE IF NOT EXISTS pending (key TEXT PRIMARY KEY, fingerprint TEXT NOT NULL,
                                    warehouse_key TEXT);
CREATE TABLE IF NOT EXISTS deletes (key TEXT PRIMARY KEY, sf_id TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS folded (job_id TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS runs (load_id TEXT PRIMARY KEY, role TEXT NOT NULL, started REAL,
                                 ended REAL, counts TEXT, outcome TEXT);
"""


class SyncRefused(RuntimeError):
    """The sync cannot run (or be resumed) as things stand; nothing was sent."""


class UnknownSync(LookupError):
    """No sync of that name on this machine."""


def syncs_dir() -> Path:
    from kavrel.user.connections import get_velmora_dir

    return Path(get_velmora_dir()) / "syncs"


def sync_path(name: str) -> Path:
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(
            f"a sync's name is 1 to 64 letters, digits, '_', '.' or '-', starting with a letter "
            f"or digit, not {name!r}"
        )
    return syncs_dir() / f"{name}{SUFFIX}"


def names() -> list[str]:
    """The syncs of this machine, by name."""
    try:
        return sorted(path.name.removesuffix(SUFFIX) for path in syncs_dir().glob(f"*{SUFFIX}"))
    except OSError:
        return []


class SyncFile:
    """The open file of one sync. `locked()` holds it for one run; every other method reads or
    writes in transactions of its own."""

    def __init__(self, name: str, create: bool = False) -> None:
        self.name = name
        self.path = sync_path(name)
        if not create and not self.path.is_file():
            raise UnknownSync(f"no sync named '{name}' on this machine")
        make_private_dir(self.path.parent)
        descriptor = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        os.close(descriptor)
        os.chmod(self.path, 0o600)
        self.db = sqlite3.connect(self.path, isolation_level=None)
        self.db.execute("PRAGMA synchronous = FULL")
        # A run's scratch tables (every key it read) spill to a file as the warehouse grows.
        self.db.execute("PRAGMA temp_store = FILE")
        self.db.executescript(_SCHEMA)
        self._lock: int | None = None

    # -- the lock -------------------------------------------------------------------------------

    @contextlib.contextmanager
    def locked(self) -> Iterator[SyncFile]:
        descriptor = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(descriptor)
            raise SyncRefused(f"sync {self.name} is running in another process") from None
        try:
            yield self
        finally:
            os.close(descriptor)

    def close(self) -> None:
        with contextlib.suppress(sqlite3.Error):
            self.db.close()

    # -- what the sync is ---------------------------------------------------------------------

    def about(self) -> dict[str, Any]:
        return {name: json.loads(value) for name, value in self.db.execute("SELECT * FROM about")}

    def set_about(self, **values: Any) -> None:
        with self.transaction():
            self.db.executemany(
                "INSERT OR REPLACE INTO about VALUES (?, ?)",
                [(name, json.dumps(value)) for name, value in values.items()],
            )

    @contextlib.contextmanager
    def transaction(self) -> Iterator[sqlite3.Connection]:
        self.db.execute("BEGIN IMMEDIATE")
        try:
            yield self.db
        except BaseException:
            self.db.execute("ROLLBACK")
            raise
        self.db.execute("COMMIT")

    # -- the current run ----------------------------------------------------------------------

    def begin_run(self, load_id: str, role: str) -> None:
        """The run's load, named before any of its rows goes out."""
        with self.transaction() as db:
            db.execute(
                "INSERT OR REPLACE INTO runs (load_id, role, started) VALUES (?, ?, ?)",
                (load_id, role, time.time()),
            )
            key = "current_load" if role == "rows" else "current_mirror"
            db.execute("INSERT OR REPLACE INTO about VALUES (?, ?)", (key, json.dumps(load_id)))

    def end_run(self, load_id: str, counts: dict[str, Any] | None, outcome: str) -> None:
        with self.transaction() as db:
            db.execute(
                "UPDATE runs SET ended = ?, counts = COALESCE(?, counts), outcome = ? "
                "WHERE load_id = ?",
                (time.time(), None if counts is None else json.dumps(counts), outcome, load_id),
            )

    def set_counts(self, load_id: str, counts: dict[str, Any]) -> None:
        with self.transaction() as db:
            db.execute(
                "UPDATE runs SET counts = ? WHERE load_id = ?", (json.dumps(counts), load_id)
            )

    def clear_run(self) -> None:
        """Forgets what the current run (settled now) had pending; the records stay."""
        with self.transaction() as db:
            db.execute("DELETE FROM pending")
            db.execute("DELETE FROM deletes")
            db.execute("DELETE FROM about WHERE name IN ('current_load', 'current_mirror')")

    def runs(self, limit: int | None = None) -> list[dict[str, Any]]:
        rows = self.db.execute(
            "SELECT load_id, role, started, ended, counts, outcome FROM runs "
            "ORDER BY started DESC" + ("" if limit is None else f" LIMIT {int(limit)}")
        ).fetchall()
        return [
            {"load_id": r[0], "role": r[1], "started": r[2], "ended": r[3],
             "counts": json.loads(r[4]) if r[4] else None, "outcome": r[5]}
            for r in rows
        ]  # fmt: skip

    def add_pending(self, rows: Iterable[tuple[str, str, str | None]]) -> None:
        """(key, fingerprint, warehouse key) of rows about to go out; synced before they do."""
        with self.transaction() as db:
            db.executemany("INSERT OR REPLACE INTO pending VALUES (?, ?, ?)", rows)

    def set_deletes(self, rows: Iterable[tuple[str, str]]) -> int:
        with self.transaction() as db:
            db.execute("DELETE FROM deletes")
            db.executemany("INSERT OR REPLACE INTO deletes VALUES (?, ?)", rows)
            return int(db.execute("SELECT COUNT(*) FROM deletes").fetchone()[0])

    def deletes(self) -> list[tuple[str, str]]:
        return [(str(k), str(i)) for k, i in self.db.execute("SELECT key, sf_id FROM deletes")]

    def folded(self, job_id: str) -> bool:
        found = self.db.execute("SELECT 1 FROM folded WHERE job_id = ?", (job_id,)).fetchone()
        return found is not None

    def confirmed_rows(self, pairs: list[tuple[str, str]]) -> list[tuple[str, str, str, str]]:
        """For each (key, Salesforce Id) the org confirmed: the key, the fingerprint it was sent
        with ('' when the run wrote none down), the Id, and the warehouse's key for it."""
        with self.transaction() as db:
            db.execute("CREATE TEMP TABLE IF NOT EXISTS confirmed (key TEXT, sf_id TEXT)")
            db.execute("DELETE FROM temp.confirmed")
            db.executemany("INSERT INTO temp.confirmed VALUES (?, ?)", pairs)
            return db.execute(
                "SELECT c.key, COALESCE(p.fingerprint, ''), c.sf_id, "
                "COALESCE(p.warehouse_key, c.key) FROM temp.confirmed c "
                "LEFT JOIN pending p ON p.key = c.key"
            ).fetchall()


class LocalRecords:
    """The records of a sync kept in its own file."""

    def __init__(self, file: SyncFile) -> None:
        self.file = file
        self.db = file.db

    def confirm(self, job_id: str, rows: list[tuple[str, str, str, str]]) -> None:
        with self.file.transaction() as db:
            db.executemany("INSERT OR REPLACE INTO records VALUES (?, ?, ?)", [r[:3] for r in rows])
            db.execute("INSERT OR IGNORE INTO folded VALUES (?)", (job_id,))

    def remove(self, job_id: str, sf_ids: list[str]) -> None:
        with self.file.transaction() as db:
            db.executemany("DELETE FROM records WHERE sf_id = ?", [(i,) for i in sf_ids])
            db.executemany("DELETE FROM deletes WHERE sf_id = ?", [(i,) for i in sf_ids])
            db.execute("INSERT OR IGNORE INTO folded VALUES (?)", (job_id,))

    def count(self) -> int:
        return int(self.db.execute("SELECT COUNT(*) FROM records").fetchone()[0])

    def clear(self) -> None:
        with self.file.transaction() as db:
            db.execute("DELETE FROM records")


# --- looking back ---------------------------------------------------------------------------


def describe(name: str) -> dict[str, Any]:
    """A sync as `kavrel sync show` tells it: what it loads, its keys, its runs, newest first."""
    file = SyncFile(name)
    try:
        about = file.about()
        runs = file.runs()
        local = LocalRecords(file).count() if not about.get("state_table") else None
    finally:
        file.close()
    return {
        "name": name, "object": about.get("object"), "operation": about.get("operation"),
        "key": about.get("key"), "state_table": about.get("state_table"),
        "synced_keys": local if local is not None else about.get("keys"),
        "created": about.get("created"), "unfinished_load": about.get("current_load"),
        "runs": runs,
    }  # fmt: skip


def forget(name: str) -> None:
    """Removes the sync's state: its next run sends every row (a state table is emptied then)."""
    file = SyncFile(name)
    try:
        with file.locked():
            file.path.unlink()
    finally:
        file.close()
