"""The native number formatting behind the run record and HIF writers (companion_text)."""

import numpy as np
import pytest

from vornkit._companion import native
from vornkit.export import _filled


def test_native_template_filling_matches_python_formatting_and_rejects_mismatches():
    rng = np.random.default_rng(1)
    templates = {0: "[]", 1: "[%d]", 3: '{"e": [%d, %d, %d]}'}
    arity = rng.choice([0, 1, 3], size=500)
    values = rng.integers(-2**63, 2**63 - 1, size=int(arity.sum()), dtype=np.int64)
    want = ", ".join(templates[a] for a in arity.tolist()) % tuple(values.tolist())
    assert _filled(templates, arity, values) == want
    # ids beyond int64 still come out whole, through Python's formatting
    assert _filled({1: "[%d]"}, [1, 1], [2**64 - 1, 5]) == "[%d], [5]" % (2**64 - 1)
    with pytest.raises(ValueError, match="slots"):
        native().fill_templates(["%d %d"], np.zeros(2, np.int64), np.zeros(3, np.int64))
    with pytest.raises(ValueError, match="out of range"):
        native().fill_templates(["%d"], np.array([1], np.int64), np.zeros(1, np.int64))


def test_native_template_filling_of_nothing_is_empty():
    assert native().fill_templates(["[%d]"], np.zeros(0, np.int64), np.zeros(0, np.int64)) == ""
    assert _filled({1: "[%d]"}, [], []) == ""
