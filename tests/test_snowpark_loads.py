"""Loads from a real Snowpark session: the Snowflake connector logged in with a real key pair to a
local Snowflake stand-in (fakesnow's server over DuckDB), into the local Bulk API server."""

from __future__ import annotations

import atexit
import json
import logging
import random
import re
import warnings
from pathlib import Path

import pytest

fakesnow = pytest.importorskip("fakesnow")
pytest.importorskip("snowflake.snowpark")

from kavrel.cli.main import main  # noqa: E402
from kavrel.load import load  # noqa: E402
from kavrel.load.sync import Sync  # noqa: E402
from kavrel.salesforce import vantro  # noqa: E402
from kavrel.sflake import snowpark  # noqa: E402
from kavrel.user.connections import manager  # noqa: E402

PASSPHRASE = "correct horse"
# (column type, SQL value, the text Salesforce receives); fakesnow gives every zoned timestamp in
# UTC, where Snowflake keeps the value's own offset.
TYPES = [
    ("NUMBER", "42", "42"),
    ("NUMBER(18,2)", "12.3", "12.30"),
    ("FLOAT", "1.5", "1.5"),
    ("VARCHAR", "'a,\"b\"' || CHR(10) || 'é'", 'a,"b"\né'),
    ("BOOLEAN", "TRUE", "true"),
    ("DATE", "'2024-02-29'", "2024-02-29"),
    ("TIME", "'13:14:15.123'", "13:14:15.123Z"),
    ("TIMESTAMP_NTZ", "'2024-01-02 03:04:05.678'", "2024-01-02T03:04:05.678Z"),
    ("TIMESTAMP_LTZ", "'2024-01-02 03:04:05'", "2024-01-02T03:04:05.000+00:00"),
    ("TIMESTAMP_TZ", "'2024-01-02 03:04:05'", "2024-01-02T03:04:05.000+00:00"),
    ("VARIANT", "PARSE_JSON('\"text\"')", '"text"'),
    ("OBJECT", "PARSE_JSON('{\"k\": 1}')", '{"k":1}'),
    ("ARRAY", "PARSE_JSON('[1, 2]')", "[1,2]"),
    ("BINARY", "TO_BINARY('414243', 'HEX')", "QUJD"),
]


@pytest.fixture(scope="session")
def snowflake_options() -> dict:
    """Connector settings for a fakesnow server started once for the run and stopped at exit: the
    connector logs its sessions out from exit handlers, which run before this earlier one."""
    # Session.close() cancels the session's queries with a function fakesnow does not have.
    server = fakesnow.server(session_parameters={"nop_regexes": [r".*SYSTEM\$CANCEL_ALL_QUERIES"]})
    options = server.__enter__()
    atexit.register(server.__exit__, None, None, None)
    # Set once the server has configured its own loggers.
    for name in ("uvicorn", "uvicorn.access", "uvicorn.error", "fakesnow.server", "snowflake"):
        logging.getLogger(name).setLevel(logging.WARNING)
    # Its 1 s network timeout would make the connector cancel any longer statement.
    for key in ("network_timeout", "user", "password", "account"):
        del options[key]
    return options


@pytest.fixture(autouse=True)
def quiet_exit():
    """Snowpark closes each session again from an exit handler, which queries fakesnow once more
    when pytest's warning filters are gone; this handler, registered after those, runs first."""
    yield
    atexit.register(warnings.filterwarnings, "ignore", "Arrow output on a DB-API result")


@pytest.fixture(scope="session")
def key_file(tmp_path_factory) -> Path:
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    path = tmp_path_factory.mktemp("keys") / "rsa_key.p8"
    encryption = serialization.BestAvailableEncryption(PASSPHRASE.encode())
    pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption
    )
    path.write_bytes(pem)
    return path


def profile(key_file: Path, passphrase: str = PASSPHRASE) -> dict:
    return {"account": "fakesnow", "user": "LOADER", "private_key_file": str(key_file),
            "private_key_passphrase": passphrase, "role": None, "warehouse": "",
            "database": "KAVREL", "schema": "TESTS"}  # fmt: skip


@pytest.fixture(scope="session")
def session(snowflake_options, key_file):
    session = snowpark.create_session(profile(key_file), snowflake_options)
    for sql in ("CREATE DATABASE IF NOT EXISTS KAVREL", "CREATE SCHEMA IF NOT EXISTS KAVREL.TESTS",
                "USE SCHEMA KAVREL.TESTS"):  # fmt: skip
        session.sql(sql).collect()
    yield session
    session.close()


def make_table(session, name: str, columns: str, rows: list[str]) -> None:
    session.sql(f"CREATE OR REPLACE TABLE {name} ({columns})").collect()
    for row in rows:
        session.sql(f"INSERT INTO {name} SELECT {row}").collect()


class OrderByPosition:
    """fakesnow turns ORDER BY ALL into ORDER BY "ALL", which its DuckDB refuses; this session
    orders by every column's position instead, which is what ORDER BY ALL means."""

    def __init__(self, session) -> None:
        self._session = session

    def sql(self, text: str):
        head, *tail = re.split(r"\s+ORDER\s+BY\s+ALL\b", text, maxsplit=1, flags=re.IGNORECASE)
        if tail:
            positions = range(1, len(self._session.sql(head).columns) + 1)
            text = f"{head} ORDER BY {', '.join(map(str, positions))}{tail[0]}"
        return self._session.sql(text)


def test_upsert_sends_every_row_once_over_batches(session, bulk_server) -> None:
    accounts = [(f"A-{n}", f"Account {n}") for n in range(7)]
    random.shuffle(accounts)  # the query has no order of its own; the load must not need one
    make_table(
        session, "ACCOUNTS", "EXT VARCHAR, NAME VARCHAR", [f"'{e}', '{n}'" for e, n in accounts]
    )
    query = 'SELECT EXT AS "Ext__c", NAME AS "Name" FROM ACCOUNTS'
    summary = vantro.upsert(
        OrderByPosition(session), bulk_server.access_info, "Account", query, "Ext__c", 3
    )
    assert [batch["records_processed"] for batch in summary["batch_results"]] == [3, 3, 1]
    stored = [(row["Ext__c"], row["Name"]) for row in bulk_server.rows("Account")]
    assert sorted(stored) == sorted(accounts)


@pytest.fixture(scope="module", params=["collect", "cursor"])
def loaded_types(session, request) -> list[dict]:
    """Two rows of every type inserted through a real session, values then NULLs: by the module's
    own insert (rows collected by Snowpark) and by a load (rows read by the connector's cursor)."""
    from kavrel import load
    from kavrel.salesforce.emulator import BulkApiEmulator

    columns = ", ".join(f"C{i} {kind}" for i, (kind, _, _) in enumerate(TYPES))
    values = ", ".join(value for _, value, _ in TYPES)
    make_table(session, "TYPED", f"K INT, {columns}", [f"1, {values}", "2" + ", NULL" * len(TYPES)])
    query = "SELECT * FROM TYPED ORDER BY K"
    with BulkApiEmulator() as server:
        if request.param == "collect":
            vantro.insert(session, server.access_info, "Typed__c", query)
        else:
            summary = load.load(session, query, server.access_info, "Typed__c", "insert")
            assert summary.exit_status == 0, summary
        return server.rows("Typed__c")


@pytest.mark.parametrize(
    ("position", "kind", "sent"), [(i, t[0], t[2]) for i, t in enumerate(TYPES)]
)
def test_each_type_is_sent_as_documented(loaded_types, position: int, kind: str, sent: str) -> None:
    value, null = loaded_types[0][f"C{position}"], loaded_types[1][f"C{position}"]
    assert str(value) == sent
    # fakesnow answers NULL timestamps as 1970-01-01; Snowflake sends them as NULL.
    assert null is None or kind.startswith("TIMESTAMP")


def test_update_then_delete_by_id(session, bulk_server) -> None:
    org = bulk_server.access_info
    vantro.insert(session, org, "Account", "SELECT 'Acme' AS \"Name\" UNION ALL SELECT 'Globex'")
    ids = {row["Name"]: row["Id"] for row in bulk_server.rows("Account")}
    make_table(
        session,
        "CHANGES",
        "ID VARCHAR, NAME VARCHAR",
        [f"'{i}', '{n} Ltd'" for n, i in ids.items()],
    )
    vantro.update(session, org, "Account", 'SELECT ID AS "Id", NAME AS "Name" FROM CHANGES')
    acme = f"SELECT ID AS \"Id\" FROM CHANGES WHERE ID = '{ids['Acme']}'"
    vantro.delete(session, org, "Account", acme, None)
    stored = [(row["Id"], row["Name"]) for row in bulk_server.rows("Account")]
    assert stored == [(ids["Globex"], "Globex Ltd")]


@pytest.mark.parametrize(
    ("passphrase", "extra", "code", "said", "field"),
    [
        (PASSPHRASE, ["--fields", "Name"], 0, "connecting to Snowflake account fakesnow as LOADER",
         "Name"),
        (PASSPHRASE, [], 0, "⚠️ Column name(s) NAME are all upper case", "NAME"),
        ("wrong", [], 1, "Error: the profile's passphrase does not open the private key file",
         None),
        (PASSPHRASE, ["--snowflake-option", "port=9", "--snowflake-option", "login_timeout=1"], 1,
         "Error: cannot log in to Snowflake account fakesnow as LOADER: the login timeout of 1 s "
         "ran out",
         None),
    ],
)  # fmt: skip
def test_insert_command_over_a_key_pair_profile(
    passphrase, extra, code, said, field, session, snowflake_options, key_file, home, bulk_server,
    capsys,
) -> None:  # fmt: skip
    make_table(session, "PEOPLE", "NAME VARCHAR", ["'Ada'", "'Grace'"])
    manager.save_connection_config("wh", profile(key_file, passphrase), copy_key=False)
    crm = {"client_id": "id", "client_key": "key", "my_domain": "acme"}
    manager.save_connection_config("crm", crm, "salesforce")
    capsys.readouterr()
    # In this process, where Snowpark is already imported: a new one would spend seconds on that.
    done = main(["insert", "--sobject", "Contact", "--query", "SELECT NAME FROM PEOPLE",
                 "--snowflake", "wh", "--salesforce", "crm", "--login-url", bulk_server.base_url,
                 *option_args(snowflake_options), *extra])  # fmt: skip
    stderr = capsys.readouterr().err
    assert done == code, stderr
    # A refused login is one line, the last.
    assert stderr.splitlines()[-1].startswith(said) if code else said in stderr
    loaded = [row.get(field) for row in bulk_server.rows("Contact")]
    assert loaded == (["Ada", "Grace"] if field else [])


def option_args(options: dict) -> list[str]:
    """The connector settings as --snowflake-option arguments."""
    texts = [f"{key}={json.dumps(value) if isinstance(value, dict) else value}"
             for key, value in options.items()]  # fmt: skip
    return [arg for text in texts for arg in ("--snowflake-option", text)]


@pytest.mark.parametrize(
    ("extra", "code", "last"),
    [
        ([], 0, "✓ Connection 'wh' works: opened a Snowflake session for account fakesnow."),
        (["--snowflake-option", "port=9", "--snowflake-option", "login_timeout=1"], 1,
         "Error: connection 'wh' failed: cannot log in to Snowflake account fakesnow as LOADER: "
         "the login timeout of 1 s ran out"),
    ],
)  # fmt: skip
def test_connection_test_of_a_snowflake_profile(
    extra, code, last, session, snowflake_options, key_file, home, capsys
) -> None:
    manager.save_connection_config("wh", profile(key_file), copy_key=False)
    capsys.readouterr()
    done = main(["connection", "test", "wh", *option_args(snowflake_options), *extra])
    out, err = capsys.readouterr()
    assert done == code, err
    assert err.splitlines()[0] == "connecting to Snowflake account fakesnow as LOADER"
    assert (err if code else out).splitlines()[-1].startswith(last)


class StopAtFirstJob(logging.Handler):
    """Asks the load to stop once its first job exists: it then stops before the next one."""

    def __init__(self, stop) -> None:
        super().__init__()
        self.stop = stop

    def emit(self, record: logging.LogRecord) -> None:
        if getattr(record, "job_event", None) == "created":
            self.stop.request()


def test_a_stopped_load_resumes_from_its_own_result_after_the_table_changed(
    session, snowflake_options, key_file, bulk_server, home
) -> None:
    from kavrel import load

    make_table(session, "RESUMED", "EXT VARCHAR, NAME VARCHAR",
               [f"'E{n}', 'N{n}'" for n in range(5)])  # fmt: skip
    stop, handler = load.Stop(), None
    handler = StopAtFirstJob(stop)
    logging.getLogger("kavrel").addHandler(handler)
    query = 'SELECT EXT AS "Ext__c", NAME AS "Name" FROM RESUMED'
    try:
        with pytest.raises(KeyboardInterrupt) as stopped:
            load.load(session, query, bulk_server.access_info, "Account", "insert",
                      batch_size=2, stop=stop)  # fmt: skip
    finally:
        logging.getLogger("kavrel").removeHandler(handler)
    partial = load.partial_summary(stopped.value)
    assert partial.totals()["not_sent"] == 3
    session.sql("UPDATE RESUMED SET NAME = 'changed'").collect()
    session.sql("INSERT INTO RESUMED VALUES ('E9', 'N9')").collect()
    later = snowpark.create_session(profile(key_file), snowflake_options)  # as another run would
    try:
        summary = load.resume(partial.load_id, bulk_server.access_info, source=later)
    finally:
        later.close()
    assert summary.exit_status == 0, summary
    stored = sorted((row["Ext__c"], row["Name"]) for row in bulk_server.rows("Account"))
    assert stored == [(f"E{n}", f"N{n}") for n in range(5)]


# --- a sync whose state lives in a warehouse table (--state-table) ---------------------------

SYNC_TABLE = "KAVREL.TESTS.SYNC_STATE"
SYNC_QUERY = 'SELECT EXT AS "Ext__c", NAME AS "Name" FROM SYNCED'


def fill(snowpark, rows: dict[str, str]) -> None:
    snowpark.sql("CREATE OR REPLACE TABLE SYNCED (EXT VARCHAR, NAME VARCHAR)").collect()
    values = ", ".join(f"('{k}', '{v}')" for k, v in rows.items())
    snowpark.sql(f"INSERT INTO SYNCED VALUES {values}").collect()


def test_the_warehouse_compares_and_keeps_the_state(session, home):
    rows = {f"E{i}": f"N{i}" for i in range(12)}
    fill(session, rows)
    from kavrel.salesforce.emulator import BulkApiEmulator

    sync = Sync("warehouse", mirror=True, state_table=SYNC_TABLE)
    with BulkApiEmulator() as server:

        def run():
            summary = load(session, SYNC_QUERY, server.access_info, "Account", "upsert",
                           external_id="Ext__c", batch_size=5, sync=sync)  # fmt: skip
            found = summary.sync.as_dict()
            return tuple(found[k] for k in ("read", "unchanged", "new", "changed", "deleted"))

        assert run() == (12, 0, 12, 0, 0)
        rows.update({"E1": "changed", "E20": "new"})
        del rows["E2"]
        fill(session, rows)
        assert run() == (12, 10, 1, 1, 1)
        assert {r["Ext__c"]: r["Name"] for r in server.rows("Account")} == rows
        assert run() == (12, 12, 0, 0, 0)
        state = session.sql(f"SELECT KEY, SF_ID FROM {SYNC_TABLE}").collect()
        held = {r["Ext__c"]: r["Id"] for r in server.rows("Account")}
        assert {row[0]: row[1] for row in state} == held
