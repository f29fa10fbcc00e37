import csv
import datetime as dt
import gc
import io
import json
import random
import struct
import sys
import tracemalloc
import uuid
from collections import OrderedDict
from collections.abc import Mapping
from decimal import Decimal
from types import MappingProxyType

import pytest

from kavrel.util.csv import json_to_csv

UTC = dt.UTC


def read_back(text: str) -> list[list[str]]:
    return list(csv.reader(io.StringIO(text, newline="")))


def field(value) -> str:
    """The text json_to_csv writes for one value (unquoted by reading it back)."""
    header, row = read_back(json_to_csv([{"v": value}]))
    assert header == ["v"]
    return row[0]


HOSTILE = [
    "plain",
    "a,b",
    'say "hi"',
    '"',
    '""',
    "line\nbreak",
    "carriage\rreturn",
    "windows\r\nline",
    "\r\n",
    ",",
    " leading and trailing ",
    "naïve café",
    "日本語のテキスト",
    "emoji 🚀✅ and more 👩‍👩‍👧",
    'mixed é, "quoted" 🚀\r\n',
    "\x00nul and \t tab",
]


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_text_reads_back_unchanged(value):
    text = json_to_csv([{"name": value, "n": 1}, {"name": "x", "n": 2}])
    assert read_back(text) == [["name", "n"], [value, "1"], ["x", "2"]]


def test_hostile_column_names_read_back_unchanged():
    records = [{name: i for i, name in enumerate(HOSTILE)}]
    assert read_back(json_to_csv(records))[0] == HOSTILE


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("a,b", '"a,b"'),
        ('x"y', '"x""y"'),
        ("a\nb", '"a\nb"'),
        ("a\rb", '"a\rb"'),
        ("plain text", "plain text"),
        ("é🚀", "é🚀"),
    ],
)
def test_quoting_is_minimal_rfc4180(value, expected):
    assert json_to_csv([{"c": value}]) == f"c\r\n{expected}\r\n"


@pytest.mark.parametrize("trigger", [",", '"', "\r", "\n"])
def test_a_quote_trigger_anywhere_in_a_long_field_quotes_it(trigger):
    values = ["x" * i + trigger + "y" * (20 - i) for i in range(21)]
    text = json_to_csv([{"c": v, "d": "-" * 9} for v in values])
    assert read_back(text)[1:] == [[v, "-" * 9] for v in values]
    assert text.count('"') == sum(v.count('"') * 2 + 2 for v in values)


def test_text_is_crlf_terminated_utf8_without_bom():
    text = json_to_csv([{"Name": "Zoë", "Id": 7}, {"Name": None, "Id": 8}])
    assert text.encode("utf-8") == b"Name,Id\r\nZo\xc3\xab,7\r\n,8\r\n"


@pytest.mark.parametrize("records", [[], (), iter([])])
def test_no_records_give_empty_text(records):
    assert json_to_csv(records) == ""


def test_records_without_keys_give_empty_text():
    assert json_to_csv([{}, {}]) == ""


def test_header_is_union_of_keys_in_first_seen_order():
    records = [{"b": 1, "a": 2}, {"a": 3, "c": 4}, {"d": 5, "b": 6}]
    assert json_to_csv(records) == "b,a,c,d\r\n1,2,,\r\n,3,4,\r\n6,,,5\r\n"


def test_rows_before_a_new_column_get_its_empty_field():
    records = [{}, {"a": ""}, {"a": "x"}, {"b": "y"}, {}]
    assert json_to_csv(records) == "a,b\r\n,\r\n,\r\nx,\r\n,y\r\n,\r\n"


def test_single_empty_field_is_quoted_so_the_row_is_not_blank():
    text = json_to_csv([{"": None}, {"": "v"}])
    assert text == '""\r\n""\r\nv\r\n'
    assert read_back(text) == [[""], [""], ["v"]]


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, ""),
        ("", ""),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (-42, "-42"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        (2**64, "18446744073709551616"),
        (-(10**40), "-1" + "0" * 40),
        (1.0, "1.0"),
        (-0.0, "-0.0"),
        (0.1, "0.1"),
        (1e16, "1e+16"),
        (1e15, "1000000000000000.0"),
        (1e-5, "1e-05"),
        (0.0001, "0.0001"),
        (1.5e300, "1.5e+300"),
        (5e-324, "5e-324"),
        (Decimal("12.50"), "12.50"),
        (Decimal("-0.001"), "-0.001"),
        (Decimal("1E+5"), "100000"),
        (Decimal("1.5E-10"), "0.00000000015"),
        (Decimal("0E-7"), "0.0000000"),
        (Decimal("123456789012345678901234567890.5"), "123456789012345678901234567890.5"),
        (dt.date(2024, 2, 29), "2024-02-29"),
        (dt.date(7, 1, 2), "0007-01-02"),
        (dt.datetime(2024, 1, 2, 3, 4, 5, 678999), "2024-01-02T03:04:05.678Z"),
        (dt.datetime(2024, 1, 2, tzinfo=UTC), "2024-01-02T00:00:00.000+00:00"),
        (
            dt.datetime(2024, 1, 2, 3, 4, 5, 1000, tzinfo=dt.timezone(dt.timedelta(hours=5))),
            "2024-01-02T03:04:05.001+05:00",
        ),
        (
            dt.datetime(
                1999, 12, 31, 23, 59, tzinfo=dt.timezone(-dt.timedelta(hours=9, minutes=30))
            ),
            "1999-12-31T23:59:00.000-09:30",
        ),
        (dt.time(1, 2, 3, 4567), "01:02:03.004Z"),
        (dt.time(0, 0), "00:00:00.000Z"),
        (b"hello", "aGVsbG8="),
        (b"", ""),
        (bytearray(b"\x00\xff\xfe"), "AP/+"),
        (memoryview(b"abcdef")[::2], "YWNl"),
        ({"k": [1, "é", None], "b": True}, '{"k":[1,"é",null],"b":true}'),
        ([], "[]"),
        (uuid.UUID(int=1), "00000000-0000-0000-0000-000000000001"),
        ((1, 2), "(1, 2)"),
    ],
)
def test_value_forms(value, expected):
    assert field(value) == expected


class Label(str):
    def __str__(self):
        return "not the content"


class Count(int):
    def __str__(self):
        return "not the number"


@pytest.mark.parametrize(("value", "expected"), [(Label("text"), "text"), (Count(5), "5")])
def test_subclasses_of_str_and_int_are_written_by_content(value, expected):
    assert field(value) == expected


def test_floats_match_repr_for_random_bit_patterns():
    rng = random.Random(20240229)
    values = [
        struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(50000)
    ]
    values += [rng.randint(-(10**17), 10**17) / 10 ** rng.randint(0, 22) for _ in range(50000)]
    values = [v for v in values if v == v and abs(v) != float("inf")]
    rows = json_to_csv([{"x": v} for v in values]).split("\r\n")[1:-1]
    assert rows == [repr(v) for v in values]


def test_floats_with_few_decimals_match_repr():
    rng = random.Random(1024)
    values = [round(rng.uniform(-1e6, 1e6), rng.randint(0, 12)) for _ in range(20000)]
    values += [
        rng.randint(1, 10 ** rng.randint(1, 16)) / 10 ** rng.randint(0, 12) for _ in range(20000)
    ]
    edges = [1e-4, 0.00009999, 0.000123, 2.0**50, 2.0**50 - 1, 2.0**50 - 0.5, 1e15, 123456.0]
    edges += [
        0.1 + 0.2,
        1 / 3,
        9.999999999,
        0.30000000000000004,
        5e-324,
        0.0,
        1.7976931348623157e308,
    ]
    values += edges + [-v for v in edges]
    rows = json_to_csv([{"x": v} for v in values]).split("\r\n")[1:-1]
    assert rows == [repr(v) for v in values]


def test_offset_with_seconds_is_written_as_the_same_instant_in_utc():
    tz = dt.timezone(dt.timedelta(minutes=1, seconds=30))
    assert field(dt.datetime(2024, 1, 1, 0, 0, 0, 500000, tzinfo=tz)) == (
        "2023-12-31T23:58:30.500+00:00"
    )


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (dt.time(1, 30, tzinfo=dt.timezone(dt.timedelta(hours=2))), "23:30:00.000Z"),
        (dt.time(23, 0, tzinfo=dt.timezone(-dt.timedelta(hours=3))), "02:00:00.000Z"),
        (dt.time(12, 0, tzinfo=UTC), "12:00:00.000Z"),
    ],
)
def test_time_with_offset_is_moved_to_utc(value, expected):
    assert field(value) == expected


@pytest.mark.parametrize(
    "value",
    [
        float("nan"),
        float("inf"),
        float("-inf"),
        Decimal("NaN"),
        Decimal("-sNaN"),
        Decimal("Infinity"),
        Decimal("1E+5000"),
        Decimal("1E-400000000"),  # 32-bit builds of decimal stop near 1E-850000000
    ],
)
def test_unwritable_numbers_are_refused_naming_the_column(value):
    with pytest.raises(ValueError, match=r"column 'Amount__c' holds .* record at index 1"):
        json_to_csv([{"Amount__c": 1}, {"Amount__c": value}])


class Broken:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    ("value", "error"),
    [(Broken(), RuntimeError), ({"s": {1}}, TypeError), ("\ud800", UnicodeEncodeError)],
)
def test_value_errors_propagate_with_a_note_naming_the_column(value, error):
    with pytest.raises(error) as caught:
        json_to_csv([{"ok": 1, "Bad": value}])
    assert caught.value.__notes__ == ["while writing column 'Bad' of the record at index 0"]


@pytest.mark.parametrize("records", [5, None, {"a": 1}, "a,b", b"ab", MappingProxyType({})])
def test_records_that_are_not_a_sequence_are_refused(records):
    with pytest.raises(TypeError, match="records must be a sequence of mappings"):
        json_to_csv(records)


@pytest.mark.parametrize("record", [[("a", 1)], "a", 5, None])
def test_records_that_are_not_mappings_are_refused(record):
    with pytest.raises(TypeError, match="the record at index 1 is"):
        json_to_csv([{"a": 0}, record])


def test_two_keys_with_the_same_text_in_one_record_are_refused():
    with pytest.raises(ValueError, match="index 0 has two keys for the column '1'"):
        json_to_csv([{1: "a", "1": "b"}])


class Row(Mapping):
    def __init__(self, **values):
        self._values = values

    def __getitem__(self, key):
        return self._values[key]

    def __iter__(self):
        return iter(self._values)

    def __len__(self):
        return len(self._values)


class Reordered(dict):
    def items(self):
        return reversed(list(super().items()))


@pytest.mark.parametrize(
    "records",
    [
        ({"a": 1, "b": "x"}, {"a": 2}),
        [Row(a=1, b="x"), Row(a=2)],
        [MappingProxyType({"a": 1, "b": "x"}), OrderedDict(a=2)],
        (r for r in [{"a": 1, "b": "x"}, {"a": 2}]),
        [Reordered(b="x", a=1), {"a": 2}],
    ],
)
def test_any_sequence_of_mappings_is_accepted(records):
    assert json_to_csv(records) == "a,b\r\n1,x\r\n2,\r\n"


def test_keys_that_are_not_text_are_written_as_their_text():
    assert json_to_csv([{1: "a", None: "b"}, {"1": "c"}]) == "1,None\r\na,b\r\nc,\r\n"


def values_of_every_kind(i: int) -> dict:
    return {
        "s": f'v,{i}"é',
        "i": i,
        "big": 2**70 + i,
        "f": i / 7,
        "d": Decimal(i).scaleb(-2),
        "dt": dt.datetime(2024, 1, 1, tzinfo=UTC),
        "b": b"x" * (i % 5),
        "j": {"i": [i]},
        "o": uuid.UUID(int=i),
    }


def test_repeated_calls_do_not_leak():
    records = [values_of_every_kind(i) for i in range(200)]
    bad = records + [{"f": float("nan")}]

    def run():
        json_to_csv(records)
        with pytest.raises(ValueError, match="NaN and infinity have no CSV form"):
            json_to_csv(bad)

    for _ in range(20):
        run()
    gc.collect()
    # Small ints are shared with the rest of the process, so their counts move on their own.
    held = [v for r in records for k, v in r.items() if k != "i"]
    refcounts_before = [sys.getrefcount(v) for v in held]
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        snapshot_before = tracemalloc.take_snapshot()
        for _ in range(300):
            run()
        gc.collect()
        growth = sum(
            stat.size_diff
            for stat in tracemalloc.take_snapshot().compare_to(snapshot_before, "filename")
        )
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(v) for v in held] == refcounts_before
    assert len(gc.get_objects()) - objects_before < 50
    assert growth < 64 * 1024


def test_warehouse_rows_become_text_the_bulk_server_applies(bulk_server):
    import requests

    from kavrel.salesforce import ingest_bapi20 as ingest
    from kavrel.sflake.local import SQLiteSession
    from kavrel.sflake.query import get_records

    with SQLiteSession() as session:
        session.connection.execute("CREATE TABLE src (Name TEXT, Amount REAL, Qty INTEGER)")
        session.connection.executemany(
            "INSERT INTO src VALUES (?, ?, ?)",
            [(value, i / 4, None if i % 2 else i) for i, value in enumerate(HOSTILE)],
        )
        records = get_records(session, "SELECT Name, Amount, Qty FROM src")
    response = requests.post(
        bulk_server.base_url + "/services/data/v62.0/jobs/ingest",
        headers={"Authorization": "Bearer " + bulk_server.access_token},
        json={"object": "Account", "operation": "insert", "lineEnding": "CRLF"},
        timeout=10,
    )
    job_id = response.json()["id"]
    ingest.send_file(bulk_server.access_info, job_id, json_to_csv(records))
    ingest.job_close(bulk_server.access_info, job_id)
    assert ingest.job_status(bulk_server.access_info, job_id)["numberRecordsFailed"] == 0
    stored = [(r["Name"], r["Amount"], r["Qty"]) for r in bulk_server.rows("Account")]
    # An empty field inserts no value.
    expected = [tuple(field(v) or None for v in r.values()) for r in records]
    assert stored == expected


def compact_json(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


JSON_TEXT = [
    *HOSTILE,
    "".join(map(chr, range(0x80))),
    "\\",
    '\\"',
    "\x7f\x85\u2028\u2029",
    "\ufeff",
]


class Tagged(dict):
    pass


class Items(list):
    pass


class Number(float):
    pass


@pytest.mark.parametrize(
    "value",
    [
        JSON_TEXT,
        {text: text for text in JSON_TEXT},
        [0, -1, 2**63 - 1, -(2**63), 2**64, -(10**40), True, False, None],
        [0.0, -0.0, 0.1, 1e16, 1e15, 1e-5, 5e-324, 1.7976931348623157e308, 1 / 3],
        [float("nan"), float("inf"), float("-inf"), {"x": float("nan")}],
        {"a": {"b": [[], {}, [[{"c": ("t", 1, None)}]]]}, "": ""},
        [(), (1,), {"k": ()}],
        # Not plain JSON types: the json module has the last word on these.
        {2: "int key", 2.5: "float key", True: "bool", None: "none"},
        [Tagged(a=1), Items([1]), Number(1.5)],
        {"deep": json.loads("[" * 150 + "]" * 150)},
    ],
)
def test_containers_are_written_exactly_as_the_json_module_writes_them(value):
    assert field(value) == compact_json(value)


def circular():
    value = [1]
    value.append({"again": value})
    return value


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (circular(), ValueError),
        ({"a": [Decimal("1.5")]}, TypeError),
        (["ok", "\ud800"], UnicodeEncodeError),
        ({"\udfff": 1}, UnicodeEncodeError),
    ],
)
def test_containers_the_json_module_refuses_are_refused(value, error):
    with pytest.raises(error):
        json_to_csv([{"j": value}])


def test_random_nested_containers_match_the_json_module():
    rng = random.Random(4300)
    alphabet = '"\\\n\r\t\b\f\x00\x1f,aé€🚀 '

    def scalar():
        kind = rng.randrange(5)
        if kind == 0:
            return "".join(rng.choice(alphabet) for _ in range(rng.randrange(6)))
        if kind == 1:
            return rng.choice([rng.randint(-(2**70), 2**70), rng.randint(-9, 9)])
        if kind == 2:
            return struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if kind == 3:
            return rng.choice([True, False, None])
        return rng.random() * 10 ** rng.randint(-8, 20)

    def make(depth):
        if depth > 5 or rng.random() < 0.5:
            return scalar()
        if rng.random() < 0.5:
            # Mostly text keys; the others are the json module's to convert.
            return {
                scalar() if rng.random() < 0.1 else str(scalar()): make(depth + 1) for _ in range(3)
            }
        return [make(depth + 1) for _ in range(rng.randrange(4))]

    values = [[make(0)] for _ in range(3000)]
    text = json_to_csv([{"j": value} for value in values])
    assert [row[0] for row in read_back(text)[1:]] == [compact_json(v) for v in values]
