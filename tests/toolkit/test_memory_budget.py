"""Runs within a memory limit: sizes, and a run that stops before its
(simulated) resident size passes the limit, its state whole."""

import pytest

import vorn
import vornkit
from vornkit.evolve import evolve
from vornkit.memory import MemoryBudget, parse_size, resident_bytes

from conftest import GROWTH_RULE


def test_sizes():
    assert parse_size("512M") == 512 << 20
    assert parse_size("2G") == parse_size("2g") == parse_size("2GiB") == 2 << 30
    assert parse_size("1.5K") == 1536 and parse_size("1000") == 1000
    for bad in ("", "12X", "-3M", "M", "0", "1..5G"):
        with pytest.raises(ValueError, match="not a size"):
            parse_size(bad)
    assert resident_bytes() > 1 << 20


@pytest.mark.parametrize("chunk", [None, 5000])
def test_a_run_stops_before_it_passes_the_limit(chunk):
    engine = vorn.Engine()
    vornkit.start(engine, "{{1,2},{1,3}}", rules=GROWTH_RULE)
    # A process whose size is 10 MB plus 2 kB a vertex, with jumps of 1 MB
    # every 1000 vertices (as an array doubling might), against a 40 MB limit
    # of which 2 MB is kept for the outputs.
    peak = []

    def resident():
        n = engine.node_count()
        size = (10 << 20) + 2048 * n + (1 << 20) * (n // 1000 % 2)
        peak.append(size)
        return size

    budget = MemoryBudget(40 << 20, margin=lambda now: 2 << 20, resident=resident)
    result = evolve(engine, 10**6, chunk=chunk, progress=False, keep_final=False, memory=budget)
    assert result.reason == "memory"
    assert 0 < result.steps_done < 10**6
    assert resident() <= (40 << 20) - (2 << 20)
    # It got reasonably close: the reserve is a quarter of the size and a
    # factor two on the growth still to come.
    assert resident() > (20 << 20), resident()
    assert result.history["step"][-1] == result.steps_done


def test_a_run_out_of_memory_ends_with_the_state_reached():
    class Failing:
        """An engine whose run raises MemoryError after 300 steps (as the engine does, step undone)."""

        def __init__(self, engine):
            self.engine = engine

        def run(self, n):
            left = 300 - self.engine.get_attempted_rewrites()
            self.engine.run(min(n, left))
            if n > left:
                raise MemoryError("out of memory")

        def __getattr__(self, name):
            return getattr(self.engine, name)

    engine = vorn.Engine()
    vornkit.start(engine, "{{1,2},{1,3}}", rules=GROWTH_RULE)
    budget = MemoryBudget(1 << 50)
    result = evolve(Failing(engine), 10**4, chunk=128, progress=False, memory=budget)
    assert result.reason == "memory" and result.steps_done == 300
    assert result.history["step"][-1] == 300
    with pytest.raises(MemoryError):  # without a budget it goes on to the caller
        evolve(Failing(engine), 10**4, chunk=128, progress=False)
