"""Survey wall time: the whole survey (measures, pictures, table, gallery) against the members' runs alone.

    python benchmarks/survey_bench.py                       # "1_2 -> 2_2", 10,000 steps, 4 runs
    python benchmarks/survey_bench.py --full                # also "2_2 -> 3_2" on 2 workers
    python benchmarks/survey_bench.py --full --dask         # ... and on a Dask LocalCluster
    python benchmarks/survey_bench.py --rules FILE --init "{{1,1}}"   # rules from a file instead

"command" times ``vorn survey ... --out DIR`` as a user runs it (interpreter
and worker start-up included).  "members alone" runs the same rules' runs on
the same number of workers with nothing else: no structure measures, no
pictures, no table or gallery (``survey(..., measure=False, pictures=False)``
without an output folder).  The ratio of the two is the cost of everything a
survey adds to the runs.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from vornkit.survey import read_rules_file, select_rules, survey  # noqa: E402


def _rules(signature, path):
    return read_rules_file(path) if path else select_rules(signature)


def _command(args, out):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vornkit", "survey", *args, "--out", out, "--no-progress"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def _members_alone(rules, init, steps, runs, workers=None, executor=None):
    start = time.perf_counter()
    result = survey(rules, init, steps, runs, workers=workers, executor=executor, measure=False,
                    pictures=False, progress=False)
    assert result.reason == "completed"
    return time.perf_counter() - start


def case(label, signature, path, init, steps, runs, workers):
    rules = _rules(signature, path)
    where = ["--rules", path] if path else ["--signature", signature]
    with tempfile.TemporaryDirectory() as tmp:
        whole = _command([*where, "--init", init, "--steps", str(steps), "--runs", str(runs),
                          "--workers", str(workers)], os.path.join(tmp, "s"))
    alone = _members_alone(rules, init, steps, runs, workers=workers)
    print(f"{label:<26} {len(rules):>6,} {workers:>7} {whole:>9.1f} {alone:>9.1f} {whole / alone:>6.2f}x", flush=True)


def dask_case(signature, path, init, steps, runs, workers):
    from vornkit.dask_ensemble import dask_executor

    rules = _rules(signature, path)
    with dask_executor(n_workers=workers) as ex:
        start = time.perf_counter()
        with tempfile.TemporaryDirectory() as tmp:
            survey(rules, init, steps, runs, executor=ex, out=os.path.join(tmp, "s"), progress=False)
        whole = time.perf_counter() - start
        alone = _members_alone(rules, init, steps, runs, executor=ex)
    name = 'dask ' + (signature or os.path.basename(path))
    print(f"{name:<26} {len(rules):>6,} {workers:>7} {whole:>9.1f} {alone:>9.1f} "
          f"{whole / alone:>6.2f}x", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rules", help="a rules file instead of the signatures")
    parser.add_argument("--init", default="{{1,1}}", help="with --rules: the initial hypergraph")
    parser.add_argument("--steps", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--full", action="store_true", help="also survey every rule of 2_2 -> 3_2")
    parser.add_argument("--dask", action="store_true", help="with --full or --rules: also on a Dask LocalCluster")
    args = parser.parse_args()
    print("command:", " ".join([os.path.basename(sys.executable)] + sys.argv))
    print(f"{args.runs} runs x {args.steps:,} steps per rule, {os.cpu_count()} cores; seconds of wall time")
    print(f"{'survey':<26} {'rules':>6} {'workers':>7} {'command':>9} {'alone':>9} {'ratio':>7}")
    if args.rules:
        case(os.path.basename(args.rules), None, args.rules, args.init, args.steps, args.runs, args.workers)
        if args.dask:
            dask_case(None, args.rules, args.init, args.steps, args.runs, args.workers)
        return 0
    case("1_2 -> 2_2", "1_2 -> 2_2", None, "{{1,1}}", args.steps, args.runs, args.workers)
    if args.full:
        case("2_2 -> 3_2", "2_2 -> 3_2", None, "{{1,1},{1,1}}", args.steps, args.runs, args.workers)
        if args.dask:
            dask_case("2_2 -> 3_2", None, "{{1,1},{1,1}}", args.steps, args.runs, args.workers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
