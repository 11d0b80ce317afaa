"""ThreadEngine with the real SequentialEngine: trees from XML, Python actions, the stop of a
tick loop that never ends, a stress run of many callers, creations and stops, and the
memory of many trees created and stopped one after another."""

from __future__ import annotations

import gc
import random
import threading
import time
import weakref

import pytest

import quorvel.engine.trigger.mthread as mt
from quorvel.core import NodeStatus
from quorvel.nodes.action_node import SimpleActionNode
from test_thread_engine import log  # noqa: F401  (fixture)

pytestmark = pytest.mark.timeout(60)


def tree(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


class Echo(SimpleActionNode):
    ports = [
        {"name": "text", "type": "string", "direction": "input", "description": ""},
        {"name": "echo", "type": "object", "direction": "output", "description": ""},
    ]

    @staticmethod
    def tick(node):
        text = node.getInputString("text")
        if text == "fail":
            raise LookupError("no echo for fail")
        node.setOutput("echo", text * 2)
        return NodeStatus.SUCCESS


ECHO = tree('<Sequence><Echo text="{in}" echo="{out}"/><AlwaysSuccess/></Sequence>')


@pytest.fixture
def engine(log):
    e = mt.ThreadEngine()
    e.register_action_class(Echo)
    yield e
    e.stop_all_trees()
    e.stop_all_trees = lambda: None  # its finaliser runs after this test's logger is gone


def test_python_action_in_a_tree(engine):
    tid = engine.create_tree_from_text(ECHO, "t")
    engine.set_blackboard_data(tid, "in", "ab")
    assert engine.tick_once(tid) is NodeStatus.SUCCESS
    assert engine.get_blackboard_data(tid, "out") == "abab"
    board = engine.get_all_blackboard_data(tid)
    assert board["in"] == "ab" and board["out"] == "abab"
    assert engine.tick_n_times(tid, 3) == [NodeStatus.SUCCESS] * 3
    assert engine.tick_n_times(tid, 0) == []
    assert engine.tick_until_success(tid) == 1
    assert isinstance(engine.get_tree_status(tid), dict)
    assert engine.reset_tree(tid) is None
    assert engine.get_blackboard_data(tid, "never written") is None
    other = engine.create_tree_from_text(ECHO)  # a blackboard of its own
    engine.set_blackboard_data(other, "in", "y")
    engine.tick_once(other)
    assert (engine.get_blackboard_data(tid, "out"), engine.get_blackboard_data(other, "out")) == ("abab", "yy")


def test_failures_reach_the_caller(engine, log):
    tid = engine.create_tree_from_text(ECHO, "t")
    engine.set_blackboard_data(tid, "in", "fail")
    with pytest.raises(RuntimeError) as info:
        engine.tick_once(tid)
    text = str(info.value)
    assert text.startswith("行为树 t 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: ")
    assert "no echo for fail" in text
    engine.set_blackboard_data(tid, "in", "ok")
    assert engine.tick_once(tid) is NodeStatus.SUCCESS

    bad = engine.create_tree_from_text(tree("<NoSuchNode/>"), "bad")
    with pytest.raises(RuntimeError) as info:
        engine.tick_once(bad)
    assert str(info.value).startswith("行为树 bad 执行命令 tick_once 失败: 行为树线程 bad 发生错误: ")
    assert "NoSuchNode" in str(info.value)
    assert log.messages("error")[-2].startswith("行为树线程 bad 发生错误: ")


def test_stop_ends_a_tick_loop_that_never_succeeds(engine):
    tid = engine.create_tree_from_text(tree("<AlwaysFailure/>"), "t")
    engine.tick_once(tid)
    errors = []

    def loop():
        try:
            engine.tick_until_success(tid)
        except RuntimeError as error:
            errors.append(str(error))

    caller = threading.Thread(target=loop)
    caller.start()
    time.sleep(0.05)
    engine.stop_tree(tid)
    caller.join()
    assert len(errors) == 1
    assert errors[0].startswith("行为树 t 执行命令 tick_until_success 失败: ")
    assert tid not in engine.trees


@pytest.mark.timeout(180)
def test_stress_mixed_commands_creations_and_stops(log):
    e = mt.ThreadEngine()
    e.register_action_class(Echo)
    workers = []
    live = []
    lock = threading.Lock()

    def create():
        tid = e.create_tree_from_text(ECHO)
        e.set_blackboard_data(tid, "in", "s")
        with lock:
            workers.append(e.trees[tid]["thread"])
            live.append(tid)

    for _ in range(32):
        create()
    problems = []

    def caller(seed):
        rng = random.Random(seed)
        for i in range(250):
            with lock:
                tid = rng.choice(live)
            op = rng.randrange(20)
            try:
                if op < 6:  # a value only this caller writes comes back to it
                    e.set_blackboard_data(tid, f"k{seed}_{i}", (seed, i))
                    got = e.get_blackboard_data(tid, f"k{seed}_{i}")
                    ok = got == (seed, i)
                elif op < 10:  # an answer meant for another caller would have another length
                    n = rng.randrange(4)
                    got = e.tick_n_times(tid, n)
                    ok = len(got) == n
                elif op < 15:
                    got = e.get_tree_status(tid)
                    ok = isinstance(got, dict) and "status" in got
                elif op < 18:
                    got = e.tick_once(tid)
                    ok = got is NodeStatus.SUCCESS
                else:
                    create()
                    with lock:
                        victim = live.pop(rng.randrange(len(live)))
                    e.stop_tree(victim)
                    got, ok = victim, victim not in e.trees
                if not ok:
                    problems.append((op, tid, got))
            except (ValueError, RuntimeError, KeyError) as error:
                # only a tree that another caller stopped meanwhile may refuse, or cut a
                # batch of ticks short
                if tid in e.trees and not any(m in str(error) for m in ("已结束", "正在停止", "interrupted")):
                    problems.append(("error", tid, repr(error)))

    threads = [threading.Thread(target=caller, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    e.stop_all_trees()
    assert problems == []
    assert e.trees == {}
    assert not any(w.is_alive() for w in workers)
    assert len(workers) > 32


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.timeout(300)
def test_many_trees_one_after_another_leave_nothing_behind(log):
    """Every tree's record, condition, thread and engine go with its stop. Counted through
    weak references to the worker threads (a record kept anywhere keeps its thread), so a
    leak of one small object per tree is caught, which no memory figure could show."""
    e = mt.ThreadEngine()
    e.register_action_class(Echo)
    threads = []

    def churn(n):
        for i in range(n):
            tid = e.create_tree_from_text(ECHO)
            threads.append(weakref.ref(e.trees[tid]["thread"]))
            e.set_blackboard_data(tid, "in", "m")
            e.tick_once(tid)
            if i % 3 == 0:  # an error answer keeps its cause until taken
                with pytest.raises(RuntimeError):
                    e._send_command(tid, "no such command")
            e.stop_tree(tid)

    causes = set(mt._causes)  # kept by other tests' direct calls
    churn(300)
    before = rss_kib()
    churn(3000)
    after = rss_kib()
    gc.collect()
    print(f"RSS after 300 trees: {before} KiB, after 3300 trees: {after} KiB")
    assert e.trees == {} and set(mt._causes) <= causes and mt._running == {}
    assert sum(ref() is not None for ref in threads) == 0


def run_python(code: str):
    import os
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


SHUTDOWN = r'''
import threading, time
from loguru import logger; logger.remove()
from quorvel.core import NodeStatus
from quorvel.nodes.action_node import SimpleActionNode
from quorvel.engine.trigger.mthread import ThreadEngine

class Slow(SimpleActionNode):
    ports = []
    @staticmethod
    def tick(node):
        time.sleep(0.01)
        return NodeStatus.SUCCESS

XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence><Slow/><AlwaysSuccess/></Sequence></BehaviorTree></root>'
engine = ThreadEngine()
engine.register_action_class(Slow)

def make():
    for _ in range(4):
        tid = engine.create_tree_from_text(XML)
        for op in (engine.tick_once, engine.get_tree_status):
            threading.Thread(target=lambda t=tid, op=op: [op(t) for _ in range(10**6)], daemon=True).start()

threading.Thread(target=make, daemon=True).start()
time.sleep(0.3)
print("exiting with", len(engine.trees), "trees")
'''


@pytest.mark.timeout(120)
def test_exit_with_daemon_trees_busy():
    """Trees created from a daemon thread are daemon threads too: the interpreter may end
    while they run Python actions or wait on their channel, and must not crash."""
    for _ in range(3):
        done = run_python(SHUTDOWN)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout == "exiting with 4 trees\n"
        assert "Fatal Python error" not in done.stderr


def test_worker_trees_are_listed_by_their_tree_id(log):
    from quorvel.observe import live_trees

    e = mt.ThreadEngine()
    e.register_action_class(Echo)
    e.create_tree_from_text(ECHO, "labelled")
    e.set_blackboard_data("labelled", "in", "x")  # the worker has loaded its tree
    assert "labelled" in [label for label, _ in live_trees()]
    e.stop_all_trees()
    gc.collect()
    assert "labelled" not in [label for label, _ in live_trees()]
