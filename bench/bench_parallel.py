"""Two trees ticking at once against one alone: does the second tree really run in parallel?

Each tree is made of built-in nodes only, so its ticks run in C++ without the GIL; a
caller thread per tree sends `tick_n_times` commands for a fixed time. The baseline is one
tree alone, measured in the same run; the figure is the combined throughput of two trees
over that of one (bar: 1.8x). Needs two free cores to show it. For scale, the run also
measures what this machine gives two independent processes spinning on the CPU, which on a
virtual machine is often less than 2x.
"""

from __future__ import annotations

import multiprocessing
import os
import statistics
import sys
import threading
import time

from loguru import logger

from quorvel.engine.trigger.mthread import ThreadEngine

CHILDREN = "".join(f'<Script code="v{i} := {i} * 2 + 1"/><AlwaysSuccess/>' for i in range(20))
TREE = (
    '<root BTCPP_format="4"><BehaviorTree ID="M">'
    f'<Repeat num_cycles="20"><Sequence>{CHILDREN}</Sequence></Repeat>'
    "</BehaviorTree></root>"
)
SECONDS = float(os.environ.get("BENCH_SECONDS", "1.0"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
BATCH = 100
BAR = 1.8


def ticks_per_second(engine: ThreadEngine, trees: list) -> float:
    counts = [0] * len(trees)
    start_line = threading.Barrier(len(trees) + 1)

    def drive(i: int, tid: str) -> None:
        start_line.wait()
        end = time.perf_counter() + SECONDS
        while time.perf_counter() < end:
            engine.tick_n_times(tid, BATCH)
            counts[i] += BATCH

    threads = [threading.Thread(target=drive, args=(i, tid)) for i, tid in enumerate(trees)]
    for t in threads:
        t.start()
    start = time.perf_counter()
    start_line.wait()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - start)


def _spin(seconds: float, out) -> None:
    end, n = time.perf_counter() + seconds, 0
    while time.perf_counter() < end:
        for _ in range(10_000):
            n += 1
    out.put(n)


def machine_ceiling() -> float:
    """Work done by two CPU-bound processes at once over that of one."""

    def run(k: int) -> int:
        out = multiprocessing.Queue()
        procs = [multiprocessing.Process(target=_spin, args=(SECONDS, out)) for _ in range(k)]
        for p in procs:
            p.start()
        total = sum(out.get() for _ in procs)
        for p in procs:
            p.join()
        return total

    return statistics.median(run(2) / run(1) for _ in range(ROUNDS))


def main() -> int:
    logger.remove()
    engine = ThreadEngine()
    a, b = engine.create_tree_from_text(TREE), engine.create_tree_from_text(TREE)
    engine.tick_n_times(a, BATCH)
    engine.tick_n_times(b, BATCH)
    one, two = [], []
    try:
        for _ in range(ROUNDS):
            one.append(ticks_per_second(engine, [a]))
            two.append(ticks_per_second(engine, [a, b]))
    finally:
        engine.stop_all_trees()
    one_median, two_median = statistics.median(one), statistics.median(two)
    print(f"one tree alone:     {one_median:10.0f} ticks/s")
    print(f"two trees at once:  {two_median:10.0f} ticks/s")
    print(f"ratio: {two_median / one_median:.2f}x (bar {BAR}x) on {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"for scale, two spinning processes over one on this machine: {machine_ceiling():.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
