"""Ensembles: many independent runs of one model, on a process pool or a Dask cluster.

A stochastic rewriting model is studied over many runs.  :func:`ensemble`
sends ``runs`` members to a ``concurrent.futures.Executor``; each member
builds its own engine from a plain, picklable :class:`Model`, evolves it and
sends back plain data (counts, the recorded history, optionally the final
hyperedges).  All members record at the same steps, so their histories can be
summarised step by step (:meth:`EnsembleResult.aggregate`) and drawn with
:func:`plot_ensemble`.

The default executor is a process pool on this machine; :func:`dask_executor`
runs the same members on a Dask ``LocalCluster`` or on the scheduler of a real
cluster.
"""

from __future__ import annotations

import math
import os
import socket
import sys
import threading
import time
import traceback
from concurrent.futures import CancelledError, Executor, FIRST_COMPLETED, wait
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from .evolve import _resolve_metrics, whole_number
from .notation import Rule, format_hypergraph, format_rule, parse_hypergraph, parse_rules, shorten

__all__ = ["Model", "EnsembleResult", "ensemble", "dask_executor", "DaskExecutor", "plot_ensemble",
           "write_jsonl", "current_member", "ENSEMBLE_FORMAT", "DASK_MISSING"]

#: Identifies the JSON lines written by :func:`write_jsonl`.
ENSEMBLE_FORMAT = "vornkit-ensemble/1"

#: What to tell a user whose Python has no Dask.
DASK_MISSING = "Dask is not installed; install it with: pip install 'dask[distributed]' (or pip install 'vorn[dask]')"

DEFAULT_QUANTILES = (0.05, 0.25, 0.5, 0.75, 0.95)

_current_member: Optional[int] = None


def current_member() -> Optional[int]:
    """The index of the ensemble member running in this process, or None.

    Lets a metric function (see :attr:`Model.record`) behave differently per
    member, e.g. to write a per-member file.
    """
    return _current_member


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
      worker can import.
    - ``points``: how many steps are recorded besides step 0.
    - ``spacing``: ``"log"`` (geometric steps, for growth exponents) or
      ``"linear"``.
    - ``keep_final``: send back each member's final vertices and hyperedges.

    Every member records at the same steps (:meth:`checkpoints`).
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
            from .initial import _as_edges
            self.init = _as_edges(self.init)
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
        _resolve_metrics(self.record)  # unknown names and reserved names fail here, not in every worker
        self.points = whole_number(self.points, "points", minimum=1)
        if self.spacing not in ("log", "linear"):
            raise ValueError(f"spacing must be 'log' or 'linear', got {self.spacing!r}")
        self.keep_final = bool(self.keep_final)

    def checkpoints(self, steps: int) -> List[int]:
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

    def describe(self) -> Dict[str, Any]:
        """A JSON-friendly description (rules as text where the notation can write them)."""
        rules = []
        for r in self.rules:
            rec: Dict[str, Any] = {"lhs": r.lhs, "kept": r.kept, "rhs": r.rhs, "weight": r.weight}
            try:
                rec["text"] = format_rule(r)
            except ValueError:
                pass
            rules.append(rec)
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
        return f"{len(self.rules)} rules"


def _as_model(model) -> Model:
    if isinstance(model, Model):
        return model
    if isinstance(model, Mapping):
        return Model(**model)
    raise TypeError(f"model must be a vornkit.Model or a dict of its fields, not {type(model).__name__}")


def build_engine(model: Model, seed: Optional[int] = None):
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


def _run_member(model: Model, steps: int, member: int, seed: Optional[int] = None) -> Dict[str, Any]:
    """One member, in a worker: build, evolve, measure.  Never raises for the member's own faults."""
    global _current_member

    _current_member = member
    start = time.perf_counter()
    where = f"{socket.gethostname()}:{os.getpid()}"
    history: Dict[str, List[float]] = {"step": [], "time": []}
    try:
        metrics = _resolve_metrics(model.record)
        history.update({name: [] for name in metrics})
        engine = build_engine(model, seed)

        def take_record(step: int) -> None:
            history["step"].append(step)
            history["time"].append(time.perf_counter() - start)
            for name, fn in metrics.items():
                value = fn(engine)
                # Keep plain numbers: results cross process and machine boundaries.
                history[name].append(value.item() if hasattr(value, "item") else value)

        done = 0
        for mark in model.checkpoints(steps):
            if mark > done:
                engine.run(mark - done)
                done = mark
            take_record(done)
        out: Dict[str, Any] = {
            "member": member, "ok": True, "seed": seed, "steps": done,
            "attempted": engine.get_attempted_rewrites(), "successful": engine.get_successful_rewrites(),
            "wall_time": time.perf_counter() - start, "worker": where,
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
                "traceback": traceback.format_exc(), "wall_time": time.perf_counter() - start}
    finally:
        _current_member = None


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

    def aggregate(self, quantiles: Optional[Sequence[float]] = None) -> Dict[str, Any]:
        """Per metric and recorded step: mean, std, quantiles and member count.

        Returns ``{"step": [...], "metrics": {name: {"mean": [...], "std":
        [...], "q0.05": [...], ..., "count": [...]}}}``.  Steps are those
        recorded by any member; a step that only some members reached (an
        interrupted run) is summarised over those.  ``std`` is the sample
        standard deviation (0 for a single member).
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
            with np.errstate(invalid="ignore"), _quiet_nan_warnings():
                stats["mean"] = np.nanmean(table, axis=0).tolist() if len(self.members) else []
                std = np.nanstd(table, axis=0, ddof=1) if len(self.members) else np.array([])
                std[count == 1] = 0.0
                stats["std"] = std.tolist()
                for q in qs:
                    stats[_qname(q)] = (np.nanquantile(table, q, axis=0).tolist() if len(self.members)
                                        else [])
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


def _qname(q: float) -> str:
    return f"q{q:g}"


class _quiet_nan_warnings:
    """All-NaN columns (no member reached a step) are expected; keep them silent."""

    def __enter__(self):
        import warnings
        self._ctx = warnings.catch_warnings()
        self._ctx.__enter__()
        warnings.simplefilter("ignore", RuntimeWarning)
        return self

    def __exit__(self, *exc):
        return self._ctx.__exit__(*exc)


def _describe_executor(executor) -> str:
    if isinstance(executor, DaskExecutor):
        return executor.describe()
    workers = getattr(executor, "_max_workers", None)
    name = type(executor).__name__
    return f"{name} ({workers} workers)" if workers else name


def _default_workers() -> int:
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
        from .rng import check_seed, member_seed
        seed = check_seed(seed)
        seeds = [member_seed(seed, i) for i in range(runs)]
    _check_model_locally(model)

    owned = executor is None
    if owned:
        from concurrent.futures import ProcessPoolExecutor
        executor = ProcessPoolExecutor(max_workers=min(workers or _default_workers(), max(runs, 1)),
                                       initializer=_worker_signals)
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
                    futures[executor.submit(_run_member, model, steps, i, seeds[i])] = i
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


def _worker_signals() -> None:
    """Signals in a pool worker: the parent answers Ctrl-C, and SIGTERM ends the worker at once.

    Ctrl-C in a terminal reaches every process of the group; the parent stops
    the workers, which would otherwise die noisily on their own.  A forked
    worker inherits the parent's Python handlers, which could not run while
    the engine holds the interpreter; the default SIGTERM action always can.
    """
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


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


# -- Dask ----------------------------------------------------------------------------------------

def _import_path() -> str:
    """PYTHONPATH under which a fresh Python imports the same vorn and vornkit as this one."""
    paths = []
    try:
        import vorn
        paths.append(os.path.dirname(os.path.abspath(vorn.__file__)))
    except ImportError:
        pass
    paths.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    paths += [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return os.pathsep.join(dict.fromkeys(paths))


class DaskExecutor(Executor):
    """A ``concurrent.futures.Executor`` on a Dask distributed cluster.

    Made by :func:`dask_executor`.  ``shutdown()`` (or leaving a ``with``
    block) closes the client and, when this object started it, the local
    cluster.  ``client`` and ``cluster`` are the Dask objects.
    """

    def __init__(self, client, cluster=None):
        self.client = client
        self.cluster = cluster
        self._executor = client.get_executor(pure=False)
        self._closed = False

    @property
    def address(self) -> str:
        return self.client.scheduler.address

    def workers(self) -> int:
        return len(self.client.scheduler_info().get("workers", {}))

    def describe(self) -> str:
        where = "local Dask cluster" if self.cluster is not None else "Dask scheduler"
        return f"{where} at {self.address} ({self.workers()} workers)"

    def submit(self, fn, /, *args, **kwargs):
        if self._closed:
            raise RuntimeError("cannot submit to a closed Dask executor")
        return self._executor.submit(fn, *args, **kwargs)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self._executor.shutdown(wait=wait and not cancel_futures)
        finally:
            try:
                self.client.close()
            finally:
                if self.cluster is not None:
                    self.cluster.close()


def dask_executor(address: Optional[str] = None, *, n_workers: Optional[int] = None,
                  threads_per_worker: int = 1, timeout: float = 30.0, **cluster_kwargs) -> DaskExecutor:
    """An executor on Dask distributed; use it as a context manager.

    Without ``address`` a ``LocalCluster`` of ``n_workers`` single-threaded
    worker processes (default: one per core) is started on this machine and
    closed with the executor; its workers import the same ``vorn`` and
    ``vornkit`` as this process.  With ``address`` (``"tcp://host:8786"``)
    the client connects to that scheduler; its workers need ``vorn``
    installed.  Waits up to ``timeout`` seconds for the scheduler and for at
    least one worker, then raises ``TimeoutError``; an address where no Dask
    scheduler answers (nothing listening, another protocol, no TLS settings
    for ``tls://``) raises ``OSError``.  Both name the address.  Raises
    ``ImportError`` naming the package to install when Dask is missing.

        with vornkit.dask_executor() as ex:
            result = vornkit.ensemble(model, 32, 10_000, executor=ex)
    """
    try:
        import asyncio
        import logging
        from distributed import Client, LocalCluster
    except ImportError:
        raise ImportError(DASK_MISSING) from None
    if address is None:
        kwargs = dict(n_workers=n_workers or _default_workers(), threads_per_worker=threads_per_worker,
                      processes=True, dashboard_address=None, silence_logs=logging.ERROR)
        kwargs.update(cluster_kwargs)
        env = dict(kwargs.pop("env", None) or {})
        env.setdefault("PYTHONPATH", _import_path())
        cluster = LocalCluster(env=env, **kwargs)
        try:
            client = Client(cluster, timeout=timeout)
        except BaseException:
            cluster.close()
            raise
        return DaskExecutor(client, cluster)
    if n_workers is not None or cluster_kwargs:
        raise ValueError("n_workers and cluster options apply only to a local cluster (no address)")
    try:
        _handshake(address, timeout)
        client = Client(address, timeout=timeout)
    except Exception as exc:
        raise _scheduler_error(address, timeout, exc) from exc
    try:
        client.wait_for_workers(1, timeout=timeout)
    except BaseException as exc:
        client.close()
        if isinstance(exc, (TimeoutError, asyncio.TimeoutError)):
            raise TimeoutError(f"no worker joined the Dask scheduler at {address} within {timeout:g} s") from exc
        raise
    return DaskExecutor(client)


def _handshake(address: str, timeout: float) -> None:
    """Connect to ``address`` and complete Dask's handshake, all within ``timeout`` seconds.

    The client's own connection waits for the scheduler's handshake without a
    time limit, so a server that accepts and then says nothing would hang it.
    Runs on a thread of its own, so that it works under a running event loop.
    """
    import asyncio
    from distributed.comm import connect
    from distributed.security import Security

    async def probe():
        comm = await connect(address, timeout=timeout, **Security().get_connection_args("client"))
        await comm.close()

    failure: List[BaseException] = []

    def attempt():
        try:
            asyncio.run(asyncio.wait_for(probe(), timeout))
        except BaseException as exc:  # handed to the caller
            failure.append(exc)

    thread = threading.Thread(target=attempt, name="vornkit-dask-handshake", daemon=True)
    thread.start()
    thread.join(timeout + 5)
    if thread.is_alive():
        raise TimeoutError
    if failure:
        raise failure[0]


def _scheduler_error(address: str, timeout: float, exc: BaseException) -> OSError:
    """One line naming ``address`` for whatever went wrong while connecting."""
    import asyncio
    if isinstance(exc, (TimeoutError, asyncio.TimeoutError)):
        return TimeoutError(f"no Dask scheduler answered at {address} within {timeout:g} s")
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if isinstance(exc, TypeError) and "ssl_context" in text:
        detail = "a tls:// address needs Dask's TLS settings (distributed.comm.tls), and none are configured"
    elif isinstance(exc, (OSError, ValueError)):
        detail = shorten(text)
    else:  # e.g. a MemoryError from a frame length read out of another protocol's reply
        detail = f"the reply is not Dask's protocol ({type(exc).__name__})"
    return OSError(f"cannot use the Dask scheduler at {address}: {detail}")


# -- output -------------------------------------------------------------------------------------

def _json_default(value):
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not JSON serialisable")


def _clean(value):
    # JSON has no NaN or infinity: a step no member reached has no statistics.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [_clean(v) for v in value]
    if isinstance(value, dict):
        return {k: _clean(v) for k, v in value.items()}
    return value


def json_lines(result: EnsembleResult) -> List[str]:
    """One JSON text per member (failed ones too, by member index), then the aggregate."""
    import json
    records = sorted(result.members + result.failures, key=lambda r: r["member"])
    lines = [json.dumps(_clean({"type": "member", **r}), default=_json_default, allow_nan=False)
             for r in records]
    aggregate = {"type": "aggregate", "format": ENSEMBLE_FORMAT, "model": result.model.describe(),
                 **result.summary(), **result.aggregate()}
    lines.append(json.dumps(_clean(aggregate), default=_json_default, allow_nan=False))
    return lines


def write_jsonl(result: EnsembleResult, path) -> None:
    """Write :func:`json_lines` to ``path``, one record a line, complete or not at all."""
    from .files import replaced
    text = "\n".join(json_lines(result)) + "\n"
    with replaced(path) as fh:
        fh.write(text)


def plot_ensemble(result: EnsembleResult, path=None, *, metrics: Optional[Sequence[str]] = None,
                  band: Tuple[float, float] = (0.05, 0.95), title: Optional[str] = None,
                  log: bool = True, panel_size=(4.2, 3.8), dpi: int = 150):
    """Plot each metric's mean over members against the step, with its spread.

    One panel per metric (``metrics`` defaults to every recorded one except
    ``time``): the line is the mean, the dark band spans the 25-75 %
    quantiles and the light band ``band`` (5-95 % by default).  With ``log``
    the axes are log-log and each panel names the growth exponent, the slope
    of a straight-line fit of the mean over the later half (in log step);
    band edges at zero run off the bottom of the panel.  ``path`` is written
    by its suffix (``.png``, ``.svg``, ``.pdf``).  Returns the figure.
    """
    import numpy as np
    from .plotting import _new_figure, _save

    lo_q, hi_q = band
    if not 0 <= lo_q < hi_q <= 1:
        raise ValueError(f"band must be two quantiles 0 <= low < high <= 1, got {band!r}")
    stats = result.aggregate(sorted(set(result.quantiles) | {0.25, 0.75, lo_q, hi_q}))
    steps = np.asarray(stats["step"], dtype=float)
    names = list(metrics) if metrics is not None else [k for k in stats["metrics"] if k != "time"]
    for name in names:
        if name not in stats["metrics"] and result.members:
            raise ValueError(f"no metric {name!r} in the ensemble (have {', '.join(stats['metrics'])})")
    names = [n for n in names if n in stats["metrics"]]

    panels = max(1, len(names))
    fig = _new_figure((panel_size[0] * panels, panel_size[1] + 0.5), dpi)
    axes = fig.subplots(1, panels, squeeze=False)[0]
    colours = ["#1f5fa8", "#c8501e", "#2e8b57", "#7b4ea3", "#b8860b"]
    for k, ax in enumerate(axes):
        if log:
            ax.set_xscale("log")
            ax.set_yscale("log")
        ax.grid(True, which="major", alpha=0.4)
        if log:
            ax.grid(True, which="minor", alpha=0.12)
        ax.set_xlabel("step")
        if k >= len(names):
            ax.text(0.5, 0.5, "no member results to show", ha="center", va="center",
                    transform=ax.transAxes, color="0.4")
            continue
        name = names[k]
        s = stats["metrics"][name]
        mean = np.asarray(s["mean"], dtype=float)
        lo, hi = np.asarray(s[_qname(lo_q)], dtype=float), np.asarray(s[_qname(hi_q)], dtype=float)
        q1, q3 = np.asarray(s["q0.25"], dtype=float), np.asarray(s["q0.75"], dtype=float)
        ok = np.isfinite(mean)
        if log:
            ok &= (steps > 0) & (mean > 0)
        if not ok.any():
            ax.text(0.5, 0.5, "nothing to show on log axes", ha="center", va="center",
                    transform=ax.transAxes, color="0.4")
            ax.set_title(name, fontsize=10)
            continue
        x = steps[ok]
        colour = colours[k % len(colours)]
        if log:
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
        heading = name
        if log and len(x) >= 3 and x.max() > x.min():
            lx, ly = np.log(x), np.log(mean[ok])
            later = lx >= (lx.min() + lx.max()) / 2
            if later.sum() >= 2 and np.ptp(lx[later]) > 0:
                heading = f"{name}: slope {np.polyfit(lx[later], ly[later], 1)[0]:.2f}"
        ax.set_title(heading, fontsize=10)
        ax.legend(frameon=False, loc="upper left", fontsize=8)
    axes[0].set_ylabel("count")
    n = len(result.members)
    head = title or result.model.title()
    sub = f"{n} member{'s' if n != 1 else ''}, {result.steps:,} steps, {result.model.semantics}"
    if result.failures:
        sub += f"; {len(result.failures)} failed"
    fig.suptitle(f"{head}\n{sub}", fontsize=10)
    _save(fig, path)
    return fig
