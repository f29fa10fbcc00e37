import json as json
from collections.abc import Iterable, Mapping, Sequence
from decimal import Decimal as Decimal
from typing import Any

def json_to_csv(records: Iterable[Mapping[Any, Any]]) -> str: ...
def rows_to_csv(
    header: Sequence[str], rows: Iterable[Sequence[Any]], nulls: Sequence[str | None] | None = None
) -> str: ...
def row_fingerprints(
    header: Sequence[str],
    rows: Iterable[Sequence[Any]],
    key: int,
    nulls: Sequence[str | None] | None = None,
) -> list[tuple[str, str]]: ...
