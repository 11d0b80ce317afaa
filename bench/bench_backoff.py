"""The cost of a tick loop that waits for a status the tree never returns.

`tick_until_success` on `<AlwaysFailure/>` for DURATION seconds (2 s), ended by
`interrupt()` from another thread. Nothing in that tree asks to be ticked again at once, so
the loop pauses between ticks, longer each time up to 10 ms. The figure is the process's CPU
time over the wall time, as a share of one core; bar: under 2%. Also printed: how long after
`interrupt()` the loop returns (the pause must not delay it), and the ticks it made.

The baseline, in the same run and alternating with it, is the same loop on a tree whose one
Python action fails and asks for an immediate re-tick (`requestWakeAfter(0)`): what every
failing tree cost before the pause, one core. Median and maximum over the rounds, idle and
with one busy-spinning helper process per core.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_backoff.py
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from busy_helpers import conditions  # noqa: E402
from quorvel.core import NodeStatus  # noqa: E402
from quorvel.engine.sequential_engine import SequentialEngine  # noqa: E402

DURATION = float(os.environ.get("BENCH_SECONDS", "2.0"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
BAR = 2.0  # percent of one core


def document(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


def failing_engine() -> SequentialEngine:
    engine = SequentialEngine()
    engine.create_tree_from_text(document("<AlwaysFailure/>"))
    return engine


def eager_engine() -> SequentialEngine:
    def eager(node):
        node.requestWakeAfter(0)
        return NodeStatus.FAILURE

    engine = SequentialEngine()
    engine.register_action_behavior("Eager", eager, [])
    engine.create_tree_from_text(document("<Eager/>"))
    return engine


def run(engine: SequentialEngine) -> tuple[float, float]:
    """(CPU share in percent, ms from interrupt() to the loop's return)."""
    stamp = {}

    def stop():
        time.sleep(DURATION)
        stamp["interrupt"] = time.perf_counter()
        engine.interrupt()

    stopper = threading.Thread(target=stop)
    wall0, cpu0 = time.perf_counter(), time.process_time()
    stopper.start()
    try:
        engine.tick_until_success()
    except RuntimeError:
        pass
    returned = time.perf_counter()
    cpu, wall = time.process_time() - cpu0, returned - wall0
    stopper.join()
    return 100.0 * cpu / wall, (returned - stamp["interrupt"]) * 1e3


def ticks_per_second() -> float:
    """Ticks the pausing loop makes in a short run, counted through a Python action."""
    count = [0]

    def fail(node):
        count[0] += 1
        return NodeStatus.FAILURE

    engine = SequentialEngine()
    engine.register_action_behavior("Fail", fail, [])
    engine.create_tree_from_text(document("<Fail/>"))
    threading.Timer(0.5, engine.interrupt).start()
    try:
        engine.tick_until_success()
    except RuntimeError:
        pass
    return count[0] / 0.5


def main() -> None:
    print(f"tick_until_success on <AlwaysFailure/> for {DURATION:.1f} s, interrupted from another thread; "
          f"{ROUNDS} rounds each, alternating with the baseline")
    met = True
    for label, context in conditions():
        paused_cpu, paused_late, eager_cpu, eager_late = [], [], [], []
        with context:
            for _ in range(ROUNDS):
                cpu, late = run(failing_engine())
                paused_cpu.append(cpu)
                paused_late.append(late)
                cpu, late = run(eager_engine())
                eager_cpu.append(cpu)
                eager_late.append(late)
            rate = ticks_per_second()
        print(f"  {label}")
        print(f"    pausing loop:  CPU median {statistics.median(paused_cpu):6.2f}%  max {max(paused_cpu):6.2f}%   "
              f"interrupt->return median {statistics.median(paused_late):6.2f} ms  max {max(paused_late):6.2f} ms   "
              f"~{rate:,.0f} ticks/s")
        print(f"    baseline (re-tick at once): CPU median {statistics.median(eager_cpu):6.2f}%  "
              f"max {max(eager_cpu):6.2f}%   interrupt->return max {max(eager_late):6.2f} ms")
        print(f"    ratio: the baseline burns {statistics.median(eager_cpu) / max(statistics.median(paused_cpu), 1e-9):,.0f}x "
              f"the CPU of the pausing loop")
        met = met and max(paused_cpu) < BAR
    print(f"bar: under {BAR:.0f}% of a core (every round): {'met' if met else 'NOT met'}")


if __name__ == "__main__":
    main()
