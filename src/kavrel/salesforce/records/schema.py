"""The optional schema: which objects and fields the org has, and what each field accepts. With it,
unknown objects and fields fail as in an org, relationship columns (`Account.Ext__c`) resolve, and
each record is checked field by field (see `checks`); without it, any valid name is accepted and
tables and columns are created as they first appear.

A schema comes from a TOML file, from object descriptions (see `describe`), or from the set of
standard objects shipped beside this module (`standard`). In TOML a field is a bare name (a text
field with no checks, as the org's description of it is unknown) or a table of the settings an
object description gives, spelled as the description spells them:

    [Contact]
    fields = [
        { name = "LastName", type = "string", length = 80, nillable = false },
        { name = "AccountId", type = "reference", referenceTo = "Account" },
        "Email",
        "Ext__c",
    ]
    external_ids = ["Ext__c"]
    lookups = { ReportsToId = "Contact" }
"""

from __future__ import annotations

import re
import tomllib
from dataclasses import dataclass, field, replace
from os import PathLike
from pathlib import Path
from typing import Any, TypeGuard

STANDARD = "standard"
STANDARD_FILE = Path(__file__).with_name("standard.toml")
_API_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,79}")

# The settings a TOML field may give, as an object description names them, and their types.
_SETTINGS: dict[str, type | tuple[type, ...]] = {
    "name": str,
    "label": str,
    "type": str,
    "length": int,
    "precision": int,
    "scale": int,
    "digits": int,
    "nillable": bool,
    "defaultedOnCreate": bool,
    "createable": bool,
    "updateable": bool,
    "externalId": bool,
    "idLookup": bool,
    "unique": bool,
    "caseSensitive": bool,
    "referenceTo": (str, list),
    "relationshipName": str,
    "picklistValues": list,
    "restrictedPicklist": bool,
}


def is_api_name(name: Any) -> TypeGuard[str]:
    """Whether `name` can name an object or a field: a letter, then letters, digits and `_`."""
    return isinstance(name, str) and _API_NAME.fullmatch(name) is not None


class SchemaError(ValueError):
    """A schema that cannot be used; the message names the file and the fault."""


@dataclass(frozen=True)
class FieldSchema:
    """One field as the org describes it. `checked` is False for a field known by name alone,
    whose values are taken as they come."""

    name: str
    label: str = ""
    type: str = "string"
    length: int = 0
    precision: int = 0
    scale: int = 0
    digits: int = 0
    nillable: bool = True
    defaulted_on_create: bool = False
    createable: bool = True
    updateable: bool = True
    external_id: bool = False
    id_lookup: bool = False
    unique: bool = False
    case_sensitive: bool = False
    reference_to: tuple[str, ...] = ()
    relationship_name: str | None = None
    picklist_values: frozenset[str] = frozenset()
    restricted_picklist: bool = False
    checked: bool = True

    @property
    def shown_name(self) -> str:
        """The name the org puts in its messages: the field's label."""
        return self.label or self.name

    @property
    def whole_digits(self) -> int | None:
        """How many digits a number may have before its point (None: no bound)."""
        if self.type in ("int", "long"):
            return self.digits or None
        return self.precision - self.scale if self.precision else None

    @property
    def required_on_create(self) -> bool:
        # A boolean is never null: unset, it is false.
        return (
            self.checked
            and not self.nillable
            and self.createable
            and not self.defaulted_on_create
            and self.type != "boolean"
        )


ID_FIELD = FieldSchema(
    "Id", "Record ID", "id", length=18, nillable=False, createable=False, updateable=False
)


@dataclass
class ObjectSchema:
    name: str
    fields: dict[str, FieldSchema]  # lower-cased name to field, "Id" included
    key_prefix: str | None = None
    external_ids: set[str] = field(default_factory=set)  # lower-cased: external ID or idLookup
    lookups: dict[str, str] = field(default_factory=dict)  # lower-cased field to its object
    relationships: dict[str, str] = field(default_factory=dict)  # lower-cased name to field

    def __post_init__(self) -> None:
        self.fields.setdefault("id", ID_FIELD)
        for key, described in self.fields.items():
            if described.external_id or described.id_lookup:
                self.external_ids.add(key)
            # A relationship column needs one object to look in: a polymorphic lookup has none.
            if len(described.reference_to) == 1 and key != "id":
                self.lookups[key] = described.reference_to[0]
                name = described.relationship_name or relationship_name(described.name)
                self.relationships[name.lower()] = key


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


def _picklist(values: list[Any], where: str) -> frozenset[str]:
    """The active values: a TOML list of texts, or a description's list of entries."""
    active = set()
    for entry in values:
        if isinstance(entry, str):
            active.add(entry)
        elif isinstance(entry, dict) and isinstance(entry.get("value"), str):
            if entry.get("active", True):
                active.add(entry["value"])
        else:
            raise SchemaError(f"{where}: picklistValues must hold texts or {{value = ...}} tables")
    return frozenset(active)


def field_of(settings: dict[str, Any], where: str) -> FieldSchema:
    """A field from its settings, spelled as an object description spells them."""
    name = settings.get("name")
    if not is_api_name(name):
        raise SchemaError(f"{where}: a field needs a name that is a field API name")
    where = f"{where} field {name}"
    for key, value in settings.items():
        expected = _SETTINGS.get(key)
        # JSON's null and a description's settings that do not apply to the field are skipped.
        if expected is None or value is None:
            continue
        if isinstance(value, bool) and expected is int or not isinstance(value, expected):
            raise SchemaError(f"{where}: {key} has the wrong type ({value!r})")
    reference_to = settings.get("referenceTo") or ()
    if isinstance(reference_to, str):
        reference_to = (reference_to,)
    if not all(is_api_name(target) for target in reference_to):
        raise SchemaError(f"{where}: referenceTo must name objects")

    def setting(key: str, default: Any) -> Any:
        value = settings.get(key)
        return default if value is None else value

    return FieldSchema(
        name=name,
        label=setting("label", ""),
        type=setting("type", "string").lower(),
        length=setting("length", 0),
        precision=setting("precision", 0),
        scale=setting("scale", 0),
        digits=setting("digits", 0),
        nillable=setting("nillable", True),
        defaulted_on_create=setting("defaultedOnCreate", False),
        createable=setting("createable", True),
        updateable=setting("updateable", True),
        external_id=setting("externalId", False),
        id_lookup=setting("idLookup", False),
        unique=setting("unique", False),
        case_sensitive=setting("caseSensitive", False),
        reference_to=tuple(reference_to),
        relationship_name=settings.get("relationshipName"),
        picklist_values=_picklist(setting("picklistValues", []), where),
        restricted_picklist=setting("restrictedPicklist", False),
    )


def _toml_field(entry: Any, where: str) -> FieldSchema:
    if isinstance(entry, str):
        if not is_api_name(entry):
            raise SchemaError(f"{where} must be a list of field API names or field tables")
        return FieldSchema(entry, checked=False)
    if not isinstance(entry, dict):
        raise SchemaError(f"{where} must be a list of field API names or field tables")
    unknown = sorted(set(entry) - set(_SETTINGS))
    if unknown:
        raise SchemaError(f"{where}: a field has an unknown setting {unknown[0]!r}")
    return field_of(entry, where)


def _toml_object(name: str, table: Any, where: str) -> ObjectSchema:
    if not is_api_name(name) or not isinstance(table, dict):
        raise SchemaError(f"{where}: [{name}] must be a table named by an object API name")
    unknown = sorted(set(table) - {"fields", "external_ids", "lookups", "keyPrefix"})
    if unknown:
        raise SchemaError(f"{where}: [{name}] has an unknown key {unknown[0]!r}")
    entries = table.get("fields", [])
    if not isinstance(entries, list):
        raise SchemaError(f"{where}: [{name}] fields must be a list")
    fields = {}
    for entry in entries:
        described = _toml_field(entry, f"{where}: [{name}] fields")
        fields[described.name.lower()] = described
    external = _names(table.get("external_ids", []), f"{where}: [{name}] external_ids")
    lookups = table.get("lookups", {})
    if not isinstance(lookups, dict) or not all(
        is_api_name(key) and is_api_name(value) for key, value in lookups.items()
    ):
        raise SchemaError(f"{where}: [{name}] lookups must map field names to object names")
    for listed in [*external, *lookups]:
        if listed.lower() not in fields:
            raise SchemaError(f"{where}: [{name}] names {listed!r}, which is not in its fields")
    for listed in external:
        fields[listed.lower()] = replace(fields[listed.lower()], external_id=True)
    for listed, target in lookups.items():
        fields[listed.lower()] = replace(fields[listed.lower()], reference_to=(target,))
    key_prefix = table.get("keyPrefix")
    if key_prefix is not None and not (isinstance(key_prefix, str) and len(key_prefix) == 3):
        raise SchemaError(f"{where}: [{name}] keyPrefix must be three characters")
    return ObjectSchema(name=name, fields=fields, key_prefix=key_prefix)


class Schema:
    """Objects by lower-cased name."""

    def __init__(self, objects: dict[str, ObjectSchema]) -> None:
        self.objects = objects

    @classmethod
    def from_document(cls, document: dict[str, Any], where: str = "schema") -> Schema:
        """The schema a TOML document (or the same as a dict) describes."""
        objects = {
            name.lower(): _toml_object(name, table, where) for name, table in document.items()
        }
        for name, table in document.items():
            # A lookup listed by name alone is there for its relationship columns, which need
            # the object it points to.
            for target in table.get("lookups", {}).values():
                if target.lower() not in objects:
                    raise SchemaError(
                        f"{where}: [{name}] has a lookup to {target}, which it does not describe"
                    )
        return cls(objects)

    @classmethod
    def load(cls, path: str | PathLike[str]) -> Schema:
        """`standard`, a folder or file of object descriptions (JSON), or a TOML file."""
        from .describe import load_descriptions

        if str(path) == STANDARD:
            path = STANDARD_FILE
        if Path(path).is_dir() or str(path).lower().endswith(".json"):
            return cls(load_descriptions(Path(path)))
        try:
            with open(path, "rb") as file:
                document = tomllib.load(file)
        except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
            raise SchemaError(f"cannot read the schema file {path}: {error}") from None
        return cls.from_document(document, str(path))

    def get(self, sobject: str) -> ObjectSchema | None:
        return self.objects.get(sobject.lower())
