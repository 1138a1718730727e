"""The causal graph: the direct relation as the rules recorded it, exact past and future sets, a picture.

Every hyperedge a step creates records each of its vertices as a direct
cause of the next one.  :func:`causal_links` reads those pairs and a depth
per vertex straight from the engine's causal log, cheaply at any size;
:func:`causal_past` and :func:`causal_future` return the engine's exact
(propagated) sets, which cost much more the first time (see there).
"""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

from ._companion import int64, is_engine, native
from .arrays import vertices_array
from .checks import whole_number

__all__ = ["CausalLinks", "causal_links", "causal_graph", "causal_past", "causal_future",
           "plot_causal_graph"]


class CausalLinks(NamedTuple):
    """The causal relation as recorded, as int64 arrays (see :func:`causal_links`).

    ``causes[k]`` is a direct cause of ``effects[k]``; ``depths[i]`` is the
    depth of vertex ``vertices[i]``.
    """

    causes: np.ndarray
    effects: np.ndarray
    vertices: np.ndarray
    depths: np.ndarray


def causal_links(engine) -> CausalLinks:
    """The direct causal relation as the rules recorded it, and a depth per vertex.

    Whenever a step creates a hyperedge ``(v1, v2, ..., vn)``, each vertex is
    recorded as a direct cause of the next one (``v1 -> v2``, ``v2 -> v3``,
    ...; a vertex is never its own cause).  ``causes``/``effects`` list every
    pair recorded, once each, in the order in which it was first recorded.
    A step undone by ``rollback()`` leaves nothing behind, neither its pairs
    nor its vertices.  A vertex deleted later keeps its pairs and its depth:
    this is the history of the run, not of the live hypergraph.  A pair may
    appear in both directions when the rules create both orders.

    ``vertices``/``depths`` hold every vertex created (or named by a pair),
    in order of first appearance, with its depth along these pairs: 1 when
    it is created, and when a pair ``a -> b`` is first recorded, the depth of
    ``b`` becomes ``max(depth of b, depth of a + 1)`` with the depth ``a`` has
    at that moment.  Depths are never lowered and are not carried on: when
    a cause's depth rises after the pair, its effects keep theirs.  So
    ``depth[b] > depth[a]`` holds for each pair when it is recorded, but the
    final depths need not show it; replaying the pairs in order with that
    rule gives exactly the final depths.

    The engine's own propagated relation (:func:`causal_past`,
    :func:`causal_future`) takes a pair into its direct lists only when the
    effect was not yet in the cause's causal future; ``causal_links`` keeps
    such a pair too.

    Cost: one pass over the engine's causal log, O(pairs + vertices), and no
    propagation: about a second for the 1.7·10^6 pairs of 5·10^5 growth
    steps.  The arrays take 16 bytes per pair and 16 per vertex.  ``engine`` must be a
    ``vorn.Engine``.
    """
    causes, effects, vertices, depths = (int64(b) for b in native().causal_links(engine))
    return CausalLinks(causes, effects, vertices, depths)


_SET_COST = """
    The engine propagates each recorded pair through the relation already
    known (not to vertices whose depth differs by more than the engine's
    causal horizon, see ``set_causal_horizon``), and a deleted vertex leaves
    every set.  ``rollback()`` puts back only what the engine saved for the
    step, the sets around the vertices it deleted: relations the undone step
    recorded otherwise stay in the sets, and so can the ids of vertices it
    created, which are no vertices any more (:func:`causal_links` leaves
    both out).

    Cost: the engine defers the propagation until something reads it, so
    the first read after N growth steps propagates all of it, and that is
    quadratic in N: about 10 s after 10^4 growth steps, minutes after
    3·10^4, hours after 10^5.  Later reads cost the size of the set, until
    further steps add more to propagate (a deletion propagates too).
    Ctrl-C stops a long propagation with KeyboardInterrupt; what was
    propagated stays, and the next read goes on from there.
    :func:`causal_links` is the cheap view of the direct relation at any
    size.
"""


def causal_past(engine, v) -> np.ndarray:
    """The ids of vertex ``v``'s exact causal past, ``v`` included, as a sorted int64 array.

    Empty when the engine keeps no set for ``v``: ``v`` is not a live vertex
    of this engine (deleted, never created, or another engine's).  Use
    ``numpy.isin`` or ``set(result.tolist())`` for many membership tests.
    """
    return int64(native().causal_past(engine, v))


def causal_future(engine, v) -> np.ndarray:
    """The ids of vertex ``v``'s exact causal future, ``v`` included, as a sorted int64 array.

    Empty when the engine keeps no set for ``v``: ``v`` is not a live vertex
    of this engine (deleted, never created, or another engine's).
    """
    return int64(native().causal_future(engine, v))


if causal_past.__doc__:  # (None under python -OO)
    causal_past.__doc__ += _SET_COST
    causal_future.__doc__ += _SET_COST


def links_and_live(source):
    """(CausalLinks, boolean array of which vertices are live, or None) from an engine or links."""
    if isinstance(source, CausalLinks):
        return source, None
    if not is_engine(source):
        raise TypeError(f"expected a vorn.Engine or CausalLinks, got {type(source).__name__}")
    links = causal_links(source)
    return links, _contained(links.vertices, vertices_array(source))


def _contained(ids: np.ndarray, pool: np.ndarray) -> np.ndarray:
    """``numpy.isin(ids, pool)``; ids from one counter span a range not much wider than their
    number, and one flag per id of that range is then far cheaper than sorting both."""
    if not len(ids) or not len(pool):
        return np.zeros(len(ids), dtype=bool)
    low, high = int(ids.min()), int(ids.max())
    if high - low > 4 * len(ids) + (1 << 20):
        return np.isin(ids, pool)
    flags = np.zeros(high - low + 1, dtype=bool)
    inside = pool[(pool >= low) & (pool <= high)]
    flags[inside - low] = True
    return flags[ids - low]


def causal_graph(source):
    """The recorded causal relation as a networkx ``DiGraph``.

    ``source`` is an engine or the :class:`CausalLinks` of one.  Nodes are
    vertex ids in order of first appearance, with the attribute ``depth``
    and, from an engine, ``live`` (whether the vertex is still in the
    hypergraph); there is an arc ``a -> b`` for each recorded pair.  See
    :func:`causal_links` for what is recorded.
    """
    import networkx as nx

    links, live = links_and_live(source)
    g = nx.DiGraph()
    depths = links.depths.tolist()
    if live is None:
        g.add_nodes_from((v, {"depth": d}) for v, d in zip(links.vertices.tolist(), depths))
    else:
        g.add_nodes_from((v, {"depth": d, "live": bool(a)})
                         for v, d, a in zip(links.vertices.tolist(), depths, live.tolist()))
    g.add_edges_from(zip(links.causes.tolist(), links.effects.tolist()))
    return g


def _pair_indices(links: CausalLinks):
    """(a, b): for each recorded pair, in order, the indices of its cause and effect in
    ``links.vertices``; a pair naming a vertex not listed there (links put together by hand)
    is left out.

    Ids come from one counter, so they usually span a range not much wider
    than their number: a table over that range maps them without sorting.
    """
    ids, causes, effects = links.vertices, links.causes, links.effects
    if not len(ids) or not len(causes):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    low, high = int(ids.min()), int(ids.max())
    if high - low > 4 * len(ids) + (1 << 20):  # too spread out for a table
        order = np.argsort(ids, kind="stable")
        sorted_ids = ids[order]
        at_a = np.searchsorted(sorted_ids, causes).clip(0, len(ids) - 1)
        at_b = np.searchsorted(sorted_ids, effects).clip(0, len(ids) - 1)
        known = (sorted_ids[at_a] == causes) & (sorted_ids[at_b] == effects)
        return order[at_a[known]], order[at_b[known]]
    index = np.full(high - low + 1, -1, dtype=np.int64)
    index[ids - low] = np.arange(len(ids))
    if min(int(causes.min()), int(effects.min())) < low or max(int(causes.max()), int(effects.max())) > high:
        inside = (causes >= low) & (causes <= high) & (effects >= low) & (effects <= high)
        causes, effects = causes[inside], effects[inside]
    a, b = index[causes - low], index[effects - low]
    known = (a >= 0) & (b >= 0)
    return (a, b) if known.all() else (a[known], b[known])


#: Breadth-first levels walked by scanning every pair before the walk switches
#: to scipy's over the whole graph (which costs about as much as this many
#: scans; a growing hypergraph's 2,000 nearest vertices take about 6 levels).
SCANNED_LEVELS = 40


def _nearest_newest(links: CausalLinks, count: int, pairs=None) -> np.ndarray:
    """Indices into ``links.vertices`` of ``count`` vertices nearest the newest one, ascending.

    Breadth-first through the pairs in both directions from the vertex that
    appeared last; each vertex reached adds first its effects, then its
    causes, each in order of appearance.  When that part of the graph is
    smaller, the newest of the other vertices fill up.  ``pairs``: the
    :func:`_pair_indices` of ``links``, when already known.
    """
    n = len(links.vertices)
    a, b = _pair_indices(links) if pairs is None else pairs
    count = min(count, n)
    seen = np.zeros(n, dtype=bool)
    seen[n - 1] = True
    reached = [np.array([n - 1], dtype=np.int64)]
    total = 1
    frontier = reached[0]
    front = np.zeros(n, dtype=bool)  # the current level
    rank = np.zeros(n, dtype=np.int64)  # position in the current level (where front is set)
    levels = 0
    # The first levels are small: one pass over the pairs per level finds
    # the next one without ordering all pairs.  A long thin graph would make
    # that quadratic, so after a few levels the walk goes on in scipy's.
    while total < count and len(frontier) and levels < SCANNED_LEVELS:
        # (flags, not ranks, over all pairs: gathering bytes is several times faster)
        front[frontier] = True
        out = np.flatnonzero(front[a])
        into = np.flatnonzero(front[b])
        front[frontier] = False
        rank[frontier] = np.arange(len(frontier))
        parent = np.concatenate([rank[a[out]], rank[b[into]]])
        kind = np.concatenate([np.zeros(len(out), np.int8), np.ones(len(into), np.int8)])
        neighbour = np.concatenate([b[out], a[into]])
        order = np.lexsort((neighbour, kind, parent))
        neighbour = neighbour[order]
        neighbour = neighbour[~seen[neighbour]]
        _, first = np.unique(neighbour, return_index=True)
        frontier = neighbour[np.sort(first)]
        seen[frontier] = True
        reached.append(frontier)
        total += len(frontier)
        levels += 1
    if total < count and len(frontier):
        return _nearest_newest_scipy(a, b, n, count)
    chosen = np.concatenate(reached)[:count]
    if len(chosen) < count:
        rest = np.flatnonzero(~seen)[::-1][:count - len(chosen)]
        chosen = np.concatenate([chosen, rest])
    return np.sort(chosen)


def _nearest_newest_scipy(a: np.ndarray, b: np.ndarray, n: int, count: int) -> np.ndarray:
    """:func:`_nearest_newest` by scipy's breadth-first order over the whole graph."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import breadth_first_order

    graph = coo_matrix((np.ones(len(a), dtype=np.int8), (a, b)), shape=(n, n)).tocsr()
    reached = breadth_first_order(graph, n - 1, directed=False, return_predecessors=False)[:count]
    if len(reached) < count:
        taken = np.zeros(n, dtype=bool)
        taken[reached] = True
        rest = np.flatnonzero(~taken)[::-1][:count - len(reached)]
        reached = np.concatenate([reached, rest])
    return np.sort(reached)


def _layer_positions(depths: np.ndarray, a: np.ndarray, b: np.ndarray, sweeps: int = 6) -> np.ndarray:
    """x of each vertex: evenly spaced within its depth layer, layers centred,
    neighbours drawn together by a few barycentre sweeps."""
    n = len(depths)
    spacing = 1.0 / max(1, int(np.bincount(depths - depths.min()).max()))

    def placed(key: np.ndarray) -> np.ndarray:
        order = np.lexsort((key, depths))  # by depth, then by key
        layer = depths[order]
        starts = np.r_[0, np.flatnonzero(np.diff(layer)) + 1]
        sizes = np.diff(np.r_[starts, n])
        rank = np.arange(n) - np.repeat(starts, sizes)
        x = np.empty(n)
        x[order] = (rank + 0.5 - np.repeat(sizes, sizes) / 2) * spacing
        return x

    x = placed(np.arange(n, dtype=float))  # first by order of appearance
    ends = np.concatenate([a, b])
    others = np.concatenate([b, a])
    count = np.bincount(ends, minlength=n)
    for _ in range(sweeps):
        total = np.bincount(ends, weights=x[others], minlength=n)
        key = np.where(count > 0, total / np.maximum(count, 1), x)
        x = placed(key)
    return x


class PicturePart(NamedTuple):
    """What the causal picture draws: ``total`` vertices and ``pairs`` recorded pairs in all, of
    which the vertices ``ids`` (in order of appearance) with their ``depths`` and ``alive`` flags
    (None when not known), and the pairs among them as indices ``a -> b`` into ``ids``."""

    total: int
    pairs: int
    ids: np.ndarray
    depths: np.ndarray
    alive: Optional[np.ndarray]
    a: np.ndarray
    b: np.ndarray


def picture_part(source, max_vertices: Optional[int] = 2000) -> PicturePart:
    """The :class:`PicturePart` of an engine or of its :class:`CausalLinks`: every vertex, or
    with more than ``max_vertices`` the ``max_vertices`` nearest the newest one (see
    :func:`_nearest_newest`).  From an engine it is chosen in native code, without the arrays of
    every pair, and the newest vertex's part of the relation is walked without the GIL."""
    if is_engine(source):
        limit = 2**62 if max_vertices is None else max_vertices
        total, pairs, ids, depths, a, b = native().causal_part(source, limit)
        ids = int64(ids)
        return PicturePart(total, pairs, ids, int64(depths), _contained(ids, vertices_array(source)),
                           int64(a), int64(b))
    links, live = links_and_live(source)
    total = len(links.vertices)
    pairs = _pair_indices(links)
    shown = np.arange(total)
    if max_vertices is not None and total > max_vertices:
        shown = _nearest_newest(links, max_vertices, pairs)
    # The pairs between shown vertices, as indices into `shown`.
    where = np.full(total, -1, dtype=np.int64)
    where[shown] = np.arange(len(shown))
    a, b = where[pairs[0]], where[pairs[1]]
    keep = (a >= 0) & (b >= 0)
    return PicturePart(total, len(links.causes), links.vertices[shown], links.depths[shown],
                       None if live is None else live[shown], a[keep], b[keep])


def plot_causal_graph(source, path=None, *, max_vertices: Optional[int] = 2000, time: str = "up",
                      title: Optional[str] = None, figsize=(8, 8), dpi: int = 150):
    """Draw the recorded causal graph layered by depth and return the figure.

    ``source`` is an engine or the :class:`CausalLinks` of one.  Each vertex
    sits at the height of its depth (``time="up"``: deeper is higher;
    ``"down"``: deeper is lower), spread out across its layer; each recorded
    pair is a thin translucent arrow from cause to effect.  From an engine,
    vertices that are no longer in the hypergraph are drawn hollow.  When
    there are more than ``max_vertices`` vertices (None: no limit), only the
    ``max_vertices`` nearest the newest vertex are drawn (breadth-first
    through the pairs in either direction) and the title says so.  ``path``
    (optional) is written by its suffix (``.png``, ``.svg``, ``.pdf``),
    complete or not at all.
    """
    if time not in ("up", "down"):
        raise ValueError(f"time must be 'up' or 'down', got {time!r}")
    if max_vertices is not None:
        max_vertices = whole_number(max_vertices, "max_vertices", minimum=1)
    return draw_part(picture_part(source, max_vertices), path, time=time, title=title, figsize=figsize,
                     dpi=dpi)


#: Where the causal picture sits in its figure (left, bottom, width, height): room for the depth
#: axis on the left and a two-line title above.
CAUSAL_RECT = (0.08, 0.02, 0.9, 0.89)


def draw_part(part: PicturePart, path=None, *, time: str = "up", title: Optional[str] = None,
              figsize=(8, 8), dpi: int = 150):
    """:func:`plot_causal_graph` of a :class:`PicturePart` already chosen."""
    from matplotlib.ticker import MaxNLocator

    from .plotting import new_figure, save_figure
    from .words import counted

    fig = new_figure(figsize, dpi, layout=None)
    ax = fig.add_axes(CAUSAL_RECT)
    if title is None:
        title = f"causal graph: {counted(part.total, 'vertex')}, {counted(part.pairs, 'direct relation')}"
    if part.total == 0:
        ax.set_title(title, fontsize=11)
        ax.set_axis_off()
        ax.text(0.5, 0.5, "no vertices yet", ha="center", va="center", transform=ax.transAxes, color="0.4")
        save_figure(fig, path)
        return fig

    if len(part.ids) < part.total:
        newest = int(part.ids[-1])  # the newest vertex is always shown, and it is the last
        title += (f"\n(showing the {counted(len(part.ids), 'vertex')} nearest vertex {newest}, "
                  "the newest)")
    ax.set_title(title, fontsize=11)
    depths, a, b = part.depths, part.a, part.b

    x = _layer_positions(depths, a, b)
    y = depths.astype(float)
    n = len(part.ids)
    if len(a):
        ax.quiver(x[a], y[a], x[b] - x[a], y[b] - y[a], angles="xy", scale_units="xy", scale=1,
                  color=(0.25, 0.3, 0.45, 0.13 if n > 300 else 0.5), width=0.001 if n > 300 else 0.003,
                  headwidth=5, headlength=7, headaxislength=6, zorder=1)
    size = float(np.clip(8000.0 / n, 4.0, 60.0))
    alive = np.ones(n, dtype=bool) if part.alive is None else part.alive
    ax.scatter(x[alive], y[alive], s=size, c=[(0.12, 0.35, 0.65)], linewidths=0, zorder=2)
    if not alive.all():
        ax.scatter(x[~alive], y[~alive], s=size, facecolors="white", edgecolors=[(0.45, 0.45, 0.45)],
                   linewidths=0.5, zorder=2, label="deleted since")
        ax.legend(frameon=False, loc="lower right", fontsize=8)
    pad = 0.6
    ax.set_ylim(y.min() - pad, y.max() + pad)
    if time == "down":
        ax.invert_yaxis()
    width = max(float(np.ptp(x)), 1e-9)
    ax.set_xlim(x.min() - 0.03 * width - 0.01, x.max() + 0.03 * width + 0.01)
    ax.set_ylabel("causal depth")
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xticks([])
    for side in ("top", "right", "bottom"):
        ax.spines[side].set_visible(False)
    save_figure(fig, path)
    return fig
