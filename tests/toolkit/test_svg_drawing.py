"""The SVG drawing of hypergraphs that survey thumbnails and rule pictures share."""

import math
import xml.etree.ElementTree as ET

from vornkit.svg_drawing import circle_positions, hypergraph_panel, svg_document

NS = {"s": "http://www.w3.org/2000/svg"}


def _document(panel, title=None):
    return ET.fromstring(svg_document(200, 100, panel.text(), title=title))


def _dots(root):
    return [(float(c.get("cx")), float(c.get("cy"))) for c in root.iterfind(".//s:g/s:circle", NS)]


def test_a_shared_frame_puts_a_vertex_at_the_same_spot_in_two_boxes():
    positions = circle_positions(["a", "b", "c", "d"])
    frame = ["a", "b", "c", "d"]
    left = _dots(_document(hypergraph_panel([["a", "b"]], positions, (0, 0, 100, 100), frame=frame)))
    right = _dots(_document(hypergraph_panel([["a", "b", "c"], ["d"]], positions, (100, 0, 100, 100),
                                             frame=frame)))
    assert len(left) == 2 and len(right) == 4
    for (lx, ly), (rx, ry) in zip(left, right):  # a and b come first in both
        assert math.isclose(rx - lx, 100) and math.isclose(ry, ly)
    for x, y in left:
        assert 0 < x < 100 and 0 < y < 100


def test_shapes_names_and_the_empty_panel():
    positions = circle_positions(["<a&b>", "y", "z"])
    panel = hypergraph_panel([["<a&b>", "<a&b>"], ["y"], ["<a&b>", "y", "z"]], positions, (0, 0, 100, 100),
                             labels=True, vertices=["z"])
    root = _document(panel, title='rules "1" & <2>')
    assert root.find("s:title", NS).text == 'rules "1" & <2>'
    assert sorted(t.text for t in root.iterfind(".//s:text", NS)) == ["<a&b>", "y", "z"]
    assert len(root.findall("s:polygon", NS)) == 1  # the three-vertex hyperedge
    # The repeated vertex is a loop circle and the one-vertex hyperedge a ring: both beside the three dots.
    assert len(root.findall("s:circle", NS)) == 2 and len(_dots(root)) == 3
    empty = _document(hypergraph_panel([], {}, (0, 0, 100, 100)))
    assert [t.text for t in empty.iterfind(".//s:text", NS)] == ["empty"]


def test_circle_positions():
    assert circle_positions(["v"]) == {"v": (0.0, 0.0)}
    four = circle_positions([1, 2, 3, 4])
    assert math.isclose(four[1][1], -1) and math.isclose(four[2][0], 1)  # the first on top, then clockwise
    assert all(math.isclose(math.hypot(x, y), 1) for x, y in four.values())
