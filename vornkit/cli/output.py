"""Where a command's results go: checks of output paths before the work, the files after it, and
standard output, whose failure is reported as a well-behaved Unix tool reports it."""

from __future__ import annotations

import os
import sys
from typing import Callable, List, Optional, Sequence, Tuple, Union

from ..notation import shorten
from .status import EXIT_FAILURE, EXIT_PIPE_CLOSED, UserError


def check_output(option: str, path: Optional[str], image: bool) -> None:
    if path is None:
        return
    if not path:
        raise UserError(f"{option}: the file name is empty")
    if image:
        from ..formats import picture_format
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


def check_distinct_outputs(outputs: Sequence[Tuple[str, Optional[str]]], resume: Optional[str] = None) -> None:
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


def write_outputs(outputs: Sequence[Tuple[str, Union[str, Callable[[], str]], Callable[[], object]]]
                   ) -> Tuple[List[str], List[str]]:
    """Run each ``(path, label, write)`` in order; the labels written and one message per failure.

    A callable ``label`` is asked for the label once its file is written.
    """
    written: List[str] = []
    errors: List[str] = []
    for path, label, write in outputs:
        try:
            write()
        except (OSError, MemoryError, ValueError) as exc:
            detail = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
            errors.append(f"cannot write {path}: {shorten(detail)}")
        else:
            written.append(label() if callable(label) else label)
    return written, errors


class StdoutError(Exception):
    """Standard output cannot be written (a closed pipe, a full device)."""

    def __init__(self, error: OSError):
        super().__init__(str(error))
        self.error = error


def out(text: str) -> None:
    """Write ``text`` to standard output at once."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as exc:
        raise StdoutError(exc) from None


def stdout_failed(name: str, error: OSError) -> int:
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

