"""SIGINT and SIGTERM while a command runs: the first stops the work, later ones wait for the files."""

from __future__ import annotations

import signal
import threading
from typing import Optional

from .status import EXIT_INTERRUPTED


class Signals:
    """SIGINT and SIGTERM while a command runs.

    SIGTERM is answered like a Ctrl-C: when something else handles SIGINT
    at that moment (``evolve``, which stops after the current chunk), it is
    passed on to that.  Otherwise, while ``raising`` is true, the first
    signal raises KeyboardInterrupt (it stops the work: an ensemble then
    stops its workers); every later one, and any once ``raising`` is false,
    is only noted, so that the outputs are written in full.  ``received`` is
    the first signal's number, or None.
    """

    def __init__(self) -> None:
        self.received: Optional[int] = None
        self.raising = True
        self._old: dict = {}

    def _handle(self, signum, frame) -> None:
        first = self.received is None
        if first:
            self.received = signum
        current = signal.getsignal(signal.SIGINT)
        if signum == signal.SIGTERM and callable(current) and current != self._handle:
            current(signal.SIGINT, frame)
        elif first and self.raising:
            raise KeyboardInterrupt

    def __enter__(self) -> "Signals":
        if threading.current_thread() is threading.main_thread():
            # Python already turns a file-size limit (SIGXFSZ) into a write
            # error rather than a kill; make sure it stays so.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._old[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc) -> None:
        for signum, handler in self._old.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)

    def status(self, interrupted: bool) -> Optional[int]:
        """The exit status for a signal received (or an interrupted run), else None."""
        if self.received is not None:
            return 128 + self.received
        return EXIT_INTERRUPTED if interrupted else None
