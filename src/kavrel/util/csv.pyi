import json as json
from collections.abc import Iterable, Mapping
from decimal import Decimal as Decimal
from typing import Any

def json_to_csv(records: Iterable[Mapping[Any, Any]]) -> str: ...
