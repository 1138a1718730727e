"""Rewrites per second and peak memory of the engine on three workloads.

    python benchmarks/bench.py [--sizes 10000,100000,1000000] [--workloads 1,2,3]

Each (workload, size) runs in a fresh interpreter so that its peak resident
set size is its own; the run is timed in ten equal chunks, and the table
shows the rate of the first and the last tenth besides the overall rate. Every workload starts from the hypergraph {{1,2},{1,3}},
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
    # Ten equal chunks, so that the rate at the start and at the end of the
    # run can be compared.
    chunk_rates = []
    done = 0
    start = time.perf_counter()
    for k in range(1, 11):
        target = steps * k // 10
        before_rewrites = engine.get_successful_rewrites()
        t0 = time.perf_counter()
        engine.run(target - done)
        chunk_rates.append((engine.get_successful_rewrites() - before_rewrites) /
                           max(time.perf_counter() - t0, 1e-9))
        done = target
    seconds = time.perf_counter() - start
    rewrites = engine.get_successful_rewrites()
    return {
        "workload": workload,
        "steps": steps,
        "rewrites": rewrites,
        "seconds": seconds,
        "rate": rewrites / seconds if seconds > 0 else float("inf"),
        "nodes": engine.node_count(),
        "first_tenth_rate": chunk_rates[0],
        "last_tenth_rate": chunk_rates[-1],
        "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
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
    print("| workload | steps | rewrites/s | first tenth | last tenth | seconds | live vertices | peak RSS (MiB) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for w in workloads:
        for n in sizes:
            out = subprocess.run([sys.executable, __file__, "--one", str(w), str(n)],
                                 check=True, capture_output=True, text=True)
            r = json.loads(out.stdout)
            print(f"| {w}. {WORKLOADS[w][0]} | {n:,} | {r['rate']:,.0f} | {r['first_tenth_rate']:,.0f} | "
                  f"{r['last_tenth_rate']:,.0f} | {r['seconds']:.2f} | {r['nodes']:,} | "
                  f"{r['peak_rss_mib']:,.0f} |", flush=True)


if __name__ == "__main__":
    main()
