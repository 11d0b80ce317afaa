"""Ticks per second of one tree of built-in nodes: Quorvel against py_trees.

Both trees have the same shape: a root Sequence over GROUPS groups, each group a Sequence of
a Fallback (a failing leaf, then a succeeding one), an Inverter over a failing leaf and a
ForceSuccess over a failing leaf. Every tick visits every node. py_trees runs in the same
process, right after, and the ratio is printed (bar: at least 100x).

With BASELINE set to the PYTHONPATH of another version, the run also compares this version
with it: fresh processes of each, taking turns (one process can tick up to 2x faster or slower
than the next on a virtual machine, so one pair of processes says little), and prints the
median and the spread of both.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_ticks.py
    BASELINE=/tmp/old/python:/tmp/old/build PYTHONPATH=python:build/dev .venv/bin/python bench/bench_ticks.py
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

import py_trees

from quorvel.core import NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine

GROUPS = 50
REPEATS = 5
BAR = 100.0

GROUP_XML = (
    "<Sequence>"
    "<Fallback><AlwaysFailure/><AlwaysSuccess/></Fallback>"
    "<Inverter><AlwaysFailure/></Inverter>"
    "<ForceSuccess><AlwaysFailure/></ForceSuccess>"
    "</Sequence>"
)
NODES_PER_GROUP = 8


def quorvel_engine() -> SequentialEngine:
    engine = SequentialEngine()
    engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="Bench"><Sequence>'
        + GROUP_XML * GROUPS
        + "</Sequence></BehaviorTree></root>"
    )
    return engine


def py_trees_root() -> py_trees.behaviour.Behaviour:
    b, c, d = py_trees.behaviours, py_trees.composites, py_trees.decorators
    groups = []
    for i in range(GROUPS):
        groups.append(
            c.Sequence(
                f"g{i}",
                memory=False,
                children=[
                    c.Selector("fb", memory=False, children=[b.Failure("f"), b.Success("s")]),
                    d.Inverter("inv", child=b.Failure("f")),
                    d.FailureIsSuccess("force", child=b.Failure("f")),
                ],
            )
        )
    return c.Sequence("root", memory=False, children=groups)


def rate(run_batch, batch: int) -> float:
    """Median ticks per second over REPEATS batches of `batch` ticks."""
    rates = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        run_batch(batch)
        rates.append(batch / (time.perf_counter() - start))
    return statistics.median(rates)


def one_process_rate() -> float:
    engine = quorvel_engine()
    engine.tick_n_times(100)
    start = time.perf_counter()
    engine.tick_n_times(20000)
    return 20000 / (time.perf_counter() - start)


def versus_baseline(rounds: int = 10) -> None:
    def rate_in(pythonpath: str) -> float:
        out = subprocess.run([sys.executable, __file__, "--one"], env=dict(os.environ, PYTHONPATH=pythonpath),
                             check=True, capture_output=True, text=True).stdout
        return float(out.split()[-1])

    ours, theirs = [], []
    for _ in range(rounds):
        theirs.append(rate_in(os.environ["BASELINE"]))
        ours.append(rate_in(os.environ.get("PYTHONPATH", "")))
    m = statistics.median
    print(f"against the baseline, {rounds} processes each: this build {m(ours):,.0f} ticks/s "
          f"({min(ours):,.0f} .. {max(ours):,.0f}), baseline {m(theirs):,.0f} ({min(theirs):,.0f} .. {max(theirs):,.0f}): "
          f"{m(ours) / m(theirs):.2f}x")


def main() -> None:
    if sys.argv[1:] == ["--one"]:
        print(one_process_rate())
        return
    if os.environ.get("BASELINE"):
        versus_baseline()
    engine = quorvel_engine()
    nodes = len(engine.get_tree_status()["nodes"])
    assert nodes == GROUPS * NODES_PER_GROUP + 1
    assert engine.tick_once() is NodeStatus.SUCCESS

    def quorvel_loop(n: int) -> None:
        statuses = engine.tick_n_times(n)
        assert statuses[-1] is NodeStatus.SUCCESS

    def quorvel_calls(n: int) -> None:
        tick = engine.tick_once
        for _ in range(n):
            tick()

    root = py_trees_root()
    root.tick_once()
    assert root.status == py_trees.common.Status.SUCCESS

    def py_trees_loop(n: int) -> None:
        tick = root.tick_once
        for _ in range(n):
            tick()

    quorvel_batch = rate(quorvel_loop, 20000)
    quorvel_single = rate(quorvel_calls, 20000)
    baseline = rate(py_trees_loop, 200)

    print(f"tree of {nodes} built-in nodes, every node visited on every tick")
    print(f"quorvel  tick_n_times: {quorvel_batch:12,.0f} ticks/s")
    print(f"quorvel  tick_once():  {quorvel_single:12,.0f} ticks/s (one Python call per tick)")
    print(f"py_trees tick_once():  {baseline:12,.0f} ticks/s")
    ratio, ratio_single = quorvel_batch / baseline, quorvel_single / baseline
    print(f"ratio: {ratio:,.0f}x (tick_n_times), {ratio_single:,.0f}x (tick_once); bar {BAR:.0f}x: "
          f"{'met' if min(ratio, ratio_single) >= BAR else 'NOT met'}")


if __name__ == "__main__":
    main()
