"""A survey's results table: CSV always, Parquet where pyarrow is installed, every record as a JSON line.

The table holds one row per finished rule with the columns of
:data:`COLUMNS`, ordered by rule index.  It holds only what the runs
determine (no wall times, no worker names), so the same survey gives the
same table however often it was stopped and resumed.  Every file is
written complete or not at all.
"""

from __future__ import annotations

import csv
import io
import json
import math
from typing import Any, Dict, Iterable, List, Mapping, Sequence

from .files import replaced

__all__ = ["COLUMNS", "NUMERIC", "table_rows", "write_csv", "write_parquet", "write_jsonl", "plain"]

#: (column, kind): kind is "int", "float" or "text".
COLUMNS = (
    ("index", "int"), ("rule", "text"), ("class", "text"), ("status", "text"), ("stopped", "text"),
    ("vertices", "float"), ("edges", "float"), ("terminated", "int"), ("terminated_at", "float"),
    ("applied", "float"), ("growth_exponent", "float"), ("dimension", "float"), ("curvature", "float"),
    ("components", "float"), ("largest_component", "float"), ("max_degree", "float"),
    ("cycles_per_vertex", "float"), ("runs_done", "int"), ("error", "text"),
)
NUMERIC = {name for name, kind in COLUMNS if kind != "text"}


def plain(value: Any) -> Any:
    """``value`` with NaN and infinities as None, recursively: JSON has no NaN."""
    kind = type(value)
    if kind is int or kind is str or kind is bool or value is None:
        return value
    if kind is float:
        return value if math.isfinite(value) else None
    if kind is dict:
        return {k: plain(v) for k, v in value.items()}
    if kind is list or kind is tuple:
        return [plain(v) for v in value]
    if isinstance(value, float):  # numpy floats
        return float(value) if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {k: plain(v) for k, v in value.items()}
    return value


def table_rows(records: Iterable[Mapping[str, Any]]) -> List[Dict[str, Any]]:
    """One dict per record with exactly the table's columns (None where a value is missing or NaN)."""
    rows = []
    for record in sorted(records, key=lambda r: r["index"]):
        row = {}
        for name, kind in COLUMNS:
            value = record.get(name)
            if kind == "float" and isinstance(value, (int, float)) and value is not None:
                value = float(value) if math.isfinite(value) else None
            elif kind == "int" and value is not None:
                value = int(value)
            row[name] = value
        rows.append(row)
    return rows


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(round(value, 6))
    return str(value)


def write_csv(rows: Sequence[Mapping[str, Any]], path) -> None:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow([name for name, _ in COLUMNS])
    for row in rows:
        writer.writerow([_cell(row[name]) for name, _ in COLUMNS])
    with replaced(path) as fh:
        fh.write(buffer.getvalue())


def write_parquet(rows: Sequence[Mapping[str, Any]], path) -> bool:
    """Write the table as Parquet; False (nothing written) when pyarrow is not installed."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        return False
    types = {"int": pa.int64(), "float": pa.float64(), "text": pa.string()}
    schema = pa.schema([(name, types[kind]) for name, kind in COLUMNS])
    table = pa.Table.from_pylist([dict(r) for r in rows], schema=schema)
    with replaced(path, binary=True) as fh:
        pq.write_table(table, fh)
    return True


def write_jsonl(records: Iterable[Mapping[str, Any]], path) -> None:
    with replaced(path) as fh:
        for record in sorted(records, key=lambda r: r["index"]):
            fh.write(json.dumps(plain(dict(record)), sort_keys=True) + "\n")
