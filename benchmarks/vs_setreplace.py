"""The growth rule in vorn and in the PyPI package `setreplace`, side by side.

    python benchmarks/vs_setreplace.py [--python PATH] [--events 10000,100000] [--timeout 300]

Both evolve {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}} from {{1,2},{1,3}}:
vorn (DPO, random anchors, imported by --python, default: this interpreter)
for the given number of steps, setreplace (its own deterministic event
order, imported by this interpreter) for the given number of events. Each run
is a fresh process; the table shows events per second, peak RSS and the
ratio of the two rates.

setreplace is a different program, used here only for comparison; it is no
dependency of vorn. Without it this script says so and exits with status 0.
"""
import argparse
import importlib.util
import os
import sys
import time

from bench import emit, peak_rss_mib, prepare, print_header, run_child

RULE = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"
START = [[1, 2], [1, 3]]


def child_vorn(events: int) -> None:
    engine = prepare(1)
    t0 = time.perf_counter()
    engine.run(events)
    emit(seconds=time.perf_counter() - t0, events=engine.get_successful_rewrites(), peak_rss_mib=peak_rss_mib())


def child_setreplace(events: int) -> None:
    import setreplace

    system = setreplace.HypergraphSystem(RULE, START)
    t0 = time.perf_counter()
    system.evolve(max_events=events)
    emit(seconds=time.perf_counter() - t0, events=system.events_count, peak_rss_mib=peak_rss_mib())


def describe(r: dict, timeout: float) -> tuple:
    """(events/s, peak RSS) cells of one run, and the rate or None."""
    if "seconds" in r:
        rate = r["events"] / max(r["seconds"], 1e-9)
        return f"{rate:,.0f}", f"{r['peak_rss_mib']:,.0f}", rate
    if "timed_out" in r:
        return f"> {timeout:,.0f} s", "—", None
    return f"failed: {r.get('error', 'no output')}", "—", None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs vorn (default: this one)")
    parser.add_argument("--events", default="10000,100000")
    parser.add_argument("--timeout", type=float, default=300, help="seconds before a run is stopped")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        {"vorn": child_vorn, "setreplace": child_setreplace}[args.child[0]](int(args.child[1]))
        return 0

    if importlib.util.find_spec("setreplace") is None:
        print(f"vs_setreplace: skipped, the package setreplace is not installed for {sys.executable} "
              f"(it is only needed for this comparison: pip install setreplace in a virtual environment)")
        return 0
    from importlib.metadata import version

    print_header(args.python)
    print(f"setreplace {version('setreplace')} under {sys.executable}")
    print()
    print(f"Growth rule {RULE} from {{{{1,2}},{{1,3}}}}")
    print("| events | vorn events/s | vorn peak RSS (MiB) | setreplace events/s | setreplace peak RSS (MiB) "
          "| vorn / setreplace |")
    print("|---:|---:|---:|---:|---:|---:|")
    script = os.path.abspath(__file__)
    ok = True
    for n in (int(float(s)) for s in args.events.split(",")):
        ours = run_child(args.python, script, ["vorn", n], args.timeout)
        theirs = run_child(sys.executable, script, ["setreplace", n], args.timeout)
        ok &= "error" not in ours and "error" not in theirs
        our_rate, our_rss, a = describe(ours, args.timeout)
        their_rate, their_rss, b = describe(theirs, args.timeout)
        ratio = f"{a / b:,.1f}x" if a and b else "—"
        print(f"| {n:,} | {our_rate} | {our_rss} | {their_rate} | {their_rss} | {ratio} |", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
