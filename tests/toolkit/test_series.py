import json
import math
import subprocess
import warnings
from concurrent.futures import ThreadPoolExecutor

import matplotlib.image as mpimg
import numpy as np

import vornkit
from conftest import GROWTH_RULE
from vornkit.ensemble import Model, ensemble
from vornkit.member import current_member
from vornkit.series import SparseRows, sparse_metric

STILL = "{{x,y}} -> {{x,y}}"  # each hyperedge replaced by itself: the graph keeps its shape


def torus(side):
    return [[(i, j), ((i + di) % side, (j + dj) % side)]
            for i in range(side) for j in range(side) for di, dj in ((1, 0), (0, 1))]


def measured(history, name="dimension"):
    return [s for s, v in zip(history["step"], history[name]) if not math.isnan(v)]


def test_schedule_bounds_count_and_cost():
    steps, rows, size = 1_000_000, [0], 1
    while rows[-1] < steps:  # rows as evolve takes them: doubling chunks, then steps / 20
        rows.append(min(steps, rows[-1] + size))
        size = min(2 * size, steps // 20)
    schedule, picked = SparseRows(steps), []
    for step in filter(schedule.due, rows):
        picked.append(step)
        schedule.taken(step)
    assert picked[0] == 0 and picked[-1] == steps and len(picked) <= math.log2(steps) + 2 < len(rows)
    assert sum(picked) <= 2.2 * steps  # estimates cost about twice the last one
    assert SparseRows(10).marks == [1, 2, 3, 5, 10] and SparseRows(0).marks == []


def test_a_grid_keeps_dimension_two_at_the_scheduled_rows(engine):
    vornkit.start(engine, torus(30), rules=STILL)
    h = vornkit.evolve(engine, 64, chunk=1, progress=False, record=("edges", "dimension")).history
    assert len(h["dimension"]) == len(h["step"]) == 65 and h["edges"] == [1800] * 65
    assert measured(h) == [0, 1, 2, 4, 8, 16, 32, 64]
    assert all(1.85 <= v <= 2.15 for v in h["dimension"] if not math.isnan(v))


def test_an_interrupted_run_gets_an_estimate_of_the_state_reached(engine):
    vornkit.start(engine, torus(20), rules=STILL)
    calls = []

    def edges(e):
        calls.append(None)
        if len(calls) == 5:  # the row at step 400, which the schedule would not measure
            raise KeyboardInterrupt
        return e.edge_count()

    result = vornkit.evolve(engine, 1000, chunk=100, progress=False,
                            record={"edges": edges, "dimension": vornkit.METRICS["dimension"]})
    assert result.interrupted and measured(result.history) == result.history["step"] == [0, 100, 200, 300, 400]


def test_small_graphs_give_nan_and_the_json_record_keeps_the_gaps(engine, tmp_path):
    vornkit.start(engine, [[1, 2], [1, 3]], rules=GROWTH_RULE)
    result = vornkit.evolve(engine, 400, chunk=25, progress=False, record=("nodes", "dimension"))
    dims = result.history["dimension"]
    assert math.isnan(dims[0]) and math.isfinite(dims[-1]) and 0 < len(measured(result.history)) < len(dims)
    vornkit.to_json(result, tmp_path / "run.json")
    stored = json.loads((tmp_path / "run.json").read_text())["history"]["dimension"]
    assert [v is None for v in stored] == [math.isnan(v) for v in dims]
    np.testing.assert_array_equal(vornkit.from_json(tmp_path / "run.json").history["dimension"], dims)
    # A user's metric giving infinity no longer makes the record unwritable.
    odd = vornkit.evolve(engine, 1, progress=False, record={"odd": lambda e: float("inf")})
    assert json.loads(vornkit.to_json(odd))["history"]["odd"] == [None, None]


@sparse_metric
def _nan_for_member_0(engine):
    return math.nan if current_member() == 0 else float(current_member() * 100 + engine.node_count() % 7)


def test_ensemble_aggregate_leaves_nans_out():
    model = Model(GROWTH_RULE, "{{1,2},{1,3}}", points=12,
                  record={"dimension": vornkit.METRICS["dimension"], "tagged": _nan_for_member_0})
    with ThreadPoolExecutor(1) as pool:  # (the member index is per process, not per thread)
        result = ensemble(model, 4, 600, executor=pool, progress=False, seed=11)
    stats = result.aggregate()["metrics"]
    assert len({tuple(measured(m["history"], "tagged")) for m in result.members[1:]}) == 1
    for name in ("dimension", "tagged"):
        table = np.array([m["history"][name] for m in result.members], dtype=float)
        assert stats[name]["count"] == np.sum(~np.isnan(table), axis=0).tolist()
        with warnings.catch_warnings():  # steps nobody measured: all-NaN columns
            warnings.simplefilter("ignore", RuntimeWarning)
            for key, f in (("mean", np.nanmean), ("q0.5", np.nanmedian),
                           ("std", lambda t, axis: np.nanstd(t, axis=axis, ddof=1))):
                np.testing.assert_allclose(stats[name][key], f(table, axis=0), equal_nan=True)
    assert stats["tagged"]["count"][-1] == 3 and stats["dimension"]["count"][-1] == 4


def test_growth_picture_gets_a_dimension_panel(engine, tmp_path):
    vornkit.start(engine, torus(12), rules=STILL)
    result = vornkit.evolve(engine, 40, chunk=5, progress=False, record=("nodes", "dimension"))
    counts, dims = vornkit.plot_growth(result, tmp_path / "g.png").axes
    assert len(counts.lines) == 1 and dims.get_yscale() == "linear" and dims.get_xscale() == "log"
    assert dims.lines[0].get_xdata().tolist() == [s for s in measured(result.history) if s > 0]
    assert mpimg.imread(tmp_path / "g.png").shape[:2] == (1200, 1050)


def test_cli_dimension_option(python, subprocess_env, tmp_path):
    def vorn(*args):
        done = subprocess.run([python, "-m", "vornkit", *args, "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}",
                               "--dimension"], capture_output=True, text=True, env=subprocess_env,
                              cwd=tmp_path, timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout

    out = vorn("run", "--steps", "500", "--json", "run.json", "--growth", "g.png")
    history = json.loads((tmp_path / "run.json").read_text())["history"]
    assert len(history["dimension"]) == len(history["step"]) and history["step"][-1] == 500
    assert f"  dimension  {history['dimension'][-1]:.2f} at step 500\n" in out
    assert mpimg.imread(tmp_path / "g.png").shape[:2] == (1200, 1050)
    out = vorn("ensemble", "--runs", "3", "--steps", "300", "--workers", "2", "--points", "6", "--json", "e.jsonl")
    d = json.loads((tmp_path / "e.jsonl").read_text().splitlines()[-1])["metrics"]["dimension"]
    assert d["count"][-1] == 3 and f"  dimension  {d['mean'][-1]:.2f} ± {d['std'][-1]:.2f} over 3 members" in out
