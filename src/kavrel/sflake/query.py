"""Fetching a query's rows from a warehouse session."""

from __future__ import annotations

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
