from collections import Counter

import pytest

import vornkit
from conftest import GROWTH_RULE


def shape_of(edges, mapping):
    return Counter(tuple(mapping[v] for v in e) for e in edges)


def test_seed_builds_exact_shape(engine):
    shape = [[1, 2], [1, 3], [2, 2, 3], ["a"], [], [3, 1, 2, 1]]
    mapping = vornkit.seed(engine, shape)
    assert list(mapping) == [1, 2, 3, "a"]
    assert len(set(mapping.values())) == 4
    assert Counter(map(tuple, engine.get_edges())) == shape_of(shape, mapping)
    assert engine.node_count() == 4
    # the seed is not a step a user can undo, and counters start from zero
    assert engine.rollback() is False
    assert engine.get_attempted_rewrites() == 0 and engine.get_successful_rewrites() == 0
    assert engine.edge_count() == len(shape)


def test_seed_from_text_adds_disjoint_copy_and_keeps_counters_if_asked(engine):
    first = vornkit.seed(engine, "{{1,2},{2,3}}")
    second = vornkit.seed(engine, "{{1,2},{2,3}}", reset_counters=False)
    assert set(first.values()).isdisjoint(second.values())
    assert engine.node_count() == 6 and engine.edge_count() == 4
    assert engine.get_successful_rewrites() == 1  # the second seed's step


def test_seed_replaces_rules_and_installs_given_ones(engine):
    engine.add_rule([], [], [["p"]], 1.0)
    vornkit.seed(engine, [[1, 2]])
    assert engine.step() is False  # the earlier rule is gone
    vornkit.seed(engine, [[1, 2], [1, 3]], rules=[GROWTH_RULE])
    before = engine.node_count()
    engine.run(50)
    fired = engine.get_successful_rewrites()
    assert fired > 0  # only the growth rule is left, and it matches at vertex 1
    assert engine.node_count() == before + fired


@pytest.mark.parametrize("bad, error", [
    ([["a", "b"], "ab"], TypeError),
    ([[1, 2], 3], TypeError),
    ([[[1], 2]], TypeError),
    ("{{1,2}", ValueError),
])
def test_seed_rejects_bad_input_without_changing_engine(engine, bad, error):
    engine.add_rule([], [], [["p"]], 1.0)
    with pytest.raises(error):
        vornkit.seed(engine, bad)
    assert engine.node_count() == 0
    assert engine.step() is True  # the rule is still there


@pytest.mark.parametrize("rules", ["{{x} -> {}", "{{x}} -> {} @ 1e308; {{x}} -> {{x}} @ 1e308"])
def test_seed_with_bad_rules_changes_nothing(engine, rules):
    engine.add_rule([], [], [["p"]], 1.0)
    with pytest.raises(ValueError):
        vornkit.seed(engine, [[1, 2]], rules=rules)
    assert engine.node_count() == 0
    assert engine.step() is True  # the old rule is still there
