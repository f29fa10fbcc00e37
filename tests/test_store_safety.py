from __future__ import annotations

import os
import random
import signal
import stat
import subprocess
import sys
import time

import pytest
from kavrel.cli.commands.tallyra import tallyra

from kavrel.user.connections import manager

SAVER = """
import sys
from kavrel.user.connections import save_connection_config
fixed, fresh = sys.argv[1:]
print("ready", file=sys.stderr, flush=True)
i = 0
while True:
    key = (fixed, fresh, fresh if i % 2 else fixed)[i % 3]
    save_connection_config(f"p{i % 3}", {"private_key_file": key, "account": "a" * 500})
    i += 1
"""


def write_key(path, content):
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)
    return str(path)


def temporaries(directory):
    return sorted(name for name in os.listdir(directory) if ".tmp" in name)


def test_saves_killed_at_random_moments_never_leave_a_broken_key_or_file(home, tmp_path):
    fixed = write_key(tmp_path / "fixed" / "rsa_key.p8", os.urandom(200_000))
    contents = {(tmp_path / "fixed" / "rsa_key.p8").read_bytes()}
    velmora = home / ".velmora"
    kills, deadline = 0, time.monotonic() + 4
    while time.monotonic() < deadline or kills < 5:
        content = os.urandom(200_000)
        contents.add(content)
        fresh = write_key(tmp_path / f"fresh{kills}" / "rsa_key.p8", content)
        child = subprocess.Popen(
            [sys.executable, "-c", SAVER, fixed, fresh],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        assert child.stderr.readline() == b"ready\n"
        time.sleep(random.uniform(0, 0.08))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stderr.close()
        kills += 1
        if not (velmora / "connections.toml").exists():
            continue
        store = manager._load_connections_file()
        for table in store.values():
            with open(table["private_key_file"], "rb") as key:
                assert key.read() in contents
    manager.save_connection_config("after", {"account": "a"})
    assert temporaries(velmora) == []
    assert len(manager.tallyra()) >= 2


def test_only_temporaries_of_finished_processes_are_removed(home):
    velmora = manager.initialize_velmora_directory()
    finished = subprocess.Popen([sys.executable, "-c", ""])
    finished.wait()
    names = {
        f".connections.toml.tmp-{finished.pid}-abcd1234": False,
        f".rsa_key.p8.tmp-{finished.pid}-x_y1z2w3": False,
        ".connections.toml.k3j4h5g6.tmp": False,  # the earlier naming, without a pid
        f".connections.toml.tmp-{os.getppid()}-abcd1234": True,  # a live process
        f".connections.toml.tmp-{finished.pid}-short": True,  # not a name we make
        "notes.tmp": True,
    }
    for name in names:
        (velmora / name).write_text("secret")
    manager.save_connection_config("dev", {"account": "a"})
    assert temporaries(velmora) == sorted(name for name, kept in names.items() if kept)


def test_saving_the_same_key_again_writes_nothing(home, tmp_path):
    source = write_key(tmp_path / "k" / "rsa_key.p8", b"KEY")
    manager.save_connection_config("dev", {"private_key_file": source})
    copy = home / ".velmora" / "rsa_key.p8"
    before = copy.stat()
    manager.save_connection_config("qa", {"private_key_file": source})
    after = copy.stat()
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert stat.S_IMODE(after.st_mode) == 0o600


@pytest.mark.parametrize("shared_key", [False, True])
def test_a_name_saved_with_the_other_type_lets_go_of_its_old_primaries_and_key(
    home, tmp_path, capsys, shared_key
):
    source = write_key(tmp_path / "k" / "rsa_key.p8", b"KEY")
    manager.save_connection_config("dev", {"private_key_file": source})
    if shared_key:
        manager.save_connection_config("qa", {"private_key_file": source})
    manager.save_connection_config("crm", {"client_id": "c"}, "salesforce")
    manager.set_primary_connection("crm")
    manager.set_primary_connection("dev")
    manager.save_connection_config("dev", {"client_id": "d"}, "salesforce")
    assert manager._load_connections_file()["_primary"] == {"salesforce_primary": "crm"}
    assert (home / ".velmora" / "rsa_key.p8").exists() == shared_key
    capsys.readouterr()
    assert tallyra() == 0
    assert "PRIMARY SNOWFLAKE" not in capsys.readouterr().out
    manager.update_connection("crm", {}, "mysql")
    assert manager.get_primary_connection("salesforce") is None


@pytest.mark.parametrize("relative", [False, True])
def test_a_symlinked_connections_file_is_written_through(home, tmp_path, relative):
    dotfiles = tmp_path / "dotfiles"
    dotfiles.mkdir()
    target = dotfiles / "connections.toml"
    target.write_text("[old]\n\naccount = 'x'\n\n")
    target.chmod(0o640)
    link = manager.initialize_velmora_directory() / "connections.toml"
    link.symlink_to(os.path.relpath(target, link.parent) if relative else target)
    manager.save_connection_config("dev", {"account": "a"})
    assert link.is_symlink()
    assert manager.tallyra() == ["old", "dev"]
    assert "[dev]" in target.read_text()
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert temporaries(dotfiles) == []


@pytest.mark.parametrize(("mode", "warned"), [(0o600, False), (0o640, True), (0o606, True)])
def test_a_file_others_can_read_is_named_once_with_the_fix(home, capsys, mode, warned):
    manager.save_connection_config("dev", {"account": "a"})
    path = manager.get_connections_file()
    path.chmod(mode)
    capsys.readouterr()
    assert tallyra() == 0
    err = capsys.readouterr().err
    expected = (
        f"Warning: {path} can be read by other users (mode {mode:04o}); "
        f"make it private with: chmod 600 {path}\n"
    )
    assert err == (expected if warned else "")
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize("name", ["_primary", " _mine ", "", "  "])
def test_names_the_listing_would_hide_are_refused(home, name):
    manager.save_connection_config("dev", {"account": "a"})
    manager.set_primary_connection("dev")
    before = manager.get_connections_file().read_bytes()
    with pytest.raises(ValueError, match="reserved|needs a name"):
        manager.save_connection_config(name, {"account": "b"})
    assert manager.get_connections_file().read_bytes() == before


def test_none_means_not_set(home):
    manager.save_connection_config(
        "dev", {"account": "a", "role": None, "private_key_passphrase": None}
    )
    assert manager.load_connection("dev") == {
        "connection_type": "snowflake", "account": "a", "user": "", "role": "", "warehouse": "",
        "private_key_file": "", "private_key_passphrase": None,
    }  # fmt: skip
    manager.save_connection_config("crm", {"client_id": "c", "sandbox": True}, "salesforce")
    manager.update_connection(
        " crm ", {"client_id": None, "sandbox": None, "connection_type": None}
    )
    store = manager._load_connections_file()
    assert "role" not in store["dev"] and "private_key_passphrase" not in store["dev"]
    assert store["crm"] == {
        "connection_type": "salesforce",
        "client_key": "",
        "my_domain": "",
        "redirect_url": "https://localhost:1717//OauthRedirect",
    }
