"""A pool of worker processes that survives the loss of one: each task's fate is known on its own.

A ``concurrent.futures`` process pool breaks as a whole when one worker
dies, failing every task in flight.  Here every worker runs one task at a
time over a pipe of its own, so a worker that crashes, is killed, or runs
past the task's time limit costs only that task: it is reported as failed
and a fresh worker takes its place.  Invariant: :meth:`TaskPool.close`
leaves no worker process behind, and a worker whose parent dies exits
(the kernel kills it, see ``PR_SET_PDEATHSIG``).  Workers are fresh
interpreters (not forks), so the caller's main script is never imported
again in them and no lock held by one of its threads is copied.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from importlib import import_module
from multiprocessing.connection import Connection, wait
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

__all__ = ["TaskPool", "TaskOutcome"]

# (key, ok, value): value is the function's result when ok, else a one-line error.
TaskOutcome = Tuple[Any, bool, Any]


def _serve(inbox: Connection, outbox: Connection, target: str) -> None:
    """A worker's loop: run ``target`` (``"module:function"``) on each task received until told to stop."""
    # Ctrl-C reaches the whole process group; the parent answers it and stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    module, name = target.split(":")
    fn = getattr(import_module(module), name)
    while True:
        try:
            message = inbox.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        key, payload = message
        try:
            reply = (key, True, fn(payload))
        except BaseException as exc:  # handed back as the task's failure
            reply = (key, False, f"{type(exc).__name__}: {exc}")
        try:
            outbox.send(reply)
        except (EOFError, OSError):
            return
        except Exception as exc:  # an unpicklable result
            outbox.send((key, False, f"cannot send the result back: {type(exc).__name__}: {exc}"))


def _environment() -> Dict[str, str]:
    """This process's environment, with a PYTHONPATH under which a fresh Python imports the same vorn
    and vornkit."""
    from .dask_ensemble import import_path
    env = dict(os.environ)
    env["PYTHONPATH"] = import_path()
    # One worker per core: numerical libraries must not start threads of their own on top.
    for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env.setdefault(name, "1")
    return env


# A worker's first act, before any import that takes time, is to ask the kernel to end it with
# its parent; if the parent is already gone, it leaves.
_BOOT = """
import ctypes, os, signal, sys
try:
    ctypes.CDLL(None).prctl(1, int(signal.SIGKILL))
except (OSError, AttributeError):
    pass
if os.getppid() == 1:
    sys.exit(0)
from vornkit.worker_pool import main
main()
"""


def main() -> None:
    """A worker's entry point: ``python -c _BOOT target read-fd write-fd``."""
    _serve(Connection(int(sys.argv[2]), writable=False), Connection(int(sys.argv[3]), readable=False), sys.argv[1])


class _Worker:
    """A fresh interpreter (not a fork, and not a re-import of the caller's main script) with two pipes."""

    def __init__(self, target: str, env: Dict[str, str]):
        parent_read, child_write = os.pipe()
        child_read, parent_write = os.pipe()
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _BOOT, target, str(child_read), str(child_write)],
                pass_fds=(child_read, child_write), env=env, stdin=subprocess.DEVNULL)
        except BaseException:
            for fd in (parent_read, parent_write):
                os.close(fd)
            raise
        finally:
            os.close(child_read)
            os.close(child_write)
        self.reader = Connection(parent_read, writable=False)
        self.writer = Connection(parent_write, readable=False)
        self.key: Any = None
        self.busy = False
        self.started = 0.0
        self.limit: Optional[float] = None

    def give(self, key, payload, limit: Optional[float]) -> None:
        self.writer.send((key, payload))
        self.key, self.busy, self.started, self.limit = key, True, time.monotonic(), limit

    def stop(self, force: bool) -> None:
        if self.process.poll() is None:
            if force:
                self.process.kill()
            else:
                try:
                    self.writer.send(None)
                except OSError:
                    self.process.kill()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.close()
        self.writer.close()

    def death(self) -> str:
        try:
            code = self.process.wait(5)
        except subprocess.TimeoutExpired:
            return "the worker stopped answering"
        if code < 0:
            try:
                return f"the worker was killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"the worker was killed by signal {-code}"
        return f"the worker exited with status {code}"


class TaskPool:
    """``workers`` processes running ``target`` (``"module:function"``, importable in a fresh process).

    :meth:`run` hands out tasks and yields ``(key, ok, value)`` as they end,
    in the order they end.  A task that runs longer than its time limit
    has its worker killed and ends with ``ok`` False and an error that
    begins ``"time limit"``.  Use the pool as a context manager.
    """

    def __init__(self, workers: int, target: str):
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers!r}")
        self._env = _environment()
        self._target = target
        self._size = workers
        self._workers: List[_Worker] = []

    def __enter__(self) -> "TaskPool":
        return self

    def __exit__(self, kind, value, tb) -> None:
        self.close(force=kind is not None)

    def _fresh(self) -> _Worker:
        worker = _Worker(self._target, self._env)
        self._workers.append(worker)
        return worker

    def _replace(self, worker: _Worker) -> None:
        self._workers.remove(worker)
        worker.stop(force=True)

    def run(self, tasks: Iterable[Tuple[Any, Any]],
            limit: Optional[Callable[[Any], Optional[float]]] = None) -> Iterator[TaskOutcome]:
        """Run ``(key, payload)`` tasks; ``limit(payload)`` gives a task's seconds (None: no limit)."""
        queue = iter(tasks)
        exhausted = False
        while True:
            idle = [w for w in self._workers if not w.busy]
            while not exhausted and (idle or len(self._workers) < self._size):
                try:
                    key, payload = next(queue)
                except StopIteration:
                    exhausted = True
                    break
                worker = idle.pop() if idle else self._fresh()
                worker.give(key, payload, limit(payload) if limit else None)
            busy = [w for w in self._workers if w.busy]
            if not busy:
                return
            now = time.monotonic()
            due = [w.started + w.limit - now for w in busy if w.limit is not None]
            timeout = max(0.0, min(due)) if due else None
            ready = wait([w.reader for w in busy], timeout)
            for worker in busy:
                if worker.reader in ready:
                    try:
                        key, ok, value = worker.reader.recv()
                    except (EOFError, OSError):
                        outcome = (worker.key, False, worker.death())
                        self._replace(worker)
                        yield outcome
                        continue
                    worker.busy = False
                    yield key, ok, value
                elif worker.limit is not None and time.monotonic() - worker.started >= worker.limit:
                    outcome = (worker.key, False, f"time limit: stopped after {worker.limit:g} s")
                    self._replace(worker)
                    yield outcome

    def close(self, force: bool = False) -> None:
        """Stop every worker: politely when idle and not ``force``, else by SIGKILL."""
        workers, self._workers = self._workers, []
        for worker in workers:
            worker.stop(force=force or worker.busy)

