"""The space of rules of one signature: signatures, canonical forms, enumeration and sampling.

A rule's *signature* counts its relations (hyperedges) of each arity on the
two sides: ``{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}`` has signature
``2_2 -> 4_2``.  Two rules are the same rule when renaming elements and
reordering the relations within each side turns one into the other; each
class has one *canonical form* (see :func:`canonical_rule`), and
:func:`enumerate_rules` lists the canonical forms of a signature, each once.

Invariant of every canonical form: within each side the relations are
grouped by arity (smaller arity first) and each group is in non-decreasing
order; elements are ``1, 2, ...`` in order of first occurrence, left side
first.  The enumerator builds only such sequences and keeps those that no
reordering makes smaller, so it never materialises every labelling.
"""

from __future__ import annotations

import random
import re
from collections import Counter
from dataclasses import dataclass
from functools import lru_cache
from itertools import islice
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union

from .checks import check_seed, whole_number
from .notation import Rule, parse_rules, shorten

__all__ = ["Signature", "parse_signature", "rule_signature", "canonical_rule", "enumerate_rules",
           "count_rules", "rule_count_bound", "random_rules", "CONNECTED"]

#: The values of the ``connected`` argument, see :func:`enumerate_rules`.
CONNECTED = ("whole", "left", "none")

Relation = Tuple[int, ...]
Side = Tuple[Relation, ...]
Terms = Tuple[Tuple[int, int], ...]


# ---------------------------------------------------------------------------
# Signatures
# ---------------------------------------------------------------------------

def _normal_terms(pairs) -> Terms:
    """(count, arity) pairs merged per arity, arities ascending, zero counts dropped."""
    counts: Dict[int, int] = Counter()
    for count, arity in pairs:
        counts[arity] += count
    return tuple((counts[a], a) for a in sorted(counts) if counts[a])


@dataclass(frozen=True)
class Signature:
    """How many relations of each arity a rule has on each side.

    ``left`` and ``right`` are tuples of ``(count, arity)``, one per arity
    present, arities ascending (terms given with one arity are added up,
    zero counts dropped); an empty side is ``()``.  ``str()`` writes
    ``"2_2 -> 4_2"``, terms separated by spaces (``"1_2 1_3 -> 2_2"``) and
    ``0`` for an empty side; :func:`parse_signature` reads it back.
    """

    left: Terms
    right: Terms

    def __post_init__(self):
        for side in (self.left, self.right):
            for term in side:
                if (len(term) != 2 or not all(isinstance(v, int) and not isinstance(v, bool) for v in term)
                        or min(term) < 0):
                    raise ValueError(f"signature terms are (count, arity) pairs of ints >= 0, got {term!r}")
        object.__setattr__(self, "left", _normal_terms(self.left))
        object.__setattr__(self, "right", _normal_terms(self.right))

    def __str__(self) -> str:
        def side(terms: Terms) -> str:
            return " ".join(f"{c}_{a}" for c, a in terms) or "0"
        return f"{side(self.left)} -> {side(self.right)}"

    @property
    def positions(self) -> int:
        """The number of element positions in a rule of this signature."""
        return sum(c * a for c, a in self.left + self.right)


_TERM = re.compile(r"([0-9]+)_([0-9]+)")
_DIGITS = re.compile(r"[0-9]+")


class _SignatureReader:
    def __init__(self, text: str):
        self.text = text
        self.pos = 0

    def fail(self, expected: str, pos: Optional[int] = None) -> ValueError:
        pos = self.pos if pos is None else pos
        found = "end of text" if pos >= len(self.text) else repr(self.text[pos])
        return ValueError(f"malformed signature {shorten(self.text)!r} at position {pos}: "
                          f"expected {expected}, found {found}")

    def space(self) -> None:
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def side(self, what: str) -> Terms:
        self.space()
        pairs: List[Tuple[int, int]] = []
        while True:
            term = _TERM.match(self.text, self.pos)
            if term:
                pairs.append((int(term.group(1)), int(term.group(2))))
                self.pos = term.end()
            else:
                digits = _DIGITS.match(self.text, self.pos)
                if not digits:
                    if pairs:
                        return _normal_terms(pairs)
                    raise self.fail(f"the {what} side: count_arity terms such as 2_2, or 0")
                run = digits.group(0)
                if run == "0" and not pairs:
                    self.pos = digits.end()
                    self.space()
                    return ()
                if self.pos + len(run) < len(self.text) and self.text[self.pos + len(run)] == "_":
                    raise self.fail("an arity after '_'", self.pos + len(run) + 1)
                if len(run) % 2:
                    raise self.fail("a count digit and an arity digit per term in the compact form "
                                    "(write count_arity for counts or arities above 9)", digits.end() - 1)
                pairs.extend((int(run[i]), int(run[i + 1])) for i in range(0, len(run), 2))
                self.pos = digits.end()
            self.space()

    def signature(self) -> Signature:
        left = self.side("left")
        if not self.text.startswith("->", self.pos):
            raise self.fail("'->' between the two sides" if self.pos < len(self.text) and
                            self.text[self.pos] not in "0123456789" else "'->' or another count_arity term")
        self.pos += 2
        right = self.side("right")
        if self.pos < len(self.text):
            raise self.fail("another count_arity term or the end of the signature")
        return Signature(left, right)


def parse_signature(text: Union[str, Signature]) -> Signature:
    """Read a signature such as ``"2_2 -> 3_2"`` or ``"1_2 -> 1_3 1_2"``.

    Each side is one or more ``count_arity`` terms separated by spaces (terms
    of one arity add up), or ``0`` for an empty side.  The compact form, with
    one digit for each count and arity and no ``_``, is read too:
    ``"22->32"`` is ``2_2 -> 3_2`` and ``"12->1312"`` is ``1_2 -> 1_3 1_2``.
    A :class:`Signature` is returned as it is.  Raises ``ValueError`` with a
    one-line message giving the position of the first character that does
    not fit.
    """
    if isinstance(text, Signature):
        return text
    if not isinstance(text, str):
        raise TypeError(f"a signature is text such as '2_2 -> 3_2', not {type(text).__name__}")
    return _SignatureReader(text).signature()


# ---------------------------------------------------------------------------
# Rules in and out
# ---------------------------------------------------------------------------

def _as_rule(rule) -> Rule:
    """A rule given as text, a :class:`Rule` or an ``(lhs, kept, rhs)`` triple, as a Rule."""
    if isinstance(rule, Rule):
        return rule
    if isinstance(rule, str):
        rules = parse_rules(rule)
        if len(rules) != 1:
            raise ValueError(f"expected one rule, got {len(rules)} in {shorten(rule)!r}")
        return rules[0]
    try:
        lhs, kept, rhs = rule
    except (TypeError, ValueError):
        raise TypeError("a rule is text, a Rule or an (lhs, kept, rhs) triple, "
                        f"not {shorten(repr(rule))}") from None
    if not isinstance(lhs, (str, bytes)) and not isinstance(rhs, (str, bytes)):
        lhs, rhs = list(lhs), list(rhs)
    for part in (lhs, kept, rhs, *lhs, *rhs):
        if isinstance(part, (str, bytes)):
            raise TypeError("a rule's lhs and rhs are lists of relations, each a list of names, and its kept "
                            f"names a list: got the string {shorten(repr(part))} in place of a list")
    return Rule(lhs, kept, rhs)


def _sides(rule: Rule) -> Tuple[Tuple[Tuple[str, ...], ...], Tuple[Tuple[str, ...], ...]]:
    return tuple(map(tuple, rule.lhs)), tuple(map(tuple, rule.rhs))


def rule_signature(rule) -> Signature:
    """The :class:`Signature` of ``rule`` (text, a :class:`Rule` or an ``(lhs, kept, rhs)`` triple)."""
    lhs, rhs = _sides(_as_rule(rule))
    return Signature(tuple((1, len(r)) for r in lhs), tuple((1, len(r)) for r in rhs))


def _canonical(lhs: Sequence[Sequence], rhs: Sequence[Sequence]) -> Tuple[Side, Side]:
    """The least relabelled reordering of ``lhs`` then ``rhs`` (see :func:`canonical_rule`).

    Searches relation by relation, keeping every partial reordering that is
    still least so far (ties are kept, so the result is exact); identical
    partial states are merged.
    """
    slots: List[int] = []      # the group of each relation slot, in canonical order
    pools: List[Counter] = []  # per (side, arity) group: the relations not yet placed
    for side in (lhs, rhs):
        by_arity: Dict[int, Counter] = {}
        for rel in side:
            by_arity.setdefault(len(rel), Counter())[tuple(rel)] += 1
        for arity in sorted(by_arity):
            slots.extend([len(pools)] * sum(by_arity[arity].values()))
            pools.append(by_arity[arity])
    states = [({}, pools)]
    out: List[Relation] = []
    for g in slots:
        best: Optional[Relation] = None
        moves = []
        for mapping, pool in states:
            for rel in pool[g]:
                seen = dict(mapping)
                label = []
                for x in rel:
                    if x not in seen:
                        seen[x] = len(seen) + 1
                    label.append(seen[x])
                label = tuple(label)
                if best is None or label < best:
                    best, moves = label, [(seen, pool, rel)]
                elif label == best:
                    moves.append((seen, pool, rel))
        out.append(best)
        merged = {}
        for seen, pool, rel in moves:
            rest = list(pool)
            rest[g] = Counter(pool[g])
            rest[g][rel] -= 1
            if not rest[g][rel]:
                del rest[g][rel]
            key = (frozenset(seen.items()), tuple(frozenset(p.items()) for p in rest))
            merged.setdefault(key, (seen, rest))
        states = list(merged.values())
    n_left = len(lhs)
    return tuple(out[:n_left]), tuple(out[n_left:])


def _kept(lhs, rhs) -> list:
    """The names on both sides, in order of first occurrence on the left (what the notation keeps)."""
    right = {x for rel in rhs for x in rel}
    kept = []
    for rel in lhs:
        for x in rel:
            if x in right and x not in kept:
                kept.append(x)
    return kept


def _as_output(lhs: Side, rhs: Side, like, weight: float = 1.0):
    """A canonical (lhs, rhs) of integers as a Rule, or as text or a triple when ``like`` is one."""
    rule = Rule([[str(x) for x in rel] for rel in lhs], [str(x) for x in _kept(lhs, rhs)],
                [[str(x) for x in rel] for rel in rhs], weight)
    if isinstance(like, str):
        return str(rule)
    if isinstance(like, Rule) or like is None:
        return rule
    return (rule.lhs, rule.kept, rule.rhs)


def canonical_rule(rule):
    """The canonical form of ``rule``: two rules are the same rule exactly when these are equal.

    The elements are renamed ``1, 2, ...`` and the relations are reordered
    within each side, choosing the least result.  Each side lists its
    relations grouped by arity, smaller arity first, and only relations of
    one arity on one side change places.  Results are compared as the
    sequence of the left side's relations in order followed by the right
    side's, each relation a sequence of integers (for sides of one arity,
    this is the comparison of all the integers, left side then right side,
    read as one sequence).  In the least result the elements are numbered
    in order of first occurrence and each arity group is sorted.

    ``rule`` may be text (the canonical text is returned, with the weight
    given after ``@``), a :class:`Rule` (a Rule with the same weight is
    returned) or an ``(lhs, kept, rhs)`` triple (a triple of lists is
    returned).  The rule's kept names must be the names on both sides, as
    in the rule notation; other choices are refused with ``ValueError``.

    The search keeps every reordering that ties for least so far, so it is
    quick for rules of a few relations but grows with a rule's symmetries:
    a side holding both directions of every pair of 6 elements (30
    relations) takes seconds.
    """
    parsed = _as_rule(rule)
    both = _kept(parsed.lhs, parsed.rhs)
    if set(parsed.kept) != set(both):
        raise ValueError(f"kept names {sorted(parsed.kept)} differ from the names on both sides "
                         f"{sorted(both)}; canonical forms cover rules as the notation writes them")
    lhs, rhs = _canonical(*_sides(parsed))
    return _as_output(lhs, rhs, rule, parsed.weight)


# ---------------------------------------------------------------------------
# Enumeration
# ---------------------------------------------------------------------------

def _connected(relations: Sequence[Relation]) -> bool:
    """True when the relations cannot be split into two non-empty sets that share no element.

    No relations, or a single one, is connected; a relation with no
    elements next to any other relation is not.
    """
    if len(relations) <= 1:
        return True
    reached = set(relations[0])
    left = list(relations[1:])
    grew = True
    while left and grew:
        grew = False
        rest = []
        for rel in left:
            if reached.intersection(rel):
                reached.update(rel)
                grew = True
            else:
                rest.append(rel)
        left = rest
    return not left


def _grow(arity: int, top: int) -> Iterator[Tuple[Relation, int]]:
    """Every relation of ``arity`` over elements ``1..top`` and new ones numbered on from ``top``
    in order of first occurrence, in increasing order, each with the highest element after it."""
    prefix: List[int] = []

    def grow(high: int) -> Iterator[Tuple[Relation, int]]:
        if len(prefix) == arity:
            yield tuple(prefix), high
            return
        for v in range(1, high + 2):
            prefix.append(v)
            yield from grow(max(high, v))
            prefix.pop()

    yield from grow(top)


@lru_cache(maxsize=None)
def _small_extensions(arity: int, top: int) -> Tuple[Tuple[Relation, int], ...]:
    return tuple(_grow(arity, top))


def _extensions(arity: int, top: int):
    """:func:`_grow`, kept in memory when there are few (so that large arities stay lazy)."""
    if (top + arity) ** arity <= 100_000:
        return _small_extensions(arity, top)
    return _grow(arity, top)


def _is_least(relations: Sequence[Relation], groups: Sequence[Tuple[int, int]]) -> bool:
    """True when no reordering of ``relations`` within its groups, renumbered, is smaller.

    ``relations`` are numbered in order of first occurrence; ``groups`` holds
    for each slot the ``(start, end)`` slot range whose relations may take
    its place.  Depth-first over reorderings that match ``relations`` so far,
    returning at the first one that falls below it.
    """
    n = len(relations)
    image = [0] * (max((x for r in relations for x in r), default=0) + 1)
    used = [False] * n

    def no_smaller(k: int, top: int) -> bool:
        if k == n:
            return True
        target = relations[k]
        start, end = groups[k]
        tried = set()
        for i in range(start, end):
            if used[i]:
                continue
            rel = relations[i]
            if rel in tried:
                continue
            tried.add(rel)
            fresh = []
            high = top
            order = 0
            for x, t in zip(rel, target):
                y = image[x]
                if not y:
                    high += 1
                    y = image[x] = high
                    fresh.append(x)
                if y != t:
                    order = -1 if y < t else 1
                    break
            if order == 0:
                used[i] = True
                order = 0 if no_smaller(k + 1, high) else -1
                used[i] = False
            for x in fresh:
                image[x] = 0
            if order < 0:
                return False
        return True

    return no_smaller(0, 0)


def _slot_groups(signature: Signature) -> List[Tuple[int, int]]:
    """For each relation slot of ``signature``, the slot range of its side and arity."""
    groups: List[Tuple[int, int]] = []
    for terms in (signature.left, signature.right):
        for count, _ in terms:
            start = len(groups)
            groups.extend([(start, start + count)] * count)
    return groups


def _check_connected(connected: str) -> str:
    if connected not in CONNECTED:
        raise ValueError(f"connected must be one of {', '.join(map(repr, CONNECTED))}, got {connected!r}")
    return connected


def _canonical_sequences(signature: Signature, connected: str) -> Iterator[Tuple[Side, Side]]:
    """Canonical (lhs, rhs) pairs of ``signature`` passing ``connected``, in increasing order.

    Relations are chosen slot by slot from :func:`_extensions`, so every
    sequence is numbered in order of first occurrence; within an arity group
    a relation is never less than the one before it.  The left side is
    checked (canonical, and connected unless ``connected`` is "none") once
    it is complete, before any right side is built on it.
    """
    left_slots = [(a, i > 0) for c, a in signature.left for i in range(c)]
    right_slots = [(a, i > 0) for c, a in signature.right for i in range(c)]
    slots = left_slots + right_slots
    n_left = len(left_slots)
    groups = _slot_groups(signature)
    chosen: List[Relation] = []

    def fill(k: int, top: int) -> Iterator[Tuple[Side, Side]]:
        if k == n_left:
            lhs = tuple(chosen)
            if connected != "none" and not _connected(lhs):
                return
            if not _is_least(lhs, groups[:n_left]):
                return
        if k == len(slots):
            lhs, rhs = tuple(chosen[:n_left]), tuple(chosen[n_left:])
            if connected == "whole" and not _connected(chosen):
                return
            if _is_least(chosen, groups):
                yield lhs, rhs
            return
        arity, follows = slots[k]
        previous = chosen[-1] if follows else None
        for rel, high in _extensions(arity, top):
            if previous is not None and rel < previous:
                continue
            chosen.append(rel)
            yield from fill(k + 1, high)
            chosen.pop()

    yield from fill(0, 0)


def enumerate_rules(signature, connected: str = "whole") -> Iterator[Rule]:
    """Yield every distinct rule of ``signature`` once, as its canonical form.

    ``signature`` is a :class:`Signature` or text for :func:`parse_signature`
    (``"2_2 -> 3_2"``, ``"22->32"``).  Each rule is a :class:`Rule` named by
    integers, in the form :func:`canonical_rule` gives; ``str(rule)`` is its
    text.  The rules come in increasing order of that form (the left side's
    relations, then the right side's, as sequences of integers), the same
    order on every call.

    The right side's elements are elements of the left side or new ones, in
    any mix; rules whose right side equals the left side are included.
    ``connected`` selects:

    - ``"whole"`` (default): the left side is connected, and so are both
      sides taken together as one hypergraph, elements shared by name (so
      no part of the right side stands apart from the left).  This gives
      73 rules for ``1_2 -> 2_2``, 562 for ``2_2 -> 2_2`` and 4,702 for
      ``2_2 -> 3_2``;
    - ``"left"``: the left side is connected;
    - ``"none"``: no condition.

    A hypergraph is connected when its relations cannot be split into two
    non-empty sets that share no element (so an empty side and a single
    relation are connected).  Rules are generated in order of first
    occurrence with each arity group sorted and checked one by one, never
    by deduplicating all labellings: ``2_2 -> 3_2`` takes about a second.
    """
    signature = parse_signature(signature)
    _check_connected(connected)
    for lhs, rhs in _canonical_sequences(signature, connected):
        yield _as_output(lhs, rhs, None)


def count_rules(signature, connected: str = "whole", limit: Optional[int] = None) -> int:
    """The number of distinct rules :func:`enumerate_rules` yields for ``signature``.

    With ``limit``, counting stops once the count passes it: the result is
    then ``limit + 1``, read as "more than ``limit``", so the cost grows
    with ``limit`` and not with the whole space.  :func:`rule_count_bound`
    is a bound that costs nothing.
    """
    signature = parse_signature(signature)
    _check_connected(connected)
    if limit is not None:
        limit = whole_number(limit, "limit")
    rules = _canonical_sequences(signature, connected)
    if limit is not None:
        rules = islice(rules, limit + 1)
    return sum(1 for _ in rules)


# Beyond this many positions the labelling counts below grow too large to tabulate.
_MAX_POSITIONS = 200


@lru_cache(maxsize=4)
def _completions(positions: int) -> List[List[int]]:
    """``table[k][top]``: the labellings of ``k`` more positions in order of first occurrence
    once ``top`` elements have been seen, for ``k + top <= positions``."""
    if positions > _MAX_POSITIONS:
        raise ValueError(f"a rule of {positions} positions is too large to count or sample labellings "
                         f"of (at most {_MAX_POSITIONS})")
    table = [[1] * (positions + 1)]
    for k in range(1, positions + 1):
        below = table[-1]
        table.append([top * below[top] + below[top + 1] for top in range(positions + 1 - k)])
    return table


def rule_count_bound(signature) -> int:
    """An upper bound on the number of rules of ``signature``, in any ``connected`` mode.

    It is the number of labellings of the rule's positions in order of
    first occurrence (a Bell number), each of which names at most one rule.
    Signatures of more than 200 positions are refused with ``ValueError``.
    """
    positions = parse_signature(signature).positions
    return _completions(positions)[positions][0]


# ---------------------------------------------------------------------------
# Sampling
# ---------------------------------------------------------------------------

def _random_labelling(positions: int, rng: random.Random) -> List[int]:
    """A labelling of ``positions`` positions in order of first occurrence, all equally likely."""
    table = _completions(positions)
    out: List[int] = []
    top = 0
    for k in range(positions, 0, -1):
        below = table[k - 1]
        new = below[top + 1]
        pick = rng.randrange(top * below[top] + new)
        if pick < new:
            top += 1
            out.append(top)
        else:
            out.append((pick - new) // below[top] + 1)
    return out


def _split(labels: List[int], signature: Signature) -> Tuple[Side, Side]:
    sides = []
    at = 0
    for terms in (signature.left, signature.right):
        side = []
        for count, arity in terms:
            for _ in range(count):
                side.append(tuple(labels[at:at + arity]))
                at += arity
        sides.append(tuple(side))
    return sides[0], sides[1]


def random_rules(signature, n: int, seed: Optional[int] = None, connected: str = "whole") -> List[Rule]:
    """``n`` distinct rules of ``signature`` drawn at random, as canonical :class:`Rule` objects.

    Each draw labels the rule's positions uniformly among the labellings in
    order of first occurrence (equivalently, a uniformly random partition
    of the positions into elements), drops it unless it meets ``connected``
    (as in :func:`enumerate_rules`) and takes its canonical form; repeats
    are drawn again.  A rule is therefore as likely as the number of
    labellings that name it: rules with fewer symmetries come up somewhat
    more often.  When ``n`` is at least the number of rules, every rule is
    returned once, in random order (finding that out costs about as much
    as enumerating ``n`` rules).  The same ``seed`` (an integer in
    ``[0, 2**64)``) gives the same list; ``None`` draws from the system.
    """
    signature = parse_signature(signature)
    _check_connected(connected)
    n = whole_number(n, "n")
    rng = random.Random(None if seed is None else check_seed(seed))
    _completions(signature.positions)  # refuses a signature too large to sample
    every = list(islice(enumerate_rules(signature, connected), n + 1))
    if len(every) <= n:
        rng.shuffle(every)
        return every
    # More than n rules exist, so drawing until n distinct ones turned up ends.
    found: Dict[Tuple[Side, Side], None] = {}
    while len(found) < n:
        lhs, rhs = _split(_random_labelling(signature.positions, rng), signature)
        if (connected != "none" and not _connected(lhs)) or \
                (connected == "whole" and not _connected(lhs + rhs)):
            form = None
        else:
            form = _canonical(lhs, rhs)
        if form is not None:
            found.setdefault(form, None)
    return [_as_output(lhs, rhs, None) for lhs, rhs in found]
