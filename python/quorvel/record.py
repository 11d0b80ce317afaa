"""Recordings of tree runs as JSON lines, and reading them back.

A recording is a text file of JSON objects, one a line (the format is described in
docs/recording-schema.md): a header with the tree's layout, then one line per tick with its
transitions, the counters that changed and the blackboard entries written. The tick lines are
written by the engine itself; the recorder only adds the blackboard values, so recording
costs little more than the file it writes.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

from quorvel.core import Tree

__all__ = ["FORMAT", "Recorder", "Recording", "load"]

FORMAT = "quorvel.recording/1"
_COUNTER_FIELDS = ("status", "last", "ticks", "success", "failure", "running_ns", "running_since")


class Recorder:
    """Writes the ticks of one tree to ``path``.

    ``Recorder(path)`` then ``recorder.attach(tree)``, or ``with Recorder(path, tree):``. The
    recording starts at the next tick; close() (or leaving the ``with`` block) detaches and
    closes the file. The tick lines are written by the engine on the ticking thread, through
    a buffer: flush() writes what is buffered (a recording read while the tree runs may end
    a little behind it).
    """

    def __init__(self, path: str | Path, tree: Tree | None = None) -> None:
        self.path = Path(path)
        self._file: BinaryIO | None = None
        self._sink: Any = None
        if tree is not None:
            self.attach(tree)

    def attach(self, tree: Tree) -> Recorder:
        if self._sink is not None:
            raise RuntimeError("this recorder is attached already")
        layout = tree.layout()
        if layout is None:
            raise RuntimeError("the tree has nothing loaded")
        self._file = open(self.path, "wb")
        header = {"format": FORMAT, "label": tree.label, "layout": layout}
        self._file.write(json.dumps(header, separators=(",", ":")).encode() + b"\n")
        self._file.flush()
        self._sink = tree._record_to(self._file.fileno())
        return self

    def flush(self) -> None:
        if self._sink is not None:
            self._sink.flush()

    def close(self) -> None:
        sink, self._sink = self._sink, None
        try:
            if sink is not None:
                sink.close()
                sink.flush()  # reports a write that failed
        finally:
            if self._file is not None:
                self._file.close()
                self._file = None

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _entry_json(value: Any) -> str:
    # Called by the engine for blackboard values it cannot write itself: the members of a
    # blackboard entry that carry its value.
    try:
        return '"value":' + json.dumps(value, allow_nan=False, separators=(",", ":"))
    except (TypeError, ValueError):
        return '"repr":' + json.dumps(repr(value))


@dataclass
class Recording:
    """A recording read back: its layout and its tick lines, in order."""

    layout: dict[str, Any]
    ticks: list[dict[str, Any]]
    label: str = ""
    _states: list[list[dict[str, Any]]] = field(default_factory=list, repr=False)  # checkpoints

    @property
    def first_tick(self) -> int | None:
        return self.ticks[0]["tick"] if self.ticks else None

    @property
    def last_tick(self) -> int | None:
        return self.ticks[-1]["tick"] if self.ticks else None

    _CHECKPOINT_EVERY = 256  # lines between kept states

    def _apply(self, state: list[dict[str, Any]], line: dict[str, Any]) -> None:
        # What the transitions imply, then the nodes reset without one, then the counters
        # written because they differ from that (docs/recording-schema.md).
        now = line["time_ns"]
        for t in line["transitions"]:
            c = state[t["uid"]]
            status = t["status"]
            if status != "IDLE":
                c["ticks"] += 1
            if status in ("SUCCESS", "FAILURE", "SKIPPED"):
                c["last"] = status
                if status == "SUCCESS":
                    c["success"] += 1
                elif status == "FAILURE":
                    c["failure"] += 1
            if t["previous"] == "RUNNING" and status != "RUNNING":
                c["running_ns"] += now - c["running_since"]
            if status == "RUNNING":
                c["running_since"] = now
            c["status"] = status
        for first, last in line.get("idle", ()):
            for uid in range(first, last + 1):
                state[uid]["status"] = "IDLE"
        for uid, values in line.get("counters", {}).items():
            state[int(uid)] = dict(zip(_COUNTER_FIELDS, values))

    def _state_after(self, index: int) -> list[dict[str, Any]]:
        """Every node's counters after line `index`, replayed from the nearest checkpoint
        (the state is kept every few hundred lines, not after each)."""
        if not self._states:
            state = [dict(zip(_COUNTER_FIELDS, ("IDLE", "IDLE", 0, 0, 0, 0, 0))) for _ in self.layout["nodes"]]
            for i, line in enumerate(self.ticks):
                self._apply(state, line)
                if i % self._CHECKPOINT_EVERY == 0:
                    self._states.append([dict(c) for c in state])
        state = [dict(c) for c in self._states[index // self._CHECKPOINT_EVERY]]
        for i in range(index - index % self._CHECKPOINT_EVERY + 1, index + 1):
            self._apply(state, self.ticks[i])
        return state

    def snapshot(self, tick: int) -> dict[str, Any]:
        """The snapshot right after tick ``tick`` (before a halt that followed it), as
        Tree.snapshot() gave it then. Ticks before the recording started raise ValueError."""
        found = None
        for i, line in enumerate(self.ticks):
            if line["tick"] > tick:
                break
            if line["tick"] == tick and line.get("halt") and found is not None and self.ticks[found]["tick"] == tick:
                continue
            found = i
        if found is None:
            raise ValueError(f"tick {tick} is before the recording starts (first tick {self.first_tick})")
        line = self.ticks[found]
        now = line["time_ns"]
        nodes = {}
        for uid, c in enumerate(self._state_after(found)):
            running = c["running_ns"] + (now - c["running_since"] if c["status"] == "RUNNING" else 0)
            nodes[uid] = {"status": c["status"], "last": c["last"], "ticks": c["ticks"], "success": c["success"],
                          "failure": c["failure"], "running_ns": running}
        return {"schema": "quorvel.snapshot/1", "tick": line["tick"], "status": line["status"], "nodes": nodes}


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
