"""vorn run --max-memory: the run stops before the process passes the size,
writes its files as at the end of a run, says why and exits with status 3."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import vornkit
from conftest import GROWTH_RULE

# The command in a process that reports its own peak resident size at exit
# (the kernel's VmHWM: ru_maxrss would include the forking parent's size).
WRAPPER = textwrap.dedent("""
    import atexit, sys

    def peak():
        with open("/proc/self/status") as f:
            kib = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        print("peak", kib * 1024, file=sys.stderr)

    atexit.register(peak)
    from vornkit.cli import main
    sys.exit(main(sys.argv[1:]))
""")


SANITIZED = os.environ.get("VORN_SANITIZED") == "1"


# The pictures' outputs too: the causal picture reads the whole recorded relation. (Under the
# sanitizer, freed memory waits in its quarantine, which the budget does not count.)
@pytest.mark.parametrize("size, pictures", [
    (240, []),
    pytest.param(1024, ["--causal", "c.png", "--plot", "h.png"],
                 marks=pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory")),
])
def test_a_run_stops_before_it_passes_the_memory_limit(tmp_path, subprocess_env, size, pictures):
    limit = size << 20
    out = subprocess.run([sys.executable, "-c", WRAPPER, "run", "--rule", GROWTH_RULE, "--init", "{{1,2},{1,3}}",
                          "--steps", "100000000", "--seed", "3", "--max-memory", f"{size}M", "--json", "run.json",
                          "--checkpoint", "run.ckpt", *pictures],
                         capture_output=True, text=True, env=subprocess_env, cwd=tmp_path, timeout=600)
    assert out.returncode == 3, out.stdout + out.stderr
    lines = [line for line in out.stderr.splitlines() if line.startswith("vorn run:")]
    assert len(lines) == 1 and f"--max-memory {size:,} MiB" in lines[0], out.stderr
    peak = int(out.stderr.split("peak")[-1])
    assert peak <= limit, (peak, out.stdout + out.stderr)
    assert "stopped for memory after" in out.stdout
    record = json.loads((tmp_path / "run.json").read_text())
    engine, meta = vornkit.load(tmp_path / "run.ckpt", metadata=True)
    done = meta["steps_done"]
    assert 0 < done < 100_000_000
    assert engine.get_attempted_rewrites() == done  # the state the run stopped in
    assert record["reason"] == "memory" and record["counts"]["steps_done"] == done
    assert len(record["final"]["edges"]) == engine.edge_count()
    # The memory it used was mostly the engine's (the run did get near the limit).
    assert peak > limit // 3, (peak, out.stdout + out.stderr)


def test_a_size_that_is_no_size_is_refused(tmp_path, subprocess_env):
    out = subprocess.run([sys.executable, "-m", "vornkit", "run", "--rule", GROWTH_RULE, "--steps", "10",
                          "--max-memory", "lots"], capture_output=True, text=True, env=subprocess_env, cwd=tmp_path,
                         timeout=120)
    assert out.returncode == 2 and "expected a size such as 512M" in out.stderr
