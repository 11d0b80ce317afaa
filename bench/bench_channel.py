"""ThreadEngine.tick_once round trip against the channel as plain Python would build it, in the
four states a machine is found in: back to back on an idle machine, single commands after
idle pauses, and back to back beside one and two busy-spinning helper processes.

The baseline ("literal") is the design written down for the engine: a threading.Condition, a
one-element command list and result list, a worker thread that waits for a command, ticks
the same SequentialEngine and posts the answer, and a sender that posts, notifies and waits.
Both are measured in the same run, in alternating blocks, and the whole run is repeated
(BENCH_RUNS, default 3); each figure is the median over the runs.

Bars: back to back and idle, a p50 of at most 4 us (and at least 15x the literal design when
its p50 is 40 us or more); in every other state a p50 at most 1.1x and a p99 at most 1.5x the
literal design's.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time

from loguru import logger

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from busy_helpers import spinning  # noqa: E402

from quorvel.engine.sequential_engine import SequentialEngine  # noqa: E402
from quorvel.engine.trigger.mthread import ThreadEngine  # noqa: E402

XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>'
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
clock = time.perf_counter_ns


class Literal:
    """The channel as written: one Condition, a command slot and a result slot."""

    def __init__(self):
        self.cond = threading.Condition()
        self.command, self.result = [None], [None]
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        engine = SequentialEngine()
        engine.create_tree_from_text(XML)
        with self.cond:
            while True:
                while self.command[0] is None:
                    self.cond.wait()
                if self.command[0] is False:
                    return
                self.result[0] = ("tick_once", "t", engine.tick_once())
                self.command[0] = None
                self.cond.notify()

    def tick_once(self):
        with self.cond:
            self.command[0] = {"type": "tick_once", "params": {}}
            self.cond.notify()
            while self.result[0] is None:
                self.cond.wait()
            answer, self.result[0] = self.result[0], None
            return answer[2]

    def stop(self):
        with self.cond:
            self.command[0] = False
            self.cond.notify()
        self.thread.join()


def sample(f, n, pause=0.0):
    out = []
    for _ in range(n):
        if pause:
            time.sleep(pause)
        start = clock()
        f()
        out.append((clock() - start) / 1000)
    return out


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * q))]


def measure(contenders, n, pause=0.0, blocks=4):
    """Alternating blocks, the order flipped each time, so drift favours neither."""
    got = {name: [] for name in contenders}
    for block in range(blocks):
        order = list(contenders) if block % 2 == 0 else list(contenders)[::-1]
        for name in order:
            got[name] += sample(contenders[name], n, pause)
    return {name: (pct(v, 0.5), pct(v, 0.99)) for name, v in got.items()}


STATES = [("idle", 0, 3000, 0.0), ("pause", 0, 120, 0.02), ("hog1", 1, 1500, 0.0), ("hog2", 2, 1500, 0.0)]


def one_run():
    engine = ThreadEngine()
    tree = engine.create_tree_from_text(XML)
    literal = Literal()
    contenders = {"ours": lambda: engine.tick_once(tree), "literal": literal.tick_once}
    for f in contenders.values():
        sample(f, 500)  # warm up
    figures = {}
    for name, hogs, n, pause in STATES:
        if hogs:
            with spinning(hogs):
                figures[name] = measure(contenders, n, pause)
        else:
            figures[name] = measure(contenders, n, pause)
    engine.stop_all_trees()
    literal.stop()
    return figures


def main():
    logger.remove()
    runs = []
    for run in range(RUNS):
        runs.append(one_run())
        print(f"run {run + 1}: " + "  ".join(
            f"{s}: {f['ours'][0]:.1f}/{f['literal'][0]:.1f}us" for s, f in runs[-1].items()), flush=True)
    print(f"\n{'state':6s} {'ours p50':>9s} {'p99':>9s} | {'literal p50':>11s} {'p99':>9s} | ratio p50  p99")
    verdict = []
    for name, *_ in STATES:
        med = {who: tuple(statistics.median(r[name][who][i] for r in runs) for i in (0, 1))
               for who in ("ours", "literal")}
        (o50, o99), (l50, l99) = med["ours"], med["literal"]
        print(f"{name:6s} {o50:8.1f}us {o99:8.1f}us | {l50:10.1f}us {l99:8.1f}us | "
              f"{o50 / l50:5.2f}x {o99 / l99:5.2f}x")
        if name == "idle":
            ok = o50 <= 4.0 and (l50 < 40 or l50 / o50 >= 15)
            verdict.append(f"idle p50 {o50:.1f}us, {l50 / o50:.1f}x faster ({'met' if ok else 'MISSED'})")
        else:
            ok = o50 <= 1.1 * l50 and o99 <= 1.5 * l99
            verdict.append(f"{name} {o50 / l50:.2f}x/{o99 / l99:.2f}x ({'met' if ok else 'MISSED'})")
    print("\n" + "; ".join(verdict))


if __name__ == "__main__":
    main()
