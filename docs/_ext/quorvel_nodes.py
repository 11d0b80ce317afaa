"""Writes a reference page for every built-in node type from the engine's own registry
(``BehaviorTreeFactory().registered_types()`` and ``node_ports()``), so the pages cannot
drift from what the engine accepts. The pages go to ``nodes/`` before Sphinx reads the sources;
they are generated, not kept in git."""

from __future__ import annotations

from pathlib import Path

KINDS = {"action": "Actions", "condition": "Conditions", "control": "Control nodes",
         "decorator": "Decorators"}


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def node_page(name: str, info: dict) -> str:
    lines = [f"# {name}", "", f"A built-in **{info['kind']}** node.", ""]
    description = info.get("description")
    if description:
        lines += [description, ""]
    if info["ports"]:
        lines += ["| port | direction | type | default | description |", "|---|---|---|---|---|"]
        for p in info["ports"]:
            default = f"`{p['default']}`" if "default" in p else "(none)"
            lines.append(f"| `{p['name']}` | {p['direction']} | `{p['type']}` | {default} | "
                         f"{_cell(p.get('description', ''))} |")
    else:
        lines.append("No ports.")
    kind_word = {"action": "an action", "condition": "a condition"}.get(info["kind"], "")
    example_attrs = "".join(f' {p["name"]}="..."' for p in info["ports"] if "default" not in p)
    body = f"<{name}{example_attrs}/>" if kind_word else f"<{name}{example_attrs}>\n  <!-- children -->\n</{name}>"
    lines += ["", "```xml", body, "```", ""]
    return "\n".join(lines)


def generate(out: Path) -> list[str]:
    from quorvel.core import BehaviorTreeFactory

    factory = BehaviorTreeFactory()
    out.mkdir(parents=True, exist_ok=True)
    by_kind: dict[str, list[str]] = {}
    written = set()
    for name in factory.registered_types():
        info = factory.node_ports(name)
        by_kind.setdefault(info["kind"], []).append(name)
        page = out / f"{name}.md"
        text = node_page(name, info)
        if not page.exists() or page.read_text(encoding="utf-8") != text:
            page.write_text(text, encoding="utf-8")  # unchanged pages keep their time: no rebuild
        written.add(page.name)
    index = ["# Built-in nodes", "",
             "One page per node type the engine registers by itself, generated from its registry: "
             "the ports, their types and defaults, as `quorvel nodes TYPE` prints them.", ""]
    for kind in sorted(by_kind, key=lambda k: list(KINDS).index(k) if k in KINDS else 99):
        index += [f"## {KINDS.get(kind, kind)}", "", "```{toctree}", ":maxdepth: 1", ""]
        index += by_kind[kind] + ["```", ""]
    (out / "index.md").write_text("\n".join(index), encoding="utf-8")
    for stale in out.glob("*.md"):
        if stale.name != "index.md" and stale.name not in written:
            stale.unlink()
    return sorted(written)


def _on_builder_inited(app) -> None:
    generate(Path(app.srcdir) / "nodes")


def setup(app):
    app.connect("builder-inited", _on_builder_inited)
    return {"parallel_read_safe": True, "version": "1"}
