import csv
import json
import math
import os
import random
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from concurrent.futures import Future, ThreadPoolExecutor

import pytest

import vornkit
from vornkit.rule_class import classify
from vornkit.survey import Budget, SurveyError, read_rules_file, stored_settings, survey
from vornkit.survey_member import CHUNK
from vornkit.survey_table import table_rows
from vornkit.worker_pool import TaskPool

CYCLE = "{{1,2},{2,3},{3,4},{4,1}}"
GROW = "{{x,y},{y,z}} -> {{x,y},{y,w},{w,z}}"        # one more edge per rewrite, stays a cycle
SHRINK = "{{x,y},{y,z}} -> {{x,z}}"                   # 4-cycle -> triangle, on which the engine finds no match
SPREAD = "{{x,y},{z,y}} -> {{x,w},{y,w},{z,w}}"        # branches: a tree-like graph


@pytest.mark.parametrize("record, label", [
    ({"status": "failed"}, "failed"),
    ({"status": "budget", "terminated": 4, "runs_done": 4}, "over budget"),
    ({"status": "ok", "runs_done": 4, "terminated": 4, "vertices": 2}, "terminates"),
    ({"status": "ok", "runs_done": 4, "terminated": 1, "vertices": 500}, "sometimes terminates"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 0.02, "vertices": 5000}, "fixed size"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "largest_component": 0.1}, "fragmented"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 50}, "small"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "max_degree": 2, "dimension": 3.0}, "line-like"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "max_degree": 9, "dimension": 1.1, "cycles_per_vertex": 0.5}, "line-like"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "max_degree": 9, "dimension": 4.0, "cycles_per_vertex": 0.0}, "tree-like"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "max_degree": 9, "dimension": 2.26, "cycles_per_vertex": 0.5}, "dimensional (d=2.3)"),
    ({"status": "ok", "runs_done": 4, "terminated": 0, "growth_exponent": 1, "vertices": 5000,
      "max_degree": 90, "dimension": None, "cycles_per_vertex": 0.5}, "high-dimensional"),
])
def test_class_labels_follow_the_stated_order_of_checks(record, label):
    assert classify(record) == label


def test_class_thresholds_can_be_overridden_and_unknown_ones_are_refused():
    record = {"status": "ok", "runs_done": 1, "terminated": 0, "growth_exponent": 1, "vertices": 150,
              "max_degree": 3, "dimension": 2.0, "cycles_per_vertex": 0.3}
    assert classify(record) == "small"
    assert classify(record, {"min_vertices": 100}) == "dimensional (d=2.0)"
    with pytest.raises(ValueError, match="unknown threshold"):
        classify(record, {"min_vertexes": 100})


def test_a_survey_measures_stores_and_draws_every_rule(tmp_path):
    out = tmp_path / "s"
    result = survey([GROW, SHRINK, SPREAD], CYCLE, 3000, 3, workers=2, out=out, progress=False)
    assert result.ok and result.finished == 3
    grow, shrink, spread = result.records
    # Each rewrite of GROW adds one hyperedge and one vertex, and it always applies somewhere.
    for run in grow["runs"]:
        assert run["edges"] == 4 + run["rewrites"] and run["vertices"] == run["edges"]
        assert not run["terminated"]
    assert grow["growth_exponent"] == pytest.approx(1.0, abs=0.05)
    assert grow["class"] == "line-like" and grow["max_degree"] == 2 and grow["components"] == 1
    # SHRINK ends after exactly one rewrite in every run, on a triangle.
    assert shrink["terminated"] == 3 and shrink["class"] == "terminates"
    assert [(r["terminated_at"], r["edges"], r["vertices"]) for r in shrink["runs"]] == [(1, 3, 3)] * 3
    assert all(r["steps"] < 3000 for r in shrink["runs"])  # stopped once no match was left
    assert spread["vertices"] > 1000 and math.isfinite(spread["dimension"])

    # The table in every format, and one stored record per rule.
    with open(out / "survey.csv") as fh:
        rows = list(csv.DictReader(fh))
    assert [int(r["index"]) for r in rows] == [0, 1, 2] and rows[1]["class"] == "terminates"
    assert float(rows[0]["growth_exponent"]) == pytest.approx(grow["growth_exponent"], rel=1e-5)
    lines = [json.loads(line) for line in (out / "survey.jsonl").read_text().splitlines()]
    assert [line["index"] for line in lines] == [0, 1, 2] and len(lines[2]["runs"]) == 3
    pyarrow = pytest.importorskip("pyarrow.parquet")
    assert pyarrow.read_table(out / "survey.parquet").to_pylist() == table_rows(result.records)
    for record in result.records:
        stored = json.loads((out / "records" / f"{record['index']:06d}.json").read_text())
        assert stored["rule"] == record["rule"]
        for picture in stored["pictures"].values():
            assert ET.parse(out / picture).getroot().get("width")
    page = (out / "index.html").read_text()
    assert "thumbs/000002-final.svg" in page and "records/000001.json" in page and "http" not in page.split(
        "<script")[0].replace('xmlns="http', "")


def test_a_rule_over_budget_is_stopped_and_marked_while_the_others_go_on(tmp_path):
    result = survey([GROW, SHRINK], CYCLE, 20000, 2, workers=1, budget={"hyperedges": 100}, progress=False)
    grow, shrink = result.records
    assert grow["status"] == "budget" and grow["class"] == "over budget" and grow["stopped"] == "hyperedges"
    assert all(100 < r["edges"] <= 100 + CHUNK and r["stopped"] == "hyperedges" for r in grow["runs"])
    assert shrink["status"] == "ok" and shrink["class"] == "terminates"
    # The time budget covers all of a rule's runs: once spent, no further run starts.
    slow = survey([SPREAD], CYCLE, 10 ** 7, 3, workers=1, budget=Budget(seconds=0.3, hyperedges=None),
                  progress=False).records[0]
    assert slow["stopped"] == "seconds" and slow["runs_done"] == 1 and slow["class"] == "over budget"
    assert slow["wall_time"] < 30


class _LosesOneRule(ThreadPoolExecutor):
    """An executor on which the task of rule 1 dies as on a killed worker."""

    def submit(self, fn, task):
        if task["index"] == 1:
            future = Future()
            future.set_exception(RuntimeError("worker lost"))
            return future
        return super().submit(fn, task)


def test_a_lost_or_killed_worker_fails_only_its_rule(tmp_path, monkeypatch):
    with _LosesOneRule(2) as ex:
        result = survey([GROW, SPREAD, SHRINK], CYCLE, 500, 2, executor=ex, out=tmp_path / "s", progress=False)
    assert [r["status"] for r in result.records] == ["ok", "failed", "ok"]
    assert result.records[1]["class"] == "failed" and "worker lost" in result.records[1]["error"]
    assert not result.ok
    # Resuming redoes the failed rule and keeps the others.
    again = survey([GROW, SPREAD, SHRINK], CYCLE, 500, 2, workers=1, out=tmp_path / "s", progress=False)
    assert again.resumed == 2 and again.ok

    # The process pool: a worker killed outright, or one past its time, costs its task only.
    here = os.path.dirname(__file__)
    monkeypatch.setenv("PYTHONPATH", here + os.pathsep + os.environ.get("PYTHONPATH", ""))
    with TaskPool(2, "survey_targets:behave") as pool:
        outcomes = {key: (ok, value) for key, ok, value in pool.run(
            [(0, 1), (1, "die"), (2, 3), (3, "hang"), (4, "raise"), (5, 5)],
            limit=lambda payload: 3.0 if payload == "hang" else None)}
        pids = [w.process.pid for w in pool._workers]
    assert outcomes[0] == (True, 2) and outcomes[2] == (True, 6) and outcomes[5] == (True, 10)
    assert outcomes[1] == (False, "the worker was killed by SIGKILL")
    assert outcomes[3][0] is False and outcomes[3][1].startswith("time limit")
    assert outcomes[4] == (False, "ValueError: asked to fail")
    assert all(_gone(pid) for pid in pids)


def test_a_folder_of_another_survey_is_refused_unless_forced(tmp_path):
    out = tmp_path / "s"
    survey([SHRINK], CYCLE, 100, 1, workers=1, out=out, progress=False)
    with pytest.raises(SurveyError, match="differs in steps"):
        survey([SHRINK], CYCLE, 200, 1, workers=1, out=out, progress=False)
    with pytest.raises(SurveyError, match="differs in rules"):
        survey([GROW], CYCLE, 100, 1, workers=1, out=out, progress=False)
    replaced = survey([GROW], CYCLE, 100, 1, workers=1, out=out, progress=False, force=True)
    assert replaced.resumed == 0 and [r["rule"] for r in replaced.records] == [GROW]
    assert stored_settings(out)["rules"] == [GROW]
    other = tmp_path / "other"
    other.mkdir()
    (other / "notes.txt").write_text("mine")
    with pytest.raises(SurveyError, match="not empty"):
        survey([GROW], CYCLE, 100, 1, workers=1, out=other, progress=False)


def test_rules_files_name_the_line_of_a_mistake(tmp_path):
    path = tmp_path / "rules.txt"
    path.write_text(f"# two rules\n{GROW}\n\n{SHRINK}\n")
    assert [str(r) for r in read_rules_file(path)] == [GROW, SHRINK]
    path.write_text(f"{GROW}\n{{{{x,y}} -> {{{{x}}}}\n")
    with pytest.raises(vornkit.RuleSyntaxError, match=r"rules\.txt:2: .* at position \d+"):
        read_rules_file(path)


RESUMABLE = """
import sys, vornkit
rules = {rules!r}
vornkit.survey(rules, {init!r}, 4000, 2, workers=2, out=sys.argv[1], progress=False)
"""


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as fh:
                    if int(fh.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return found


def _gone(pid, wait=10.0):
    end = time.monotonic() + wait
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/stat") as fh:
                if fh.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except OSError:
            return True
        time.sleep(0.1)
    return False


def test_a_survey_killed_at_random_points_and_resumed_gives_the_same_table(tmp_path, subprocess_env):
    rules = [GROW, SHRINK, SPREAD, "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w}}", "{{x,y},{y,z}} -> {{x,w},{w,z},{z,y}}",
             "{{x,y},{z,y}} -> {{x,w},{y,w},{z,w}}"]
    script = tmp_path / "run.py"
    script.write_text(RESUMABLE.format(rules=rules, init=CYCLE))
    straight = tmp_path / "straight"
    subprocess.run([sys.executable, str(script), str(straight)], env=subprocess_env, check=True, timeout=600)

    stopped = tmp_path / "stopped"
    rng = random.Random(7)
    attempts = 0
    while True:
        attempts += 1
        child = subprocess.Popen([sys.executable, str(script), str(stopped)], env=subprocess_env)
        if attempts > 6:
            assert child.wait(600) == 0
            break
        if attempts == 1:
            # SIGTERM once the survey has begun (before, the interpreter is still starting up).
            end = time.monotonic() + 120
            while not (stopped / "survey.json").exists() and child.poll() is None and time.monotonic() < end:
                time.sleep(0.05)
            time.sleep(0.5)
        else:
            time.sleep(rng.uniform(0.5, 4.0))
        workers = _children(child.pid)
        if child.poll() is not None:
            break
        if attempts == 1:
            child.send_signal(signal.SIGTERM)  # stops cleanly, writing what it has
            child.wait(60)
            assert json.loads((stopped / "survey.json").read_text())["state"] == "interrupted"
        else:
            child.kill()
            child.wait(60)
        for pid in workers:  # no worker outlives its survey
            assert _gone(pid)
    assert (stopped / "survey.csv").read_bytes() == (straight / "survey.csv").read_bytes()
    assert json.loads((stopped / "survey.json").read_text())["state"] == "completed"


@pytest.fixture
def vorn_cli(python, subprocess_env, tmp_path):
    def call(*args):
        return subprocess.run([python, "-m", "vornkit", *args], capture_output=True, text=True,
                              env=subprocess_env, cwd=tmp_path, timeout=300)
    return call


def test_the_survey_command_runs_resumes_and_refuses_mistakes_in_one_line(vorn_cli, tmp_path):
    (tmp_path / "rules.txt").write_text(f"{GROW}\n{SHRINK}\n")
    first = vorn_cli("survey", "--rules", "rules.txt", "--init", CYCLE, "--steps", "500", "--runs", "2",
                     "--workers", "1", "--out", "s")
    assert first.returncode == 0, first.stderr
    assert "2 of 2 rules x 2 runs x 500 steps" in first.stdout and "terminates" in first.stdout
    table = (tmp_path / "s" / "survey.csv").read_bytes()
    again = vorn_cli("survey", "--resume", "--out", "s")
    assert again.returncode == 0 and "(2 found finished)" in again.stdout
    assert (tmp_path / "s" / "survey.csv").read_bytes() == table

    (tmp_path / "bad.txt").write_text(f"{GROW}\n{{{{x,y}} -> {{{{x}}}}\n")
    for args, words in [
        (["--rules", "bad.txt", "--steps", "5", "--out", "t"], "bad.txt:2:"),
        (["--rules", "rules.txt", "--steps", "9", "--out", "s"], "holds a different survey"),
        (["--rules", "rules.txt", "--signature", "2_2 -> 3_2", "--steps", "9", "--out", "u"], "one of --signature"),
        (["--resume", "--steps", "9", "--out", "s"], "--steps cannot be given with --resume"),
        (["--resume", "--out", "nowhere"], "holds no survey"),
        (["--rules", "rules.txt", "--init", "{{1,2}", "--steps", "9", "--out", "v"], "--init:"),
    ]:
        done = vorn_cli("survey", *args)
        assert done.returncode == 2 and words in done.stderr and len(done.stderr.strip().splitlines()) == 1, \
            (args, done.stderr)

    picture = vorn_cli("run", "--rule", GROW, "--init", CYCLE, "--steps", "10", "--rule-picture", "r.svg")
    assert picture.returncode == 0 and (tmp_path / "r.svg").read_text().startswith("<svg")


def test_shape_measures_read_hyperedges_of_any_arity(engine):
    from vornkit.survey_member import _shape

    # A triangle {1,2,3} (one hyperedge), a path 3-4, a loop on 4, a unary edge on 5, and 6-7 apart.
    vornkit.start(engine, [[1, 2, 3], [3, 4], [4, 4], [5], [6, 7], [7, 6]])
    shape = _shape(engine)
    assert shape["components"] == 3                    # {1,2,3,4}, {5}, {6,7}
    assert shape["largest_component"] == pytest.approx(4 / 7)
    assert shape["max_degree"] == 3                    # vertex 3: 1, 2 and 4
    # 2-section: 5 distinct pairs on 7 vertices in 3 parts -> one independent cycle (the triangle).
    assert shape["cycles_per_vertex"] == pytest.approx(1 / 7)


def test_budgets_and_rule_counts_are_checked_before_anything_runs(monkeypatch):
    import types

    from vornkit.survey import select_rules

    with pytest.raises(ValueError, match="seconds"):
        Budget(seconds=-1)
    with pytest.raises(ValueError, match="unknown budget entry 'edges'"):
        survey([GROW], CYCLE, 10, 1, budget={"edges": 5}, progress=False)
    with pytest.raises(SurveyError, match="no rules"):
        survey([], CYCLE, 10, 1, progress=False)

    calls = []
    fake = types.SimpleNamespace(
        parse_signature=lambda text: ("parsed", text),
        count_rules=lambda sig, connected, limit=None: 50_000 if limit is None else min(50_000, limit + 1),
        rule_count_bound=lambda sig: 10 ** 6,
        enumerate_rules=lambda sig, connected: iter([GROW] * 50_000),
        random_rules=lambda sig, n, seed, connected: calls.append((n, seed)) or [SHRINK] * n)
    monkeypatch.setitem(sys.modules, "vornkit.rule_space", fake)
    monkeypatch.setattr(vornkit, "rule_space", fake, raising=False)
    with pytest.raises(SurveyError, match=r"has more than 20,000 rules \(at most 1,000,000\).*--sample N"):
        select_rules("2_2 -> 3_2")
    assert select_rules("2_2 -> 3_2", sample=3, seed=9) == [SHRINK] * 3 and calls == [(3, 9)]
    assert len(select_rules("2_2 -> 3_2", limit=10 ** 6)) == 50_000


def test_a_dask_cluster_gives_the_same_table_as_the_process_pool(tmp_path):
    pytest.importorskip("distributed")
    rules = [GROW, SHRINK, SPREAD]
    pooled = survey(rules, CYCLE, 1500, 2, workers=2, out=tmp_path / "pool", progress=False)
    with vornkit.dask_executor(n_workers=2) as ex:
        clustered = survey(rules, CYCLE, 1500, 2, executor=ex, out=tmp_path / "dask", progress=False)
    assert clustered.ok and "Dask" in clustered.executor
    assert (tmp_path / "dask" / "survey.csv").read_bytes() == (tmp_path / "pool" / "survey.csv").read_bytes()
    assert pooled.table() == clustered.table()


def test_a_rule_whose_files_were_lost_is_done_again_and_stale_temporaries_go(tmp_path):
    out = tmp_path / "s"
    survey([GROW, SHRINK], CYCLE, 300, 1, workers=1, out=out, progress=False)
    picture = out / "thumbs" / "000001-final.svg"
    picture.write_text("")                                   # as a power cut may leave it
    (out / "records" / "000000.json").write_text("{\"index\": 0, ")  # and a record cut short
    stale = out / "thumbs" / ".000000-rule.svg.0123abcd.tmp"        # a write killed before its rename
    stale.write_text("<svg")
    again = survey([GROW, SHRINK], CYCLE, 300, 1, workers=1, out=out, progress=False)
    assert again.resumed == 0 and again.ok
    assert picture.stat().st_size > 0 and not stale.exists()
    assert json.loads((out / "records" / "000000.json").read_text())["rule"] == GROW
