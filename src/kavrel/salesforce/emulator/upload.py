"""Reading a job's CSV upload: the declared delimiter and line ending, quoting, the header's
field names, and each row's width. No HTTP and no storage here.

An upload that cannot be read as a whole (no header, an unclosed quote, a line ending other than
the declared one, a row of the wrong width) fails the whole job, as on Salesforce. A row whose
quotes are misplaced but balanced (`"John", "Smith"`) fails alone, with an error for that row.
"""

from __future__ import annotations

import csv
import io
import re
from dataclasses import dataclass, field
from typing import Any

# Salesforce refuses uploads above 150,000,000 bytes once base64-encoded: 112,500,000 raw bytes.
MAX_UPLOAD_BYTES = 150_000_000 * 3 // 4
LINE_ENDINGS = {"LF": "\n", "CRLF": "\r\n"}
COLUMN_DELIMITERS = {
    "COMMA": ",",
    "TAB": "\t",
    "PIPE": "|",
    "SEMICOLON": ";",
    "CARET": "^",
    "BACKQUOTE": "`",
}
MISPLACED_QUOTE = (
    "INVALID_FIELD:Failed to parse the row: a double quote appears inside an unquoted field or "
    "after a quoted one:--"
)

_API_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,79}")


class BatchError(Exception):
    """An upload that cannot be processed at all: the whole job ends Failed with this message."""


@dataclass
class Upload:
    """The header and the rows of an upload; `bad_rows` holds (row index, message) of rows that
    fail on their own, in upload order (their fields as well as they could be read)."""

    header: list[str]
    records: list[list[str]]
    bad_rows: dict[int, str] = field(default_factory=dict)


def is_api_name(name: Any) -> bool:
    return isinstance(name, str) and _API_NAME.fullmatch(name) is not None


def _has_misplaced_quote(outside: list[str], delimiter: str) -> bool:
    """Whether a quoted piece touches anything but a delimiter, a line break or another quoted
    piece (an escaped quote). `outside` is the text between quoted pieces."""
    boundary = delimiter + "\r\n"
    last = len(outside) - 1
    return any(
        piece
        and (
            (index > 0 and piece[0] not in boundary) or (index < last and piece[-1] not in boundary)
        )
        for index, piece in enumerate(outside)
    )


def _check_line_ending(outside_text: str, line_ending: str) -> None:
    if line_ending == "\r\n":
        bare = outside_text.replace("\r\n", "")
        mismatch = "\n" in bare or "\r" in bare
        declared = "CRLF"
    else:
        mismatch = "\r" in outside_text
        declared = "LF"
    if mismatch:
        raise BatchError(
            f"ClientInputError : LineEnding is invalid on user data. Current LineEnding setting is "
            f"{declared}"
        )


def _split_rows(text: str, line_ending: str) -> list[str]:
    """The upload's rows as text, split at line endings outside quoted fields.

    Splitting on the quote character leaves the text outside quoted fields at the even
    positions, so only line breaks there end a row: line breaks inside quoted fields are data.
    """
    rows: list[str] = []
    current: list[str] = []
    for index, piece in enumerate(text.split('"')):
        if index:
            current.append('"')
        if index % 2:
            current.append(piece)
            continue
        parts = piece.split(line_ending)
        current.append(parts[0])
        for part in parts[1:]:
            rows.append("".join(current))
            current = [part]
    if "".join(current):
        rows.append("".join(current))
    return rows


def _outside_quotes(text: str, delimiter: str) -> tuple[str, bool]:
    """The text outside quoted fields (a NUL for each quoted piece), and whether some quote is
    misplaced; an unclosed quote fails the job. A fast scan first, the exact check only when it
    finds something."""
    if '"' not in text:
        return text, False
    pieces = text.split('"')
    if len(pieces) % 2 == 0:
        raise BatchError("InvalidBatch : Failed to parse CSV: a quoted field is not closed")
    # A quoted piece must touch only a delimiter, a line break or another quoted piece.
    outside_text = "\0".join(pieces[0::2])
    edge = re.escape(delimiter) + "\r\n\0"
    stray = re.compile(f"[^{edge}]\0|\0[^{edge}]")
    if "\0" not in text and not stray.search(outside_text):
        return outside_text, False
    return outside_text, _has_misplaced_quote(pieces[0::2], delimiter)


def _read(text: str, delimiter: str) -> list[list[str]]:
    try:
        return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True))
    except csv.Error as error:
        raise BatchError(f"InvalidBatch : Failed to parse CSV: {error}") from None


def _read_leniently(row: str, delimiter: str) -> list[str]:
    return next(csv.reader([row], delimiter=delimiter), [])


def _read_rows_one_by_one(text: str, line_ending: str, delimiter: str) -> Upload:
    rows = _split_rows(text, line_ending)
    if _has_misplaced_quote(rows[0].split('"')[0::2], delimiter):
        raise BatchError(
            "InvalidBatch : Failed to parse CSV: a double quote appears inside an unquoted field "
            "or after a quoted one in the header"
        )
    header = _read(rows[0], delimiter)[0]
    upload = Upload(header, [])
    for row in rows[1:]:
        if _has_misplaced_quote(row.split('"')[0::2], delimiter):
            fields = _read_leniently(row, delimiter)
            fields = (fields + [""] * len(header))[: len(header)]
            upload.bad_rows[len(upload.records)] = MISPLACED_QUOTE
            upload.records.append(fields)
        else:
            upload.records.extend(_read(row + line_ending, delimiter) or [[]])
    return upload


def _check_header(header: list[str]) -> None:
    if not header:
        raise BatchError("InvalidBatch : The CSV header row is empty")
    seen: set[str] = set()
    for name in header:
        relationship, _, target = name.partition(".")
        if (
            not is_api_name(relationship)
            or (target and not is_api_name(target))
            or name.lower().startswith("sqlite_")
        ):
            raise BatchError(f"InvalidBatch : Field name not valid: {name!r}")
        if name.lower() in seen:
            raise BatchError(f"InvalidBatch : Duplicate field name: {name}")
        seen.add(name.lower())


def _check_widths(upload: Upload) -> None:
    width = len(upload.header)
    for index, record in enumerate(upload.records):
        if len(record) != width and index not in upload.bad_rows:
            if not record and width == 1:
                record.append("")
                continue
            raise BatchError(
                f"InvalidBatch : Row {index + 2} has {len(record)} fields, the header has {width}"
            )


def parse_upload(text: str, line_ending: str, delimiter: str) -> Upload:
    """The upload read with the job's line ending and delimiter; BatchError when it cannot be."""
    if text.startswith("\ufeff"):
        text = text[1:]
    if not text:
        raise BatchError("InvalidBatch : The upload is empty: a CSV header row is required")
    outside_text, stray = _outside_quotes(text, delimiter)
    _check_line_ending(outside_text, line_ending)
    if stray:
        upload = _read_rows_one_by_one(text, line_ending, delimiter)
    else:
        rows = _read(text, delimiter)
        upload = Upload(rows[0], rows[1:])
    _check_header(upload.header)
    _check_widths(upload)
    return upload
