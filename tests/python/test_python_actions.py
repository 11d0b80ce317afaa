"""Python actions inside C++ trees: ports, identity of values, exceptions, wrong results,
TreeNode handles used out of place, asynchronous and condition node classes."""

import gc
import sys
import threading
import time

import pytest

from quorvel.core import NodeStatus, PortError
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import ConditionNode, SimpleActionNode, StatefulActionNode

S = NodeStatus


def port(name, type_="string", direction="input"):
    return {"name": name, "type": type_, "direction": direction, "description": ""}


def xml(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


def engine_with(body: str, *actions) -> SequentialEngine:
    engine = SequentialEngine()
    for action in actions:
        engine.register_action_behavior(*action)
    engine.create_tree_from_text(xml(body))
    return engine


# ---- ports and values ----


def test_inputs_and_outputs_keep_the_objects_python_stored():
    seen = {}

    def tick(node):
        seen["literal"] = node.getInputString("literal")
        seen["text"] = node.getInputString("text")
        seen["number_as_text"] = node.getInputString("number")
        seen["obj"] = node.getInputObject("obj")
        seen["missing"] = node.getInputObject("missing")
        node.setOutput("out", seen["obj"]["payload"])
        return S.SUCCESS

    ports = [port("literal"), port("text"), port("number"), port("obj", "object"),
             port("missing", "object"), port("out", "object", "output")]
    engine = engine_with('<Act literal="plain" text="{t}" number="{n}" obj="{o}" missing="{m}" out="{result}"/>',
                         ("Act", tick, ports))
    text, obj = "".join(["fresh ", "str"]), {"payload": ["x"]}
    engine.set_blackboard_data("t", text)
    engine.set_blackboard_data("n", 42)
    engine.set_blackboard_data("o", obj)
    assert engine.tick_once() is S.SUCCESS
    assert seen["literal"] == "plain"
    assert seen["text"] is text
    assert seen["number_as_text"] == "42"
    assert seen["obj"] is obj
    assert seen["missing"] is None
    assert engine.get_blackboard_data("result") is obj["payload"]


def test_python_outputs_are_primitives_for_built_in_nodes():
    def produce(node):
        node.setOutput("count", 5)
        node.setOutput("label", "ok")
        node.setOutput("flag", True)
        return S.SUCCESS

    ports = [port("count", "int", "output"), port("label", "string", "output"), port("flag", "bool", "output")]
    engine = engine_with(
        '<Sequence><Produce count="{c}" label="{l}" flag="{f}"/>'
        '<ScriptCondition code="c * 2 == 10 &amp;&amp; l == \'ok\' &amp;&amp; f"/></Sequence>',
        ("Produce", produce, ports),
    )
    assert engine.tick_once() is S.SUCCESS


def test_typed_getters_convert_literals_and_entries():
    got = {}

    def tick(node):
        got.update(i=node.getInputInt("i"), d=node.getInputDouble("d"), b=node.getInputBool("b"),
                   typed=node.getInput("i"), any_=node.getInput("a"))
        return S.SUCCESS

    ports = [port("i", "int"), port("d", "double"), port("b", "bool"), port("a", "any")]
    engine = engine_with('<T i="7" d="{d}" b="true" a="{a}"/>', ("T", tick, ports))
    engine.set_blackboard_data("d", "2.5")
    marker = object()
    engine.set_blackboard_data("a", marker)
    engine.tick_once()
    assert got == {"i": 7, "d": 2.5, "b": True, "typed": 7, "any_": marker}


@pytest.mark.parametrize(
    "call",
    [
        lambda node: node.getInputString("unset"),  # bound entry never written, string port
        lambda node: node.getInputString("undeclared"),
        lambda node: node.setOutput("literal", 1),  # not bound to an entry
        lambda node: node.getInputInt("literal"),  # "abc" is no integer
    ],
)
def test_port_errors_reach_the_caller_as_port_errors(call):
    ports = [port("unset"), port("literal", "any", "inout")]
    engine = engine_with('<T unset="{nothing}" literal="abc"/>', ("T", lambda node: call(node) or S.SUCCESS, ports))
    with pytest.raises(PortError):
        engine.tick_once()


# ---- exceptions and wrong results ----


class Boom(Exception):
    pass


@pytest.mark.parametrize("method", ["tick_once", "tick_until_success", "tick_until_failure", "tick_n_times"])
def test_exceptions_keep_their_type_and_message(method):
    def explode(node):
        raise Boom("kaboom 42")

    engine = engine_with("<Sequence><AlwaysSuccess/><Explode/></Sequence>", ("Explode", explode, []))
    args = (3,) if method == "tick_n_times" else ()
    with pytest.raises(Boom, match="kaboom 42") as info:
        getattr(engine, method)(*args)
    assert any(frame.name == "explode" for frame in info.traceback)
    # The tree is usable afterwards.
    engine.reset_tree()
    engine.register_action_behavior("Explode", lambda node: S.SUCCESS, [])
    engine.create_tree_from_text(xml("<Sequence><AlwaysSuccess/><Explode/></Sequence>"))
    assert engine.tick_once() is S.SUCCESS


@pytest.mark.parametrize(
    "result, error, match",
    [
        (None, TypeError, "action 'Bad' returned NoneType"),
        (2, TypeError, "action 'Bad' returned int"),
        ("SUCCESS", TypeError, "action 'Bad' returned str"),
        (True, TypeError, "action 'Bad' returned bool"),
        (S.IDLE, ValueError, "action 'Bad' returned NodeStatus.IDLE"),
    ],
)
def test_a_tick_that_returns_no_status_fails_naming_the_action(result, error, match):
    engine = engine_with("<Bad/>", ("Bad", lambda node: result, []))
    with pytest.raises(error, match=match):
        engine.tick_once()


@pytest.mark.parametrize("status", [S.RUNNING, S.SUCCESS, S.FAILURE, S.SKIPPED])
def test_every_real_status_passes_through(status):
    engine = engine_with("<A/>", ("A", lambda node: status, []))
    assert engine.tick_once() is status


# ---- TreeNode used out of place ----


def test_a_kept_tree_node_raises_instead_of_crashing():
    kept = []
    engine = engine_with('<Keep name="kept" p="{x}"/>', ("Keep", lambda node: kept.append(node) or S.SUCCESS, [port("p")]))
    engine.set_blackboard_data("x", "v")
    engine.tick_once()
    engine.tick_once()
    node = kept[0]
    assert kept[1] is node  # the same object on every tick of one node
    assert node.name == "kept" and node.type == "Keep" and "kept" in repr(node)
    with pytest.raises(RuntimeError, match="only during the node's own tick"):
        node.getInputString("p")
    del engine
    gc.collect()
    for call in [lambda: node.getInputObject("p"), lambda: node.setOutput("p", 1), lambda: node.status]:
        with pytest.raises(RuntimeError):
            call()


@pytest.mark.timeout(30)
def test_a_tree_node_used_from_another_thread_during_the_tick_raises():
    errors = []

    def tick(node):
        def other():
            try:
                node.getInputString("p")
            except RuntimeError as e:
                errors.append(e)

        t = threading.Thread(target=other)
        t.start()
        t.join()
        return S.SUCCESS

    engine = engine_with('<T p="x"/>', ("T", tick, [port("p")]))
    assert engine.tick_once() is S.SUCCESS
    assert len(errors) == 1


def test_an_action_may_use_its_own_blackboard_but_not_tick_its_own_tree():
    holder = {}

    def tick(node):
        engine = holder["engine"]
        engine.set_blackboard_data("seen", engine.get_blackboard_data("x") + 1)
        with pytest.raises(RuntimeError, match="inside one of the tree's own actions"):
            engine.tick_once()
        return S.SUCCESS

    engine = engine_with("<Reenter/>", ("Reenter", tick, []))
    holder["engine"] = engine
    engine.set_blackboard_data("x", 1)
    assert engine.tick_once() is S.SUCCESS
    assert engine.get_blackboard_data("seen") == 2


# ---- running actions, node classes ----


def test_a_running_action_is_ticked_again_until_it_finishes():
    calls = []

    def slow(node):
        calls.append(node.status)
        if len(calls) < 3:
            node.requestWakeAfter(0.001)
            return S.RUNNING
        return S.SUCCESS

    engine = engine_with("<Slow/>", ("Slow", slow, []))
    assert engine.tick_until_success() == 3
    assert calls == [S.IDLE, S.RUNNING, S.RUNNING]


class Countdown(StatefulActionNode):
    ports = [port("n", "int"), port("log", "object")]

    def onStart(self, node):
        self.left = node.getInputInt("n")
        node.getInputObject("log").append(("start", node.name, id(self)))
        return S.RUNNING

    def onRunning(self, node):
        self.left -= 1
        node.getInputObject("log").append(("running", node.name, self.left))
        return S.SUCCESS if self.left <= 0 else S.RUNNING

    def onHalted(self, node):
        node.getInputObject("log").append(("halted", node.name))


def countdown_engine(body):
    engine = SequentialEngine()
    engine.register_action_behavior("Countdown", Countdown.tick, Countdown.ports)
    engine.create_tree_from_text(xml(body))
    log = []
    engine.set_blackboard_data("log", log)
    return engine, log


def test_stateful_action_runs_start_running_and_halted():
    engine, log = countdown_engine('<Countdown name="a" n="2" log="{log}"/>')
    assert engine.tick_n_times(3) == [S.RUNNING, S.RUNNING, S.SUCCESS]
    assert [e[0] for e in log] == ["start", "running", "running"]
    log.clear()
    assert engine.tick_once() is S.RUNNING  # starts again after finishing
    engine.reset_tree()
    assert [e[0] for e in log] == ["start", "halted"]


def test_stateful_action_is_halted_by_its_parent_and_instances_are_per_node():
    engine, log = countdown_engine(
        '<Parallel success_count="1"><Countdown name="fast" n="1" log="{log}"/>'
        '<Countdown name="slow" n="5" log="{log}"/></Parallel>'
    )
    assert engine.tick_once() is S.RUNNING
    assert engine.tick_once() is S.SUCCESS  # "fast" finished: "slow" is halted
    assert ("halted", "slow") in log and ("halted", "fast") not in log
    starts = [e for e in log if e[0] == "start"]
    assert len({e[2] for e in starts}) == 2


def test_stateful_action_is_halted_when_its_engine_goes_away():
    engine, log = countdown_engine('<Countdown name="a" n="5" log="{log}"/>')
    engine.tick_once()
    del engine
    gc.collect()
    assert log[-1] == ("halted", "a")


@pytest.mark.timeout(30)
def test_asynchronous_work_lets_the_loop_sleep_until_woken():
    wakers = []

    class Async(StatefulActionNode):
        def onStart(self, node):
            self.done = threading.Event()
            waker = node.waker()
            wakers.append(waker)

            def work():
                time.sleep(0.05)
                self.done.set()
                waker.wake()

            threading.Thread(target=work).start()
            node.waitForWake()
            return S.RUNNING

        def onRunning(self, node):
            if self.done.is_set():
                return S.SUCCESS
            node.waitForWake()
            return S.RUNNING

    engine = engine_with("<Async/>", ("Async", Async.tick, []))
    assert engine.tick_until_success() == 2  # one tick to start, one after the wake: no spinning
    del engine
    gc.collect()
    wakers[0].wake()  # the tree is gone: nothing happens


def test_a_failing_halt_hook_fails_the_call_that_halted():
    class Stubborn(StatefulActionNode):
        def onStart(self, node):
            return S.RUNNING

        def onHalted(self, node):
            raise Boom("cannot stop")

    engine = engine_with("<Stubborn/>", ("Stubborn", Stubborn.tick, []))
    engine.tick_once()
    with pytest.raises(Boom, match="cannot stop"):
        engine.reset_tree()
    assert engine.get_tree_status()["status"] is S.IDLE


def test_condition_node_must_finish():
    class Maybe(ConditionNode):
        @staticmethod
        def tick(node):
            return S.RUNNING

    assert issubclass(Maybe, SimpleActionNode)
    engine = engine_with("<Maybe/>", ("Maybe", Maybe.tick, []))
    with pytest.raises(ValueError, match="condition 'Maybe'"):
        engine.tick_once()


def test_demonstration_shaped_tree_runs_both_nodes_in_one_tick():
    class Create(SimpleActionNode):
        ports = [port("model_id"), port("description"), port("agent", "object", "output")]

        @staticmethod
        def tick(node):
            node.setOutput("agent", {"model": node.getInputString("model_id"), "desc": node.getInputString("description")})
            return S.SUCCESS

    class Stream(SimpleActionNode):
        ports = [port("agent", "object"), port("instructions", "object"),
                 port("response_stream", "object", "output"), port("user_input")]

        @staticmethod
        def tick(node):
            agent = node.getInputObject("agent")
            assert node.getInputObject("instructions") is None
            node.setOutput("response_stream", iter([agent["model"], node.getInputString("user_input")]))
            return S.SUCCESS

    text = """
    <root BTCPP_format="4">
        <BehaviorTree ID="MainTree">
            <Sequence name="root_sequence">
                <Create model_id="m:1" agent="{agent}" description="d"/>
                <KeepRunningUntilFailure>
                    <Sequence>
                        <Stream agent="{agent}"
\tinstructions="{instructions}"
\tuser_input="{user_input}"
\tresponse_stream="{response_stream}"/>
                    </Sequence>
                </KeepRunningUntilFailure>
            </Sequence>
        </BehaviorTree>
    </root>
    """
    engine = SequentialEngine()
    for cls in (Create, Stream):
        engine.register_action_behavior(cls.__name__, cls.tick, cls.ports)
    engine.create_tree_from_text(text)
    engine.set_blackboard_data("user_input", "news")
    assert engine.tick_once() is S.RUNNING
    assert list(engine.get_blackboard_data("response_stream")) == ["m:1", "news"]


@pytest.mark.timeout(60)
def test_python_actions_on_two_threads_see_their_own_nodes():
    # One tick functor shared by two engines ticking at the same time on two threads.
    def copy(node):
        node.setOutput("out", node.getInputObject("inp"))
        return S.SUCCESS

    ports = [port("inp", "object"), port("out", "object", "output")]
    engines = [engine_with('<Repeat num_cycles="50"><Copy inp="{a}" out="{b}"/></Repeat>', ("Copy", copy, ports))
               for _ in range(2)]
    markers = [object(), object()]
    for engine, marker in zip(engines, markers):
        engine.set_blackboard_data("a", marker)
    errors = []

    def run(engine):
        try:
            for _ in range(200):
                assert engine.tick_once() is S.SUCCESS
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=run, args=(e,)) for e in engines]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert [e.get_blackboard_data("b") for e in engines] == markers


@pytest.mark.timeout(60)
def test_a_long_call_of_python_actions_lets_other_threads_run():
    # The call keeps the GIL from one Python action to the next; other threads must still get
    # it as the interpreter's switch interval asks, not only when the call returns.
    progress = {"other": 0}
    seen = []
    stop = threading.Event()

    def note(node):
        seen.append(progress["other"])
        return S.SUCCESS

    def other():
        while not stop.is_set():
            progress["other"] += 1

    engine = engine_with('<Repeat num_cycles="10000"><Sequence>' + "<Note/>" * 50 + "</Sequence></Repeat>",
                         ("Note", note, []))
    thread = threading.Thread(target=other)
    thread.start()
    try:
        while progress["other"] == 0:
            time.sleep(0.001)
        old = sys.getswitchinterval()
        sys.setswitchinterval(0.001)
        try:
            assert engine.tick_once() is S.SUCCESS  # 500,000 Python actions in one call
        finally:
            sys.setswitchinterval(old)
    finally:
        stop.set()
        thread.join()
    changes = sum(1 for a, b in zip(seen, seen[1:]) if b != a)
    assert changes >= 3, f"the other thread ran only {changes} times during the call"


class Marker:
    def __init__(self, log):
        self.log = log

    def __del__(self):
        self.log.append("collected")


@pytest.mark.parametrize("cycle", ["functor", "blackboard", "node attribute"])
def test_reference_cycles_through_the_engine_are_collected(cycle):
    log = []
    engine = SequentialEngine()
    marker = Marker(log)

    def tick(node):
        if cycle == "node attribute":
            node.keep = (engine, marker)
        return S.SUCCESS

    if cycle == "functor":
        tick.refs = (engine, marker)
    engine.register_action_behavior("T", tick, [])
    engine.create_tree_from_text(xml("<T/>"))
    if cycle == "blackboard":
        engine.set_blackboard_data("me", engine)
        engine.set_blackboard_data("marker", marker)
    engine.tick_once()
    del engine, marker, tick
    gc.collect()
    assert log == ["collected"]
