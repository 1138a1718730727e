"""The ``vorn`` command."""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import signal
import sys
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple, Union

from .notation import shorten

__all__ = ["main", "build_parser"]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT       # 130, as a shell reports a Ctrl-C
EXIT_TERMINATED = 128 + signal.SIGTERM       # 143
EXIT_PIPE_CLOSED = 128 + signal.SIGPIPE      # 141, as for a tool stopped by a closed pipe

#: Seconds to wait for a Dask scheduler to answer (and for its first worker).
CONNECT_TIMEOUT = 10

DESCRIPTION = """\
Evolve a hypergraph by random rewriting and report what happened.

Each step picks a random vertex and a rule (by weight) and, if the rule's
left-hand side matches there, replaces the matched hyperedges by the
right-hand side.  Rules are written in set notation:

  {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}

Every name (integers too) is a variable: a name on both sides is kept, a
name only on the left is deleted, a name only on the right is a new vertex.

Hyperedges are ordered, but matching is not: a left-hand-side pattern
matches any hyperedge at least as long as the pattern that contains the
pattern's vertices, in any order and multiplicity.  With x = 1 and y = 2,
{{x,y}} matches the hyperedges {1,2}, {2,1} and {2,5,1} alike, and {{x,x}}
matches every hyperedge of two or more vertices that contains 1.
"""

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
it is complete.  Exit status: 0 done, 1 failure, 2 bad arguments,
130 interrupted, 143 terminated, 141 standard output closed early.
"""

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


class _ArgumentParser(argparse.ArgumentParser):
    """argparse with one-line error messages."""

    def error(self, message: str):  # noqa: D401 - argparse API
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


class UserError(Exception):
    """A mistake in the command line or its inputs: reported as one line."""

    def __init__(self, message: str, code: int = EXIT_USAGE):
        super().__init__(message)
        self.code = code


def _count(text: str) -> int:
    try:
        value = int(text.replace("_", "").replace(",", ""))
    except ValueError:
        try:
            f = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {shorten(text)!r}") from None
        if not f.is_integer():
            raise argparse.ArgumentTypeError(f"expected a whole number, got {shorten(text)!r}") from None
        value = int(f)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {shorten(text)!r}")
    return value


def _positive(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number >= 1, got {shorten(text)!r}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {shorten(text)!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {shorten(text)!r}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text.replace("_", ""), 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {shorten(text)!r}") from None
    if not 0 <= value < 2 ** 64:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 2**64 - 1, got {shorten(text)!r}")
    return value


def _semantics(text: str) -> str:
    upper = text.upper()
    if upper not in ("DPO", "SPO"):
        raise argparse.ArgumentTypeError(f"expected DPO or SPO, got {shorten(text)!r}")
    return upper


# The options both commands take, worded for each.
RUN_HELP = {
    "rule": "a rewrite rule such as \"{{x,y}} -> {{x,z},{z,y}}\"; add \"@ WEIGHT\" to weight it; repeat the "
            "option (or separate rules with ';') for several rules",
    "steps": "number of rewrite steps to attempt; with --resume, N more steps (default there: the steps the "
             "saved run had left)",
    "semantics": "DPO (default) refuses matches that would leave hyperedges on a deleted vertex; SPO deletes "
                 "those hyperedges too",
    "seed": "seed the random generator with N (0 to 2**64 - 1): the same seed, rules, initial hypergraph and "
            "steps give the same run (default: fresh entropy)",
}
ENSEMBLE_HELP = {
    "rule": "a rewrite rule, as for 'vorn run'; repeat for several rules",
    "steps": "rewrite steps each member attempts",
    "semantics": "DPO (default) or SPO, as for 'vorn run'",
    "seed": "seed the ensemble with N (0 to 2**64 - 1): member i gets its own seed derived from N and i "
            "(see vornkit.member_seed), so the same seed repeats every member's run (default: fresh entropy)",
}


def _options() -> argparse.ArgumentParser:
    """An empty parser whose options another parser takes over (argparse's ``parents``)."""
    return argparse.ArgumentParser(add_help=False)


def _model_options(helps, resumable: bool = False) -> argparse.ArgumentParser:
    """The options that describe the model and its run: rules, start, steps, semantics, seed.

    With ``resumable`` (``vorn run``, which can take all but the steps from a
    checkpoint instead), nothing is required or defaulted here: see
    :func:`_check_run_options`.
    """
    options = _options()
    options.add_argument("--rule", action="append", required=not resumable, metavar="RULE",
                         help=helps["rule"])
    options.add_argument("--init", default=None if resumable else "{}", metavar="HYPERGRAPH",
                         help="initial hypergraph, e.g. \"{{1,2},{1,3}}\" (default: empty)")
    options.add_argument("--steps", type=_count, required=not resumable, metavar="N", help=helps["steps"])
    options.add_argument("--semantics", type=_semantics, default=None if resumable else "DPO",
                         metavar="{DPO,SPO}", help=helps["semantics"])
    options.add_argument("--seed", type=_seed, default=None, metavar="N", help=helps["seed"])
    return options


def build_parser() -> argparse.ArgumentParser:
    from . import __version__
    parser = _ArgumentParser(prog="vorn", description=DESCRIPTION,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"vorn {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_ArgumentParser)
    # Options are listed in help in the order of the parsers they come from.
    progress = _options()
    progress.add_argument("--no-progress", action="store_true",
                          help="no progress bar (it is shown only when standard error is a terminal)")

    run = _options()
    run.add_argument("--chunk", type=_positive, default=None, metavar="N",
                     help="steps between measurements (default: adaptive)")
    run.add_argument("--plot", metavar="FILE", help="draw the final hypergraph (.png, .svg, .pdf)")
    run.add_argument("--plot-max-edges", type=_positive, default=2000, metavar="N",
                     help="draw at most N hyperedges, those nearest to one vertex (default: 2000)")
    run.add_argument("--growth", metavar="FILE", help="plot vertices, hyperedges and pairs against "
                                                     "steps on log-log axes (.png, .svg, .pdf)")
    run.add_argument("--dimension", action="store_true",
                     help="also record the dimension estimate (ball growth around 50 vertices) at about "
                          "log2(steps) + 2 recorded steps; it goes into the JSON record, the summary and, "
                          "as a second panel, the --growth picture")
    run.add_argument("--causal", metavar="FILE",
                     help="draw the causal graph layered by depth (.png, .svg, .pdf)")
    run.add_argument("--causal-max-vertices", type=_positive, default=2000, metavar="N",
                     help="draw at most N vertices of the causal graph, those nearest the newest "
                          "vertex (default: 2000)")
    run.add_argument("--json", metavar="FILE", help="write a JSON record of the run")
    run.add_argument("--checkpoint", metavar="FILE",
                     help="save the engine to FILE when the run ends or is stopped, to go on later with "
                          "--resume FILE")
    run.add_argument("--checkpoint-every", type=_seconds, default=None, metavar="SECONDS",
                     help="with --checkpoint: save it also every SECONDS while the run goes (checked "
                          "between chunks of steps)")
    run.add_argument("--resume", metavar="FILE",
                     help="continue the run saved in the checkpoint FILE: its rules, initial hypergraph, "
                          "semantics and random state come from there (so --rule, --init, --semantics "
                          "and --seed are not given)")
    sub.add_parser("run", parents=[_model_options(RUN_HELP, resumable=True), run, progress],
                   help="evolve a hypergraph and print a summary",
                   description="Evolve a hypergraph from an initial state with the given rules, "
                               "print a summary and optionally write pictures and a JSON record.",
                   epilog=RUN_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)

    ens = _options()
    ens.add_argument("--runs", type=_positive, required=True, metavar="N", help="number of members")
    ens.add_argument("--points", type=_positive, default=40, metavar="N",
                     help="recorded steps per member besides step 0, log-spaced (default: 40)")
    ens.add_argument("--workers", type=_positive, default=None, metavar="N",
                     help="worker processes on this machine (default: one per core)")
    ens.add_argument("--scheduler", metavar="ADDRESS",
                     help="run on the Dask scheduler at ADDRESS (e.g. tcp://host:8786) instead of "
                          "this machine; needs dask[distributed]")
    ens.add_argument("--timeout", type=_seconds, default=None, metavar="SECONDS",
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
    sub.add_parser("ensemble", parents=[_model_options(ENSEMBLE_HELP), ens, progress],
                   help="run many independent members of one model and summarise them",
                   description="Run independent members of one model in parallel (a process pool on "
                               "this machine, or a Dask cluster with --scheduler), record the same "
                               "steps in each and summarise them: mean, spread and growth exponents.",
                   epilog=ENSEMBLE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    return parser


def _check_output(option: str, path: Optional[str], image: bool) -> None:
    if path is None:
        return
    if not path:
        raise UserError(f"{option}: the file name is empty")
    if image:
        from .formats import picture_format
        if not picture_format(path):
            raise UserError(f"{option} {path}: unknown picture format; use a file name ending in "
                            f".png, .svg or .pdf")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UserError(f"{option} {path}: folder {folder} does not exist")
    if os.path.isdir(path):
        raise UserError(f"{option} {path}: is a folder")
    if not os.access(folder, os.W_OK):
        raise UserError(f"{option} {path}: folder {folder} is not writable")


def _check_distinct_outputs(outputs: Sequence[Tuple[str, Optional[str]]], resume: Optional[str] = None) -> None:
    """Refuses two outputs that name one file (the second would replace the first), and an output
    that names the checkpoint being resumed (except --checkpoint, which is meant to replace it)."""
    seen: List[Tuple[str, str]] = []
    for option, path in outputs:
        if path is None:
            continue
        where = os.path.realpath(path)
        for other, other_where in seen:
            if where == other_where:
                raise UserError(f"{other} and {option} name the same file {path}; give each its own")
        if resume is not None and option != "--checkpoint" and where == os.path.realpath(resume):
            raise UserError(f"{option} {path} is the checkpoint being resumed; write it elsewhere")
        seen.append((option, where))


def _rules_and_init(args):
    """The --rule texts and the --init hypergraph, or a UserError naming the option."""
    from .notation import RuleSyntaxError, parse_hypergraph, parse_rules

    rules = []
    for text in args.rule:
        try:
            rules.extend(parse_rules(text))
        except RuleSyntaxError as exc:
            raise UserError(f"--rule: {exc}") from None
    try:
        init = parse_hypergraph("{}" if args.init is None else args.init)
    except RuleSyntaxError as exc:
        raise UserError(f"--init: {exc}") from None
    return rules, init


def _engine_module():
    """The vorn extension, or a UserError saying it is not installed."""
    try:
        import vorn
    except ImportError as exc:
        raise UserError(f"the vorn engine cannot be imported ({exc}); is the package installed?",
                        EXIT_FAILURE) from None
    return vorn


class _Signals:
    """SIGINT and SIGTERM while a command runs.

    SIGTERM is answered like a Ctrl-C: when something else handles SIGINT
    at that moment (``evolve``, which stops after the current chunk), it is
    passed on to that.  Otherwise, while ``raising`` is true, the first
    signal raises KeyboardInterrupt (it stops the work: an ensemble then
    stops its workers); every later one, and any once ``raising`` is false,
    is only noted, so that the outputs are written in full.  ``received`` is
    the first signal's number, or None.
    """

    def __init__(self) -> None:
        self.received: Optional[int] = None
        self.raising = True
        self._old: dict = {}

    def _handle(self, signum, frame) -> None:
        first = self.received is None
        if first:
            self.received = signum
        current = signal.getsignal(signal.SIGINT)
        if signum == signal.SIGTERM and callable(current) and current != self._handle:
            current(signal.SIGINT, frame)
        elif first and self.raising:
            raise KeyboardInterrupt

    def __enter__(self) -> "_Signals":
        if threading.current_thread() is threading.main_thread():
            # Python already turns a file-size limit (SIGXFSZ) into a write
            # error rather than a kill; make sure it stays so.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._old[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc) -> None:
        for signum, handler in self._old.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)

    def status(self, interrupted: bool) -> Optional[int]:
        """The exit status for a signal received (or an interrupted run), else None."""
        if self.received is not None:
            return 128 + self.received
        return EXIT_INTERRUPTED if interrupted else None


def _write_outputs(outputs: Sequence[Tuple[str, Union[str, Callable[[], str]], Callable[[], object]]]
                   ) -> Tuple[List[str], List[str]]:
    """Run each ``(path, label, write)`` in order; the labels written and one message per failure.

    A callable ``label`` is asked for the label once its file is written.
    """
    written: List[str] = []
    errors: List[str] = []
    for path, label, write in outputs:
        try:
            write()
        except (OSError, MemoryError) as exc:
            detail = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
            errors.append(f"cannot write {path}: {shorten(detail)}")
        else:
            written.append(label() if callable(label) else label)
    return written, errors


class _CausalPicture:
    """Writes ``vorn run --causal``: the links are read once, for the picture and its label."""

    def __init__(self, engine, path: str, limit: int):
        self.engine, self.path, self.limit = engine, path, limit
        self.total = 0

    def write(self) -> None:
        from .causal import draw_causal, links_and_live
        links, live = links_and_live(self.engine)
        self.total = len(links.vertices)
        draw_causal(links, live, self.path, max_vertices=self.limit)

    def label(self) -> str:
        shown = f" ({self.limit:,} of {self.total:,} vertices)" if self.total > self.limit else ""
        return self.path + shown


class _StdoutError(Exception):
    """Standard output cannot be written (a closed pipe, a full device)."""

    def __init__(self, error: OSError):
        super().__init__(str(error))
        self.error = error


def _out(text: str) -> None:
    """Write ``text`` to standard output at once."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as exc:
        raise _StdoutError(exc) from None


def _stdout_failed(name: str, error: OSError) -> int:
    """Report a failing standard output like a well-behaved Unix tool; the exit status."""
    try:
        # What is still buffered would fail again when Python exits.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
    if isinstance(error, BrokenPipeError):
        return EXIT_PIPE_CLOSED  # the reader has gone: nothing to say, and nobody to say it to
    print(f"{name}: error: cannot write to standard output: {error.strerror or error}", file=sys.stderr)
    return EXIT_FAILURE


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
        from . import __version__
        from .notation import format_hypergraph, format_rule
        return {"format": RUN_CHECKPOINT_FORMAT, "rules": [format_rule(r) for r in self.rules],
                "init": format_hypergraph(self.init), "semantics": self.engine.get_semantics(),
                "seed": self.seed, "steps_requested": self.before + self.steps,
                "steps_done": self.before + done, "vornkit": __version__}


def _new_run(args, vorn, rules, init) -> _RunPlan:
    from .initial import start

    engine = vorn.Engine()
    if args.seed is not None:
        from .rng import reseed
        reseed(engine, args.seed)
    engine.set_semantics(args.semantics or "DPO")
    try:
        start(engine, init, rules)
    except (TypeError, ValueError) as exc:  # e.g. weights whose total passes the largest float
        raise UserError(f"--rule: {exc}") from None
    return _RunPlan(engine, rules, init, args.seed, args.steps)


def _resumed_run(args) -> _RunPlan:
    """The run saved in ``--resume FILE``, or a UserError saying why it cannot be continued."""
    from .checkpoint import load
    from .notation import parse_hypergraph, parse_rules

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
        from .checkpoint import save
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


def _run(args, signals: _Signals) -> int:
    from .notation import format_hypergraph

    _check_run_options(args)
    rules_and_init = _rules_and_init(args) if args.resume is None else None
    _check_output("--plot", args.plot, image=True)
    _check_output("--growth", args.growth, image=True)
    _check_output("--causal", args.causal, image=True)
    _check_output("--json", args.json, image=False)
    _check_output("--checkpoint", args.checkpoint, image=False)
    _check_distinct_outputs([("--json", args.json), ("--plot", args.plot), ("--growth", args.growth),
                             ("--causal", args.causal), ("--checkpoint", args.checkpoint)], args.resume)

    vorn = _engine_module()
    from .evolve import evolve

    plan = _resumed_run(args) if rules_and_init is None else _new_run(args, vorn, *rules_and_init)
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
    result = evolve(engine, plan.steps, chunk=args.chunk, progress=progress, rules=rules, record=metrics,
                    keep_final=False,
                    after_chunk=None if checkpoints is None else checkpoints.after_chunk)
    result.initial_edges = init
    result.seed = plan.seed
    extra = {}
    if plan.resumed_from is not None:
        # Steps count from the start of the first run, so that the growth curve goes on from there.
        result.history["step"] = [plan.before + step for step in result.history["step"]]
        extra = {"resumed_from": plan.resumed_from, "steps_before": plan.before}

    outputs = []
    if args.json:  # first: the record matters most, and it is quick
        from .arrays import edges_array, vertices_array
        from .export import write_run_record
        outputs.append((args.json, args.json, lambda: write_run_record(
            result, args.json, edges_array(engine), vertices_array(engine), indent=1, **extra)))
    if checkpoints is not None:
        outputs.append((args.checkpoint, args.checkpoint, lambda: checkpoints.save(result.steps_done)))
    if args.plot:
        from .plotting import plot_hypergraph
        total = engine.edge_count()
        shown = f" ({args.plot_max_edges:,} of {total:,} hyperedges)" if total > args.plot_max_edges else ""
        outputs.append((args.plot, args.plot + shown, lambda: plot_hypergraph(
            engine, args.plot, max_edges=args.plot_max_edges)))
    if args.growth:
        from .plotting import plot_growth
        title = str(rules[0]) if len(rules) == 1 else f"{len(rules)} rules"
        outputs.append((args.growth, args.growth, lambda: plot_growth(
            result, args.growth, metrics=metrics, title=title)))
    if args.causal:
        causal = _CausalPicture(engine, args.causal, args.causal_max_vertices)
        outputs.append((args.causal, causal.label, causal.write))
    written, errors = _write_outputs(outputs)

    _print_summary(result, rules, init, written, format_hypergraph, plan)
    for error in errors:
        print(f"vorn run: error: {error}", file=sys.stderr)
    if errors:
        return EXIT_FAILURE
    return signals.status(result.interrupted) or EXIT_OK


def _print_summary(result, rules, init, written, format_hypergraph, plan: _RunPlan) -> None:
    rate = result.steps_done / result.wall_time if result.wall_time > 0 else float("inf")
    status = "completed" if not result.interrupted else \
        f"interrupted after {result.steps_done:,} of {result.steps_requested:,} steps"
    lines = [f"vorn: {result.steps_done:,} steps in {result.wall_time:.2f} s ({rate:,.0f} steps/s), {status}"]
    for i, r in enumerate(rules):
        lines.append(f"  {'rules' if i == 0 else '':<10} {r}")
    init_vertices = len({v for e in init for v in e})
    lines.append(f"  {'initial':<10} {format_hypergraph(init)}  ({init_vertices:,} vertices, "
                 f"{len(init):,} hyperedges)")
    lines.append(f"  {'semantics':<10} {result.semantics}")
    if result.seed is not None:
        lines.append(f"  {'seed':<10} {result.seed}")
    if plan.resumed_from is not None:
        lines.append(f"  {'resumed':<10} {plan.resumed_from} after {plan.before:,} steps; "
                     f"{plan.before + result.steps_done:,} steps in all")
    # Round down, so that "100.0%" means that every step applied a rule.
    share = f" ({math.floor(1000 * result.successful / result.attempted) / 10:.1f}%)" if result.attempted else ""
    lines.append(f"  {'rewrites':<10} {result.successful:,} of {result.attempted:,} steps applied a rule{share}")
    h = result.history
    lines.append(f"  {'final':<10} {h['nodes'][-1]:,} vertices, {h['edges'][-1]:,} hyperedges, "
                 f"{h['pairs'][-1]:,} structural pairs")
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
    _out("\n".join(lines) + "\n")


def _ensemble(args, signals: _Signals) -> int:
    rules, init = _rules_and_init(args)
    if args.scheduler is not None and args.workers is not None:
        raise UserError("--workers sizes the pool on this machine; the cluster at --scheduler has its own "
                        "workers (give one or the other)")
    _check_output("--plot", args.plot, image=True)
    _check_output("--json", args.json, image=False)
    _check_distinct_outputs([("--json", args.json), ("--plot", args.plot)])
    _engine_module()
    from .ensemble import Model, build_engine, ensemble

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
        from .dask_ensemble import DASK_MISSING, dask_executor
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
        from .export import write_jsonl
        outputs.append((args.json, args.json, lambda: write_jsonl(result, args.json)))
    if args.plot and result.members:
        from .plotting import plot_ensemble
        outputs.append((args.plot, args.plot, lambda: plot_ensemble(result, args.plot)))
    written, errors = _write_outputs(outputs)
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
    lines = [f"vorn ensemble: {done:,} of {result.runs:,} members x {result.steps:,} steps in "
             f"{result.wall_time:.2f} s ({rate:,.2f} members/s), {status}"]
    for i, r in enumerate(result.model.rules):
        lines.append(f"  {'rules' if i == 0 else '':<10} {r}")
    from .notation import format_hypergraph
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
                f"{d['mean'][-1]:.2f} ± {d['std'][-1]:.2f} over {d['count'][-1]:,} members"
            lines.append(f"  {'dimension':<10} {value} (mean ± sd at the last step)")
    for f in result.failures[:10]:
        lines.append(f"  {'failed':<10} member {f['member']}: {f['error'].splitlines()[0] if f['error'] else ''}")
    if len(result.failures) > 10:
        lines.append(f"  {'':<10} ... and {len(result.failures) - 10} more (see --json)")
    if written:
        lines.append(f"  {'wrote':<10} {', '.join(written)}")
    _out("\n".join(lines) + "\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``vorn`` command; returns the exit status."""
    with _Signals() as signals:
        return _command(argv, signals)


def _command(argv, signals: _Signals) -> int:
    parser = build_parser()
    name = "vorn"
    try:
        text = io.StringIO()
        with contextlib.redirect_stdout(text):  # --help and --version: written below, where a failure shows
            try:
                args = parser.parse_args(argv)
            except SystemExit as exc:  # argument errors too, already reported on standard error
                args, code = None, EXIT_OK if exc.code is None else exc.code
        if text.getvalue():
            _out(text.getvalue())
        if args is None:
            return code
        if args.command is None:
            _out(parser.format_help())
            return EXIT_USAGE
        name = f"vorn {args.command}"
        return _ensemble(args, signals) if args.command == "ensemble" else _run(args, signals)
    except UserError as exc:
        print(f"{name}: error: {exc}", file=sys.stderr)
        return exc.code
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return signals.status(True)
    except _StdoutError as exc:
        return _stdout_failed(name, exc.error)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
