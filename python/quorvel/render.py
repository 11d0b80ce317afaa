"""Pictures of a tree: text for a terminal, Mermaid, Graphviz DOT and SVG.

Each function takes a ``Tree`` or a layout (``Tree.layout()``, or a recording's) and,
optionally, a snapshot; with a snapshot, nodes carry their status (colour in the graphic
forms, a mark in text). A node's status is its current one, or its last result when it is
IDLE again, so a finished run still shows what happened. Nothing here uses the network.
"""

from __future__ import annotations

import shutil
import subprocess
from typing import Any, Mapping

__all__ = ["to_ascii", "to_dot", "to_mermaid", "to_svg", "GraphvizMissing"]

COLOURS = {"RUNNING": "#f0c040", "SUCCESS": "#60c060", "FAILURE": "#e06060", "SKIPPED": "#a0a0d0", "IDLE": "#ffffff"}
MARKS = {"RUNNING": "[~]", "SUCCESS": "[+]", "FAILURE": "[x]", "SKIPPED": "[-]", "IDLE": "[ ]"}


class GraphvizMissing(RuntimeError):
    """The Graphviz ``dot`` program is not installed."""


def _layout(tree_or_layout: Any) -> Mapping[str, Any]:
    if isinstance(tree_or_layout, Mapping):
        layout = tree_or_layout
    else:
        layout = tree_or_layout.layout()
        if layout is None:
            raise ValueError("the tree has nothing loaded")
    if layout.get("schema") != "quorvel.layout/1":
        raise ValueError(f"not a layout: schema {layout.get('schema')!r}")
    return layout


def _shown_status(snapshot: Mapping[str, Any] | None, uid: int) -> str | None:
    if snapshot is None:
        return None
    nodes = snapshot["nodes"]
    entry = nodes.get(uid, nodes.get(str(uid)))
    if entry is None:
        return None
    return entry["last"] if entry["status"] == "IDLE" else entry["status"]


def _label(node: Mapping[str, Any]) -> str:
    name, kind = node["name"], node["type"]
    return name if name == kind else f"{name} ({kind})"


def to_ascii(tree_or_layout: Any, snapshot: Mapping[str, Any] | None = None) -> str:
    """An indented tree, one node a line, with ``[+]``/``[x]``/``[~]``/``[-]`` status marks."""
    layout = _layout(tree_or_layout)
    nodes = {n["uid"]: n for n in layout["nodes"]}
    lines: list[str] = []

    def walk(uid: int, prefix: str, last: bool, top: bool) -> None:
        node = nodes[uid]
        status = _shown_status(snapshot, uid)
        mark = f"{MARKS.get(status, '[?]')} " if snapshot is not None else ""
        branch = "" if top else ("└── " if last else "├── ")
        lines.append(f"{prefix}{branch}{mark}{_label(node)}")
        inner = prefix if top else prefix + ("    " if last else "│   ")
        children = node["children"]
        for i, child in enumerate(children):
            walk(child, inner, i == len(children) - 1, False)

    walk(layout["root"], "", True, True)
    return "\n".join(lines) + "\n"


def _quote_mermaid(text: str) -> str:
    return text.replace('"', "#quot;")


def to_mermaid(tree_or_layout: Any, snapshot: Mapping[str, Any] | None = None) -> str:
    """A Mermaid ``flowchart``: one line per node, one ``a --> b`` line per edge."""
    layout = _layout(tree_or_layout)
    lines = ["flowchart TD"]
    for node in layout["nodes"]:
        lines.append(f'    n{node["uid"]}["{_quote_mermaid(_label(node))}"]')
    for node in layout["nodes"]:
        for child in node["children"]:
            lines.append(f"    n{node['uid']} --> n{child}")
    if snapshot is not None:
        for status, colour in COLOURS.items():
            lines.append(f"    classDef {status.lower()} fill:{colour}")
        for node in layout["nodes"]:
            status = _shown_status(snapshot, node["uid"])
            if status:
                lines.append(f"    class n{node['uid']} {status.lower()}")
    return "\n".join(lines) + "\n"


def _quote_dot(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def to_dot(tree_or_layout: Any, snapshot: Mapping[str, Any] | None = None) -> str:
    """Graphviz DOT text; nodes are ``n<uid>`` and carry their uid as ``id`` in SVG."""
    layout = _layout(tree_or_layout)
    shapes = {"control": "box", "decorator": "diamond", "subtree": "folder", "condition": "ellipse"}
    lines = ["digraph tree {", '    node [fontname="sans-serif", style=filled, fillcolor="#ffffff"];']
    for node in layout["nodes"]:
        attrs = [f"label={_quote_dot(_label(node))}", f"shape={shapes.get(node['kind'], 'box')}",
                 f'id="node-{node["uid"]}"']
        if node["kind"] == "action":
            attrs.append('style="filled,rounded"')
        status = _shown_status(snapshot, node["uid"])
        if status:
            attrs.append(f'fillcolor="{COLOURS[status]}"')
        lines.append(f"    n{node['uid']} [{', '.join(attrs)}];")
    for node in layout["nodes"]:
        for child in node["children"]:
            lines.append(f"    n{node['uid']} -> n{child};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def to_svg(tree_or_layout: Any, snapshot: Mapping[str, Any] | None = None, *, dot: str = "dot") -> str:
    """SVG drawn by Graphviz ``dot``; raises GraphvizMissing when the program is absent."""
    program = shutil.which(dot)
    if program is None:
        raise GraphvizMissing(
            f"to_svg needs the Graphviz program {dot!r}, which is not on PATH "
            "(Debian: apt-get install graphviz); to_dot gives the text to draw elsewhere"
        )
    result = subprocess.run([program, "-Tsvg"], input=to_dot(tree_or_layout, snapshot), capture_output=True,
                            text=True, timeout=60)
    if result.returncode != 0:
        raise RuntimeError(f"dot failed ({result.returncode}): {result.stderr.strip()}")
    return result.stdout
