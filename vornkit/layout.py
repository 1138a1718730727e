"""Force layout of a graph's vertices in the plane, in compiled code.

The global shape comes from pivot multidimensional scaling (graph
distances to a few far-apart vertices, reduced to two dimensions), which
unfolds grids, trees and long cycles as they are; a Fruchterman-Reingold
force layout (python-igraph) then untangles it locally.  Invariant: the same
vertices, pairs and seed give the same coordinates.
"""

from __future__ import annotations

import random
from typing import List, Sequence, Tuple

import numpy as np

__all__ = ["force_layout"]

#: Pivot vertices per connected part for the starting shape.
PIVOTS = 50

#: Bound on vertex pairs times force iterations: the force stage costs about
#: n**2 per iteration, so bigger graphs get fewer (from a better start).
WORK = 5e7
MIN_ITERATIONS, MAX_ITERATIONS = 30, 300


def _pivot_shape(graph, members: np.ndarray) -> np.ndarray:
    """Plane coordinates of one connected part (``members``, vertex indices of ``graph``)
    whose distances follow the graph distances, edge length about 1."""
    m = len(members)
    if m == 1:
        return np.zeros((1, 2))
    part = graph.subgraph(members.tolist())
    # Max-min pivots: each next one is the vertex farthest from those chosen;
    # the first is the part's first vertex, so no randomness is involved.
    rows: List[np.ndarray] = []
    nearest = np.full(m, np.inf)
    pivot = 0
    for _ in range(min(PIVOTS, m)):
        d = np.asarray(part.distances(source=[pivot])[0], dtype=float)
        rows.append(d)
        nearest = np.minimum(nearest, d)
        pivot = int(np.argmax(nearest))
        if nearest[pivot] == 0:
            break
    squared = np.array(rows).T ** 2  # m x pivots
    centred = -0.5 * (squared - squared.mean(axis=0) - squared.mean(axis=1, keepdims=True) + squared.mean())
    # The two leading singular directions, from the small pivots x pivots
    # matrix (a LAPACK call on the tall one costs far more under a busy BLAS).
    values, vectors = np.linalg.eigh(centred.T @ centred)
    top = vectors[:, ::-1][:, :2]
    xy = np.zeros((m, 2))
    xy[:, :top.shape[1]] = centred @ top
    return xy


def _packed(parts: Sequence[Tuple[np.ndarray, np.ndarray]], n: int) -> np.ndarray:
    """The parts' shapes side by side in rows, biggest first, about as wide as the biggest or a
    square of all."""
    xy = np.zeros((n, 2))
    width = max(float(np.ptp(parts[0][1][:, 0])) + 2.0, 1.5 * float(np.sqrt(n)))
    x = y = row_height = 0.0
    for members, shape in parts:
        shape = shape - shape.min(axis=0)
        w, h = shape.max(axis=0) + 1.5
        if x > 0 and x + w > width:
            x, y, row_height = 0.0, y - row_height, 0.0
        xy[members] = shape + [x, y - h]
        x += w
        row_height = max(row_height, h)
    return xy


def force_layout(n: int, pairs: np.ndarray, seed: int = 0) -> np.ndarray:
    """``(n, 2)`` float coordinates for vertices ``0 .. n-1`` joined by ``pairs`` (a ``(k, 2)``
    integer array; repeats and self-pairs are allowed and ignored).

    Each connected part gets its pivot-scaling shape, the parts are set side
    by side, and the force layout refines the whole; ``seed`` fixes the
    force layout's random choices, so the result is reproducible.  Cost for
    2,000 vertices: a few tenths of a second.
    """
    import igraph

    if n == 0:
        return np.zeros((0, 2))
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    pairs = np.unique(np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1), axis=0)
    graph = igraph.Graph(n=n, edges=pairs.tolist())
    if n == 1:
        return np.zeros((1, 2))
    parts = [np.asarray(c, dtype=np.int64) for c in graph.connected_components()]
    parts.sort(key=lambda c: (-len(c), int(c[0])))
    # The force layout's rest length is shorter than the graph distance:
    # starting at half scale lets its few iterations spread rather than shrink.
    start = 0.5 * _packed([(c, _pivot_shape(graph, c)) for c in parts], n)
    iterations = int(np.clip(WORK / n ** 2, MIN_ITERATIONS, MAX_ITERATIONS))
    # igraph draws from a process-wide generator: give it a seeded one for
    # this call and put the default back after.
    igraph.set_random_number_generator(random.Random(seed))
    try:
        xy = graph.layout_fruchterman_reingold(seed=start.tolist(), niter=iterations, grid="nogrid")
    finally:
        igraph.set_random_number_generator(random)
    return np.asarray(xy.coords, dtype=float).reshape(n, 2)
