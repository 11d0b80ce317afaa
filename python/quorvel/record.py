"""Recordings of tree runs as JSON lines, and reading them back.

A recording is a text file of JSON objects, one a line (the format is described in
docs/recording-schema.md): a header with the tree's layout, then one line per tick with its
transitions, the counters that changed and the blackboard entries written. The tick lines are
written by the engine itself; the recorder only adds the blackboard values, so recording
costs little more than the file it writes.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

from quorvel.core import Observer, TickReport, Tree

__all__ = ["FORMAT", "Recorder", "Recording", "load"]

FORMAT = "quorvel.recording/1"
_COUNTER_FIELDS = ("status", "last", "ticks", "success", "failure", "running_ns", "running_since")


def _json_value(value: Any) -> dict[str, Any]:
    try:
        json.dumps(value, allow_nan=False)
        return {"value": value}
    except (TypeError, ValueError):
        return {"repr": repr(value)}


class Recorder:
    """Writes the ticks of one tree to ``path``.

    ``Recorder(path)`` then ``recorder.attach(tree)``, or ``with Recorder(path, tree):``. The
    recording starts at the next tick; close() (or leaving the ``with`` block) detaches and
    closes the file. The observer runs on the ticking thread.
    """

    def __init__(self, path: str | Path, tree: Tree | None = None) -> None:
        self.path = Path(path)
        self._file: BinaryIO | None = None
        self._observer: Observer | None = None
        self._lock = threading.Lock()
        if tree is not None:
            self.attach(tree)

    def attach(self, tree: Tree) -> Recorder:
        if self._observer is not None:
            raise RuntimeError("this recorder is attached already")
        layout = tree.layout()
        if layout is None:
            raise RuntimeError("the tree has nothing loaded")
        self._file = open(self.path, "wb")
        header = {"format": FORMAT, "label": tree.label, "layout": layout}
        self._file.write(json.dumps(header, separators=(",", ":")).encode() + b"\n")
        self._observer = tree.observe(self._on_tick, blackboard=True)
        return self

    def _on_tick(self, report: TickReport) -> None:
        line = report.to_json()
        writes = report.writes
        if writes:
            entries = [{"blackboard": board, "key": key, **_json_value(value)} for board, key, value in writes]
            line = line[:-2] + b',"blackboard":' + json.dumps(entries, separators=(",", ":")).encode() + b"}\n"
        with self._lock:
            if self._file is not None:
                self._file.write(line)

    def flush(self) -> None:
        with self._lock:
            if self._file is not None:
                self._file.flush()

    def close(self) -> None:
        if self._observer is not None:
            self._observer.close()
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@dataclass
class Recording:
    """A recording read back: its layout and its tick lines, in order."""

    layout: dict[str, Any]
    ticks: list[dict[str, Any]]
    label: str = ""
    _states: list[tuple[int, dict[int, dict[str, Any]], str, int]] = field(default_factory=list, repr=False)

    @property
    def first_tick(self) -> int | None:
        return self.ticks[0]["tick"] if self.ticks else None

    @property
    def last_tick(self) -> int | None:
        return self.ticks[-1]["tick"] if self.ticks else None

    def _replay(self) -> None:
        if self._states or not self.ticks:
            return
        counters: dict[int, dict[str, Any]] = {}
        for line in self.ticks:
            for uid, values in line.get("counters", {}).items():
                counters[int(uid)] = dict(zip(_COUNTER_FIELDS, values))
            self._states.append((line["tick"], dict(counters), line["status"], line["time_ns"]))

    def snapshot(self, tick: int) -> dict[str, Any]:
        """The snapshot right after tick ``tick`` (before a halt that followed it), as
        Tree.snapshot() gave it then. Ticks before the recording started raise ValueError."""
        self._replay()
        found = None
        for i, line in enumerate(self.ticks):
            if line["tick"] > tick:
                break
            if line["tick"] == tick and line.get("halt") and found is not None and self.ticks[found]["tick"] == tick:
                continue
            found = i
        if found is None:
            raise ValueError(f"tick {tick} is before the recording starts (first tick {self.first_tick})")
        _, counters, status, now = self._states[found]
        nodes = {}
        for uid, c in counters.items():
            running = c["running_ns"] + (now - c["running_since"] if c["status"] == "RUNNING" else 0)
            nodes[uid] = {"status": c["status"], "last": c["last"], "ticks": c["ticks"], "success": c["success"],
                          "failure": c["failure"], "running_ns": running}
        return {"schema": "quorvel.snapshot/1", "tick": self.ticks[found]["tick"], "status": status, "nodes": nodes}


def load(path: str | Path) -> Recording:
    """Reads a recording. A last line cut short (the program died while writing) is ignored."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines:
        raise ValueError(f"{path}: empty file, no recording header")
    header = json.loads(lines[0])
    if header.get("format") != FORMAT:
        raise ValueError(f"{path}: not a quorvel recording of format {FORMAT!r} (found {header.get('format')!r})")
    ticks = []
    for n, text in enumerate(lines[1:], start=2):
        if not text.strip():
            continue
        try:
            ticks.append(json.loads(text))
        except json.JSONDecodeError:
            if n == len(lines):
                break
            raise ValueError(f"{path}, line {n}: not JSON") from None
    return Recording(layout=header["layout"], ticks=ticks, label=header.get("label", ""))
