"""Argument types the commands share, with the same wording for the same mistake."""

from __future__ import annotations

import argparse
from collections.abc import Callable


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}")
    return value


def positive_number(unit: str) -> Callable[[str], float]:
    """An argument type: a finite number above 0, of `unit` ("seconds", "minutes", ...)."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = 0.0
        if not 0 < value < float("inf"):
            raise argparse.ArgumentTypeError(f"must be a positive number of {unit}, not {text!r}")
        return value

    return parse
