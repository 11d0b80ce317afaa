"""SequentialEngine: the operations the thread engine relies on, their results, tick loops,
interrupt(), one user at a time, and ticking with the GIL released."""

import os
import signal
import threading
import time

import pytest

from quorvel.core import LoadError, NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine

S = NodeStatus


def xml(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


def engine_with(body: str) -> SequentialEngine:
    engine = SequentialEngine()
    engine.create_tree_from_text(xml(body))
    return engine


# A tree that counts its ticks in `c` and succeeds from the third on.
COUNTER = '<Sequence><Script code="c := c + 1"/><ScriptCondition code="c >= 3"/></Sequence>'


def run_in_thread(fn):
    """Starts fn in a thread; returns (thread, box) where box gets "result" or "error"."""
    box = {}

    def body():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            box["error"] = e

    thread = threading.Thread(target=body)
    thread.start()
    return thread, box


def wait_until_busy(engine: SequentialEngine):
    """Waits until another thread is inside a call of `engine` (the engine then refuses us)."""
    while True:
        try:
            engine.get_blackboard_data("x")
        except RuntimeError:
            return
        time.sleep(0.001)


# ---- before a tree is loaded ----


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.tick_once(),
        lambda e: e.tick_until_success(),
        lambda e: e.tick_until_failure(),
        lambda e: e.tick_n_times(2),
        lambda e: e.get_tree_status(),
        lambda e: e.get_blackboard_data("k"),
        lambda e: e.set_blackboard_data("k", 1),
        lambda e: e.get_all_blackboard_data(),
        lambda e: e.reset_tree(),
    ],
)
def test_operations_before_a_tree_is_loaded_raise(call):
    with pytest.raises(RuntimeError, match="no tree is loaded"):
        call(SequentialEngine())


# ---- ticking ----


def test_tick_once_and_tick_n_times():
    engine = engine_with(COUNTER)
    engine.set_blackboard_data("c", 0)
    assert engine.tick_once() is S.FAILURE
    assert engine.tick_n_times(3) == [S.FAILURE, S.SUCCESS, S.SUCCESS]
    assert engine.get_blackboard_data("c") == 4


@pytest.mark.parametrize("n", [0, -1, -(10**30)])
def test_tick_n_times_without_ticks(n):
    engine = engine_with(COUNTER)
    engine.set_blackboard_data("c", 0)
    assert engine.tick_n_times(n) == []
    assert engine.get_blackboard_data("c") == 0


@pytest.mark.parametrize("n", [True, 3.0, "3", None])
def test_tick_n_times_wants_an_int(n):
    with pytest.raises(TypeError):
        engine_with("<AlwaysSuccess/>").tick_n_times(n)


@pytest.mark.parametrize(
    "method, body, expected",
    [
        ("tick_until_success", COUNTER, 3),
        ("tick_until_failure", '<Inverter><Sequence><Script code="c := c + 1"/><ScriptCondition code="c >= 3"/></Sequence></Inverter>', 3),
        ("tick_until_success", "<AlwaysSuccess/>", 1),
        ("tick_until_failure", "<AlwaysFailure/>", 1),
    ],
)
def test_tick_until_counts_ticks(method, body, expected):
    engine = engine_with(body)
    engine.set_blackboard_data("c", 0)
    result = getattr(engine, method)()
    assert result == expected and type(result) is int


def test_tick_until_success_sleeps_instead_of_spinning():
    # One RUNNING tick, then the loop sleeps until the Sleep's deadline: two ticks in all.
    engine = engine_with('<Sequence><Sleep msec="30"/><Script code="done := true"/></Sequence>')
    assert engine.tick_until_success() == 2
    assert engine.get_blackboard_data("done") is True


# ---- status ----


def test_get_tree_status_lists_every_node():
    engine = engine_with('<Sequence name="root"><AlwaysSuccess name="ok"/><Sleep msec="10000"/></Sequence>')
    before = engine.get_tree_status()
    assert before["status"] is S.IDLE
    assert engine.tick_once() is S.RUNNING
    status = engine.get_tree_status()
    assert status["status"] is S.RUNNING
    nodes = status["nodes"]
    assert [(n["name"], n["type"], n["kind"], n["status"], n["depth"]) for n in nodes] == [
        ("root", "Sequence", "control", S.RUNNING, 0),
        ("ok", "AlwaysSuccess", "action", S.SUCCESS, 1),
        ("Sleep", "Sleep", "action", S.RUNNING, 1),
    ]
    assert nodes[0]["parent"] is None and nodes[1]["parent"] == nodes[2]["parent"] == nodes[0]["uid"]
    assert len({n["uid"] for n in nodes}) == 3


# ---- blackboard ----


def test_blackboard_values_keep_identity_and_kind():
    engine = engine_with('<Script code="i := 7; r := 2.5; b := true; t := \'x\' .. \'y\'; n := big + 1"/>')
    payload = {"any": ["object"]}
    text = "".join(["some ", "text"])  # a fresh str object
    big = 12345678901
    engine.set_blackboard_data("payload", payload)
    engine.set_blackboard_data("text", text)
    engine.set_blackboard_data("big", big)
    engine.set_blackboard_data("none", None)
    assert engine.tick_once() is S.SUCCESS
    assert engine.get_blackboard_data("payload") is payload
    assert engine.get_blackboard_data("text") is text
    assert engine.get_blackboard_data("big") is big
    assert engine.get_blackboard_data("none") is None
    results = {k: engine.get_blackboard_data(k) for k in ["i", "r", "b", "t", "n"]}
    assert results == {"i": 7, "r": 2.5, "b": True, "t": "xy", "n": big + 1}
    assert [type(results[k]) for k in ["i", "r", "b", "t", "n"]] == [int, float, bool, str, int]
    assert engine.get_blackboard_data("never") is None


def test_get_all_blackboard_data_is_a_new_dict():
    engine = engine_with("<AlwaysSuccess/>")
    obj = object()
    engine.set_blackboard_data("a", obj)
    engine.set_blackboard_data("b", 1)
    first = engine.get_all_blackboard_data()
    assert first == {"a": obj, "b": 1} and first["a"] is obj
    first["c"] = 3
    assert engine.get_all_blackboard_data() == {"a": obj, "b": 1}
    assert engine.get_all_blackboard_data() is not engine.get_all_blackboard_data()


@pytest.mark.parametrize("key", [1, b"k", ("k",), None])
def test_blackboard_keys_must_be_text(key):
    engine = engine_with("<AlwaysSuccess/>")
    with pytest.raises(TypeError):
        engine.set_blackboard_data(key, 1)
    if key is None:  # what a command without a key asks for: never written
        assert engine.get_blackboard_data(key) is None
    else:
        with pytest.raises(TypeError):
            engine.get_blackboard_data(key)


# ---- reset and reload ----


def test_reset_tree_halts_running_nodes_and_keeps_entries():
    engine = engine_with('<Sequence><Script code="x := 1"/><Sleep msec="10000"/></Sequence>')
    assert engine.tick_once() is S.RUNNING
    engine.reset_tree()
    assert all(n["status"] is S.IDLE for n in engine.get_tree_status()["nodes"])
    assert engine.get_tree_status()["status"] is S.IDLE
    assert engine.get_blackboard_data("x") == 1


def test_loading_again_replaces_the_tree_and_a_failed_load_keeps_it():
    engine = engine_with("<AlwaysFailure/>")
    engine.create_tree_from_text(xml("<AlwaysSuccess/>"))
    assert engine.tick_once() is S.SUCCESS
    with pytest.raises(LoadError):
        engine.create_tree_from_text(xml("<Nope/>"))
    assert engine.tick_once() is S.SUCCESS
    with pytest.raises(TypeError):
        engine.create_tree_from_text(b"<root/>")


def test_engines_are_independent():
    a, b = engine_with("<AlwaysSuccess/>"), engine_with("<AlwaysSuccess/>")
    a.set_blackboard_data("k", "a")
    assert b.get_blackboard_data("k") is None
    a.register_action_behavior("OnlyInA", lambda node: S.SUCCESS, [])
    with pytest.raises(LoadError):
        b.create_tree_from_text(xml("<OnlyInA/>"))


# ---- interrupt, one caller at a time, GIL released ----


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "method, body",
    [
        ("tick_until_success", "<AlwaysFailure/>"),  # spins: never succeeds
        ("tick_until_failure", '<Sleep msec="600000"/>'),  # sleeps between ticks
        ("tick_until_success", '<Sequence><AlwaysSuccess/><Sleep msec="600000"/></Sequence>'),
    ],
)
def test_interrupt_stops_a_running_loop_and_is_sticky(method, body):
    engine = engine_with(body)
    thread, box = run_in_thread(getattr(engine, method))
    wait_until_busy(engine)
    engine.interrupt()
    thread.join()
    assert isinstance(box.get("error"), RuntimeError) and "interrupted" in str(box["error"])
    with pytest.raises(RuntimeError, match="interrupted"):
        getattr(engine, method)()
    engine.tick_once()  # a single tick is no loop
    with pytest.raises(RuntimeError, match="interrupted"):
        engine.tick_n_times(2)  # a batch is: a stop must not wait for millions of ticks


@pytest.mark.timeout(30)
def test_interrupt_before_a_tree_is_loaded_still_counts():
    # interrupt() before any tree exists, and from a thread other than the loop's.
    engine = SequentialEngine()
    t = threading.Thread(target=engine.interrupt)
    t.start()
    t.join()
    engine.create_tree_from_text(xml("<AlwaysFailure/>"))
    with pytest.raises(RuntimeError, match="interrupted"):
        engine.tick_until_success()


@pytest.mark.timeout(30)
def test_second_caller_is_refused_while_a_loop_runs():
    engine = engine_with('<Sleep msec="600000"/>')
    thread, box = run_in_thread(engine.tick_until_success)
    wait_until_busy(engine)
    for call in [engine.tick_once, engine.reset_tree, lambda: engine.set_blackboard_data("k", 1),
                 engine.get_all_blackboard_data, lambda: engine.create_tree_from_text(xml("<AlwaysSuccess/>"))]:
        with pytest.raises(RuntimeError, match="another thread"):
            call()
    engine.interrupt()
    thread.join()
    assert isinstance(box["error"], RuntimeError)


@pytest.mark.timeout(60)
def test_built_in_trees_tick_in_parallel_on_two_threads():
    # The loop below never ends by itself and never calls Python: if it kept the GIL, this
    # thread could not tick the second engine and the test would hang.
    spinning = engine_with("<Inverter><AlwaysSuccess/></Inverter>")
    thread, box = run_in_thread(spinning.tick_until_success)
    wait_until_busy(spinning)
    other = engine_with(COUNTER)
    other.set_blackboard_data("c", 0)
    assert other.tick_n_times(2000)[-1] is S.SUCCESS
    assert other.get_blackboard_data("c") == 2000
    assert thread.is_alive()
    spinning.interrupt()
    thread.join()
    assert isinstance(box["error"], RuntimeError)


@pytest.mark.timeout(30)
@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals go to the main thread")
def test_ctrl_c_reaches_a_loop_on_the_main_thread():
    engine = engine_with("<AlwaysFailure/>")
    timer = threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            engine.tick_until_success()
    finally:
        timer.join()
    assert engine.tick_once() is S.FAILURE  # the engine is free again
