"""Pictures of trees: text, Mermaid, DOT and SVG through Graphviz."""

import shutil
from xml.etree import ElementTree

import pytest

from quorvel.core import BehaviorTreeFactory
from quorvel.render import GraphvizMissing, to_ascii, to_dot, to_mermaid, to_svg

XML = ('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence name="top"><AlwaysSuccess name="ok"/>'
       '<Inverter><AlwaysSuccess name="say &quot;hi&quot;"/></Inverter></Sequence></BehaviorTree></root>')


@pytest.fixture
def tree():
    t = BehaviorTreeFactory().create_tree_from_text(XML)
    t.tick_once()
    return t


def test_ascii_indents_children_and_marks_statuses(tree):
    text = to_ascii(tree, tree.snapshot())
    lines = text.splitlines()
    assert lines[0] == "[x] top (Sequence)"
    assert lines[1].startswith("├── [+] ok") and lines[2].startswith("└── [x] Inverter")
    assert lines[3].startswith("    └── [+] say")
    assert "[" not in to_ascii(tree.layout()).splitlines()[0]


def test_mermaid_has_one_line_per_node_and_per_edge(tree):
    text = to_mermaid(tree)
    assert text.startswith("flowchart")
    assert sum("-->" in line for line in text.splitlines()) == 3
    assert sum('["' in line for line in text.splitlines()) == 4
    assert '"' not in text.split('n3["')[1].split('"]')[0]  # quotes in names cannot end the label
    assert "class n0 failure" in to_mermaid(tree, tree.snapshot())


def test_dot_colours_by_status_and_escapes_names(tree):
    text = to_dot(tree, tree.snapshot())
    assert 'n0 -> n1;' in text and 'label="say \\"hi\\" (AlwaysSuccess)"' in text
    assert text.count('fillcolor="#e06060"') == 2 and text.count('fillcolor="#60c060"') == 2
    with pytest.raises(ValueError):
        to_dot({"schema": "something else"})


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_svg_through_graphviz_keeps_node_ids(tree):
    svg = to_svg(tree, tree.snapshot())
    ids = {g.get("id") for g in ElementTree.fromstring(svg.encode()).iter("{http://www.w3.org/2000/svg}g")}
    assert {"node-0", "node-3"} <= ids


def test_svg_without_graphviz_says_what_is_missing(tree):
    with pytest.raises(GraphvizMissing, match="graphviz"):
        to_svg(tree, dot="no-such-dot-program")
