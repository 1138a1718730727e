"""Argument checks that several vornkit modules share.

Each turns what a caller passed into the form the code works with, or raises
an error that names the argument: whole numbers, 64-bit seeds, hyperedge
lists and the metrics a run records (with the table of metrics known by name).
Only the standard library is imported here (the dimension metric imports
numpy when it is first measured).
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, Hashable, Iterable, List, Mapping, Optional, Tuple, Union

from .series import measure_dimension

__all__ = ["whole_number", "check_seed", "SEED_LIMIT", "as_edges", "hypergraph_parts", "METRICS",
           "resolve_metrics"]

#: Seeds are integers ``0 <= seed < SEED_LIMIT``.
SEED_LIMIT = 2 ** 64


def whole_number(value, name: str, minimum: int = 0) -> int:
    """``value`` as an int: an int or anything with ``__index__`` (numpy.int64), not a bool.

    Raises ``ValueError`` naming ``name`` for anything else or for a value
    below ``minimum``.
    """
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer >= {minimum}, got {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be an integer >= {minimum}, got {value!r}")
    return number


def check_seed(seed, name: str = "seed") -> int:
    """``seed`` as an int in ``[0, 2**64)``, or a ValueError naming ``name``."""
    value = whole_number(seed, name)
    if value >= SEED_LIMIT:
        raise ValueError(f"{name} must be an integer below 2**64, got {seed!r}")
    return value


def as_edges(edges: Iterable[Iterable[Hashable]]) -> List[List[Hashable]]:
    """A list of hyperedges, each a list of vertex labels, as a list of lists.

    Raises ``TypeError`` naming the hyperedge that is a string or not a list.
    """
    out = []
    for i, e in enumerate(edges):
        if isinstance(e, (str, bytes)):
            raise TypeError(f"hyperedge {i} is a string ({e!r}); give each hyperedge as a list of vertex labels")
        try:
            out.append(list(e))
        except TypeError:
            raise TypeError(f"hyperedge {i} ({e!r}) is not a list of vertex labels") from None
    return out


def hypergraph_parts(source, vertices: Optional[Iterable[Hashable]] = None
                     ) -> Tuple[List[List[Hashable]], Optional[List[Hashable]]]:
    """``(hyperedges, vertices)`` of an engine, of anything with ``get_edges()``, or of a
    list of hyperedges.

    The hyperedges come back as a list of lists (checked as :func:`as_edges`
    checks them).  ``vertices`` is the one given, else the source's own
    ``get_vertices()`` (isolated vertices included), else None: a plain list
    of hyperedges names only the vertices on its hyperedges.
    """
    if hasattr(source, "get_edges"):
        edges = as_edges(source.get_edges())
        if vertices is None and hasattr(source, "get_vertices"):
            vertices = source.get_vertices()
    else:
        edges = as_edges(source)
    return edges, (list(vertices) if vertices is not None else None)


def _max_degree(engine) -> int:
    degrees = engine.get_degree_map()
    return max(degrees.values()) if degrees else 0


#: Metrics that ``evolve`` and ensemble members can record by name.  ``"dimension"``
#: is costly and measured at a few rows only (NaN in the others; see :mod:`vornkit.series`).
METRICS: Dict[str, Callable[[Any], float]] = {
    "nodes": lambda e: e.node_count(),
    "edges": lambda e: e.edge_count(),
    "pairs": lambda e: e.get_structural_pair_count(),
    "isolated": lambda e: len(e.get_isolated_vertices()),
    "max_degree": _max_degree,
    "attempted": lambda e: e.get_attempted_rewrites(),
    "successful": lambda e: e.get_successful_rewrites(),
    "dimension": measure_dimension,
}


def resolve_metrics(record: Union[None, str, Iterable[str], Mapping[str, Callable]]
                    ) -> Dict[str, Callable[[Any], float]]:
    """A ``record`` argument as a dict ``name -> f(engine)``.

    ``record`` is None (nothing), a name or names from :data:`METRICS`, or a
    dict of names and callables.  Raises ``ValueError`` for an unknown name or
    a reserved one (``step``, ``time``), ``TypeError`` for a value that is not
    callable.
    """
    if record is None:
        return {}
    if isinstance(record, str):
        record = (record,)
    if isinstance(record, Mapping):
        items = list(record.items())
    else:
        items = []
        for name in record:
            if name not in METRICS:
                raise ValueError(f"unknown metric {name!r}; choose from {', '.join(METRICS)} "
                                 "or pass a dict of name -> function(engine)")
            items.append((name, METRICS[name]))
    out = {}
    for name, fn in items:
        if name in ("step", "time"):
            raise ValueError(f"metric name {name!r} is reserved")
        if not callable(fn):
            raise TypeError(f"metric {name!r} is not callable")
        out[name] = fn
    return out
