"""``vorn ensemble``: run many independent members of one model on a process pool or a Dask cluster."""

from __future__ import annotations

import argparse
import sys

from ..notation import shorten
from . import values
from .inputs import engine_module, rules_and_init
from ..words import counted
from .output import check_distinct_outputs, check_output, out, write_outputs
from .parser import model_options, options, progress_options
from .signals import Signals
from .status import EXIT_FAILURE, EXIT_OK, UserError

#: Seconds to wait for a Dask scheduler to answer (and for its first worker).
CONNECT_TIMEOUT = 10

ENSEMBLE_EPILOG = """\
examples:
  vorn ensemble --rule "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}" --init "{{1,2},{1,3}}" \\
                --runs 32 --steps 10000 --json out.jsonl --plot growth.png

  on a Dask cluster ('dask scheduler' on one host, 'dask worker tcp://host:8786' on the others):
  vorn ensemble --rule "{{x,y}} -> {{x,z},{z,y}}" --init "{{1,1}}" --runs 200 --steps 100000 \\
                --scheduler tcp://host:8786 --json out.jsonl

A member that fails is reported with its error; the others' results are kept.
Ctrl-C or SIGTERM stops the workers and keeps the members that finished.
Exit status: 0 all members done, 1 some failed, 2 bad arguments,
130 interrupted, 143 terminated, 141 standard output closed early.
"""


HELP = {
    "rule": "a rewrite rule, as for 'vorn run'; repeat for several rules",
    "steps": "rewrite steps each member attempts",
    "semantics": "DPO (default) or SPO, as for 'vorn run'",
    "seed": "seed the ensemble with N (0 to 2**64 - 1): member i gets its own seed derived from N and i "
            "(see vornkit.member_seed), so the same seed repeats every member's run (default: fresh entropy)",
}



def add_parser(sub) -> None:
    ens = options()
    ens.add_argument("--runs", type=values.positive, required=True, metavar="N", help="number of members")
    ens.add_argument("--points", type=values.positive, default=40, metavar="N",
                     help="recorded steps per member besides step 0, log-spaced (default: 40)")
    ens.add_argument("--workers", type=values.positive, default=None, metavar="N",
                     help="worker processes on this machine (default: one per core)")
    ens.add_argument("--scheduler", metavar="ADDRESS",
                     help="run on the Dask scheduler at ADDRESS (e.g. tcp://host:8786) instead of "
                          "this machine; needs dask[distributed]")
    ens.add_argument("--timeout", type=values.seconds, default=None, metavar="SECONDS",
                     help="give up on members not finished after SECONDS (reported as failed)")
    ens.add_argument("--json", metavar="FILE",
                     help="write one JSON line per member, then one with the aggregate")
    ens.add_argument("--final-edges", action="store_true",
                     help="include each member's final hyperedges in the JSON lines")
    ens.add_argument("--plot", metavar="FILE",
                     help="plot mean and spread of vertices, hyperedges and pairs against steps")
    ens.add_argument("--dimension", action="store_true",
                     help="also record each member's dimension estimate at about log2(steps) + 2 of the "
                          "recorded steps, and summarise and plot it like the counts")
    sub.add_parser("ensemble", parents=[model_options(HELP), ens, progress_options()],
                   help="run many independent members of one model and summarise them",
                   description="Run independent members of one model in parallel (a process pool on "
                               "this machine, or a Dask cluster with --scheduler), record the same "
                               "steps in each and summarise them: mean, spread and growth exponents.",
                   epilog=ENSEMBLE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)


def execute(args, signals: Signals) -> int:
    rules, init = rules_and_init(args)
    if args.scheduler is not None and args.workers is not None:
        raise UserError("--workers sizes the pool on this machine; the cluster at --scheduler has its own "
                        "workers (give one or the other)")
    check_output("--plot", args.plot, image=True)
    check_output("--json", args.json, image=False)
    check_distinct_outputs([("--json", args.json), ("--plot", args.plot)])
    engine_module()
    from ..ensemble import Model, build_engine, ensemble

    try:
        record = ("nodes", "edges", "pairs") + (("dimension",) if args.dimension else ())
        model = Model(rules, init, semantics=args.semantics, points=args.points, record=record,
                      keep_final=args.final_edges)
        build_engine(model)  # rules the engine refuses fail here, once
    except (TypeError, ValueError) as exc:
        raise UserError(f"--rule: {exc}") from None
    progress = not args.no_progress and sys.stderr.isatty()
    # The first Ctrl-C or SIGTERM stops the ensemble (its workers are stopped
    # and the members that finished kept); later ones wait for the files.
    if args.scheduler is not None:
        from ..dask_ensemble import DASK_MISSING, dask_executor
        try:
            executor = dask_executor(args.scheduler, timeout=CONNECT_TIMEOUT)
        except ImportError:
            raise UserError(f"--scheduler: {DASK_MISSING}", EXIT_FAILURE) from None
        except OSError as exc:  # the message names the address
            raise UserError(f"--scheduler: {shorten(str(exc), 200)}", EXIT_FAILURE) from None
        with executor:
            result = ensemble(model, args.runs, args.steps, executor=executor, progress=progress,
                              timeout=args.timeout, seed=args.seed)
            signals.raising = False
    else:
        result = ensemble(model, args.runs, args.steps, workers=args.workers, progress=progress,
                          timeout=args.timeout, seed=args.seed)
    signals.raising = False

    outputs = []
    if args.json:
        from ..export import write_jsonl
        outputs.append((args.json, args.json, lambda: write_jsonl(result, args.json)))
    if args.plot:
        from ..plotting import plot_ensemble
        outputs.append((args.plot, args.plot, lambda: plot_ensemble(result, args.plot)))
    written, errors = write_outputs(outputs)
    _print_ensemble_summary(result, written)
    for error in errors:
        print(f"vorn ensemble: error: {error}", file=sys.stderr)
    if errors:
        return EXIT_FAILURE
    return signals.status(result.reason == "interrupted") or (EXIT_OK if result.ok else EXIT_FAILURE)


def _print_ensemble_summary(result, written) -> None:
    done = len(result.members)
    rate = done / result.wall_time if result.wall_time > 0 else float("inf")
    status = "completed" if result.reason == "completed" else result.reason
    lines = [f"vorn ensemble: {done:,} of {counted(result.runs, 'member')} x {counted(result.steps, 'step')} in "
             f"{result.wall_time:.2f} s ({rate:,.2f} members/s), {status}"]
    for i, r in enumerate(result.model.rules):
        lines.append(f"  {'rules' if i == 0 else '':<10} {r}")
    from ..notation import format_hypergraph
    lines.append(f"  {'initial':<10} {format_hypergraph(result.model.init)}")
    lines.append(f"  {'semantics':<10} {result.model.semantics}")
    lines.append(f"  {'executor':<10} {result.executor}")
    if result.seed is not None:
        lines.append(f"  {'seed':<10} {result.seed} (member i: vornkit.member_seed({result.seed}, i))")
    if result.members:
        stats = result.aggregate()["metrics"]
        parts = []
        for name, label in (("nodes", "vertices"), ("edges", "hyperedges"), ("pairs", "pairs")):
            if name in stats:
                parts.append(f"{stats[name]['mean'][-1]:,.1f} ± {stats[name]['std'][-1]:,.1f} {label}")
        lines.append(f"  {'final':<10} " + ", ".join(parts) + " (mean ± sd at the last step)")
        if "dimension" in stats:
            d = stats["dimension"]
            value = "none (too few vertices within reach)" if not d["count"][-1] else \
                f"{d['mean'][-1]:.2f} ± {d['std'][-1]:.2f} over {counted(d['count'][-1], 'member')}"
            lines.append(f"  {'dimension':<10} {value} (mean ± sd at the last step)")
    for f in result.failures[:10]:
        lines.append(f"  {'failed':<10} member {f['member']}: {f['error'].splitlines()[0] if f['error'] else ''}")
    if len(result.failures) > 10:
        lines.append(f"  {'':<10} ... and {len(result.failures) - 10} more (see --json)")
    if written:
        lines.append(f"  {'wrote':<10} {', '.join(written)}")
    out("\n".join(lines) + "\n")
