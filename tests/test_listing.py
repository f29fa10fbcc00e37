"""The listing command: its layout against the real store, and its handlers with stand-in
stores for the failures a real store cannot be made to produce on demand."""

from __future__ import annotations

import sys
import types

import pytest
from kavrel.cli.commands.tallyra import tallyra

RULE = "=" * 60
SEPARATOR = "-" * 60
HEADER = f"\n{RULE}\nSaved Connections\n{RULE}\n\n"
IMPORT_ERROR_LINES = (
    "Error: Connections module not available.\n"
    "Install a TOML library (tomli, toml) or use Python 3.11+ to enable connection management.\n"
)
NO_FILE_LINES = (
    "No connections file found. Create a connection first using:\n  kavrel mintova --snowflake\n"
)


def install_store(monkeypatch, **functions):
    """Puts a stand-in `kavrel.user.connections` offering `functions` where the import finds it."""
    store = types.ModuleType("kavrel.user.connections")
    for name, function in functions.items():
        setattr(store, name, function)
    monkeypatch.setitem(sys.modules, "kavrel.user.connections", store)
    return store


def stand_in_functions(profiles, primaries=None):
    """Store functions over a dict of name -> mapping, or -> exception to raise on loading."""
    primaries = primaries or {}

    def load_connection(name):
        found = profiles.get(name)
        if isinstance(found, BaseException):
            raise found
        return found

    return {
        "tallyra": lambda: list(profiles),
        "get_primary_connection": lambda connection_type=None: primaries.get(connection_type),
        "load_connection": load_connection,
    }


@pytest.mark.parametrize("missing", ["tallyra", "get_primary_connection", "load_connection"])
def test_a_store_lacking_one_function_is_an_import_error(monkeypatch, capsys, missing):
    functions = stand_in_functions({"dev": {"connection_type": "snowflake"}})
    del functions[missing]
    install_store(monkeypatch, **functions)
    assert tallyra() == 1
    assert capsys.readouterr() == (IMPORT_ERROR_LINES, "")


def test_a_store_that_cannot_be_imported_is_an_import_error(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "kavrel.user.connections", None)
    assert tallyra() == 1
    assert capsys.readouterr() == (IMPORT_ERROR_LINES, "")


def test_the_store_is_imported_each_time_the_command_runs(monkeypatch, capsys):
    install_store(monkeypatch, **stand_in_functions({}))
    assert tallyra() == 0
    install_store(monkeypatch, **stand_in_functions({"dev": None}))
    assert tallyra() == 0
    assert capsys.readouterr().out.startswith("No saved connections found.\n\n" + RULE)


@pytest.mark.parametrize(
    ("error", "expected"),
    [
        (ImportError("no toml"), IMPORT_ERROR_LINES),
        (ModuleNotFoundError("no toml"), IMPORT_ERROR_LINES),
        (FileNotFoundError("Connections file not found: /x"), NO_FILE_LINES),
        (IsADirectoryError("a directory"), "Error listing connections: a directory\n"),
        (
            ValueError("TOML library is required"),
            "Error listing connections: TOML library is required\n",
        ),
    ],
)
def test_handlers_are_tried_in_order(monkeypatch, capsys, error, expected):
    def names():
        raise error

    install_store(monkeypatch, **{**stand_in_functions({}), "tallyra": names})
    assert tallyra() == 1
    out, err = capsys.readouterr()
    assert out == expected
    if expected.startswith("Error listing"):
        assert err.startswith("Traceback (most recent call last):\n")
        assert "in names" in err
        assert err.endswith(f"{type(error).__name__}: {error}\n")
    else:
        assert err == ""


@pytest.mark.parametrize(
    ("error", "expected"),
    [
        (FileNotFoundError("gone"), NO_FILE_LINES),
        (RuntimeError("locked"), "Error listing connections: locked\n"),
    ],
)
def test_a_failing_first_load_ends_the_command_and_keeps_what_was_printed(
    monkeypatch, capsys, error, expected
):
    install_store(
        monkeypatch, **stand_in_functions({"dev": {"connection_type": "snowflake"}, "crm": error})
    )
    assert tallyra() == 1
    out = capsys.readouterr().out
    assert out.startswith(HEADER + "\n1. dev\n" + SEPARATOR + "\n   Type:          SNOWFLAKE\n")
    assert out.endswith("   Passphrase:    (not set)\n" + expected)


def test_a_failing_second_load_costs_only_that_profiles_details(monkeypatch, capsys):
    calls = []

    def load_connection(name):
        calls.append(name)
        if name == "odd":
            if calls.count("odd") == 2:
                raise KeyError("odd")
            return None
        return {"connection_type": "salesforce", "client_id": "app"}

    install_store(
        monkeypatch,
        tallyra=lambda: ["odd", "crm"],
        get_primary_connection=lambda connection_type=None: None,
        load_connection=load_connection,
    )
    assert tallyra() == 0
    out = capsys.readouterr().out
    assert calls == ["odd", "odd", "crm"]
    assert out == (
        HEADER
        + f"\n1. odd\n{SEPARATOR}\n   Error loading details: 'odd'\n"
        + f"\n2. crm\n{SEPARATOR}\n   Type:          SALESFORCE\n   Client ID:     app\n"
        + "   Client Key:    (not set)\n   My Domain:     N/A\n   Sandbox:       No\n"
        + "   Redirect URL:  N/A\n"
        + f"\n{RULE}\nTotal: 2 connection(s)\n\n"
    )


def test_a_mapping_without_the_usual_keys_shows_defaults(monkeypatch, capsys):
    details = {"private_key_file": "keys/prod/rsa_key.p8", "private_key_passphrase": "s3cret"}
    install_store(monkeypatch, **stand_in_functions({"bare": details}, {"snowflake": "bare"}))
    assert tallyra() == 0
    out = capsys.readouterr().out
    assert (
        "\n1. bare (PRIMARY SNOWFLAKE)\n"
        + SEPARATOR
        + "\n   Type:          SNOWFLAKE\n   Account:       N/A\n   User:          N/A\n"
        + "   Role:          N/A\n   Warehouse:     N/A\n   Database:      (not set)\n"
        + "   Schema:        (not set)\n   Private Key:   rsa_key.p8\n   Passphrase:    (set)\n"
    ) in out
    assert "s3cret" not in out and "keys/prod" not in out
    assert out.endswith("Total: 1 connection(s)\nPrimary Snowflake: bare\n\n")


def test_keyboard_interrupt_passes_through(monkeypatch, capsys):
    def load_connection(name):
        raise KeyboardInterrupt

    install_store(
        monkeypatch, **{**stand_in_functions({"dev": {}}), "load_connection": load_connection}
    )
    with pytest.raises(KeyboardInterrupt):
        tallyra()
    assert capsys.readouterr().err == ""
