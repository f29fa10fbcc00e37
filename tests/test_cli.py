"""The `kavrel` command from a shell: creating a profile at a real terminal, then listing it."""

from __future__ import annotations

import io
import time
from pathlib import Path

import pexpect
import pytest
from command import KAVREL, environment, run_kavrel

kavrel = run_kavrel


def spawn(home: Path, *args: str) -> tuple[pexpect.spawn, io.StringIO]:
    transcript = io.StringIO()
    child = pexpect.spawn(KAVREL, list(args), env=environment(home), encoding="utf-8", timeout=30)
    child.logfile_read = transcript
    return child, transcript


def wait_until_reading(child: pexpect.spawn) -> None:
    """Waits until the child sleeps in its read of the terminal. The interpreter writes a prompt
    before it starts reading, and an interrupt that lands in between is only acted on once the
    read returns, so sending Ctrl-C on sight of the prompt can hang on a slow (or emulated)
    machine. Where /proc cannot tell, it goes on at once."""
    stat = Path(f"/proc/{child.pid}/stat")
    for _ in range(1000):
        try:
            state = stat.read_text().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            return
        if state == "S":
            return
        time.sleep(0.01)


def test_create_a_snowflake_profile_at_a_terminal_then_list_it(home, tmp_path, private_key):
    (tmp_path / "keys").mkdir()
    key = private_key(tmp_path / "keys" / "rsa_key.p8", "s3cret passphrase")
    child, transcript = spawn(home, "mintova", "--snowflake")
    for prompt, answer in [
        ("Profile name: ", "dev"),
        ("Account identifier: ", "xy12345"),
        ("User: ", "LOADER"),
        ("Role: ", "LOADER_ROLE"),
        ("Warehouse: ", "LOAD_WH"),
        ("Database: ", ""),
        ("Schema: ", ""),
        ("Private key file: ", str(tmp_path / "keys" / "rsa_key.pub")),
        ("No such file: .*rsa_key.pub\r\nPrivate key file: ", str(key)),
        ("Private key passphrase: ", "s3cret passphrase"),
        (r"Save this profile\? \[Y/n\]: ", ""),
        (r"Make 'dev' the primary Snowflake connection\? \[Y/n\]: ", "y"),
    ]:
        child.expect(prompt)
        child.sendline(answer)
    child.expect("✓ Connection created successfully!")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "s3cret" not in transcript.getvalue()

    copied = home / ".velmora" / "rsa_key.p8"
    assert copied.read_bytes() == key.read_bytes()
    listed = kavrel(home, "tallyra")
    assert listed.returncode == 0, listed.stderr
    assert "\n1. dev (PRIMARY SNOWFLAKE)\n" in listed.stdout
    assert "   Private Key:   rsa_key.p8\n   Passphrase:    (set)\n" in listed.stdout
    assert "Primary Snowflake: dev\n" in listed.stdout
    assert "s3cret" not in listed.stdout + listed.stderr


@pytest.mark.parametrize("flag", ["--snowflake", "--salesforce"])
def test_ctrl_c_at_a_prompt_cancels_with_status_1(home, flag):
    child, transcript = spawn(home, "mintova", flag)
    child.expect("Profile name: ")
    wait_until_reading(child)
    child.sendintr()
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 1
    assert "✗ Connection creation cancelled by user" in transcript.getvalue()
    assert "Traceback" not in transcript.getvalue()
    assert not (home / ".velmora").exists()


@pytest.mark.parametrize(
    ("args", "status", "stdout", "stderr"),
    [
        (["tallyra"], 1, "No connections file found. Create a connection first using:\n", ""),
        (["mintova", "--snowflake"], 1, "nothing saved.\n\n✗ Connection creation cancelled", ""),
        (["mintova"], 2, "", "one of the arguments --snowflake --salesforce is required"),
        (["mintova", "--snowflake", "--salesforce"], 2, "", "not allowed with argument"),
        (["--help"], 0, "tallyra", ""),
        (["mintova", "--help"], 0, "--salesforce", ""),
        (["tallyra", "--help"], 0, "primary", ""),
    ],
)
def test_exit_status_is_the_commands_status(home, args, status, stdout, stderr):
    result = kavrel(home, *args)
    assert result.returncode == status
    assert stdout in result.stdout
    assert stderr in result.stderr
