import xml.etree.ElementTree as ET

import matplotlib.image as mpimg
import numpy as np
import pytest

import vornkit
from conftest import GROWTH_RULE


SMALL = [[1, 2, 3], [3, 4], [4, 4], [5], [5, 6, 7, 8], [8, 1], [2, 9, 2], []]


def test_small_hypergraph_png(tmp_path):
    path = tmp_path / "h.png"
    fig = vornkit.plot_hypergraph(SMALL, path, figsize=(4, 3), dpi=100)
    image = mpimg.imread(path)
    assert image.shape[:2] == (300, 400)
    assert image[..., :3].std() > 0.05  # something was drawn
    ax = fig.axes[0]
    assert len(ax.texts) == 9  # one label per vertex
    assert "9 vertices, 8 hyperedges" in ax.get_title()
    # same input, same seed: same picture
    again = tmp_path / "again.png"
    vornkit.plot_hypergraph(SMALL, again, figsize=(4, 3), dpi=100)
    assert np.array_equal(mpimg.imread(again), image)


def test_engine_growth_svg_and_size_limit(engine, tmp_path):
    vornkit.start(engine, [[1, 2], [1, 3]], rules=GROWTH_RULE)
    engine.run(300)
    path = tmp_path / "g.svg"
    fig = vornkit.plot_hypergraph(engine, path, max_edges=100)
    assert ET.parse(path).getroot().tag.endswith("svg")
    title = fig.axes[0].get_title()
    assert f"{engine.node_count():,} vertices, {engine.edge_count():,} hyperedges" in title
    assert "showing the 100 hyperedges nearest to vertex" in title
    assert not fig.axes[0].texts  # more than 60 vertices: no labels


def test_default_png_size_and_bad_suffix(tmp_path):
    path = tmp_path / "grid.png"
    grid = [[(i, j), (i + 1, j)] for i in range(9) for j in range(10)]
    vornkit.plot_hypergraph(grid, path, labels=False)
    assert mpimg.imread(path).shape[:2] == (1200, 1200)
    with pytest.raises(ValueError, match=r"\.png"):
        vornkit.plot_hypergraph(grid, tmp_path / "grid.txt")
    assert not (tmp_path / "grid.txt").exists()
    empty = vornkit.plot_hypergraph([], tmp_path / "empty.png")
    assert empty.axes[0].texts[0].get_text() == "empty hypergraph"


def test_growth_plot(engine, tmp_path):
    engine.add_rule([], [], [["a", "b"]], 1.0)
    result = vornkit.evolve(engine, 2000, progress=False)
    path = tmp_path / "growth.png"
    fig = vornkit.plot_growth(result, path)
    ax = fig.axes[0]
    assert ax.get_xscale() == "log" and ax.get_yscale() == "log"
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels == ["vertices (slope 1.00)", "hyperedges (slope 1.00)", "structural pairs (slope 1.00)"]
    assert ax.texts[-1].get_text().startswith("structural pairs: vertex pairs that share a hyperedge")
    # the step-0 row cannot be drawn on log axes and is left out
    assert len(ax.lines[0].get_xdata()) == len(result.history["step"]) - 1
    assert mpimg.imread(path).shape[:2] == (750, 1050)
    with pytest.raises(ValueError, match="no metric"):
        vornkit.plot_growth(result, metrics=["volume"])
    with pytest.raises(ValueError):
        vornkit.plot_growth({"nodes": [1, 2]})


def test_picture_format_table_matches_matplotlib():
    from matplotlib.backend_bases import FigureCanvasBase
    from vornkit.formats import PICTURE_FORMATS, picture_format

    listed = set(FigureCanvasBase.get_supported_filetypes())
    assert PICTURE_FORMATS <= listed  # every name the command accepts can be written
    assert listed - PICTURE_FORMATS <= {"avif"}  # and none that matplotlib writes everywhere is refused
    assert picture_format("a/B.PNG") == "png" and picture_format("x.svgz") == "svgz"
    assert picture_format("h.jpgx") == picture_format("png") == picture_format("c.txt") == ""


def test_counts_in_titles_agree_in_number():
    one = vornkit.plot_hypergraph([[1]], figsize=(2, 2), dpi=40)
    assert one.axes[0].get_title() == "1 vertex, 1 hyperedge"
    part = vornkit.plot_hypergraph([[1, 2], [2, 3], [3, 4]], max_edges=1, figsize=(2, 2), dpi=40)
    assert "4 vertices, 3 hyperedges\n(showing the 1 hyperedge nearest to vertex" in part.axes[0].get_title()
    # A hyperedge must be a list: a string is refused, not split into letters.
    with pytest.raises(TypeError, match="hyperedge 1 is a string"):
        vornkit.plot_hypergraph([[1, 2], "ab"])


def test_growth_plot_says_what_log_axes_leave_out():
    history = {"step": [0, 1, 2, 4, 8, 16], "nodes": [0, 1, 2, 4, 8, 16],
               "isolated": [0, 2, 1, 1, 0, 0], "max_degree": [0, 0, 0, 0, 0, 0]}
    ax = vornkit.plot_growth(history).axes[0]
    note = ax.texts[-1].get_text().splitlines()
    assert note == ["isolated vertices: 2 points at 0 (from step 8) not drawn on log axes",
                    "largest degree: 0 throughout, not drawn on log axes"]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels[0] == "vertices (slope 1.00)" and labels[1].startswith("isolated vertices") and len(labels) == 2
    # Nothing left out (step 0 aside), nothing said.
    quiet = vornkit.plot_growth({"step": [0, 1, 2], "nodes": [0, 1, 2]}).axes[0]
    assert not quiet.texts
