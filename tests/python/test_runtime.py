"""quorvel.runtime from threads: runs and how they end, cancellation, the blackboard during a
run, errors, events, limits and closing."""

import subprocess
import sys
import threading
import time
import traceback

import pytest

from quorvel.core import NodeStatus
from quorvel.nodes.action_node import ConditionNode
from quorvel.nodes.control_node import DecoratorNode
from quorvel.observe import live_trees
from quorvel.runtime import (HandleClosedError, LoadError, PortError, RunInProgressError, Runtime, TickError,
                             TreeLimitError)

pytestmark = pytest.mark.timeout(60)

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING
INT_IN = [{"name": "n", "type": "int", "direction": "input", "description": ""}]


def ended(result):
    return result.status, result.ticks, result.reason


def xml(body):
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">\n{body}\n</BehaviorTree></root>'


@pytest.fixture
def rt():
    with Runtime() as runtime:
        yield runtime


class Gate:
    """An action that tells when it started and stays in its tick until released or until
    its run asks it to stop (node.halt_requested)."""

    def __init__(self):
        self.entered, self.release, self.saw_halt = threading.Event(), threading.Event(), []

    def __call__(self, node):
        self.entered.set()
        while not self.release.wait(0.001):
            if node.halt_requested:
                self.saw_halt.append(node.name)
                return R
        return S


def test_runs_end_for_the_reason_asked_and_max_ticks_leaves_the_tree_to_go_on(rt):
    count = []
    rt.register_action(lambda node: (count.append(1), S if len(count) % 3 == 0 else R)[1], "Third")
    h = rt.load(xml("<Third/>"))
    assert ended(h.run(max_ticks=2)) == (R, 2, "max_ticks")
    assert ended(h.run()) == (S, 1, "reached")  # the third tick of the same action, not a fresh start
    assert ended(h.run(until="done", max_ticks=0)) == (None, 0, "max_ticks")
    assert ended(h.run(until="done")) == (S, 3, "done")
    assert h.tick() is R
    assert ended(rt.load(xml("<AlwaysFailure/>")).run(until="failure")) == (F, 1, "reached")


def test_a_tree_that_keeps_failing_backs_off_until_the_timeout_and_is_halted(rt):
    result = rt.load(xml("<AlwaysFailure/>")).run(until="success", timeout=0.3)
    assert (result.status, result.reason) == (F, "timeout")
    # Re-ticking at once would tick thousands of times; backing off to 10 ms gives tens.
    assert 2 <= result.ticks < 300


def test_a_timeout_ends_a_long_wait_and_halts_the_tree(rt):
    h = rt.load(xml('<Sequence><Sleep msec="30000"/><AlwaysSuccess/></Sequence>'))
    result = h.run(timeout=0.1)
    assert (result.status, result.ticks, result.reason) == (R, 1, "timeout") and result.elapsed < 10
    assert h.snapshot()["status"] == "IDLE"
    assert ended(h.run(timeout=0)) == (None, 0, "timeout")
    assert h.tick() is R
    h.cancel()  # no run: the tree is halted in its turn, before later commands
    h.blackboard.to_dict()
    assert h.snapshot()["status"] == "IDLE"


def run_in_thread(h, **kwargs):
    box = []
    thread = threading.Thread(target=lambda: box.append(h.run(**kwargs)))
    thread.start()
    return thread, box


@pytest.mark.parametrize("body", ["<Gate/>", '<Sleep msec="30000"/>', "<Slow/>"])
def test_cancel_ends_only_the_run_in_progress_and_keeps_the_tree(rt, body):
    import asyncio

    gate, seen = Gate(), []

    async def slow(node):
        try:
            await asyncio.sleep(30)
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise
        return S

    rt.register_action(gate, "Gate")
    rt.register_action(slow, "Slow")
    h = rt.load(xml(f"<Sequence>{body}<AlwaysSuccess/></Sequence>"))
    thread, box = run_in_thread(h)
    if body == "<Gate/>":
        assert gate.entered.wait(10)
    else:
        while h.snapshot()["tick"] < 1:
            time.sleep(0.001)
    h.cancel()
    thread.join(10)
    assert box[0].reason == "cancelled"
    assert h.snapshot()["status"] == "IDLE"
    if body == "<Gate/>":
        assert gate.saw_halt == ["Gate"]
    if body == "<Slow/>":
        for _ in range(1000):
            if seen:
                break
            time.sleep(0.01)
        assert seen == ["cancelled"]
    # The same tree runs again, and the earlier cancel does not end the new run.
    gate.release.set()
    if body == "<Gate/>":
        assert h.run(timeout=10).reason == "reached"
    else:
        assert h.run(timeout=0.05).reason == "timeout"


def test_commands_during_a_run_are_refused_but_snapshots_and_the_blackboard_answer(rt):
    entered, release, seen, calls = threading.Event(), threading.Event(), [], []

    def second_tick_waits(node):
        calls.append(node.status)
        if len(calls) == 2:
            node.setOutput("out", 5)  # inside the tick: not visible until it ends
            entered.set()
            release.wait(30)
        return S if len(calls) == 3 else R

    rt.register_action(second_tick_waits, "Waits", ports=[{"name": "out", "type": "int", "direction": "output"}])
    rt.register_action(lambda node: (seen.append(node.getInputInt("n")), S)[1], "See", ports=INT_IN)
    h = rt.load(xml('<Sequence><Script code="x := 1"/><Waits out="{out}"/><See n="{y}"/></Sequence>'))
    h.blackboard["y"] = 0
    thread, box = run_in_thread(h)
    assert entered.wait(10)
    with pytest.raises(RunInProgressError):
        h.tick()
    with pytest.raises(RunInProgressError):
        h.run()
    snapshot = h.snapshot()  # answers now, with the state of a tick boundary already passed
    assert snapshot["tick"] in (0, 1) and snapshot["status"] in ("IDLE", "RUNNING")
    assert h.blackboard["x"] == 1 and "out" not in h.blackboard  # as of the last tick boundary
    h.blackboard["y"] = 7
    assert h.blackboard["y"] == 7  # a queued write is seen by the next read
    release.set()
    thread.join(10)
    assert box[0].reason == "reached" and seen == [7]  # ...and applied before the next tick
    assert h.blackboard.to_dict() == {"x": 1, "y": 7, "out": 5}
    with pytest.raises(KeyError):
        h.blackboard["never"]


def test_errors_keep_their_type_and_an_action_error_names_its_node(rt):
    def broken(node):
        raise ZeroDivisionError("no share")

    rt.register_action(broken, "Broken")
    rt.register_action(lambda node: (node.getInputInt("n"), S)[1], "Reads", ports=INT_IN)
    with pytest.raises(LoadError, match="line"):
        rt.load(xml("<Sequence>"))
    with pytest.raises(PortError):
        rt.load(xml('<Reads n="{missing}"/>')).run()
    with pytest.raises(TickError):
        rt.load(xml('<Script code="a := b + 1"/>')).tick()
    h = rt.load(xml('<Sequence>\n<AlwaysSuccess/>\n<Broken name="split"/>\n</Sequence>'))
    with pytest.raises(ZeroDivisionError) as caught:
        h.run()
    assert caught.value.__notes__ == ["raised in the tick of node 'split' (type Broken, XML line 4)"]
    assert "broken" in "".join(traceback.format_tb(caught.value.__traceback__))
    assert h.snapshot()["status"] == "IDLE"  # the failed run left nothing going


def test_events_stream_each_tick_until_the_handle_closes_and_count_what_they_dropped(rt):
    h = rt.load(xml('<Sequence><AlwaysSuccess name="a"/><AlwaysFailure name="b"/></Sequence>'))
    h.tick()  # before subscription: not delivered
    events, small = h.events(), h.events(maxsize=2)
    for _ in range(5):
        h.tick()
    h.close()
    reports = list(events)
    assert len(reports) == 5 and {(t.name, t.status) for t in reports[0]} >= {("a", S), ("b", F)}
    assert len(list(small)) == 2 and small.dropped == 3


def test_every_kind_of_node_registers_and_files_load(rt, tmp_path):
    class Invert(DecoratorNode):
        def tick(self, node):
            status = node.child.tick()
            return {S: F, F: S}.get(status, status)

    class Positive(ConditionNode):
        ports = INT_IN

        @staticmethod
        def tick(node):
            return S if node.getInputInt("n") > 0 else F

    rt.register_action(Invert)
    rt.register_action(Positive)
    rt.register_action(lambda node: S if node.getInputInt("n") % 2 == 0 else F, "Even", ports=INT_IN,
                       kind="condition")
    path = tmp_path / "tree.xml"
    path.write_text(xml('<Sequence><Positive n="{n}"/><Invert><Even n="{n}"/></Invert></Sequence>'))
    h = rt.load(path=path)
    h.blackboard["n"] = 3
    assert h.tick() is S
    h.blackboard["n"] = 4
    assert h.tick() is F
    kinds = {node["name"]: node["kind"] for node in h.layout()["nodes"]}
    assert (kinds["Positive"], kinds["Even"], kinds["Invert"]) == ("condition", "condition", "decorator")
    with pytest.raises(TypeError):
        rt.register_action(42, "Number")


def test_names_limits_and_the_list_of_handles(rt):
    limited = Runtime(max_trees=2)
    try:
        a, b = limited.load(xml("<AlwaysSuccess/>"), name="planner"), limited.load(xml("<AlwaysSuccess/>"))
        with pytest.raises(TreeLimitError, match="max_trees=2"):
            limited.load(xml("<AlwaysSuccess/>"))
        assert limited.handles() == [a, b] and a.name == "planner" and b.name.startswith("tree-")
        assert "planner" in [label for label, _ in live_trees()]
        b.close()
        with pytest.raises(ValueError):
            limited.load(xml("<AlwaysSuccess/>"), name="planner")
        assert limited.load(xml("<AlwaysSuccess/>"), name="again").name == "again"
    finally:
        limited.close()
    assert limited.handles() == []
    with pytest.raises(HandleClosedError):
        limited.load(xml("<AlwaysSuccess/>"))


def test_close_cancels_the_run_and_ends_every_thread():
    before = threading.active_count()
    gate = Gate()
    rt = Runtime()
    rt.register_action(gate, "Gate")
    handles = [rt.load(xml("<Gate/>")) for _ in range(3)]
    thread, box = run_in_thread(handles[0])
    assert gate.entered.wait(10)
    rt.close()
    thread.join(10)
    assert box[0].reason == "cancelled"
    assert threading.active_count() <= before + 1  # the process's background event loop may stay
    rt.close()
    for h in handles:
        with pytest.raises(HandleClosedError):
            h.tick()


def test_a_program_that_never_closes_its_runtime_ends_after_its_own_threads_and_halts_the_trees():
    program = (
        "from concurrent.futures import ThreadPoolExecutor\n"
        "import asyncio, threading\n"
        "from quorvel.runtime import Runtime\n"
        "pool = ThreadPoolExecutor(2)\n"  # never shut down: its exit hook ends it, not ours
        "pool.submit(print, 'pool').result()\n"
        "async def forever(node):\n"
        "    try:\n"
        "        await asyncio.sleep(3600)\n"
        "    except asyncio.CancelledError:\n"
        "        print('halted at exit', flush=True)\n"
        "        raise\n"
        "def xml(body):\n"
        "    return '<root BTCPP_format=\"4\"><BehaviorTree ID=\"M\">' + body + '</BehaviorTree></root>'\n"
        "rt = Runtime()\n"
        "rt.register_action(forever, 'Forever')\n"
        "h = rt.load(xml('<Forever/>'))\n"
        "print(h.tick())\n"
        "late = rt.load(xml('<Sleep msec=\"300\"/>'))\n"
        "threading.Thread(target=lambda: print('own thread', late.run().reason)).start()\n"
    )
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60,
                            env={"PYTHONPATH": ":".join(p for p in sys.path if p)})
    assert result.returncode == 0, result.stderr
    assert result.stdout == "pool\nNodeStatus.RUNNING\nown thread reached\nhalted at exit\n"


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_gets_errors_from_the_trees_it_lost(rt):
    import os

    h = rt.load(xml("<AlwaysSuccess/>"))
    pid = os.fork()
    if pid == 0:  # the child: its trees' threads stayed behind in the parent
        code = 1
        try:
            h.tick()
        except HandleClosedError:
            code = 0 if rt.handles() == [] else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert h.tick() is S
