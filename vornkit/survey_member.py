"""One rule of a survey, as a worker runs it: every run of the rule, its measures and its pictures.

:func:`run_rule` is what :func:`vornkit.survey.survey` sends to its workers,
one task per rule.  Each run builds its own engine from plain data, evolves
it in short chunks so that the rule's budget (seconds, hyperedges) is
checked between them, stops early once no match is left, and is measured
at the end.  Everything sent back is plain data (numbers, lists, SVG text),
so it crosses process and machine boundaries.

Invariant: with the same task (seeds included) the record is the same in
any worker process; the measures read vertices only by the order of their
ids, which a process that ran other rules before shifts but does not
reorder.
"""

from __future__ import annotations

import math
import os
import socket
import time
import traceback
from typing import Any, Dict, List, Optional

__all__ = ["run_rule", "CHUNK", "MEASURE_MIN_VERTICES", "THUMB_EDGES"]

#: Longest run of steps between two budget checks.
CHUNK = 256
#: Log-spaced points at which a run's size is recorded for the growth fit.
POINTS = 24
#: Dimension and curvature are estimated only on graphs with at least this many vertices.
MEASURE_MIN_VERTICES = 200
#: Centres sampled for the dimension and curvature estimates.
SAMPLES = 16
#: Hyperedges drawn in a thumbnail (the ones nearest the oldest vertex when there are more).
THUMB_EDGES = 80
#: Extra failed draws, beyond the coupon-collector bound, before a run counts as terminated.
TERMINATION_MARGIN = 8


def _checkpoints(steps: int) -> List[int]:
    if steps <= 0:
        return []
    marks = {max(1, round(math.exp(math.log(steps) * k / POINTS))) for k in range(1, POINTS + 1)}
    return sorted(marks | {steps})


def _stall_limit(vertices: int) -> int:
    """Consecutive failed steps after which no match is left, but for a chance of about e^-margin.

    Every step draws its anchor uniformly among the vertices and the search
    from an anchor is deterministic while the graph does not change, so once
    every vertex has been drawn without a rewrite, none can match.
    """
    if vertices <= 1:
        return 32
    return int(vertices * (math.log(vertices) + TERMINATION_MARGIN)) + 32


def growth_exponent(steps: List[int], sizes: List[int]) -> float:
    """Slope of log(size) against log(step) over the last decade of steps (NaN with fewer than 3 points)."""
    if not steps:
        return math.nan
    last = steps[-1]
    points = [(s, z) for s, z in zip(steps, sizes) if s >= max(10, last / 10) and z > 0]
    if len(points) < 3:
        return math.nan
    import numpy as np
    x = np.log([p[0] for p in points])
    y = np.log([p[1] for p in points])
    if np.ptp(x) == 0:
        return math.nan
    return float(np.polyfit(x, y, 1)[0])


def _two_section_pairs(engine):
    """The 2-section of the engine's hypergraph: (vertex ids on hyperedges, unique index pairs a < b)."""
    import numpy as np
    from .arrays import edges_array

    arrays = edges_array(engine)
    ids, flat = np.unique(arrays.vertices, return_inverse=True)
    arities = np.diff(arrays.offsets)
    chunks = []
    for k in np.unique(arities):
        if k < 2:
            continue
        starts = arrays.offsets[:-1][arities == k]
        block = flat[starts[:, None] + np.arange(k)]
        for i in range(k):
            for j in range(i + 1, k):
                chunks.append(np.stack([block[:, i], block[:, j]], axis=1))
    if not chunks:
        return ids, np.zeros((0, 2), dtype=np.int64)
    pairs = np.concatenate(chunks)
    pairs = np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1)
    n = max(len(ids), 1)
    codes = np.unique(pairs[:, 0] * n + pairs[:, 1])
    return ids, np.stack([codes // n, codes % n], axis=1)


def _shape(engine) -> Dict[str, Any]:
    """Components, the largest one's share of the vertices, 2-section degrees and cycle rank."""
    import numpy as np
    from .analysis import components

    _ids, labels = components(engine)
    if not len(labels):
        return {"components": 0, "largest_component": math.nan, "max_degree": 0, "cycles_per_vertex": math.nan}
    sizes = np.unique(labels, return_counts=True)[1]
    on_edges, pairs = _two_section_pairs(engine)
    degree = np.bincount(pairs.ravel(), minlength=len(on_edges)) if len(on_edges) else np.zeros(0, int)
    # Components of the 2-section among the vertices on hyperedges: all components but the
    # isolated vertices (each a component of its own).
    linked = len(sizes) - len(engine.get_isolated_vertices())
    rank = len(pairs) - len(on_edges) + max(linked, 0)
    return {"components": int(len(sizes)), "largest_component": float(sizes.max() / len(labels)),
            "max_degree": int(degree.max()) if len(degree) else 0,
            "cycles_per_vertex": rank / len(on_edges) if len(on_edges) else math.nan}


def _estimates(engine) -> Dict[str, float]:
    from .curvature import estimate_curvature
    from .dimension import estimate_dimension

    out = {"dimension": math.nan, "curvature": math.nan}
    if engine.node_count() < MEASURE_MIN_VERTICES:
        return out
    try:
        d = estimate_dimension(engine, SAMPLES, seed=0).dimension
    except ValueError:
        return out
    out["dimension"] = d
    if math.isfinite(d) and d > 0:
        try:
            out["curvature"] = estimate_curvature(engine, SAMPLES, seed=0, dimension=max(1, round(d))).ricci
        except ValueError:
            pass
    return out


def _thumbnail(engine, size: int) -> str:
    from .analysis import nearest_edges, two_section_nodes
    from .svg_drawing import hypergraph_panel, layout_positions, svg_document

    total = engine.edge_count()
    if total > THUMB_EDGES:
        nodes = two_section_nodes(engine)
        edges = nearest_edges(engine, int(nodes[0]), THUMB_EDGES)
        extra = []
        if len(edges) < THUMB_EDGES:
            # A small component around the oldest vertex: show other parts of the graph beside it.
            from .arrays import edges_array
            arrays = edges_array(engine)
            bounds = arrays.offsets[:2 * THUMB_EDGES + 1].tolist()
            flat = arrays.vertices[:bounds[-1]].tolist()
            seen = {v for e in edges for v in e}
            for a, b in zip(bounds, bounds[1:]):
                edge = flat[a:b]
                if len(edges) >= THUMB_EDGES:
                    break
                if not seen.intersection(edge):
                    edges.append(edge)
    else:
        edges = engine.get_edges()
        extra = engine.get_isolated_vertices()[:THUMB_EDGES]
    positions = layout_positions(edges, seed=0) if edges else {}
    for i, v in enumerate(extra):
        positions[v] = (float(i % 10), -2.0 - i // 10)
    panel = hypergraph_panel(edges, positions, (2, 2, size - 4, size - 4), vertices=extra)
    return svg_document(size, size, panel.text(),
                        title=f"{engine.node_count():,} vertices, {total:,} hyperedges")


def _one_run(task: Dict[str, Any], seed: Optional[int], deadline: Optional[float], first: bool):
    import vorn
    from .initial import start
    from .rng import reseed

    budget = task["budget"]
    engine = vorn.Engine()
    if seed is not None:
        reseed(engine, seed)
    engine.set_semantics(task.get("semantics", "DPO"))
    start(engine, task["init"], [task["rule"]])
    steps = task["steps"]
    max_edges = budget.get("hyperedges")
    history_steps: List[int] = [0]
    history_edges: List[int] = [engine.edge_count()]
    history_vertices: List[int] = [engine.node_count()]
    done = 0
    stall = 0
    stopped = None
    terminated = False
    for mark in _checkpoints(steps):
        while done < mark:
            chunk = min(CHUNK, mark - done)
            before = engine.get_successful_rewrites()
            engine.run(chunk)
            done += chunk
            stall = stall + chunk if engine.get_successful_rewrites() == before else 0
            if stall >= _stall_limit(engine.node_count()):
                terminated = True
                break
            if max_edges is not None and engine.edge_count() > max_edges:
                stopped = "hyperedges"
                break
            if deadline is not None and time.perf_counter() > deadline:
                stopped = "seconds"
                break
        history_steps.append(done)
        history_edges.append(engine.edge_count())
        history_vertices.append(engine.node_count())
        if terminated or stopped:
            break
    attempted = engine.get_attempted_rewrites()
    successful = engine.get_successful_rewrites()
    run: Dict[str, Any] = {
        "seed": seed, "steps": done, "rewrites": successful,
        "applied": successful / attempted if attempted else math.nan,
        "vertices": engine.node_count(), "edges": engine.edge_count(),
        "terminated": terminated, "terminated_at": successful if terminated else None,
        "stopped": stopped,
        "growth_exponent": math.nan if terminated else growth_exponent(history_steps, history_edges),
        "history": {"step": history_steps, "edges": history_edges, "vertices": history_vertices},
    }
    # The structure is measured on the first run only: the estimates cost several searches
    # through the whole graph each, more than the run itself.
    if first and task.get("measure", True):
        run.update(_shape(engine))
        run.update(_estimates(engine))
    return run, (engine if first else None)


def _median(values) -> float:
    import numpy as np
    finite = [float(v) for v in values if v is not None and isinstance(v, (int, float)) and math.isfinite(v)]
    return float(np.median(finite)) if finite else math.nan


def summarise(runs: List[Dict[str, Any]]) -> Dict[str, Any]:
    """A rule's numbers: medians over its runs (NaN-free values only) and counts."""
    terminated = [r for r in runs if r["terminated"]]
    out: Dict[str, Any] = {
        "runs_done": len(runs),
        "terminated": len(terminated),
        "terminated_at": _median(r["terminated_at"] for r in terminated),
    }
    for key in ("vertices", "edges", "applied", "growth_exponent", "dimension", "curvature", "components",
                "largest_component", "max_degree", "cycles_per_vertex"):
        out[key] = _median(r.get(key) for r in runs)
    return out


def run_rule(task: Dict[str, Any]) -> Dict[str, Any]:
    """Every run of one rule, in a worker.  Never raises for the rule's own faults: a failure is a record."""
    from .rule_class import classify
    from .rule_picture import rule_svg

    started = time.perf_counter()
    where = f"{socket.gethostname()}:{os.getpid()}"
    record: Dict[str, Any] = {"index": task["index"], "rule": task["rule"], "worker": where}
    try:
        seconds = task["budget"].get("seconds")
        deadline = None if seconds is None else started + seconds
        runs: List[Dict[str, Any]] = []
        stopped = None
        thumbnail = None
        for i, seed in enumerate(task["seeds"]):
            run, engine = _one_run(task, seed, deadline, first=(i == 0))
            runs.append(run)
            if engine is not None and task.get("pictures", True):
                thumbnail = _thumbnail(engine, task.get("thumb_size", 160))
                del engine
            if run["stopped"]:
                stopped = run["stopped"]
                if stopped == "seconds":
                    break  # the rule's time is spent: no further runs
        record.update(summarise(runs))
        record["status"] = "budget" if stopped else "ok"
        record["stopped"] = stopped
        record["runs"] = runs
        if task.get("pictures", True):
            record["pictures"] = {"rule": rule_svg(task["rule"]), "final": thumbnail}
    except (Exception, KeyboardInterrupt) as exc:
        record.update(status="failed", stopped=None,
                      error="interrupted" if isinstance(exc, KeyboardInterrupt) else f"{type(exc).__name__}: {exc}",
                      traceback=traceback.format_exc())
    record["class"] = classify(record)
    record["wall_time"] = time.perf_counter() - started
    return record
