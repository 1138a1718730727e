"""Ensembles: many independent runs of one model, on a process pool or a Dask cluster.

A stochastic rewriting model is studied over many runs.  :func:`ensemble`
sends ``runs`` members to a ``concurrent.futures.Executor``; each member
builds its own engine from a plain, picklable :class:`Model`, evolves it and
sends back plain data (counts, the recorded history, optionally the final
hyperedges; see :mod:`vornkit.member`).  All members record at the same
steps, so their histories can be summarised step by step
(:meth:`EnsembleResult.aggregate`), drawn with
:func:`vornkit.plotting.plot_ensemble` and written with
:func:`vornkit.export.write_jsonl`.

The default executor is a process pool on this machine;
:func:`vornkit.dask_ensemble.dask_executor` runs the same members on a Dask
``LocalCluster`` or on the scheduler of a real cluster.
"""

from __future__ import annotations

import math
import os
import time
import traceback
import warnings
from concurrent.futures import CancelledError, Executor, FIRST_COMPLETED, wait
from dataclasses import dataclass, field
from importlib import import_module
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from .checks import as_edges, check_seed, resolve_metrics, whole_number
from .member import build_engine, current_member, run_member
from .notation import format_rule, parse_hypergraph, parse_rules
from .words import counted

# Some names are found by the module's __getattr__ below, which the linter cannot see.
__all__ = ["Model", "EnsembleResult", "ensemble", "dask_executor", "DaskExecutor", "plot_ensemble",  # noqa: F822
           "write_jsonl", "current_member", "ENSEMBLE_FORMAT", "DASK_MISSING"]  # noqa: F822

# Names that live in the modules for output and for Dask, importable from here
# as well; they are looked up on first use, so that importing this module
# does not import numpy, matplotlib or Dask.
_ELSEWHERE = {"plot_ensemble": "plotting", "write_jsonl": "export", "json_lines": "export",
              "ENSEMBLE_FORMAT": "export", "dask_executor": "dask_ensemble",
              "DaskExecutor": "dask_ensemble", "DASK_MISSING": "dask_ensemble"}

DEFAULT_QUANTILES = (0.05, 0.25, 0.5, 0.75, 0.95)


def __getattr__(name):
    if name in _ELSEWHERE:
        return getattr(import_module(f".{_ELSEWHERE[name]}", __package__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@dataclass
class Model:
    """A plain description of one stochastic model, sent to every member.

    - ``rules``: rule text (several rules separated by ``;`` or new lines),
      :class:`~vornkit.Rule` objects, or a list of either; weights with ``@``.
    - ``init``: the initial hypergraph, as text (``"{{1,2},{1,3}}"``) or a
      list of hyperedges of labels.
    - ``semantics``: ``"DPO"`` or ``"SPO"``.
    - ``causal_horizon``, ``bitset_capacity``: engine settings; None keeps the
      engine's defaults.
    - ``record``: metric names from :data:`vornkit.METRICS`, or a dict
      ``name -> f(engine)`` of picklable module-level functions that every
      worker can import.  ``"dimension"`` is measured at a few of the
      recorded steps only, the same in every member, and is NaN at the
      others (see :func:`vornkit.evolve`).
    - ``points``: how many steps are recorded besides step 0.
    - ``spacing``: ``"log"`` (geometric steps, for growth exponents) or
      ``"linear"``.
    - ``keep_final``: send back each member's final vertices and hyperedges.

    Every member records at the same steps (:meth:`record_steps`).
    """

    rules: Any
    init: Any = "{}"
    semantics: str = "DPO"
    causal_horizon: Optional[int] = None
    bitset_capacity: Optional[int] = None
    record: Any = ("nodes", "edges", "pairs")
    points: int = 40
    spacing: str = "log"
    keep_final: bool = False

    def __post_init__(self) -> None:
        self.rules = parse_rules(self.rules)
        if isinstance(self.init, str):
            self.init = parse_hypergraph(self.init)
        else:
            self.init = as_edges(self.init)
        if not isinstance(self.semantics, str) or self.semantics.upper() not in ("DPO", "SPO"):
            raise ValueError(f"semantics must be 'DPO' or 'SPO', got {self.semantics!r}")
        self.semantics = self.semantics.upper()
        for name in ("causal_horizon", "bitset_capacity"):
            if getattr(self, name) is not None:
                setattr(self, name, whole_number(getattr(self, name), name))
        if isinstance(self.record, str):
            self.record = (self.record,)
        if not isinstance(self.record, Mapping):
            self.record = tuple(self.record)
        resolve_metrics(self.record)  # unknown names and reserved names fail here, not in every worker
        self.points = whole_number(self.points, "points", minimum=1)
        if self.spacing not in ("log", "linear"):
            raise ValueError(f"spacing must be 'log' or 'linear', got {self.spacing!r}")
        self.keep_final = bool(self.keep_final)

    def record_steps(self, steps: int) -> List[int]:
        """The steps at which members record: 0, ..., ``steps``."""
        if steps <= 0:
            return [0]
        n = min(self.points, steps)
        if self.spacing == "linear":
            marks = {round(steps * k / n) for k in range(1, n + 1)}
        else:
            marks = {max(1, round(math.exp(math.log(steps) * k / n))) for k in range(1, n + 1)}
            # Small steps collide after rounding; fill up with the smallest free ones.
            k = 1
            while len(marks) < n:
                marks.add(k)
                k += 1
        return [0] + sorted(marks)

    def checkpoints(self, steps: int) -> List[int]:
        """Deprecated name of :meth:`record_steps` (a checkpoint is a saved engine, not a recorded row)."""
        warnings.warn("Model.checkpoints() is renamed Model.record_steps(); the old name will go",
                      DeprecationWarning, stacklevel=2)
        return self.record_steps(steps)

    def describe(self) -> Dict[str, Any]:
        """A JSON-friendly description (rules as text where the notation can write them)."""
        from .export import rule_record

        rules = [rule_record(r) for r in self.rules]
        record = list(self.record) if not isinstance(self.record, Mapping) else list(self.record.keys())
        return {"rules": rules, "init": self.init, "semantics": self.semantics,
                "causal_horizon": self.causal_horizon, "bitset_capacity": self.bitset_capacity,
                "record": record, "points": self.points, "spacing": self.spacing,
                "keep_final": self.keep_final}

    def title(self) -> str:
        if len(self.rules) == 1:
            try:
                return format_rule(self.rules[0])
            except ValueError:
                pass
        return counted(len(self.rules), "rule")


def _as_model(model) -> Model:
    if isinstance(model, Model):
        return model
    if isinstance(model, Mapping):
        return Model(**model)
    raise TypeError(f"model must be a vornkit.Model or a dict of its fields, not {type(model).__name__}")


def _failure(member: int, error: str, tb: str = "") -> Dict[str, Any]:
    return {"member": member, "ok": False, "seed": None, "error": error, "worker": None, "traceback": tb,
            "wall_time": None}


@dataclass
class EnsembleResult:
    """What :func:`ensemble` did.

    ``members`` holds the successful members' records (dicts with ``member``,
    ``steps``, ``attempted``, ``successful``, ``final`` counts, ``history`` and,
    with ``keep_final``, ``final_vertices``/``final_edges``), ordered by member
    index; ``failures`` the failed ones (``member``, ``error``,
    ``traceback``).  Every record has the member's ``seed`` (None without
    one).  ``reason`` is ``"completed"``, ``"interrupted"`` or ``"timed
    out"``.  ``seed`` is the ensemble's seed, or None.
    """

    model: Model
    runs: int
    steps: int
    members: List[Dict[str, Any]]
    failures: List[Dict[str, Any]]
    wall_time: float
    reason: str = "completed"
    executor: str = ""
    quantiles: Tuple[float, ...] = DEFAULT_QUANTILES
    seed: Optional[int] = None
    _stats: Optional[Dict[str, Any]] = field(default=None, repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return not self.failures and self.reason == "completed" and len(self.members) == self.runs

    def metric_names(self) -> List[str]:
        """The metrics the members recorded (besides ``step`` and ``time``), in recording order."""
        names: List[str] = []
        for m in self.members:
            for name in m["history"]:
                if name not in ("step", "time") and name not in names:
                    names.append(name)
        return names

    def __repr__(self) -> str:
        # Short on purpose: the members' histories can run to millions of numbers.
        parts = [f"{len(self.members):,} of {counted(self.runs, 'member')} finished"]
        if self.failures:
            parts.append(f"{len(self.failures):,} failed")
        parts.append(f"{counted(self.steps, 'step')} each")
        parts.append(f"metrics {', '.join(self.metric_names()) or 'none'}")
        parts.append(self.reason)
        parts.append(f"{self.wall_time:.2f} s")
        if self.seed is not None:
            parts.append(f"seed {self.seed}")
        return f"<EnsembleResult: {'; '.join(parts)}>"

    __str__ = __repr__

    def aggregate(self, quantiles: Optional[Sequence[float]] = None) -> Dict[str, Any]:
        """Per metric and recorded step: mean, std, quantiles and member count.

        Returns ``{"step": [...], "metrics": {name: {"mean": [...], "std":
        [...], "q0.05": [...], ..., "count": [...]}}}``.  Steps are those
        recorded by any member; a step that only some members reached (an
        interrupted run) is summarised over those.  ``std`` is the sample
        standard deviation (0 for a single member).  NaN values (a dimension
        not measured at a step, or undefined for a member's graph there) are
        left out: each statistic is over the members with a number at that
        step, ``count`` says how many they are, and a step where none has one
        gets NaN statistics (``null`` in JSON lines) and count 0.
        """
        import numpy as np

        qs = tuple(self.quantiles if quantiles is None else quantiles)
        for q in qs:
            if not 0 <= q <= 1:
                raise ValueError(f"quantiles must lie in [0, 1], got {q!r}")
        if quantiles is None and self._stats is not None:
            return self._stats
        names: List[str] = []
        for m in self.members:
            for name in m["history"]:
                if name not in ("step",) and name not in names:
                    names.append(name)
        steps = sorted({s for m in self.members for s in m["history"]["step"]})
        index = {s: i for i, s in enumerate(steps)}
        metrics: Dict[str, Dict[str, List[float]]] = {}
        for name in names:
            table = np.full((len(self.members), len(steps)), np.nan)
            for row, m in enumerate(self.members):
                values = m["history"].get(name)
                if values is None:
                    continue
                for s, v in zip(m["history"]["step"], values):
                    table[row, index[s]] = np.nan if v is None else float(v)
            count = np.sum(~np.isnan(table), axis=0)
            stats: Dict[str, List[float]] = {"count": count.tolist()}
            # All-NaN columns (no member reached a step) are expected: no warnings for them.
            with np.errstate(invalid="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                stats["mean"] = np.nanmean(table, axis=0).tolist() if len(self.members) else []
                std = np.nanstd(table, axis=0, ddof=1) if len(self.members) else np.array([])
                std[count == 1] = 0.0
                stats["std"] = std.tolist()
                for q in qs:
                    stats[quantile_key(q)] = (np.nanquantile(table, q, axis=0).tolist()
                                              if len(self.members) else [])
            metrics[name] = stats
        out = {"step": steps, "metrics": metrics, "members": len(self.members), "quantiles": list(qs)}
        if quantiles is None:
            self._stats = out
        return out

    def final(self, metric: str = "nodes") -> List[float]:
        """Each successful member's last recorded value of ``metric``."""
        return [m["history"][metric][-1] for m in self.members]

    def summary(self) -> Dict[str, Any]:
        """Counts and timing without the per-member data."""
        return {"runs": self.runs, "steps": self.steps, "seed": self.seed, "completed": len(self.members),
                "failed": len(self.failures), "reason": self.reason, "wall_time": self.wall_time,
                "executor": self.executor}


def quantile_key(q: float) -> str:
    """The key of quantile ``q`` in :meth:`EnsembleResult.aggregate`'s statistics, e.g. ``"q0.05"``."""
    return f"q{q:g}"


def _describe_executor(executor) -> str:
    describe = getattr(executor, "describe", None)  # a DaskExecutor says where its cluster is
    if callable(describe):
        return describe()
    workers = getattr(executor, "_max_workers", None)
    name = type(executor).__name__
    return f"{name} ({workers} workers)" if workers else name


def default_workers() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def ensemble(model, runs: int, steps: int, *, executor: Optional[Executor] = None,
             progress: bool = True, workers: Optional[int] = None, timeout: Optional[float] = None,
             quantiles: Sequence[float] = DEFAULT_QUANTILES, seed: Optional[int] = None) -> EnsembleResult:
    """Run ``runs`` independent members of ``model`` for ``steps`` steps each.

    - ``model``: a :class:`Model` or a dict of its fields.
    - ``executor``: any ``concurrent.futures.Executor``.  None: a process pool
      on this machine with ``workers`` processes (default: one per core),
      created and shut down here.  For Dask use :func:`dask_executor`.
    - ``progress``: a tqdm bar over members on standard error.
    - ``timeout``: seconds for the whole ensemble; members not finished by
      then are cancelled and reported as failures (``reason == "timed out"``).
    - ``seed``: an integer ``0 <= seed < 2**64``; member ``i`` then runs with
      the seed :func:`vornkit.member_seed` ``(seed, i)`` (different for every
      member), so the same seed repeats every member's counts and recorded
      metrics on any executor.  Vertex ids repeat only up to renaming: they count on
      in a worker process that has run members before.  None (the default):
      every member's engine draws its generator from entropy.

    A member that raises, or whose worker dies, is reported in ``failures``
    with its error; the other members' results are kept.  Ctrl-C stops
    waiting, cancels members not yet started and returns what has finished
    (``reason == "interrupted"``).
    """
    model = _as_model(model)
    runs = whole_number(runs, "runs")
    steps = whole_number(steps, "steps")
    if workers is not None:
        workers = whole_number(workers, "workers", minimum=1)
    if timeout is not None and not (timeout > 0):
        raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
    if executor is not None and workers is not None:
        raise ValueError("workers sizes the default process pool; with an executor, size the executor")
    quantiles = tuple(float(q) for q in quantiles)
    seeds: List[Optional[int]] = [None] * runs
    if seed is not None:
        from .rng import member_seed
        seed = check_seed(seed)
        seeds = [member_seed(seed, i) for i in range(runs)]
    _check_model_locally(model)

    owned = executor is None
    if owned:
        from concurrent.futures import ProcessPoolExecutor
        executor = ProcessPoolExecutor(max_workers=min(workers or default_workers(), max(runs, 1)),
                                       initializer=_worker_signals, initargs=(os.getpid(),))
    described = _describe_executor(executor)
    start = time.perf_counter()
    deadline = None if timeout is None else start + timeout
    results: Dict[int, Dict[str, Any]] = {}
    reason = "completed"
    bar = None
    futures: Dict[Any, int] = {}
    try:
        if progress and runs:
            from tqdm import tqdm
            bar = tqdm(total=runs, unit="member", dynamic_ncols=True, leave=True)
        try:
            for i in range(runs):
                try:
                    futures[executor.submit(run_member, model, steps, i, seeds[i])] = i
                except Exception as exc:  # e.g. a broken pool: the rest cannot start either
                    for j in range(i, runs):
                        results[j] = _failure(j, f"not started: {type(exc).__name__}: {exc}")
                    break
            pending = set(futures)
            while pending:
                left = None if deadline is None else deadline - time.perf_counter()
                if left is not None and left <= 0:
                    reason = "timed out"
                    break
                done, pending = wait(pending, timeout=left, return_when=FIRST_COMPLETED)
                for fut in done:
                    i = futures[fut]
                    results[i] = _collect(fut, i)
                    if bar is not None:
                        bar.update(1)
                        failed = sum(1 for r in results.values() if not r["ok"])
                        if failed:
                            bar.set_postfix(failed=failed, refresh=False)
        except KeyboardInterrupt:
            reason = "interrupted"
        if reason != "completed":
            # Every member gets a record, also one whose submission the interrupt cut short.
            submitted = {i: fut for fut, i in futures.items()}
            for i in range(runs):
                if i in results:
                    continue
                fut = submitted.get(i)
                if fut is not None:
                    fut.cancel()
                    if fut.done() and not fut.cancelled():
                        results[i] = _collect(fut, i)
                        continue
                results[i] = _failure(i, reason)
    finally:
        if bar is not None:
            bar.close()
        if owned:
            _close_pool(executor, terminate=reason != "completed")

    for i, record in results.items():
        record["seed"] = seeds[i]
    members = [results[i] for i in sorted(results) if results[i]["ok"]]
    failures = [results[i] for i in sorted(results) if not results[i]["ok"]]
    return EnsembleResult(model=model, runs=runs, steps=steps, members=members, failures=failures,
                          wall_time=time.perf_counter() - start, reason=reason, executor=described,
                          quantiles=quantiles, seed=seed)


def _worker_signals(parent: Optional[int] = None) -> None:
    """Signals in a pool worker: the parent answers Ctrl-C, SIGTERM ends the worker at once, and
    the worker ends when the process that made the pool (``parent``, a pid) is gone.

    Ctrl-C in a terminal reaches every process of the group; the parent stops
    the workers, which would otherwise die noisily on their own.  A forked
    worker inherits the parent's Python handlers, which could not run while
    the engine holds the interpreter; the default SIGTERM action always can.
    A parent killed outright (SIGKILL, SIGHUP) shuts nothing down, and its
    workers would wait for work forever: see :func:`_follow_parent`.
    """
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if parent is not None:
        _follow_parent(parent)


#: prctl option: the signal the calling process gets when its parent ends (Linux).
PR_SET_PDEATHSIG = 1

#: Seconds between two looks at the parent where the kernel cannot be asked to tell.
PARENT_POLL = 1.0


def _follow_parent(parent: int) -> None:
    """End this process with SIGTERM when process ``parent`` ends.

    On Linux the kernel sends the signal (prctl PR_SET_PDEATHSIG), also in
    the middle of a member's run, which holds the interpreter.  The parent
    may have died before the request was made, so the parent's pid is
    checked once after it.  Elsewhere a daemon thread looks at the parent's
    pid every :data:`PARENT_POLL` seconds (it runs between a member's chunks
    only, as the engine holds the interpreter).
    """
    import signal
    import threading

    if _set_parent_death_signal(signal.SIGTERM):
        if os.getppid() != parent:
            os.kill(os.getpid(), signal.SIGTERM)
        return

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(PARENT_POLL)
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="vornkit-parent-watch", daemon=True).start()


def _set_parent_death_signal(signum: int) -> bool:
    """Ask the kernel to send ``signum`` when the parent ends; False where that cannot be done."""
    import sys
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_PDEATHSIG, ctypes.c_ulong(int(signum)), 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def _close_pool(executor, terminate: bool) -> None:
    """Shut down a pool this module made; no worker process outlives it."""
    try:
        if terminate:
            # Members still running after a time-out or Ctrl-C would keep
            # their processes (and this interpreter's exit) waiting.
            _terminate_pool(executor)
        executor.shutdown(wait=True, cancel_futures=True)
    except BaseException:
        # Interrupted while waiting for the workers: stop them instead.
        _terminate_pool(executor)
        executor.shutdown(wait=False, cancel_futures=True)
        raise


def _terminate_pool(executor) -> None:
    terminate = getattr(executor, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        if process.is_alive():
            process.terminate()


def _collect(fut, member: int) -> Dict[str, Any]:
    """A finished future's member record; failures of the machinery become failure records."""
    try:
        out = fut.result(timeout=0)
    except CancelledError:
        return _failure(member, "cancelled")
    except BaseException as exc:  # a dead worker, an unpicklable result, a missing module ...
        tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        return _failure(member, f"{type(exc).__name__}: {exc}", tb)
    if not isinstance(out, dict) or "ok" not in out:
        return _failure(member, f"the worker returned {type(out).__name__}, not a member record")
    return out


def _check_model_locally(model: Model) -> None:
    """Build the model once here so that a bad rule fails once, clearly, not in every member."""
    try:
        import vorn  # noqa: F401
    except ImportError:
        return  # the workers may still have it (a remote cluster)
    build_engine(model)
