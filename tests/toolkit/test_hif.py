import json

import pytest

import vornkit
from vornkit import export


def reference_hif(engine, network_type="undirected", metadata=None, vertices=None):
    """The document built one Python list per hyperedge, straight from the engine's lists."""
    edges = engine.get_edges()
    nodes = list(dict.fromkeys(v for e in edges for v in e))
    present = set(nodes)
    nodes += [v for v in (engine.get_vertices() if vertices is None else vertices) if v not in present]
    observables = engine.get_all_observables()
    node_records = []
    for v in nodes:
        rec = {"node": v}
        if observables.get(v):
            rec["attrs"] = {"observables": {k: export._json_number(x) for k, x in observables[v].items()}}
        node_records.append(rec)
    incidences = []
    for i, e in enumerate(edges):
        for k, v in enumerate(e):
            inc = {"edge": i, "node": v, "attrs": {"position": k}}
            if network_type == "directed":
                inc["direction"] = "tail" if k == 0 else "head"
            incidences.append(inc)
    meta = {"generator": "vornkit", "ordered-hyperedges": True, "semantics": engine.get_semantics(),
            **(metadata or {})}
    return {"network-type": network_type, "metadata": meta, "nodes": node_records,
            "edges": [{"edge": i, "attrs": {"vertices": list(e)}} for i, e in enumerate(edges)],
            "incidences": incidences}


@pytest.fixture
def mixed(engine):
    """Arities 1 to 4, repeated vertices, an isolated vertex, observables with a NaN."""
    vornkit.start(engine, "{{1,2,3},{3,3},{1,2},{1,2},{4},{5,6},{2,7,2,8}}")
    ids = engine.get_vertices()
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)  # removes a pair, keeps its vertices
    vornkit.reseed(engine, 1)
    while not engine.get_isolated_vertices():
        engine.step()
    engine.set_observable(ids[0], "mass", 1.5)
    engine.set_observable(ids[3], "charge", float("nan"))
    return engine


def test_engine_document_equals_reference(engine, mixed):
    for kind in ("undirected", "directed"):
        assert vornkit.to_hif(mixed, network_type=kind, metadata={"name": "m"}) == \
            reference_hif(mixed, kind, {"name": "m"})
    some = mixed.get_vertices()[:2] + [10**12]
    assert vornkit.to_hif(mixed, vertices=some) == reference_hif(mixed, vertices=some)
    empty = vornkit.to_hif(engine.__class__())
    assert empty["nodes"] == empty["edges"] == empty["incidences"] == []


def test_grown_engine_document_round_trips(engine):
    vornkit.start(engine, "{{1,2},{1,3}}", rules="{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}")
    engine.run(300)
    hif = vornkit.to_hif(engine)
    assert hif == reference_hif(engine)
    vertices, edges = vornkit.from_hif(hif)
    assert edges == engine.get_edges() and sorted(vertices) == sorted(engine.get_vertices())


@pytest.mark.parametrize("kind", ["undirected", "directed"])
def test_written_text_is_that_of_json_dump(engine, mixed, tmp_path, monkeypatch, kind):
    monkeypatch.setattr(export, "HIF_CHUNK", 3)  # several pieces per list, arities mixed within
    path = tmp_path / "h.json"
    vornkit.write_hif(mixed, path, network_type=kind, metadata={"name": "m"})
    assert path.read_text() == json.dumps(vornkit.to_hif(mixed, network_type=kind, metadata={"name": "m"}))
    vornkit.write_hif(engine.__class__(), path)
    assert path.read_text() == json.dumps(vornkit.to_hif(engine.__class__()))
    vornkit.write_hif([[1, 2], ["a"]], path)
    assert json.loads(path.read_text()) == vornkit.to_hif([[1, 2], ["a"]])


def test_failed_write_leaves_the_old_file(mixed, tmp_path, monkeypatch):
    path = tmp_path / "h.json"
    path.write_text("old")

    def broken(arrays, directed):
        yield '{"edge": 0}'
        raise MemoryError

    monkeypatch.setattr(export, "_incidence_texts", broken)
    with pytest.raises(MemoryError):
        vornkit.write_hif(mixed, path)
    assert path.read_text() == "old" and [p.name for p in tmp_path.iterdir()] == ["h.json"]
    with pytest.raises(ValueError):
        vornkit.write_hif(mixed, path, network_type="mixed")


def test_records_share_no_containers(mixed):
    hif = vornkit.to_hif(mixed, network_type="directed")
    records = hif["nodes"] + hif["edges"] + hif["incidences"]
    inner = [r["attrs"] for r in records if "attrs" in r] + [r["attrs"]["vertices"] for r in hif["edges"]]
    assert len({id(x) for x in records + inner}) == len(records + inner)
    hif["incidences"][0]["attrs"]["position"] = 99
    hif["edges"][0]["attrs"]["vertices"].append(-1)
    again = vornkit.to_hif(mixed, network_type="directed")
    assert hif["incidences"][1:] == again["incidences"][1:] and hif["edges"][1:] == again["edges"][1:]
    assert vornkit.to_hif(mixed) == export._engine_hif_of_arrays(mixed, "undirected", None, None)
