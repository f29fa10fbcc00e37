"""`kavrel connection ...`, `--version` and `--help` from a shell, in a temporary home: profiles
created without questions and at a real terminal, tested against the local server, removed."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
from pathlib import Path

import pexpect
import pytest
from command import KAVREL, run_kavrel

from kavrel.user.connections import manager

CHECKS_PASSPHRASES = importlib.util.find_spec("cryptography") is not None


kavrel = run_kavrel


def add_salesforce(home: Path, name: str, *extra: str, secret: str = "secret"):
    options = ["--name", name, "--client-id", "app", "--my-domain", "acme", "--no-interactive"]
    return kavrel(
        home, "connection", "add", "--salesforce", *options, *extra, KAVREL_CLIENT_KEY=secret
    )


def test_a_profile_from_creation_to_removal(home, bulk_server):
    bulk_server.client_id, bulk_server.client_secret = "app", "secret"
    assert add_salesforce(home, "crm", "--json").returncode == 0
    assert add_salesforce(home, "bad", "--default", secret="wrong").returncode == 0

    listed = kavrel(home, "connection", "list", "--json")
    document = json.loads(listed.stdout)
    assert document["primary"] == {"snowflake": None, "salesforce": "bad"}
    assert [(p["name"], p["primary"], p["client_key_set"]) for p in document["connections"]] == [
        ("crm", False, True),
        ("bad", True, True),
    ]
    assert "secret" not in listed.stdout + listed.stderr
    assert kavrel(home, "connection", "list").stdout == (
        "name  type        primary  details\n"
        "crm   Salesforce           My Domain acme, client ID app, client key set\n"
        "bad   Salesforce  yes      My Domain acme, client ID app, client key set\n\n"
        "Salesforce logins:\n"
        "   crm              client credentials\n"
        "   bad              client credentials\n"
    )

    login = ["--login-url", bulk_server.base_url]
    works = kavrel(home, "connection", "test", "crm", *login)
    assert (works.returncode, works.stdout) == (
        0,
        f"✓ Connection 'crm' works: got an access token for {bulk_server.base_url}.\n",
    )
    fails = kavrel(home, "connection", "test", "bad", *login)
    assert fails.returncode == 1
    assert fails.stderr.startswith("Error: connection 'bad' failed: Salesforce login failed")
    assert fails.stderr.count("\n") == 1

    chosen = kavrel(home, "connection", "set-default", "crm")
    assert chosen.stdout == "✓ 'crm' is now the primary Salesforce profile.\n"
    removed = kavrel(home, "connection", "remove", "crm")
    assert removed.stdout == (
        "✓ Removed the connection profile 'crm'.\nIt was the primary Salesforce profile; none "
        "is primary now (choose one with `kavrel connection set-default NAME`).\n"
    )
    assert manager.tallyra() == ["bad"]
    assert manager.get_primary_connection("salesforce") is None
    assert manager.get_primary_connection() is None


@pytest.mark.parametrize("json_flag", [[], ["--json"]])
def test_listing_an_empty_or_inconsistent_store_is_not_an_error(home, json_flag):
    empty = kavrel(home, "connection", "list", *json_flag)
    assert (empty.returncode, empty.stderr) == (0, "")
    if json_flag:
        assert json.loads(empty.stdout)["connections"] == []
    # A removal by the store's own function leaves the primary naming the removed profile.
    add_salesforce(home, "crm", "--default")
    add_salesforce(home, "other")
    manager.delete_connection("crm")
    listed = kavrel(home, "connection", "list", *json_flag)
    assert listed.returncode == 0
    if json_flag:
        document = json.loads(listed.stdout)
        assert document["primary"]["salesforce"] is None
        assert document["missing_primary"]["salesforce"] == "crm"
    else:
        assert listed.stdout.splitlines()[-1] == (
            "The primary Salesforce profile 'crm' is missing: no Salesforce profile has that "
            "name (choose one with `kavrel connection set-default NAME`)."
        )


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["remove", "nobody"], 1, "no connection profile named 'nobody'"),
        (["set-default", "nobody"], 1, "no connection profile named 'nobody'"),
        (["test", "nobody"], 1, "no connection profile named 'nobody'"),
        (["add", "--snowflake", "--name", "dev", "--no-interactive"], 1, "--account: "),
        (["add", "--salesforce", "--name", "crm", "--no-interactive"], 1, "already exists"),
        (["add", "--snowflake", "--client-id", "x"], 1, "--client-id is not an option of a Snow"),
        (["add", "--salesforce", "--name", "-x", "--no-interactive"], 2, "expected one argument"),
        (["add", "--name", "x"], 2, "one of the arguments --snowflake --salesforce is required"),
        (["remove"], 2, "the following arguments are required: NAME"),
    ],
)
def test_bad_input_gets_one_clear_line(home, args, status, message):
    add_salesforce(home, "crm")
    done = kavrel(home, "connection", *args)
    assert done.returncode == status
    assert message in done.stderr
    assert manager.tallyra() == ["crm"]


@pytest.mark.parametrize(
    ("passphrase", "status", "message"),
    [
        ("right", 0, "✓ Saved connection 'dev' (snowflake)"),
        ("wrong", 1, "--private-key-passphrase: This passphrase does not open the key"),
        (
            None,
            1,
            "--private-key-passphrase: This key is encrypted: its passphrase is required "
            "(without questions, give it in the environment variable "
            "KAVREL_PRIVATE_KEY_PASSPHRASE)",
        ),
    ],
)
@pytest.mark.skipif(not CHECKS_PASSPHRASES, reason="passphrases are checked with cryptography")
def test_an_encrypted_keys_passphrase_is_checked(
    home, tmp_path, private_key, passphrase, status, message
):
    key = private_key(tmp_path / "rsa_key.p8", "right")
    options = ["--name", "dev", "--account", "xy1", "--user", "U", "--private-key-file", str(key)]
    env = {"KAVREL_PRIVATE_KEY_PASSPHRASE": passphrase} if passphrase else {}
    done = kavrel(home, "connection", "add", "--snowflake", *options, "--no-interactive", **env)
    assert done.returncode == status
    assert message in done.stdout + done.stderr
    saved = manager.load_connection("dev") if status == 0 else None
    assert (saved or {}).get("private_key_passphrase") == (passphrase if status == 0 else None)
    assert ("right" in done.stdout + done.stderr) is False


def spawn(home: Path, *args: str) -> pexpect.spawn:
    env = {**os.environ, "HOME": str(home), "PYTHONIOENCODING": "utf-8"}
    return pexpect.spawn(KAVREL, list(args), env=env, encoding="utf-8", timeout=30)


@pytest.mark.parametrize(
    ("command", "status", "last"),
    [
        (["mintova", "--salesforce"], 0, "✓ Connection created successfully!"),
        (["connection", "add", "--salesforce", "--client-id", "app"], 130, None),
    ],
)
def test_ctrl_c_after_saving_says_the_profile_was_saved(home, command, status, last):
    from test_cli import wait_until_reading

    child = spawn(home, *command)
    answers = [("Profile name: ", "crm")]
    if "--client-id" not in command:
        answers.append((r"Client ID \(consumer key\): ", "app"))
    answers += [
        (r"Login: client-credentials \(1\), jwt \(2\) or browser \(3\) .*: ", ""),
        (r"Client key \(consumer secret\): ", "secret"),
        ("My Domain: ", "acme"),
        (r"Sandbox org\? \[y/N\]: ", ""),
        ("Redirect URL .*: ", ""),
        (r"Save this profile\? \[Y/n\]: ", ""),
    ]
    for prompt, answer in answers:
        child.expect(prompt)
        child.sendline(answer)
    child.expect(r"Make 'crm' the primary Salesforce connection\? \[Y/n\]: ")
    wait_until_reading(child)
    child.sendintr()
    child.expect("Profile 'crm' was saved; it was not made the primary Salesforce connection.")
    if last is not None:
        child.expect(last)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == status
    assert manager.tallyra() == ["crm"]
    assert manager.get_primary_connection("salesforce") is None


def test_version_and_grouped_help(home):
    from kavrel import __version__

    assert kavrel(home, "--version").stdout == f"kavrel {__version__}\n"
    text = kavrel(home, "--help").stdout
    titles = [
        "Load a query's or a CSV file's rows into Salesforce:",
        "Look after ingest jobs:",
        "Saved connections:",
    ]
    assert all(title in text for title in titles)
    positions = [text.index(f"\n  {command} ") for command in ("upsert", "job", "connection")]
    assert positions == sorted(positions)


def test_concurrent_adds_of_one_name_save_it_once(home):
    options = ["--name", "crm", "--my-domain", "acme", "--no-interactive", "--client-id"]
    command = [KAVREL, "connection", "add", "--salesforce", *options]
    env = {**os.environ, "HOME": str(home), "KAVREL_CLIENT_KEY": "secret"}
    adds = [subprocess.Popen([*command, f"app{n}"], env=env, stderr=subprocess.PIPE, text=True,
                             stdout=subprocess.DEVNULL) for n in range(8)]  # fmt: skip
    outcomes = [(add.wait(timeout=120), add.communicate()[1]) for add in adds]
    assert sorted(status for status, _ in outcomes) == [0] + [1] * 7
    winner = next(n for n, (status, _) in enumerate(outcomes) if status == 0)
    assert manager.tallyra() == ["crm"]
    assert manager.load_connection("crm")["client_id"] == f"app{winner}"
    refusals = [err for status, err in outcomes if status == 1]
    assert all("a salesforce profile named 'crm' already exists" in err for err in refusals)


DAMAGED = {
    "garbage": b"[dev\nuser = \n",
    "non-table entry": b"stray = 1\n[dev]\nuser = 'u'\n",
    "bad UTF-8": b"[dev]\nuser = '\xff'\n",
    "array of tables": b"[[dev]]\nuser = 'u'\n",
}
COMMANDS = [
    ["connection", "list"], ["connection", "list", "--json"], ["connection", "remove", "dev"],
    ["connection", "set-default", "dev"], ["connection", "test", "dev"],
    ["connection", "add", "--salesforce", "--name", "crm", "--no-interactive"],
    ["mintova", "--snowflake"], ["job", "status", "750x"],
    ["insert", "--sobject", "Account", "--query", "SELECT 1"],
]  # fmt: skip


@pytest.mark.parametrize("damage", DAMAGED)
def test_a_damaged_store_is_one_line_naming_the_file(home, capsys, damage):
    from kavrel.cli.main import main

    velmora = manager.initialize_velmora_directory()
    (velmora / "connections.toml").write_bytes(DAMAGED[damage])
    for command in COMMANDS:
        assert main(command) == 1, command
        out, err = capsys.readouterr()
        assert err.startswith("Error: "), (command, err)
        assert err.count("\n") == 1, (command, err)
        assert not out or "error" in json.loads(out), command
        assert str(velmora / "connections.toml") in err, command
    assert main(["tallyra"]) == 1
    out, err = capsys.readouterr()
    assert out.startswith("Error listing connections: ")
    assert "Traceback" in err
