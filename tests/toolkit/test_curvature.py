import math

import numpy as np
import pytest

import vornkit
from geometries import flat_torus, hyperbolic_patch, icosphere, sphere_radius
from test_dimension import lattice


@pytest.mark.parametrize("m", [5, 7, 10])
def test_spheres_give_two_over_radius_squared(m):
    # Spheres of radius 4.8, 6.7 and 9.5 hops; over seeds the ratio stays within 0.91..1.05.
    a = sphere_radius(m)
    est = vornkit.estimate_curvature(icosphere(m), 40, seed=m)
    assert est.dimension == 2
    assert 0.85 <= est.ricci * a * a / 2 <= 1.15, (est.ricci, 2 / a ** 2, est.fit_range)
    assert len(est.per_centre) == len(est.centres) == 40
    assert est.ricci == pytest.approx(est.per_centre.mean())
    assert est.error == pytest.approx(est.per_centre.std(ddof=1) / math.sqrt(40))
    lo, hi = est.fit_range
    assert lo == 1 and hi - lo >= 2 and est.volumes[hi] <= 0.5 * est.volumes[-1]


@pytest.mark.parametrize("edges", [flat_torus(30), lattice(30, 2, True)], ids=["triangular", "square"])
def test_flat_tori_are_flat(edges):
    # The lattice's discrete-ball offset (3 r^2 + 3 r + 1, 2 r^2 + 2 r + 1) must not read as curvature:
    # a sphere of about this size has R = 0.02.
    est = vornkit.estimate_curvature(edges, 20)
    assert est.dimension == 2
    assert abs(est.ricci) < 1e-3


def test_hyperbolic_tiling_is_negatively_curved():
    # Seven triangles at every vertex: an angle excess of pi/3 per vertex, by Gauss-Bonnet about
    # R = -2 per hop^2 (calibrated by the spheres' area per vertex).  The linear term of the volume law
    # is fitted where |R| r^2 is not small, which lowers the magnitude (measured -1.53).
    edges = hyperbolic_patch(12)
    centre = [0]
    est = vornkit.estimate_curvature(edges, centres=centre, dimension=2, fit_range=(1, 4))
    assert -2.5 < est.ricci < -1.0
    assert math.isnan(est.error) and est.centres == centre


def test_engine_and_networkx_sources_agree_with_the_edge_list(engine):
    import networkx as nx

    edges = icosphere(6)
    labels = vornkit.start(engine, edges)
    by_list = vornkit.estimate_curvature(edges, 15, seed=3)
    by_engine = vornkit.estimate_curvature(engine, centres=[labels[c] for c in by_list.centres])
    assert by_engine.ricci == pytest.approx(by_list.ricci)
    g = nx.Graph()
    for a, b, c in edges:
        g.add_edges_from([(a, b), (b, c), (a, c)])
    by_graph = vornkit.estimate_curvature(g, centres=by_list.centres)
    assert by_graph.ricci == pytest.approx(by_list.ricci) and by_graph.dimension == 2


def test_bad_input_is_refused():
    sphere = icosphere(4)
    for kwargs, text in [({"samples": 0}, "samples"), ({"dimension": 0}, "dimension"),
                         ({"dimension": float("nan")}, "dimension"), ({"dimension": "2"}, "dimension"),
                         ({"fit_range": (0, 5)}, "fit_range"), ({"fit_range": (1, 2, 3)}, "fit_range"),
                         ({"fit_range": (2, 3)}, "too few radii"), ({"centres": ["nowhere"]}, "not a vertex"),
                         ({"centres": []}, "empty"), ({"max_fraction": 0}, "max_fraction"),
                         ({"max_fraction": "half"}, "max_fraction")]:
        with pytest.raises(ValueError, match=text):
            vornkit.estimate_curvature(sphere, **kwargs)
    with pytest.raises(ValueError, match="empty"):
        vornkit.estimate_curvature([])
    with pytest.raises(ValueError, match="too small"):
        vornkit.estimate_curvature([[1, 2], [2, 3]])
    # Three radii are enough; the default range of a small graph may have fewer.
    assert np.isfinite(vornkit.estimate_curvature(sphere, 5, dimension=np.int64(2), fit_range=(1, 3)).ricci)
