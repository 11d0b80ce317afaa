"""quorvel.core: NodeStatus, the error classes, BehaviorTreeFactory and the trees it builds."""

import enum
import pathlib
import threading

import pytest

from quorvel.core import (
    BehaviorTreeError,
    BehaviorTreeFactory,
    LoadError,
    NodeStatus,
    PortError,
    TickError,
    Tree,
)
from quorvel.nodes.action_node import ConditionNode, SimpleActionNode

S = NodeStatus


def xml(body: str, tree_id: str = "Main") -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="{tree_id}">{body}</BehaviorTree></root>'


# ---- NodeStatus and errors ----


def test_node_status_is_a_python_enum_with_the_five_statuses():
    assert issubclass(NodeStatus, enum.Enum)
    assert [s.name for s in NodeStatus] == ["IDLE", "RUNNING", "SUCCESS", "FAILURE", "SKIPPED"]
    assert NodeStatus["SUCCESS"] is S.SUCCESS
    assert S.SUCCESS != S.FAILURE and hash(S.SUCCESS) == hash(NodeStatus.SUCCESS)


@pytest.mark.parametrize("error", [LoadError, PortError, TickError])
def test_engine_errors_are_runtime_errors(error):
    assert issubclass(error, BehaviorTreeError) and issubclass(error, RuntimeError)


# ---- factory: registration ----


def test_factory_knows_the_builtin_library_and_registered_actions():
    factory = BehaviorTreeFactory()
    types = factory.registered_types()
    assert types == sorted(types)
    for name in ["Sequence", "Fallback", "Parallel", "Inverter", "RetryUntilSuccessful", "Script", "Sleep"]:
        assert name in types
    factory.register_simple_action("Mine", lambda node: S.SUCCESS)
    assert "Mine" in factory.registered_types()
    assert factory.unregister_node_type("Mine") is True
    assert factory.unregister_node_type("Mine") is False


def test_port_descriptions_are_normalised():
    factory = BehaviorTreeFactory()
    factory.register_action_behavior(
        "P",
        lambda node: S.SUCCESS,
        [
            {"name": "a", "type": "string", "direction": "input", "description": "text"},
            {"name": "b", "type": "object", "direction": "output", "description": ""},
            {"name": "c", "type": "float", "direction": "inout", "description": "", "default": 2.5},
            {"name": "d", "type": "bool", "default": True},
        ],
    )
    info = factory.node_ports("P")
    assert info["kind"] == "action"
    assert [(p["name"], p["type"], p["direction"]) for p in info["ports"]] == [
        ("a", "string", "input"),
        ("b", "object", "output"),
        ("c", "double", "inout"),
        ("d", "bool", "input"),
    ]
    assert info["ports"][0]["description"] == "text"
    assert info["ports"][2]["default"] == "2.5" and info["ports"][3]["default"] == "true"


@pytest.mark.parametrize(
    "action_id, tick, ports, error, match",
    [
        (3, lambda n: S.SUCCESS, [], TypeError, "action id"),
        ("", lambda n: S.SUCCESS, [], ValueError, "empty"),
        ("X", "not callable", [], TypeError, "callable"),
        ("X", lambda n: S.SUCCESS, "abc", TypeError, "list of port descriptions"),
        ("X", lambda n: S.SUCCESS, {"name": "a"}, TypeError, "list of port descriptions"),
        ("X", lambda n: S.SUCCESS, [("a", "string")], TypeError, "must be a dict"),
        ("X", lambda n: S.SUCCESS, [{"type": "string"}], ValueError, "no \"name\""),
        ("X", lambda n: S.SUCCESS, [{"name": "a", "type": "tensor"}], ValueError, "unknown type 'tensor'"),
        ("X", lambda n: S.SUCCESS, [{"name": "a", "direction": "sideways"}], ValueError, "unknown direction"),
        ("X", lambda n: S.SUCCESS, [{"name": "a"}, {"name": "a"}], ValueError, "twice"),
        ("X", lambda n: S.SUCCESS, [{"name": "name"}], ValueError, "reserved"),
        ("X", lambda n: S.SUCCESS, [{"name": "_skipIf"}], ValueError, "reserved"),
    ],
)
def test_malformed_registrations_are_refused(action_id, tick, ports, error, match):
    factory = BehaviorTreeFactory()
    with pytest.raises(error, match=match):
        factory.register_action_behavior(action_id, tick, ports)
    assert "X" not in factory.registered_types()


def test_register_node_type_uses_class_attributes():
    class Echo(SimpleActionNode):
        ports = [
            {"name": "inp", "type": "string", "direction": "input", "description": ""},
            {"name": "out", "type": "string", "direction": "output", "description": ""},
        ]

        @staticmethod
        def tick(node):
            node.setOutput("out", node.getInputString("inp") * 2)
            return S.SUCCESS

    class Bare(SimpleActionNode):
        @staticmethod
        def tick(node):
            return S.SUCCESS

    factory = BehaviorTreeFactory()
    factory.register_node_type(Echo)
    factory.register_node_type(Bare, "Renamed")
    assert factory.node_ports("Renamed")["ports"] == []
    tree = factory.create_tree_from_text(xml('<Sequence><Echo inp="ab" out="{o}"/><Renamed/></Sequence>'))
    assert tree.tick_once() is S.SUCCESS
    assert tree.get_blackboard_data("o") == "abab"


@pytest.mark.parametrize("cls, error", [(int, TypeError), (object(), TypeError), (SimpleActionNode, TypeError)])
def test_register_node_type_refuses_non_node_classes(cls, error):
    # SimpleActionNode itself has no tick to register.
    with pytest.raises(error):
        BehaviorTreeFactory().register_node_type(cls)


def test_condition_node_registers_as_condition():
    class IsReady(ConditionNode):
        ports = [{"name": "flag", "type": "bool", "direction": "input", "description": ""}]

        @staticmethod
        def tick(node):
            return S.SUCCESS if node.getInputBool("flag") else S.FAILURE

    factory = BehaviorTreeFactory()
    factory.register_node_type(IsReady)
    assert factory.node_ports("IsReady")["kind"] == "condition"
    tree = factory.create_tree_from_text(xml('<Condition ID="IsReady" flag="{ready}"/>'))
    tree.set_blackboard_data("ready", False)
    assert tree.tick_once() is S.FAILURE
    tree.set_blackboard_data("ready", True)
    assert tree.tick_once() is S.SUCCESS


# ---- factory: tree definitions and trees ----


def test_registered_definitions_build_trees_by_id(tmp_path: pathlib.Path):
    factory = BehaviorTreeFactory()
    factory.register_behavior_tree_from_text(xml("<AlwaysFailure/>", "A") + "")
    (tmp_path / "b.xml").write_text(xml("<AlwaysSuccess/>", "B"))
    factory.register_behavior_tree_from_file(tmp_path / "b.xml")
    assert factory.registered_behavior_trees() == ["A", "B"]
    assert factory.create_tree("A").tick_once() is S.FAILURE
    assert factory.create_tree("B").tick_once() is S.SUCCESS
    assert factory.create_tree_from_file(str(tmp_path / "b.xml")).tick_once() is S.SUCCESS
    factory.clear_registered_behavior_trees()
    assert factory.registered_behavior_trees() == []
    with pytest.raises(BehaviorTreeError):
        factory.create_tree("A")


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    "read",
    [
        lambda f: f.registered_behavior_trees(),
        lambda f: f.registered_types(),
        lambda f: f.node_ports("Sequence"),
    ],
)
def test_reading_a_factory_while_another_thread_loads_into_it_is_refused(read):
    # A load runs without the GIL and changes the factory's tables meanwhile: a read then
    # must be refused rather than race with it. Loads repeat until one overlaps a read.
    factory = BehaviorTreeFactory()
    body = "".join(f'<BehaviorTree ID="T{i}"><Sequence>{"<AlwaysSuccess/>" * 50}</Sequence></BehaviorTree>'
                   for i in range(2000))
    refusals = set()
    for _ in range(20):
        loader = threading.Thread(target=factory.register_behavior_tree_from_text,
                                  args=(f'<root BTCPP_format="4">{body}</root>',))
        loader.start()
        while loader.is_alive():
            try:
                read(factory)
            except RuntimeError as error:
                refusals.add(str(error).split("()", 1)[1])
        loader.join()
        if refusals:
            break
    assert refusals == {" cannot run while another thread is using the same factory"}
    assert len(factory.registered_behavior_trees()) == 2000


@pytest.mark.parametrize(
    "text",
    [
        "<root>",  # not XML
        '<root BTCPP_format="3"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>',
        xml("<NoSuchNode/>"),
    ],
)
def test_rejected_xml_raises_load_error(text):
    with pytest.raises(LoadError):
        BehaviorTreeFactory().create_tree_from_text(text)


def test_tree_outlives_its_factory_and_ticks_python_actions():
    calls = []
    factory = BehaviorTreeFactory()
    factory.register_simple_action("Count", lambda node: calls.append(node.name) or S.SUCCESS)
    tree = factory.create_tree_from_text(xml('<Sequence><Count name="one"/><Count/></Sequence>'))
    del factory
    assert isinstance(tree, Tree)
    assert tree.tick_once() is S.SUCCESS
    assert calls == ["one", "Count"]
    assert tree.status is S.SUCCESS


def test_tree_tick_while_running_and_halt():
    factory = BehaviorTreeFactory()
    ticks = []

    def twice(node):
        ticks.append(1)
        return S.RUNNING if len(ticks) % 2 else S.SUCCESS

    factory.register_simple_action("Twice", twice)
    tree = factory.create_tree_from_text(xml('<Sequence><Twice/><Sleep msec="5"/></Sequence>'))
    assert tree.tick_while_running() is S.SUCCESS
    assert len(ticks) == 2
    assert tree.tick_once() is S.RUNNING
    tree.halt_tree()
    assert tree.status is S.IDLE
    assert [n["status"] for n in tree.get_tree_status()["nodes"]] == [S.IDLE] * 3


def test_every_built_in_node_says_what_it_does():
    factory = BehaviorTreeFactory()
    missing = [t for t in factory.registered_types() if not factory.node_ports(t).get("description")]
    assert missing == []
