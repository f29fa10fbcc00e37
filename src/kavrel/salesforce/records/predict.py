"""What an org will say of each record of a load, from the object descriptions alone, in the order
the local server's store decides it: the record's values, then its Id's form (for the operations
that match on Id), then the keys repeated within its chunk, then what the operation may set.

An org processes a job in chunks of CHUNK_SIZE records, and a key repeated within one chunk fails
there: every record of a repeated external ID, every later record of a repeated Id. A key repeated
in another chunk or job fails nothing; the later record overwrites the earlier one.

What needs the org's stored records is not predicted: lookups and relationship values that name
no record, unique values another record holds, whether an upsert's key matches a record (so which
of the insert's or the update's checks apply), and the org's own logic (validation rules,
triggers, flows, duplicate rules).
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable

from .checks import (
    Header,
    RecordChecks,
    duplicate_external_id,
    duplicate_id,
    id_fault,
    insert_with_id,
    missing_id,
)
from .ids import to_id18
from .schema import FieldSchema, ObjectSchema

CHUNK_SIZE = 10_000
_BY_ID = ("update", "delete", "hardDelete")


class Predictor:
    """The verdicts on one load's records: `sobject` described as `described`, the header read
    against it (with no fault), `key_prefix` starting its records' Ids when known."""

    def __init__(
        self,
        sobject: str,
        operation: str,
        external_id: str | None,
        header: Header,
        described: ObjectSchema,
        prefixes_of: Callable[[FieldSchema], set[str] | None],
        key_prefix: str | None,
    ) -> None:
        self.sobject = sobject
        self.operation = operation
        self.checks = RecordChecks(header.columns, described, prefixes_of)
        self.key_prefix = key_prefix
        key = "Id" if operation in _BY_ID else external_id if operation == "upsert" else None
        self.key_position = _position(header, key)
        self.id_position = _position(header, "Id")
        self.by_id = key is not None and key.lower() == "id"

    def before_key(self, record: list[str]) -> str | None:
        """What fails the record before its key is compared with the other records'."""
        fault = self.checks.values(record)
        if fault is not None or not self.by_id or self.key_position is None:
            return fault
        given = record[self.key_position]
        if not given:
            return missing_id(self.operation) if self.operation in _BY_ID else None
        return id_fault(self.sobject, given, self.key_prefix)

    def key(self, record: list[str]) -> str | None:
        """The key the record is matched on (an Id in its 18-character form), None when blank."""
        if self.key_position is None or not record[self.key_position]:
            return None
        given = record[self.key_position]
        return to_id18(given) if self.by_id else given

    def repeated(self, record: list[str]) -> str:
        """The fault of a record whose key another record of its chunk holds."""
        key = self.key(record)
        assert key is not None
        return duplicate_id(key) if self.by_id else duplicate_external_id(key)

    def after_key(self, record: list[str]) -> str | None:
        """What the operation may set: an insert's fields, an update's, or, for an upsert whose
        key may or may not match, what fails either way."""
        checks, position = self.checks, self.key_position
        if self.operation == "insert":
            if self.id_position is not None and record[self.id_position]:
                return insert_with_id()
            return checks.on_insert(record)
        if self.operation == "update":
            return checks.on_update(record)
        if self.operation != "upsert":
            return None
        if position is None or not record[position]:
            return checks.on_insert(record)
        if self.by_id:
            return checks.on_update(record, position)
        return _either(checks.on_insert(record), checks.on_update(record, position))

    def if_inserted(self, record: list[str]) -> str | None:
        """For an upsert's record predicted to load whatever its external ID matches: what fails
        it when the ID matches no record, so that it is inserted."""
        position = self.key_position
        if self.operation != "upsert" or self.by_id or position is None or not record[position]:
            return None
        return self.checks.on_insert(record)

    def fault(self, record: list[str]) -> str | None:
        """Everything but the keys repeated in a chunk."""
        return self.before_key(record) or self.after_key(record)

    def chunk(self, records: list[list[str]]) -> list[str | None]:
        """The fault of each record of one chunk, as the org finds it, or None."""
        faults = [self.before_key(record) for record in records]
        if self.key_position is not None:
            self._repeated_keys(records, faults)
        return [
            fault or self.after_key(record) for fault, record in zip(faults, records, strict=True)
        ]

    def _repeated_keys(self, records: list[list[str]], faults: list[str | None]) -> None:
        keys = [
            self.key(record) if fault is None else None
            for fault, record in zip(faults, records, strict=True)
        ]
        if self.by_id:
            seen: set[str] = set()
            for index, key in enumerate(keys):
                if key in seen:
                    faults[index] = self.repeated(records[index])
                elif key is not None:
                    seen.add(key)
            return
        counts = Counter(key for key in keys if key is not None)
        for index, key in enumerate(keys):
            if key is not None and counts[key] > 1:
                faults[index] = self.repeated(records[index])


def _position(header: Header, name: str | None) -> int | None:
    if name is None:
        return None
    return next((c.position for c in header.columns if c.name.lower() == name.lower()), None)


def _either(as_insert: str | None, as_update: str | None) -> str | None:
    """An upsert's record fails whatever its key matches only when it fails as both."""
    if as_insert is None or as_update is None:
        return None
    if as_insert == as_update:
        return as_insert
    return f"{as_insert} (when its key matches a record: {as_update})"
