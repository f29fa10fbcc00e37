"""The org's records, over SQLite: one table per object, named as the object, with an `Id`
column and one TEXT column per field. Values are stored as the CSV gives them. As on Salesforce,
an empty value leaves a field unchanged when a record is updated (and is null on insert); the
text "#N/A" sets it to null. No HTTP here: `plan` reads an upload's header once, and `apply`
takes a chunk of its rows and says, row by row, what became of it, in one transaction.

- insert creates 18-character Ids (a per-object key prefix, a counter, the case-safe suffix);
  the counter lives in the database's `user_version`, so Ids stay unique across runs on a file;
- update, delete and hardDelete find records by `Id` (15- or 18-character form);
- upsert matches on the job's external-ID field with exact text comparison; a blank value
  creates a record, a value matching several records or repeated within one upload fails it;
- a relationship column (`Account.Ext__c`, with a schema) sets the lookup field to the Id of the
  one related record whose external ID holds the value;
- with a schema, each record is checked as an org checks it (see `checks`), a lookup's Id must
  name a record of the object it points to, a unique field's value must be held by no other
  record, and an Id of no record fails as deleted only when this server deleted it.
"""

from __future__ import annotations

import sqlite3
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from kavrel.salesforce.records.checks import (
    NULL,
    Column,
    RecordChecks,
    Relationship,
    bulk_error,
    duplicate_external_id,
    duplicate_id,
    external_id_fault,
    insert_with_id,
    malformed_id,
    missing_id,
    read_header,
)
from kavrel.salesforce.records.ids import key_prefix, make_ids, standard_key_prefix, to_id18
from kavrel.salesforce.records.schema import FieldSchema, ObjectSchema, Schema, is_api_name

from .upload import BatchError

# SQLite's default bound on host parameters is 999 before 3.32; IN lists stay under it.
_LOOKUP_CHUNK = 900
# Ids this server deleted, so an Id of no record fails as deleted only when it was; a name no
# object can have (API names hold no "$").
_DELETED_TABLE = "$deleted"
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")

Item = tuple[int, list[str]]  # a row's index in the upload, and its values


class UnknownObject(ValueError):
    """An object the schema does not describe."""


@dataclass
class Outcome:
    """What became of each row: (row index, Id, created) and (row index, Id or "", error)."""

    successes: list[tuple[int, str, bool]] = field(default_factory=list)
    failures: list[tuple[int, str, str]] = field(default_factory=list)


@dataclass
class Plan:
    """One upload's header read against the org: the field each column sets, the relationship
    columns to resolve, and the checks of its records."""

    sobject: str
    described: ObjectSchema | None
    fields: list[str]
    relationships: list[Relationship]
    checks: RecordChecks
    lookups: list[Column]  # columns holding Ids of records the schema lets us look for
    unique: list[Column]  # columns of unique fields


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def ascii_lower(value: str) -> str:
    """`value` lowered as SQLite's lower() lowers it: ASCII letters only."""
    return value.translate(_ASCII_LOWER)


class ObjectStore:
    """Records of every object in one SQLite database; safe to use from several threads."""

    def __init__(self, connection: sqlite3.Connection, schema: Schema | None = None) -> None:
        self.connection = connection
        self.schema = schema
        self.lock = threading.Lock()

    # -- what the org knows -----------------------------------------------------------------

    def object_name(self, sobject: str) -> str:
        """The object's own name; UnknownObject when a schema is given and lacks it."""
        if self.schema is None:
            return sobject
        described = self.schema.get(sobject)
        if described is None:
            raise UnknownObject(f"sObject type '{sobject}' is not supported.")
        return described.name

    def check_external_id(self, sobject: str, name: str) -> str:
        """The external-ID field's own name; ValueError when the schema says it is not one."""
        described = self.schema.get(sobject) if self.schema else None
        if name.lower() == "id":
            return "Id"
        fault = external_id_fault(described, name)
        if fault is not None:
            raise ValueError(fault)
        return described.fields[name.lower()].name if described else name

    def key_prefix(self, sobject: str) -> str:
        """The key prefix of the object's new Ids: its description's, else `ids.key_prefix`."""
        described = self.schema.get(sobject) if self.schema else None
        return (described and described.key_prefix) or key_prefix(sobject)

    def _known_prefix(self, sobject: str) -> str | None:
        """The prefix an org's Ids of this object have, when it can be known."""
        if self.schema is not None and self.schema.get(sobject) is not None:
            return self.key_prefix(sobject)
        return standard_key_prefix(sobject)

    def _prefixes_of(self, lookup: FieldSchema) -> set[str] | None:
        prefixes = {self._known_prefix(target) for target in lookup.reference_to}
        return None if None in prefixes or not prefixes else prefixes  # type: ignore[return-value]

    def plan(self, sobject: str, header: list[str]) -> Plan:
        """The upload's header read against the object; BatchError when the org would refuse
        it."""
        described = self.schema.get(sobject) if self.schema else None
        read = read_header(header, described, self.schema.get if self.schema else lambda _: None)
        if read.faults:
            raise BatchError(read.faults[0])
        columns = read.columns
        return Plan(
            sobject=sobject,
            described=described,
            fields=[column.name for column in columns],
            relationships=read.relationships,
            checks=RecordChecks(columns, described, self._prefixes_of),
            lookups=[c for c in columns if _is_checked_lookup(c)],
            unique=[c for c in columns if c.field and c.field.checked and c.field.unique],
        )

    # -- applying a job ---------------------------------------------------------------------

    def apply(
        self, plan: Plan, operation: str, external_id_field: str | None, items: list[Item]
    ) -> Outcome:
        """Applies the rows in one transaction; BatchError when they cannot be applied."""
        outcome = Outcome()
        items = _checked(plan.checks, items, outcome)
        with self.lock:
            connection = self.connection
            connection.execute("BEGIN")
            try:
                items = self._resolve(connection, plan.relationships, items, outcome)
                items = self._existing_lookups(connection, plan.lookups, items, outcome)
                run = _Run(connection, plan, self.key_prefix(plan.sobject), outcome)
                if operation == "insert":
                    run.insert(items)
                elif operation == "upsert":
                    run.upsert(external_id_field or "Id", items)
                else:
                    run.update_or_delete(operation, items)
                connection.execute("COMMIT")
            except BaseException as error:
                connection.execute("ROLLBACK")
                if isinstance(error, sqlite3.Error):
                    raise BatchError(
                        f"InvalidBatch : The records could not be stored: {error}"
                    ) from None
                raise
        return outcome

    def _resolve(
        self,
        connection: sqlite3.Connection,
        relationships: list[Relationship],
        items: list[Item],
        outcome: Outcome,
    ) -> list[Item]:
        """Replaces relationship values by the related records' Ids; rows that name no record,
        or several, fail."""
        for relationship in relationships:
            found = _lookup(
                connection,
                relationship.target,
                relationship.target_field,
                [record[relationship.position] for _, record in items],
            )
            kept: list[Item] = []
            for index, record in items:
                value = record[relationship.position]
                keys = found.get(value, [])
                if value in ("", NULL):
                    kept.append((index, record))
                elif len(keys) == 1:
                    resolved = list(record)
                    resolved[relationship.position] = keys[0]
                    kept.append((index, resolved))
                else:
                    problem = "not found" if not keys else "matches more than one record"
                    message = (
                        f"INVALID_FIELD:Foreign key external ID: {value} {problem} for field "
                        f"{relationship.target_field} in entity {relationship.target}:--"
                    )
                    outcome.failures.append((index, "", message))
            items = kept
        return items

    def _existing_lookups(
        self,
        connection: sqlite3.Connection,
        columns: list[Column],
        items: list[Item],
        outcome: Outcome,
    ) -> list[Item]:
        """Rows whose lookup Ids name records of the objects they point to; the rest fail."""
        assert self.schema is not None or not columns
        for column in columns:
            owners = {
                self.key_prefix(target): target
                for target in column.field.reference_to  # type: ignore[union-attr]
                if self.schema.get(target) is not None  # type: ignore[union-attr]
            }
            wanted: dict[str, list[str]] = {}
            for _, record in items:
                key = to_id18(record[column.position])
                if key is not None and key[:3] in owners:
                    wanted.setdefault(owners[key[:3]], []).append(key)
            existing: set[str] = set()
            for target, keys in wanted.items():
                existing |= _existing_ids(connection, target, keys)
            kept: list[Item] = []
            for index, record in items:
                key = to_id18(record[column.position])
                if key is None or key[:3] not in owners or key in existing:
                    kept.append((index, record))
                else:
                    message = bulk_error(
                        "INVALID_CROSS_REFERENCE_KEY", "invalid cross reference id"
                    )
                    outcome.failures.append((index, "", message))
            items = kept
        return items

    def rows(self, sobject: str) -> list[dict[str, Any]]:
        """What the object's table holds, in Id order (empty when it has none yet)."""
        if not is_api_name(sobject):
            raise ValueError(f"not a valid object name: {sobject!r}")
        with self.lock:
            if not _columns(self.connection, sobject):
                return []
            cursor = self.connection.execute(f'SELECT * FROM {quote(sobject)} ORDER BY "Id"')
            names = [column[0] for column in cursor.description]
            return [dict(zip(names, row, strict=True)) for row in cursor.fetchall()]


def _is_checked_lookup(column: Column) -> bool:
    field = column.field
    return (
        field is not None
        and field.checked
        and field.type == "reference"
        and not column.relationship
        and column.name.lower() != "id"
    )


def _checked(checks: RecordChecks, items: list[Item], outcome: Outcome) -> list[Item]:
    """The rows whose values pass the record checks; the rest fail with the first fault."""
    kept: list[Item] = []
    for item in items:
        error = checks.values(item[1])
        if error is None:
            kept.append(item)
        else:
            outcome.failures.append((item[0], "", error))
    return kept


def _columns(connection: sqlite3.Connection, table: str) -> dict[str, str]:
    """The table's columns, lower-cased name to name (empty when there is no such table)."""
    rows = connection.execute(f"PRAGMA table_info({quote(table)})").fetchall()
    return {row[1].lower(): row[1] for row in rows}


def _lookup(
    connection: sqlite3.Connection, table: str, column: str, values: list[str]
) -> dict[str, list[str]]:
    """Each non-blank value to the Ids of the records whose `column` holds it."""
    found: dict[str, list[str]] = {}
    if column.lower() == "id":
        ids = {value: to_id18(value) for value in values if value}
        existing = _existing_ids(connection, table, [key for key in ids.values() if key])
        return {value: [key] for value, key in ids.items() if key in existing}
    if column.lower() not in _columns(connection, table):
        return found
    distinct = list(dict.fromkeys(value for value in values if value))
    for start in range(0, len(distinct), _LOOKUP_CHUNK):
        chunk = distinct[start : start + _LOOKUP_CHUNK]
        marks = ", ".join("?" * len(chunk))
        statement = (
            f'SELECT {quote(column)}, "Id" FROM {quote(table)} WHERE {quote(column)} IN ({marks})'
        )
        for value, key in connection.execute(statement, chunk):
            found.setdefault(value, []).append(key)
    return found


def _existing_ids(connection: sqlite3.Connection, table: str, ids: list[str]) -> set[str]:
    found: set[str] = set()
    if not _columns(connection, table):
        return found
    for start in range(0, len(ids), _LOOKUP_CHUNK):
        chunk = ids[start : start + _LOOKUP_CHUNK]
        marks = ", ".join("?" * len(chunk))
        statement = f'SELECT "Id" FROM {quote(table)} WHERE "Id" IN ({marks})'
        found.update(row[0] for row in connection.execute(statement, chunk))
    return found


class _Run:
    """One chunk's rows applied to one object inside the caller's transaction."""

    def __init__(
        self, connection: sqlite3.Connection, plan: Plan, prefix: str, outcome: Outcome
    ) -> None:
        self.connection = connection
        self.plan = plan
        self.sobject = plan.sobject
        self.header = plan.fields
        self.prefix = prefix
        self.outcome = outcome
        self.id_position = next(
            (index for index, name in enumerate(self.header) if name.lower() == "id"), None
        )
        self.fields = [name for name in self.header if name.lower() != "id"]

    def _fail(self, items: list[Item], message: str, key: str = "") -> None:
        self.outcome.failures.extend((index, key, message) for index, _ in items)

    def _values(self, record: list[str]) -> list[str]:
        position = self.id_position
        return record if position is None else record[:position] + record[position + 1 :]

    def _prepare_table(self) -> None:
        table = quote(self.sobject)
        self.connection.execute(
            f'CREATE TABLE IF NOT EXISTS {table} ("Id" TEXT PRIMARY KEY NOT NULL)'
        )
        columns = _columns(self.connection, self.sobject)
        for name in self.fields:
            if name.lower() not in columns:
                self.connection.execute(f"ALTER TABLE {table} ADD COLUMN {quote(name)} TEXT")
                columns[name.lower()] = name

    def _allocate_ids(self, count: int) -> list[str]:
        first = self.connection.execute("PRAGMA user_version").fetchone()[0] + 1
        self.connection.execute(f"PRAGMA user_version = {first + count - 1:d}")
        return make_ids(self.prefix, first, count)

    def _passing(
        self, rows: list[tuple[str, Item]], check: Callable[[list[str]], str | None]
    ) -> list[tuple[str, Item]]:
        """The rows (Id or "", row) that pass an insert or update check of the schema; the rest
        fail."""
        if self.plan.described is None:
            return rows
        kept = []
        for key, item in rows:
            error = check(item[1])
            if error is None:
                kept.append((key, item))
            else:
                self._fail([item], error, key)
        return kept

    def _unique(self, rows: list[tuple[str, Item]]) -> list[tuple[str, Item]]:
        """The rows (Id, row) whose unique fields hold no value another record holds, in the
        table or earlier in the chunk; the rest fail."""
        for column in self.plan.unique:
            case_sensitive = column.field.case_sensitive  # type: ignore[union-attr]
            fold = (lambda value: value) if case_sensitive else ascii_lower
            values = {fold(item[1][column.position]) for _, item in rows} - {"", fold(NULL)}
            holders = self._holders(column.name, values, case_sensitive)
            kept: list[tuple[str, Item]] = []
            for key, item in rows:
                value = fold(item[1][column.position])
                other = next((held for held in holders.get(value, ()) if held != key), None)
                if other is None or value in ("", fold(NULL)):
                    holders.setdefault(value, []).append(key)
                    kept.append((key, item))
                    continue
                message = (
                    f"duplicate value found: {column.name} duplicates value on record with id: "
                    f"{other[:15]}"
                )
                self._fail([item], bulk_error("DUPLICATE_VALUE", message), key)
            rows = kept
        return rows

    def _holders(self, column: str, values: set[str], case_sensitive: bool) -> dict[str, list]:
        """Each value to the Ids of the stored records holding it (compared as the field
        compares)."""
        holders: dict[str, list[str]] = {}
        if column.lower() not in _columns(self.connection, self.sobject):
            return holders
        table, name = quote(self.sobject), quote(column)
        compared = name if case_sensitive else f"lower({name})"
        index = quote(f"{self.sobject}:{column}:{'case' if case_sensitive else 'lower'}".lower())
        self.connection.execute(f"CREATE INDEX IF NOT EXISTS {index} ON {table} ({compared})")
        distinct = list(values)
        for start in range(0, len(distinct), _LOOKUP_CHUNK):
            chunk = distinct[start : start + _LOOKUP_CHUNK]
            marks = ", ".join("?" * len(chunk))
            statement = f'SELECT {compared}, "Id" FROM {table} WHERE {compared} IN ({marks})'
            for value, key in self.connection.execute(statement, chunk):
                holders.setdefault(value, []).append(key)
        return holders

    def _insert_rows(self, items: list[Item]) -> None:
        checks = self.plan.checks
        items = [
            item for _, item in self._passing([("", item) for item in items], checks.on_insert)
        ]
        if not items:
            return
        ids = self._allocate_ids(len(items))
        rows = self._unique(list(zip(ids, items, strict=True)))
        names = ", ".join(['"Id"', *(quote(name) for name in self.fields)])
        values = ", ".join(["?", *(["NULLIF(NULLIF(?, ''), '#N/A')"] * len(self.fields))])
        self.connection.executemany(
            f"INSERT INTO {quote(self.sobject)} ({names}) VALUES ({values})",
            [(new, *self._values(record)) for new, (_, record) in rows],
        )
        self.outcome.successes.extend((index, new, True) for new, (index, _) in rows)

    def _update_rows(
        self, updates: list[tuple[str, Item]], key_position: int | None = None
    ) -> None:
        if self.plan.described is not None:
            checks = self.plan.checks
            updates = self._unique(
                self._passing(updates, lambda record: checks.on_update(record, key_position))
            )
        if not updates:
            return
        if self.fields:
            assignments = ", ".join(
                f"{quote(name)} = CASE ?{number} WHEN '' THEN {quote(name)} "
                f"WHEN '#N/A' THEN NULL ELSE ?{number} END"
                for number, name in enumerate(self.fields, start=2)
            )
            self.connection.executemany(
                f'UPDATE {quote(self.sobject)} SET {assignments} WHERE "Id" = ?1',
                [(key, *self._values(record)) for key, (_, record) in updates],
            )
        self.outcome.successes.extend((index, key, False) for key, (index, _) in updates)

    def insert(self, items: list[Item]) -> None:
        self._prepare_table()
        keep = []
        for item in items:
            if self.id_position is not None and item[1][self.id_position]:
                self._fail([item], insert_with_id())
            else:
                keep.append(item)
        self._insert_rows(keep)

    def _absent_id_error(self, key: str, given: str) -> str:
        """Why an Id names no record: without a schema, as deleted; with one, as the org says
        it: of another object, deleted by this server, or never known."""
        if self.plan.described is None:
            return "ENTITY_IS_DELETED:entity is deleted:--"
        if key[:3] != self.prefix:
            return malformed_id(self.sobject, given)
        if _existing_ids(self.connection, _DELETED_TABLE, [key]):
            return bulk_error("ENTITY_IS_DELETED", "entity is deleted")
        return bulk_error("INVALID_CROSS_REFERENCE_KEY", "invalid cross reference id")

    def _match_by_id(
        self, position: int, items: list[Item]
    ) -> tuple[list[tuple[str, Item]], list[Item]]:
        """Splits rows into (Id, row) pairs of existing records and rows with no Id; the rest
        fail."""
        keys = [to_id18(record[position]) if record[position] else "" for _, record in items]
        existing = _existing_ids(self.connection, self.sobject, [key for key in keys if key])
        matched: list[tuple[str, Item]] = []
        blank: list[Item] = []
        seen: set[str] = set()
        for key, item in zip(keys, items, strict=True):
            if key == "":
                blank.append(item)
            elif key is None:
                self._fail([item], malformed_id(self.sobject, item[1][position]))
            elif key not in existing:
                self._fail([item], self._absent_id_error(key, item[1][position]), key)
            elif key in seen:
                self._fail([item], duplicate_id(key), key)
            else:
                seen.add(key)
                matched.append((key, item))
        return matched, blank

    def _remember_deleted(self, keys: list[str]) -> None:
        table = quote(_DELETED_TABLE)
        self.connection.execute(f'CREATE TABLE IF NOT EXISTS {table} ("Id" TEXT PRIMARY KEY)')
        self.connection.executemany(
            f"INSERT OR IGNORE INTO {table} VALUES (?)", [(key,) for key in keys]
        )

    def update_or_delete(self, operation: str, items: list[Item]) -> None:
        missing = missing_id(operation)
        if self.id_position is None:
            self._fail(items, missing)
            return
        matched, blank = self._match_by_id(self.id_position, items)
        self._fail(blank, missing)
        if not matched:
            return
        if operation in ("delete", "hardDelete"):
            self.connection.executemany(
                f'DELETE FROM {quote(self.sobject)} WHERE "Id" = ?', [(key,) for key, _ in matched]
            )
            if self.plan.described is not None:
                self._remember_deleted([key for key, _ in matched])
            self.outcome.successes.extend((index, key, False) for key, (index, _) in matched)
            return
        self._prepare_table()
        self._update_rows(matched)

    def upsert(self, external: str, items: list[Item]) -> None:
        position = next(
            (i for i, name in enumerate(self.header) if name.lower() == external.lower()), None
        )
        if position is None:
            raise BatchError(
                f"InvalidBatch : Field {external} is not in the upload; the upsert matches on it"
            )
        self._prepare_table()
        if external.lower() == "id":
            matched, blank = self._match_by_id(position, items)
            self._update_rows(matched, position)
            self._insert_rows(blank)
            return
        column = self.header[position]
        index_name = quote(f"{self.sobject}:{column}".lower())
        self.connection.execute(
            f"CREATE INDEX IF NOT EXISTS {index_name} ON {quote(self.sobject)} ({quote(column)})"
        )
        counts: dict[str, int] = {}
        for _, record in items:
            counts[record[position]] = counts.get(record[position], 0) + 1
        found = _lookup(self.connection, self.sobject, column, list(counts))
        updates: list[tuple[str, Item]] = []
        inserts: list[Item] = []
        for item in items:
            value = item[1][position]
            keys = found.get(value)
            if value and counts[value] > 1:
                self._fail([item], duplicate_external_id(value))
            elif keys is None:
                inserts.append(item)
            elif len(keys) > 1:
                self._fail(
                    [item],
                    f"DUPLICATE_EXTERNAL_ID:{external}: more than one record found for external "
                    f"id field: [{', '.join(sorted(keys))}]:--",
                )
            else:
                updates.append((keys[0], item))
        self._update_rows(updates, position)
        self._insert_rows(inserts)
