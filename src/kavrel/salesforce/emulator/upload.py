"""Reading a job's CSV upload: the declared delimiter and line ending, quoting, the header's
field names, and each row's width. No HTTP and no storage here.

An upload that cannot be read as a whole (no header, an unclosed quote, a line ending other than
the declared one, a row of the wrong width) fails the whole job, as on Salesforce. A row whose
quotes are misplaced but balanced (`"John", "Smith"`) fails alone, with an error for that row.
"""

from __future__ import annotations

import codecs
import csv
import io
import marshal
import re
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO

from kavrel.salesforce.records.schema import is_api_name

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

# An upload stays in memory up to this size, and is read this many characters at a time.
SPOOL_BYTES = 1 << 20
BLOCK_CHARS = 1 << 20
# Salesforce's limit on the fields of a record: a wider header fails the job.
MAX_FIELDS = 5_000
# Python's csv module refuses fields over 131,072 characters, failing the whole upload; an org
# reads them and fails the record alone (see `checks`). The limit is the module's, for the whole
# process: it is only ever raised, so other readers see no field refused that was read before.
csv.field_size_limit(max(csv.field_size_limit(), MAX_UPLOAD_BYTES))


class BatchError(Exception):
    """An upload that cannot be processed at all: the whole job ends Failed with this message."""


@dataclass
class Chunk:
    """Consecutive records of an upload, the first at index `first`; `bad_rows` holds (record
    index, message) of the rows that fail on their own (their fields as well as they could be
    read)."""

    first: int
    records: list[list[str]] = field(default_factory=list)
    bad_rows: dict[int, str] = field(default_factory=dict)


@dataclass
class Scan:
    """An upload that can be processed: its header, how many records follow it, and those
    records in chunks. Close it once done with."""

    header: list[str]
    records: int
    parsed: IO[bytes]

    def chunks(self) -> Iterator[Chunk]:
        self.parsed.seek(0)
        while head := self.parsed.read(8):
            first, records, bad_rows = marshal.loads(self.parsed.read(int.from_bytes(head)))
            yield Chunk(first, records, bad_rows)

    def close(self) -> None:
        self.parsed.close()


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


def _check_header(header: list[str]) -> None:
    if not header:
        raise BatchError("InvalidBatch : The CSV header row is empty")
    if len(header) > MAX_FIELDS:
        raise BatchError(
            f"InvalidBatch : The header has {len(header):,} fields; a record may have at most "
            f"{MAX_FIELDS:,}"
        )
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


def _parse_block(
    text: str, line_ending: str, delimiter: str, has_header: bool
) -> tuple[list[list[str]], dict[int, str]]:
    """A block of whole rows read, and the rows (block index) with a misplaced quote."""
    outside_text, stray = _outside_quotes(text, delimiter)
    _check_line_ending(outside_text, line_ending)
    if not stray:
        return _read(text, delimiter), {}
    rows: list[list[str]] = []
    bad_rows: dict[int, str] = {}
    for number, row in enumerate(_split_rows(text, line_ending)):
        if not _has_misplaced_quote(row.split('"')[0::2], delimiter):
            rows.extend(_read(row + line_ending, delimiter) or [[]])
        elif has_header and number == 0:
            raise BatchError(
                "InvalidBatch : Failed to parse CSV: a double quote appears inside an unquoted "
                "field or after a quoted one in the header"
            )
        else:
            bad_rows[len(rows)] = MISPLACED_QUOTE
            rows.append(_read_leniently(row, delimiter))
    return rows, bad_rows


def _last_row_end(text: str, line_ending: str) -> int:
    """Where the last row of `text` that ends outside quotes ends (0: none found near the end,
    so more text is needed). `text` starts at a row's start."""
    end = len(text)
    for _ in range(16):
        position = text.rfind(line_ending, 0, end)
        if position < 0:
            return 0
        if text.count('"', 0, position) % 2 == 0:
            return position + len(line_ending)
        end = position
    return 0


def _text(upload: IO[bytes]) -> io.TextIOWrapper:
    """The upload as text from its start, its byte order mark dropped; detach it after use."""
    upload.seek(0)
    return io.TextIOWrapper(upload, encoding="utf-8-sig", newline="")  # type: ignore[arg-type]


def _row_blocks(upload: IO[bytes], line_ending: str) -> Iterator[str]:
    """The upload's text in blocks that each end where a row ends."""
    text = _text(upload)
    try:
        pending = ""
        while block := text.read(BLOCK_CHARS):
            pending += block
            cut = _last_row_end(pending, line_ending)
            if cut:
                yield pending[:cut]
                pending = pending[cut:]
        if pending:
            yield pending
    finally:
        text.detach()


def _rows(upload: IO[bytes], line_ending: str, delimiter: str) -> Iterator[tuple[list[str], str]]:
    """The header, then every record, each with the message of its own fault ("" for none);
    BatchError for a fault of the whole upload."""
    width = 0
    index = 0
    for text in _row_blocks(upload, line_ending):
        rows, bad_rows = _parse_block(text, line_ending, delimiter, has_header=not width)
        for number, row in enumerate(rows):
            if not width:
                _check_header(row)
                width = len(row)
                yield row, ""
                continue
            error = bad_rows.get(number, "")
            if error:
                row = (row + [""] * width)[:width]
            elif len(row) != width:
                if row or width != 1:
                    raise BatchError(
                        f"InvalidBatch : Row {index + 2} has {len(row)} fields, the header has "
                        f"{width}"
                    )
                row = [""]
            index += 1
            yield row, error
    if not width:
        raise BatchError("InvalidBatch : The upload is empty: a CSV header row is required")


def _keep(parsed: IO[bytes], chunk: Chunk) -> None:
    data = marshal.dumps((chunk.first, chunk.records, chunk.bad_rows))
    parsed.write(len(data).to_bytes(8))
    parsed.write(data)


def scan_upload(upload: IO[bytes], line_ending: str, delimiter: str, size: int) -> Scan:
    """The upload read whole, its records kept in chunks of `size`; BatchError when it cannot
    be processed at all."""
    parsed = _spooled()
    try:
        rows = _rows(upload, line_ending, delimiter)
        header = next(rows)[0]
        chunk = Chunk(0)
        for record, error in rows:
            if error:
                chunk.bad_rows[chunk.first + len(chunk.records)] = error
            chunk.records.append(record)
            if len(chunk.records) == size:
                _keep(parsed, chunk)
                chunk = Chunk(chunk.first + size)
        if chunk.records:
            _keep(parsed, chunk)
    except BaseException:
        parsed.close()
        raise
    return Scan(header, chunk.first + len(chunk.records), parsed)


def read_leniently(upload: IO[bytes], delimiter: str) -> Iterator[list[str]]:
    """The upload's rows, header first, as far as they can be read at all (for uploads handed
    back unprocessed, which may be the ones that could not be read)."""
    text = _text(upload)
    try:
        yield from csv.reader(text, delimiter=delimiter)
    except (csv.Error, UnicodeDecodeError):
        return
    finally:
        text.detach()


def spool_upload(body: bytes) -> IO[bytes]:
    """The upload in a spooled file; UnicodeDecodeError (its position in the whole upload) when
    it is not UTF-8."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    view = memoryview(body)
    for start in range(0, len(body), BLOCK_CHARS):
        try:
            decoder.decode(
                view[start : start + BLOCK_CHARS], final=start + BLOCK_CHARS >= len(body)
            )
        except UnicodeDecodeError as error:
            raise UnicodeDecodeError(
                error.encoding, body, start + error.start, start + error.end, error.reason
            ) from None
    upload = _spooled()
    if len(body) > SPOOL_BYTES:
        # Straight to disk: spooling a large body first would copy it in memory.
        upload.rollover()  # type: ignore[attr-defined]
    upload.write(body)
    return upload


def _spooled() -> IO[bytes]:
    """A file in memory while small, on disk past SPOOL_BYTES; its user closes it."""
    return tempfile.SpooledTemporaryFile(max_size=SPOOL_BYTES)  # type: ignore[return-value]  # noqa: SIM115
