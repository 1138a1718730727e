"""Building millions of small Python objects without the cyclic garbage collector's pauses.

The collector runs after every few hundred new containers and, as the young
objects pile up, walks ever more of them: building the records of a large
hypergraph with it on costs several times the building itself.  Such records
hold no reference cycles, so nothing is lost by pausing it.
"""

from __future__ import annotations

import gc
from contextlib import contextmanager
from typing import Iterator

__all__ = ["collector_paused"]


@contextmanager
def collector_paused() -> Iterator[None]:
    """No cyclic garbage collection inside the block; it is switched back on after only if it was on."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()
