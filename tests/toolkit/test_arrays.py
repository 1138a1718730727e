import io

import numpy as np
import pytest

import vornkit
from conftest import GROWTH_RULE, vorn
from vornkit.arrays import edges_array
from vornkit.plotting import _local_part_of_arrays, local_part


def mixed_engine(steps=300):
    """Hyperedges of arity 0 to 3 with repeated vertices, isolated vertices and deletions."""
    engine = vorn.Engine()
    vornkit.reseed(engine, 11)
    engine.set_semantics("SPO")
    vornkit.start(engine, "{{1,2,3},{1,3},{4},{},{5,5,6}}",
                 GROWTH_RULE + "; {{x,y}} -> {{x,y},{x,x,w}} @ 0.2; {{x,y}} -> {{x,y},{y}} @ 0.1;"
                 "{{x,y}} -> {{x}} @ 0.02")
    engine.run(steps)
    engine.clear_rules()
    engine.add_rule([["x"]], ["x"], [], 1.0)  # drops a hyperedge and keeps its vertices
    engine.run(steps // 3)
    return engine


def test_arrays_hold_what_the_lists_hold():
    engine = mixed_engine()
    edges, vertices = engine.get_edges(), engine.get_vertices()
    assert len(engine.get_isolated_vertices()) > 0 and {len(e) for e in edges} >= {0, 1, 2, 3}
    arrays = vornkit.edges_array(engine)
    assert arrays.dense is None and arrays.offsets[0] == 0 and len(arrays.offsets) == len(edges) + 1
    assert all(a.dtype == np.int64 for a in arrays[:3])
    assert [arrays.vertices[a:b].tolist() for a, b in zip(arrays.offsets, arrays.offsets[1:])] == edges
    assert arrays.tolist() == edges and arrays.arities().tolist() == [len(e) for e in edges]
    assert arrays.ids.tolist() == list(engine.get_edge_size_map())
    assert vornkit.vertices_array(engine).tolist() == vertices
    ids, degrees = vornkit.degrees_array(engine)
    assert ids.tolist() == vertices and dict(zip(ids.tolist(), degrees.tolist())) == engine.get_degree_map()

    # The arrays are the caller's own: the engine goes on without them.
    engine.run(50)
    assert arrays.tolist() == edges

    growth = vorn.Engine()
    vornkit.start(growth, "{{1,2},{1,3}}", GROWTH_RULE)
    growth.run(100)
    dense = vornkit.edges_array(growth).dense
    assert dense.shape == (growth.edge_count(), 2) and dense.tolist() == growth.get_edges()
    assert vornkit.edges_array(vorn.Engine()).dense is None
    with pytest.raises(TypeError, match="vorn.Engine"):
        vornkit.edges_array(edges)


def test_exports_and_pictures_from_arrays_equal_those_from_lists():
    engine = mixed_engine()
    edges, vertices = engine.get_edges(), engine.get_vertices()
    for kind in ("2-section", "ordered"):
        fast = vornkit.to_networkx(engine, kind)
        slow = vornkit.to_networkx(edges, kind, vertices=vertices)
        assert list(fast.nodes) == list(slow.nodes)
        if kind == "2-section":
            assert list(fast.edges(keys=True, data=True)) == list(slow.edges(keys=True, data=True))
        else:
            assert list(fast.edges(data=True)) == list(slow.edges(data=True))
    assert list(vornkit.to_networkx(engine, vertices=[10 ** 9])) == list(
        vornkit.to_networkx(edges, vertices=[10 ** 9]))

    class Lists:  # an engine seen through its lists only
        def get_edges(self):
            return edges

        def get_vertices(self):
            return vertices

    assert vornkit.to_hif(engine)["incidences"] == vornkit.to_hif(Lists())["incidences"]
    assert vornkit.to_hif(engine)["nodes"] == vornkit.to_hif(Lists())["nodes"]
    arrays = edges_array(engine)
    for seed in range(10):
        for limit in (1, 30, 10 ** 6):
            assert _local_part_of_arrays(arrays, limit, seed) == local_part(edges, limit, seed)
    pictures = []
    for source in (engine, Lists()):
        fig = vornkit.plot_hypergraph(source, max_edges=40, figsize=(3, 3), dpi=60)
        png = io.BytesIO()
        fig.savefig(png, format="png")
        pictures.append((fig.axes[0].get_title(), png.getvalue()))
    assert pictures[0] == pictures[1]
