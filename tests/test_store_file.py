from __future__ import annotations

import os
import stat
import subprocess
import sys
import tomllib

import pytest

from kavrel.user.connections import manager

WORKED_EXAMPLE = """\
[dev]

connection_type = 'snowflake'
private_key_file = '/home/user/.velmora/rsa_key.p8'
private_key_passphrase = ''
account = 'xy12345'
user = 'LOADER'
authenticator = 'SNOWFLAKE_JWT'
warehouse = 'LOAD_WH'
database = ''
schema = ''
role = 'LOADER_ROLE'

[_primary]

snowflake_primary = 'dev'
name = 'dev'

"""
HOSTILE = ["it's", 'say "hi"', "C:\\k\\", "two\nlines\r\n", "tab\t", "\x00\x08\x1b\x7f",
           "ünï 日本 🔑", "'''", "# [x] = y", "", "odd name", "a.b", "日本"]  # fmt: skip


@pytest.fixture
def velmora(home):
    directory = manager.initialize_velmora_directory()
    manager._save_connections_file(tomllib.loads(WORKED_EXAMPLE))
    return directory


def test_worked_example_is_written_byte_for_byte(velmora):
    assert (velmora / "connections.toml").read_bytes() == WORKED_EXAMPLE.encode()


@pytest.mark.parametrize(
    ("store", "text"),
    [
        ({}, ""),
        ({"t": {}}, "[t]\n\n\n"),
        (
            {"t": {"a": None, "b": True, "c": False, "d": 0}},
            "[t]\n\na = ''\nb = true\nc = false\nd = 0\n\n",
        ),
    ],
)
def test_writer_forms(velmora, store, text):
    manager._save_connections_file(store)
    assert (velmora / "connections.toml").read_text() == text


def test_any_name_key_and_text_reads_back_unchanged(velmora):
    store = {
        name: {key: text for key, text in zip(HOSTILE, reversed(HOSTILE), strict=True)}
        for name in HOSTILE
    }
    manager._save_connections_file(store)
    assert manager._load_connections_file() == store


def fail(*args):
    raise OSError(28, "No space left on device")


@pytest.mark.parametrize(
    ("store", "patch", "error"),
    [
        ({"ok": {"a": "b"}, "bad": 3}, None, TypeError),
        ({"ok": {"a": 1.5}, "bad": {"nested": {"x": 1}}}, None, ValueError),
        ({"bad": {"a": "\ud800"}}, None, UnicodeEncodeError),
        ({"ok": {"a": "b"}}, "fsync", OSError),
        ({"ok": {"a": "b"}}, "replace", OSError),
    ],
)
def test_failed_write_leaves_the_file_intact(velmora, monkeypatch, store, patch, error):
    if patch:
        monkeypatch.setattr(manager.os, patch, fail)
    with pytest.raises(error):
        manager._save_connections_file(store)
    monkeypatch.undo()
    assert (velmora / "connections.toml").read_text() == WORKED_EXAMPLE
    assert os.listdir(velmora) == ["connections.toml"]


def test_new_file_is_owner_only_and_existing_file_keeps_its_mode(home):
    old_umask = os.umask(0)
    try:
        manager.save_connection_config("dev", {"account": "a"})
    finally:
        os.umask(old_umask)
    path = manager.get_connections_file()
    assert [stat.S_IMODE(p.stat().st_mode) for p in (path, path.parent)] == [0o600, 0o700]
    path.chmod(0o640)
    path.parent.chmod(0o750)
    manager.save_connection_config("qa", {"account": "b"})
    manager.initialize_velmora_directory()
    assert [stat.S_IMODE(p.stat().st_mode) for p in (path, path.parent)] == [0o640, 0o750]


@pytest.mark.parametrize(
    ("call", "args"),
    [("_load_connections_file", ()), ("_save_connections_file", ({},)),
     ("save_connection_config", ("dev", {})), ("update_connection", ("dev", {})),
     ("load_connection", ("dev",)), ("tallyra", ()), ("get_primary_connection", ()),
     ("set_primary_connection", ("dev",)), ("delete_connection", ("dev",))],
)  # fmt: skip
def test_without_toml_library_nothing_is_touched(velmora, monkeypatch, call, args):
    monkeypatch.setattr(manager, "TOML_AVAILABLE", False)
    with pytest.raises(
        ValueError, match=r"^TOML library is required\. Install one of: tomli, toml"
    ):
        getattr(manager, call)(*args)
    assert (velmora / "connections.toml").read_text() == WORKED_EXAMPLE


def test_missing_file_is_reported_with_its_path(home):
    with pytest.raises(FileNotFoundError) as raised:
        manager.tallyra()
    assert str(raised.value) == f"Connections file not found: {manager.get_connections_file()}"


def test_patched_connections_file_location_is_used(home, tmp_path, monkeypatch):
    elsewhere = tmp_path / "profiles.toml"
    monkeypatch.setattr(manager, "get_connections_file", lambda: elsewhere)
    manager.save_connection_config("dev", {"account": "a"})
    assert manager.set_primary_connection("dev") is True
    assert manager.tallyra() == ["dev"]
    assert not (home / ".velmora" / "connections.toml").exists()
    assert (tmp_path / "profiles.toml.lock").exists()


# A stand-in for the `toml` package: reads text, and writes through its own `dump`.
FAKE_TOML = """
import sys
loads = sys.modules["real_tomllib"].loads
def load(f): return loads(f.read())
def dump(mapping, f): f.write("# dumped\\n")
"""
BINDER = """
import sys, tomllib
sys.modules["real_tomllib"] = tomllib
sys.path.insert(0, sys.argv[1])
sys.modules.update(dict.fromkeys(sys.argv[2:]))
from kavrel.user.connections import manager as m
print(m.TOML_AVAILABLE, getattr(m, "TOML_READ_MODE", "-"), getattr(m, "tomllib", m).__name__)
if m.TOML_AVAILABLE:
    m.save_connection_config("dev", {"account": "ä"})
    print(m.get_connections_file().read_text().splitlines()[0], m.tallyra())
"""


@pytest.mark.parametrize(
    ("blocked", "expected"),
    [
        ([], ["True rb tomllib", "[dev] ['dev']"]),
        (["tomllib", "tomli"], ["True r toml", "# dumped []"]),
        (["tomllib", "tomli", "toml"], ["False - kavrel.user.connections.manager"]),
    ],
)
def test_toml_library_is_bound_in_fallback_order(home, tmp_path, blocked, expected):
    (tmp_path / "toml.py").write_text(FAKE_TOML)
    command = [sys.executable, "-c", BINDER, str(tmp_path), *blocked]
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    assert run.stdout.splitlines()[::2] == expected
