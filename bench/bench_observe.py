"""What watching a tree costs: the tree of bench_ticks.py (every node changes status on every
tick, the worst case) ticked with no observer, with an observer that drops what it gets, and
with a Recorder writing to a file; and, given the build of the engine before it reported
anything (--baseline-build), the same tree ticked by that engine.

Each variant runs in a worker process of its own, and the batches take turns (interleaved,
in a new order each round), idle and with spinning helpers. Figures are microseconds per tick,
median and 90th percentile over the rounds, and the ratios of the medians. Bars: no observer
within 10% of the earlier engine, a dropping observer within 2x and a Recorder within 5x of
no observer.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_observe.py \\
        [--baseline-build build/base --baseline-python ../base/python] [--rounds 15]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from busy_helpers import conditions  # noqa: E402

BATCH = {"earlier engine": 4000, "no observer": 4000, "dropping observer": 4000, "Recorder": 500}
BARS = {"no observer": ("earlier engine", 1.10), "dropping observer": ("no observer", 2.0),
        "Recorder": ("no observer", 5.0)}

WORKER = r"""
import sys, time, tempfile, os
sys.path.insert(0, sys.argv[1])
from bench_ticks import quorvel_engine
engine = quorvel_engine()
engine.tick_n_times(200)
tmp = tempfile.mkdtemp(prefix="quorvel-bench-")
path = os.path.join(tmp, "run.jsonl")
for line in sys.stdin:
    mode, n = line.split("|")
    n = int(n)
    if mode == "Recorder":
        from quorvel.record import Recorder
        rec = Recorder(path, engine.tree)
        start = time.perf_counter()
        engine.tick_n_times(n)
        rec.flush()
        elapsed = time.perf_counter() - start
        rec.close()
        os.remove(path)
    elif mode == "dropping observer":
        with engine.tree.observe(lambda report: None):
            start = time.perf_counter()
            engine.tick_n_times(n)
            elapsed = time.perf_counter() - start
    else:
        start = time.perf_counter()
        engine.tick_n_times(n)
        elapsed = time.perf_counter() - start
    print(elapsed / n * 1e6, flush=True)
os.rmdir(tmp)
"""


class Worker:
    def __init__(self, build: str, package: str) -> None:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([package, build]))
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, str(HERE)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)

    def batch(self, mode: str) -> float:
        self.proc.stdin.write(f"{mode}|{BATCH[mode]}\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(60)


def p90(values: list[float]) -> float:
    return statistics.quantiles(values, n=10)[-1] if len(values) > 1 else values[0]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("QUORVEL_BUILD", "build/dev"),
                        help="build directory of the engine under test")
    parser.add_argument("--baseline-build", help="build directory of the engine before it reported anything")
    parser.add_argument("--baseline-python", help="its Python package folder (default: this checkout's)")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    modes = ["no observer", "dropping observer", "Recorder"]
    if args.baseline_build:
        modes.insert(0, "earlier engine")
    print(f"tree of bench_ticks.py; {args.rounds} interleaved rounds; microseconds per tick")
    for label, condition in conditions():
        # Separate processes per variant: two engines cannot share one interpreter, and no
        # variant inherits another's heap.
        ours = str(HERE.parent / "python")
        workers = {m: Worker(args.baseline_build, args.baseline_python or ours) if m == "earlier engine"
                   else Worker(args.build, ours) for m in modes}
        times: dict[str, list[float]] = {m: [] for m in modes}
        try:
            with condition:
                for m in modes:
                    workers[m].batch(m)  # warm up
                for _ in range(args.rounds):
                    order = modes[:]
                    random.shuffle(order)
                    for m in order:
                        times[m].append(workers[m].batch(m))
        finally:
            for w in workers.values():
                w.close()
        print(f"\n{label}")
        for m in modes:
            print(f"  {m:18s} median {statistics.median(times[m]):8.2f}   p90 {p90(times[m]):8.2f}")
        for m, (base, bar) in BARS.items():
            if base not in times:
                continue
            ratio = statistics.median(times[m]) / statistics.median(times[base])
            tail = p90(times[m]) / p90(times[base])
            print(f"  {m} / {base}: {ratio:5.2f}x median, {tail:5.2f}x p90 (bar {bar:g}x: "
                  f"{'met' if ratio <= bar else 'NOT met'})")


if __name__ == "__main__":
    main()
