"""What the org confirmed, into a sync's state: the successful results of a load's jobs.

A record counts as synced only when its job's results report it successful (`sf__Id`, with the
key as it was sent); failed and unprocessed records, and the rows of jobs that never finished,
are left out, so the next run sends them again. A mirror's delete jobs take the records they
deleted out of the state (and those the org says were deleted already). Each job is folded in
once (`folded`), so that a load read twice, or settled and then finished, counts nothing twice.
"""

from __future__ import annotations

import csv
import io
import logging
from pathlib import Path
from typing import Any

from kavrel.load.journal import BatchRecord, LoadRecord
from kavrel.salesforce.ingest_bapi20 import FINISHED_STATES, PROCESSING_STATES

logger = logging.getLogger("kavrel.load")

# Pauses, in seconds, while a job an earlier run left processing is waited for.
SETTLE_DELAYS = (1.0, 2.0, 4.0, 8.0, 10.0)
# A record a delete job could not delete because the org holds it no more.
GONE_ALREADY = "ENTITY_IS_DELETED"


def successes(text: str, key: str) -> list[tuple[str, str]]:
    """(key, Salesforce Id) of each record of a successful-results file."""
    rows = csv.reader(io.StringIO(text, newline=""))
    header = next(rows, None)
    if not header:
        return []
    lowered = [name.lower() for name in header]
    if "sf__id" not in lowered or key.lower() not in lowered:
        raise ValueError(f"the successful results have no sf__Id or {key} column")
    at_id, at_key = lowered.index("sf__id"), lowered.index(key.lower())
    return [(row[at_key], row[at_id]) for row in rows if row]


def already_gone(text: str) -> list[str]:
    """The Ids a delete job's failed results say the org holds no more."""
    rows = csv.reader(io.StringIO(text, newline=""))
    header = [name.lower() for name in next(rows, None) or []]
    if "sf__error" not in header or "id" not in header:
        return []
    at_error, at_id = header.index("sf__error"), header.index("id")
    return [row[at_id] for row in rows if row and row[at_error].startswith(GONE_ALREADY)]


def fold(record: LoadRecord, sync: Any, client: Any, stop: Any = None, settle: bool = False) -> int:
    """Puts into the sync's state what each finished job of `record` reports; returns the records
    folded in. `settle`: jobs the journal does not know to be finished are asked after (an Open
    one aborted, one processing waited for), for a run that no one will resume."""
    folded = 0
    for batch in sorted(record.batches.values(), key=lambda b: b.number):
        if batch.job_id is None or batch.withdrawn or sync.file.folded(batch.job_id):
            continue
        state = batch.state
        if state not in FINISHED_STATES:
            if not settle:
                continue
            state = settled_state(client, batch.job_id, stop)
        elif (
            sync.role == "rows" and batch.processed is not None and batch.processed == batch.failed
        ):
            continue  # nothing succeeded (a delete's failures may still say a record is gone)
        if state in FINISHED_STATES:
            folded += _fold_job(batch, sync, client)
    return folded


def _fold_job(batch: BatchRecord, sync: Any, client: Any) -> int:
    job_id = str(batch.job_id)
    text = _results(client, batch, "success", "successful_results")
    if sync.role == "mirror":
        gone = [sf_id for _, sf_id in successes(text, "Id")]
        if batch.failed != 0:  # some, or a count no one read
            gone += already_gone(_results(client, batch, "failed", "failed_results"))
        sync.records.remove(job_id, gone)
        return len(gone)
    rows = sync.file.confirmed_rows(successes(text, sync.key))
    sync.records.confirm(job_id, rows)
    return len(rows)


def _results(client: Any, batch: BatchRecord, kind: str, fetch: str) -> str:
    try:
        return str(getattr(client, fetch)(batch.job_id))
    except Exception:
        saved = batch.files.get(kind)
        if saved and Path(saved).is_file():  # the org keeps results 7 days; the file, longer
            return Path(saved).read_text(encoding="utf-8")
        raise


def settled_state(client: Any, job_id: str, stop: Any) -> str:
    """The job's final state: one still processing waited for; an Open one, which will never be
    processed, aborted ("withdrawn")."""
    checks = 0
    while True:
        state = str(client.job_status(job_id).get("state"))
        if state == "Open":
            client.job_abort(job_id)
            return "withdrawn"  # it held nothing the org will process
        if state not in PROCESSING_STATES:
            return state
        if checks == 0:
            logger.info("⏳ Job %s of the sync's earlier run is %s; waiting for it", job_id, state)
        delay = SETTLE_DELAYS[min(checks, len(SETTLE_DELAYS) - 1)]
        checks += 1
        if stop is not None:
            if stop.wait(delay) or stop.is_set():
                raise stop.interrupt()
        else:
            import time

            time.sleep(delay)
