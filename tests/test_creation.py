"""The creation commands: what the user sees and the exit status for each outcome of the
authentication function they hand the work to."""

from __future__ import annotations

import pytest

from kavrel.cli.commands import mintova

RULE = "=" * 60
COMMANDS = [("snowflake", "authenticate"), ("salesforce", "authenticate_salesforce")]


def test_bindings_come_from_the_authentication_modules():
    from kavrel.user.auth import authenticate
    from kavrel.user.salesforce_auth import authenticate_salesforce

    assert mintova.authenticate is authenticate
    assert mintova.authenticate_salesforce is authenticate_salesforce


@pytest.mark.parametrize(("command", "binding"), COMMANDS)
@pytest.mark.parametrize(
    ("result", "status", "expected"),
    [
        ({"connection_type": "x"}, 0, f"\n{RULE}\n✓ Connection created successfully!\n{RULE}\n"),
        ("created", 0, f"\n{RULE}\n✓ Connection created successfully!\n{RULE}\n"),
        (None, 1, "\n✗ Connection creation cancelled or failed.\n"),
        ({}, 1, "\n✗ Connection creation cancelled or failed.\n"),
        (False, 1, "\n✗ Connection creation cancelled or failed.\n"),
    ],
)
def test_outcome_follows_the_truth_of_the_result(
    monkeypatch, capsys, command, binding, result, status, expected
):
    calls = []
    monkeypatch.setattr(mintova, binding, lambda *args, **kwargs: calls.append(args) or result)
    assert getattr(mintova, command)() == status
    assert calls == [()]
    assert capsys.readouterr() == (expected, "")


@pytest.mark.parametrize(("command", "binding"), COMMANDS)
def test_ctrl_c_is_a_cancellation_without_traceback(monkeypatch, capsys, command, binding):
    def interrupted():
        print("Profile name: ", end="")
        raise KeyboardInterrupt

    monkeypatch.setattr(mintova, binding, interrupted)
    assert getattr(mintova, command)() == 1
    assert capsys.readouterr() == (
        "Profile name: \n\n✗ Connection creation cancelled by user\n",
        "",
    )


@pytest.mark.parametrize(("command", "binding"), COMMANDS)
def test_error_prints_its_text_and_a_traceback_ending_with_it(
    monkeypatch, capsys, command, binding
):
    def failing_authentication():
        raise ValueError("bad account")

    monkeypatch.setattr(mintova, binding, failing_authentication)
    assert getattr(mintova, command)() == 1
    out, err = capsys.readouterr()
    assert out == "\n✗ Error creating connection: bad account\n"
    assert err.startswith("Traceback (most recent call last):\n")
    assert "in failing_authentication" in err
    assert err.endswith("ValueError: bad account\n")


@pytest.mark.parametrize(("command", "binding"), COMMANDS)
@pytest.mark.parametrize("escape", [SystemExit(3), GeneratorExit()])
def test_exceptions_outside_the_error_family_pass_through(
    monkeypatch, capsys, command, binding, escape
):
    def leaving():
        raise escape

    monkeypatch.setattr(mintova, binding, leaving)
    with pytest.raises(type(escape)):
        getattr(mintova, command)()
    assert capsys.readouterr() == ("", "")
