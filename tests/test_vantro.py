"""The load operations against a real SQLite warehouse, with the HTTP client, the ingest client
and the CSV writer replaced by recorders where the exact call sequence is the point."""

from __future__ import annotations

import json
import logging
import re
from types import MappingProxyType, SimpleNamespace

import pytest

from kavrel.salesforce import ingest_bapi20, vantro
from kavrel.sflake.local import SQLiteSession

SOURCE = "SELECT * FROM accounts"
BASE = f"SELECT * FROM ({SOURCE}) AS _vantro_source"
PAGE = f"{BASE} ORDER BY ALL"
ACCESS = {"access_token": "tok-1", "instance_url": "http://sf.test"}
URL = "http://sf.test/services/data/v62.0/jobs/ingest"
HEADERS = [("Authorization", "Bearer tok-1"), ("Content-Type", "application/json")]


class RecordingSession:
    """The caller's session over a real SQLite warehouse, keeping every SQL text. `count_rows`
    overrides the count query's answer; `after_count` runs once the count has been read."""

    def __init__(self, rows: int, count_rows=None, after_count=None):
        self.inner = SQLiteSession()
        db = self.inner.connection
        db.execute("CREATE TABLE accounts (Ext_Id__c TEXT, Name TEXT, Amount REAL, Active INT)")
        db.executemany(
            "INSERT INTO accounts VALUES (?, ?, ?, ?)",
            [(f"E{i:05d}", f"Name {i}", i * 1.5, i % 2) for i in range(1, rows + 1)],
        )
        self.queries: list[str] = []
        self.count_rows, self.after_count = count_rows, after_count

    def sql(self, text):
        self.queries.append(text)
        if not text.startswith("SELECT COUNT(*)"):
            return self.inner.sql(text)
        rows = self.inner.sql(text).collect() if self.count_rows is None else self.count_rows
        if self.after_count:
            self.after_count(self.inner.connection)
        return SimpleNamespace(collect=lambda: rows)


class Wire:
    """`requests`, `ingest_bapi20` and `json_to_csv` as recorders. `statuses`: the creation
    answers' status codes in turn (200 by default); `states`: per job, the states it reports."""

    def __init__(self, statuses=(), states=()):
        self.statuses, self.states = list(statuses), list(states)
        self.calls: list[tuple] = []
        self.records: list[list] = []
        self.sleeps: list = []
        self.jobs = 0
        self.requests = SimpleNamespace(post=self.post)
        real = ingest_bapi20
        self.ingest = SimpleNamespace(
            send_file=self.send_file, job_close=self.job_close, job_status=self.job_status,
            job_abort=self.job_abort, created_job=real.created_job,
            error_from_response=real.error_from_response, check_upload_size=real.check_upload_size,
        )  # fmt: skip
        self.csv = SimpleNamespace(json_to_csv=self.json_to_csv)

    def json_to_csv(self, records):
        self.records.append(list(records))
        return "x" * (1000 * len(records))

    def post(self, url, *, headers, data, timeout):
        assert timeout == (10, 120)
        self.calls.append(("post", url, list(headers.items()), data))
        status = self.statuses.pop(0) if self.statuses else 200
        body = [{"errorCode": "INVALID_SESSION_ID", "message": "bad"}]
        if status < 400:
            self.jobs += 1
            self.pending = list(self.states.pop(0)) if self.states else ["JobComplete"]
            body = {"id": f"750J{self.jobs}", "state": "Open"}
        # A caller's client answers with no more than what every HTTP client documents.
        text = json.dumps(body)
        return SimpleNamespace(status_code=status, text=text, json=lambda: json.loads(text))

    def send_file(self, access_info, job_id, csv_text):
        self.calls.append(("send_file", access_info, job_id, len(csv_text)))

    def job_close(self, access_info, job_id):
        self.calls.append(("job_close", access_info, job_id))
        return {"id": job_id, "state": "UploadComplete"}

    def job_status(self, access_info, job_id):
        self.calls.append(("job_status", access_info, job_id))
        return {"id": job_id, "state": self.pending.pop(0) if self.pending else "Open"}

    def job_abort(self, access_info, job_id):
        self.calls.append(("job_abort", access_info, job_id))
        return {"id": job_id, "state": "Aborted"}


@pytest.fixture
def wire(monkeypatch):
    def install(**kwargs):
        w = Wire(**kwargs)
        for name in ("requests", "ingest", "csv"):
            monkeypatch.setattr(vantro, name, getattr(w, name))
        monkeypatch.setattr(vantro.time, "sleep", w.sleeps.append)
        return w

    return install


def logged(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == vantro.__name__]


def messages(caplog) -> list[str]:
    return [m for _, m in logged(caplog)]


# ---------------------------------------------------------------------------------------------
# Module surface


def test_module_binds_its_libraries_in_order_and_its_own_logger():
    names = [n for n in vars(vantro) if not n.startswith("__")]
    assert names[:8] == ["requests", "json", "logging", "csv", "q", "ingest", "time", "logger"]
    assert vantro.logger is logging.getLogger("kavrel.salesforce.vantro")
    assert (vantro.q.__name__, vantro.ingest.__name__, vantro.csv.__name__) == (
        "kavrel.sflake.query", "kavrel.salesforce.ingest_bapi20", "kavrel.util.csv")  # fmt: skip
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


def _twin(name: str, params: str):
    """A Python function with the load operation's signature, to compare call errors with."""
    namespace: dict = {}
    exec(f"def {name}({params}): pass", namespace)
    return namespace[name]


TWINS = {
    "upsert": _twin("upsert", "session, access_info, sobject, query, field, batch_size=25000"),
    "insert": _twin("insert", "session, access_info, sobject, query"),
    "update": _twin("update", "session, access_info, sobject, query"),
    "delete": _twin("delete", "session, access_info, sobject, query, field"),
}


@pytest.mark.parametrize("name", list(TWINS))
@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), ((1, 2, 3), {}), ((1,) * 7, {}), ((1,) * 4, {"size": 1}), ((1, 2), {"session": 4})],
)
def test_wrong_calls_fail_as_the_python_function_would(caplog, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        TWINS[name](*args, **kwargs)
    with pytest.raises(TypeError, match=f"^{re.escape(str(expected.value))}$"):
        getattr(vantro, name)(*args, **kwargs)
    assert logged(caplog) == []


# ---------------------------------------------------------------------------------------------
# upsert


def batch_lines(n, of, first, last, got, done, total, job, state="JobComplete"):
    query = f"{PAGE} LIMIT 100 OFFSET {first - 1}"
    ended = [("INFO", "✅ Batch job completed successfully!")]
    if state != "JobComplete":
        details = {"id": job, "state": state}
        ended = [("ERROR", f"❌ Batch job failed with status: {state}"),
                 ("ERROR", f"❌ Full job details: {details}")]  # fmt: skip
    return [
        ("DEBUG", f"🔍 STEP 2.{n}: Processing batch {n}/{of}"),
        ("DEBUG", f"📊 Batch range: records {first:,} to {last:,}"),
        ("DEBUG", f"🔍 Executing batch query: {query[:100]}..."),
        ("DEBUG", f"📊 Retrieved {got:,} records for this batch (Total processed: {done}/{total})"),
        ("DEBUG", "🔍 Converting batch records to CSV format..."),
        ("DEBUG", f"📄 Batch CSV data length: {got * 1000:,} characters"),
        ("DEBUG", "🔍 Creating Salesforce Bulk API job for this batch..."),
        ("INFO", f"✅ Job created successfully: {{'id': '{job}', 'state': 'Open'}}"),
        ("DEBUG", f"🆔 Job ID: {job}"),
        ("DEBUG", "🔍 Sending batch CSV data to Salesforce..."),
        ("INFO", "✅ Batch file sent successfully"),
        ("DEBUG", "🔍 Closing job to start processing..."),
        ("INFO", f"✅ Job closed: {{'id': '{job}', 'state': 'UploadComplete'}}"),
        ("DEBUG", "🔍 Monitoring batch job status..."),
        ("DEBUG", f"📊 Status check #1 - ID: {job}, Status: {state}"),
        *ended,
        ("INFO", f"✅ Batch {n} processing completed"),
    ]


def test_upsert_pages_through_batches_and_keeps_going_past_a_failed_job(wire, caplog):
    w = wire(states=[["JobComplete"], ["Failed"], ["JobComplete"]])
    session = RecordingSession(250)
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", 100)

    pages = [f"{PAGE} LIMIT 100 OFFSET {offset}" for offset in (0, 100, 200)]
    assert session.queries == [f"SELECT COUNT(*) as total_count FROM ({SOURCE})", *pages]
    assert logged(caplog) == [
        ("INFO", "🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING"),
        ("INFO", "📋 Parameters: SObject=Account, Field=Ext_Id__c, Batch Size=100"),
        ("DEBUG", "🔍 STEP 1: Getting total record count..."),
        ("INFO", "📊 Total records to process: 250"),
        ("INFO", "📦 Will process 250 records in 3 batch(es) of up to 100 records each"),
        ("DEBUG", f"🔗 Bulk API URL: {URL}"),
        *batch_lines(1, 3, 1, 100, 100, 100, 250, "750J1"),
        *batch_lines(2, 3, 101, 200, 100, 200, 250, "750J2", state="Failed"),
        *batch_lines(3, 3, 201, 250, 50, 250, 250, "750J3"),
        ("INFO", "✅ BATCH UPSERT PROCESSING COMPLETED"),
        ("INFO", "📊 Summary: 250 total records, 250 processed, 2/3 successful batches"),
    ]
    assert list(summary.items())[:5] == [
        ("total_records", 250), ("records_processed", 250), ("total_batches", 3),
        ("successful_batches", 2), ("failed_batches", 1),
    ]  # fmt: skip
    assert [list(r.items()) for r in summary["batch_results"]] == [
        [("batch_number", n), ("job_id", f"750J{n}"), ("records_processed", size),
         ("success", ok), ("job_info", {"id": f"750J{n}", "state": "Open"})]
        for n, size, ok in [(1, 100, True), (2, 100, False), (3, 50, True)]
    ]  # fmt: skip
    document = (
        '{"object": "Account", "operation": "upsert", '
        '"externalIdFieldName": "Ext_Id__c", "lineEnding": "CRLF"}'
    )
    assert [c for c in w.calls if c[0] == "post"] == [("post", URL, HEADERS, document)] * 3
    assert w.calls[1:4] == [
        ("send_file", ACCESS, "750J1", 100_000),
        ("job_close", ACCESS, "750J1"),
        ("job_status", ACCESS, "750J1"),
    ]
    assert w.sleeps == []


@pytest.mark.parametrize(
    ("rows", "size", "plan", "ranges"),
    [
        (1, 25000, "1 records in 1 batch(es) of up to 25,000", [(1, 1)]),
        (3, 1, "3 records in 3 batch(es) of up to 1", [(1, 1), (2, 2), (3, 3)]),
        (25001, 25000, "25,001 records in 2 batch(es) of up to 25,000", [(1, 25000), (25001,) * 2]),
    ],
)
def test_batch_plan_sizes_and_offsets(wire, caplog, rows, size, plan, ranges):
    wire()
    session = RecordingSession(rows)
    kwargs = {} if size == 25000 else {"batch_size": size}
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", **kwargs)
    assert session.queries[1:] == [f"{PAGE} LIMIT {size} OFFSET {a - 1}" for a, _ in ranges]
    assert f"📦 Will process {plan} records each" in messages(caplog)
    assert [m for m in messages(caplog) if m.startswith("📊 Batch range")] == [
        f"📊 Batch range: records {a:,} to {b:,}" for a, b in ranges
    ]
    assert (summary["successful_batches"], summary["records_processed"]) == (len(ranges), rows)


def test_offsets_beyond_32_bits_stay_exact(wire, caplog):
    wire()
    size = 2**31
    session = RecordingSession(2, count_rows=[(5_000_000_000,)])
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", size)
    assert [q.split(" LIMIT ")[1] for q in session.queries[1:]] == [
        f"{size} OFFSET {offset}" for offset in (0, size, 2 * size)
    ]
    assert "📊 Batch range: records 4,294,967,297 to 5,000,000,000" in messages(caplog)
    # Only the first page has rows; the other two come back empty and are skipped.
    assert messages(caplog).count("⚠️ No records in this batch, skipping...") == 2
    assert (summary["successful_batches"], summary["failed_batches"]) == (1, 0)


@pytest.mark.parametrize("count_rows", [None, []], ids=["zero", "no-row"])
def test_nothing_to_load_returns_none_before_the_url_is_read(wire, caplog, count_rows):
    w = wire()
    session = RecordingSession(0, count_rows=count_rows)
    assert vantro.upsert(session, {"access_token": "t"}, "Account", SOURCE, "Ext_Id__c") is None
    assert logged(caplog)[-2:] == [
        ("INFO", "📊 Total records to process: 0"),
        ("WARNING", "⚠️ No records found to process"),
    ]
    assert w.calls == []


@pytest.mark.parametrize("status", [200, 201, 302, 400, 401])
def test_creation_status_outcomes(wire, caplog, status):
    w = wire(statuses=[status])
    summary = vantro.upsert(RecordingSession(3), ACCESS, "Account", SOURCE, "Ext_Id__c", 2)
    errors = [m for level, m in logged(caplog) if level == "ERROR"]
    first, second = summary["batch_results"]
    assert second["success"] is True
    if status == 200:
        assert errors == []
        assert first["success"] is True
    elif status < 400:  # logged as a failure, then carried on as if it had succeeded
        body = '{"id": "750J1", "state": "Open"}'
        assert errors == [f"❌ Job creation failed with status {status}", f"❌ Response: {body}"]
        assert (first["success"], first["job_id"], summary["failed_batches"]) == (True, "750J1", 0)
    else:
        reason = f"Bulk API error {status} INVALID_SESSION_ID: bad"  # Salesforce's own words
        assert errors[2] == f"❌ Error processing batch 1: {reason}"
        assert list(first.items()) == [("batch_number", 1), ("job_id", None),
            ("records_processed", 2), ("success", False), ("error", reason)]  # fmt: skip
        assert (summary["failed_batches"], summary["records_processed"]) == (1, 3)
        assert [c[0] for c in w.calls].count("send_file") == 1


@pytest.mark.parametrize(
    ("states", "success"),
    [
        (["InProgress", "UploadComplete", "JobComplete"], True),
        (["", "jobcomplete", "Aborted"], False),
    ],
)
def test_polling_waits_ten_seconds_until_an_exact_terminal_state(wire, caplog, states, success):
    w = wire(states=[states])
    summary = vantro.upsert(RecordingSession(1), ACCESS, "Account", SOURCE, "Ext_Id__c")
    assert w.sleeps == [10] * (len(states) - 1)
    assert [m for m in messages(caplog) if m.startswith(("📊 Status", "⏳"))] == [
        line
        for i, state in enumerate(states, 1)
        for line in [f"📊 Status check #{i} - ID: 750J1, Status: {state}",
                     "⏳ Waiting 10 seconds before next status check..."][: 1 + (i < len(states))]
    ]  # fmt: skip
    assert summary["batch_results"][0]["success"] is success


# An upload that breaks off leaves the job Open: it is aborted. A close that breaks off may have
# reached the server: the job is aborted only if it still reads Open (here it reads JobComplete).
ABORTED = {"send_file": ["job_abort"], "job_close": ["job_status"], "job_status": []}


@pytest.mark.parametrize("failing", list(ABORTED))
@pytest.mark.parametrize("error", [ConnectionError("link down"), KeyboardInterrupt()])
def test_per_batch_handler_records_ordinary_errors_and_lets_interrupts_through(
    wire, caplog, failing, error
):
    w = wire()
    original, calls = getattr(w.ingest, failing), []

    def fail_first(*args):
        calls.append(args)
        if len(calls) == 1:
            raise error
        return original(*args)

    setattr(w.ingest, failing, fail_first)
    if isinstance(error, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            vantro.upsert(RecordingSession(2), ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
        assert [level for level, _ in logged(caplog)].count("ERROR") == 0
        assert [c[0] for c in w.calls if c[0] in ("job_abort", "job_status")] == ABORTED[failing]
        return
    summary = vantro.upsert(RecordingSession(2), ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
    assert summary["batch_results"][0] == {"batch_number": 1, "job_id": "750J1",
        "records_processed": 1, "success": False, "error": "link down"}  # fmt: skip
    aborted = ("WARNING", "⚠️ Job 750J1 was still open: aborted it")
    assert (aborted in logged(caplog)) is (failing == "send_file")
    assert [c[0] for c in w.calls].count("job_abort") == (failing == "send_file")
    assert {r.job_id for r in caplog.records if hasattr(r, "job_id")} == {"750J1", "750J2"}
    assert summary["batch_results"][1]["success"] is True
    assert ("ERROR", "❌ Error processing batch 1: link down") in logged(caplog)


@pytest.mark.parametrize(
    ("access", "source", "size", "error"),
    [
        (ACCESS, SOURCE, 0, ZeroDivisionError),
        (ACCESS, "SELECT * FROM no_such_table", 10, Exception),
        ({"instance_url": "http://sf.test"}, SOURCE, 10, KeyError),
        ({"access_token": "t"}, SOURCE, 10, KeyError),
        (ACCESS, SOURCE, -5, ValueError),
        (ACCESS, SOURCE, 2.5, TypeError),
    ],
)
def test_outer_handler_logs_three_lines_and_reraises(wire, caplog, access, source, size, error):
    w = wire()
    with pytest.raises(error) as raised:
        vantro.upsert(RecordingSession(3), access, "Account", source, "Ext_Id__c", size)
    assert logged(caplog)[-3:] == [
        ("ERROR", "❌ UPSERT FAILED"),
        ("ERROR", f"Error: {raised.value}"),
        ("ERROR", f"Error type: {type(raised.value).__name__}"),
    ]
    assert w.calls == []


def test_a_batch_size_that_cannot_be_grouped_fails_before_any_handler(wire, caplog):
    wire()
    with pytest.raises(ValueError, match="Cannot specify ','"):
        vantro.upsert(RecordingSession(3), ACCESS, "Account", SOURCE, "Ext_Id__c", "10")
    assert messages(caplog) == ["🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING"]


def test_a_batch_that_comes_back_empty_is_skipped_without_a_record(wire, caplog):
    wire()
    session = RecordingSession(2, after_count=lambda db: db.execute("DELETE FROM accounts"))
    summary = vantro.upsert(session, ACCESS, "Account", SOURCE, "Ext_Id__c", 1)
    assert summary == {"total_records": 2, "records_processed": 0, "total_batches": 2,
        "successful_batches": 0, "failed_batches": 0, "batch_results": []}  # fmt: skip
    assert messages(caplog).count("⚠️ No records in this batch, skipping...") == 2


class AnsweredOnce(dict):
    """Access info that answers each key once, as the module promises to read it."""

    __getitem__ = dict.pop


@pytest.mark.parametrize(
    ("operation", "extra"),
    [("upsert", ("Ext_Id__c", 1)), ("insert", ()), ("update", ()), ("delete", ("never read",))],
)
def test_each_access_key_is_read_once_per_call(wire, operation, extra):
    w = wire()
    access = AnsweredOnce(ACCESS)
    getattr(vantro, operation)(RecordingSession(2), access, "Account", SOURCE, *extra)
    assert (w.jobs, access) == (2 if operation == "upsert" else 1, {})


def test_job_document_sends_text_forms_escaped_to_ascii(wire):
    w = wire()
    access = {"access_token": 12, "instance_url": "http://sf.test/"}
    vantro.upsert(RecordingSession(1), access, 5, SOURCE, "Clé_\U0001f680__c")
    (_, url, headers, data), *_ = w.calls
    assert url == "http://sf.test//services/data/v62.0/jobs/ingest"
    assert headers[0] == ("Authorization", "Bearer 12")
    assert data == (
        '{"object": "5", "operation": "upsert", '
        '"externalIdFieldName": "Cl\\u00e9_\\ud83d\\ude80__c", "lineEnding": "CRLF"}'
    )


# ---------------------------------------------------------------------------------------------
# Records handed to the CSV writer

VALUES = {"Id": "1", "Name": None, "Zero": 0, "No": False, "Empty": "", "Amount": 1.5}
CLEANED = {**VALUES, "Name": ""}


@pytest.mark.parametrize("kind", ["fresh dict", "kept dict", "mapping"])
@pytest.mark.parametrize("operation", ["upsert", "update", "delete"])
def test_none_becomes_empty_text_and_the_row_is_left_alone(wire, operation, kind):
    w = wire()
    kept = dict(VALUES)
    as_dict = {"fresh dict": lambda: dict(VALUES), "kept dict": lambda: kept,
               "mapping": lambda: MappingProxyType(kept)}[kind]  # fmt: skip
    kept_rows = [SimpleNamespace(asDict=as_dict)]
    collect = (lambda: kept_rows) if kind == "kept dict" else (lambda: list(kept_rows))
    result = SimpleNamespace(collect=collect)
    session = SimpleNamespace(
        sql=lambda text: SimpleNamespace(collect=lambda: [(1,)]) if "COUNT" in text else result
    )
    extra = {"upsert": ("Ext__c",), "update": (), "delete": (None,)}[operation]
    getattr(vantro, operation)(session, ACCESS, "Account", SOURCE, *extra)
    assert w.records == [[CLEANED]]
    assert type(w.records[0][0]) is dict
    assert list(w.records[0][0]) == list(VALUES)
    assert kept == VALUES
    assert kept_rows[0].asDict is as_dict


def test_insert_hands_get_records_output_over_untouched(wire, monkeypatch):
    w = wire()
    records, seen = [dict(VALUES)], []
    monkeypatch.setattr(vantro.q, "get_records", lambda s, q: seen.append((s, q)) or records)
    vantro.insert("session", ACCESS, "Account", SOURCE)
    assert seen == [("session", SOURCE)]
    assert w.records == [records]
    assert records[0]["Name"] is None


# ---------------------------------------------------------------------------------------------
# insert, update, delete

DOCUMENTS = {
    "insert": '{"object": "Account", "contentType": "CSV", "operation": "insert", ',
    "update": '{"object": "Account", "operation": "update", ',
    "delete": '{"object": "Account", "contentType": "CSV", "operation": "delete", ',
}
EXTRA = {"insert": (), "update": (), "delete": ("never read",)}


@pytest.mark.parametrize("operation", list(DOCUMENTS))
def test_single_job_exact_lines_document_and_result(wire, caplog, operation):
    w = wire(states=[["InProgress", "JobComplete"]])
    session = RecordingSession(3)
    result = getattr(vantro, operation)(session, ACCESS, "Account", SOURCE, *EXTRA[operation])
    assert result == {"id": "750J1", "state": "Open"}
    if operation != "insert":
        assert session.queries == [SOURCE]
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
        ("INFO", f"✅ {operation.capitalize()} completed successfully!"),
    ]
    if operation == "delete":
        expected.insert(4, ("DEBUG", "JOB: {'id': '750J1', 'state': 'Open'}"))
    assert logged(caplog) == expected
    about_the_job = [getattr(r, "job_id", None) for r in caplog.records][4:]
    assert about_the_job == ["750J1"] * (len(expected) - 4)
    assert w.calls == [
        ("post", URL, HEADERS, DOCUMENTS[operation] + '"lineEnding": "CRLF"}'),
        ("send_file", ACCESS, "750J1", 3000),
        ("job_close", ACCESS, "750J1"),
        ("job_status", ACCESS, "750J1"),
        ("job_status", ACCESS, "750J1"),
    ]
    assert w.sleeps == [10]


@pytest.mark.parametrize("operation", list(DOCUMENTS))
@pytest.mark.parametrize("state", ["Failed", "Aborted"])
def test_single_job_failure_raises_after_two_error_lines(wire, caplog, operation, state):
    wire(states=[["Open", state]])
    with pytest.raises(
        vantro.JobFailed, match=f"^Salesforce {operation} job failed: {state}$"
    ) as e:
        getattr(vantro, operation)(RecordingSession(1), ACCESS, "Ac", SOURCE, *EXTRA[operation])
    assert (e.value.job_id, e.value.state, e.value.job_info) == (
        "750J1", state, {"id": "750J1", "state": state})  # fmt: skip
    assert isinstance(e.value, RuntimeError)
    assert logged(caplog)[-2:] == [
        ("ERROR", f"❌ {operation.capitalize()} job failed with status: {state}"),
        ("ERROR", f"❌ Job details: {{'id': '750J1', 'state': '{state}'}}"),
    ]


@pytest.mark.parametrize("operation", list(DOCUMENTS))
def test_single_job_errors_reach_the_caller_before_any_upload(wire, caplog, operation):
    w = wire(statuses=[401])
    call = getattr(vantro, operation)
    with pytest.raises(KeyError):
        call(RecordingSession(1), {"instance_url": "x"}, "Ac", SOURCE, *EXTRA[operation])
    assert logged(caplog) == []
    with pytest.raises(ingest_bapi20.BulkApiError, match="^Bulk API error 401 INVALID_SESSION_ID"):
        call(RecordingSession(1), ACCESS, "Account", SOURCE, *EXTRA[operation])
    assert [c[0] for c in w.calls] == ["post"]
    assert "✅ Job created: " not in "".join(messages(caplog))


def test_single_job_on_no_rows_still_runs_a_job_and_groups_large_counts(wire, caplog, monkeypatch):
    w = wire()
    vantro.update(RecordingSession(0), ACCESS, "Account", SOURCE)
    assert "📊 Records to update: 0" in messages(caplog)
    assert w.records == [[]]
    assert w.calls[1] == ("send_file", ACCESS, "750J1", 0)
    monkeypatch.setattr(vantro.q, "get_records", lambda s, q: range(1_234_567))
    monkeypatch.setattr(w.csv, "json_to_csv", lambda records: "")
    vantro.insert(None, ACCESS, "Account", SOURCE)
    assert "📊 Records to insert: 1,234,567" in messages(caplog)
