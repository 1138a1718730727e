"""The module, the Engine type and its method table as Python sees them."""

import gc
import inspect
import re
import weakref

import pytest

import vorn
from vorn import Engine

NO_TEXT = None

DOCS = {
    "set_print_interval": ("(interval)",
                           "Sets how often the engine prints progress to the console. Set to 0 to disable."),
    "set_verbose": ("(verbose)", "Enable or disable verbose console printing"),
    "set_causal_horizon": ("(horizon)", "Sets the causal horizon (max depth for causal BFS). Default is 6."),
    "set_bitset_capacity": ("(capacity)", "Sets the initial bitset capacity (memory optimization). Default is 1024."),
    "set_semantics": ("(semantics)",
                      "Toggles between SPO (Single-Pushout) and DPO (Double-Pushout) graph rewriting semantics."),
    "get_semantics": ("()", 'Returns the currently active rewriting semantics: "DPO" or "SPO".'),
    "add_rule": ("(lhs, kept, rhs, weight)", NO_TEXT),
    "run": ("(steps)", NO_TEXT),
    "step": ("()", "Executes exactly one step. Returns true if a rule fired, false otherwise."),
    "rollback": ("()", "Reverts the graph state to exactly before the last successful step.\n"
                       "Returns true if a rollback was performed, false if no history was available."),
    "node_count": ("()", NO_TEXT),
    "edge_count": ("()", NO_TEXT),
    "get_vertices": ("()", "Extracts all vertex IDs as a Python List"),
    "set_observable": ("(v_id, key, value)", NO_TEXT),
    "get_observable": ("(v_id, key)", NO_TEXT),
    "get_all_observables": ("()", NO_TEXT),
    "get_edges": ("()", "Extracts all hyperedges as a Python List of Lists"),
    "get_degree_map": ("()", "Returns a Python Dictionary mapping Vertex ID -> Degree (Number of connected edges)"),
    "get_structural_pair_count": ("()", "Fast macroscopic metric: total number of pairwise connections"),
    "clear_rules": ("()", "Clear all graph grammar rules"),
    "clear_graph": ("()", "Clear the hypergraph (Reset engine state without re-allocating engine)"),
    "get_attempted_rewrites": ("()", "Returns total steps attempted since last reset."),
    "get_successful_rewrites": ("()",
                                "Returns total steps that resulted in a successful rule match and graph mutation."),
    "reset_counters": ("()", "Resets only the step counters (attempted and successful rewrites), "
                             "without clearing the graph."),
    "get_isolated_vertices": ("()", "Returns isolated vertices (degree == 0)"),
    "get_shortest_path_distance": ("(start, target)",
                                   "Calculates the topological graph distance (shortest path) between two vertices\n"
                                                       "Returns None if there is no path."),
    "get_edge_size_map": ("()", "Extracts edge sizes: Edge ID -> Number of contained vertices"),
}


def test_module_facts():
    assert vorn.__all__ == ["Engine"]
    assert vorn.__doc__ == ""
    assert vorn.Engine is Engine
    assert Engine.__name__ == "Engine" and Engine.__qualname__ == "Engine"
    assert Engine.__module__ == "builtins"
    assert Engine.__bases__ == (object,)
    assert Engine.__text_signature__ == "()"
    assert not Engine.__doc__


def test_fresh_import_reuses_the_type(monkeypatch):
    import importlib
    import sys
    monkeypatch.delitem(sys.modules, "vorn")
    again = importlib.import_module("vorn")
    assert again is not vorn
    assert again.Engine is Engine and again.__all__ == ["Engine"] and vorn.__all__ == ["Engine"]


def test_type_is_closed():
    with pytest.raises(TypeError):
        class Sub(Engine):
            pass
    engine = Engine()
    with pytest.raises(AttributeError):
        engine.anything = 1
    assert not hasattr(engine, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(engine)
    assert gc.is_tracked(engine)


def test_method_table_docs_and_signatures():
    methods = {name for name, value in vars(Engine).items()
               if callable(value) and not name.startswith("__")}
    assert methods == set(DOCS)
    for name, (signature, text) in DOCS.items():
        method = getattr(Engine, name)
        assert method.__text_signature__ == "($self" + (", " if signature != "()" else "") + signature[1:], name
        assert method.__doc__ == text, name
        params = list(inspect.signature(getattr(Engine(), name)).parameters.values())
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_new_engine_is_empty():
    engine = Engine()
    assert (engine.node_count(), engine.edge_count()) == (0, 0)
    assert engine.get_vertices() == [] and engine.get_edges() == []
    assert engine.get_semantics() == "DPO"
    assert engine.get_attempted_rewrites() == engine.get_successful_rewrites() == 0


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "Engine.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "Engine.__new__() takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, "Engine.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        Engine(*args, **kwargs)


@pytest.mark.parametrize("call, message", [
    (lambda e: e.run(), "Engine.run() missing 1 required positional argument: 'steps'"),
    (lambda e: e.run(1, 2), "Engine.run() takes 1 positional arguments but 2 were given"),
    (lambda e: e.run(3, steps=3), "Engine.run() got multiple values for argument 'steps'"),
    (lambda e: e.run(stepz=3), "Engine.run() got an unexpected keyword argument 'stepz'"),
    (lambda e: e.get_observable(), "Engine.get_observable() missing 2 required positional arguments: 'v_id' and 'key'"),
    (lambda e: e.add_rule(),
     "Engine.add_rule() missing 4 required positional arguments: 'lhs', 'kept', 'rhs', and 'weight'"),
    (lambda e: e.add_rule([], weight=1.0),
     "Engine.add_rule() missing 2 required positional arguments: 'kept' and 'rhs'"),
    (lambda e: e.add_rule([], kept=[]),
     "Engine.add_rule() missing 2 required positional arguments: 'rhs' and 'weight'"),
    (lambda e: e.add_rule(1, 2, 3, 4, 5), "Engine.add_rule() takes 4 positional arguments but 5 were given"),
    (lambda e: e.set_observable(0,
     "k", 1.0, key="k"), "Engine.set_observable() got multiple values for argument 'key'"),
    # argument-list errors come before conversion: the bad 'start' is never looked at
    (lambda e: e.get_shortest_path_distance("bad", bogus=1),
     "Engine.get_shortest_path_distance() got an unexpected keyword argument 'bogus'"),
])
def test_argument_list_errors(call, message):
    engine = Engine()
    with pytest.raises(TypeError, match=re.escape(message)) as info:
        call(engine)
    assert not hasattr(info.value, "__notes__")
    assert engine.get_attempted_rewrites() == 0


def test_no_argument_methods_refuse_arguments():
    engine = Engine()
    with pytest.raises(TypeError):
        engine.step(1)
    with pytest.raises(TypeError):
        engine.node_count(x=1)
    assert engine.get_attempted_rewrites() == 0


def test_keywords_in_any_order():
    engine = Engine()
    engine.run(steps=3)
    assert engine.get_attempted_rewrites() == 3
    engine.add_rule(weight=2, rhs=[["a", "b"]], kept=(), lhs=())
    assert engine.step() is True
    assert engine.edge_count() == 1
