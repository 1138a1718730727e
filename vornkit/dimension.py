"""Dimension estimate from the growth of ball volumes.

For a sample of centre vertices, breadth-first search on the hypergraph's
2-section (two vertices are adjacent when they share a hyperedge) gives the
ball volumes V(r), the number of vertices within distance r.  On a space of
dimension d, V(r) grows like r^d; the estimate is the slope of log V against
log(r + 1/2) over a middle range of radii.

Why r + 1/2: a discrete ball of radius r stands for a continuum ball of
radius r + 1/2.  On the lattice Z^d the ball volume is a polynomial whose two
leading terms are exactly those of c (r + 1/2)^d, so the shifted fit removes
most of the small-radius bias that a plain log r fit has (about 1.8 instead
of 2 on a square grid at the radii a few thousand vertices allow).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Hashable, List, Optional, Sequence, Tuple

import numpy as np

from ._companion import is_engine
from .checks import hypergraph_parts

__all__ = ["DimensionEstimate", "ball_volumes", "estimate_dimension"]


@dataclass
class DimensionEstimate:
    """``dimension`` is the fitted slope (NaN when too few radii were usable);
    ``radii`` and ``volumes`` the mean ball volumes V(r) for r = 0, 1, ...;
    ``fit_range`` the (first, last) radius of the fit; ``local`` the slope
    between each radius and the next (NaN where undefined);
    ``centres`` the sampled vertices."""

    dimension: float
    radii: np.ndarray
    volumes: np.ndarray
    fit_range: Tuple[int, int]
    local: np.ndarray
    centres: List[Hashable]


def _two_section(edges, vertices=None):
    import networkx as nx
    g = nx.Graph()
    if vertices is not None:
        g.add_nodes_from(vertices)
    for e in edges:
        distinct = list(dict.fromkeys(e))
        g.add_nodes_from(distinct)
        for i, a in enumerate(distinct):
            for b in distinct[i + 1:]:
                g.add_edge(a, b)
    return g


def ball_volumes(edges, centres: Sequence[Hashable], max_radius: Optional[int] = None) -> np.ndarray:
    """V(r) for each centre: an array of shape (len(centres), R + 1).

    Rows are padded with their last value (the centre's component size) up
    to the longest row, or cut at ``max_radius``.  ``edges`` is a list of
    hyperedges, a networkx graph (taken as the 2-section) or an engine; an
    engine is read in native code (see :mod:`vornkit.analysis`).
    """
    if is_engine(edges):
        from . import analysis
        return analysis.ball_volumes(edges, centres, max_radius)
    if max_radius is not None and max_radius < 0:
        raise ValueError(f"max_radius must be None or at least 0, got {max_radius!r}")
    import networkx as nx
    g = edges if isinstance(edges, nx.Graph) else _two_section(hypergraph_parts(edges)[0])
    rows = []
    for c in centres:
        dist = nx.single_source_shortest_path_length(g, c, cutoff=max_radius)
        rows.append(np.cumsum(np.bincount(np.fromiter(dist.values(), dtype=np.int64))))
    if not rows:
        return np.zeros((0, 1))
    width = max(len(r) for r in rows) if max_radius is None else max_radius + 1
    return np.array([np.pad(r, (0, width - len(r)), mode="edge") if len(r) < width else r[:width]
                     for r in rows], dtype=float)


def estimate_dimension(edges, samples: int = 50, *, seed: int = 0,
                       fit_range: Optional[Tuple[int, int]] = None,
                       max_fraction: float = 0.2) -> DimensionEstimate:
    """Estimate the dimension of a hypergraph (a list of hyperedges or an engine).

    ``samples`` centres are drawn without replacement (seeded by ``seed``).
    The fit uses radii ``fit_range = (lo, hi)`` when given; otherwise ``hi``
    is the largest radius whose mean ball still holds at most
    ``max_fraction`` of the centres' components (larger balls feel the
    graph's finite size) and ``lo`` is about ``hi / 3``, at least 2 (the
    smallest balls are dominated by the lattice's fine structure).  When
    fewer than two radii remain, ``dimension`` is NaN.

    The centres are drawn from the vertices that lie on a hyperedge.  For a
    list of hyperedges they are ordered by ``repr`` (decimal text order for
    ints) before the draw; for an engine by their numeric id (sorting a
    million ids as text would cost more than the estimate), so the same
    hypergraph given as an engine and as ``engine.get_edges()`` may draw
    different centres.  An engine is read in native code, without networkx.
    """
    _check_samples(samples)
    if is_engine(edges):
        from . import analysis
        centres = _engine_centres(edges, samples, seed)
        table = analysis.ball_volumes(edges, centres)
    else:
        g = _two_section(hypergraph_parts(edges)[0])
        nodes = sorted(g.nodes, key=repr)
        if not nodes:
            raise ValueError("cannot estimate the dimension of an empty hypergraph")
        rng = np.random.default_rng(seed)
        k = min(samples, len(nodes))
        centres = [nodes[i] for i in rng.choice(len(nodes), size=k, replace=False)]
        table = ball_volumes(g, centres)
    volumes = table.mean(axis=0)
    radii = np.arange(len(volumes))

    with np.errstate(divide="ignore", invalid="ignore"):
        lr = np.log(radii + 0.5)
        lv = np.log(volumes)
        local = np.full(len(volumes), np.nan)
        local[:-1] = np.diff(lv) / np.diff(lr)

    lo, hi = _fit_radii(volumes, volumes[-1], fit_range, max_fraction)
    dimension = _fitted(lr, lv, lo, hi)
    return DimensionEstimate(dimension, radii, volumes, (lo, hi), local, centres)


def dimension_of(engine, samples: int = 50, *, seed: int = 0, max_fraction: float = 0.2) -> float:
    """``estimate_dimension(engine, samples, seed=seed, max_fraction=max_fraction).dimension``
    with less work: the breadth-first searches stop once the mean ball holds more than
    ``max_fraction`` of the centres' components, which is as far as the fit looks (see
    :func:`vornkit.analysis.bounded_ball_volumes`); the components' sizes come with the
    search."""
    from . import analysis
    if not max_fraction > 0:  # nothing within the bound: no shortcut
        return estimate_dimension(engine, samples, seed=seed, max_fraction=max_fraction).dimension
    _check_samples(samples)
    centres = _engine_centres(engine, samples, seed)
    table, component = analysis.bounded_ball_volumes(engine, centres, max_fraction)
    volumes = table.mean(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        lr = np.log(np.arange(len(volumes)) + 0.5)
        lv = np.log(volumes)
    lo, hi = _fit_radii(volumes, float(component.mean()), None, max_fraction)
    return _fitted(lr, lv, lo, hi)


def _check_samples(samples) -> None:
    if isinstance(samples, bool) or int(samples) != samples or samples < 1:
        raise ValueError(f"samples must be a positive integer, got {samples!r}")


def _engine_centres(engine, samples: int, seed: int) -> List[int]:
    """The centres an estimate over an engine draws: ``samples`` of the vertices in hyperedges,
    by ascending id, without replacement."""
    from . import analysis
    nodes = analysis.two_section_nodes(engine)
    if not len(nodes):
        raise ValueError("cannot estimate the dimension of an empty hypergraph")
    rng = np.random.default_rng(seed)
    k = min(samples, len(nodes))
    return nodes[rng.choice(len(nodes), size=k, replace=False)].tolist()


def _fit_radii(volumes: np.ndarray, component: float, fit_range, max_fraction: float) -> Tuple[int, int]:
    """(lo, hi), the radii the fit uses (see :func:`estimate_dimension`)."""
    if fit_range is None:
        within = np.nonzero(volumes <= max_fraction * component)[0]
        hi = int(within.max()) if len(within) else 0
        lo = max(2, int(math.ceil(hi / 3)))
        if hi - lo < 1:
            lo = max(1, hi - 1)
        return lo, hi
    lo, hi = (int(fit_range[0]), int(fit_range[1]))
    if lo < 0 or hi < lo:
        raise ValueError(f"fit_range must be (lo, hi) with 0 <= lo <= hi, got {fit_range!r}")
    return lo, min(hi, len(volumes) - 1)


def _fitted(lr: np.ndarray, lv: np.ndarray, lo: int, hi: int) -> float:
    """The slope of log V against log r over radii lo to hi, NaN with fewer than two."""
    if hi - lo >= 1:
        return float(np.polyfit(lr[lo:hi + 1], lv[lo:hi + 1], 1)[0])
    return float("nan")
