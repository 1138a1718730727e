"""Ensembles on Dask distributed: an executor for :func:`vornkit.ensemble` on a cluster.

:func:`dask_executor` starts a ``LocalCluster`` on this machine or connects
to the scheduler of a real cluster, and hands back a
``concurrent.futures.Executor`` that :func:`vornkit.ensemble` sends its
members to.  Dask is imported only when an executor is made.
"""

from __future__ import annotations

import os
import threading
from concurrent.futures import Executor
from typing import List, Optional

from .ensemble import default_workers
from .notation import shorten

__all__ = ["DaskExecutor", "dask_executor", "DASK_MISSING"]

#: What to tell a user whose Python has no Dask.
DASK_MISSING = "Dask is not installed; install it with: pip install 'dask[distributed]' (or pip install 'vorn[dask]')"


def import_path() -> str:
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


_import_path = import_path  # the name it had before surveys used it


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
        kwargs = dict(n_workers=n_workers or default_workers(), threads_per_worker=threads_per_worker,
                      processes=True, dashboard_address=None, silence_logs=logging.ERROR)
        kwargs.update(cluster_kwargs)
        env = dict(kwargs.pop("env", None) or {})
        env.setdefault("PYTHONPATH", import_path())
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
