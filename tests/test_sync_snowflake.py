"""A sync whose state lives in a Snowflake table (--state-table): the comparison runs in the
warehouse (fakesnow here), the state table ends equal to what the org holds."""

from __future__ import annotations

import pytest

pytest.importorskip("fakesnow")

# The fakesnow server and its Snowpark session, started once for the run.
from test_snowpark_loads import (  # noqa: E402, F401
    key_file,
    quiet_exit,
    session,
    snowflake_options,
)

from kavrel.load import load  # noqa: E402
from kavrel.load.sync import Sync  # noqa: E402
from kavrel.salesforce.emulator import BulkApiEmulator  # noqa: E402

TABLE = "KAVREL.TESTS.SYNC_STATE"
QUERY = 'SELECT EXT AS "Ext__c", NAME AS "Name" FROM SYNCED'


def fill(snowpark, rows: dict[str, str]) -> None:
    snowpark.sql("CREATE OR REPLACE TABLE SYNCED (EXT VARCHAR, NAME VARCHAR)").collect()
    values = ", ".join(f"('{k}', '{v}')" for k, v in rows.items())
    snowpark.sql(f"INSERT INTO SYNCED VALUES {values}").collect()


def test_the_warehouse_compares_and_keeps_the_state(session, home):  # noqa: F811
    rows = {f"E{i}": f"N{i}" for i in range(12)}
    fill(session, rows)
    sync = Sync("warehouse", mirror=True, state_table=TABLE)
    with BulkApiEmulator() as server:

        def run():
            summary = load(session, QUERY, server.access_info, "Account", "upsert",
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
        state = session.sql(f"SELECT KEY, SF_ID FROM {TABLE}").collect()
        held = {r["Ext__c"]: r["Id"] for r in server.rows("Account")}
        assert {row[0]: row[1] for row in state} == held
