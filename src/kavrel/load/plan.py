"""The seam between a load and its compiled runner (`kavrel.salesforce.vantro.run_load`): the plan
the runner is given, by keyword, and the shapes of what it hands back. The runner reads the
plan's attributes by these names, and its stub (`vantro.pyi`) names these types, so both sides
check one description.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, TypedDict

# Seconds between a job's status checks: the first at once after its close, then longer pauses
# while it runs, the last one repeating.
POLL_DELAYS = (1.0, 2.0, 4.0, 8.0, 10.0)
# Seconds before each new try of a job's creation that failed and left no job on the org (a 5xx,
# a 429, a dropped connection): three more tries, over about 20 seconds.
CREATION_RETRY_DELAYS = (1.0, 4.0, 16.0)


class Events(Protocol):
    """What the runner tells of its work (kavrel.load.events.LoadEvents words and keeps it)."""

    def record(self, event: str, details: Mapping[str, Any]) -> None: ...


class RunningJob(TypedDict):
    """A job of an earlier run of the load, still processing, for the runner to follow."""

    batch: int
    rows: int
    job_id: str
    state: str


class Outcome(TypedDict):
    """One job, or one batch that broke off before its job existed, as the runner ends it."""

    batch: int
    job_id: str | None
    rows: int
    state: str
    processed: int | None
    failed: int | None
    error: str | None
    error_message: str | None


class RunResult(TypedDict):
    """What `run_load` returns: each batch's outcome in batch order, the rows read, whether the
    read reached the end, and why the load created no further job (the runner's stop, which
    kavrel.load.events words), or None."""

    jobs: list[Outcome]
    rows_read: int
    read_complete: bool
    stopped: dict[str, Any] | None


@dataclass(kw_only=True)
class LoadPlan:
    """What the load runner is told: the org's client; the job document's settings; the header
    sent and the text of a NULL per column; the batches and how many jobs may be in flight; how
    long to wait and when to check the jobs; whom to tell what happens; and, when the load is
    resumed, the batches an earlier run took care of ({number: digest}) and its jobs still
    running. `lost_jobs` looks up the job a lost creation answer may have made (see
    kavrel.load.lost); `creation_retry_delays` are the pauses before each new try of a creation
    that left no job behind."""

    client: Any  # kavrel.salesforce.bulk_client.BulkApiClient, or a ModuleClient
    operation: str
    sobject: str
    external_id: str | None = None
    header: list[str]
    nulls: list[str | None] | None = None
    batch_size: int | None
    parallel: int = 1
    wait: float | None = None
    poll_delays: Sequence[float] = POLL_DELAYS
    total_rows: int | None = None
    first_batch: int = 1
    events: Events | None = None
    skip: Mapping[int, str] | None = None
    running: list[RunningJob] | None = None
    lost_jobs: Callable[..., list[dict[str, Any]]] | None = None
    creation_retry_delays: Sequence[float] = CREATION_RETRY_DELAYS

    @property
    def access_info(self) -> Any:
        """The org's access info, as the client's session holds it (renewed in place)."""
        return self.client.access_info

    @property
    def journal(self) -> Any:
        return getattr(self.events, "journal", None)
