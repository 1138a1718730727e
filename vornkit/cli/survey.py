"""``vorn survey``: run every rule of a signature (or a file) from one initial state, classify, draw a gallery."""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter

from ..notation import shorten
from . import values
from .inputs import engine_module
from .output import out
from .parser import options, progress_options
from .signals import Signals
from .status import EXIT_FAILURE, EXIT_OK, UserError

#: Seconds to wait for a Dask scheduler to answer (and for its first worker).
CONNECT_TIMEOUT = 10

SURVEY_EPILOG = """\
examples:
  every rule of a signature, 4 runs each, on two processes:
  vorn survey --signature "2_2 -> 3_2" --init "{{1,1},{1,1}}" --steps 10000 --runs 4 \\
              --workers 2 --out survey/

  200 rules drawn at random from a large signature, on a Dask cluster:
  vorn survey --signature "3_3 -> 4_3" --sample 200 --steps 5000 --scheduler tcp://host:8786 --out big/

  rules from a file (one a line, '#' starts a comment):
  vorn survey --rules mine.txt --steps 2000 --out mine/

The folder gets survey.csv (and survey.parquet with pyarrow), survey.jsonl, one
record per rule under records/, pictures under thumbs/ and the gallery
index.html, which works offline.  Ctrl-C or SIGTERM stops the survey and keeps
every finished rule; run the same command again (or 'vorn survey --resume
--out DIR') to do the rest.  A folder holding another survey is refused
unless --force.
Exit status: 0 every rule done, 1 some rules failed, 2 bad arguments,
130 interrupted, 143 terminated.
"""


def add_parser(sub) -> None:
    sv = options()
    which = sv.add_argument_group("rules (one of --signature and --rules, unless --resume)")
    which.add_argument("--signature", metavar="TEXT",
                       help="every distinct rule of this signature, e.g. \"2_2 -> 3_2\" (two binary hyperedges "
                            "to three)")
    which.add_argument("--rules", metavar="FILE", help="the rules in FILE, one a line")
    which.add_argument("--sample", type=values.positive, default=None, metavar="N",
                       help="survey N rules of the signature drawn at random (seeded by --seed)")
    which.add_argument("--connected", default="whole", choices=("whole", "left", "none"),
                       help="which rules of the signature count: 'whole' (default) the left side and both "
                            "sides together are connected, 'left' the left side is, 'none' every rule")
    sv.add_argument("--init", default=None, metavar="HYPERGRAPH",
                    help="initial hypergraph (default: the first rule's left-hand side with every vertex the "
                         "same, e.g. {{1,1},{1,1}} for two binary hyperedges)")
    sv.add_argument("--steps", type=values.count, default=None, metavar="N", help="steps of each run")
    sv.add_argument("--runs", type=values.positive, default=None, metavar="N", help="runs per rule (default: 4)")
    sv.add_argument("--semantics", type=values.semantics, default=None, metavar="{DPO,SPO}",
                    help="DPO (default) or SPO, as for 'vorn run'")
    sv.add_argument("--seed", type=values.seed, default=None, metavar="N",
                    help="seed of the survey (default 0): run j of rule i is seeded from it, so the same "
                         "command gives the same table")
    sv.add_argument("--budget-seconds", type=values.seconds, default=None, metavar="S",
                    help="seconds one rule may take over all its runs before it is stopped and marked "
                         "'over budget' (default: 60)")
    sv.add_argument("--budget-hyperedges", type=values.positive, default=None, metavar="N",
                    help="hyperedges a run may reach before it is stopped and marked (default: 200000)")
    sv.add_argument("--workers", type=values.positive, default=None, metavar="N",
                    help="worker processes on this machine (default: one per core)")
    sv.add_argument("--scheduler", metavar="ADDRESS",
                    help="run on the Dask scheduler at ADDRESS (e.g. tcp://host:8786); needs dask[distributed]")
    sv.add_argument("--out", required=True, metavar="DIR", help="the survey's folder")
    sv.add_argument("--resume", action="store_true",
                    help="go on with the survey in --out, with its own rules and settings")
    sv.add_argument("--force", action="store_true",
                    help="replace a different survey found in --out (or write into a folder that holds other files)")
    sv.add_argument("--no-pictures", action="store_true", help="no pictures (the gallery then shows none)")
    sub.add_parser("survey", parents=[sv, progress_options()],
                   help="run every rule of a signature, classify them and write a gallery",
                   description="Run every rule of a signature (or of a file) several times from one initial "
                               "state, measure and classify each, and write a table and an offline gallery.",
                   epilog=SURVEY_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)


def _rules(args):
    from ..notation import RuleSyntaxError
    from ..survey import SurveyError, read_rules_file, select_rules

    if (args.signature is None) == (args.rules is None):
        raise UserError("give one of --signature and --rules (or --resume to go on with the survey in --out)")
    if args.rules is not None:
        if args.sample is not None:
            raise UserError("--sample draws from a signature; with --rules every rule of the file is run")
        try:
            return read_rules_file(args.rules)
        except OSError as exc:
            raise UserError(f"--rules {args.rules}: {shorten(exc.strerror or str(exc))}") from None
        except (RuleSyntaxError, SurveyError) as exc:
            raise UserError(f"--rules: {exc}") from None
    try:
        return select_rules(args.signature, sample=args.sample, seed=args.seed or 0, connected=args.connected)
    except SurveyError as exc:
        raise UserError(f"--signature: {exc}") from None
    except (ValueError, TypeError) as exc:
        raise UserError(f"--signature: {shorten(str(exc), 200)}") from None


def default_init(rule):
    """The rule's left-hand side with every vertex the same: the smallest state it can start from."""
    return [["1"] * len(edge) for edge in rule.lhs]


def _settings(args):
    """The keyword arguments of :func:`vornkit.survey`, from the options or from the folder (``--resume``)."""
    from ..notation import RuleSyntaxError, parse_hypergraph
    from ..survey import SurveyError, stored_settings

    if args.resume:
        given = [name for name, value in (("--signature", args.signature), ("--rules", args.rules),
                                          ("--sample", args.sample), ("--init", args.init),
                                          ("--steps", args.steps), ("--runs", args.runs),
                                          ("--semantics", args.semantics), ("--seed", args.seed),
                                          ("--budget-seconds", args.budget_seconds),
                                          ("--budget-hyperedges", args.budget_hyperedges))
                 if value is not None] + (["--force"] if args.force else [])
        if given:
            raise UserError(f"{', '.join(given)} cannot be given with --resume: the survey in --out keeps its own")
        try:
            return stored_settings(args.out)
        except (OSError, SurveyError, ValueError, KeyError) as exc:
            raise UserError(f"--resume: {shorten(str(exc), 200)}") from None
    if args.steps is None:
        raise UserError("--steps is required (or --resume to go on with the survey in --out)")
    rules = _rules(args)
    try:
        init = parse_hypergraph(args.init) if args.init is not None else default_init(rules[0])
    except RuleSyntaxError as exc:
        raise UserError(f"--init: {exc}") from None
    budget = {"seconds": args.budget_seconds or 60.0, "hyperedges": args.budget_hyperedges or 200_000}
    return {"rules": rules, "init": init, "steps": args.steps, "runs": args.runs or 4, "seed": args.seed or 0,
            "semantics": args.semantics or "DPO", "budget": budget, "pictures": not args.no_pictures}


def execute(args, signals: Signals) -> int:
    from ..survey import SurveyError, survey

    if args.scheduler is not None and args.workers is not None:
        raise UserError("--workers sizes the pool on this machine; the cluster at --scheduler has its own "
                        "workers (give one or the other)")
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise UserError(f"--out {args.out}: is not a folder")
    settings = _settings(args)
    engine_module()
    progress = not args.no_progress and sys.stderr.isatty()
    executor = None
    if args.scheduler is not None:
        from ..dask_ensemble import DASK_MISSING, dask_executor
        try:
            executor = dask_executor(args.scheduler, timeout=CONNECT_TIMEOUT)
        except ImportError:
            raise UserError(f"--scheduler: {DASK_MISSING}", EXIT_FAILURE) from None
        except OSError as exc:
            raise UserError(f"--scheduler: {shorten(str(exc), 200)}", EXIT_FAILURE) from None
    try:
        result = survey(executor=executor, workers=args.workers, out=args.out, force=args.force,
                        progress=progress, **settings)
    except SurveyError as exc:  # names the folder
        raise UserError(str(exc)) from None
    except (ValueError, TypeError) as exc:  # a rule the engine refuses, a bad budget
        raise UserError(shorten(str(exc), 200)) from None
    except OSError as exc:  # the folder cannot be written (full, read-only, gone)
        where = exc.filename or args.out
        raise UserError(f"--out: cannot write {where}: {shorten(exc.strerror or str(exc))}", EXIT_FAILURE) from None
    finally:
        signals.raising = False
        if executor is not None:
            executor.shutdown(wait=False, cancel_futures=True)
    _print_summary(result)
    failed = len(result.failed)
    return signals.status(result.reason == "interrupted") or (EXIT_OK if not failed else EXIT_FAILURE)


def _print_summary(result) -> None:
    ident = result.settings
    status = "completed" if result.reason == "completed" and result.finished == len(result.rules) else result.reason
    lines = [f"vorn survey: {result.finished:,} of {len(result.rules):,} rules x {ident['runs']} runs x "
             f"{ident['steps']:,} steps in {result.wall_time:.1f} s, {status}"
             + (f" ({result.resumed:,} found finished)" if result.resumed else "")]
    lines.append(f"  {'executor':<10} {result.executor}")
    classes = Counter(r.get("class", "?").split(" (")[0] for r in result.records)
    for name, n in classes.most_common():
        lines.append(f"  {'classes' if name == classes.most_common(1)[0][0] else '':<10} {n:>6,}  {name}")
    for r in result.failed[:5]:
        lines.append(f"  {'failed':<10} rule {r['index']}: {shorten(str(r.get('error', '')), 100)}")
    if len(result.failed) > 5:
        lines.append(f"  {'':<10} ... and {len(result.failed) - 5} more (see survey.csv)")
    lines.append(f"  {'wrote':<10} {os.path.join(result.out, 'index.html')}, survey.csv, survey.jsonl")
    out("\n".join(lines) + "\n")
