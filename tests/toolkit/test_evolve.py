import json
import signal
import subprocess
import textwrap
import time

import numpy as np
import pytest

import vornkit
from conftest import GROWTH_RULE


def pair_engine(engine):
    # Each step adds two vertices and one hyperedge: exact expectations.
    engine.add_rule([], [], [["a", "b"]], 1.0)
    return engine


def test_fixed_chunks_give_exact_history(engine):
    pair_engine(engine)
    result = vornkit.evolve(engine, 100, chunk=30, progress=False)
    assert result.reason == "completed" and not result.interrupted
    assert result.history["step"] == [0, 30, 60, 90, 100]
    assert result.history["nodes"] == [0, 60, 120, 180, 200]
    assert result.history["edges"] == [0, 30, 60, 90, 100]
    assert result.history["pairs"][-1] == 100
    assert len(result.history["time"]) == 5 and result.history["time"] == sorted(result.history["time"])
    assert (result.steps_requested, result.steps_done, result.attempted, result.successful) == (100, 100, 100, 100)
    assert len(result.final_edges) == 100 and len(result.final_vertices) == 200
    arrays = result.arrays()
    assert isinstance(arrays["nodes"], np.ndarray) and arrays["nodes"].tolist() == result.history["nodes"]


def test_counting_survives_counter_changes_between_chunks(engine):
    # Callers may reset the counters or roll a step back between chunks; the
    # run still does exactly the steps asked for and reports them.
    pair_engine(engine)
    engine.run(7)  # counters that do not start at 0
    result = vornkit.evolve(engine, 100, chunk=30, progress=False,
                            after_chunk=lambda done: engine.reset_counters())
    assert result.history["step"] == [0, 30, 60, 90, 100]
    assert (result.steps_done, result.attempted, result.successful) == (100, 100, 100)
    assert result.history["edges"] == [7, 37, 67, 97, 107]

    rolled = vornkit.evolve(engine, 40, chunk=20, progress=False, after_chunk=lambda done: engine.rollback())
    assert rolled.history["step"] == [0, 20, 40] and rolled.steps_done == 40 and rolled.successful == 40
    assert rolled.history["edges"] == [107, 127, 146]


def test_adaptive_chunks_and_progress_bar(engine, capsys):
    pair_engine(engine)
    result = vornkit.evolve(engine, 5000, progress=True, record=("edges", "max_degree"))
    steps = result.history["step"]
    assert steps[0] == 0 and steps[-1] == 5000 and steps == sorted(set(steps))
    assert steps[1] == 1  # the first chunk is a single step, so early growth is visible
    assert result.history["edges"] == steps and set(result.history) == {"step", "time", "edges", "max_degree"}
    assert "5.00k/5.00k" in capsys.readouterr().err


def test_counts_are_this_runs_only_and_zero_steps(engine):
    pair_engine(engine)
    engine.run(7)
    result = vornkit.evolve(engine, 0, progress=False, record={"double": lambda e: 2 * e.edge_count()})
    assert result.history == {"step": [0], "time": result.history["time"], "double": [14]}
    assert result.attempted == 0 and result.steps_done == 0


@pytest.mark.parametrize("kwargs", [dict(steps=-1), dict(steps=1.5), dict(steps=5, chunk=0),
                                    dict(steps=5, record=("nodes", "bogus")),
                                    dict(steps=5, record={"step": len})])
def test_bad_arguments(engine, kwargs):
    with pytest.raises(ValueError):
        vornkit.evolve(engine, progress=False, **kwargs)


def test_numpy_step_counts(engine):
    pair_engine(engine)
    result = vornkit.evolve(engine, np.int64(30), chunk=np.uint8(10), progress=False)
    assert result.history["step"] == [0, 10, 20, 30] and type(result.steps_requested) is int


def test_interrupt_inside_a_metric_keeps_only_complete_rows(engine):
    pair_engine(engine)
    calls = []

    def edges(e):
        calls.append(None)
        if len(calls) == 4:  # the fourth row: step 30
            raise KeyboardInterrupt
        return e.edge_count()

    result = vornkit.evolve(engine, 100, chunk=10, progress=False,
                            record={"nodes": vornkit.METRICS["nodes"], "edges": edges})
    assert result.interrupted and result.steps_done == 30
    assert result.history["step"] == [0, 10, 20, 30]  # the state reached, measured again
    assert result.history["edges"] == [0, 10, 20, 30] and result.history["nodes"] == [0, 20, 40, 60]
    assert len(result.history["time"]) == 4
    vornkit.plot_growth(result)


def test_growth_model(engine):
    vornkit.start(engine, [[1, 2], [1, 3]], rules=GROWTH_RULE)
    result = vornkit.evolve(engine, 200, chunk=50, progress=False, rules=GROWTH_RULE)
    # a step matches when the anchor starts two hyperedges; each match adds
    # one vertex and two hyperedges net
    assert 0 < result.successful <= 200
    nodes, edges = result.history["nodes"], result.history["edges"]
    assert result.history["step"] == [0, 50, 100, 150, 200]
    assert nodes[0] == 3 and nodes[-1] == 3 + result.successful
    assert all(e == 2 * n - 4 for n, e in zip(nodes, edges))
    assert result.rules == vornkit.parse_rules(GROWTH_RULE)


CTRL_C_SCRIPT = textwrap.dedent("""
    import json, sys, vorn, vornkit
    engine = vorn.Engine()
    engine.add_rule([], [], [["a", "b"]], 1.0)
    def tick(e):
        if e.get_attempted_rewrites() > 0:
            print("running", flush=True)
        return e.edge_count()
    result = vornkit.evolve(engine, 10**12, chunk=2000, progress=False, record={"edges": tick})
    print(json.dumps({"reason": result.reason, "done": result.steps_done,
                      "steps": result.history["step"], "edges": result.history["edges"],
                      "final": len(result.final_edges)}), flush=True)
""")


def test_ctrl_c_returns_partial_result(python, subprocess_env):
    proc = subprocess.Popen([python, "-c", CTRL_C_SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=subprocess_env)
    try:
        assert proc.stdout.readline().strip() == "running"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    report = json.loads(out.strip().splitlines()[-1])
    assert report["reason"] == "interrupted"
    assert 0 < report["done"] < 10**12
    assert report["steps"][-1] == report["done"] == report["edges"][-1] == report["final"]
    assert len(report["steps"]) == len(report["edges"]) >= 2
