"""What a load's runner tells of its work, put in words for the user and kept in the journal.

The compiled runner (`kavrel.salesforce.vantro.run_load`) words nothing: it reports each thing
that happens to the plan's `events` as `record(event, details)`. `LoadEvents` logs each event as
a line of the `kavrel.load` log, with the values its readers use as `extra` (a job's `job_id`
and `job_event`, a batch's `batch` and `batch_rows`, a load's `load_event`; the progress display
and the job tracker read those, never the words), and writes to the load's journal the events
that change what the journal tells, the journal first: a batch is written down before the act
it announces goes out.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

from kavrel.load.summary import counted, how_to_abort, records_text

logger = logging.getLogger("kavrel.load")

# The runner's events the journal keeps as they come (the outcomes it keeps with their words).
_JOURNALED = frozenset({"creating", "created", "closing", "closed", "withdrawn", "lost", "read"})


def lost_jobs_text(lost: Mapping[str, Any] | None) -> str | None:
    """What the lookup of a lost creation's job found, for the batch's outcome."""
    if not lost:
        return None
    if lost.get("lookup_error"):
        return (
            f"a job may have been created (it could not be looked up: {lost['lookup_error']}); "
            "find it with `kavrel job list` and abort it with `kavrel job abort ID`"
        )
    named = [f"job {job} was created and has been aborted" for job in lost.get("aborted", ())]
    named += [f"job {job} may still be Open: {how_to_abort(job)}" for job in lost.get("open", ())]
    named += [
        f"job {job} may be the one it created, or another load's: if it is not another's, "
        f"{how_to_abort(job)}"
        for job in lost.get("left", ())
    ]
    return "; ".join(named) if named else "the org shows no job it may have created"


def stop_text(details: Mapping[str, Any]) -> str:
    """Why the load created no further job, from the runner's stop."""
    why = details.get("why")
    if why == "read_failed":
        return f"reading the rows broke off after {counted(details['rows'], 'row')}: " + str(
            details["error"]
        )
    if why == "source_changed":
        return (
            f"the rows of batch {details['batch']} are not the ones sent before: the source "
            "changed since the load began; no further job was created"
        )
    if why == "refused":
        return (
            f"Salesforce refused to create the job of batch {details['batch']} "
            f"({details['error']}); no further job was created"
        )
    if why == "session_lost":
        where = (
            f"the creation of batch {details['batch']}'s job"
            if details.get("job_id") is None
            else f"job {details['job_id']} (batch {details['batch']})"
        )
        return f"the session ended at {where} and {details['reason']}; no further job was created"
    return "the wait for the jobs ran out"


def waited_out_text(job_id: str, state: str) -> str:
    return f"still {state} when the wait ran out; follow it with `kavrel job wait {job_id}`"


class LoadEvents:
    """The plan's `events`: each of the runner's events logged in words and, when it changes the
    load's state, written to `journal` first. `stopped` keeps the words of the load's stop."""

    def __init__(self, journal: Any, kind: str = "rows") -> None:
        self.journal = journal
        self.kind = kind  # "rows" of the source, or "lock_retry": records sent again
        self.stopped: str | None = None

    def record(self, event: str, details: Mapping[str, Any]) -> None:
        details = dict(details)
        if event in ("ended", "left", "failed", "retrying"):
            details["error"] = self._error_words(event, details)
        self._journal(event, details)
        tell = getattr(self, f"_{event}", None)
        if tell is not None:
            tell(details)

    # --- the journal ------------------------------------------------------------------------

    def _journal(self, event: str, details: dict[str, Any]) -> None:
        if self.journal is None:
            return
        if event == "read" and self.kind != "rows":
            return  # the records' count is not the source's
        if event in _JOURNALED:
            entry = {k: v for k, v in details.items() if k != "slot"}
            if event == "creating":
                entry["kind"] = self.kind
                if self.kind != "rows":
                    entry["digest"] = None
            self.journal.record(event, entry)
        elif event == "polled" and details.get("changed"):
            self.journal.record(
                "state",
                {"batch": details["batch"], "job_id": details["job_id"], "state": details["state"]},
            )
        elif event in ("ended", "left", "failed", "retrying"):
            unwritten = ("slot", "lost_jobs", "tell", "unreadable")
            self.journal.record(event, {k: v for k, v in details.items() if k not in unwritten})

    @staticmethod
    def _error_words(event: str, details: Mapping[str, Any]) -> str | None:
        """The words the log and the summary give the error of a batch's outcome."""
        if event == "left":
            return waited_out_text(details["job_id"], details["state"])
        if details.get("unreadable"):
            return f"could not read the job's state: {details['error']}"
        found = lost_jobs_text(details.get("lost_jobs")) if event != "ended" else None
        return f"{details['error']}; {found}" if found else details.get("error")

    # --- the words ----------------------------------------------------------------------------

    @staticmethod
    def _log(level: int, message: str, **extra: Any) -> None:
        logger.log(level, message, extra=extra)

    def _job(self, level: int, message: str, details: Mapping[str, Any], event: str) -> None:
        self._log(
            level,
            message,
            job_id=details.get("job_id"),
            job_event=event,
            batch=details.get("batch"),
            batch_rows=details.get("rows"),
            slot=details.get("slot"),
        )

    def _plan(self, details: dict[str, Any]) -> None:
        rows, batches, size = details["rows"], details["batches"], details["batch_size"]
        extra: dict[str, Any] = {"load_parallel": details["parallel"]}
        if rows is not None:
            extra.update(load_rows=rows, load_batches=batches)
        what = counted(rows, "row") if rows is not None else "the rows"
        if size is None:
            self._log(logging.INFO, f"📦 Loading {what} in one job", **extra)
            return
        plan = f" of up to {counted(size, 'row')}, {counted(details['parallel'], 'job')} at a time"
        if rows is None:
            self._log(logging.INFO, f"📦 Loading the rows in batches{plan}", **extra)
        else:
            self._log(
                logging.INFO, f"📦 Loading {what} in {counted(batches, 'batch')}{plan}", **extra
            )

    def _reading(self, details: dict[str, Any]) -> None:
        self._log(
            logging.DEBUG,
            f"📥 Reading batch {details['batch']}",
            load_event="reading",
            batch=details["batch"],
        )

    def _read(self, details: dict[str, Any]) -> None:
        if details.get("at_end"):
            self._log(
                logging.DEBUG, f"📥 All {counted(details['rows'], 'row')} read", load_event="read"
            )

    def _batch_read(self, details: dict[str, Any]) -> None:
        self._log(
            logging.DEBUG,
            f"📊 Batch {details['batch']}: {counted(details['rows'], 'row')} "
            f"({details['read_so_far']:,} read so far)",
            batch=details["batch"],
            batch_rows=details["rows"],
        )

    def _skipped(self, details: dict[str, Any]) -> None:
        self._log(
            logging.DEBUG,
            f"⏭️ Batch {details['batch']} was sent before; not again",
            batch=details["batch"],
        )

    def _stopped(self, details: dict[str, Any]) -> None:
        self.stopped = stop_text(details)
        self._log(logging.ERROR, f"❌ {self.stopped}", load_event="stopped")

    def _creating(self, details: dict[str, Any]) -> None:
        self._log(logging.DEBUG, f"🔍 Creating the job of batch {details['batch']}")

    def _created(self, details: dict[str, Any]) -> None:
        # Off a terminal this line stays above whatever becomes of the job: it tells that the rows
        # are on their way, and only the job's end may say that it went well.
        self._job(
            logging.INFO,
            f"📤 Batch {details['batch']}: job {details['job_id']} created for "
            f"{counted(details['rows'], 'row')}",
            details,
            "created",
        )

    def _sent(self, details: dict[str, Any]) -> None:
        self._job(
            logging.DEBUG,
            f"✅ Batch {details['batch']}: data sent to job {details['job_id']}",
            details,
            "sent",
        )

    def _closing(self, details: dict[str, Any]) -> None:
        self._job(logging.DEBUG, f"🔍 Closing job {details['job_id']}", details, "closing")

    def _closed(self, details: dict[str, Any]) -> None:
        if not details.get("after_all"):  # the abort's check told it already
            self._job(
                logging.DEBUG,
                f"✅ Job {details['job_id']} closed; Salesforce processes it",
                details,
                "closed",
            )

    def _polled(self, details: dict[str, Any]) -> None:
        processed = details.get("processed")
        counts = "" if processed is None else f", {processed:,} records processed"
        self._log(
            logging.DEBUG,
            f"📊 Job {details['job_id']}: {details['state']}{counts}",
            job_id=details["job_id"],
            job_event="polled",
            job_status=details["status"],
            batch=details["batch"],
            batch_rows=details["rows"],
            slot=details["slot"],
        )

    def _ended(self, details: dict[str, Any]) -> None:
        state, processed, failed = details["state"], details["processed"], details["failed"]
        where = f"Batch {details['batch']}: job {details['job_id']}"
        if details.get("unreadable"):
            self._job(logging.WARNING, f"❌ {where} {details['error']}", details, "error")
        elif state != "JobComplete":
            self._job(logging.WARNING, f"❌ {where} {state}", details, "ended")
        elif processed is None or failed is None:
            self._job(
                logging.INFO,
                f"⚠️ {where} {state} (Salesforce gave no record counts)",
                details,
                "ended",
            )
        elif failed == 0:
            self._job(
                logging.INFO,
                f"✅ {where} {state}: {records_text(processed)} succeeded",
                details,
                "ended",
            )
        else:  # the job completed; some of its records did not
            self._job(
                logging.INFO,
                f"⚠️ {where} {state}: {failed:,} of {records_text(processed)} failed",
                details,
                "ended",
            )

    def _left(self, details: dict[str, Any]) -> None:
        self._job(
            logging.WARNING,
            f"⏳ Batch {details['batch']}: job {details['job_id']} {details['error']}",
            details,
            "left",
        )

    def _left_running(self, details: dict[str, Any]) -> None:
        self._job(
            logging.WARNING,
            f"⚠️ Job {details['job_id']} (batch {details['batch']}) is "
            f"{details['state']} and was left to finish",
            details,
            "left",
        )

    def _still_running(self, details: dict[str, Any]) -> None:
        self._job(
            logging.WARNING,
            f"⚠️ Job {details['job_id']} is {details['state']} and was left to finish",
            details,
            "closed",
        )

    def _aborted(self, details: dict[str, Any]) -> None:
        self._job(
            logging.WARNING,
            f"⚠️ Job {details['job_id']} was still open: aborted it",
            details,
            "aborted",
        )

    def _open(self, details: dict[str, Any]) -> None:
        why = (
            "the Bulk API client cannot abort it"
            if details.get("error") is None
            else f"it could not be aborted ({details['error']})"
        )
        self._job(
            logging.ERROR, f"❌ Job {details['job_id']} may still be open: {why}", details, "open"
        )

    def _lost_job(self, details: dict[str, Any]) -> None:
        self._job(
            logging.WARNING,
            f"⚠️ Job {details['job_id']} was created though its creation answer was lost",
            details,
            "created",
        )

    def _failed(self, details: dict[str, Any]) -> None:
        if details.get("tell", True):
            self._log(
                logging.ERROR,
                f"❌ Batch {details['batch']}: {details['error']}",
                job_id=details.get("job_id"),
                job_event="error",
            )

    def _retrying(self, details: dict[str, Any]) -> None:
        self._log(
            logging.WARNING,
            f"🔁 Batch {details['batch']}: its job was not created ({details['error']}); "
            f"trying again in {details['delay']:g} s",
            batch=details["batch"],
            load_event="retrying",
        )
