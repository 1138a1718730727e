"""Runs users can watch: chunked evolution with progress, metrics and Ctrl-C."""

from __future__ import annotations

import signal
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Union

from .checks import METRICS, resolve_metrics, whole_number
from .notation import parse_rules
from .series import SparseRows, is_sparse

__all__ = ["EvolveResult", "evolve", "METRICS"]


@dataclass
class EvolveResult:
    """What :func:`evolve` did.

    ``history`` maps ``"step"`` (steps done by this run when the row was
    taken), ``"time"`` (seconds since the start) and every recorded metric to
    a list with one entry per record: one before the first chunk and one after
    each chunk.  A costly metric (``"dimension"``) holds NaN in the rows where
    it was not measured (see :func:`evolve`).  ``reason`` is ``"completed"``, ``"interrupted"``
    or ``"memory"`` (stopped to keep within a memory limit, or out of memory).
    ``seed`` is the seed the engine was given (see :func:`vornkit.reseed`),
    for the record; ``evolve`` leaves it None.
    """

    steps_requested: int
    steps_done: int
    attempted: int
    successful: int
    wall_time: float
    reason: str
    history: Dict[str, List[float]]
    semantics: str = "DPO"
    rules: List[Any] = field(default_factory=list)
    initial_edges: Optional[List[List[Any]]] = None
    final_edges: Optional[List[List[int]]] = None
    final_vertices: Optional[List[int]] = None
    seed: Optional[int] = None

    @property
    def interrupted(self) -> bool:
        return self.reason == "interrupted"

    def arrays(self) -> Dict[str, "numpy.ndarray"]:  # noqa: F821
        """The history as NumPy arrays."""
        import numpy as np
        return {k: np.asarray(v) for k, v in self.history.items()}


class _InterruptFlag:
    """Turns the first SIGINT into a flag checked between chunks.

    The engine's ``run`` holds the interpreter lock, so a Ctrl-C is seen by
    Python only after the chunk ends anyway; catching it as a flag lets the
    current chunk finish and be recorded.  A second Ctrl-C goes to the
    handler that was there before (by default it raises KeyboardInterrupt).
    After :meth:`hold` every SIGINT only sets the flag: the engine has
    stopped and the result is being collected.  Only possible in the main
    thread; elsewhere a KeyboardInterrupt is caught instead.
    """

    def __init__(self) -> None:
        self.set = False
        self._old = None
        self._installed = False
        self._holding = False

    def _handler(self, signum, frame) -> None:
        self.set = True
        if not self._holding:
            signal.signal(signal.SIGINT, self._old if callable(self._old) else signal.default_int_handler)

    def hold(self) -> None:
        if self._installed:
            self._holding = True
            signal.signal(signal.SIGINT, self._handler)

    def __enter__(self) -> "_InterruptFlag":
        if threading.current_thread() is threading.main_thread():
            try:
                self._old = signal.getsignal(signal.SIGINT)
                signal.signal(signal.SIGINT, self._handler)
                self._installed = True
            except (ValueError, OSError):
                self._installed = False
        return self

    def __exit__(self, *exc) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._old if self._old is not None else signal.default_int_handler)


def evolve(engine, steps: int, chunk: Optional[int] = None, progress: bool = True,
           record: Union[Sequence[str], Mapping[str, Callable], None] = ("nodes", "edges", "pairs"),
           *, rules: Optional[Sequence[Any]] = None, keep_final: bool = True,
           target_seconds: float = 0.1, after_chunk: Optional[Callable[[int], None]] = None,
           memory: Optional["MemoryBudget"] = None) -> EvolveResult:  # noqa: F821
    """Advance ``engine`` by ``steps`` steps in chunks of ``engine.run(chunk)``.

    - ``chunk``: steps per chunk.  ``None`` adapts it: chunks start at one step
      and double while a chunk takes less than ``target_seconds``, so the
      history is dense early (good for log-log plots) and Ctrl-C is answered
      within a fraction of a second.  A fixed chunk gives exactly
      ``ceil(steps / chunk) + 1`` records.
    - ``progress``: a tqdm progress bar on standard error (rate and ETA).
    - ``record``: names from :data:`METRICS` or a dict ``name -> f(engine)``,
      measured before the first chunk and after every chunk.
      ``"dimension"`` (the estimate of :func:`vornkit.estimate_dimension`
      with 50 centres, NaN where the graph is too small for one) costs
      about as much as the steps that grew the graph, so it is measured at
      a few rows only: the first, the first to reach each of the steps
      ``steps, steps/2, steps/4, ..., 1`` (rounded up) and the last.  That is
      about ``log2(steps) + 2`` estimates (22 at a million steps) costing
      about twice one estimate at the end.  The other rows hold NaN, so
      every history list still has one entry per row; the measured points
      are those where ``history["dimension"]`` is not NaN.  Functions marked
      with :func:`vornkit.series.sparse_metric` are treated the same way.
    - ``rules``: only stored in the result for the record (the engine cannot
      list its rules); nothing is added to the engine.
    - ``keep_final``: store the final vertices and hyperedges in the result.
    - ``after_chunk``: called as ``after_chunk(done)`` after each chunk has
      been recorded, with the steps this run has done; it may save the
      engine, say (``vorn run --checkpoint-every`` does).  What it raises
      ends the run: ``KeyboardInterrupt`` as an interrupt, anything else
      passes on to the caller.
    - ``memory``: a :class:`vornkit.memory.MemoryBudget`; each chunk is cut to
      the steps it allows, and the run stops with ``reason == "memory"`` when
      it allows none, or when a step raises ``MemoryError`` (the engine
      undoes that step, so the state reached is whole).

    Ctrl-C (SIGINT) stops the run after the current chunk; the result then has
    ``reason == "interrupted"`` and everything measured so far.  Once the
    engine has stopped, further Ctrl-Cs are ignored until the result is
    complete.  A history row is kept only when every metric of it was
    measured, so all lists have the same length even when a metric raises
    KeyboardInterrupt.  ``attempted`` and ``successful`` count this run's
    steps only: the steps it asked ``run`` for, and the engine's successful
    counter across each of those calls (this function resets no counter,
    and what ``after_chunk`` or a metric does to the counters does not
    change the tallies).  ``steps`` and ``chunk`` may be any integers, numpy's included.
    """
    steps = whole_number(steps, "steps")
    if chunk is not None:
        chunk = whole_number(chunk, "chunk", minimum=1)
    metrics = resolve_metrics(record)
    rule_list = parse_rules(rules) if rules is not None else []

    history: Dict[str, List[float]] = {"step": [], "time": [], **{name: [] for name in metrics}}
    sparse = [name for name, fn in metrics.items() if is_sparse(fn)]
    schedule = SparseRows(steps)
    # This run's own tallies.  The engine's counters are only read across one
    # run() call (no user code in between), so an after_chunk or metric that
    # resets the counters or rolls back a step cannot confuse them.
    tally = _StepTally()

    def done_so_far() -> int:
        return tally.done

    def take_record() -> None:
        # Measure the whole row before storing any of it.
        step = done_so_far()
        row = [step, time.perf_counter() - start, *schedule.row(engine, step, metrics)]
        for column, value in zip(history.values(), row):
            column.append(value)
        if sparse and schedule.due(step):
            schedule.taken(step)

    def complete_last_row() -> None:
        # A run that ended early has a last row the schedule did not pick:
        # the state reached gets its costly metrics too.
        if not sparse or not history["step"] or schedule.last == history["step"][-1]:
            return
        if history["step"][-1] != done_so_far():
            return
        try:
            values = [metrics[name](engine) for name in sparse]
        except KeyboardInterrupt:  # outside the main thread nothing holds it back: keep the NaNs
            return
        for name, value in zip(sparse, values):
            history[name][-1] = value
        schedule.taken(history["step"][-1])

    def drop_ragged_row() -> None:
        # An interrupt between two appends of take_record leaves a partial row.
        rows = min(len(column) for column in history.values())
        for column in history.values():
            del column[rows:]

    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=steps, unit="step", unit_scale=True, dynamic_ncols=True, leave=True)
    start = time.perf_counter()

    reason = "completed"
    size = chunk if chunk is not None else 1
    cap = max(1, steps // 20) if chunk is None else chunk
    try:
        with _InterruptFlag() as flag:
            try:
                take_record()
                while True:
                    done = done_so_far()
                    if done >= steps:
                        break
                    if flag.set:
                        reason = "interrupted"
                        break
                    n = min(size, steps - done)
                    if memory is not None:
                        memory.observe(done)
                        n = min(n, memory.steps_left())
                        if n <= 0:
                            reason = "memory"
                            break
                    t0 = time.perf_counter()
                    tally.start(engine, n)
                    try:
                        engine.run(n)
                    except MemoryError:
                        if memory is None:
                            raise
                        # The step that ran out was undone: the state reached is whole.
                        tally.cut(engine)
                        reason = "memory"
                        take_record()
                        break
                    tally.finish(engine)
                    elapsed = time.perf_counter() - t0
                    take_record()
                    if bar is not None:
                        bar.update(history["step"][-1] - bar.n)
                        if "nodes" in history and "edges" in history:
                            bar.set_postfix(nodes=history["nodes"][-1], edges=history["edges"][-1],
                                            refresh=False)
                    if after_chunk is not None:
                        after_chunk(history["step"][-1])
                    if chunk is None:
                        if elapsed < target_seconds / 2:
                            size = min(size * 2, cap)
                        elif elapsed > target_seconds * 2 and size > 1:
                            size //= 2
                if flag.set and reason == "completed" and done_so_far() < steps:
                    reason = "interrupted"
            except KeyboardInterrupt:
                reason = "interrupted"
                flag.hold()
                tally.settle(engine)
                drop_ragged_row()
                # Record the state reached if the interrupt came before its record.
                if not history["step"] or history["step"][-1] != done_so_far():
                    try:
                        take_record()
                    except KeyboardInterrupt:  # raised by a metric: keep the rows taken so far
                        pass
            flag.hold()
            complete_last_row()
            result = EvolveResult(
                steps_requested=steps,
                steps_done=done_so_far(),
                attempted=done_so_far(),
                successful=tally.successful,
                wall_time=time.perf_counter() - start,
                reason=reason,
                history=history,
                semantics=engine.get_semantics(),
                rules=rule_list,
            )
            if keep_final:
                result.final_edges, result.final_vertices = _final_lists(engine)
    finally:
        if bar is not None:
            bar.close()
    return result


class _StepTally:
    """Steps and successful rewrites done by one evolve() run, counted chunk by chunk.

    Each chunk is ``start`` / ``run(n)`` / ``finish``.  A KeyboardInterrupt
    can land after ``run`` returned but before ``finish`` (a second Ctrl-C is
    raised when the call returns); ``settle`` then tells from the engine's
    attempted counter, which only ``run`` changed in between, whether the
    chunk ran.  Differences are taken modulo 2**64, the counters' width.
    """

    WIDTH = 2 ** 64

    def __init__(self) -> None:
        self.done = 0
        self.successful = 0
        self._chunk = 0
        self._before = (0, 0)

    def start(self, engine, n: int) -> None:
        self._before = (engine.get_attempted_rewrites(), engine.get_successful_rewrites())
        self._chunk = n

    def finish(self, engine) -> None:
        successful = (engine.get_successful_rewrites() - self._before[1]) % self.WIDTH
        # One assignment: no interrupt between counting the chunk and marking it counted.
        self.done, self.successful, self._chunk = self.done + self._chunk, self.successful + successful, 0

    def cut(self, engine) -> None:
        """After a chunk that stopped early (out of memory): count the steps it kept."""
        self._chunk = (engine.get_attempted_rewrites() - self._before[0]) % self.WIDTH
        self.finish(engine)

    def settle(self, engine) -> None:
        """After an interrupt: count the chunk in flight if the engine ran it."""
        if self._chunk and (engine.get_attempted_rewrites() - self._before[0]) % self.WIDTH == self._chunk:
            self.finish(engine)
        self._chunk = 0


def _final_lists(engine):
    """``(get_edges(), get_vertices())``, from a vorn engine's bulk arrays (several times faster)."""
    from ._companion import is_engine
    if not is_engine(engine):
        return engine.get_edges(), engine.get_vertices()
    from .arrays import edges_array, vertices_array
    from .collector import collector_paused
    with collector_paused():
        return edges_array(engine).tolist(), vertices_array(engine).tolist()
