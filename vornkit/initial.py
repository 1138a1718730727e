"""Initial states: build a given hypergraph in an engine (:func:`start`)."""

from __future__ import annotations

import warnings
from collections import Counter
from typing import Dict, Hashable, List

from .checks import as_edges
from .notation import Rule, add_rules, check_rules, parse_hypergraph, parse_rules

__all__ = ["start", "seed"]


def start(engine, edges, rules=None, *, reset_counters: bool = True) -> Dict[Hashable, int]:
    """Add the hypergraph ``edges`` to ``engine`` with fresh vertices.

    ``edges`` is a list of hyperedges, each a list of vertex labels (ints or
    any hashable; equal labels are the same vertex), or the same in rule
    notation, e.g. ``"{{1,2},{1,3}}"``.  The shape is built exactly, repeated
    vertices and order included, by one step of a rule with an empty left-hand
    side; whatever the engine already holds stays and the new part is disjoint
    from it.

    Rules: the engine cannot list its rules, so they cannot be put back.
    ``start`` therefore **removes every rule the engine holds** (it must, or the
    step could fire one of them instead) and afterwards adds ``rules`` (text
    or :class:`~vornkit.Rule` objects, see :func:`~vornkit.parse_rules`), if
    given.  Build the start first, then add rules - or pass them here.

    Afterwards ``rollback()`` returns False (building the start is not a
    step a user can undo by accident: a rule-less step drops the undo
    record) and, with
    ``reset_counters`` (the default), both rewrite counters are 0.  The
    engine's internal step number, which only numbers verbose progress lines,
    advances by 2.

    Returns a dict from each label to the id of the vertex built for it.
    """
    shape = parse_hypergraph(edges) if isinstance(edges, str) else as_edges(edges)
    # Parse and check the rules before touching the engine, so that a refused
    # rule changes nothing (the engine holds no other rules when they are added).
    parsed: List[Rule] = []
    if rules is not None:
        parsed = parse_rules(rules)
        check_rules(parsed)

    labels: List[Hashable] = []
    names: Dict[Hashable, str] = {}
    for e in shape:
        for label in e:
            try:
                if label not in names:
                    names[label] = f"v{len(names)}"
                    labels.append(label)
            except TypeError:
                raise TypeError(f"vertex label {label!r} is not hashable") from None
    rhs = [[names[label] for label in e] for e in shape]

    before_vertices = set(engine.get_vertices())
    before_edges = Counter(map(tuple, engine.get_edges())) if shape else Counter()

    engine.clear_rules()
    engine.add_rule([], [], rhs, 1.0)
    try:
        fired = engine.step()
    finally:
        engine.clear_rules()
    if not fired:
        raise RuntimeError("the engine did not apply the start rule (a rule with an empty "
                           "left-hand side must always apply)")
    # A step without rules drops the undo record, so rollback() cannot undo the start.
    engine.step()
    if reset_counters:
        engine.reset_counters()

    # Fresh vertex ids increase in order of first occurrence in the rule's
    # right-hand side; check the result against the requested shape.
    created = sorted(set(engine.get_vertices()) - before_vertices)
    if len(created) != len(labels):
        raise RuntimeError(f"building the start created {len(created)} vertices, expected {len(labels)}")
    mapping = dict(zip(labels, created))
    if shape:
        new_edges = Counter(map(tuple, engine.get_edges())) - before_edges
        wanted = Counter(tuple(mapping[label] for label in e) for e in shape)
        if new_edges != wanted:
            raise RuntimeError("the start hypergraph does not have the requested shape")

    if parsed:
        add_rules(engine, parsed)
    return mapping


def seed(engine, edges, rules=None, *, reset_counters: bool = True) -> Dict[Hashable, int]:
    """Deprecated: the old name of :func:`start`, kept for one release.

    It builds an initial hypergraph, which the name hid: a *seed* elsewhere
    in vornkit is a random seed (:func:`vornkit.reseed`, ``--seed``).  Warns
    with ``DeprecationWarning`` and then does what :func:`start` does.
    """
    warnings.warn("vornkit.seed() is deprecated: it is now vornkit.start() (random seeds are set with "
                  "vornkit.reseed())", DeprecationWarning, stacklevel=2)
    return start(engine, edges, rules, reset_counters=reset_counters)
