"""Memory per node of a loaded tree: native heap (glibc's mallinfo2) plus Python objects
(tracemalloc), for a leaf of each kind, measured over trees of N leaves.

A tree of N leaves and a tree of 2N leaves are loaded and kept; the difference over N is what
one more leaf costs, so the Sequence, the engine and the blackboard cancel out. Each kind is
measured in a process of its own. The tree is
ticked once first, so that what the first tick creates (a Python action's TreeNode object) is
counted. To compare with another version, set BASELINE to the PYTHONPATH that imports it.

    PYTHONPATH=python:build/dev .venv/bin/python bench/bench_memory.py
    BASELINE=/tmp/old/python:/tmp/old/build PYTHONPATH=python:build/dev .venv/bin/python bench/bench_memory.py
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc

N = int(os.environ.get("BENCH_NODES", "2000"))
KINDS = {
    "AlwaysSuccess": "<AlwaysSuccess/>",
    "Python action": "<Py/>",
    "Python action, two ports": '<Bb inp="{c}" out="{c}"/>',
    "Script": '<Script code="c := c + 1"/>',
}


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _native_bytes() -> int:
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def measure(kind: str) -> float:
    from quorvel.core import NodeStatus
    from quorvel.engine.sequential_engine import SequentialEngine

    ports = [{"name": "inp", "type": "int", "direction": "input", "description": ""},
             {"name": "out", "type": "int", "direction": "output", "description": ""}]

    def py(node):
        return NodeStatus.SUCCESS

    def bb(node):
        node.setOutput("out", node.getInput("inp") + 1)
        return NodeStatus.SUCCESS

    def load(leaf: str, n: int):
        e = SequentialEngine()
        e.register_action_behavior("Py", py, [])
        e.register_action_behavior("Bb", bb, ports)
        e.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                                + leaf * n + "</Sequence></BehaviorTree></root>")
        e.set_blackboard_data("c", 0)
        e.tick_once()
        return e

    def footprint(leaf: str, n: int) -> tuple[int, object]:
        gc.collect()
        native, python = _native_bytes(), tracemalloc.get_traced_memory()[0]
        e = load(leaf, n)
        gc.collect()
        return (_native_bytes() - native) + (tracemalloc.get_traced_memory()[0] - python), e

    tracemalloc.start()
    load("<AlwaysSuccess/>", 10)  # first use: caches, interned names
    small, keep_small = footprint(KINDS[kind], N)
    large, keep_large = footprint(KINDS[kind], 2 * N)
    return (large - small) / N


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        print(json.dumps(measure(sys.argv[2])))
        return
    builds = [("this build", None)]
    if os.environ.get("BASELINE"):
        builds.insert(0, ("baseline", os.environ["BASELINE"]))
    figures = {}
    for label, build in builds:
        env = dict(os.environ)
        if build:
            env["PYTHONPATH"] = build
        figures[label] = {}
        for kind in KINDS:
            # A process per kind: each pays for the growth of what its nodes share (the
            # allocator's arenas, the bindings' table of Python objects) from the same start.
            out = subprocess.run([sys.executable, __file__, "--child", kind], env=env, check=True,
                                 capture_output=True, text=True).stdout
            figures[label][kind] = json.loads(out.strip().splitlines()[-1])
    print(f"bytes per node, over trees of {N} and {2 * N} leaves")
    header = "".join(f"{label:>14}" for label in figures)
    print(f"{'':28}{header}" + ("     ratio" if len(figures) == 2 else ""))
    for kind in KINDS:
        values = [figures[label][kind] for label in figures]
        line = f"{kind:28}" + "".join(f"{v:14.0f}" for v in values)
        if len(values) == 2:
            line += f"{values[1] / values[0]:10.2f}x"
        print(line)


if __name__ == "__main__":
    main()
