"""Ticks per second of one tree of built-in nodes: Quorvel against py_trees.

Both trees have the same shape: a root Sequence over GROUPS groups, each group a Sequence of
a Fallback (a failing leaf, then a succeeding one), an Inverter over a failing leaf and a
ForceSuccess over a failing leaf. Every tick visits every node. py_trees runs in the same
process, right after, and the ratio is printed (bar: at least 100x).

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_ticks.py
"""

from __future__ import annotations

import statistics
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


def main() -> None:
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
