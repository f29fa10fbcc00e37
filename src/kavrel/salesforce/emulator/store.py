"""The org's records, over SQLite: one table per object, named as the object, with an `Id`
column and one TEXT column per field. Values are stored as the CSV gives them. As on Salesforce,
an empty value leaves a field unchanged when a record is updated (and is null on insert); the
text "#N/A" sets it to null. No HTTP here: `apply` takes a parsed upload and says, row by row,
what became of it.

- insert creates 18-character Ids (a per-object key prefix, a counter, the case-safe suffix);
  the counter lives in the database's `user_version`, so Ids stay unique across runs on a file;
- update, delete and hardDelete find records by `Id` (15- or 18-character form);
- upsert matches on the job's external-ID field with exact text comparison; a blank value
  creates a record, a value matching several records or repeated within one upload fails it;
- a relationship column (`Account.Ext__c`, with a schema) sets the lookup field to the Id of the
  one related record whose external ID holds the value.
"""

from __future__ import annotations

import sqlite3
import threading
from dataclasses import dataclass, field
from typing import Any

from .ids import key_prefix, make_ids, to_id18
from .schema import Schema
from .upload import BatchError, is_api_name

# SQLite's default bound on host parameters is 999 before 3.32; IN lists stay under it.
_LOOKUP_CHUNK = 900

Item = tuple[int, list[str]]  # a row's index in the upload, and its values


class UnknownObject(ValueError):
    """An object the schema does not describe."""


@dataclass
class Outcome:
    """What became of each row: (row index, Id, created) and (row index, Id or "", error)."""

    successes: list[tuple[int, str, bool]] = field(default_factory=list)
    failures: list[tuple[int, str, str]] = field(default_factory=list)


@dataclass
class _Relationship:
    position: int
    target: str
    target_field: str


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


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
        if described is None or name.lower() == "id":
            return "Id" if name.lower() == "id" else name
        if name.lower() not in described.external_ids:
            raise ValueError(
                f"Field name provided, {name} does not match an External ID, Salesforce Id, or "
                f"indexed field for {described.name}"
            )
        return described.fields[name.lower()]

    def _stored_header(self, sobject: str, header: list[str]) -> tuple[list[str], list[Any]]:
        """The fields the columns store into, and each relationship column to resolve."""
        described = self.schema.get(sobject) if self.schema else None
        stored: list[str] = []
        relationships: list[_Relationship] = []
        for position, name in enumerate(header):
            relationship, _, target_field = name.partition(".")
            if not target_field:
                if described is not None and name.lower() not in described.fields:
                    raise BatchError(f"InvalidBatch : Field name not found : {name}")
                stored.append(described.fields[name.lower()] if described else name)
                continue
            lookup = described.relationships.get(relationship.lower()) if described else None
            if lookup is None:
                hint = "" if described else " (a schema file naming its lookup is needed)"
                raise BatchError(f"InvalidBatch : Field name not found : {name}{hint}")
            target = self.schema.get(described.lookups[lookup])  # type: ignore[union-attr]
            if target_field.lower() not in target.external_ids | {"id"}:
                raise BatchError(
                    f"InvalidBatch : Field name not found : {name} ({target_field} is not an "
                    f"external ID of {target.name})"
                )
            stored.append(described.fields[lookup])
            relationships.append(_Relationship(position, target.name, target_field))
        lowered = [name.lower() for name in stored]
        for name in stored:
            if lowered.count(name.lower()) > 1:
                raise BatchError(f"InvalidBatch : Duplicate field name: {name}")
        return stored, relationships

    # -- applying a job ---------------------------------------------------------------------

    def apply(
        self,
        sobject: str,
        operation: str,
        external_id_field: str | None,
        header: list[str],
        items: list[Item],
    ) -> Outcome:
        """Applies the rows in one transaction; BatchError when the job cannot be applied."""
        outcome = Outcome()
        fields, relationships = self._stored_header(sobject, header)
        with self.lock:
            connection = self.connection
            connection.execute("BEGIN")
            try:
                items = self._resolve(connection, relationships, items, outcome)
                run = _Run(connection, sobject, fields, outcome)
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
        relationships: list[_Relationship],
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
                if value in ("", "#N/A"):
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
    """One job's rows applied to one object inside the caller's transaction."""

    def __init__(
        self, connection: sqlite3.Connection, sobject: str, header: list[str], outcome: Outcome
    ) -> None:
        self.connection = connection
        self.sobject = sobject
        self.header = header
        self.outcome = outcome
        self.id_position = next(
            (index for index, name in enumerate(header) if name.lower() == "id"), None
        )
        self.fields = [name for name in header if name.lower() != "id"]

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
        return make_ids(key_prefix(self.sobject), first, count)

    def _insert_rows(self, items: list[Item]) -> None:
        if not items:
            return
        ids = self._allocate_ids(len(items))
        names = ", ".join(['"Id"', *(quote(name) for name in self.fields)])
        values = ", ".join(["?", *(["NULLIF(NULLIF(?, ''), '#N/A')"] * len(self.fields))])
        self.connection.executemany(
            f"INSERT INTO {quote(self.sobject)} ({names}) VALUES ({values})",
            [(new, *self._values(record)) for new, (_, record) in zip(ids, items, strict=True)],
        )
        self.outcome.successes.extend(
            (index, new, True) for new, (index, _) in zip(ids, items, strict=True)
        )

    def _update_rows(self, updates: list[tuple[str, Item]]) -> None:
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
                message = (
                    "INVALID_FIELD_FOR_INSERT_UPDATE:cannot specify Id in an insert call:Id --"
                )
                self._fail([item], message)
            else:
                keep.append(item)
        self._insert_rows(keep)

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
                self._fail(
                    [item],
                    f"MALFORMED_ID:{self.sobject} ID: id value of incorrect type: "
                    f"{item[1][position]}:Id --",
                )
            elif key not in existing:
                self._fail([item], "ENTITY_IS_DELETED:entity is deleted:--", key)
            elif key in seen:
                self._fail([item], f"DUPLICATE_VALUE:Duplicate id in list: {key}:--", key)
            else:
                seen.add(key)
                matched.append((key, item))
        return matched, blank

    def update_or_delete(self, operation: str, items: list[Item]) -> None:
        missing = f"MISSING_ARGUMENT:Id not specified in an {operation} call:--"
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
            self._update_rows(matched)
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
                self._fail([item], f"DUPLICATE_VALUE:Duplicate external id specified: {value}:--")
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
        self._update_rows(updates)
        self._insert_rows(inserts)
