from logging import Logger
from types import ModuleType
from typing import Any

requests: ModuleType
json: ModuleType
logging: ModuleType
csv: ModuleType
q: ModuleType
ingest: ModuleType
time: ModuleType
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
) -> dict[str, Any] | None: ...
def update(
    session: Any, access_info: dict[str, Any], sobject: str, query: str
) -> dict[str, Any] | None: ...
def delete(
    session: Any, access_info: dict[str, Any], sobject: str, query: str, field: str
) -> dict[str, Any] | None: ...
