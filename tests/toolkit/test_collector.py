"""vornkit.collector: the cyclic garbage collector is paused inside the block and
left afterwards as it was found, also when the block fails."""

import gc

import pytest

from vornkit.collector import collector_paused


@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_is_paused_and_left_as_it_was(enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        with collector_paused():
            assert not gc.isenabled()
        assert gc.isenabled() is enabled
        with pytest.raises(KeyError):
            with collector_paused():
                raise KeyError("fails inside")
        assert gc.isenabled() is enabled
    finally:
        gc.enable()
