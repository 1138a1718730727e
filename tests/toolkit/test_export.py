import json
import os
from collections import Counter

import networkx as nx
import pytest

import vornkit
from conftest import GROWTH_RULE

EDGES = [[1, 2, 3], [3, 3], [1, 2], [1, 2], [4]]


def test_to_networkx_views():
    multi = vornkit.to_networkx(EDGES, vertices=[1, 2, 3, 4, 5])
    assert isinstance(multi, nx.MultiGraph)
    assert sorted(multi.nodes) == [1, 2, 3, 4, 5]
    # (1,2,3) gives 3 pairs, (3,3) none, each (1,2) one
    assert multi.number_of_edges() == 5 and multi.number_of_edges(1, 2) == 3
    ordered = vornkit.to_networkx(EDGES, kind="ordered")
    assert isinstance(ordered, nx.DiGraph)
    assert sorted(ordered.edges) == [(1, 2), (2, 3), (3, 3)]
    assert ordered[1][2]["hyperedges"] == [0, 2, 3] and ordered[3][3]["hyperedges"] == [1]
    with pytest.raises(ValueError):
        vornkit.to_networkx(EDGES, kind="clique")


def test_hif_round_trip_from_engine(engine, tmp_path):
    mapping = vornkit.start(engine, EDGES)
    engine.set_observable(mapping[1], "mass", 1.5)
    hif = vornkit.to_hif(engine, network_type="directed", metadata={"name": "demo"})
    assert set(hif) == {"network-type", "metadata", "nodes", "edges", "incidences"}
    assert hif["network-type"] == "directed" and hif["metadata"]["name"] == "demo"
    for inc in hif["incidences"]:
        assert set(inc) <= {"edge", "node", "weight", "direction", "attrs"}
        assert inc["direction"] == ("tail" if inc["attrs"]["position"] == 0 else "head")
    node = next(n for n in hif["nodes"] if n["node"] == mapping[1])
    assert node["attrs"]["observables"] == {"mass": 1.5}
    path = tmp_path / "h.json"
    path.write_text(json.dumps(hif))
    vertices, edges = vornkit.from_hif(path)
    assert Counter(map(tuple, edges)) == Counter(map(tuple, engine.get_edges()))
    assert sorted(vertices) == sorted(engine.get_vertices())


def test_hif_order_from_incidences_alone():
    hif = vornkit.to_hif(EDGES)
    for rec in hif["edges"]:
        del rec["attrs"]
    hif["incidences"].reverse()
    assert vornkit.from_hif(json.dumps(hif))[1] == EDGES
    with pytest.raises(ValueError):
        vornkit.from_hif({"nodes": []})


def test_run_record_round_trip(engine, tmp_path):
    vornkit.start(engine, "{{1,2},{1,3}}", rules=GROWTH_RULE)
    result = vornkit.evolve(engine, 60, chunk=20, progress=False, rules=[GROWTH_RULE + " @ 2"],
                            record={"nodes": lambda e: e.node_count(), "isolated": vornkit.METRICS["isolated"]})
    result.initial_edges = [[1, 2], [1, 3]]
    path = tmp_path / "run.json"
    text = vornkit.to_json(result, path, note="test")
    data = json.loads(path.read_text())
    assert data["rules"][0]["text"] == GROWTH_RULE + " @ 2.0"
    assert data["counts"] == {"steps_done": 60, "attempted": 60, "successful": result.successful}
    assert data["final"]["edges"] == result.final_edges and data["extra"] == {"note": "test"}
    assert vornkit.from_json(text) == result
    assert vornkit.from_json(path) == result
    with pytest.raises(ValueError):
        vornkit.from_json('{"format": "other"}')


def test_run_record_keeps_isolated_vertices(engine):
    vornkit.start(engine, "{{1,2},{3,4}}")
    engine.add_rule([["x", "y"]], ["x", "y"], [], 1.0)  # removes a hyperedge, keeps its vertices
    result = vornkit.evolve(engine, 1, progress=False)
    assert result.successful == 1 and len(engine.get_isolated_vertices()) == 2 and len(result.final_edges) == 1
    back = vornkit.from_json(vornkit.to_json(result))
    assert back == result and sorted(back.final_vertices) == sorted(engine.get_vertices())


def test_outputs_are_complete_or_absent(engine, tmp_path):
    import resource
    import threading

    from vornkit.files import replaced

    vornkit.start(engine, [[i, i + 1] for i in range(300)])
    result = vornkit.evolve(engine, 0, progress=False)
    old = tmp_path / "run.json"
    old.write_text("old\n")
    with pytest.raises(KeyboardInterrupt):
        with replaced(old) as fh:
            fh.write("partial")
            raise KeyboardInterrupt
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))  # as `ulimit -f`
    try:
        with pytest.raises(OSError) as info:
            vornkit.to_json(result, old)
        with pytest.raises(OSError):
            vornkit.plot_hypergraph(result.final_edges[:40], tmp_path / "h.png", figsize=(3, 3), dpi=100)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert info.value.filename == str(old) and "too large" in str(info.value)
    assert [p.name for p in tmp_path.iterdir()] == ["run.json"] and old.read_text() == "old\n"

    # Something that is not a regular file is written, not replaced.
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    received = []
    reader = threading.Thread(target=lambda: received.append(pipe.read_text()))
    reader.start()
    vornkit.to_json(result, pipe)
    reader.join(10)
    assert json.loads(received[0])["format"] == "vornkit-run/1" and pipe.is_fifo()


def test_a_read_only_output_is_not_replaced(engine, tmp_path):
    vornkit.start(engine, [[1, 2]])
    result = vornkit.evolve(engine, 0, progress=False)
    kept = tmp_path / "run.json"
    kept.write_text("protected\n")
    kept.chmod(0o444)
    with pytest.raises(PermissionError, match="read-only") as info:
        vornkit.to_json(result, kept)
    assert info.value.filename == str(kept)
    assert kept.read_text() == "protected\n" and [p.name for p in tmp_path.iterdir()] == ["run.json"]
    kept.chmod(0o644)  # writable again: replaced as usual
    vornkit.to_json(result, kept)
    assert json.loads(kept.read_text())["format"] == "vornkit-run/1"


def test_indented_record_has_the_same_content(engine):
    vornkit.start(engine, "{{1,2},{1,3}}", rules=GROWTH_RULE)
    result = vornkit.evolve(engine, 40, progress=False)
    assert result.final_edges == engine.get_edges() and result.final_vertices == engine.get_vertices()
    plain = json.loads(vornkit.to_json(result))
    for extra in ({}, {"note": "\x00final\x00"}):
        text = vornkit.to_json(result, indent=1, **extra)
        assert json.loads(text) == {**plain, **({"extra": extra} if extra else {})}
        assert text.startswith('{\n "format"')
    result.final_edges = result.final_vertices = None
    assert json.loads(vornkit.to_json(result, indent=1))["final"] is None


def test_record_from_the_engine_is_the_same_text(engine, tmp_path, monkeypatch):
    from vornkit import export

    # Arities 0 to 4 mixed within a chunk, and an isolated vertex.
    vornkit.start(engine, "{{1,2,3},{3,3},{1,2},{4},{5,6},{2,7,2,8}}")
    engine.add_rule([["x", "y"]], ["x", "y"], [["x"], []], 1.0)
    vornkit.reseed(engine, 2)
    result = vornkit.evolve(engine, 3, progress=False)
    assert [] in result.final_edges and engine.get_isolated_vertices()
    monkeypatch.setattr(export, "HIF_CHUNK", 3)
    path = tmp_path / "r.json"
    # Pieces of one byte (a write after every number) and of a MiB (one write).
    for piece, indent, extra in ((1, 1, {}), (1 << 20, None, {"steps_before": 5}), (7, 1, {"note": "\x00final\x00"})):
        monkeypatch.setattr(export, "FINAL_PIECE", piece)
        export.write_run_record(result, path, engine, indent=indent, **extra)
        assert path.read_text() == vornkit.to_json(result, indent=indent, **extra) + "\n"
