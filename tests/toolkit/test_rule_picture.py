"""Pictures of rules: both sides drawn with every variable at one place, as SVG."""

import xml.etree.ElementTree as ET

import pytest

import vornkit
from vornkit.rule_picture import plot_rules

GROW = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"
NS = {"s": "http://www.w3.org/2000/svg"}


def test_plot_rule_draws_both_sides_with_shared_places(tmp_path):
    svg = vornkit.plot_rule("{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}", tmp_path / "r.svg")
    assert (tmp_path / "r.svg").read_text() == svg
    ns = {"s": "http://www.w3.org/2000/svg"}
    root = ET.fromstring(svg)
    labels = [(t.text, float(t.get("x")), float(t.get("y"))) for t in root.iterfind(".//s:text", ns)]
    left = {name: (x, y) for name, x, y in labels[:3]}
    right = {name: (x, y) for name, x, y in labels[3:]}
    assert set(left) == {"x", "y", "z"} and set(right) == {"x", "y", "z", "w"}
    shift = {round(right[n][0] - left[n][0], 1) for n in left}
    assert len(shift) == 1 and {round(right[n][1] - left[n][1], 1) for n in left} == {0}
    with pytest.raises(ValueError, match=r"\.svg"):
        vornkit.plot_rule(GROW, tmp_path / "r.png")


def test_several_rules_stack_in_one_file_and_bad_rules_are_refused(tmp_path):
    text = plot_rules([GROW, "{{x}} -> {}", "{{x,y}} -> {} keep {y}"], tmp_path / "rules.svg", height=100)
    root = ET.fromstring((tmp_path / "rules.svg").read_text())
    assert text == (tmp_path / "rules.svg").read_text()
    assert root.get("height") == "300"
    groups = root.findall("s:g", NS)
    assert [g.get("transform") for g in groups] == ["translate(0 0)", "translate(0 100)", "translate(0 200)"]
    # An empty right-hand side is drawn as such, not left out.
    assert "empty" in ET.tostring(groups[1], encoding="unicode")
    with pytest.raises(TypeError, match="a rule must be"):
        vornkit.plot_rule(42)
    with pytest.raises(vornkit.RuleSyntaxError):
        vornkit.plot_rule("{{x,y} -> {}")
