import networkx as nx
import numpy as np
import pytest

import vornkit
from conftest import GROWTH_RULE
from geometries import related_pairs, sprinkle, sprinkled_links
from vornkit.causal_intervals import _induced, myrheim_meyer_dimension, ordering_fraction
from vornkit.causal_intervals import related_pairs as closure_pairs


@pytest.fixture(scope="module", params=[2, 4])
def diamond(request):
    """10^4 elements sprinkled into a causal diamond of 2-D or 4-D Minkowski space, and their links."""
    dim = request.param
    return dim, sprinkled_links(sprinkle(10_000, dim, seed=dim))


def test_sprinkled_diamonds_give_their_dimension(diamond):
    # Measured over seeds: within 0.02 of 2 and 0.05 of 4, bootstrap error 0.01 and 0.05.
    dim, links = diamond
    est = vornkit.causal_dimension(links, 60, seed=1, min_size=20)
    assert abs(est.dimension - dim) < 0.2, est
    assert est.error < 0.15 and est.spread > 0
    assert len(est.sizes) == len(est.related) == len(est.per_interval) == est.endpoints.shape[0] == 60
    assert est.sizes.min() >= 20 and est.sizes.max() <= 1000 and est.dropped == 0
    assert est.ordering_fraction == pytest.approx(
        est.related.sum() / (est.sizes * (est.sizes - 1) / 2).sum())
    # Each interval's endpoints are related: y is in x's future.
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import breadth_first_order

    n = int(links[1].max()) + 1
    graph = csr_matrix((np.ones(len(links[0]), dtype=np.int8), links), shape=(n, n))
    for x, y in est.endpoints[:5]:
        assert y in breadth_first_order(graph, int(x), return_predecessors=False)


def test_the_whole_relation_and_any_labelling_give_the_same_dimension():
    # The whole relation instead of its links, and ids that do not follow time (a topological
    # sort then finds the order).
    points = sprinkle(1500, 4, seed=7)
    causes, effects = related_pairs(points)
    assert abs(vornkit.causal_dimension((causes, effects), 60, seed=2).dimension - 4) < 0.5
    relabel = np.random.default_rng(0).permutation(len(points)) * 3 + 100
    c, e = sprinkled_links(points)
    assert abs(vornkit.causal_dimension((relabel[c], relabel[e]), 60, seed=2).dimension - 4) < 0.5


def test_interval_closure_counts_related_pairs():
    from scipy.sparse import csr_matrix

    rng = np.random.default_rng(5)
    for n, p in [(2, 1.0), (60, 0.08), (200, 0.03), (180, 0.5)]:
        a, b = np.nonzero(np.triu(rng.random((n, n)) < p, 1))
        full = csr_matrix((np.ones(len(a), dtype=np.int8), (a, b)), shape=(n, n))
        g = nx.DiGraph(zip(a.tolist(), b.tolist()))
        g.add_nodes_from(range(n))
        for nodes in (np.arange(n), np.sort(rng.choice(n, size=max(1, n // 2), replace=False))):
            sub = g.subgraph(nodes.tolist())
            expected = sum(len(nx.descendants(sub, v)) for v in sub)
            assert closure_pairs(_induced(full, nodes)) == expected


def test_ordering_fraction_and_its_inverse():
    assert ordering_fraction([1, 2, 4]).tolist() == pytest.approx([1, 0.5, 0.1])
    for d in (1.3, 2.0, 3.7, 6.0, 11.0):
        assert myrheim_meyer_dimension(float(ordering_fraction(d))) == pytest.approx(d, rel=1e-8)
    assert myrheim_meyer_dimension(0.0) == np.inf and myrheim_meyer_dimension(1.0) == 1.0


def test_growth_model_cycles_are_cut_by_order_of_appearance(engine):
    vornkit.reseed(engine, 4)
    vornkit.start(engine, "{{1,2},{1,3}}", GROWTH_RULE)
    engine.run(3000)
    links = vornkit.causal_links(engine)
    est = vornkit.causal_dimension(engine, 30, seed=0, min_size=3)
    # The recorded relation runs both ways between some vertices; those pairs are left out.
    backwards = (np.searchsorted(links.vertices, links.causes)
                 >= np.searchsorted(links.vertices, links.effects))
    assert est.dropped == int(backwards.sum()) > 0
    assert 1.0 <= est.dimension < 3 and len(est.sizes) == 30
    assert vornkit.causal_dimension(links, 30, seed=0, min_size=3).dimension == est.dimension
    # Vertex ids appear in increasing order in this run, so an endpoint pair goes forward.
    assert np.all(np.diff(links.vertices) > 0) and np.all(est.endpoints[:, 0] < est.endpoints[:, 1])


def test_bad_input_is_refused(engine):
    chain = (np.arange(5), np.arange(1, 6))
    for source, kwargs, text in [
            ((np.array([], dtype=int), np.array([], dtype=int)), {}, "no pairs"),
            (chain, {"samples": 0}, "samples"),
            (chain, {"min_size": 1}, "min_size"),
            (chain, {"min_size": 4, "max_size": 3}, "max_size"),
            (chain, {"min_size": 10}, "no causal interval"),
            ((np.array([1, 2]), np.array([2, 1])), {}, "cycle"),
            ((np.array([1]), np.array([1])), {}, "own cause"),
            ((np.array([1, 2]), np.array([2])), {}, "same length"),
            ((np.array([0.5]), np.array([1.5])), {}, "integer")]:
        with pytest.raises(ValueError, match=text):
            vornkit.causal_dimension(source, **kwargs)
    with pytest.raises(TypeError):
        vornkit.causal_dimension(42)
    with pytest.raises(ValueError, match="no pairs"):
        vornkit.causal_dimension(engine)  # nothing recorded yet
    # A chain is one-dimensional: every pair is related.
    assert vornkit.causal_dimension(chain, 5, min_size=2).dimension == 1.0


def test_exported_from_vornkit():
    import vornkit.causal_intervals
    import vornkit.curvature

    assert {"causal_dimension", "CausalDimension", "estimate_curvature", "CurvatureEstimate"} <= set(
        vornkit.__all__)
    # Functions, not their modules, even once the modules were imported directly.
    assert vornkit.causal_dimension is vornkit.causal_intervals.causal_dimension
    assert vornkit.estimate_curvature is vornkit.curvature.estimate_curvature
