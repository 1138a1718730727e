"""The observable state of an engine, in a form that compares by value."""
from collections import Counter


def engine_state(engine):
    return {
        "vertices": set(engine.get_vertices()),
        "edges": Counter(tuple(e) for e in engine.get_edges()),
        "degrees": engine.get_degree_map(),
        "pairs": engine.get_structural_pair_count(),
        "observables": engine.get_all_observables(),
    }
