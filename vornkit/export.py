"""Export: networkx graphs, the hypergraph interchange format (HIF), run records."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, Hashable, List, Optional, Tuple

from .evolve import EvolveResult
from .files import replaced
from .notation import Rule, format_rule

__all__ = ["to_networkx", "to_hif", "from_hif", "to_json", "from_json", "RUN_FORMAT"]

#: Identifies the JSON run records written by :func:`to_json`.
RUN_FORMAT = "vornkit-run/1"


def _graph_parts(source, vertices=None) -> Tuple[List[Hashable], List[List[Hashable]]]:
    """(vertices, edges) from an engine or from a list of hyperedges."""
    if hasattr(source, "get_edges"):
        edges = [list(e) for e in source.get_edges()]
        if vertices is None:
            vertices = source.get_vertices()
    else:
        edges = [list(e) for e in source]
    listed = list(dict.fromkeys(v for e in edges for v in e))
    if vertices is not None:
        present = set(listed)
        listed += [v for v in vertices if v not in present]
    return listed, edges


def to_networkx(edges, kind: str = "2-section", *, vertices=None):
    """A networkx view of a hypergraph (a list of hyperedges or an engine).

    - ``kind="2-section"``: an undirected ``MultiGraph`` with one edge per pair
      of positions holding distinct vertices in a hyperedge; each edge has the
      attribute ``hyperedge`` (the hyperedge's index in ``edges``).
    - ``kind="ordered"``: a ``DiGraph`` with an arc u -> v for every pair of
      consecutive positions (u, v), self-loops included; the attribute
      ``hyperedges`` lists the indices of the hyperedges that contain the
      arc, once per occurrence, so parallel arcs are not lost.

    Vertices that occur in no hyperedge are included when ``vertices`` is
    given or an engine is passed.
    """
    import networkx as nx
    nodes, edge_list = _graph_parts(edges, vertices)
    if kind in ("2-section", "2section", "undirected"):
        g = nx.MultiGraph()
        g.add_nodes_from(nodes)
        for i, e in enumerate(edge_list):
            for a in range(len(e)):
                for b in range(a + 1, len(e)):
                    if e[a] != e[b]:
                        g.add_edge(e[a], e[b], hyperedge=i)
        return g
    if kind in ("ordered", "directed"):
        g = nx.DiGraph()
        g.add_nodes_from(nodes)
        for i, e in enumerate(edge_list):
            for a, b in zip(e, e[1:]):
                if g.has_edge(a, b):
                    g[a][b]["hyperedges"].append(i)
                else:
                    g.add_edge(a, b, hyperedges=[i])
        return g
    raise ValueError(f"kind must be '2-section' or 'ordered', got {kind!r}")


def _json_number(x: float):
    # JSON has no NaN or infinity; keep them as the strings Python reads back.
    if isinstance(x, float) and not math.isfinite(x):
        return repr(x)
    return x


def to_hif(source, *, network_type: str = "undirected", metadata: Optional[Dict[str, Any]] = None,
           vertices=None) -> Dict[str, Any]:
    """The hypergraph in the hypergraph interchange format (HIF), as a dict.

    ``source`` is an engine or a list of hyperedges.  Nodes are the vertex ids
    (an engine's observables become node ``attrs``); edges are numbered 0, 1,
    ... in listing order and keep their ordered vertex list in
    ``attrs["vertices"]``; there is one incidence per position, with
    ``attrs["position"]``.  With ``network_type="directed"`` the first position
    of each hyperedge is the ``tail`` and the others are ``head``.  Write it
    with ``json.dump``; :func:`from_hif` reads it back.
    """
    if network_type not in ("undirected", "directed"):
        raise ValueError(f"network_type must be 'undirected' or 'directed', got {network_type!r}")
    nodes, edges = _graph_parts(source, vertices)
    observables: Dict[Hashable, Dict[str, float]] = {}
    if hasattr(source, "get_all_observables"):
        observables = source.get_all_observables()
    node_records = []
    for v in nodes:
        rec: Dict[str, Any] = {"node": v}
        obs = observables.get(v)
        if obs:
            rec["attrs"] = {"observables": {k: _json_number(x) for k, x in obs.items()}}
        node_records.append(rec)
    edge_records = [{"edge": i, "attrs": {"vertices": list(e)}} for i, e in enumerate(edges)]
    incidences = []
    for i, e in enumerate(edges):
        for k, v in enumerate(e):
            inc: Dict[str, Any] = {"edge": i, "node": v, "attrs": {"position": k}}
            if network_type == "directed":
                inc["direction"] = "tail" if k == 0 else "head"
            incidences.append(inc)
    meta = {"generator": "vornkit", "ordered-hyperedges": True}
    if hasattr(source, "get_semantics"):
        meta["semantics"] = source.get_semantics()
    if metadata:
        meta.update(metadata)
    return {"network-type": network_type, "metadata": meta, "nodes": node_records,
            "edges": edge_records, "incidences": incidences}


def from_hif(data) -> Tuple[List[Hashable], List[List[Hashable]]]:
    """Read HIF (a dict, JSON text or a path) back as ``(vertices, edges)``.

    The ordered vertex list of an edge is taken from ``attrs["vertices"]``
    when present, otherwise from its incidences ordered by
    ``attrs["position"]`` (or by file order).  Edges are returned in the
    order of the ``edges`` list, then any edge that only incidences mention.
    """
    if isinstance(data, (str, os.PathLike)):
        text = os.fspath(data)
        if isinstance(data, os.PathLike) or not text.lstrip().startswith("{"):
            with open(text, encoding="utf-8") as fh:
                data = json.load(fh)
        else:
            data = json.loads(text)
    if not isinstance(data, dict) or "incidences" not in data:
        raise ValueError("not HIF data: a JSON object with an 'incidences' list is required")
    by_edge: Dict[Any, List[Tuple[int, int, Any]]] = {}
    order: List[Any] = []
    for n, inc in enumerate(data["incidences"]):
        try:
            e, v = inc["edge"], inc["node"]
        except (TypeError, KeyError):
            raise ValueError(f"incidence {n} lacks 'edge' or 'node'") from None
        position = (inc.get("attrs") or {}).get("position", n)
        if e not in by_edge:
            by_edge[e] = []
            order.append(e)
        by_edge[e].append((position, n, v))
    edges: List[List[Hashable]] = []
    listed = [rec["edge"] for rec in data.get("edges", [])]
    attrs = {rec["edge"]: rec.get("attrs") or {} for rec in data.get("edges", [])}
    for e in listed + [e for e in order if e not in attrs]:
        if "vertices" in attrs.get(e, {}):
            edges.append(list(attrs[e]["vertices"]))
        else:
            edges.append([v for _, _, v in sorted(by_edge.get(e, []), key=lambda t: (t[0], t[1]))])
    vertices = list(dict.fromkeys([rec["node"] for rec in data.get("nodes", [])]
                                  + [v for e in edges for v in e]))
    return vertices, edges


def _plain(value):
    # NumPy scalars and arrays from user-defined metrics.
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not JSON serialisable")


def _rule_record(rule: Rule) -> Dict[str, Any]:
    rec: Dict[str, Any] = {"lhs": rule.lhs, "kept": rule.kept, "rhs": rule.rhs, "weight": rule.weight}
    try:
        rec["text"] = format_rule(rule)
    except ValueError:
        pass
    return rec


def to_json(result: EvolveResult, path=None, *, indent: Optional[int] = None, **extra) -> str:
    """A run record as JSON text: rules, settings, counts, history, final state.

    ``extra`` keyword arguments are stored under ``"extra"`` (they must be
    JSON-serialisable).  When ``path`` is given the text is also written
    there, complete or not at all (see :func:`vornkit.files.replaced`).  :func:`from_json` reads it back into an equal result.
    """
    record = {
        "format": RUN_FORMAT,
        "rules": [_rule_record(r) for r in result.rules],
        "settings": {"semantics": result.semantics, "steps_requested": result.steps_requested,
                     "seed": result.seed},
        "counts": {"steps_done": result.steps_done, "attempted": result.attempted,
                   "successful": result.successful},
        "wall_time": result.wall_time,
        "reason": result.reason,
        "history": {k: list(v) for k, v in result.history.items()},
        "initial_edges": result.initial_edges,
        "final": None if result.final_edges is None else {
            "vertices": result.final_vertices, "edges": result.final_edges},
    }
    if extra:
        record["extra"] = extra
    text = json.dumps(record, indent=indent, allow_nan=False, default=_plain)
    if path is not None:
        with replaced(path) as fh:
            fh.write(text)
            fh.write("\n")
    return text


def from_json(data) -> EvolveResult:
    """Read a run record written by :func:`to_json` (JSON text, a path or a dict)."""
    if isinstance(data, os.PathLike) or (isinstance(data, str) and not data.lstrip().startswith("{")):
        with open(data, encoding="utf-8") as fh:
            data = json.load(fh)
    elif isinstance(data, str):
        data = json.loads(data)
    if not isinstance(data, dict) or data.get("format") != RUN_FORMAT:
        raise ValueError(f"not a run record (expected \"format\": \"{RUN_FORMAT}\")")
    final = data.get("final")
    return EvolveResult(
        steps_requested=data["settings"]["steps_requested"],
        steps_done=data["counts"]["steps_done"],
        attempted=data["counts"]["attempted"],
        successful=data["counts"]["successful"],
        wall_time=data["wall_time"],
        reason=data["reason"],
        history={k: list(v) for k, v in data["history"].items()},
        semantics=data["settings"]["semantics"],
        rules=[Rule(r["lhs"], r["kept"], r["rhs"], r["weight"]) for r in data["rules"]],
        initial_edges=data.get("initial_edges"),
        final_edges=None if final is None else final["edges"],
        final_vertices=None if final is None else final["vertices"],
        seed=data["settings"].get("seed"),
    )
