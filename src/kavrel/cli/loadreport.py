"""What a load command tells the user beyond the summary: which jobs an interrupted load left."""

from __future__ import annotations

import logging

from kavrel.load.summary import how_to_abort, where_to_check


class JobTracker(logging.Handler):
    """Follows the jobs of a load through the `job_id` and `job_event` its log records carry, so
    that an interrupted load can say what became of the job it was working on."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.jobs: dict[str, str] = {}

    @property
    def job_id(self) -> str | None:
        """The job the load most recently worked on."""
        return next(reversed(self.jobs), None)

    def emit(self, record: logging.LogRecord) -> None:
        job_id = getattr(record, "job_id", None)
        event = getattr(record, "job_event", None)
        # Records that only mention a job (a retried read) say nothing of its state.
        if job_id is not None and event is not None:
            job_id = str(job_id)
            self.jobs.pop(job_id, None)  # most recent last
            self.jobs[job_id] = str(event)

    def interrupted_message(self) -> str:
        left = [job for job, event in self.jobs.items() if event not in ("ended", "error")]
        if len(left) > 1:  # several jobs side by side: name each one
            lines = [f"Interrupted with {len(left)} jobs under way:"]
            return "\n".join(lines + [f"- {self._job_left(job)}" for job in left])
        job_id = self.job_id
        if job_id is None:
            return "Interrupted before any job was created."
        event = self.jobs[job_id]
        if event == "ended":
            return f"Interrupted; the last job, {job_id}, had already finished."
        if event == "aborted":
            return f"Interrupted; job {job_id} was still open and has been aborted."
        if event in ("created", "sent", "open"):
            return (
                f"Interrupted while job {job_id} was open; it could not be aborted: "
                f"{how_to_abort(job_id)}."
            )
        return (
            f"Interrupted while job {job_id} was processing; it was left to finish: "
            f"{where_to_check(job_id)}."
        )

    def _job_left(self, job_id: str) -> str:
        event = self.jobs[job_id]
        if event == "aborted":
            return f"job {job_id} was still open and has been aborted"
        if event in ("created", "sent", "open"):
            return f"job {job_id} is open and could not be aborted: {how_to_abort(job_id)}"
        return f"job {job_id} was processing and was left to finish: {where_to_check(job_id)}"
