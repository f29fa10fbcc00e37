"""Field values in the forms Bulk API reads from CSV: XML Schema's lexical forms for numbers,
booleans, dates, datetimes and times, as the Bulk API Developer Guide gives them ("Valid Date
Format in Records": `yyyy-MM-ddTHH:mm:ss.SSS+/-HH:mm` or `...Z` for a datetime, `yyyy-MM-dd` with
no offset for a date; scientific notation for a double). Each check answers whether a value reads
as its field's type, never what it means.
"""

from __future__ import annotations

import datetime
import re
from decimal import Decimal, InvalidOperation

# The XML Schema type the org names when a value does not read as its field's type.
XSD_TYPES = {
    "boolean": "boolean",
    "int": "int",
    "long": "long",
    "double": "double",
    "currency": "double",
    "percent": "double",
    "date": "date",
    "datetime": "dateTime",
    "time": "time",
}
TEXT_TYPES = frozenset(
    {
        "string",
        "textarea",
        "phone",
        "url",
        "email",
        "picklist",
        "multipicklist",
        "combobox",
        "encryptedstring",
    }
)
_INTEGER = re.compile(r"[+-]?\d+")
_DECIMAL = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_DATE = re.compile(r"(\d{4})-(\d\d)-(\d\d)")
_OFFSET = r"(?:Z|[+-](?:[01]\d|2[0-3]):?[0-5]\d)?"
_TIME = re.compile(r"([01]\d|2[0-3]):([0-5]\d):([0-5]\d)(?:\.\d+)?" + _OFFSET)
_DATETIME = re.compile(
    r"(\d{4})-(\d\d)-(\d\d)T([01]\d|2[0-3]):([0-5]\d):([0-5]\d)(?:\.\d+)?" + _OFFSET
)
_EMAIL = re.compile(r"[^@\s]+@[^@\s]+\.[^@\s.]+")
_BOUNDS = {"int": 2**31, "long": 2**63}


def _is_calendar_date(year: str, month: str, day: str) -> bool:
    try:
        datetime.date(int(year), int(month), int(day))
    except ValueError:
        return False
    return True


def _reads(kind: str, value: str) -> bool:
    if kind == "boolean":
        return value.lower() in ("true", "false", "1", "0")
    if kind in _BOUNDS:
        return (
            _INTEGER.fullmatch(value) is not None and -_BOUNDS[kind] <= int(value) < _BOUNDS[kind]
        )
    if kind == "double":
        return _DECIMAL.fullmatch(value) is not None
    if kind == "date":
        match = _DATE.fullmatch(value)
        return match is not None and _is_calendar_date(*match.groups())
    if kind == "dateTime":
        match = _DATETIME.fullmatch(value)
        return match is not None and _is_calendar_date(*match.groups()[:3])
    return _TIME.fullmatch(value) is not None


def unreadable_as(field_type: str, value: str) -> str | None:
    """The XML Schema type `value` fails to read as, or None when it reads (or is text)."""
    kind = XSD_TYPES.get(field_type)
    if kind is None or _reads(kind, value):
        return None
    return kind


def within_digits(value: str, digits: int | None) -> bool:
    """Whether a number that reads has at most `digits` digits before its point (the org rounds
    extra digits after it); None sets no bound."""
    if digits is None:
        return True
    try:
        number = Decimal(value)
    except InvalidOperation:
        return True
    whole_digits = number.adjusted() + 1 if number else 0
    return whole_digits <= digits


def is_email(value: str) -> bool:
    return _EMAIL.fullmatch(value) is not None
