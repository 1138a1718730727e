"""Pictures: a hypergraph drawing, a growth plot and an ensemble plot (matplotlib).

Each function builds a stand-alone ``matplotlib.figure.Figure`` (no pyplot
state, so they work headless and leak no open windows), writes it to
``path`` when given (PNG, SVG, PDF ... chosen by the file's suffix; complete
or not at all) and returns it.
"""

from __future__ import annotations

import os
from collections import deque
from dataclasses import dataclass, field
from typing import Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ._companion import is_engine
from .arrays import edges_array, vertices_array
from .checks import as_edges, hypergraph_parts
from .files import replaced
from .words import count_text, counted

__all__ = ["plot_hypergraph", "plot_growth", "plot_ensemble", "local_part"]


def save_figure(fig, path) -> None:
    """Write ``fig`` to ``path`` (None: nowhere) in the format its suffix names, complete or not at all."""
    if path is None:
        return
    path = os.fspath(path)
    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    supported = fig.canvas.get_supported_filetypes()
    if suffix not in supported:
        raise ValueError(f"cannot tell the image format from {path!r}; "
                         f"use one of the suffixes {', '.join('.' + s for s in sorted(supported))}")
    # PNG: the fastest zlib level; the pictures are line art, so the file
    # grows by a few tens of percent while encoding takes a fraction of the time.
    extra = {"pil_kwargs": {"compress_level": 1}} if suffix == "png" else {}
    with replaced(path, binary=True) as fh:
        fig.savefig(fh, format=suffix, **extra)


def load_libraries(layout: bool = False) -> None:
    """Import what drawing takes now (matplotlib's figure and PNG backend; igraph too with
    ``layout``), so that a caller with native work under way on another thread lets them load
    meanwhile: together they take about half a second."""
    import matplotlib.backends.backend_agg  # noqa: F401
    import matplotlib.figure  # noqa: F401
    if layout:
        import igraph  # noqa: F401


def new_figure(figsize, dpi, layout: Optional[str] = "constrained"):
    """A stand-alone figure (no pyplot state), by default with constrained layout (None: the
    caller places its axes; that saves a layout pass over every text when the figure is saved)."""
    from matplotlib.figure import Figure
    return Figure(figsize=figsize, dpi=dpi, layout=layout)


#: Where a single drawing without axis labels sits in its figure (left, bottom, width, height):
#: room for a two-line title above.
PICTURE_RECT = (0.02, 0.02, 0.96, 0.89)


def local_part(edges: Sequence[Sequence[Hashable]], max_edges: int,
               seed: int = 0) -> Tuple[List[List[Hashable]], Hashable]:
    """The hyperedges nearest to one vertex, at most ``max_edges`` of them.

    The centre is a vertex drawn with ``seed``; hyperedges are taken in
    breadth-first order of their vertices' distance from it.  Returns the
    chosen hyperedges and the centre.
    """
    edges = as_edges(edges)
    incidence: Dict[Hashable, List[int]] = {}
    for i, e in enumerate(edges):
        for v in e:
            incidence.setdefault(v, []).append(i)
    if not incidence:
        return edges[:max_edges], None
    vertices = sorted(incidence, key=repr)
    centre = vertices[np.random.default_rng(seed).integers(len(vertices))]
    taken = _nearest_edges(centre, incidence.__getitem__, edges.__getitem__, max_edges)
    return [edges[i] for i in taken], centre


def _nearest_edges(centre, incident, members, max_edges: int) -> List[int]:
    """Indices of at most ``max_edges`` hyperedges in breadth-first order from ``centre``.

    ``incident(v)`` lists the hyperedges at vertex ``v`` (ascending, once per
    position); ``members(i)`` the vertices of hyperedge ``i``.
    """
    taken: List[int] = []
    seen_edges = set()
    seen_vertices = {centre}
    queue = deque([centre])
    while queue and len(taken) < max_edges:
        v = queue.popleft()
        for i in incident(v):
            if i in seen_edges:
                continue
            seen_edges.add(i)
            taken.append(i)
            if len(taken) >= max_edges:
                break
            for w in members(i):
                if w not in seen_vertices:
                    seen_vertices.add(w)
                    queue.append(w)
    return taken


def _local_part_of_arrays(arrays, max_edges: int, seed: int) -> Tuple[List[List[int]], Optional[int]]:
    """:func:`local_part` of an engine's :class:`~vornkit.arrays.EdgeArrays`, with the same result.

    Only the part visited is walked in Python; the incidence lists come from
    one sort.
    """
    members = arrays.vertices
    bounds = arrays.offsets.tolist()
    flat = members.tolist()
    count = len(arrays.ids)
    if not flat:
        return [[] for _ in range(min(count, max_edges))], None
    ids, which = np.unique(members, return_inverse=True)
    # sorted(..., key=repr): the decimal texts in text order.
    by_text = np.argsort(ids.astype(str), kind="stable")
    centre = int(ids[by_text[np.random.default_rng(seed).integers(len(ids))]])
    owner = np.repeat(np.arange(count), arrays.arities())
    at = owner[np.argsort(which, kind="stable")]  # per vertex, its hyperedges ascending
    start = np.r_[0, np.cumsum(np.bincount(which, minlength=len(ids)))].tolist()

    def incident(v):
        k = int(np.searchsorted(ids, v))
        return at[start[k]:start[k + 1]].tolist()

    taken = _nearest_edges(centre, incident, lambda i: flat[bounds[i]:bounds[i + 1]], max_edges)
    return [flat[bounds[i]:bounds[i + 1]] for i in taken], centre


def _distinct_count(a: np.ndarray, b: np.ndarray) -> int:
    """How many distinct values two int64 arrays hold together.

    Vertex ids come from one counter, so they usually span a range not much
    wider than their number: one flag per id in that range is then far cheaper
    than sorting or hashing millions of positions.
    """
    both = [x for x in (a, b) if len(x)]
    if not both:
        return 0
    low = min(int(x.min()) for x in both)
    high = max(int(x.max()) for x in both)
    if high - low > 4 * (len(a) + len(b)) + (1 << 20):
        return len(np.union1d(a, b))
    seen = np.zeros(high - low + 1, dtype=bool)
    for x in both:
        seen[x - low] = True
    return int(np.count_nonzero(seen))


def _text_order(ids: np.ndarray) -> np.ndarray:
    """The permutation that sorts non-negative int64 ``ids`` as ``sorted(..., key=repr)`` does
    (their decimal texts in text order), without making the texts: each id is
    padded with zeros to the longest id's length and ties go to the shorter id
    (a text sorts after its prefixes)."""
    digits = np.ones(len(ids), dtype=np.int64)
    for k in range(1, 19):
        digits += ids >= 10 ** k
    longest = int(digits.max()) if len(ids) else 0
    if longest >= 19 or (len(ids) and int(ids.min()) < 0):  # padding would overflow int64
        return np.argsort(ids.astype(str), kind="stable")
    padded = ids * (10 ** (longest - digits))
    return np.lexsort((digits, padded))


def _local_part_of_engine(engine, max_edges: int, seed: int, ids=None) -> Tuple[List[List[int]], Optional[int]]:
    """:func:`local_part` of an engine's hyperedges with the selection made in native code
    (:func:`vornkit.analysis.nearest_edges`): the same centre and hyperedges. ``ids``: the
    engine's :func:`~vornkit.analysis.two_section_nodes`, when already read."""
    from .analysis import nearest_edges, two_section_nodes
    if ids is None:
        ids = two_section_nodes(engine)
    if not len(ids):
        return [[] for _ in range(min(engine.edge_count(), max_edges))], None
    centre = int(ids[_text_order(ids)[np.random.default_rng(seed).integers(len(ids))]])
    return nearest_edges(engine, centre, max_edges), centre


def _ring(edge: Sequence[Hashable]) -> Optional[List[Hashable]]:
    """The distinct vertices of a hyperedge in order when there are three or more (its polygon),
    else None."""
    distinct = list(dict.fromkeys(edge))
    return distinct if len(distinct) >= 3 else None


def _layout(vertices: List[Hashable], edges: List[List[Hashable]], seed: int) -> Dict[Hashable, np.ndarray]:
    """Plane positions of ``vertices``: a force layout of the 2-section along each hyperedge's
    chain (closed into a ring for three or more distinct vertices, so that they sit together)."""
    from .layout import force_layout
    index = {v: i for i, v in enumerate(vertices)}
    pairs: List[Tuple[int, int]] = []
    for e in edges:
        at = [index[v] for v in e]
        pairs.extend(zip(at, at[1:]))
        ring = _ring(e)
        if ring is not None:
            pairs.append((index[ring[0]], index[ring[-1]]))
    xy = force_layout(len(vertices), np.array(pairs, dtype=np.int64).reshape(-1, 2), seed)
    return dict(zip(vertices, xy))


@dataclass
class _Selection:
    """What a hypergraph picture shows: ``edges`` (lists of vertices) and ``vertices`` (those of
    the edges in order of first appearance, then isolated ones), out of ``total_edges`` and
    ``total_vertices``; ``note`` says how the part was chosen when it is not the whole."""

    edges: List[List[Hashable]]
    vertices: List[Hashable]
    total_edges: int
    total_vertices: int
    note: Optional[str] = None


def select_part(source, max_edges: Optional[int] = 5000, seed: int = 0, vertices=None) -> _Selection:
    """What :func:`plot_hypergraph` draws of ``source`` (hyperedges or an engine): all of it, or
    the ``max_edges`` hyperedges nearest a seeded vertex (see :func:`local_part`; isolated
    vertices are then left out).  From an engine the choice is made in native code, mostly
    without the GIL, so another thread may go on meanwhile."""
    note = None
    if is_engine(source):
        # Bulk arrays: the same selection, without a Python list per hyperedge
        # for the ones not drawn. A local part needs no hyperedge array at all:
        # the named vertices come from the native list of them, the hyperedges
        # from the native selection.
        total = source.edge_count()
        local = max_edges is not None and total > max_edges
        if local:
            from .analysis import two_section_nodes
            named = two_section_nodes(source)
        else:
            arrays = edges_array(source)
            named = arrays.vertices
        if vertices is None:
            listed = vertices_array(source)
            total_vertices = _distinct_count(named, listed)
            vertices = listed
        else:
            vertices = list(vertices)
            total_vertices = len(set(np.unique(named).tolist()).union(vertices))
        if local:
            edges, centre = _local_part_of_engine(source, max_edges, seed, named)
        else:
            edges, centre = arrays.tolist(), None
            if isinstance(vertices, np.ndarray):
                vertices = vertices.tolist()
    else:
        edges, vertices = hypergraph_parts(source, vertices)
        total = len(edges)
        total_vertices = len(set(v for e in edges for v in e).union(vertices or ()))
        centre = None
        if max_edges is not None and total > max_edges:
            edges, centre = local_part(edges, max_edges, seed)
    if total > len(edges):
        note = f"showing the {counted(len(edges), 'hyperedge')} nearest to vertex {centre}"
        vertices = None  # isolated vertices are not part of the local picture
    shown = list(dict.fromkeys(v for e in edges for v in e))
    if vertices is not None:
        present = set(shown)
        shown += [v for v in vertices if v not in present]
    return _Selection(edges, shown, total, total_vertices, note)


@dataclass
class _Shapes:
    """The drawable parts of a selection in plane coordinates: ``xy`` (one row per vertex),
    translucent ``polygons`` with their colour indices, arrow ``segments`` with their ``heads``,
    ``loops`` (a vertex repeated in consecutive positions) and ``rings`` (one-vertex hyperedges)
    as (centre, radius), and ``unit``, the typical segment length that sizes them."""

    xy: np.ndarray
    unit: float
    polygons: List[List[np.ndarray]] = field(default_factory=list)
    segments: List[List[np.ndarray]] = field(default_factory=list)
    heads: List[List[np.ndarray]] = field(default_factory=list)
    loops: List[Tuple[np.ndarray, float]] = field(default_factory=list)
    rings: List[Tuple[np.ndarray, float]] = field(default_factory=list)


def _shapes(selection: _Selection, pos: Dict[Hashable, np.ndarray]) -> _Shapes:
    """Each hyperedge as an arrow chain through its vertices, a polygon when it has three or more
    distinct vertices, loops for consecutive repeats and a ring when it has one vertex."""
    xy = np.array([pos[v] for v in selection.vertices])
    span = float(np.ptp(xy, axis=0).max()) if len(xy) > 1 else 1.0
    span = span or 1.0
    seg_len = [np.linalg.norm(pos[b] - pos[a]) for e in selection.edges for a, b in zip(e, e[1:]) if a != b]
    unit = float(np.median(seg_len)) if seg_len else span / 10
    shapes = _Shapes(xy=xy, unit=min(unit, span / 8))
    unit = shapes.unit
    middle = xy.mean(axis=0)
    for e in selection.edges:
        ring = _ring(e)
        if ring is not None:
            shapes.polygons.append([pos[v] for v in ring])
        if len(e) == 1:
            shapes.rings.append((pos[e[0]], unit * 0.18))
        for a, b in zip(e, e[1:]):
            if a == b:
                # Loop: a small circle beside the vertex, away from the picture's centre.
                away = pos[a] - middle
                norm = np.linalg.norm(away)
                away = away / norm if norm > 0 else np.array([0.0, 1.0])
                shapes.loops.append((pos[a] + away * unit * 0.2, unit * 0.2))
                continue
            p, q = pos[a], pos[b]
            shapes.segments.append([p, q])
            d = q - p
            length = np.linalg.norm(d)
            if length == 0:
                continue
            d = d / length
            normal = np.array([-d[1], d[0]])
            size = min(unit * 0.16, length * 0.3)
            tip = p + d * (length * 0.5 + size * 0.5)
            base = tip - d * size
            shapes.heads.append([tip, base + normal * size * 0.45, base - normal * size * 0.45])
    return shapes


def _draw(ax, shapes: _Shapes, labels: Optional[List[Tuple[str, np.ndarray]]]) -> None:
    """Put ``shapes`` on ``ax``: polygons, arrows, loops and rings, the vertices, and ``labels``
    (text and position) when given; the view fits the vertices."""
    from matplotlib.collections import LineCollection, PatchCollection, PolyCollection
    from matplotlib.patches import Circle
    import matplotlib as mpl

    n = len(shapes.xy)
    colours = mpl.colormaps["tab10"]
    dense = n > 300
    lw = 0.4 if dense else 1.0
    arrow_colour = (0.25, 0.25, 0.3, 0.75 if dense else 0.9)
    if shapes.polygons:
        poly_colours = [colours(k % 10) for k in range(len(shapes.polygons))]
        ax.add_collection(PolyCollection(shapes.polygons, facecolors=poly_colours, edgecolors=poly_colours,
                                         alpha=0.15 if not dense else 0.08, linewidths=0.5, zorder=1))
    if shapes.segments:
        ax.add_collection(LineCollection(shapes.segments, colors=[arrow_colour], linewidths=lw, zorder=2))
    if shapes.heads:
        ax.add_collection(PolyCollection(shapes.heads, facecolors=[arrow_colour], edgecolors="none", zorder=3))
    if shapes.loops:
        ax.add_collection(PatchCollection([Circle(c, r) for c, r in shapes.loops], facecolors="none",
                                          edgecolors=[arrow_colour], linewidths=lw, zorder=2))
    if shapes.rings:
        ax.add_collection(PatchCollection([Circle(c, r) for c, r in shapes.rings], facecolors="none",
                                          edgecolors=[(0.8, 0.3, 0.1, 0.9)], linewidths=lw * 1.2, zorder=2))
    xy = shapes.xy
    marker_size = float(np.clip(4000.0 / n, 3.0, 80.0))
    ax.scatter(xy[:, 0], xy[:, 1], s=marker_size, c=[(0.12, 0.35, 0.65)], edgecolors="white",
               linewidths=0.3 if dense else 0.8, zorder=4)
    for text, at in labels or ():
        ax.annotate(text, at, xytext=(4, 4), textcoords="offset points", fontsize=8, color="0.15", zorder=5)
    pad = shapes.unit * 0.6
    ax.set_xlim(xy[:, 0].min() - pad, xy[:, 0].max() + pad)
    ax.set_ylim(xy[:, 1].min() - pad, xy[:, 1].max() + pad)


def plot_hypergraph(edges, path=None, *, seed: int = 0, labels="auto", max_edges: Optional[int] = 5000,
                    title: Optional[str] = None, figsize=(8, 8), dpi: int = 150, vertices=None):
    """Draw ordered hyperedges and return the figure.

    ``edges`` is a list of hyperedges (lists of vertex ids) or an engine.  Each
    hyperedge is an arrow chain through its vertices in order; a hyperedge
    with three or more distinct vertices also gets a translucent polygon; a
    vertex repeated in consecutive positions gets a loop, and a one-vertex
    hyperedge a ring around its vertex.  The layout is a force layout of the
    2-section (see :mod:`vornkit.layout`), seeded with ``seed``, so the same input
    gives the same picture.

    ``labels``: ``"auto"`` writes vertex ids only when there are at most 60
    vertices; ``True``/``False`` force it.  When there are more than
    ``max_edges`` hyperedges, only the ``max_edges`` nearest to a seeded
    random vertex are drawn (see :func:`local_part`) and the title says so.
    ``path`` (optional) is written by its suffix (``.png``, ``.svg``, ...).
    """
    return draw_selection(select_part(edges, max_edges, seed, vertices), path, seed=seed, labels=labels,
                          title=title, figsize=figsize, dpi=dpi)


def draw_selection(selection: "_Selection", path=None, *, seed: int = 0, labels="auto",
                   title: Optional[str] = None, figsize=(8, 8), dpi: int = 150):
    """:func:`plot_hypergraph` of a part already chosen by :func:`select_part`."""
    pos = _layout(selection.vertices, selection.edges, seed)

    fig = new_figure(figsize, dpi, layout=None)
    ax = fig.add_axes(PICTURE_RECT)
    ax.set_aspect("equal")
    ax.set_axis_off()
    if title is None:
        title = count_text(selection.total_vertices, selection.total_edges)
    if selection.note:
        title += f"\n({selection.note})"
    ax.set_title(title, fontsize=11)
    if not selection.vertices:
        ax.text(0.5, 0.5, "empty hypergraph", ha="center", va="center", transform=ax.transAxes,
                color="0.4")
    else:
        n = len(selection.vertices)
        show_labels = labels is True or (labels == "auto" and n <= 60)
        _draw(ax, _shapes(selection, pos),
              [(str(v), pos[v]) for v in selection.vertices] if show_labels else None)
    save_figure(fig, path)
    return fig


def _growth_exponent(x: np.ndarray, y: np.ndarray) -> Optional[float]:
    """The slope of a straight-line fit of log y against log x over the later half (in log x) of
    positive points, or None when there are too few distinct ones."""
    if len(x) < 3 or not x.max() > x.min():
        return None
    lx, ly = np.log(x), np.log(y)
    later = lx >= (lx.min() + lx.max()) / 2
    if later.sum() < 2 or not np.ptp(lx[later]) > 0:
        return None
    return float(np.polyfit(lx[later], ly[later], 1)[0])


def _history_of(history) -> Mapping[str, Sequence[float]]:
    if hasattr(history, "history"):
        history = history.history
    if not isinstance(history, Mapping) or "step" not in history:
        raise ValueError("plot_growth needs an evolve() result or a dict with a 'step' list")
    return history


#: How the pictures name the metrics recorded under short names (others keep their own name).
METRIC_NAMES = {"nodes": "vertices", "edges": "hyperedges", "pairs": "structural pairs",
                "isolated": "isolated vertices", "max_degree": "largest degree",
                "attempted": "attempted rewrites", "successful": "successful rewrites"}

#: What a structural pair is, for the pictures that show them.
PAIRS_CAPTION = ("structural pairs: vertex pairs that share a hyperedge,\n"
                 "counted per pair of positions in each hyperedge\n"
                 "and not again while another hyperedge joins them")


def metric_name(name: str) -> str:
    """The name a picture shows for the recorded metric ``name``."""
    return METRIC_NAMES.get(name, name)


def _caption(ax, lines: Sequence[str]) -> None:
    """Small print in the panel's lower right corner (growth curves rise away from it)."""
    if lines:
        ax.text(0.99, 0.02, "\n".join(lines), ha="right", va="bottom", transform=ax.transAxes,
                fontsize=7, color="0.3", zorder=6,
                bbox=dict(boxstyle="round,pad=0.3", facecolor="white", edgecolor="0.8", alpha=0.85))


def _unshown_text(name: str, steps: np.ndarray, values: np.ndarray) -> Optional[str]:
    """What a log value axis leaves out of a series, in words: its values at or below 0 after
    step 0 (NaN is no value and is not mentioned); None when nothing is left out."""
    gone = (steps > 0) & (values <= 0)
    if not gone.any():
        return None
    label = metric_name(name)
    if gone.sum() == ((steps > 0) & np.isfinite(values)).sum():
        return f"{label}: 0 throughout, not drawn on log axes"
    first = int(steps[gone][0])
    count = int(gone.sum())
    return f"{label}: {count:,} {'point' if count == 1 else 'points'} at 0 (from step {first:,}) not drawn on log axes"


#: Metrics that are not counts: drawn on a linear value axis, without a growth exponent.
NOT_COUNTS = ("dimension",)

#: Height of the dimension panel below the growth panel, as a share of the growth panel's.
DIMENSION_PANEL = 0.6


def plot_growth(history, path=None, *, metrics: Optional[Sequence[str]] = None,
                title: Optional[str] = None, figsize=(7, 5), dpi: int = 150):
    """Plot recorded metrics against the step number on log-log axes.

    ``history`` is an :class:`~vornkit.EvolveResult` or its ``history`` dict.
    ``metrics`` defaults to every recorded series except ``time``.  Points
    with a non-positive step or value cannot be shown on log axes and are
    left out; a note in the panel's corner names the series that lost points
    other than step 0's this way (one that died out, say).  Each legend entry
    gives the slope of a straight-line fit over the later half (in log step)
    of the series, the growth exponent.  The legend names the metrics as
    :data:`METRIC_NAMES` says (``nodes`` as vertices, ``edges`` as
    hyperedges); with ``pairs`` the note also says what a structural pair is.

    When ``"dimension"`` is among the metrics, a second panel below (the
    figure grows by :data:`DIMENSION_PANEL` of ``figsize``'s height) shows
    the measured dimension estimates against the step, on a log step axis
    shared with the growth panel; rows without an estimate (NaN) are left
    out.  Without it the figure is ``figsize`` as before.
    """
    hist = _history_of(history)
    steps = np.asarray(hist["step"], dtype=float)
    names = list(metrics) if metrics is not None else [k for k in hist if k not in ("step", "time")]
    for name in names:
        if name not in hist:
            raise ValueError(f"no metric {name!r} in the history (have {', '.join(hist)})")
    with_dimension = "dimension" in names
    names = [name for name in names if name != "dimension"]

    # Fixed margins rather than a constrained layout, which on log axes
    # costs more than the drawing itself (every tick label is measured).
    if with_dimension:
        height = figsize[1] * (1 + DIMENSION_PANEL)
        fig = new_figure((figsize[0], height), dpi, layout=None)
        ax, dimension_ax = fig.subplots(2, 1, sharex=True, height_ratios=[1, DIMENSION_PANEL])
    else:
        height = figsize[1]
        fig = new_figure(figsize, dpi, layout=None)
        ax = fig.add_subplot()
    # (margins in inches: tick labels and axis label left and below, the title above)
    fig.subplots_adjust(left=0.8 / figsize[0], right=1 - 0.15 / figsize[0], bottom=0.55 / height,
                        top=1 - 0.4 / height, hspace=0.12)
    ax.set_xscale("log")
    ax.set_yscale("log")
    drawn = 0
    notes: List[str] = []
    styles = [("o", "-"), ("s", "--"), ("^", ":"), ("D", "-."), ("v", "-")]
    for name in names:
        values = np.asarray(hist[name], dtype=float)
        unshown = _unshown_text(name, steps, values)
        if unshown:
            notes.append(unshown)
        ok = (steps > 0) & (values > 0) & np.isfinite(values)
        x, y = steps[ok], values[ok]
        if len(x) == 0:
            continue
        slope = _growth_exponent(x, y)
        label = metric_name(name) if slope is None else f"{metric_name(name)} (slope {slope:.2f})"
        marker, line = styles[drawn % len(styles)]
        ax.plot(x, y, marker=marker, markersize=3.5, linestyle=line, linewidth=1.4, label=label)
        drawn += 1
    if not with_dimension:
        ax.set_xlabel("step")
    ax.set_ylabel("count")
    ax.grid(True, which="major", alpha=0.4)
    ax.grid(True, which="minor", alpha=0.12)
    ax.set_title(title or "growth (log-log)", fontsize=11)
    if drawn:
        ax.legend(frameon=False)
    else:
        ax.text(0.5, 0.5, "nothing to show on log axes yet", ha="center", va="center",
                transform=ax.transAxes, color="0.4")
    if "pairs" in names:
        notes.append(PAIRS_CAPTION)
    _caption(ax, notes)
    if with_dimension:
        _dimension_panel(dimension_ax, steps, np.asarray(hist["dimension"], dtype=float))
    save_figure(fig, path)
    return fig


def _dimension_panel(ax, steps: np.ndarray, values: np.ndarray) -> None:
    """The dimension estimates against the step (log step axis, linear values from 0)."""
    ok = (steps > 0) & np.isfinite(values)
    ax.set_xscale("log")
    ax.set_xlabel("step")
    ax.set_ylabel("dimension")
    ax.grid(True, which="major", alpha=0.4)
    ax.grid(True, which="minor", axis="x", alpha=0.12)
    if not ok.any():
        ax.set_title("dimension estimate", fontsize=10)
        ax.text(0.5, 0.5, "no estimate yet (too small a graph)", ha="center", va="center",
                transform=ax.transAxes, color="0.4")
        return
    x, y = steps[ok], values[ok]
    ax.plot(x, y, marker="o", markersize=4, linestyle="-", linewidth=1.4, color="#7b4ea3")
    ax.set_ylim(0, max(1.0, float(y.max())) * 1.15)
    ax.set_title(f"dimension estimate (ball growth): {y[-1]:.2f} at step {int(x[-1]):,}", fontsize=10)


def plot_ensemble(result, path=None, *, metrics: Optional[Sequence[str]] = None,
                  band: Tuple[float, float] = (0.05, 0.95), title: Optional[str] = None,
                  log: bool = True, panel_size=(4.2, 3.8), dpi: int = 150):
    """Plot each metric's mean over the members of an :class:`~vornkit.EnsembleResult` against the
    step, with its spread.

    One panel per metric (``metrics`` defaults to every recorded one except
    ``time``): the line is the mean, the dark band spans the 25-75 %
    quantiles and the light band ``band`` (5-95 % by default).  With ``log``
    the axes are log-log and each panel names the growth exponent, the slope
    of a straight-line fit of the mean over the later half (in log step);
    band edges at zero run off the bottom of the panel.  The ``dimension``
    panel keeps a linear value axis and shows only the steps with estimates.
    A mean that reaches 0 cannot be drawn on a log axis: the panel says so.
    ``path`` is written by its suffix (``.png``, ``.svg``, ``.pdf``).
    Returns the figure.

    Raises ``ValueError`` when no member finished (all failed, or the
    ensemble was stopped before any ended): there is nothing to draw, and no
    file is written.
    """
    from .ensemble import quantile_key

    lo_q, hi_q = band
    if not 0 <= lo_q < hi_q <= 1:
        raise ValueError(f"band must be two quantiles 0 <= low < high <= 1, got {band!r}")
    if not result.members:
        failed = f"{len(result.failures):,} failed" if result.failures else "none failed"
        raise ValueError(f"no member of the ensemble finished ({result.runs:,} run, {failed}, "
                         f"{result.reason}): there is nothing to plot")
    stats = result.aggregate(sorted(set(result.quantiles) | {0.25, 0.75, lo_q, hi_q}))
    steps = np.asarray(stats["step"], dtype=float)
    names = list(metrics) if metrics is not None else [k for k in stats["metrics"] if k != "time"]
    for name in names:
        if name not in stats["metrics"] and result.members:
            raise ValueError(f"no metric {name!r} in the ensemble (have {', '.join(stats['metrics'])})")
    names = [n for n in names if n in stats["metrics"]]

    panels = max(1, len(names))
    fig = new_figure((panel_size[0] * panels, panel_size[1] + 0.5), dpi)
    axes = fig.subplots(1, panels, squeeze=False)[0]
    colours = ["#1f5fa8", "#c8501e", "#2e8b57", "#7b4ea3", "#b8860b"]
    for k, ax in enumerate(axes):
        name = names[k] if k < len(names) else None
        # A dimension is not a count: log steps, but linear values and no growth exponent.
        log_y = log and name not in NOT_COUNTS
        if log:
            ax.set_xscale("log")
        if log_y:
            ax.set_yscale("log")
        ax.grid(True, which="major", alpha=0.4)
        if log:
            ax.grid(True, which="minor", alpha=0.12)
        ax.set_xlabel("step")
        if name is None:
            ax.text(0.5, 0.5, "no metric to show", ha="center", va="center",
                    transform=ax.transAxes, color="0.4")
            continue
        label = metric_name(name)
        s = stats["metrics"][name]
        mean = np.asarray(s["mean"], dtype=float)
        lo, hi = np.asarray(s[quantile_key(lo_q)], dtype=float), np.asarray(s[quantile_key(hi_q)], dtype=float)
        q1, q3 = np.asarray(s["q0.25"], dtype=float), np.asarray(s["q0.75"], dtype=float)
        ok = np.isfinite(mean)
        if log:
            ok &= steps > 0
        if log_y:
            ok &= mean > 0
        notes = [text for text in [_unshown_text(name, steps, mean) if log_y else None] if text]
        if name == "pairs":
            notes.append(PAIRS_CAPTION)
        if not ok.any():
            ax.text(0.5, 0.5, "nothing to show on log axes", ha="center", va="center",
                    transform=ax.transAxes, color="0.4")
            ax.set_title(label, fontsize=10)
            _caption(ax, notes)
            continue
        x = steps[ok]
        colour = colours[k % len(colours)]
        if log_y:
            # The limits follow the mean and the positive band edges; an edge at
            # zero (members that died out) is drawn down to the panel's floor.
            positive = np.concatenate([v[ok][v[ok] > 0] for v in (mean, lo, q1)])
            floor = positive.min() / 1.5
            top = np.nanmax(np.concatenate([hi[ok], mean[ok]])) * 1.5
            ax.set_ylim(floor, top)
            lo, q1 = np.maximum(lo, floor), np.maximum(q1, floor)
        ax.fill_between(x, lo[ok], hi[ok], color=colour, alpha=0.16, linewidth=0,
                        label=f"{lo_q * 100:g}-{hi_q * 100:g} %")
        ax.fill_between(x, q1[ok], q3[ok], color=colour, alpha=0.32, linewidth=0, label="25-75 %")
        ax.plot(x, mean[ok], color=colour, linewidth=1.8, label="mean")
        slope = _growth_exponent(x, mean[ok]) if log_y else None
        if name in NOT_COUNTS:
            if log and (steps > 0).any():  # the steps of the count panels, though estimates start later
                ax.set_xlim(steps[steps > 0].min(), steps.max())
            ax.set_ylabel(label)
            ax.set_title(f"{label}: {mean[ok][-1]:.2f} at the last estimate", fontsize=10)
        else:
            ax.set_title(label if slope is None else f"{label}: slope {slope:.2f}", fontsize=10)
        ax.legend(frameon=False, loc="upper left", fontsize=8)
        _caption(ax, notes)
    if not names or names[0] not in NOT_COUNTS:
        axes[0].set_ylabel("count")
    n = len(result.members)
    head = title or result.model.title()
    sub = f"{counted(n, 'member')}, {counted(result.steps, 'step')}, {result.model.semantics}"
    if result.failures:
        sub += f"; {len(result.failures):,} failed"
    fig.suptitle(f"{head}\n{sub}", fontsize=10)
    save_figure(fig, path)
    return fig
