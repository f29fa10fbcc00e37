"""The live progress display of the load commands on a terminal.

It is a logging handler: the load runner already says what happens to each job in the `extra` of
its log records (`job_id` and `job_event`, the job's batch and slot, the status document of each
check, the load's plan, the batch being read), so the display needs no hook inside it. It shows
what each job slot is doing, then the jobs that have ended. Records are grouped into loads by the
thread that logged them, so loads run side by side in threads each get their lines. Every change
and the redraw happen under one lock; a ticker thread redraws once a second so the elapsed time
moves while the jobs are checked.

The display is drawn on standard error with plain ANSI sequences, only when both standard output
and standard error are terminals: output piped to a file or another program never receives a
control sequence. Log lines that are still shown (warnings, or everything with -v) are written
above the display through `ProgressDisplay.above`.
"""

from __future__ import annotations

import logging
import os
import shutil
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import IO, Any

from kavrel.load.summary import records_text

SHOWN_JOBS = 6  # per load; older finished jobs are summed up in one line
REDRAW_SECONDS = 1.0
_UP_AND_CLEAR = "\x1b[{n}F\x1b[J"
_CLEAR_FROM_CURSOR = "\x1b[J"

# What a job event means for the state shown before the first status poll says more.
_EVENT_STATES = {
    "created": "Open",
    "sent": "Open (data sent)",
    "closing": "UploadComplete",
    "closed": "UploadComplete",
    "aborted": "Aborted",
    "open": "Open (could not abort)",
    "error": "error",
}


def wanted(stdout: IO[str] | None = None, stderr: IO[str] | None = None) -> bool:
    """True when a live display suits the streams: both terminals, and not a dumb one."""
    streams = (stdout or sys.stdout, stderr or sys.stderr)
    if os.environ.get("TERM", "") in ("", "dumb"):
        return False
    return all(_is_terminal(stream) for stream in streams)


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


@dataclass
class JobView:
    job_id: str
    batch: int | None
    rows: int | None
    state: str
    processed: int | None = None
    ended: bool = False
    slot: int | None = None
    sent: bool = False


@dataclass
class LoadView:
    label: str
    started: float
    total_rows: int | None = None
    batches: int | None = None
    parallel: int = 1
    batch: int | None = None  # the last batch read
    reading: int | None = None  # the batch being read
    rows_sent: int = 0
    jobs: dict[str, JobView] = field(default_factory=dict)
    finished: float | None = None


class _Above:
    """A stream whose writes appear above the display (for a logging.StreamHandler)."""

    def __init__(self, display: ProgressDisplay) -> None:
        self._display = display

    def write(self, text: str) -> None:
        self._display.write_above(text)

    def flush(self) -> None:
        pass


class ProgressDisplay(logging.Handler):
    """Follows loads through their log records and draws them on `stream`."""

    def __init__(self, stream: IO[str] | None = None, live: bool = True) -> None:
        super().__init__(logging.DEBUG)
        self.stream = stream or sys.stderr
        self.live = live
        self.loads: dict[int, LoadView] = {}
        self.above = _Above(self)
        self._guard = threading.RLock()
        self._drawn_lines = 0
        self._drawn: list[str] = []
        self._stopped = threading.Event()
        self._ticker: threading.Thread | None = None

    # --- what the loads tell ---------------------------------------------------------------

    def begin_load(self, label: str, thread: int | None = None) -> LoadView:
        """Starts (or restarts) the lines of the load run by `thread` (default: this one)."""
        key = threading.get_ident() if thread is None else thread
        with self._guard:
            load = self.loads[key] = LoadView(label, time.monotonic())
        self.redraw()
        return load

    def end_load(self, thread: int | None = None) -> None:
        key = threading.get_ident() if thread is None else thread
        with self._guard:
            load = self.loads.get(key)
            if load is not None and load.finished is None:
                load.finished = time.monotonic()
        self.redraw()

    def emit(self, record: logging.LogRecord) -> None:
        try:
            with self._guard:
                load = self.loads.get(record.thread or 0)
                if load is None:
                    load = self.loads[record.thread or 0] = LoadView("load", time.monotonic())
                _apply(load, record)
            self.redraw()
        except Exception:
            self.handleError(record)

    # --- drawing -----------------------------------------------------------------------------

    def start(self) -> None:
        if self.live and self._ticker is None:
            self._ticker = threading.Thread(target=self._tick, name="kavrel-progress", daemon=True)
            self._ticker.start()

    def stop(self) -> None:
        """Stops the ticker and leaves the last frame on the screen."""
        self._stopped.set()
        if self._ticker is not None:
            self._ticker.join()
            self._ticker = None
        with self._guard:
            now = time.monotonic()
            for load in self.loads.values():
                load.finished = load.finished or now
            self.redraw()
            self._drawn_lines = 0

    def _tick(self) -> None:
        while not self._stopped.wait(REDRAW_SECONDS):
            self.redraw()

    def write_above(self, text: str) -> None:
        with self._guard:
            self._write(self._erase() + text)
            self._drawn_lines = 0
            self.redraw()

    def redraw(self) -> None:
        if not self.live:
            return
        with self._guard:
            if not self.loads and not self._drawn_lines:
                return
            width = max(20, shutil.get_terminal_size().columns - 1)
            lines = [line[:width] for line in self.lines()]
            if self._drawn_lines and lines == self._drawn:
                return  # a record that changed nothing shown
            self._write(self._erase() + "".join(line + "\n" for line in lines))
            self._drawn_lines = len(lines)
            self._drawn = lines

    def _erase(self) -> str:
        if not self._drawn_lines:
            return _CLEAR_FROM_CURSOR if self.live else ""
        return _UP_AND_CLEAR.format(n=self._drawn_lines)

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            pass

    def lines(self, now: float | None = None) -> list[str]:
        """The frame: per load, a headline and its most recent jobs."""
        now = time.monotonic() if now is None else now
        with self._guard:
            out: list[str] = []
            for load in self.loads.values():
                out += load_lines(load, now)
            return out


def _apply(load: LoadView, record: logging.LogRecord) -> None:
    """Updates `load` with what `record` carries in its `extra`."""
    values = record.__dict__
    if "load_rows" in values:
        load.total_rows = _int(values["load_rows"])
        load.batches = _int(values.get("load_batches"))
    if "load_parallel" in values:
        load.parallel = _int(values["load_parallel"]) or 1
    job_id = values.get("job_id")
    event = values.get("job_event")
    if values.get("load_event") == "reading":
        load.reading = _int(values.get("batch"))
    elif values.get("load_event") == "read":  # the rows are all read
        load.reading = None
    elif "batch" in values and job_id is None:  # a batch has been read
        load.reading = None
        load.batch = max(load.batch or 0, _int(values["batch"]) or 0)
    if job_id is None or event is None:
        return
    job_id = str(job_id)
    job = load.jobs.get(job_id)
    if job is None:
        batch, rows = _int(values.get("batch")), _int(values.get("batch_rows"))
        job = load.jobs[job_id] = JobView(job_id, batch, rows, "Open")
    if "slot" in values:
        job.slot = _int(values["slot"])
    if event == "sent" and not job.sent:
        job.sent = True
        load.rows_sent += job.rows or 0
    status = values.get("job_status")
    if event == "polled" and isinstance(status, dict):
        job.state = str(status.get("state") or job.state)
        job.processed = _int(status.get("numberRecordsProcessed"))
    elif event in ("ended", "left"):
        job.ended = True
    elif event in _EVENT_STATES and not job.ended:
        job.state = _EVENT_STATES[event]
        job.ended = event in ("aborted", "error")


def _int(value: Any) -> int | None:
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def elapsed_text(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def load_lines(load: LoadView, now: float) -> list[str]:
    elapsed = elapsed_text((load.finished or now) - load.started)
    parts = [load.label + ":"]
    if load.total_rows is not None:
        parts.append(f"{load.rows_sent:,} of {load.total_rows:,} rows sent,")
    if load.batches is not None and load.batch is not None:
        parts.append(f"batch {load.batch:,} of {load.batches:,},")
    parts.append(f"{elapsed} elapsed")
    lines = [" ".join(parts)]
    ended = [job for job in load.jobs.values() if job.ended]
    hidden = ended[:-SHOWN_JOBS] if len(ended) > SHOWN_JOBS else []
    if hidden:
        lines.append(f"  ... {len(hidden):,} earlier job(s)")
    lines += [f"  {job_text(job)}" for job in ended[len(hidden) :]]
    running = sorted((job for job in load.jobs.values() if not job.ended), key=_slot_order)
    for job in running:
        slot = f"slot {job.slot}: " if load.parallel > 1 and job.slot is not None else ""
        lines.append(f"  {slot}{job_text(job)}")
    if load.reading is not None and load.finished is None:
        lines.append(f"  reading batch {load.reading:,}")
    return lines


def _slot_order(job: JobView) -> int:
    return job.slot or 0


def job_text(job: JobView) -> str:
    """A job's line: its batch, its id, what it is doing."""
    batch = "" if job.batch is None else f"batch {job.batch:,}  "
    state = job.state
    if state == "Open" and not job.ended:
        state = f"uploading {job.rows:,} rows" if job.rows is not None else "uploading"
    processed = "" if job.processed is None else f", {records_text(job.processed)} processed"
    return f"{batch}job {job.job_id}  {state}{processed}"
