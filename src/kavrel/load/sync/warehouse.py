"""A sync whose records live in a Snowflake table (`--state-table DATABASE.SCHEMA.TABLE`): the
comparison runs in the warehouse as SQL, so the rows that did not change never leave it.

The table holds KEY (the key as VARCHAR), FINGERPRINT (MD5 of the row as JSON) and SF_ID. The
query the load runs is the user's query compared with it (`comparison`): the new and changed
rows, each with its key, fingerprint and "new" or "changed"; with a mirror, the keys that left
the query with their Ids ("deleted"); and one "read" row counting the query's rows. Snowflake
keeps that result, so a resumed load reads the same rows (RESULT_SCAN) as the first run sent.
What the org confirms goes back into the table by MERGE from a staging table beside it.
"""

from __future__ import annotations

import re
from typing import Any

from kavrel.load.sync.state import SyncFile, SyncRefused

_IDENTIFIER = r"[A-Za-z_][A-Za-z0-9_$]{0,254}"
_TABLE = re.compile(rf"{_IDENTIFIER}\.{_IDENTIFIER}\.{_IDENTIFIER}")


def checked_table(name: str) -> str:
    """DATABASE.SCHEMA.TABLE, three unquoted identifiers, as the SQL will name it."""
    if not isinstance(name, str) or not _TABLE.fullmatch(name.strip()):
        raise ValueError(
            f"the state table must be named DATABASE.SCHEMA.TABLE with plain identifiers, not "
            f"{name!r}"
        )
    return name.strip().upper()


def _quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class WarehouseRecords:
    """The records of a sync in a Snowflake table, read and written through a session."""

    def __init__(self, file: SyncFile, connection: Any, table: str) -> None:
        self.file = file
        self.table = checked_table(table)
        self.stage = self.table + "_KAVREL_STAGE"
        self._connection = connection

    def _run(self, sql: str, params: Any = None) -> Any:
        cursor = self._connection.cursor()
        cursor.execute(sql, params)
        return cursor

    def create(self) -> None:
        self._run(
            f"CREATE TABLE IF NOT EXISTS {self.table} "
            "(KEY VARCHAR NOT NULL, FINGERPRINT VARCHAR NOT NULL, SF_ID VARCHAR)"
        )

    def comparison(self, query: str, sync: Any) -> str:
        """The user's query compared with the table, as the load runs it."""
        self.create()
        columns = [str(c[0]) for c in self._run(f"SELECT * FROM ({query}) LIMIT 0").description]
        key = [c for c in columns if c.lower() == sync.key.lower()]
        if not key:
            raise SyncRefused(
                f"the rows have no column {sync.key}, the key the sync matches records on "
                f"(they have {', '.join(columns) or 'no columns'})"
            )
        nothing = ", ".join(f"NULL AS {_quoted(c)}" for c in columns)
        prefix = "'#N/A|' || " if sync.null_clears else ""
        changed = "" if sync.full else "WHERE s.KEY IS NULL OR s.FINGERPRINT <> c._KAVREL_FP"
        deleted = (
            f"UNION ALL SELECT {nothing}, s.KEY, NULL, 'deleted', s.SF_ID FROM {self.table} s "
            "WHERE s.SF_ID IS NOT NULL AND NOT EXISTS "
            "(SELECT 1 FROM _kavrel_rows c WHERE c._KAVREL_KEY = s.KEY) "
            if sync.mirror
            else ""
        )
        return (
            f"WITH _kavrel_rows AS (SELECT *, TO_VARCHAR({_quoted(key[0])}) AS _KAVREL_KEY, "
            f"MD5({prefix}TO_JSON(OBJECT_CONSTRUCT(*))) AS _KAVREL_FP FROM ({query})) "
            "SELECT c.*, CASE WHEN s.KEY IS NULL THEN 'new' ELSE 'changed' END AS _KAVREL_CHANGE, "
            f"CAST(NULL AS VARCHAR) AS _KAVREL_SF_ID FROM _kavrel_rows c LEFT JOIN {self.table} s "
            f"ON s.KEY = c._KAVREL_KEY {changed} {deleted}"
            f"UNION ALL SELECT {nothing}, NULL, NULL, 'read', TO_VARCHAR(COUNT(*)) "
            "FROM _kavrel_rows"
        )

    def _staged(self, rows: list[tuple[Any, ...]], columns: str) -> None:
        self._run(
            f"CREATE TABLE IF NOT EXISTS {self.stage} (KEY VARCHAR, FINGERPRINT VARCHAR, "
            "SF_ID VARCHAR)"
        )
        self._run(f"DELETE FROM {self.stage}")
        if rows:
            # Snowpark opens its connection with `?` markers; the connector's own default is %s.
            style = getattr(self._connection, "_paramstyle", "pyformat")
            marks = ", ".join(["?" if style in ("qmark", "numeric") else "%s"] * len(rows[0]))
            self._connection.cursor().executemany(
                f"INSERT INTO {self.stage} ({columns}) VALUES ({marks})", rows
            )

    def confirm(self, job_id: str, rows: list[tuple[str, str, str, str]]) -> None:
        self._staged([(wkey, fp, sf_id) for _, fp, sf_id, wkey in rows], "KEY, FINGERPRINT, SF_ID")
        self._run(
            f"MERGE INTO {self.table} t USING {self.stage} s ON t.KEY = s.KEY "
            "WHEN MATCHED THEN UPDATE SET FINGERPRINT = s.FINGERPRINT, SF_ID = s.SF_ID "
            "WHEN NOT MATCHED THEN INSERT (KEY, FINGERPRINT, SF_ID) "
            "VALUES (s.KEY, s.FINGERPRINT, s.SF_ID)"
        )
        self._folded(job_id)

    def remove(self, job_id: str, sf_ids: list[str]) -> None:
        self._staged([(sf_id,) for sf_id in sf_ids], "SF_ID")
        self._run(
            f"DELETE FROM {self.table} USING {self.stage} s WHERE {self.table}.SF_ID = s.SF_ID"
        )
        with self.file.transaction() as db:
            db.executemany("DELETE FROM deletes WHERE sf_id = ?", [(i,) for i in sf_ids])
        self._folded(job_id)

    def _folded(self, job_id: str) -> None:
        self._run(f"DELETE FROM {self.stage}")
        with self.file.transaction() as db:
            db.execute("INSERT OR IGNORE INTO folded VALUES (?)", (job_id,))

    def count(self) -> int:
        return int(self._run(f"SELECT COUNT(*) FROM {self.table}").fetchone()[0])

    def clear(self) -> None:
        self.create()
        self._run(f"DELETE FROM {self.table}")
