from __future__ import annotations

import pytest

from kavrel.cli.main import main
from kavrel.salesforce import oauth

PLAIN = "uses http://, which would send the"


@pytest.mark.parametrize(
    ("url", "refusal"),
    [
        ("https://acme.my.salesforce.com", None),
        ("http://127.0.0.1:8080", None),
        ("http://127.8.9.10", None),
        ("http://localhost:1717/", None),
        ("http://[::1]:80", None),
        ("http://acme.my.salesforce.com", PLAIN),
        ("http://10.0.0.1", PLAIN),
        ("http://localhost.example.com", PLAIN),
        ("http://127.0.0.1.example.com", PLAIN),
        ("ftp://acme.example.com", "must begin with https://"),
    ],
)
def test_secrets_go_only_encrypted_or_to_this_machine(url, refusal):
    if refusal is None:
        assert oauth.require_encrypted(url, "client secret", "--login-url") == url
    else:
        with pytest.raises(oauth.OAuthError, match=refusal):
            oauth.require_encrypted(url, "client secret", "--login-url")


def test_login_url_over_plain_http_is_refused_before_the_secret_is_sent(monkeypatch):
    monkeypatch.setattr(oauth.requests, "post", pytest.fail)
    with pytest.raises(oauth.OAuthError) as raised:
        oauth.request_token({"client_id": "i", "client_key": "S3CRET"}, "http://login.example.com")
    assert str(raised.value).startswith("--login-url http://login.example.com uses http://")
    assert "client secret unencrypted" in str(raised.value)


@pytest.mark.parametrize(
    ("url", "token", "message"),
    [
        ("http://sf.example.com", "T0KEN", "--instance-url http://sf.example.com " + PLAIN),
        ("https://sf.example.com", "T0KEN\nLEAK", "the access token holds a line break"),
        ("sf.example.com", "T0K\u00e9N\x7f", "the access token holds a line break"),
    ],
)
def test_instance_url_and_token_are_checked_without_echoing_the_token(
    monkeypatch, capsys, url, token, message
):
    monkeypatch.setenv("SF_ACCESS_TOKEN", token)
    argv = ["insert", "--sobject", "A", "--query", "select 1", "--instance-url", url]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"Error: {message}")
    assert "T0K" not in err and "LEAK" not in err and err.count("\n") == 1
