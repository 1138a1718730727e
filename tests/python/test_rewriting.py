"""Rewriting behaviour seen through the Engine: steps, rollback, semantics,
rule choice, progress output and counters.

The engine draws its anchors and rules from a generator that Python cannot
seed, so the tests either build graphs on which every anchor behaves alike or
retry a step until it fires.
"""

import io
import os
import subprocess
import sys
from collections import Counter
from contextlib import redirect_stdout

import pytest

from vorn import Engine

from engine_state import engine_state

GROWTH_LHS = [["x", "y"], ["x", "z"]]
GROWTH_KEPT = ["x", "y", "z"]
GROWTH_RHS = [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]]


# --- helpers ---------------------------------------------------------------------

def seed(engine, rhs):
    """Add the hyperedges `rhs` (over fresh vertices) with a one-off rule."""
    engine.clear_rules()
    engine.add_rule([], [], rhs, 1.0)
    assert engine.step() is True
    engine.clear_rules()


state = engine_state


def step_until_fired(engine, tries=500):
    for _ in range(tries):
        if engine.step():
            return
    raise AssertionError(f"no step fired in {tries} attempts")


def growth_engine(semantics="DPO"):
    engine = Engine()
    engine.set_semantics(semantics)
    seed(engine, [["a", "b"], ["a", "c"]])
    engine.add_rule(GROWTH_LHS, GROWTH_KEPT, GROWTH_RHS, 1.0)
    return engine


# --- the growth rule ---------------------------------------------------------------

@pytest.mark.parametrize("semantics", ["DPO", "SPO"])
def test_growth_rule_adds_one_vertex_and_two_edges_per_step(semantics):
    engine = growth_engine(semantics)
    fired = 0
    for _ in range(300):
        degrees = engine.get_degree_map()
        nodes, edges = engine.node_count(), engine.edge_count()
        if not engine.step():
            assert engine.get_degree_map() == degrees
            continue
        fired += 1
        after = engine.get_degree_map()
        (w,) = set(after) - set(degrees)
        assert set(degrees) <= set(after)
        assert w > max(degrees)
        assert (engine.node_count(), engine.edge_count()) == (nodes + 1, edges + 2)
        # x and y lose one hyperedge and gain one; z gains one more; w gets three.
        assert after[w] == 3
        changed = {v: after[v] - degrees[v] for v in degrees if after[v] != degrees[v]}
        assert list(changed.values()) == [1]
        (z,) = changed
        into_w = [e for e in engine.get_edges() if w in e]
        assert all(len(e) == 2 and e[1] == w for e in into_w)
        sources = {e[0] for e in into_w}
        assert len(sources) == 3 and z in sources
        x_candidates = [e[0] for e in engine.get_edges() if len(e) == 2 and e[1] == z and e[0] in sources]
        assert x_candidates, "the hyperedge (x, z) is recreated"
    assert fired >= 100
    assert sum(engine.get_degree_map().values()) == 2 * engine.edge_count()
    assert engine.get_isolated_vertices() == []


def test_growth_step_and_rollback_round_trip():
    engine = growth_engine()
    for _ in range(30):
        step_until_fired(engine)
    for _ in range(30):
        before = state(engine)
        step_until_fired(engine)
        assert state(engine) != before
        assert engine.rollback() is True
        assert state(engine) == before
        assert engine.rollback() is False


def test_new_ids_are_not_reused_after_rollback():
    engine = growth_engine()
    step_until_fired(engine)
    seen_vertices = set(engine.get_vertices())
    seen_edges = set(engine.get_edge_size_map())
    for _ in range(10):
        step_until_fired(engine)
        new_vertices = set(engine.get_vertices()) - seen_vertices
        new_edges = set(engine.get_edge_size_map()) - seen_edges
        assert len(new_vertices) == 1 and len(new_edges) == 4
        assert min(new_vertices) > max(seen_vertices)
        assert min(new_edges) > max(seen_edges)
        seen_vertices |= new_vertices
        seen_edges |= new_edges
        assert engine.rollback() is True
        assert not set(engine.get_vertices()) & new_vertices
        assert not set(engine.get_edge_size_map()) & new_edges


# --- rollback ----------------------------------------------------------------------

@pytest.mark.parametrize("graph, pairs_before", [
    ([["a", "b"]], 1),
    ([["a", "b"], ["b", "a"]], 1),
    ([["a", "b"], ["b", "c"], ["c", "a", "d"]], 5),
])
def test_splitting_an_edge_and_rolling_back_keeps_the_pair_count(graph, pairs_before):
    engine = Engine()
    seed(engine, graph)
    assert engine.get_structural_pair_count() == pairs_before
    engine.add_rule([["x", "y"]], ["x", "y"], [["x", "m"], ["m", "y"]], 1.0)
    before = state(engine)
    step_until_fired(engine)
    assert engine.node_count() == len(before["vertices"]) + 1
    # The matcher also accepts a longer hyperedge such as (c, a, d) for (x, y);
    # removal wants the exact length, so then nothing is removed.
    assert engine.edge_count() - sum(before["edges"].values()) in (1, 2)
    assert engine.rollback() is True
    assert state(engine) == before


def test_rollback_restores_pair_count_when_new_hyperedges_share_a_pair():
    engine = Engine()
    seed(engine, [["p", "q"]])
    engine.add_rule([], [], [["a", "b"], ["a", "b"]], 1.0)
    assert engine.step() is True
    # (a, b) counts once: the second copy is covered by the first.
    assert engine.get_structural_pair_count() == 2
    assert engine.rollback() is True
    assert engine.node_count() == 2 and engine.edge_count() == 1
    assert engine.get_structural_pair_count() == 1


def test_rollback_restores_pair_count_of_overlapping_removed_hyperedges():
    # The graph holds (a, b) and (a, b, a, b); the second was added while the
    # first covered all its pairs, so the count is 1. Deleting a removes both;
    # rollback has to come back to 1 whatever order it restores them in.
    for _ in range(30):
        engine = Engine()
        seed(engine, [["a", "b"]])
        engine.add_rule([["x", "y"]], ["x", "y"], [["x", "y"], ["x", "y", "x", "y"]], 1.0)
        assert engine.step() is True
        engine.clear_rules()
        before = state(engine)
        assert before["pairs"] == 1
        engine.set_semantics("SPO")
        engine.add_rule([["x"]], [], [], 1.0)
        assert engine.step() is True
        assert engine.edge_count() == 0
        assert engine.rollback() is True
        assert state(engine) == before


def test_failed_step_ends_the_possibility_of_rollback():
    engine = Engine()
    seed(engine, [["a", "b"]])
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)
    assert engine.step() is True
    after_first = state(engine)
    assert engine.step() is False  # no hyperedge left to match
    assert engine.rollback() is False
    assert state(engine) == after_first
    assert engine.edge_count() == 0 and len(engine.get_isolated_vertices()) == 2


def test_rules_cleared_after_a_step_end_the_possibility_of_rollback():
    engine = Engine()
    engine.add_rule([], [], [["a"]], 1.0)
    assert engine.step() is True
    engine.clear_rules()
    assert engine.step() is False
    assert engine.rollback() is False
    assert engine.node_count() == 1


def test_calls_that_do_not_step_keep_the_undo_record():
    engine = Engine()
    seed(engine, [["a", "b"]])
    before = state(engine)
    engine.add_rule([["x", "y"]], ["x", "y"], [["x", "n"]], 1.0)
    step_until_fired(engine)
    engine.run(0)
    engine.reset_counters()
    engine.add_rule([], [], [["q"]], 1.0)
    engine.set_semantics("SPO")
    engine.get_degree_map()
    assert engine.rollback() is True
    assert state(engine) == before
    assert engine.rollback() is False


def test_two_steps_then_rollback_reverts_only_the_second():
    engine = Engine()
    engine.set_semantics("SPO")
    # No two hyperedges share a pair of vertices, so the pair count does not
    # depend on the order in which a rollback restores them.
    seed(engine, [["a", "b", "c"], ["c", "d"], ["d", "a"], ["e"], ["f", "f", "g"]])
    for i, v in enumerate(engine.get_vertices()):
        engine.set_observable(v, "mass", float(i))
    engine.add_rule([["x"]], [], [], 1.0)  # deletes the anchor and its hyperedges
    engine.reset_counters()
    assert engine.step() is True
    after_first = state(engine)
    assert engine.step() is True
    assert engine.node_count() == 5
    assert engine.rollback() is True
    assert state(engine) == after_first
    assert engine.rollback() is False
    assert engine.get_attempted_rewrites() == engine.get_successful_rewrites() == 1


def test_rollback_after_reset_counters_keeps_counters_at_zero():
    engine = growth_engine()
    for _ in range(500):
        before = state(engine)
        if engine.step():
            break
    else:
        raise AssertionError("the growth rule never fired")
    engine.reset_counters()
    assert engine.rollback() is True
    assert state(engine) == before
    assert engine.get_attempted_rewrites() == engine.get_successful_rewrites() == 0


def test_observables_after_rollback():
    engine = Engine()
    engine.set_semantics("SPO")
    seed(engine, [["a", "b"], ["b", "c"]])
    (a, b), (_, c) = sorted(engine.get_edges())
    for v, mass in ((a, 1.0), (b, 2.0), (c, 3.0)):
        engine.set_observable(v, "mass", mass)
    # Anchored at b the rule deletes a or c; anchored at a or c it deletes b.
    engine.add_rule([["x", "y"]], ["x"], [["x", "n"]], 1.0)
    assert engine.step() is True
    (gone,) = {a, b, c} - set(engine.get_vertices())
    (new,) = set(engine.get_vertices()) - {a, b, c}
    survivor = next(iter({a, b, c} - {gone}))
    engine.set_observable(new, "mass", 9.0)
    engine.set_observable(survivor, "mass", -1.0)
    engine.set_observable(survivor, "spin", 0.5)
    expected = {a: {"mass": 1.0}, b: {"mass": 2.0}, c: {"mass": 3.0}}
    expected[survivor] = {"mass": -1.0, "spin": 0.5}
    assert engine.rollback() is True
    # The deleted vertex returns with what it had; a survivor keeps what it has now.
    assert engine.get_all_observables() == expected
    with pytest.raises(ValueError):
        engine.get_observable(new, "mass")


def test_rollback_counters():
    engine = Engine()
    assert engine.rollback() is False
    assert engine.get_attempted_rewrites() == engine.get_successful_rewrites() == 0
    engine.add_rule([], [], [["a"]], 1.0)
    engine.run(4)
    assert engine.rollback() is True
    assert (engine.get_attempted_rewrites(), engine.get_successful_rewrites()) == (3, 3)
    assert engine.node_count() == 3


# --- DPO and SPO -------------------------------------------------------------------

@pytest.mark.parametrize("kept", [["x"], ["y"]])  # deletes y, or x: the anchor, variable 0
def test_dpo_refuses_a_dangling_deletion_that_spo_performs(kept):
    engine = Engine()
    seed(engine, [["a", "b"], ["b", "c"], ["c", "a"]])
    engine.reset_counters()
    triangle = state(engine)
    engine.add_rule([["x", "y"]], kept, [], 1.0)
    for _ in range(100):
        assert engine.step() is False  # every vertex lies on a second hyperedge
    assert state(engine) == triangle
    assert engine.get_successful_rewrites() == 0

    engine.set_semantics("spo")
    assert engine.step() is True  # a one-variable anchor always finds a neighbour
    assert engine.node_count() == 2 and engine.edge_count() == 1
    (gone,) = triangle["vertices"] - set(engine.get_vertices())
    assert all(gone not in e for e in engine.get_edges())
    assert engine.rollback() is True
    assert state(engine) == triangle


def test_dpo_deletes_a_vertex_whose_hyperedges_are_all_matched():
    engine = Engine()
    seed(engine, [["a", "b"]])
    engine.add_rule([["x", "y"]], ["x"], [], 1.0)
    assert engine.get_semantics() == "DPO"
    assert engine.step() is True
    assert engine.node_count() == 1 and engine.edge_count() == 0
    assert engine.get_isolated_vertices() == engine.get_vertices()


# --- the anchor ---------------------------------------------------------------------

def test_every_slot_of_the_vertex_list_is_drawn_as_the_anchor():
    # A one-variable rule rewrites only its anchor: each step adds a
    # one-vertex hyperedge there. Missing a slot would leave its vertex alone
    # (for two vertices and 64 steps, by chance with probability 2**-63).
    engine = Engine()
    seed(engine, [["a"], ["b"]])
    engine.add_rule([["x"]], ["x"], [["x"], ["x"]], 1.0)
    engine.run(64)
    degrees = engine.get_degree_map()
    assert len(degrees) == 2 and sum(degrees.values()) == 2 + 64
    assert min(degrees.values()) > 1


# --- rule choice by weight -----------------------------------------------------------

def test_weighted_choice_follows_the_weights():
    engine = Engine()
    engine.add_rule([], [], [["p"]], 1.0)  # makes a hyperedge of size 1
    engine.add_rule([], [], [["p", "q"]], 3.0)  # makes one of size 2
    engine.run(4000)
    sizes = Counter(engine.get_edge_size_map().values())
    assert sizes[1] + sizes[2] == 4000
    assert abs(sizes[1] / 4000 - 0.25) < 0.04


def test_rule_choice_with_extreme_weight_ratios():
    engine = Engine()
    engine.add_rule([], [], [["p"]], 1e-300)
    engine.add_rule([], [], [["p", "q", "r"]], 1.0)
    engine.run(200)
    assert Counter(engine.get_edge_size_map().values()) == {3: 200}
    # A rule added now takes part from the next step on.
    engine.add_rule([], [], [["p", "q"]], 1e300)
    engine.run(200)
    assert Counter(engine.get_edge_size_map().values()) == {3: 200, 2: 200}


# --- rules with a left-hand side on an empty graph --------------------------------------

@pytest.mark.parametrize("semantics", ["DPO", "SPO"])
def test_rule_with_a_left_hand_side_does_not_fire_on_an_empty_graph(semantics):
    engine = Engine()
    engine.set_semantics(semantics)
    engine.add_rule([["x"]], [], [["x", "y"]], 1.0)
    engine.add_rule([["x"]], ["x"], [["x"], ["y"]], 1.0)
    for _ in range(20):
        assert engine.step() is False
    assert (engine.node_count(), engine.edge_count()) == (0, 0)
    assert engine.get_successful_rewrites() == 0 and engine.rollback() is False
    engine.clear_rules()
    engine.add_rule([], [], [["u", "v"]], 1.0)
    assert engine.step() is True  # an empty left-hand side matches anywhere
    assert engine.node_count() == 2 and engine.edge_count() == 1


def test_one_variable_rule_matches_an_isolated_vertex():
    engine = Engine()
    seed(engine, [["a", "b"]])
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)
    assert engine.step() is True
    engine.clear_rules()
    isolated = set(engine.get_isolated_vertices())
    assert len(isolated) == 2
    engine.add_rule([["x"]], ["x"], [["x", "n"]], 1.0)
    assert engine.step() is True
    (edge,) = engine.get_edges()
    assert edge[0] in isolated and edge[1] not in isolated
    assert engine.node_count() == 3


# --- names in both sides that are not kept -------------------------------------------------

@pytest.mark.parametrize("semantics", ["DPO", "SPO"])
def test_name_on_both_sides_survives_even_when_not_kept(semantics):
    engine = Engine()
    engine.set_semantics(semantics)
    seed(engine, [["a", "b"]])
    (a, b), = engine.get_edges()
    engine.set_observable(a, "mass", 1.0)
    engine.set_observable(b, "mass", 2.0)
    before = state(engine)
    engine.add_rule([["x", "y"]], ["x"], [["x", "y"], ["y", "z"]], 1.0)
    assert engine.step() is True
    live = set(engine.get_vertices())
    assert {a, b} <= live and len(live) == 3
    assert all(set(e) <= live for e in engine.get_edges())
    assert engine.get_all_observables()[a] == {"mass": 1.0}
    assert engine.get_all_observables()[b] == {"mass": 2.0}
    assert engine.rollback() is True
    assert state(engine) == before


def test_name_only_on_the_left_and_not_kept_is_deleted():
    engine = Engine()
    seed(engine, [["a", "b"]])
    engine.add_rule([["x", "y"]], ["x"], [["x", "z"]], 1.0)
    assert engine.step() is True
    live = set(engine.get_vertices())
    assert len(live) == 2
    (edge,) = engine.get_edges()
    assert set(edge) == live


# --- the total of the weights ----------------------------------------------------------------

def test_weights_whose_total_overflows_are_refused():
    engine = Engine()
    engine.add_rule([], [], [["p"]], 1e308)
    with pytest.raises(ValueError, match="(?i)total.*finite"):
        engine.add_rule([], [], [["p", "q"]], 1e308)
    engine.add_rule([], [], [["p", "q", "r"]], 7e307)  # the total stays below the largest double
    with pytest.raises(ValueError, match="(?i)total.*finite"):
        engine.add_rule([], [], [["p", "q"]], sys.float_info.max)
    engine.run(1000)
    sizes = Counter(engine.get_edge_size_map().values())
    assert set(sizes) == {1, 3}  # the refused rules were never added
    assert sizes[1] + sizes[3] == 1000 and sizes[1] > sizes[3] > 0  # weights 10 : 7
    engine.clear_rules()
    engine.add_rule([], [], [["p", "q"]], sys.float_info.max)  # a cleared engine starts again from 0
    assert engine.step() is True


# --- progress lines and the semantics warning ---------------------------------------------------

def progress(engine):
    engine.set_verbose(True)
    engine.set_print_interval(1)
    return engine


@pytest.mark.parametrize("verbose, interval, steps, expected", [
    (True, 1, 3, "Step 1...\nStep 2...\nStep 3...\n"),
    (True, 2, 5, "Step 2...\nStep 4...\n"),
    (True, 3, 7, "Step 3...\nStep 6...\n"),
    (False, 1, 3, ""),
    (True, 0, 3, ""),
])
def test_progress_lines(capfd, verbose, interval, steps, expected):
    engine = Engine()
    engine.add_rule([], [], [["a"]], 1.0)
    engine.set_verbose(verbose)
    engine.set_print_interval(interval)
    engine.run(steps)
    assert capfd.readouterr().out == expected


def test_progress_lines_bypass_sys_stdout(capfd):
    engine = progress(Engine())
    buffer = io.StringIO()
    with redirect_stdout(buffer):
        engine.step()
    assert buffer.getvalue() == ""
    assert capfd.readouterr().out == "Step 1...\n"


def test_progress_numbering_across_counters_rollback_and_clearing(capfd):
    engine = progress(Engine())
    engine.add_rule([], [], [["a"]], 1.0)
    engine.run(2)
    engine.reset_counters()
    engine.step()  # the numbering goes on
    assert engine.rollback() is True  # the step number goes back by one
    engine.step()
    engine.clear_graph()  # the numbering restarts
    engine.step()
    assert capfd.readouterr().out == "Step 1...\nStep 2...\nStep 3...\nStep 3...\nStep 1...\n"


def test_progress_lines_are_flushed_as_written():
    # os._exit skips every buffer flush at exit, so only flushed lines arrive.
    code = ("import os, vorn\n"
            "e = vorn.Engine(); e.set_verbose(True); e.set_print_interval(1)\n"
            "e.run(2); e.set_semantics('abc'); os._exit(0)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=os.environ.copy(), timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout == ("Step 1...\nStep 2...\n"
                          "Warning: Unknown semantics 'abc'. Defaulting to SPO.\n")


@pytest.mark.parametrize("text", ["xyz", "", "ß", "dpo ", "D\u0131PO"])
def test_unknown_semantics_warns_and_selects_spo(capfd, text):
    engine = Engine()
    assert engine.get_semantics() == "DPO"
    engine.set_semantics(text)
    assert engine.get_semantics() == "SPO"
    assert capfd.readouterr().out == f"Warning: Unknown semantics '{text}'. Defaulting to SPO.\n"


@pytest.mark.parametrize("text, expected", [
    ("spo", "SPO"), ("Dpo", "DPO"), ("dPo", "DPO"), ("\u017fpo", "SPO"), ("SPO", "SPO"), ("DPO", "DPO"),
])
def test_known_semantics_in_any_case_are_silent(capfd, text, expected):
    engine = Engine()
    engine.set_semantics("SPO" if expected == "DPO" else "DPO")
    engine.set_semantics(text)
    assert engine.get_semantics() == expected
    assert capfd.readouterr().out == ""


# --- counters, run and clearing ----------------------------------------------------------------

def test_counters_follow_successes_and_failures():
    engine = Engine()
    engine.run(5)  # no rules: every step fails, none is skipped
    assert (engine.get_attempted_rewrites(), engine.get_successful_rewrites()) == (5, 0)
    seed(engine, [["a", "b"]])
    engine.reset_counters()
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)
    assert engine.step() is True
    engine.run(3)  # nothing left to match
    assert (engine.get_attempted_rewrites(), engine.get_successful_rewrites()) == (4, 1)
    engine.set_semantics("SPO")
    engine.clear_graph()
    assert (engine.get_attempted_rewrites(), engine.get_successful_rewrites()) == (0, 0)
    assert engine.get_semantics() == "SPO"  # settings and rules survive clear_graph
    engine.add_rule([], [], [["a"]], 1.0)
    engine.run(10)
    assert engine.get_successful_rewrites() > 0 and engine.node_count() > 0


def test_run_of_zero_changes_nothing(capfd):
    engine = progress(Engine())
    engine.add_rule([], [], [["a", "b"]], 1.0)
    engine.step()
    before = state(engine)
    engine.run(0)
    assert state(engine) == before
    assert (engine.get_attempted_rewrites(), engine.get_successful_rewrites()) == (1, 1)
    engine.step()
    assert capfd.readouterr().out == "Step 1...\nStep 2...\n"


def test_clear_graph_drops_the_undo_record():
    engine = Engine()
    engine.add_rule([], [], [["a", "b"]], 1.0)
    engine.run(3)
    engine.clear_graph()
    assert engine.rollback() is False
    assert (engine.node_count(), engine.edge_count()) == (0, 0)
    assert engine.get_structural_pair_count() == 0


def test_clear_rules_keeps_the_graph():
    engine = Engine()
    engine.add_rule([], [], [["a", "b"]], 1.0)
    engine.run(3)
    before = state(engine)
    engine.clear_rules()
    assert state(engine) == before
    assert engine.step() is False
    assert state(engine) == before


# --- stress ---------------------------------------------------------------------------------------

def test_long_deleting_run_with_rollbacks():
    engine = Engine()
    engine.set_semantics("SPO")
    engine.add_rule([], [], [["a", "b"], ["b", "c"]], 1.0)
    engine.add_rule([["x", "y"]], ["x"], [["x", "z"]], 2.0)  # deletes y with all its hyperedges
    rollbacks = full_checks = 0
    for i in range(20000):
        full = i % 350 == 0  # one in fifty of the rollbacks compares everything
        before = state(engine) if full else (engine.node_count(), engine.edge_count())
        if engine.step() and i % 7 == 0:
            assert engine.rollback() is True
            rollbacks += 1
            if full:
                # The pair count has tests of its own; here the graph itself is compared.
                after = state(engine)
                before.pop("pairs"), after.pop("pairs")
                assert after == before
                full_checks += 1
            else:
                assert (engine.node_count(), engine.edge_count()) == before
    assert rollbacks > 1000 and full_checks > 10
    vertices, edges = engine.get_vertices(), engine.get_edges()
    live = set(vertices)
    assert len(vertices) == len(live) == engine.node_count() > 0
    assert len(edges) == engine.edge_count()
    assert all(set(e) <= live for e in edges)
    incidence = Counter(v for e in edges for v in e)
    assert engine.get_degree_map() == {v: incidence[v] for v in live}
    assert sorted(engine.get_isolated_vertices()) == sorted(v for v in live if incidence[v] == 0)
    assert engine.get_attempted_rewrites() == 20000 - rollbacks


def test_engines_alive_at_once_never_share_ids():
    engines = [Engine() for _ in range(3)]
    for n, engine in enumerate(engines):
        engine.add_rule([], [], [["a", "b"]] * (n + 1), 1.0)
    vertex_ids = [set() for _ in engines]
    edge_ids = [set() for _ in engines]
    for round_ in range(60):
        for n, engine in enumerate(engines):
            engine.step()
            if round_ % 10 == 0 and n == 1:
                engine.rollback()
            if round_ == 30 and n == 2:
                engine.clear_graph()
            vertex_ids[n] |= set(engine.get_vertices())
            edge_ids[n] |= set(engine.get_edge_size_map())
    for i in range(3):
        for j in range(i + 1, 3):
            assert not vertex_ids[i] & vertex_ids[j]
            assert not edge_ids[i] & edge_ids[j]
    assert all(len(ids) > 50 for ids in vertex_ids)


def test_every_live_vertex_is_found_after_thousands_of_deletions():
    """Deleting a vertex a step leaves the store's id lookup to compact away
    what the deleted ones left behind; every live vertex must still be found."""
    e = Engine()
    e.add_rule([], [], [[f"a{i}", f"b{i}"] for i in range(1000)], 1.0)
    e.step()
    e.clear_rules()
    e.set_semantics("SPO")
    e.add_rule([["x", "y"]], [], [["y", "z"]], 1.0)  # x goes, z is new
    e.run(10_000)
    assert e.get_successful_rewrites() > 5_000
    live = e.get_vertices()
    assert len(live) == 2000
    for v in live:
        e.set_observable(v, "seen", 1.0)
    assert len(e.get_all_observables()) == 2000
