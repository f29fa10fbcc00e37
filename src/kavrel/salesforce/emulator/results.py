"""Job results kept out of memory: each part of each job (successful, failed and unprocessed
records, as the CSV the client downloads) is a run of zlib-compressed pieces, one written per chunk
of records processed, in a SQLite database of its own in a temporary file. The server's memory so
stays the same however many jobs it has run and however large their results; the file is removed
when the server stops. A download joins a part's pieces.
"""

from __future__ import annotations

import os
import sqlite3
import tempfile
import threading
import zlib
from pathlib import Path


class ResultStore:
    """The results of every job; safe to use from several threads."""

    def __init__(self) -> None:
        handle, path = tempfile.mkstemp(prefix="kavrel-emulator-results-", suffix=".db")
        os.close(handle)
        self.path = Path(path)
        self._lock = threading.Lock()
        self._connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        # A scratch file: nothing in it must survive a crash.
        self._connection.execute("PRAGMA journal_mode = OFF")
        self._connection.execute("PRAGMA synchronous = OFF")
        self._connection.execute("CREATE TABLE pieces (job TEXT, part TEXT, data BLOB)")
        self._connection.execute("CREATE INDEX pieces_of_part ON pieces (job, part)")

    def add(self, job_id: str, part: str, text: str) -> None:
        """Appends text to the part."""
        data = zlib.compress(text.encode("utf-8"), 1)
        with self._lock:
            self._connection.execute("INSERT INTO pieces VALUES (?, ?, ?)", (job_id, part, data))

    def read(self, job_id: str, part: str) -> bytes | None:
        """The part's text as written, or None when nothing was written to it."""
        with self._lock:
            pieces = self._connection.execute(
                "SELECT data FROM pieces WHERE job = ? AND part = ? ORDER BY rowid", (job_id, part)
            ).fetchall()
        if not pieces:
            return None
        return b"".join(zlib.decompress(data) for (data,) in pieces)

    def drop(self, job_id: str) -> None:
        with self._lock:
            self._connection.execute("DELETE FROM pieces WHERE job = ?", (job_id,))

    def close(self) -> None:
        with self._lock:
            self._connection.close()
        self.path.unlink(missing_ok=True)
