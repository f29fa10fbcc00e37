"""Embedded warehouses that answer like a Snowflake session: SQLite, and DuckDB when installed.

Each session offers what the load operations use: `sql(text)` returns a query whose `collect()`
runs it and gives a list of `Row`s; a row answers positional access and `asDict()`.
"""

from __future__ import annotations

import re
import sqlite3
from os import PathLike
from pathlib import Path
from typing import Any


class Row(tuple):
    """One result row: a tuple of the values, plus `asDict()` in column order."""

    _fields: tuple[str, ...]

    def __new__(cls, fields: tuple[str, ...], values: tuple[Any, ...]) -> Row:
        row = super().__new__(cls, values)
        row._fields = fields
        return row

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, str):
            try:
                return super().__getitem__(self._fields.index(key))
            except ValueError:
                raise KeyError(key) from None
        return super().__getitem__(key)

    def asDict(self) -> dict[str, Any]:  # noqa: N802 (the warehouse session's name)
        return dict(zip(self._fields, self, strict=True))

    def __repr__(self) -> str:
        pairs = ", ".join(
            f"{name}={value!r}" for name, value in zip(self._fields, self, strict=True)
        )
        return f"Row({pairs})"


class Query:
    """A query not yet run; `collect()` runs it."""

    def __init__(self, run: Any, text: str) -> None:
        self._run = run
        self._text = text

    def collect(self) -> list[Row]:
        return self._run(self._text)


class _Session:
    connection: Any

    def sql(self, text: str) -> Query:
        if not isinstance(text, str):
            raise TypeError(f"the query must be text, not {type(text).__name__}")
        return Query(self._collect, text)

    def _collect(self, text: str) -> list[Row]:
        cursor = self.connection.execute(text)
        if cursor.description is None:  # a statement that returns no rows
            return []
        fields = tuple(column[0] for column in cursor.description)
        return [Row(fields, values) for values in cursor.fetchall()]

    def close(self) -> None:
        self.connection.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


# "<query> ORDER BY ALL", optionally followed by a LIMIT/OFFSET clause of plain numbers.
_ORDER_BY_ALL = re.compile(
    r"^(?P<query>.*) ORDER BY ALL(?P<page>( LIMIT \d+)?( OFFSET \d+)?)$", re.S
)
# A query that the load operations wrapped (a page, a count), whose inner query may be a page too:
# a slice of a parallel load is paged again by the operation that loads it.
_SUBQUERY = re.compile(
    r"^(?P<head>SELECT (?:\*|COUNT\(\*\)(?: (?i:as) \w+)?) FROM \()(?P<inner>.*)"
    r"(?P<tail>\)(?: AS \w+)?(?: ORDER BY ALL)?(?: LIMIT \d+)?(?: OFFSET \d+)?)$",
    re.S,
)
# SQLite renames the second "x" of a subquery's columns to "x:1"; the query itself said "x" twice.
_RENAMED_TWIN = re.compile(r"^(?P<name>.*):\d+$", re.S)


class SQLiteSession(_Session):
    """A session over a SQLite database file, or `:memory:`; `connection` is the sqlite3 one.

    Statements run in autocommit mode, so a statement sent through `sql()` is kept at once.
    With `read_only` the file is opened read-only (a source is never written to) and must exist.
    SQLite has no ORDER BY ALL: a query ending in it is ordered by every column position.
    """

    def __init__(self, database: str | PathLike[str] = ":memory:", read_only: bool = False) -> None:
        # A parallel load reads through one session from its slices' threads, one query at a
        # time (it serialises them), so the connection may be used from another thread.
        if read_only:
            path = Path(database)
            if not path.is_file():
                raise FileNotFoundError(f"no such SQLite database file: {database}")
            uri = path.resolve().as_uri() + "?mode=ro"
            self.connection = sqlite3.connect(
                uri, isolation_level=None, uri=True, check_same_thread=False
            )
        else:
            self.connection = sqlite3.connect(
                database, isolation_level=None, check_same_thread=False
            )

    def _collect(self, text: str) -> list[Row]:
        rows = super()._collect(self._ordered_by_all(text))
        if rows:
            self._refuse_renamed_twins(rows[0]._fields)
        return rows

    def _ordered_by_all(self, text: str) -> str:
        wrapped = _SUBQUERY.match(text)
        if wrapped is not None:
            text = wrapped["head"] + self._ordered_by_all(wrapped["inner"]) + wrapped["tail"]
        match = _ORDER_BY_ALL.match(text)
        if match is None:
            return text
        query = match["query"]
        columns = self.connection.execute(f"SELECT * FROM ({query}) LIMIT 0").description
        positions = ", ".join(str(i) for i in range(1, len(columns) + 1))
        return f"{query} ORDER BY {positions}{match['page']}"

    @staticmethod
    def _refuse_renamed_twins(fields: tuple[str, ...]) -> None:
        from kavrel.sflake.query import DuplicateColumns

        twins = [m["name"] for f in fields if (m := _RENAMED_TWIN.match(f)) and m["name"] in fields]
        if twins:
            raise DuplicateColumns(list(dict.fromkeys(twins)))


# A query wrapped as a subquery, as the load operations page through it.
_WRAPPED = re.compile(r"^SELECT \* FROM \((?P<query>.*)\) AS \w+ ", re.S)
# One page of a query (a slice of a parallel load, which its operation pages again).
_PAGE = re.compile(
    r"^SELECT \* FROM \((?P<query>.*)\) AS \w+ ORDER BY ALL( LIMIT \d+)?( OFFSET \d+)?$", re.S
)


class DuckDBSession(_Session):
    """A session over a DuckDB database file, or `:memory:` (needs the `duckdb` extra).

    DuckDB renames the second "x" of a subquery's columns to "x_1", which cannot be told from a
    real column name, so a wrapped query's own column names are read with DESCRIBE.
    """

    def _collect(self, text: str) -> list[Row]:
        match = _WRAPPED.match(text)
        if match is not None:
            from kavrel.sflake.query import check_distinct_names

            query = match["query"]
            while (page := _PAGE.match(query)) is not None:
                query = page["query"]
            try:
                described = self.connection.execute(f"DESCRIBE {query}").fetchall()
            except Exception:  # noqa: BLE001 (a query DESCRIBE cannot take runs as it is)
                described = []
            check_distinct_names(row[0] for row in described)
        return super()._collect(text)

    def __init__(self, database: str | PathLike[str] = ":memory:") -> None:
        try:
            import duckdb
        except ImportError as error:
            raise ImportError("DuckDBSession needs DuckDB: pip install 'kavrel[duckdb]'") from error
        self.connection = duckdb.connect(str(database))
