import json
import os
import statistics
import time

import matplotlib.image as mpimg
import numpy as np
import pytest

import vornkit
from vornkit.ensemble import Model, current_member, dask_executor, ensemble, json_lines

from conftest import GROWTH_RULE

# Always applies, and grows a random tree: members differ in their degree histories.
TREE_RULE = "{{x,y}} -> {{x,y},{y,z}}"
TIMEOUT = 60  # seconds for any one ensemble: a stuck test fails instead of hanging


def _boom(engine):
    if current_member() == 1:
        raise ValueError("boom in member 1")
    return engine.node_count()


def _die(engine):
    if current_member() == 1:
        os._exit(3)
    return engine.node_count()


def _check_members(result, runs, steps):
    assert result.reason == "completed" and result.failures == [] and result.ok
    assert [m["member"] for m in result.members] == list(range(runs))
    grid = result.model.record_steps(steps)
    for m in result.members:
        assert m["history"]["step"] == grid and m["steps"] == steps
        # The growth rule adds one vertex per applied rewrite.
        assert m["history"]["nodes"][-1] == m["final"]["nodes"] == 3 + m["successful"]
        assert m["attempted"] == steps
    stats = result.aggregate()
    assert stats["step"] == grid
    finals = [m["final"]["nodes"] for m in result.members]
    nodes = stats["metrics"]["nodes"]
    assert nodes["mean"][-1] == pytest.approx(sum(finals) / runs)
    # The sample standard deviation (n - 1 in the denominator), at every recorded step.
    for k in range(len(grid)):
        column = [m["history"]["nodes"][k] for m in result.members]
        assert nodes["std"][k] == pytest.approx(statistics.stdev(column) if runs > 1 else 0.0, abs=1e-9)
    assert nodes["q0.05"][-1] <= nodes["q0.5"][-1] <= nodes["q0.95"][-1]
    assert nodes["count"] == [runs] * len(grid)


def test_model_validates_and_records_on_a_shared_grid():
    model = Model(GROWTH_RULE, "{{1,2},{1,3}}", points=12)
    grid = model.record_steps(10_000)
    assert grid[0] == 0 and grid[-1] == 10_000 and len(grid) == 13 and grid == sorted(set(grid))
    assert Model(GROWTH_RULE, points=50).record_steps(5) == [0, 1, 2, 3, 4, 5]
    assert Model(GROWTH_RULE, points=4, spacing="linear").record_steps(100) == [0, 25, 50, 75, 100]
    for bad in (dict(semantics="XPO"), dict(record=("nodes", "volume")), dict(points=0),
                dict(rules="{{x}} -> {{x}} @ 0")):
        with pytest.raises(ValueError):
            Model(**{"rules": GROWTH_RULE, **bad})
    with pytest.raises(ValueError):
        ensemble(Model(GROWTH_RULE), runs=-1, steps=10, progress=False)
    # numpy integers count like ints
    assert Model(GROWTH_RULE, points=np.int64(4), spacing="linear").record_steps(100) == [0, 25, 50, 75, 100]
    # the old name of record_steps still answers, with a warning
    with pytest.warns(DeprecationWarning, match="record_steps"):
        assert model.checkpoints(10_000) == grid
    empty = ensemble(Model(GROWTH_RULE), runs=np.int64(0), steps=np.int64(10), progress=False)
    assert (empty.runs, empty.steps, empty.members) == (0, 10, [])


def test_process_pool_and_local_dask_cluster_agree():
    model = Model(GROWTH_RULE, "{{1,2},{1,3}}", points=10)
    pool = ensemble(model, 4, 2000, workers=2, progress=False, timeout=TIMEOUT)
    _check_members(pool, 4, 2000)
    assert "ProcessPool" in pool.executor

    pytest.importorskip("distributed")
    with dask_executor(n_workers=2, timeout=30) as ex:
        assert ex.workers() == 2
        dask = ensemble(model, 4, 2000, executor=ex, progress=False, timeout=TIMEOUT)
        cluster = ex.cluster
    assert cluster.status.name == "closed"
    _check_members(dask, 4, 2000)
    assert "Dask" in dask.executor
    assert dask.aggregate()["metrics"].keys() == pool.aggregate()["metrics"].keys()
    assert {m["worker"] for m in dask.members}.isdisjoint({m["worker"] for m in pool.members})


def test_members_are_independent_runs():
    model = Model(TREE_RULE, "{{1,2}}", record=("nodes", "max_degree"), points=8)
    result = ensemble(model, 6, 400, workers=2, progress=False, timeout=TIMEOUT)
    histories = {tuple(m["history"]["max_degree"]) for m in result.members}
    assert len(histories) > 1, "every member drew the same random stream"


def test_a_seeded_ensemble_repeats_every_member():
    from concurrent.futures import ThreadPoolExecutor

    model = Model(TREE_RULE, "{{1,2}}", record=("nodes", "max_degree"), points=8)
    results = [ensemble(model, 4, 400, workers=2, progress=False, timeout=TIMEOUT, seed=2024)]
    with ThreadPoolExecutor(1) as one_process:  # members one after another: other vertex ids
        results.append(ensemble(model, 4, 400, executor=one_process, progress=False, seed=2024))
    seeds = [vornkit.member_seed(2024, i) for i in range(4)]
    assert len(set(seeds)) == 4
    assert vornkit.member_seed(0, 0) == 0xE220A8397B1DCDAF  # SplitMix64's first output from 0
    histories = [[m["history"]["max_degree"] for m in result.members] for result in results]
    assert histories[0] == histories[1] and len({tuple(h) for h in histories[0]}) > 1
    for result in results:
        assert result.seed == 2024 and [m["seed"] for m in result.members] == seeds
    assert json.loads(json_lines(results[0])[-1])["seed"] == 2024


def test_a_failing_member_is_reported_and_the_rest_come_back():
    model = Model(GROWTH_RULE, "{{1,2},{1,3}}", record={"nodes": _boom}, points=5)
    result = ensemble(model, 4, 300, workers=2, progress=False, timeout=TIMEOUT)
    assert not result.ok and result.reason == "completed"
    assert [m["member"] for m in result.members] == [0, 2, 3]
    (failure,) = result.failures
    assert failure["member"] == 1 and failure["error"] == "ValueError: boom in member 1"
    assert "_boom" in failure["traceback"]
    assert result.aggregate()["metrics"]["nodes"]["count"][-1] == 3
    lines = [json.loads(line) for line in json_lines(result)]
    assert [r["ok"] for r in lines[:4]] == [True, False, True, True]
    assert lines[-1]["type"] == "aggregate" and lines[-1]["failed"] == 1


def test_a_dead_worker_or_a_time_out_does_not_hang_the_ensemble():
    died = ensemble(Model(GROWTH_RULE, "{{1,2},{1,3}}", record={"nodes": _die}, points=3), 3, 100,
                    workers=1, progress=False, timeout=TIMEOUT)
    assert [f["member"] for f in died.failures][:1] == [1] and died.reason == "completed"
    assert "BrokenProcessPool" in died.failures[0]["error"]
    assert [m["member"] for m in died.members] == [0]

    start = time.monotonic()
    # Ten million steps per member take far longer than the one-second limit.
    slow = ensemble(Model(GROWTH_RULE, "{{1,2},{1,3}}", points=1, spacing="linear"), 2, 10_000_000,
                    workers=2, progress=False, timeout=1.0)
    assert time.monotonic() - start < 20
    assert slow.reason == "timed out" and not slow.members
    assert {f["error"] for f in slow.failures} == {"timed out"}


def test_explicit_scheduler_address_on_loopback(python, subprocess_env, tmp_path):
    import subprocess
    import logging
    LocalCluster = pytest.importorskip("distributed").LocalCluster
    from vornkit.dask_ensemble import _import_path

    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                      silence_logs=logging.ERROR, env={"PYTHONPATH": _import_path()}) as cluster:
        address = cluster.scheduler_address
        assert address.startswith("tcp://127.0.0.1:")
        with vornkit.dask_executor(address, timeout=30) as ex:
            result = vornkit.ensemble({"rules": GROWTH_RULE, "init": "{{1,2},{1,3}}", "points": 6}, 3, 500,
                                      executor=ex, progress=False, timeout=TIMEOUT)
            assert ex.cluster is None and address in ex.describe()
        _check_members(result, 3, 500)
        # The cluster outlives a client that did not start it.
        assert cluster.status.name == "running"

        done = subprocess.run([python, "-m", "vornkit", "ensemble", "--rule", GROWTH_RULE, "--init",
                               "{{1,2},{1,3}}", "--runs", "3", "--steps", "300", "--scheduler", address,
                               "--json", "out.jsonl"], capture_output=True, text=True,
                              env=subprocess_env, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "3 of 3 members" in done.stdout and "Dask scheduler at tcp://127.0.0.1:" in done.stdout
    assert len((tmp_path / "out.jsonl").read_text().splitlines()) == 4


@pytest.fixture
def vorn_cli(python, subprocess_env, tmp_path):
    import subprocess

    def call(*args, env=None):
        done = subprocess.run([python, "-m", "vornkit", *args], capture_output=True, text=True,
                              env=env or subprocess_env, cwd=tmp_path, timeout=120)
        if os.environ.get("VORN_SANITIZED"):
            # A sanitized interpreter reports each allocation it refuses
            # (Dask reading a garbage length) on standard error: the
            # sanitizer's lines, not the command's.
            done.stderr = "".join(line for line in done.stderr.splitlines(keepends=True)
                                  if not line.startswith("=="))
        return done
    return call


def test_cli_end_to_end(vorn_cli, tmp_path):
    done = vorn_cli("ensemble", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}", "--runs", "4",
                    "--steps", "1000", "--workers", "2", "--points", "8", "--final-edges",
                    "--json", "out.jsonl", "--plot", "growth.png")
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    assert done.stdout.startswith("vorn ensemble: 4 of 4 members x 1,000 steps in ")
    records = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    members, aggregate = records[:-1], records[-1]
    assert [r["type"] for r in members] == ["member"] * 4 and aggregate["type"] == "aggregate"
    assert [r["member"] for r in members] == [0, 1, 2, 3]
    finals = [r["final"]["nodes"] for r in members]
    assert aggregate["metrics"]["nodes"]["mean"][-1] == pytest.approx(sum(finals) / 4)
    assert all(len(r["final_edges"]) == r["final"]["edges"] for r in members)
    assert aggregate["model"]["rules"][0]["text"] == GROWTH_RULE and aggregate["completed"] == 4
    assert mpimg.imread(tmp_path / "growth.png").shape[1] > 1000


@pytest.mark.parametrize("args, words", [
    (["--rule", "{{x,y}->{{x}}", "--runs", "2", "--steps", "5"], "position 6"),
    (["--rule", "{{x}} -> {}", "--runs", "0", "--steps", "5"], ">= 1"),
    (["--rule", "{{x}} -> {}", "--runs", "-2", "--steps", "5"], ">= 1"),
    (["--rule", "{{x}} -> {}", "--runs", "2"], "--steps"),
    (["--rule", "{{x}} -> {}", "--runs", "2", "--steps", "5", "--workers", "2",
      "--scheduler", "tcp://127.0.0.1:8786"], "--workers"),
    (["--rule", "{{x}} -> {}", "--runs", "2", "--steps", "5", "--json", "missing/o.jsonl"], "does not exist"),
])
def test_cli_user_mistakes_give_one_line_and_status_2(vorn_cli, tmp_path, args, words):
    done = vorn_cli("ensemble", *args)
    assert done.returncode == 2 and done.stdout == ""
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert "error" in done.stderr and words in done.stderr


def test_cli_scheduler_without_dask_says_what_to_install(vorn_cli, subprocess_env, tmp_path):
    blocker = tmp_path / "nodask" / "distributed"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('no distributed here')\n")
    env = dict(subprocess_env)
    env["PYTHONPATH"] = os.pathsep.join([str(blocker.parent), env["PYTHONPATH"]])
    done = vorn_cli("ensemble", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}", "--runs", "2",
                    "--steps", "10", "--scheduler", "tcp://127.0.0.1:8786", env=env)
    assert done.returncode == 1 and done.stdout == ""
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert "pip install" in done.stderr and "dask[distributed]" in done.stderr


def test_plot_ensemble_draws_one_panel_per_metric(tmp_path):
    model = Model(TREE_RULE, "{{1,2}}", semantics="SPO", points=6)
    result = ensemble(model, 3, 200, workers=2, progress=False, timeout=TIMEOUT)
    fig = vornkit.plot_ensemble(result, tmp_path / "e.png")
    assert [ax.get_title().split(":")[0] for ax in fig.axes] == ["vertices", "hyperedges", "structural pairs"]
    assert all(len(ax.collections) == 2 and len(ax.lines) == 1 for ax in fig.axes)
    assert "structural pairs: vertex pairs that share a hyperedge" in fig.axes[2].texts[-1].get_text()
    assert mpimg.imread(tmp_path / "e.png").shape[0] > 500
    with pytest.raises(ValueError, match="volume"):
        vornkit.plot_ensemble(result, metrics=["volume"])
    # Printing a result names counts and metrics, not every member's history.
    text = repr(result)
    assert text == str(result) and len(text) < 200
    assert text.startswith("<EnsembleResult: 3 of 3 members finished; 200 steps each; metrics nodes, edges, pairs")


def test_an_ensemble_without_finished_members_is_not_drawn(tmp_path):
    model = Model("{{x}} -> {{x,y}}", "{{1}}", record={"broken": _raises}, points=2)
    failed = ensemble(model, 2, 10, workers=1, progress=False, timeout=TIMEOUT)
    assert not failed.members and len(failed.failures) == 2
    assert "0 of 2 members finished; 2 failed" in repr(failed)
    with pytest.raises(ValueError, match=r"no member of the ensemble finished \(2 run, 2 failed"):
        vornkit.plot_ensemble(failed, tmp_path / "none.png")
    assert not (tmp_path / "none.png").exists()


def _raises(engine):
    raise RuntimeError("this metric always fails")


#: Runs an ensemble that never finishes and writes each worker's pid into the folder given.
FOREVER_ENSEMBLE = """
import os, sys, vornkit
folder = sys.argv[1]

def note_worker(engine):
    with open(os.path.join(folder, str(os.getpid())), "w"):
        pass
    return 0

model = vornkit.Model("{{x,y}} -> {{x,y}}", "{{1,2}}", record={"worker": note_worker}, points=1)
vornkit.ensemble(model, 2, 10**15, workers=2, progress=False)
"""


@pytest.mark.parametrize("signal_name", ["SIGKILL", "SIGHUP"])
def test_workers_end_when_their_parent_is_killed(python, subprocess_env, tmp_path, signal_name):
    import signal
    import subprocess

    proc = subprocess.Popen([python, "-c", FOREVER_ENSEMBLE, str(tmp_path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=subprocess_env, start_new_session=True)
    workers = []
    try:
        deadline = time.monotonic() + 30
        while len(workers) < 2 and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.05)
            workers = [int(p.name) for p in tmp_path.iterdir()]
        assert len(workers) == 2, proc.stderr.read1().decode() if proc.poll() is not None else "no workers"
        proc.send_signal(getattr(signal, signal_name))  # no shutdown runs in the parent
        proc.wait(timeout=30)
        deadline = time.monotonic() + 5
        while any(_alive(w) for w in workers) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not any(_alive(w) for w in workers)
    finally:
        for pid in [proc.pid, *workers]:
            if _alive(pid):
                os.kill(pid, signal.SIGKILL)


def test_members_forked_from_a_parent_holding_engines_do_not_repeat_them():
    # An engine that exists at a fork keeps its generator state in every
    # child; members must build their own engines after the fork.
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    from vornkit.ensemble import build_engine

    def tree(vertices, edges):  # the grown tree, vertices named by creation order
        rank = {v: k for k, v in enumerate(sorted(vertices))}
        return tuple(sorted(tuple(rank[v] for v in e) for e in edges))

    model = Model(TREE_RULE, "{{1,2}}", points=2, keep_final=True)
    alive_at_fork = build_engine(model)  # held while the pool forks its workers
    alive_at_fork.run(10)
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
        result = ensemble(model, 6, 300, executor=pool, progress=False, timeout=TIMEOUT)
    # Members that ran copies of one engine would grow the same tree.
    trees = {tree(m["final_vertices"], m["final_edges"]) for m in result.members}
    assert len(result.members) == 6 and len(trees) == 6


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as fh:
                if int(fh.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            continue
    return found


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as fh:
            return fh.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.parametrize("signal_name, status", [("SIGTERM", 143), ("SIGINT", 130)])
def test_stopping_the_command_stops_its_workers(python, subprocess_env, tmp_path, signal_name, status):
    import signal
    import subprocess

    proc = subprocess.Popen([python, "-m", "vornkit", "ensemble", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}",
                             "--runs", "3", "--steps", str(10**12), "--workers", "2", "--json", "out.jsonl"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=subprocess_env,
                            cwd=tmp_path, start_new_session=True)
    workers = []
    try:
        deadline = time.monotonic() + 30
        while len(workers) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
            workers = _children(proc.pid)
        time.sleep(0.3)  # the members are running
        if signal_name == "SIGTERM":
            proc.send_signal(signal.SIGTERM)  # to the command alone, as `kill` does
        else:
            os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C reaches the whole process group
        out, err = proc.communicate(timeout=30)
    finally:
        for pid in [proc.pid, *workers]:
            if _alive(pid):
                os.kill(pid, signal.SIGKILL)
    assert len(workers) == 2 and not any(_alive(w) for w in workers)
    assert proc.returncode == status and "Traceback" not in err, err
    assert "0 of 3 members" in out and "interrupted" in out.splitlines()[0]
    records = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert [r.get("error") for r in records[:-1]] == ["interrupted"] * 3 and records[-1]["type"] == "aggregate"


@pytest.fixture
def not_a_scheduler():
    """Start a TCP server on 127.0.0.1 that sends ``reply`` to every client (None: stays silent)."""
    import socket
    import threading

    servers = []

    def start(reply):
        server = socket.create_server(("127.0.0.1", 0))
        clients = []

        def serve():
            while True:
                try:
                    client, _ = server.accept()
                except OSError:
                    return
                clients.append(client)
                if reply:
                    client.sendall(reply)

        threading.Thread(target=serve, daemon=True).start()
        servers.append((server, clients))
        return f"tcp://127.0.0.1:{server.getsockname()[1]}"

    yield start
    for server, clients in servers:
        for s in [server, *clients]:
            s.close()


@pytest.mark.parametrize("server", ["HTTP", "tls"])
def test_cli_scheduler_that_is_not_one(vorn_cli, not_a_scheduler, server):
    pytest.importorskip("distributed")
    address = not_a_scheduler(b"HTTP/1.1 400 Bad Request\r\n\r\n" * 8) if server == "HTTP" else "tls://127.0.0.1:1"
    start = time.monotonic()
    done = vorn_cli("ensemble", "--rule", GROWTH_RULE, "--runs", "2", "--steps", "10", "--scheduler", address)
    assert time.monotonic() - start < 10  # the command's connect timeout
    assert done.returncode == 1 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and address in done.stderr, done.stderr


def test_a_silent_server_is_given_up_within_the_timeout(not_a_scheduler):
    pytest.importorskip("distributed")
    address = not_a_scheduler(None)
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=address):
        dask_executor(address, timeout=1)
    assert time.monotonic() - start < 4


LIGHT_IMPORT = """
import sys
import vornkit
heavy = [m for m in ("numpy", "matplotlib", "networkx", "scipy", "tqdm", "dask", "distributed") if m in sys.modules]
from vornkit.ensemble import dask_executor, plot_ensemble, write_jsonl
import vornkit.dask_ensemble, vornkit.export, vornkit.plotting
print(heavy, dask_executor is vornkit.dask_ensemble.dask_executor is vornkit.dask_executor,
      plot_ensemble is vornkit.plotting.plot_ensemble is vornkit.plot_ensemble,
      write_jsonl is vornkit.export.write_jsonl is vornkit.write_jsonl)
"""


def test_importing_vornkit_stays_light_and_ensemble_names_keep_their_old_homes(python, subprocess_env):
    import subprocess

    done = subprocess.run([python, "-c", LIGHT_IMPORT], capture_output=True, text=True, env=subprocess_env,
                          timeout=60, check=True)
    assert done.stdout.split() == ["[]", "True", "True", "True"]


def test_cli_with_no_finished_member_says_there_is_nothing_to_plot(vorn_cli, tmp_path):
    done = vorn_cli("ensemble", "--rule", "{{x}} -> {{x}}", "--init", "{{1}}", "--runs", "2", "--workers", "1",
                    "--steps", str(10 ** 15), "--timeout", "0.5", "--plot", "growth.png")
    assert done.returncode == 1, done.stderr
    assert "cannot write growth.png: no member of the ensemble finished" in done.stderr
    assert not (tmp_path / "growth.png").exists()
