"""Rewrites per second and peak memory of the engine on three workloads.

    python benchmarks/bench.py [--sizes 10000,100000,300000] [--workloads 1,2,3]

Each (workload, size) runs in a fresh interpreter so that its peak resident
set size is its own. Every workload starts from the hypergraph {{1,2},{1,3}},
built by a rule with an empty left-hand side that is then removed.

1. growth under DPO: {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}
2. deletion under SPO: {{x,y}} -> {{x,z},{z,w}}, y deleted every step
3. small graph, long run: {{x,y}} -> {{x,z}}, y replaced by a new vertex, so
   the live graph keeps 3 vertices while the vertex ids climb
"""
import argparse
import json
import platform
import resource
import subprocess
import sys
import time

WORKLOADS = {
    1: ("growth, DPO", "DPO",
        ([["x", "y"], ["x", "z"]], ["x", "y", "z"], [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]])),
    2: ("deletion, SPO", "SPO", ([["x", "y"]], ["x"], [["x", "z"], ["z", "w"]])),
    3: ("small graph, long run", "DPO", ([["x", "y"]], ["x"], [["x", "z"]])),
}


def run_one(workload: int, steps: int) -> dict:
    import vorn

    _, semantics, (lhs, kept, rhs) = WORKLOADS[workload]
    engine = vorn.Engine()
    engine.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
    engine.step()
    engine.clear_rules()
    engine.reset_counters()
    engine.set_semantics(semantics)
    engine.add_rule(lhs, kept, rhs, 1.0)
    start = time.perf_counter()
    engine.run(steps)
    seconds = time.perf_counter() - start
    rewrites = engine.get_successful_rewrites()
    return {
        "workload": workload,
        "steps": steps,
        "rewrites": rewrites,
        "seconds": seconds,
        "rate": rewrites / seconds if seconds > 0 else float("inf"),
        "nodes": engine.node_count(),
        "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,300000")
    parser.add_argument("--workloads", default="1,2,3")
    parser.add_argument("--one", nargs=2, type=int, metavar=("WORKLOAD", "STEPS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(run_one(*args.one)))
        return

    sizes = [int(float(s)) for s in args.sizes.split(",")]
    workloads = [int(w) for w in args.workloads.split(",")]
    print(f"$ python {' '.join(sys.argv)}")
    print(f"machine: {platform.machine()}, {platform.python_implementation()} {platform.python_version()}, "
          f"{platform.platform()}")
    print()
    print(f"| workload | steps | rewrites/s | seconds | live vertices | peak RSS (MiB) |")
    print(f"|---|---:|---:|---:|---:|---:|")
    for w in workloads:
        for n in sizes:
            out = subprocess.run([sys.executable, __file__, "--one", str(w), str(n)],
                                 check=True, capture_output=True, text=True)
            r = json.loads(out.stdout)
            print(f"| {w}. {WORKLOADS[w][0]} | {n:,} | {r['rate']:,.0f} | {r['seconds']:.2f} | "
                  f"{r['nodes']:,} | {r['peak_rss_mib']:,.0f} |", flush=True)


if __name__ == "__main__":
    main()
