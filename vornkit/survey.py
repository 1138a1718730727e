"""Surveys: many rules, each run several times from one initial state, measured, classified and drawn.

:func:`survey` sends one task per rule to its workers (a :class:`~vornkit.worker_pool.TaskPool`
of processes on this machine, or any ``concurrent.futures`` executor such
as :func:`vornkit.dask_executor`); the task runs all of the rule's members
in the worker (see :mod:`vornkit.survey_member`).  Every finished rule is
stored at once in the output folder, so a survey that is stopped (Ctrl-C,
SIGTERM, or killed outright) keeps what it finished, and running it again
with the same folder and settings does only the rest.

The output folder holds:

- ``survey.json``: the settings that identify the survey, and its state;
- ``rules.txt``: the rules, one a line, in index order;
- ``records/NNNNNN.json``: each finished rule's full record (runs included);
- ``thumbs/NNNNNN-rule.svg``, ``thumbs/NNNNNN-final.svg``: its pictures;
- ``survey.csv`` (and ``survey.parquet`` with pyarrow), ``survey.jsonl``:
  the table and the records, rebuilt when the survey ends or stops;
- ``index.html``: the gallery (see :mod:`vornkit.gallery`).
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import re
import signal
import threading
import time
from concurrent.futures import FIRST_COMPLETED, CancelledError, Executor, wait
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence

from .checks import as_edges, check_seed, whole_number
from .files import replaced, sweep_temporaries
from .notation import (Rule, RuleSyntaxError, format_hypergraph, format_rule, parse_hypergraph, parse_rule,
                       parse_rules)

__all__ = ["Budget", "SurveyResult", "SurveyError", "survey", "select_rules", "read_rules_file",
           "stored_settings", "ENUMERATION_LIMIT", "SURVEY_FORMAT"]

SURVEY_FORMAT = "vorn-survey/1"

#: Largest number of rules a signature may enumerate without ``sample``.
ENUMERATION_LIMIT = 20_000

_RECORD_NAME = re.compile(r"(\d{6,})\.json")
_PICTURE_NAME = re.compile(r"(\d{6,})-(rule|final)\.svg")


class SurveyError(ValueError):
    """A survey that cannot start: a folder holding another survey, too many rules, bad settings."""


@dataclass(frozen=True)
class Budget:
    """What one rule may spend: ``seconds`` over all its runs (None: no limit) and
    ``hyperedges`` per run (None: no limit).  A rule that passes either is stopped
    and marked ``over budget``; its measures are those of the state it reached.
    The steps per run are the survey's ``steps``."""

    seconds: Optional[float] = 60.0
    hyperedges: Optional[int] = 200_000

    def __post_init__(self) -> None:
        if self.seconds is not None and not (isinstance(self.seconds, (int, float))
                                             and math.isfinite(self.seconds) and self.seconds > 0):
            raise ValueError(f"the budget's seconds must be a positive number or None, got {self.seconds!r}")
        if self.hyperedges is not None:
            object.__setattr__(self, "hyperedges", whole_number(self.hyperedges, "hyperedges", minimum=1))

    def plain(self) -> Dict[str, Any]:
        return {"seconds": self.seconds, "hyperedges": self.hyperedges}


def _as_budget(budget) -> Budget:
    if budget is None:
        return Budget()
    if isinstance(budget, Budget):
        return budget
    if isinstance(budget, Mapping):
        unknown = set(budget) - {"seconds", "hyperedges", "steps"}
        if unknown:
            raise ValueError(f"unknown budget entry {sorted(unknown)[0]!r}; known: seconds, hyperedges")
        return Budget(**{k: v for k, v in budget.items() if k != "steps"})
    raise TypeError(f"budget must be a vornkit.survey.Budget or a dict, not {type(budget).__name__}")


@dataclass
class SurveyResult:
    """What :func:`survey` did.  ``records`` holds every finished rule's record (this call's and
    those found in ``out``), ordered by index; ``reason`` is ``"completed"`` or ``"interrupted"``;
    ``resumed`` counts the rules found finished in ``out``; ``run_time`` sums the workers' time
    spent on the rules finished by this call."""

    rules: List[str]
    records: List[Dict[str, Any]]
    reason: str
    wall_time: float
    run_time: float
    resumed: int = 0
    out: Optional[str] = None
    executor: str = ""
    settings: Dict[str, Any] = field(default_factory=dict)

    @property
    def finished(self) -> int:
        return len(self.records)

    @property
    def failed(self) -> List[Dict[str, Any]]:
        return [r for r in self.records if r.get("status") == "failed"]

    @property
    def ok(self) -> bool:
        return self.reason == "completed" and len(self.records) == len(self.rules) and not self.failed

    def table(self) -> List[Dict[str, Any]]:
        from .survey_table import table_rows
        return table_rows(self.records)


# ---------------------------------------------------------------------------------------------
# Choosing the rules


def read_rules_file(path) -> List[Rule]:
    """Rules from a text file, one a line; blank lines and lines starting with ``#`` are skipped.

    A malformed line raises :class:`~vornkit.RuleSyntaxError` whose message
    starts with ``FILE:LINE:``.
    """
    rules: List[Rule] = []
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            try:
                rules.append(parse_rule(text))
            except RuleSyntaxError as exc:
                raise RuleSyntaxError(f"{path}:{number}: {exc.args[0].split(' at position ')[0]}",
                                      text, exc.position) from None
    if not rules:
        raise SurveyError(f"{path} holds no rules")
    return rules


def select_rules(signature: str, *, sample: Optional[int] = None, seed: int = 0, connected: str = "whole",
                 limit: int = ENUMERATION_LIMIT) -> List[Rule]:
    """The rules of ``signature`` (e.g. ``"2_2 -> 3_2"``): all of them, or a random ``sample``.

    A signature with more than ``limit`` rules and no ``sample`` is refused
    with :class:`SurveyError` saying how many rules it has.
    """
    from . import rule_space

    parsed = rule_space.parse_signature(signature)
    if sample is not None:
        sample = whole_number(sample, "sample", minimum=1)
    # Counting stops just past the number that matters, so a huge signature costs no more than that.
    enough = limit if sample is None else min(sample, limit)
    if rule_space.count_rules(parsed, connected=connected, limit=enough) <= enough:
        return list(rule_space.enumerate_rules(parsed, connected=connected))
    if sample is None:
        raise SurveyError(f"the signature {signature!r} has more than {limit:,} rules (at most "
                          f"{rule_space.rule_count_bound(parsed):,}); survey a random sample of them "
                          f"with --sample N")
    return list(rule_space.random_rules(parsed, sample, seed=seed, connected=connected))


# ---------------------------------------------------------------------------------------------
# The output folder


def _rule_text(rule: Rule) -> str:
    return format_rule(rule)


def _identity(texts: Sequence[str], init, steps: int, runs: int, seed: int, semantics: str,
              budget: Budget, pictures: bool, measure: bool) -> Dict[str, Any]:
    digest = hashlib.sha256("\n".join(texts).encode()).hexdigest()
    return {"format": SURVEY_FORMAT, "rules": len(texts), "rules_sha256": digest, "init": init,
            "steps": steps, "runs": runs, "seed": seed, "semantics": semantics, "budget": budget.plain(),
            "pictures": pictures, "measure": measure}


def stored_settings(out) -> Dict[str, Any]:
    """The settings of the survey stored in ``out``, as keyword arguments of :func:`survey`
    (rules included), for resuming it without repeating them."""
    meta = _read_meta(os.fspath(out))
    if meta is None:
        raise SurveyError(f"{os.fspath(out)} holds no survey to resume (no readable survey.json)")
    ident = meta["identity"]
    with open(os.path.join(out, "rules.txt"), encoding="utf-8") as fh:
        rules = [line.rstrip("\n") for line in fh if line.strip()]
    return {"rules": rules, "init": ident["init"], "steps": ident["steps"], "runs": ident["runs"],
            "seed": ident["seed"], "semantics": ident["semantics"], "budget": ident["budget"],
            "pictures": ident["pictures"], "measure": ident["measure"]}


def _read_meta(out: str) -> Optional[Dict[str, Any]]:
    try:
        with open(os.path.join(out, "survey.json"), encoding="utf-8") as fh:
            meta = json.load(fh)
    except (OSError, ValueError):
        return None
    if not isinstance(meta, dict) or not isinstance(meta.get("identity"), dict) \
            or meta["identity"].get("format") != SURVEY_FORMAT:
        return None
    return meta


def _differences(old: Mapping[str, Any], new: Mapping[str, Any]) -> List[str]:
    """The settings in which two survey identities differ, the rule list named "rules"."""
    names = []
    for key in new:
        if old.get(key) != new[key]:
            name = "rules" if key in ("rules", "rules_sha256") else key
            if name not in names:
                names.append(name)
    return names


def _clear_ours(out: str) -> None:
    """Remove the files an earlier survey wrote into ``out`` (and nothing else)."""
    for sub, pattern in (("records", _RECORD_NAME), ("thumbs", _PICTURE_NAME)):
        folder = os.path.join(out, sub)
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            if pattern.fullmatch(name):
                os.unlink(os.path.join(folder, name))
    for name in ("survey.csv", "survey.parquet", "survey.jsonl", "index.html", "survey.json", "rules.txt"):
        try:
            os.unlink(os.path.join(out, name))
        except FileNotFoundError:
            pass


def _prepare(out: str, identity: Dict[str, Any], texts: Sequence[str], force: bool) -> None:
    if os.path.exists(out) and not os.path.isdir(out):
        raise SurveyError(f"{out} exists and is not a folder")
    os.makedirs(out, exist_ok=True)
    meta = _read_meta(out)
    if meta is not None and meta["identity"] != identity:
        if not force:
            differ = _differences(meta["identity"], identity)
            raise SurveyError(f"{out} holds a different survey (it differs in {', '.join(differ) or 'its settings'}); "
                              "use --force to replace it, or another --out")
        _clear_ours(out)
        meta = None
    elif meta is None and os.listdir(out) and not force:
        raise SurveyError(f"{out} is not empty and holds no survey; use --force to write into it, "
                          "or another --out")
    for sub in ("records", "thumbs"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
        sweep_temporaries(os.path.join(out, sub))
    if meta is None:
        with replaced(os.path.join(out, "rules.txt")) as fh:
            fh.write("".join(t + "\n" for t in texts))
    _write_meta(out, identity, state="running")


def _write_meta(out: str, identity: Dict[str, Any], state: str, **extra) -> None:
    meta = {"identity": identity, "state": state, "updated": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
    meta.update(extra)
    with replaced(os.path.join(out, "survey.json")) as fh:
        json.dump(meta, fh, indent=1, sort_keys=True)
        fh.write("\n")


def _width(count: int) -> int:
    return max(6, len(str(max(count - 1, 0))))


def _load_finished(out: str, texts: Sequence[str]) -> Dict[int, Dict[str, Any]]:
    """Records in ``out`` of rules that finished (failed ones are redone)."""
    found: Dict[int, Dict[str, Any]] = {}
    folder = os.path.join(out, "records")
    for name in os.listdir(folder):
        m = _RECORD_NAME.fullmatch(name)
        if not m:
            continue
        index = int(m.group(1))
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as fh:
                record = json.load(fh)
        except (OSError, ValueError):
            continue
        if (index < len(texts) and isinstance(record, dict) and record.get("index") == index
                and record.get("rule") == texts[index] and record.get("status") in ("ok", "budget")
                and all(_nonempty(os.path.join(out, p)) for p in (record.get("pictures") or {}).values())):
            found[index] = record
    return found


def _nonempty(path: str) -> bool:
    try:
        return os.path.getsize(path) > 0
    except OSError:
        return False


def _store(out: str, record: Dict[str, Any], width: int) -> Dict[str, Any]:
    """Write a finished rule: pictures first, then the record (whose presence marks the rule done).

    Thousands of small files: each is complete or absent (renamed into place), but not flushed to
    the disk one by one; a record or picture that a power cut left empty is found on resume and its
    rule done again."""
    from .survey_table import plain

    index = record["index"]
    stem = f"{index:0{width}d}"
    pictures = record.pop("pictures", None) or {}
    links = {}
    for kind in ("rule", "final"):
        svg = pictures.get(kind)
        if svg:
            name = f"thumbs/{stem}-{kind}.svg"
            with replaced(os.path.join(out, name), durable=False, sweep=False) as fh:
                fh.write(svg)
            links[kind] = name
    record["pictures"] = links
    record = plain(record)
    with replaced(os.path.join(out, "records", f"{stem}.json"), durable=False, sweep=False) as fh:
        json.dump(record, fh, sort_keys=True)
        fh.write("\n")
    return record


def write_outputs(out: str, records: Sequence[Mapping[str, Any]], *, title: str,
                  meta: Mapping[str, Any], pictures: bool = True) -> Dict[str, str]:
    """The table (CSV, Parquet when possible), the JSON lines and the gallery, from ``records``."""
    from .gallery import write_gallery
    from .rule_class import THRESHOLDS
    from .survey_table import table_rows, write_csv, write_jsonl, write_parquet

    rows = table_rows(records)
    written = {"csv": os.path.join(out, "survey.csv"), "jsonl": os.path.join(out, "survey.jsonl")}
    write_csv(rows, written["csv"])
    if write_parquet(rows, os.path.join(out, "survey.parquet")):
        written["parquet"] = os.path.join(out, "survey.parquet")
    write_jsonl(records, written["jsonl"])
    width = _width(int(meta.get("rules", 1)))
    by_index = {r["index"]: r for r in records}
    for row in rows:
        stem = f"{row['index']:0{width}d}"
        links = by_index[row["index"]].get("pictures") or {}
        row["record"] = f"records/{stem}.json"
        row["rule_picture"] = links.get("rule")
        row["final_picture"] = links.get("final")
    written["html"] = os.path.join(out, "index.html")
    write_gallery(written["html"], rows, title=title, meta=meta, thresholds=THRESHOLDS)
    return written


# ---------------------------------------------------------------------------------------------
# Running


def _failed_record(index: int, text: str, error: str) -> Dict[str, Any]:
    from .rule_class import classify
    over = error.startswith("time limit")
    record = {"index": index, "rule": text, "status": "budget" if over else "failed",
              "stopped": "seconds" if over else None, "error": error, "runs_done": 0, "terminated": 0}
    record["class"] = classify(record)
    return record


class _StopOnTerm:
    """SIGTERM as a Ctrl-C, once: the first stops the survey, later ones wait for its files."""

    def __init__(self):
        self.received = False

    def __call__(self, signum, frame):
        if not self.received:
            self.received = True
            raise KeyboardInterrupt(f"signal {signum}")


def survey(rules, init: Any = "{{1,1},{1,1}}", steps: int = 1000, runs: int = 4, *,
           executor: Optional[Executor] = None, workers: Optional[int] = None, seed: int = 0,
           budget: Any = None, out=None, semantics: str = "DPO", pictures: bool = True,
           measure: bool = True, force: bool = False, progress: bool = True,
           title: Optional[str] = None) -> SurveyResult:
    """Run every rule of ``rules`` ``runs`` times for ``steps`` steps from ``init``; measure and classify each.

    - ``rules``: rule texts or :class:`~vornkit.Rule` objects (a text may hold several).
    - ``init``: the initial hypergraph, text or a list of hyperedges.
    - ``executor``: any ``concurrent.futures.Executor`` (e.g. :func:`vornkit.dask_executor`);
      None: a pool of ``workers`` processes on this machine (default one per core), in which a
      worker that dies or runs far past the rule's time costs only its rule.
    - ``seed``: run ``j`` of rule ``i`` is seeded with ``member_seed(member_seed(seed, i), j)``, so a
      survey repeats exactly, whatever the executor and however it was stopped and resumed.
    - ``budget``: a :class:`Budget` (or dict) of seconds per rule and hyperedges per run.
    - ``out``: the output folder (see the module docstring).  A folder holding this same survey is
      resumed: finished rules are kept, the others run.  One holding a different survey is refused
      with :class:`SurveyError` unless ``force``, which replaces it.  Without ``out`` nothing is written.
    - ``pictures``: draw each rule and its final hypergraph; ``measure``: estimate shape, dimension
      and curvature (without, only counts and growth are kept).

    Ctrl-C or SIGTERM stops the survey: workers are stopped, the finished rules are kept and
    written, and the result's ``reason`` is ``"interrupted"``.
    """
    from .ensemble import describe_executor, default_workers
    from .rng import member_seed

    parsed = parse_rules(rules)
    if not parsed:
        raise SurveyError("no rules to survey")
    texts = [_rule_text(r) for r in parsed]
    # As text and back, so that "{{1,2}}" and [[1, 2]] are the same survey.
    init_edges = parse_hypergraph(init if isinstance(init, str) else format_hypergraph(as_edges(init)))
    steps = whole_number(steps, "steps")
    runs = whole_number(runs, "runs", minimum=1)
    seed = check_seed(seed)
    budget = _as_budget(budget)
    if not isinstance(semantics, str) or semantics.upper() not in ("DPO", "SPO"):
        raise ValueError(f"semantics must be 'DPO' or 'SPO', got {semantics!r}")
    semantics = semantics.upper()
    if executor is not None and workers is not None:
        raise ValueError("workers sizes the default process pool; with an executor, size the executor")
    if workers is not None:
        workers = whole_number(workers, "workers", minimum=1)
    _check_first_rule(parsed, init_edges, semantics)

    identity = _identity(texts, init_edges, steps, runs, seed, semantics, budget, bool(pictures), bool(measure))
    out = None if out is None else os.fspath(out)
    width = _width(len(texts))
    records: Dict[int, Dict[str, Any]] = {}
    if out is not None:
        _prepare(out, identity, texts, force)
        records.update(_load_finished(out, texts))
    resumed = len(records)

    def payload(i: int) -> Dict[str, Any]:
        rule_seed = member_seed(seed, i)
        return {"index": i, "rule": texts[i], "init": init_edges, "steps": steps,
                "seeds": [member_seed(rule_seed, j) for j in range(runs)], "semantics": semantics,
                "budget": budget.plain(), "pictures": bool(pictures), "measure": bool(measure)}

    pending = [i for i in range(len(texts)) if i not in records]
    started = time.perf_counter()
    run_time = 0.0
    reason = "completed"
    bar = None
    previous = None
    # SIGTERM stops the survey like Ctrl-C, unless the caller handles it already (the command does).
    if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGTERM) in (
            signal.SIG_DFL, None):
        previous = signal.signal(signal.SIGTERM, _StopOnTerm())
    described = ""
    try:
        if progress and pending:
            from tqdm import tqdm
            bar = tqdm(total=len(texts), initial=resumed, unit="rule", dynamic_ncols=True)

        def finished(record: Dict[str, Any]) -> None:
            nonlocal run_time
            run_time += record.get("wall_time") or 0.0
            if out is not None:
                record = _store(out, record, width)
            else:
                from .survey_table import plain
                record = plain(record)
            records[record["index"]] = record
            if bar is not None:
                bar.update(1)
                failed = sum(1 for r in records.values() if r.get("status") == "failed")
                if failed:
                    bar.set_postfix(failed=failed, refresh=False)

        try:
            if not pending:
                described = "none (every rule was finished before)"
            elif executor is None:
                from .worker_pool import TaskPool
                size = min(workers or default_workers(), max(len(pending), 1))
                described = f"process pool ({size} workers)"
                grace = None if budget.seconds is None else budget.seconds * 1.5 + 30
                with TaskPool(size, "vornkit.survey_member:run_rule") as pool:
                    for key, ok, value in pool.run(((i, payload(i)) for i in pending),
                                                   limit=lambda _p: grace):
                        finished(value if ok else _failed_record(key, texts[key], value))
            else:
                described = describe_executor(executor)
                _run_on_executor(executor, pending, payload, texts, finished)
        except KeyboardInterrupt:
            reason = "interrupted"
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        if bar is not None:
            bar.close()
    ordered = [records[i] for i in sorted(records)]
    wall = time.perf_counter() - started
    if out is not None:
        shown = {"rules": len(texts), "finished": len(ordered), "init": format_hypergraph(init_edges), "steps": steps,
                 "runs": runs, "seed": seed, "semantics": semantics}
        write_outputs(out, ordered, title=title or _default_title(texts), meta=shown, pictures=pictures)
        _write_meta(out, identity, state="completed" if reason == "completed" and len(ordered) == len(texts)
                    else "interrupted", finished=len(ordered), failed=sum(r.get("status") == "failed" for r in ordered))
    return SurveyResult(rules=texts, records=ordered, reason=reason, wall_time=wall, run_time=run_time,
                        resumed=resumed, out=out, executor=described, settings=identity)


def _default_title(texts: Sequence[str]) -> str:
    return f"Survey of {len(texts):,} rule{'s' if len(texts) != 1 else ''}"


def _check_first_rule(rules: Sequence[Rule], init, semantics: str) -> None:
    """Build the first rule once here, so that a rule the engine refuses fails once, clearly."""
    try:
        import vorn
    except ImportError:
        return  # the workers may still have it (a remote cluster)
    from .initial import start
    from .notation import check_rules
    check_rules(rules)
    engine = vorn.Engine()
    engine.set_semantics(semantics)
    start(engine, init, [rules[0]])


#: Rules handed to an executor at a time: enough to keep a cluster busy, few enough that waiting
#: on them stays cheap and that a stop has little to cancel.
IN_FLIGHT = 256


def _run_on_executor(executor: Executor, pending: Sequence[int], payload, texts: Sequence[str], finished) -> None:
    from .survey_member import run_rule

    queue = iter(pending)
    inflight: Dict[Any, int] = {}
    broken: Optional[str] = None

    def submit_more() -> None:
        nonlocal broken
        while broken is None and len(inflight) < IN_FLIGHT:
            i = next(queue, None)
            if i is None:
                return
            try:
                inflight[executor.submit(run_rule, payload(i))] = i
            except Exception as exc:  # a closed or broken executor: nothing further starts
                broken = f"not started: {type(exc).__name__}: {exc}"
                finished(_failed_record(i, texts[i], broken))

    try:
        submit_more()
        while inflight:
            done, _ = wait(set(inflight), return_when=FIRST_COMPLETED)
            for fut in done:
                i = inflight.pop(fut)
                try:
                    record = fut.result(timeout=0)
                except CancelledError:
                    continue
                except BaseException as exc:  # a killed worker, a lost connection ...
                    record = _failed_record(i, texts[i], f"{type(exc).__name__}: {exc}")
                if not isinstance(record, dict) or "index" not in record:
                    record = _failed_record(i, texts[i], f"the worker returned {type(record).__name__}")
                finished(record)
            submit_more()
        if broken is not None:
            for i in queue:
                finished(_failed_record(i, texts[i], broken))
    except BaseException:
        for fut in inflight:
            fut.cancel()
        raise
