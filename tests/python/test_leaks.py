"""Memory and references stay flat over long runs of calls, and a valgrind
memcheck run of a scripted workload finds no definite leak in the module."""

import gc
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import vorn
from vorn import Engine

SANITIZED = os.environ.get("VORN_SANITIZED") == "1"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Raises:
    def __index__(self):
        raise KeyError("index")

    def __float__(self):
        raise KeyError("float")


class Reenter:
    """An index that calls back into the engine being called."""

    def __init__(self, engine):
        self.engine = engine

    def __index__(self):
        self.engine.step()
        return 1


# Arguments whose reference counts must not move. Ints above 256 and floats
# are not cached by the interpreter, so a leaked or stolen reference shows.
LHS = [["x", "y"], ["x", "z"]]
KEPT = ["x", "y", "z"]
RHS = [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]]
WEIGHT = 1.5
KEY = "mass"
VALUE = 2.75
BIG = 10**30
NEGATIVE = -12345
BAD_NAME = ["x", 7]
SURROGATE = "\ud800"
RAISES = Raises()
WATCHED = [LHS, KEPT, RHS, WEIGHT, KEY, VALUE, BIG, NEGATIVE, BAD_NAME, SURROGATE, RAISES,
           LHS[0], RHS[3], KEPT[0]]


def expect_error(call):
    try:
        call()
    except (TypeError, OverflowError, ValueError, RuntimeError, KeyError):
        return
    raise AssertionError("the call should have failed")


def workload(rounds):
    """Every method, succeeding and failing, on engines made and dropped."""
    results_checked = 0
    for _ in range(rounds):
        engine = Engine()
        engine.add_rule([], [], [["a", "b"], ["a", "c"]], WEIGHT)
        engine.step()
        engine.clear_rules()
        engine.add_rule(LHS, KEPT, RHS, WEIGHT)
        engine.add_rule([["x", "y"]], [], [["x", "z"]], 0.5)
        engine.set_semantics("spo")
        engine.set_semantics("DPO")
        engine.set_verbose(False)
        engine.set_print_interval(1000)
        engine.set_causal_horizon(4)
        engine.set_bitset_capacity(64)
        engine.run(30)
        for _ in range(5):
            if engine.step():
                engine.rollback()
        engine.rollback()
        vertices = engine.get_vertices()
        v = vertices[0]
        engine.set_observable(v, KEY, VALUE)
        assert engine.get_observable(v, KEY) == VALUE
        assert engine.get_observable(v, "other") is None
        engine.get_shortest_path_distance(v, vertices[-1])
        results = [engine.get_edges(), engine.get_degree_map(), engine.get_edge_size_map(),
                   engine.get_all_observables(), engine.get_isolated_vertices(),
                   engine.get_semantics()]
        assert sys.getrefcount(vertices) == 2
        for result in results:
            # Only the list above and the local name hold a fresh result.
            assert sys.getrefcount(result) == 3, type(result)
            results_checked += 1
        del results, vertices
        engine.node_count(), engine.edge_count(), engine.get_structural_pair_count()
        engine.get_attempted_rewrites(), engine.get_successful_rewrites()
        engine.reset_counters()
        # Failing calls.
        expect_error(lambda: engine.add_rule(LHS, KEPT, RHS, -WEIGHT))
        expect_error(lambda: engine.add_rule(LHS, BAD_NAME, RHS, WEIGHT))
        expect_error(lambda: engine.add_rule([SURROGATE], KEPT, RHS, WEIGHT))
        expect_error(lambda: engine.add_rule(LHS, KEPT, RHS, RAISES))
        expect_error(lambda: engine.run(NEGATIVE))
        expect_error(lambda: engine.run(BIG))
        expect_error(lambda: engine.run(RAISES))
        expect_error(lambda: engine.set_observable(BIG, KEY, VALUE))
        expect_error(lambda: engine.set_observable(v, SURROGATE, VALUE))
        expect_error(lambda: engine.set_observable(10**15, KEY, VALUE))
        expect_error(lambda: engine.get_observable(v, BIG))
        expect_error(lambda: engine.set_verbose(BIG))
        expect_error(lambda: engine.set_semantics(SURROGATE))
        expect_error(lambda: engine.get_shortest_path_distance(NEGATIVE, v))
        expect_error(lambda: engine.set_print_interval(BIG))
        expect_error(lambda: engine.set_causal_horizon(NEGATIVE))
        expect_error(lambda: engine.set_bitset_capacity(RAISES))
        expect_error(lambda: engine.get_observable(v, RAISES))
        expect_error(lambda: engine.run(Reenter(engine)))  # refused: the engine is in use
        expect_error(lambda: engine.step(KEY))
        expect_error(lambda: engine.run(steps=1, extra=2))
        engine.clear_graph()
        engine.clear_rules()
    return results_checked


def test_memory_and_references_stay_flat():
    workload(150)  # warm up allocator pools and caches
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in WATCHED]
    objects = len(gc.get_objects())
    rss = rss_bytes()
    checked = workload(1500)  # about 60,000 calls
    gc.collect()
    assert checked == 1500 * 6
    assert [sys.getrefcount(obj) for obj in WATCHED] == counts
    assert len(gc.get_objects()) <= objects + 50
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory back on purpose
        growth = rss_bytes() - rss
        assert growth < 4 * 2**20, f"RSS grew by {growth / 2**20:.1f} MiB"


def test_a_dropped_engine_releases_its_graph():
    engine = Engine()
    engine.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
    engine.step()
    engine.clear_rules()
    engine.add_rule(LHS, KEPT, RHS, 1.0)
    engine.run(8_000)  # a graph of a few MiB
    del engine
    gc.collect()
    rss = rss_bytes()
    for _ in range(6):
        engine = Engine()
        engine.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
        engine.step()
        engine.clear_rules()
        engine.add_rule(LHS, KEPT, RHS, 1.0)
        engine.run(8_000)
        engine.clear_graph()
        engine.run(10)
        del engine
    gc.collect()
    if not SANITIZED:
        growth = rss_bytes() - rss
        assert growth < 8 * 2**20, f"RSS grew by {growth / 2**20:.1f} MiB"


VALGRIND_SCRIPT = textwrap.dedent("""
    from vorn import Engine
    for n in range(12):
        e = Engine()
        e.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
        e.step()
        e.clear_rules()
        e.add_rule([["x", "y"], ["x", "z"]], ["x", "y", "z"], [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]], 1.0)
        e.add_rule([["x", "y"]], [], [["x", "z"]], 1.0)
        e.set_semantics("SPO" if n % 2 else "DPO")
        e.run(300)
        e.step(); e.rollback(); e.rollback()
        vs = e.get_vertices()
        e.set_observable(vs[0], "k", 1.0)
        e.get_all_observables(); e.get_edges(); e.get_degree_map(); e.get_edge_size_map()
        e.get_isolated_vertices(); e.get_shortest_path_distance(vs[0], vs[-1])
        for bad in (lambda: e.add_rule([["x"]], [], [], -1.0), lambda: e.run(-1),
                    lambda: e.add_rule([["x", 1]], [], [], 1.0), lambda: e.set_semantics("\\ud800"),
                    lambda: e.set_observable(10**12, "k", 1.0)):
            try:
                bad()
            except (TypeError, OverflowError, ValueError):
                pass
        if n % 3 == 0:
            e.clear_graph()
    print("workload done")
""")


def module_frames(block):
    return "vorn.cpython" in block or "vorn::" in block


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif(SANITIZED, reason="valgrind cannot run a sanitizer build")
def test_valgrind_finds_no_definite_leak_in_the_module(tmp_path):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    module_dir = os.path.dirname(os.path.abspath(vorn.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    log = tmp_path / "valgrind.log"
    proc = subprocess.run(
        ["valgrind", "--leak-check=full", "--show-leak-kinds=definite", "--num-callers=40",
         f"--log-file={log}", sys.executable, "-c", VALGRIND_SCRIPT],
        env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "workload done" in proc.stdout
    text = log.read_text()
    assert "LEAK SUMMARY" in text or "All heap blocks were freed" in text, text[-2000:]
    # valgrind separates its records with blank lines; a record is "ours" when
    # a frame lies in the module.
    records = re.split(r"\n==\d+== \n", text)
    leaks = [r for r in records if "definitely lost" in r and "blocks are definitely lost" in r and module_frames(r)]
    errors = [r for r in records if re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free", r)
              and module_frames(r)]
    assert not leaks, "\n\n".join(leaks)
    assert not errors, "\n\n".join(errors)
