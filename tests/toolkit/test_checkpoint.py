"""Checkpoints: a loaded engine continues in lockstep with the original, and
damaged, truncated, foreign or newer files are refused with a reason."""

import random
import struct
import zlib

import pytest

import vorn
from vornkit import _native
from vornkit import checkpoint

GROWTH = ([["x", "y"], ["x", "z"]], ["x", "y", "z"], [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]])


def mixed_engine(seed):
    engine = vorn.Engine()
    _native.reseed(engine, seed)
    engine.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
    engine.step()
    engine.clear_rules()
    engine.set_semantics("SPO")
    engine.add_rule(*GROWTH, 1.0)
    engine.add_rule([["x", "y"]], ["y"], [], 0.05)  # deletes x
    return engine


def canonical(engine, base):
    """get_edges() with the ids created after `base` replaced by their rank:
    two engines of one process that took the same steps give the same list."""
    edges = engine.get_edges()
    new = sorted({v for e in edges for v in e if v >= base} | {v for v in engine.get_vertices() if v >= base})
    rank = {v: base + i for i, v in enumerate(new)}
    return [[rank.get(v, v) for v in e] for e in edges], sorted(rank.get(v, v) for v in engine.get_vertices())


def test_a_loaded_engine_continues_in_lockstep(tmp_path):
    original = mixed_engine(11)
    original.run(2000)
    original.set_observable(original.get_vertices()[0], "mass", 2.5)
    path = tmp_path / "run.vorn"
    checkpoint.save(original, path, metadata={"note": "half way"})
    loaded, meta = checkpoint.load(path, metadata=True)
    assert meta == {"note": "half way"}
    base = max(original.get_vertices()) + 1
    assert canonical(loaded, base) == canonical(original, base)
    assert loaded.get_all_observables() == original.get_all_observables()
    gen = random.Random(3)
    done = 0
    while done < 100_000:  # deletions (SPO) and rollbacks on both sides
        n = gen.randrange(1, 400)
        original.run(n)
        loaded.run(n)
        done += n
        if gen.random() < 0.5:
            assert original.rollback() == loaded.rollback()
        assert original.step() == loaded.step()
        assert original.get_successful_rewrites() == loaded.get_successful_rewrites()
        assert original.get_structural_pair_count() == loaded.get_structural_pair_count()
    new_ids = set(loaded.get_vertices()) - set(range(base))
    assert not new_ids & set(original.get_vertices())  # one process, no shared ids
    assert canonical(loaded, base) == canonical(original, base)


def write(path, fmt=checkpoint.FORMAT, meta=b"{}", state=b"", crc=None, extra=b""):
    head = struct.pack("<8sIIQQ", b"VORNCKPT", fmt, 0, len(meta), len(state))
    if crc is None:
        crc = zlib.crc32(head + meta + state)
    path.write_bytes(head + meta + state + struct.pack("<I", crc) + extra)


def test_damaged_files_are_refused_with_a_reason(tmp_path):
    engine = mixed_engine(5)
    engine.run(300)
    good = tmp_path / "good.vorn"
    checkpoint.save(engine, good)
    data = good.read_bytes()
    bad = tmp_path / "bad.vorn"
    for cut in (0, 5, 20, 40, len(data) // 2, len(data) - 1):
        bad.write_bytes(data[:cut])
        with pytest.raises(ValueError, match="not a vorn checkpoint|truncated"):
            checkpoint.load(bad)
    gen = random.Random(1)
    for _ in range(50):
        flipped = bytearray(data)
        flipped[gen.randrange(len(data))] ^= 1 << gen.randrange(8)
        bad.write_bytes(bytes(flipped))
        with pytest.raises(ValueError, match="damaged|not a vorn checkpoint|newer|truncated|after the end"):
            checkpoint.load(bad)
    (tmp_path / "foreign").write_bytes(b"%PDF-1.7 not at all")
    with pytest.raises(ValueError, match="foreign is not a vorn checkpoint"):
        checkpoint.load(tmp_path / "foreign")
    write(bad, fmt=2)
    with pytest.raises(ValueError, match="newer vorn"):
        checkpoint.load(bad)
    bad.write_bytes(data + b"x")
    with pytest.raises(ValueError, match="after the end"):
        checkpoint.load(bad)
    # Engine bytes that pass the checksum but describe no consistent engine.
    state = _native.save(engine)
    write(bad, state=state[:-2])
    with pytest.raises(ValueError, match="engine's data in the checkpoint is not valid: truncated"):
        checkpoint.load(bad)
    assert checkpoint.load(good).get_edges() == engine.get_edges()  # the good one still loads


def test_saving_is_all_or_nothing(tmp_path):
    engine = mixed_engine(2)
    engine.run(50)
    path = tmp_path / "run.vorn"
    path.write_bytes(b"the previous checkpoint")
    with pytest.raises(TypeError):
        checkpoint.save(engine, path, metadata={"x": object()})  # not JSON: nothing written
    assert path.read_bytes() == b"the previous checkpoint"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.vorn"]
