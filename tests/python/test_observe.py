"""Layouts, snapshots and transitions of trees, and the list of live trees."""

import gc
import json
import threading

import pytest
from loguru import logger

from quorvel.core import BehaviorTreeFactory, NodeStatus, Transition
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.observe import label, live_trees

S = NodeStatus


def doc(body, extra=""):
    return f'<root BTCPP_format="4" main_tree_to_execute="Main"><BehaviorTree ID="Main">{body}</BehaviorTree>{extra}</root>'


def changes(report):
    return [(t.name, t.previous.name, t.status.name) for t in report]


class Recorded:
    def __init__(self, tree, **kw):
        self.reports = []
        self.observer = tree.observe(self.reports.append, **kw)

    def ticks(self):
        return [changes(r) for r in self.reports]


def test_layout_names_structure_ports_lines_trees_and_editor_attributes():
    factory = BehaviorTreeFactory()
    tree = factory.create_tree_from_text(doc(
        '<Sequence name="top">\n'
        '  <SetBlackboard output_key="x" value="7"/>\n'
        '  <SubTree ID="Inner" v="{x}" _collapsed="true"/>\n'
        '</Sequence>',
        '<BehaviorTree ID="Inner"><Inverter><AlwaysFailure/></Inverter></BehaviorTree>'))
    layout = tree.layout()
    json.dumps(layout)
    assert layout["schema"] == "quorvel.layout/1"
    nodes = layout["nodes"]
    assert [n["uid"] for n in nodes] == list(range(len(nodes)))
    top = nodes[layout["root"]]
    assert (top["name"], top["type"], top["kind"], top["parent"], top["line"]) == ("top", "Sequence", "control", None, 1)
    set_bb, sub = (nodes[c] for c in top["children"])
    assert set_bb["ports"] == {"output_key": "x", "value": "7"} and set_bb["line"] == 2
    assert sub["kind"] == "subtree" and sub["ports"]["v"] == "{x}" and sub["metadata"] == {"_collapsed": "true"}
    inverter = nodes[sub["children"][0]]
    assert inverter["kind"] == "decorator" and inverter["parent"] == sub["uid"] and inverter["tree"] == "Inner"
    assert top["tree"] == sub["tree"] == "Main"  # a SubTree node belongs to the tree it is written in
    assert nodes[inverter["children"][0]]["kind"] == "action"
    # The uids are those the nodes report to Python actions.
    assert {n["uid"] for n in nodes} == {n["uid"] for n in tree.get_tree_status()["nodes"]}


def test_a_layout_made_after_ticks_shows_the_tree_as_loaded():
    # The layout is made on first use; a SubTree's start value that ticks overwrote still
    # shows as written.
    tree = BehaviorTreeFactory().create_tree_from_text(doc(
        '<SubTree ID="Inner" limit="3"/>',
        '<BehaviorTree ID="Inner"><Script code="limit := limit + 1"/></BehaviorTree>'))
    tree.tick_n_times(2)
    sub = tree.layout()["nodes"][0]
    assert sub["kind"] == "subtree" and sub["ports"] == {"limit": "3"}


def test_snapshot_counts_executions_results_and_keeps_the_last_result_through_a_reset():
    tree = BehaviorTreeFactory().create_tree_from_text(doc(
        "<Fallback><AlwaysFailure/><Inverter><AlwaysFailure/></Inverter></Fallback>"))
    assert tree.snapshot()["tick"] == 0
    tree.tick_n_times(3)
    snap = tree.snapshot()
    assert snap["schema"] == "quorvel.snapshot/1" and snap["tick"] == 3 and snap["status"] == "SUCCESS"
    fb, fail, inv, inner = (snap["nodes"][uid] for uid in range(4))
    assert (fb["ticks"], fb["success"], fb["failure"]) == (3, 3, 0)
    assert (fail["ticks"], fail["failure"], fail["status"], fail["last"]) == (3, 3, "IDLE", "FAILURE")
    assert inv["last"] == "SUCCESS" and inner["last"] == "FAILURE"
    tree.halt_tree()
    after = tree.snapshot()
    assert after["tick"] == 3 and after["nodes"][0]["status"] == "IDLE" and after["nodes"][0]["last"] == "SUCCESS"
    json.dumps(after)  # uids become texts as JSON keys


def test_running_time_adds_up_in_tick_times():
    factory = BehaviorTreeFactory()
    state = {"n": 0}

    def slow(node):
        state["n"] += 1
        return S.SUCCESS if state["n"] >= 3 else S.RUNNING

    factory.register_simple_action("Slow", slow)
    tree = factory.create_tree_from_text(doc("<Sequence><Slow/></Sequence>"))
    r = Recorded(tree)
    for _ in range(3):
        tree.tick_once()
    times = [rep.time_ns for rep in r.reports]
    assert times == sorted(times) and all(t.time_ns == rep.time_ns for rep in r.reports for t in rep)
    assert tree.snapshot()["nodes"][1]["running_ns"] == times[2] - times[0]
    r.observer.close()


def test_transitions_in_order_with_resets_to_idle_left_out():
    factory = BehaviorTreeFactory()
    tree = factory.create_tree_from_text(doc(
        '<Sequence name="seq"><AlwaysSuccess name="a"/><Inverter name="inv"><AlwaysFailure name="f"/></Inverter></Sequence>'))
    with Recorded(tree).observer as obs:
        pass
    r = Recorded(tree)
    tree.tick_once()
    tree.tick_once()
    first, second = r.ticks()
    assert first == [("a", "IDLE", "SUCCESS"), ("f", "IDLE", "FAILURE"), ("inv", "IDLE", "SUCCESS"),
                     ("seq", "IDLE", "SUCCESS")]
    # The children were reset by their parent without a report: they start from IDLE again,
    # and the root, never reset, changes nothing.
    assert second == first[:3]
    assert [t.tick for t in r.reports[1]] == [2, 2, 2] and r.reports[1].tick == tree.snapshot()["tick"]
    assert isinstance(r.reports[0][0], Transition) and r.reports[0][-1].status is S.SUCCESS
    assert obs.closed


def test_a_halt_of_running_nodes_is_reported_and_counts_no_tick():
    factory = BehaviorTreeFactory()
    factory.register_simple_action("Busy", lambda node: S.RUNNING)
    tree = factory.create_tree_from_text(doc('<Sequence name="s"><AlwaysSuccess name="a"/><Busy name="b"/></Sequence>'))
    r = Recorded(tree)
    tree.tick_once()
    tree.halt_tree()
    assert r.ticks() == [[("a", "IDLE", "SUCCESS"), ("b", "IDLE", "RUNNING"), ("s", "IDLE", "RUNNING")],
                         [("b", "RUNNING", "IDLE"), ("s", "RUNNING", "IDLE")]]
    assert r.reports[1].halt and r.reports[1].tick == 1 == tree.snapshot()["tick"]


def test_reactive_sequence_halts_the_running_child_when_its_condition_fails():
    factory = BehaviorTreeFactory()
    ok = {"v": True}
    factory.register_simple_condition("Ok", lambda node: S.SUCCESS if ok["v"] else S.FAILURE)
    factory.register_simple_action("Busy", lambda node: S.RUNNING)
    tree = factory.create_tree_from_text(doc('<ReactiveSequence name="r"><Ok name="ok"/><Busy name="b"/></ReactiveSequence>'))
    r = Recorded(tree)
    tree.tick_once()
    tree.tick_once()
    ok["v"] = False
    tree.tick_once()
    first, second, third = r.ticks()
    assert first == [("ok", "IDLE", "SUCCESS"), ("b", "IDLE", "RUNNING"), ("r", "IDLE", "RUNNING")]
    assert second == []  # the condition stays SUCCESS; nothing changed
    assert third == [("ok", "SUCCESS", "FAILURE"), ("b", "RUNNING", "IDLE"), ("r", "RUNNING", "FAILURE")]
    assert tree.snapshot()["nodes"][1]["ticks"] == 3  # executions that changed nothing count too


def test_transitions_inside_subtrees_carry_the_subtree_nodes():
    tree = BehaviorTreeFactory().create_tree_from_text(doc(
        '<SubTree ID="Inner" name="sub"/>', '<BehaviorTree ID="Inner"><AlwaysSuccess name="leaf"/></BehaviorTree>'))
    r = Recorded(tree)
    tree.tick_once()
    assert r.ticks() == [[("leaf", "IDLE", "SUCCESS"), ("sub", "IDLE", "SUCCESS")]]


def test_blackboard_writes_only_for_observers_that_ask():
    tree = BehaviorTreeFactory().create_tree_from_text(doc(
        '<Sequence><Script code="n := n + 1"/><SubTree ID="Inner"/></Sequence>',
        '<BehaviorTree ID="Inner"><Script code="local := 5"/></BehaviorTree>'))
    tree.set_blackboard_data("n", 0)
    plain, asking = Recorded(tree), Recorded(tree, blackboard=True)
    tree.tick_once()
    tree.tick_once()
    assert all(r.writes == [] for r in plain.reports)
    first, second = asking.reports[0].writes, asking.reports[1].writes
    sub_uid = next(n["uid"] for n in tree.layout()["nodes"] if n["kind"] == "subtree")
    assert (None, "n", 1) in first and (sub_uid, "local", 5) in first
    assert second == [(None, "n", 2)]  # unchanged entries are not repeated


def test_an_observer_that_raises_is_logged_and_the_tick_goes_on():
    tree = BehaviorTreeFactory().create_tree_from_text(doc("<AlwaysSuccess/>"))
    messages = []
    sink = logger.add(lambda m: messages.append(m.record), level="ERROR")
    try:
        def bad(report):
            raise ValueError("observer broke")

        good = Recorded(tree)
        with tree.observe(bad):
            assert tree.tick_once() is S.SUCCESS
        assert len(good.reports) == 1
    finally:
        logger.remove(sink)
    assert len(messages) == 1 and "observer broke" in messages[0]["message"]
    assert messages[0]["name"].startswith("quorvel")


def test_observers_stop_at_close_and_do_not_survive_a_reload():
    engine = SequentialEngine()
    assert engine.tree is None
    engine.create_tree_from_text(doc("<AlwaysSuccess/>"))
    r = Recorded(engine.tree)
    engine.tick_once()
    engine.create_tree_from_text(doc("<AlwaysFailure/>"))
    engine.tick_once()
    # The replaced tree was halted on its way out, and said so; the new one is not observed.
    assert len(r.reports) == 2 and r.reports[1].halt
    r.observer.close()
    r.observer.close()
    assert engine.tree.layout()["nodes"][0]["type"] == "AlwaysFailure"


@pytest.mark.timeout(60)
def test_reading_from_another_thread_never_waits_and_never_sees_half_a_tick():
    factory = BehaviorTreeFactory()
    inside, release = threading.Event(), threading.Event()

    def blocking(node):
        inside.set()
        release.wait(30)
        return S.SUCCESS

    factory.register_simple_action("Block", blocking)
    tree = factory.create_tree_from_text(doc('<Sequence><AlwaysSuccess/><Block/><AlwaysSuccess/></Sequence>'))
    release.set()
    tree.tick_once()  # so the second tick is the one caught in the middle
    release.clear()
    inside.clear()
    worker = threading.Thread(target=tree.tick_once)
    worker.start()
    try:
        assert inside.wait(10)
        snap = tree.snapshot()  # returns although the tick is blocked in the middle
        assert tree.layout()["schema"] == "quorvel.layout/1"
        counts = {uid: n["ticks"] for uid, n in snap["nodes"].items()}
        assert snap["tick"] in (0, 1) and len(set(counts.values())) == 1
    finally:
        release.set()
        worker.join(10)
    snap = tree.snapshot()
    assert snap["tick"] == 2 and {n["ticks"] for n in snap["nodes"].values()} == {2}


@pytest.mark.timeout(60)
def test_concurrent_snapshots_of_a_busy_tree_are_whole_ticks():
    tree = BehaviorTreeFactory().create_tree_from_text(doc("<Sequence>" + "<AlwaysSuccess/>" * 50 + "</Sequence>"))
    stop = threading.Event()
    worker = threading.Thread(target=lambda: [tree.tick_n_times(200) for _ in iter(stop.is_set, True)])
    worker.start()
    try:
        seen = set()
        for _ in range(300):
            snap = tree.snapshot()
            counts = {n["ticks"] for n in snap["nodes"].values()}
            assert counts == {snap["tick"]}
            seen.add(snap["tick"])
    finally:
        stop.set()
        worker.join(30)
    assert len(seen) > 1


def test_live_trees_lists_engines_and_factory_trees_weakly_with_labels():
    engine = SequentialEngine()
    engine.create_tree_from_text(doc("<AlwaysSuccess/>"))
    tree = BehaviorTreeFactory().create_tree_from_text(doc("<AlwaysFailure/>"))
    label(engine.tree, "worker-7")
    found = {t.serial: name for name, t in live_trees()}
    assert found[engine.tree.serial] == "worker-7" and found[tree.serial] == ""
    serial = engine.tree.serial
    del engine, found
    gc.collect()
    assert serial not in {t.serial for _, t in live_trees()}
    assert engine_view_keeps_engine_alive()


def engine_view_keeps_engine_alive():
    engine = SequentialEngine()
    engine.create_tree_from_text(doc("<AlwaysSuccess/>"))
    view = engine.tree
    del engine
    gc.collect()
    return view.tick_once() is S.SUCCESS and view.serial in {t.serial for _, t in live_trees()}


@pytest.mark.timeout(60)
def test_thread_engine_workers_are_listed_under_their_tree_ids():
    from quorvel.engine.trigger.mthread import ThreadEngine

    engine = ThreadEngine()
    engine.create_tree_from_text(doc('<AlwaysSuccess name="worker-root"/>'), "alpha")
    try:
        engine.tick_once("alpha")
        listed = {name: tree for name, tree in live_trees()}
        assert "alpha" in listed
        snap = listed["alpha"].snapshot()  # read from this thread while the worker owns the tree
        assert snap["tick"] == 1 and listed["alpha"].layout()["nodes"][0]["name"] == "worker-root"
    finally:
        engine.stop_tree("alpha")
