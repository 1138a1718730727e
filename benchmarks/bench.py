"""Rewrites per second and peak memory of the engine: four workloads and three probes.

    python benchmarks/bench.py [--python PATH] [--timeout 120]
                               [--sections workloads,delete,constant,width,arrays,analysis]
                               [--sizes 10000,100000,1000000] [--workloads 1,2,3,4]
                               [--delete-sizes 10000,30000,100000,1000000] [--delete-steps 10]
                               [--constant-steps 10000000] [--widths 1000,4000]
                               [--array-sizes 500000,1000000]
                               [--analysis-sizes 1000000]
                               [--scale-sizes 10000000,100000000] [--scale-runs 3] [--vorn-path DIR]

Every measurement runs in a fresh process of the interpreter given by
--python (default: this one), so that its peak resident set size is its own
and an engine that stalls is stopped after --timeout seconds and shown as
"> N s". Every workload starts from the hypergraph {{1,2},{1,3}} (workload 5
from {{1,2}}), built by a rule with an empty left-hand side that is then
removed.

Workloads, each run timed in ten equal chunks; the table shows the rate of
the first and the last tenth besides the overall rate:
1. growth under DPO: {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}
2. deletion under SPO: {{x,y}} -> {{x,z},{z,w}}, y deleted every step
3. small graph, long run: {{x,y}} -> {{x,z}}, y replaced by a new vertex, so
   the live graph keeps 3 vertices while the vertex ids climb
4. mixed under SPO: the growth rule at weight 1 and {{x,y}} -> {} (x deleted,
   y kept) at weight 0.01; about 3 runs in 100 delete their last hyperedge
   within the first few hundred steps, which a note under the table reports
5. constant size under DPO: {{x,y}} -> {{x,y}} on {{1,2}}

Probes:
delete    growth, then delete: N steps of workload 1, then the rules replaced
          by {{x,y}} -> {} (x deleted, y kept) under SPO; the time of the
          first step and whether it applied, then the mean of the next steps
constant  workload 5 for --constant-steps steps: memory on a graph whose size
          never changes
width     add_rule for one pattern of n distinct names, {{v1,...,vn}} ->
          {{v1,...,vn}}
arrays    after N steps of workload 1 (2N hyperedges), reading the graph out:
          get_edges() against vornkit.edges_array, get_vertices() against
          vornkit.vertices_array, get_degree_map() against
          vornkit.degrees_array (each the best of three), and the time of
          vornkit.causal_links
analysis  after N steps of workload 1 in one process: the run, then each
          analysis of the grown engine (dimension and curvature from 50
          centres, the causal dimension, both pictures, the HIF export),
          each timed and with its peak memory above the engine's; then the
          `vorn run` command with all its outputs against the same command
          with none, each in a fresh process. Above 2,000,000 steps to_hif is
          left out (write_hif is the way at that size); 10^7 steps need
          --timeout of several minutes:
          --sections analysis --analysis-sizes 10000000 --timeout 1200
scale     (not in the default sections: it takes minutes and gigabytes)
          workload 1 to each of --scale-sizes steps, --scale-runs times, a
          fresh process per run: the rate, the rate of each tenth, peak RSS
          and peak RSS per step. With --vorn-path DIR (a build directory
          holding another vorn), every run is paired with one of that build,
          the two alternating, and the table ends with the ratio of the
          median rates and of the median peak RSS.
"""
import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import time

T0 = time.perf_counter()
SCRIPT = os.path.abspath(__file__)

GROWTH = ([["x", "y"], ["x", "z"]], ["x", "y", "z"], [["x", "z"], ["x", "w"], ["y", "w"], ["z", "w"]])
DELETE = ([["x", "y"]], ["y"], [])
START = [["a", "b"], ["a", "c"]]

# number: (name, semantics, start hypergraph, [(rule, weight), ...])
WORKLOADS = {
    1: ("growth, DPO", "DPO", START, [(GROWTH, 1.0)]),
    2: ("deletion, SPO", "SPO", START, [(([["x", "y"]], ["x"], [["x", "z"], ["z", "w"]]), 1.0)]),
    3: ("small graph, long run", "DPO", START, [(([["x", "y"]], ["x"], [["x", "z"]]), 1.0)]),
    4: ("mixed, SPO", "SPO", START, [(GROWTH, 1.0), (DELETE, 0.01)]),
    5: ("constant size, DPO", "DPO", [["a", "b"]], [(([["x", "y"]], ["x", "y"], [["x", "y"]]), 1.0)]),
}


# --- In the child process -------------------------------------------------------

def prepare(workload: int):
    """An engine holding the workload's start hypergraph and rules, counters at 0."""
    import vorn

    _, semantics, start, rules = WORKLOADS[workload]
    engine = vorn.Engine()
    engine.add_rule([], [], start, 1.0)
    engine.step()
    engine.clear_rules()
    engine.reset_counters()
    engine.set_semantics(semantics)
    for (lhs, kept, rhs), weight in rules:
        engine.add_rule(lhs, kept, rhs, weight)
    return engine


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def emit(**fields) -> None:
    """One line of results; the parent merges the lines it gets, so a child
    stopped by the timeout still reports what it finished."""
    print(json.dumps(fields), flush=True)


def child_workload(workload: int, steps: int) -> None:
    engine = prepare(workload)
    done = 0
    start = time.perf_counter()
    for k in range(1, 11):
        target = steps * k // 10
        before = engine.get_successful_rewrites()
        t0 = time.perf_counter()
        engine.run(target - done)
        rate = (engine.get_successful_rewrites() - before) / max(time.perf_counter() - t0, 1e-9)
        done = target
        emit(tenths=k, seconds=time.perf_counter() - start, rewrites=engine.get_successful_rewrites(),
             nodes=engine.node_count(), edges=engine.edge_count(), peak_rss_mib=peak_rss_mib(),
             **({"first_tenth_rate": rate} if k == 1 else {}), **({"last_tenth_rate": rate} if k == 10 else {}))


def child_delete(growth_steps: int, more_steps: int) -> None:
    engine = prepare(1)
    t0 = time.perf_counter()
    engine.run(growth_steps)
    emit(growth_seconds=time.perf_counter() - t0, nodes=engine.node_count(), growth_rss_mib=peak_rss_mib())
    engine.clear_rules()
    engine.add_rule(*DELETE, 1.0)
    engine.set_semantics("SPO")
    emit(first_started=time.perf_counter() - T0)
    t0 = time.perf_counter()
    applied = engine.step()
    emit(first_seconds=time.perf_counter() - t0, first_applied=applied, more_started=time.perf_counter() - T0)
    times = []
    for _ in range(more_steps):
        t0 = time.perf_counter()
        applied += engine.step()
        times.append(time.perf_counter() - t0)
    emit(more_mean=sum(times) / max(len(times), 1), more_max=max(times, default=0.0),
         applied=int(applied), peak_rss_mib=peak_rss_mib())


def child_width(names: int) -> None:
    import vorn

    pattern = [f"v{i}" for i in range(names)]
    engine = vorn.Engine()
    t0 = time.perf_counter()
    engine.add_rule([pattern], pattern, [pattern], 1.0)
    emit(seconds=time.perf_counter() - t0)


def best_of(fn, repeat: int = 3):
    """The shortest of `repeat` timed calls of fn, and the last result."""
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None  # the previous result is freed outside the timing
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def child_arrays(growth_steps: int) -> None:
    import vornkit

    engine = prepare(1)
    engine.run(growth_steps)
    emit(edges=engine.edge_count(), nodes=engine.node_count())
    for name, listed, arrays in (("edges", engine.get_edges, lambda: vornkit.edges_array(engine)),
                                 ("vertices", engine.get_vertices, lambda: vornkit.vertices_array(engine)),
                                 ("degrees", engine.get_degree_map, lambda: vornkit.degrees_array(engine))):
        emit(**{f"{name}_lists": best_of(listed)[0], f"{name}_arrays": best_of(arrays)[0]})
    took, links = best_of(lambda: vornkit.causal_links(engine), repeat=1)
    emit(causal_links=took, pairs=len(links.causes), peak_rss_mib=peak_rss_mib())


def rss_mib(field: str = "VmRSS") -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def reset_peak_rss() -> None:
    """Starts a new peak (VmHWM) at the current RSS (Linux: clear_refs 5)."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")


#: Growth steps beyond which the analysis section leaves to_hif out (about 2.7 GiB of dicts
#: per 10^6 steps).
TO_HIF_LIMIT = 2_000_000


def child_scale(steps: int) -> None:
    """Workload 1 for `steps` steps, reporting each tenth as it ends."""
    import vorn

    engine = prepare(1)
    emit(vorn_file=vorn.__file__)
    rates, start = [], time.perf_counter()
    for k in range(1, 11):
        t0 = time.perf_counter()
        engine.run(steps * k // 10 - steps * (k - 1) // 10)
        rates.append((steps * k // 10 - steps * (k - 1) // 10) / max(time.perf_counter() - t0, 1e-9))
        emit(tenths=k, seconds=time.perf_counter() - start, rewrites=engine.get_successful_rewrites(),
             tenth_rates=rates, peak_rss_mib=peak_rss_mib())


def child_analysis(growth_steps: int) -> None:
    import tempfile

    import vornkit
    from vornkit.dimension import dimension_of

    engine = prepare(1)
    t0 = time.perf_counter()
    engine.run(growth_steps)
    emit(run=time.perf_counter() - t0, nodes=engine.node_count(), edges=engine.edge_count())
    out = tempfile.mkdtemp(prefix="vorn-bench-")
    calls = [
        ("dimension", lambda: vornkit.estimate_dimension(engine, 50)),
        ("dimension_of", lambda: dimension_of(engine, 50)),
        ("curvature", lambda: vornkit.estimate_curvature(engine, 50)),
        ("causal_dimension", lambda: vornkit.causal_dimension(engine)),
        ("plot_hypergraph", lambda: vornkit.plot_hypergraph(engine, os.path.join(out, "h.png"), max_edges=2000)),
        ("plot_causal_graph", lambda: vornkit.plot_causal_graph(engine, os.path.join(out, "c.png"))),
        ("write_hif", lambda: vornkit.write_hif(engine, os.path.join(out, "g.hif.json"))),
        ("to_hif", lambda: vornkit.to_hif(engine)),
    ]
    if growth_steps > TO_HIF_LIMIT:  # its dicts would take tens of GiB: write_hif is the way there
        calls = [(name, call) for name, call in calls if name != "to_hif"]
        emit(to_hif_skipped=True)
    for name, call in calls:
        base = rss_mib()
        reset_peak_rss()
        t0 = time.perf_counter()
        try:
            result = call()
        except Exception as e:  # reported in the table; the other analyses still run
            emit(**{f"{name}_error": f"{type(e).__name__}: {e}"})
            continue
        took = time.perf_counter() - t0
        above = rss_mib("VmHWM") - base
        value = result if isinstance(result, float) else getattr(result, "dimension", getattr(result, "ricci", None))
        emit(**{name: took, f"{name}_above_mib": above,
                **({f"{name}_value": float(value)} if isinstance(value, (int, float)) else {})})
        result = None
    emit(engine_rss_mib=rss_mib())


CHILDREN = {"workload": child_workload, "delete": child_delete, "width": child_width, "arrays": child_arrays,
            "analysis": child_analysis, "scale": child_scale}


# --- In the parent ----------------------------------------------------------------

def run_child(python: str, script: str, args, timeout: float, vorn_path: str = "") -> dict:
    """Runs `python script --child ARGS...` and merges the JSON lines it
    printed. Adds "timed_out" when it was stopped after `timeout` seconds and
    "error" (the last line of its standard error) when it failed. With
    `vorn_path`, that directory comes first on the child's import path."""
    cmd = [python, script, "--child", *map(str, args)]
    env = None
    if vorn_path:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (vorn_path, env.get("PYTHONPATH", "")) if p)
    result = {}
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
        stdout = proc.stdout
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
            result["error"] = lines[-1]
    except subprocess.TimeoutExpired as stopped:
        stdout = stopped.stdout or ""
        if isinstance(stdout, bytes):  # the partial output comes undecoded
            stdout = stdout.decode(errors="replace")
        result["timed_out"] = True
    for line in stdout.splitlines():
        if line.startswith("{"):
            result.update(json.loads(line))
    return result


def engine_location(python: str) -> str:
    """Where `python` imports vorn from; exits with a message when it cannot."""
    try:
        proc = subprocess.run([python, "-c", "import vorn; print(vorn.__file__)"], capture_output=True, text=True)
    except OSError as e:
        sys.exit(f"cannot run {python}: {e}")
    if proc.returncode != 0:
        sys.exit(f"{python} cannot import vorn:\n{proc.stderr.strip()}")
    return proc.stdout.strip()


def print_header(python: str) -> None:
    where = engine_location(python)
    print(f"$ {os.path.basename(sys.executable)} {' '.join(sys.argv)}")
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} "
          f"{platform.python_version()}, {platform.platform()}")
    print(f"engine: {python} (vorn from {where})")


def seconds(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:,.1f} µs"
    if s < 1:
        return f"{s * 1e3:,.2f} ms"
    return f"{s:,.2f} s"


def stopped_after(timeout: float, started: float) -> str:
    """The lower bound on the duration of an operation that started `started`
    seconds into a child stopped at `timeout` seconds."""
    return f"> {max(timeout - started, 0):,.0f} s"


def sizes(text: str) -> list:
    return [int(float(s)) for s in text.split(",") if s]


def workload_table(python: str, timeout: float, workloads, steps_list) -> bool:
    print("| workload | steps | rewrites/s | first tenth | last tenth | seconds | live vertices | peak RSS (MiB) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    notes, ok = [], True
    for w in workloads:
        for n in steps_list:
            r = run_child(python, SCRIPT, ["workload", w, n], timeout)
            done = r.get("tenths") == 10
            rate = f"{r['rewrites'] / r['seconds']:,.0f}" if done and r["seconds"] > 0 else "—"
            first = f"{r['first_tenth_rate']:,.0f}" if "first_tenth_rate" in r else "—"
            last = f"{r['last_tenth_rate']:,.0f}" if "last_tenth_rate" in r else "—"
            took = f"{r['seconds']:.2f}" if done else (f"> {timeout:,.0f}" if "timed_out" in r else "—")
            nodes = f"{r['nodes']:,}" if "nodes" in r else "—"
            rss = f"{r['peak_rss_mib']:,.0f}" if "peak_rss_mib" in r else "—"
            print(f"| {w}. {WORKLOADS[w][0]} | {n:,} | {rate} | {first} | {last} | {took} | {nodes} | {rss} |",
                  flush=True)
            if "timed_out" in r:
                tenths = r.get("tenths", 0)
                notes.append(f"{w}. {WORKLOADS[w][0]}, {n:,} steps: stopped after {timeout:,.0f} s with {tenths} of "
                             f"10 tenths done" + (" (vertices and RSS at the last tenth done)" if tenths else ""))
            if r.get("edges") == 0:
                notes.append(f"{w}. {WORKLOADS[w][0]}, {n:,} steps: no hyperedge left after {r['rewrites']:,} "
                             f"rewrite{'s' * (r['rewrites'] != 1)}, so the rates are those of a dead graph; "
                             "run it again")
            if "error" in r:
                ok = False
                notes.append(f"{w}. {WORKLOADS[w][0]}, {n:,} steps: failed: {r['error']}")
    for note in notes:
        print(f"- {note}")
    return ok


def delete_table(python: str, timeout: float, growth_list, more_steps: int) -> bool:
    print(f"| growth steps | growth seconds | live vertices | peak RSS after growth (MiB) | first deleting step "
          f"| applied | next {more_steps} steps, mean (max) | applied of {more_steps + 1} | peak RSS (MiB) |")
    print("|---:|---:|---:|---:|---:|---|---:|---:|---:|")
    ok = True
    for n in growth_list:
        r = run_child(python, SCRIPT, ["delete", n, more_steps], timeout)
        if "first_seconds" in r:
            first, applied = seconds(r["first_seconds"]), "yes" if r["first_applied"] else "no"
        elif "first_started" in r and "timed_out" in r:
            first, applied = stopped_after(timeout, r["first_started"]), "—"
        else:
            first, applied = "—", "—"
        if "more_mean" in r:
            more = f"{seconds(r['more_mean'])} ({seconds(r['more_max'])})"
        elif "more_started" in r and "timed_out" in r:
            more = stopped_after(timeout, r["more_started"]) + " in all"
        else:
            more = "—"
        cells = [f"{n:,}",
                 f"{r['growth_seconds']:.2f}" if "growth_seconds" in r else f"> {timeout:,.0f}",
                 f"{r['nodes']:,}" if "nodes" in r else "—",
                 f"{r['growth_rss_mib']:,.0f}" if "growth_rss_mib" in r else "—",
                 first, applied, more,
                 str(r["applied"]) if "applied" in r else "—",
                 f"{r['peak_rss_mib']:,.0f}" if "peak_rss_mib" in r else "—"]
        print("| " + " | ".join(cells) + " |", flush=True)
        if "error" in r:
            ok = False
            print(f"- {n:,} growth steps: failed: {r['error']}")
    return ok


def width_table(python: str, timeout: float, widths) -> bool:
    print("| names in the pattern | add_rule |")
    print("|---:|---:|")
    ok = True
    for n in widths:
        r = run_child(python, SCRIPT, ["width", n], timeout)
        took = seconds(r["seconds"]) if "seconds" in r else (f"> {timeout:,.0f} s" if "timed_out" in r else "—")
        print(f"| {n:,} | {took} |", flush=True)
        if "error" in r:
            ok = False
            print(f"- {n:,} names: failed: {r['error']}")
    return ok


def arrays_table(python: str, timeout: float, growth_list) -> bool:
    print("| growth steps | hyperedges | get_edges() | edges_array | ratio | get_vertices() | vertices_array "
          "| ratio | get_degree_map() | degrees_array | ratio | causal_links (pairs) | peak RSS (MiB) |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    ok = True
    for n in growth_list:
        r = run_child(python, SCRIPT, ["arrays", n], timeout)
        cells = [f"{n:,}", f"{r['edges']:,}" if "edges" in r else "—"]
        for name in ("edges", "vertices", "degrees"):
            if f"{name}_lists" in r:
                lists, arrays = r[f"{name}_lists"], r[f"{name}_arrays"]
                cells += [seconds(lists), seconds(arrays), f"{lists / arrays:,.0f}x"]
            else:
                cells += ["—", "—", "—"]
        cells.append(f"{seconds(r['causal_links'])} ({r['pairs']:,})" if "causal_links" in r else "—")
        cells.append(f"{r['peak_rss_mib']:,.0f}" if "peak_rss_mib" in r else "—")
        print("| " + " | ".join(cells) + " |", flush=True)
        if "timed_out" in r:
            print(f"- {n:,} growth steps: stopped after {timeout:,.0f} s")
        if "error" in r:
            ok = False
            print(f"- {n:,} growth steps: failed: {r['error']}")
    return ok


ANALYSES = (("dimension", "estimate_dimension (50 centres)"),
            ("dimension_of", "dimension_of (50 centres; the series' measure)"),
            ("curvature", "estimate_curvature (50 centres)"),
            ("causal_dimension", "causal_dimension"), ("plot_hypergraph", "plot_hypergraph (2,000 hyperedges)"),
            ("plot_causal_graph", "plot_causal_graph"), ("write_hif", "write_hif"), ("to_hif", "to_hif"))


def command_seconds(python: str, args, timeout: float):
    """Wall time of `python -m vornkit ARGS` in a fresh process, or None when it failed or timed out."""
    import tempfile
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as here:
        t0 = time.perf_counter()
        try:
            proc = subprocess.run([python, "-m", "vornkit", *args], cwd=here, capture_output=True, text=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        took = time.perf_counter() - t0
    return took if proc.returncode == 0 else None


def analysis_table(python: str, timeout: float, growth_list) -> bool:
    ok = True
    for n in growth_list:
        r = run_child(python, SCRIPT, ["analysis", n], timeout)
        if "run" not in r:
            print(f"- {n:,} growth steps: {r.get('error', 'no result')}")
            ok = False
            continue
        print(f"\nAfter {n:,} growth steps ({r['nodes']:,} vertices, {r['edges']:,} hyperedges): the run took "
              f"{seconds(r['run'])}; the engine's RSS is {r.get('engine_rss_mib', float('nan')):,.0f} MiB")
        print("| analysis | seconds | against the run | peak RSS above the engine (MiB) | result |")
        print("|---|---:|---:|---:|---:|")
        for key, label in ANALYSES:
            if key in r:
                value = f"{r[key + '_value']:.3f}" if key + "_value" in r else ""
                print(f"| {label} | {r[key]:,.2f} | {r[key] / r['run']:.2f}x | {r[key + '_above_mib']:,.0f} "
                      f"| {value} |")
            elif key == "to_hif" and r.get("to_hif_skipped"):
                print(f"| {label} | skipped above {TO_HIF_LIMIT:,} steps (use write_hif) | | | |")
            else:
                print(f"| {label} | — | — | — | |")
            if key + "_error" in r:
                ok = False
                print(f"- {label}: {r[key + '_error']}")
        if "error" in r:
            ok = False
            print(f"- failed: {r['error']}")
        if "timed_out" in r:
            print(f"- stopped after {timeout:,.0f} s")
    return ok


def command_table(python: str, timeout: float, growth_list, runs: int = 5) -> bool:
    """The three commands in turn, ``runs`` rounds (one above 10^6 steps); each cell is the median
    of its runs (a run that failed makes the cell fail)."""
    rule = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"
    print("| steps | `vorn run` alone | + --plot --growth --causal --json | ratio | + --dimension | ratio |")
    print("|---:|---:|---:|---:|---:|---:|")
    ok = True
    for n in growth_list:
        base = ["run", "--rule", rule, "--init", "{{1,2},{1,3}}", "--steps", str(n), "--seed", "3"]
        outputs = ["--plot", "h.png", "--growth", "g.png", "--causal", "c.png", "--json", "r.json"]
        variants = [base, base + outputs, base + outputs + ["--dimension"]]
        rounds = runs if n <= 10**6 else 1
        times = [[command_seconds(python, args, timeout) for args in variants] for _ in range(rounds)]
        alone, full, dim = (None if None in column else median(column) for column in zip(*times))
        cells = [f"{n:,}"]
        for t in (alone, full, dim):
            if t is None:
                ok = False
            cells.append(f"{t:.2f} s" if t is not None else "failed")
            if t is not alone:
                cells.append(f"{t / alone:.2f}x" if t and alone else "—")
        print("| " + " | ".join(cells) + " |", flush=True)
    return ok


def median(values):
    values = sorted(values)
    n = len(values)
    return (values[(n - 1) // 2] + values[n // 2]) / 2 if n else float("nan")


def scale_table(python: str, timeout: float, sizes_list, runs: int, other: str) -> bool:
    """Workload 1 at each size, `runs` fresh processes of this build and, with
    `other`, as many of that build, alternating."""
    builds = [("this build", "")] + ([(f"other ({other})", other)] if other else [])
    print("| build | steps | run | rewrites/s | rate by tenths (k/s) | seconds | peak RSS (MiB) | bytes/step |")
    print("|---|---:|---:|---:|---|---:|---:|---:|")
    ok, summary = True, []
    for n in sizes_list:
        rates = {name: [] for name, _ in builds}
        rss = {name: [] for name, _ in builds}
        for i in range(runs):
            for name, path in builds:
                r = run_child(python, SCRIPT, ["scale", n], timeout, path)
                done = r.get("tenths") == 10
                rate = r["rewrites"] / r["seconds"] if done and r["seconds"] > 0 else None
                tenths = " ".join(f"{t / 1e3:,.0f}" for t in r.get("tenth_rates", []))
                cells = [name, f"{n:,}", str(i + 1), f"{rate:,.0f}" if rate else "—", tenths or "—",
                         f"{r['seconds']:,.1f}" if done else (f"> {timeout:,.0f}" if "timed_out" in r else "—"),
                         f"{r['peak_rss_mib']:,.0f}" if "peak_rss_mib" in r else "—",
                         f"{r['peak_rss_mib'] * 2**20 / n:,.0f}" if done else "—"]
                print("| " + " | ".join(cells) + " |", flush=True)
                if rate:
                    rates[name].append(rate)
                    rss[name].append(r["peak_rss_mib"])
                if "error" in r:
                    ok = False
                    print(f"- {name}, {n:,} steps: failed: {r['error']}")
                if path and "vorn_file" in r and not r["vorn_file"].startswith(os.path.abspath(path)):
                    ok = False
                    print(f"- {name}: the child imported vorn from {r['vorn_file']}, not from {path}")
        if other and rates[builds[0][0]] and rates[builds[1][0]]:
            mine, theirs = (median(rates[b[0]]) for b in builds)
            rss_mine, rss_theirs = (median(rss[b[0]]) for b in builds)
            summary.append(f"- {n:,} steps: median rate {mine:,.0f} against {theirs:,.0f} ({mine / theirs:.2f}x), "
                           f"median peak RSS {rss_mine:,.0f} MiB against {rss_theirs:,.0f} MiB "
                           f"({rss_mine / rss_theirs:.2f}x)")
    for line in summary:
        print(line)
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs the engine (default: this one)")
    parser.add_argument("--timeout", type=float, default=120, help="seconds before a measurement is stopped")
    parser.add_argument("--sections", default="workloads,delete,constant,width,arrays,analysis")
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--workloads", default="1,2,3,4")
    parser.add_argument("--delete-sizes", default="10000,30000,100000,1000000")
    parser.add_argument("--delete-steps", type=int, default=10, help="steps timed after the first deleting one")
    parser.add_argument("--constant-steps", default="10000000")
    parser.add_argument("--widths", default="1000,4000")
    parser.add_argument("--array-sizes", default="500000,1000000", help="growth steps before reading arrays")
    parser.add_argument("--analysis-sizes", default="1000000", help="growth steps before the analyses")
    parser.add_argument("--scale-sizes", default="10000000,100000000", help="steps of workload 1 (section scale)")
    parser.add_argument("--scale-runs", type=int, default=3, help="fresh processes per size and build (section scale)")
    parser.add_argument("--vorn-path", default="", help="a directory holding another vorn build to compare against, "
                        "put first on the import path of its runs (section scale)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        CHILDREN[args.child[0]](*map(int, args.child[1:]))
        return 0

    sections = args.sections.split(",")
    unknown = set(sections) - {"workloads", "delete", "constant", "width", "arrays", "analysis", "scale"}
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    workloads = [int(w) for w in args.workloads.split(",")]
    if not set(workloads) <= set(WORKLOADS):
        parser.error(f"workloads are numbered {min(WORKLOADS)} to {max(WORKLOADS)}")
    print_header(args.python)
    ok = True
    if "workloads" in sections:
        print("\nWorkloads")
        ok &= workload_table(args.python, args.timeout, workloads, sizes(args.sizes))
    if "delete" in sections:
        print("\nGrowth, then delete: workload 1, then {{x,y}} -> {} (x deleted) under SPO")
        ok &= delete_table(args.python, args.timeout, sizes(args.delete_sizes), args.delete_steps)
    if "constant" in sections:
        print("\nA graph of constant size: {{x,y}} -> {{x,y}} on {{1,2}}, DPO")
        ok &= workload_table(args.python, args.timeout, [5], sizes(args.constant_steps))
    if "width" in sections:
        print("\nRule width: add_rule for {{v1,...,vn}} -> {{v1,...,vn}}")
        ok &= width_table(args.python, args.timeout, sizes(args.widths))
    if "arrays" in sections:
        print("\nReading the graph out: lists against numpy arrays (vornkit), after growth (workload 1)")
        ok &= arrays_table(args.python, args.timeout, sizes(args.array_sizes))
    if "analysis" in sections:
        print("\nAnalysis at the engine's speed: each call on the grown engine (workload 1), in one process")
        ok &= analysis_table(args.python, args.timeout, sizes(args.analysis_sizes))
        print("\nThe command with its outputs, each in a fresh process (seed 3); the median of five rounds of the "
              "three in turn (one round above 10^6 steps)")
        ok &= command_table(args.python, args.timeout, sizes(args.analysis_sizes))
    if "scale" in sections:
        if args.vorn_path and not os.path.isdir(args.vorn_path):
            parser.error(f"--vorn-path {args.vorn_path}: no such directory")
        paired = ", alternating with the other build" if args.vorn_path else ""
        print("\nScale: workload 1, a fresh process per run" + paired)
        ok &= scale_table(args.python, args.timeout, sizes(args.scale_sizes), args.scale_runs, args.vorn_path)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
