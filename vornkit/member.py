"""One ensemble member, as a worker process runs it: build the engine, evolve it, measure.

:func:`run_member` is what :func:`vornkit.ensemble` sends to its executor;
pool and Dask workers find it by this module's path, so it stays a plain
module-level function that imports only the standard library until it runs.
"""

from __future__ import annotations

import os
import socket
import time
import traceback
from typing import Any, Dict, List, Optional

from .checks import resolve_metrics
from .series import SparseRows, is_sparse

__all__ = ["current_member", "build_engine", "run_member"]

_current_member: Optional[int] = None


def current_member() -> Optional[int]:
    """The index of the ensemble member running in this process, or None.

    Lets a metric function (see :attr:`vornkit.Model.record`) behave differently per
    member, e.g. to write a per-member file.
    """
    return _current_member


def build_engine(model, seed: Optional[int] = None):
    """A fresh engine holding ``model``'s settings, initial state and rules.

    With ``seed``, the engine's generator is set from it first (see
    :func:`vornkit.reseed`); otherwise it keeps its entropy seeding.
    """
    import vorn
    from .initial import start

    engine = vorn.Engine()
    if seed is not None:
        from .rng import reseed
        reseed(engine, seed)
    engine.set_semantics(model.semantics)
    if model.causal_horizon is not None:
        engine.set_causal_horizon(model.causal_horizon)
    if model.bitset_capacity is not None:
        engine.set_bitset_capacity(model.bitset_capacity)
    start(engine, model.init, model.rules)
    return engine


def run_member(model, steps: int, member: int, seed: Optional[int] = None) -> Dict[str, Any]:
    """One member, in a worker: build, evolve, measure.  Never raises for the member's own faults."""
    global _current_member

    _current_member = member
    started = time.perf_counter()
    where = f"{socket.gethostname()}:{os.getpid()}"
    history: Dict[str, List[float]] = {"step": [], "time": []}
    try:
        metrics = resolve_metrics(model.record)
        history.update({name: [] for name in metrics})
        engine = build_engine(model, seed)
        # Costly metrics (the dimension) at a few recorded steps only, the same in every member.
        schedule = SparseRows(steps)
        sparse = any(is_sparse(fn) for fn in metrics.values())

        def take_record(step: int) -> None:
            history["step"].append(step)
            history["time"].append(time.perf_counter() - started)
            for name, value in zip(metrics, schedule.row(engine, step, metrics)):
                # Keep plain numbers: results cross process and machine boundaries.
                history[name].append(value.item() if hasattr(value, "item") else value)
            if sparse and schedule.due(step):
                schedule.taken(step)

        done = 0
        for mark in model.record_steps(steps):
            if mark > done:
                engine.run(mark - done)
                done = mark
            take_record(done)
        out: Dict[str, Any] = {
            "member": member, "ok": True, "seed": seed, "steps": done,
            "attempted": engine.get_attempted_rewrites(), "successful": engine.get_successful_rewrites(),
            "wall_time": time.perf_counter() - started, "worker": where,
            "final": {"nodes": engine.node_count(), "edges": engine.edge_count(),
                      "pairs": engine.get_structural_pair_count()},
            "history": history,
        }
        if model.keep_final:
            out["final_vertices"] = engine.get_vertices()
            out["final_edges"] = engine.get_edges()
        return out
    except (Exception, KeyboardInterrupt) as exc:
        error = "interrupted" if isinstance(exc, KeyboardInterrupt) else f"{type(exc).__name__}: {exc}"
        return {"member": member, "ok": False, "seed": seed, "error": error, "worker": where,
                "traceback": traceback.format_exc(), "wall_time": time.perf_counter() - started}
    finally:
        _current_member = None
