"""CSV files as a load's source: what is read from them, and what is refused before any job."""

from __future__ import annotations

import io
from pathlib import Path

import pytest

from kavrel.sflake import sources
from kavrel.sflake.sources import CSVSource, UnreadableCSV


@pytest.mark.parametrize(
    ("data", "rows"),
    [
        # A byte-order mark, quoted commas, quotes and line breaks, CRLF; empty fields are NULL.
        (b'\xef\xbb\xbfName,Note\r\n"Smith, ""Jr""","two\r\nlines"\r\n,""\r\n',
         [("Smith, \"Jr\"", "two\r\nlines"), (None, None)]),
        (b"Name,Note\n\nA,  \n", [("A", "  ")]),  # blank lines skipped, blanks kept as text
        (b"Name,Note\n", []),
        (b"Id\n0012\n", [("0012",)]),  # values stay text: no number ever loses its zeros
    ],
)  # fmt: skip
def test_a_file_reads_as_written(data: bytes, rows: list, tmp_path: Path) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    from_file = CSVSource(path).open()
    from_stream = CSVSource(io.TextIOWrapper(io.BytesIO(data), "utf-8-sig", newline="")).open()
    try:
        assert (from_file.total, from_stream.total) == (len(rows), None)
        assert from_file.fetchmany(1) == rows[:1]
        assert from_file.fetchall() == rows[1:]
        assert from_stream.fetchall() == rows
        assert from_file.columns == from_stream.columns
    finally:
        from_file.close()
        from_stream.close()


@pytest.mark.parametrize(
    ("data", "problem"),
    [
        (b"", "in.csv is empty: a CSV file starts with its header line"),
        (b"Name,\nA,B\n", "the header of in.csv has no name for field 2"),
        (b"Name,Note\nA,B\nC\n", "line 3 of in.csv has 1 field(s) where the header has 2"),
        (b'Name\n"A"B\n', "line 2 of in.csv: ',' expected after '\"'"),
        (b"Name\n\xff\n", "in.csv is not UTF-8 text"),
        (b'Name\nA\n"B\nC\xe9"\n', "in.csv is not UTF-8 text: line 4 holds the byte 0xE9"),
        (b"Name\rA\rB" + b"\xc3" * 9000 + b"\r", "in.csv is not UTF-8 text: line 3"),
    ],
)
def test_a_bad_file_is_refused_before_any_row(data: bytes, problem: str, tmp_path: Path) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    with pytest.raises(UnreadableCSV) as refused:
        CSVSource(path, "in.csv").open()
    assert str(refused.value).startswith(problem)


@pytest.mark.parametrize(
    ("data", "problem"),
    [
        (b"Name\n" + b"\0" * 10_000, "line 2 of standard input: the record is longer than 64"),
        (b'Name\n"' + b"x\n" * 40, "line 33 of standard input: the record is longer than 64"),
        (b"Name\n" + b"x" * 60 + b"\n" + b"y" * 60 + b"\n", None),
    ],
)
def test_a_stream_is_read_a_bounded_record_at_a_time(monkeypatch, data, problem) -> None:
    monkeypatch.setattr(sources, "LONGEST_CSV_RECORD", 64)
    reader = CSVSource(io.BytesIO(data), "standard input").open()
    if problem is None:
        assert reader.fetchall() == [("x" * 60,), ("y" * 60,)]
        return
    with pytest.raises(UnreadableCSV) as refused:
        reader.fetchall()
    assert str(refused.value).startswith(problem)
