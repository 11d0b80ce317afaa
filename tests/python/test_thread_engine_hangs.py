"""Nothing a careless program does with a ThreadEngine hangs it: ending without stopping the
trees, trees whose actions wait on each other, forking, special files. Where the failure
would be a hang, the program runs in a subprocess with a time limit."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading

import pytest
from loguru import logger

import quorvel.engine.trigger.mthread as mt

pytestmark = pytest.mark.timeout(120)

PRELUDE = '''
import os, sys, threading, time
from loguru import logger
logger.remove()
logger.add(sys.stderr, format="{message}")
from quorvel.core import NodeStatus
from quorvel.engine.trigger.mthread import ThreadEngine
XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>'
'''


def run(code: str, timeout: float = 60, before: str = ""):
    """Runs a program (`before` goes ahead of the usual imports); a hang is a failure with
    what it printed so far."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        return subprocess.run([sys.executable, "-c", before + PRELUDE + textwrap.dedent(code)], capture_output=True,
                              text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"the program hung; it printed: {hung.stdout!r} {hung.stderr!r}")


# ---- the end of a program ----


@pytest.mark.parametrize("ending, code", [
    ("normally", "print('done')"),
    ("by an exception", "print('done'); raise ValueError('a typo')"),
    ("after del", "del engine; print('done')"),
])
def test_a_program_that_never_stops_its_trees_ends(ending, code):
    done = run(f'''
        engine = ThreadEngine()
        for _ in range(3):
            engine.tick_once(engine.create_tree_from_text(XML))
        {code}
    ''')
    assert done.returncode == (1 if "exception" in ending else 0), done.stderr
    assert done.stdout == "done\n"
    assert done.stderr.count("停止行为树: tree_") == 3


def test_a_thread_pool_left_open_does_not_keep_the_program_from_ending():
    # the pool's exit hook is registered before the engine's, as when a program imports it first
    done = run('''
        pool = ThreadPoolExecutor(2)
        print(pool.submit(int, "7").result())
        engine = ThreadEngine()
        engine.tick_once(engine.create_tree_from_text(XML))
    ''', timeout=30, before="from concurrent.futures import ThreadPoolExecutor\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "7\n" and "停止行为树: tree_0" in done.stderr


def test_trees_still_driven_by_the_programs_own_threads_are_left_to_them():
    done = run('''
        engine = ThreadEngine()
        tree = engine.create_tree_from_text(XML)

        def drive():
            time.sleep(0.3)  # the main thread has ended by now
            print(sum(engine.tick_once(tree) is NodeStatus.SUCCESS for _ in range(100)), flush=True)

        threading.Thread(target=drive).start()
    ''')
    assert done.returncode == 0, done.stderr
    assert done.stdout == "100\n"


def test_an_action_that_blocks_delays_the_end_and_says_so():
    done = run('''
        from quorvel.nodes.action_node import SimpleActionNode

        class Stuck(SimpleActionNode):
            ports = []
            @staticmethod
            def tick(node):
                time.sleep(1.5)
                return NodeStatus.SUCCESS

        engine = ThreadEngine()
        engine.register_action_class(Stuck)
        tree = engine.create_tree_from_text(XML.replace("AlwaysSuccess", "Stuck"))
        threading.Thread(target=engine.tick_once, args=(tree,), daemon=True).start()
        time.sleep(0.2)
    ''')
    assert done.returncode == 0, done.stderr
    assert "停止行为树 tree_0: 等待正在执行的命令结束" in done.stderr
    assert "停止行为树: tree_0" in done.stderr


# ---- trees waiting on each other ----


def test_trees_whose_actions_wait_on_each_other_are_refused_and_stay_usable():
    done = run('''
        from quorvel.nodes.action_node import SimpleActionNode
        engine = ThreadEngine()
        calls = {"a": "b", "b": "a"}
        refusals = []

        def call_other(node):
            me = node.getInputString("me")
            if calls.get(me):
                try:
                    engine.tick_once(calls[me])
                except RuntimeError as error:
                    refusals.append(str(error))
                    return NodeStatus.FAILURE
            return NodeStatus.SUCCESS

        engine.register_action_behavior("CallOther", call_other, [
            {"name": "me", "type": "string", "direction": "input", "description": ""}])
        for me in "ab":
            engine.create_tree_from_text(XML.replace("<AlwaysSuccess/>", f'<CallOther me="{me}"/>'), me)
        print(engine.tick_once("a"))
        print(refusals)
        # both at once, from two callers: one of them closes the cycle and is refused
        refusals.clear()
        callers = [threading.Thread(target=engine.tick_once, args=(t,)) for t in "ab"]
        for c in callers: c.start()
        for c in callers: c.join()
        print(len(refusals) >= 1, all("形成环" in r for r in refusals))
        calls.clear()  # the trees work as before
        print(engine.tick_once("a"), engine.tick_once("b"))
        engine.stop_all_trees()
    ''')
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "NodeStatus.SUCCESS"  # b's action was refused and failed; a's went on
    assert lines[1] == "['行为树 a 执行命令 tick_once 失败: 行为树之间相互等待，形成环: b -> a -> b']"
    assert lines[2:] == ["True True", "NodeStatus.SUCCESS NodeStatus.SUCCESS"]
    assert "行为树 a 执行命令 tick_once 失败: 行为树之间相互等待，形成环: b -> a -> b" in done.stderr


def test_an_action_stopping_a_tree_that_waits_on_it_is_refused():
    done = run('''
        engine = ThreadEngine()
        outcome = []

        def stop_b(node):
            try:
                engine.stop_tree("b")
            except RuntimeError as error:
                outcome.append(str(error))
            return NodeStatus.SUCCESS

        def call_a(node):
            outcome.append(engine.tick_once("a"))
            return NodeStatus.SUCCESS

        engine.register_action_behavior("StopB", stop_b, [])
        engine.register_action_behavior("CallA", call_a, [])
        engine.create_tree_from_text(XML.replace("AlwaysSuccess", "StopB"), "a")
        engine.create_tree_from_text(XML.replace("AlwaysSuccess", "CallA"), "b")
        engine.tick_once("b")
        print(outcome)
        engine.stop_all_trees()
    ''')
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("['停止行为树 b 失败: 行为树之间相互等待，形成环: a -> b -> a', "
                           "NodeStatus.SUCCESS]\n")


# ---- fork ----


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_trees_inherited_by_a_forked_child_answer_at_once():
    done = run('''
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        engine = ThreadEngine()
        tree = engine.create_tree_from_text(XML)
        engine.tick_once(tree)
        pid = os.fork()
        if pid == 0:
            try:
                engine.tick_once(tree)
            except RuntimeError as error:
                print("child:", error, flush=True)
            engine.stop_all_trees()
            print("child stopped:", engine.trees, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print("parent:", engine.tick_once(tree), flush=True)
        engine.stop_all_trees()
    ''')
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["child: 行为树 tree_0 执行命令 tick_once 失败: 行为树线程已结束",
                                        "child stopped: {}", "parent: NodeStatus.SUCCESS"]


# ---- files that never end ----


def test_special_and_oversized_files_are_refused_before_reading(tmp_path):
    done = run(f'''
        engine = ThreadEngine()
        fifo = {str(tmp_path / "fifo")!r}
        os.mkfifo(fifo)
        big = {str(tmp_path / "big.xml")!r}
        with open(big, "wb") as f:
            f.truncate({mt._MAX_FILE_BYTES + 1})
        for path in ("/dev/zero", fifo, big):
            try:
                engine.create_tree_from_file(path)
            except OSError as error:
                print(type(error).__name__, error.errno, error.strerror)
        print(engine.trees)
    ''', timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "OSError 22 不是普通文件，拒绝读取", "OSError 22 不是普通文件，拒绝读取",
        f"OSError 27 文件超过 {mt._MAX_FILE_BYTES} 字节的上限", "{}"]


def test_the_systems_own_file_errors_pass_unchanged(tmp_path):
    engine = mt.ThreadEngine.__new__(mt.ThreadEngine)
    engine.trees = {}
    (tmp_path / "bad.xml").write_bytes(b"<root>\xff</root>")
    for path, error in ((tmp_path / "none.xml", FileNotFoundError), (tmp_path, IsADirectoryError),
                        (tmp_path / "bad.xml", UnicodeDecodeError)):
        with pytest.raises(error) as info:
            engine.create_tree_from_file(str(path))
        if error is not UnicodeDecodeError:
            with pytest.raises(error) as builtin:
                open(path, encoding="utf-8").read()
            assert str(info.value) == str(builtin.value)
    assert engine.trees == {}


# ---- logs ----


def test_records_come_from_the_module_and_can_be_silenced(monkeypatch):
    names = []
    sink = logger.add(lambda message: names.append((message.record["name"], message.record["message"])))
    try:
        engine = mt.ThreadEngine()
        with pytest.raises(ValueError):
            engine.stop_tree("nope")
        logger.disable("quorvel")
        engine.stop_all_trees()
        logger.enable("quorvel")
        engine.stop_all_trees()
    finally:
        logger.remove(sink)
        logger.enable("quorvel")
    assert names == [("quorvel.engine.trigger.mthread", "初始化线程引擎"),
                     ("quorvel.engine.trigger.mthread", "行为树ID nope 不存在"),
                     ("quorvel.engine.trigger.mthread", "停止所有行为树")]


# ---- the channel without a blocked thread ----


def test_commands_submitted_with_a_callback_run_in_turn(monkeypatch):
    monkeypatch.setattr(mt, "logger", type("Quiet", (), {"info": len, "error": len})())
    engine = mt.ThreadEngine()
    gate, entered = threading.Event(), threading.Event()
    engine.register_action_behavior("Wait", lambda node: entered.set() or gate.wait() and mt.NodeStatus.SUCCESS, [])
    tree = engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><Wait/></BehaviorTree></root>')
    cond = engine.trees[tree]["cond"]
    answers, arrived = [], threading.Semaphore(0)

    def answer(triple):
        answers.append(triple)
        arrived.release()

    def submit(command_type, **params):
        return cond._submit({"type": command_type, "params": params}, answer)

    first = submit("tick_once")
    assert entered.wait(10)
    second = submit("set_blackboard_data", key="k", value=2)
    third = submit("set_blackboard_data", key="k", value=3)
    assert cond._withdraw(second) is True and cond._withdraw(first) is False  # started already
    gate.set()
    for _ in range(2):
        assert arrived.acquire(timeout=10)
    assert answers == [("tick_once", tree, mt.NodeStatus.SUCCESS), ("set_blackboard_data", tree, None)]
    assert engine.get_blackboard_data(tree, "k") == 3  # a blocking sender takes its turn too
    assert cond._withdraw(third) is False
    # a stopped tree refuses at once; what was queued is answered with None
    gate.clear()
    blocked = threading.Thread(target=engine.tick_once, args=(tree,))
    blocked.start()
    queued = submit("reset")
    stopper = threading.Thread(target=engine.stop_tree, args=(tree,))
    stopper.start()
    gate.set()
    for t in (blocked, stopper):
        t.join()
    assert arrived.acquire(timeout=10) and answers[-1] is None and queued is not None
    assert cond._submit({"type": "reset"}, answer) is None


def test_a_record_broken_by_hand_gives_errors_not_crashes(monkeypatch):
    monkeypatch.setattr(mt, "logger", type("Quiet", (), {"info": len, "error": len})())
    engine = mt.ThreadEngine()
    tree = engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>')
    record = engine.trees[tree]
    engine.tick_once(tree)
    for slot in ("command", "result"):
        record[slot].append(None)
        with pytest.raises(ValueError, match="no longer a list of one element"):
            engine.tick_once(tree)
        record[slot].pop()
        assert engine.tick_once(tree) is mt.NodeStatus.SUCCESS  # nothing was left locked
    engine.stop_all_trees()


def test_an_event_loop_awaits_commands_without_a_thread_of_its_own(monkeypatch):
    import asyncio

    monkeypatch.setattr(mt, "logger", type("Quiet", (), {"info": len, "error": len})())
    engine = mt.ThreadEngine()
    trees = [engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>') for _ in range(20)]

    async def tick(tree):
        loop = asyncio.get_running_loop()
        answer = loop.create_future()
        engine.trees[tree]["cond"]._submit({"type": "tick_once", "params": {}},
                                          lambda triple: loop.call_soon_threadsafe(answer.set_result, triple))
        return await answer

    async def main():
        threads = threading.active_count()
        answers = await asyncio.gather(*(tick(t) for t in trees for _ in range(5)))
        return answers, threading.active_count() - threads

    answers, extra_threads = asyncio.run(main())
    assert extra_threads == 0
    assert sorted({a[1] for a in answers}) == sorted(trees)
    assert {a[2] for a in answers} == {mt.NodeStatus.SUCCESS}
    engine.stop_all_trees()
