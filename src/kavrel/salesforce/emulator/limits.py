"""The org's daily allocations, as `GET /services/data/vXX.X/limits` reports them: each a maximum
and what is left of it over a rolling 24 hours.

Bulk API batches (`DailyBulkApiBatches`) are used as an org uses them, one for every chunk of
10,000 records a job processes; once none is left, a job being processed fails with the rest of
its records unprocessed, as the Bulk API 2.0 guide says an org does. API requests
(`DailyApiRequests`) are counted and reported only.
"""

from __future__ import annotations

import threading
import time
from collections import deque

DAILY_BULK_BATCHES = 15_000
DAILY_API_REQUESTS = 100_000
WINDOW_SECONDS = 24 * 60 * 60


class Allocation:
    """What is used of one allocation, counted over the last WINDOW_SECONDS."""

    def __init__(self, maximum: int) -> None:
        self.maximum = maximum
        self._uses: deque[float] = deque()
        self._lock = threading.Lock()

    def _forget_old(self, now: float) -> None:
        while self._uses and self._uses[0] <= now - WINDOW_SECONDS:
            self._uses.popleft()

    def remaining(self) -> int:
        with self._lock:
            self._forget_old(time.monotonic())
            return max(self.maximum - len(self._uses), 0)

    def take(self) -> bool:
        """Uses one, when one is left."""
        with self._lock:
            now = time.monotonic()
            self._forget_old(now)
            if len(self._uses) >= self.maximum:
                return False
            self._uses.append(now)
            return True

    def document(self) -> dict[str, int]:
        return {"Max": self.maximum, "Remaining": self.remaining()}


class OrgLimits:
    def __init__(self, daily_bulk_batches: int = DAILY_BULK_BATCHES) -> None:
        self.bulk_batches = Allocation(daily_bulk_batches)
        self.api_requests = Allocation(DAILY_API_REQUESTS)

    def document(self) -> dict[str, dict[str, int]]:
        return {
            "DailyApiRequests": self.api_requests.document(),
            "DailyBulkApiBatches": self.bulk_batches.document(),
        }


def quota_exceeded(maximum: int) -> str:
    """The job's error once the batches ran out (the text is the server's own)."""
    return (
        f"ExceededQuota : The org's daily allocation of {maximum:,} Bulk API batches "
        "(DailyBulkApiBatches) is used up; the rest of the job was not processed"
    )
