"""Access to vornkit's private native half, ``vornkit._native``, for the modules that wrap it."""

from __future__ import annotations

import sys

__all__ = ["native", "is_engine", "int64"]


def native():
    """The native half (its code lives in the vorn extension, which it imports)."""
    try:
        from . import _native
    except ImportError as exc:
        raise ImportError(f"vornkit's native half cannot be loaded ({exc}); it is built and installed "
                          "with the vorn extension (pip install .)") from None
    return _native


def is_engine(obj) -> bool:
    """Whether ``obj`` is a ``vorn.Engine`` (exactly, as the native half requires)."""
    vorn = sys.modules.get("vorn")
    return vorn is not None and type(obj) is getattr(vorn, "Engine", None)


def int64(buffer):
    """A bytearray of native int64 values as a numpy array sharing its memory."""
    import numpy as np
    return np.frombuffer(buffer, dtype=np.int64)
