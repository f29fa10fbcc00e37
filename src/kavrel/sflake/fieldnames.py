"""Column names as Salesforce spells its fields.

The Bulk API matches each CSV header to a field's API name as written (its documentation asks
for a header "the same as" the field name), while Snowflake upper-cases every unquoted identifier:
`SELECT FirstName FROM ...` comes back as FIRSTNAME. A load therefore sends each column under the
spelling the user gave for that field (`--external-id`, `--fields`, and `Id`, which every object
spells the same way), matched regardless of case, and warns once about the all-upper-case names
that remain.
"""

from __future__ import annotations

from collections.abc import Iterable

# The record ID field; update and delete jobs need it spelled this way.
ALWAYS_KNOWN = ("Id",)


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


def upper_case_warning(columns: Iterable[str], source: str = "Snowflake") -> str | None:
    """The warning for the columns whose all-upper-case names Salesforce may not recognise,
    worded for where they come from: `source` is a source's kind ("Snowflake", "CSV", "SQLite",
    ...), since only Snowflake upper-cases names the user did not write so."""
    shouting = [name for name in columns if name.isupper()]
    if not shouting:
        return None
    named = ", ".join(shouting)
    expected = (
        "Salesforce expects each field's API name as spelled; name the fields with --fields "
        "(e.g. --fields FirstName,Ext__c)"
    )
    if source == "Snowflake":
        return (
            f"⚠️ Column name(s) {named} are all upper case (Snowflake upper-cases unquoted names) "
            f'but {expected} or quote the aliases (AS "FirstName")'
        )
    if source == "CSV":
        return (
            f"⚠️ Column name(s) {named} are all upper case in the CSV header but {expected} or "
            "write the header as the fields are spelled"
        )
    return (
        f'⚠️ Column name(s) {named} are all upper case but {expected} or alias them (AS "FirstName")'
    )


def spelled_columns(columns: Iterable[str], names: Iterable[str]) -> list[str]:
    """The column names as the fields `names` (and `Id`) are spelled, matched regardless of case.
    A column already spelled that way keeps its name, and so does the other: giving both one name
    would drop one's values."""
    known = spellings(names)
    columns = [str(name) for name in columns]
    taken = set(columns)
    spelled = []
    for name in columns:
        field = known.get(name.casefold())
        if field is not None and field != name and field not in taken:
            taken.add(field)
            name = field
        spelled.append(name)
    return spelled
