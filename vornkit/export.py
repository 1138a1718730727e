"""Export: networkx graphs, the hypergraph interchange format (HIF), run and ensemble records."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, Hashable, List, Optional, Tuple

from ._companion import is_engine, native
from .arrays import edges_array, vertices_array
from .checks import hypergraph_parts
from .collector import collector_paused
from .evolve import EvolveResult
from .files import replaced
from .notation import Rule, format_rule

__all__ = ["to_networkx", "to_hif", "write_hif", "from_hif", "to_json", "from_json", "RUN_FORMAT",
           "json_lines", "write_jsonl", "ENSEMBLE_FORMAT"]

#: Identifies the JSON run records written by :func:`to_json`.
RUN_FORMAT = "vornkit-run/1"

#: Identifies the JSON lines written by :func:`write_jsonl`.
ENSEMBLE_FORMAT = "vornkit-ensemble/1"


def _engine_nodes(engine, arrays, vertices=None) -> List[Hashable]:
    """The vertices of an engine's hyperedges in order of first appearance, then
    those of ``vertices`` (default: the engine's) that occur in none."""
    import numpy as np
    if vertices is None:
        return _engine_node_array(engine, arrays).tolist()
    values, first = np.unique(arrays.vertices, return_index=True)
    listed = values[np.argsort(first)].tolist()
    present = set(listed)
    return listed + [v for v in vertices if v not in present]


def _engine_node_array(engine, arrays):
    """:func:`_engine_nodes` of the engine's own vertices, as an int64 array."""
    import numpy as np
    members, others = arrays.vertices, vertices_array(engine)
    if not len(members) or not len(others):
        values, first = np.unique(members, return_index=True)
        return np.concatenate([values[np.argsort(first)], others])
    low = min(int(members.min()), int(others.min()))
    span = max(int(members.max()), int(others.max())) - low + 1
    if span > 4 * (len(members) + len(others)) + (1 << 20):  # ids too spread out for a table
        values, first = np.unique(members, return_index=True)
        listed = values[np.argsort(first)]
        return np.concatenate([listed, others[~np.isin(others, listed)]])
    # Ids come from one counter: a table over their range finds each one's
    # first position without sorting every position.
    first = np.full(span, len(members), dtype=np.int64)
    np.minimum.at(first, members - low, np.arange(len(members)))
    present = np.flatnonzero(first < len(members))
    listed = present[np.argsort(first[present], kind="stable")] + low
    return np.concatenate([listed, others[first[others - low] == len(members)]])


def _graph_parts(source, vertices=None) -> Tuple[List[Hashable], List[List[Hashable]]]:
    """(vertices, edges) from an engine or from a list of hyperedges."""
    if is_engine(source):
        # Bulk arrays: the same lists in the same order, several times faster.
        arrays = edges_array(source)
        return _engine_nodes(source, arrays, vertices), arrays.tolist()
    edges, vertices = hypergraph_parts(source, vertices)
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

    The cost is networkx's: a Python dict per vertex and per edge, about
    12 s and several GiB for the 2·10^6 hyperedges of 10^6 growth steps.
    For numerical work on large engines use the numpy arrays instead
    (:func:`~vornkit.edges_array`, :func:`~vornkit.vertices_array`,
    :func:`~vornkit.degrees_array`), which copy the same data in well under
    a second.
    """
    import networkx as nx
    if kind not in ("2-section", "2section", "undirected", "ordered", "directed"):
        raise ValueError(f"kind must be '2-section' or 'ordered', got {kind!r}")
    if is_engine(edges):
        arrays = edges_array(edges)
        nodes, edge_list = _engine_nodes(edges, arrays, vertices), None
    else:
        arrays = None
        nodes, edge_list = _graph_parts(edges, vertices)
    if kind in ("2-section", "2section", "undirected"):
        g = nx.MultiGraph()
        g.add_nodes_from(nodes)
        if arrays is not None:
            # (add_edge in a loop is faster than add_edges_from for a MultiGraph)
            for a, b, i in zip(*_position_pairs(arrays)):
                g.add_edge(a, b, hyperedge=i)
            return g
        for i, e in enumerate(edge_list):
            for a in range(len(e)):
                for b in range(a + 1, len(e)):
                    if e[a] != e[b]:
                        g.add_edge(e[a], e[b], hyperedge=i)
        return g
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    if arrays is not None:
        arcs: Dict[Tuple[int, int], List[int]] = {}
        for a, b, i in zip(*_consecutive_pairs(arrays)):
            listed = arcs.get((a, b))
            if listed is None:
                arcs[(a, b)] = [i]
            else:
                listed.append(i)
        g.add_edges_from((a, b, {"hyperedges": listed}) for (a, b), listed in arcs.items())
        return g
    for i, e in enumerate(edge_list):
        for a, b in zip(e, e[1:]):
            if g.has_edge(a, b):
                g[a][b]["hyperedges"].append(i)
            else:
                g.add_edge(a, b, hyperedges=[i])
    return g


def _position_pairs(arrays) -> Tuple[List[int], List[int], List[int]]:
    """(u, v, hyperedge index) for the positions a < b of each hyperedge holding
    distinct vertices, ordered by hyperedge, then a, then b."""
    import numpy as np
    arity = arrays.arities()
    firsts, seconds, owners = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
    for n in np.unique(arity[arity >= 2]).tolist():
        which = np.flatnonzero(arity == n)
        a, b = np.triu_indices(n, 1)  # (0,1), (0,2), ..., (1,2), ...: the order of two nested loops
        starts = arrays.offsets[which][:, None]
        firsts.append((starts + a).ravel())
        seconds.append((starts + b).ravel())
        owners.append(np.repeat(which, len(a)))
    owner = np.concatenate(owners)
    order = np.argsort(owner, kind="stable")  # each hyperedge's pairs stay in loop order
    u = arrays.vertices[np.concatenate(firsts)[order]]
    v = arrays.vertices[np.concatenate(seconds)[order]]
    distinct = u != v
    return u[distinct].tolist(), v[distinct].tolist(), owner[order][distinct].tolist()


def _consecutive_pairs(arrays) -> Tuple[List[int], List[int], List[int]]:
    """(u, v, hyperedge index) for each pair of consecutive positions, in order."""
    import numpy as np
    arity = arrays.arities()
    owner = np.repeat(np.arange(len(arity)), arity)
    follows = np.ones(len(arrays.vertices), dtype=bool)
    follows[arrays.offsets[1:][arity > 0] - 1] = False  # the last position of each hyperedge
    first = np.flatnonzero(follows)
    return (arrays.vertices[first].tolist(), arrays.vertices[first + 1].tolist(), owner[first].tolist())


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
    with ``json.dump``, or write it directly with :func:`write_hif`, which
    never holds the document: it is a Python dict per node, edge and
    incidence and one per ``attrs`` (13 million after 10^6 growth steps, at
    184 bytes each in CPython), about 2.6 GiB in all.  From an engine the
    vertex ids and hyperedge numbers are shared int objects; every dict and
    list is its own.  :func:`from_hif` reads it back.
    """
    if network_type not in ("undirected", "directed"):
        raise ValueError(f"network_type must be 'undirected' or 'directed', got {network_type!r}")
    if is_engine(source):
        return _engine_hif(source, network_type, metadata, vertices)
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
    return {"network-type": network_type, "metadata": _hif_metadata(source, metadata), "nodes": node_records,
            "edges": edge_records, "incidences": incidences}


def _hif_metadata(source, metadata) -> Dict[str, Any]:
    meta = {"generator": "vornkit", "ordered-hyperedges": True}
    if hasattr(source, "get_semantics"):
        meta["semantics"] = source.get_semantics()
    if metadata:
        meta.update(metadata)
    return meta


def _node_record(v, observables) -> Dict[str, Any]:
    rec: Dict[str, Any] = {"node": v}
    obs = observables.get(v)
    if obs:
        rec["attrs"] = {"observables": {k: _json_number(x) for k, x in obs.items()}}
    return rec


def _set_observables(engine) -> Dict[Hashable, Dict[str, float]]:
    """The engine's observables of the vertices that have any."""
    return {v: obs for v, obs in engine.get_all_observables().items() if obs}


def _engine_hif(engine, network_type: str, metadata, vertices) -> Dict[str, Any]:
    """:func:`to_hif` of an engine: its records built natively, or from its bulk arrays."""
    build = getattr(native(), "hif_records", None) if vertices is None else None
    if build is None:
        return _engine_hif_of_arrays(engine, network_type, metadata, vertices)
    observables = _set_observables(engine)
    with collector_paused():
        node_records, edge_records, incidences = build(engine, network_type == "directed")
    if observables:
        for rec in node_records:
            obs = observables.get(rec["node"])
            if obs:
                rec["attrs"] = {"observables": {k: _json_number(x) for k, x in obs.items()}}
    return {"network-type": network_type, "metadata": _hif_metadata(engine, metadata), "nodes": node_records,
            "edges": edge_records, "incidences": incidences}


def _engine_hif_of_arrays(engine, network_type: str, metadata, vertices) -> Dict[str, Any]:
    """:func:`to_hif` of an engine, from its bulk arrays."""
    import numpy as np
    arrays = edges_array(engine)
    arity = arrays.arities()
    observables = _set_observables(engine)
    owner = np.repeat(np.arange(len(arity)), arity).tolist()
    position = (np.arange(len(arrays.vertices)) - np.repeat(arrays.offsets[:-1], arity)).tolist()
    nodes = _engine_nodes(engine, arrays, vertices)
    with collector_paused():
        if observables:
            node_records = [_node_record(v, observables) for v in nodes]
        else:
            node_records = [{"node": v} for v in nodes]
        del nodes
        edge_records = [{"edge": i, "attrs": {"vertices": e}} for i, e in enumerate(arrays.tolist())]
        members = arrays.vertices.tolist()
        if network_type == "directed":
            incidences = [{"edge": i, "node": v, "attrs": {"position": k}, "direction": "head" if k else "tail"}
                          for i, v, k in zip(owner, members, position)]
        else:
            incidences = [{"edge": i, "node": v, "attrs": {"position": k}}
                          for i, v, k in zip(owner, members, position)]
    return {"network-type": network_type, "metadata": _hif_metadata(engine, metadata), "nodes": node_records,
            "edges": edge_records, "incidences": incidences}


#: Hyperedges per piece of text that :func:`write_hif` formats at once.
HIF_CHUNK = 1 << 16


def write_hif(source, path, *, network_type: str = "undirected", metadata: Optional[Dict[str, Any]] = None,
              vertices=None) -> None:
    """Write :func:`to_hif` of ``source`` to ``path`` as JSON, complete or not at all.

    The text is that of ``json.dump(to_hif(source, ...), file)``.  From an
    engine it is formatted piece by piece from the bulk arrays, without
    building the document: memory stays at a few hundred bytes per vertex,
    and the time at a fraction of :func:`to_hif`'s.  The file is replaced
    only once complete (see :func:`vornkit.files.replaced`).
    """
    if network_type not in ("undirected", "directed"):
        raise ValueError(f"network_type must be 'undirected' or 'directed', got {network_type!r}")
    if not is_engine(source):
        document = to_hif(source, network_type=network_type, metadata=metadata, vertices=vertices)
        with replaced(path) as fh:
            json.dump(document, fh)
        return
    arrays = edges_array(source)
    observables = _set_observables(source)
    if vertices is None:
        nodes = _engine_node_array(source, arrays)
    else:
        nodes = _engine_nodes(source, arrays, vertices)
    head = (f'{{"network-type": {json.dumps(network_type)}, '
            f'"metadata": {json.dumps(_hif_metadata(source, metadata))}, "nodes": [')
    with replaced(path) as fh:
        fh.write(head)
        _write_joined(fh, _node_texts(nodes, observables))
        fh.write('], "edges": [')
        _write_joined(fh, _edge_texts(arrays))
        fh.write('], "incidences": [')
        _write_joined(fh, _incidence_texts(arrays, network_type == "directed"))
        fh.write("]}")


def _write_joined(fh, pieces) -> None:
    """Write the non-empty ``pieces`` separated as json.dump separates list items."""
    first = True
    for piece in pieces:
        if not piece:
            continue
        if not first:
            fh.write(", ")
        fh.write(piece)
        first = False


def _node_texts(nodes, observables):
    """The node records as JSON text, a piece per chunk of nodes."""
    for start in range(0, len(nodes), HIF_CHUNK):
        chunk = nodes[start:start + HIF_CHUNK]
        chunk = chunk.tolist() if hasattr(chunk, "tolist") else list(chunk)
        if any(v in observables for v in chunk) or not all(type(v) is int for v in chunk):
            yield ", ".join(json.dumps(_node_record(v, observables)) for v in chunk)
        else:
            yield _filled({0: '{"node": %d}'}, [0] * len(chunk), chunk)


def _edge_texts(arrays):
    """The edge records as JSON text, a piece per chunk of hyperedges: one ``%`` formatting of
    a template made of one part per hyperedge (its index, then its vertices)."""
    import numpy as np
    templates: Dict[int, str] = {}
    count = len(arrays.ids)
    for start in range(0, count, HIF_CHUNK):
        stop = min(count, start + HIF_CHUNK)
        bounds = arrays.offsets[start:stop + 1]
        arity = np.diff(bounds)
        members = arrays.vertices[bounds[0]:bounds[-1]]
        values = np.insert(members, bounds[:-1] - bounds[0], np.arange(start, stop))
        for a in np.unique(arity).tolist():
            if a not in templates:
                templates[a] = '{"edge": %d, "attrs": {"vertices": [' + ", ".join(["%d"] * a) + "]}}"
        yield _filled(templates, arity, values)


def _incidence_texts(arrays, directed: bool):
    """The incidence records as JSON text, a piece per chunk of hyperedges."""
    import numpy as np

    def one(k: int) -> str:
        text = '{"edge": %d, "node": %d, "attrs": {"position": ' + str(k) + "}"
        if directed:
            text += ', "direction": "tail"' if k == 0 else ', "direction": "head"'
        return text + "}"

    templates: Dict[int, str] = {}
    count = len(arrays.ids)
    for start in range(0, count, HIF_CHUNK):
        stop = min(count, start + HIF_CHUNK)
        bounds = arrays.offsets[start:stop + 1]
        arity = np.diff(bounds)
        members = arrays.vertices[bounds[0]:bounds[-1]]
        owner = np.repeat(np.arange(start, stop), arity)
        for a in np.unique(arity).tolist():
            if a not in templates:
                templates[a] = ", ".join(one(k) for k in range(a))
        yield _filled(templates, arity[arity > 0], np.column_stack((owner, members)).ravel())


def _per_hyperedge(templates: Dict[int, str], arity) -> List[str]:
    """The template of each hyperedge's arity, in order."""
    if len(arity) and arity.min() == arity.max():
        return [templates[int(arity[0])]] * len(arity)
    return [templates[a] for a in arity.tolist()]


def _filled(templates: Dict[int, str], arity, values) -> str:
    """``", ".join(_per_hyperedge(templates, arity)) % tuple(values)`` for int ``values``, formatted
    in native code (the numbers of a large hypergraph take seconds through ``%``)."""
    import numpy as np
    keys = list(templates)
    position = {k: i for i, k in enumerate(keys)}
    arity = np.asarray(arity, dtype=np.int64)
    if len(keys) == 1:
        which = np.zeros(len(arity), dtype=np.int64)
    else:
        table = np.zeros(max(keys) + 1, dtype=np.int64)
        table[keys] = [position[k] for k in keys]
        which = table[arity]
    try:
        numbers = np.ascontiguousarray(values, dtype=np.int64)
    except OverflowError:  # ids beyond int64: Python's own formatting
        return ", ".join(_per_hyperedge(templates, arity)) % tuple(int(v) for v in values)
    return native().fill_templates([templates[k] for k in keys], which, numbers)


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


def _history_out(values) -> List[Any]:
    # JSON has no NaN or infinity: a value missing from a series (a costly
    # metric not measured in that row) is written as null.
    return [None if isinstance(v, float) and not math.isfinite(v) else v for v in values]


def _history_in(values) -> List[Any]:
    return [math.nan if v is None else v for v in values]


def rule_record(rule: Rule) -> Dict[str, Any]:
    """A rule as a JSON-friendly dict: its parts, its weight and, where the notation can write it, its text."""
    rec: Dict[str, Any] = {"lhs": rule.lhs, "kept": rule.kept, "rhs": rule.rhs, "weight": rule.weight}
    try:
        rec["text"] = format_rule(rule)
    except ValueError:
        pass
    return rec


def to_json(result: EvolveResult, path=None, *, indent: Optional[int] = None, **extra) -> str:
    """A run record as JSON text: rules, settings, counts, history, final state.

    ``extra`` keyword arguments are stored under ``"extra"`` (they must be
    JSON-serialisable).  NaN and infinite values in the history (e.g. the
    rows where the dimension was not measured) are written as ``null`` and
    read back as NaN.  When ``path`` is given the text is also written
    there, complete or not at all (see :func:`vornkit.files.replaced`).
    :func:`from_json` reads it back into an equal result.
    """
    return _run_json(result, path, indent, extra)


def write_run_record(result: EvolveResult, path, engine, *, indent: Optional[int] = None, **extra) -> None:
    """Write :func:`to_json` of ``result`` to ``path`` with the final state read from ``engine``
    (its vertices and hyperedges now) rather than from lists in ``result``: the same text,
    formatted in native code and written a piece at a time, so that neither a Python list per
    hyperedge nor the whole text is held in memory."""
    placeholder = json.dumps(_FINAL)
    text = json.dumps({**_record(result, extra), "final": _FINAL}, indent=indent, allow_nan=False, default=_plain)
    if text.count(placeholder) != 1:  # the marker text occurs elsewhere too: no shortcut
        _run_json(result, path, indent, extra, _final_text(edges_array(engine), vertices_array(engine)))
        return
    head, tail = text.split(placeholder)
    with replaced(path) as fh:
        fh.write(head)
        native().write_final_state(engine, fh.write, FINAL_PIECE)
        fh.write(tail)
        fh.write("\n")


#: Bytes of text the native writer formats between writes (each write takes the GIL, which
#: ``vorn run`` shares with the pictures it draws meanwhile).
FINAL_PIECE = 4 << 20


def _record(result: EvolveResult, extra) -> Dict[str, Any]:
    """The run record of ``result`` as a dict (``extra`` under ``"extra"`` when not empty)."""
    record = {
        "format": RUN_FORMAT,
        "rules": [rule_record(r) for r in result.rules],
        "settings": {"semantics": result.semantics, "steps_requested": result.steps_requested,
                     "seed": result.seed},
        "counts": {"steps_done": result.steps_done, "attempted": result.attempted,
                   "successful": result.successful},
        "wall_time": result.wall_time,
        "reason": result.reason,
        "history": {k: _history_out(v) for k, v in result.history.items()},
        "initial_edges": result.initial_edges,
        "final": None if result.final_edges is None else {
            "vertices": result.final_vertices, "edges": result.final_edges},
    }
    if extra:
        record["extra"] = extra
    return record


def _run_json(result: EvolveResult, path, indent: Optional[int], extra, final_text: Optional[str] = None) -> str:
    record = _record(result, extra)
    if final_text is not None:
        record["final"] = _FINAL
    text = _dumps(record, indent, final_text)
    if path is not None:
        with replaced(path) as fh:
            fh.write(text)
            fh.write("\n")
    return text


#: Stands in the indented text for the final lists until they are put in.
_FINAL = "\x00final\x00"


def _dumps(record: Dict[str, Any], indent: Optional[int], final_text: Optional[str] = None) -> str:
    """``json.dumps`` of a run record; with ``indent``, the final lists, which can hold millions of
    numbers, are each written on one line (the indenting encoder is pure Python and far slower).
    ``final_text``: the text of the final state, already formatted (``record["final"]`` is then
    :data:`_FINAL`)."""
    if final_text is not None:
        placeholder = json.dumps(_FINAL)
        text = json.dumps(record, indent=indent, allow_nan=False, default=_plain)
        if text.count(placeholder) == 1:
            head, tail = text.split(placeholder)
            return head + final_text + tail
        record = {**record, "final": json.loads(final_text)}  # the marker text occurs elsewhere too
    final = record["final"]
    if indent is None or final is None:
        return json.dumps(record, indent=indent, allow_nan=False, default=_plain)
    placeholder = json.dumps(_FINAL)
    text = json.dumps({**record, "final": _FINAL}, indent=indent, allow_nan=False, default=_plain)
    if text.count(placeholder) != 1:  # the marker text occurs elsewhere too: no shortcut
        return json.dumps(record, indent=indent, allow_nan=False, default=_plain)
    head, tail = text.split(placeholder)
    return head + json.dumps(final, allow_nan=False, default=_plain) + tail


def _final_text(arrays, vertices) -> str:
    """``json.dumps({"vertices": vertices.tolist(), "edges": arrays.tolist()})``, formatted a chunk
    at a time by one ``%`` formatting of a template per chunk."""
    import numpy as np
    pieces = ['{"vertices": [']
    for start in range(0, len(vertices), HIF_CHUNK):
        chunk = vertices[start:start + HIF_CHUNK]
        pieces.append((", " if start else "") + _filled({0: "%d"}, [0] * len(chunk), chunk))
    pieces.append('], "edges": [')
    templates: Dict[int, str] = {}
    count = len(arrays.ids)
    for start in range(0, count, HIF_CHUNK):
        stop = min(count, start + HIF_CHUNK)
        bounds = arrays.offsets[start:stop + 1]
        arity = np.diff(bounds)
        for a in np.unique(arity).tolist():
            templates.setdefault(a, "[" + ", ".join(["%d"] * a) + "]")
        pieces.append((", " if start else "") + _filled(templates, arity, arrays.vertices[bounds[0]:bounds[-1]]))
    pieces.append("]}")
    return "".join(pieces)


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
        history={k: _history_in(v) for k, v in data["history"].items()},
        semantics=data["settings"]["semantics"],
        rules=[Rule(r["lhs"], r["kept"], r["rhs"], r["weight"]) for r in data["rules"]],
        initial_edges=data.get("initial_edges"),
        final_edges=None if final is None else final["edges"],
        final_vertices=None if final is None else final["vertices"],
        seed=data["settings"].get("seed"),
    )


def _no_nan(value):
    # JSON has no NaN or infinity: a step no ensemble member reached has no statistics.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [_no_nan(v) for v in value]
    if isinstance(value, dict):
        return {k: _no_nan(v) for k, v in value.items()}
    return value


def json_lines(result) -> List[str]:
    """An :class:`~vornkit.EnsembleResult` as JSON texts: one per member (failed ones too, by
    member index), then the aggregate."""
    records = sorted(result.members + result.failures, key=lambda r: r["member"])
    lines = [json.dumps(_no_nan({"type": "member", **r}), default=_plain, allow_nan=False) for r in records]
    aggregate = {"type": "aggregate", "format": ENSEMBLE_FORMAT, "model": result.model.describe(),
                 **result.summary(), **result.aggregate()}
    lines.append(json.dumps(_no_nan(aggregate), default=_plain, allow_nan=False))
    return lines


def write_jsonl(result, path) -> None:
    """Write :func:`json_lines` of an ensemble result to ``path``, one record a line, complete or not at all."""
    text = "\n".join(json_lines(result)) + "\n"
    with replaced(path) as fh:
        fh.write(text)
