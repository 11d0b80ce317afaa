"""What Python actions cost inside C++ trees, each figure beside its baseline from the same run.

- crossing: (tree of 100 Python actions - tree of 100 AlwaysSuccess) / 100, over a plain
  Python call of the same function (bar: at most 2.5x);
- port pair: the extra cost of a getInput + setOutput pair in a leaf, over a dict
  read-add-write d["c"] = d["c"] + 1 (bar: at most 3x);
- port tree: one tick of 100 leaves that read an int port and write it back plus one,
  against py_trees doing the same work (bar: under 12.5 us);
- threads: N trees of Python actions ticked by N threads, total ticks/s over one thread
  (bar: at least 0.9x at N=2 and N=4); and the same for trees of built-in nodes, and for
  plain Python calls without the engine (what the interpreter gives threads sharing the GIL).

Every figure is the median of RUNS rounds (the rounds interleave all contenders), idle and
then with one busy-spinning helper process per core.

With BASELINE set to the PYTHONPATH of another version (an earlier commit built elsewhere),
each round also times the three trees in a fresh process of each version, one after the
other, and prints how many times faster this version ticks them ("... vs baseline").

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_python_action.py
    BASELINE=/tmp/old/python:/tmp/old/build PYTHONPATH=python:build/dev .venv/bin/python bench/bench_python_action.py
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from busy_helpers import conditions  # noqa: E402

from quorvel.core import NodeStatus  # noqa: E402
from quorvel.engine.sequential_engine import SequentialEngine  # noqa: E402

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
LEAVES = 100
SUCCESS = NodeStatus.SUCCESS
PORTS = [{"name": "inp", "type": "int", "direction": "input", "description": ""},
         {"name": "out", "type": "int", "direction": "output", "description": ""}]


def py(node):
    return SUCCESS


def count(node):
    node.setOutput("out", node.getInput("inp") + 1)
    return SUCCESS


def engine(leaf: str) -> SequentialEngine:
    e = SequentialEngine()
    e.register_action_behavior("Py", py, [])
    e.register_action_behavior("Count", count, PORTS)
    e.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                            + leaf * LEAVES + "</Sequence></BehaviorTree></root>")
    e.set_blackboard_data("c", 0)
    return e


def per_tick(e: SequentialEngine, ticks: int = 2000) -> float:
    e.tick_n_times(20)
    start = time.perf_counter()
    e.tick_n_times(ticks)
    return (time.perf_counter() - start) / ticks


def loop_cost(body, n: int = 200_000) -> float:
    start = time.perf_counter()
    body(n)
    middle = time.perf_counter()
    for _ in range(n):
        pass
    return max(1e-9, ((middle - start) - (time.perf_counter() - middle)) / n)


def plain_call(n):
    f, x = py, None
    for _ in range(n):
        f(x)


def dict_pair(n):
    d = {"c": 0}
    for _ in range(n):
        d["c"] = d["c"] + 1


def py_trees_tick() -> float:
    import py_trees

    class Count(py_trees.behaviour.Behaviour):
        def __init__(self, name, store):
            super().__init__(name)
            self.store = store

        def update(self):
            self.store["c"] = self.store["c"] + 1
            return py_trees.common.Status.SUCCESS

    store = {"c": 0}
    root = py_trees.composites.Sequence("root", memory=False)
    root.add_children([Count(f"c{i}", store) for i in range(LEAVES)])
    tree = py_trees.trees.BehaviourTree(root)
    tree.setup()
    for _ in range(20):
        tree.tick()
    start = time.perf_counter()
    for _ in range(200):
        tree.tick()
    return (time.perf_counter() - start) / 200


def threaded(batches, seconds: float = 0.6) -> float:
    """Total rate of N threads, thread i calling batches[i]() (20 ticks' worth) until time is up."""
    counts = [0] * len(batches)
    stop = time.perf_counter() + seconds

    def drive(i):
        batch = batches[i]
        while time.perf_counter() < stop:
            batch()
            counts[i] += 20

    pool = [threading.Thread(target=drive, args=(i,)) for i in range(len(batches))]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(counts) / seconds


def throughput(leaf: str, threads: int) -> float:
    return threaded([lambda e=engine(leaf): e.tick_n_times(20) for _ in range(threads)])


def versus_baseline() -> dict[str, float]:
    """Per-tick times of the three trees in a fresh process of the baseline and of this
    version; the figures are baseline time over this version's."""
    def times(pythonpath: str) -> dict[str, float]:
        env = dict(os.environ, PYTHONPATH=pythonpath)
        out = subprocess.run([sys.executable, __file__, "--trees"], env=env, check=True,
                             capture_output=True, text=True).stdout
        return json.loads(out.strip().splitlines()[-1])

    old, new = times(os.environ["BASELINE"]), times(os.environ.get("PYTHONPATH", ""))
    return {f"{key} vs baseline": old[key] / new[key] for key in new}


def tree_times() -> dict[str, float]:
    trees = {"py tree": engine("<Py/>"), "leaf tree": engine("<AlwaysSuccess/>"),
             "port tree": engine('<Count inp="{c}" out="{c}"/>')}
    return {key: min(per_tick(e) for _ in range(3)) for key, e in trees.items()}


def plain_throughput(threads: int) -> float:
    """The same driving loop with each tick replaced by 100 plain Python calls: what the
    interpreter itself gives N threads that share the GIL, for scale."""
    def batch(f=py):
        for _ in range(20 * LEAVES):
            f(None)

    return threaded([batch] * threads)


def one_round(trees):
    call, pair = loop_cost(plain_call), loop_cost(dict_pair)
    t_py, t_leaf, t_count = per_tick(trees["py"]), per_tick(trees["leaf"]), per_tick(trees["count"])
    figures = {
        "crossing": ((t_py - t_leaf) / LEAVES) / call,
        "port pair": ((t_count - t_py) / LEAVES) / pair,
        "port tree us": t_count * 1e6,
        "vs py_trees": py_trees_tick() / t_count,
    }
    if os.environ.get("BASELINE"):
        figures.update(versus_baseline())
    for label, leaf in (("py", "<Py/>"), ("built-in", "<AlwaysSuccess/>")):
        one = throughput(leaf, 1)
        for n in (2, 4):
            figures[f"{label} threads n={n}"] = throughput(leaf, n) / one
    one = plain_throughput(1)
    for n in (2, 4):
        figures[f"plain calls n={n}"] = plain_throughput(n) / one
    return figures


def main() -> None:
    if sys.argv[1:] == ["--trees"]:
        print(json.dumps(tree_times()))
        return
    trees = {"py": engine("<Py/>"), "leaf": engine("<AlwaysSuccess/>"), "count": engine('<Count inp="{c}" out="{c}"/>')}
    for label, state in conditions():
        with state:
            rounds = [one_round(trees) for _ in range(RUNS)]
        print(f"== {label}, median of {RUNS} rounds (min .. max)")
        for key in rounds[0]:
            values = sorted(r[key] for r in rounds)
            print(f"  {key:22s} {statistics.median(values):8.2f}   ({values[0]:.2f} .. {values[-1]:.2f})")


if __name__ == "__main__":
    main()
