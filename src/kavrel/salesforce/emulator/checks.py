"""Record by record, what an org refuses before it looks at other records: the Bulk API limits
(32,000 characters in a field, 131,072 in a long text area of that length, 400,000 in a record),
and, for fields the schema describes, values that do not read as their type, numbers with too many
digits, text longer than its field, malformed Ids and Ids of another object in lookups, values
outside a restricted picklist, fields that cannot be set on insert or on update, and required
fields left empty. What needs the stored records (lookups that name no record, duplicates in unique
fields) is the store's business.

Each failure is one `sf__Error` text as an org writes it: `CODE:message:FIELD,FIELD --`.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from .ids import to_id18
from .schema import FieldSchema, ObjectSchema
from .values import TEXT_TYPES, is_email, unreadable_as, within_digits

FIELD_CHARS = 32_000
LONG_TEXT_CHARS = 131_072
RECORD_CHARS = 400_000
NULL = "#N/A"
_NUMBERS = frozenset({"int", "long", "double", "currency", "percent"})


@dataclass(frozen=True)
class Column:
    """One column of an upload: where it is, the field it sets (the lookup field for a
    relationship column), and that field as the schema describes it (None without a schema)."""

    position: int
    name: str
    field: FieldSchema | None = None
    relationship: bool = False


def bulk_error(code: str, message: str, fields: list[str] | tuple[str, ...] = ()) -> str:
    """An `sf__Error` text: the code, the message and the fields it concerns."""
    return f"{code}:{message}:{','.join(fields)} --" if fields else f"{code}:{message}:--"


def too_long(field: FieldSchema | None, name: str, value: str, limit: int) -> str:
    shown = field.shown_name if field else name
    return bulk_error(
        "STRING_TOO_LONG", f"{shown}: data value too large: {value} (max length={limit})", [name]
    )


def _field_limit(field: FieldSchema | None) -> int:
    """The most characters a value may hold: the Bulk API's limit, or a long text area's own."""
    if field is not None and field.type == "textarea" and field.length > FIELD_CHARS:
        return min(field.length, LONG_TEXT_CHARS)
    return FIELD_CHARS


class RecordChecks:
    """The checks of one upload's records against one object; `prefixes_of` gives the key
    prefixes a lookup field's Ids may start with (None when some are unknown)."""

    def __init__(
        self,
        columns: list[Column],
        described: ObjectSchema | None,
        prefixes_of: Callable[[FieldSchema], set[str] | None],
    ) -> None:
        self.columns = columns
        self._prefixes_of = prefixes_of
        checked = [c for c in columns if c.field is not None and c.field.checked]
        self._typed = [c for c in checked if c.name.lower() != "id"]
        self._not_createable = [c for c in columns if c.field and not c.field.createable]
        self._not_updateable = [c for c in columns if c.field and not c.field.updateable]
        present = {c.name.lower(): c.position for c in columns}
        fields = described.fields.values() if described else []
        self._required = [
            (f.name, present.get(f.name.lower())) for f in fields if f.required_on_create
        ]
        self._not_nillable = [
            c
            for c in checked
            if not c.field.nillable and c.field.type != "boolean"  # type: ignore[union-attr]
        ]

    # -- what holds whatever the record becomes -----------------------------------------------

    def values(self, record: list[str]) -> str | None:
        """The first fault of the record's values, or None."""
        for column in self._typed:
            value = record[column.position]
            if value and value != NULL:
                error = self._typed_error(column, column.field, value)  # type: ignore[arg-type]
                if error:
                    return error
        lengths = list(map(len, record))
        if lengths and max(lengths) > FIELD_CHARS:
            for column in self.columns:
                limit = _field_limit(column.field)
                if lengths[column.position] > limit:
                    return too_long(column.field, column.name, record[column.position], limit)
        total = sum(lengths)
        if total > RECORD_CHARS:
            return bulk_error(
                "INVALID_FIELD",
                f"The record holds {total:,} characters, more than the {RECORD_CHARS:,} a record "
                "may hold",
            )
        return None

    def _typed_error(self, column: Column, field: FieldSchema, value: str) -> str | None:
        kind = unreadable_as(field.type, value)
        if kind is not None:
            return bulk_error(
                "INVALID_FIELD",
                f"Failed to deserialize field at col {column.position}. Due to, '{value}' is not a "
                f"valid value for the type xsd:{kind}",
                [field.name],
            )
        if field.type in _NUMBERS and not within_digits(value, field.whole_digits):
            return bulk_error(
                "NUMBER_OUTSIDE_VALID_RANGE",
                f"{field.shown_name}: value outside of valid range on numeric field: {value}",
                [field.name],
            )
        if field.type == "email" and not is_email(value):
            return bulk_error(
                "INVALID_EMAIL_ADDRESS",
                f"{field.shown_name}: invalid email address: {value}",
                [field.name],
            )
        if field.type == "reference" and not column.relationship:
            return self._lookup_error(field, value)
        if field.type in TEXT_TYPES and 0 < field.length < len(value):
            return too_long(field, field.name, value, field.length)
        if field.restricted_picklist and field.type in ("picklist", "multipicklist"):
            chosen = value.split(";") if field.type == "multipicklist" else [value]
            if not set(chosen) <= field.picklist_values:
                return bulk_error(
                    "INVALID_OR_NULL_FOR_RESTRICTED_PICKLIST",
                    f"{field.shown_name}: bad value for restricted picklist field: {value}",
                    [field.name],
                )
        return None

    def _lookup_error(self, field: FieldSchema, value: str) -> str | None:
        key = to_id18(value)
        prefixes = self._prefixes_of(field)
        if key is not None and (prefixes is None or key[:3] in prefixes):
            return None
        return bulk_error(
            "MALFORMED_ID", f"{field.shown_name}: id value of incorrect type: {value}", [field.name]
        )

    # -- what holds for a new record, and for a changed one ----------------------------------

    def on_insert(self, record: list[str]) -> str | None:
        blocked = [c.name for c in self._not_createable if record[c.position] and c.name != "Id"]
        if blocked:
            return _not_writable(blocked)
        missing = [
            name
            for name, position in self._required
            if position is None or record[position] in ("", NULL)
        ]
        if missing:
            return _missing(missing)
        return None

    def on_update(self, record: list[str], key_position: int | None = None) -> str | None:
        """`key_position` is the column the record was matched on, which sets nothing."""
        blocked = [
            c.name
            for c in self._not_updateable
            if record[c.position] and c.position != key_position and c.name != "Id"
        ]
        if blocked:
            return _not_writable(blocked)
        cleared = [c.name for c in self._not_nillable if record[c.position] == NULL]
        if cleared:
            return _missing(cleared)
        return None


def _not_writable(names: list[str]) -> str:
    return bulk_error(
        "INVALID_FIELD_FOR_INSERT_UPDATE",
        f"Unable to create/update fields: {', '.join(names)}. Please check the security settings "
        "of this field and verify that it is read/write for your profile or permission set.",
        names,
    )


def _missing(names: list[str]) -> str:
    return bulk_error(
        "REQUIRED_FIELD_MISSING", f"Required fields are missing: [{', '.join(names)}]", names
    )
