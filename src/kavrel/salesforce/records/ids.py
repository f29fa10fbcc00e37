"""Salesforce record Ids: 18 characters, a key prefix naming the object, a counter, and a
three-character suffix that keeps them unique when compared without regard to case."""

from __future__ import annotations

import re
import zlib

_SALESFORCE_ID = re.compile(r"[A-Za-z0-9]{15}(?:[A-Za-z0-9]{3})?")
_KEY_PREFIXES = {
    "account": "001",
    "contact": "003",
    "user": "005",
    "opportunity": "006",
    "lead": "00Q",
    "task": "00T",
    "event": "00U",
    "product2": "01t",
    "case": "500",
    "campaign": "701",
    "contract": "800",
    "order": "801",
    "recordtype": "012",
    "group": "00G",
    "profile": "00e",
    "userrole": "00E",
    "pricebook2": "01s",
}
_BASE36 = "0123456789abcdefghijklmnopqrstuvwxyz"
_BASE62 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
_SUFFIX_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"
JOB_KEY_PREFIX = "750"


def id_suffix(id15: str) -> str:
    """The three characters that make a 15-character Id case-insensitively unique."""
    suffix = ""
    for start in (0, 5, 10):
        bits = 0
        for position, char in enumerate(id15[start : start + 5]):
            if "A" <= char <= "Z":
                bits |= 1 << position
        suffix += _SUFFIX_CHARS[bits]
    return suffix


def standard_key_prefix(sobject: str) -> str | None:
    """Salesforce's own key prefix of a standard object, when this module knows it."""
    return _KEY_PREFIXES.get(sobject.lower())


def key_prefix(sobject: str) -> str:
    """The object's three-character key prefix: Salesforce's own for standard objects, a stable
    made-up one starting with "a" (as custom objects' do) for the rest."""
    known = standard_key_prefix(sobject)
    if known:
        return known
    number = zlib.crc32(sobject.lower().encode("ascii"))
    return "a" + _BASE62[number % 62] + _BASE62[(number // 62) % 62]


def base36(number: int, width: int = 9) -> str:
    """`number` in lower-case base 36, zero-padded to `width` digits."""
    digits = ""
    while number:
        number, rest = divmod(number, 36)
        digits = _BASE36[rest] + digits
    return digits.rjust(width, "0")


def make_ids(prefix: str, first: int, count: int) -> list[str]:
    """`count` Ids with this key prefix, numbered from `first`."""
    # The counter digits are never upper case, so the suffix depends on the prefix alone, and
    # fixed-width base-36 digits sort in creation order.
    head = prefix + "000"
    suffix = id_suffix(head + "0" * 9)
    return [head + base36(number) + suffix for number in range(first, first + count)]


def to_id18(value: str) -> str | None:
    """The 18-character form of an Id given in either form; None when it is not an Id."""
    if _SALESFORCE_ID.fullmatch(value) is None:
        return None
    if len(value) == 15:
        return value + id_suffix(value)
    return value
