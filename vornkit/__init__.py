"""vornkit: the pure-Python toolkit around the ``vorn`` hypergraph-rewriting engine.

- rule notation: :func:`parse_rule`, :func:`parse_rules`, :func:`format_rule`, :func:`add_rules`
- initial states: :func:`start` (``seed``, its old name, still works and warns)
- reproducible runs: :func:`reseed`, :func:`member_seed`
- runs with progress and Ctrl-C: :func:`evolve`
- pictures: :func:`plot_hypergraph`, :func:`plot_growth`
- dimension estimate: :func:`estimate_dimension`; curvature: :func:`estimate_curvature`
- graph analysis in native code: :func:`distances`, :func:`components`, :func:`nearest_edges`
  (and :func:`ball_volumes`, which takes an engine or an edge list)
- export: :func:`to_networkx`, :func:`to_hif`, :func:`write_hif`, :func:`from_hif`, :func:`to_json`, :func:`from_json`
- bulk numpy arrays: :func:`edges_array`, :func:`vertices_array`, :func:`degrees_array`
- the causal graph: :func:`causal_links`, :func:`causal_graph`, :func:`causal_past`,
  :func:`causal_future`, :func:`plot_causal_graph`; its dimension: :func:`causal_dimension`
- many runs in parallel: :func:`ensemble`, :class:`Model`, :func:`dask_executor`, :func:`plot_ensemble`,
  :func:`write_jsonl`
- checkpoints: :func:`save`, :func:`load`
- families of rules: :func:`enumerate_rules`, :func:`count_rules`, :func:`random_rules` of a
  :class:`Signature` (:func:`parse_signature`, :func:`rule_signature`), :func:`canonical_rule`
- the ``vorn`` command: :mod:`vornkit.cli`

Heavier modules (numpy, matplotlib, networkx, Dask) and the native half are imported on first use.
"""

from importlib import import_module
from pkgutil import extend_path

# The native half (vornkit._native) may lie in another directory named
# vornkit on the path, as in a build tree; an installed wheel has both here.
__path__ = extend_path(__path__, __name__)

from .notation import (Rule, RuleSyntaxError, add_rules, format_hypergraph, format_rule,
                       parse_hypergraph, parse_rule, parse_rules)
from .initial import seed, start
from .evolve import METRICS, EvolveResult, evolve
# Imported eagerly (it needs only the standard library until used): the
# function shares its module's name, and a lazy lookup would lose to the
# submodule once anything imports ``vornkit.ensemble`` directly.
from .ensemble import EnsembleResult, Model, ensemble

# The one place the version is written; the build reads it from here.
__version__ = "0.1.0"

_LAZY = {
    "plot_hypergraph": "plotting", "plot_growth": "plotting", "local_part": "plotting",
    "estimate_dimension": "dimension", "ball_volumes": "dimension", "DimensionEstimate": "dimension",
    "to_networkx": "export", "to_hif": "export", "write_hif": "export", "from_hif": "export",
    "to_json": "export", "from_json": "export",
    "reseed": "rng", "member_seed": "rng",
    "edges_array": "arrays", "vertices_array": "arrays", "degrees_array": "arrays",
    "EdgeArrays": "arrays", "DegreeArrays": "arrays",
    "causal_links": "causal", "causal_graph": "causal", "causal_past": "causal",
    "causal_future": "causal", "plot_causal_graph": "causal", "CausalLinks": "causal",
    "plot_ensemble": "plotting", "write_jsonl": "export", "dask_executor": "dask_ensemble",
    "save": "checkpoint", "load": "checkpoint",
    "estimate_curvature": "curvature", "CurvatureEstimate": "curvature",
    "causal_dimension": "causal_intervals", "CausalDimension": "causal_intervals",
    "distances": "analysis", "components": "analysis", "nearest_edges": "analysis",
    "Signature": "rule_space", "parse_signature": "rule_space", "rule_signature": "rule_space",
    "canonical_rule": "rule_space", "enumerate_rules": "rule_space", "count_rules": "rule_space",
    "rule_count_bound": "rule_space", "random_rules": "rule_space",
}

__all__ = ["Rule", "RuleSyntaxError", "parse_rule", "parse_rules", "parse_hypergraph", "format_rule",
           "format_hypergraph", "add_rules", "start", "seed", "evolve", "EvolveResult", "METRICS",
           "ensemble", "Model", "EnsembleResult", *_LAZY, "__version__"]


def __getattr__(name):
    if name in _LAZY:
        value = getattr(import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(__all__)
