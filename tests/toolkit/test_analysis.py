"""Native graph analysis against networkx on the same hypergraphs, its errors,
and how a long call shares the interpreter (GIL, borrow flag, Ctrl-C): the
companion functions of src/python/companion_analysis.cpp, their engine
access through companion_support.hpp and the GIL release of gil_release.hpp."""

import os
import signal
import threading
import time

import networkx as nx
import numpy as np
import pytest

import vorn
import vornkit
from vornkit import analysis
from vornkit.dimension import _two_section
from vornkit.plotting import _local_part_of_engine, _text_order, local_part

from conftest import GROWTH_RULE

# Mixed arities, repeated vertices, rules that delete hyperedges and vertices.
RULES = [
    "{{x,y,z}} -> {{x,y},{y,z,w},{w,w}}",
    "{{x,y},{y,z}} -> {{x,z,z},{z}}",
    "{{x,x}} -> {{x,v},{v,u,x,v}}",
    "{{x,y,z,w}} -> {{x,y}}",
    "{{x}} -> {}",
]


def random_engine(semantics, seed):
    engine = vorn.Engine()
    engine.set_semantics(semantics)
    vornkit.start(engine, "{{1,2,3},{3,4},{4,4},{5,6,5,7},{8}}", RULES)
    vornkit.reseed(engine, seed)
    engine.run(150)
    return engine


def reference_graph(engine):
    return _two_section(engine.get_edges(), vertices=engine.get_vertices())


@pytest.mark.parametrize("semantics", ["DPO", "SPO"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_native_results_equal_networkx(semantics, seed):
    engine = random_engine(semantics, seed)
    g = reference_graph(engine)
    nodes = sorted(g.nodes)
    assert len(nodes) > 20

    # Distances from every vertex, with and without a radius.
    for v in nodes:
        ids, dist = analysis.distances(engine, v)
        assert dict(zip(ids.tolist(), dist.tolist())) == nx.single_source_shortest_path_length(g, v)
        assert ids[0] == v and np.all(np.diff(dist) >= 0)
        ids, dist = analysis.distances(engine, v, 2)
        assert dict(zip(ids.tolist(), dist.tolist())) == nx.single_source_shortest_path_length(g, v, cutoff=2)

    # Ball volumes from all vertices at once (several batches), as the
    # networkx path computes them, over each adjacency the search can walk.
    centres = nodes + nodes[:7]
    for radius in (None, 0, 3, 1000):
        want = vornkit.ball_volumes(g, centres, radius)
        native = vornkit.ball_volumes(engine, centres, radius)
        assert native.shape[1] == (radius + 1 if radius is not None else native.shape[1])
        np.testing.assert_array_equal(native, want)
        for layout in ("plain", "coded", "store"):
            np.testing.assert_array_equal(analysis.ball_volumes(engine, centres, radius, layout=layout), want)

    # Components, isolated vertices included.
    ids, labels = analysis.components(engine)
    assert sorted(ids.tolist()) == nodes
    groups = {}
    for v, c in zip(ids.tolist(), labels.tolist()):
        groups.setdefault(c, set()).add(v)
    assert sorted(map(sorted, groups.values())) == sorted(map(sorted, nx.connected_components(g)))

    # The picture's selection: the same hyperedges as the Python walk.
    edges = engine.get_edges()
    for limit in (1, 5, len(edges) // 2, len(edges) + 3):
        for seed_ in range(4):
            want, centre = local_part(edges, limit, seed_)
            assert analysis.nearest_edges(engine, centre, limit) == want
            assert _local_part_of_engine(engine, limit, seed_) == (want, centre)


def test_estimates_through_the_engine_match_the_edge_list_for_the_same_centres(engine):
    vornkit.start(engine, "{{1,2},{1,3}}", GROWTH_RULE)
    vornkit.reseed(engine, 5)
    engine.run(3000)
    est = vornkit.estimate_dimension(engine, samples=30, seed=4)
    assert len(set(est.centres)) == 30
    table = vornkit.ball_volumes(engine.get_edges(), est.centres)
    np.testing.assert_allclose(est.volumes, table.mean(axis=0))
    assert 1.5 < est.dimension < 5
    # A fit range beyond the largest radius is clamped.
    wide = vornkit.estimate_dimension(engine, samples=30, seed=4, fit_range=(2, 10 ** 6))
    assert wide.fit_range == (2, len(wide.volumes) - 1)


def test_bad_input(engine):
    with pytest.raises(ValueError, match="cannot estimate the dimension of an empty hypergraph"):
        vornkit.estimate_dimension(engine)
    vornkit.start(engine, "{{1,2},{2,3}}")
    v = engine.get_vertices()
    missing = max(v) + 1000
    for call in (lambda: analysis.distances(engine, missing), lambda: analysis.nearest_edges(engine, missing, 3),
                 lambda: vornkit.ball_volumes(engine, [v[0], missing])):
        with pytest.raises(ValueError, match=f"^vertex {missing} is not in the hypergraph$"):
            call()
    with pytest.raises(ValueError, match="vertex -1 is not in the hypergraph"):
        analysis.distances(engine, -1)
    with pytest.raises(ValueError, match="max_radius"):
        analysis.distances(engine, v[0], -1)
    with pytest.raises(ValueError, match="max_radius"):
        vornkit.ball_volumes(engine, v, -2)
    with pytest.raises(ValueError, match="samples"):
        vornkit.estimate_dimension(engine, samples=0)
    with pytest.raises(ValueError, match="at least 0"):
        analysis.nearest_edges(engine, v[0], -1)
    with pytest.raises(TypeError):
        analysis.components([[1, 2]])
    assert vornkit.ball_volumes(engine, []).shape == (0, 1)


def test_native_refusals_leave_the_engine_usable(engine):
    """The native half's own refusals: each raises its error, with its text, and
    gives back the engine's access (a later call is served)."""
    from vornkit._companion import native
    vornkit.start(engine, "{{1,2},{2,3}}")
    v = engine.get_vertices()
    with pytest.raises(ValueError, match="^centres must be a buffer of int64 vertex ids$"):
        native().ball_volumes(engine, b"\x01\x02\x03", None, 0, 0.0)
    with pytest.raises(ValueError, match="^layout must be 0, 1, 2 or 3$"):
        native().ball_volumes(engine, np.array(v[:1], dtype=np.int64).tobytes(), None, 4, 0.0)
    with pytest.raises(ValueError, match="^layout must be one of 'auto', 'plain', 'coded', 'store', got 'x'$"):
        analysis.ball_volumes(engine, v[:1], layout="x")
    with pytest.raises(ValueError, match="^the number of hyperedges must be at least 0, got -4$"):
        native().nearest_edges(engine, v[0], -4)
    with pytest.raises(TypeError, match=r"^ball_volumes\(\) takes 5 arguments \(1 given\)$"):
        native().ball_volumes(engine)
    with pytest.raises(TypeError, match="^expected a vorn.Engine, got 'str'$"):
        native().causal_past("engine", v[0])
    assert analysis.distances(engine, v[0]) is not None
    assert engine.step() in (True, False)


@pytest.fixture(scope="module")
def big():
    engine = vorn.Engine()
    vornkit.start(engine, "{{1,2},{1,3}}", GROWTH_RULE)
    engine.run(200_000)
    centres = analysis.two_section_nodes(engine)[::97][:1600].tolist()
    return engine, centres


def test_a_long_call_lets_other_threads_run_and_refuses_changes(big):
    engine, centres = big
    attempts, stop = [], threading.Event()  # (start, end, refusal or None)

    def other():
        while not stop.is_set():
            start, refusal = time.perf_counter(), None
            try:
                if engine.step():
                    engine.rollback()
            except RuntimeError as exc:
                refusal = str(exc)
            attempts.append((start, time.perf_counter(), refusal))
            time.sleep(0.005)

    # The native call itself, so that the whole window is spent under the
    # borrow flag.
    packed = np.asarray(centres, dtype=np.int64).tobytes()
    thread = threading.Thread(target=other)
    thread.start()
    t0 = time.perf_counter()
    try:
        vornkit._native.ball_volumes(engine, packed, None, 0, 0.0)
    finally:
        t1 = time.perf_counter()
        stop.set()
        thread.join()
    during = [refusal for start, end, refusal in attempts if t0 < start and end < t1]
    assert t1 - t0 > 0.2, "the call was too short to tell"
    assert len(during) >= 5, (len(during), t1 - t0)
    # (One attempt may slip in between the flag's release and the clock read.)
    assert during.count("Already borrowed") >= len(during) - 1
    assert set(during) <= {"Already borrowed", None}


def interrupt_after(delay):
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("call", ["ball_volumes", "components_loop"])
def test_ctrl_c_stops_a_long_call_quickly(big, call):
    engine, centres = big
    edges = engine.edge_count()
    raised = None
    timer = interrupt_after(0.3)
    start = time.perf_counter()
    try:
        if call == "ball_volumes":
            vornkit.ball_volumes(engine, centres)
        else:
            for _ in range(1000):
                analysis.components(engine)
    except KeyboardInterrupt:
        raised = time.perf_counter()
    finally:
        timer.cancel()
    assert raised is not None, "the call finished before the signal"
    assert raised - start - 0.3 < 0.15
    assert engine.edge_count() == edges
    engine.step()  # the borrow flag was given back
    engine.rollback()


def test_causal_reads_release_the_gil():
    engine = vorn.Engine()
    vornkit.start(engine, "{{1,2},{1,3}}", GROWTH_RULE)
    engine.run(4000)
    target = engine.get_vertices()[-1]
    ticks, stop = [], threading.Event()

    def other():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.002)

    thread = threading.Thread(target=other)
    thread.start()
    t0 = time.perf_counter()
    past = vornkit.causal_past(engine, target)
    t1 = time.perf_counter()
    stop.set()
    thread.join()
    assert target in set(past)
    if t1 - t0 > 0.1:
        assert len([t for t in ticks if t0 < t < t1]) >= 0.2 * (t1 - t0) / 0.002


def test_many_centres_on_a_large_graph_agree_with_single_searches(big):
    # More centres than one machine word holds: two batches, each row still
    # the cumulative count of its own centre's distances, in the given order.
    engine, centres = big
    chosen = centres[:70]
    table = analysis.ball_volumes(engine, chosen)
    for row, c in zip(table, chosen):
        _, dist = analysis.distances(engine, c)
        expected = np.cumsum(np.bincount(dist))
        assert row[:len(expected)].tolist() == expected.tolist()
        assert (row[len(expected):] == expected[-1]).all()


def test_ids_in_text_order_without_making_texts():
    rng = np.random.default_rng(5)
    for ids in (np.array([0, 1, 2, 9, 10, 11, 19, 100, 101, 1000, 99, 20]),
                np.unique(rng.integers(0, 10 ** 7, 3000)), np.unique(rng.integers(0, 10 ** 17, 3000))):
        assert ids[_text_order(ids)].tolist() == sorted(ids.tolist(), key=repr)


@pytest.mark.parametrize("layout", ["plain", "coded", "store"])
def test_a_bounded_search_stops_at_the_first_radius_past_the_bound(big, layout):
    engine, centres = big
    small = random_engine("SPO", 2)  # several components, isolated vertices
    # One pass of 50 centres, two of 70 (the first searched further than the bound, then cut).
    for graph, chosen in ((engine, centres[:50]), (engine, centres[:70]),
                          (small, analysis.two_section_nodes(small)[::3].tolist())):
        full = analysis.ball_volumes(graph, chosen, layout=layout)
        totals = full.sum(axis=0)
        for fraction in (1e-9, 0.05, 0.2, 0.9):
            part, sizes = analysis.bounded_ball_volumes(graph, chosen, fraction, layout=layout)
            assert sizes.tolist() == full[:, -1].tolist()  # each centre's component
            if layout == "store":  # no copy to number the components: the search goes all the way
                assert (part == full).all()
                continue
            bound = fraction * sizes.sum()
            stop = int(np.argmax(totals > bound)) if (totals > bound).any() else len(totals) - 1
            assert part.shape[1] - 1 in (stop, stop + 1), fraction  # (a hair past the bound)
            assert totals[part.shape[1] - 1] > bound and (part == full[:, :part.shape[1]]).all()


@pytest.mark.parametrize("semantics, seed", [("DPO", 1), ("SPO", 2), ("SPO", 3)])
def test_the_series_dimension_equals_the_full_estimate(semantics, seed, big):
    from vornkit.dimension import dimension_of

    # Small engines with several components and isolated vertices, then a
    # large connected one; 50 centres (one pass, bounded) and 80 (two passes).
    small = random_engine(semantics, seed)
    assert len(set(analysis.components(small)[1].tolist())) > 1
    for engine in (small, big[0]):
        for samples, fraction in ((50, 0.2), (80, 0.2), (50, 0.5)):
            expected = vornkit.estimate_dimension(engine, samples, seed=seed, max_fraction=fraction).dimension
            got = dimension_of(engine, samples, seed=seed, max_fraction=fraction)
            assert got == expected or (np.isnan(got) and np.isnan(expected)), (samples, fraction)
