"""Round trip of one command to an idle tree: ThreadEngine against the same channel in Python.

The baseline is the channel as plain Python would build it: a threading.Condition, a
one-element command list and a one-element result list, a worker thread that waits for a
command, dispatches it to the engine and posts a result triple, and a sender that posts,
notifies and waits for the answer. Both sides send `get_blackboard_data` to a tree whose
engine is the same SequentialEngine, so the difference is the channel alone.

Prints both medians (microseconds per command) and the ratio; the bar is 20x. The logger is
silenced so that log output does not weigh on either side.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time

from loguru import logger

from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.engine.trigger.mthread import ThreadEngine

TREE = '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>'
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "7"))
COMMANDS = int(os.environ.get("BENCH_COMMANDS", "5000"))
BAR = 20.0


class PythonChannel:
    """One tree served by a worker thread through threading.Condition and one-element lists."""

    def __init__(self, xml: str) -> None:
        self.cond = threading.Condition()
        self.command = [None]
        self.result = [None]
        self.thread = threading.Thread(target=self._run, args=(xml,))
        self.thread.start()

    def _run(self, xml: str) -> None:
        engine = SequentialEngine()
        engine.create_tree_from_text(xml)
        while True:
            with self.cond:
                while self.command[0] is None:
                    self.cond.wait()
                command = self.command[0]
                if command is False:
                    return
                params = command.get("params", {})
                if command.get("type") == "get_blackboard_data":
                    value = engine.get_blackboard_data(params.get("key"))
                    self.result[0] = ("get_blackboard_data", "t", value)
                else:
                    self.result[0] = ("error", "t", "unknown")
                self.command[0] = None
                self.cond.notify()

    def send(self, command_type: str, params: dict) -> object:
        with self.cond:
            self.command[0] = {"type": command_type, "params": params or {}}
            self.cond.notify()
            while self.result[0] is None:
                self.cond.wait()
            result_type, _, value = self.result[0]
            self.result[0] = None
            if result_type == "error":
                raise RuntimeError(value)
            return value

    def stop(self) -> None:
        with self.cond:
            self.command[0] = False
            self.cond.notify()
        self.thread.join()


def latencies_us(send, n: int) -> list:
    # Each command is timed on its own: a median of single round trips is what one caller
    # sees, and it stays meaningful when other processes now and then take the CPU away.
    clock = time.perf_counter_ns
    out = []
    for _ in range(n):
        start = clock()
        send()
        out.append((clock() - start) / 1000)
    return out


def main() -> int:
    logger.remove()
    engine = ThreadEngine()
    tree = engine.create_tree_from_text(TREE)
    engine.set_blackboard_data(tree, "x", 42)
    baseline = PythonChannel(TREE)
    baseline.send("get_blackboard_data", {"key": "x"})  # the worker has loaded its tree

    ours, theirs = [], []
    try:
        for _ in range(ROUNDS):
            theirs += latencies_us(lambda: baseline.send("get_blackboard_data", {"key": "x"}), COMMANDS // 5)
            ours += latencies_us(lambda: engine.get_blackboard_data(tree, "x"), COMMANDS)
    finally:
        baseline.stop()
        engine.stop_all_trees()

    ours_median, theirs_median = statistics.median(ours), statistics.median(theirs)
    ratio = theirs_median / ours_median
    print(f"threading.Condition channel (Python): median {theirs_median:8.2f} us per command ({len(theirs)} commands)")
    print(f"ThreadEngine native channel:          median {ours_median:8.2f} us per command ({len(ours)} commands)")
    print(f"ratio: {ratio:.1f}x (bar {BAR:.0f}x) on {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
