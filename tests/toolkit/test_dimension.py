import itertools
import math

import pytest

import vornkit


def lattice(side, dim, periodic):
    edges = []
    for p in itertools.product(range(side), repeat=dim):
        for k in range(dim):
            if p[k] + 1 < side or periodic:
                q = p[:k] + ((p[k] + 1) % side,) + p[k + 1:]
                edges.append([p, q])
    return edges


def built(engine, edges):
    vornkit.start(engine, edges)
    assert engine.edge_count() == len(edges)
    return engine


@pytest.mark.parametrize("side, dim, low, high", [
    (30, 2, 1.9, 2.1),   # square lattice on a torus: no boundary
    (12, 3, 2.7, 3.2),   # cubic lattice on a 3-torus
    (200, 1, 0.9, 1.1),  # a path
])
def test_periodic_lattices(engine, side, dim, low, high):
    est = vornkit.estimate_dimension(built(engine, lattice(side, dim, dim > 1)), samples=40)
    assert low <= est.dimension <= high, (est.dimension, est.fit_range)
    lo, hi = est.fit_range
    assert 1 <= lo < hi < len(est.volumes)
    assert est.volumes[0] == 1 and all(a < b for a, b in zip(est.volumes[:hi], est.volumes[1:hi + 1]))


def test_open_grid_is_near_two(engine):
    # The boundary of a finite grid lowers the estimate somewhat.
    est = vornkit.estimate_dimension(built(engine, lattice(40, 2, False)), samples=40)
    assert 1.65 <= est.dimension <= 2.1


def test_ball_volumes_on_a_star_and_small_inputs():
    star = [[0, i] for i in range(1, 6)] + [[1, 6, 7]]
    table = vornkit.ball_volumes(star, [0, 6])
    assert table.tolist() == [[1, 6, 8, 8], [1, 3, 4, 8]]
    tiny = vornkit.estimate_dimension([[1, 2]], samples=5)
    assert math.isnan(tiny.dimension)
    with pytest.raises(ValueError):
        vornkit.estimate_dimension([])
    fixed = vornkit.estimate_dimension(lattice(30, 2, True), samples=10, fit_range=(3, 8))
    assert fixed.fit_range == (3, 8) and 1.9 < fixed.dimension < 2.1
    # A range past the largest radius is cut to it, for an engine as for a list.
    for source in (lattice(10, 2, True), built(vorn_engine(), lattice(10, 2, True))):
        wide = vornkit.estimate_dimension(source, samples=10, fit_range=(2, 10_000))
        assert wide.fit_range == (2, len(wide.volumes) - 1) and math.isfinite(wide.dimension)


def vorn_engine():
    import vorn
    return vorn.Engine()
