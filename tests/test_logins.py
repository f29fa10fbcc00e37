"""Logging in without client credentials: JWT bearer assertions and browser logins, from the
command line against the local server (a test script plays the browser), the private file they
are kept in, and tokens renewed in the middle of a load."""

from __future__ import annotations

import base64
import hashlib
import importlib.util
import json
import re
import shutil
import socket
import sqlite3
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests
from command import run_kavrel

from kavrel import load
from kavrel.cli.main import main
from kavrel.salesforce import browser_login, jwt_assertion
from kavrel.salesforce.emulator import BulkApiEmulator
from kavrel.user import logins
from kavrel.user.connections import manager

SESSION_ENDED = [{"errorCode": "INVALID_SESSION_ID", "message": "Session expired or invalid"}]
NAMES = [f"Account {n}" for n in range(30)]
PRODUCTION = "https://login.salesforce.com"


@pytest.fixture(scope="module")
def jwt_key(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path, Path]:
    """An unencrypted RSA key, the self-signed certificate a connected app would hold, and
    another key that certificate does not belong to."""
    if not shutil.which("openssl"):
        pytest.skip("making RSA keys and certificates here needs openssl")
    folder = tmp_path_factory.mktemp("jwt")
    key, cert, other = folder / "server.key", folder / "server.crt", folder / "other.key"
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1"]
    command += ["-subj", "/CN=kavrel-test", "-keyout", str(key), "-out", str(cert)]
    subprocess.run(command, check=True, capture_output=True)
    subprocess.run(
        ["openssl", "genrsa", "-out", str(other), "2048"], check=True, capture_output=True
    )
    return key, cert, other


@pytest.fixture
def warehouse(tmp_path: Path) -> Path:
    path = tmp_path / "warehouse.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE accounts (Name TEXT)")
        connection.executemany("INSERT INTO accounts VALUES (?)", [(n,) for n in NAMES])
    connection.close()
    return path


kavrel = run_kavrel


def insert(home: Path, warehouse: Path, *org: str, **env: str) -> subprocess.CompletedProcess:
    query = ["--query", "SELECT Name FROM accounts", "--sqlite", str(warehouse)]
    return kavrel(home, "insert", "--sobject", "Account", *query, "--batch-size", "10", *org, **env)


def tokens_sent(server: BulkApiEmulator) -> set[str]:
    return {h["Authorization"].split()[1] for _, _, h, _ in server.requests if "Authorization" in h}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_a_jwt_profile_from_creation_to_removal(home, jwt_key, warehouse):
    key, cert, _ = jwt_key
    with BulkApiEmulator(client_id="app", jwt_cert=cert) as server:
        login = ["--login-url", server.base_url]
        options = ["--name", "ci", "--client-id", "app", "--my-domain", "acme", "--no-interactive"]
        jwt = ["--username", "loader@example.com", "--jwt-key-file", str(key)]
        assert kavrel(home, "connection", "add", "--salesforce", *options, *jwt).returncode == 0
        tested = kavrel(home, "connection", "test", "ci", *login)
        assert tested.stdout == (
            f"✓ Connection 'ci' works: got an access token for {server.base_url} (JWT bearer).\n"
        )
        listed = json.loads(kavrel(home, "connection", "list", "--json").stdout)
        assert listed["connections"][0]["login"] == {
            "flow": "jwt",
            "username": "loader@example.com",
            "jwt_key_file": str(key),
            "logged_in": True,
        }
        assert "loader" not in (home / ".velmora" / "connections.toml").read_text()
        assert stat.S_IMODE(logins.logins_file().stat().st_mode) == 0o600

        loaded = insert(home, warehouse, "--salesforce", "ci", *login)
        assert loaded.returncode == 0, loaded.stderr
        assert sorted(row["Name"] for row in server.rows("Account")) == sorted(NAMES)
        outputs = tested.stdout + tested.stderr + loaded.stdout + loaded.stderr
        assert not any(token in outputs for token in tokens_sent(server))

    assert kavrel(home, "connection", "remove", "ci").returncode == 0
    assert "ci" not in logins.logins_file().read_text()


def test_a_browser_login_lasts_through_a_load_of_several_token_lifetimes(home, tmp_path, warehouse):
    port = free_port()
    browser = tmp_path / "browser"  # follows the org's redirect as a browser would
    browser.write_text(
        f"#!{sys.executable}\nimport sys, requests\n"
        "page = requests.get(sys.argv[1], allow_redirects=False, timeout=10)\n"
        "requests.get(page.headers['Location'], timeout=10).raise_for_status()\n"
    )
    browser.chmod(0o700)
    with BulkApiEmulator(client_id="app", token_lifetime=0.5, processing_rate=20) as server:
        redirect = f"http://localhost:{port}/OauthRedirect"
        options = ["--name", "web", "--client-id", "app", "--my-domain", "acme", "--flow"]
        options += ["browser", "--redirect-url", redirect, "--no-interactive"]
        assert kavrel(home, "connection", "add", "--salesforce", *options).returncode == 0
        before = kavrel(home, "connection", "test", "web")
        assert "has not logged in yet; run `kavrel connection login web`" in before.stderr

        logged_in = kavrel(
            home, "connection", "login", "web", "--login-url", server.base_url, BROWSER=str(browser)
        )
        assert logged_in.returncode == 0, logged_in.stderr
        assert logged_in.stdout.startswith(f"✓ Logged in with 'web' to {server.base_url};")
        refresh_token = logins.login_of("web", manager.load_connection("web"))["refresh_token"]

        loaded = insert(home, warehouse, "--salesforce", "web")  # the login knows its host
        assert loaded.returncode == 0, loaded.stderr
        assert sorted(row["Name"] for row in server.rows("Account")) == sorted(NAMES)
        assert loaded.stderr.count("🔑 The session ended; logged in again") >= 2

        # The fixed token, counted from the server's start, has long run out too.
        given = insert(
            home, warehouse, "--instance-url", server.base_url, SF_ACCESS_TOKEN="local-token"
        )
        assert given.returncode == 1
        assert (
            "The load stopped early: the session ended at the creation of batch 1's job and the "
            "access token cannot be renewed: it was given as it is, without a profile to log in "
            "again with; no further job was created.\n"
        ) in given.stdout
        outputs = "".join(p.stdout + p.stderr for p in (before, logged_in, loaded, given))
        assert not any(t in outputs for t in {refresh_token, *tokens_sent(server)})


@pytest.mark.parametrize(
    ("answer", "status", "message"),
    [
        (lambda location: location, 0, "✓ Logged in with 'web'"),
        (lambda location: re.sub("state=[^&]+", "state=other", location), 1, "its state differs"),
        (
            lambda location: re.sub("code=[^&]+", "error=access_denied", location),
            1,
            "Salesforce refused the login: access_denied",
        ),
    ],
    ids=["pasted", "another-login", "refused"],
)
def test_a_login_without_a_browser_takes_the_address_pasted_back(
    home, bulk_server, monkeypatch, capsys, answer, status, message
):
    manager.save_connection_config("web", {"client_id": "app", "my_domain": "acme"}, "salesforce")

    def paste(prompt: str) -> str:  # the user opens the printed address elsewhere
        url = re.search(r"http\S+/services/oauth2/authorize\S+", capsys.readouterr().err)[0]
        return answer(requests.get(url, allow_redirects=False, timeout=10).headers["Location"])

    monkeypatch.setattr("builtins.input", paste)
    login = ["connection", "login", "web", "--login-url", bulk_server.base_url, "--no-browser"]
    assert main(login) == status
    out, err = capsys.readouterr()
    assert message in out + err
    saved = logins.login_of("web", manager.load_connection("web"))
    assert (saved or {}).get("flow") == ("browser" if status == 0 else None)


@pytest.mark.parametrize("renewable", [True, False])
def test_a_load_renews_its_session_once_per_refused_request(bulk_server, tmp_path, renewable):
    bulk_server.reject_records("Name", "Account 3", "FIELD_CUSTOM_VALIDATION_EXCEPTION:no:--")
    # A job's status read ends with its id ("...AAA"), unlike the org's limits read before it.
    refused = [("POST", "/jobs/ingest"), ("PUT", "/batches"), ("PATCH", ""), ("GET", "AAA")]
    refused += [("GET", "/failedResults/")]
    for method, suffix in refused if renewable else refused[3:4]:
        bulk_server.fail_next_request(method, suffix, 401, SESSION_ENDED)
    renewals = []

    def renew() -> dict[str, str]:
        renewals.append(1)
        return bulk_server.access_info

    connection = sqlite3.connect(":memory:")
    connection.execute("CREATE TABLE a (Name TEXT)")
    connection.executemany("INSERT INTO a VALUES (?)", [(n,) for n in NAMES[:10]])
    summary = load.load(
        connection,
        "SELECT Name FROM a",
        bulk_server.access_info,
        "Account",
        "insert",
        results_dir=tmp_path,
        renew=renew if renewable else None,
    )
    job_id = summary.jobs[0].job_id
    if renewable:
        assert (len(renewals), summary.totals()["succeeded"], len(summary.jobs)) == (5, 9, 1)
        assert (tmp_path / f"{job_id}-failed.csv").read_text().count("Account 3") == 1
    else:
        assert summary.exit_status == 1
        assert summary.stopped == (
            f"the session ended at job {job_id} (batch 1) and the access token cannot be renewed: "
            "it was given as it is, without a profile to log in again with; no further job was "
            "created"
        )
    assert len(bulk_server.rows("Account")) == 9  # every row once, the job never made twice


def assertion_for(server: BulkApiEmulator, key: Path, **changes) -> str:
    claims = {"client_id": "app", "username": "u@example.com", "audience": server.base_url}
    claims.update(changes)
    return jwt_assertion.assertion(key_file=key, **claims)


@pytest.mark.parametrize(
    ("grant", "error"),
    [
        (lambda s, key, other: {"assertion": assertion_for(s, other)}, "invalid assertion"),
        (
            lambda s, key, other: {"assertion": assertion_for(s, key, audience=PRODUCTION)},
            "audience is invalid",
        ),
        (
            lambda s, key, other: {"assertion": assertion_for(s, key, now=time.time() - 600)},
            "expired assertion",
        ),
        (
            lambda s, key, other: {"assertion": assertion_for(s, key, client_id="x")},
            "client identifier invalid",
        ),
        (lambda s, key, other: code_form(s, code_verifier="wrong"), "invalid code verifier"),
        (lambda s, key, other: code_form(s, redirect_uri="http://x/"), "redirect_uri must match"),
        (
            lambda s, key, other: {"grant_type": "refresh_token", "refresh_token": "made-up"},
            "expired access/refresh token",
        ),
    ],
    ids=["signed-by-another", "audience", "expired", "issuer", "pkce", "redirect", "refresh"],
)
def test_the_local_server_refuses_what_an_org_refuses(jwt_key, grant, error):
    key, cert, other = jwt_key
    with BulkApiEmulator(client_id="app", jwt_cert=cert) as server:
        form = {"grant_type": "urn:ietf:params:oauth:grant-type:jwt-bearer", "client_id": "app"}
        form.update(grant(server, key, other))
        answer = requests.post(server.base_url + "/services/oauth2/token", data=form, timeout=10)
    assert answer.status_code == 400
    assert answer.json()["error_description"].startswith(error)


def code_form(server: BulkApiEmulator, **changes: str) -> dict[str, str]:
    """An authorization code's exchange, changed as given."""
    verifier = "v" * 50
    challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=")
    redirect_uri = "http://localhost:1717/OauthRedirect"
    query = {"response_type": "code", "client_id": "app", "redirect_uri": redirect_uri}
    query.update(code_challenge=challenge.decode(), code_challenge_method="S256")
    authorize = server.base_url + "/services/oauth2/authorize"
    location = requests.get(authorize, params=query, allow_redirects=False, timeout=10)
    code = re.search("code=([^&]+)", location.headers["Location"])[1]
    form = {"grant_type": "authorization_code", "code": requests.utils.unquote(code)}
    form.update(redirect_uri=redirect_uri, code_verifier=verifier)
    return {**form, **changes}


CRYPTOGRAPHY = importlib.util.find_spec("cryptography") is not None


@pytest.mark.parametrize(
    "signers",
    [
        pytest.param(
            jwt_assertion.SIGNERS[:1],
            marks=pytest.mark.skipif(not CRYPTOGRAPHY, reason="no cryptography package"),
        ),
        pytest.param(
            jwt_assertion.SIGNERS[1:],
            marks=pytest.mark.skipif(not shutil.which("openssl"), reason="no openssl"),
        ),
        (),
    ],
    ids=["cryptography", "openssl", "neither"],
)
def test_an_assertion_is_signed_where_either_signer_is_installed(jwt_key, signers):
    key, cert, _ = jwt_key
    with BulkApiEmulator(jwt_cert=cert) as server:
        if not signers:
            with pytest.raises(jwt_assertion.SigningError, match="pip install cryptography"):
                jwt_assertion.assertion("app", "u", server.base_url, key, signers=signers)
            return
        signed = jwt_assertion.assertion("app", "u", server.base_url, key, signers=signers)
        form = {"grant_type": "urn:ietf:params:oauth:grant-type:jwt-bearer", "assertion": signed}
        answer = requests.post(server.base_url + "/services/oauth2/token", data=form, timeout=10)
    assert answer.status_code == 200, answer.text


def test_the_listener_turns_away_other_answers_and_waits_for_its_own():
    port = free_port()
    listener = browser_login.listen(f"http://localhost:{port}/OauthRedirect", "mine")
    try:
        base = f"http://127.0.0.1:{port}"
        other = requests.get(f"{base}/OauthRedirect?code=theirs&state=other", timeout=10)
        assert (other.status_code, requests.get(f"{base}/", timeout=10).status_code) == (400, 404)
        ours = requests.get(f"{base}/OauthRedirect?code=ours&state=mine", timeout=10)
        assert (ours.status_code, listener.wait(5)) == (200, "ours")
    finally:
        listener.close()


def test_a_login_counts_only_for_the_connected_app_it_was_saved_for(home):
    profile = {"client_id": "app", "my_domain": "acme"}
    manager.save_connection_config("crm", profile, "salesforce")
    made_at = {"login_url": "https://acme.my.salesforce.com", "refresh_token": "R"}
    logins.save_login("crm", {"flow": "browser", "client_id": "app", **made_at})
    assert logins.ProfileLogin("crm", manager.load_connection("crm")).flow == "browser"
    manager.save_connection_config("crm", {**profile, "client_id": "another"}, "salesforce")
    assert logins.ProfileLogin("crm", manager.load_connection("crm")).flow == "client-credentials"


@pytest.mark.parametrize(
    ("flow", "client_key", "details"),
    [
        ("client-credentials", None, "client ID app, client key not set"),
        ("jwt", None, "client ID app"),
        ("browser", None, "client ID app"),
    ],
)
def test_the_listing_names_a_missing_client_key_only_where_the_login_needs_one(
    home, capsys, flow, client_key, details
):
    profile = {"client_id": "app", "my_domain": "acme", "client_key": client_key}
    manager.save_connection_config("crm", profile, "salesforce")
    if flow != "client-credentials":
        logins.save_login("crm", {"flow": flow, "client_id": "app", "username": "u"})
    capsys.readouterr()
    assert main(["connection", "list"]) == 0
    row = capsys.readouterr().out.splitlines()[1]
    assert row.endswith(f"My Domain acme, {details}")
