"""The org's daily Bulk API batches against what a load needs: one for every chunk of 10,000
records of each job, over a rolling 24 hours. A load that needs more than are left stops before its
first job, since past them the org leaves the rest of a job unprocessed."""

from __future__ import annotations

import logging
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from kavrel.load.orgschema import Refused
from kavrel.load.summary import counted
from kavrel.salesforce.records.predict import CHUNK_SIZE

logger = logging.getLogger("kavrel.load")


class AllocationExceeded(Refused):
    """A load that needs more of the org's daily Bulk API batches than are left."""

    def __init__(self, needed: int, remaining: int, maximum: int) -> None:
        super().__init__(
            f"the load needs {counted(needed, 'batch')} of the org's daily Bulk API allocation "
            f"(one for every {CHUNK_SIZE:,} records of a job) and {remaining:,} of its "
            f"{maximum:,} are left (DailyBulkApiBatches, over a rolling 24 hours); past them the "
            "org leaves the rest of a job unprocessed. No job was created: load fewer rows, wait "
            "for the allocation to recover, or send it anyway with --ignore-limits"
        )
        self.needed = needed
        self.remaining = remaining
        self.maximum = maximum


def batches_needed(total: int | None, job_rows: int | None) -> int | None:
    """The daily Bulk API batches a load of `total` rows in jobs of `job_rows` uses (None: not
    known): one for every CHUNK_SIZE records of each job."""
    if total is None:
        return None

    def of(rows: int) -> int:
        return -(-rows // CHUNK_SIZE)

    if not job_rows or job_rows >= total:
        return of(total)
    jobs, rest = divmod(total, job_rows)
    return jobs * of(job_rows) + of(rest)


@dataclass
class Allocation:
    maximum: int
    remaining: int


def daily_batches(read_limits: Callable[[Any], Any], access_info: Any) -> Allocation | None:
    """The org's daily Bulk API batches, as its limits give them (None when they do not)."""
    document = read_limits(access_info)
    # Older API versions name them DailyBulkApiRequests.
    entry = document.get("DailyBulkApiBatches") or document.get("DailyBulkApiRequests")
    if not isinstance(entry, dict):
        return None
    maximum, remaining = entry.get("Max"), entry.get("Remaining")
    if not isinstance(maximum, int) or not isinstance(remaining, int):
        return None
    return Allocation(maximum, remaining)


def limits_reader(client: Any) -> Any:
    """How to read the org's limits through `client`, as `read(access_info)`: a client object's
    `org_limits()` (kavrel.salesforce.bulk_client), or a module-shaped client's
    `org_limits(access_info)`; None when it has none."""
    read = getattr(client, "org_limits", None)
    if read is None or not hasattr(client, "session"):
        return read
    return lambda _access_info: read()


def check_allocation(
    client: Any, access_info: Any, total: int | None, job_rows: int | None
) -> None:
    """Raises AllocationExceeded when the load needs more batches than the org has left. A
    client without `org_limits`, or limits that cannot be read, check nothing."""
    needed = batches_needed(total, job_rows)
    read_limits = limits_reader(client)
    if needed is None or read_limits is None:
        return
    try:
        allocation = daily_batches(read_limits, access_info)
    except Exception as error:  # the allocation is advice: the load itself may still succeed
        logger.warning(
            "⚠️ Could not read the org's limits (%s); the daily Bulk API batches were not checked",
            error,
        )
        return
    if allocation is not None and needed > allocation.remaining:
        raise AllocationExceeded(needed, allocation.remaining, allocation.maximum)
