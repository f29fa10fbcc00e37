"""The option groups that several commands share, and what reading them takes: the org (a saved
Salesforce profile, or an instance URL with a token from the environment; the login host; the
API version), the source of a load's rows (a Snowflake profile and its connector settings, a
SQLite, DuckDB or CSV file), and what a load shows (`--json`, `-v`/`-q`, `--log-file`).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Iterator
from typing import Any

from kavrel.cli.completion import takes_profile
from kavrel.cli.errors import CommandError
from kavrel.sflake.snowpark import DEFAULT_LOGIN_TIMEOUT

TOKEN_VARIABLE = "SF_ACCESS_TOKEN"
# The profiles a command uses when none is named on its command line (before the primary ones).
PROFILE_VARIABLES = {"snowflake": "KAVREL_SNOWFLAKE", "salesforce": "KAVREL_SALESFORCE"}


# --- arguments ---------------------------------------------------------------------------------


def add_command_group(
    subparsers: argparse._SubParsersAction,
    name: str,
    help_text: str,
    description: str,
    commands: dict[str, str],
) -> dict[str, argparse.ArgumentParser]:
    """`kavrel NAME COMMAND ...`: the group's parser and one parser per command (by name, each
    helped and described by its text); the command chosen is `args.NAME_command`."""
    group = subparsers.add_parser(name, help=help_text, description=description)
    under = group.add_subparsers(dest=f"{name}_command", metavar="COMMAND", required=True)
    return {
        command: under.add_parser(command, help=text, description=text[0].upper() + text[1:] + ".")
        for command, text in commands.items()
    }


def api_version(text: str) -> str:
    """A Salesforce API version as the URLs spell it: `62.0` (or `62`)."""
    version = text.strip().removeprefix("v")
    if version.isdigit():
        version += ".0"
    major, _, minor = version.partition(".")
    if not (major.isdigit() and minor.isdigit() and len(minor) == 1 and 20 <= int(major) < 1000):
        raise argparse.ArgumentTypeError(f"must be an API version such as 62.0, not {text!r}")
    return version


def snowflake_option(text: str) -> str:
    """A `KEY=VALUE` connector setting, checked while the arguments are read so that a mistyped
    one stops the command before Salesforce is contacted."""
    from kavrel.sflake.snowpark import parse_option

    try:
        parse_option(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def add_org_arguments(parser: argparse.ArgumentParser, title: str) -> None:
    """The ways to name the org: a saved profile, or an instance URL with a token from the
    environment; and the host that gives the token. `org_access` and `org_with_renewal` read
    them."""
    org = parser.add_argument_group(title)
    orgs = org.add_mutually_exclusive_group()
    salesforce = orgs.add_argument(
        "--salesforce",
        "-o",
        metavar="PROFILE",
        help="saved Salesforce profile (sf's target org; default: "
        f"${PROFILE_VARIABLES['salesforce']}, else the primary one)",
    )
    takes_profile(salesforce, "salesforce")
    orgs.add_argument(
        "--instance-url",
        metavar="URL",
        help=f"org URL; the access token is read from the environment variable {TOKEN_VARIABLE}",
    )
    org.add_argument(
        "--login-url",
        metavar="URL",
        help="host to ask for the access token instead of the profile's My Domain",
    )
    org.add_argument(
        "--api-version",
        type=api_version,
        metavar="VERSION",
        help="the Salesforce API version of the ingest requests (default "
        f"{_default_api_version()})",
    )


def _default_api_version() -> str:
    from kavrel.salesforce.ingest_bapi20 import API_VERSION

    return API_VERSION


def add_output_arguments(parser: argparse.ArgumentParser) -> None:
    """What a load shows: --json, -v or -q, --log-file."""
    parser.add_argument(
        "--json",
        action="store_true",
        help="print one JSON document on standard output instead of the table",
    )
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-v", "--verbose", action="store_true", help="log every step")
    verbosity.add_argument(
        "-q", "--quiet", action="store_true", help="no progress: warnings, errors and the summary"
    )
    parser.add_argument(
        "--log-file",
        metavar="PATH",
        help="also append every step's log line, with its time, to PATH (whatever -v or -q say)",
    )


def add_source_arguments(parser: argparse.ArgumentParser) -> None:
    """Where a load's rows come from, besides --query/--csv: a Snowflake profile (and its
    connector settings), or a SQLite or DuckDB file. `open_source` reads them."""
    source = parser.add_argument_group(
        f"source (default: ${PROFILE_VARIABLES['snowflake']}, else the primary Snowflake profile)"
    )
    sources = source.add_mutually_exclusive_group()
    snowflake = sources.add_argument(
        "--snowflake", "-c", metavar="PROFILE", help="saved Snowflake profile (snow's connection)"
    )
    takes_profile(snowflake, "snowflake")
    sources.add_argument("--sqlite", metavar="PATH", help="read from a SQLite database file")
    sources.add_argument("--duckdb", metavar="PATH", help="read from a DuckDB database file")
    source.add_argument(
        "--snowflake-option",
        action="append",
        default=[],
        type=snowflake_option,
        metavar="KEY=VALUE",
        help="connector setting for the Snowflake session (host, port, protocol, proxy_host, "
        f"login_timeout, ...; login_timeout defaults to {DEFAULT_LOGIN_TIMEOUT} s); repeatable",
    )


# --- profiles, source and target -----------------------------------------------------------------


def profile_of(kind: str, name: str | None) -> dict[str, Any]:
    return named_profile(kind, name)[1]


def named_profile(kind: str, name: str | None) -> tuple[str, dict[str, Any]]:
    """The profile named (or the primary one of `kind`), with its name."""
    from kavrel.user.connections import get_primary_connection, load_connection

    title = kind.capitalize() if kind == "snowflake" else "Salesforce"
    create = f"create one with `kavrel mintova --{kind}`"
    variable = PROFILE_VARIABLES[kind]
    if name is None and os.environ.get(variable, "").strip():
        name = os.environ[variable].strip()
        missing = f"no {title} profile named '{name}' (named by ${variable}); {create}"
    else:
        missing = f"no {title} profile named '{name}'; {create}"
    try:
        if name is None:
            name = get_primary_connection(kind)
            if not name:
                raise CommandError(
                    f"no {title} profile given and no primary {title} profile is set; "
                    f"{create}, or name a saved one with --{kind} PROFILE"
                )
            missing = f"the primary {title} profile '{name}' no longer exists; {create}"
        profile = load_connection(name)
    except FileNotFoundError:
        raise CommandError(f"no connection profiles are saved yet; {create}") from None
    except Exception as error:
        from kavrel.cli.output import store_problem

        if (problem := store_problem(error)) is None:
            raise
        raise CommandError(problem) from None
    if profile is None:
        raise CommandError(missing)
    from kavrel.user.connections import profile_type

    stored_type = profile_type(profile)
    if stored_type != kind:
        stored = {"snowflake": "Snowflake", "salesforce": "Salesforce"}.get(
            stored_type, stored_type
        )
        raise CommandError(f"the profile '{name}' is a {stored} profile, not a {title} one")
    return name, profile


def _org(args: argparse.Namespace) -> tuple[dict[str, str], Callable[[], dict[str, str]] | None]:
    """The org's access info, and how to get a new one when its session ends: the profile's own
    login, or None for a token taken from the environment, which cannot be renewed."""
    from kavrel.salesforce import oauth
    from kavrel.user.logins import ProfileLogin

    if args.instance_url is not None:
        if args.login_url is not None:
            raise CommandError("--login-url has no use with --instance-url")
        token = os.environ.get(TOKEN_VARIABLE, "").strip()
        if not token:
            raise CommandError(
                f"--instance-url needs the access token in the environment variable "
                f"{TOKEN_VARIABLE}"
            )
        try:
            return oauth.bearer_access_info(token, args.instance_url, "--instance-url"), None
        except oauth.OAuthError as error:
            raise CommandError(str(error)) from None
    name, profile = named_profile("salesforce", args.salesforce)
    args.salesforce_used = name
    try:
        login = ProfileLogin(name, profile, args.login_url)
        return login(), login
    except oauth.OAuthError as error:
        raise CommandError(str(error)) from None


def org_access(args: argparse.Namespace) -> dict[str, str]:
    """The `access_info` of the org the arguments name, with the API version they ask for (which
    the Bulk API client and the load runner read from it)."""
    return org_with_renewal(args)[0]


def org_session(
    args: argparse.Namespace,
) -> tuple[dict[str, str], Callable[[], dict[str, str]] | None]:
    """The org's access info as `org_access` gives it, and how to renew it (None: it cannot)."""
    return org_with_renewal(args)


def org_with_renewal(
    args: argparse.Namespace,
) -> tuple[dict[str, str], Callable[[], dict[str, str]] | None]:
    """`_org`, with the API version the arguments ask for on the access info, also on a renewed
    one."""
    access_info, renew = _org(args)
    version = args.api_version
    if version is None:
        return access_info, renew

    def versioned(info: dict[str, str]) -> dict[str, str]:
        info["api_version"] = version
        return info

    return versioned(access_info), None if renew is None else lambda: versioned(renew())


def _local_source(kind: str, path: str) -> Any:
    from kavrel.sflake import sources

    # Connecting would quietly create an empty database where the user mistyped a path.
    if not os.path.isfile(path):
        raise CommandError(f"no such {kind} database file: {path}")
    if kind == "SQLite":
        return sources.SQLiteSource(path)
    try:
        return sources.DuckDBSource(path)
    except ImportError:
        raise CommandError(
            "DuckDB support is not installed; install it with: pip install 'kavrel[duckdb]'"
        ) from None


def _csv_source(path: str) -> Any:
    from kavrel.sflake import sources

    if path == "-":
        return sources.CSVSource(sys.stdin.buffer, "standard input")
    try:
        return sources.CSVSource(path)
    except FileNotFoundError as error:
        raise CommandError(str(error)) from None


def _chosen(args: argparse.Namespace, *options: str) -> list[str]:
    return [f"--{o.replace('_', '-')}" for o in options if getattr(args, o, None) not in (None, [])]


@contextlib.contextmanager
def open_source(args: argparse.Namespace) -> Iterator[Any]:
    """The source the rows are read from, closed when the command ends."""
    local = _chosen(args, "csv", "sqlite", "duckdb")
    if local and args.snowflake_option:
        raise CommandError(f"--snowflake-option has no use with {local[0]}")
    if args.csv is not None and _chosen(args, "snowflake", "sqlite", "duckdb"):
        useless = _chosen(args, "snowflake", "sqlite", "duckdb")[0]
        raise CommandError(f"{useless} has no use with --csv: the rows come from the CSV file")
    if args.csv is not None:
        source = _csv_source(args.csv)
    elif args.sqlite is not None:
        source = _local_source("SQLite", args.sqlite)
    elif args.duckdb is not None:
        source = _local_source("DuckDB", args.duckdb)
    else:
        source = snowflake_source(args, args.snowflake)
    try:
        yield source
    finally:
        close_quietly(source)


def snowflake_source(args: argparse.Namespace, name: str | None) -> Any:
    """A Snowflake source over a new session of the profile `name` (None: the default one) with
    the arguments' connector settings; the profile's name goes to `args.snowflake_used`."""
    from kavrel.sflake import snowpark, sources

    settings = snowpark.parse_options(args.snowflake_option)
    args.snowflake_used, profile = named_profile("snowflake", name)
    try:
        session = snowpark.create_session(profile, settings)
    except (snowpark.SnowparkMissingError, snowpark.SnowflakeLoginError, ValueError) as error:
        raise CommandError(str(error)) from None
    return sources.SnowflakeSource(session, owned=True)


def close_quietly(resource: Any) -> None:
    close = getattr(resource, "close", None)
    if close is not None:
        with contextlib.suppress(Exception):
            close()
