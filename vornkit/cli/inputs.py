"""The model a command runs: its rules and initial hypergraph from the options, and the engine module."""

from __future__ import annotations

from .status import EXIT_FAILURE, UserError


def rules_and_init(args):
    """The --rule texts and the --init hypergraph, or a UserError naming the option."""
    from ..notation import RuleSyntaxError, parse_hypergraph, parse_rules

    rules = []
    for text in args.rule:
        try:
            rules.extend(parse_rules(text))
        except RuleSyntaxError as exc:
            raise UserError(f"--rule: {exc}") from None
    try:
        init = parse_hypergraph("{}" if args.init is None else args.init)
    except RuleSyntaxError as exc:
        raise UserError(f"--init: {exc}") from None
    return rules, init


def engine_module():
    """The vorn extension, or a UserError saying it is not installed."""
    try:
        import vorn
    except ImportError as exc:
        raise UserError(f"the vorn engine cannot be imported ({exc}); is the package installed?",
                        EXIT_FAILURE) from None
    return vorn
