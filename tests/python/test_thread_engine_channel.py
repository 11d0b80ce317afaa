"""The command channel: dispatch, answers and failures, the worker's life, stopping, and
everything that must not hang when callers, workers, stops and signals meet."""

from __future__ import annotations

import os
import signal
import threading
import time

import pytest

import quorvel.engine.trigger.mthread as mt
from test_thread_engine import XML, engine, fake, log, only_engine  # noqa: F401  (fixtures)

pytestmark = pytest.mark.timeout(30)


def wait_until(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, "condition not reached"
        time.sleep(0.001)


def bare_engine():
    """An engine without workers, for calling _process_command directly."""
    e = mt.ThreadEngine.__new__(mt.ThreadEngine)
    e.trees = {}
    return e


def post(record, command):
    """Sends a command by hand, the way the record's protocol is written down."""
    cond, result = record["cond"], record["result"]
    with cond:
        record["command"][0] = command
        cond.notify()
        while result[0] is None:
            cond.wait()
        answer, result[0] = result[0], None
        return answer


# ---- dispatch ----


@pytest.mark.parametrize("call, engine_call, answer, returned", [
    (lambda e: e.tick_once("t"), ("tick_once",), "RUNNING", "RUNNING"),
    (lambda e: e.tick_until_failure("t"), ("tick_until_failure",), 4, 4),
    (lambda e: e.tick_n_times("t", -2), ("tick_n_times", -2), None, None),
    (lambda e: e.get_tree_status("t"), ("get_tree_status",), {"status": 1}, {"status": 1}),
    (lambda e: e.get_blackboard_data("t", "k"), ("get_blackboard_data", "k"), None, None),
    (lambda e: e.set_blackboard_data("t", "k", None), ("set_blackboard_data", "k", None), "dropped", None),
    (lambda e: e.reset_tree("t"), ("reset_tree",), "dropped", None),
    (lambda e: e._send_command(command_type="get_all_blackboard_data", tree_id="t", params={}),
     ("get_all_blackboard_data",), {}, {}),
])
def test_each_operation_is_one_engine_call(engine, fake, call, engine_call, answer, returned):
    fake.behaviour[engine_call[0]] = answer
    engine.create_tree_from_text(XML, "t")
    assert call(engine) == returned
    assert only_engine(fake).calls[1:] == [engine_call]


@pytest.mark.parametrize("call, answer, message", [
    (lambda e: e.tick_until_success("t"), True, "Expected int, got bool"),
    (lambda e: e.tick_n_times("t", 2), ("a", "b"), "Expected list, got tuple"),
    (lambda e: e.get_all_blackboard_data("t"), type("Board", (dict,), {})(), "Expected dict, got Board"),
])
def test_answers_of_the_wrong_type(engine, fake, call, answer, message):
    for name in ("tick_until_success", "tick_n_times", "get_all_blackboard_data"):
        fake.behaviour[name] = lambda eng, *args: answer
    engine.create_tree_from_text(XML, "t")
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message
    assert len(only_engine(fake).calls) == 2  # the command itself was carried out


def test_params_reach_the_worker_as_sent(fake, log):
    seen = []

    class Spy(mt.ThreadEngine):
        def _process_command(self, engine, command, tree_id, result):
            seen.append(command)
            super()._process_command(engine, command, tree_id, result)

    e = Spy()
    try:
        e.create_tree_from_text(XML, "t")
        params = {"key": "k"}
        e._send_command("t", "get_blackboard_data", params)
        e._send_command("t", "tick_once", {})
        e._send_command("t", "tick_once")
        assert seen[0]["params"] is params
        assert seen[1] == seen[2] == {"type": "tick_once", "params": {}} and seen[1]["params"] is not seen[2]["params"]
    finally:
        e.stop_all_trees()


class Params:
    """A parameter mapping that is not a dict: read through its own get."""

    def get(self, key, default=None):
        return {"n": 5}.get(key, default)


@pytest.mark.parametrize("command, call, value", [
    ({"type": "tick_n_times"}, ("tick_n_times", 1), "T"),
    ({"type": "tick_n_times", "params": Params()}, ("tick_n_times", 5), "T"),
    ({"type": "get_blackboard_data", "params": {}}, ("get_blackboard_data", None), "T"),
    ({"type": "set_blackboard_data", "params": {"value": 2, "x": 0}}, ("set_blackboard_data", None, 2), None),  # dropped
    ({"type": "reset", "params": [1]}, ("reset_tree",), None),  # reads no parameter, answer dropped
    ({"type": "tick_once", "extra": 1}, ("tick_once",), "T"),
])
def test_process_command_with_any_engine(command, call, value, log):
    class Engine:
        def __init__(self):
            self.calls = []

        def __getattr__(self, name):
            return lambda *args: self.calls.append((name,) + args) or "T"

    engine, result, e = Engine(), ["old"], bare_engine()
    assert e._process_command(engine, command, "t", result) is None
    assert engine.calls == [call] and result == [(command["type"], "t", value)]
    assert log.lines == []


@pytest.mark.parametrize("command, message", [
    ({}, "未知命令类型: None"),
    ({"type": "get_tree_status"}, "未知命令类型: get_tree_status"),
    ({"type": "tick_once "}, "未知命令类型: tick_once "),
    ({"type": 3.5}, "未知命令类型: 3.5"),
    ({"type": "tick_n_times", "params": [1]}, "处理命令 tick_n_times 时发生错误: 'list' object has no attribute 'get'"),
    ({"type": "tick_once"}, "处理命令 tick_once 时发生错误: engine broke"),
])
def test_process_command_errors_become_triples(command, message, log):
    class Broken:
        def tick_once(self):
            raise ValueError("engine broke")

    result, e = [None], bare_engine()
    e._process_command(Broken(), command, "t", result)
    assert result == [("error", "t", message)] and log.lines == [("error", message)]


# ---- answers and failures through the channel ----


def test_failed_command_then_normal_service(engine, fake, log):
    fake.behaviour["tick_once"] = ValueError("boom")
    engine.create_tree_from_text(XML, "t")
    with pytest.raises(RuntimeError) as info:
        engine.tick_once("t")
    assert str(info.value) == "行为树 t 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: boom"
    assert log.messages("error") == ["处理命令 tick_once 时发生错误: boom", str(info.value)]
    with pytest.raises(RuntimeError, match="^行为树 t 执行命令 nope 失败: 未知命令类型: nope$"):
        engine._send_command("t", "nope")
    engine.set_blackboard_data("t", "k", 1)
    assert engine.get_blackboard_data("t", "k") == 1


def test_rejected_xml_answers_the_first_command_then_refuses(engine, fake, log):
    fake.behaviour["create_tree_from_text"] = ValueError("line 1: bad xml")
    engine.create_tree_from_text("<bad/>", "t")
    engine.trees["t"]["thread"].join()
    message = "行为树线程 t 发生错误: line 1: bad xml"
    assert log.messages("error") == [message]
    assert engine.trees["t"]["result"] == [("error", "t", message)]
    with pytest.raises(RuntimeError) as info:
        engine.get_tree_status("t")
    assert str(info.value) == "行为树 t 执行命令 get_status 失败: " + message
    # nobody will ever answer again: refused at once instead of waiting forever
    with pytest.raises(RuntimeError, match="^行为树 t 执行命令 tick_once 失败: 行为树线程已结束$"):
        engine.tick_once("t")
    engine.stop_tree("t")
    assert engine.trees == {}


@pytest.mark.parametrize("raised, text", [
    (SystemExit(), "SystemExit"), (KeyboardInterrupt("stop"), "stop"), (GeneratorExit(), "GeneratorExit")])
def test_any_exception_of_an_action_is_its_commands_error(engine, fake, raised, text):
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text")

    fake.behaviour["tick_once"] = raised
    fake.behaviour["reset_tree"] = Unprintable()
    engine.create_tree_from_text(XML, "t")
    with pytest.raises(RuntimeError) as info:
        engine.tick_once("t")
    assert str(info.value) == "行为树 t 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: " + text
    assert info.value.__cause__ is raised and info.value.__cause__.__traceback__ is not None
    with pytest.raises(RuntimeError, match="时发生错误: Unprintable$"):
        engine.reset_tree("t")
    fake.behaviour["tick_once"] = "fine"
    assert engine.tick_once("t") == "fine"  # the worker serves on


def test_worker_that_ends_without_answering(engine, fake):
    """A worker thread that is gone (here an override of _run_tree that serves nothing)
    leaves no caller waiting."""
    class Broken(mt.ThreadEngine):
        def _run_tree(self, tree_id, xml_text):
            time.sleep(0.05)

    broken = Broken()
    broken.create_tree_from_text(XML, "t")
    with pytest.raises(RuntimeError, match="^行为树 t 执行命令 tick_once 失败: 行为树线程已结束$"):
        broken.tick_once("t")
    broken.stop_tree("t")


def test_registrations_reach_trees_set_up_after_them(engine, fake):
    gate = threading.Event()
    for action in ("A", "B", "A"):
        engine.register_action_behavior(action, len, [])
    fake.behaviour["create_tree_from_text"] = lambda eng, xml: gate.wait()
    engine.create_tree_from_text(XML, "first")  # posted during setup: waits for the worker
    wait_until(lambda: fake.created and fake.created[0].xml)
    engine.register_action_behavior("C", len, [])  # after the first tree's walk
    threading.Timer(0.02, gate.set).start()
    assert engine.tick_once("first") is None
    engine.create_tree_from_text(XML, "second")
    engine.tick_once("second")
    first, second = fake.created
    assert [r[0] for r in first.registered] == ["A", "B", "A"]
    assert [r[0] for r in second.registered] == ["A", "B", "A", "C"]


def test_hand_written_sender_through_the_record(engine, fake):
    fake.behaviour["tick_n_times"] = lambda eng, n: ["S"] * n
    engine.create_tree_from_text(XML, "t")
    record = engine.trees["t"]
    assert post(record, {"type": "tick_n_times", "params": {"n": 2}}) == ("tick_n_times", "t", ["S", "S"])
    assert record["command"] == [None]
    # an empty mapping is a command, not a stop; a bare wake-up is nothing
    assert post(record, {}) == ("error", "t", "未知命令类型: None")
    with record["cond"]:
        record["cond"].notify_all()
    assert engine.tick_n_times("t", 1) == ["S"]


def test_condition_interface(engine):
    engine.create_tree_from_text(XML, "t")
    cond = engine.trees["t"]["cond"]
    for call, what in ((cond.release, "release"), (cond.notify, "notify on"), (lambda: cond.wait(0), "wait on")):
        with pytest.raises(RuntimeError, match=f"cannot {what} un-acquired lock"):
            call()
    assert cond.acquire() and cond.acquire(blocking=False) and cond._is_owned()  # re-entrant
    assert cond.wait(timeout=0.02) is False and cond.wait_for(lambda: 0, timeout=0.01) == 0
    cond.release()
    cond.release()
    held, release = threading.Event(), threading.Event()
    holder = threading.Thread(target=lambda: (cond.acquire(), held.set(), release.wait(), cond.release()))
    holder.start()
    held.wait()
    assert cond.acquire(blocking=False) is False and cond.acquire(timeout=0.02) is False
    release.set()
    assert cond.acquire(timeout=5)
    cond.release()
    holder.join()


# ---- stopping ----


def test_stop_tree_and_stop_all(engine, fake, log):
    for tree in ("a", "b", "c"):
        engine.create_tree_from_text(XML, tree)
    threads = [engine.trees[t]["thread"] for t in ("a", "b", "c")]
    engine.stop_tree("b")
    assert not threads[1].is_alive() and engine.get_tree_ids() == ["a", "c"]
    with pytest.raises(ValueError, match="^行为树ID b 不存在$"):
        engine.stop_tree("b")
    engine.stop_all_trees()
    assert engine.trees == {} and not any(t.is_alive() for t in threads)
    assert log.messages("info")[-4:] == ["停止行为树: b", "停止行为树: a", "停止行为树: c", "停止所有行为树"]


def test_stop_during_setup_processes_nothing(engine, fake):
    gate = threading.Event()
    fake.behaviour["create_tree_from_text"] = lambda eng, xml: gate.wait()
    engine.create_tree_from_text(XML, "t")
    threading.Timer(0.05, gate.set).start()
    engine.stop_tree("t")
    assert [c[0] for c in only_engine(fake).calls] == ["create_tree_from_text"]


def test_stop_waits_for_the_running_command(engine, fake):
    started, release = threading.Event(), threading.Event()
    fake.behaviour["tick_once"] = lambda eng: (started.set(), release.wait(), "DONE")[2]
    engine.create_tree_from_text(XML, "t")
    answers = []
    caller = threading.Thread(target=lambda: answers.append(engine.tick_once("t")))
    caller.start()
    started.wait()
    stopper = threading.Thread(target=engine.stop_tree, args=("t",))
    stopper.start()
    time.sleep(0.05)
    assert stopper.is_alive() and "t" in engine.trees
    release.set()
    caller.join()
    stopper.join()
    assert answers == ["DONE"] and engine.trees == {}


def test_stop_interrupts_a_tick_loop_that_never_ends(engine, fake):
    def forever(eng):
        eng.interrupted.wait()
        raise RuntimeError("the tick loop was interrupted")

    fake.behaviour["tick_until_success"] = forever
    engine.create_tree_from_text(XML, "t")
    errors = []

    def call():
        try:
            engine.tick_until_success("t")
        except RuntimeError as error:
            errors.append(str(error))

    caller = threading.Thread(target=call)
    caller.start()
    wait_until(lambda: fake.created and fake.created[0].calls[-1:] == [("tick_until_success",)])
    engine.stop_tree("t")
    caller.join()
    assert errors == ["行为树 t 执行命令 tick_until_success 失败: 处理命令 tick_until_success 时发生错误: "
                      "the tick loop was interrupted"]


def test_an_action_cannot_stop_or_wait_for_its_own_tree(engine, fake, log):
    outcomes = []

    def tick(eng):
        for attempt in (lambda: engine.stop_tree("t"), lambda: engine.get_tree_status("t")):
            try:
                attempt()
            except RuntimeError as error:
                outcomes.append(str(error))
        return "ticked"

    fake.behaviour["tick_once"] = tick
    engine.create_tree_from_text(XML, "t")
    assert engine.tick_once("t") == "ticked"
    assert outcomes == ["行为树 t 不能在自己的线程中停止",
                        "行为树 t 执行命令 get_status 失败: 不能在行为树自己的线程中等待它执行命令"]


def test_hand_made_record_with_a_threading_condition(engine, fake):
    record = {"cond": threading.Condition(), "command": [None], "result": [None], "thread": None}
    engine.trees["h"] = record
    record["thread"] = threading.Thread(target=engine._run_tree, args=("h", XML))
    fake.behaviour["tick_once"] = "S"
    record["thread"].start()
    assert engine.tick_once("h") == "S"
    engine.stop_tree("h")
    assert not record["thread"].is_alive() and "h" not in engine.trees


# ---- several threads ----


@pytest.mark.timeout(60)
def test_callers_on_one_tree_each_get_their_own_answer(engine, fake):
    engine.create_tree_from_text(XML, "t")
    for i in range(8):
        engine.set_blackboard_data("t", f"k{i}", i)
    wrong = []

    def caller(i):
        wrong.extend((i, v) for v in (engine.get_blackboard_data("t", f"k{i}") for _ in range(300)) if v != i)

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


@pytest.mark.timeout(60)
def test_stops_racing_commands_never_hang(engine, fake):
    fake.behaviour["tick_once"] = "S"
    for round_ in range(30):
        tree = engine.create_tree_from_text(XML, f"r{round_}")
        outcomes = []

        def caller():
            for _ in range(50):
                try:
                    outcomes.append(engine.tick_once(tree))
                except (RuntimeError, ValueError, KeyError) as error:
                    outcomes.append(type(error))

        callers = [threading.Thread(target=caller) for _ in range(3)]
        for t in callers:
            t.start()
        engine.stop_tree(tree)
        for t in callers:
            t.join()
        assert set(outcomes) <= {"S", RuntimeError, ValueError, KeyError} and tree not in engine.trees


@pytest.mark.timeout(60)
def test_concurrent_creations_never_share_an_id(engine, fake):
    created, refused = [], []
    barrier = threading.Barrier(8)

    def creator():
        barrier.wait()
        for j in range(10):
            created.append(engine.create_tree_from_text(XML))
            try:
                created.append(engine.create_tree_from_text(XML, f"same{j}"))
            except ValueError:
                refused.append(j)

    threads = [threading.Thread(target=creator) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(created) == len(set(created)) == 90 and len(refused) == 70
    assert sorted(engine.trees) == sorted(created)
    engine.stop_all_trees()


# ---- signals ----


class Interrupted(Exception):
    pass


@pytest.fixture
def signal_soon():
    """arm() raises Interrupted in the main thread a moment later, as Ctrl-C would."""
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: (_ for _ in ()).throw(Interrupted()))
    timers = []

    def arm():
        timers.append(threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGUSR1)))
        timers[-1].start()

    yield arm
    for timer in timers:
        timer.cancel()
    signal.signal(signal.SIGUSR1, previous)


def test_a_signal_interrupts_a_waiting_caller_and_its_late_answer_is_dropped(engine, fake, signal_soon):
    started, gate = threading.Event(), threading.Event()
    fake.behaviour["tick_once"] = lambda eng: (started.set(), gate.wait(), "late")[2]
    fake.behaviour["get_tree_status"] = {"fresh": True}
    engine.create_tree_from_text(XML, "t")
    signal_soon()
    with pytest.raises(Interrupted):
        engine.tick_once("t")
    assert started.is_set()
    gate.set()
    # the answer to the interrupted tick comes afterwards and is not taken for this one
    assert engine.get_tree_status("t") == {"fresh": True}
    assert engine.get_tree_status("t") == {"fresh": True}


def test_a_signal_interrupts_a_caller_waiting_for_its_turn(engine, fake, signal_soon):
    started, gate = threading.Event(), threading.Event()
    fake.behaviour["tick_once"] = lambda eng: (started.set(), gate.wait(), "first")[2]
    fake.behaviour["get_tree_status"] = {"second": True}
    engine.create_tree_from_text(XML, "t")
    answers = []
    other = threading.Thread(target=lambda: answers.append(engine.tick_once("t")))
    other.start()
    started.wait()
    signal_soon()
    with pytest.raises(Interrupted):
        engine.get_tree_status("t")
    gate.set()
    other.join()
    assert answers == ["first"] and engine.get_tree_status("t") == {"second": True}
