"""Value types of the command's options: each turns one option's text into a value or says what was expected."""

from __future__ import annotations

import argparse
import math

from ..notation import shorten

#: The engine counts steps in 64 bits.
MAX_STEPS = 2 ** 64 - 1


def _whole_number(text: str) -> int:
    """A whole number written with optional ``_`` or ``,`` separators, or as an integral float (``1e6``)."""
    try:
        return int(text.replace("_", "").replace(",", ""))
    except ValueError:
        pass
    try:
        f = float(text)
    except ValueError:
        f = math.nan
    if not f.is_integer():
        raise argparse.ArgumentTypeError(f"expected a whole number, got {shorten(text)!r}")
    return int(f)


def at_least(low: int):
    """The type of an option that takes a whole number from ``low`` to 2**64 - 1."""
    def parse(text: str) -> int:
        value = _whole_number(text)
        if value < low:
            raise argparse.ArgumentTypeError(f"expected a number >= {low}, got {shorten(text)!r}")
        if value > MAX_STEPS:
            raise argparse.ArgumentTypeError(f"expected a number <= 2**64 - 1, got {shorten(text)!r}")
        return value
    return parse


count = at_least(0)
positive = at_least(1)


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {shorten(text)!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {shorten(text)!r}")
    return value


def seed(text: str) -> int:
    try:
        value = int(text.replace("_", ""), 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {shorten(text)!r}") from None
    if not 0 <= value < 2 ** 64:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 2**64 - 1, got {shorten(text)!r}")
    return value


def semantics(text: str) -> str:
    upper = text.upper()
    if upper not in ("DPO", "SPO"):
        raise argparse.ArgumentTypeError(f"expected DPO or SPO, got {shorten(text)!r}")
    return upper


def size(text: str) -> int:
    """A number of bytes such as ``512M`` or ``2G``."""
    from ..memory import parse_size
    try:
        return parse_size(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a size such as 512M or 2G, got {shorten(text)!r}") from None
