"""Arbitrary objects for every parameter of every method.

Whatever goes in, only the documented exception types come out (or the
exception that the caller's own object raised), the engine stays consistent,
and a call that raised changed nothing that can be observed. The exact
messages and notes are tested in test_arguments.py; here only the kinds and
the state matter.
"""

from collections import Counter

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorn import Engine

ALLOWED = (TypeError, OverflowError, ValueError, RuntimeError)  # UnicodeEncodeError is a ValueError


class Boom(Exception):
    """Raised by the hostile objects below; the engine must pass it on unchanged."""


# Methods with parameters, and those without.
METHODS = {
    "set_print_interval": ("interval",),
    "set_verbose": ("verbose",),
    "set_causal_horizon": ("horizon",),
    "set_bitset_capacity": ("capacity",),
    "set_semantics": ("semantics",),
    "add_rule": ("lhs", "kept", "rhs", "weight"),
    "run": ("steps",),
    "set_observable": ("v_id", "key", "value"),
    "get_observable": ("v_id", "key"),
    "get_shortest_path_distance": ("start", "target"),
}
NOARGS = ["get_semantics", "step", "rollback", "node_count", "edge_count", "get_vertices",
          "get_all_observables", "get_edges", "get_degree_map", "get_structural_pair_count",
          "clear_rules", "clear_graph", "get_attempted_rewrites", "get_successful_rewrites",
          "reset_counters", "get_isolated_vertices", "get_edge_size_map"]


def snapshot(engine):
    return {
        "vertices": sorted(engine.get_vertices()),
        "edges": Counter(tuple(e) for e in engine.get_edges()),
        "degrees": engine.get_degree_map(),
        "sizes": sorted(engine.get_edge_size_map().values()),
        "pairs": engine.get_structural_pair_count(),
        "observables": repr(sorted(engine.get_all_observables().items())),  # repr: NaN != NaN
        "semantics": engine.get_semantics(),
        "attempted": engine.get_attempted_rewrites(),
        "successful": engine.get_successful_rewrites(),
    }


def assert_consistent(engine):
    vertices = engine.get_vertices()
    edges = engine.get_edges()
    assert len(vertices) == len(set(vertices)) == engine.node_count()
    assert len(edges) == engine.edge_count()
    live = set(vertices)
    occurrences = Counter(v for edge in edges for v in edge)
    assert set(occurrences) <= live, "a hyperedge names a vertex that is gone"
    assert engine.get_degree_map() == {v: occurrences.get(v, 0) for v in vertices}
    assert sorted(engine.get_edge_size_map().values()) == sorted(len(e) for e in edges)
    assert set(engine.get_isolated_vertices()) == {v for v in vertices if occurrences.get(v, 0) == 0}
    assert set(engine.get_all_observables()) == live
    assert engine.get_successful_rewrites() <= engine.get_attempted_rewrites()


# --- hostile objects -----------------------------------------------------------

# Calls that a hook makes on the engine being called, with small arguments so
# that a call that gets through stays quick.
CALLBACKS = [("step", ()), ("rollback", ()), ("clear_graph", ()), ("node_count", ()),
             ("get_edges", ()), ("run", (3,)), ("set_semantics", ("SPO",)),
             ("add_rule", ([["x"]], [], [], 1.0)), ("set_observable", (0, "k", 1.0)),
             ("get_degree_map", ())]


class Hook:
    """What a hostile method does before answering: nothing, raise, or call
    back into the engine (letting the engine's refusal through, or swallowing it)."""

    engine = None  # the engine under test, set by each example

    def __init__(self, mode, callback):
        self.mode, self.callback = mode, callback

    def __call__(self):
        if self.mode == "raise":
            raise Boom("hostile")
        if self.mode in ("callback", "swallow") and Hook.engine is not None:
            name, args = self.callback
            try:
                getattr(Hook.engine, name)(*args)
            except RuntimeError:
                if self.mode == "callback":
                    raise

    def __repr__(self):
        return f"Hook({self.mode!r}, {self.callback!r})"


class HostileIndex:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return self.value

    def __repr__(self):
        return f"HostileIndex({self.value!r}, {self.hook!r})"


class HostileFloat:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return self.value

    def __repr__(self):
        return f"HostileFloat({self.value!r}, {self.hook!r})"


class HostileSequence:
    """A sequence whose __len__ and __getitem__ run the hook; `length` may lie."""

    def __init__(self, items, hook, length, where):
        self.items, self.hook, self.length, self.where = items, hook, length, where

    def __len__(self):
        if self.where == "len":
            self.hook()
        return self.length

    def __getitem__(self, i):
        if self.where == "getitem":
            self.hook()
        return self.items[i]

    def __repr__(self):
        return f"HostileSequence({self.items!r}, {self.hook!r}, {self.length}, {self.where!r})"


class HostileIterable(HostileSequence):
    """A sequence (it has __getitem__) whose __iter__ runs the hook."""

    def __iter__(self):
        self.hook()
        return iter(self.items)


class OnlyIterable:
    """Iterable but no sequence: must be refused with TypeError."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __repr__(self):
        return f"OnlyIterable({self.items!r})"


hooks = st.builds(Hook, st.sampled_from(["none", "raise", "callback", "swallow"]),
                  st.sampled_from(CALLBACKS))
surrogates = st.sampled_from(["\ud800", "a\udfff", "\udc80b", "x\ud83d"])
texts = st.one_of(st.text(max_size=6), st.sampled_from(["x", "y", "z", "DPO", "spo", ""]), surrogates)


def objects(ints):
    """Arbitrary arguments; `ints` is the strategy for plain integers."""
    floats = st.floats(allow_nan=True, allow_infinity=True)
    leaves = st.one_of(
        ints, floats, texts, st.binary(max_size=4), st.none(), st.booleans(),
        st.builds(HostileIndex, ints, hooks),
        st.builds(HostileFloat, floats, hooks),
        st.builds(HostileFloat, st.sampled_from(["1.0", None, 3]), hooks),  # __float__ returns no float
        st.just(object()),
    )

    def nested(children):
        items = st.lists(children, max_size=4)
        return st.one_of(
            items, items.map(tuple),
            st.builds(HostileSequence, items, hooks, st.integers(0, 6), st.sampled_from(["len", "getitem"])),
            st.builds(HostileIterable, items, hooks, st.integers(0, 6), st.just("none")),
            st.builds(OnlyIterable, items),
        )

    return st.recursive(leaves, nested, max_leaves=12)


# Integers of any size, but never an accepted step count that would run long.
any_ints = st.one_of(st.integers(), st.integers(-3, 70), st.sampled_from([2**63 - 1, 2**64 - 1, 2**64, -(2**64)]))
step_ints = any_ints.filter(lambda n: n < 0 or n >= 2**64 or n <= 64)


def fresh_engine():
    """A small graph with observables, a rule and an undo record."""
    engine = Engine()
    engine.add_rule([], [], [["a", "b"], ["a", "c"], ["b", "c", "a"]], 1.0)
    engine.run(2)
    engine.clear_rules()
    engine.add_rule([["x", "y"]], ["x", "y"], [["x", "y"], ["y", "z"]], 1.0)
    engine.step()
    for v in engine.get_vertices()[:3]:
        engine.set_observable(v, "mass", float(v))
    return engine


def call_and_check(engine, method, args):
    before = snapshot(engine)
    Hook.engine = engine
    try:
        getattr(engine, method)(*args)
    except Boom:
        raised = True
    except ALLOWED:
        raised = True
    except BaseException as exc:  # anything else is a failure of the binding
        raise AssertionError(f"{method}{args!r} raised {type(exc).__name__}: {exc}") from exc
    else:
        raised = False
    finally:
        Hook.engine = None
    assert_consistent(engine)
    if raised:
        assert snapshot(engine) == before, f"{method}{args!r} raised but changed the engine"
    return raised


SETTINGS = settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))


def method_args(method, ints):
    return st.tuples(*[objects(ints) for _ in METHODS[method]])


@SETTINGS
@given(data=st.data(), method=st.sampled_from(sorted(METHODS)))
def test_every_parameter_takes_any_object(data, method):
    engine = fresh_engine()
    args = data.draw(method_args(method, step_ints if method == "run" else any_ints), label="args")
    call_and_check(engine, method, args)
    # The engine is still fully usable afterwards.
    engine.clear_rules()
    engine.add_rule([["x", "y"]], [], [["x", "z"]], 1.0)
    engine.run(5)
    assert_consistent(engine)


@SETTINGS
@given(lhs=objects(any_ints), kept=objects(any_ints), rhs=objects(any_ints), weight=objects(any_ints))
def test_a_refused_rule_is_not_added(lhs, kept, rhs, weight):
    engine = fresh_engine()
    engine.clear_rules()
    if call_and_check(engine, "add_rule", (lhs, kept, rhs, weight)):
        before = snapshot(engine)
        assert engine.step() is False  # no rule came in
        assert sorted(engine.get_vertices()) == before["vertices"]


@settings(SETTINGS, max_examples=60)
@given(calls=st.lists(st.one_of(
    st.tuples(st.sampled_from(NOARGS), st.just(())),
    st.sampled_from(sorted(METHODS)).flatmap(
        lambda m: st.tuples(st.just(m), method_args(m, step_ints if m == "run" else any_ints)))),
    max_size=12))
def test_sequences_of_arbitrary_calls(calls):
    engine = fresh_engine()
    for method, args in calls:
        call_and_check(engine, method, args)


@SETTINGS
@given(value=objects(any_ints), method=st.sampled_from(sorted(METHODS)))
def test_wrong_argument_counts_and_keywords(value, method):
    engine = fresh_engine()
    before = snapshot(engine)
    params = METHODS[method]
    bound = getattr(engine, method)
    for call in (lambda: bound(*([value] * (len(params) + 1))),
                 lambda: bound(**{params[0]: value, "bogus": value}),
                 lambda: bound(value, **{params[0]: value}),
                 lambda: bound(*([value] * (len(params) - 1)))):
        try:
            call()
        except TypeError:
            pass
        else:
            raise AssertionError(f"{method} accepted a malformed call")
        assert snapshot(engine) == before
    for name in NOARGS:
        try:
            getattr(engine, name)(value)
        except TypeError:
            pass
        else:
            raise AssertionError(f"{name} accepted an argument")
    assert snapshot(engine) == before
    for make in (lambda: Engine(value), lambda: Engine(seed=value)):
        try:
            make()
        except TypeError:
            pass
        else:
            raise AssertionError("Engine() accepted an argument")
