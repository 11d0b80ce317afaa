"""Time to load a large document with create_tree_from_text: this build against a baseline.

Two documents: a Sequence of 50,000 <AlwaysSuccess/> leaves, and one of 20,000 Python actions
with five attributes each (a unique name, three ports, an editor id), so that element names,
attribute names, shared values like "{c}" and values seen only once are all read in bulk.

Each sample is a fresh worker process per build, the two taking turns and swapping who goes
first each round: how fast one process loads varies from process to process by more than the
difference being measured (up to 2x here), so a long-lived worker per build would compare
two draws of that luck. A worker loads each document once, with a fresh engine, after a
first small load has set up the engine. Median and tail (90th percentile) over the rounds,
idle and with one busy-spinning helper process per core; the ratio is this build over the
baseline.

    BASELINE=/tmp/old/python:/tmp/old/build PYTHONPATH=python:build/dev .venv/bin/python bench/bench_load.py
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from busy_helpers import conditions  # noqa: E402

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "31"))
LEAVES = 50_000
ACTIONS = 20_000


def documents() -> dict[str, str]:
    head, tail = '<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>', "</Sequence></BehaviorTree></root>"
    return {
        f"{LEAVES:,} <AlwaysSuccess/>": head + "<AlwaysSuccess/>" * LEAVES + tail,
        f"{ACTIONS:,} actions, 5 attributes": head + "".join(
            f'<Bb name="step_{i}" inp="{{c}}" out="{{c}}" level="{i % 7}" _uid="{i}"/>' for i in range(ACTIONS)) + tail,
    }


def worker() -> None:
    """Loads each document once and prints the seconds each load took, in order."""
    import gc
    import time

    from quorvel.core import NodeStatus
    from quorvel.engine.sequential_engine import SequentialEngine

    ports = [{"name": name, "type": "int", "direction": direction, "description": ""}
             for name, direction in (("inp", "input"), ("out", "output"), ("level", "input"))]

    def engine() -> SequentialEngine:
        e = SequentialEngine()
        e.register_action_behavior("Bb", lambda node: NodeStatus.SUCCESS, ports)
        return e

    engine().create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Bb inp="1"/></BehaviorTree></root>')
    for text in documents().values():
        e = engine()
        gc.collect()
        start = time.perf_counter()
        e.create_tree_from_text(text)
        print(time.perf_counter() - start, flush=True)
        del e


def tail(times: list[float]) -> float:
    return statistics.quantiles(times, n=10)[-1] if len(times) >= 2 else times[0]


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker()
        return
    if not os.environ.get("BASELINE"):
        sys.exit("set BASELINE to the PYTHONPATH of the build to compare with")
    builds = {"baseline": os.environ["BASELINE"], "this build": os.environ.get("PYTHONPATH", "")}

    def loads(label: str) -> list[float]:
        out = subprocess.run([sys.executable, __file__, "--worker"], env={**os.environ, "PYTHONPATH": builds[label]},
                             check=True, capture_output=True, text=True).stdout
        return [float(line) for line in out.split()]

    kinds = list(documents())
    print(f"create_tree_from_text, {ROUNDS} rounds, a fresh process per build each round (ratio: this build / baseline)")
    for condition, context in conditions():
        times = {(label, kind): [] for label in builds for kind in kinds}
        with context:
            for r in range(ROUNDS):
                for label in (list(builds) if r % 2 == 0 else list(reversed(builds))):
                    for kind, seconds in zip(kinds, loads(label)):
                        times[label, kind].append(seconds)
        print(f"  {condition}")
        for kind in kinds:
            base, this = times["baseline", kind], times["this build", kind]
            print(f"    {kind}")
            for label in builds:
                t = times[label, kind]
                print(f"      {label:11} median {statistics.median(t) * 1e3:8.1f} ms   p90 {tail(t) * 1e3:8.1f} ms")
            print(f"      ratio       median {statistics.median(this) / statistics.median(base):8.2f}x     "
                  f"p90 {tail(this) / tail(base):8.2f}x")


if __name__ == "__main__":
    main()
