"""Fetching a query's rows from a warehouse session."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


class DuplicateColumns(ValueError):
    """A query whose columns repeat a name: loading it would keep one of them and drop the
    other's data. `names` are the repeated names, in column order."""

    def __init__(self, names: list[str]) -> None:
        listed = ", ".join(names)
        super().__init__(
            f"the query has more than one column named {listed}; give each column its own name "
            "(SELECT a.Name AS Name, b.Name AS Other_Name ...)"
        )
        self.names = names


def check_distinct_columns(row: Any) -> None:
    """Raises `DuplicateColumns` when the row's column names (its `_fields`) repeat a name."""
    check_distinct_names(getattr(row, "_fields", None) or ())


def check_distinct_names(names: Any) -> None:
    """Raises `DuplicateColumns` when `names` repeat a name."""
    seen: set[str] = set()
    repeated: list[str] = []
    for name in names:
        if name in seen and name not in repeated:
            repeated.append(name)
        seen.add(name)
    if repeated:
        raise DuplicateColumns(repeated)


def get_records(session: Any, query: str) -> list[dict[str, Any]]:
    """Runs `query` through the session; one dict per row (column name to value, untouched).
    `DuplicateColumns` when two columns share a name."""
    rows = session.sql(query).collect()
    if rows:
        check_distinct_columns(rows[0])
    return [row.asDict() for row in rows]


class RecordMappingSession:
    """A warehouse session whose rows hand their `asDict()` through `map_record`; reading a row
    by position, its length and its column names (`_fields`) stay the warehouse's own, so counts
    and the duplicate-column check see the rows as they came."""

    def __init__(self, session: Any, map_record: Callable[[dict[str, Any]], dict[str, Any]]):
        self._session = session
        self._map_record = map_record

    def sql(self, text: str) -> _MappedQuery:
        return _MappedQuery(self._session.sql(text), self._map_record)

    def close(self) -> None:
        close = getattr(self._session, "close", None)
        if close is not None:
            close()


class _MappedQuery:
    def __init__(self, query: Any, map_record: Callable[[dict[str, Any]], dict[str, Any]]):
        self._query = query
        self._map_record = map_record

    def collect(self) -> list[_MappedRow]:
        return [_MappedRow(row, self._map_record) for row in self._query.collect()]


class _MappedRow:
    __slots__ = ("_row", "_map_record")

    def __init__(self, row: Any, map_record: Callable[[dict[str, Any]], dict[str, Any]]):
        self._row = row
        self._map_record = map_record

    @property
    def _fields(self) -> Any:
        return getattr(self._row, "_fields", None)

    def __getitem__(self, key: Any) -> Any:
        return self._row[key]

    def __len__(self) -> int:
        return len(self._row)

    def __iter__(self):
        return iter(self._row)

    def asDict(self) -> dict[str, Any]:  # noqa: N802 (the warehouse row's name)
        return self._map_record(self._row.asDict())
