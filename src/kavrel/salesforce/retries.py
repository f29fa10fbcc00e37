"""Trying a request again: after a pause that grows with each try (exponential back-off with
jitter, never shorter than the Retry-After an answer asks for), for as long as the request may
be tried again and the budget of waiting allows (`ingest_bapi20.RETRY_BUDGET`, about a minute).
Each try again is logged at WARNING, with `extra={"job_id": ...}` when it is a job's.
"""

from __future__ import annotations

import logging
import random
import time
from collections.abc import Callable
from email.utils import parsedate_to_datetime
from typing import TypeVar

logger = logging.getLogger("kavrel.salesforce.ingest_bapi20")
T = TypeVar("T")


def _retry_after(error: Exception) -> float | None:
    """The wait a 429 or 503 answer asks for in its Retry-After header, in seconds."""
    response = getattr(error, "response", None)
    value = None if response is None else response.headers.get("Retry-After")
    if not value:
        return None
    try:
        return max(0.0, float(value))
    except ValueError:
        pass
    try:
        return max(0.0, parsedate_to_datetime(value).timestamp() - time.time())
    except (TypeError, ValueError, OverflowError):
        return None


def with_retries(
    job_id: str | None, what: str, send: Callable[[], T], may_retry: Callable[[Exception], bool]
) -> T:
    """Sends a request, again after a pause for as long as `may_retry(error)` and the budget
    allow; the last error is raised as it came."""
    # Counted both ways: the pauses asked for, and the time gone (a try can itself take long).
    started = time.monotonic()
    waited = 0.0
    attempt = 0
    while True:
        try:
            return send()
        except Exception as error:
            # The bounds are the Bulk API's facts, kept (and adjustable) in one place.
            delay = min(_rules().LONGEST_RETRY_DELAY, _rules().FIRST_RETRY_DELAY * 2**attempt)
            delay *= random.uniform(0.5, 1.0)
            asked = _retry_after(error)
            if asked is not None:  # never sooner than the server asks, nor at once
                delay = max(delay, asked)
            spent = max(waited, time.monotonic() - started)
            if not may_retry(error) or spent + delay > _rules().RETRY_BUDGET:
                raise
            attempt += 1
            waited += delay
            subject = what if job_id is None else f"{what} of job {job_id}"
            logger.warning(
                "%s failed (%s); trying again in %.1f s",
                subject, str(error) or type(error).__name__, delay, extra={"job_id": job_id},
            )  # fmt: skip
            time.sleep(delay)


def _rules():
    # The budget and the back-off's bounds are the Bulk API's facts, read when a try fails so
    # that they can be adjusted in one place.
    from kavrel.salesforce import ingest_bapi20

    return ingest_bapi20
