from collections import deque

import matplotlib.image as mpimg
import numpy as np
import pytest

import vornkit
from conftest import GROWTH_RULE, vorn

# Growth, deletion (SPO removes the hyperedges on a deleted vertex too) and
# a rule that reverses hyperedges, so pairs come in both directions.
MIXED_RULES = GROWTH_RULE + "; {{x,y}} -> {} @ 0.05; {{x,y}} -> {{y,x,z}} @ 0.3"


def replayed_depths(links):
    """Depths from replaying the pairs in order: 1 at first sight, then max(own, cause's + 1)."""
    depth = {}
    for a, b in zip(links.causes.tolist(), links.effects.tolist()):
        depth[b] = max(depth.get(b, 1), depth.get(a, 1) + 1)
    return [depth.get(v, 1) for v in links.vertices.tolist()]


def random_run(seed, semantics="SPO", rules=MIXED_RULES, horizon=None, steps=150, rollbacks=0.3):
    """A reproducible run of single steps, a share ``rollbacks`` of them rolled back."""
    engine = vorn.Engine()
    vornkit.reseed(engine, seed)
    engine.set_semantics(semantics)
    if horizon is not None:
        engine.set_causal_horizon(horizon)
    vornkit.start(engine, "{{1,2},{1,3},{3,4,5}}", rules)
    rng = np.random.default_rng(seed)
    rolled_back = 0
    for _ in range(steps):
        before = vornkit.causal_links(engine)
        if engine.step() and rng.random() < rollbacks:
            assert engine.rollback()
            rolled_back += 1
            after = vornkit.causal_links(engine)  # the undone step left nothing behind
            assert all(np.array_equal(x, y) for x, y in zip(before, after))
    assert rolled_back > 5 or not rollbacks
    return engine


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_recorded_links_agree_with_the_exact_relation(seed):
    engine = random_run(seed)
    links = vornkit.causal_links(engine)
    pairs = list(zip(links.causes.tolist(), links.effects.tolist()))
    assert len(set(pairs)) == len(pairs) and all(a != b for a, b in pairs)
    assert any((b, a) in set(pairs) for a, b in pairs)  # the reversing rule made cycles
    assert set(links.causes.tolist()) | set(links.effects.tolist()) <= set(links.vertices.tolist())
    assert len(set(links.vertices.tolist())) == len(links.vertices)
    assert links.depths.tolist() == replayed_depths(links)
    live = set(vornkit.vertices_array(engine).tolist())
    assert live <= set(links.vertices.tolist()) and len(live) < len(links.vertices)  # deletions happened
    # Every recorded pair between live vertices is in the exact relation, seen
    # from the cause. (Not always from the effect: propagation follows the
    # links, a deleted vertex takes its links along, and the sets keep what
    # was known through it; a pair recorded when its effect was already in the
    # cause's future changes nothing. Without deletions both sides hold, below.)
    checked = 0
    for a, b in pairs:
        if a in live and b in live:
            assert b in vornkit.causal_future(engine, a)
            checked += 1
    assert checked > 50
    v = next(iter(live))
    past = vornkit.causal_past(engine, v)
    assert past.dtype == np.int64 and v in past and np.all(np.diff(past) > 0)
    gone = sorted(set(links.vertices.tolist()) - live)[0]
    assert len(vornkit.causal_past(engine, gone)) == 0 and len(vornkit.causal_future(engine, gone)) == 0


@pytest.mark.parametrize("seed", [2, 3, 8])
def test_without_deletions_recorded_pairs_hold_from_both_sides(seed):
    engine = random_run(seed, rules=GROWTH_RULE + "; {{x,y}} -> {{y,x,z}} @ 0.3")
    links = vornkit.causal_links(engine)
    pairs = list(zip(links.causes.tolist(), links.effects.tolist()))
    assert any((b, a) in set(pairs) for a, b in pairs)
    for a, b in pairs:
        assert b in vornkit.causal_future(engine, a) and a in vornkit.causal_past(engine, b)


def test_without_deletions_undos_or_horizon_the_future_is_the_closure_of_the_pairs():
    # (An undone step's pairs between older vertices stay in the engine's sets.)
    engine = random_run(4, semantics="DPO", rules=GROWTH_RULE + "; {{x,y}} -> {{y,x}} @ 0.3", horizon=0,
                        rollbacks=0)
    links = vornkit.causal_links(engine)
    effects = {}
    for a, b in zip(links.causes.tolist(), links.effects.tolist()):
        effects.setdefault(a, []).append(b)
    for v in links.vertices.tolist()[::7]:
        reached, queue = {v}, deque([v])
        while queue:
            for w in effects.get(queue.popleft(), ()):
                if w not in reached:
                    reached.add(w)
                    queue.append(w)
        assert vornkit.causal_future(engine, v).tolist() == sorted(reached)


def ordered_bfs(links, count):
    """The causal picture's choice, walked one vertex at a time: from the newest vertex, each
    reached vertex adds its effects, then its causes, each in order of appearance."""
    index = {v: i for i, v in enumerate(links.vertices.tolist())}
    effects, causes = {}, {}
    for a, b in zip(links.causes.tolist(), links.effects.tolist()):
        effects.setdefault(index[a], set()).add(index[b])
        causes.setdefault(index[b], set()).add(index[a])
    n = len(index)
    order, seen, queue = [n - 1], {n - 1}, deque([n - 1])
    while queue:
        u = queue.popleft()
        for w in sorted(effects.get(u, ())) + sorted(causes.get(u, ())):
            if w not in seen:
                seen.add(w)
                order.append(w)
                queue.append(w)
    order += [i for i in range(n - 1, -1, -1) if i not in seen]
    return sorted(order[:count])


@pytest.mark.parametrize("seed, rules", [(1, GROWTH_RULE), (2, MIXED_RULES)])
def test_causal_picture_draws_the_vertices_nearest_the_newest(seed, rules, monkeypatch):
    import networkx as nx
    from vornkit import causal

    engine = random_run(seed, rules=rules, steps=300, rollbacks=0)
    links = vornkit.causal_links(engine)
    ids = links.vertices.tolist()
    # The newest vertex is only ever an effect: a walk along the arrows alone would stop there.
    distance = nx.single_source_shortest_path_length(vornkit.causal_graph(links).to_undirected(), ids[-1])
    for count in (1, 7, 60, 250):
        chosen = causal._nearest_newest(links, count)
        drawn = [ids[i] for i in chosen]
        assert len(drawn) == len(set(drawn)) == count
        far = max(distance[v] for v in drawn)
        assert {v for v, d in distance.items() if d < far} <= set(drawn)
        assert chosen.tolist() == ordered_bfs(links, count)
        monkeypatch.setattr(causal, "SCANNED_LEVELS", 1)  # the rest of the walk through scipy
        assert causal._nearest_newest(links, count).tolist() == chosen.tolist()
        monkeypatch.undo()

    # Two parts: the newest vertex's part first, then the newest of the others.
    two = vornkit.CausalLinks(np.array([1, 5, 7]), np.array([2, 6, 8]), np.array([1, 2, 5, 6, 7, 8, 9]),
                              np.ones(7, dtype=np.int64))
    assert causal._nearest_newest(two, 3).tolist() == [4, 5, 6]  # 9 alone, then 8 and 7
    # Ids too far apart for a table are looked up by sorting.
    far_ids = two._replace(causes=two.causes * 10**15, effects=two.effects * 10**15,
                           vertices=two.vertices * 10**15)
    assert causal._nearest_newest(far_ids, 3).tolist() == [4, 5, 6]
    # Pairs naming vertices not listed (links put together by hand) are left out, not misread.
    stray = two._replace(causes=np.array([1, 5, 7, 3, 10**6]), effects=np.array([2, 6, 8, 9, 9]))
    assert causal._nearest_newest(stray, 3).tolist() == [4, 5, 6]
    lone = two._replace(causes=np.array([9, 8]), effects=np.array([2, 1]))
    assert causal._nearest_newest(lone, 4).tolist() == ordered_bfs(lone, 4) == [1, 4, 5, 6]  # 9, 2, then 8 and 7


@pytest.mark.parametrize("seed, rules, rollbacks", [(3, GROWTH_RULE, 0.0), (4, MIXED_RULES, 0.3)])
def test_native_picture_part_equals_the_part_chosen_from_the_links(seed, rules, rollbacks):
    from vornkit import causal

    engine = random_run(seed, rules=rules, steps=300, rollbacks=rollbacks)
    links, live = causal.links_and_live(engine)
    for count in (1, 7, 60, 250, None):
        native, listed = causal.picture_part(engine, count), causal.picture_part(links, count)
        assert (native.total, native.pairs) == (listed.total, listed.pairs) == (len(links.vertices), len(links.causes))
        for field in ("ids", "depths", "a", "b"):
            assert getattr(native, field).tolist() == getattr(listed, field).tolist(), (count, field)
        chosen = np.flatnonzero(np.isin(links.vertices, native.ids))
        assert native.alive.tolist() == live[chosen].tolist()
    if rules == MIXED_RULES:
        assert not live.all()  # deleted vertices are drawn hollow: the flags were tested


def test_causal_graph_and_its_picture(tmp_path):
    engine = random_run(5, steps=400)
    links = vornkit.causal_links(engine)
    g = vornkit.causal_graph(engine)
    assert list(g.nodes) == links.vertices.tolist()
    assert sorted(g.edges) == sorted(zip(links.causes.tolist(), links.effects.tolist()))
    assert g.number_of_edges() == len(links.causes)
    live = set(engine.get_vertices())
    assert [g.nodes[v]["depth"] for v in g] == links.depths.tolist()
    assert {v for v in g if g.nodes[v]["live"]} == live

    path = tmp_path / "causal.png"
    fig = vornkit.plot_causal_graph(engine, path, max_vertices=100, time="down", figsize=(4, 3), dpi=100)
    assert mpimg.imread(path).shape[:2] == (300, 400)
    ax = fig.axes[0]
    assert f"{len(links.vertices):,} vertices" in ax.get_title() and "showing the 100 vertices" in ax.get_title()
    assert ax.yaxis_inverted() and ax.get_ylabel() == "causal depth"
    assert sum(len(c.get_offsets()) for c in ax.collections[1:]) == 100  # live and deleted vertices
    with pytest.raises(ValueError, match="time"):
        vornkit.plot_causal_graph(links, time="sideways")
    empty = vornkit.plot_causal_graph(vorn.Engine())
    assert empty.axes[0].texts[0].get_text() == "no vertices yet"
