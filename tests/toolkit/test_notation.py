import pytest

import vornkit
from vornkit import Rule, RuleSyntaxError, format_rule, parse_rule, parse_rules

ROUND_TRIP = [
    "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}",
    "{{1,2},{1,3}} -> {{1,2},{1,4},{2,4},{3,4}}",
    "{} -> {{a,b},{b,c}}",
    "{{x}} -> {}",
    "{{x,x},{}} -> {{x,y,y}} @ 2.5",
    "{{a_1,B2}} -> {{B2,a_1}} @ 1e-05",
    "{{ü,ß}} -> {{ß,ü}}",
    "{{x,y}} -> {} keep {y}",
    "{{x,y},{y,z}} -> {{z,w}} keep {x,y} @ 3.0",
]


@pytest.mark.parametrize("text", ROUND_TRIP)
def test_round_trip(text):
    rule = parse_rule(text)
    assert format_rule(rule) == text
    assert parse_rule(format_rule(rule)) == rule
    # whitespace and newlines inside a rule do not matter
    spaced = text.replace(",", " , ").replace("{", "{ ").replace("->", "\n->\n")
    assert parse_rule(spaced) == rule


def test_kept_deleted_and_new_names():
    lhs, kept, rhs = parse_rule("{{x,y},{y,z}} -> {{x,w},{w,z}}")
    assert lhs == [["x", "y"], ["y", "z"]]
    assert rhs == [["x", "w"], ["w", "z"]]
    assert kept == ["x", "z"]  # y only on the left: deleted; w only on the right: new
    growth = parse_rule("{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}")
    assert growth.kept == ["x", "y", "z"] and growth.weight == 1.0


def test_keep_list_names_survivors(engine):
    # Without the list an empty right-hand side deletes every vertex it matched.
    assert parse_rule("{{x,y}} -> {}").kept == []
    rule = parse_rule("{{x,y},{y,z}} -> {{z,x}} keep {y, x}")
    assert rule.kept == ["x", "y", "z"]  # listed or on both sides, in order on the left
    assert parse_rule("{{x,y}} -> {{x}} keep {}") == parse_rule("{{x,y}} -> {{x}}")
    assert format_rule(([["x", "y"]], ["y", "x"], [["x"]])) == "{{x,y}} -> {{x}} keep {y}"
    # The engine deletes x and leaves y, isolated.
    vornkit.start(engine, [[1, 2]], rules="{{x,y}} -> {} keep {y}")
    assert engine.step() is True
    assert engine.edge_count() == 0 and engine.node_count() == 1


def test_integers_are_variables_like_names():
    numbers = parse_rule("{{1,2},{1,3}}->{{1,2},{1,4},{2,4},{3,4}}")
    letters = parse_rule("{{x,y},{x,z}}->{{x,y},{x,w},{y,w},{z,w}}")
    rename = dict(zip("1234", "xyzw"))
    assert [[rename[n] for n in e] for e in numbers.lhs] == letters.lhs
    assert [[rename[n] for n in e] for e in numbers.rhs] == letters.rhs
    assert [rename[n] for n in numbers.kept] == letters.kept


def test_several_rules_and_weights():
    rules = parse_rules("{{x}} -> {{x,y}} @ 3; {{x,y}} -> {{y}}\n\n{} -> {{a}} @ 0.5\n")
    assert [r.weight for r in rules] == [3.0, 1.0, 0.5]
    assert parse_rules(["{{x}} -> {{x,y}} @ 3", rules[1]]) == rules[:2]
    assert parse_rule("{{x}} -> {{x,y}} @ 3") != parse_rule("{{x}} -> {{x,y}}")


@pytest.mark.parametrize("text, position, words", [
    ("{{x,y}->{{x}}", 6, "',' or '}'"),
    ("{{x,y}} {{x}}", 8, "'->'"),
    ("{{x,}} -> {}", 4, "vertex name"),
    ("{{x}} -> {{y}} @ 0", 17, "positive"),
    ("{{x}} -> {{y}} @ -1", 17, "positive"),
    ("{{x}} -> {{y}} @ nan", 17, "positive"),
    ("{{x}} -> {{y}} @ 0x10", 17, "got 0x10 "),  # as written, not the "0" it starts with
    ("{{x}} -> {{y}} @", 16, "weight"),
    ("{{x}} -> {{y}} extra", 15, "end of the rule"),
    ("{{x}} -> {{y}}; {{z}} -> {}", 14, "parse_rules"),
    ("{{x-y}} -> {}", 3, "',' or '}'"),
    ("{{x}} -> {{y}} keeper", 15, "end of the rule"),
    ("{{x}} -> {{y}} keep", 19, "'{' opening the list after 'keep'"),
    ("{{x}} -> {{y}} keep {x,y}", 23, "kept name 'y' does not occur on the left"),
    ("{{x}} -> {} keep {x} @ 0", 23, "positive"),
    ("{{x}} -> {} @ 2 keep {x}", 16, "end of the rule"),
    ("", 0, "'{'"),
    ("x -> y", 0, "'{'"),
])
def test_malformed_rule_names_first_bad_position(text, position, words):
    with pytest.raises(ValueError) as info:
        parse_rule(text)
    err = info.value
    assert isinstance(err, RuleSyntaxError)
    assert err.position == position
    assert f"at position {position}" in str(err) and words in str(err)


def test_messages_cut_long_text():
    with pytest.raises(RuleSyntaxError) as info:
        parse_rule("{{x}} -> {{y}} @ 1e" + "9" * 100_000)
    message = str(info.value)
    assert len(message) < 250 and "got 1e999" in message and "...'" in message


def test_malformed_rule_lists():
    with pytest.raises(RuleSyntaxError) as info:
        parse_rules("{{x}} -> {}; {{y}} => {}")
    assert info.value.position == 19
    with pytest.raises(RuleSyntaxError):
        parse_rules("   \n ")
    with pytest.raises(TypeError):
        parse_rules([("{{x}}", "{}")])
    with pytest.raises(TypeError):
        parse_rule(None)


def test_format_refuses_what_the_notation_cannot_say():
    with pytest.raises(ValueError, match="kept"):
        format_rule(([["x", "y"]], [], [["x", "z"]]))  # x on both sides but not kept
    with pytest.raises(ValueError, match="missing from the left"):
        format_rule(([["x", "y"]], ["x", "z"], [["x", "z"]]))  # z is new on the right
    with pytest.raises(ValueError, match="notation"):
        format_rule(([["a b"]], [], []))
    assert format_rule(([["x", "y"]], ["x"], [["x", "z"]]), weight=2.0) == "{{x,y}} -> {{x,z}} @ 2.0"
    with pytest.raises(ValueError):
        Rule([], [], [], weight=0)


def test_hypergraph_text():
    assert vornkit.parse_hypergraph(" {{1,2}, {1,3},{}} ") == [["1", "2"], ["1", "3"], []]
    assert vornkit.format_hypergraph([[1, 2], [1, 3], []]) == "{{1,2},{1,3},{}}"
    with pytest.raises(RuleSyntaxError) as info:
        vornkit.parse_hypergraph("{{1,2}} -> {}")
    assert info.value.position == 8


def test_add_rules_is_all_or_nothing(engine):
    with pytest.raises(RuleSyntaxError):
        vornkit.add_rules(engine, ["{} -> {{a}}", "{{x"])
    with pytest.raises(ValueError, match="total"):
        vornkit.add_rules(engine, ["{} -> {{a}} @ 1e308", "{} -> {{a,b}} @ 1e308"])
    rule = parse_rule("{} -> {{a}}")
    rule.rhs[0].append(7)  # a Rule's lists can be changed after it was made
    with pytest.raises(TypeError, match="7"):
        vornkit.add_rules(engine, ["{} -> {{a}}", rule])
    assert engine.step() is False  # no rule was added
    added = vornkit.add_rules(engine, "{} -> {{a,b}} @ 2")
    assert added[0].weight == 2.0
    assert engine.step() is True and engine.edge_count() == 1
