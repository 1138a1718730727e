"""Runs that keep within a memory limit: sizes such as ``512M``, the
process's resident size, and how many more steps fit under a limit."""

from __future__ import annotations

import os
import re
from typing import Callable, Optional

__all__ = ["parse_size", "resident_bytes", "MemoryBudget"]

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
_SIZE = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([KMGT]?)(?:I?B)?\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """Bytes in a size such as ``512M``, ``2G``, ``1.5G``, ``800K`` or ``1000000``.

    The units are powers of 1024 (``K``, ``M``, ``G``, ``T``, in either case,
    optionally followed by ``B`` or ``iB``). Raises ``ValueError`` for
    anything else and for sizes below one byte.
    """
    match = _SIZE.fullmatch(str(text))
    if match is None:
        raise ValueError(f"not a size: {text!r} (write it like 512M or 2G)")
    size = int(float(match.group(1)) * _UNITS[match.group(2).upper()])
    if size < 1:
        raise ValueError(f"not a size: {text!r} (it must be at least one byte)")
    return size


def resident_bytes() -> int:
    """The process's resident set size now, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class MemoryBudget:
    """How many steps a run may still take before its process passes ``limit`` bytes.

    The growth per step is measured from the resident size before each chunk
    (``observe``): the largest rate seen, and at least ``floor`` bytes a
    step. ``steps_left`` allows what fits twice over below the limit less
    the reserve: ``margin(resident)`` (what writing the results will take)
    and a quarter of the resident size (a jump when one of the engine's
    arrays doubles and is copied, which no rate foresees). Before any growth
    was measured, one step is allowed. Without a limit (None) every chunk is
    allowed whole, and only a ``MemoryError`` stops the run.
    """

    def __init__(self, limit: Optional[int], margin: Optional[Callable[[int], int]] = None,
                 resident: Callable[[], int] = resident_bytes, floor: float = 8.0):
        self.limit = limit
        self.margin = margin or (lambda resident: 0)
        self.resident = resident
        self.floor = floor
        self.per_step: Optional[float] = None  # largest growth per step seen
        self._last: Optional[tuple] = None     # (steps done, resident bytes) at the last look

    def observe(self, done: int) -> None:
        """Note the resident size after ``done`` steps of the run."""
        if self.limit is None:
            return
        now = self.resident()
        if self._last is not None and done > self._last[0]:
            rate = max(0, now - self._last[1]) / (done - self._last[0])
            self.per_step = max(rate, self.per_step or 0.0)
        self._last = (done, now)

    def headroom(self) -> int:
        """Bytes still free below the limit, the reserve kept aside."""
        now = self._last[1] if self._last is not None else self.resident()
        return self.limit - self.margin(now) - now // 4 - now

    def steps_left(self) -> int:
        """How many steps the next chunk may take (0: stop now)."""
        if self.limit is None:
            return 1 << 62
        room = self.headroom()
        if room <= 0:
            return 0
        if self.per_step is None:
            return 1
        return int(room / (2 * max(self.per_step, self.floor)))
