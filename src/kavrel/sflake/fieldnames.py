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
from collections.abc import Iterable
from typing import Any

from kavrel.sflake.query import RecordMappingSession

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


class FieldNameSession(RecordMappingSession):
    """A warehouse session whose rows name their columns as the given fields are spelled.

    The names are looked at when a row's `asDict()` is first asked for, so queries read by
    position (the row counts) neither rename nor warn.
    """

    def __init__(self, session: Any, names: Iterable[str]) -> None:
        super().__init__(session, self._renamed)
        self._known = spellings(names)
        self._plans: dict[tuple[str, ...], dict[str, str]] = {}
        self._warned = False

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
