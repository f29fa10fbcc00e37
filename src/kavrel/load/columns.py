"""What a load's columns must be for its operation, checked before any job is created.

The header Salesforce receives is the query's column names as the fields are spelled
(kavrel.sflake.fieldnames). An upsert needs its external-ID field among them, an update or a
delete the record ID `Id`, spelled exactly as the field is; no two columns may share a name
(ignoring case, as Salesforce matches them), since one would take the other's field.
"""

from __future__ import annotations

from collections.abc import Sequence

# What Salesforce reads as "set this field to null" in a CSV upload; an empty value leaves it.
CLEAR_VALUE = "#N/A"


class ColumnsUnsuitable(ValueError):
    """The columns of a query do not suit its operation; `findings` say why, one each."""

    def __init__(self, operation: str, findings: list[str]) -> None:
        super().__init__(
            f"the columns do not suit {operation}: {'; '.join(findings)}; no job was created"
        )
        self.operation = operation
        self.findings = findings


def key_field(operation: str, external_id: str | None) -> str | None:
    """The field the records are matched on: the external ID for upsert, Id for update and the
    deletes; None for insert."""
    if operation == "upsert":
        return external_id
    return None if operation == "insert" else "Id"


def column_checks(operation: str, key: str | None, names: Sequence[str]) -> list[tuple[bool, str]]:
    """What the columns mean for the operation, as (passed, finding) pairs. The names are those
    sent, after the fields were given their spelling: Salesforce expects each header spelled as
    the field's API name, so a column that differs from the key field only in case fails."""
    checks = []
    if key is not None:
        what = "external ID field" if operation == "upsert" else "field"
        found = [name for name in names if name.lower() == key.lower()]
        if not found:
            checks.append((False, f"the {what} {key} is not one of the columns"))
        elif key in found:
            checks.append((True, f"the {what} {key} is a column"))
        else:
            checks.append(
                (
                    False,
                    f"the {what} {key} is spelled {found[0]} in the columns; give it the "
                    "field's spelling (a quoted alias, or --fields)",
                )
            )
    by_case: dict[str, list[str]] = {}
    for name in names:
        by_case.setdefault(name.lower(), []).append(name)
    repeated = [group for group in by_case.values() if len(group) > 1]
    if repeated:
        for group in repeated:
            if len(set(group)) == 1:
                checks.append((False, f"more than one column is named {group[0]}"))
            else:
                listed = ", ".join(group)
                checks.append((False, f"more than one column is named {listed} (ignoring case)"))
    else:
        checks.append((True, "no two columns share a name"))
    return checks


def refuse_unsuitable(operation: str, key: str | None, names: Sequence[str]) -> None:
    """Raises ColumnsUnsuitable when a check of `column_checks` fails."""
    failed = [finding for passed, finding in column_checks(operation, key, names) if not passed]
    if failed:
        raise ColumnsUnsuitable(operation, failed)


def null_texts(names: Sequence[str], key: str | None) -> list[str | None]:
    """For each column, what a NULL is sent as so that it clears the field: CLEAR_VALUE, except
    in the key field, where it would be taken for a value to match records on."""
    key = None if key is None else key.lower()
    return [None if name.lower() == key else CLEAR_VALUE for name in names]
