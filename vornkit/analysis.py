"""Graph analysis of an engine's hypergraph in native code: ball volumes,
distances, connected components and the hyperedges nearest a vertex.

All of them work on the 2-section (two vertices are adjacent when they share
a hyperedge), read the engine in place without copying it to Python, run
without the GIL (other Python threads go on; one that tries to change the
engine meanwhile gets ``RuntimeError: Already borrowed``) and stop on Ctrl-C
within a few tens of milliseconds, leaving the engine as it was.

A vertex argument must be a vertex of the engine (or an id a hyperedge
names); anything else raises ValueError.
"""

from __future__ import annotations

from typing import Iterable, List, Optional, Tuple

import numpy as np

from ._companion import int64, native

__all__ = ["ball_volumes", "distances", "components", "nearest_edges", "two_section_nodes"]


def _radius(max_radius) -> Optional[int]:
    if max_radius is None:
        return None
    r = int(max_radius)
    if r < 0:
        raise ValueError(f"max_radius must be None or at least 0, got {max_radius!r}")
    return r


_LAYOUTS = {"auto": 0, "plain": 1, "coded": 2, "store": 3}


def ball_volumes(engine, centres: Iterable[int], max_radius: Optional[int] = None, *,
                 layout: str = "auto") -> np.ndarray:
    """V(r), the number of vertices within distance r, for each centre: a float array of
    shape ``(len(centres), R + 1)``.

    Rows are padded with their last value (the centre's component size) up
    to the longest row, or cut at ``max_radius``, exactly as
    :func:`vornkit.dimension.ball_volumes` does for an edge list.

    ``layout`` chooses what the search walks: ``"auto"`` (the default) the
    fastest that fits in memory, a plain copy of the adjacency where it
    fits, else a byte-coded copy, else the engine's own records; ``"plain"``,
    ``"coded"`` or ``"store"`` one of them regardless of size.  The result is
    the same; only time and memory differ.
    """
    return _volumes(engine, centres, max_radius, layout, 0.0)[0]


def bounded_ball_volumes(engine, centres: Iterable[int], fraction: float, *,
                         layout: str = "auto") -> Tuple[np.ndarray, np.ndarray]:
    """``(table, sizes)``: :func:`ball_volumes` searched only as far as the mean ball first holds
    more than ``fraction`` of the centres' components (a hair more), and each centre's component
    size.  The table then ends at that radius (whole when the search walks the engine's records,
    ``layout="store"``).  For a fit that looks no further, such as the dimension's."""
    if not fraction > 0:
        raise ValueError(f"fraction must be above 0, got {fraction!r}")
    return _volumes(engine, centres, None, layout, float(fraction))


def _volumes(engine, centres, max_radius, layout: str, fraction: float) -> Tuple[np.ndarray, np.ndarray]:
    if layout not in _LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join(map(repr, _LAYOUTS))}, got {layout!r}")
    radius = _radius(max_radius)
    ids = np.asarray(list(centres) if not isinstance(centres, np.ndarray) else centres)
    if ids.size and not np.issubdtype(ids.dtype, np.integer):
        raise ValueError(f"centres must be vertex ids (integers), got {ids.dtype}")
    ids = np.ascontiguousarray(ids, dtype=np.int64).ravel()
    offsets, volumes, sizes = (int64(b) for b in native().ball_volumes(engine, ids.tobytes(), radius,
                                                                              _LAYOUTS[layout], fraction))
    if not len(ids):
        return np.zeros((0, 1)), sizes
    lengths = np.diff(offsets)
    width = int(lengths.max()) if radius is None else radius + 1
    out = np.empty((len(ids), width), dtype=float)
    for k, (a, b) in enumerate(zip(offsets[:-1].tolist(), offsets[1:].tolist())):
        n = min(b - a, width)
        out[k, :n] = volumes[a:a + n]
        out[k, n:] = volumes[b - 1]
    return out, sizes


def distances(engine, v: int, max_radius: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """``(ids, dist)``: every vertex within ``max_radius`` of ``v`` (all it reaches when
    None) in breadth-first order, ``v`` first, and its distance."""
    ids, dist = native().distances(engine, v, _radius(max_radius))
    return int64(ids), int64(dist)


def components(engine) -> Tuple[np.ndarray, np.ndarray]:
    """``(ids, labels)``: every vertex (and every id a hyperedge names) with the number
    of its connected component; an isolated vertex is a component of its own."""
    ids, labels = native().components(engine)
    return int64(ids), int64(labels)


def nearest_edges(engine, centre: int, n: int) -> List[List[int]]:
    """The at most ``n`` hyperedges nearest ``centre``, as lists of vertex ids.

    Breadth-first from ``centre``: each vertex's hyperedges are taken in the
    order of ``engine.get_edges()``, each hyperedge once; the same selection
    as :func:`vornkit.plotting.local_part` makes for the same centre.
    """
    if int(n) < 0:
        raise ValueError(f"n must be at least 0, got {n!r}")
    offsets, members, _ids = (int64(b) for b in native().nearest_edges(engine, centre, int(n)))
    flat = members.tolist()
    bounds = offsets.tolist()
    return [flat[a:b] for a, b in zip(bounds, bounds[1:])]


def two_section_nodes(engine) -> np.ndarray:
    """The ids of every vertex some hyperedge names, ascending (isolated vertices left out)."""
    return int64(native().nodes(engine))
