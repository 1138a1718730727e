"""Class labels for surveyed rules, from stated thresholds on a rule's summary numbers.

The checks run in the order of :data:`CLASSES`; the first that holds names
the class.  The numbers are medians over the rule's runs (see
:func:`vornkit.survey_member.summarise`).  The thresholds are module
constants so that a study can quote them, and :func:`classify` takes
overrides.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Mapping, Optional

__all__ = ["THRESHOLDS", "CLASSES", "classify"]

#: The thresholds, with what each one means.
THRESHOLDS: Dict[str, float] = {
    # Growth exponent (slope of log hyperedges against log steps) below which a rule keeps a fixed size.
    "fixed_growth": 0.1,
    # Below this many vertices the graph is too small to say more than "small".
    "min_vertices": 200,
    # Largest connected component under this fraction of all vertices: "fragmented".
    "fragment_fraction": 0.5,
    # Dimension estimate below this (or a 2-section of maximum degree 2): "line-like".
    "line_dimension": 1.3,
    # Independent cycles per vertex of the 2-section below this: "tree-like".
    "tree_cycles": 0.02,
    # Dimension estimate above this: "high-dimensional" (expander-like, a few hops reach everything).
    "max_dimension": 6.0,
}

#: Every class, in the order the checks are made, with the condition that gives it.
CLASSES = (
    ("failed", "the rule's worker failed or was killed"),
    ("over budget", "a run passed the rule's budget of seconds or hyperedges"),
    ("terminates", "every run reached a state where no match was left"),
    ("sometimes terminates", "some runs, not all, reached a state where no match was left"),
    ("fixed size", "growth exponent below fixed_growth"),
    ("fragmented", "largest component holds less than fragment_fraction of the vertices"),
    ("small", "fewer than min_vertices vertices"),
    ("line-like", "2-section of maximum degree 2, or dimension below line_dimension"),
    ("tree-like", "fewer than tree_cycles independent cycles per vertex"),
    ("dimensional", "dimension up to max_dimension; the label carries the estimate, e.g. 'dimensional (d=2.3)'"),
    ("high-dimensional", "dimension above max_dimension, or none could be fitted on a large graph"),
)


def _number(record: Mapping[str, Any], key: str) -> float:
    value = record.get(key)
    if value is None or not isinstance(value, (int, float)):
        return math.nan
    return float(value)


def classify(record: Mapping[str, Any], thresholds: Optional[Mapping[str, float]] = None) -> str:
    """The class label of a rule's record (``status``, ``terminated``, ``runs_done`` and the medians)."""
    t = dict(THRESHOLDS)
    if thresholds:
        unknown = set(thresholds) - set(t)
        if unknown:
            raise ValueError(f"unknown threshold {sorted(unknown)[0]!r}; known: {', '.join(t)}")
        t.update(thresholds)
    status = record.get("status")
    if status == "failed":
        return "failed"
    if status == "budget":
        return "over budget"
    runs = int(record.get("runs_done") or 0)
    terminated = int(record.get("terminated") or 0)
    if runs and terminated == runs:
        return "terminates"
    if terminated:
        return "sometimes terminates"
    growth = _number(record, "growth_exponent")
    if math.isfinite(growth) and growth < t["fixed_growth"]:
        return "fixed size"
    largest = _number(record, "largest_component")
    if math.isfinite(largest) and largest < t["fragment_fraction"]:
        return "fragmented"
    vertices = _number(record, "vertices")
    if not (vertices >= t["min_vertices"]):
        return "small"
    dimension = _number(record, "dimension")
    if _number(record, "max_degree") <= 2 or (math.isfinite(dimension) and dimension < t["line_dimension"]):
        return "line-like"
    cycles = _number(record, "cycles_per_vertex")
    if math.isfinite(cycles) and cycles < t["tree_cycles"]:
        return "tree-like"
    if math.isfinite(dimension) and dimension <= t["max_dimension"]:
        return f"dimensional (d={dimension:.1f})"
    return "high-dimensional"
