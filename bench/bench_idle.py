"""CPU used by idle trees: 100 trees that have each answered a command and now wait.

An idle worker must sleep in the kernel, not poll. The figure is the whole process's CPU
time over one second of wall time, as a share of one core; the bar is below 1%. The same
is measured for 100 workers of the plain-Python channel (threading.Condition), run in the
same process, as the baseline.
"""

from __future__ import annotations

import os
import sys
import time

from loguru import logger

from bench_channel import TREE, PythonChannel
from quorvel.engine.trigger.mthread import ThreadEngine

TREES = 100
WINDOW = float(os.environ.get("BENCH_WINDOW", "1.0"))
BAR = 1.0  # percent of one core


def cpu_share(window: float) -> float:
    time.sleep(0.2)  # let every waiter finish spinning and park
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(window)
    return (time.process_time() - cpu) / (time.perf_counter() - wall) * 100


def main() -> int:
    logger.remove()
    engine = ThreadEngine()
    ids = [engine.create_tree_from_text(TREE) for _ in range(TREES)]
    for tid in ids:
        engine.set_blackboard_data(tid, "x", 1)
    ours = cpu_share(WINDOW)
    engine.stop_all_trees()

    channels = [PythonChannel(TREE) for _ in range(TREES)]
    for ch in channels:
        ch.send("get_blackboard_data", {"key": "x"})
    theirs = cpu_share(WINDOW)
    for ch in channels:
        ch.stop()

    print(f"threading.Condition channel, {TREES} idle workers: {theirs:6.3f}% of one core")
    print(f"ThreadEngine, {TREES} idle trees:                  {ours:6.3f}% of one core (bar < {BAR:.0f}%)")
    print(f"ratio ours/baseline: {ours / theirs if theirs else float('nan'):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
