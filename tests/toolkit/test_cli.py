import json
import shutil
import signal
import subprocess

import matplotlib.image as mpimg
import pytest

import vornkit
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


def test_a_seeded_run_repeats_its_record_and_draws_the_causal_graph(vorn_cli, tmp_path):
    records = []
    for name in ("a.json", "b.json"):
        done = vorn_cli("run", "--rule", GROWTH_RULE + "; {{x,y}} -> {} @ 0.02", "--init", "{{1,2},{1,3}}",
                        "--semantics", "SPO", "--steps", "2000", "--seed", "0x5eed", "--json", name,
                        "--causal", "causal.png", "--causal-max-vertices", "300")
        assert done.returncode == 0, done.stderr
        assert "seed       24301" in done.stdout and "causal.png (300 of " in done.stdout
        record = json.loads((tmp_path / name).read_text())
        del record["wall_time"], record["history"]["time"]
        records.append(record)
    assert records[0] == records[1] and records[0]["settings"]["seed"] == 0x5eed
    assert mpimg.imread(tmp_path / "causal.png").shape[:2] == (1200, 1200)


def test_semantics_and_empty_start_hint(vorn_cli):
    done = vorn_cli("run", "--rule", "{{x,y}} -> {{x,y},{y,z}}", "--steps", "10", "--semantics", "spo")
    assert done.returncode == 0
    assert "SPO" in done.stdout and "the initial hypergraph is empty" in done.stdout
    assert "(0 vertices, 0 hyperedges)" in done.stdout


def test_summary_counts_in_the_singular(vorn_cli):
    done = vorn_cli("run", "--rule", "{{x}} -> {{x}}", "--init", "{{1}}", "--steps", "3")
    assert done.returncode == 0, done.stderr
    assert "(1 vertex, 1 hyperedge)" in done.stdout
    assert "1 vertex, 1 hyperedge, 0 structural pairs" in done.stdout


@pytest.mark.parametrize("args, words", [
    (["run", "--rule", "{{x,y}->{{x}}", "--steps", "5"], "position 6"),
    (["run", "--rule", "{{x}} -> {}", "--init", "{{1,2}", "--steps", "5"], "--init"),
    (["run", "--rule", "{{x}} -> {}"], "--steps"),
    (["run", "--steps", "5"], "--rule"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "ten"], "whole number"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "-3"], ">= 0"),
    (["run", "--rule", "{{x}} -> {}", "--steps", str(2 ** 64)], "<= 2**64 - 1"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--chunk", "-5"], "expected a number >= 1, got '-5'"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--plot-max-edges", "-1"], "expected a number >= 1"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--semantics", "xpo"], "DPO or SPO"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--plot", "h.jpgx"], "picture format"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--json", "missing/run.json"], "does not exist"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--json", ""], "--json: the file name is empty"),
    (["run", "--rule", "{{x}} -> {{x}} @ 1e308; {{x}} -> {{x,x}} @ 1e308", "--steps", "1"], "total"),
    (["run", "--rule", "{{x}} -> {} @ 1e" + "9" * 100_000, "--steps", "1"], "got 1e999"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "1" * 100_000 + "x"], "whole number"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--seed", "-1"], "2**64 - 1"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--causal", "c.txt"], "picture format"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--checkpoint-every", "10"], "needs --checkpoint"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--checkpoint", "c", "--checkpoint-every", "0"], "positive"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--checkpoint", "c", "--checkpoint-every", "inf"],
     "positive"),
    (["run", "--resume", "c.ckpt", "--rule", "{{x}} -> {}"], "--rule cannot be given with --resume"),
    (["run", "--resume", "c.ckpt", "--steps", "5", "--seed", "1"], "--seed cannot be given with --resume"),
    (["run", "--resume", "missing.ckpt"], "No such file"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--json", "same.png", "--plot", "same.png"], "same file"),
    (["run", "--rule", "{{x}} -> {}", "--steps", "5", "--plot", "a.png", "--growth", "./a.png"], "same file"),
    (["run", "--resume", "r.ckpt", "--steps", "10", "--json", "r.ckpt"], "checkpoint being resumed"),
    (["ensemble", "--rule", "{{x}} -> {}", "--runs", "2", "--steps", "5", "--plot", "o.png", "--json", "o.png"],
     "same file"),
    (["walk"], "invalid choice"),
])
def test_user_mistakes_give_one_line_and_status_2(vorn_cli, tmp_path, args, words):
    done = vorn_cli(*args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert len(done.stderr.strip().splitlines()) == 1 and len(done.stderr) < 300, done.stderr
    assert done.stderr.startswith("vorn") and "error" in done.stderr and words in done.stderr
    assert not any(p.suffix in (".png", ".json") for p in tmp_path.iterdir())


def test_console_script_if_installed(subprocess_env):
    script = shutil.which("vorn", path=subprocess_env.get("PATH"))
    if script is None:
        pytest.skip("the vorn console script is not installed (pip install .)")
    done = subprocess.run([script, "--version"], capture_output=True, text=True, env=subprocess_env)
    assert done.returncode == 0 and done.stdout.startswith("vorn ")


@pytest.mark.parametrize("signals, status", [
    ([signal.SIGINT], 130),
    ([signal.SIGINT, signal.SIGINT, signal.SIGINT], 130),  # impatient Ctrl-Cs do not lose the record
    ([signal.SIGTERM], 143),
])
def test_ctrl_c_prints_partial_summary(python, subprocess_env, tmp_path, signals, status):
    import time

    proc = subprocess.Popen([python, "-m", "vornkit", "run", "--rule", "{{x}} -> {{x}}", "--steps",
                             "1000000000000000", "--chunk", "5000", "--json", "run.json",
                             "--checkpoint", "run.ckpt", "--checkpoint-every", "0.05"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=subprocess_env,
                            cwd=tmp_path)
    try:
        # The first periodic checkpoint shows that the run has started, however loaded the machine is.
        deadline = time.monotonic() + 120
        while not (tmp_path / "run.ckpt").exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        for signum in signals:
            proc.send_signal(signum)
            time.sleep(0.02)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == status, err
    assert "Traceback" not in err
    assert "interrupted after" in out.splitlines()[0]
    record = json.loads((tmp_path / "run.json").read_text())
    assert record["reason"] == "interrupted" and record["counts"]["steps_done"] > 0
    engine, saved = vornkit.load(tmp_path / "run.ckpt", metadata=True)  # the state the run stopped in
    assert saved["steps_done"] == record["counts"]["steps_done"] == engine.get_attempted_rewrites()


@pytest.mark.parametrize("stdout, status, message", [
    ("closed pipe", 141, ""),  # like `vorn run ... | head -c 0`: quiet, as a tool stopped by SIGPIPE
    ("/dev/full", 1, "vorn run: error: cannot write to standard output: No space left on device\n"),
])
def test_failing_standard_output(python, subprocess_env, tmp_path, stdout, status, message):
    args = [python, "-m", "vornkit", "run", "--rule", "{{x}} -> {{x}}", "--init", "{{1}}", "--steps", "5",
            "--json", "run.json"]
    if stdout == "closed pipe":
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=subprocess_env, cwd=tmp_path)
        proc.stdout.close()
        err = proc.stderr.read()
        proc.wait(60)
    else:
        with open(stdout, "w") as full:
            proc = subprocess.Popen(args, stdout=full, stderr=subprocess.PIPE, text=True, env=subprocess_env,
                                    cwd=tmp_path)
            err = proc.communicate(timeout=60)[1]
    assert (proc.returncode, err) == (status, message)
    assert json.loads((tmp_path / "run.json").read_text())["reason"] == "completed"


def test_a_file_that_cannot_be_written_whole_is_not_written(python, subprocess_env, tmp_path):
    import resource

    def limit_file_size():  # as `ulimit -f`
        resource.setrlimit(resource.RLIMIT_FSIZE, (16_384, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    (tmp_path / "run.json").write_text("the previous record\n")
    done = subprocess.run([python, "-m", "vornkit", "run", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}",
                           "--steps", "2000", "--json", "run.json"], capture_output=True, text=True,
                          env=subprocess_env, cwd=tmp_path, timeout=120, preexec_fn=limit_file_size)
    assert done.returncode == 1
    assert done.stderr == "vorn run: error: cannot write run.json: File too large\n"
    assert done.stdout.startswith("vorn: 2,000 steps") and "wrote" not in done.stdout
    assert [p.name for p in tmp_path.iterdir()] == ["run.json"]
    assert (tmp_path / "run.json").read_text() == "the previous record\n"


INTERRUPTED_WHILE_WRITING = """
import os, signal, sys
import vornkit.export, vornkit.plotting
from vornkit.cli import main

def interrupted(write):
    def wrapper(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C after the run, while the files are written
        os.kill(os.getpid(), signal.SIGINT)
        return write(*args, **kwargs)
    return wrapper

plot_growth = vornkit.plotting.plot_growth
def growth_after_the_record(*args, **kwargs):
    assert os.path.exists("run.json"), "the record is written before the pictures"
    return plot_growth(*args, **kwargs)

vornkit.export.to_json = interrupted(vornkit.export.to_json)
vornkit.plotting.plot_growth = interrupted(growth_after_the_record)
sys.exit(main(sys.argv[1:]))
"""


def test_interrupts_after_the_run_wait_for_the_files(python, subprocess_env, tmp_path):
    done = subprocess.run([python, "-c", INTERRUPTED_WHILE_WRITING, "run", "--rule", GROWTH_RULE,
                           "--init", "{{1,2},{1,3}}", "--steps", "300", "--json", "run.json",
                           "--growth", "g.png"], capture_output=True, text=True, env=subprocess_env,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == 130 and done.stderr == ""
    assert "completed" in done.stdout.splitlines()[0] and "wrote      run.json, g.png" in done.stdout
    assert json.loads((tmp_path / "run.json").read_text())["counts"]["steps_done"] == 300
    assert mpimg.imread(tmp_path / "g.png").shape[:2] == (750, 1050)


def test_a_run_continued_from_its_checkpoint_ends_where_one_long_run_ends(vorn_cli, tmp_path):
    model = ["--rule", GROWTH_RULE + "; {{x,y}} -> {} @ 0.05", "--init", "{{1,2},{1,3}}", "--semantics", "SPO",
             "--seed", "99"]
    whole = vorn_cli("run", *model, "--steps", "3000", "--json", "whole.json")
    first = vorn_cli("run", *model, "--steps", "1200", "--checkpoint", "run.ckpt")
    rest = vorn_cli("run", "--resume", "run.ckpt", "--steps", "1800", "--json", "rest.json",
                    "--checkpoint", "run.ckpt", "--growth", "g.png")
    for done in (whole, first, rest):
        assert done.returncode == 0, done.stderr
    assert "resumed    run.ckpt after 1,200 steps; 3,000 steps in all" in rest.stdout
    whole, rest = (json.loads((tmp_path / name).read_text()) for name in ("whole.json", "rest.json"))
    assert rest["final"] == whole["final"] and len(whole["final"]["edges"]) > 1000  # ids and order too
    assert whole["counts"]["successful"] < 3000  # deletions happened
    assert rest["history"]["step"][0] == 1200 and rest["history"]["step"][-1] == 3000
    assert (rest["rules"], rest["initial_edges"], rest["settings"]["semantics"], rest["settings"]["seed"]) == \
        (whole["rules"], whole["initial_edges"], "SPO", 99)
    engine, saved = vornkit.load(tmp_path / "run.ckpt", metadata=True)
    assert (saved["steps_done"], saved["steps_requested"], saved["seed"]) == (3000, 3000, 99)
    assert saved["vornkit"] == vornkit.__version__

    damaged = bytearray((tmp_path / "run.ckpt").read_bytes())
    damaged[len(damaged) // 2] ^= 0x40
    (tmp_path / "damaged.ckpt").write_bytes(bytes(damaged))
    vornkit.save(engine, tmp_path / "bare.ckpt")  # an engine, but no run of the command around it
    for name, words in (("damaged.ckpt", "damaged"), ("whole.json", "not a vorn checkpoint"),
                        ("bare.ckpt", "no run of 'vorn run'")):
        refused = vorn_cli("run", "--resume", name, "--steps", "10", "--json", "out.json")
        assert refused.returncode == 2 and refused.stdout == "" and not (tmp_path / "out.json").exists()
        assert refused.stderr.count("\n") == 1 and words in refused.stderr, refused.stderr


SAVES_COUNTED = """
import json, sys
import vornkit.checkpoint
from vornkit.cli import main

save, seen = vornkit.checkpoint.save, []
def counted(engine, path, **kwargs):
    save(engine, path, **kwargs)
    seen.append(vornkit.checkpoint.load(path, metadata=True)[1]["steps_done"])  # complete on disk
vornkit.checkpoint.save = counted
status = main(sys.argv[1:])
print(json.dumps(seen))
sys.exit(status)
"""


def test_checkpoint_every_saves_between_chunks_and_once_more_at_the_end(python, subprocess_env, tmp_path):
    done = subprocess.run([python, "-c", SAVES_COUNTED, "run", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}",
                           "--steps", "1000", "--chunk", "100", "--checkpoint", "run.ckpt",
                           "--checkpoint-every", "1e-9"], capture_output=True, text=True, env=subprocess_env,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    # Every chunk takes longer than a nanosecond: a save after each, then the final one.
    assert json.loads(done.stdout.splitlines()[-1]) == list(range(100, 1001, 100)) + [1000]


def test_resuming_without_steps_runs_what_the_saved_run_had_left(vorn_cli, tmp_path):
    model = ["--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}", "--seed", "7"]
    whole = vorn_cli("run", *model, "--steps", "500", "--json", "whole.json")
    first = vorn_cli("run", *model, "--steps", "200", "--checkpoint", "run.ckpt")
    # As if a run of 500 steps had been stopped after 200 of them.
    engine, meta = vornkit.load(tmp_path / "run.ckpt", metadata=True)
    vornkit.save(engine, tmp_path / "run.ckpt", metadata={**meta, "steps_requested": 500})
    rest = vorn_cli("run", "--resume", "run.ckpt", "--json", "rest.json")
    for done in (whole, first, rest):
        assert done.returncode == 0, done.stderr
    whole, rest = (json.loads((tmp_path / name).read_text()) for name in ("whole.json", "rest.json"))
    assert rest["counts"]["steps_done"] == 300 and rest["history"]["step"][-1] == 500

    def ranked(final):  # ids up to renaming: the saving process's id counters may have run ahead
        rank = {v: k for k, v in enumerate(sorted(final["vertices"]))}
        return [[rank[v] for v in e] for e in final["edges"]]
    assert ranked(rest["final"]) == ranked(whole["final"])


def test_json_to_standard_output_through_a_pipe_and_into_a_file(python, subprocess_env, tmp_path):
    command = [python, "-m", "vornkit", "run", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}", "--steps",
               "100", "--json", "/dev/stdout"]
    piped = subprocess.run(command, capture_output=True, text=True, env=subprocess_env, cwd=tmp_path, timeout=120)
    with open(tmp_path / "out.txt", "w") as out:
        to_file = subprocess.run(command, stdout=out, stderr=subprocess.PIPE, text=True, env=subprocess_env,
                                 cwd=tmp_path, timeout=120)
    for done, text in ((piped, piped.stdout), (to_file, (tmp_path / "out.txt").read_text())):
        assert done.returncode == 0, done.stderr
        # The record, then the summary: neither lost nor cut.
        record, end = json.JSONDecoder().raw_decode(text)
        assert record["counts"]["steps_done"] == 100
        summary = text[end:].strip()
        assert summary.startswith("vorn: 100 steps") and summary.endswith("wrote      /dev/stdout")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt"]
