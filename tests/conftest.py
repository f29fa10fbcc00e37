from __future__ import annotations

from pathlib import Path

import pytest


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A fresh, empty home directory for the test (Path.home() and ~ resolve to it)."""
    home_dir = tmp_path / "home"
    home_dir.mkdir()
    monkeypatch.setenv("HOME", str(home_dir))
    return home_dir


@pytest.fixture
def bulk_server():
    """A Bulk API 2.0 emulator serving on 127.0.0.1 at a free port, stopped after the test."""
    from kavrel.salesforce.emulator import BulkApiEmulator

    with BulkApiEmulator() as server:
        yield server


@pytest.fixture
def no_sleep(monkeypatch: pytest.MonkeyPatch) -> list[float]:
    """Makes time.sleep return at once; the list collects the pauses that were asked for."""
    import time

    pauses: list[float] = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    return pauses
