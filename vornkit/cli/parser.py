"""The ``vorn`` command's parser: the top level, and the options that several commands share.

Each command module adds its own subparser (``add_parser``) and runs it (``execute``).
"""

from __future__ import annotations

import argparse

from . import values
from .status import EXIT_USAGE

DESCRIPTION = """\
Evolve a hypergraph by random rewriting and report what happened.

Each step picks a random vertex and a rule (by weight) and, if the rule's
left-hand side matches there, replaces the matched hyperedges by the
right-hand side.  Rules are written in set notation:

  {{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}

Every name (integers too) is a variable: a name on both sides is kept, a
name only on the left is deleted, a name only on the right is a new vertex.
"keep {y}" after the right-hand side keeps left-hand-side names it does not
mention: {{x,y}} -> {} keep {y} deletes x and keeps y.

Hyperedges are ordered, but matching is not: a left-hand-side pattern
matches any hyperedge at least as long as the pattern that contains the
pattern's vertices, in any order and multiplicity.  With x = 1 and y = 2,
{{x,y}} matches the hyperedges {1,2}, {2,1} and {2,5,1} alike, and {{x,x}}
matches every hyperedge of two or more vertices that contains 1.
"""

class ArgumentParser(argparse.ArgumentParser):
    """argparse with one-line error messages."""

    def error(self, message: str):  # noqa: D401 - argparse API
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def options() -> argparse.ArgumentParser:
    """An empty parser whose options another parser takes over (argparse's ``parents``)."""
    return argparse.ArgumentParser(add_help=False)


def model_options(helps, resumable: bool = False) -> argparse.ArgumentParser:
    """The options that describe the model and its run: rules, start, steps, semantics, seed.

    ``helps`` words the help of each for the command.  With ``resumable``
    (``vorn run``, which can take all but the steps from a checkpoint
    instead), nothing is required or defaulted here: the command checks.
    """
    parsed = options()
    parsed.add_argument("--rule", action="append", required=not resumable, metavar="RULE",
                        help=helps["rule"])
    parsed.add_argument("--init", default=None if resumable else "{}", metavar="HYPERGRAPH",
                        help="initial hypergraph, e.g. \"{{1,2},{1,3}}\" (default: empty)")
    parsed.add_argument("--steps", type=values.count, required=not resumable, metavar="N", help=helps["steps"])
    parsed.add_argument("--semantics", type=values.semantics, default=None if resumable else "DPO",
                        metavar="{DPO,SPO}", help=helps["semantics"])
    parsed.add_argument("--seed", type=values.seed, default=None, metavar="N", help=helps["seed"])
    return parsed


def progress_options() -> argparse.ArgumentParser:
    parsed = options()
    parsed.add_argument("--no-progress", action="store_true",
                        help="no progress bar (it is shown only when standard error is a terminal)")
    return parsed


def build_parser(commands) -> argparse.ArgumentParser:
    """The whole parser; ``commands`` are the command modules, in the order help lists them."""
    from .. import __version__
    parser = ArgumentParser(prog="vorn", description=DESCRIPTION,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"vorn {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=ArgumentParser)
    for command in commands:
        command.add_parser(sub)
    return parser
