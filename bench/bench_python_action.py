"""What one Python action costs inside a C++ tree.

Ticks a tree whose only leaf is a Python action and the same tree with the built-in
AlwaysSuccess leaf instead (tick_n_times, so no Python call per tick on the engine side),
and times a plain Python call of the same tick function for comparison. The difference
between the first two is the price of crossing into Python: taking the GIL, handing over the
TreeNode, checking the returned status.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_python_action.py
"""

from __future__ import annotations

import statistics
import time

from quorvel.core import NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine

TICKS = 200_000
REPEATS = 5
SUCCESS = NodeStatus.SUCCESS


def tick(node):
    return SUCCESS


def tick_with_ports(node):
    node.setOutput("out", node.getInputObject("inp"))
    return SUCCESS


def engine_for(leaf: str) -> SequentialEngine:
    engine = SequentialEngine()
    engine.register_action_behavior("Py", tick, [])
    engine.register_action_behavior(
        "PyPorts",
        tick_with_ports,
        [
            {"name": "inp", "type": "object", "direction": "input", "description": ""},
            {"name": "out", "type": "object", "direction": "output", "description": ""},
        ],
    )
    engine.create_tree_from_text(
        f'<root BTCPP_format="4"><BehaviorTree ID="B"><Sequence>{leaf}</Sequence></BehaviorTree></root>'
    )
    engine.set_blackboard_data("x", object())
    return engine


def per_tick_ns(engine: SequentialEngine) -> float:
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        engine.tick_n_times(TICKS)
        samples.append((time.perf_counter_ns() - start) / TICKS)
    return statistics.median(samples)


def plain_call_ns() -> float:
    samples = []
    node = object()
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        for _ in range(TICKS):
            tick(node)
        samples.append((time.perf_counter_ns() - start) / TICKS)
    return statistics.median(samples)


def main() -> None:
    built_in = per_tick_ns(engine_for("<AlwaysSuccess/>"))
    python = per_tick_ns(engine_for("<Py/>"))
    with_ports = per_tick_ns(engine_for('<PyPorts inp="{x}" out="{y}"/>'))
    plain = plain_call_ns()
    print(f"tick of Sequence + built-in leaf:           {built_in:8.0f} ns")
    print(f"tick of Sequence + Python action:           {python:8.0f} ns")
    print(f"tick of Sequence + Python action with ports: {with_ports:7.0f} ns (getInputObject + setOutput)")
    print(f"plain Python call of the same tick function: {plain:7.0f} ns (loop included)")
    print(f"overhead of one Python action tick: {python - built_in:.0f} ns "
          f"({(python - built_in) / plain:.1f}x a plain Python call)")


if __name__ == "__main__":
    main()
