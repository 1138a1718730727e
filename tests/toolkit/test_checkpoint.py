"""Checkpoints: a loaded engine continues in lockstep with the original, and
damaged, truncated, foreign or newer files are refused with a reason."""

import fcntl
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import textwrap
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


def write(path, fmt=checkpoint.FORMAT, meta=b"{}", state=b"", crc=None, extra=b"", flags=0):
    head = struct.pack("<8sIIQQ", b"VORNCKPT", fmt, flags, len(meta), len(state))
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
    write(bad, fmt=checkpoint.FORMAT + 1)
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


def test_header_fields_a_reader_does_not_know_are_refused(tmp_path):
    state = _native.save(mixed_engine(4))
    bad = tmp_path / "bad.vorn"
    write(bad, state=state, flags=1)
    with pytest.raises(ValueError, match="newer vorn .header flags 0x1"):
        checkpoint.load(bad)
    write(bad, state=state, fmt=0)
    with pytest.raises(ValueError, match="no valid checkpoint format number .0."):
        checkpoint.load(bad)
    write(bad, state=state)
    assert checkpoint.load(bad).get_edges() == _native.load(state).get_edges()


CORPUS = pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "checkpoints"


def test_engines_saved_in_format_1_still_load(tmp_path):
    """The committed checkpoints hold engine bytes as format 1 wrote them."""
    old = tmp_path / "old.vorn"
    for state in sorted(CORPUS.iterdir()):
        write(old, fmt=1, state=state.read_bytes())
        engine = checkpoint.load(old)
        assert engine.node_count() == len(engine.get_vertices())
        checkpoint.save(engine, tmp_path / "again.vorn")
        assert checkpoint.load(tmp_path / "again.vorn").get_edges() == engine.get_edges()


def test_counters_no_run_can_reach_are_refused(tmp_path):
    engine = mixed_engine(6)
    engine.run(100)
    state = bytearray(_native.save(engine))
    steps, attempted, successful = (struct.unpack_from("<Q", state, at)[0] for at in (16, 32, 40))
    assert successful <= attempted <= steps
    bad = tmp_path / "bad.vorn"
    for at, value, reason in ((32, 2**64 - 1, "more attempted rewrites than steps"),
                              (40, attempted + 1, "more successful rewrites than attempted"),
                              (16, 2**62, "step count above 2.62")):
        damaged = bytearray(state)
        if at == 16:
            for field in (16, 32, 40):
                struct.pack_into("<Q", damaged, field, value)
        else:
            struct.pack_into("<Q", damaged, at, value)
        write(bad, state=bytes(damaged))
        with pytest.raises(ValueError, match=reason):
            checkpoint.load(bad)


def test_deeply_nested_metadata_is_a_value_error(tmp_path):
    deep = tmp_path / "deep.vorn"
    write(deep, meta=b"[" * 100_000 + b"]" * 100_000, state=_native.save(mixed_engine(1)))
    with pytest.raises(ValueError, match="unreadable metadata: nested too deeply"):
        checkpoint.load(deep)


def test_only_regular_files_are_read(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path in ("/dev/zero", fifo, tmp_path):
        with pytest.raises(ValueError, match="is not a regular file"):
            checkpoint.load(path)


def test_a_file_is_not_read_beyond_its_declared_size(tmp_path, subprocess_env):
    """A 3 GB sparse file whose header declares a small checkpoint is refused
    without being read: the child's peak memory stays far below the file's size.
    (Measured rather than capped with RLIMIT_AS, which the sanitizer build's
    address-space reservations cannot live under; as the kernel's VmHWM, since
    ru_maxrss would include the size of the parent that started the child.)"""
    big = tmp_path / "big.vorn"
    write(big, state=_native.save(mixed_engine(2)))
    with open(big, "r+b") as f:
        f.truncate(3 * 2**30)
    child = textwrap.dedent(f"""
        import vornkit
        try:
            vornkit.load({str(big)!r})
        except ValueError as exc:
            print(exc)
        with open("/proc/self/status") as f:
            print("peak", next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024)
    """)
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, env=subprocess_env,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    peak = int(out.stdout.split("peak")[-1])
    assert peak < 2**30, peak
    assert "bytes after the end of the checkpoint" in out.stdout


def test_a_killed_save_leaves_nothing_behind_the_next_one(tmp_path, subprocess_env):
    path = tmp_path / "run.vorn"
    child = textwrap.dedent(f"""
        import os, signal
        from vornkit.files import replaced
        with replaced({str(path)!r}, binary=True) as out:
            out.write(b"x" * 100_000)
            out.flush()
            os.kill(os.getpid(), signal.SIGKILL)
    """)
    out = subprocess.run([sys.executable, "-c", child], env=subprocess_env, timeout=120)
    assert out.returncode == -signal.SIGKILL
    left = [p.name for p in tmp_path.iterdir()]
    assert len(left) == 1 and left[0].startswith(".run.vorn.")  # the killed save's temporary file
    # A temporary file still being written (locked) by another save stays.
    busy = tmp_path / ".run.vorn.0123abcd.tmp"
    with open(busy, "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        engine = mixed_engine(3)
        checkpoint.save(engine, path)
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted([busy.name, "run.vorn"])
    # Temporary files of other targets are not this save's business.
    other = tmp_path / ".other.vorn.0123abcd.tmp"
    other.write_bytes(b"")
    checkpoint.save(engine, path)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([other.name, "run.vorn"])
    assert checkpoint.load(path).get_edges() == engine.get_edges()
