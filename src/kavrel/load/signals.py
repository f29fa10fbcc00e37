"""Ctrl-C and SIGTERM, handled one way by every command and every load: each raises where the main
thread is (KeyboardInterrupt, or `Terminated` for SIGTERM), so that whatever was under way ends as
on Ctrl-C, its clean-up run, and the command says what it left.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Callable, Iterator
from typing import Any


class Terminated(KeyboardInterrupt):
    """SIGTERM (from cron, `timeout` or an orchestrator), handled as Ctrl-C is."""


# The signals that reached a handler of this module, in order: a command whose work turned an
# interrupt into an outcome of its own still ends as the signal asks (143 for SIGTERM).
received: list[int] = []


@contextlib.contextmanager
def raised_as_interrupts(
    on_signal: Callable[[type[KeyboardInterrupt]], None] | None = None,
) -> Iterator[None]:
    """For as long as it lasts, SIGINT raises KeyboardInterrupt and SIGTERM raises Terminated in
    the main thread, after telling `on_signal` which of the two it is. Elsewhere than in the main
    thread, where signals cannot be caught, it does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupted(signum: int, _frame: Any) -> None:
        received.append(signum)
        interrupt = Terminated if signum == signal.SIGTERM else KeyboardInterrupt
        if on_signal is not None:
            on_signal(interrupt)
        raise interrupt()

    previous = {sig: signal.signal(sig, interrupted) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
