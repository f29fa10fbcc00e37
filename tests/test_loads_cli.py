from __future__ import annotations

import argparse
import io
from pathlib import Path

import pytest

from kavrel.cli import loads
from kavrel.cli.main import main


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["upsert", "--sobject", "A", "--external-id", "X", "--query", "q", "--batch-size", "0"],
         "--batch-size: must be a positive whole number, not '0'"),
        (["upsert", "--sobject", "A", "--external-id", "X", "--query", "q", "--batch-size", "-5"],
         "--batch-size: must be a positive whole number, not '-5'"),
        (["upsert", "--sobject", "A", "--external-id", "X", "--query", "q", "--batch-size", "1e3"],
         "--batch-size: must be a positive whole number, not '1e3'"),
        (["insert", "--sobject", "A"],
         "one of the arguments --query --query-file --csv/-f is required"),
        (["delete", "--sobject", "A", "--query", "q", "--query-file", "f"],
         "argument --query-file: not allowed with argument --query"),
        (["update", "--sobject", "A", "--query", "q", "--sqlite", "a", "--duckdb", "b"],
         "argument --duckdb: not allowed with argument --sqlite"),
        (["insert", "--sobject", "A", "--query", "q", "--salesforce", "p", "--instance-url", "u"],
         "argument --instance-url: not allowed with argument --salesforce"),
        (["upsert", "--sobject", "A", "--query", "q"],
         "the following arguments are required: --external-id"),
        # A mistyped option is named before a missing one, with the one it likely meant.
        (["upsert", "-s", "A", "--query", "q", "--batchsize", "3"],
         "error: unrecognized option --batchsize; did you mean --batch-size?"),
        (["delete", "-s", "A", "-f", "x.csv", "--hard", "--dryrun"],
         "error: unrecognized option --dryrun; did you mean --dry-run?"),
        (["job", "status", "--jobid", "750x"], "did you mean --job-id?"),
        (["job", "stauts", "750x"], "invalid choice: 'stauts'; did you mean 'status'?"),
        (["insert", "-s", "A", "--query", "q", "--api-version", "v62.x"],
         "--api-version: must be an API version such as 62.0, not 'v62.x'"),
    ],
)  # fmt: skip
def test_bad_arguments_are_refused_before_anything_runs(
    argv: list[str], message: str, home: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert message in err
    assert err.startswith(f"usage: kavrel {argv[0]} ")  # the command's usage, not kavrel's
    assert list(home.iterdir()) == []


@pytest.mark.parametrize(
    ("text", "message"),
    [(" ;\n", "Error: the query is empty"), (None, "Error: cannot read the query file")],
)
def test_unusable_query_file(
    text: str | None, message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    query_file = tmp_path / "q.sql"
    if text is not None:
        query_file.write_text(text)
    argv = ["insert", "--sobject", "A", "--query-file", str(query_file), "--sqlite", "x.db"]
    assert main(argv) == 1
    assert capsys.readouterr().err.startswith(message)


def test_instance_url_needs_the_token_from_the_environment(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.delenv("SF_ACCESS_TOKEN", raising=False)
    argv = ["insert", "--sobject", "A", "--query", "select 1", "--instance-url", "http://x"]
    assert main(argv) == 1
    assert capsys.readouterr().err == (
        "Error: --instance-url needs the access token in the environment variable SF_ACCESS_TOKEN\n"
    )


@pytest.mark.parametrize(
    ("text", "query"),
    [
        ("SELECT Id FROM t;\n\n", "SELECT Id FROM t"),
        ("SELECT Id FROM t ; ;", "SELECT Id FROM t"),
        ("SELECT Id -- key\nFROM t -- all of them\n", "SELECT Id -- key\nFROM t -- all of them\n"),
    ],
)  # fmt: skip
def test_query_text_survives_being_wrapped(
    text: str, query: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    assert loads._read_query(argparse.Namespace(query=text, query_file=None)) == query
    monkeypatch.setattr("sys.stdin", io.StringIO(text))  # --query-file -
    assert loads._read_query(argparse.Namespace(query=None, query_file="-")) == query
