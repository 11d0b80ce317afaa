"""The cost of waiting: CPU burnt while a tree waits, and how late the wait ends.

(a) CPU while waiting. `tick_until_success` on a tree that sleeps one second
    (`<Sleep msec="1000"/>`), through SequentialEngine and through ThreadEngine, and on a
    tree whose Python action waits one second for another thread to wake it. The figure is
    the process's CPU time over the wall time, as a share of one core; the bar is below 2%.
    The baseline, in the same run, is the naive loop `while tick_once() is RUNNING: pass`
    on the same Sleep tree.
(b) Timer wake latency. How long after a Sleep's deadline the tree goes on: a Python action
    stamps the time just before a `<Sleep msec="20"/>` and another one just after it. Median
    and maximum over the runs; the bar is within one millisecond. For scale, the same is
    printed for `time.sleep(0.020)` itself.
(c) Wake latency of asynchronous work. A Python action hands its work to another thread,
    which stamps the time and calls the node's Waker; the action stamps the time when it is
    ticked again. Through both engines; for scale, the same hand-over through a
    `threading.Event` between two plain Python threads.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_waiting.py

The machine is shared: a busy neighbour shows up as a longer maximum, rarely in the median.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time

from loguru import logger

from quorvel.core import NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.engine.trigger.mthread import ThreadEngine
from quorvel.nodes.action_node import SimpleActionNode, StatefulActionNode

SLEEP_MS = int(os.environ.get("BENCH_SLEEP_MS", "1000"))
RUNS = int(os.environ.get("BENCH_RUNS", "50"))
SHORT_MS = 20
CPU_BAR = 2.0  # percent of one core
LATENCY_BAR = 1.0  # milliseconds
LABEL = 58  # width of the first column

RUNNING, SUCCESS = NodeStatus.RUNNING, NodeStatus.SUCCESS


def document(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


SLEEP_TREE = document(f'<Sleep msec="{SLEEP_MS}"/>')
STAMPED_SLEEP_TREE = document(f'<Sequence><Stamp name="before"/><Sleep msec="{SHORT_MS}"/><Stamp name="after"/></Sequence>')
ASYNC_TREE = document('<Offload/>')

# Times recorded by the actions below; every figure is read from here after a run.
stamps: dict[str, float] = {}


class Stamp(SimpleActionNode):
    ports = []

    @staticmethod
    def tick(node):
        stamps[node.name] = time.perf_counter()
        return SUCCESS


class Offload(StatefulActionNode):
    """Work on another thread that takes `work_seconds`, then wakes the tree."""

    ports = []
    work_seconds = SHORT_MS / 1000

    def onStart(self, node):
        self.done = threading.Event()
        waker = node.waker()
        seconds = Offload.work_seconds

        def work():
            time.sleep(seconds)
            stamps["finished"] = time.perf_counter()
            self.done.set()
            waker.wake()

        threading.Thread(target=work).start()
        node.waitForWake()
        return RUNNING

    def onRunning(self, node):
        if not self.done.is_set():
            node.waitForWake()
            return RUNNING
        stamps["noticed"] = time.perf_counter()
        return SUCCESS


ACTIONS = [("Stamp", Stamp), ("Offload", Offload)]


class SequentialTree:
    label = "SequentialEngine"

    def __init__(self, xml: str) -> None:
        self.engine = SequentialEngine()
        for name, cls in ACTIONS:
            self.engine.register_action_behavior(name, cls.tick, cls.ports)
        self.engine.create_tree_from_text(xml)

    def tick_until_success(self) -> int:
        return self.engine.tick_until_success()

    def tick_once(self) -> NodeStatus:
        return self.engine.tick_once()

    def close(self) -> None:
        self.engine = None


class ThreadTree:
    label = "ThreadEngine"

    def __init__(self, xml: str) -> None:
        self.engine = ThreadEngine()
        for name, cls in ACTIONS:
            self.engine.register_action_class(cls, name)
        self.tree_id = self.engine.create_tree_from_text(xml)
        self.engine.get_tree_status(self.tree_id)  # the tree is loaded before anything is timed

    def tick_until_success(self) -> int:
        return self.engine.tick_until_success(self.tree_id)

    def tick_once(self) -> NodeStatus:
        return self.engine.tick_once(self.tree_id)

    def close(self) -> None:
        self.engine.stop_all_trees()


def cpu_share(run) -> tuple[float, float]:
    """(percent of one core, wall seconds) used by the whole process while `run()` runs."""
    cpu, wall = time.process_time(), time.perf_counter()
    run()
    wall = time.perf_counter() - wall
    return (time.process_time() - cpu) / wall * 100, wall


def busy_poll(tree) -> None:
    while tree.tick_once() is RUNNING:
        pass


def summary(values_ms: list[float]) -> str:
    return f"median {statistics.median(values_ms):7.3f} ms   max {max(values_ms):7.3f} ms"


def part_a() -> None:
    print(f"(a) CPU while waiting {SLEEP_MS} ms, share of one core (bar < {CPU_BAR:.0f}%)")
    tree = SequentialTree(SLEEP_TREE)
    baseline, wall = cpu_share(lambda: busy_poll(tree))
    tree.close()
    print(f"    {'baseline: busy tick_once loop, Sleep':<{LABEL}}{baseline:7.2f}%   ({wall:.3f} s)")
    figures = []
    for kind in (SequentialTree, ThreadTree):
        for what, xml in (("Sleep", SLEEP_TREE), ("Python action woken", ASYNC_TREE)):
            Offload.work_seconds = SLEEP_MS / 1000
            tree = kind(xml)
            share, wall = cpu_share(tree.tick_until_success)
            tree.close()
            figures.append(share)
            verdict = "ok" if share < CPU_BAR else "OVER THE BAR"
            print(f"    {kind.label + ' tick_until_success, ' + what:<{LABEL}}{share:7.2f}%   ({wall:.3f} s)  {verdict}")
    worst = max(figures)
    print(f"    ratio worst/baseline: {worst / baseline:.4f}  (the baseline uses {baseline / max(worst, 1e-9):.0f}x more CPU)")


def part_b() -> None:
    print(f"\n(b) Lateness after a {SHORT_MS} ms timer's deadline, {RUNS} runs (bar: within {LATENCY_BAR:.0f} ms)")
    late = []
    for _ in range(RUNS):
        start = time.perf_counter()
        time.sleep(SHORT_MS / 1000)
        late.append((time.perf_counter() - start) * 1000 - SHORT_MS)
    print(f"    {f'for scale: time.sleep({SHORT_MS / 1000:.3f})':<{LABEL}}{summary(late)}")
    for kind in (SequentialTree, ThreadTree):
        tree = kind(STAMPED_SLEEP_TREE)
        late = []
        for _ in range(RUNS):
            tree.tick_until_success()
            late.append((stamps["after"] - stamps["before"]) * 1000 - SHORT_MS)
        tree.close()
        verdict = "ok" if statistics.median(late) < LATENCY_BAR else "OVER THE BAR"
        print(f"    {kind.label + ', Sleep':<{LABEL}}{summary(late)}  {verdict}")


def part_c() -> None:
    print(f"\n(c) From another thread's wake() to the action's next tick, {RUNS} runs of {SHORT_MS} ms work")
    late = []
    for _ in range(RUNS):
        event, finished = threading.Event(), []

        def work():
            time.sleep(SHORT_MS / 1000)
            finished.append(time.perf_counter())
            event.set()

        thread = threading.Thread(target=work)
        thread.start()
        event.wait()
        late.append((time.perf_counter() - finished[0]) * 1000)
        thread.join()
    print(f"    {'for scale: threading.Event set -> wait returns':<{LABEL}}{summary(late)}")
    Offload.work_seconds = SHORT_MS / 1000
    for kind in (SequentialTree, ThreadTree):
        tree = kind(ASYNC_TREE)
        late = []
        for _ in range(RUNS):
            tree.tick_until_success()
            late.append((stamps["noticed"] - stamps["finished"]) * 1000)
        tree.close()
        verdict = "ok" if statistics.median(late) < LATENCY_BAR else "OVER THE BAR"
        print(f"    {kind.label + ', Waker':<{LABEL}}{summary(late)}  {verdict}")


def main() -> int:
    logger.remove()
    part_a()
    part_b()
    part_c()
    return 0


if __name__ == "__main__":
    sys.exit(main())
