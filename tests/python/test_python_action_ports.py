"""Port access from Python actions through its fast path: the same answers and errors by
position and by keyword, for every declared type, and for names the node does not have;
and Python actions on several threads, which share the GIL without losing a tick."""

from __future__ import annotations

import threading

import pytest

from quorvel.core import NodeStatus, PortError
from quorvel.engine.sequential_engine import SequentialEngine

S = NodeStatus.SUCCESS
PORTS = [{"name": n, "type": t, "direction": d, "description": ""} for n, t, d in (
    ("i", "int", "input"), ("d", "double", "input"), ("b", "bool", "input"), ("s", "string", "input"),
    ("o", "object", "input"), ("out", "any", "output"))]


def run(action, attributes='i="{i}" d="2.5" b="true" s="{s}" o="{o}" out="{out}"', board=None):
    engine = SequentialEngine()
    seen = []
    engine.register_action_behavior("A", lambda node: seen.append(action(node)) or S, PORTS)
    engine.create_tree_from_text(
        f'<root BTCPP_format="4"><BehaviorTree ID="M"><A {attributes}/></BehaviorTree></root>')
    for key, value in (board or {"i": 2**70 // 2**10, "s": "text", "o": None}).items():
        engine.set_blackboard_data(key, value)
    engine.tick_once()
    return engine, seen[0]


def test_typed_reads_by_position_and_keyword():
    big = 2**60 + 1
    _, got = run(lambda n: (n.getInput("i"), n.getInput(name="d"), n.getInput("b"), n.getInput("s"),
                            n.getInputInt("i"), n.getInputDouble("d"), n.getInputBool("b"),
                            n.getInputString("s"), n.getInputObject(name="o")),
                 board={"i": big, "s": "text", "o": None})
    assert got == (big, 2.5, True, "text", big, 2.5, True, "text", None)
    _, same = run(lambda n: n.getInput("i") is n.getInputObject("i"), board={"i": big, "s": "x", "o": 1})
    assert same  # an int stored from Python comes back as that object


def test_writes_keep_the_object_and_reach_the_blackboard():
    value = object()
    engine, _ = run(lambda n: n.setOutput("out", value))
    assert engine.get_blackboard_data("out") is value
    engine, _ = run(lambda n: n.setOutput(value=[1], name="out"))
    assert engine.get_blackboard_data("out") == [1]


@pytest.mark.parametrize("copies", ["none", "script and observer"])
def test_rewriting_an_entry_in_place_leaves_every_earlier_copy_alone(copies):
    # Writing the same port on every tick reuses the entry's storage when nothing else holds
    # it; a copy taken by a script, an observer or a reader keeps the value it had.
    expected = [300, 301.5, "a text", "a text too", True, 302, 2**70, 303, None, 304, 1.5]
    values = iter(expected)

    def write(node):
        node.setOutput("out", next(values))
        return S

    engine = SequentialEngine()
    engine.register_action_behavior("W", write, [{"name": "out", "type": "any", "direction": "output"}])
    script = '<Script code="copy := v"/>' if copies != "none" else ""
    engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                                 f'<W out="{{v}}"/>{script}</Sequence></BehaviorTree></root>')
    writes = []
    if copies != "none":
        engine.tree.observe(lambda report: writes.extend(value for _, key, value in report.writes if key == "v"),
                            blackboard=True)
    read = []
    for _ in expected:
        engine.tick_once()
        read.append(engine.get_blackboard_data("v"))
        assert engine.get_blackboard_data("v") is read[-1]
        if copies != "none":
            assert engine.get_blackboard_data("copy") == read[-1]
    assert read == expected
    assert all(type(a) is type(b) for a, b in zip(read, expected))
    assert writes == (expected if copies != "none" else [])


@pytest.mark.parametrize("call, error, text", [
    (lambda n: n.getInput("nope"), PortError, "has no port 'nope'"),
    (lambda n: n.setOutput("i", 1), PortError, "is an input port"),
    (lambda n: n.getInputInt("s"), PortError, "is not an integer"),
    (lambda n: n.getInput(3), TypeError, "must be a str"),
    (lambda n: n.getInput(), TypeError, "takes one argument"),
    (lambda n: n.getInput("i", "d"), TypeError, "takes one argument"),
    (lambda n: n.setOutput("out"), TypeError, "takes two arguments"),
    (lambda n: n.getInput(port="i"), TypeError, "takes one argument"),
])
def test_errors_name_what_is_wrong(call, error, text):
    def action(node):
        with pytest.raises(error, match=text):
            call(node)
        return "checked"

    assert run(action)[1] == "checked"


def test_a_handle_kept_after_the_tick_refuses_port_access():
    engine, node = run(lambda n: n)
    with pytest.raises(RuntimeError, match="only during the node's own tick"):
        node.getInput("i")


@pytest.mark.timeout(60)
def test_python_actions_on_several_threads_lose_no_tick():
    def count(node):
        node.setOutput("out", node.getInput("i") + 1)
        return S

    engines = []
    for _ in range(4):
        engine = SequentialEngine()
        engine.register_action_behavior("Count", count, PORTS)
        engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                                     + '<Count i="{n}" out="{n}"/>' * 50 + "</Sequence></BehaviorTree></root>")
        engine.set_blackboard_data("n", 0)
        engines.append(engine)
    threads = [threading.Thread(target=e.tick_n_times, args=(200,)) for e in engines]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [e.get_blackboard_data("n") for e in engines] == [50 * 200] * 4


@pytest.mark.timeout(60)
def test_async_actions_run_in_factory_trees_too():
    import asyncio

    from quorvel.core import BehaviorTreeFactory

    async def later(node):
        await asyncio.sleep(0.01)
        return S

    factory = BehaviorTreeFactory()
    factory.register_action_behavior("Later", later, [])
    tree = factory.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><Later/></BehaviorTree></root>')
    assert tree.tick_once() is NodeStatus.RUNNING
    assert tree.tick_while_running() is S
