"""Column names as Salesforce spells its fields.

The Bulk API matches each CSV header to a field's API name as written (its documentation asks
for a header "the same as" the field name), while Snowflake upper-cases every unquoted identifier:
`SELECT FirstName FROM ...` comes back as FIRSTNAME. The load commands therefore wrap the
warehouse session so that each row's column names take the spelling the user gave for that field
(`--external-id`, `--fields`, and `Id`, which every object spells the same way), matched
regardless of case, and warn once about the all-upper-case names that remain.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Iterable
from typing import Any

# The record ID field; update and delete jobs need it spelled this way.
ALWAYS_KNOWN = ("Id",)

_log = logging.getLogger("kavrel.sflake")


def spellings(names: Iterable[str]) -> dict[str, str]:
    """The field spelling for each case-folded name; the first spelling of a name wins."""
    known: dict[str, str] = {}
    for name in [*names, *ALWAYS_KNOWN]:
        name = name.strip()
        if name:
            known.setdefault(name.casefold(), name)
    return known


def parse_fields(text: str) -> list[str]:
    """The field names of a comma-separated `--fields` list."""
    return [name.strip() for name in text.split(",") if name.strip()]


def upper_case_warning(columns: Iterable[str]) -> str | None:
    """The warning for the columns whose all-upper-case names Salesforce may not recognise."""
    shouting = [name for name in columns if name.isupper()]
    if not shouting:
        return None
    return (
        f"⚠️ Column name(s) {', '.join(shouting)} are all upper case (Snowflake upper-cases "
        "unquoted names) but Salesforce expects each field's API name as spelled; name the "
        "fields with --fields (e.g. --fields FirstName,Ext__c) or quote the aliases "
        '(AS "FirstName")'
    )


class _Row:
    """A row whose `asDict()` names its columns by the field spellings; indexing is unchanged."""

    __slots__ = ("_row", "_rename")

    def __init__(self, row: Any, rename: Callable[[dict[str, Any]], dict[str, Any]]) -> None:
        self._row = row
        self._rename = rename

    def __getitem__(self, key: Any) -> Any:
        return self._row[key]

    def __len__(self) -> int:
        return len(self._row)

    def __iter__(self):
        return iter(self._row)

    @property
    def _fields(self) -> Any:
        # The warehouse's own column names, repeats included: asDict() keeps one of two columns
        # of the same name, so the duplicate-column check reads these. Renaming never makes a
        # repeat (a spelling already taken is left alone).
        return getattr(self._row, "_fields", None)

    def asDict(self) -> dict[str, Any]:  # noqa: N802 (the warehouse session's name)
        return self._rename(self._row.asDict())


class _Query:
    def __init__(self, query: Any, rename: Callable[[dict[str, Any]], dict[str, Any]]) -> None:
        self._query = query
        self._rename = rename

    def collect(self) -> list[_Row]:
        return [_Row(row, self._rename) for row in self._query.collect()]


class FieldNameSession:
    """A warehouse session whose rows name their columns as the given fields are spelled.

    The names are looked at when a row's `asDict()` is first asked for, so queries read by
    position (the row counts) neither rename nor warn.
    """

    def __init__(self, session: Any, names: Iterable[str]) -> None:
        self._session = session
        self._known = spellings(names)
        self._plans: dict[tuple[str, ...], dict[str, str]] = {}
        self._warned = False

    def sql(self, text: str) -> _Query:
        return _Query(self._session.sql(text), self._renamed)

    def close(self) -> None:
        close = getattr(self._session, "close", None)
        if close is not None:
            close()

    def _renamed(self, record: dict[str, Any]) -> dict[str, Any]:
        columns = tuple(record)
        plan = self._plans.get(columns)
        if plan is None:
            plan = self._plan(columns)
        if not plan:
            return record
        return {plan.get(name, name): value for name, value in record.items()}

    def _plan(self, columns: tuple[str, ...]) -> dict[str, str]:
        plan = {}
        taken = set(columns)
        for name in columns:
            spelled = self._known.get(str(name).casefold())
            # A column already spelled that way keeps its name, and so does this one: merging
            # the two would drop one's values.
            if spelled is not None and spelled not in taken:
                plan[name] = spelled
                taken.add(spelled)
        if not self._warned:
            self._warned = True
            warning = upper_case_warning(str(plan.get(name, name)) for name in columns)
            if warning:
                _log.warning(warning)
        self._plans[columns] = plan
        return plan
