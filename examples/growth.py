"""A classic growth model: every step, a vertex x with two hyperedges (x, y)
and (x, z) gets a fresh vertex w tied to x, y and z.

Run it with `python examples/growth.py [steps]` (default 100,000 steps).
"""
import collections
import sys
import time

import vorn


def main(steps: int = 100_000) -> None:
    engine = vorn.Engine()

    # The initial state {{1,2},{1,3}}, built by a rule with an empty
    # left-hand side that fires once, then removed.
    engine.add_rule([], [], [["a", "b"], ["a", "c"]], 1.0)
    engine.step()
    engine.clear_rules()
    engine.reset_counters()

    engine.add_rule(
        [["x", "y"], ["x", "z"]],            # left-hand side
        ["x", "y", "z"],                     # names whose vertices survive
        [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]],  # right-hand side
        1.0,                                 # weight
    )

    start = time.perf_counter()
    engine.run(steps)
    elapsed = time.perf_counter() - start

    print(f"steps       {steps:,} ({engine.get_successful_rewrites():,} applied a rule)")
    print(f"vertices    {engine.node_count():,}")
    print(f"hyperedges  {engine.edge_count():,}")
    print(f"pairs       {engine.get_structural_pair_count():,}")
    print("degree distribution (degree: vertices)")
    histogram = collections.Counter(engine.get_degree_map().values())
    for degree in sorted(histogram)[:12]:
        print(f"  {degree:>4}: {histogram[degree]:,}")
    if len(histogram) > 12:
        print(f"  ... up to degree {max(histogram)}")
    print(f"wall time   {elapsed:.2f} s ({steps / elapsed:,.0f} steps/s)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
