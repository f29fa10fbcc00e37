"""A local Salesforce Bulk API 2.0 ingest server, for trying loads without touching an org.

It speaks the ingest endpoints and an org's OAuth endpoints (client credentials, browser logins
with PKCE, refresh tokens, JWT bearer assertions), and really applies each job's records to a
SQLite database (see `store`). What an org accepts as a record, from its object descriptions
(the optional schema, record Ids, the checks of each record), is `kavrel.salesforce.records`,
which a load's preflight runs too; the server imports nothing else of kavrel. Its own parts, each
usable alone: `upload` (reading a CSV upload as a stream), `store` (records over
SQLite), `results` (job results kept out of memory), `processing` (closed jobs, chunk by chunk),
`jobs` (job documents and states), `controls` (failure injection), `oauth` (the token and
authorization endpoints), `assertions` (JWT bearer assertions), `tls` (https), `transport`
(HTTP/1.1), `server` (routing and the `BulkApiEmulator` facade), and `__main__` (the command line).
"""

from __future__ import annotations

from kavrel.salesforce.records.schema import STANDARD, Schema, SchemaError

from .controls import CONTROLS_PATH
from .server import (
    API_VERSION,
    DEFAULT_ACCESS_TOKEN,
    HOST,
    INGEST_PATH,
    NEWEST_API_VERSION,
    OLDEST_API_VERSION,
    BulkApiEmulator,
)
from .upload import MAX_UPLOAD_BYTES

__all__ = [
    "API_VERSION",
    "CONTROLS_PATH",
    "DEFAULT_ACCESS_TOKEN",
    "HOST",
    "INGEST_PATH",
    "MAX_UPLOAD_BYTES",
    "NEWEST_API_VERSION",
    "OLDEST_API_VERSION",
    "STANDARD",
    "BulkApiEmulator",
    "Schema",
    "SchemaError",
]
