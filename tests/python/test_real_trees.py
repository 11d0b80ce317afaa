"""Trees shaped like those of real projects, with asynchronous Python actions.

A delivery robot (files with includes, subtrees, recoveries, retries), a patrol guarded by
its battery (reactive nodes halting work in progress), an agent that plans, acts and checks
(a model call on another thread, bounded by a Timeout), and guards written as scripts.
The point is what happens to an action that is still running: it gets onHalted exactly when
a parent, a guard, a reset or a deadline takes it away, and never otherwise.
"""

from __future__ import annotations

import functools
import gc
import threading
import time
from pathlib import Path

import pytest

from quorvel.core import NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.engine.trigger.mthread import ThreadEngine
from quorvel.nodes.action_node import ConditionNode, SimpleActionNode, StatefulActionNode

S = NodeStatus
DATA = Path(__file__).parent / "data"

pytestmark = pytest.mark.timeout(60)


def port(name, type_="string", direction="input", default=None):
    description = {"name": name, "type": type_, "direction": direction, "description": ""}
    if default is not None:
        description["default"] = default
    return description


class Journal:
    """What the Python actions did, as (event, node name) pairs, from any thread."""

    def __init__(self):
        self._lock = threading.Lock()
        self.events = []

    def add(self, event, name):
        with self._lock:
            self.events.append((event, name))

    def count(self, event, name):
        with self._lock:
            return self.events.count((event, name))

    def of(self, event):
        with self._lock:
            return [name for e, name in self.events if e == event]


def node_classes(journal: Journal) -> dict:
    """The action types of the trees below, recording into `journal`."""

    class Recorded(StatefulActionNode):
        def onHalted(self, node):
            journal.add("halted", node.name)

    class MoveBase(Recorded):
        """Drives to `goal` for 2 ms; a goal in the world's `blocked` map fails that many times."""

        ports = [port("goal"), port("pose", "string", "output"), port("world", "object", default="{@world}")]

        def onStart(self, node):
            journal.add("start", node.name)
            self.goal = node.getInputString("goal")
            self.world = node.getInputObject("world")
            self.world.visits.append(self.goal)
            self.arrival = time.monotonic() + 0.002
            return self.onRunning(node)

        def onRunning(self, node):
            left = self.arrival - time.monotonic()
            if left > 0:
                node.requestWakeAfter(left)
                return S.RUNNING
            if self.world.blocked.get(self.goal, 0) > 0:
                self.world.blocked[self.goal] -= 1
                return S.FAILURE
            node.setOutput("pose", self.goal)
            return S.SUCCESS

    class ClearCostmap(SimpleActionNode):
        ports = []

        @staticmethod
        def tick(node):
            journal.add("start", node.name)
            return S.SUCCESS

    class Grasp(Recorded):
        ports = [port("object"), port("held", "string", "output")]

        def onStart(self, node):
            journal.add("start", node.name)
            return S.RUNNING

        def onRunning(self, node):
            node.setOutput("held", node.getInputString("object"))
            return S.SUCCESS

    class Release(SimpleActionNode):
        ports = [port("held", "string", "output")]

        @staticmethod
        def tick(node):
            journal.add("start", node.name)
            node.setOutput("held", "")
            return S.SUCCESS

    class Drive(Recorded):
        """Takes `steps` further ticks; each of them drains `drain` from `battery`."""

        ports = [port("steps", "int", default="2"), port("drain", "int", default="0"),
                 port("battery", "int", "inout", default="{battery}")]

        def onStart(self, node):
            journal.add("start", node.name)
            self.left = node.getInputInt("steps")
            return S.RUNNING

        def onRunning(self, node):
            drain = node.getInputInt("drain")
            if drain:
                node.setOutput("battery", node.getInputInt("battery") - drain)
            self.left -= 1
            return S.SUCCESS if self.left <= 0 else S.RUNNING

    class Charge(Recorded):
        """Stays docked, adding `rate` to `battery` on every tick, until someone halts it."""

        ports = [port("rate", "int", default="30"), port("battery", "int", "inout", default="{battery}")]

        def onStart(self, node):
            journal.add("start", node.name)
            return S.RUNNING

        def onRunning(self, node):
            node.setOutput("battery", node.getInputInt("battery") + node.getInputInt("rate"))
            return S.RUNNING

    class CallModel(Recorded):
        """Asks the model on another thread and sleeps until the answer wakes the tree."""

        ports = [port("prompt"), port("answer", "string", "output"), port("model", "object", default="{@model}")]

        def onStart(self, node):
            journal.add("start", node.name)
            self.done, self.cancel, self.reply = threading.Event(), threading.Event(), None
            waker = node.waker()

            def finish(reply):
                self.reply = reply
                self.done.set()
                waker.wake()

            # Armed before the work starts: the answer may come before this tick is over.
            node.waitForWake()
            node.getInputObject("model").ask(node.getInputString("prompt"), finish, self.cancel)
            return S.RUNNING

        def onRunning(self, node):
            if not self.done.is_set():
                node.waitForWake()
                return S.RUNNING
            node.setOutput("answer", self.reply)
            return S.SUCCESS

        def onHalted(self, node):
            self.cancel.set()
            super().onHalted(node)

    class CheckAnswer(ConditionNode):
        ports = [port("answer")]

        @staticmethod
        def tick(node):
            return S.SUCCESS if node.getInputString("answer").startswith("ok") else S.FAILURE

    class Follow(Recorded):
        """Follows someone for `steps` ticks."""

        ports = [port("steps", "int", default="3")]

        def onStart(self, node):
            journal.add("start", node.name)
            self.left = node.getInputInt("steps")
            return S.RUNNING

        def onRunning(self, node):
            self.left -= 1
            return S.SUCCESS if self.left <= 0 else S.RUNNING

    return {cls.__name__: cls for cls in (MoveBase, ClearCostmap, Grasp, Release, Drive, Charge, CallModel,
                                         CheckAnswer, Follow)}


# ---- one face for both engines ----


class Sequential:
    """A SequentialEngine with the registered classes and one loaded tree."""

    name = "sequential"

    def __init__(self, classes, text=None, path=None):
        self.engine = SequentialEngine()
        for node_id, cls in classes.items():
            self.engine.register_action_behavior(node_id, cls.tick, cls.ports)
        if path is not None:
            self.engine.create_tree_from_file(str(path))
        else:
            self.engine.create_tree_from_text(text)

    def __getattr__(self, name):
        return getattr(self.engine, name)

    def close(self):
        self.engine = None


class Threaded:
    """One tree of a ThreadEngine, called as if it were a SequentialEngine."""

    name = "thread"

    def __init__(self, classes, text=None, path=None):
        self.threads = ThreadEngine()
        for node_id, cls in classes.items():
            self.threads.register_action_class(cls, node_id)
        if path is not None:
            self.tree_id = self.threads.create_tree_from_file(str(path))
        else:
            self.tree_id = self.threads.create_tree_from_text(text)

    def __getattr__(self, name):
        return functools.partial(getattr(self.threads, name), self.tree_id)

    def close(self):
        self.threads.stop_all_trees()


@pytest.fixture
def journal():
    return Journal()


@pytest.fixture(params=[Sequential, Threaded], ids=lambda kind: kind.name)
def make_tree(request, journal):
    made = []

    def make(text=None, path=None, **blackboard):
        tree = request.param(node_classes(journal), text=text, path=path)
        made.append(tree)
        for key, value in blackboard.items():
            tree.set_blackboard_data(key, value)
        return tree

    yield make
    for tree in made:
        tree.close()
    # Engines finalised now, while their log lines are still captured for this test.
    made.clear()
    gc.collect()


@pytest.fixture
def make_sequential(journal):
    def make(text=None, path=None, **blackboard):
        tree = Sequential(node_classes(journal), text=text, path=path)
        for key, value in blackboard.items():
            tree.set_blackboard_data(key, value)
        return tree

    return make


def statuses(tree) -> dict:
    """Status of every node below the root that has a name of its own."""
    nodes = tree.get_tree_status()["nodes"]
    return {n["name"]: n["status"] for n in nodes if n["name"] != n["type"] and n["parent"] is not None}


# ---- fetch and deliver: files, includes, subtrees, recoveries ----


class World:
    def __init__(self, blocked=None):
        self.blocked = dict(blocked or {})
        self.visits = []


def delivery(make, world, held=""):
    return make(path=DATA / "delivery" / "main.xml", world=world, pickup="shelf", dropoff="desk", item="cup",
                held=held, legs=0, delivered=0, recoveries=0, estop=False)


@pytest.mark.parametrize(
    "blocked, visits, clears",
    [
        ({}, ["shelf", "desk"], 0),
        ({"shelf": 1}, ["shelf", "shelf", "desk"], 0),  # the retry is enough
        ({"shelf": 2, "desk": 2}, ["shelf", "shelf", "shelf", "desk", "desk", "desk"], 2),  # recovery twice
    ],
    ids=["clear_way", "one_retry", "recoveries"],
)
def test_delivery_from_files_succeeds_through_retries_and_recoveries(make_sequential, journal, blocked, visits, clears):
    world = World(blocked)
    tree = delivery(make_sequential, world)
    ticks = tree.tick_until_success()
    assert world.visits == visits
    assert journal.of("start").count("clear") == clears
    assert journal.of("start").count("grasp") == 1 and journal.of("start").count("release") == 1
    assert journal.of("halted") == []  # failures and successes are no halts
    bb = tree.get_all_blackboard_data()
    # Outputs went through the remapping chain: pose to the root from inside a subtree, `held`
    # from a grasp two subtrees down, counters from post scripts on the subtree nodes.
    assert bb["robot_pose"] == "desk"
    assert bb["held"] == "" and bb["legs"] == 2 and bb["delivered"] == 1 and bb["recoveries"] == clears
    assert "goal" not in bb and "object" not in bb  # subtree entries stay in their subtrees
    assert ticks < 10 * len(visits)  # the motions are slept through, not polled


def test_delivery_fails_when_even_the_recovery_fails(make_sequential, journal):
    world = World({"shelf": 3})
    tree = delivery(make_sequential, world)
    tree.tick_until_failure()
    assert world.visits == ["shelf"] * 3
    assert journal.of("start").count("grasp") == 0
    bb = tree.get_all_blackboard_data()
    assert bb["legs"] == 0 and bb["recoveries"] == 1 and bb["delivered"] == 0
    assert "robot_pose" not in bb


def test_delivery_guards(make_sequential, journal):
    # Already holding the item: the pick subtree is skipped, the sequence goes on.
    world = World()
    tree = delivery(make_sequential, world, held="cup")
    tree.tick_until_success()
    assert journal.of("start").count("grasp") == 0 and tree.get_blackboard_data("delivered") == 1

    # An emergency stop before the mission starts: nothing moves.
    world = World()
    tree = delivery(make_sequential, world)
    tree.set_blackboard_data("estop", True)
    assert tree.tick_once() is S.FAILURE and world.visits == []

    # Raised while the mission runs, _failureIf is not looked at again: the mission completes.
    tree.set_blackboard_data("estop", False)
    assert tree.tick_once() is S.RUNNING
    tree.set_blackboard_data("estop", True)
    tree.tick_until_success()
    assert world.visits == ["shelf", "desk"]


def test_grasp_precondition_is_checked_before_grasping(make_sequential, journal):
    tree = delivery(make_sequential, World(), held="?")
    tree.set_blackboard_data("item", "")
    # The Precondition says FAILURE; the retry/recovery logic is for navigation only.
    tree.tick_until_failure()
    assert journal.of("start").count("grasp") == 0 and tree.get_blackboard_data("legs") == 1


@pytest.mark.parametrize("engine", ["sequential", "thread"])
def test_delivery_file_through_both_engines(journal, engine, monkeypatch):
    world = World({"desk": 1})
    if engine == "sequential":
        tree = Sequential(node_classes(journal), path=DATA / "delivery" / "main.xml")
    else:
        # The thread engine reads the file and hands its text on: includes then resolve
        # against the working directory.
        monkeypatch.chdir(DATA / "delivery")
        tree = Threaded(node_classes(journal), path="main.xml")
    try:
        for key, value in dict(world=world, pickup="shelf", dropoff="desk", item="cup", held="", legs=0,
                               delivered=0, recoveries=0, estop=False).items():
            tree.set_blackboard_data(key, value)
        tree.tick_until_success()
        assert tree.get_blackboard_data("world") is world
        assert world.visits == ["shelf", "desk", "desk"]
        assert tree.get_blackboard_data("delivered") == 1
    finally:
        tree.close()


# ---- patrol guarded by the battery: reactive parents halt work in progress ----

PATROL = """
<root BTCPP_format="4" main_tree_to_execute="Patrol">
  <BehaviorTree ID="Patrol">
    <ReactiveFallback name="patrol_or_recharge">
      <ReactiveSequence name="patrol_while_charged">
        <ScriptCondition name="battery_ok" code="battery &gt; 20 &amp;&amp; !docked"/>
        <SubTree ID="Route" name="route" _autoremap="true"/>
      </ReactiveSequence>
      <SubTree ID="Recharge" name="recharge" _autoremap="true"/>
    </ReactiveFallback>
  </BehaviorTree>

  <BehaviorTree ID="Route">
    <Sequence name="waypoints">
      <Drive name="to_a" drain="{drain}" _onHalted="interrupted := 'to_a'" _onSuccess="visits += 1"/>
      <Drive name="to_b" drain="{drain}" _onHalted="interrupted := 'to_b'" _onSuccess="visits += 1"/>
    </Sequence>
  </BehaviorTree>

  <BehaviorTree ID="Recharge">
    <Sequence name="dock_and_charge">
      <Script code="docked := true"/>
      <ReactiveFallback name="charge_until_full">
        <ScriptCondition name="charged" code="battery &gt;= 80"/>
        <Charge name="charger" _onHalted="undocked_at := battery"/>
      </ReactiveFallback>
      <Script code="docked := false"/>
    </Sequence>
  </BehaviorTree>
</root>
"""


def patrol(make, battery=50, drain=0):
    return make(PATROL, battery=battery, drain=drain, docked=False, visits=0, interrupted="")


def test_patrol_runs_down_the_battery_and_recharges(make_tree, journal):
    # Each drive step drains 10: the guard fails while driving to b, the charger starts,
    # the patrol guard stays false while docked, and "charged" ends the charging.
    tree = patrol(make_tree, battery=50, drain=10)
    assert tree.tick_until_success() == 8
    assert journal.of("start") == ["to_a", "to_b", "charger"]  # nothing restarted by reactive re-ticks
    assert journal.of("halted") == ["to_b", "charger"]
    bb = tree.get_all_blackboard_data()
    assert bb["visits"] == 1 and bb["interrupted"] == "to_b"
    assert bb["battery"] == 80 and bb["undocked_at"] == 80 and bb["docked"] is False
    assert set(statuses(tree).values()) == {S.IDLE}


def test_patrol_guard_step_by_step(make_tree, journal):
    tree = patrol(make_tree)
    assert tree.tick_n_times(3) == [S.RUNNING] * 3
    # to_a finished on the third tick (and keeps its SUCCESS until its sequence ends); to_b runs.
    assert statuses(tree)["to_a"] is S.SUCCESS and statuses(tree)["to_b"] is S.RUNNING
    assert journal.of("start") == ["to_a", "to_b"] and journal.of("halted") == []

    tree.set_blackboard_data("battery", 10)
    assert tree.tick_once() is S.RUNNING
    # Only the node that was running is halted, once, and its own _onHalted ran.
    assert journal.of("halted") == ["to_b"]
    assert tree.get_blackboard_data("interrupted") == "to_b"
    now = statuses(tree)
    assert now["to_b"] is S.IDLE and now["charger"] is S.RUNNING and now["patrol_while_charged"] is S.FAILURE

    # The battery comes back while docked: the patrol guard still says no (docked), and the
    # charger keeps running rather than restarting.
    tree.set_blackboard_data("battery", 60)
    assert tree.tick_once() is S.RUNNING
    assert journal.of("start") == ["to_a", "to_b", "charger"] and journal.of("halted") == ["to_b"]
    assert tree.get_blackboard_data("battery") == 90  # 60 + the default rate of 30
    assert tree.tick_once() is S.SUCCESS
    assert journal.of("halted") == ["to_b", "charger"] and tree.get_blackboard_data("undocked_at") == 90


def test_patrol_first_child_running_again_halts_the_fallback_branch(make_tree, journal):
    # Undocking by hand while charging: the patrol branch becomes runnable again, so the
    # reactive fallback halts the charger (a later child) to run the patrol.
    tree = patrol(make_tree, battery=10)
    assert tree.tick_once() is S.RUNNING
    assert journal.of("start") == ["charger"]
    tree.set_blackboard_data("docked", False)
    tree.set_blackboard_data("battery", 50)
    assert tree.tick_once() is S.RUNNING
    assert journal.of("halted") == ["charger"]
    assert tree.get_blackboard_data("undocked_at") == 50
    assert statuses(tree)["to_a"] is S.RUNNING and statuses(tree)["charger"] is S.IDLE


def test_reset_halts_only_what_runs_and_keeps_the_blackboard(make_tree, journal):
    tree = patrol(make_tree)
    tree.tick_n_times(2)
    tree.set_blackboard_data("marker", "kept")
    tree.reset_tree()
    assert journal.of("halted") == ["to_a"]
    assert tree.get_blackboard_data("interrupted") == "to_a"
    assert tree.get_blackboard_data("marker") == "kept" and tree.get_blackboard_data("battery") == 50
    assert tree.get_tree_status()["status"] is S.IDLE
    assert set(statuses(tree).values()) == {S.IDLE}

    tree.reset_tree()  # nothing runs any more: no second halt
    assert journal.of("halted") == ["to_a"]

    # The next tick starts afresh (onStart, a full drive), not where the halted one was.
    assert tree.tick_n_times(3) == [S.RUNNING] * 3
    assert journal.of("start") == ["to_a", "to_a", "to_b"]
    assert tree.get_blackboard_data("visits") == 1


# ---- an agent that plans, acts and checks ----

AGENT = """
<root BTCPP_format="4" main_tree_to_execute="Agent">
  <BehaviorTree ID="Agent">
    <Sequence name="agent">
      <Script code="attempt := 0"/>
      <RetryUntilSuccessful num_attempts="{max_attempts}">
        <Sequence name="plan_act_check">
          <Script code="attempt += 1"/>
          <SubTree ID="Plan" name="plan" task="{task}" attempt="{attempt}" plan="{plan}"/>
          <Timeout name="budget" msec="{budget_ms}">
            <Action ID="CallModel" name="act" prompt="{plan}" answer="{answer}" _onHalted="@cancelled += 1"/>
          </Timeout>
          <Condition ID="CheckAnswer" name="check" answer="{answer}" _onFailure="@rejected += 1"/>
        </Sequence>
      </RetryUntilSuccessful>
    </Sequence>
  </BehaviorTree>

  <BehaviorTree ID="Plan">
    <Script code="plan := task .. ' #' .. attempt"/>
  </BehaviorTree>
</root>
"""

HANG = object()


class ScriptedModel:
    """Answers each call with the next scripted reply after `delay` seconds, on its own thread
    (with `delay` None, before `ask` returns); HANG answers only when cancelled."""

    def __init__(self, replies, delay=0.01):
        self.replies = list(replies)
        self.delay = delay
        self.prompts = []
        self.threads = []
        self.cancelled = []

    def ask(self, prompt, finish, cancel):
        self.prompts.append(prompt)
        reply = self.replies.pop(0)

        def run():
            if reply is HANG:
                self.cancelled.append(cancel.wait(30))
                return
            if self.delay:
                time.sleep(self.delay)
            finish(reply)

        thread = threading.Thread(target=run)
        self.threads.append(thread)
        thread.start()
        if self.delay is None and reply is not HANG:
            thread.join()

    def join(self):
        for thread in self.threads:
            thread.join(30)
        return not any(t.is_alive() for t in self.threads)


def agent(make, model, max_attempts=3, budget_ms=200):
    return make(AGENT, model=model, task="tidy", max_attempts=max_attempts, budget_ms=budget_ms,
                cancelled=0, rejected=0)


def test_agent_retries_after_a_timeout_and_a_rejected_answer(make_tree, journal):
    model = ScriptedModel([HANG, "nonsense", "ok: tidied"])
    tree = agent(make_tree, model, budget_ms=250)
    started = time.monotonic()
    ticks = tree.tick_until_success()
    assert time.monotonic() - started >= 0.25
    assert model.join() and model.cancelled == [True]  # the hung call was told to stop
    assert model.prompts == ["tidy #1", "tidy #2", "tidy #3"]
    assert journal.of("start") == ["act"] * 3 and journal.of("halted") == ["act"]
    bb = tree.get_all_blackboard_data()
    assert bb["attempt"] == 3 and bb["cancelled"] == 1 and bb["rejected"] == 1
    assert bb["answer"] == "ok: tidied" and bb["plan"] == "tidy #3"
    # One tick per start and one per wake-up (answer or deadline), give or take a spurious wake.
    assert ticks <= 8


@pytest.mark.parametrize("delay", [None, 0, 0.02], ids=["answer_during_the_tick", "answer_at_once", "answer_later"])
def test_agent_wakes_for_an_answer_whenever_it_comes(make_tree, journal, delay):
    # An answer (and its wake) that arrives before the tick that asked has returned must
    # not be lost, or the loop would sleep forever.
    model = ScriptedModel(["ok"] * 20, delay=delay)
    tree = make_tree(
        """<root BTCPP_format="4"><BehaviorTree ID="Ask">
             <Repeat num_cycles="20"><CallModel name="act" prompt="q" answer="{answer}"/></Repeat>
           </BehaviorTree></root>""",
        model=model,
    )
    assert tree.tick_until_success() <= 60
    assert model.join() and len(model.prompts) == 20 and journal.of("halted") == []


def test_agent_gives_up_after_its_attempts(make_tree, journal):
    model = ScriptedModel([HANG, HANG])
    tree = agent(make_tree, model, max_attempts=2, budget_ms=30)
    assert tree.tick_until_failure() >= 2
    assert model.join() and model.cancelled == [True, True]
    assert journal.of("halted") == ["act", "act"]
    assert tree.get_blackboard_data("cancelled") == 2 and tree.get_blackboard_data("rejected") == 0


def test_reset_cancels_a_model_call_in_flight(make_tree, journal):
    model = ScriptedModel([HANG, "ok"])
    tree = agent(make_tree, model, budget_ms=60_000)
    assert tree.tick_once() is S.RUNNING
    tree.reset_tree()
    assert model.join() and model.cancelled == [True]
    assert journal.of("halted") == ["act"] and tree.get_blackboard_data("cancelled") == 1
    # The tree starts over from its first node.
    assert tree.tick_until_success() >= 1
    assert tree.get_blackboard_data("attempt") == 1 and model.prompts == ["tidy #1", "tidy #1"]


def test_stopping_a_thread_engine_tree_halts_its_running_action(journal):
    model = ScriptedModel([HANG])
    tree = Threaded(node_classes(journal), text=AGENT)
    try:
        for key, value in dict(model=model, task="t", max_attempts=1, budget_ms=60_000, cancelled=0,
                               rejected=0).items():
            tree.set_blackboard_data(key, value)
        assert tree.tick_once() is S.RUNNING
        tree.threads.stop_tree(tree.tree_id)
        assert journal.of("halted") == ["act"]
        assert model.join() and model.cancelled == [True]
    finally:
        tree.close()


@pytest.mark.timeout(30)
def test_a_wake_from_another_thread_ends_a_long_wait_early(make_tree, journal):
    # The model answers after 50 ms while the Timeout allows 20 s: the loop wakes for the
    # answer, not for the deadline.
    model = ScriptedModel(["ok"], delay=0.05)
    tree = agent(make_tree, model, budget_ms=20_000)
    started = time.monotonic()
    tree.tick_until_success()
    assert time.monotonic() - started < 10
    assert journal.of("halted") == []


# ---- guards written as scripts, around an action that is running ----

GUARDED = """
<root BTCPP_format="4"><BehaviorTree ID="Escort">
  <Sequence name="escort">
    {inner}
    <Script code="after := after + 1"/>
  </Sequence>
</BehaviorTree></root>
"""

# (attribute or wrapper, the node's status when the guard holds at start)
GUARDS = {
    "_while": ('<Follow name="follow" _while="!stop" _onHalted="lost := true"/>', S.SKIPPED),
    "_skipIf": ('<Follow name="follow" _skipIf="stop" _onHalted="lost := true"/>', S.SKIPPED),
    "_failureIf": ('<Follow name="follow" _failureIf="stop" _onHalted="lost := true"/>', S.FAILURE),
    "_successIf": ('<Follow name="follow" _successIf="stop" _onHalted="lost := true"/>', S.SUCCESS),
    "Precondition": ('<Precondition if="!stop" else="FAILURE">'
                     '<Follow name="follow" _onHalted="lost := true"/></Precondition>', S.FAILURE),
}


def guarded(make, kind, stop):
    return make(GUARDED.format(inner=GUARDS[kind][0]), stop=stop, after=0, lost=False)


@pytest.mark.parametrize("kind", list(GUARDS))
def test_guard_true_at_start_keeps_the_action_from_starting(make_sequential, journal, kind):
    tree = guarded(make_sequential, kind, stop=True)
    expected = GUARDS[kind][1]
    # The sequence goes on past SKIPPED and SUCCESS, and stops at FAILURE.
    assert tree.tick_once() is (S.FAILURE if expected is S.FAILURE else S.SUCCESS)
    assert journal.events == [] and tree.get_blackboard_data("lost") is False
    assert tree.get_blackboard_data("after") == (0 if expected is S.FAILURE else 1)


@pytest.mark.parametrize("kind", list(GUARDS))
def test_only_while_halts_a_running_action(make_tree, journal, kind):
    tree = guarded(make_tree, kind, stop=False)
    assert tree.tick_n_times(2) == [S.RUNNING, S.RUNNING]
    tree.set_blackboard_data("stop", True)
    status = tree.tick_once()
    if kind == "_while":
        # Halted on the spot and SKIPPED: the sequence carries on.
        assert status is S.SUCCESS
        assert journal.of("halted") == ["follow"] and tree.get_blackboard_data("lost") is True
    else:
        # The other guards are looked at only when starting: the follow finishes its 3 steps.
        assert status is S.RUNNING
        assert tree.tick_once() is S.SUCCESS
        assert journal.of("halted") == [] and tree.get_blackboard_data("lost") is False
    assert tree.get_blackboard_data("after") == 1
    assert journal.of("start") == ["follow"]


def test_while_turning_false_then_true_starts_the_action_again(make_sequential, journal):
    tree = make_sequential(
        """<root BTCPP_format="4"><BehaviorTree ID="Escort"><Sequence>
             <Follow name="follow" steps="100" _while="visible" _onHalted="lost += 1"/>
           </Sequence></BehaviorTree></root>""",
        lost=0,
    )
    seen = []
    for visible in [True, True, False, False, True, True, False, True]:
        tree.set_blackboard_data("visible", visible)
        seen.append(tree.tick_once())
    R, K = S.RUNNING, S.SKIPPED
    assert seen == [R, R, K, K, R, R, K, R]
    # Each true-after-false is a fresh start; each true-to-false while running one halt.
    assert journal.of("start") == ["follow"] * 3
    assert journal.of("halted") == ["follow"] * 2 and tree.get_blackboard_data("lost") == 2


def test_counters_in_post_scripts_of_a_repeated_subtree(make_sequential, journal):
    tree = make_sequential(
        """<root BTCPP_format="4" main_tree_to_execute="Rounds">
             <BehaviorTree ID="Rounds">
               <Repeat num_cycles="3">
                 <SubTree ID="Round" rounds="{rounds}" _onSuccess="done += 1" _post="posts += 1"/>
               </Repeat>
             </BehaviorTree>
             <BehaviorTree ID="Round">
               <Sequence>
                 <Follow name="walk" steps="1" _onSuccess="rounds += 1" _onFailure="rounds := -100"
                         _onHalted="rounds := -1000"/>
                 <ScriptCondition code="rounds &gt; 0"/>
               </Sequence>
             </BehaviorTree>
           </root>""",
        rounds=0, done=0, posts=0,
    )
    assert tree.tick_until_success() == 4  # the Repeat ticks the next round in the same tick
    assert tree.get_all_blackboard_data() == {"rounds": 3, "done": 3, "posts": 3}
    assert journal.of("start") == ["walk"] * 3 and journal.of("halted") == []
