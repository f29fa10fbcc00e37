"""The load operations against a real SQLite warehouse, with the HTTP client, the ingest client
and the CSV writer replaced by recorders where the exact call sequence is the point."""

from __future__ import annotations

import json
import logging
from types import SimpleNamespace

import pytest
import requests

from kavrel.salesforce import vantro
from kavrel.sflake.local import SQLiteSession

SOURCE = "SELECT * FROM accounts"
ACCESS = {"access_token": "tok-1", "instance_url": "http://sf.test"}
URL = "http://sf.test/services/data/v62.0/jobs/ingest"
LOGGER = "kavrel.salesforce.vantro"


class RecordingSession:
    """The caller's session: a real SQLite warehouse, with every SQL text kept."""

    def __init__(self, inner, *, count_rows=None, after_count=None):
        self.inner = inner
        self.queries: list[str] = []
        self.count_rows = count_rows
        self.after_count = after_count

    def sql(self, text):
        self.queries.append(text)
        if not text.startswith("SELECT COUNT(*)"):
            return self.inner.sql(text)
        rows = self.inner.sql(text).collect() if self.count_rows is None else self.count_rows
        if self.after_count:
            self.after_count(self.inner)
        return SimpleNamespace(collect=lambda: rows)


def make_session(rows: int, **kwargs) -> RecordingSession:
    inner = SQLiteSession()
    inner.connection.execute(
        "CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Amount REAL, Active INTEGER)"
    )
    inner.connection.executemany(
        "INSERT INTO accounts VALUES (?, ?, ?, ?)",
        [(f"E{i:05d}", f"Name {i}", i * 1.5, i % 2) for i in range(1, rows + 1)],
    )
    return RecordingSession(inner, **kwargs)


def response(status: int, body) -> requests.Response:
    answer = requests.Response()
    answer.status_code = status
    answer._content = json.dumps(body).encode()
    answer.url = URL
    answer.reason = "Reason"
    return answer


class Wire:
    """Stands in for `requests`, `ingest_bapi20` and `json_to_csv`, keeping every call in order.

    `statuses` are the creation answers' status codes, job by job (200 when not given);
    `states` the job states each job reports in turn ("JobComplete" when not given)."""

    def __init__(self, statuses=(), states=()):
        self.statuses = list(statuses)
        self.states = list(states)
        self.calls: list[tuple] = []
        self.records: list[list] = []
        self.jobs = 0
        self.requests = SimpleNamespace(post=self.post)
        self.ingest = SimpleNamespace(
            send_file=self.send_file, job_close=self.job_close, job_status=self.job_status
        )
        self.csv = SimpleNamespace(json_to_csv=self.json_to_csv)
        self.sleeps: list = []

    def json_to_csv(self, records):
        self.records.append(list(records))
        return "x" * (1000 * len(records))

    def post(self, url, **kwargs):
        self.calls.append(("post", url, list(kwargs["headers"].items()), kwargs["data"]))
        status = self.statuses.pop(0) if self.statuses else 200
        if status >= 400:
            return response(status, [{"errorCode": "INVALID_SESSION_ID", "message": "bad"}])
        self.jobs += 1
        self.pending = list(self.states.pop(0)) if self.states else ["JobComplete"]
        return response(status, {"id": f"750J{self.jobs}", "state": "Open"})

    def send_file(self, access_info, job_id, csv_text):
        self.calls.append(("send_file", access_info, job_id, len(csv_text)))

    def job_close(self, access_info, job_id):
        self.calls.append(("job_close", access_info, job_id))
        return {"id": job_id, "state": "UploadComplete"}

    def job_status(self, access_info, job_id):
        self.calls.append(("job_status", access_info, job_id))
        return {"id": job_id, "state": self.pending.pop(0)}


@pytest.fixture
def wire(monkeypatch):
    def install(**kwargs):
        w = Wire(**kwargs)
        monkeypatch.setattr(vantro, "requests", w.requests)
        monkeypatch.setattr(vantro, "ingest", w.ingest)
        monkeypatch.setattr(vantro, "csv", w.csv)
        monkeypatch.setattr(vantro.time, "sleep", w.sleeps.append)
        return w

    return install


def logged(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def batch_lines(n, of, first, last, query, got, total_processed, total, job, state="JobComplete"):
    created = {"id": job, "state": "Open"}
    closed = {"id": job, "state": "UploadComplete"}
    lines = [
        ("DEBUG", f"🔍 STEP 2.{n}: Processing batch {n}/{of}"),
        ("DEBUG", f"📊 Batch range: records {first:,} to {last:,}"),
        ("DEBUG", f"🔍 Executing batch query: {query[:100]}..."),
        (
            "DEBUG",
            f"📊 Retrieved {got:,} records for this batch "
            f"(Total processed: {total_processed:,}/{total:,})",
        ),
        ("DEBUG", "🔍 Converting batch records to CSV format..."),
        ("DEBUG", f"📄 Batch CSV data length: {got * 1000:,} characters"),
        ("DEBUG", "🔍 Creating Salesforce Bulk API job for this batch..."),
        ("INFO", f"✅ Job created successfully: {created}"),
        ("DEBUG", f"🆔 Job ID: {job}"),
        ("DEBUG", "🔍 Sending batch CSV data to Salesforce..."),
        ("INFO", "✅ Batch file sent successfully"),
        ("DEBUG", "🔍 Closing job to start processing..."),
        ("INFO", f"✅ Job closed: {closed}"),
        ("DEBUG", "🔍 Monitoring batch job status..."),
        ("DEBUG", f"📊 Status check #1 - ID: {job}, Status: {state}"),
    ]
    if state == "JobComplete":
        lines.append(("INFO", "✅ Batch job completed successfully!"))
    else:
        lines.append(("ERROR", f"❌ Batch job failed with status: {state}"))
        lines.append(("ERROR", f"❌ Full job details: {{'id': '{job}', 'state': '{state}'}}"))
    lines.append(("INFO", f"✅ Batch {n} processing completed"))
    return lines


# ---------------------------------------------------------------------------------------------
# Module surface


def test_module_binds_its_libraries_in_order_and_its_own_logger():
    names = [n for n in vars(vantro) if not n.startswith("__")]
    assert names[:8] == ["requests", "json", "logging", "csv", "q", "ingest", "time", "logger"]
    assert vantro.logger is logging.getLogger(LOGGER)
    assert vantro.ingest.__name__ == "kavrel.salesforce.ingest_bapi20"
    assert vantro.q.__name__ == "kavrel.sflake.query"
    assert vantro.csv.__name__ == "kavrel.util.csv"


def test_upsert_carries_its_help_text():
    assert vantro.upsert.__doc__ == (
        "\n    Upsert records to Salesforce using data from a SQL query executed against Snowflake."
        "\n    Processes records in batches to handle large datasets efficiently.\n    \n    Args:"
        "\n        session: Snowflake session object"
        "\n        access_info: Salesforce access credentials dictionary"
        "\n        sobject: Salesforce object name (e.g., 'Account', 'Contact')"
        "\n        query: SQL query string to execute against Snowflake"
        "\n        field: External ID field name for upsert operation"
        "\n        batch_size: Number of records to process per batch (default: 25000)\n    "
    )


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: vantro.upsert(1, 2, 3, 4),
            "upsert() missing 1 required positional argument: 'field'",
        ),
        (
            lambda: vantro.upsert(1, 2, 3),
            "upsert() missing 2 required positional arguments: 'query' and 'field'",
        ),
        (
            lambda: vantro.upsert(),
            "upsert() missing 5 required positional arguments: "
            "'session', 'access_info', 'sobject', 'query', and 'field'",
        ),
        (
            lambda: vantro.upsert(1, 2, 3, 4, 5, 6, 7),
            "upsert() takes from 5 to 6 positional arguments but 7 were given",
        ),
        (
            lambda: vantro.upsert(1, 2, 3, 4, 5, size=1),
            "upsert() got an unexpected keyword argument 'size'",
        ),
        (
            lambda: vantro.insert(1, 2, 3, 4, 5),
            "insert() takes 4 positional arguments but 5 were given",
        ),
        (
            lambda: vantro.update(1, 2, 3, session=4),
            "update() got multiple values for argument 'session'",
        ),
        (
            lambda: vantro.delete(1, 2, 3, 4),
            "delete() missing 1 required positional argument: 'field'",
        ),
    ],
)
def test_wrong_calls_fail_as_python_functions_do_before_anything_runs(call, message, caplog):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert logged(caplog) == []


# ---------------------------------------------------------------------------------------------
# upsert


def test_upsert_pages_through_batches_and_keeps_going_past_a_failed_job(wire, caplog):
    w = wire(states=[["JobComplete"], ["Failed"], ["JobComplete"]])
    session = make_session(250)
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", 100)

    base = f"SELECT * FROM ({SOURCE}) AS _vantro_source"
    pages = [f"{base} LIMIT 100 OFFSET {o}" for o in (0, 100, 200)]
    assert session.queries == [f"SELECT COUNT(*) as total_count FROM ({SOURCE})", *pages]
    assert logged(caplog) == [
        ("INFO", "🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING"),
        ("INFO", "📋 Parameters: SObject=Account, Field=Ext_Id__c, Batch Size=100"),
        ("DEBUG", "🔍 STEP 1: Getting total record count..."),
        ("INFO", "📊 Total records to process: 250"),
        ("INFO", "📦 Will process 250 records in 3 batch(es) of up to 100 records each"),
        ("DEBUG", f"🔗 Bulk API URL: {URL}"),
        *batch_lines(1, 3, 1, 100, pages[0], 100, 100, 250, "750J1"),
        *batch_lines(2, 3, 101, 200, pages[1], 100, 200, 250, "750J2", state="Failed"),
        *batch_lines(3, 3, 201, 250, pages[2], 50, 250, 250, "750J3"),
        ("INFO", "✅ BATCH UPSERT PROCESSING COMPLETED"),
        ("INFO", "📊 Summary: 250 total records, 250 processed, 2/3 successful batches"),
    ]
    assert list(summary) == [
        "total_records",
        "records_processed",
        "total_batches",
        "successful_batches",
        "failed_batches",
        "batch_results",
    ]
    assert [summary[k] for k in list(summary)[:5]] == [250, 250, 3, 2, 1]
    assert summary["batch_results"] == [
        {
            "batch_number": n,
            "job_id": f"750J{n}",
            "records_processed": size,
            "success": ok,
            "job_info": {"id": f"750J{n}", "state": "Open"},
        }
        for n, size, ok in [(1, 100, True), (2, 100, False), (3, 50, True)]
    ]
    assert list(summary["batch_results"][0]) == [
        "batch_number",
        "job_id",
        "records_processed",
        "success",
        "job_info",
    ]
    document = (
        '{"object": "Account", "operation": "upsert", '
        '"externalIdFieldName": "Ext_Id__c", "lineEnding": "CRLF"}'
    )
    headers = [("Authorization", "Bearer tok-1"), ("Content-Type", "application/json")]
    assert [c for c in w.calls if c[0] == "post"] == [("post", URL, headers, document)] * 3
    assert [c[0] for c in w.calls[:4]] == ["post", "send_file", "job_close", "job_status"]
    assert w.calls[1] == ("send_file", ACCESS, "750J1", 100_000)
    assert w.sleeps == []


@pytest.mark.parametrize(
    ("rows", "batch_size", "plan", "pages", "ranges"),
    [
        (1, 25000, "1 records in 1 batch(es) of up to 25,000", [(25000, 0)], [(1, 1)]),
        (
            3,
            1,
            "3 records in 3 batch(es) of up to 1",
            [(1, 0), (1, 1), (1, 2)],
            [(1, 1), (2, 2), (3, 3)],
        ),
        (
            25001,
            25000,
            "25,001 records in 2 batch(es) of up to 25,000",
            [(25000, 0), (25000, 25000)],
            [(1, 25000), (25001, 25001)],
        ),
        (4, 4, "4 records in 1 batch(es) of up to 4", [(4, 0)], [(1, 4)]),
    ],
)
def test_batch_plan_sizes_and_offsets(wire, caplog, rows, batch_size, plan, pages, ranges):
    wire()
    session = make_session(rows)
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", batch_size)
    base = f"SELECT * FROM ({SOURCE}) AS _vantro_source"
    assert session.queries[1:] == [f"{base} LIMIT {lim} OFFSET {off}" for lim, off in pages]
    lines = [m for _, m in logged(caplog)]
    assert f"📦 Will process {plan} records each" in lines
    assert [m for m in lines if m.startswith("📊 Batch range")] == [
        f"📊 Batch range: records {a:,} to {b:,}" for a, b in ranges
    ]
    assert summary["successful_batches"] == summary["total_batches"] == len(pages)
    assert summary["records_processed"] == rows


def test_offsets_beyond_32_bits_stay_exact(wire, caplog):
    wire()
    size = 2**31
    session = make_session(2, count_rows=[(5_000_000_000,)])
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", size)
    assert [q.rsplit(" LIMIT ", 1)[1] for q in session.queries[1:]] == [
        f"{size} OFFSET 0",
        f"{size} OFFSET {size}",
        f"{size} OFFSET {2 * size}",
    ]
    lines = [m for _, m in logged(caplog)]
    assert "📊 Batch range: records 4,294,967,297 to 5,000,000,000" in lines
    assert (
        "📦 Will process 5,000,000,000 records in 3 batch(es) of up to 2,147,483,648 records each"
        in lines
    )
    # Only the first page has rows; the other two come back empty and are skipped.
    assert lines.count("⚠️ No records in this batch, skipping...") == 2
    assert summary["successful_batches"] == 1 and summary["failed_batches"] == 0


@pytest.mark.parametrize("count_rows", [None, []], ids=["zero", "no-row"])
def test_nothing_to_load_returns_none_before_the_url_is_read(wire, caplog, count_rows):
    w = wire()
    session = make_session(0, count_rows=count_rows)
    result = vantro.upsert(session, {"access_token": "t"}, "Account", SOURCE, "Ext_Id__c")
    assert result is None
    assert logged(caplog)[-2:] == [
        ("INFO", "📊 Total records to process: 0"),
        ("WARNING", "⚠️ No records found to process"),
    ]
    assert w.calls == []


@pytest.mark.parametrize(
    ("status", "raises"), [(200, False), (201, False), (302, False), (401, True), (400, True)]
)
def test_creation_status_outcomes(wire, caplog, status, raises):
    w = wire(statuses=[status])
    summary = vantro.upsert(make_session(3), ACCESS, "Account", SOURCE, "Ext_Id__c", 2)
    lines = logged(caplog)
    errors = [m for lvl, m in lines if lvl == "ERROR"]
    if status == 200:
        assert errors == []
    else:
        body = (
            '[{"errorCode": "INVALID_SESSION_ID", "message": "bad"}]'
            if raises
            else ('{"id": "750J1", "state": "Open"}')
        )
        assert errors[:2] == [
            f"❌ Job creation failed with status {status}",
            f"❌ Response: {body}",
        ]
    first, second = summary["batch_results"]
    assert second == {
        "batch_number": 2,
        "job_id": "750J2" if not raises else "750J1",
        "records_processed": 1,
        "success": True,
        "job_info": second["job_info"],
    }
    if raises:
        reason = f"{status} Client Error: Reason for url: {URL}"
        assert first == {
            "batch_number": 1,
            "job_id": None,
            "records_processed": 0,
            "success": False,
            "error": reason,
        }
        assert errors[2] == f"❌ Error processing batch 1: {reason}"
        assert (summary["successful_batches"], summary["failed_batches"]) == (1, 1)
        assert summary["records_processed"] == 3
    else:
        assert first["success"] is True and first["job_id"] == "750J1"
        assert (summary["successful_batches"], summary["failed_batches"]) == (2, 0)
    assert [c[0] for c in w.calls].count("send_file") == (1 if raises else 2)


@pytest.mark.parametrize(
    ("states", "success", "sleeps"),
    [
        (["InProgress", "UploadComplete", "JobComplete"], True, 2),
        (["", "jobcomplete", "FAILED", "Aborted"], False, 3),
        (["Failed"], False, 0),
    ],
)
def test_polling_waits_ten_seconds_until_an_exact_terminal_state(
    wire, caplog, states, success, sleeps
):
    w = wire(states=[states])
    summary = vantro.upsert(make_session(1), ACCESS, "Account", SOURCE, "Ext_Id__c")
    assert w.sleeps == [10] * sleeps
    lines = [m for _, m in logged(caplog)]
    assert [m for m in lines if m.startswith("📊 Status check")] == [
        f"📊 Status check #{i} - ID: 750J1, Status: {s}" for i, s in enumerate(states, 1)
    ]
    assert lines.count("⏳ Waiting 10 seconds before next status check...") == sleeps
    assert summary["batch_results"][0]["success"] is success
    assert summary["batch_results"][0]["job_id"] == "750J1"


@pytest.mark.parametrize("failing", ["send_file", "job_close", "job_status"])
def test_per_batch_handler_records_the_error_and_the_next_batch_runs(wire, caplog, failing):
    w = wire()
    original = getattr(w.ingest, failing)
    calls = []

    def fail_first(*args):
        calls.append(args)
        if len(calls) == 1:
            raise ConnectionError("link down")
        return original(*args)

    setattr(w.ingest, failing, fail_first)
    summary = vantro.upsert(make_session(2), ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
    assert summary["batch_results"][0] == {
        "batch_number": 1,
        "job_id": None,
        "records_processed": 0,
        "success": False,
        "error": "link down",
    }
    assert summary["batch_results"][1]["success"] is True
    assert ("ERROR", "❌ Error processing batch 1: link down") in logged(caplog)
    assert summary["records_processed"] == 2


def test_interrupt_passes_through_both_handlers_without_a_line(wire, caplog):
    w = wire()

    def interrupt(*args):
        raise KeyboardInterrupt

    w.ingest.send_file = interrupt
    with pytest.raises(KeyboardInterrupt):
        vantro.upsert(make_session(2), ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
    assert [lvl for lvl, _ in logged(caplog)].count("ERROR") == 0


@pytest.mark.parametrize(
    ("access", "source", "batch_size", "error"),
    [
        (ACCESS, SOURCE, 0, ZeroDivisionError),
        (ACCESS, "SELECT * FROM no_such_table", 10, Exception),
        ({"instance_url": "http://sf.test"}, SOURCE, 10, KeyError),
        ({"access_token": "t"}, SOURCE, 10, KeyError),
        (ACCESS, SOURCE, -5, ValueError),
        (ACCESS, SOURCE, 2.5, TypeError),
    ],
)
def test_outer_handler_logs_three_lines_and_reraises(
    wire, caplog, access, source, batch_size, error
):
    w = wire()
    with pytest.raises(error) as raised:
        vantro.upsert(make_session(3), access, "Account", source, "Ext_Id__c", batch_size)
    assert logged(caplog)[-3:] == [
        ("ERROR", "❌ UPSERT FAILED"),
        ("ERROR", f"Error: {raised.value}"),
        ("ERROR", f"Error type: {type(raised.value).__name__}"),
    ]
    assert w.calls == []


def test_a_batch_size_that_cannot_be_grouped_fails_before_any_handler(wire, caplog):
    wire()
    with pytest.raises(ValueError):
        vantro.upsert(make_session(3), ACCESS, "Account", SOURCE, "Ext_Id__c", "10")
    assert logged(caplog) == [("INFO", "🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING")]


def test_a_batch_that_comes_back_empty_is_skipped_without_a_record(wire, caplog):
    wire()
    session = make_session(2, after_count=lambda db: db.connection.execute("DELETE FROM accounts"))
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
    assert summary == {
        "total_records": 2,
        "records_processed": 0,
        "total_batches": 2,
        "successful_batches": 0,
        "failed_batches": 0,
        "batch_results": [],
    }
    assert [m for _, m in logged(caplog)].count("⚠️ No records in this batch, skipping...") == 2


def test_job_document_sends_text_forms_escaped_to_ascii(wire):
    w = wire()
    access = {"access_token": 12, "instance_url": "http://sf.test/"}
    vantro.upsert(make_session(1), access, 5, SOURCE, "Clé_\U0001f680__c")
    (_, url, headers, data), *_ = w.calls
    assert url == "http://sf.test//services/data/v62.0/jobs/ingest"
    assert headers[0] == ("Authorization", "Bearer 12")
    assert data == (
        '{"object": "5", "operation": "upsert", '
        '"externalIdFieldName": "Cl\\u00e9_\\ud83d\\ude80__c", "lineEnding": "CRLF"}'
    )


# ---------------------------------------------------------------------------------------------
# Records handed to the CSV writer


class FrozenRow:
    """A row whose asDict() is a read-only mapping rather than a dict."""

    def __init__(self, values):
        from types import MappingProxyType

        self.values = MappingProxyType(values)

    def asDict(self):
        return self.values


VALUES = {"Id": "1", "Name": None, "Zero": 0, "No": False, "Empty": "", "Amount": 1.5}
CLEANED = {"Id": "1", "Name": "", "Zero": 0, "No": False, "Empty": "", "Amount": 1.5}


@pytest.mark.parametrize("row_kind", ["dict", "mapping"])
@pytest.mark.parametrize("operation", ["upsert", "update", "delete"])
def test_none_becomes_empty_text_and_nothing_else_changes(wire, operation, row_kind):
    w = wire()
    row = FrozenRow(VALUES) if row_kind == "mapping" else SimpleNamespace(asDict=VALUES.copy)
    session = SimpleNamespace(
        sql=lambda text: SimpleNamespace(collect=lambda: [(1,)] if "COUNT" in text else [row])
    )
    args = {"upsert": ("Ext__c",), "update": (), "delete": (None,)}[operation]
    getattr(vantro, operation)(session, ACCESS, "Account", SOURCE, *args)
    (records,) = w.records
    assert records == [CLEANED]
    assert list(records[0]) == list(VALUES)
    assert type(records[0]) is dict


def test_insert_hands_get_records_output_over_untouched(wire, monkeypatch, caplog):
    w = wire()
    records = [dict(VALUES)]
    seen = []
    monkeypatch.setattr(vantro.q, "get_records", lambda s, q: seen.append((s, q)) or records)
    vantro.insert("session", ACCESS, "Account", SOURCE)
    assert seen == [("session", SOURCE)]
    assert w.records == [records] and records[0]["Name"] is None


@pytest.mark.parametrize(
    ("bad_row", "message"),
    [
        ([("a", 1, 2)], "too many values to unpack (expected 2)"),
        ([("a",)], "not enough values to unpack (expected 2, got 1)"),
        ([5], "cannot unpack non-iterable int object"),
    ],
)
def test_a_mapping_with_malformed_items_fails_the_call(wire, bad_row, message):
    wire()
    row = SimpleNamespace(asDict=lambda: SimpleNamespace(items=lambda: bad_row))
    session = SimpleNamespace(sql=lambda text: SimpleNamespace(collect=lambda: [row]))
    with pytest.raises(
        (ValueError, TypeError), match=message.replace("(", r"\(").replace(")", r"\)")
    ):
        vantro.update(session, ACCESS, "Account", SOURCE)


# ---------------------------------------------------------------------------------------------
# insert, update, delete


OPERATIONS = {
    "insert": (
        '{"object": "Account", "contentType": "CSV", "operation": "insert", "lineEnding": "CRLF"}',
        (),
    ),
    "update": ('{"object": "Account", "operation": "update", "lineEnding": "CRLF"}', ()),
    "delete": (
        '{"object": "Account", "contentType": "CSV", "operation": "delete", "lineEnding": "CRLF"}',
        ("ignored",),
    ),
}


@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_single_job_exact_lines_document_and_result(wire, caplog, operation):
    document, extra = OPERATIONS[operation]
    w = wire(states=[["InProgress", "JobComplete"]])
    result = getattr(vantro, operation)(make_session(3), ACCESS, "Account", SOURCE, *extra)
    assert result == {"id": "750J1", "state": "Open"}
    word = operation.capitalize()
    expected = [
        ("INFO", f"🚀 STARTING SALESFORCE {operation.upper()}"),
        ("INFO", "📋 Parameters: SObject=Account"),
        ("INFO", f"📊 Records to {operation}: 3"),
        ("DEBUG", "creating job"),
        ("INFO", "✅ Job created: 750J1"),
        ("DEBUG", "sending file"),
        ("INFO", "✅ Data sent to Salesforce"),
        ("DEBUG", "closing job"),
        ("DEBUG", "ID: 750J1, Status: InProgress"),
        ("DEBUG", "ID: 750J1, Status: JobComplete"),
        ("INFO", f"✅ {word} completed successfully!"),
    ]
    if operation == "delete":
        expected.insert(4, ("DEBUG", "JOB: {'id': '750J1', 'state': 'Open'}"))
    assert logged(caplog) == expected
    headers = [("Authorization", "Bearer tok-1"), ("Content-Type", "application/json")]
    assert w.calls == [
        ("post", URL, headers, document),
        ("send_file", ACCESS, "750J1", 3000),
        ("job_close", ACCESS, "750J1"),
        ("job_status", ACCESS, "750J1"),
        ("job_status", ACCESS, "750J1"),
    ]
    assert w.sleeps == [10]


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("state", ["Failed", "Aborted"])
def test_single_job_failure_raises_after_two_error_lines(wire, caplog, operation, state):
    wire(states=[["Open", state]])
    extra = OPERATIONS[operation][1]
    with pytest.raises(RuntimeError) as raised:
        getattr(vantro, operation)(make_session(1), ACCESS, "Account", SOURCE, *extra)
    assert str(raised.value) == f"Salesforce {operation} job failed: {state}"
    assert logged(caplog)[-2:] == [
        ("ERROR", f"❌ {operation.capitalize()} job failed with status: {state}"),
        ("ERROR", f"❌ Job details: {{'id': '750J1', 'state': '{state}'}}"),
    ]


@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_single_job_refused_creation_stops_before_any_upload(wire, caplog, operation):
    w = wire(statuses=[401])
    with pytest.raises(TypeError):
        getattr(vantro, operation)(
            make_session(1), ACCESS, "Account", SOURCE, *OPERATIONS[operation][1]
        )
    assert [c[0] for c in w.calls] == ["post"]
    assert logged(caplog)[-1][1] in (
        "creating job",
        "JOB: [{'errorCode': 'INVALID_SESSION_ID', 'message': 'bad'}]",
    )


def test_single_job_on_no_rows_still_runs_a_job_and_groups_large_counts(wire, caplog, monkeypatch):
    w = wire()
    vantro.update(make_session(0), ACCESS, "Account", SOURCE)
    assert ("INFO", "📊 Records to update: 0") in logged(caplog)
    assert w.records == [[]] and w.calls[1] == ("send_file", ACCESS, "750J1", 0)
    monkeypatch.setattr(vantro.q, "get_records", lambda s, q: range(1_234_567))
    monkeypatch.setattr(w.csv, "json_to_csv", lambda records: "")
    vantro.insert(None, ACCESS, "Account", SOURCE)
    assert ("INFO", "📊 Records to insert: 1,234,567") in logged(caplog)


def test_single_job_missing_token_fails_before_any_line(wire, caplog):
    wire()
    with pytest.raises(KeyError):
        vantro.delete(make_session(1), {"instance_url": "x"}, "Account", SOURCE, None)
    assert logged(caplog) == []
