"""The ``vorn`` command.

One module per concern: ``main`` (entry point and dispatch), ``parser`` (the
top level and shared options), ``values`` (option value types), ``status``
(exit statuses and the one-line error), ``signals`` (Ctrl-C and SIGTERM),
``output`` (output paths, files and standard output), ``inputs`` (rules and
initial hypergraph), and one module per command: ``run`` and ``ensemble``.
"""

from .main import build_parser, main

__all__ = ["main", "build_parser"]
