"""Hypergraphs drawn straight to SVG text, without matplotlib.

A survey draws two pictures for each of thousands of rules, so the drawing
is a handful of string joins: every hyperedge is a chain of arrows through
its vertices in order, a hyperedge with three or more distinct vertices also
gets a translucent polygon, a vertex repeated in consecutive positions gets
a small loop and a one-vertex hyperedge a ring.  Invariant: the output
depends only on the hyperedges and the positions given, so the same input
gives the same bytes.
"""

from __future__ import annotations

import math
from typing import Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

__all__ = ["Panel", "svg_document", "hypergraph_panel", "circle_positions", "layout_positions"]

PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#17becf")
INK = "#3a3f4b"
VERTEX = "#1f5aa6"


def _num(x: float) -> str:
    text = f"{x:.1f}"
    return "0" if text in ("-0.0", "0.0") else text[:-2] if text.endswith(".0") else text


class Panel:
    """Drawing instructions for one box of the picture, collected as SVG fragments."""

    def __init__(self):
        self.parts: List[str] = []

    def add(self, fragment: str) -> None:
        self.parts.append(fragment)

    def text(self) -> str:
        return "".join(self.parts)


def circle_positions(vertices: Sequence[Hashable]) -> Dict[Hashable, Tuple[float, float]]:
    """Vertices evenly on the unit circle, the first at the top, clockwise (one vertex: the centre)."""
    n = len(vertices)
    if n == 1:
        return {vertices[0]: (0.0, 0.0)}
    return {v: (math.sin(2 * math.pi * i / n), -math.cos(2 * math.pi * i / n)) for i, v in enumerate(vertices)}


def layout_positions(edges: Sequence[Sequence[Hashable]], seed: int = 0) -> Dict[Hashable, Tuple[float, float]]:
    """A force layout of the hyperedges' 2-section (see :mod:`vornkit.layout`), reproducible by ``seed``."""
    import numpy as np
    from .layout import force_layout

    vertices = list(dict.fromkeys(v for e in edges for v in e))
    index = {v: i for i, v in enumerate(vertices)}
    pairs = [(index[a], index[b]) for e in edges for a, b in zip(e, e[1:]) if a != b]
    for e in edges:  # hyperedges with repeats still tie their first and last vertex
        if len(e) > 2 and e[0] != e[-1]:
            pairs.append((index[e[0]], index[e[-1]]))
    xy = force_layout(len(vertices), np.array(pairs, dtype=np.int64).reshape(-1, 2), seed)
    return {v: (float(xy[i, 0]), float(xy[i, 1])) for i, v in enumerate(vertices)}


def hypergraph_panel(edges: Sequence[Sequence[Hashable]], positions: Mapping[Hashable, Tuple[float, float]],
                     box: Tuple[float, float, float, float], *, labels: bool = False,
                     vertices: Optional[Sequence[Hashable]] = None,
                     frame: Optional[Sequence[Hashable]] = None) -> Panel:
    """The hyperedges drawn into ``box = (x, y, width, height)`` in picture units.

    ``positions`` may be in any units; they are scaled to fit the box with a
    margin; ``frame`` names the vertices whose positions set that scale
    (default: those drawn), so that two panels given the same frame draw a
    shared vertex at the same spot.  ``vertices`` adds vertices on no
    hyperedge (drawn as dots).  ``labels`` writes each vertex's name beside it.
    """
    panel = Panel()
    shown = list(dict.fromkeys([v for e in edges for v in e] + list(vertices or ())))
    if not shown:
        x, y, w, h = box
        panel.add(f'<text x="{_num(x + w / 2)}" y="{_num(y + h / 2)}" font-size="{_num(min(w, h) / 8)}" '
                  f'text-anchor="middle" fill="#888">empty</text>')
        return panel
    framed = shown if frame is None else list(frame)
    xs = [positions[v][0] for v in framed]
    ys = [positions[v][1] for v in framed]
    x0, y0, w, h = box
    span = max(max(xs) - min(xs), max(ys) - min(ys)) or 1.0
    n = len(framed)
    dot = max(0.8, min(w, h) / (6 * math.sqrt(n) + 9))
    margin = dot * 2.2 + (min(w, h) * 0.08 if labels else 0)
    scale = (min(w, h) - 2 * margin) / span
    cx = (max(xs) + min(xs)) / 2
    cy = (max(ys) + min(ys)) / 2
    at = {v: (x0 + w / 2 + (positions[v][0] - cx) * scale, y0 + h / 2 + (positions[v][1] - cy) * scale)
          for v in shown}
    stroke = max(0.4, dot * 0.45)

    polygons: List[str] = []
    segments: List[str] = []
    heads: List[str] = []
    loops: List[str] = []
    colour = 0
    for e in edges:
        distinct = list(dict.fromkeys(e))
        if len(distinct) >= 3:
            points = " ".join(f"{_num(at[v][0])},{_num(at[v][1])}" for v in distinct)
            polygons.append(f'<polygon points="{points}" fill="{PALETTE[colour % len(PALETTE)]}" '
                            f'fill-opacity="0.18" stroke="none"/>')
            colour += 1
        if len(e) == 1:
            (px, py) = at[e[0]]
            loops.append(f'<circle cx="{_num(px)}" cy="{_num(py)}" r="{_num(dot * 1.9)}" fill="none" '
                         f'stroke="#d2691e" stroke-width="{_num(stroke)}"/>')
        for a, b in zip(e, e[1:]):
            (px, py), (qx, qy) = at[a], at[b]
            if a == b:
                # A loop beside the vertex, pointing away from the panel's centre.
                dx, dy = px - (x0 + w / 2), py - (y0 + h / 2)
                norm = math.hypot(dx, dy)
                if norm == 0:
                    dx, dy, norm = 0.0, -1.0, 1.0
                r = dot * 1.6
                loops.append(f'<circle cx="{_num(px + dx / norm * r)}" cy="{_num(py + dy / norm * r)}" '
                             f'r="{_num(r)}" fill="none" stroke="{INK}" stroke-width="{_num(stroke)}"/>')
                continue
            segments.append(f"M{_num(px)} {_num(py)}L{_num(qx)} {_num(qy)}")
            length = math.hypot(qx - px, qy - py)
            if length == 0:
                continue
            ux, uy = (qx - px) / length, (qy - py) / length
            size = min(dot * 2.2, length * 0.35)
            tx, ty = px + ux * (length / 2 + size / 2), py + uy * (length / 2 + size / 2)
            bx, by = tx - ux * size, ty - uy * size
            nx, ny = -uy * size * 0.5, ux * size * 0.5
            heads.append(f"M{_num(tx)} {_num(ty)}L{_num(bx + nx)} {_num(by + ny)}L{_num(bx - nx)} {_num(by - ny)}Z")
    panel.parts.extend(polygons)
    if segments:
        panel.add(f'<path d="{"".join(segments)}" stroke="{INK}" stroke-width="{_num(stroke)}" fill="none"/>')
    if heads:
        panel.add(f'<path d="{"".join(heads)}" fill="{INK}"/>')
    panel.parts.extend(loops)
    panel.add(f'<g fill="{VERTEX}">' + "".join(
        f'<circle cx="{_num(at[v][0])}" cy="{_num(at[v][1])}" r="{_num(dot)}"/>' for v in shown) + "</g>")
    if labels:
        size = max(6.0, min(w, h) / 11)
        panel.add(f'<g font-size="{_num(size)}" font-family="sans-serif" fill="#222">' + "".join(
            f'<text x="{_num(at[v][0] + dot * 1.3)}" y="{_num(at[v][1] - dot * 1.3)}">{_escape(str(v))}</text>'
            for v in shown) + "</g>")
    return panel


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def svg_document(width: int, height: int, body: str, title: Optional[str] = None) -> str:
    """A complete SVG file of ``width`` x ``height`` pixels around ``body``."""
    head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">')
    if title:
        head += f"<title>{_escape(title)}</title>"
    return head + f'<rect width="{width}" height="{height}" fill="white"/>' + body + "</svg>\n"
