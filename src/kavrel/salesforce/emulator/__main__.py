"""`python -m kavrel.salesforce.emulator` and `kavrel emulator`: serve until interrupted (130 on
Ctrl-C, 143 on SIGTERM, as every kavrel command ends).

Prints `certificate: PATH` (with --tls) and then the base URL on stdout, so a script can start
it on port 0 and read where it listens.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys

from kavrel.salesforce.records.schema import SchemaError

from .controls import parse_fault
from .limits import DAILY_BULK_BATCHES
from .server import DEFAULT_ACCESS_TOKEN, BulkApiEmulator
from .tls import TlsError

SECRET_VARIABLE = "KAVREL_EMULATOR_CLIENT_SECRET"


def _emulator(args: argparse.Namespace) -> BulkApiEmulator:
    faults = [parse_fault(kind, text) for kind, text in getattr(args, "faults", None) or []]
    emulator = BulkApiEmulator(
        port=args.port,
        access_token=args.access_token or DEFAULT_ACCESS_TOKEN,
        db=args.db,
        client_id=args.client_id,
        client_secret=args.client_secret or os.environ.get(SECRET_VARIABLE) or None,
        in_progress_checks=args.in_progress_checks,
        schema=args.schema,
        processing_rate=args.processing_rate,
        tls=args.tls,
        tls_cert=args.tls_cert,
        tls_key=args.tls_key,
        test_controls=args.test_controls,
        token_lifetime=args.token_lifetime,
        jwt_cert=args.jwt_cert,
        daily_bulk_batches=(
            DAILY_BULK_BATCHES if args.daily_bulk_batches is None else args.daily_bulk_batches
        ),
    )
    for fault in faults:
        emulator.add_fault(fault)
    return emulator


def serve(args: argparse.Namespace) -> int:
    """Runs the emulator from parsed options until interrupted; the exit status."""
    try:
        emulator = _emulator(args)
        emulator.start()
    except (ValueError, OSError, sqlite3.Error, TlsError, SchemaError) as error:
        print(f"Error: cannot start the Bulk API emulator: {error}", file=sys.stderr)
        return 1
    if emulator.certificate is not None:
        print(f"certificate: {emulator.certificate}", flush=True)
    print(emulator.base_url, flush=True)
    print(
        f"Bulk API 2.0 emulator: access token {emulator.access_token!r}, database {args.db}; "
        "press Ctrl+C to stop.",
        file=sys.stderr,
        flush=True,
    )
    # Ctrl-C and SIGTERM are raised here (the command's ending turns them into 130 and 143): the
    # server still stops cleanly, its database closed, its certificate removed.
    try:
        assert emulator._thread is not None
        while emulator._thread.is_alive():
            emulator._thread.join(0.5)
    finally:
        emulator.stop()
    return 0


def main(argv: list[str] | None = None) -> int:
    from kavrel.cli.emulator import add_arguments

    parser = argparse.ArgumentParser(
        prog="python -m kavrel.salesforce.emulator",
        description="A local Salesforce Bulk API 2.0 ingest server that applies jobs to SQLite.",
    )
    add_arguments(parser)
    from kavrel.cli.ending import conclude

    return conclude(serve, parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
