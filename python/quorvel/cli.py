"""The ``quorvel`` command: check, list, draw, run and watch behavior trees from a shell.

``quorvel check`` reports problems as ``file:line:column: message``, the form editors and CI
logs link to source; every command exits 0 when all went well, 1 when a tree has a problem or
ends in FAILURE, and 2 when it could not do its work at all.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import importlib
import importlib.util
import os
import re
import signal
import sys
import threading
import time
import xml.parsers.expat
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator, TextIO

import quorvel

__all__ = ["main", "run"]

# Elements of the XML format that are structure, not node types.
_STRUCTURE = {"root", "BehaviorTree", "TreeNodesModel", "include"}
# Generic spellings of a node whose type is given by its ID attribute.
_BY_ID = {"Action", "Condition", "Control", "Decorator"}
_LOCATION = re.compile(r"^(?P<doc>.+?): line (?P<line>\d+)(?:, column (?P<column>\d+))?: (?P<message>.*)$", re.S)
_WARNING_AT = re.compile(r" at (?P<doc>.+?), line (?P<line>\d+)\.?$")
_UNKNOWN_TYPE = re.compile(r"unknown node type '(?P<name>[^']+)'")
_NO_NUMBER = re.compile(r"'[^']*' is no number")
_UNKNOWN_PORT = re.compile(r"port '(?P<port>[^']+)' not declared by node type '(?P<type>[^']+)'")


class CommandError(Exception):
    """A problem that ends the command with exit status 2 and one line on standard error."""


# ---- reading a document the way the engine does, for what it does not report ----


@dataclass
class Element:
    tag: str
    attrs: dict[str, str]
    line: int
    column: int
    in_tree: bool
    children: int = 0

    @property
    def node_type(self) -> str:
        return self.attrs.get("ID", self.tag) if self.tag in _BY_ID else self.tag


@dataclass
class Document:
    """The elements of one XML file with their positions (1-based, as the engine counts)."""

    path: Path
    elements: list[Element] = field(default_factory=list)
    tree_ids: set[str] = field(default_factory=set)
    modelled_ports: dict[str, list[str]] = field(default_factory=dict)

    @classmethod
    def scan(cls, path: Path) -> Document:
        doc = cls(path)
        stack: list[Element] = []
        parser = xml.parsers.expat.ParserCreate()
        model_node: list[str | None] = [None]

        def start(tag: str, attrs: dict[str, str]) -> None:
            in_tree = any(e.tag == "BehaviorTree" for e in stack)
            in_model = any(e.tag == "TreeNodesModel" for e in stack)
            element = Element(tag, attrs, parser.CurrentLineNumber, parser.CurrentColumnNumber + 1, in_tree)
            if stack:
                stack[-1].children += 1
            stack.append(element)
            if tag == "BehaviorTree" and "ID" in attrs:
                doc.tree_ids.add(attrs["ID"])
            if in_model:
                if stack[-2].tag == "TreeNodesModel":
                    model_node[0] = attrs.get("ID")
                    doc.modelled_ports.setdefault(attrs.get("ID", ""), [])
                elif model_node[0] and "name" in attrs:
                    doc.modelled_ports[model_node[0]].append(attrs["name"])
            elif in_tree:
                doc.elements.append(element)

        def end(tag: str) -> None:
            stack.pop()

        parser.StartElementHandler, parser.EndElementHandler = start, end
        try:
            with path.open("rb") as file:
                parser.ParseFile(file)
        except (xml.parsers.expat.ExpatError, OSError):
            pass  # the engine's load reports it, in its own words
        return doc


# ---- factories with the application's nodes ----


def _load_module(source: str) -> Any:
    """A module by dotted name, or a Python file by path."""
    if source.endswith(".py") or os.sep in source:
        path = Path(source)
        if not path.is_file():
            raise CommandError(f"--actions {source}: no such file")
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        return module
    try:
        return importlib.import_module(source)
    except ImportError as error:
        raise CommandError(f"--actions {source}: {error}") from error


def _factory(actions: list[str], stub_unknown: bool = False, documents: list[Document] = ()) -> Any:
    from quorvel.core import BehaviorTreeFactory, NodeStatus

    factory = BehaviorTreeFactory()
    for source in actions:
        module = _load_module(source)
        register = getattr(module, "register", None)
        if not callable(register):
            raise CommandError(f"--actions {source}: the module has no register(factory) function")
        register(factory)
    if stub_unknown:
        known = set(factory.registered_types()) | {t for d in documents for t in d.tree_ids}
        stubs: dict[str, dict[str, str]] = {}
        for doc in documents:
            for e in doc.elements:
                name = e.node_type
                if e.children or name in known or e.tag in _STRUCTURE or e.tag == "SubTree":
                    continue
                ports = stubs.setdefault(name, {})
                for port in doc.modelled_ports.get(name, []):
                    ports.setdefault(port, "inout")
                for attr, value in e.attrs.items():
                    if attr not in ("name", "ID") and not attr.startswith("_"):
                        ports[attr] = "inout" if value.strip().startswith("{") else ports.get(attr, "input")
        for name, ports in sorted(stubs.items()):
            factory.register_simple_action(
                name, lambda node: NodeStatus.SUCCESS,
                [{"name": p, "type": "any", "direction": d, "description": "stub"} for p, d in ports.items()])
    return factory


# ---- messages ----


def _shown(path: str | Path) -> str:
    """A path as the user would type it: relative to the working directory when inside it."""
    text = str(path)
    with contextlib.suppress(ValueError):
        relative = os.path.relpath(text)
        if not relative.startswith(".."):
            return relative
    return text


def _did_you_mean(word: str, choices: list[str]) -> str:
    close = difflib.get_close_matches(word, choices, n=3, cutoff=0.7)
    if not close:
        return ""
    return " (did you mean " + " or ".join(f"'{c}'" for c in close) + "?)"


def _explain(message: str, factory: Any) -> str:
    """The engine's message, with suggestions for misspelt node types and ports."""
    match = _UNKNOWN_TYPE.search(message)
    if match and "did you mean" not in message:
        choices = factory.registered_types() + factory.registered_behavior_trees()
        return message + _did_you_mean(match["name"], choices)
    if _NO_NUMBER.search(message):
        # Arithmetic on a text is the usual slip of someone building a message: say what joins.
        return message + " (hint: '..' joins texts; only '+' also joins a text that is no number)"
    match = _UNKNOWN_PORT.search(message)
    if match and "did you mean" not in message:
        with contextlib.suppress(KeyError):
            ports = [p["name"] for p in factory.node_ports(match["type"])["ports"]]
            return message + _did_you_mean(match["port"], ports)
    return message


def _located(error: BaseException, path: Path, factory: Any) -> str:
    """file:line:column: message for a load error (line 1, column 1 when it names no place)."""
    text = str(error)
    match = _LOCATION.match(text)
    if match is None:
        return f"{_shown(path)}:1:1: {_explain(text, factory)}"
    return "%s:%s:%s: %s" % (_shown(match["doc"]), match["line"], match["column"] or 1,
                             _explain(match["message"], factory))


@contextlib.contextmanager
def _engine_warnings() -> Iterator[list[str]]:
    """Collects what the package logs as warnings while the block runs."""
    from loguru import logger

    global _collecting
    collected: list[str] = []
    sink = logger.add(lambda m: collected.append(m.record["message"]), level="WARNING",
                      filter=lambda r: r["name"].startswith("quorvel"), format="{message}")
    _collecting += 1
    try:
        yield collected
    finally:
        _collecting -= 1
        logger.remove(sink)


_collecting = 0


def _unset_ports(doc: Document, factory: Any) -> list[str]:
    """Warnings for input ports with no default that no attribute of a node gives."""
    known = set(factory.registered_types())
    found = []
    for e in doc.elements:
        if e.node_type not in known:
            continue
        for port in factory.node_ports(e.node_type)["ports"]:
            if port["direction"] == "output" or "default" in port or port["name"] in e.attrs:
                continue
            name = e.attrs.get("name", e.node_type)
            found.append(f"{_shown(doc.path)}:{e.line}:{e.column}: warning: node '{name}' ({e.node_type}) "
                         f"gives no value to port '{port['name']}', which has no default")
    return found


def _located_warning(message: str, doc: Document) -> str:
    match = _WARNING_AT.search(message)
    if match is None:
        return f"{_shown(doc.path)}:1:1: warning: {message}"
    line = int(match["line"])
    columns = [e.column for e in doc.elements if e.line == line and any(a.startswith("_") for a in e.attrs)]
    return f"{_shown(match['doc'])}:{line}:{columns[0] if columns else 1}: warning: {message[:match.start()]}"


# ---- commands ----


def _xml_files(paths: list[str]) -> list[Path]:
    files = []
    for p in map(Path, paths):
        if p.is_dir():
            files += sorted(q for q in p.rglob("*.xml") if q.is_file())
        elif p.exists():
            files.append(p)
        else:
            raise CommandError(f"{p}: no such file or directory")
    return files


def _check_one(path: Path, args: argparse.Namespace, out: TextIO) -> bool:
    doc = Document.scan(path)
    factory = _factory(args.actions, args.stub_unknown, [doc])
    with _engine_warnings() as warnings:
        try:
            factory.register_behavior_tree_from_file(path)
            for tree_id in sorted(doc.tree_ids) or factory.registered_behavior_trees():
                factory.create_tree(tree_id)
        except (RuntimeError, ValueError, OSError) as error:
            print(_located(error, path, factory), file=out)
            return False
    for message in dict.fromkeys(warnings):
        print(_located_warning(message, doc), file=out)
    for message in _unset_ports(doc, factory):
        print(message, file=out)
    return True


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    files = _xml_files(args.paths)
    if not files:
        raise CommandError("no XML files found in " + ", ".join(args.paths))
    failed = sum(not _check_one(path, args, out) for path in files)
    summary = f"{len(files)} file{'s' * (len(files) != 1)} checked, {failed} with problems"
    print(summary, file=sys.stderr)
    return 1 if failed else 0


def cmd_nodes(args: argparse.Namespace, out: TextIO) -> int:
    factory = _factory(args.actions)
    types = factory.registered_types()
    if args.type is None:
        for name in types:
            info = factory.node_ports(name)
            ports = ", ".join(p["name"] for p in info["ports"])
            print(f"{name:<26} {info['kind']:<10} {ports}".rstrip(), file=out)
        return 0
    if args.type not in types:
        raise CommandError(f"unknown node type '{args.type}'" + _did_you_mean(args.type, types))
    info = factory.node_ports(args.type)
    print(f"{args.type} ({info['kind']})", file=out)
    for p in info["ports"]:
        default = f" = {p['default']!r}" if "default" in p else ""
        print(f"  {p['direction']:<6} {p['name']}: {p['type']}{default}", file=out)
        if p.get("description"):
            print(f"         {p['description']}", file=out)
    if not info["ports"]:
        print("  (no ports)", file=out)
    return 0


def _load_tree(args: argparse.Namespace) -> tuple[Any, Any]:
    path = Path(args.file)
    if not path.is_file():
        raise CommandError(f"{args.file}: no such file")
    doc = Document.scan(path)
    factory = _factory(args.actions, args.stub_unknown, [doc])
    with _engine_warnings() as warnings:
        try:
            tree = factory.create_tree_from_file(path)
        except (RuntimeError, ValueError, OSError) as error:
            raise CommandError(_located(error, path, factory)) from error
    for message in dict.fromkeys(warnings):
        print(_located_warning(message, doc), file=sys.stderr)
    return factory, tree


def cmd_render(args: argparse.Namespace, out: TextIO) -> int:
    from quorvel import render

    _, tree = _load_tree(args)
    draw = {"ascii": render.to_ascii, "mermaid": render.to_mermaid, "dot": render.to_dot, "svg": render.to_svg}
    try:
        picture = draw[args.format](tree)
    except render.GraphvizMissing as error:
        raise CommandError(f"--format svg: {error}") from error
    if not picture.endswith("\n"):
        picture += "\n"
    if args.output:
        Path(args.output).write_text(picture, encoding="utf-8")
    else:
        out.write(picture)
    return 0


def cmd_run(args: argparse.Namespace, out: TextIO) -> int:
    from quorvel.core import NodeStatus

    factory, tree = _load_tree(args)
    stack = contextlib.ExitStack()
    with stack:
        if args.record:
            from quorvel.record import Recorder

            stack.enter_context(Recorder(args.record, tree))
        if args.trace:
            def trace(report: Any) -> None:
                for t in report:
                    print(f"tick {t.tick:>4}  {t.name}: {t.previous.name} -> {t.status.name}", file=out, flush=True)

            stack.enter_context(tree.observe(trace))
        timed_out = threading.Event()
        if args.timeout is not None:
            def expire() -> None:
                timed_out.set()
                tree.interrupt()

            timer = threading.Timer(args.timeout, expire)
            timer.daemon = True
            timer.start()
            stack.callback(timer.cancel)
        started = time.monotonic()
        try:
            if args.until == "success":
                tree.tick_until_success()
            elif args.until == "failure":
                tree.tick_until_failure()
            else:
                tree.tick_while_running()
        except RuntimeError as error:
            if timed_out.is_set():
                tree.halt_tree()
                raise CommandError(f"{args.file}: no result after {args.timeout:g} s; halted") from error
            raise CommandError(f"{args.file}: {_explain(str(error), factory)}") from error
        status = tree.status
        if status == NodeStatus.IDLE:  # a finished root may already be reset; its last result counts
            status = NodeStatus[tree.snapshot()["nodes"][tree.layout()["root"]]["last"]]
    print(f"{status.name} after {time.monotonic() - started:.3f} s", file=sys.stderr)
    return 0 if status == NodeStatus.SUCCESS else 1


def cmd_monitor(args: argparse.Namespace, out: TextIO) -> int:
    from quorvel.monitor.__main__ import main as monitor_main

    monitor_main(args.recordings + ["--host", args.host, "--port", str(args.port)])
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvel", description="Behavior trees from the command line.")
    parser.add_argument("--version", action="version", version=f"quorvel {quorvel.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def with_nodes(p: argparse.ArgumentParser, stubs: bool = True) -> None:
        p.add_argument("--actions", action="append", default=[], metavar="MODULE",
                       help="a module (or .py file) whose register(factory) registers the application's nodes")
        if stubs:
            p.add_argument("--stub-unknown", action="store_true",
                           help="register a stub that succeeds for every unknown leaf node type")

    p = commands.add_parser("check", help="load and validate trees; file:line:column: message per problem")
    p.add_argument("paths", nargs="+", metavar="FILE|DIR", help="XML files, or folders searched for *.xml")
    with_nodes(p)
    p.set_defaults(run=cmd_check)

    p = commands.add_parser("nodes", help="the node types and their ports")
    p.add_argument("type", nargs="?", metavar="TYPE", help="one node type, in detail")
    with_nodes(p, stubs=False)
    p.set_defaults(run=cmd_nodes)

    p = commands.add_parser("render", help="draw a tree as text, Mermaid, DOT or SVG")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--format", choices=["ascii", "mermaid", "dot", "svg"], default="ascii")
    p.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    with_nodes(p)
    p.set_defaults(run=cmd_render)

    p = commands.add_parser("run", help="tick a tree; exit 0 on SUCCESS, 1 on FAILURE, 2 on error")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--until", choices=["success", "failure", "done"], default="done",
                   help="tick until this result (done: until it is no longer RUNNING)")
    p.add_argument("--timeout", type=float, metavar="S", help="halt and fail after S seconds")
    p.add_argument("--record", metavar="OUT.jsonl", help="record the run for replay (quorvel monitor)")
    p.add_argument("--trace", action="store_true", help="print each transition as it happens")
    with_nodes(p)
    p.set_defaults(run=cmd_run)

    p = commands.add_parser("monitor", help="the live view in a browser, or a recording's replay")
    p.add_argument("recordings", nargs="*", metavar="RECORDING")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.set_defaults(run=cmd_monitor)
    return parser


def run(argv: list[str] | None = None, out: TextIO | None = None) -> int:
    """Runs one command and returns its exit status; reports go to ``out`` (standard output)."""
    args = _parser().parse_args(argv)
    try:
        return args.run(args, out or sys.stdout)
    except CommandError as error:
        print(f"quorvel {args.command}: {error}", file=sys.stderr)
        return 2


def main() -> None:
    """The console script: the engine's own warnings become part of the report, not log lines."""
    from loguru import logger

    # `quorvel nodes | head` ends quietly, as other commands in a pipe do.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    logger.remove()
    logger.add(sys.stderr, level="WARNING", format="{level}: {message}",
               filter=lambda r: not (_collecting and r["name"].startswith("quorvel")))
    sys.exit(run())
