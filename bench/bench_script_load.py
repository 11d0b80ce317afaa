"""Loading a tree whose Script names many distinct blackboard entries: the time grows with
the script's size, not with its square.

Two trees, each a single Script of `vK := K;` statements: 100,000 distinct names (1.6 MB of
script) and, as the baseline in the same run, 12,500 names. Eight times the names should
take about eight times as long (a name scan per name made it sixty-four times, 6-10 s for
the large one). Loads alternate between the two; median and maximum over the rounds, idle
and with one busy-spinning helper process per core. Bar: the large script loads in under
0.5 s.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_script_load.py
"""

from __future__ import annotations

import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from busy_helpers import conditions  # noqa: E402
from quorvel.engine.sequential_engine import SequentialEngine  # noqa: E402

LARGE = 100_000
SMALL = LARGE // 8
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
BAR = 0.5  # seconds for the large script


def document(names: int) -> str:
    code = " ".join(f"v{k} := {k};" for k in range(names))
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main"><Script code="{code}"/></BehaviorTree></root>'


def load_seconds(text: str) -> float:
    engine = SequentialEngine()
    start = time.perf_counter()
    engine.create_tree_from_text(text)
    return time.perf_counter() - start


def measure(small: str, large: str) -> tuple[list[float], list[float]]:
    small_times, large_times = [], []
    for _ in range(ROUNDS):
        small_times.append(load_seconds(small))
        large_times.append(load_seconds(large))
    return small_times, large_times


def main() -> None:
    small, large = document(SMALL), document(LARGE)
    print(f"Script with {LARGE:,} distinct names ({len(large) / 1e6:.1f} MB) against {SMALL:,} "
          f"({len(small) / 1e6:.2f} MB); {ROUNDS} loads each, alternating")
    met = True
    for label, context in conditions():
        with context:
            small_times, large_times = measure(small, large)
        s_med, l_med = statistics.median(small_times), statistics.median(large_times)
        ratio = l_med / s_med
        print(f"  {label}")
        print(f"    {SMALL:>7,} names: median {s_med * 1e3:8.1f} ms   max {max(small_times) * 1e3:8.1f} ms")
        print(f"    {LARGE:>7,} names: median {l_med * 1e3:8.1f} ms   max {max(large_times) * 1e3:8.1f} ms")
        print(f"    ratio {ratio:.1f}x for 8x the names (linear: about 8x; quadratic: 64x)")
        met = met and l_med < BAR
    print(f"bar: {LARGE:,} names under {BAR} s (median): {'met' if met else 'NOT met'}")


if __name__ == "__main__":
    main()
