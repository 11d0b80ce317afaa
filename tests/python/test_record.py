"""Recordings: written while a tree runs, read back, snapshots rebuilt at any tick."""

import json

import pytest

from quorvel import record
from quorvel.core import BehaviorTreeFactory, NodeStatus

S = NodeStatus


class Opaque:
    def __repr__(self):
        return "Opaque()"


def make_tree():
    factory = BehaviorTreeFactory()
    calls = {"n": 0}

    def work(node):
        calls["n"] += 1
        return S.SUCCESS if calls["n"] % 3 == 0 else S.RUNNING

    factory.register_simple_action("Work", work)
    return factory.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence><Script code="count := count + 1"/>'
        '<Work/><Inverter><AlwaysFailure/></Inverter></Sequence></BehaviorTree></root>')


def test_round_trip_rebuilds_every_snapshot_exactly(tmp_path):
    tree = make_tree()
    tree.set_blackboard_data("count", 0)
    tree.set_blackboard_data("thing", Opaque())
    tree.tick_once()  # before the recording: its counters must still come out right
    path = tmp_path / "run.jsonl"
    snapshots = {}
    with record.Recorder(path, tree):
        for _ in range(7):
            tree.tick_once()
            snapshots[tree.snapshot()["tick"]] = tree.snapshot()
        tree.halt_tree()
        after_halt = tree.snapshot()
    rec = record.load(path)
    assert rec.layout == json.loads(json.dumps(tree.layout()))
    assert [t["tick"] for t in rec.ticks] == [2, 3, 4, 5, 6, 7, 8, 8] and rec.ticks[-1]["halt"]
    for tick, snap in snapshots.items():
        assert rec.snapshot(tick) == json.loads(json.dumps(snap)) | {"nodes": {int(k): v for k, v in json.loads(json.dumps(snap["nodes"])).items()}}
    assert rec.snapshot(8)["nodes"][2]["status"] != "IDLE" or after_halt["nodes"][2]["status"] == "IDLE"
    with pytest.raises(ValueError, match="before the recording"):
        rec.snapshot(1)
    first = rec.ticks[0]
    moved = next(t for t in rec.ticks if t["transitions"])
    assert {"uid", "name", "previous", "status"} <= set(moved["transitions"][0])
    entries = {e["key"]: e for e in first["blackboard"]}
    assert entries["count"]["value"] == 1 and entries["thing"]["repr"] == "Opaque()"
    later = [e["key"] for t in rec.ticks[1:] for e in t.get("blackboard", [])]
    assert later and set(later) == {"count"}  # unchanged entries are not written again


def test_load_refuses_other_files_and_forgives_a_cut_last_line(tmp_path):
    other = tmp_path / "other.jsonl"
    other.write_text('{"format": "something/1"}\n')
    with pytest.raises(ValueError, match="not a quorvel recording"):
        record.load(other)
    tree = make_tree()
    tree.set_blackboard_data("count", 0)
    path = tmp_path / "cut.jsonl"
    with record.Recorder(path).attach(tree) as rec:
        tree.tick_n_times(3)
    text = path.read_text()
    path.write_text(text + text.splitlines()[-1][:20])
    assert [t["tick"] for t in record.load(path).ticks] == [1, 2, 3]


def test_long_recordings_rebuild_from_checkpoints(tmp_path):
    tree = make_tree()
    tree.set_blackboard_data("count", 0)
    path = tmp_path / "long.jsonl"
    wanted = {}
    with record.Recorder(path, tree):
        for tick in range(1, 700):
            tree.tick_once()
            if tick in (1, 255, 256, 257, 513, 699):
                wanted[tick] = json.loads(json.dumps(tree.snapshot()))
    rec = record.load(path)
    for tick, snap in wanted.items():
        got = json.loads(json.dumps(rec.snapshot(tick)))
        assert got == snap, tick
    # Lines carry counters only where the transitions do not already say what changed.
    assert max(len(line["counters"]) for line in rec.ticks[1:]) < len(rec.layout["nodes"])
