"""The dimension of a causal graph from the ordering fraction of its causal intervals.

The Myrheim-Meyer estimate.  In an interval {z : x < z < y} of a causal set
sprinkled uniformly into d-dimensional Minkowski space, two elements are
related (one lies in the other's light cone) with probability

    r(d) = 2 f(d) = Gamma(d + 1) Gamma(d / 2) / (2 Gamma(3d / 2)),

so r(1) = 1 (a chain), r(2) = 1/2, r(4) = 1/10.  Counting the related pairs
R among the m elements of an interval gives the ordering fraction
R / (m (m - 1) / 2); pooling random intervals and inverting r gives d.

Why this rather than the growth of causal cones: cone growth V ~ tau^d
needs a proper time, which a causal graph only has as the length of its
longest chains; those are noisy, need large cones to settle, and the
relation an engine records has no consistent depth (see below).  The
ordering fraction needs nothing but counts, no density or scale, and for a
uniform sprinkling its mean is exactly r(d) at every interval size (the
interior of an interval, given its size, is again a uniform sprinkling of
a smaller diamond), so small intervals add noise but no bias.

Intervals.  The relation must be acyclic with a known topological order.
An interval's endpoints are drawn as follows: x uniformly among the
elements with a future; then, with x's future F(x) listed in topological
order, y is its j-th element for j drawn uniformly from min_size + 1 to
max_size + 1 (or to the size of F(x), when that is smaller).  Every
element between x and y precedes y in the order, so the interval has at
most j - 1 <= max_size elements, which bounds the work.  The choice of y
depends on how many elements precede it, not on where those inside the
interval lie, so for a sprinkling the interior stays uniform.  The
interior is found by a backward search from y within those first j - 1
elements of F(x); intervals with fewer than ``min_size`` elements are
drawn again.  The related pairs inside come from a transitive closure
over packed bit rows, one vectorised sweep per layer of longest paths.

What an engine records.  Each created hyperedge records each of its
vertices as a direct cause of the next, and a rule may list two old
vertices in either order, so the recorded relation has cycles (in the
growth model about half of all vertices lie in one strongly connected
component, so condensing components would leave little).  Time is
therefore taken from the order in which vertices appeared: a recorded
pair whose effect appeared before its cause runs backwards in that order
and is left out (``dropped`` counts them; in the growth model the reverse
of every such pair is recorded too, so nothing is lost there).  What
remains is acyclic, with the order of appearance as its topological
order.  For plain (causes, effects) arrays no such order is known: they
must be acyclic, and a topological sort (layers of longest paths, by id
within a layer) orders them, unless every cause's id is already below its
effect's.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from ._companion import is_engine
from .checks import whole_number

__all__ = ["CausalDimension", "causal_dimension", "ordering_fraction", "myrheim_meyer_dimension"]


@dataclass
class CausalDimension:
    """``dimension``: the Myrheim-Meyer estimate from the pooled ordering
    fraction (related pairs over all pairs, summed over the intervals);
    ``error``: its bootstrap standard error over the intervals;
    ``spread``: the standard deviation of the per-interval estimates
    (those of finite value); ``per_interval``: each interval's own estimate
    (inf when nothing inside was related); ``sizes``/``related``: each
    interval's element count and related pairs; ``endpoints``: an (k, 2)
    array of the intervals' (x, y) vertex ids; ``dropped``: recorded pairs
    left out because they run against the order of appearance."""

    dimension: float
    error: float
    spread: float
    ordering_fraction: float
    per_interval: np.ndarray
    sizes: np.ndarray
    related: np.ndarray
    endpoints: np.ndarray
    dropped: int


def ordering_fraction(d):
    """The expected share of related pairs in an interval of d-dimensional Minkowski space."""
    d = np.asarray(d, dtype=float)
    lg = np.vectorize(math.lgamma)
    return np.exp(lg(d + 1) + lg(d / 2) - lg(1.5 * d) - math.log(2))


def myrheim_meyer_dimension(fraction: float) -> float:
    """The dimension d >= 1 whose ordering fraction is ``fraction`` (1 at 1 or above, inf at 0)."""
    from scipy.optimize import brentq

    if not fraction > 0:
        return math.inf
    if fraction >= 1:
        return 1.0
    target = math.log(fraction)

    def gap(d):
        return math.lgamma(d + 1) + math.lgamma(d / 2) - math.lgamma(1.5 * d) - math.log(2) - target

    hi = 2.0
    while gap(hi) > 0:
        hi *= 2
    return float(brentq(gap, 1.0, hi, xtol=1e-10))


def _positions(ids: np.ndarray, values: np.ndarray, name: str) -> np.ndarray:
    """The position in ``ids`` (distinct) of each of ``values``; ValueError naming ``name`` if one is missing."""
    if not len(values):
        return np.zeros(0, dtype=np.int64)
    if len(ids):
        lo, hi = int(ids.min()), int(ids.max())
        if hi - lo < 4 * len(ids) + 1024:  # ids are nearly dense (an engine's are): a lookup table
            table = np.full(hi - lo + 1, -1, dtype=np.int64)
            table[ids - lo] = np.arange(len(ids))
            inside = (values >= lo) & (values <= hi)
            out = np.full(len(values), -1, dtype=np.int64)
            out[inside] = table[values[inside] - lo]
        else:
            order = np.argsort(ids, kind="stable")
            at = np.searchsorted(ids[order], values).clip(0, len(ids) - 1)
            out = np.where(ids[order][at] == values, order[at], -1)
        if out.min() >= 0:
            return out
    raise ValueError(f"a {name} is missing from the links' vertices")


def _ordered_graph(source):
    """(forward CSR, backward CSR, vertex id per index, dropped): indices follow a topological order."""
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import connected_components

    from .causal import CausalLinks, causal_links

    if is_engine(source):
        source = causal_links(source)
    if isinstance(source, CausalLinks):
        ids = np.asarray(source.vertices, dtype=np.int64)
        a = _positions(ids, np.asarray(source.causes, dtype=np.int64), "cause")
        b = _positions(ids, np.asarray(source.effects, dtype=np.int64), "effect")
        forward = a < b
        dropped = int((~forward).sum())
        a, b = a[forward], b[forward]
    else:
        try:
            causes, effects = source
            causes = np.asarray(causes)
            effects = np.asarray(effects)
        except (TypeError, ValueError):
            raise TypeError("expected a vorn.Engine, a CausalLinks or a (causes, effects) pair of "
                            f"integer arrays, got {type(source).__name__}") from None
        if causes.shape != effects.shape or causes.ndim != 1:
            raise ValueError("causes and effects must be one-dimensional arrays of the same length")
        if len(causes) and not (np.issubdtype(causes.dtype, np.integer)
                                and np.issubdtype(effects.dtype, np.integer)):
            raise ValueError("causes and effects must hold integer vertex ids")
        ids, inverse = np.unique(np.concatenate([causes, effects]).astype(np.int64), return_inverse=True)
        a, b = inverse[:len(causes)], inverse[len(causes):]
        dropped = 0
        n = len(ids)
        if np.any(a == b):
            raise ValueError("a vertex is its own cause: the pairs must form an acyclic relation")
        if n and not np.all(a < b):
            graph = csr_matrix((np.ones(len(a), dtype=np.int8), (a, b)), shape=(n, n))
            if connected_components(graph, directed=True, connection="strong")[0] < n:
                raise ValueError("the pairs contain a cycle; give a CausalLinks, whose order of "
                                 "appearance says which way time runs")
            rank = _topological_rank(graph)
            ids = ids[np.argsort(rank, kind="stable")]
            a, b = rank[a], rank[b]
    n = len(ids)
    if not len(a):
        raise ValueError("the causal graph has no pairs to measure")
    ones = np.ones(len(a), dtype=np.int8)
    forward = csr_matrix((ones, (a, b)), shape=(n, n))
    backward = csr_matrix((ones, (b, a)), shape=(n, n))
    return forward, backward, ids, dropped


def _layers(graph) -> list:
    """The vertices of an acyclic CSR graph by layers of longest paths (sources first), each sorted."""
    n = graph.shape[0]
    indegree = np.bincount(graph.indices, minlength=n)
    layer = np.flatnonzero(indegree == 0)
    out = []
    while len(layer):
        out.append(layer)
        starts, ends = graph.indptr[layer], graph.indptr[layer + 1]
        succ = graph.indices[_ranges(starts, ends)]
        np.subtract.at(indegree, succ, 1)
        cand = np.unique(succ)
        layer = cand[indegree[cand] == 0]
    return out


def _topological_rank(graph) -> np.ndarray:
    """A topological position per vertex: layer by layer, by index within a layer."""
    rank = np.empty(graph.shape[0], dtype=np.int64)
    rank[np.concatenate(_layers(graph))] = np.arange(graph.shape[0])
    return rank


def _ranges(starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """The concatenation of arange(s, e) for each (s, e)."""
    lengths = ends - starts
    total = int(lengths.sum())
    if not total:
        return np.zeros(0, dtype=np.int64)
    offsets = np.repeat(starts - np.cumsum(lengths) + lengths, lengths)
    return offsets + np.arange(total)


def _first_future(graph, x: int, count: int) -> np.ndarray:
    """The first ``count`` elements of x's future (x excluded) in index order, sorted.

    A search from x restricted to indices up to x + window finds exactly the
    future's part in that window (every path runs up in index); the window
    grows fourfold until it holds ``count`` elements or covers everything.
    """
    n = graph.shape[0]
    window = 4 * count
    while True:
        bound = min(n - 1, x + window)
        seen = np.zeros(bound - x + 1, dtype=bool)
        frontier = np.array([x])
        found = []
        while len(frontier):
            succ = graph.indices[_ranges(graph.indptr[frontier], graph.indptr[frontier + 1])]
            succ = np.unique(succ[succ <= bound])
            succ = succ[~seen[succ - x]]
            seen[succ - x] = True
            found.append(succ)
            frontier = succ
        future = np.sort(np.concatenate(found))
        if len(future) >= count or bound == n - 1:
            return future[:count]
        window *= 4


def _reach(graph, y: int, allowed: np.ndarray) -> np.ndarray:
    """The elements of the sorted array ``allowed`` from which a search along ``graph``
    starting at y arrives (y itself excluded), keeping to ``allowed``; sorted."""
    seen = np.zeros(len(allowed), dtype=bool)
    frontier = np.array([y])
    while len(frontier) and len(allowed):
        succ = graph.indices[_ranges(graph.indptr[frontier], graph.indptr[frontier + 1])]
        pos = np.searchsorted(allowed, succ).clip(0, len(allowed) - 1)
        pos = np.unique(pos[allowed[pos] == succ])
        pos = pos[~seen[pos]]
        seen[pos] = True
        frontier = allowed[pos]
    return allowed[seen]


def _induced(graph, nodes: np.ndarray):
    """The subgraph of ``graph`` on the sorted ``nodes``, as a CSR graph over positions in ``nodes``."""
    from scipy.sparse import csr_matrix

    m = len(nodes)
    starts, ends = graph.indptr[nodes], graph.indptr[nodes + 1]
    succ = graph.indices[_ranges(starts, ends)]
    rows = np.repeat(np.arange(m), ends - starts)
    pos = np.searchsorted(nodes, succ).clip(0, max(m - 1, 0))
    keep = nodes[pos] == succ
    return csr_matrix((np.ones(int(keep.sum()), dtype=np.int8), (rows[keep], pos[keep])), shape=(m, m))


def related_pairs(graph) -> int:
    """The number of related pairs (x reaches y, x != y) in a small acyclic CSR graph whose
    index order is topological, by a transitive closure over packed bit rows."""
    m = graph.shape[0]
    if m < 2:
        return 0
    words = (m + 63) // 64
    closed = np.zeros((m, words), dtype=np.uint64)  # each row: the element and its past
    own = np.arange(m)
    closed[own, own >> 6] = np.left_shift(np.uint64(1), (own & 63).astype(np.uint64))
    incoming = graph.T.tocsr()
    for layer in _layers(graph)[1:]:
        starts, ends = incoming.indptr[layer], incoming.indptr[layer + 1]
        preds = incoming.indices[_ranges(starts, ends)]
        segment = np.cumsum(ends - starts) - (ends - starts)
        closed[layer] |= np.bitwise_or.reduceat(closed[preds], segment, axis=0)
    return int(np.bitwise_count(closed).sum()) - m


def causal_dimension(source, samples: int = 100, *, seed: int = 0, min_size: int = 10,
                     max_size: int = 1000, max_tries: Optional[int] = None,
                     bootstrap: int = 200) -> CausalDimension:
    """Estimate the dimension of a causal graph from random causal intervals.

    ``source`` is a ``vorn.Engine``, its :class:`~vornkit.CausalLinks`, or
    a pair ``(causes, effects)`` of integer arrays (an acyclic relation,
    either the direct links or the whole relation).  ``samples`` intervals
    with ``min_size`` to ``max_size`` elements are drawn (seeded by
    ``seed``; see the module docstring for how), in at most ``max_tries``
    draws (default ``50 * samples``; an x whose whole future has fewer than
    ``min_size + 1`` elements is set aside without counting as a draw).
    Fewer intervals than ``samples`` are returned when the draws run out.
    ``bootstrap`` resamplings of the intervals give ``error``.  Raises
    ValueError for a graph without pairs, bad arguments, or when no
    interval of ``min_size`` elements turns up.

    Cost: about 10 ms per interval of a few hundred elements, plus reading
    and indexing the pairs (about 2 s for the 3.5 million pairs of 10^6
    growth steps).
    """
    samples = whole_number(samples, "samples", minimum=1)
    min_size = whole_number(min_size, "min_size", minimum=2)
    max_size = whole_number(max_size, "max_size", minimum=min_size)
    max_tries = 50 * samples if max_tries is None else whole_number(max_tries, "max_tries", minimum=1)
    bootstrap = whole_number(bootstrap, "bootstrap", minimum=0)
    rng = np.random.default_rng(whole_number(seed, "seed"))
    forward, backward, ids, dropped = _ordered_graph(source)

    pool = np.flatnonzero(np.diff(forward.indptr) > 0)  # the elements with a future
    live = len(pool)
    sizes, related, ends = [], [], []
    tries = 0
    while len(sizes) < samples and tries < max_tries and live:
        k = int(rng.integers(live))
        x = int(pool[k])
        future = _first_future(forward, x, max_size + 1)
        if len(future) < min_size + 1:
            # x's whole future is too small (it was found whole): never draw x again.
            pool[k], pool[live - 1] = pool[live - 1], pool[k]
            live -= 1
            continue
        tries += 1
        j = int(rng.integers(min_size + 1, len(future) + 1))
        y = int(future[j - 1])
        inside = _reach(backward, y, future[:j - 1])
        if len(inside) < min_size:
            continue
        sizes.append(len(inside))
        related.append(related_pairs(_induced(forward, inside)))
        ends.append((ids[x], ids[y]))
    if not sizes:
        raise ValueError(f"no causal interval with at least {min_size} elements turned up in "
                         f"{tries} draws; lower min_size")

    sizes = np.array(sizes, dtype=np.int64)
    related = np.array(related, dtype=np.int64)
    pairs = sizes * (sizes - 1) / 2
    fraction = float(related.sum() / pairs.sum())
    per_interval = np.array([myrheim_meyer_dimension(f) for f in related / pairs])
    finite = per_interval[np.isfinite(per_interval)]
    spread = float(finite.std()) if len(finite) > 1 else math.nan
    error = math.nan
    if bootstrap and len(sizes) > 1:
        picks = rng.integers(len(sizes), size=(bootstrap, len(sizes)))
        boot = [myrheim_meyer_dimension(f) for f in related[picks].sum(1) / pairs[picks].sum(1)]
        error = float(np.std(boot))
    return CausalDimension(myrheim_meyer_dimension(fraction), error, spread, fraction, per_interval,
                           sizes, related, np.array(ends, dtype=np.int64).reshape(-1, 2), dropped)
