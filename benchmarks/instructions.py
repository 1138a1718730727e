"""Instructions per step of the workloads of bench.py, counted by callgrind.

    python benchmarks/instructions.py [--python PATH] [--workloads 1,2,3,4] [--steps 10000,30000] [--timeout 60]

A small driver (the workload's start state and rules prepared as in bench.py,
then one run(N)) is run under `valgrind --tool=callgrind` twice, with N1 and
N2 steps. The table shows the whole-process instruction totals I1 and I2 and
(I2 - I1) / (N2 - N1): the start-up of the interpreter and the preparation
cancel out, and what remains is the mean cost of steps N1+1 to N2. The
successful rewrites of both runs are shown too: about 3 runs of workload 4 in
100 delete their last hyperedge early, after which every step is a cheap
failure ("died out" in the table). The driver runs with --python (default:
this interpreter) and PYTHONHASHSEED=0.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

from bench import WORKLOADS, prepare, print_header

SCRIPT = os.path.abspath(__file__)


def child(workload: int, steps: int) -> None:
    engine = prepare(workload)
    engine.run(steps)
    print(json.dumps({"rewrites": engine.get_successful_rewrites(), "edges": engine.edge_count()}))


def instructions(python: str, workload: int, steps: int, timeout: float):
    """(instructions callgrind counted for the driver, successful rewrites), or
    a cell that says why there is no count."""
    # The interpreter itself, not a launcher script (callgrind counts the
    # process it starts; a shim would exec the interpreter out of its sight).
    real = subprocess.run([python, "-c", "import sys; print(sys.executable)"],
                          capture_output=True, text=True, check=True).stdout.strip()
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           real, SCRIPT, "--child", str(workload), str(steps)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              env={**os.environ, "PYTHONHASHSEED": "0"})
    except subprocess.TimeoutExpired:
        return f"> {timeout:,.0f} s"
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
        return f"failed: {lines[-1]}"
    counts = json.loads(proc.stdout.strip().splitlines()[-1])
    return int(found.group(1)), f"{counts['rewrites']:,}" + (" (died out)" if counts["edges"] == 0 else "")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs the engine (default: this one)")
    parser.add_argument("--workloads", default="1,2,3,4")
    parser.add_argument("--steps", default="10000,30000", help="N1,N2")
    parser.add_argument("--timeout", type=float, default=60, help="seconds before a callgrind run is stopped")
    parser.add_argument("--child", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0

    n1, n2 = (int(float(s)) for s in args.steps.split(","))
    if not 0 <= n1 < n2:
        parser.error("--steps needs N1,N2 with 0 <= N1 < N2")
    workloads = [int(w) for w in args.workloads.split(",")]
    if not set(workloads) <= set(WORKLOADS):
        parser.error(f"workloads are numbered {min(WORKLOADS)} to {max(WORKLOADS)}")
    if shutil.which("valgrind") is None:
        print("instructions: skipped, valgrind is not installed")
        return 0
    print_header(args.python)
    print()
    print(f"| workload | instructions, {n1:,} steps | instructions, {n2:,} steps | rewrites in the two runs "
          f"| instructions per step |")
    print("|---|---:|---:|---:|---:|")
    ok = True
    for w in workloads:
        r1 = instructions(args.python, w, n1, args.timeout)
        r2 = instructions(args.python, w, n2, args.timeout) if isinstance(r1, tuple) else "—"
        ok &= not any(isinstance(r, str) and r.startswith("failed") for r in (r1, r2))
        counted = isinstance(r1, tuple) and isinstance(r2, tuple)
        per_step = f"{(r2[0] - r1[0]) / (n2 - n1):,.0f}" if counted else "—"
        cells = [f"{r[0]:,}" if isinstance(r, tuple) else r for r in (r1, r2)]
        rewrites = " / ".join(r[1] if isinstance(r, tuple) else "—" for r in (r1, r2))
        print(f"| {w}. {WORKLOADS[w][0]} | {cells[0]} | {cells[1]} | {rewrites} | {per_step} |", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
