"""Control and decorator nodes written in Python: registration, children, ports, halting,
waiting, errors; editor metadata; named documents."""

import time

import pytest
from loguru import logger

from quorvel.core import BehaviorTreeFactory, LoadError, NodeStatus, TickError
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import StatefulActionNode
from quorvel.nodes.control_node import ControlNode, DecoratorNode

from robot_nodes import ForEach, PipelineSequence, RateController, RecoveryNode

S = NodeStatus


def xml(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


def scripted(log):
    """An action that returns the statuses of its `results` port, one per tick, and logs
    name:tick / name:halt."""

    class Scripted(StatefulActionNode):
        ports = [{"name": "results", "type": "string", "default": "SUCCESS"}]

        def _next(self, node):
            results = node.getInput("results").split(",")
            self.i = getattr(self, "i", 0)
            status = S[results[min(self.i, len(results) - 1)]]
            self.i += 1
            log.append(f"{node.name}:tick")
            return status

        def onStart(self, node):
            return self._next(node)

        def onRunning(self, node):
            return self._next(node)

        def onHalted(self, node):
            log.append(f"{node.name}:halt")

    return Scripted


def engine_with(body, *classes, log=None):
    engine = SequentialEngine()
    engine.register_node_type(scripted(log if log is not None else []), "Act")
    for cls in classes:
        engine.register_node_type(cls)
    engine.create_tree_from_text(xml(body))
    return engine


def trace(engine, log, ticks):
    out = []
    for _ in range(ticks):
        status = engine.tick_once()
        out.append(f"{status.name}[{' '.join(log)}]")
        log.clear()
    return " ".join(out)


# ---- nodes people write ----


def test_recovery_node_retries_the_work_after_each_recovery():
    log = []
    body = (
        '<RecoveryNode number_of_retries="2">'
        '<Act name="work" results="FAILURE,FAILURE,SUCCESS"/><Act name="clear" results="RUNNING,SUCCESS"/>'
        "</RecoveryNode>"
    )
    engine = engine_with(body, RecoveryNode, log=log)
    # The recovery runs over two ticks the first time and at once the second.
    assert trace(engine, log, 2) == (
        "RUNNING[work:tick clear:tick] SUCCESS[clear:tick work:tick clear:tick work:tick]"
    )
    # Out of retries: the work's failure is the node's.
    log.clear()
    body = '<RecoveryNode number_of_retries="1"><Act name="work" results="FAILURE"/><Act name="clear"/></RecoveryNode>'
    engine = engine_with(body, RecoveryNode, log=log)
    assert trace(engine, log, 1) == "FAILURE[work:tick clear:tick work:tick]"


def test_pipeline_sequence_reticks_finished_children_while_a_later_one_runs():
    log = []
    body = (
        "<PipelineSequence>"
        '<Act name="a"/><Act name="b" results="SUCCESS,RUNNING"/><Act name="c" results="RUNNING,RUNNING,SUCCESS"/>'
        "</PipelineSequence>"
    )
    engine = engine_with(body, PipelineSequence, log=log)
    # b running again does not hold c back; when c succeeds the node is done and b is halted.
    assert trace(engine, log, 4) == (
        "RUNNING[a:tick b:tick c:tick] RUNNING[a:tick b:tick c:tick] SUCCESS[a:tick b:tick c:tick b:halt] "
        "RUNNING[a:tick b:tick]"
    )


def test_for_each_decorator_runs_its_child_once_per_item():
    seen = []

    class Visit(StatefulActionNode):
        ports = [{"name": "item", "type": "object"}]

        def onStart(self, node):
            seen.append(node.getInputObject("item"))
            return S.RUNNING  # each item takes two ticks

        def onRunning(self, node):
            return S.FAILURE if node.getInputObject("item") == "bad" else S.SUCCESS

    engine = engine_with('<ForEach items="{todo}" item="{it}"><Visit item="{it}"/></ForEach>', ForEach, Visit)
    plan = [{"x": 1}, "two", 3]
    engine.set_blackboard_data("todo", plan)
    assert engine.tick_until_success() == 4
    assert seen == plan and seen[0] is plan[0]
    engine.set_blackboard_data("todo", ["ok", "bad", "never"])
    seen.clear()
    assert engine.tick_n_times(4) == [S.RUNNING, S.RUNNING, S.FAILURE, S.RUNNING]
    assert seen == ["ok", "bad", "ok"]


def test_a_rate_controller_waiting_for_its_period_does_not_spin():
    ticks = []

    class Count(ControlNode):
        def tick(self, node):
            ticks.append(1)
            return node.children[0].tick()

    engine = SequentialEngine()
    engine.register_node_type(Count)
    engine.register_node_type(RateController)
    # The rate controller never finishes: stop after five of its periods.
    engine.create_tree_from_text(
        xml(
            '<ReactiveSequence><ScriptCondition code="n &lt; 5"/>'
            '<Count><RateController hz="20"><Script code="n += 1"/></RateController></Count></ReactiveSequence>'
        )
    )
    engine.set_blackboard_data("n", 0)
    ticks.clear()
    started = time.monotonic()
    assert engine.tick_until_failure() == len(ticks) + 1  # the last tick stops at the condition
    assert time.monotonic() - started >= 0.15
    assert len(ticks) < 30  # about five periods, not thousands of spins


# ---- the node's contract ----


def test_each_node_has_its_own_instance_built_at_load():
    made = []

    class Counter(DecoratorNode):
        ports = [{"name": "label", "type": "string"}, {"name": "out", "direction": "output"}]

        def __init__(self):
            made.append(self)
            self.ticks = 0

        def tick(self, node):
            self.ticks += 1
            node.setOutput("out", f"{node.getInput('label')}:{self.ticks}:{node.child.name}:{node.child.type}")
            return node.child.tick()

    engine = engine_with(
        '<Sequence><Counter label="a" out="{a}"><AlwaysSuccess name="x"/></Counter>'
        '<Decorator ID="Counter" label="b" out="{b}"><AlwaysSuccess/></Decorator></Sequence>',
        Counter,
    )
    assert len(made) == 2  # before any tick
    engine.tick_once()
    engine.tick_once()
    assert engine.get_blackboard_data("a") == "a:2:x:AlwaysSuccess"
    assert engine.get_blackboard_data("b") == "b:2:AlwaysSuccess:AlwaysSuccess"
    assert [m.ticks for m in made] == [2, 2]


def test_halting_reaches_the_node_and_its_running_children():
    log = []

    class Both(ControlNode):
        def tick(self, node):
            statuses = [child.tick() for child in node.children]
            return S.RUNNING if S.RUNNING in statuses else S.SUCCESS

    class Forgetful(ControlNode):
        """Its halt does not halt the children: the engine does it anyway."""

        def tick(self, node):
            return node.children[0].tick()

        def halt(self, node):
            log.append("forgetful:halt")

    body = (
        '<ReactiveSequence><Act name="gate" results="SUCCESS,FAILURE"/>'
        '<Both><Act name="a" results="RUNNING"/><Act name="b"/>'
        '<Forgetful><Act name="c" results="RUNNING"/></Forgetful></Both></ReactiveSequence>'
    )
    engine = engine_with(body, Both, Forgetful, log=log)
    assert trace(engine, log, 2) == (
        "RUNNING[gate:tick a:tick b:tick c:tick] FAILURE[gate:tick a:halt forgetful:halt c:halt]"
    )
    assert all(n["status"] is S.IDLE for n in engine.get_tree_status()["nodes"][1:])
    # reset_tree halts them the same way.
    engine.tick_once()
    log.clear()
    engine.reset_tree()
    assert log == []  # nothing was running after the FAILURE
    engine.create_tree_from_text(xml('<Both><Act name="a" results="RUNNING"/></Both>'))
    engine.tick_once()
    log.clear()
    engine.reset_tree()
    assert log == ["a:halt"]


def test_a_finished_node_resets_its_children():
    log = []

    class Impatient(ControlNode):
        def tick(self, node):
            node.children[0].tick()
            return S.SUCCESS  # leaves its child running

    engine = engine_with('<Impatient><Act name="a" results="RUNNING"/></Impatient>', Impatient, log=log)
    assert trace(engine, log, 1) == "SUCCESS[a:tick a:halt]"


def test_conditions_and_editor_attributes_work_on_python_nodes():
    class Once(DecoratorNode):
        def tick(self, node):
            return node.child.tick()

    engine = engine_with(
        '<Sequence><Once _skipIf="skip" _onSuccess="done := true" _collapsed="true"><AlwaysSuccess/></Once></Sequence>',
        Once,
    )
    engine.set_blackboard_data("skip", True)
    assert engine.tick_once() is S.SKIPPED
    engine.set_blackboard_data("skip", False)
    assert engine.tick_once() is S.SUCCESS
    assert engine.get_blackboard_data("done") is True


@pytest.mark.parametrize(
    "body, message",
    [
        ("<Dec/>", "takes exactly 1 child, not 0"),
        ("<Dec><AlwaysSuccess/><AlwaysSuccess/></Dec>", "takes exactly 1 child, not 2"),
        ("<Ctl/>", "at least 1 child, not 0"),
        ('<Control ID="Dec"><AlwaysSuccess/></Control>', "Dec is a Decorator, not a Control"),
        ('<Action ID="Ctl"><AlwaysSuccess/></Action>', "Ctl is a Control, not a Action"),
    ],
)
def test_child_counts_and_categories_are_checked_at_load(body, message):
    class Dec(DecoratorNode):
        def tick(self, node):
            return node.child.tick()

    class Ctl(ControlNode):
        def tick(self, node):
            return S.SUCCESS

    engine = SequentialEngine()
    engine.register_node_type(Dec)
    engine.register_node_type(Ctl)
    with pytest.raises(LoadError, match=message):
        engine.create_tree_from_text(xml(body))


class Boom(Exception):
    pass


def test_errors_keep_their_type_and_name_the_node():
    class Fragile(ControlNode):
        def tick(self, node):
            raise Boom("bad wiring")

    engine = engine_with('<Sequence><Fragile name="f"><AlwaysSuccess/></Fragile></Sequence>', Fragile)
    with pytest.raises(Boom, match="bad wiring") as info:
        engine.tick_once()
    assert any("'f' (Fragile" in note for note in info.value.__notes__)
    engine.reset_tree()

    # A child's exception reaches the parent's code as raised, and may be handled there.
    def explode(node):
        raise Boom("from the child")

    class Catcher(DecoratorNode):
        def tick(self, node):
            try:
                return node.child.tick()
            except Boom:
                return S.FAILURE

    class Carrier(DecoratorNode):
        def tick(self, node):
            return node.child.tick()

    engine = SequentialEngine()
    engine.register_action_behavior("Explode", explode, [])
    engine.register_node_type(Catcher)
    engine.register_node_type(Carrier)
    engine.create_tree_from_text(xml("<Catcher><Explode/></Catcher>"))
    assert engine.tick_once() is S.FAILURE
    engine.create_tree_from_text(xml("<Carrier><Carrier><Explode/></Carrier></Carrier>"))
    with pytest.raises(Boom, match="from the child") as info:
        engine.tick_once()
    assert not getattr(info.value, "__notes__", [])  # it is not the carriers' error
    # An engine error of a child keeps its class through the Python node.
    engine.create_tree_from_text(xml('<Carrier><Script code="missing + 1"/></Carrier>'))
    with pytest.raises(TickError, match="missing"):
        engine.tick_once()


@pytest.mark.parametrize("result, error", [(None, TypeError), (S.IDLE, ValueError), ("SUCCESS", TypeError)])
def test_a_tick_that_returns_no_status_names_the_node_type(result, error):
    class Sloppy(ControlNode):
        def tick(self, node):
            return result

    engine = engine_with("<Sloppy><AlwaysSuccess/></Sloppy>", Sloppy)
    with pytest.raises(error, match="control node 'Sloppy'"):
        engine.tick_once()


def test_a_constructor_that_raises_fails_the_load_with_its_exception():
    class Picky(ControlNode):
        def __init__(self):
            raise Boom("needs arguments")

    engine = SequentialEngine()
    engine.register_node_type(Picky)
    with pytest.raises(Boom, match="needs arguments") as info:
        engine.create_tree_from_text(xml("<Picky><AlwaysSuccess/></Picky>"))
    assert any("Picky" in note for note in info.value.__notes__)


def test_children_are_usable_only_during_the_parents_callbacks():
    kept = []

    class Keeper(DecoratorNode):
        def tick(self, node):
            kept.append(node.child)
            return node.child.tick()

    engine = engine_with("<Keeper><AlwaysSuccess/></Keeper>", Keeper)
    engine.tick_once()
    child = kept[0]
    assert (child.name, child.type, child.index) == ("AlwaysSuccess", "AlwaysSuccess", 0)
    with pytest.raises(RuntimeError, match="only during its parent's tick"):
        child.tick()


def test_the_factory_registers_control_nodes_too():
    factory = BehaviorTreeFactory()
    factory.register_node_type(PipelineSequence, "Pipe")
    assert factory.node_ports("Pipe")["kind"] == "control"
    factory.register_node_type(RateController)
    assert factory.node_ports("RateController")["kind"] == "decorator"
    assert [p["name"] for p in factory.node_ports("RateController")["ports"]] == ["hz"]
    tree = factory.create_tree_from_text(xml("<Pipe><AlwaysSuccess/><AlwaysSuccess/></Pipe>"))
    assert tree.tick_once() is S.SUCCESS
    with pytest.raises(TypeError):
        factory.register_node_type(object)


# ---- loads: metadata warnings and document names ----


def test_unknown_underscore_attributes_are_kept_and_named_in_a_warning():
    records = []
    sink = logger.add(lambda m: records.append(m.record), level="WARNING")
    try:
        engine = SequentialEngine()
        engine.create_tree_from_text(xml('<Sequence _collapsed="true"><AlwaysSuccess _skipif="x" _uid="3"/></Sequence>'))
        assert engine.tick_once() is S.SUCCESS
        assert len(records) == 1
        text = records[0]["message"]
        assert "'_collapsed'" in text and "'_skipif'" in text and "_uid" not in text
        assert records[0]["name"].startswith("quorvel")
        logger.disable("quorvel")
        try:
            engine.create_tree_from_text(xml('<AlwaysSuccess _collapsed="true"/>'))
        finally:
            logger.enable("quorvel")
        assert len(records) == 1
    finally:
        logger.remove(sink)


def test_a_named_document_is_named_in_its_errors():
    bad = '<root BTCPP_format="4">\n<BehaviorTree ID="M"><Nope/></BehaviorTree></root>'
    engine = SequentialEngine()
    with pytest.raises(LoadError, match=r"^nav/patrol\.xml: line 2"):
        engine.create_tree_from_text(bad, name="nav/patrol.xml")
    factory = BehaviorTreeFactory()
    with pytest.raises(LoadError, match=r"^dock\.xml: "):
        factory.create_tree_from_text(bad, name="dock.xml")
    factory.register_behavior_tree_from_text(bad, name="dock.xml")
    with pytest.raises(LoadError, match=r"dock\.xml: line 2.*'Nope'"):
        factory.create_tree("M")
    with pytest.raises(TypeError):
        engine.create_tree_from_text(bad, name=3)


def test_scripts_written_the_way_applications_write_them():
    engine = SequentialEngine()
    engine.create_tree_from_text(
        xml(
            '<Sequence><Script code="dir := &quot;/maps/&quot;; full := dir + name + &quot;.yaml&quot;"/>'
            "<Script code=\"n := count + 4; joined := 'ab' + 4\"/></Sequence>"
        )
    )
    engine.set_blackboard_data("name", "lab")
    engine.set_blackboard_data("count", "3")  # a number written as text still adds
    assert engine.tick_once() is S.SUCCESS
    assert engine.get_blackboard_data("full") == "/maps/lab.yaml"
    assert engine.get_blackboard_data("n") == 7
    assert engine.get_blackboard_data("joined") == "ab4"


@pytest.mark.timeout(60)
def test_python_nodes_over_long_stretches_of_built_in_nodes_tick_on_several_threads():
    # A child made of hundreds of built-in ticks lets the GIL go in the middle of the Python
    # node's own tick; the node must have it back before its code goes on, while other
    # threads run Python meanwhile.
    import threading

    body = (
        '<PipelineSequence><Repeat num_cycles="300"><Script code="n += 1"/></Repeat>'
        '<RecoveryNode><ScriptCondition code="n / 600 * 600 == n"/><AlwaysSuccess/></RecoveryNode></PipelineSequence>'
    )
    errors = []

    def run():
        try:
            engine = engine_with(body, PipelineSequence, RecoveryNode)
            engine.set_blackboard_data("n", 0)
            statuses = engine.tick_n_times(40)
            assert engine.get_blackboard_data("n") == 40 * 300
            assert statuses == [S.FAILURE, S.SUCCESS] * 20
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run) for _ in range(3)]
    for t in threads:
        t.start()
    busy = sum(i * i for i in range(200_000))  # Python work on this thread meanwhile
    for t in threads:
        t.join()
    assert busy > 0 and errors == []


def test_an_instance_that_refers_back_to_its_engine_is_collected():
    import gc
    import weakref

    class Holder(DecoratorNode):
        engine = None

        def tick(self, node):
            return node.child.tick()

    engine = engine_with("<Holder><AlwaysSuccess/></Holder>", Holder)
    engine.tick_once()
    # the node's instance keeps the engine alive and the engine keeps the instance: a cycle
    instances = [n for n in gc.get_objects() if type(n) is Holder]
    assert len(instances) == 1
    instances[0].engine = engine
    gone = weakref.ref(instances[0])
    del engine, instances
    gc.collect()
    assert gone() is None
