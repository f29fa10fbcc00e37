"""How much faster json_to_csv makes a batch's CSV text than the Python a user would write.

Builds one batch (25,000 rows of 20 mixed-type columns, as a load's records look), converts it
with json_to_csv and with a plain csv.DictWriter version of the same conversion, checks that both
give the same text, and prints the best CPU time of each and their ratio.
"""

from __future__ import annotations

import base64
import csv
import datetime as dt
import gc
import io
import json
import math
import random
import sys
import time
from decimal import Decimal

from kavrel.util.csv import json_to_csv

ROWS = 25_000
TARGET_RATIO = 20.0
ROUNDS = 7


def build_records(rows: int) -> list[dict]:
    rng = random.Random(7)
    cities = ["Zürich", "São Paulo", "Kraków", "東京", "Reykjavík", "Lyon", "Austin", "Montréal"]
    names = ["Acme, Inc.", 'The "Best" Shop', "Plain Name", "Ünïcödé GmbH", "Line\nBreak Ltd"]
    start = dt.datetime(2024, 1, 1, 8, 30)
    records = []
    for i in range(rows):
        records.append(
            {
                "Id": i,
                "External_Id__c": f"EXT-{i:08d}",
                "Name": f"{rng.choice(names)} {i}" if i % 3 else f"Customer {i}",
                "Description": f"Row {i}\r\nsecond line 🚀" if i % 7 == 0 else f"Row number {i}",
                "City": rng.choice(cities),
                "Amount": rng.random() * 10_000,
                "Price": Decimal(rng.randint(0, 10**7)).scaleb(-2),
                "Quantity": rng.randint(-1000, 1000),
                "Active": i % 2 == 0,
                "Score": round(rng.random(), 3),
                "Created": start + dt.timedelta(seconds=i * 37, microseconds=i % 1000 * 1000),
                "Modified": (start + dt.timedelta(minutes=i)).replace(tzinfo=dt.UTC),
                "Birthdate": dt.date(1950, 1, 1) + dt.timedelta(days=i % 20_000),
                "Opening": dt.time(i % 24, i % 60, i % 60),
                "Notes": None if i % 4 else "note with, comma",
                "Tags": ["a", "b", i] if i % 10 == 0 else None,
                "Big": 2**64 + i if i % 50 == 0 else i * 1_000_003,
                "Phone": f"+1 555 {i % 10_000:04d}",
                "Discount": Decimal("1E+2") if i % 100 == 0 else Decimal("0.15"),
                "Blob": bytes([i % 256]) * 12 if i % 25 == 0 else None,
            }
        )
    return records


def format_value(value) -> str:
    """The value formatter a user would write next to csv.DictWriter."""
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"cannot write {value!r}")
        return repr(value)
    if isinstance(value, Decimal):
        return format(value, "f")
    if isinstance(value, dt.datetime):
        text = value.isoformat(timespec="milliseconds")
        return text + "Z" if value.tzinfo is None else text
    if isinstance(value, dt.date):
        return value.isoformat()
    if isinstance(value, dt.time):
        return value.isoformat(timespec="milliseconds") + "Z"
    if isinstance(value, bytes | bytearray | memoryview):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, dict | list):
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return str(value)


def python_json_to_csv(records: list[dict]) -> str:
    if not records:
        return ""
    fieldnames = list(dict.fromkeys(key for record in records for key in record))
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=fieldnames, lineterminator="\r\n")
    writer.writeheader()
    for record in records:
        writer.writerow({key: format_value(value) for key, value in record.items()})
    return out.getvalue()


def measure(func, records) -> float:
    """CPU seconds of one call: other processes on a busy machine do not count against it."""
    gc.collect()
    started = time.process_time()
    func(records)
    return time.process_time() - started


def main() -> int:
    records = build_records(ROWS)
    expected = python_json_to_csv(records)
    if json_to_csv(records) != expected:
        print("json_to_csv and the csv-module version disagree", file=sys.stderr)
        return 1
    # Rounds alternate between the two, so a slow spell of the machine hits both alike.
    baseline = native = math.inf
    for _ in range(ROUNDS):
        baseline = min(baseline, measure(python_json_to_csv, records))
        for _ in range(5):
            native = min(native, measure(json_to_csv, records))
    ratio = baseline / native
    print(
        f"json_to_csv, {ROWS:,} rows x 20 columns ({len(expected.encode()):,} bytes): "
        f"{native * 1000:.1f} ms; csv.DictWriter: {baseline * 1000:.1f} ms; "
        f"{ratio:.1f}x faster (target {TARGET_RATIO:.0f}x)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
