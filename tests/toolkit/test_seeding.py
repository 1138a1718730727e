from collections import Counter

import pytest

import vornkit
from conftest import GROWTH_RULE


def shape_of(edges, mapping):
    return Counter(tuple(mapping[v] for v in e) for e in edges)


def test_start_builds_exact_shape(engine):
    shape = [[1, 2], [1, 3], [2, 2, 3], ["a"], [], [3, 1, 2, 1]]
    mapping = vornkit.start(engine, shape)
    assert list(mapping) == [1, 2, 3, "a"]
    assert len(set(mapping.values())) == 4
    assert Counter(map(tuple, engine.get_edges())) == shape_of(shape, mapping)
    assert engine.node_count() == 4
    # the start is not a step a user can undo, and counters start from zero
    assert engine.rollback() is False
    assert engine.get_attempted_rewrites() == 0 and engine.get_successful_rewrites() == 0
    assert engine.edge_count() == len(shape)


def test_start_from_text_adds_disjoint_copy_and_keeps_counters_if_asked(engine):
    first = vornkit.start(engine, "{{1,2},{2,3}}")
    second = vornkit.start(engine, "{{1,2},{2,3}}", reset_counters=False)
    assert set(first.values()).isdisjoint(second.values())
    assert engine.node_count() == 6 and engine.edge_count() == 4
    assert engine.get_successful_rewrites() == 1  # the second start's step


def test_start_replaces_rules_and_installs_given_ones(engine):
    engine.add_rule([], [], [["p"]], 1.0)
    vornkit.start(engine, [[1, 2]])
    assert engine.step() is False  # the earlier rule is gone
    vornkit.start(engine, [[1, 2], [1, 3]], rules=[GROWTH_RULE])
    before = engine.node_count()
    engine.run(50)
    fired = engine.get_successful_rewrites()
    assert fired > 0  # only the growth rule is left, and it matches at vertex 1
    assert engine.node_count() == before + fired


def test_seed_is_the_deprecated_name_of_start(engine):
    with pytest.deprecated_call(match="vornkit.start"):
        mapping = vornkit.seed(engine, "{{1,2},{2,3}}", rules="{{x,y}} -> {{x,y},{y,z}}")
    assert list(mapping) == ["1", "2", "3"]
    assert engine.edge_count() == 2 and engine.get_attempted_rewrites() == 0
    assert engine.step() is True  # the rules were added, as start adds them


@pytest.mark.parametrize("bad, error", [
    ([["a", "b"], "ab"], TypeError),
    ([[1, 2], 3], TypeError),
    ([[[1], 2]], TypeError),
    ("{{1,2}", ValueError),
])
def test_start_rejects_bad_input_without_changing_engine(engine, bad, error):
    engine.add_rule([], [], [["p"]], 1.0)
    with pytest.raises(error):
        vornkit.start(engine, bad)
    assert engine.node_count() == 0
    assert engine.step() is True  # the rule is still there


@pytest.mark.parametrize("rules", ["{{x} -> {}", "{{x}} -> {} @ 1e308; {{x}} -> {{x}} @ 1e308"])
def test_start_with_bad_rules_changes_nothing(engine, rules):
    engine.add_rule([], [], [["p"]], 1.0)
    with pytest.raises(ValueError):
        vornkit.start(engine, [[1, 2]], rules=rules)
    assert engine.node_count() == 0
    assert engine.step() is True  # the old rule is still there


SEEDED_RUN = """
import json, sys
import vorn, vornkit
engine = vorn.Engine()
vornkit.reseed(engine, int(sys.argv[1]))
engine.set_semantics("SPO")
vornkit.start(engine, "{{1,2},{1,3},{2,3,4}}", sys.argv[2])
engine.run(1500)
for _ in range(20):  # single steps, some undone
    if engine.step() and engine.get_attempted_rewrites() % 3 == 0:
        engine.rollback()
print(json.dumps([engine.get_vertices(), engine.get_edges(), engine.get_successful_rewrites()]))
"""


def test_the_same_seed_gives_the_same_graph_in_fresh_processes(python, subprocess_env):
    import json
    import subprocess

    rules = GROWTH_RULE + "; {{x,y}} -> {} @ 0.01; {{x,y}} -> {{y,x,w}} @ 0.2"

    def run(seed):
        done = subprocess.run([python, "-c", SEEDED_RUN, str(seed), rules], capture_output=True, text=True,
                              env=subprocess_env, timeout=60, check=True)
        return json.loads(done.stdout)

    first, again, other = run(2 ** 64 - 1), run(2 ** 64 - 1), run(12345)
    assert first == again
    assert first[1] != other[1]
    assert len(first[1]) > 500 and first[2] < 1500  # deletions happened


@pytest.mark.parametrize("bad", [-1, 2 ** 64, 1.5, "7", True])
def test_reseed_refuses_what_is_not_a_64_bit_seed(engine, bad):
    with pytest.raises(ValueError, match="seed"):
        vornkit.reseed(engine, bad)
