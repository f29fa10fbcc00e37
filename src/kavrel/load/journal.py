"""A load's journal: what the load did, each step written down before it is taken, so that a
stopped load can say what landed and be finished later from the same rows.

Every load keeps one in ~/.velmora/loads/ (the folder 0700, the file 0600): a file of JSON lines.
The first line tells the load (its id, operation, object, batches, the profiles by name, the
source and what reading the same rows again takes); each later line is one change of state,
written and synced before the act it announces goes out. A batch is "creating" before its
creation request leaves, its job id is down before its upload starts, "closing" before its close.
A line is one write(2), so a process killed at any instant leaves whole lines; a torn last line
(the machine went down between a write and its sync) is left out when the journal is read.

The file is only ever appended to: its state is the fold of its lines (`read`, `LoadRecord`).
Nothing secret goes in: no token, key or password, only the names of the profiles.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import secrets
import socket
import time
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from kavrel.load.results import make_private_dir
from kavrel.load.summary import FINISHED_STATES, JobOutcome, LoadSummary

FORMAT = 1
SUFFIX = ".journal"
# The records a retry load sends, kept beside its journal so that it too can be resumed.
RECORDS_SUFFIX = ".records.csv"
HISTORY_DAYS = 30
HISTORY_VARIABLE = "KAVREL_LOAD_HISTORY_DAYS"
LAST = "last"  # what `kavrel load resume last` names: the newest load
_LOAD_ID = re.compile(r"[0-9]{8}-[0-9]{6}-[0-9a-f]{4,16}")


class UnknownLoad(LookupError):
    """No journal of that load id (or no load at all, for "last")."""


class JournalUnreadable(ValueError):
    """A journal whose lines do not tell a load: damaged, or not a journal."""


def loads_dir() -> Path:
    from kavrel.user.connections import get_velmora_dir

    return Path(get_velmora_dir()) / "loads"


def journal_path(load_id: str) -> Path:
    if not _LOAD_ID.fullmatch(load_id):
        raise UnknownLoad(f"'{load_id}' is not a load id (they look like 20261209-101530-3f9a)")
    return loads_dir() / f"{load_id}{SUFFIX}"


def _new_load_id() -> str:
    return time.strftime("%Y%m%d-%H%M%S", time.gmtime()) + "-" + secrets.token_hex(2)


def _line(event: str, details: Mapping[str, Any]) -> bytes:
    document = {"event": event, "at": round(time.time(), 3), **details}
    return (json.dumps(document, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


_sync = getattr(os, "fdatasync", os.fsync)


class Journal:
    """The journal a running load writes. `record(event, details)` appends one line and syncs it;
    `state()` is what the lines written so far tell. A journal without a file (`in_memory`)
    keeps its lines in memory only, for a load that is not to be resumed."""

    def __init__(self, load_id: str, path: Path | None, events: list[dict[str, Any]]) -> None:
        self.load_id = load_id
        self.path = path
        self._events = events
        self._descriptor: int | None = None
        if path is not None:
            self._descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)

    @classmethod
    def start(cls, load: Mapping[str, Any]) -> Journal:
        """The journal of a new load: a new id, and the file holding the load's first line."""
        directory = loads_dir()
        make_private_dir(directory)
        os.chmod(directory, 0o700)
        while True:
            load_id = _new_load_id()
            path = directory / f"{load_id}{SUFFIX}"
            try:
                descriptor = os.open(
                    path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600
                )
            except FileExistsError:
                continue
            os.close(descriptor)
            break
        journal = cls(load_id, path, [])
        journal.record("load", {"format": FORMAT, "load_id": load_id, **load, **_this_process()})
        return journal

    @classmethod
    def in_memory(cls, load: Mapping[str, Any]) -> Journal:
        journal = cls(_new_load_id(), None, [])
        journal.record("load", {"format": FORMAT, "load_id": journal.load_id, **load})
        return journal

    @classmethod
    def reopen(cls, load_id: str) -> Journal:
        """The journal of a load that stopped, appended to by the run that resumes it."""
        path = journal_path(load_id)
        events = list(_read_events(path))
        journal = cls(load_id, path, events)
        journal.record("run", _this_process())
        return journal

    def record(self, event: str, details: Mapping[str, Any]) -> None:
        line = _line(event, details)
        if self._descriptor is not None:
            view = memoryview(line)
            while view:
                view = view[os.write(self._descriptor, view) :]
            _sync(self._descriptor)
        self._events.append(json.loads(line))

    def state(self) -> LoadRecord:
        return fold(self._events)

    def close(self) -> None:
        if self._descriptor is not None:
            with contextlib.suppress(OSError):
                os.close(self._descriptor)
            self._descriptor = None

    def __enter__(self) -> Journal:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def _this_process() -> dict[str, Any]:
    return {"pid": os.getpid(), "host": socket.gethostname()}


# --- reading ------------------------------------------------------------------------------------


def _read_events(path: Path) -> Iterator[dict[str, Any]]:
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise UnknownLoad(f"no load {path.name.removesuffix(SUFFIX)} in {path.parent}") from None
    lines = data.split(b"\n")
    complete, torn = lines[:-1], lines[-1]  # a last line without its newline never finished
    del torn
    for number, line in enumerate(complete, 1):
        try:
            event = json.loads(line)
        except ValueError:
            if number == len(complete):  # written, never synced: the machine went down
                return
            raise JournalUnreadable(f"line {number} of {path} is not a journal line") from None
        if not isinstance(event, dict) or "event" not in event:
            raise JournalUnreadable(f"line {number} of {path} is not a journal line")
        if number == 1 and event["event"] != "load":
            raise JournalUnreadable(f"{path} does not start with a load")
        yield event
    if not complete:
        raise JournalUnreadable(f"{path} is empty: its load never started")


def read(load_id: str) -> LoadRecord:
    """What the journal of `load_id` ("last": the newest load) tells."""
    if load_id == LAST:
        newest = next(iter(history(limit=1)), None)
        if newest is None:
            raise UnknownLoad("no load has run yet")
        return newest
    return fold(_read_events(journal_path(load_id)))


def history(limit: int | None = None) -> list[LoadRecord]:
    """The loads of this machine's journals, newest first (a damaged journal is left out)."""
    found = []
    for path in _journal_files():
        try:
            found.append(fold(_read_events(path)))
        except (JournalUnreadable, UnknownLoad, OSError):
            continue
    found.sort(key=lambda record: (record.started, record.load_id), reverse=True)
    return found if limit is None else found[:limit]


def _journal_files(changed_since: float | None = None) -> list[Path]:
    try:
        paths = list(loads_dir().glob(f"*{SUFFIX}"))
    except OSError:
        return []
    if changed_since is None:
        return paths
    recent = []
    for path in paths:
        with contextlib.suppress(OSError):
            if path.stat().st_mtime >= changed_since:
                recent.append(path)
    return recent


def history_days() -> float:
    text = os.environ.get(HISTORY_VARIABLE, "").strip()
    if not text:
        return HISTORY_DAYS
    try:
        days = float(text)
    except ValueError:
        raise ValueError(f"${HISTORY_VARIABLE} must be a number of days, not {text!r}") from None
    if not days > 0:
        raise ValueError(f"${HISTORY_VARIABLE} must be a positive number of days, not {text!r}")
    return days


def prune(days: float | None = None) -> list[str]:
    """Removes the journals (and a retry's records) not written to for `days` (default: the
    history's length); returns the load ids removed."""
    horizon = time.time() - 86400 * (history_days() if days is None else days)
    removed = []
    with contextlib.suppress(OSError):
        for path in [*_journal_files(), *loads_dir().glob(f"*{RECORDS_SUFFIX}")]:
            try:
                if path.stat().st_mtime >= horizon:
                    continue
                path.unlink()
            except OSError:
                continue
            if path.name.endswith(SUFFIX):
                removed.append(path.name.removesuffix(SUFFIX))
    return removed


# --- what the lines tell ------------------------------------------------------------------------

# What is left to do for a batch, by what its journal says:
DONE = "done"  # its job was closed and has finished
RUNNING = "running"  # its job was closed (or its close sent) and may still be processing
OPEN = "open"  # its job was created and never closed: Open, holding no rows the org will load
LOST = "lost"  # its creation may have made a job nobody knows: to look up before sending it
UNSENT = "unsent"  # no job of the org holds its rows: to send


@dataclass
class BatchRecord:
    """One batch as its journal lines tell it, its latest attempt first of all."""

    number: int
    rows: int
    first_row: int | None = None
    digest: str | None = None
    kind: str = "rows"  # "rows" of the source, or "lock_retry": records sent again
    job_id: str | None = None
    state: str = "creating"
    closing: bool = False  # its close was sent
    withdrawn: bool = False  # aborted while Open by this load: none of its data was processed
    lost: bool = False  # a creation whose job may exist, unnamed
    since: float | None = None  # when its latest creation request went out
    processed: int | None = None
    failed: int | None = None
    retried: int = 0
    retried_in: int | None = None
    error: str | None = None
    error_message: str | None = None
    files: dict[str, str] = field(default_factory=dict)
    abandoned: list[str] = field(default_factory=list)  # jobs of earlier attempts, aborted
    suspects: list[str] = field(default_factory=list)  # Open jobs it may have made, not aborted

    @property
    def phase(self) -> str:
        if self.job_id is None:
            return LOST if self.state == "creating" or self.lost else UNSENT
        if self.withdrawn:
            return UNSENT
        if self.state in FINISHED_STATES:
            return DONE
        return RUNNING if self.closing else OPEN

    def outcome(self) -> JobOutcome:
        error = self.error
        if self.phase == LOST and error is None:
            error = "its job was being created when the load stopped"
        return JobOutcome(
            self.number,
            self.job_id,
            self.rows,
            self.state,
            self.processed,
            self.failed,
            self.retried,
            self.retried_in,
            error,
            self.error_message,
            {kind: Path(path) for kind, path in self.files.items()},
        )

    def job_ids(self) -> list[str]:
        return [*self.abandoned, *([self.job_id] if self.job_id else []), *self.suspects]


@dataclass
class LoadRecord:
    """A load as its journal tells it: what it was asked, its batches, how its runs ended."""

    load_id: str
    load: dict[str, Any]  # the first line: what the load was asked to do
    batches: dict[int, BatchRecord] = field(default_factory=dict)
    rows_read: int | None = None  # the rows of the whole read, once it was complete
    runs: list[dict[str, Any]] = field(default_factory=list)
    ended: float | None = None
    end: dict[str, Any] | None = None  # the latest run's end: ok, stopped, interrupted
    changed: float = 0.0  # the time of its latest line
    left_out: int = 0  # records predicted to fail, sent to no job (a checked load's)

    @property
    def started(self) -> float:
        return float(self.load.get("at", 0.0))

    @property
    def finished(self) -> bool:
        """Its latest run reached the end with nothing left to send or follow."""
        if self.end is None or self.end.get("stopped") or self.end.get("interrupted"):
            return False
        return self.rows_read is not None and all(
            batch.phase == DONE for batch in self.batches.values()
        )

    @property
    def running_elsewhere(self) -> dict[str, Any] | None:
        """The process of this machine still running the load's latest run, if it is alive."""
        if self.end is not None or not self.runs:
            return None
        run = self.runs[-1]
        if run.get("host") != socket.gethostname() or not _alive(run.get("pid")):
            return None
        return run

    @property
    def state(self) -> str:
        """ "finished", "stopped" (it ended early, or was stopped), "killed" (it ended without a
        word) or "running"."""
        if self.end is None:
            return "running" if self.running_elsewhere else "killed"
        return "finished" if self.finished else "stopped"

    @property
    def query_rows(self) -> int:
        total = self.load.get("total_rows")
        if isinstance(total, int):
            return total
        if self.rows_read is not None:
            return self.rows_read + self.left_out
        return sum(b.rows for b in self.batches.values() if b.kind == "rows") + self.left_out

    def source_batches(self) -> list[BatchRecord]:
        return [b for _, b in sorted(self.batches.items()) if b.kind == "rows"]

    def summary(self) -> LoadSummary:
        """The load's summary, both runs and all: every batch's latest attempt."""
        jobs = [batch.outcome() for _, batch in sorted(self.batches.items())]
        end = self.end or {}
        stopped = end.get("stopped")
        if self.end is None and self.state == "killed":
            stopped = "it ended without a word (killed, or its machine went down)"
        summary = LoadSummary(self.query_rows, jobs, stopped=stopped, left_out=self.left_out)
        summary.load_id = self.load_id
        summary.interrupted = bool(end.get("interrupted"))
        summary.notes = list(end.get("notes", []))
        return summary

    def job_ids(self) -> set[str]:
        return {job_id for batch in self.batches.values() for job_id in batch.job_ids()}

    def pending_creations(self, since: float) -> bool:
        """Whether a creation of this load's may have made a job since `since` that its journal
        does not name yet (its answer on the way, or lost)."""
        return any(
            batch.phase == LOST and (batch.since or 0.0) >= since for batch in self.batches.values()
        )


def _alive(pid: Any) -> bool:
    if not isinstance(pid, int) or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def fold(events: Iterable[Mapping[str, Any]]) -> LoadRecord:
    """The state the lines of a journal tell, in order."""
    record: LoadRecord | None = None
    for event in events:
        kind = event["event"]
        if record is None:
            record = LoadRecord(str(event.get("load_id")), dict(event))
            record.runs.append({k: event.get(k) for k in ("pid", "host", "at")})
            continue
        record.changed = float(event.get("at", record.changed))
        _apply(record, kind, event)
    if record is None:
        raise JournalUnreadable("a journal starts with its load")
    return record


def _batch(record: LoadRecord, event: Mapping[str, Any]) -> BatchRecord:
    number = int(event["batch"])
    batch = record.batches.get(number)
    if batch is None:
        batch = record.batches[number] = BatchRecord(number, int(event.get("rows") or 0))
    return batch


def _apply(record: LoadRecord, kind: str, event: Mapping[str, Any]) -> None:
    if kind == "run":
        record.runs.append({k: event.get(k) for k in ("pid", "host", "at")})
        record.end = record.ended = None
    elif kind == "end":
        record.end, record.ended = dict(event), float(event["at"])
        record.left_out = max(record.left_out, int(event.get("left_out") or 0))
    elif kind == "read":
        rows = int(event["rows"])
        record.rows_read = rows if record.rows_read is None else max(record.rows_read, rows)
    elif kind == "superseded":
        superseded = record.batches.pop(int(event["batch"]), None)
        for batch in record.batches.values():
            if superseded is not None and batch.retried_in == superseded.number:
                batch.retried, batch.retried_in = 0, None
    elif "batch" in event and event["batch"] is not None:
        _apply_to_batch(_batch(record, event), kind, event)


def _apply_to_batch(batch: BatchRecord, kind: str, event: Mapping[str, Any]) -> None:
    if kind == "creating":
        if batch.job_id is not None:
            batch.abandoned.append(batch.job_id)
        batch.rows = int(event.get("rows") or batch.rows)
        batch.first_row = event.get("first_row", batch.first_row)
        batch.digest = event.get("digest") or batch.digest
        batch.kind = str(event.get("kind", batch.kind))
        batch.since = event.get("since")
        batch.job_id, batch.state, batch.closing, batch.withdrawn, batch.lost = (
            None, "creating", False, False, False,
        )  # fmt: skip
        batch.processed = batch.failed = batch.error = batch.error_message = None
    elif kind == "created":
        batch.job_id, batch.state = str(event["job_id"]), "Open"
    elif kind == "closing":
        batch.closing = True
    elif kind in ("closed", "state"):
        batch.state = str(event["state"])
        batch.closing = batch.closing or kind == "closed"
    elif kind == "withdrawn":
        batch.withdrawn, batch.state = True, "Aborted"
        batch.processed = batch.failed = 0
    elif kind == "retrying":
        batch.state, batch.error, batch.lost = "error", event.get("error"), False
    elif kind == "lost":
        batch.abandoned += [str(job) for job in event.get("aborted", ())]
        batch.suspects = [str(job) for job in event.get("left", ())]
    elif kind in ("ended", "left", "failed", "checked"):
        _apply_outcome(batch, kind, event)
    elif kind == "retried":
        batch.retried, batch.retried_in = int(event["retried"]), event.get("retried_in")
    elif kind == "files":
        batch.files.update({str(k): str(v) for k, v in event.get("files", {}).items()})
        if event.get("error"):  # a file that could not be saved says so in the summary
            batch.error = str(event["error"])


def _apply_outcome(batch: BatchRecord, kind: str, event: Mapping[str, Any]) -> None:
    if kind == "failed":
        if event.get("job_id") is None and batch.job_id is None:
            batch.lost = bool(event.get("lost"))
        batch.rows = int(event.get("rows") or batch.rows)
    if event.get("job_id") is not None:
        batch.job_id = str(event["job_id"])
    batch.state = str(event.get("state") or batch.state)
    if batch.withdrawn and kind == "failed":
        batch.state = "Aborted"  # the abort it had is what became of it
    for name in ("processed", "failed", "error", "error_message"):
        if name in event and not (batch.withdrawn and name in ("processed", "failed")):
            setattr(batch, name, event[name])
