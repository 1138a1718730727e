"""The picture formats a figure can be saved in, known without importing matplotlib.

Importing matplotlib costs about a second, too much just to check a file
name before a long run.  The table holds the formats matplotlib's canvas
writes by itself (the Agg, PDF, PS, SVG and PGF writers); a test compares it
with matplotlib's own list.
"""

from __future__ import annotations

import os

__all__ = ["PICTURE_FORMATS", "picture_format"]

#: Suffixes (lower case, without the dot) of the picture formats matplotlib's canvas writes.
#: AVIF is left out: only recent matplotlib versions write it.
PICTURE_FORMATS = frozenset({
    "eps", "gif", "jpeg", "jpg", "pdf", "pgf", "png", "ps", "raw", "rgba", "svg", "svgz", "tif", "tiff",
    "webp",
})


def picture_format(path) -> str:
    """The format ``path``'s suffix names (lower case, no dot), or "" when it names none of
    :data:`PICTURE_FORMATS`."""
    suffix = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    return suffix if suffix in PICTURE_FORMATS else ""
