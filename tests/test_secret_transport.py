from __future__ import annotations

import pytest

from kavrel.cli.main import main
from kavrel.salesforce import oauth

PLAIN = "uses http://, which would send the"


@pytest.mark.parametrize(
    ("url", "refusal"),
    [("https://acme.my.salesforce.com", None), ("http://127.8.9.10:8080", None),
     ("http://localhost:1717/", None), ("http://[::1]:80", None),
     ("http://10.0.0.1", PLAIN), ("http://localhost.example.com", PLAIN),
     ("http://127.0.0.1.example.com", PLAIN), ("ftp://acme.example.com", "must begin with https")],
)  # fmt: skip
def test_secrets_go_only_encrypted_or_to_this_machine(monkeypatch, url, refusal):
    monkeypatch.setattr(oauth.requests, "post", pytest.fail)
    if refusal is None:
        assert oauth.token_url({}, url) == url.rstrip("/") + oauth.TOKEN_PATH
        return
    with pytest.raises(oauth.OAuthError, match=f"^--login-url {url} {refusal}"):
        oauth.request_token({"client_id": "i", "client_key": "S3CRET"}, url)


@pytest.mark.parametrize(
    ("url", "token", "message"),
    [("http://sf.example.com", "T0K", "--instance-url http://sf.example.com " + PLAIN),
     ("https://sf.example.com", "T0K\nLEAK", "the access token holds a line break"),
     ("sf.example.com", "T0K\u00e9\x7f", "the access token holds a line break")],
)  # fmt: skip
def test_instance_url_and_token_are_checked_without_echoing_the_token(
    monkeypatch, capsys, url, token, message
):
    monkeypatch.setenv("SF_ACCESS_TOKEN", token)
    assert main(["insert", "--sobject", "A", "--query", "q", "--instance-url", url]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"Error: {message}") and err.count("\n") == 1
    assert "T0K" not in err
