"""What a dry run against the org tells the user: the records predicted to fail by error code, the
keys repeated across chunks, what only the org can tell, and the daily Bulk API batches."""

from __future__ import annotations

from kavrel.load.preflight import Prediction, Tally, repeats_text
from kavrel.load.summary import counted

# An error text holds the record's value, which may be long.
MESSAGE_CHARS = 160


def _rows(numbers: list[int], count: int) -> str:
    listed = ", ".join(f"{n:,}" for n in numbers)
    return f"{'row' if count == 1 else 'rows'} {listed}{', ...' if count > len(numbers) else ''}"


def _shortened(text: str) -> str:
    return text if len(text) <= MESSAGE_CHARS else text[: MESSAGE_CHARS - 3] + "..."


def _batches_line(prediction: Prediction) -> str:
    needed = counted(prediction.batches_needed or 0, "batch")
    allocation = prediction.allocation
    if allocation is None:
        why = prediction.limits_error or "the org did not report them"
        return (
            f"Daily Bulk API batches: the load needs {needed}; what is left is not known ({why})."
        )
    left = f"{allocation.remaining:,} of {allocation.maximum:,}"
    if not prediction.over_allocation:
        return f"Daily Bulk API batches: the load needs {needed}; the org has {left} left."
    return (
        f"Daily Bulk API batches: the load needs {needed} and the org has {left} left, so the "
        "load would stop before its first job (--ignore-limits sends it anyway)."
    )


def _codes(tally: Tally) -> list[str]:
    return [
        f"  {code}: {t.count:,} ({_rows(t.rows, t.count)}): {_shortened(t.message)}"
        for code, t in sorted(tally.by_code.items(), key=lambda item: -item[1].count)
    ]


def lines(prediction: Prediction, sobject: str) -> list[str]:
    checked = f"Checked against the org: {counted(prediction.rows, 'row')} of {sobject}"
    failures = prediction.failures
    if not failures.count:
        shown = [f"{checked}; none is predicted to fail."]
    else:
        saved = f", saved to {prediction.file}" if prediction.file is not None else ""
        shown = [f"{checked}; {failures.count:,} predicted to fail{saved}:", *_codes(failures)]
    if count := prediction.if_new.count:
        shown.append(
            f"{counted(count, 'more record')} {'fails' if count == 1 else 'fail'} if the "
            "external ID matches no record, so that it is inserted (which IDs match, only the "
            "org knows):"
        )
        shown += _codes(prediction.if_new)
    if prediction.repeats.count:
        shown.append(f"Repeated keys: {repeats_text(prediction.repeats)}.")
    shown += [f"Not checked: {note}." for note in prediction.notes]
    shown.append(_batches_line(prediction))
    return shown


def failure_text(prediction: Prediction, operation: str) -> str:
    """The error line of a dry run whose rows would not all load."""
    if prediction.failures.count:
        return f"{counted(prediction.failures.count, 'record')} would fail; no job was created"
    if prediction.repeats.count:
        return f"keys repeat across the jobs of this {operation}; no job was created"
    return "the load needs more daily Bulk API batches than the org has left; no job was created"
