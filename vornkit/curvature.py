"""Scalar curvature from how ball volumes fall short of (or exceed) flat growth.

In a d-dimensional space of scalar curvature R, a ball of radius r holds

    V(r) = c r^d (1 - R r^2 / (6 (d + 2)) + O(r^4)),

less than the flat c r^d where R > 0 (a sphere) and more where R < 0 (a
saddle).  The ball volumes V(r) come from breadth-first search on the
hypergraph's 2-section, as for the dimension estimate
(:func:`~vornkit.estimate_dimension`), and for each sampled centre

    log V(r) - d log(rho) = log c + e / rho^2 - K rho^2,   rho = r + 1/2,

is fitted by linear least squares over the radii r = lo .. hi; then
R = 6 (d + 2) K.  Why these terms:

- rho = r + 1/2: a discrete ball of radius r stands for a continuum ball of
  radius r + 1/2 (on a lattice the two leading terms of V(r) are those of
  c (r + 1/2)^d);
- e / rho^2: the lattice's next correction to the volume is relative order
  1 / rho^2 (the triangular lattice's 3 r^2 + 3 r + 1 = 3 rho^2 + 1/4); left
  out, it would leak into K at small radii, where the curvature signal is
  weakest;
- the log of (1 - K rho^2) is taken to first order (-K rho^2): the next
  term is of the same order as the O(r^4) left out anyway.

The dimension d is given, or the nearest whole number to the dimension
estimate's fit (the expansion holds on manifolds, of whole dimension).
Radii: ``lo`` = 1 (the single-vertex ball says nothing) and ``hi`` the
largest radius whose mean ball holds at most ``max_fraction`` of the
centres' components; beyond that the balls feel the graph's finite size.

``ricci`` is the mean of the per-centre values, which vary a lot on a
discrete graph (curvature sits on the vertices whose degree differs from
the flat one); ``error`` is the standard error of that mean.  The unit of
length is one hop.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Hashable, List, Optional, Sequence, Tuple

import numpy as np

from ._companion import is_engine
from .checks import whole_number

__all__ = ["CurvatureEstimate", "estimate_curvature"]


@dataclass
class CurvatureEstimate:
    """``ricci``: the mean scalar curvature over the centres (in 1 / hop^2);
    ``error``: its standard error (NaN with a single centre);
    ``per_centre``: each centre's value, in the order of ``centres``;
    ``dimension``: the d used; ``radii``/``volumes``: the mean ball volumes
    V(r) for r = 0, 1, ...; ``fit_range``: the (first, last) radius fitted."""

    ricci: float
    error: float
    per_centre: np.ndarray
    dimension: float
    radii: np.ndarray
    volumes: np.ndarray
    fit_range: Tuple[int, int]
    centres: List[Hashable]


def _vertices(edges) -> list:
    """The vertices of an engine, a networkx graph or a list of hyperedges, in a reproducible order."""
    if is_engine(edges):
        from .arrays import vertices_array
        return sorted(vertices_array(edges).tolist())
    try:
        import networkx as nx
        if isinstance(edges, nx.Graph):
            return sorted(edges.nodes, key=repr)
    except ImportError:  # pragma: no cover
        pass
    from .checks import as_edges
    return sorted({v for e in as_edges(edges) for v in e}, key=repr)


def _is_real(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _as_edge_source(edges):
    """An engine or hyperedge list as it is; a networkx graph as its list of edges."""
    import sys
    nx = sys.modules.get("networkx")
    if nx is not None and isinstance(edges, nx.Graph):
        return list(edges.edges)
    return edges


def fit_curvature(volumes: np.ndarray, dimension: float, lo: int, hi: int) -> np.ndarray:
    """The scalar curvature of each row of ball volumes V(r), fitted over radii lo .. hi
    (at least three radii, the model has three terms)."""
    rho = np.arange(lo, hi + 1) + 0.5
    design = np.column_stack([np.ones_like(rho), rho ** -2, rho ** 2])
    target = np.log(volumes[:, lo:hi + 1]) - dimension * np.log(rho)
    coefficients, *_ = np.linalg.lstsq(design, target.T, rcond=None)
    return -6 * (dimension + 2) * coefficients[2]


def estimate_curvature(edges, samples: int = 50, *, seed: int = 0, dimension: Optional[float] = None,
                       fit_range: Optional[Tuple[int, int]] = None,
                       centres: Optional[Sequence[Hashable]] = None,
                       max_fraction: float = 0.5) -> CurvatureEstimate:
    """Estimate the scalar curvature of a hypergraph (a list of hyperedges, a networkx graph or an engine).

    ``samples`` centres are drawn without replacement (seeded by ``seed``),
    unless ``centres`` lists them.  ``dimension`` is d in the volume law
    (default: the rounded dimension estimate); ``fit_range = (lo, hi)``
    the radii fitted (default: see the module docstring, with
    ``max_fraction``).  Raises ValueError for an empty hypergraph, bad
    arguments, or too few radii to fit (three are needed).
    """
    from .dimension import ball_volumes, estimate_dimension

    samples = whole_number(samples, "samples", minimum=1)
    seed = whole_number(seed, "seed")
    if not (_is_real(max_fraction) and 0 < max_fraction <= 1):
        raise ValueError(f"max_fraction must be in (0, 1], got {max_fraction!r}")
    if dimension is not None and not (_is_real(dimension) and math.isfinite(dimension) and dimension > 0):
        raise ValueError(f"dimension must be a positive number, got {dimension!r}")
    nodes = _vertices(edges)
    if not nodes:
        raise ValueError("cannot estimate the curvature of an empty hypergraph")
    if centres is None:
        rng = np.random.default_rng(seed)
        picked = rng.choice(len(nodes), size=min(samples, len(nodes)), replace=False)
        centres = [nodes[i] for i in picked]
    else:
        centres = list(centres)
        if not centres:
            raise ValueError("centres is empty")
        known = set(nodes)
        missing = [c for c in centres if c not in known]
        if missing:
            raise ValueError(f"centre {missing[0]!r} is not a vertex of the hypergraph")
    if dimension is None:
        estimated = estimate_dimension(_as_edge_source(edges), samples, seed=seed).dimension
        if not math.isfinite(estimated):
            raise ValueError("the hypergraph is too small to estimate its dimension; pass dimension=")
        dimension = max(1, round(estimated))

    table = np.asarray(ball_volumes(edges, centres), dtype=float)
    volumes = table.mean(axis=0)
    radii = np.arange(len(volumes))
    if fit_range is None:
        component = volumes[-1]
        within = np.flatnonzero(volumes <= max_fraction * component)
        lo, hi = 1, (int(within.max()) if len(within) else 0)
    else:
        bounds = [whole_number(r, "fit_range") for r in fit_range]
        if len(bounds) != 2 or bounds[0] < 1 or bounds[1] < bounds[0]:
            raise ValueError(f"fit_range must be (lo, hi) with 1 <= lo <= hi, got {fit_range!r}")
        lo, hi = bounds[0], min(bounds[1], len(volumes) - 1)
    if hi - lo < 2:
        raise ValueError(f"too few radii to fit the curvature (radii {lo}..{hi}; three are needed): "
                         "the hypergraph is too small, or lower fit_range's first radius")
    per_centre = fit_curvature(table, float(dimension), lo, hi)
    k = len(per_centre)
    error = float(per_centre.std(ddof=1) / math.sqrt(k)) if k > 1 else math.nan
    return CurvatureEstimate(float(per_centre.mean()), error, per_centre, float(dimension), radii, volumes,
                             (lo, hi), centres)
