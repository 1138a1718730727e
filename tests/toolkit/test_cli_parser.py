"""The command's parser: every command is registered, and each words and requires the shared options as it
needs them."""

import pytest

from vornkit.cli import build_parser
from vornkit.cli.status import EXIT_USAGE


def _parse(*argv):
    return build_parser().parse_args(list(argv))


def test_commands_are_listed_in_order_and_share_the_model_options():
    parser = build_parser()
    help_text = parser.format_help()
    assert help_text.index("run") < help_text.index("ensemble") < help_text.index("survey")
    run = _parse("run", "--rule", "{{x}} -> {}", "--steps", "1e3", "--semantics", "spo", "--seed", "0x10")
    assert (run.steps, run.semantics, run.seed, run.init) == (1000, "SPO", 16, None)
    ensemble = _parse("ensemble", "--rule", "{{x}} -> {}", "--steps", "5", "--runs", "2")
    assert (ensemble.semantics, ensemble.init, ensemble.rule) == ("DPO", "{}", ["{{x}} -> {}"])


def test_only_a_resumable_command_goes_without_rule_and_steps(capsys):
    resumed = _parse("run", "--resume", "r.ckpt")
    assert resumed.rule is None and resumed.steps is None and resumed.semantics is None
    with pytest.raises(SystemExit) as stopped:
        _parse("ensemble", "--runs", "2")
    assert stopped.value.code == EXIT_USAGE
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "--rule" in err and "see 'vorn ensemble --help'" in err
