"""Hypergraphs and causal sets of known geometry, built from coordinates or combinatorics.

Surfaces come as lists of triangles (3-vertex hyperedges); causal sets as
points sorted by time, with the causal relation or its transitive reduction.
"""

import itertools
import math

import numpy as np

# The regular icosahedron: 12 vertices, 20 faces.
_ICOSA_FACES = [
    (0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4), (11, 10, 2),
    (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5),
    (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1),
]


def icosphere(m):
    """The triangles of an icosahedron with each face cut into m^2 triangles.

    Vertices are labelled by their integer barycentric weights on the
    icosahedron's corners, so points on shared edges coincide.  There are
    10 m^2 + 2 vertices; antipodal ones are 3m hops apart, so the graph is a
    sphere of radius a = 3m / pi in hops (scalar curvature 2 / a^2).
    """
    def key(face, i, j):
        return tuple(sorted((v, w) for v, w in zip(face, (m - i - j, i, j)) if w))

    triangles = []
    for face in _ICOSA_FACES:
        for i in range(m):
            for j in range(m - i):
                triangles.append([key(face, i, j), key(face, i + 1, j), key(face, i, j + 1)])
                if i + j + 1 < m:
                    triangles.append([key(face, i + 1, j), key(face, i + 1, j + 1), key(face, i, j + 1)])
    return triangles


def sphere_radius(m):
    return 3 * m / math.pi


def flat_torus(side):
    """The triangles of a periodic triangular lattice, side x side vertices (every vertex has degree 6)."""
    triangles = []
    for i, j in itertools.product(range(side), repeat=2):
        a, b, c, d = (i, j), ((i + 1) % side, j), (i, (j + 1) % side), ((i + 1) % side, (j + 1) % side)
        triangles += [[a, b, c], [b, d, c]]
    return triangles


def hyperbolic_patch(layers, q=7):
    """The triangles of the regular tiling {3,q} (q > 6, q triangles at every vertex) within
    ``layers`` reflections of the triangles around the centre vertex 0.

    Built in the Poincare disk by reflecting triangles across their sides;
    vertices are matched by position.  Every interior vertex has q
    triangles, an angle excess of (q - 6) pi / 3 over a flat vertex: by
    Gauss-Bonnet the surface has constant negative curvature.
    """
    alpha = 2 * math.pi / q
    edge = math.acosh(math.cos(alpha) / (1 - math.cos(alpha)))
    r0 = math.tanh(edge / 2)
    points = [0j] + [r0 * complex(math.cos(k * alpha), math.sin(k * alpha)) for k in range(q)]

    def reflect(z, a, b):
        # Inversion in the circle through a and b orthogonal to the unit circle.
        if abs(a.real * b.imag - a.imag * b.real) < 1e-12:
            d = (b - a) / abs(b - a)
            return d * (z / d).conjugate()
        # Centre c: |c|^2 = r^2 + 1 and |c - a| = |c - b| = r.
        m = np.array([[2 * a.real, 2 * a.imag], [2 * b.real, 2 * b.imag]])
        rhs = np.array([abs(a) ** 2 + 1, abs(b) ** 2 + 1])
        cx, cy = np.linalg.solve(m, rhs)
        c = complex(cx, cy)
        r2 = abs(c) ** 2 - 1
        return c + r2 / (z - c).conjugate()

    index = {}

    def vid(z):
        k = (round(z.real * 1e8), round(z.imag * 1e8))
        if k not in index:
            index[k] = len(index)
        return index[k]

    start = [(points[0], points[k + 1], points[(k + 1) % q + 1]) for k in range(q)]
    seen = {tuple(sorted(vid(z) for z in t)) for t in start}
    frontier = start
    for _ in range(layers):
        nxt = []
        for tri in frontier:
            for s in range(3):
                a, b, c = tri[s], tri[(s + 1) % 3], tri[(s + 2) % 3]
                new = (a, b, reflect(c, a, b))
                k = tuple(sorted(vid(z) for z in new))
                if k not in seen:
                    seen.add(k)
                    nxt.append(new)
        frontier = nxt
    return [list(t) for t in seen]


def sprinkle(n, dim, seed):
    """``n`` points uniform in the causal diamond |x| < 1 - |t - 1| of ``dim``-dimensional
    Minkowski space (0 < t < 2), sorted by time: an (n, dim) array of (t, x...)."""
    rng = np.random.default_rng(seed)
    out = []
    while sum(len(o) for o in out) < n:
        p = rng.uniform(-1, 1, size=(4 * n, dim))
        p[:, 0] += 1
        keep = np.sqrt((p[:, 1:] ** 2).sum(axis=1)) < 1 - np.abs(p[:, 0] - 1)
        out.append(p[keep])
    p = np.concatenate(out)[:n]
    return p[np.argsort(p[:, 0], kind="stable")]


def sprinkled_links(points, cut=40.0):
    """The links (related pairs with nothing between) of a time-sorted sprinkling, as (causes, effects).

    A pair x < y at proper time tau spans an interval that holds on average
    n (tau / 2)^d of the n points (the whole diamond has tau = 2), and is
    empty with probability about exp(-that).  Only pairs expecting at most
    ``cut`` points are tested (exp(-40) leaves no link out in practice);
    each test ANDs x's future with y's past as packed bit rows.
    """
    n, dim = points.shape
    t, x = points[:, 0], points[:, 1:]
    rel = np.zeros((n, n), dtype=bool)  # rel[i, j]: i < j; only later points can be above
    near_tau2 = 4 * (cut / n) ** (2 / dim)
    causes, effects = [], []
    for s in range(0, n, 500):
        rows = slice(s, min(n, s + 500))
        dt = t[None, s:] - t[rows, None]
        tau2 = dt * dt
        for k in range(dim - 1):
            tau2 -= np.square(x[None, s:, k] - x[rows, None, k])
        later = (tau2 > 0) & (dt > 0)
        rel[rows, s:] = later
        a, b = np.nonzero(later & (tau2 <= near_tau2))
        causes.append(a + s)
        effects.append(b + s)
    width = ((n + 63) // 64) * 8
    future = np.zeros((n, width), dtype=np.uint8)
    past = np.zeros((n, width), dtype=np.uint8)
    future[:, :(n + 7) // 8] = np.packbits(rel, axis=1)
    past[:, :(n + 7) // 8] = np.packbits(rel.T, axis=1)
    del rel
    future64, past64 = future.view(np.uint64), past.view(np.uint64)
    causes, effects = np.concatenate(causes), np.concatenate(effects)
    keep = np.ones(len(causes), dtype=bool)
    for s in range(0, len(causes), 20000):
        c, e = causes[s:s + 20000], effects[s:s + 20000]
        keep[s:s + 20000] = ~(future64[c] & past64[e]).any(axis=1)
    return causes[keep], effects[keep]


def related_pairs(points):
    """Every related pair (x, y) with x < y, as (causes, effects), by brute force (small sets)."""
    dt = points[None, :, 0] - points[:, None, 0]
    dx2 = ((points[None, :, 1:] - points[:, None, 1:]) ** 2).sum(axis=2)
    return np.nonzero((dt > 0) & (dt * dt > dx2))
