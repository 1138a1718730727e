"""The old name of :mod:`vornkit.initial`, kept for one release: use ``vornkit.start``."""

from .initial import seed, start

__all__ = ["start", "seed"]
