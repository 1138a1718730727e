"""Counts, lists, metrics and observables read through the Engine."""

import math
import re

import pytest

from vorn import Engine


def edge_over(engine, names):
    """A fresh engine-level hyperedge over `names`; returns {name: vertex id}."""
    engine.clear_rules()
    engine.add_rule([], [], [list(names)], 1.0)
    assert engine.step() is True
    engine.clear_rules()
    edges = engine.get_edges()
    candidates = [e for e in edges if len(e) == len(names)]
    edge = max(candidates, key=max)  # the newest ids are the largest
    return dict(zip(names, edge))


def test_empty_engine():
    engine = Engine()
    assert engine.get_degree_map() == {} and engine.get_edge_size_map() == {}
    assert engine.get_isolated_vertices() == [] and engine.get_all_observables() == {}
    assert engine.get_structural_pair_count() == 0
    assert engine.get_shortest_path_distance(0, 0) is None


def test_repeated_vertex_in_hyperedge():
    engine = Engine()
    v = edge_over(engine, "aab")
    a, b = v["a"], v["b"]
    assert engine.get_edges() == [[a, a, b]]
    assert sorted(engine.get_vertices()) == sorted([a, b])
    assert (engine.node_count(), engine.edge_count()) == (2, 1)
    assert engine.get_degree_map() == {a: 2, b: 1}
    assert list(engine.get_edge_size_map().values()) == [3]
    assert engine.get_isolated_vertices() == []
    assert engine.get_shortest_path_distance(a, b) == 1


def test_lists_and_maps_agree_with_each_other():
    engine = Engine()
    engine.add_rule([], [], [["a", "b", "c"], ["c", "d"], ["e"]], 1.0)
    engine.run(3)
    vertices, edges = engine.get_vertices(), engine.get_edges()
    assert len(vertices) == len(set(vertices)) == engine.node_count() == 15
    assert len(edges) == engine.edge_count() == 9
    degrees = engine.get_degree_map()
    assert set(degrees) == set(vertices)
    for v in vertices:
        assert degrees[v] == sum(edge.count(v) for edge in edges)
    assert sorted(engine.get_edge_size_map().values()) == sorted(len(e) for e in edges)
    assert engine.get_structural_pair_count() == 3 * (3 + 1)


def test_shortest_path_distances():
    engine = Engine()
    chain = edge_over(engine, "ab")
    engine.add_rule([], [], [["a", "b"], ["b", "c"], ["c", "d"]], 1.0)
    engine.step()
    engine.clear_rules()
    edges = [e for e in engine.get_edges() if chain["a"] not in e and chain["b"] not in e]
    (a, b), (_, c), (_, d) = sorted(edges)
    assert engine.get_shortest_path_distance(a, a) == 0
    assert engine.get_shortest_path_distance(a, b) == 1
    assert engine.get_shortest_path_distance(a, d) == 3
    assert engine.get_shortest_path_distance(d, a) == 3
    assert engine.get_shortest_path_distance(a, chain["a"]) is None
    assert engine.get_shortest_path_distance(a, 2**64 - 1) is None
    big = edge_over(engine, "pqrs")
    assert engine.get_shortest_path_distance(big["p"], big["s"]) == 1


def test_observables_round_trip():
    engine = Engine()
    v = edge_over(engine, "ab")
    a, b = v["a"], v["b"]
    assert engine.set_observable(a, "mass", 1.5) is None
    assert engine.get_observable(a, "mass") == 1.5
    assert engine.get_observable(a, "charge") is None
    assert engine.get_observable(b, "mass") is None
    assert engine.get_all_observables() == {a: {"mass": 1.5}, b: {}}
    engine.set_observable(a, "mass", 2)
    engine.set_observable(key="é\x00", value=math.inf, v_id=b)
    engine.set_observable(b, "", math.nan)
    assert engine.get_observable(a, "mass") == 2.0
    assert engine.get_observable(b, "é\x00") == math.inf
    assert math.isnan(engine.get_observable(b, ""))
    assert type(engine.get_observable(a, "mass")) is float
    engine.clear_graph()
    assert engine.get_all_observables() == {}


@pytest.mark.parametrize("v_id", [0, 12345678901234567890])
def test_observable_of_missing_vertex(v_id):
    engine = Engine()
    engine.add_rule([], [], [["a"]], 1.0)
    engine.run(2)
    v_id = v_id if v_id not in engine.get_vertices() else 2**64 - 1
    message = f"Vertex {v_id} not found"
    with pytest.raises(ValueError, match=re.escape(message)):
        engine.set_observable(v_id, "mass", 1.0)
    with pytest.raises(ValueError, match=re.escape(message)):
        engine.get_observable(v_id, "mass")
    assert all(obs == {} for obs in engine.get_all_observables().values())


def test_isolated_vertex_after_edge_removed():
    engine = Engine()
    v = edge_over(engine, "ab")
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)
    for _ in range(50):
        if engine.step():
            break
    assert engine.edge_count() == 0
    assert sorted(engine.get_isolated_vertices()) == sorted(v.values())
    assert engine.get_degree_map() == {v["a"]: 0, v["b"]: 0}
    assert engine.get_structural_pair_count() == 0


def test_observables_leave_with_deleted_vertex_and_return_on_rollback():
    engine = Engine()
    v = edge_over(engine, "ab")
    engine.set_observable(v["a"], "mass", 1.0)
    engine.set_observable(v["b"], "mass", 2.0)
    engine.add_rule([["x", "y"]], ["x"], [], 1.0)
    for _ in range(50):
        if engine.step():
            break
    assert engine.node_count() == 1
    (survivor,) = engine.get_vertices()
    assert engine.get_all_observables() == {survivor: {"mass": 1.0 if survivor == v["a"] else 2.0}}
    assert engine.rollback() is True
    assert engine.get_all_observables() == {v["a"]: {"mass": 1.0}, v["b"]: {"mass": 2.0}}
