"""The ``vorn`` command's entry point: parse, dispatch to the command module, turn failures into statuses."""

from __future__ import annotations

import contextlib
import io
import sys
from typing import Optional, Sequence

from . import ensemble, run
from .output import StdoutError, out, stdout_failed
from .parser import build_parser as _build_parser
from .signals import Signals
from .status import EXIT_OK, EXIT_USAGE, UserError

#: The commands, in the order help lists them.
COMMANDS = {"run": run, "ensemble": ensemble}


def build_parser():
    return _build_parser(COMMANDS.values())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``vorn`` command; returns the exit status."""
    with Signals() as signals:
        return _command(argv, signals)


def _command(argv, signals: Signals) -> int:
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
            out(text.getvalue())
        if args is None:
            return code
        if args.command is None:
            out(parser.format_help())
            return EXIT_USAGE
        name = f"vorn {args.command}"
        return COMMANDS[args.command].execute(args, signals)
    except UserError as exc:
        print(f"{name}: error: {exc}", file=sys.stderr)
        return exc.code
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return signals.status(True)
    except StdoutError as exc:
        return stdout_failed(name, exc.error)
