"""Numbers past what a 32-bit `long`, `size_t` or `time_t` holds, where the code formats or computes
them: CSV cells, and the row counts and offsets of a batched load. `make test-armhf` runs these on
32-bit ARM; values past 2**63 catch 64-bit assumptions on any machine."""

from __future__ import annotations

import math
from datetime import date, datetime, timedelta, timezone

import pytest

from kavrel.salesforce import vantro
from kavrel.util import csv as kcsv


def csv_cell(value: object) -> str:
    lines = kcsv.json_to_csv([{"v": value}]).split("\r\n")
    assert lines[0] == "v"
    assert lines[2:] in ([], [""])
    return lines[1]


def significant_digits(number_text: str) -> str:
    mantissa = number_text.lower().split("e")[0].lstrip("+-").replace(".", "")
    return mantissa.strip("0")


@pytest.mark.parametrize(
    "value",
    [2**31 - 1, 2**31, -(2**31) - 1, 2**32 + 7, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 10**30],
)
def test_integer_cells_keep_every_digit(value):
    assert csv_cell(value) == str(value)


@pytest.mark.parametrize(
    "value",
    [
        0.1,
        1 / 3,
        -2.5e-7,
        float(2**53),
        float(2**63),
        1e22,
        1e23,
        5e-324,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        -0.0,
    ],
)
def test_float_cells_are_shortest_and_round_trip(value):
    cell = csv_cell(value)
    assert float(cell) == value
    assert math.copysign(1, float(cell)) == math.copysign(1, value)
    assert len(significant_digits(cell)) == len(significant_digits(repr(value)))


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (date(1901, 12, 13), "1901-12-13"),
        (date(2038, 1, 20), "2038-01-20"),
        (date(1, 1, 1), "0001-01-01"),
        (datetime(2038, 1, 19, 3, 14, 8), "2038-01-19T03:14:08.000Z"),
        (datetime(1901, 12, 13, 20, 45, 51, 500000), "1901-12-13T20:45:51.500Z"),
        (datetime(9999, 12, 31, 23, 59, 59, 999000), "9999-12-31T23:59:59.999Z"),
        (
            datetime(2106, 2, 7, 6, 28, 16, tzinfo=timezone(timedelta(hours=5, minutes=30))),
            "2106-02-07T06:28:16.000+05:30",
        ),
    ],
)
def test_dates_beyond_a_32_bit_clock(value, expected):
    assert csv_cell(value) == expected


class CountOnlySession:
    """A warehouse session whose source query counts `total` rows but whose pages come back
    empty, as when the data shrank after the count: no real database holds billions of rows
    here, and the plan, the paging and the log lines are what is checked."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.queries: list[str] = []

    def sql(self, text: str) -> CountOnlySession.Result:
        self.queries.append(text)
        return self.Result([(self.total,)] if text.startswith("SELECT COUNT(*)") else [])

    class Result:
        def __init__(self, rows: list[tuple[int]]) -> None:
            self.rows = rows

        def collect(self) -> list[tuple[int]]:
            return self.rows


@pytest.mark.parametrize(
    ("total", "batch_size", "offsets"),
    [
        (5_000_000_000, 2_000_000_000, [0, 2_000_000_000, 4_000_000_000]),
        (2**64 + 5, 2**63, [0, 2**63, 2**64]),
    ],
)
def test_upsert_plans_and_pages_counts_past_32_bits(caplog, total, batch_size, offsets):
    session = CountOnlySession(total)
    access_info = {"access_token": "t", "instance_url": "http://127.0.0.1:9"}

    summary = vantro.upsert(session, access_info, "Account", "SELECT 1", "Ext__c", batch_size)

    assert summary == {
        "total_records": total,
        "records_processed": 0,
        "total_batches": len(offsets),
        "successful_batches": 0,
        "failed_batches": 0,
        "batch_results": [],
    }
    base = "SELECT * FROM (SELECT 1) AS _vantro_source ORDER BY ALL"
    assert session.queries[1:] == [f"{base} LIMIT {batch_size} OFFSET {o}" for o in offsets]
    assert (
        f"📦 Will process {total:,} records in {len(offsets)} batch(es) of up to "
        f"{batch_size:,} records each"
    ) in caplog.messages
    assert f"📊 Batch range: records {offsets[-1] + 1:,} to {total:,}" in caplog.messages
    assert (
        f"📊 Summary: {total:,} total records, 0 processed, 0/{len(offsets)} successful batches"
    ) in caplog.messages
