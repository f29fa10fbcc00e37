from __future__ import annotations

import os
import random
import signal
import stat
import subprocess
import sys
import time

import pytest

from kavrel.user.connections import manager

SAVER = """
import itertools, sys
from kavrel.user.connections import save_connection_config as save
print("ready", file=sys.stderr, flush=True)
for i in itertools.count():
    save(f"p{i % 3}", {"private_key_file": sys.argv[1 + i % 2], "account": "a" * 500})
"""


def write_key(path, content):
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)
    return str(path)


def temporaries(directory):
    return sorted(name for name in os.listdir(directory) if ".tmp" in name)


def test_saves_killed_at_random_moments_leave_whole_keys_and_no_temporaries(home, tmp_path):
    keys = {os.urandom(200_000)}
    fixed = write_key(tmp_path / "fixed" / "rsa_key.p8", next(iter(keys)))
    kills, deadline = 0, time.monotonic() + 4
    while time.monotonic() < deadline or kills < 5:
        fresh = os.urandom(200_000)  # a new key each run, so new copies are written too
        keys.add(fresh)
        argv = [sys.executable, "-c", SAVER, fixed, write_key(tmp_path / f"k{kills}" / "k", fresh)]
        with subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as child:
            assert child.stderr.readline() == b"ready\n"
            time.sleep(random.uniform(0, 0.08))
            child.send_signal(signal.SIGKILL)
        kills += 1
        if manager.get_connections_file().exists():
            for table in manager._load_connections_file().values():
                with open(table["private_key_file"], "rb") as key:
                    assert key.read() in keys
    manager.save_connection_config("after", {"account": "a"})
    assert temporaries(home / ".velmora") == []


def test_only_temporaries_of_finished_processes_are_removed(home):
    velmora = manager.initialize_velmora_directory()
    with subprocess.Popen([sys.executable, "-c", ""]) as finished:
        pass
    kept = {".connections.toml.k3j4h5g6.tmp": False, "notes.tmp": True,
            f".rsa_key.p8.tmp-{finished.pid}-x_y1z2w3": False,
            f".connections.toml.tmp-{os.getppid()}-abcd1234": True,  # a live process
            f".connections.toml.tmp-{finished.pid}-short": True}  # fmt: skip
    for name in kept:
        (velmora / name).write_text("secret")
    manager.save_connection_config("dev", {"account": "a"})
    assert temporaries(velmora) == sorted(name for name in kept if kept[name])


@pytest.mark.parametrize("shared_key", [False, True])
def test_a_name_saved_with_the_other_type_lets_go_of_its_primaries_and_key(
    home, tmp_path, shared_key
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
    manager.update_connection("crm", {}, "mysql")
    assert manager.get_primary_connection("salesforce") is None


def test_a_symlinked_connections_file_is_written_through(home, tmp_path):
    target = tmp_path / "dotfiles" / "connections.toml"
    write_key(target, b"[old]\n")
    target.chmod(0o640)
    link = manager.initialize_velmora_directory() / "connections.toml"
    link.symlink_to(os.path.relpath(target, link.parent))
    manager.save_connection_config("dev", {"account": "a"})
    assert link.is_symlink()
    assert manager.tallyra() == ["old", "dev"]
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert temporaries(target.parent) == []


# Reads a settings file in a process of its own, which a reader that waits on a named pipe would
# hold until the test's timeout; a refusal is printed. A device that ends (/dev/null) stands for
# one that never does: a reader that does not refuse it reads it as empty.
READER = """
import sys
from kavrel.user import logins
from kavrel.user.connections import manager
try:
    manager.tallyra() if sys.argv[1] == "connections.toml" else logins.login_of("crm", {})
except ValueError as error:
    print(error)
"""
NOT_REGULAR = ", not a regular file: kavrel keeps its settings only in regular files"


@pytest.mark.parametrize(
    ("name", "kind"),
    [("connections.toml", "fifo"), ("connections.toml", "device"),
     ("salesforce_logins.toml", "fifo")],
)  # fmt: skip
def test_a_settings_file_that_is_not_a_regular_file_is_refused_unread(home, name, kind):
    path = manager.initialize_velmora_directory() / name
    if kind == "fifo":
        os.mkfifo(path)
        said = f"{path} is a named pipe (FIFO){NOT_REGULAR}"
    else:
        path.symlink_to("/dev/null")
        said = f"{path} (a link to /dev/null) is a character device{NOT_REGULAR}"
    command = [sys.executable, "-c", READER, name]
    env = {**os.environ, "HOME": str(home)}
    read = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    assert read.stdout.startswith(said), read.stderr


def test_a_save_replaces_neither_a_special_file_nor_an_oversized_one(home, tmp_path):
    velmora = manager.initialize_velmora_directory()
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    (velmora / "connections.toml").symlink_to(pipe)
    with pytest.raises(ValueError, match="is a named pipe"):
        manager._save_connections_file({"dev": {"account": "a"}})
    assert stat.S_ISFIFO(pipe.stat().st_mode)
    assert (velmora / "connections.toml").is_symlink()

    (velmora / "connections.toml").unlink()
    with open(velmora / "connections.toml", "wb") as large:
        large.truncate(16 * 1024 * 1024 + 1)
    with pytest.raises(ValueError, match="is larger than 16,777,216 bytes"):
        manager.save_connection_config("dev", {"account": "a"})
    assert (velmora / "connections.toml").stat().st_size == 16 * 1024 * 1024 + 1


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o620, 0o604])
def test_a_file_open_to_others_is_named_once_with_the_fix(home, capsys, mode):
    manager.save_connection_config("dev", {"account": "a"})
    path = manager.get_connections_file()
    path.chmod(mode)
    for _ in range(3):
        manager.load_connection("dev")
    warning = f"Warning: {path} is open to other users (mode {mode:04o}); make it private with: "
    assert capsys.readouterr().err == (f"{warning}chmod 600 {path}\n" if mode != 0o600 else "")
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize(("name", "refusal"), [("_primary", "reserved"), ("  ", "needs a name")])
def test_names_the_listing_would_hide_are_refused(home, name, refusal):
    with pytest.raises(ValueError, match=refusal):
        manager.save_connection_config(name, {"account": "b"})


def test_none_means_not_set(home):
    manager.save_connection_config("dev", {"role": None, "private_key_passphrase": None})
    manager.save_connection_config("crm", {"client_id": "c", "sandbox": True}, "salesforce")
    manager.update_connection(
        " crm ", {"client_id": None, "sandbox": None, "connection_type": None}
    )
    store = manager._load_connections_file()
    assert {"role", "private_key_passphrase"}.isdisjoint(store["dev"])
    assert list(store["crm"]) == ["connection_type", "client_key", "my_domain", "redirect_url"]
    assert manager.load_connection("dev")["private_key_passphrase"] is None


def test_key_copies_go_with_the_last_profile_that_names_them(home, tmp_path, capsys):
    from kavrel.cli.main import main

    velmora = home / ".velmora"
    first = write_key(tmp_path / "a" / "rsa_key.p8", b"KEY A")
    kept = write_key(tmp_path / "b" / "own.p8", b"KEY B")
    manager.save_connection_config("dev", {"private_key_file": first})
    manager.save_connection_config("qa", {"private_key_file": first})
    manager.save_connection_config("own", {"private_key_file": kept}, copy_key=False)
    manager.save_connection_config("qa", {"private_key_file": kept})  # re-saved with a new key
    assert sorted(os.listdir(velmora)) == ["connections.toml", "connections.toml.lock", "own.p8",
                                           "rsa_key.p8"]  # fmt: skip
    manager.save_connection_config("store", {"private_key_file": str(velmora / "connections.toml")})
    for name in ("dev", "qa", "own", "store"):
        assert main(["connection", "remove", name]) == 0
    assert capsys.readouterr().out.count("Removed its copy of the private key") == 2  # dev's, qa's
    assert sorted(os.listdir(velmora)) == ["connections.toml", "connections.toml.lock"]
    assert (tmp_path / "a" / "rsa_key.p8").read_bytes() == b"KEY A"
    assert (tmp_path / "b" / "own.p8").read_bytes() == b"KEY B"
