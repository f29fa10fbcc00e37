"""The optional schema file: which objects and fields the org has, which fields are external
IDs, and which are lookups to which object. With it, unknown objects and fields fail as in an
org and relationship columns (`Account.Ext__c`) resolve; without it, any valid name is accepted
and tables and columns are created as they first appear.

    [Contact]
    fields = ["LastName", "Email", "Ext__c", "AccountId", "ReportsToId"]
    external_ids = ["Ext__c"]
    lookups = { AccountId = "Account", ReportsToId = "Contact" }
"""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from os import PathLike
from typing import Any

from .upload import is_api_name


class SchemaError(ValueError):
    """A schema file that cannot be used; the message names the file and the fault."""


@dataclass
class ObjectSchema:
    name: str
    fields: dict[str, str]  # lower-cased name to name, "Id" included
    external_ids: set[str] = field(default_factory=set)  # lower-cased
    lookups: dict[str, str] = field(default_factory=dict)  # lower-cased field to object
    relationships: dict[str, str] = field(default_factory=dict)  # lower-cased name to field


def relationship_name(lookup_field: str) -> str:
    """`AccountId` is reached as `Account`, `Parent__c` as `Parent__r`."""
    if lookup_field.lower().endswith("__c"):
        return lookup_field[:-3] + "__r"
    if lookup_field.lower().endswith("id") and len(lookup_field) > 2:
        return lookup_field[:-2]
    return lookup_field


def _names(value: Any, where: str) -> list[str]:
    if not isinstance(value, list) or not all(is_api_name(name) for name in value):
        raise SchemaError(f"{where} must be a list of field API names")
    return value


def _object(name: str, table: Any, where: str) -> ObjectSchema:
    if not is_api_name(name) or not isinstance(table, dict):
        raise SchemaError(f"{where}: [{name}] must be a table named by an object API name")
    unknown = sorted(set(table) - {"fields", "external_ids", "lookups"})
    if unknown:
        raise SchemaError(f"{where}: [{name}] has an unknown key {unknown[0]!r}")
    names = _names(table.get("fields", []), f"{where}: [{name}] fields")
    fields = {"id": "Id", **{item.lower(): item for item in names}}
    external = _names(table.get("external_ids", []), f"{where}: [{name}] external_ids")
    lookups = table.get("lookups", {})
    if not isinstance(lookups, dict) or not all(
        is_api_name(key) and is_api_name(value) for key, value in lookups.items()
    ):
        raise SchemaError(f"{where}: [{name}] lookups must map field names to object names")
    for listed in [*external, *lookups]:
        if listed.lower() not in fields:
            raise SchemaError(f"{where}: [{name}] names {listed!r}, which is not in its fields")
    return ObjectSchema(
        name=name,
        fields=fields,
        external_ids={item.lower() for item in external},
        lookups={key.lower(): value for key, value in lookups.items()},
        relationships={relationship_name(key).lower(): key.lower() for key in lookups},
    )


class Schema:
    """Objects by lower-cased name."""

    def __init__(self, objects: dict[str, ObjectSchema]) -> None:
        self.objects = objects

    @classmethod
    def from_document(cls, document: dict[str, Any], where: str = "schema") -> Schema:
        objects = {name.lower(): _object(name, table, where) for name, table in document.items()}
        for sobject in objects.values():
            for target in sobject.lookups.values():
                if target.lower() not in objects:
                    raise SchemaError(
                        f"{where}: [{sobject.name}] has a lookup to {target}, which it does not "
                        "describe"
                    )
        return cls(objects)

    @classmethod
    def load(cls, path: str | PathLike[str]) -> Schema:
        try:
            with open(path, "rb") as file:
                document = tomllib.load(file)
        except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
            raise SchemaError(f"cannot read the schema file {path}: {error}") from None
        return cls.from_document(document, str(path))

    def get(self, sobject: str) -> ObjectSchema | None:
        return self.objects.get(sobject.lower())
