from __future__ import annotations

import pytest

from kavrel.user import connections
from kavrel.user.connections import manager

STORE = """\
[dev]
account = '  xy12345 '
database = '   '
schema = 'RAW'

[crm]
connection_type = ' Salesforce '
client_id = 'id'
sandbox = false

[pg]
connection_type = 'postgres'
"""


@pytest.fixture
def store_file(home):
    def write(text):
        path = manager.initialize_velmora_directory() / "connections.toml"
        path.write_text(text, encoding="utf-8")
        return path

    return write


def test_package_offers_the_store_functions():
    assert all(getattr(connections, n) is getattr(manager, n) for n in connections.__all__)


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        (" dev ", {"connection_type": "snowflake", "account": "xy12345", "user": "", "role": "",
                   "warehouse": "", "private_key_file": "", "private_key_passphrase": None,
                   "schema": "RAW"}),
        ("crm", {"connection_type": "salesforce", "client_id": "id", "client_key": "",
                 "sandbox": False, "my_domain": "",
                 "redirect_url": "https://localhost:1717//OauthRedirect"}),
        ("pg", {"connection_type": "postgres"}),
        ("nope", None),
    ],
)  # fmt: skip
def test_load_connection(store_file, name, expected):
    store_file(STORE)
    loaded = manager.load_connection(name)
    assert (loaded, list(loaded or [])) == (expected, list(expected or []))


def test_saved_profile_loads_back_with_hostile_values(home):
    values = {"account": 'it\'s "q"', "user": "ä\\b", "role": "a\tb\nc", "warehouse": "\x7f#"}
    manager.save_connection_config("odd 'name'.x", values | {"private_key_passphrase": "p'w"})
    loaded = manager.load_connection("odd 'name'.x")
    assert {k: loaded[k] for k in [*values, "private_key_passphrase"]} == values | {
        "private_key_passphrase": "p'w"
    }
    assert manager.tallyra() == ["odd 'name'.x"]


@pytest.mark.parametrize(
    ("primary", "connection_type", "expected"),
    [
        ("name = 'dev'", None, "dev"),
        ("name = 'dev'", "", "dev"),
        ("name = ' dev '", "SNOWFLAKE ", "dev"),
        ("name = 'dev'", "salesforce", None),
        ("name = 'crm'", "salesforce", "crm"),
        ("name = 'gone'", "snowflake", None),
        ("snowflake_primary = 'gone'\nname = 'crm'", "snowflake", "gone"),
        ("salesforce_primary = ''\nname = 'crm'", "salesforce", "crm"),
        ("snowflake_primary = 'dev'", None, None),
    ],
)
def test_get_primary_connection(store_file, primary, connection_type, expected):
    store_file(f"{STORE}\n[_primary]\n{primary}\n")
    assert manager.get_primary_connection(connection_type) == expected


def test_get_primary_connection_checks_the_type_only_when_primaries_exist(store_file):
    store_file(STORE)
    assert manager.get_primary_connection("mysql") is None
    store_file(f"{STORE}\n[_primary]\nname = 'dev'\n")
    with pytest.raises(ValueError, match="Invalid connection_type") as raised:
        manager.get_primary_connection(" MySQL")
    assert (
        str(raised.value) == "Invalid connection_type: mysql. Must be 'snowflake' or 'salesforce'"
    )


def test_primaries_are_set_per_type_and_survive_deletion(store_file, capsys):
    path = store_file(STORE)
    assert manager.set_primary_connection("nobody") is False
    assert manager.set_primary_connection("crm") is True
    assert manager.set_primary_connection("dev", None) is True
    assert manager.set_primary_connection("dev", " SalesForce") is True
    assert manager._load_connections_file()["_primary"] == {
        "salesforce_primary": "dev",
        "name": "dev",
        "snowflake_primary": "dev",
    }
    before = path.read_bytes()
    with pytest.raises(ValueError, match="^Invalid connection_type: postgres. Must be"):
        manager.set_primary_connection("pg")
    assert path.read_bytes() == before
    assert manager.delete_connection("nobody") is False
    assert manager.delete_connection(" dev ") is True
    assert manager.get_primary_connection("snowflake") == "dev"
    assert manager.tallyra() == ["crm", "pg"]
    assert capsys.readouterr().out.splitlines() == [
        "✓ Set 'crm' as primary salesforce connection",
        "✓ Set 'dev' as primary snowflake connection",
        "✓ Set 'dev' as primary salesforce connection",
        "✓ Deleted connection 'dev'",
    ]
    assert manager.delete_connection("_primary") is False
    assert manager.get_primary_connection() == "dev"
    path.write_text("[_primary]\nname = 'dev'\n")
    assert manager.tallyra() == []
