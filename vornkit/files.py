"""Output files that are complete or absent, never cut short."""

from __future__ import annotations

import os
import secrets
from contextlib import contextmanager
from typing import IO, Iterator

__all__ = ["replaced"]


@contextmanager
def replaced(path, *, binary: bool = False) -> Iterator[IO]:
    """Write ``path`` through a temporary file in the same folder, renamed into place at the end.

    Until the rename, ``path`` keeps what it held before (or stays absent).
    When the block fails for any reason (an exception, an interrupt, a full
    disk, a file-size limit), the temporary file is removed and the error
    goes on; an ``OSError`` then carries ``path`` as its ``filename``.  The
    data is flushed to the disk before the rename, so a write error cannot
    surface only later.  A path that names something other than a regular
    file (``/dev/stdout``, a pipe) is written directly; a symbolic link is
    followed.
    """
    path = os.fspath(path)
    target = os.path.realpath(path)
    if os.path.exists(target) and not os.path.isfile(target):
        with open(target, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8"})) as fh:
            yield fh
        return
    folder, name = os.path.split(target)
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            # Permissions as for a plain open(): 0o666 less the umask.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            exc.filename = path
            raise
    try:
        with os.fdopen(fd, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8"})) as fh:
            yield fh
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(temporary, target)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError):
            exc.filename = path
        raise
