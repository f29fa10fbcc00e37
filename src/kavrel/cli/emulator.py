"""`kavrel emulator`: a local Bulk API 2.0 ingest server for trying loads without an org.

The server module is imported only when the command runs, so other commands start fast.
"""

from __future__ import annotations

import argparse
from typing import Any

from kavrel.cli.arguments import positive_number

_EPILOG = """\
schema (--schema): `standard` (Account, Contact, Lead, Opportunity, Case and User with their
common fields), a folder or file of object descriptions as an org's describe gives them (JSON, one
object a file: `kavrel schema pull Account Contact` saves your org's in ./schema), or a TOML file:
  [Contact]
  fields = [{ name = "LastName", type = "string", length = 80, nillable = false },
            "Ext__c", "AccountId"]
  external_ids = ["Ext__c"]
  lookups = { AccountId = "Account" }
With it, an unknown object fails at job creation and an unknown field fails the job, relationship
columns (Account.Ext__c) resolve, and each record is checked against its fields (type, length,
required, createable/updateable, picklist, lookups, unique) and fails alone with the org's error
code. A field given by name alone is text with no checks. Without a schema, any valid object and
field name is accepted and stored as it first appears. The server answers describe from its schema
and /limits from its own counters, so a dry run against it checks every record as it will.

failure injection: --fail POST:/jobs/ingest:503, --drop PUT:/batches, --delay GET::2.5,
--lose POST:/jobs/ingest (the job is created, its answer lost), --cut GET:/failedResults/ (an
empty suffix matches any path). Each fires once, on the next matching request, in the order
given. With --test-controls, POST JSON to /__kavrel__/controls at run time, e.g.
{"action": "fail", "method": "GET", "path_suffix": "", "status": 500},
{"action": "force_job_state", "state": "Failed", "count": 1},
{"action": "fail_job_after", "records": 15000} or
{"action": "reject_records", "field": "Name", "value": "Bad", "message": "...", "count": 2}.
"""


class _AppendFault(argparse.Action):
    """Keeps the failure injections (--fail, --drop, ...) in one list, in the order given."""

    def __call__(self, _parser: Any, namespace: Any, values: Any, _option: Any = None) -> None:
        faults = list(getattr(namespace, "faults", None) or [])
        faults.append((self.dest, values))
        namespace.faults = faults


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The server's options, shared with `python -m kavrel.salesforce.emulator`."""
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    parser.epilog = _EPILOG
    parser.set_defaults(faults=[])
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0 picks one)")
    parser.add_argument(
        "--access-token", help="bearer token accepted besides issued ones (default local-token)"
    )
    parser.add_argument(
        "--db", default=":memory:", help="SQLite file the records go to (default: in memory)"
    )
    parser.add_argument("--client-id", help="client id the token endpoint accepts (default any)")
    parser.add_argument(
        "--client-secret",
        help="client secret it accepts (default any); visible to every user in the process list, "
        "so prefer the KAVREL_EMULATOR_CLIENT_SECRET environment variable",
    )
    parser.add_argument(
        "--jwt-cert",
        metavar="FILE",
        help="PEM certificate of the RSA key that signs JWT bearer assertions, as a connected app "
        "holds it (without it the jwt-bearer grant is refused)",
    )
    parser.add_argument(
        "--token-lifetime",
        type=positive_number("seconds"),
        metavar="SECONDS",
        help="an access token (the fixed one counted from the start) stops working this long "
        "after it was issued and answers 401 INVALID_SESSION_ID, as an org's session times out "
        "(default: never)",
    )
    parser.add_argument(
        "--schema",
        metavar="SCHEMA",
        help="the org's objects and fields: 'standard', object descriptions (a JSON file or a "
        "folder of them), or a TOML file (see below); without it, any object and field is "
        "accepted",
    )
    parser.add_argument(
        "--tls",
        action="store_true",
        help="serve https with a new self-signed certificate for 127.0.0.1 and localhost; its "
        "path is printed as 'certificate: PATH' before the base URL",
    )
    parser.add_argument("--tls-cert", metavar="FILE", help="serve https with this certificate")
    parser.add_argument("--tls-key", metavar="FILE", help="the private key of --tls-cert")
    parser.add_argument(
        "--processing-rate",
        type=positive_number("records per second"),
        metavar="N",
        help="records per second each job is processed at, to rehearse an org's pace (default: "
        "as fast as it can; a status check then waits for the job's end)",
    )
    parser.add_argument(
        "--in-progress-checks",
        type=int,
        default=0,
        metavar="N",
        help="status checks a closed job answers InProgress before its end state (default 0)",
    )
    parser.add_argument(
        "--daily-bulk-batches",
        type=int,
        default=None,
        metavar="N",
        help="the org's daily allocation of Bulk API batches (one per 10,000 records a job "
        "processes), as /limits reports it; past it a job fails with its rest unprocessed "
        "(default 15000)",
    )
    for kind, shape, what in (
        ("fail", "METHOD:SUFFIX:STATUS", "answer the next matching request with STATUS"),
        ("drop", "METHOD:SUFFIX", "close the next matching request's connection unanswered"),
        ("delay", "METHOD:SUFFIX:SECONDS", "answer the next matching request SECONDS late"),
        ("lose", "METHOD:SUFFIX", "carry out the next matching request, then close its "
         "connection unanswered"),
        ("cut", "METHOD:SUFFIX", "carry out the next matching request, then cut its answer "
         "short"),
    ):  # fmt: skip
        parser.add_argument(f"--{kind}", dest=kind, metavar=shape, action=_AppendFault, help=what)
    parser.add_argument(
        "--test-controls",
        action="store_true",
        help="accept failure-injection controls over HTTP (for tests; anyone who can reach the "
        "port can use them)",
    )


def _run(args: argparse.Namespace) -> int:
    from kavrel.salesforce.emulator.__main__ import serve

    return serve(args)


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds this module's subcommands to the `kavrel` parser."""
    parser = subparsers.add_parser(
        "emulator",
        help="run a local Salesforce Bulk API 2.0 server that applies loads to SQLite",
        description=(
            "Serve the Bulk API 2.0 ingest endpoints on 127.0.0.1, applying each job to a SQLite "
            "database. Prints the base URL (the instance_url to load into) and serves until "
            "interrupted."
        ),
    )
    add_arguments(parser)
    parser.set_defaults(run=_run)
