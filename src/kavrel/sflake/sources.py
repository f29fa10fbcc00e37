"""Where a load's rows come from: one run of the query, read through the warehouse's own cursor.

A source runs the user's query once and hands its rows over as they stream in (`fetchmany`), so
every row of that one result is loaded exactly once, whatever the query's ordering, collations or
volatile functions, and only the batches in flight are held in memory. A batch never comes from a
second run. Where a backend's cursor does not know how many rows a result has, its source counts
them with its own SQL first; that count only feeds the plan and the progress display, and the
load's own figures come from the rows it read.

Each source gives a `Reader`: the result's column names, its row count where known, and its rows
as tuples through `fetchmany(n)` and `fetchall()`. A CSV file is a source too, whose one result is
its records (`CSVSource`, the standard library's reader, so it works wherever Python does).

A load that stops is finished later from the same rows. `Source.describe` says what a load's
journal keeps of its source (no secret: a file's path, the query, Snowflake's query id), and
`reopen` gives the source and the query that read those rows again: the same query of the same
file for SQLite, DuckDB and CSV (whose rows the load then compares with what it sent), the
stored result of the first run for Snowflake (`RESULT_SCAN`, kept by Snowflake for 24 hours).
"""

from __future__ import annotations

import contextlib
import csv
import io
import re
import sqlite3
import stat
import sys
from collections.abc import Iterator, Mapping, Sequence
from os import PathLike
from pathlib import Path
from typing import IO, Any, Protocol


class Reader(Protocol):
    columns: list[str]
    total: int | None

    def fetchmany(self, size: int) -> Sequence[Sequence[Any]]: ...
    def fetchall(self) -> Sequence[Sequence[Any]]: ...
    def close(self) -> None: ...


class CursorReader:
    """The rows of a DB-API cursor on which the query has run."""

    def __init__(self, cursor: Any, total: int | None) -> None:
        self._cursor = cursor
        self.columns = [str(column[0]) for column in cursor.description or ()]
        self.total = total
        # The warehouse's id of the query's run, where it has one (Snowflake's).
        self.query_id: str | None = getattr(cursor, "sfqid", None)

    def fetchmany(self, size: int) -> Sequence[Sequence[Any]]:
        return self._cursor.fetchmany(size)

    def fetchall(self) -> Sequence[Sequence[Any]]:
        return self._cursor.fetchall()

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self._cursor.close()


class RowsReader:
    """Rows already in memory, handed over batch by batch and let go as they are."""

    def __init__(self, columns: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
        self.columns = list(columns)
        self.total: int | None = len(rows)
        self._rows = list(rows)

    def fetchmany(self, size: int) -> list[Sequence[Any]]:
        batch = self._rows[:size]
        del self._rows[:size]
        return batch

    def fetchall(self) -> list[Sequence[Any]]:
        rows, self._rows = self._rows, []
        return rows

    def close(self) -> None:
        self._rows = []


class SourceGone(ValueError):
    """The rows a load read can no longer be read again as they were."""


class Source:
    """A warehouse whose query results a load reads."""

    kind = "warehouse"

    def open(self, query: str) -> Reader:
        raise NotImplementedError

    def describe(self, query: str, _reader: Reader) -> dict[str, Any]:
        """What a load's journal keeps of this source and the read of `query` it made: enough
        to read the same rows again, nothing secret."""
        return {"kind": self.kind, "query": query, "path": None}

    def reread_query(self, description: Mapping[str, Any]) -> str:
        """The query that reads again the rows `description` tells of."""
        return str(description.get("query") or "")

    def open_again(self, description: Mapping[str, Any]) -> Reader:
        """A new read of the rows `description` tells of (SourceGone when there are none)."""
        return self.open(self.reread_query(description))

    def close(self) -> None:
        """Closes what the source opened itself; a caller's connection stays open."""


class SQLiteSource(Source):
    """A SQLite database: a file (opened read-only: a source is never written to) or a
    connection of the caller's."""

    kind = "SQLite"

    def __init__(self, database: str | PathLike[str] | sqlite3.Connection) -> None:
        if isinstance(database, sqlite3.Connection):
            self.connection, self._owned = database, False
            return
        path = Path(database)
        if not path.is_file():
            raise FileNotFoundError(f"no such SQLite database file: {database}")
        uri = path.resolve().as_uri() + "?mode=ro"
        self.connection = sqlite3.connect(uri, isolation_level=None, uri=True)
        self._owned = True

    def describe(self, query: str, _reader: Reader) -> dict[str, Any]:
        rows = self.connection.execute("PRAGMA database_list").fetchall()
        path = next((str(row[2]) for row in rows if row[1] == "main" and row[2]), None)
        return {"kind": self.kind, "query": query, "path": path}

    def open(self, query: str) -> Reader:
        total = self.connection.execute(
            f"SELECT COUNT(*) FROM ({query}) AS _kavrel_count"
        ).fetchone()[0]
        return CursorReader(self.connection.execute(query), int(total))

    def close(self) -> None:
        if self._owned:
            self.connection.close()


# The columns Salesforce adds to a job's result files (`<job id>-failed.csv` and the others),
# never fields of an object: a result file given as a source is read as the records sent.
RESULT_COLUMNS = ("sf__Id", "sf__Error", "sf__Created")


class UnreadableCSV(ValueError):
    """A CSV file whose rows cannot be read faithfully; the text names the file and the line."""


# The characters of one record's text past which a CSV is refused: far more than Salesforce
# takes in one record (400,000), and a bound on what a stream that never ends its line, such as a
# device, can make the reader hold.
LONGEST_CSV_RECORD = 4 * 1024 * 1024

# What a byte that is not UTF-8 decodes to under "surrogateescape": one lone surrogate each.
_NOT_UTF8 = re.compile("[\udc80-\udcff]")


def _as_text(stream: IO[str] | IO[bytes]) -> IO[str]:
    """A binary stream as UTF-8 text (a byte-order mark skipped) whose bytes that are not UTF-8
    reach the reader, so that it can name their line, rather than fail a chunk ahead of it."""
    if isinstance(stream, io.BufferedIOBase | io.RawIOBase):
        return io.TextIOWrapper(stream, encoding="utf-8-sig", errors="surrogateescape", newline="")
    return stream  # type: ignore[return-value]


class CSVReader:
    """The records of a CSV stream, header first, as tuples of text with None for an empty
    field. A binary stream is read as UTF-8 (a byte-order mark allowed), a text stream as it
    decodes. Blank lines are skipped; a record that does not have the header's width, a quote out
    of place, a record longer than LONGEST_CSV_RECORD characters or text that is not UTF-8 raises
    UnreadableCSV naming the line. The columns of a job's result file (sf__Id, sf__Error,
    sf__Created) are left out."""

    def __init__(self, stream: IO[str] | IO[bytes], name: str, total: int | None = None) -> None:
        self._stream = _as_text(stream)
        self.name = name
        self._line = 0  # the lines read
        self._record_size = 0  # the characters read of the record being read
        self._records = csv.reader(self._lines(), strict=True)
        header = self._next_line()
        if header is None:
            raise UnreadableCSV(f"{name} is empty: a CSV file starts with its header line")
        unnamed = [str(n) for n, column in enumerate(header, 1) if not column.strip()]
        if unnamed:
            raise UnreadableCSV(f"the header of {name} has no name for field {unnamed[0]}")
        self._width = len(header)
        self._kept: list[int] | None = None
        if any(column in RESULT_COLUMNS for column in header):
            self._kept = [i for i, column in enumerate(header) if column not in RESULT_COLUMNS]
            header = [header[i] for i in self._kept]
        self.columns = header
        self.total = total

    def _lines(self) -> Iterator[str]:
        """The stream's lines for the csv reader, each record's text bounded and each line checked
        for bytes that are not UTF-8."""
        readline = self._stream.readline
        while line := readline(LONGEST_CSV_RECORD - self._record_size + 1):
            self._line += 1
            self._record_size += len(line)
            if self._record_size > LONGEST_CSV_RECORD:
                raise UnreadableCSV(
                    f"line {self._line} of {self.name}: the record is longer than "
                    f"{LONGEST_CSV_RECORD:,} characters, far more than Salesforce takes in one "
                    "record"
                )
            if not line.isascii() and (byte := _NOT_UTF8.search(line)) is not None:
                raise UnreadableCSV(
                    f"{self.name} is not UTF-8 text: line {self._line} holds the byte "
                    f"0x{ord(byte.group()) - 0xDC00:02X}; save the file as UTF-8"
                )
            yield line

    def _next_line(self) -> list[str] | None:
        try:
            for record in self._records:
                self._record_size = 0
                if record:
                    return record
        except csv.Error as error:
            raise UnreadableCSV(f"line {self._records.line_num} of {self.name}: {error}") from None
        except UnicodeDecodeError:  # a text stream of the caller's, decoded ahead of its lines
            where = self._records.line_num
            raise UnreadableCSV(f"{self.name} is not UTF-8 text (after line {where})") from None
        return None

    def _next_row(self) -> tuple[str | None, ...] | None:
        record = self._next_line()
        if record is None:
            return None
        if len(record) != self._width:
            raise UnreadableCSV(
                f"line {self._records.line_num} of {self.name} has {len(record)} field(s) where "
                f"the header has {self._width}"
            )
        if self._kept is not None:
            record = [record[i] for i in self._kept]
        return tuple(value if value else None for value in record)

    def fetchmany(self, size: int) -> list[tuple[str | None, ...]]:
        rows: list[tuple[str | None, ...]] = []
        while len(rows) < size and (row := self._next_row()) is not None:
            rows.append(row)
        return rows

    def fetchall(self) -> list[tuple[str | None, ...]]:
        return self.fetchmany(sys.maxsize)

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self._stream.close()


def _is_pipe(path: Path) -> bool:
    try:
        return stat.S_ISFIFO(path.stat().st_mode)
    except OSError:
        return False


class CSVSource(Source):
    """A CSV file (UTF-8, a byte-order mark allowed), header first: one result, so `open` takes
    no query. Values are text as written, never converted; an empty field, quoted or not, is NULL
    (sent empty, or as #N/A with `null_clears`). A file is read twice, first to count and check
    its records, so that a bad line is refused before any job; a stream (standard input, a pipe:
    binary, read as UTF-8, or text as it decodes) is read once, and a bad line there ends the
    reading where it is."""

    kind = "CSV"

    def __init__(
        self, file: str | PathLike[str] | IO[str] | IO[bytes], name: str | None = None
    ) -> None:
        self._path: Path | None = None
        self._stream: IO[str] | IO[bytes] | None = None
        if isinstance(file, str | PathLike) and _is_pipe(Path(file)):
            # A pipe by its name (`-f <(zcat rows.csv.gz)`): a stream, read once.
            self._stream = open(file, "rb")  # noqa: SIM115 (the reader closes it)
            name = name or str(file)
        elif isinstance(file, str | PathLike):
            if not Path(file).is_file():
                raise FileNotFoundError(f"no such CSV file: {file}")
            self._path = Path(file)
        else:
            self._stream = file
        self.name = name or str(file if self._path else getattr(file, "name", "the CSV stream"))

    def describe(self, _query: str, _reader: Reader) -> dict[str, Any]:
        path = str(self._path.resolve()) if self._path is not None else None
        return {"kind": self.kind, "query": "", "path": path, "name": self.name}

    def open(self, query: str | None = None) -> Reader:
        if query:
            raise ValueError("a CSV file has no query: its rows are the result")
        if self._path is None:
            stream, self._stream = self._stream, None
            if stream is None:
                raise ValueError(f"{self.name} was read already; a stream is read once")
            return CSVReader(stream, self.name)
        with self._open_file() as counting:
            reader = CSVReader(counting, self.name)
            total = 0
            while reader._next_row() is not None:
                total += 1
        stream = self._open_file()
        try:
            return CSVReader(stream, self.name, total)
        except BaseException:
            stream.close()
            raise

    def _open_file(self) -> IO[bytes]:
        assert self._path is not None
        return open(self._path, "rb")  # decoded by the reader, which names a bad byte's line


class UnsendableValues(ValueError):
    """A query whose rows hold values with no faithful CSV form, found before any job."""


# DuckDB types that hold values with no faithful CSV form: each with the condition (on the
# column, `{c}`) a value meets when it has none, and what such a value is. A date or timestamp
# outside years 1 to 9999 has no ISO 8601 form Salesforce reads: the driver gives it as DuckDB's
# own text ("10000-01-01 00:00:00"), or as text with "(BC)".
_DUCKDB_UNSENDABLE = {
    "DATE": (
        "NOT isfinite({c}) OR year({c}) NOT BETWEEN 1 AND 9999",
        "an infinite date or one before year 1 or after year 9999",
    ),
    "TIMESTAMP": (
        "NOT isfinite({c}::TIMESTAMP) OR year({c}::TIMESTAMP) NOT BETWEEN 1 AND 9999",
        "an infinite timestamp or one before year 1 or after year 9999",
    ),
    "FLOAT": ("isnan({c}) OR isinf({c})", "NaN or infinity"),
    "DOUBLE": ("isnan({c}) OR isinf({c})", "NaN or infinity"),
}


def _duckdb_family(type_name: str) -> str:
    type_name = type_name.upper()
    return "TIMESTAMP" if type_name.startswith("TIMESTAMP") else type_name


class DuckDBSource(Source):
    """A DuckDB database: a file (opened read-only, so loads from one file can run side by side)
    or a connection of the caller's. Needs the `duckdb` extra."""

    kind = "DuckDB"

    def __init__(self, database: str | PathLike[str] | Any) -> None:
        try:
            import duckdb
        except ImportError as error:
            raise ImportError("DuckDB support needs: pip install 'kavrel[duckdb]'") from error
        if isinstance(database, duckdb.DuckDBPyConnection):
            self.connection, self._owned = database, False
            return
        if not Path(database).is_file():
            raise FileNotFoundError(f"no such DuckDB database file: {database}")
        self.connection = duckdb.connect(str(database), read_only=True)
        self._owned = True

    def describe(self, query: str, _reader: Reader) -> dict[str, Any]:
        try:
            row = self.connection.execute(
                "SELECT path FROM duckdb_databases() WHERE database_name = current_database()"
            ).fetchone()
        except Exception:  # noqa: BLE001 (a DuckDB without the function: the path is unknown)
            row = None
        return {"kind": self.kind, "query": query, "path": row[0] if row and row[0] else None}

    def open(self, query: str) -> Reader:
        count = self._count_sendable(query)
        # A cursor of its own: a later query on the connection would end this result.
        cursor = self.connection.cursor()
        cursor.execute(query)
        return CursorReader(cursor, count)

    def _count_sendable(self, query: str) -> int:
        """The query's rows, counted in one run that also looks for values no CSV field holds
        faithfully: the driver gives an infinite date as 9999-12-31, a BC date and one past 9999
        as text, and
        an interval only as Python's own text for it. Such a value is refused, naming its
        column, before any job exists."""
        try:
            columns = self.connection.execute(f"DESCRIBE {query}").fetchall()
        except Exception:  # noqa: BLE001 (a statement DESCRIBE cannot take is counted plainly)
            columns = []
        intervals = [f"{row[0]} ({row[1]})" for row in columns if "INTERVAL" in str(row[1])]
        if intervals:
            raise UnsendableValues(
                f"the column(s) {', '.join(intervals)} hold intervals, which no Salesforce field "
                "reads; convert them in the query (to a number of seconds, or text)"
            )
        checked = [
            (position, row, _DUCKDB_UNSENDABLE[_duckdb_family(str(row[1]))])
            for position, row in enumerate(columns, 1)
            if _duckdb_family(str(row[1])) in _DUCKDB_UNSENDABLE
        ]
        counts = ", ".join(
            f"COUNT(*) FILTER (WHERE {condition.format(c=f'#{position}')})"
            for position, _, (condition, _) in checked
        )
        row = self.connection.execute(
            f"SELECT COUNT(*){', ' + counts if counts else ''} FROM ({query}) AS _kavrel_count"
        ).fetchone()
        assert row is not None  # a COUNT always gives its one row
        found = [
            f"{column[0]} ({column[1]}) holds {what} in {found:,} row(s)"
            for (_, column, (_, what)), found in zip(checked, row[1:], strict=True)
            if found
        ]
        if found:
            raise UnsendableValues(
                f"the column {'; '.join(found)}, which no CSV field holds faithfully; "
                "convert or filter them in the query"
            )
        return int(row[0])

    def close(self) -> None:
        if self._owned:
            self.connection.close()


# What Snowflake's query ids are made of ("01b71944-0001-b181-0000-0129032279f6"): nothing that
# could end the quoted literal of a RESULT_SCAN.
_SNOWFLAKE_QUERY_ID = re.compile(r"[0-9A-Za-z-]{1,64}")


class SnowflakeSource(Source):
    """A Snowpark session: the query runs once through the session's connector connection, whose
    cursor knows the result's row count and fetches its rows in batches."""

    kind = "Snowflake"

    def __init__(self, session: Any, owned: bool = False) -> None:
        self.session = session
        self._owned = owned

    def open(self, query: str) -> Reader:
        cursor = self.session.connection.cursor()
        cursor.execute(query)
        total = cursor.rowcount
        return CursorReader(cursor, total if isinstance(total, int) and total >= 0 else None)

    def describe(self, query: str, reader: Reader) -> dict[str, Any]:
        return {"kind": self.kind, "query": query, "query_id": getattr(reader, "query_id", None)}

    def reread_query(self, description: Mapping[str, Any]) -> str:
        query_id = description.get("query_id")
        if not isinstance(query_id, str) or not _SNOWFLAKE_QUERY_ID.fullmatch(query_id):
            raise SourceGone(
                "Snowflake gave no id for the query's run, so its result cannot be read again"
            )
        return f"SELECT * FROM TABLE(RESULT_SCAN('{query_id}'))"

    def open_again(self, description: Mapping[str, Any]) -> Reader:
        """The stored result of the query's first run (Snowflake keeps it 24 hours)."""
        try:
            return self.open(self.reread_query(description))
        except SourceGone:
            raise
        except Exception as error:  # noqa: BLE001 (the connector's errors are many)
            raise SourceGone(
                f"Snowflake cannot give the result of query {description.get('query_id')} again "
                f"(it keeps results for 24 hours, for the user who ran the query): {error}"
            ) from error

    def close(self) -> None:
        if self._owned:
            self.session.close()


class SessionSource(Source):
    """Any session that answers `sql(text).collect()` with rows that have `asDict()` (the
    interface the load operations take): the one result is collected whole."""

    kind = "session"

    def __init__(self, session: Any) -> None:
        self.session = session

    def open(self, query: str) -> Reader:
        rows = self.session.sql(query).collect()
        if not rows:
            return RowsReader([], [])
        names = getattr(rows[0], "_fields", None) or list(rows[0].asDict())
        if isinstance(rows[0], tuple) and len(rows[0]) == len(names):
            values = rows
        else:
            values = [tuple(row.asDict().values()) for row in rows]
        return RowsReader([str(name) for name in names], values)


def source_for(session: Any) -> Source:
    """The source that reads through `session`: a Source as it is; a Snowpark session; a SQLite
    or DuckDB connection, or kavrel's own sessions over them; any other object with `sql()`."""
    if isinstance(session, Source):
        return session
    from kavrel.sflake import local

    if isinstance(session, local.SQLiteSession | sqlite3.Connection):
        return SQLiteSource(
            session if isinstance(session, sqlite3.Connection) else session.connection
        )
    if isinstance(session, local.DuckDBSession):
        return DuckDBSource(session.connection)
    duckdb = sys.modules.get("duckdb")  # a DuckDB connection means DuckDB was imported
    if duckdb is not None and isinstance(session, duckdb.DuckDBPyConnection):
        return DuckDBSource(session)
    connection = getattr(session, "connection", None)
    if hasattr(session, "sql") and hasattr(connection, "cursor"):
        return SnowflakeSource(session)
    if hasattr(session, "sql"):
        return SessionSource(session)
    raise TypeError(f"cannot read rows from a {type(session).__name__}")


def reopen(description: Mapping[str, Any], source: Any = None) -> Source:
    """The source whose `open_again` reads the rows a load's journal describes: `source` (the
    caller's, such as a new Snowpark session) when given, else the file the journal names.
    Raises SourceGone when the rows cannot be read again."""
    kind = description.get("kind")
    if source is not None:
        found = source_for(source)
        if found.kind != kind:
            raise SourceGone(f"the load read from {kind}, not from {found.kind}")
        return found
    path = description.get("path")
    if kind == "Snowflake":
        raise SourceGone("reading from Snowflake again needs a session (a Snowflake profile)")
    if kind not in ("SQLite", "DuckDB", "CSV") or not path:
        what = "standard input" if kind == "CSV" else f"a {kind} connection of the caller's"
        raise SourceGone(f"the load read its rows from {what}, which cannot be read again")
    if not Path(path).is_file():
        raise SourceGone(f"the {kind} file the load read, {path}, is no longer there")
    opened: Source
    if kind == "SQLite":
        opened = SQLiteSource(path)
    elif kind == "DuckDB":
        opened = DuckDBSource(path)
    else:
        opened = CSVSource(path, str(description.get("name") or path))
    return opened
