"""Ensemble throughput: members per second on 1 and 2 workers, process pool and Dask.

    python benchmarks/ensemble_bench.py [--runs 16] [--steps 20000]

Each member evolves the growth model {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}
from {{1,2},{1,3}}.  Times cover submitting and collecting the members, not
starting the pool or cluster (a Dask LocalCluster takes a few seconds to start).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from vornkit.ensemble import Model, dask_executor, ensemble  # noqa: E402

RULE = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=16)
    parser.add_argument("--steps", type=int, default=20_000)
    args = parser.parse_args()
    model = Model(RULE, "{{1,2},{1,3}}")
    print("command:", " ".join([os.path.basename(sys.executable)] + sys.argv))
    print(f"{args.runs} members x {args.steps:,} steps, {os.cpu_count()} cores")
    print(f"{'executor':<14} {'workers':>7} {'seconds':>8} {'members/s':>10} {'speed-up':>9}")
    rows = []
    for kind in ("process pool", "dask"):
        base = None
        for workers in (1, 2):
            if kind == "process pool":
                from concurrent.futures import ProcessPoolExecutor
                ex = ProcessPoolExecutor(max_workers=workers)
                list(ex.map(abs, range(workers * 4)))  # start the processes before timing
            else:
                try:
                    ex = dask_executor(n_workers=workers)
                except ImportError as exc:
                    print(f"{kind:<14} skipped: {exc}")
                    break
            with ex:
                start = time.perf_counter()
                result = ensemble(model, args.runs, args.steps, executor=ex, progress=False)
                seconds = time.perf_counter() - start
            if result.failures:
                print(f"{kind}: {len(result.failures)} members failed: {result.failures[0]['error']}")
                return 1
            rate = args.runs / seconds
            base = base or rate
            rows.append((kind, workers, seconds, rate))
            print(f"{kind:<14} {workers:>7} {seconds:>8.2f} {rate:>10.2f} {rate / base:>8.2f}x", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
