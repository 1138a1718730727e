"""Random sequences of engine calls, with the graph's invariants checked after each.

The engine cannot be seeded from Python, so the same sequence of calls can
produce different graphs; every action therefore draws the same data whatever
the graph looks like, and the checks hold for any outcome.

The machine keeps a small model of what it can predict: the attempted-rewrite
count, whether a rollback is possible, and the full state before the last
single step() that succeeded, so that a rollback can be compared with it.
"""

from collections import Counter

from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from vorn import Engine

from engine_state import engine_state

NAMES = ["a", "b", "c", "d"]

lhs_patterns = st.lists(st.lists(st.sampled_from(NAMES), min_size=1, max_size=2), min_size=0, max_size=2)
rhs_patterns = st.lists(st.lists(st.sampled_from(NAMES + ["e"]), min_size=0, max_size=3), min_size=0, max_size=3)
kept_names = st.lists(st.sampled_from(NAMES + ["e", "zz"]), max_size=5)
weights = st.sampled_from([0.5, 1.0, 2.0, 3.0])
# Spellings that select a semantics without a warning.
semantics = st.sampled_from(["DPO", "SPO", "dpo", "Spo", "sPo", "\u017fpo", "DpO"])

MAX_VERTICES = 150


snapshot = engine_state


class EngineMachine(RuleBasedStateMachine):
    @initialize()
    def start(self):
        self.engine = Engine()
        self.attempted = 0
        self.successful = 0
        self.before_step = None  # state before the last successful step(), while undoable
        self.undo_unknown = False  # after run(): a record may or may not exist
        self.highest_id = -1
        self.seen_ids = set()
        self.semantics = "DPO"
        self.rule_count = 0
        self.pristine = True  # no step since the graph was made empty

    # --- helpers -------------------------------------------------------------

    def note_new_ids(self):
        """Vertices that were not there before must carry ids never seen before."""
        new = set(self.engine.get_vertices()) - self.seen_ids
        if new:
            assert min(new) > self.highest_id, (sorted(new), self.highest_id)
            self.seen_ids |= new
            self.highest_id = max(new)

    # --- actions ---------------------------------------------------------------

    @rule(lhs=lhs_patterns, kept=kept_names, rhs=rhs_patterns, weight=weights)
    def add_rule(self, lhs, kept, rhs, weight):
        self.engine.add_rule(lhs, kept, rhs, weight)
        self.rule_count += 1

    @rule(rhs=st.lists(st.lists(st.sampled_from(NAMES), min_size=1, max_size=3), min_size=1, max_size=2),
          weight=weights)
    def add_growing_rule(self, rhs, weight):
        self.engine.add_rule([], [], rhs, weight)
        self.rule_count += 1

    @rule()
    def step(self):
        if self.engine.node_count() >= MAX_VERTICES:
            return
        before = snapshot(self.engine)
        fired = self.engine.step()
        self.attempted += 1
        self.pristine = False
        if self.rule_count == 0:
            assert fired is False
        event(f"step() returned {fired}")
        if fired:
            self.successful += 1
            self.before_step = before
        else:
            self.before_step = None
            assert snapshot(self.engine) == before
        self.undo_unknown = False
        self.note_new_ids()

    @rule(n=st.integers(0, 4))
    def run(self, n):
        if self.engine.node_count() >= MAX_VERTICES:
            return
        before_successful = self.engine.get_successful_rewrites()
        self.engine.run(n)
        self.attempted += n
        self.pristine = self.pristine and n == 0
        gained = self.engine.get_successful_rewrites() - before_successful
        assert 0 <= gained <= n
        if self.rule_count == 0:
            assert gained == 0
        self.successful = self.engine.get_successful_rewrites()
        if n > 0:
            self.before_step = None
            self.undo_unknown = gained > 0
        self.note_new_ids()

    @rule()
    def step_and_rollback(self):
        self.step()
        self.rollback()

    @rule()
    def rollback(self):
        state = snapshot(self.engine)
        done = self.engine.rollback()
        if self.undo_unknown:
            if not done:
                assert snapshot(self.engine) == state
            else:
                # The last step of a run may have deleted a vertex that an
                # earlier step of the same run created: it comes back now,
                # with an id this machine never saw but no new one.
                self.seen_ids |= set(self.engine.get_vertices())
        elif self.before_step is None:
            assert done is False
            assert snapshot(self.engine) == state
        else:
            assert done is True
            assert snapshot(self.engine) == self.before_step
            event("rollback compared with the state before the step")
        if done:
            self.attempted = max(self.attempted - 1, 0)
            self.successful = max(self.successful - 1, 0)
        self.before_step = None
        self.undo_unknown = False
        assert self.engine.rollback() is False

    @rule()
    def clear_rules(self):
        self.engine.clear_rules()
        self.rule_count = 0

    @rule()
    def clear_graph(self):
        self.engine.clear_graph()
        self.attempted = self.successful = 0
        self.before_step = None
        self.undo_unknown = False
        self.pristine = True
        assert self.engine.get_structural_pair_count() == 0
        assert self.engine.node_count() == self.engine.edge_count() == 0

    @rule()
    def reset_counters(self):
        self.engine.reset_counters()
        self.attempted = self.successful = 0

    @rule(pick=st.integers(0, 2**16), key=st.sampled_from(["mass", "charge"]),
          value=st.floats(allow_nan=False, width=32))
    def set_observable(self, pick, key, value):
        # The graph differs from run to run (the engine draws its own random
        # numbers), so the vertex is chosen by position rather than drawn.
        vertices = sorted(self.engine.get_vertices())
        if not vertices:
            return
        v = vertices[pick % len(vertices)]
        self.engine.set_observable(v, key, value)
        assert self.engine.get_observable(v, key) == value
        if self.before_step is not None and v in self.before_step["vertices"]:
            # The vertex survived the step, so a rollback keeps its current values.
            self.before_step["observables"][v][key] = value

    @rule(text=semantics)
    def set_semantics(self, text):
        self.engine.set_semantics(text)
        self.semantics = "DPO" if text.upper() == "DPO" else "SPO"

    # --- invariants ------------------------------------------------------------

    @invariant()
    def graph_is_consistent(self):
        engine = self.engine
        vertices = engine.get_vertices()
        edges = engine.get_edges()
        live = set(vertices)
        assert len(vertices) == len(live) == engine.node_count()
        assert len(edges) == engine.edge_count()
        for edge in edges:
            assert set(edge) <= live, (edge, live)
        incidence = Counter(v for edge in edges for v in edge)
        degrees = engine.get_degree_map()
        assert degrees == {v: incidence[v] for v in live}
        assert sorted(engine.get_isolated_vertices()) == sorted(v for v in live if incidence[v] == 0)
        assert sorted(engine.get_edge_size_map().values()) == sorted(len(e) for e in edges)
        assert set(engine.get_all_observables()) == live
        pairs = engine.get_structural_pair_count()
        assert 0 <= pairs < 2**62
        if self.pristine:
            assert pairs == 0

    @invariant()
    def counters_and_settings_match_the_model(self):
        assert self.engine.get_attempted_rewrites() == self.attempted
        assert self.engine.get_successful_rewrites() == self.successful
        assert self.engine.get_successful_rewrites() <= self.engine.get_attempted_rewrites()
        assert self.engine.get_semantics() == self.semantics


EngineMachine.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestEngineMachine = EngineMachine.TestCase
