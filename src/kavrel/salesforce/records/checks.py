"""What an org refuses before it looks at other records. Of an upload's header: fields the object
does not have, relationship columns that reach no external ID, a field named twice (each fails the
whole job). Record by record: the Bulk API limits (32,000 characters in a field, 131,072 in a long
text area of that length, 400,000 in a record), and, for fields the schema describes, values that
do not read as their type, numbers with too many digits, text longer than its field, malformed Ids
and Ids of another object in lookups, values outside a restricted picklist, fields that cannot be
set on insert or on update, and required fields left empty; and the texts an org gives for a
record's Id. What needs the stored records (lookups that name no record, duplicates in unique
fields) is the local server's store's business.

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


@dataclass(frozen=True)
class Relationship:
    """A relationship column (`Account.Ext__c`): the record of `target` whose `target_field`
    holds the value gives the lookup its Id."""

    position: int
    target: str
    target_field: str


@dataclass
class Header:
    """An upload's header read against its object: the field each column sets, the relationship
    columns, and what fails the whole job (the first fault is the org's answer)."""

    columns: list[Column]
    relationships: list[Relationship]
    faults: list[str]


def read_header(
    header: list[str],
    described: ObjectSchema | None,
    described_as: Callable[[str], ObjectSchema | None],
) -> Header:
    """The header against its object (None: not described, so any name is a field);
    `described_as` gives the objects that relationship columns reach."""
    columns: list[Column] = []
    relationships: list[Relationship] = []
    faults: list[str] = []
    for position, name in enumerate(header):
        relationship, _, target_field = name.partition(".")
        if not target_field:
            if described is not None and name.lower() not in described.fields:
                faults.append(f"InvalidBatch : Field name not found : {name}")
                continue
            field = described.fields[name.lower()] if described else None
            columns.append(Column(position, field.name if field else name, field))
            continue
        lookup = described.relationships.get(relationship.lower()) if described else None
        target = described_as(described.lookups[lookup]) if lookup else None  # type: ignore[union-attr]
        if target is None:
            hint = "" if described else " (a schema file naming its lookup is needed)"
            faults.append(f"InvalidBatch : Field name not found : {name}{hint}")
        elif target_field.lower() not in target.external_ids | {"id"}:
            faults.append(
                f"InvalidBatch : Field name not found : {name} ({target_field} is not an "
                f"external ID of {target.name})"
            )
        else:
            field = described.fields[lookup]  # type: ignore[union-attr, index]
            columns.append(Column(position, field.name, field, relationship=True))
            relationships.append(Relationship(position, target.name, target_field))
    seen: set[str] = set()
    for column in columns:
        if column.name.lower() in seen:
            faults.append(f"InvalidBatch : Duplicate field name: {column.name}")
        seen.add(column.name.lower())
    return Header(columns, relationships, faults)


def external_id_fault(described: ObjectSchema | None, name: str) -> str | None:
    """Why an upsert cannot match on `name` (an org refuses the job), or None."""
    if described is None or name.lower() == "id" or name.lower() in described.external_ids:
        return None
    return (
        f"Field name provided, {name} does not match an External ID, Salesforce Id, or indexed "
        f"field for {described.name}"
    )


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


# -- what an org says of a record's Id ----------------------------------------------------------


def insert_with_id() -> str:
    return "INVALID_FIELD_FOR_INSERT_UPDATE:cannot specify Id in an insert call:Id --"


def missing_id(operation: str) -> str:
    return f"MISSING_ARGUMENT:Id not specified in an {operation} call:--"


def malformed_id(sobject: str, given: str) -> str:
    return bulk_error("MALFORMED_ID", f"{sobject} ID: id value of incorrect type: {given}", ["Id"])


def id_fault(sobject: str, given: str, key_prefix: str | None) -> str | None:
    """Why `given` cannot be the Id of a record of `sobject` (None: it may be); the object's
    key prefix, when known, must start it."""
    key = to_id18(given)
    if key is None or (key_prefix is not None and key[:3] != key_prefix):
        return malformed_id(sobject, given)
    return None


def duplicate_id(key: str) -> str:
    """A record whose Id (18 characters) an earlier record of its chunk holds."""
    return f"DUPLICATE_VALUE:Duplicate id in list: {key}:--"


def duplicate_external_id(value: str) -> str:
    """A record whose external ID another record of its chunk holds: both fail."""
    return f"DUPLICATE_VALUE:Duplicate external id specified: {value}:--"


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
