"""The rows a sync sends: those whose key is new or whose values differ from what the sync last
sent successfully, as readers the load runner reads its jobs from.

- `ChangedRows` compares the rows as they stream in from any source: each row's key and
  fingerprint come from C++ (`kavrel.util.csv.row_fingerprints`, over the row's CSV text), and
  are looked up in the sync's records with SQL of the sync's own file.
- `WarehouseChanges` reads a result the warehouse compared itself (kavrel.load.sync.warehouse):
  only the changed rows and the keys that left the query come back, each marked so.

Both write down the fingerprint of every row they hand over before handing it over (the sync's
`pending`), count what they read, refuse a key that comes twice (which record would the org
keep?), and, with a mirror, note at the end of the rows the records whose keys left the query.
The rows handed over are the same, batch by batch, whenever the source gives the same rows and
the records are the same: a resumed load reads them again and finds its batches as it sent them.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from typing import Any

from kavrel.load.sync.state import SyncFile, SyncRefused

READ_ROWS = 10_000  # rows read from the source at a time, whatever the jobs' size
Row = Sequence[Any]


class Changes:
    """What a sync's read found: rows read, unchanged, new, changed (not sent by an insert,
    which changes no record: `changed_kept`), and records to delete."""

    def __init__(self) -> None:
        self.read = self.unchanged = self.new = self.changed = self.changed_kept = 0
        self.deletes: int | None = None  # known once every row was read, with a mirror

    def as_dict(self) -> dict[str, Any]:
        return {"read": self.read, "unchanged": self.unchanged, "new": self.new,
                "changed": self.changed, "changed_not_sent": self.changed_kept,
                "to_delete": self.deletes}  # fmt: skip


class _SyncReader:
    """A source's reader narrowed to the rows a sync sends, in batches of the size asked."""

    def __init__(self, reader: Any, file: SyncFile, sync: Any, columns: list[str]) -> None:
        self.columns = columns
        self.total: int | None = None  # the changed rows are known only once read
        self.changes = Changes()
        self._reader, self._file, self._sync = reader, file, sync
        self._key = key_position(columns, sync.key)
        self._kept: list[Row] = []
        self._exhausted = False
        self._db = file.db
        self._db.execute("CREATE TEMP TABLE IF NOT EXISTS seen (key TEXT PRIMARY KEY, fp TEXT)")
        self._db.execute("DELETE FROM temp.seen")

    def fetchmany(self, size: int) -> list[Row]:
        while len(self._kept) < size and not self._exhausted:
            self._fill()
        batch, self._kept = self._kept[:size], self._kept[size:]
        return batch

    def fetchall(self) -> list[Row]:
        while not self._exhausted:
            self._fill()
        batch, self._kept = self._kept, []
        return batch

    def close(self) -> None:
        self._reader.close()

    def _fill(self) -> None:
        rows = list(self._reader.fetchmany(READ_ROWS))
        if not rows:
            self._exhausted = True
            self._ended()
            self._sync.read_ended(self.changes)
            return
        self._kept += self._changed(rows)

    def _changed(self, rows: list[Row]) -> list[Row]:
        raise NotImplementedError

    def _ended(self) -> None:
        """Every row was read: the records whose keys left the query, for a mirror."""

    def _see(self, keyed: list[tuple[str, str]]) -> int:
        """Remembers the keys of this read, refusing one that came before; returns the rowid
        after which the new ones are."""
        last = self._db.execute("SELECT COALESCE(MAX(rowid), 0) FROM temp.seen").fetchone()[0]
        self._db.execute("SAVEPOINT seen")
        try:
            self._db.executemany("INSERT INTO temp.seen VALUES (?, ?)", keyed)
        except sqlite3.IntegrityError:
            self._db.execute("ROLLBACK TO seen")
            raise SyncRefused(
                f"the key {self._sync.key} {_repeated(self._db, keyed)!r} comes in more than one "
                "row: a sync sends one record per key"
            ) from None
        finally:
            self._db.execute("RELEASE seen")
        return int(last)

    def _fingerprints(self, rows: Sequence[Row]) -> list[tuple[str, str]]:
        from kavrel.util.csv import row_fingerprints

        return row_fingerprints(self.columns, rows, self._key, self._sync.nulls(self.columns))


def _repeated(db: sqlite3.Connection, keyed: list[tuple[str, str]]) -> str:
    """The first of `keyed`'s keys that an earlier row held."""
    within: set[str] = set()
    for key, _ in keyed:
        if key in within or db.execute("SELECT 1 FROM temp.seen WHERE key = ?", (key,)).fetchone():
            return key
        within.add(key)
    return keyed[0][0]


def key_position(columns: Sequence[str], key: str) -> int:
    """The column holding the sync's key, named regardless of letter case."""
    found = [i for i, name in enumerate(columns) if name.lower() == key.lower()]
    if not found:
        raise SyncRefused(
            f"the rows have no column {key}, the key the sync matches records on "
            f"(they have {', '.join(columns) or 'no columns'})"
        )
    return found[0]


class ChangedRows(_SyncReader):
    """The rows of any source that differ from the sync's records, compared as they stream in."""

    def __init__(self, reader: Any, file: SyncFile, sync: Any) -> None:
        super().__init__(reader, file, sync, list(reader.columns))

    def _changed(self, rows: list[Row]) -> list[Row]:
        keyed = self._fingerprints(rows)
        after = self._see(keyed)
        self.changes.read += len(rows)
        sync = self._sync
        found = self._db.execute(
            "SELECT s.rowid, r.key IS NULL FROM temp.seen s LEFT JOIN records r ON r.key = s.key "
            "WHERE s.rowid > ? AND (? OR r.key IS NULL OR r.fingerprint <> s.fp) ORDER BY s.rowid",
            (after, sync.full),
        ).fetchall()
        kept, pending = [], []
        for rowid, new in found:
            index = rowid - after - 1
            if new:
                self.changes.new += 1
            else:
                self.changes.changed += 1
                if sync.operation == "insert":  # an insert changes nothing it inserted before
                    self.changes.changed_kept += 1
                    continue
            kept.append(rows[index])
            pending.append((*keyed[index], None))
        self.changes.unchanged += len(rows) - len(found)
        self._file.add_pending(pending)
        return kept

    def _ended(self) -> None:
        if not self._sync.mirror:
            return
        gone = self._db.execute(
            "SELECT key, sf_id FROM records r WHERE sf_id IS NOT NULL AND NOT EXISTS "
            "(SELECT 1 FROM temp.seen s WHERE s.key = r.key)"
        ).fetchall()
        self.changes.deletes = self._file.set_deletes(gone)


# The columns a warehouse's comparison adds to each row it gives back (kavrel.load.sync.warehouse).
WAREHOUSE_COLUMNS = ("_KAVREL_KEY", "_KAVREL_FP", "_KAVREL_CHANGE", "_KAVREL_SF_ID")


class WarehouseChanges(_SyncReader):
    """The rows a warehouse compared with the sync's records itself: each row its own, then its
    key as the warehouse holds it, its fingerprint, "new", "changed" or "deleted" (a record whose
    key left the query: its Id last), and one "read" row counting the query's rows."""

    def __init__(self, reader: Any, file: SyncFile, sync: Any) -> None:
        columns = list(reader.columns)
        if [c.upper() for c in columns[-len(WAREHOUSE_COLUMNS) :]] != list(WAREHOUSE_COLUMNS):
            raise SyncRefused("the warehouse's comparison gave rows of another form")
        self._width = len(columns) - len(WAREHOUSE_COLUMNS)
        self._gone: list[tuple[str, str]] = []
        self._read = 0
        super().__init__(reader, file, sync, columns[: self._width])

    def _changed(self, rows: list[Row]) -> list[Row]:
        width, sync = self._width, self._sync
        kept: list[Row] = []
        marks = []
        for row in rows:
            change = row[width + 2]
            if change == "read":
                self._read += int(row[width + 3])
            elif change == "deleted":
                self._gone.append((str(row[width]), str(row[width + 3])))
            elif change == "new" or sync.full or sync.operation != "insert":
                self.changes.new += change == "new"
                self.changes.changed += change != "new"
                kept.append(tuple(row[:width]))
                marks.append((str(row[width + 1]), str(row[width])))
            else:
                self.changes.changed += 1
                self.changes.changed_kept += 1
        keyed = self._fingerprints(kept) if kept else []
        self._see(keyed)
        self._file.add_pending(
            (key, fingerprint, warehouse_key)
            for (key, _), (fingerprint, warehouse_key) in zip(keyed, marks, strict=True)
        )
        return kept

    def _ended(self) -> None:
        changes = self.changes
        changes.read = self._read
        changes.unchanged = self._read - changes.new - changes.changed
        if self._sync.mirror:
            changes.deletes = self._file.set_deletes(self._gone)
