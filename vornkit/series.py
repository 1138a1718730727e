"""Costly metrics in a run's history: measured at a few rows only, NaN in the others.

A history row is taken after every chunk of a run, and a run of a million
steps takes dozens of rows.  A metric whose cost grows with the graph (the
dimension estimate reads the whole hypergraph) would cost many times the run
if measured at each of them.  A metric marked with :func:`sparse_metric` is
measured only at the rows a :class:`SparseRows` schedule picks:

- the first row of the run;
- the first row whose step reaches each mark ``ceil(steps / 2**j)``
  (``j = 0, 1, ...``; marks ``steps, steps/2, steps/4, ... , 1``);
- the last row of the run (the caller fills it in when the run ends early).

The marks halve towards the start, so at most one measurement falls in each
doubling of the step count: about ``log2(steps) + 2`` in all (22 at a million
steps), and when the graph grows with the steps their summed cost is about
twice that of a measurement at the end.  Every other row holds NaN, so all
history lists keep one entry per row.  The schedule depends only on the
steps of the rows, so members of an ensemble, which record at the same
steps, measure at the same steps.

Invariant: a row is measured only when its step reaches the next mark after
the last measured row's step; :meth:`SparseRows.taken` advances that.
"""

from __future__ import annotations

import math
from bisect import bisect_right
from typing import Any, Callable, Dict, List, Optional

__all__ = ["sparse_metric", "is_sparse", "SparseRows", "measure_dimension", "DIMENSION_SAMPLES"]

#: Centres sampled by the ``"dimension"`` metric (see :func:`vornkit.estimate_dimension`).
DIMENSION_SAMPLES = 50

NAN = float("nan")


def sparse_metric(fn: Callable[[Any], float]) -> Callable[[Any], float]:
    """Mark ``fn(engine)`` as costly: runs measure it only at the rows :class:`SparseRows` picks."""
    fn.vornkit_sparse = True
    return fn


def is_sparse(fn: Callable[[Any], float]) -> bool:
    """Whether ``fn`` was marked with :func:`sparse_metric`."""
    return getattr(fn, "vornkit_sparse", False) is True


class SparseRows:
    """Which rows of a run of ``steps`` steps measure the sparse metrics.

    Call :meth:`due` with a row's step (steps done by this run), measure the
    sparse metrics when it says so, and call :meth:`taken` once the row is
    stored.
    """

    def __init__(self, steps: int) -> None:
        self.steps = steps
        marks = set()
        mark = steps
        while mark >= 1:
            marks.add(mark)
            mark = -(-mark // 2) if mark > 1 else 0  # ceil(mark / 2): ceil(steps / 2**j) for each j
        self.marks: List[int] = sorted(marks)
        #: The step of the last measured row, or None before the first one.
        self.last: Optional[int] = None

    def due(self, step: int) -> bool:
        if self.last is None:
            return True
        k = bisect_right(self.marks, self.last)
        return k < len(self.marks) and step >= self.marks[k]

    def taken(self, step: int) -> None:
        self.last = step

    def row(self, engine, step: int, metrics: Dict[str, Callable[[Any], float]]) -> List[Any]:
        """The metric values of a row at ``step``: sparse ones measured if due, NaN otherwise.

        Does not call :meth:`taken`: the caller does once it has stored the row.
        """
        due = self.due(step)
        return [fn(engine) if due or not is_sparse(fn) else NAN for fn in metrics.values()]


@sparse_metric
def measure_dimension(engine) -> float:
    """The dimension estimate of ``engine``'s hypergraph, or NaN where there is none.

    :func:`vornkit.estimate_dimension` with :data:`DIMENSION_SAMPLES` centres
    and seed 0 (through :func:`vornkit.dimension.dimension_of`, which searches
    only as far as the fit looks); NaN for a graph without vertices in
    hyperedges or with too few radii to fit.
    """
    from .dimension import dimension_of

    if engine.edge_count() == 0:
        return NAN
    try:
        value = dimension_of(engine, DIMENSION_SAMPLES, seed=0)
    except ValueError:  # hyperedges, but none with a vertex: nothing to measure
        return NAN
    return value if math.isfinite(value) else NAN
