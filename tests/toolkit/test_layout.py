import numpy as np
import pytest

from vornkit.layout import force_layout
from vornkit.plotting import _distinct_count, _layout


def grid_pairs(rows, cols):
    at = np.arange(rows * cols).reshape(rows, cols)
    return np.concatenate([np.c_[at[:, :-1].ravel(), at[:, 1:].ravel()],
                           np.c_[at[:-1].ravel(), at[1:].ravel()]])


def test_same_seed_same_layout_and_degenerate_sizes():
    pairs = grid_pairs(12, 12)
    a, b = force_layout(144, pairs, seed=4), force_layout(144, pairs, seed=4)
    assert a.shape == (144, 2) and np.array_equal(a, b)
    assert np.isfinite(a).all()
    assert force_layout(0, np.zeros((0, 2))).shape == (0, 2)
    # Self-pairs and repeats are ignored; a lone vertex sits at the origin.
    assert np.array_equal(force_layout(1, [[0, 0], [0, 0]]), np.zeros((1, 2)))


def test_grid_unfolds_and_path_stays_in_order():
    xy = force_layout(400, grid_pairs(20, 20), seed=0)
    pairs = grid_pairs(20, 20)
    edge = np.linalg.norm(xy[pairs[:, 0]] - xy[pairs[:, 1]], axis=1)
    # Grid neighbours are close, opposite corners far apart (a folded or
    # collapsed grid fails one or the other), and edges have similar lengths.
    corners = np.linalg.norm(xy[0] - xy[399]), np.linalg.norm(xy[19] - xy[380])
    assert min(corners) > 12 * np.median(edge)
    assert np.percentile(edge, 95) < 3 * np.median(edge)
    path = force_layout(60, np.c_[np.arange(59), np.arange(1, 60)], seed=0)
    # Distance from the first vertex grows along the path.
    from_start = np.linalg.norm(path - path[0], axis=1)
    assert np.corrcoef(from_start, np.arange(60))[0, 1] > 0.95


def test_separate_parts_do_not_overlap():
    # Two triangles and an isolated vertex.
    xy = force_layout(7, [[0, 1], [1, 2], [2, 0], [3, 4], [4, 5], [5, 3]], seed=1)
    first, second = xy[:3], xy[3:6]
    gap = np.linalg.norm(first[:, None] - second[None], axis=2).min()
    assert gap > 0.5 * np.linalg.norm(first[0] - first[1])
    assert len({tuple(p) for p in np.round(xy, 6)}) == 7


def test_hypergraph_layout_keys_and_closed_rings():
    # A ternary hyperedge's vertices sit together even when the chain alone
    # would put its ends far apart.
    edges = [[1, 2, 3], [3, 4], [4, 5], [5, 6], [6, 1]]
    pos = _layout([1, 2, 3, 4, 5, 6, 9], edges, seed=0)
    assert set(pos) == {1, 2, 3, 4, 5, 6, 9}
    assert np.linalg.norm(pos[1] - pos[3]) < np.linalg.norm(pos[1] - pos[5])


@pytest.mark.parametrize("a, b", [([], []), ([5, 5, 7], [7, 9]), ([0, 2**40], [3]), ([1, 2], [])])
def test_distinct_count(a, b):
    a, b = np.array(a, dtype=np.int64), np.array(b, dtype=np.int64)
    assert _distinct_count(a, b) == len(set(a.tolist()) | set(b.tolist()))
