"""Fetching a query's rows from a warehouse session."""

from __future__ import annotations

from typing import Any


def get_records(session: Any, query: str) -> list[dict[str, Any]]:
    """Runs `query` through the session; one dict per row (column name to value, untouched)."""
    return [row.asDict() for row in session.sql(query).collect()]
