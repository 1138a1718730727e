"""Counted nouns in the texts the toolkit shows: "1 vertex", "2 vertices", "1,000 hyperedges"."""

from __future__ import annotations

__all__ = ["plural", "counted", "count_text"]

#: Nouns whose plural is not the singular plus "s".
IRREGULAR = {"vertex": "vertices"}


def plural(n: int, noun: str) -> str:
    """``noun`` as it goes with the number ``n``: singular for exactly 1, plural otherwise."""
    if n == 1:
        return noun
    return IRREGULAR.get(noun, noun + "s")


def counted(n: int, noun: str) -> str:
    """``n`` with thousands separators and ``noun`` in the right number, e.g. ``"1 vertex"``."""
    return f"{n:,} {plural(n, noun)}"


def count_text(vertices: int, hyperedges: int) -> str:
    """``"3 vertices, 1 hyperedge"``: a hypergraph's size as the pictures and summaries state it."""
    return f"{counted(vertices, 'vertex')}, {counted(hyperedges, 'hyperedge')}"
