"""Object descriptions as the schema: the JSON an org answers to
`GET /services/data/vXX.X/sobjects/OBJECT/describe`, or the same inside the `result` that the
Salesforce CLI prints for `sf sobject describe --json`. A file holds one object; a folder holds one
such file per object (`*.json`). Of each field only what the record checks use is read (see
`schema.field_of`); everything else in a description is ignored.

`description_document` writes an object the other way, as an org's describe answers it, with every
setting the checks read, so that a description written and read back checks records the same.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from .schema import FieldSchema, ObjectSchema, SchemaError, field_of, is_api_name, relationship_name


def description_of(document: Any, where: str) -> ObjectSchema:
    """The object a description (or the CLI's wrapper around one) describes."""
    if isinstance(document, dict) and isinstance(document.get("result"), dict):
        document = document["result"]
    if not isinstance(document, dict) or not isinstance(document.get("fields"), list):
        raise SchemaError(f"{where}: not an object description (no list of fields)")
    name = document.get("name")
    if not is_api_name(name):
        raise SchemaError(f"{where}: the description has no object name")
    fields = {}
    for entry in document["fields"]:
        if not isinstance(entry, dict):
            raise SchemaError(f"{where}: each field must be a JSON object")
        described = field_of(entry, f"{where}: {name}")
        fields[described.name.lower()] = described
    key_prefix = document.get("keyPrefix")
    if not (isinstance(key_prefix, str) and len(key_prefix) == 3):
        key_prefix = None
    return ObjectSchema(name=name, fields=fields, key_prefix=key_prefix)


def _read(path: Path) -> ObjectSchema:
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise SchemaError(f"cannot read the object description {path}: {error}") from None
    return description_of(document, str(path))


def load_descriptions(path: Path) -> dict[str, ObjectSchema]:
    """The objects of a description file, or of every `*.json` file in a folder."""
    files = sorted(path.glob("*.json")) if path.is_dir() else [path]
    if not files:
        raise SchemaError(f"the folder {path} holds no object descriptions (*.json)")
    objects: dict[str, ObjectSchema] = {}
    for file in files:
        described = _read(file)
        if described.name.lower() in objects:
            raise SchemaError(f"{file}: {described.name} is described twice")
        objects[described.name.lower()] = described
    return objects


def _field_document(field: FieldSchema) -> dict[str, Any]:
    relationship = None
    if field.reference_to:
        relationship = field.relationship_name or relationship_name(field.name)
    return {
        "name": field.name,
        "label": field.shown_name,
        "type": field.type,
        "length": field.length,
        "precision": field.precision,
        "scale": field.scale,
        "digits": field.digits,
        "nillable": field.nillable,
        "defaultedOnCreate": field.defaulted_on_create,
        "createable": field.createable,
        "updateable": field.updateable,
        "externalId": field.external_id,
        "idLookup": field.id_lookup,
        "unique": field.unique,
        "caseSensitive": field.case_sensitive,
        "custom": field.name.lower().endswith("__c"),
        "referenceTo": list(field.reference_to),
        "relationshipName": relationship,
        "picklistValues": [
            {
                "active": True,
                "defaultValue": False,
                "label": value,
                "validFor": None,
                "value": value,
            }
            for value in sorted(field.picklist_values)
        ],
        "restrictedPicklist": field.restricted_picklist,
    }


def description_document(described: ObjectSchema, key_prefix: str | None) -> dict[str, Any]:
    """The object as an org's describe answers it; `key_prefix` starts its records' Ids."""
    return {
        "name": described.name,
        "label": described.name,
        "keyPrefix": key_prefix,
        "custom": described.name.lower().endswith("__c"),
        "createable": True,
        "updateable": True,
        "deletable": True,
        "queryable": True,
        "fields": [_field_document(field) for field in described.fields.values()],
    }
