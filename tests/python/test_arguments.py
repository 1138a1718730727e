"""Argument conversion, the notes on conversion errors, rule weights and
re-entrant access to an engine while its arguments are converted."""

import math
import re
import sys
import tracemalloc

import pytest
from hypothesis import given, strategies as st

from vorn import Engine


def raises(exc_type, message, param, call):
    """Asserts that `call` raises exc_type with exactly `message` and the note for `param`."""
    with pytest.raises(exc_type, match=re.escape(message)) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    return info.value


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class Float:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __float__(self):
        if self.hook:
            self.hook()
        return self.value


@pytest.mark.parametrize("value, exc_type, message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
])
def test_size_conversion_errors(value, exc_type, message):
    engine = Engine()
    raises(exc_type, message, "steps", lambda: engine.run(value))
    raises(exc_type, message, "interval", lambda: engine.set_print_interval(value))
    raises(exc_type, message, "target", lambda: engine.get_shortest_path_distance(0, value))
    assert engine.get_attempted_rewrites() == 0


def test_size_conversion_accepts_index_objects_and_full_range():
    engine = Engine()
    engine.run(Index(2))
    engine.run(True)
    assert engine.get_attempted_rewrites() == 3
    for setter in (engine.set_print_interval, engine.set_causal_horizon, engine.set_bitset_capacity):
        setter(0)
        setter(2**64 - 1)
    assert engine.get_shortest_path_distance(2**64 - 1, Index(0)) is None


def test_bool_conversion():
    engine = Engine()
    engine.set_verbose(True)
    engine.set_verbose(False)
    raises(TypeError, "'int' object is not an instance of 'bool'", "verbose", lambda: engine.set_verbose(1))
    raises(TypeError, "'None' is not an instance of 'bool'", "verbose", lambda: engine.set_verbose(None))
    raises(TypeError, "'str' object is not an instance of 'bool'", "verbose", lambda: engine.set_verbose("yes"))


def test_numpy_bool_is_accepted(capfd):
    np = pytest.importorskip("numpy")
    engine = Engine()
    engine.set_print_interval(1)
    engine.set_verbose(np.bool_(True))
    engine.step()
    engine.set_verbose(np.bool_(False))
    engine.step()
    assert capfd.readouterr().out == "Step 1...\n"
    raises(TypeError, "'int64' object is not an instance of 'bool'", "verbose",
           lambda: engine.set_verbose(np.int64(1)))


def test_str_conversion():
    engine = Engine()
    raises(TypeError, "'bytes' object is not an instance of 'str'", "semantics", lambda: engine.set_semantics(b"DPO"))
    raises(TypeError, "'None' is not an instance of 'str'", "semantics", lambda: engine.set_semantics(None))
    raises(UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed",
           "semantics", lambda: engine.set_semantics("S\ud800"))
    raises(UnicodeEncodeError, "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed",
           "lhs", lambda: engine.add_rule([["\udfff"]], [], [], 1.0))
    assert engine.get_semantics() == "DPO"


def test_float_conversion():
    engine = Engine()
    raises(TypeError, "must be real number, not str", "weight", lambda: engine.add_rule([], [], [], "1"))
    raises(TypeError, "must be real number, not NoneType", "weight", lambda: engine.add_rule([], [], [], None))
    raises(OverflowError, "int too large to convert to float", "weight", lambda: engine.add_rule([], [], [], 10**400))
    for weight in (Float(2.5), Index(2), True, 3, 1e-320):
        engine.add_rule([], [], [["a"]], weight)
    assert engine.step() is True


def test_exception_from_user_code_keeps_type_and_gains_note():
    def fail():
        err = KeyError("inner")
        err.add_note("first")
        raise err
    engine = Engine()
    with pytest.raises(KeyError) as info:
        engine.run(Index(1, fail))
    assert info.value.__notes__ == ["first", "while processing 'steps'"]
    with pytest.raises(KeyError) as info:
        engine.set_observable(0, "k", Float(1.0, fail))
    assert info.value.__notes__ == ["first", "while processing 'value'"]


@pytest.mark.parametrize("weight, text", [
    (0.0, "0"), (0, "0"), (-0.0, "-0"), (-1.5, "-1.5"), (-3, "-3"), (-3.0, "-3"),
    (-0.0000001, "-0.0000001"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
    (-1e23, "-1" + "0" * 23), (-2.0**70, "-1180591620717411300000"), (-1e300, "-1" + "0" * 300),
    (-sys.float_info.max, "-17976931348623157" + "0" * 292),
])
def test_rejected_weights(weight, text):
    engine = Engine()
    message = (f"Rule weight must be a finite positive number, got {text}. "
               "A weight of 0.0 means the rule would never fire.")
    with pytest.raises(ValueError, match=re.escape(message)) as info:
        engine.add_rule([], [], [["a"]], weight)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")
    assert engine.step() is False and engine.node_count() == 0  # no rule was added


@pytest.mark.parametrize("lhs, kept, rhs, param, exc_message", [
    ("ab", [], [], "lhs", "Can't extract `str` to `Vec`"),
    (["ab"], [], [], "lhs", "Can't extract `str` to `Vec`"),
    ([], "a", [], "kept", "Can't extract `str` to `Vec`"),
    ([], [], [("a",), "b"], "rhs", "Can't extract `str` to `Vec`"),
    (None, [], [], "lhs", "'None' is not an instance of 'Sequence'"),
    ({"a": 1}, [], [], "lhs", "'dict' object is not an instance of 'Sequence'"),
    ([], {"a"}, [], "kept", "'set' object is not an instance of 'Sequence'"),
    ([[1]], [], [], "lhs", "'int' object is not an instance of 'str'"),
    ([], ["a", None], [], "kept", "'None' is not an instance of 'str'"),
    ([], [], [None], "rhs", "'None' is not an instance of 'Sequence'"),
    ([], [], [5], "rhs", "'int' object is not an instance of 'Sequence'"),
])
def test_rule_sequence_errors(lhs, kept, rhs, param, exc_message):
    engine = Engine()
    engine.add_rule([], [], [["a", "b"]], 1.0)
    raises(TypeError, exc_message, param, lambda: engine.add_rule(lhs, kept, rhs, 1.0))
    raises(TypeError, exc_message, param, lambda: engine.add_rule(lhs, kept, rhs, "not even a float"))
    engine.clear_rules()
    assert engine.step() is False  # nothing half-added by the failed calls


def test_rule_sequences_accept_tuples_and_custom_sequences():
    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    engine = Engine()
    engine.add_rule((), Seq(["a"]), Seq([("a", "b"), Seq(["b", "c"])]), 1.0)
    assert engine.step() is True
    assert sorted(len(edge) for edge in engine.get_edges()) == [2, 2]


# --- Re-entrant access --------------------------------------------------------

def capture(call, seen):
    """Runs `call`, recording the result or the RuntimeError message in `seen`."""
    def hook():
        try:
            seen.append(call())
        except RuntimeError as err:
            seen.append(str(err))
    return hook


def test_exclusive_call_refuses_nested_calls():
    engine = Engine()
    seen = []
    engine.run(Index(2, capture(engine.node_count, seen)))
    engine.run(Index(2, capture(engine.step, seen)))
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert engine.get_attempted_rewrites() == 4  # the outer calls went on


def test_shared_call_allows_shared_but_not_exclusive_nesting():
    engine = Engine()
    seen = []
    engine.get_shortest_path_distance(Index(0, capture(engine.node_count, seen)),
                                      Index(0, capture(engine.step, seen)))
    assert seen == [0, "Already borrowed"]
    assert engine.get_attempted_rewrites() == 0


def test_nested_calls_from_float_and_sequence_methods():
    engine = Engine()
    seen = []

    class Seq:
        def __len__(self):
            capture(engine.edge_count, seen)()
            return 1

        def __getitem__(self, i):
            capture(engine.clear_graph, seen)()
            if i:
                raise IndexError
            return ["a"]

    engine.add_rule([], [], Seq(), Float(1.0, capture(engine.get_semantics, seen)))
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed",
                    "Already mutably borrowed"]
    assert engine.step() is True and engine.node_count() == 1


def test_other_engines_and_later_calls_are_unaffected():
    engine, other = Engine(), Engine()
    seen = []
    with pytest.raises(OverflowError):
        engine.run(Index(-1, capture(other.step, seen)))
    assert seen == [False]
    engine.step()  # the failed call released its access
    assert engine.get_attempted_rewrites() == 1


# --- Reference counts and memory ------------------------------------------------

def test_failing_calls_leak_nothing():
    engine = Engine()
    bad_item = object()
    names = ["a", bad_item]
    weight = Float(1.0)
    before = [sys.getrefcount(x) for x in (bad_item, names, weight)]
    calls = [
        lambda: engine.run(bad_item),
        lambda: engine.add_rule([names], [], [], weight),
        lambda: engine.add_rule([], names, [], weight),
        lambda: engine.set_observable(0, "k", weight),
        lambda: engine.get_observable(bad_item, "k"),
        lambda: engine.run(1, steps=names),
    ]
    def loop(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass
    loop(100)
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    loop(3000)
    growth = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert [sys.getrefcount(x) for x in (bad_item, names, weight)] == before
    assert growth < 64 * 1024, growth


@given(st.permutations(["lhs", "kept", "rhs", "weight"]), st.integers(0, 4))
def test_add_rule_binds_any_mix_of_positional_and_keyword(order, npos):
    values = {"lhs": [], "kept": ["a"], "rhs": [["a", "b"]], "weight": 2}
    positional = [values[name] for name in ["lhs", "kept", "rhs", "weight"][:npos]]
    keywords = {name: values[name] for name in order if name not in ["lhs", "kept", "rhs", "weight"][:npos]}
    engine = Engine()
    engine.add_rule(*positional, **keywords)
    assert engine.step() is True and engine.edge_count() == 1
