"""The records a preflight predicts to fail, tallied by error code and written to a file as they
are found, and the keys the load's records held so far."""

from __future__ import annotations

import csv
import sqlite3
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

from kavrel.load.results import make_private_dir, open_private

# How many rows of each error code, and of the repeated keys, a report names.
SHOWN_ROWS = 5
# SQLite's bound on host parameters is 999 before 3.32.
_LOOKUP_CHUNK = 900


@dataclass
class CodeTally:
    """The records predicted to fail with one error code: how many, the first rows, the org's
    text for the first of them."""

    count: int = 0
    rows: list[int] = field(default_factory=list)
    message: str = ""


class Tally:
    """Records predicted to fail, by error code."""

    def __init__(self) -> None:
        self.by_code: dict[str, CodeTally] = {}
        self.count = 0

    def add(self, row: int, fault: str) -> str:
        """Counts the record; its error code."""
        code = fault.split(":", 1)[0]
        tally = self.by_code.setdefault(code, CodeTally(message=fault))
        tally.count += 1
        if len(tally.rows) < SHOWN_ROWS:
            tally.rows.append(row)
        self.count += 1
        return code

    def as_dict(self) -> dict[str, Any]:
        return {
            "count": self.count,
            "by_code": {
                code: {"count": t.count, "rows": t.rows, "message": t.message}
                for code, t in self.by_code.items()
            },
        }


def failures_file_name(sobject: str) -> str:
    return f"{sobject}-predicted-failures.csv"


class FailureLog(Tally):
    """The predicted failures, tallied by error code, each written as it is found to a file only
    its owner can read (with a `path`): the source row (counted from 1, a CSV file's header not
    counted), the code, the org's error text, and the row's fields as they would be sent."""

    def __init__(self, header: Sequence[str], path: Path | None) -> None:
        super().__init__()
        self.header = list(header)
        self.path = path
        self._file: TextIO | None = None
        self._writer: Any = None

    def add_record(self, row: int, fault: str, record: list[str]) -> None:
        code = self.add(row, fault)
        if self.path is not None:
            self._writer_of().writerow([row, code, fault, *record])

    def _writer_of(self) -> Any:
        if self._writer is None:
            assert self.path is not None
            make_private_dir(self.path.parent)
            self._file = open_private(self.path)
            self._writer = csv.writer(self._file, lineterminator="\n")
            self._writer.writerow(["row", "code", "message", *self.header])
        return self._writer

    def close(self) -> None:
        if self._file is not None:
            self._file.close()


class KeyLedger:
    """Every key held by a record of the load so far, with the row that first held it, in a
    temporary SQLite file (removed when closed), so that memory stays bounded."""

    def __init__(self) -> None:
        self._db = sqlite3.connect("", isolation_level=None)
        self._db.execute("PRAGMA cache_size = -2048")
        self._db.execute("CREATE TABLE seen (key TEXT PRIMARY KEY, row INTEGER) WITHOUT ROWID")

    def earlier(self, keys: dict[str, int]) -> dict[str, int]:
        """Of these keys (to their rows), those held before, to the row that held them first;
        then remembers the new ones."""
        items = list(keys.items())
        found: dict[str, int] = {}
        for start in range(0, len(items), _LOOKUP_CHUNK):
            part = [key for key, _ in items[start : start + _LOOKUP_CHUNK]]
            marks = ", ".join("?" * len(part))
            found.update(
                self._db.execute(f"SELECT key, row FROM seen WHERE key IN ({marks})", part)
            )
        self._db.execute("BEGIN")
        self._db.executemany("INSERT OR IGNORE INTO seen VALUES (?, ?)", items)
        self._db.execute("COMMIT")
        return found

    def close(self) -> None:
        self._db.close()


@dataclass
class Repeats:
    """Records whose key a record of an earlier chunk or job held: (row, earlier row), first
    ones."""

    count: int = 0
    first: list[tuple[int, int]] = field(default_factory=list)
