import json
import shutil
import subprocess

import matplotlib.image as mpimg
import pytest

from conftest import GROWTH_RULE


@pytest.fixture
def vorn_cli(python, subprocess_env, tmp_path):
    def call(*args):
        return subprocess.run([python, "-m", "vornkit", *args], capture_output=True, text=True,
                              env=subprocess_env, cwd=tmp_path, timeout=120)
    return call


def test_help_explains_the_command(vorn_cli):
    top = vorn_cli("--help")
    assert top.returncode == 0 and "run" in top.stdout and "->" in top.stdout
    assert "in any order and multiplicity" in " ".join(top.stdout.split())  # matching is unordered
    run = vorn_cli("run", "--help")
    assert run.returncode == 0
    for words in ("--rule", "--init", "--steps", "--semantics", "--plot", "--growth", "--json", "examples:",
                  "Ctrl-C"):
        assert words in run.stdout


def test_growth_model_end_to_end(vorn_cli, tmp_path):
    done = vorn_cli("run", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}", "--steps", "300",
                    "--plot", "h.png", "--growth", "g.svg", "--json", "run.json", "--plot-max-edges", "200")
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("vorn: 300 steps in ") and lines[0].endswith("completed")
    assert any(GROWTH_RULE in line for line in lines)
    record = json.loads((tmp_path / "run.json").read_text())
    successful = record["counts"]["successful"]
    assert record["counts"]["steps_done"] == 300 and 0 < successful <= 300
    assert f"{successful:,} of 300 steps applied a rule" in done.stdout
    assert f"{3 + successful:,} vertices, {2 + 2 * successful:,} hyperedges" in done.stdout
    assert record["initial_edges"] == [["1", "2"], ["1", "3"]]
    assert record["rules"][0]["text"] == GROWTH_RULE
    assert "h.png (200 of" in done.stdout
    assert mpimg.imread(tmp_path / "h.png").shape[:2] == (1200, 1200)
    assert (tmp_path / "g.svg").read_text().lstrip().startswith("<?xml")


def test_semantics_and_empty_start_hint(vorn_cli):
    done = vorn_cli("run", "--rule", "{{x,y}} -> {{x,y},{y,z}}", "--steps", "10", "--semantics", "spo")
    assert done.returncode == 0
    assert "SPO" in done.stdout and "the initial hypergraph is empty" in done.stdout


@pytest.mark.parametrize("args, words", [
    (["run", "--rule", "{{x,y}->{{x}}", "--steps", "5"], "position 6"),
    (["run", "--rule", "{{x}} -> {}", "--init", "{{1,2}", "--steps", "5"], "--init"),
    (["run", "--rule", "{{x}} -> {}"], "--steps"),
    (["run", "--steps", "5"], "--rule"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "ten"], "whole number"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "-3"], ">= 0"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--semantics", "xpo"], "DPO or SPO"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--plot", "h.jpgx"], "picture format"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--json", "missing/run.json"], "does not exist"),
    (["walk"], "invalid choice"),
])
def test_user_mistakes_give_one_line_and_status_2(vorn_cli, tmp_path, args, words):
    done = vorn_cli(*args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert done.stderr.startswith("vorn") and "error" in done.stderr and words in done.stderr
    assert not any(p.suffix in (".png", ".json") for p in tmp_path.iterdir())


def test_console_script_if_installed(subprocess_env):
    script = shutil.which("vorn", path=subprocess_env.get("PATH"))
    if script is None:
        pytest.skip("the vorn console script is not installed (pip install .)")
    done = subprocess.run([script, "--version"], capture_output=True, text=True, env=subprocess_env)
    assert done.returncode == 0 and done.stdout.startswith("vorn ")


def test_ctrl_c_prints_partial_summary(python, subprocess_env, tmp_path):
    import signal
    import time

    proc = subprocess.Popen([python, "-m", "vornkit", "run", "--rule", "{{x}} -> {{x}}", "--steps",
                             "1000000000000000", "--chunk", "5000", "--json", "run.json"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=subprocess_env,
                            cwd=tmp_path)
    try:
        time.sleep(2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert "Traceback" not in err
    assert "interrupted after" in out.splitlines()[0]
    record = json.loads((tmp_path / "run.json").read_text())
    assert record["reason"] == "interrupted" and record["counts"]["steps_done"] > 0
