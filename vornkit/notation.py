"""Rule notation: text such as ``{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}``.

Grammar (whitespace is allowed between all tokens)::

    rules      := rule ((';' | newline) rule)*
    rule       := hypergraph '->' hypergraph ['keep' edge] ['@' weight]
    hypergraph := '{' [edge (',' edge)*] '}'
    edge       := '{' [atom (',' atom)*] '}'
    atom       := letters, digits and '_' (e.g. x, y2, 1, 42)

Every atom is a pattern variable, integers included (``{{1,2}}`` and
``{{a,b}}`` are the same rule).  A name on both sides is kept, a name only on
the left is deleted, a name only on the right is a new vertex.  Names are
compared as written, so ``1`` and ``01`` are different variables.

The optional ``keep {...}`` list names left-hand-side vertices that survive
although the right-hand side does not mention them: ``{{x,y}} -> {} keep {y}``
removes the hyperedge and the vertex ``x`` and leaves ``y`` (isolated).  Names
on both sides are kept whether listed or not; a listed name must occur on the
left.  Without the list a rule reads as it always has.
"""

from __future__ import annotations

import math
import re
from typing import Iterable, List, Sequence, Tuple, Union

__all__ = [
    "Rule",
    "RuleSyntaxError",
    "parse_rule",
    "parse_rules",
    "parse_hypergraph",
    "format_rule",
    "format_hypergraph",
    "add_rules",
]

Pattern = List[List[str]]

_NUMBER = re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|[+-]?(?:inf|nan)", re.IGNORECASE)
# What a user wrote as a weight: everything up to a space, a separator or a brace.
_WEIGHT_TEXT = re.compile(r"[\w.+-]+")


def shorten(text: str, limit: int = 80) -> str:
    """``text`` cut to ``limit`` characters, an ellipsis marking the cut."""
    return text if len(text) <= limit else text[:limit - 3] + "..."


class RuleSyntaxError(ValueError):
    """Malformed rule or hypergraph text.

    ``position`` is the 0-based index in the text of the first character that
    does not fit the notation (``len(text)`` when the text ends too early).
    """

    def __init__(self, message: str, text: str, position: int):
        self.text = text
        self.position = position
        super().__init__(f"{message} at position {position} in {shorten(text)!r}")


class Rule(tuple):
    """A parsed rule: the triple ``(lhs, kept, rhs)`` plus a ``weight``.

    It unpacks like the arguments of ``Engine.add_rule``::

        lhs, kept, rhs = rule
        engine.add_rule(lhs, kept, rhs, rule.weight)

    Two rules are equal when the triple and the weight are equal.
    """

    def __new__(cls, lhs: Sequence[Sequence[str]], kept: Sequence[str],
                rhs: Sequence[Sequence[str]], weight: float = 1.0) -> "Rule":
        self = super().__new__(cls, ([list(map(str, e)) for e in lhs],
                                     [str(k) for k in kept],
                                     [list(map(str, e)) for e in rhs]))
        weight = float(weight)
        if not (math.isfinite(weight) and weight > 0):
            raise ValueError(f"rule weight must be a finite positive number, got {weight!r}")
        self._weight = weight
        return self

    @property
    def lhs(self) -> Pattern:
        return self[0]

    @property
    def kept(self) -> List[str]:
        return self[1]

    @property
    def rhs(self) -> Pattern:
        return self[2]

    @property
    def weight(self) -> float:
        return self._weight

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Rule):
            return tuple.__eq__(self, other) and self.weight == other.weight
        return tuple.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self.__eq__(other)

    __hash__ = None  # holds lists, like the triple it stands for

    def __repr__(self) -> str:
        return f"Rule({self.lhs!r}, {self.kept!r}, {self.rhs!r}, weight={self.weight!r})"

    def __str__(self) -> str:
        return format_rule(self)

    def __reduce__(self):
        return (Rule, (self.lhs, self.kept, self.rhs, self.weight))


class _NotationReader:
    """Reads rule and hypergraph text by recursive descent, one position at a time."""

    def __init__(self, text: str):
        if not isinstance(text, str):
            raise TypeError(f"rule text must be a str, not {type(text).__name__}")
        self.text = text
        self.pos = 0

    # -- low level ------------------------------------------------------
    def fail(self, expected: str, pos: int | None = None) -> RuleSyntaxError:
        pos = self.pos if pos is None else pos
        if pos >= len(self.text):
            found = "end of text"
        else:
            found = repr(self.text[pos])
        return RuleSyntaxError(f"expected {expected}, found {found}", self.text, pos)

    def skip_space(self, newlines: bool = True) -> None:
        while self.pos < len(self.text):
            c = self.text[self.pos]
            if c == "\n" and not newlines:
                return
            if not c.isspace():
                return
            self.pos += 1

    def peek(self) -> str:
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def expect(self, token: str, what: str | None = None) -> None:
        self.skip_space()
        if not self.text.startswith(token, self.pos):
            raise self.fail(what or repr(token))
        self.pos += len(token)

    def at_end(self) -> bool:
        self.skip_space()
        return self.pos >= len(self.text)

    # -- grammar --------------------------------------------------------
    def atom(self) -> str:
        self.skip_space()
        start = self.pos
        while self.pos < len(self.text) and (self.text[self.pos].isalnum() or self.text[self.pos] == "_"):
            self.pos += 1
        if self.pos == start:
            raise self.fail("a vertex name (letters, digits or '_')")
        return self.text[start:self.pos]

    def braced(self, item, opening: str, separator: str) -> list:
        """A '{...}' list of ``item()`` separated by commas, possibly empty."""
        self.expect("{", opening)
        items: list = []
        self.skip_space()
        if self.peek() == "}":
            self.pos += 1
            return items
        while True:
            items.append(item())
            self.skip_space()
            c = self.peek()
            if c == ",":
                self.pos += 1
            elif c == "}":
                self.pos += 1
                return items
            else:
                raise self.fail(separator)

    def edge(self) -> List[str]:
        return self.braced(self.atom, "'{' opening a hyperedge", "',' or '}' in a hyperedge")

    def hypergraph(self) -> Pattern:
        return self.braced(self.edge, "'{' opening a list of hyperedges",
                           "',' or '}' after a hyperedge")

    def weight(self) -> float:
        self.skip_space()
        m = _WEIGHT_TEXT.match(self.text, self.pos)
        if not m:
            raise self.fail("a rule weight (a positive number)")
        written = m.group(0)
        value = float(written) if _NUMBER.fullmatch(written) else math.nan
        if not (math.isfinite(value) and value > 0):
            # Echo the text as written ("0x10", not the "0" it starts with).
            raise RuleSyntaxError(f"rule weight must be a finite positive number, got {shorten(written)}",
                                  self.text, self.pos)
        self.pos = m.end()
        return value

    def kept_list(self, lhs: Pattern) -> List[str]:
        """The names of a ``keep {...}`` clause (the word already read); each must occur on the left."""
        left = {name for edge in lhs for name in edge}

        def kept_name() -> str:
            self.skip_space()
            at = self.pos
            name = self.atom()
            if name not in left:
                raise RuleSyntaxError(f"kept name {name!r} does not occur on the left-hand side", self.text, at)
            return name

        return self.braced(kept_name, f"'{{' opening the list after {KEEP!r}", f"',' or '}}' in the {KEEP!r} list")

    def rule(self) -> Rule:
        lhs = self.hypergraph()
        self.expect("->", "'->' between the two sides of a rule")
        rhs = self.hypergraph()
        self.skip_space(newlines=False)
        extra: List[str] = []
        if self.text.startswith(KEEP, self.pos) and not _continues_name(self.text, self.pos + len(KEEP)):
            self.pos += len(KEEP)
            extra = self.kept_list(lhs)
            self.skip_space(newlines=False)
        weight = 1.0
        if self.peek() == "@":
            self.pos += 1
            weight = self.weight()
        return _make_rule(lhs, rhs, weight, extra)

    def separator(self) -> bool:
        """Consume a ';' or newline between rules; False at the end of the text."""
        self.skip_space(newlines=False)
        c = self.peek()
        if c in (";", "\n"):
            self.pos += 1
            return True
        if c == "":
            return False
        raise self.fail("';', a new line or the end of the text after a rule")


#: The word that opens a rule's list of explicitly kept names.
KEEP = "keep"


def _continues_name(text: str, pos: int) -> bool:
    return pos < len(text) and (text[pos].isalnum() or text[pos] == "_")


def _make_rule(lhs: Pattern, rhs: Pattern, weight: float, extra: Iterable[str] = ()) -> Rule:
    """The rule whose kept names are those on both sides plus ``extra``, in order of first
    appearance on the left."""
    survivors = {name for edge in rhs for name in edge}.union(extra)
    kept: List[str] = []
    seen = set()
    for edge in lhs:
        for name in edge:
            if name in survivors and name not in seen:
                seen.add(name)
                kept.append(name)
    return Rule(lhs, kept, rhs, weight)


def parse_rule(text: str) -> Rule:
    """Parse one rule, e.g. ``"{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"``.

    Returns a :class:`Rule`, which unpacks as ``(lhs, kept, rhs)`` and carries
    the weight given after ``@`` (1.0 when there is none).  ``kept`` lists the
    names found on both sides and those of a ``keep {...}`` list, in order of
    first appearance on the left.
    Raises :class:`RuleSyntaxError` (a ``ValueError``) naming the position of
    the first character that does not fit.
    """
    p = _NotationReader(text)
    rule = p.rule()
    if not p.at_end():
        raise p.fail("the end of the rule (use parse_rules for several rules)")
    return rule


def parse_rules(rules: Union[str, Rule, Iterable[Union[str, Rule]]]) -> List[Rule]:
    """Parse several rules.

    ``rules`` is a text with rules separated by ``;`` or new lines, a single
    :class:`Rule`, or an iterable of texts and :class:`Rule` objects (each text
    may itself hold several rules).  Blank lines are ignored.
    """
    if isinstance(rules, Rule):
        return [rules]
    if isinstance(rules, str):
        p = _NotationReader(rules)
        out: List[Rule] = []
        while True:
            p.skip_space()
            if p.pos >= len(p.text):
                break
            out.append(p.rule())
            if not p.separator():
                break
        if not out:
            raise RuleSyntaxError("expected at least one rule, found end of text", rules, len(rules))
        return out
    out = []
    for item in rules:
        if isinstance(item, Rule):
            out.append(item)
        elif isinstance(item, str):
            out.extend(parse_rules(item))
        else:
            raise TypeError(f"a rule must be given as text or a Rule, not {type(item).__name__}")
    return out


def parse_hypergraph(text: str) -> Pattern:
    """Parse a hypergraph such as ``"{{1,2},{1,3}}"`` into lists of names."""
    p = _NotationReader(text)
    edges = p.hypergraph()
    if not p.at_end():
        raise p.fail("the end of the hypergraph")
    return edges


def _check_name(name: object) -> str:
    s = str(name)
    if not s or not all(c.isalnum() or c == "_" for c in s):
        raise ValueError(f"name {s!r} cannot be written in rule notation "
                         "(use letters, digits and '_')")
    return s


def format_hypergraph(edges: Iterable[Iterable[object]]) -> str:
    """Write hyperedges as ``{{a,b},{a,c}}`` (ints and names alike)."""
    return "{" + ",".join("{" + ",".join(_check_name(n) for n in e) + "}" for e in edges) + "}"


def format_rule(rule: Union[Rule, Tuple[Pattern, Sequence[str], Pattern]], weight: float | None = None) -> str:
    """Write a rule back as text; ``parse_rule(format_rule(r)) == r``.

    Accepts a :class:`Rule` or a plain ``(lhs, kept, rhs)`` triple.  Kept
    left-hand-side names that the right-hand side does not mention are
    written as a ``keep {...}`` list; the weight is written as ``@ w`` when it
    is not 1.  Raises ``ValueError`` when ``kept`` leaves out a name found on
    both sides or names one missing from the left-hand side: the notation
    cannot express that, and writing it would silently change the rule.
    """
    lhs, kept, rhs = rule
    if weight is None:
        weight = rule.weight if isinstance(rule, Rule) else 1.0
    lhs = [list(map(str, e)) for e in lhs]
    rhs = [list(map(str, e)) for e in rhs]
    kept = set(map(str, kept))
    both = _make_rule(lhs, rhs, weight).kept
    left = {name for edge in lhs for name in edge}
    if not kept >= set(both) or not kept <= left:
        problems = []
        if not kept >= set(both):
            problems.append(f"leave out {sorted(set(both) - kept)}, found on both sides")
        if not kept <= left:
            problems.append(f"name {sorted(kept - left)}, missing from the left-hand side")
        raise ValueError(f"the kept names {sorted(kept)} {' and '.join(problems)}; "
                         "the notation cannot express this rule")
    extra = [name for name in _make_rule(lhs, rhs, weight, kept).kept if name not in both]
    text = f"{format_hypergraph(lhs)} -> {format_hypergraph(rhs)}"
    if extra:
        text += f" {KEEP} {{{','.join(_check_name(n) for n in extra)}}}"
    if weight != 1.0:
        text += f" @ {float(weight)!r}"
    return text


def check_rules(rules: Sequence[Rule]) -> None:
    """Refuse, before an engine is touched, what ``Engine.add_rule`` would refuse part-way.

    Names must be strings (a :class:`Rule`'s lists can be changed after it
    was made) and the weights must add up to a finite total, summed in order
    as the engine sums them.  Raises ``TypeError`` or ``ValueError``.
    """
    total = 0.0
    for r in rules:
        for part in (*r.lhs, r.kept, *r.rhs):
            for name in part:
                if not isinstance(name, str):
                    raise TypeError(f"vertex name {shorten(repr(name))} in a rule is not a str")
        total += r.weight
        if not math.isfinite(total):
            raise ValueError(f"the total of the rule weights must stay finite: adding weight {r.weight!r} "
                             f"would make it {total!r}")


def add_rules(engine, rules) -> List[Rule]:
    """Parse ``rules`` (see :func:`parse_rules`) and add them to ``engine``.

    All rules are parsed and checked (:func:`check_rules`) before the first is
    added, so a refused call adds nothing.  One case cannot be checked
    beforehand: the engine cannot list the rules it already holds, so when
    their weights and the new ones together pass the largest float, the
    engine refuses the rule that tips the total over (a ``ValueError``) and
    the rules before it stay.  Returns the list of rules added.
    """
    parsed = parse_rules(rules)
    check_rules(parsed)
    for r in parsed:
        engine.add_rule(r.lhs, r.kept, r.rhs, r.weight)
    return parsed
