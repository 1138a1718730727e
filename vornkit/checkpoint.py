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
against the sizes it declares, so a file is never read beyond them. Saving
and loading stream the engine's bytes to and from the file a piece at a
time, with the checksum computed on the way, so either needs little memory
beyond the engine's own.
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


_PIECE = 1 << 20  # bytes read or written at a time


def save(engine, path, *, metadata: Optional[Dict[str, Any]] = None) -> None:
    """Write ``engine`` to the checkpoint file ``path`` (see the module's text).

    ``metadata`` is any JSON-serialisable dict stored beside the engine and
    returned by ``load(path, metadata=True)``. The engine's bytes go to the
    file a piece at a time as they are made, the checksum with them, so a
    save needs little memory beyond the engine's own.
    """
    meta = json.dumps(metadata or {}, allow_nan=False).encode("utf-8")
    crc = 0
    with replaced(path, binary=True) as out:
        def begin(state_len):
            nonlocal crc
            head = _HEADER.pack(MAGIC, FORMAT, 0, len(meta), state_len)
            crc = zlib.crc32(meta, zlib.crc32(head))
            out.write(head)
            out.write(meta)

        def write(piece):
            nonlocal crc
            crc = zlib.crc32(piece, crc)
            out.write(piece)

        native().save_stream(engine, begin, write)
        out.write(_CRC.pack(crc))


class _Body:
    """The rest of an open checkpoint file after its header: read in pieces,
    each counted into the checksum, and the checksum compared as soon as the
    last byte of the engine's part is read (so that a mismatch stops a load
    before it hands out an engine)."""

    def __init__(self, f, name, crc, expected, left):
        self.f, self.name, self.crc = f, name, crc
        self.expected = expected  # the file's size
        self.left = left          # bytes before the checksum still to read
        self.checked = False
        self.refused = False  # whether this raised (the load's ValueError is then the file's)

    def refuse(self, text):
        self.refused = True
        raise ValueError(text)

    def read(self, n):
        n = min(n, self.left)
        piece = self.f.read(n) if n > 0 else b""
        if len(piece) < n:  # the file shrank while being read
            self.refuse(f"{self.name} is truncated: it ended while being read "
                        f"({self.expected} bytes were declared)")
        self.crc = zlib.crc32(piece, self.crc)
        self.left -= len(piece)
        if self.left == 0 and not self.checked:
            self.check()
        return piece

    def check(self):
        self.checked = True
        tail = self.f.read(_CRC.size)
        if len(tail) < _CRC.size:
            self.refuse(f"{self.name} is truncated: it ended while being read "
                        f"({self.expected} bytes were declared)")
        if _CRC.unpack(tail)[0] != self.crc:
            self.refuse(f"{self.name} is damaged: its checksum does not match its contents")

    def drain(self):
        """Read what is left, so that a damaged file is reported as such."""
        while self.left > 0:
            self.read(_PIECE)
        if not self.checked:
            self.check()


def load(path, *, metadata: bool = False):
    """The engine saved in the checkpoint file ``path``.

    With ``metadata=True``, a pair ``(engine, metadata)``. Raises
    ``ValueError`` when ``path`` is not a regular file, is no vorn
    checkpoint, was written by a newer vorn, is truncated or damaged, or holds
    no consistent engine; ``OSError`` when it cannot be read. The file is
    read a piece at a time as the engine is rebuilt, so a load needs little
    memory beyond the engine's own; the checksum is compared before the
    engine is handed out.
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
        body = _Body(f, name, zlib.crc32(head), expected, meta_len + state_len)
        raw_meta = body.read(meta_len)
        # A damaged file is reported as damaged before anything read from it.
        try:
            meta = json.loads(raw_meta.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as exc:
            body.drain()
            raise ValueError(f"{name} has unreadable metadata: {exc}") from None
        except RecursionError:
            body.drain()
            raise ValueError(f"{name} has unreadable metadata: nested too deeply") from None
        try:
            engine = native().load_stream(body.read, state_len)
        except ValueError as exc:
            if body.refused:  # the file's own problem (its checksum, or its end)
                raise
            body.drain()
            raise ValueError(f"{name}: {exc}") from None
        body.drain()  # (all read already: an engine's bytes end where the file's part does)
    return (engine, meta) if metadata else engine
