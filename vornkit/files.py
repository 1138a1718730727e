"""Output files that are complete or absent, never cut short."""

from __future__ import annotations

import errno
import fcntl
import os
import re
import secrets
import stat
import sys
from contextlib import contextmanager
from typing import IO, Iterator

__all__ = ["replaced"]


def _temporary_names(name: str):
    """The pattern of the temporary files ``replaced`` writes for a target called ``name``."""
    return re.compile(rf"\.{re.escape(name)}\.[0-9a-f]{{8}}\.tmp")


def _remove_stale_temporaries(folder: str, name: str) -> None:
    """Remove the temporary files of earlier writes of ``name`` whose writer is gone.

    A writer holds an exclusive lock on its temporary file until it has
    renamed it into place, and the lock ends with the process, so a
    temporary file that can be locked was left by a write that was killed.
    It is removed only while locked here and only if its name still leads
    to the file locked. Anything that cannot be opened, locked or checked is
    left alone.
    """
    pattern = _temporary_names(name)
    try:
        entries = os.listdir(folder or ".")
    except OSError:
        return
    for entry in entries:
        if not pattern.fullmatch(entry):
            continue
        candidate = os.path.join(folder, entry)
        try:
            fd = os.open(candidate, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held = os.fstat(fd)
            named = os.lstat(candidate)
            if stat.S_ISREG(held.st_mode) and (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino):
                os.unlink(candidate)
        except OSError:
            pass  # being written (locked), gone meanwhile, or not ours to remove
        finally:
            os.close(fd)


def _locked_temporary(folder: str, name: str, path) -> tuple:
    """A new temporary file beside the target, created and locked: (fd, its path)."""
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            # Permissions as for a plain open(): 0o666 less the umask.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        except OSError as exc:
            exc.filename = path
            raise
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held, named = os.fstat(fd), os.lstat(temporary)
            if (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino):
                return fd, temporary
        except OSError:
            pass
        # Another save took it for a stale one between its creation and the
        # lock: start again under a new name.
        os.close(fd)


def _is_stream(path: str, target: str) -> bool:
    """Whether ``path`` names a stream to write to in place rather than a file to replace:
    a device or a process's file descriptor (``/dev/stdout``, ``/dev/fd/3``, ``/proc/self/fd/1``,
    which may lead to a pipe or to a regular file the shell opened), or anything else that
    exists and is no regular file."""
    if os.path.abspath(path).startswith(("/dev/", "/proc/")):
        return True
    return os.path.exists(target) and not os.path.isfile(target)


def _same_as_standard(path: str):
    """1 or 2 when ``path`` leads to the file open as standard output or error, else None."""
    try:
        named = os.stat(path)
    except OSError:
        return None
    for fd in (1, 2):
        try:
            held = os.fstat(fd)
        except OSError:
            continue
        if (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino):
            return fd
    return None


def _refuse_read_only(path: str, target: str) -> None:
    """Raise PermissionError when ``target`` exists and is read-only.

    Replacing by rename needs only the folder's permission, so without this
    a write would silently take the place of a file its owner protected.
    Read-only means: no write permission for this process, or, for root
    (whom permissions do not stop), no write bit at all.
    """
    try:
        mode = os.stat(target).st_mode
    except OSError:
        return  # absent (or unreadable: the write reports that itself)
    if os.geteuid() == 0:
        writable = bool(mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))
    else:
        writable = os.access(target, os.W_OK, effective_ids=os.access in os.supports_effective_ids)
    if not writable:
        raise PermissionError(errno.EACCES, "the file exists and is read-only; not replacing it "
                              "(make it writable or remove it first)", path)


@contextmanager
def replaced(path, *, binary: bool = False) -> Iterator[IO]:
    """Write ``path`` through a temporary file in the same folder, renamed into place at the end.

    Until the rename, ``path`` keeps what it held before (or stays absent).
    When the block fails for any reason (an exception, an interrupt, a full
    disk, a file-size limit), the temporary file is removed and the error
    goes on; an ``OSError`` then carries ``path`` as its ``filename``.  The
    data is flushed to the disk before the rename, so a write error cannot
    surface only later.  The temporary file is locked until it is renamed; a
    write killed outright (SIGKILL, a power cut) leaves it behind unlocked,
    and the next write of the same ``path`` removes it.  A path that names
    something other than a regular file (``/dev/stdout``, a pipe) is written
    directly; a symbolic link is followed.  An existing read-only file is
    not replaced: ``PermissionError`` (nothing written, nothing left behind).
    """
    path = os.fspath(path)
    target = os.path.realpath(path)
    if _is_stream(path, target):
        # Python's own buffers go first. The process's standard output or
        # error is written through a copy of its descriptor, which shares the
        # file position (a fresh open of /dev/stdout redirected to a file
        # would have one of its own, and the two would overwrite each other);
        # anything else is appended to, never truncated.
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
        mode, extra = ("wb", {}) if binary else ("w", {"encoding": "utf-8"})
        fd = _same_as_standard(path)
        if fd is not None:
            with os.fdopen(os.dup(fd), mode, **extra) as fh:
                yield fh
        else:
            with open(path, "a" + mode[1:], **extra) as fh:
                yield fh
        return
    _refuse_read_only(path, target)
    folder, name = os.path.split(target)
    _remove_stale_temporaries(folder, name)
    fd, temporary = _locked_temporary(folder, name, path)
    try:
        with os.fdopen(fd, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8"})) as fh:
            yield fh
            fh.flush()
            os.fsync(fh.fileno())
            # Renamed while still open, so still locked.
            os.replace(temporary, target)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError):
            exc.filename = path
        raise
