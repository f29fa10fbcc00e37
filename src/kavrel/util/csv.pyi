from collections.abc import Iterable, Mapping
from typing import Any

def json_to_csv(records: Iterable[Mapping[Any, Any]]) -> str: ...
