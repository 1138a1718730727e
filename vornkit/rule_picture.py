"""A picture of one rule: its left- and right-hand sides as small hypergraphs with an arrow between.

Every variable of the rule gets one place on a circle, the same on both
sides, so a kept vertex sits at the same spot left and right and a new one
appears where the left side has none.  The picture is SVG text (see
:mod:`vornkit.svg_drawing`), cheap enough to draw thousands of.
"""

from __future__ import annotations

import os
from typing import Optional, Union

from .files import replaced
from .notation import Rule, format_rule, parse_rule
from .svg_drawing import circle_positions, hypergraph_panel, svg_document

__all__ = ["plot_rule", "plot_rules", "rule_svg"]


def _as_rule(rule) -> Rule:
    if isinstance(rule, Rule):
        return rule
    if isinstance(rule, str):
        return parse_rule(rule)
    try:
        lhs, kept, rhs = rule
    except (TypeError, ValueError):
        raise TypeError(f"a rule must be text, a vornkit.Rule or an (lhs, kept, rhs) triple, "
                        f"not {type(rule).__name__}") from None
    return Rule(lhs, kept, rhs)


def _rule_body(rule: Rule, width: int, height: int, labels: bool) -> str:
    names = list(dict.fromkeys([v for e in rule.lhs for v in e] + [v for e in rule.rhs for v in e]))
    positions = circle_positions(names) if names else {}
    side = min(height, (width - 40) / 2)
    gap = width - 2 * side
    top = (height - side) / 2
    left = hypergraph_panel(rule.lhs, positions, (0, top, side, side), labels=labels, frame=names)
    right = hypergraph_panel(rule.rhs, positions, (side + gap, top, side, side), labels=labels, frame=names)
    mid_y = height / 2
    a, b = side + gap * 0.2, side + gap * 0.8
    arrow = (f'<path d="M{a:.1f} {mid_y:.1f}H{b - 6:.1f}" stroke="#555" stroke-width="2"/>'
             f'<path d="M{b:.1f} {mid_y:.1f}l-8 -5v10z" fill="#555"/>')
    return left.text() + arrow + right.text()


def _title(rule: Rule) -> str:
    try:
        return format_rule(rule)
    except ValueError:
        return repr(rule)


def rule_svg(rule, *, width: int = 240, height: int = 100, labels: bool = True) -> str:
    """The SVG text of ``rule``'s picture, ``width`` x ``height`` pixels."""
    rule = _as_rule(rule)
    return svg_document(width, height, _rule_body(rule, width, height, labels), title=_title(rule))


def plot_rules(rules, path, *, width: int = 240, height: int = 100) -> str:
    """Several rules' pictures one under another in one SVG file (see :func:`plot_rule`)."""
    rules = [_as_rule(r) for r in rules]
    body = "".join(f'<g transform="translate(0 {i * height})">{_rule_body(r, width, height, True)}</g>'
                   for i, r in enumerate(rules))
    text = svg_document(width, height * len(rules), body, title="; ".join(_title(r) for r in rules))
    with replaced(path) as fh:
        fh.write(text)
    return text


def plot_rule(rule, path: Optional[Union[str, os.PathLike]] = None, *, width: int = 240, height: int = 100,
              labels: bool = True) -> str:
    """Draw ``rule`` (text, a :class:`~vornkit.Rule` or an ``(lhs, kept, rhs)`` triple) as SVG.

    Returns the SVG text and, with ``path``, writes it there (complete or
    not at all).  The picture is SVG only: a ``path`` with another suffix
    is refused with ``ValueError`` before anything is drawn.
    """
    if path is not None:
        suffix = os.path.splitext(os.fspath(path))[1].lower()
        if suffix != ".svg":
            raise ValueError(f"plot_rule draws SVG; give a path ending in .svg, not {os.fspath(path)!r}")
    text = rule_svg(rule, width=width, height=height, labels=labels)
    if path is not None:
        with replaced(path) as fh:
            fh.write(text)
    return text
