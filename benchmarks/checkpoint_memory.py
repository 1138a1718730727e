"""Peak memory of saving and loading a checkpoint, beside the engine's own.

    python benchmarks/checkpoint_memory.py [--workload 1] [--steps 10000000] [--file PATH] [--python PATH]

Two fresh processes of the interpreter given by --python (default: this
one). The first builds the engine by running a workload of bench.py for
--steps steps (1, the default: growth, a vertex more every step; 3: three
live vertices, so that the causal record makes up the engine), notes its
resident set size, resets the kernel's record of the peak
(/proc/self/clear_refs) and saves the checkpoint; the second loads
it. Each prints its resident set size before and after and the peak in
between (VmHWM); the table compares the peaks with the size of the process
that built the engine by running.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent("""
    import json, sys, time
    sys.path[:0] = {paths!r}
    import vorn, vornkit

    def status():
        out = {{}}
        with open("/proc/self/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    out[key] = int(value.split()[0]) * 1024
        return out

    def reset_peak():
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")

    from bench import prepare

    mode, path, steps, workload = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    if mode == "save":
        e = prepare(workload)
        e.run(steps)
        before = status()["VmRSS"]
        reset_peak()
        t = time.perf_counter()
        vornkit.save(e, path)
    else:
        before = status()["VmRSS"]
        reset_peak()
        t = time.perf_counter()
        e = vornkit.load(path)
    seconds = time.perf_counter() - t
    after = status()
    print(json.dumps({{"before": before, "peak": after["VmHWM"], "after": after["VmRSS"], "seconds": seconds,
                      "vertices": e.node_count()}}))
""")


def measure(python: str, mode: str, path: str, steps: int, workload: int) -> dict:
    benchmarks = os.path.dirname(os.path.abspath(__file__))
    paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p] + \
        [os.path.dirname(benchmarks), benchmarks]
    out = subprocess.run([python, "-c", CHILD.format(paths=paths), mode, path, str(steps), str(workload)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"the {mode} process failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", type=int, default=1, choices=(1, 2, 3, 4, 5))
    parser.add_argument("--steps", type=int, default=10_000_000)
    parser.add_argument("--file", default=None, help="where the checkpoint goes (default: a temporary folder)")
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()
    folder = None if args.file else tempfile.TemporaryDirectory()
    path = args.file or os.path.join(folder.name, "growth.vorn")
    save = measure(args.python, "save", path, args.steps, args.workload)
    load = measure(args.python, "load", path, args.steps, args.workload)
    size = os.path.getsize(path)
    mb = 1 << 20
    engine = save["before"]
    print(f"workload {args.workload}, {args.steps:,} steps, {save['vertices']:,} vertices, "
          f"checkpoint {size / mb:.0f} MB")
    print(f"{'':6} {'RSS before':>11} {'peak':>9} {'RSS after':>10} {'peak / engine':>14} {'time':>8}")
    for name, m in (("save", save), ("load", load)):
        print(f"{name:6} {m['before'] / mb:9.0f} MB {m['peak'] / mb:6.0f} MB {m['after'] / mb:7.0f} MB "
              f"{m['peak'] / engine:13.2f}x {m['seconds']:7.2f} s")
    print(f"(engine: the process that built it by running, {engine / mb:.0f} MB)")
    if folder:
        folder.cleanup()


if __name__ == "__main__":
    main()
