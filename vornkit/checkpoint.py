"""Checkpoints: save an engine to a file and load it to continue exactly.

A checkpoint holds everything the engine needs to go on as it would have:
the hypergraph with its internal layout, the rules, the settings and
counters, the random generator's state, the undo record of the last step
and the causal record. An engine loaded from it takes the same steps as the
saved one would have; only the ids of the vertices and hyperedges it creates
from then on come from this process's counters (which loading first moves
past every id in the file), so two engines of one process never share an id.

The file: the 8 bytes ``VORNCKPT``, a little-endian format number (now 2;
format 1 differs only in the engine's bytes, which the engine reads
either way), header flags (none defined yet), the sizes of the two parts, a
JSON object of the caller's own metadata (the command line keeps its rules
and start state there), the engine's bytes, and a CRC-32 of everything
before it. It is written to a temporary file beside the target and renamed
into place, so an interrupted save never leaves a half-written checkpoint
that looks valid. Loading refuses, with a ``ValueError`` naming the problem,
anything that is not a regular file, a file that is not a checkpoint, one
written by a newer vorn (a higher format number or header flags this one
does not know), a truncated or damaged one, and engine bytes that describe
no consistent engine. The header is read first and the file's size held
against the sizes it declares, so a file is never read beyond them.
"""

from __future__ import annotations

import json
import os
import stat
import struct
import zlib
from typing import Any, Dict, Optional

from ._companion import native
from .files import replaced

__all__ = ["save", "load", "FORMAT"]

MAGIC = b"VORNCKPT"
FORMAT = 2
_OLDEST_FORMAT = 1
_HEADER = struct.Struct("<8sIIQQ")  # magic, format, flags, metadata bytes, engine bytes
_CRC = struct.Struct("<I")


def save(engine, path, *, metadata: Optional[Dict[str, Any]] = None) -> None:
    """Write ``engine`` to the checkpoint file ``path`` (see the module's text).

    ``metadata`` is any JSON-serialisable dict stored beside the engine and
    returned by ``load(path, metadata=True)``.
    """
    meta = json.dumps(metadata or {}, allow_nan=False).encode("utf-8")
    state = native().save(engine)
    head = _HEADER.pack(MAGIC, FORMAT, 0, len(meta), len(state))
    crc = zlib.crc32(state, zlib.crc32(meta, zlib.crc32(head)))
    with replaced(path, binary=True) as out:
        out.write(head)
        out.write(meta)
        out.write(state)
        out.write(_CRC.pack(crc))


def load(path, *, metadata: bool = False):
    """The engine saved in the checkpoint file ``path``.

    With ``metadata=True``, a pair ``(engine, metadata)``. Raises
    ``ValueError`` when ``path`` is not a regular file, is no vorn
    checkpoint, was written by a newer vorn, is truncated or damaged, or holds
    no consistent engine; ``OSError`` when it cannot be read.
    """
    name = str(path)
    # Opened without blocking (a FIFO would wait for a writer) and refused
    # unless it is a regular file (a device could be read without end).
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{name} is not a regular file")
        f = os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise
    size = info.st_size
    with f:
        head = f.read(_HEADER.size)
        if len(head) < len(MAGIC) or head[:len(MAGIC)] != MAGIC:
            raise ValueError(f"{name} is not a vorn checkpoint")
        if size < _HEADER.size + _CRC.size or len(head) < _HEADER.size:
            raise ValueError(f"{name} is truncated: {size} bytes, too short for a checkpoint")
        _, fmt, flags, meta_len, state_len = _HEADER.unpack(head)
        if fmt > FORMAT:
            raise ValueError(f"{name} was written by a newer vorn (checkpoint format {fmt}; "
                             f"this one reads formats {_OLDEST_FORMAT} to {FORMAT})")
        if fmt < _OLDEST_FORMAT:
            raise ValueError(f"{name} has no valid checkpoint format number ({fmt})")
        if flags != 0:
            raise ValueError(f"{name} was written by a newer vorn (header flags {flags:#x}, "
                             f"which this one does not know)")
        expected = _HEADER.size + meta_len + state_len + _CRC.size
        if size < expected:
            raise ValueError(f"{name} is truncated: {size} of {expected} bytes")
        if size > expected:
            raise ValueError(f"{name} has {size - expected} bytes after the end of the checkpoint")
        data = head + f.read(expected - _HEADER.size)
    if len(data) != expected:  # changed while being read
        raise ValueError(f"{name} is truncated: {len(data)} of {expected} bytes")
    body = memoryview(data)[:expected - _CRC.size]
    (crc,) = _CRC.unpack_from(data, expected - _CRC.size)
    if zlib.crc32(body) != crc:
        raise ValueError(f"{name} is damaged: its checksum does not match its contents")
    meta_start = _HEADER.size
    state_start = meta_start + meta_len
    try:
        meta = json.loads(bytes(body[meta_start:state_start]).decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise ValueError(f"{name} has unreadable metadata: {exc}") from None
    except RecursionError:
        raise ValueError(f"{name} has unreadable metadata: nested too deeply") from None
    try:
        engine = native().load(body[state_start:])
    except ValueError as exc:
        raise ValueError(f"{name}: {exc}") from None
    return (engine, meta) if metadata else engine
