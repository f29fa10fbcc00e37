"""Failure injection: fail, drop or delay the next matching request, or carry it out and then
lose its answer or cut it short (as a network does after the org did the work); force the end
state of the next closed jobs, or fail the next one part-way; reject records holding a value. The
same controls serve the Python API, the command line (`--fail`, `--drop`, `--delay`, `--lose`,
`--cut`) and, when the server is started with test controls, HTTP requests to CONTROLS_PATH.
"""

from __future__ import annotations

import math
import threading
from collections import deque
from dataclasses import dataclass
from typing import Any

CONTROLS_PATH = "/__kavrel__/controls"


@dataclass
class Fault:
    method: str | None  # None: any method
    path_suffix: str
    kind: str  # "fail", "drop", "delay", "lose" (done, answer lost) or "cut" (done, answer cut)
    detail: Any = None  # (status, body) for fail, seconds for delay


@dataclass
class _Rejection:
    field: str  # lower-cased
    value: str
    message: str
    remaining: int | None  # None: every time


def check_status(status: Any) -> int:
    if isinstance(status, bool) or not isinstance(status, int) or not 100 <= status <= 599:
        raise ValueError(f"status must be an HTTP status code, not {status!r}")
    return status


def check_seconds(seconds: Any) -> float:
    if (
        isinstance(seconds, bool)
        or not isinstance(seconds, int | float)
        or not math.isfinite(seconds)
        or seconds < 0
    ):
        raise ValueError(f"seconds must be a number of 0 or more, not {seconds!r}")
    return float(seconds)


def check_count(count: Any, what: str = "count") -> int:
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise ValueError(f"{what} must be an integer of 0 or more, not {count!r}")
    return count


def _text(value: Any, what: str) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"{what} must be a non-empty text")
    return value


class Controls:
    """The pending faults and rules; every method is safe from any thread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []
        self._forced_states: deque[str] = deque()
        self._fail_after: deque[int] = deque()
        self._rejections: list[_Rejection] = []

    def add_fault(self, fault: Fault) -> None:
        fault.method = _text(fault.method, "method").upper()
        if not isinstance(fault.path_suffix, str):
            raise ValueError("path_suffix must be a text")
        with self._lock:
            self._faults.append(fault)

    def take_fault(self, method: str, target: str) -> Fault | None:
        """Removes and returns the first fault matching this request, if any."""
        path = target.partition("?")[0]
        with self._lock:
            for index, fault in enumerate(self._faults):
                if fault.method == method and path.endswith(fault.path_suffix):
                    return self._faults.pop(index)
        return None

    def force_job_state(self, state: Any, count: Any = 1) -> None:
        state = _text(state, "state")
        count = check_count(count)
        with self._lock:
            self._forced_states.extend([state] * count)

    def take_forced_state(self) -> str | None:
        with self._lock:
            return self._forced_states.popleft() if self._forced_states else None

    def fail_job_after(self, records: Any) -> None:
        records = check_count(records, "records")
        with self._lock:
            self._fail_after.append(records)

    def take_fail_after(self) -> int | None:
        with self._lock:
            return self._fail_after.popleft() if self._fail_after else None

    def reject_records(self, field: Any, value: Any, message: Any, count: Any = None) -> None:
        if count is not None:
            count = check_count(count)
        if not isinstance(value, str):
            raise ValueError("value must be a text")
        rule = _Rejection(_text(field, "field").lower(), value, _text(message, "message"), count)
        with self._lock:
            self._rejections.append(rule)

    def rejected(self, header: list[str], records: list[list[str]]) -> dict[int, str]:
        """The rows the rules reject (row index to error), each rule firing at most its count."""
        positions = {name.lower(): index for index, name in enumerate(header)}
        rejected: dict[int, str] = {}
        with self._lock:
            rules = [rule for rule in self._rejections if rule.field in positions]
            for index, record in enumerate(records):
                for rule in rules:
                    if rule.remaining != 0 and record[positions[rule.field]] == rule.value:
                        rejected[index] = rule.message
                        if rule.remaining is not None:
                            rule.remaining -= 1
                        break
        return rejected

    def apply_document(self, document: Any) -> None:
        """Carries out one control sent over HTTP: {"action": ..., its arguments}."""
        if not isinstance(document, dict):
            raise ValueError("the control must be a JSON object")
        arguments = dict(document)
        action = arguments.pop("action", None)
        if action == "force_job_state":
            self.force_job_state(arguments.get("state"), arguments.get("count", 1))
        elif action == "fail_job_after":
            self.fail_job_after(arguments.get("records"))
        elif action == "reject_records":
            self.reject_records(
                arguments.get("field"),
                arguments.get("value"),
                arguments.get("message"),
                arguments.get("count"),
            )
        elif action in ANSWER_FAULTS:
            self.add_fault(_fault_of(action, arguments))
        else:
            raise ValueError(
                f"action must be one of {', '.join(ANSWER_FAULTS)}, force_job_state, "
                "fail_job_after, reject_records"
            )


# The faults of one request's answer, as the command line and the HTTP controls name them.
ANSWER_FAULTS = ("fail", "drop", "delay", "lose", "cut")
# Those given as METHOD:SUFFIX alone.
_BARE_FAULTS = ("drop", "lose", "cut")


def _fault_of(action: str, arguments: dict[str, Any]) -> Fault:
    method, suffix = arguments.get("method"), str(arguments.get("path_suffix", ""))
    if action == "fail":
        return Fault(
            method, suffix, "fail", (check_status(arguments.get("status")), arguments.get("body"))
        )
    if action == "delay":
        return Fault(method, suffix, "delay", check_seconds(arguments.get("seconds")))
    return Fault(method, suffix, action)


def parse_fault(kind: str, text: str) -> Fault:
    """A fault from the command line: METHOD:SUFFIX for drop, lose and cut, METHOD:SUFFIX:STATUS
    for fail, METHOD:SUFFIX:SECONDS for delay. The suffix may be empty (any path)."""
    method, _, rest = text.partition(":")
    if not method or not method.isalpha() or (kind not in _BARE_FAULTS and ":" not in rest):
        shape = (
            "METHOD:SUFFIX"
            if kind in _BARE_FAULTS
            else "METHOD:SUFFIX:" + ("STATUS" if kind == "fail" else "SECONDS")
        )
        raise ValueError(f"--{kind} takes {shape}, not {text!r}")
    if kind in _BARE_FAULTS:
        return Fault(method.upper(), rest, kind)
    suffix, _, value = rest.rpartition(":")
    try:
        if kind == "fail":
            return Fault(method.upper(), suffix, "fail", (check_status(int(value)), None))
        return Fault(method.upper(), suffix, "delay", check_seconds(float(value)))
    except ValueError as error:
        raise ValueError(f"--{kind} {text!r}: {error}") from None
