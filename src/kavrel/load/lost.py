"""Finding the job a creation made when its answer never came back.

Salesforce may have created the job and lost only its answer (a reset connection, a gateway's
5xx, a read that timed out while the org was still at it, a stop while the request was out). Such
a job is Open, holds no data and is named nowhere. The org's Open jobs of this user, object and
operation created since the request are the candidates; this load's own jobs are left out, and so
are the jobs another load on this machine names in its journal. A candidate is this load's to
abort (claimed) only when nothing else can explain it: while another load of this machine has a
creation whose answer it is still waiting for, its job may be the candidate, and the lookup waits
for that load to write its job id down, up to its bound, after which such candidates are only
named.

The org may show the job a little after the request failed, when nobody saw the org's answer (a
timeout, a dropped connection, a stop while the request was out, a gateway that gave up waiting):
it may still have been creating it. Then the lookup looks again for a bounded time while it finds
nothing; a stopping load looks for a shorter time, since whatever the lookup cannot find is in
the journal for `kavrel load resume`. An answer from the org itself (a 500, a 503) came after
whatever it did, and one look is enough.
Between machines nothing is shared: a job another machine's load created in the same moment is a
candidate like any other (the README says so).
"""

from __future__ import annotations

import socket
import time
from collections.abc import Callable, Iterable
from typing import Any

from kavrel.load import journal as journals

# Seconds, from the failed creation, during which its job may still appear on the org.
LOOK_FOR = 15.0
LOOK_FOR_WHEN_STOPPING = 3.0
LOOK_EVERY = 1.0
# A creation of another machine's load is taken as still waiting for its answer this long.
ANSWER_TIMEOUT = 130.0


class LostJobFinder:
    """The plan's `lost_jobs`: (object, operation, since, known, error) -> [{"id", "claim"}], the
    Open jobs the lost creation may have made, each claimed for this load or not. Raises when the
    org's jobs cannot be read, so that an empty list means the org shows no such job."""

    def __init__(
        self,
        client: Any,
        journal: journals.Journal,
        stop: Any = None,
        resuming: bool = False,
        clock: Callable[[], float] = time.time,
    ) -> None:
        self._client = client
        self._journal = journal
        self._stop = stop
        # A resumed load looks for the job of a creation made in an earlier run: the bound is
        # counted from that creation, long past as a rule, instead of from now.
        self._resuming = resuming
        self._clock = clock

    def __call__(
        self,
        sobject: str,
        operation: str,
        since: float,
        known: Iterable[str],
        error: BaseException | None = None,
    ) -> list[dict[str, Any]]:
        stopping = self._stop is not None and self._stop.is_set()
        bound = LOOK_FOR_WHEN_STOPPING if stopping else LOOK_FOR
        if not answer_unseen(error):
            bound = 0.0
        deadline = (since if self._resuming else self._clock()) + bound
        known = set(known) | self._journal.state().job_ids()  # an earlier run's jobs too
        while True:
            found = self._open_jobs(sobject, operation, since)
            candidates = [job for job in found if job.get("id") not in known]
            named, pending = other_loads(self._journal.load_id, since)
            unexplained = [job for job in candidates if job["id"] not in named]
            if unexplained and not pending:
                return [{**job, "claim": True} for job in unexplained]
            if self._clock() >= deadline:
                return [{**job, "claim": False} for job in unexplained]
            self._pause(min(LOOK_EVERY, deadline - self._clock()))

    def _open_jobs(self, sobject: str, operation: str, since: float) -> list[dict[str, Any]]:
        return list(self._client.find_open_jobs(sobject, operation, since))

    def _pause(self, seconds: float) -> None:
        if seconds <= 0:
            return
        # A stop that is set returns from its wait at once; the lookup still takes its pause.
        if self._stop is not None and not self._stop.is_set():
            self._stop.wait(seconds)
        else:
            time.sleep(seconds)


def answer_unseen(error: BaseException | None) -> bool:
    """Whether nobody saw what the org made of the creation: no answer came (or an interrupt
    cut the wait for it), or a gateway answered instead of the org, which may still be at it."""
    from kavrel.salesforce.ingest_bapi20 import BulkApiError

    if isinstance(error, BulkApiError):
        return error.status_code in (502, 504)
    return True


def other_loads(load_id: str | None, since: float) -> tuple[set[str], bool]:
    """The job ids the other journals of this machine name, and whether one of those loads has a
    creation since `since` whose job it does not name yet and may still learn (its process is
    alive, or, on another machine sharing the folder, its answer may still come)."""
    from kavrel.salesforce.ingest_bapi20 import CLOCK_SKEW

    named: set[str] = set()
    pending = False
    # Only a journal written to since the lost request can name a job created after it.
    for path in journals._journal_files(changed_since=since - CLOCK_SKEW):
        if path.name == f"{load_id}{journals.SUFFIX}":
            continue
        try:
            record = journals.fold(journals._read_events(path))
        except (journals.JournalUnreadable, journals.UnknownLoad, OSError):
            continue
        named |= record.job_ids()
        if record.pending_creations(since - CLOCK_SKEW) and _may_still_answer(record):
            pending = True
    return named, pending


def _may_still_answer(record: journals.LoadRecord) -> bool:
    if record.end is not None:
        return False
    if record.running_elsewhere is not None:
        return True
    run = record.runs[-1] if record.runs else {}
    if run.get("host") == socket.gethostname():
        return False  # its process is gone: nothing will write its job down
    return time.time() - record.changed < ANSWER_TIMEOUT
