import hashlib as hashlib
import json as json
import logging as logging
import time as time
from logging import Logger
from types import ModuleType
from typing import Any

from kavrel.load.core import Stop
from kavrel.load.plan import LoadPlan, RunResult
from kavrel.salesforce import ingest_bapi20
from kavrel.salesforce.ingest_bapi20 import BulkApiError as BulkApiError
from kavrel.salesforce.ingest_bapi20 import SessionLost as SessionLost
from kavrel.salesforce.ingest_bapi20 import UploadTooLarge as UploadTooLarge
from kavrel.sflake import query
from kavrel.sflake.query import DuplicateColumns as DuplicateColumns
from kavrel.sflake.sources import Reader
from kavrel.util import csv as csv

q = query
ingest = ingest_bapi20
_bulk_api_rules = ingest_bapi20

requests: ModuleType
logger: Logger

class JobFailed(RuntimeError):
    job_id: str
    state: str
    job_info: dict[str, Any]

def upsert(
    session: Any,
    access_info: dict[str, Any],
    sobject: str,
    query: str,
    field: str,
    batch_size: int = 25000,
) -> dict[str, Any] | None: ...
def insert(
    session: Any, access_info: dict[str, Any], sobject: str, query: str
) -> dict[str, Any]: ...
def update(
    session: Any, access_info: dict[str, Any], sobject: str, query: str
) -> dict[str, Any]: ...
def delete(
    session: Any, access_info: dict[str, Any], sobject: str, query: str, field: str
) -> dict[str, Any]: ...
def run_load(plan: LoadPlan, reader: Reader, stop: Stop | None = None) -> RunResult: ...
def batch_digest(csv_text: str) -> str: ...
