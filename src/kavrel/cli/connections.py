"""`kavrel connection ...`, `kavrel tallyra` and `kavrel mintova`: list, create, remove, test
saved connection profiles, choose the primary ones, and log Salesforce profiles in by browser.

The command modules are imported when a command runs, so one that cannot load (its
authentication modules missing, say) does not take `kavrel --help` or the other command with it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import io
import logging
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from kavrel.cli import output
from kavrel.cli.completion import takes_profile
from kavrel.cli.ending import Told
from kavrel.cli.errors import CommandError
from kavrel.cli.options import snowflake_option

KINDS = ("snowflake", "salesforce")
TITLES = {"snowflake": "Snowflake", "salesforce": "Salesforce"}


def _run_tallyra(_args: argparse.Namespace) -> int:
    return importlib.import_module("kavrel.cli.commands.tallyra").tallyra()


def _run_mintova(args: argparse.Namespace) -> int:
    _refuse_a_damaged_store()
    commands = importlib.import_module("kavrel.cli.commands.mintova")
    return getattr(commands, args.service)()


def _refuse_a_damaged_store() -> None:
    """Stops with one line when the connections file cannot be read, for the commands whose own
    handling of that would end in a traceback."""
    try:
        _store().tallyra()
    except Exception as error:
        problem = output.store_problem(error)
        if problem is not None:
            raise CommandError(problem) from None


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    _register_connection(subparsers)
    listing = subparsers.add_parser(
        "tallyra",
        help="list the saved connection profiles",
        description=(
            "List the saved Snowflake and Salesforce connection profiles with their details "
            "(secrets are shown only as set or not set) and mark the primary profile of each "
            "type. Profiles are kept in ~/.velmora/connections.toml."
        ),
    )
    listing.set_defaults(run=_run_tallyra)

    creation = subparsers.add_parser(
        "mintova",
        help="create a connection profile interactively",
        description=(
            "Create a connection profile by answering a few questions, save it to\n"
            "~/.velmora/connections.toml and, if you wish, make it the primary profile of\n"
            "its type. Secrets are read without echo. Ctrl-C at any prompt cancels."
        ),
        epilog="examples:\n  kavrel mintova --snowflake\n  kavrel mintova --salesforce",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    service = creation.add_mutually_exclusive_group(required=True)
    service.add_argument(
        "--snowflake",
        dest="service",
        action="store_const",
        const="snowflake",
        help="a Snowflake profile with key-pair authentication (account, user, role, "
        "warehouse, database, schema, private key file and its passphrase); the key file is "
        "copied into ~/.velmora",
    )
    service.add_argument(
        "--salesforce",
        dest="service",
        action="store_const",
        const="salesforce",
        help="a Salesforce profile for a connected app (client ID, client key, My Domain, "
        "sandbox or not, redirect URL)",
    )
    creation.set_defaults(run=_run_mintova)


# --- `kavrel connection list|add|remove|set-default|test` --------------------------------------

# What `--json` shows of a profile: never a secret, only whether one is set.
_SHOWN_KEYS = {
    "snowflake": ("account", "user", "role", "warehouse", "database", "schema", "private_key_file"),
    "salesforce": ("client_id", "my_domain", "sandbox", "redirect_url"),
}
_SECRET_KEYS = {"snowflake": "private_key_passphrase", "salesforce": "client_key"}
SECRET_VARIABLES = {
    "private_key_passphrase": "KAVREL_PRIVATE_KEY_PASSPHRASE",
    "client_key": "KAVREL_CLIENT_KEY",
}
_ADD_OPTIONS = {
    "snowflake": (
        ("account", "account identifier (xy12345, or the account URL)"),
        ("user", "user name"),
        ("role", "role"),
        ("warehouse", "warehouse"),
        ("database", "database"),
        ("schema", "schema"),
        ("private_key_file", "PEM private key file (.p8); copied into ~/.velmora"),
        (
            "private_key_passphrase",
            "passphrase of an encrypted key (better: the environment variable "
            f"{SECRET_VARIABLES['private_key_passphrase']}, which no process list shows)",
        ),
    ),
    "salesforce": (
        ("client_id", "connected app's client ID (consumer key)"),
        (
            "client_key",
            "connected app's client secret (better: the environment variable "
            f"{SECRET_VARIABLES['client_key']})",
        ),
        ("my_domain", "My Domain (acme for https://acme.my.salesforce.com)"),
        ("redirect_url", "redirect URL (where a browser login comes back)"),
        ("username", "(--flow jwt) the Salesforce user the JWT bearer flow logs in"),
        (
            "jwt_key_file",
            "(--flow jwt) PEM private key (unencrypted RSA) whose certificate the connected app "
            "holds; the profile refers to it where it is",
        ),
    ),
}
_LOGIN_OPTIONS = ("username", "jwt_key_file")


def _store():
    from kavrel.user import connections

    return connections


@contextlib.contextmanager
def _stdout_for(args: argparse.Namespace) -> Iterator[None]:
    """With --json the store's and the prompts' own lines go to standard error, so that standard
    output holds only the document."""
    if args.json:
        with contextlib.redirect_stdout(sys.stderr):
            yield
    else:
        yield


@contextlib.contextmanager
def _store_quiet() -> Iterator[None]:
    """The store confirms its changes on standard output in its own words; a command says once,
    in its words, what it did."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield


def _load_profile(name: str) -> dict[str, Any]:
    try:
        profile = _store().load_connection(name)
    except FileNotFoundError:
        profile = None
    if not profile:
        raise CommandError(f"no connection profile named '{name}' (kavrel connection list)")
    return profile


def _kind(profile: dict[str, Any]) -> str:
    from kavrel.user.connections import profile_type

    return profile_type(profile)


def profile_document(name: str, profile: dict[str, Any], primaries: dict[str, Any]) -> dict:
    kind = _kind(profile)
    document: dict[str, Any] = {"name": name, "type": kind, "primary": primaries.get(kind) == name}
    for key in _SHOWN_KEYS.get(kind, ()):
        document[key] = profile.get(key)
    if kind in _SECRET_KEYS:
        document[_SECRET_KEYS[kind] + "_set"] = bool(profile.get(_SECRET_KEYS[kind]))
    if kind == "salesforce":
        from kavrel.user import logins

        document["login"] = logins.describe(name, profile)
    return document


def _primary_names() -> tuple[dict[str, str | None], dict[str, str | None]]:
    """The primary profile of each type, and apart from them the primaries that name no profile
    of their type (it was removed, or saved again as the other type)."""
    store = _store()
    primary: dict[str, str | None] = {}
    missing: dict[str, str | None] = {}
    for kind in KINDS:
        name = store.get_primary_connection(kind)
        profile = store.load_connection(name) if name else None
        found = name is None or (profile is not None and _kind(profile) == kind)
        primary[kind], missing[kind] = (name, None) if found else (None, name)
    return primary, missing


def _primaries() -> dict[str, str | None]:
    return _primary_names()[0]


def _login_lines(names: list[str]) -> list[str]:
    """How each Salesforce profile logs in, under the listing."""
    from kavrel.user import logins

    lines = []
    for name in names:
        profile = _store().load_connection(name)
        if not profile or _kind(profile) != "salesforce":
            continue
        found = logins.describe(name, profile)
        flow, ready = found["flow"], found["logged_in"]
        if flow == logins.JWT:
            text = f"JWT bearer as {found['username']}, key {found['jwt_key_file']}"
            text += "" if ready else " (the key file is missing)"
        elif flow == logins.BROWSER:
            text = "browser, " + (
                f"logged in at {found['login_url']}"
                if ready
                else f"not logged in: kavrel connection login {name}"
            )
        else:
            text = "client credentials" + ("" if ready else " (no client key set)")
        lines.append(f"   {name:<16} {text}")
    return ["Salesforce logins:", *lines, ""] if lines else []


def _list(_args: argparse.Namespace) -> output.Outcome:
    def produce() -> output.Outcome:
        store = _store()
        try:
            names = store.tallyra()
            primary, missing = _primary_names()
        except FileNotFoundError:  # nothing saved yet: an empty list, not a failure
            names, primary, missing = [], dict.fromkeys(KINDS), dict.fromkeys(KINDS)
        profiles = []
        for name in names:
            profile = store.load_connection(name)
            if profile:
                profiles.append(profile_document(name, profile, primary))
            else:
                profiles.append({"name": name, "error": "cannot load this profile"})
        document = {"connections": profiles, "primary": primary, "missing_primary": missing}
        text = listing_text(profiles, missing, _login_lines(names))
        return output.Outcome(document, text)

    return produce()


def listing_text(
    profiles: list[dict[str, Any]], missing: dict[str, str | None], logins: Sequence[str] = ()
) -> str:
    """The saved profiles as a table (one line each, secrets only as set or not), how each
    Salesforce profile logs in (`logins`), then the primaries that name no profile."""
    if profiles:
        header = ("name", "type", "primary", "details")
        rows = [
            (
                p["name"],
                TITLES.get(p.get("type", ""), str(p.get("type", "-"))),
                "yes" if p.get("primary") else "",
                p["error"] if "error" in p else _details(p),
            )
            for p in profiles
        ]
        widths = [max(len(row[i]) for row in (header, *rows)) for i in range(3)]
        lines = [
            "  ".join([*(cell.ljust(widths[i]) for i, cell in enumerate(row[:3])), row[3]]).rstrip()
            for row in (header, *rows)
        ]
    else:
        lines = ["No saved connections; create one with `kavrel connection add --snowflake` or "
                 "`kavrel connection add --salesforce`."]  # fmt: skip
    if logins:
        lines += ["", *(line for line in logins if line)]
    for kind, name in missing.items():
        if name:
            lines.append(
                f"The primary {TITLES[kind]} profile '{name}' is missing: no {TITLES[kind]} "
                "profile has that name (choose one with `kavrel connection set-default NAME`)."
            )
    return "\n".join(lines)


def _details(document: dict[str, Any]) -> str:
    """A profile's settings in one line, each named, the unset ones left out."""
    if document["type"] == "snowflake":
        parts = [
            f"{key} {document[key]}"
            for key in ("account", "user", "role", "warehouse", "database", "schema")
            if document.get(key)
        ]
        if document.get("private_key_file"):
            key = os.path.basename(str(document["private_key_file"]))
            passphrase = (
                "passphrase set" if document["private_key_passphrase_set"] else "no passphrase"
            )
            parts.append(f"key {key} ({passphrase})")
        return ", ".join(parts) or "-"
    if document["type"] == "salesforce":
        sandbox = " (sandbox)" if _is_true(document.get("sandbox")) else ""
        return f"My Domain {document.get('my_domain') or '-'}{sandbox}, client ID " \
            f"{document.get('client_id') or '-'}{_client_key_text(document)}"  # fmt: skip
    return "-"


def _client_key_text(document: dict[str, Any]) -> str:
    """The client key's part of a Salesforce profile's details. Only the client credentials flow
    needs one: a JWT or browser profile without one lacks nothing, so it is not named."""
    from kavrel.user import logins

    if document["client_key_set"]:
        return ", client key set"
    flow = document.get("login", {}).get("flow", logins.CLIENT_CREDENTIALS)
    return ", client key not set" if flow == logins.CLIENT_CREDENTIALS else ""


def _is_true(value: Any) -> bool:
    from kavrel.salesforce import oauth

    try:
        return oauth.is_sandbox(value)
    except oauth.OAuthError:
        return False


def _answers(args: argparse.Namespace) -> Any:
    from kavrel.user.profile_setup import Answers

    other = "salesforce" if args.service == "snowflake" else "snowflake"
    misplaced = [key for key, _ in _ADD_OPTIONS[other] if getattr(args, key, None) is not None]
    if args.service == "snowflake" and args.sandbox is not None:
        misplaced.append("sandbox")
    if misplaced:
        flag = "--" + misplaced[0].replace("_", "-")
        raise CommandError(f"{flag} is not an option of a {TITLES[args.service]} profile")
    if args.service == "snowflake" and args.flow is not None:
        raise CommandError(f"--flow is not an option of a {TITLES[args.service]} profile")
    given = {"name": args.name}
    for key, _ in _ADD_OPTIONS[args.service]:
        value = getattr(args, key, None)
        if value is None and key in SECRET_VARIABLES:
            value = os.environ.get(SECRET_VARIABLES[key]) or None
        given[key] = value
    if args.service == "salesforce":
        given["sandbox"] = args.sandbox
        jwt_given = any(getattr(args, key) is not None for key in _LOGIN_OPTIONS)
        if args.flow not in (None, "jwt") and jwt_given:
            raise CommandError("--username and --jwt-key-file go with --flow jwt")
        given["flow"] = args.flow or ("jwt" if jwt_given else None)
    return Answers(given, interactive=not args.no_interactive, make_primary=args.default)


def _add(args: argparse.Namespace) -> output.Outcome:
    from kavrel.user.profile_setup import MissingAnswer

    _refuse_a_damaged_store()  # before the creation's first line, not after it

    module = "auth" if args.service == "snowflake" else "salesforce_auth"
    function = "authenticate" if args.service == "snowflake" else "authenticate_salesforce"
    create = getattr(importlib.import_module(f"kavrel.user.{module}"), function)

    def produce() -> output.Outcome:
        answers = _answers(args)
        try:
            with _stdout_for(args):
                profile = create(answers)
        except KeyboardInterrupt as interrupt:
            print("\nCancelled; nothing saved.", file=sys.stderr)
            raise Told from interrupt
        except MissingAnswer as problem:
            raise CommandError(_missing_answer_text(problem)) from None
        if not profile:
            raise CommandError("the connection was not created")
        if answers.interrupted:  # after the save, which the creation has told
            raise Told
        name = answers.name or "?"
        document = profile_document(name, profile, _primaries())
        # The creation has confirmed the save (and the primary) itself, once each.
        return output.Outcome(document, "")

    return produce()


def _missing_answer_text(problem: Exception) -> str:
    text = str(problem)
    variable = SECRET_VARIABLES.get(getattr(problem, "key", None) or "")
    if getattr(problem, "missing", False):
        where = f"the environment variable {variable}" if variable else "its option"
        text = f"{text.rstrip('.')} (without questions, give it in {where})"
    return text


def _clear_primaries_naming(name: str) -> list[str]:
    """Removes the primaries' entries that name `name` (a profile just removed), so that none
    names a profile that does not exist; returns the keys it removed. The caller holds the
    store's lock."""
    from kavrel.user.connections import manager

    connections = manager._load_connections_file()
    primaries = connections.get("_primary")
    if not isinstance(primaries, dict):
        return []
    cleared = [key for key, value in primaries.items() if str(value).strip() == name.strip()]
    for key in cleared:
        del primaries[key]
    if not primaries:
        del connections["_primary"]
    if cleared:
        manager._save_connections_file(connections)
    return cleared


def _remove(args: argparse.Namespace) -> output.Outcome:
    def remove() -> tuple[str, bool, str | None]:
        profile = _load_profile(args.name)
        kind = _kind(profile)
        was_primary = _primaries().get(kind) == args.name.strip()
        key_file = str(profile.get("private_key_file") or "")
        from kavrel.user import logins

        logins.forget_login(args.name)  # its refresh token goes with it, or nothing does
        with _store_quiet():
            if not _store().delete_connection(args.name):
                raise CommandError(f"no connection profile named '{args.name}'")
        _clear_primaries_naming(args.name)
        removed_key = key_file if key_file and _store().remove_unused_key_copy(key_file) else None
        return kind, was_primary, removed_key

    def produce() -> output.Outcome:
        # One lock over the removal, the primaries' and the key's: a save meanwhile cannot make
        # the profile primary again, nor start using the key's copy.
        kind, was_primary, removed_key = _store().under_store_lock(remove)
        lines = [f"✓ Removed the connection profile '{args.name}'."]
        if removed_key:
            lines.append(f"✓ Removed its copy of the private key, {removed_key}.")
        if was_primary:
            lines.append(
                f"It was the primary {TITLES.get(kind, kind)} profile; none is primary now "
                "(choose one with `kavrel connection set-default NAME`)."
            )
        document = {
            "name": args.name,
            "removed": True,
            "was_primary": was_primary,
            "removed_key_copy": removed_key,
        }
        return output.Outcome(document, "\n".join(lines))

    return produce()


def _set_default(args: argparse.Namespace) -> output.Outcome:
    def produce() -> output.Outcome:
        profile = _load_profile(args.name)
        kind = _kind(profile)
        with _store_quiet():
            if not _store().set_primary_connection(args.name, kind):
                raise CommandError(f"no connection profile named '{args.name}'")
        return output.Outcome(
            {"name": args.name, "type": kind, "primary": True},
            f"✓ '{args.name}' is now the primary {TITLES.get(kind, kind)} profile.",
        )

    return produce()


def _test(args: argparse.Namespace) -> output.Outcome:
    def produce() -> output.Outcome:
        profile = _load_profile(args.name)
        kind = _kind(profile)
        useless = "--snowflake-option" if kind == "salesforce" else "--login-url"
        if args.snowflake_option if kind == "salesforce" else args.login_url:
            raise CommandError(f"{useless} has no use with a {TITLES.get(kind, kind)} profile")
        try:
            where = (
                _try_salesforce(profile, args)
                if kind == "salesforce"
                else _try_snowflake(profile, args.snowflake_option)
            )
        except CommandError as problem:
            raise CommandError(f"connection '{args.name}' failed: {problem}") from None
        return output.Outcome(
            {"name": args.name, "type": kind, "ok": True, "detail": where},
            f"✓ Connection '{args.name}' works: {where}.",
        )

    return produce()


def _try_salesforce(profile: dict[str, Any], args: argparse.Namespace) -> str:
    from kavrel.salesforce import oauth
    from kavrel.user import logins

    try:
        login = logins.ProfileLogin(args.name, profile, args.login_url)
        access = login()
    except oauth.OAuthError as error:
        raise CommandError(str(error)) from None
    flow = "" if login.flow == logins.CLIENT_CREDENTIALS else f" ({logins.FLOW_TITLES[login.flow]})"
    return f"got an access token for {access['instance_url']}{flow}"


def _login(args: argparse.Namespace) -> output.Outcome:
    def produce() -> output.Outcome:
        import webbrowser

        from kavrel.salesforce import browser_login, oauth
        from kavrel.user import logins, prompts

        profile = _load_profile(args.name)
        if _kind(profile) != "salesforce":
            raise CommandError(f"'{args.name}' is not a Salesforce profile")
        try:
            base = oauth.login_base(profile, args.login_url, "authorization code")
            with _stdout_for(args):
                access_info, refresh_token = browser_login.log_in(
                    profile,
                    base,
                    use_browser=not args.no_browser,
                    say=output.progress,
                    ask=prompts.ask,
                    open_browser=webbrowser.open,
                )
        except (oauth.OAuthError, browser_login.LoginRefused) as error:
            raise CommandError(f"the login with '{args.name}' failed: {error}") from None
        if refresh_token is None:
            raise CommandError(
                "Salesforce gave no refresh token, so loads could not log in again; give the "
                "connected app the scope 'Perform requests at any time (refresh_token, "
                "offline_access)' and log in again"
            )
        before = _keep_browser_login(args.name, profile, base, refresh_token)
        text = (
            f"✓ Logged in with '{args.name}' to {access_info['instance_url']}; loads and job "
            "commands with it now get their access tokens from this login."
        )
        if before != logins.BROWSER:
            text += f"\nIt logged in by {logins.FLOW_TITLES[before]} before."
        document = {"name": args.name, "flow": logins.BROWSER, "logged_in": True}
        return output.Outcome({**document, "instance_url": access_info["instance_url"]}, text)

    return produce()


def _keep_browser_login(name: str, profile: dict[str, Any], base: str, refresh_token: str) -> str:
    """Saves the login as the profile's, unless the profile was removed or saved for another app
    while the user logged in; returns the flow it used before."""
    from kavrel.user import logins

    def keep() -> str:
        current = _store().load_connection(name)
        if not current or current.get("client_id") != profile.get("client_id"):
            raise CommandError(f"the profile '{name}' changed during the login; log in again")
        before = logins.flow_of(logins.login_of(name, current))
        settings = {"flow": logins.BROWSER, "client_id": str(profile.get("client_id") or "")}
        logins.save_login(name, {**settings, "login_url": base, "refresh_token": refresh_token})
        return before

    return _store().under_store_lock(keep)


@contextlib.contextmanager
def _progress_lines(logger_name: str) -> Iterator[None]:
    """Shows a module's progress (INFO) lines on standard error while the block runs, such as the
    `connecting to Snowflake account X as U` line before a login that may take a while."""
    logger = logging.getLogger(logger_name)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    old_level = logger.level
    logger.setLevel(logging.INFO)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)


def _try_snowflake(profile: dict[str, Any], option_texts: list[str]) -> str:
    from kavrel.sflake import snowpark

    try:
        with _progress_lines("kavrel.sflake"):
            session = snowpark.create_session(profile, snowpark.parse_options(option_texts))
    except snowpark.SnowparkMissingError as error:
        raise CommandError(str(error)) from None
    except Exception as error:
        text = " ".join(str(error).split()) or type(error).__name__
        raise CommandError(text) from None
    try:
        session.sql("SELECT 1").collect()
    except Exception as error:
        raise CommandError(" ".join(str(error).split()) or type(error).__name__) from None
    finally:
        with contextlib.suppress(Exception):
            session.close()
    return f"opened a Snowflake session for account {profile.get('account')}"


def _register_connection(subparsers: argparse._SubParsersAction) -> None:
    connection = subparsers.add_parser(
        "connection",
        help="list, add, remove, test saved connection profiles, or choose the primary ones",
        description="Manage the saved connection profiles in ~/.velmora/connections.toml.",
    )
    commands = connection.add_subparsers(dest="connection_command", metavar="COMMAND")
    commands.required = True

    listing = commands.add_parser(
        "list", help="list the saved profiles", description="List the saved profiles."
    )
    listing.set_defaults(run=_list)

    add = commands.add_parser(
        "add",
        help="create a profile, asking for what the options do not give",
        description=(
            "Create a connection profile. Answers given as options are not asked for; with "
            "--no-interactive nothing is asked, and a missing required answer is an error "
            "(status 1). Secrets can come from the environment variables "
            + " and ".join(SECRET_VARIABLES.values())
            + "."
        ),
    )
    service = add.add_mutually_exclusive_group(required=True)
    for kind in ("snowflake", "salesforce"):
        service.add_argument(
            f"--{kind}",
            dest="service",
            action="store_const",
            const=kind,
            help=f"a {kind.capitalize() if kind == 'snowflake' else 'Salesforce'} profile",
        )
    add.add_argument("--name", metavar="NAME", help="the profile's name")
    add.add_argument(
        "--default",
        action="store_true",
        help="make it the primary profile of its type (without questions a profile is also "
        "made primary when its type has none yet, as the question's default answer)",
    )
    add.add_argument(
        "--no-interactive", action="store_true", help="ask nothing; fail when an answer is missing"
    )
    for kind, title in (("snowflake", "Snowflake"), ("salesforce", "Salesforce")):
        group = add.add_argument_group(f"{title} profile")
        for key, text in _ADD_OPTIONS[kind]:
            group.add_argument(f"--{key.replace('_', '-')}", dest=key, metavar="VALUE", help=text)
        if kind == "salesforce":
            group.add_argument(
                "--flow",
                choices=("client-credentials", "jwt", "browser"),
                help="how loads log in: the connected app's client credentials (the default), "
                "the JWT bearer flow (--username, --jwt-key-file; no client key needed), or a "
                "browser login made with `kavrel connection login NAME` (client key optional)",
            )
            group.add_argument(
                "--sandbox",
                action=argparse.BooleanOptionalAction,
                default=None,
                help="the org is a sandbox (default: as the My Domain host says, else no)",
            )
    add.set_defaults(run=_add)

    for name, text, run in (
        ("remove", "delete a saved profile", _remove),
        ("set-default", "make a profile the primary one of its type", _set_default),
        ("test", "log in with a profile and say whether it works", _test),
    ):
        parser = commands.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".")
        takes_profile(parser.add_argument("name", metavar="NAME", help="the profile's name"), "any")
        if name == "test":
            parser.add_argument(
                "--login-url",
                metavar="URL",
                help="host to ask for a Salesforce access token instead of the profile's My Domain",
            )
            parser.add_argument(
                "--snowflake-option",
                action="append",
                default=[],
                type=snowflake_option,
                metavar="KEY=VALUE",
                help="connector setting for a Snowflake profile's session (host, port, proxy_host, "
                "login_timeout, ...); repeatable",
            )
        parser.set_defaults(run=run)
    _register_login(commands)
    for parser in commands.choices.values():
        output.add_json_argument(parser)


def _register_login(commands: argparse._SubParsersAction) -> None:
    login = commands.add_parser(
        "login",
        help="log a Salesforce profile in by browser, for loads that log in again by themselves",
        description=(
            "Log in as a Salesforce user in a browser (OAuth 2.0 web server flow with PKCE) and "
            "keep the refresh token, readable by you only, beside the connections file: loads "
            "and job commands with the profile then get their access tokens from it, also in "
            "the middle of a long load. The browser comes back to the profile's redirect URL: "
            "with http://localhost:PORT/PATH kavrel takes it there; otherwise paste the address "
            "the browser ends on."
        ),
    )
    login.add_argument("name", metavar="NAME", help="the Salesforce profile's name")
    login.add_argument(
        "--login-url",
        metavar="URL",
        help="log in at this host instead of the profile's My Domain (loads then log in there)",
    )
    login.add_argument(
        "--no-browser",
        action="store_true",
        help="print the login address instead of opening a browser, and take the address the "
        "browser ends on pasted back (for a machine without a browser)",
    )
    login.set_defaults(run=_login)
