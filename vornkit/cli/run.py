"""``vorn run``: evolve one hypergraph, print a summary, write pictures, a JSON record and checkpoints."""

from __future__ import annotations

import argparse
import math
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Optional

from ..notation import shorten
from . import values
from .inputs import engine_module, rules_and_init
from ..words import counted
from .output import check_distinct_outputs, check_output, out, write_outputs
from .parser import model_options, options, progress_options
from .signals import Signals
from .status import EXIT_FAILURE, EXIT_MEMORY, EXIT_OK, UserError

RUN_EPILOG = """\
examples:
  vorn run --rule "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}" \\
           --init "{{1,2},{1,3}}" --steps 2000 --plot hypergraph.png --growth growth.png

  several rules, the second chosen three times as often:
  vorn run --rule "{{x,y}} -> {{x,z},{z,y}}" --rule "{{x}} -> {{x,x}} @ 3" --init "{{1,1}}" --steps 1000

  save a checkpoint every minute and at the end, then go on for 50,000 more steps:
  vorn run --rule "{{x,y}} -> {{x,z},{z,y}}" --init "{{1,1}}" --steps 100000 --seed 7 \\
           --checkpoint run.ckpt --checkpoint-every 60
  vorn run --resume run.ckpt --steps 50000 --checkpoint run.ckpt --json run.json

Press Ctrl-C (or send SIGTERM) to stop early: the run ends after the current
chunk and the summary and files (the checkpoint too) describe the state
reached; the files are written in full even if more interrupts come.  A file is replaced only once
it is complete.  With --max-memory SIZE the run stops early, the same way,
before the process would pass SIZE.  Exit status: 0 done, 1 failure,
2 bad arguments, 3 stopped at --max-memory (or out of memory), 130
interrupted, 143 terminated, 141 standard output closed early.
"""

HELP = {
    "rule": "a rewrite rule such as \"{{x,y}} -> {{x,z},{z,y}}\"; add \"@ WEIGHT\" to weight it; repeat the "
            "option (or separate rules with ';') for several rules",
    "steps": "number of rewrite steps to attempt; with --resume, N more steps (default there: the steps the "
             "saved run had left)",
    "semantics": "DPO (default) refuses matches that would leave hyperedges on a deleted vertex; SPO deletes "
                 "those hyperedges too",
    "seed": "seed the random generator with N (0 to 2**64 - 1): the same seed, rules, initial hypergraph and "
            "steps give the same run (default: fresh entropy)",
}

def add_parser(sub) -> None:
    run = options()
    run.add_argument("--chunk", type=values.positive, default=None, metavar="N",
                     help="steps between measurements (default: adaptive)")
    run.add_argument("--plot", metavar="FILE", help="draw the final hypergraph (.png, .svg, .pdf)")
    run.add_argument("--plot-max-edges", type=values.positive, default=2000, metavar="N",
                     help="draw at most N hyperedges, those nearest to one vertex (default: 2000)")
    run.add_argument("--growth", metavar="FILE", help="plot vertices, hyperedges and pairs against "
                                                     "steps on log-log axes (.png, .svg, .pdf)")
    run.add_argument("--dimension", action="store_true",
                     help="also record the dimension estimate (ball growth around 50 vertices) at about "
                          "log2(steps) + 2 recorded steps; it goes into the JSON record, the summary and, "
                          "as a second panel, the --growth picture")
    run.add_argument("--causal", metavar="FILE",
                     help="draw the causal graph layered by depth (.png, .svg, .pdf)")
    run.add_argument("--causal-max-vertices", type=values.positive, default=2000, metavar="N",
                     help="draw at most N vertices of the causal graph, those nearest the newest "
                          "vertex (default: 2000)")
    run.add_argument("--rule-picture", metavar="FILE",
                     help="draw the rules, left- and right-hand sides with an arrow between, as SVG (.svg)")
    run.add_argument("--json", metavar="FILE", help="write a JSON record of the run")
    run.add_argument("--checkpoint", metavar="FILE",
                     help="save the engine to FILE when the run ends or is stopped, to go on later with "
                          "--resume FILE")
    run.add_argument("--checkpoint-every", type=values.seconds, default=None, metavar="SECONDS",
                     help="with --checkpoint: save it also every SECONDS while the run goes (checked "
                          "between chunks of steps)")
    run.add_argument("--max-memory", type=values.size, default=None, metavar="SIZE",
                     help="stop the run early, writing the files as at its end, before the process "
                          "would use more than SIZE of memory (e.g. 512M, 2G); exit status 3")
    run.add_argument("--resume", metavar="FILE",
                     help="continue the run saved in the checkpoint FILE: its rules, initial hypergraph, "
                          "semantics and random state come from there (so --rule, --init, --semantics "
                          "and --seed are not given)")
    sub.add_parser("run", parents=[model_options(HELP, resumable=True), run, progress_options()],
                   help="evolve a hypergraph and print a summary",
                   description="Evolve a hypergraph from an initial state with the given rules, "
                               "print a summary and optionally write pictures and a JSON record.",
                   epilog=RUN_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)



class _CausalPicture:
    """Writes ``vorn run --causal``: the part drawn is chosen once, on the pool's thread, for the
    picture and its label; the picture is drawn on the calling thread."""

    def __init__(self, engine, path: str, limit: int, pool):
        from ..causal import picture_part
        self.path = path
        self.limit = limit
        self.total = 0
        self.part = pool.submit(picture_part, engine, limit)

    def write(self) -> None:
        from ..causal import draw_part
        part = self.part.result()
        self.total = part.total
        draw_part(part, self.path)

    def label(self) -> str:
        shown = f" ({self.limit:,} of {self.total:,} vertices)" if self.total > self.limit else ""
        return self.path + shown


#: Identifies the metadata that ``vorn run --checkpoint`` stores with the engine.
RUN_CHECKPOINT_FORMAT = "vornkit-run-checkpoint/1"


def _check_run_options(args) -> None:
    """What argparse cannot check alone: what --resume replaces, and what --checkpoint-every needs."""
    if args.checkpoint_every is not None and args.checkpoint is None:
        raise UserError("--checkpoint-every needs --checkpoint FILE, the file to save to")
    if args.resume is None:
        missing = [option for option, value in (("--rule", args.rule), ("--steps", args.steps)) if value is None]
        if missing:
            raise UserError(f"the following arguments are required: {', '.join(missing)} "
                            "(or --resume FILE to continue a saved run)")
        return
    given = [option for option, value in (("--rule", args.rule), ("--init", args.init),
                                          ("--semantics", args.semantics), ("--seed", args.seed))
             if value is not None]
    if given:
        raise UserError(f"{', '.join(given)} cannot be given with --resume: the checkpoint holds the run's "
                        "rules, initial hypergraph, semantics and random state")


class _RunPlan:
    """The run a ``vorn run`` command makes: a new one, or one continued from a checkpoint."""

    def __init__(self, engine, rules, init, seed: Optional[int], steps: int, before: int = 0,
                 resumed_from: Optional[str] = None):
        self.engine, self.rules, self.init, self.seed = engine, rules, init, seed
        self.steps = steps            # to do now
        self.before = before          # done before, by the runs this one continues
        self.resumed_from = resumed_from

    def metadata(self, done: int) -> dict:
        """What ``--resume`` needs, for a checkpoint taken when this run has done ``done`` steps."""
        from .. import __version__
        from ..notation import format_hypergraph, format_rule
        return {"format": RUN_CHECKPOINT_FORMAT, "rules": [format_rule(r) for r in self.rules],
                "init": format_hypergraph(self.init), "semantics": self.engine.get_semantics(),
                "seed": self.seed, "steps_requested": self.before + self.steps,
                "steps_done": self.before + done, "vornkit": __version__}


def _new_run(args, vorn, rules, init) -> _RunPlan:
    from ..initial import start

    engine = vorn.Engine()
    if args.seed is not None:
        from ..rng import reseed
        reseed(engine, args.seed)
    engine.set_semantics(args.semantics or "DPO")
    try:
        start(engine, init, rules)
    except (TypeError, ValueError) as exc:  # e.g. weights whose total passes the largest float
        raise UserError(f"--rule: {exc}") from None
    return _RunPlan(engine, rules, init, args.seed, args.steps)


def _resumed_run(args) -> _RunPlan:
    """The run saved in ``--resume FILE``, or a UserError saying why it cannot be continued."""
    from ..checkpoint import load
    from ..notation import parse_hypergraph, parse_rules

    path = args.resume
    try:
        engine, meta = load(path, metadata=True)
    except OSError as exc:
        raise UserError(f"--resume {path}: {shorten(exc.strerror or str(exc))}") from None
    except ValueError as exc:
        raise UserError(f"--resume: {shorten(str(exc), 200)}") from None
    try:
        if meta.get("format") != RUN_CHECKPOINT_FORMAT:
            raise ValueError
        rules = [rule for text in meta["rules"] for rule in parse_rules(text)]
        init = parse_hypergraph(meta["init"])
        seed, requested, before = meta["seed"], meta["steps_requested"], meta["steps_done"]
        if not all(isinstance(n, int) and n >= 0 for n in (requested, before)) or \
                not (seed is None or isinstance(seed, int)):
            raise ValueError
    except (AttributeError, KeyError, TypeError, ValueError):
        raise UserError(f"--resume: {path} holds an engine but no run of 'vorn run' to continue "
                        "(it was not saved with --checkpoint)") from None
    steps = args.steps if args.steps is not None else max(0, requested - before)
    return _RunPlan(engine, rules, init, seed, steps, before, resumed_from=path)


class _Checkpoints:
    """Writes ``vorn run --checkpoint``: every ``every`` seconds between chunks, and once at the end."""

    def __init__(self, plan: _RunPlan, path: str, every: Optional[float]):
        self.plan, self.path, self.every = plan, path, every
        self.last = time.monotonic()
        self.failed = False

    def save(self, done: int) -> None:
        from ..checkpoint import save
        save(self.plan.engine, self.path, metadata=self.plan.metadata(done))
        self.last = time.monotonic()

    def after_chunk(self, done: int) -> None:
        if self.every is None or time.monotonic() - self.last < self.every:
            return
        try:
            self.save(done)
        except (OSError, MemoryError) as exc:  # the run goes on; the save at the end reports a lasting fault
            self.last = time.monotonic()
            if not self.failed:
                self.failed = True
                detail = shorten(getattr(exc, "strerror", None) or str(exc) or type(exc).__name__)
                print(f"vorn run: warning: cannot write {self.path}: {detail} (trying again every "
                      f"{self.every:g} s)", file=sys.stderr)


def execute(args, signals: Signals) -> int:
    from ..notation import format_hypergraph

    _check_run_options(args)
    model = rules_and_init(args) if args.resume is None else None
    check_output("--plot", args.plot, image=True)
    check_output("--growth", args.growth, image=True)
    check_output("--causal", args.causal, image=True)
    check_output("--json", args.json, image=False)
    check_output("--checkpoint", args.checkpoint, image=False)
    check_output("--rule-picture", args.rule_picture, image=False)
    if args.rule_picture is not None and not args.rule_picture.lower().endswith(".svg"):
        raise UserError(f"--rule-picture {args.rule_picture}: the rule picture is SVG; use a file name ending in .svg")
    check_distinct_outputs([("--json", args.json), ("--plot", args.plot), ("--growth", args.growth),
                             ("--causal", args.causal), ("--checkpoint", args.checkpoint),
                             ("--rule-picture", args.rule_picture)], args.resume)

    vorn = engine_module()
    from ..evolve import evolve

    plan = _resumed_run(args) if model is None else _new_run(args, vorn, *model)
    engine, rules, init = plan.engine, plan.rules, plan.init
    checkpoints = None
    if args.checkpoint is not None:
        checkpoints = _Checkpoints(plan, args.checkpoint, args.checkpoint_every)
    progress = not args.no_progress and sys.stderr.isatty()
    # From here on evolve answers Ctrl-C (and SIGTERM through it) by stopping
    # after the current chunk; whatever comes later waits for the files.
    signals.raising = False
    # The JSON record and the pictures read the engine's arrays, not lists.
    metrics = ("nodes", "edges", "pairs") + (("dimension",) if args.dimension else ())
    budget = _memory_budget(args, engine)
    result = evolve(engine, plan.steps, chunk=args.chunk, progress=progress, rules=rules, record=metrics,
                    keep_final=False,
                    after_chunk=None if checkpoints is None else checkpoints.after_chunk, memory=budget)
    result.initial_edges = init
    result.seed = plan.seed
    extra = {}
    if plan.resumed_from is not None:
        # Steps count from the start of the first run, so that the growth curve goes on from there.
        result.history["step"] = [plan.before + step for step in result.history["step"]]
        extra = {"resumed_from": plan.resumed_from, "steps_before": plan.before}

    # A second thread writes the record, then chooses the parts of the
    # hypergraph and the causal graph that the pictures show, all mostly in
    # native code that gives up the GIL, while this one loads the drawing
    # libraries and draws. The record is complete before any
    # picture is written, and the thread is always joined before the summary.
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="vorn-output") as pool:
        outputs = []
        if args.json:  # first: the record matters most, and it is quick
            from ..export import write_run_record
            record = pool.submit(write_run_record, result, args.json, engine, indent=1, **extra)
            outputs.append((args.json, args.json, record.result))
        if args.plot:
            from ..plotting import draw_selection, select_part
            part = pool.submit(select_part, engine, args.plot_max_edges)
            total = engine.edge_count()
            shown = f" ({args.plot_max_edges:,} of {total:,} hyperedges)" if total > args.plot_max_edges else ""
        if args.causal:
            causal = _CausalPicture(engine, args.causal, args.causal_max_vertices, pool)
        if checkpoints is not None:
            outputs.append((args.checkpoint, args.checkpoint, lambda: checkpoints.save(result.steps_done)))
        if args.plot:
            outputs.append((args.plot, args.plot + shown, lambda: draw_selection(part.result(), args.plot)))
        if args.growth:
            from ..plotting import plot_growth
            title = str(rules[0]) if len(rules) == 1 else f"{len(rules)} rules"
            outputs.append((args.growth, args.growth, lambda: plot_growth(
                result, args.growth, metrics=metrics, title=title)))
        if args.causal:
            outputs.append((args.causal, causal.label, causal.write))
        if args.rule_picture:
            from ..rule_picture import plot_rules
            outputs.append((args.rule_picture, args.rule_picture, lambda: plot_rules(rules, args.rule_picture)))
        if args.plot or args.growth or args.causal:
            from ..plotting import load_libraries
            load_libraries(layout=bool(args.plot))
        written, errors = write_outputs(outputs)

    _print_summary(result, rules, init, written, format_hypergraph, plan)
    for error in errors:
        print(f"vorn run: error: {error}", file=sys.stderr)
    if result.reason == "memory":
        print(f"vorn run: stopped after {counted(result.steps_done, 'step')} of {result.steps_requested:,}: "
              f"{_memory_reason(args, budget)}", file=sys.stderr)
    if errors:
        return EXIT_FAILURE
    if result.reason == "memory":
        return signals.status(False) or EXIT_MEMORY
    return signals.status(result.interrupted) or EXIT_OK


#: Memory kept aside for writing the results: the interpreter's imports and a
#: picture's figure, and the record's table of member ids (bytes per hyperedge).
_OUTPUT_MARGIN = 64 << 20
_PICTURE_MARGIN = 160 << 20
_RECORD_BYTES_PER_EDGE = 16  # measured: about 6 while the record is written (at 10^6 steps)
#: The causal picture's part reads the whole recorded relation: bytes per byte of the causal log
#: (measured 6.4 to 7.3 from 10^5 to 3·10^6 growth steps).
_CAUSAL_BYTES_PER_LOG_BYTE = 8


def _memory_budget(args, engine):
    """The run's MemoryBudget: --max-memory less what the outputs asked for will take."""
    from .._companion import native
    from ..memory import MemoryBudget
    pictures = any((args.plot, args.growth, args.causal))

    def margin(resident: int) -> int:
        extra = _OUTPUT_MARGIN + (_PICTURE_MARGIN if pictures else 0)
        if args.json:
            extra += _RECORD_BYTES_PER_EDGE * engine.edge_count()
        if args.causal:
            extra += _CAUSAL_BYTES_PER_LOG_BYTE * native().memory(engine)["causal_log"]
        return extra

    return MemoryBudget(args.max_memory, margin=margin)


def _memory_reason(args, budget) -> str:
    from ..memory import resident_bytes
    now = f"{resident_bytes() / 2**20:,.0f} MiB in use"
    if args.max_memory is None:
        return f"out of memory ({now}); the step that ran out was undone"
    return (f"more steps would take the process past --max-memory {args.max_memory / 2**20:,.0f} MiB "
            f"with the files still to write ({now})")


def _print_summary(result, rules, init, written, format_hypergraph, plan: _RunPlan) -> None:
    rate = result.steps_done / result.wall_time if result.wall_time > 0 else float("inf")
    status = "completed" if result.reason == "completed" else \
        f"{'stopped for memory' if result.reason == 'memory' else 'interrupted'} after " \
        f"{result.steps_done:,} of {counted(result.steps_requested, 'step')}"
    lines = [f"vorn: {counted(result.steps_done, 'step')} in {result.wall_time:.2f} s ({rate:,.0f} steps/s), "
             f"{status}"]
    for i, r in enumerate(rules):
        lines.append(f"  {'rules' if i == 0 else '':<10} {r}")
    init_vertices = len({v for e in init for v in e})
    lines.append(f"  {'initial':<10} {format_hypergraph(init)}  ({counted(init_vertices, 'vertex')}, "
                 f"{counted(len(init), 'hyperedge')})")
    lines.append(f"  {'semantics':<10} {result.semantics}")
    if result.seed is not None:
        lines.append(f"  {'seed':<10} {result.seed}")
    if plan.resumed_from is not None:
        lines.append(f"  {'resumed':<10} {plan.resumed_from} after {counted(plan.before, 'step')}; "
                     f"{counted(plan.before + result.steps_done, 'step')} in all")
    # Round down, so that "100.0%" means that every step applied a rule.
    share = f" ({math.floor(1000 * result.successful / result.attempted) / 10:.1f}%)" if result.attempted else ""
    lines.append(f"  {'rewrites':<10} {result.successful:,} of {counted(result.attempted, 'step')} applied a rule"
                 f"{share}")
    h = result.history
    lines.append(f"  {'final':<10} {counted(h['nodes'][-1], 'vertex')}, {counted(h['edges'][-1], 'hyperedge')}, "
                 f"{counted(h['pairs'][-1], 'structural pair')}")
    if "dimension" in h:
        # The last row always holds an estimate, NaN where the graph has none.
        last = h["dimension"][-1]
        value = "none (too few vertices within reach)" if math.isnan(last) else f"{last:.2f}"
        lines.append(f"  {'dimension':<10} {value} at step {h['step'][-1]:,}")
    if result.attempted and result.successful == 0:
        hint = "the initial hypergraph is empty; give one with --init" if not init else \
            "no left-hand side matched; check the rules against the initial hypergraph"
        lines.append(f"  {'note':<10} no rule applied: {hint}")
    if written:
        lines.append(f"  {'wrote':<10} {', '.join(written)}")
    out("\n".join(lines) + "\n")
