import itertools
import random

import pytest

from vornkit import (Rule, Signature, canonical_rule, count_rules, enumerate_rules, format_hypergraph, parse_rule,
                     parse_signature, random_rules, rule_count_bound, rule_signature)


# -- an independent reference: every labelling, every reordering, then deduplicate ----------------

def _labellings(n):
    """Every labelling of n positions in order of first occurrence."""
    def grow(prefix, top):
        if len(prefix) == n:
            yield prefix
            return
        for v in range(1, top + 2):
            yield from grow(prefix + [v], max(top, v))
    yield from grow([], 0)


def _renumber(relations):
    names = {}
    return tuple(tuple(names.setdefault(x, len(names) + 1) for x in r) for r in relations)


def _class_of(lhs, rhs):
    """A representative of the rule's class: the least over all reorderings of each side (any arity order)."""
    return min(_renumber(list(a) + list(b))
               for a in itertools.permutations(lhs) for b in itertools.permutations(rhs))


def _joined(relations):
    """Connected by union of overlapping element sets (no relations, or one, is connected)."""
    groups = [set(r) for r in relations]
    merged = True
    while merged and len(groups) > 1:
        merged = False
        for i, j in itertools.combinations(range(len(groups)), 2):
            if groups[i] & groups[j]:
                groups[i] |= groups.pop(j)
                merged = True
                break
    return len(groups) <= 1


def _brute_force(left_arities, right_arities, connected):
    n = sum(left_arities) + sum(right_arities)
    classes = set()
    for labels in _labellings(n):
        it = iter(labels)
        lhs = [tuple(next(it) for _ in range(a)) for a in left_arities]
        rhs = [tuple(next(it) for _ in range(a)) for a in right_arities]
        if connected != "none" and not _joined(lhs):
            continue
        if connected == "whole" and not _joined(lhs + rhs):
            continue
        classes.add(_class_of(lhs, rhs))
    return classes


def _ints(rule):
    return [tuple(map(int, r)) for r in rule.lhs], [tuple(map(int, r)) for r in rule.rhs]


# -- counts ----------------------------------------------------------------------------------

@pytest.mark.parametrize("signature, expected", [("1_2 -> 2_2", 73), ("2_2 -> 2_2", 562), ("2_2 -> 3_2", 4702)])
def test_published_counts_of_connected_rules(signature, expected):
    assert sum(1 for _ in enumerate_rules(signature)) == expected
    assert count_rules(signature) == expected


@pytest.mark.parametrize("left, right", [
    ((2,), (2, 2)), ((2, 2), (2, 2)), ((3,), (1, 2)), ((1, 2), (1,)), ((1, 1), (2,)), ((), (2, 1)), ((3,), ()),
])
@pytest.mark.parametrize("connected", ["whole", "left", "none"])
def test_agrees_with_deduplicating_every_labelling(left, right, connected):
    signature = Signature(tuple((1, a) for a in left), tuple((1, a) for a in right))
    rules = list(enumerate_rules(signature, connected))
    expected = _brute_force(left, right, connected)
    got = [_class_of(*_ints(r)) for r in rules]
    assert len(got) == len(set(got)), "a rule enumerated twice"
    assert set(got) == expected
    assert count_rules(signature, connected) == len(expected) <= rule_count_bound(signature)
    for r in rules:
        assert rule_signature(r) == signature
        assert canonical_rule(r) == r  # the enumerator and the general canonical form agree


def test_modes_nest_and_reuse_of_left_elements():
    whole = {str(r) for r in enumerate_rules("1_2 -> 2_2")}
    left = {str(r) for r in enumerate_rules("1_2 -> 2_2", connected="left")}
    assert whole < left
    # right sides may reuse left elements, introduce new ones, or repeat the left side
    assert {"{{1,2}} -> {{1,2},{1,2}}", "{{1,2}} -> {{1,3},{2,3}}", "{{1,1}} -> {{1,2},{2,3}}"} <= whole
    assert "{{1,2}} -> {{1,2},{3,4}}" in left - whole  # {3,4} stands apart from the left side
    assert "{{1,2}} -> {{3,4},{3,4}}" in left - whole


# -- canonical form --------------------------------------------------------------------------

def test_canonical_form_ignores_names_and_relation_order():
    rng = random.Random(7)
    for rule in random_rules("2_2 -> 2_2 1_3", 150, seed=5, connected="none"):
        names = {x: f"v{rng.randrange(10**6)}_{x}" for r in rule.lhs + rule.rhs for x in r}
        lhs = [[names[x] for x in r] for r in rule.lhs]
        rhs = [[names[x] for x in r] for r in rule.rhs]
        rng.shuffle(lhs)
        rng.shuffle(rhs)
        assert canonical_rule(f"{format_hypergraph(lhs)} -> {format_hypergraph(rhs)}") == str(rule)


def test_canonical_form_of_each_input_form():
    growth = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"
    assert canonical_rule(growth) == "{{1,2},{1,3}} -> {{1,2},{1,4},{2,4},{3,4}}"
    assert canonical_rule(growth + " @ 2.5") == "{{1,2},{1,3}} -> {{1,2},{1,4},{2,4},{3,4}} @ 2.5"
    as_rule = canonical_rule(parse_rule(growth + " @ 2.5"))
    assert isinstance(as_rule, Rule) and as_rule.weight == 2.5
    assert as_rule == parse_rule("{{1,2},{1,3}} -> {{1,2},{1,4},{2,4},{3,4}} @ 2.5")
    lhs, kept, rhs = parse_rule(growth)
    assert canonical_rule((lhs, kept, rhs)) == tuple(parse_rule(canonical_rule(growth)))
    # sides of mixed arity list their relations by arity, smaller first
    assert canonical_rule("{{a,b,c},{c}} -> {{c,d},{a}}") == "{{1},{2,3,1}} -> {{2},{1,4}}"
    # a left side swap that only pays off on the right side
    assert canonical_rule("{{a,b},{b,a}} -> {{a,c}}") == canonical_rule("{{a,b},{b,a}} -> {{b,c}}")
    with pytest.raises(ValueError, match="kept names"):
        canonical_rule((lhs, ["x"], rhs))
    with pytest.raises(TypeError, match="string 'xy' in place of a list"):
        canonical_rule(([["a", "b"]], [], ["xy"]))
    with pytest.raises(ValueError, match="one rule"):
        canonical_rule("{{x}} -> {}; {{y}} -> {}")


def test_canonical_form_of_a_rule_with_repeated_relations():
    # twelve equal relations tie at every step; equal partial orders are searched once, not 12! times
    rule = "{" + ",".join(["{a,b}"] * 12) + "} -> {" + ",".join(["{b,c},{c,a}"] * 6) + "}"
    assert canonical_rule(rule) == "{" + ",".join(["{1,2}"] * 12) + "} -> {" + \
        ",".join(["{2,3}"] * 6 + ["{3,1}"] * 6) + "}"


# -- order, counting with a limit --------------------------------------------------------------

def test_order_is_stable_and_increasing():
    first = [str(r) for r in enumerate_rules("2_2 -> 2_2", connected="left")]
    assert first == [str(r) for r in enumerate_rules("22->22", connected="left")]
    keys = [sum(_ints(r), []) for r in enumerate_rules("2_2 -> 2_2", connected="left")]
    assert keys == sorted(keys)


def test_count_with_a_limit_stops_early():
    assert count_rules("2_2 -> 3_2", limit=100) == 101
    assert count_rules("1_2 -> 2_2", limit=73) == 73
    assert count_rules("3_3 -> 4_3", limit=50) == 51  # spaces far too large to enumerate here
    assert count_rules("1_9 -> 2_9", limit=50) == 51
    assert rule_count_bound("2_2 -> 3_2") == 115975  # Bell number of 10 positions
    with pytest.raises(ValueError, match="connected must be one of"):
        count_rules("1_2 -> 2_2", connected="right")


# -- signatures ------------------------------------------------------------------------------

@pytest.mark.parametrize("text, written", [
    ("2_2 -> 3_2", "2_2 -> 3_2"), ("22->32", "2_2 -> 3_2"), ("1_2 -> 1_3 1_2", "1_2 -> 1_2 1_3"),
    ("12->1312", "1_2 -> 1_2 1_3"), ("1_2 1_2 -> 0_3 10_2", "2_2 -> 10_2"), ("0 -> 1_2", "0 -> 1_2"),
    ("  2_2->32 ", "2_2 -> 3_2"),
])
def test_signature_text(text, written):
    signature = parse_signature(text)
    assert str(signature) == written
    assert parse_signature(str(signature)) == signature


def test_signature_of_a_rule():
    growth = rule_signature("{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}")
    assert growth == Signature(((2, 2),), ((4, 2),)) and str(growth) == "2_2 -> 4_2"
    assert str(rule_signature(parse_rule("{{x,y,z}} -> {{x},{y,z},{z,x}}"))) == "1_3 -> 1_1 2_2"
    assert str(rule_signature("{} -> {{a}}")) == "0 -> 1_1"


@pytest.mark.parametrize("text, position, words", [
    ("2_2 => 3_2", 4, "'->'"),
    ("2_2 -> ", 7, "right side"),
    ("2_ -> 1_2", 2, "arity"),
    ("222->32", 2, "compact form"),
    ("2_2 -> 3_2 x", 11, "end of the signature"),
    ("", 0, "left side"),
])
def test_malformed_signatures_say_where(text, position, words):
    with pytest.raises(ValueError) as caught:
        parse_signature(text)
    message = str(caught.value)
    assert f"position {position}" in message and words in message and "\n" not in message


# -- sampling --------------------------------------------------------------------------------

def test_random_rules_are_distinct_canonical_and_repeatable():
    drawn = random_rules("2_3 -> 3_3", 40, seed=11)
    assert [str(r) for r in drawn] == [str(r) for r in random_rules("2_3 -> 3_3", 40, seed=11)]
    assert [str(r) for r in drawn] != [str(r) for r in random_rules("2_3 -> 3_3", 40, seed=12)]
    assert len({str(r) for r in drawn}) == 40
    for r in drawn:
        assert canonical_rule(r) == r and str(rule_signature(r)) == "2_3 -> 3_3"
        lhs, rhs = _ints(r)
        assert _joined(lhs) and _joined(lhs + rhs)


def test_random_rules_beyond_the_count_give_every_rule_once():
    every = {str(r) for r in enumerate_rules("1_2 -> 2_2")}
    drawn = random_rules("1_2 -> 2_2", 500, seed=3)
    assert len(drawn) == 73 and {str(r) for r in drawn} == every
    assert len(random_rules("1_2 -> 2_2", 72, seed=3)) == 72
    assert random_rules("2_2 -> 3_2", 0, seed=3) == []
