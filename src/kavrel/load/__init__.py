"""Loading a query's rows into Salesforce from Python, as the `kavrel` command does.

    from kavrel.load import load

    summary = load(session, "SELECT ...", access_info, "Account", "upsert",
                   external_id="Ext__c", batch_size=10_000, parallel=4, results_dir="results")
    print(summary)              # one row per job, Salesforce's reasons, the totals
    summary.exit_status         # 0 only when every row of the query is known to have succeeded

The query runs once, and its rows go to Salesforce in batches as they stream in, each batch one
Bulk API 2.0 ingest job, up to `parallel` of them in flight. Every load keeps a journal, so that
one that stopped can be finished from the same rows (`resume`), its failed records sent again
(`retry`), and the loads that ran looked back on (`history`).
"""

from kavrel.load.columns import CLEAR_VALUE, ColumnsUnsuitable
from kavrel.load.core import (
    DEFAULT_BATCH_SIZE,
    OPERATIONS,
    LoadPlan,
    Preview,
    Stop,
    Terminated,
    load,
    partial_summary,
    preview,
)
from kavrel.load.journal import LoadRecord, UnknownLoad, history
from kavrel.load.resume import ResumeRefused, RetryRefused, resume, retry
from kavrel.load.summary import JobOutcome, LoadSummary

__all__ = [
    "CLEAR_VALUE",
    "DEFAULT_BATCH_SIZE",
    "OPERATIONS",
    "ColumnsUnsuitable",
    "JobOutcome",
    "LoadPlan",
    "LoadRecord",
    "LoadSummary",
    "Preview",
    "ResumeRefused",
    "RetryRefused",
    "Stop",
    "Terminated",
    "UnknownLoad",
    "history",
    "load",
    "partial_summary",
    "preview",
    "resume",
    "retry",
]
