"""Busy-spinning helper processes for benchmarks that report figures idle and under load.

    with spinning(n):   # n processes, each burning a core, ended when the block ends
        measure()
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
import time


@contextlib.contextmanager
def spinning(count: int | None = None):
    """Starts `count` (default: one per core) processes that spin until the block ends."""
    if count is None:
        count = os.cpu_count() or 1
    procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        time.sleep(0.2)  # let them get going and take their share of the cores
        yield count
    finally:
        for p in procs:
            p.kill()
        for p in procs:
            p.wait()


def conditions():
    """(label, context manager) pairs: idle, then one spinning helper per core."""
    cores = os.cpu_count() or 1
    return [("idle", contextlib.nullcontext()), (f"loaded ({cores} spinning helpers)", spinning(cores))]
