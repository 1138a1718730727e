"""A step that cannot allocate raises MemoryError and is undone: the engine
stays as it was before that step, and goes on once memory is there again.

The limit is a cap on the child's address space (RLIMIT_AS), which the
sanitizer build cannot live under (it reserves terabytes of address space)."""

import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = os.environ.get("VORN_SANITIZED") == "1"

CHILD = textwrap.dedent("""
    import resource, sys, tempfile, os
    import vorn
    from vornkit import _native, checkpoint

    def counts(e):
        return (e.get_attempted_rewrites(), e.get_successful_rewrites(), e.node_count(), e.edge_count(),
                e.get_structural_pair_count())

    e = vorn.Engine()
    _native.reseed(e, 7)
    # Each step creates 16 vertices and 6 hyperedges of 8 (stored apart from
    # their records) with their causal relations.
    e.add_rule([], [], [list("abcdefgh"), list("ijklmnop")] * 3, 1.0)
    e.run(1000)
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (400 << 20), hard))
    failures = 0
    chunk = 20000
    while failures < 3:
        before = counts(e)
        try:
            e.run(chunk) if failures == 0 else e.step()
        except MemoryError as exc:
            failures += 1
            done = int(str(exc).split("after ")[1].split(" of")[0])
            after = counts(e)
            # The steps before the failed one are kept, the failed one is not.
            assert after[0] == before[0] + done, (before, after, str(exc))
            assert after[1] - before[1] == done and after[2] - before[2] == 16 * done, (before, after)
            assert after[3] - before[3] == 6 * done, (before, after)
            continue
        if failures:
            sys.exit("a step succeeded under the same limit")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    kept = counts(e)
    assert e.step() is True and counts(e)[0] == kept[0] + 1
    assert e.rollback() is True and counts(e) == kept
    # The store is consistent: its checkpoint loads (the loader runs the
    # store's full check) and holds the same graph.
    path = os.path.join(tempfile.mkdtemp(), "after.vorn")
    checkpoint.save(e, path)
    loaded = checkpoint.load(path)
    assert sorted(map(tuple, loaded.get_edges())) == sorted(map(tuple, e.get_edges()))
    e.run(100)
    print("ok", kept[0])
""")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer build cannot run under a cap on its address space")
def test_a_step_that_runs_out_of_memory_is_undone(subprocess_env):
    out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=subprocess_env,
                         timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.startswith("ok"), out.stdout
