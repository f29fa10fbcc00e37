"""What a load's preflight asks of the org's descriptions: the load's object and the objects its
relationship and lookup columns reach, the columns against their fields, and the predictor of the
records (kavrel.salesforce.records)."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from kavrel.salesforce.records.checks import external_id_fault, read_header
from kavrel.salesforce.records.describe import description_of
from kavrel.salesforce.records.ids import standard_key_prefix
from kavrel.salesforce.records.predict import Predictor
from kavrel.salesforce.records.schema import FieldSchema, ObjectSchema

Describe = Callable[[Any, str], dict[str, Any]]


class Refused(ValueError):
    """What the org says of a load stops it before any job."""


class NotInOrg(Refused):
    """The org does not have the load's object."""


@dataclass
class OrgObjects:
    """The load's object as the org describes it, and the objects its columns reach (None where
    the org has no such object)."""

    target: ObjectSchema
    others: dict[str, ObjectSchema | None] = field(default_factory=dict)

    def described_as(self, name: str) -> ObjectSchema | None:
        if name.lower() == self.target.name.lower():
            return self.target
        return self.others.get(name.lower())

    def prefixes_of(self, lookup: FieldSchema) -> set[str] | None:
        """The key prefixes a lookup's Ids may start with (None: some are unknown)."""
        prefixes = set()
        for name in lookup.reference_to:
            described = self.described_as(name)
            prefix = described.key_prefix if described is not None else standard_key_prefix(name)
            if prefix is None:
                return None
            prefixes.add(prefix)
        return prefixes or None


def _described(
    describe: Describe, access_info: Mapping[str, Any], name: str, needed: bool = False
) -> ObjectSchema | None:
    """The org's description of `name`; None when the org has no such object, or NotInOrg when
    it is `needed`."""
    from kavrel.salesforce.ingest_bapi20 import BulkApiError

    try:
        document = describe(access_info, name)
    except BulkApiError as error:
        if error.status_code != 404:
            raise
        if needed:
            message = f"the org has no object {name} ({error.message}); no job was created"
            raise NotInOrg(message) from None
        return None
    return description_of(document, f"the org's description of {name}")


def _reached(target: ObjectSchema, header: Sequence[str]) -> list[str]:
    """The objects that the header's relationship columns and lookup columns point to."""
    names: list[str] = []
    for column in header:
        relationship, _, reached = column.partition(".")
        if reached:
            lookup = target.relationships.get(relationship.lower())
            names += [target.lookups[lookup]] if lookup else []
        elif (described := target.fields.get(column.lower())) and described.type == "reference":
            names += described.reference_to
    return names


def describe_for(
    describe: Describe, access_info: Mapping[str, Any], sobject: str, header: Sequence[str]
) -> OrgObjects:
    """The org's descriptions a preflight of these columns needs; NotInOrg when the org does not
    have the object."""
    target = _described(describe, access_info, sobject, needed=True)
    assert target is not None
    org = OrgObjects(target)
    for name in _reached(target, header):
        if org.described_as(name) is None and name.lower() not in org.others:
            org.others[name.lower()] = _described(describe, access_info, name)
    return org


def column_findings(
    org: OrgObjects, operation: str, external_id: str | None, header: Sequence[str]
) -> list[tuple[bool, str]]:
    """The columns against the org's fields, as (passed, finding) pairs: a fault here fails
    every job."""
    name = org.target.name
    faults = read_header(list(header), org.target, org.described_as).faults
    matched = external_id if operation == "upsert" else None
    if matched and (fault := external_id_fault(org.target, matched)):
        faults.append(fault)
    if faults:
        return [(False, f"Salesforce would fail every job: {fault}") for fault in faults]
    found = [(True, f"every column names a field of {name}")]
    return found + ([(True, f"{matched} is an external ID field of {name}")] if matched else [])


def predictor_for(
    org: OrgObjects, operation: str, external_id: str | None, header: Sequence[str]
) -> Predictor:
    read = read_header(list(header), org.target, org.described_as)
    target = org.target
    return Predictor(
        target.name, operation, external_id, read, target, org.prefixes_of, target.key_prefix
    )


def cannot_tell(header: Sequence[str]) -> list[str]:
    """What the org will check of these columns that the descriptions cannot tell."""
    reaching = [name for name in header if "." in name]
    if not reaching:
        return []
    return [f"each value of {', '.join(reaching)} must name exactly one record; the org looks "
            "them up"]  # fmt: skip
