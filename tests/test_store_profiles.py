from __future__ import annotations

import gc
import os
import stat
import subprocess
import sys

import pytest

from kavrel.user.connections import manager


def stored():
    return manager._load_connections_file()


def test_save_strips_fills_every_key_and_reports(home, capsys):
    manager.save_connection_config(" dev ", {"account": " xy ", "user": None, "x": "y"})
    manager.save_connection_config("crm", {"client_id": "id"}, " SALESFORCE")
    manager.save_connection_config("sbx", {"sandbox": None, "redirect_url": " r "}, "salesforce")
    path = manager.get_connections_file()
    assert capsys.readouterr().out.splitlines() == [
        f"✓ Saved connection '{name}' ({kind}) to {path}"
        for name, kind in [("dev", "snowflake"), ("crm", "salesforce"), ("sbx", "salesforce")]
    ]
    store = stored()
    assert list(store["dev"].items()) == list((dict.fromkeys(
        ["connection_type", "private_key_file", "private_key_passphrase", "account",
         "authenticator", "warehouse", "database", "schema", "role"], ""
    ) | {"connection_type": "snowflake", "account": "xy",
         "authenticator": "SNOWFLAKE_JWT"}).items())  # fmt: skip
    assert list(store["crm"].items()) == [
        ("connection_type", "salesforce"), ("client_id", "id"), ("client_key", ""),
        ("sandbox", False), ("my_domain", ""),
        ("redirect_url", "https://localhost:1717//OauthRedirect")]  # fmt: skip
    assert ("sandbox" in store["sbx"], store["sbx"]["redirect_url"]) == (False, "r")


def test_save_replaces_in_place_appends_new_and_leaves_primaries(home):
    manager.save_connection_config("a", {"account": "1", "role": "r"})
    manager.save_connection_config("b", {"account": "2"})
    manager.set_primary_connection("a")
    manager.save_connection_config("a", {"user": "u"})
    manager.save_connection_config("c", {})
    store = stored()
    assert list(store) == ["a", "b", "_primary", "c"]
    assert (store["a"]["account"], store["a"]["role"], store["a"]["user"]) == ("", "", "u")
    assert store["_primary"] == {"snowflake_primary": "a", "name": "a"}


def test_unknown_type_is_refused_after_creating_the_directory(home):
    with pytest.raises(ValueError, match="Unknown connection type") as raised:
        manager.save_connection_config("dev", {}, " Oracle ")
    assert (
        str(raised.value) == "Unknown connection type: oracle. Must be 'snowflake' or 'salesforce'"
    )
    assert os.listdir(manager.get_velmora_dir()) == ["connections.toml.lock"]


def test_update_replaces_the_profile_and_keeps_or_takes_the_type(home, capsys):
    manager.save_connection_config("dev", {"account": "a", "user": "u"})
    manager._save_connections_file({**stored(), "bare": {"account": "z"}})
    capsys.readouterr()
    assert manager.update_connection("_primary", {"role": "r"}) is False
    assert manager.update_connection(" dev ", {"role": "r"}) is True
    assert stored()["dev"]["account"] == ""
    assert manager.update_connection("bare", {}) is True
    assert manager.update_connection("dev", {"connection_type": " SALESFORCE "}) is True
    assert manager.update_connection("bare", {"account": "q"}, "mysql") is True
    assert stored()["bare"] == {"connection_type": "mysql"}
    assert capsys.readouterr().out.splitlines() == [
        "✓ Updated connection 'dev' (snowflake)",
        "✓ Updated connection 'bare' (snowflake)",
        "✓ Updated connection 'dev' (salesforce)",
        "✓ Updated connection 'bare' (mysql)",
    ]
    with pytest.raises(TypeError, match="connection_type"):
        manager.update_connection("dev", {"connection_type": 5})


def key(directory, content):
    directory.mkdir()
    path = directory / "rsa_key.p8"
    path.write_bytes(content)
    return str(path)


def test_private_key_is_copied_owner_only_and_its_path_stored(home, tmp_path, capsys):
    manager.save_connection_config("dev", {"private_key_file": key(tmp_path / "k", b"A")})
    copied = home / ".velmora" / "rsa_key.p8"
    assert capsys.readouterr().out.splitlines()[0] == f"✓ Copied private key to {copied}"
    assert stat.S_IMODE(copied.stat().st_mode) == 0o600
    assert stored()["dev"]["private_key_file"] == str(copied)
    copied.chmod(0o644)
    manager.save_connection_config("dev", {"private_key_file": str(copied)})
    assert capsys.readouterr().out.splitlines()[0] == "✓ Private key already in .velmora directory"
    assert stat.S_IMODE(copied.stat().st_mode) == 0o600


def test_private_key_of_same_name_never_overwrites_another_key(home, tmp_path):
    first, second = key(tmp_path / "a", b"A"), key(tmp_path / "b", b"B")
    manager.save_connection_config("a", {"private_key_file": first})
    manager.save_connection_config("b", {"private_key_file": second})
    manager.save_connection_config("b", {"private_key_file": second})
    manager.update_connection("a", {"private_key_file": first})
    velmora = home / ".velmora"
    assert sorted(p.name for p in velmora.glob("rsa_key*")) == ["rsa_key-2.p8", "rsa_key.p8"]
    assert [(velmora / n).read_bytes() for n in ("rsa_key.p8", "rsa_key-2.p8")] == [b"A", b"B"]
    assert [t["private_key_file"] for t in stored().values()] == [
        str(velmora / "rsa_key.p8"),
        str(velmora / "rsa_key-2.p8"),
    ]


@pytest.mark.parametrize(
    ("path", "copy_key"), [("KEY", False), ("", True), ("~/rsa_key.p8", True), ("no/k.p8", True)]
)
def test_private_key_is_stored_as_given_when_not_copied(home, tmp_path, capsys, path, copy_key):
    path = path.replace("KEY", key(tmp_path / "k", b"A"))
    manager.save_connection_config("dev", {"private_key_file": f"{path} "}, copy_key=copy_key)
    assert stored()["dev"]["private_key_file"] == path
    assert len(capsys.readouterr().out.splitlines()) == 1


class Text(str):
    pass


@pytest.mark.parametrize(
    ("call", "args", "argument"),
    [
        ("save_connection_config", (Text("dev"), {}), "connection_name"),
        ("save_connection_config", ("dev", type("D", (dict,), {})()), "credentials"),
        ("save_connection_config", ("dev", {}, None), "connection_type"),
        ("update_connection", ("dev", {}, Text("snowflake")), "connection_type"),
        ("load_connection", (b"dev",), "connection_name"),
        ("get_primary_connection", (Text("snowflake"),), "connection_type"),
        ("set_primary_connection", ("dev", 1), "connection_type"),
        ("delete_connection", (None,), "connection_name"),
        ("_save_connections_file", (None,), "connections"),
    ],
)
def test_arguments_of_other_types_are_refused_first(home, call, args, argument):
    with pytest.raises(TypeError, match=f"'{argument}'"):
        getattr(manager, call)(*args)
    assert not manager.get_velmora_dir().exists()


SAVER = """
import sys
from kavrel.user.connections import save_connection_config
for i in range(15):
    save_connection_config(f"{sys.argv[1]}-{i}", {"account": str(i)})
"""


def test_concurrent_saves_from_several_processes_lose_nothing(home):
    command = [sys.executable, "-c", SAVER]
    workers = [subprocess.Popen([*command, f"w{n}"], stdout=subprocess.DEVNULL) for n in range(4)]
    assert [worker.wait(timeout=120) for worker in workers] == [0] * 4
    assert sorted(manager.tallyra()) == sorted(f"w{n}-{i}" for n in range(4) for i in range(15))


def test_repeated_operations_do_not_leak_objects(home, capsys):
    def cycle(times):
        for _ in range(times):
            manager.save_connection_config("dev", {"account": "a'b\n"})
            manager.set_primary_connection("dev")
            manager.load_connection("dev")
            manager.get_primary_connection("snowflake")
            manager.delete_connection("dev")
            capsys.readouterr()
        gc.collect()
        return len(gc.get_objects())

    before = cycle(20)
    assert cycle(200) - before < 50
