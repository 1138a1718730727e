"""What recording the dimension costs a run: the run alone, with the dimension, and one estimate.

    python benchmarks/dimension_series.py [--steps 20000,100000] [--seed 1]

For each step count, the growth model {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}
from {{1,2},{1,3}} is evolved twice with the same seed (so both runs reach the
same graph): once recording the counts, once recording the dimension too.
Then one dimension estimate of the final graph is timed.  The table shows the
seconds of each, the estimates taken, and the ratio of all estimates' time to
the one at the end: the schedule keeps it near 2, so a run with the dimension
costs the run plus about two final estimates, however long the run.
"""

import argparse
import math
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import vorn  # noqa: E402
import vornkit  # noqa: E402
from vornkit.series import measure_dimension  # noqa: E402

RULE = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"


def timed_run(steps: int, seed: int, record):
    engine = vorn.Engine()
    vornkit.reseed(engine, seed)
    vornkit.start(engine, [[1, 2], [1, 3]], rules=RULE)
    start = time.perf_counter()
    result = vornkit.evolve(engine, steps, progress=False, record=record, keep_final=False)
    return engine, result, time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", default="20000,100000")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    print("command:", " ".join([os.path.basename(sys.executable)] + sys.argv))
    print(f"{'steps':>9} {'run s':>8} {'with dim s':>11} {'estimates':>9} {'one at end s':>13} "
          f"{'all / one':>9} {'with / run':>10}")
    for steps in (int(s) for s in args.steps.split(",")):
        _, _, alone = timed_run(steps, args.seed, ("nodes", "edges", "pairs"))
        engine, result, with_dimension = timed_run(steps, args.seed, ("nodes", "edges", "pairs", "dimension"))
        taken = sum(1 for v in result.history["dimension"] if not math.isnan(v))
        t0 = time.perf_counter()
        measure_dimension(engine)
        one = time.perf_counter() - t0
        estimates = with_dimension - alone
        print(f"{steps:>9,} {alone:>8.2f} {with_dimension:>11.2f} {taken:>9} {one:>13.2f} "
              f"{estimates / one:>9.2f} {with_dimension / alone:>10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
