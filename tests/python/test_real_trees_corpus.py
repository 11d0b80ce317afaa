"""Trees written by robot applications (data/real_trees, see its README) load and tick, with
stubs for the applications' leaves and Python versions of their control and decorator nodes."""

import time
import xml.etree.ElementTree as ET
from collections import defaultdict
from pathlib import Path

import pytest

from quorvel.core import BehaviorTreeFactory, NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import StatefulActionNode

import robot_nodes

S = NodeStatus
DATA = Path(__file__).parent / "data" / "real_trees"
CUSTOM = {cls.__name__: cls for cls in robot_nodes.ALL}
BUILT_IN = set(BehaviorTreeFactory().registered_types())
NOT_NODES = {"root", "BehaviorTree", "TreeNodesModel", "include", "SubTree", "Action", "Condition", "Control", "Decorator"}


def leaf_types(*documents):
    """The application leaves a document uses, with the attributes written on them."""
    ports = defaultdict(set)
    for text in documents:
        for el in ET.fromstring(text).iter():
            if el.tag == "TreeNodesModel":
                break  # declarations, not uses (iter() is document order; the model comes last)
            type_id = el.get("ID") if el.tag in ("Action", "Condition") else el.tag
            if type_id in NOT_NODES or type_id in BUILT_IN or type_id in CUSTOM:
                continue
            ports[type_id] |= {a for a in el.attrib if a not in ("ID", "name") and not a.startswith("_")}
    return ports


class Stubs:
    """Stub leaves: each type returns the statuses planned for it, call after call (the last
    one repeats; SUCCESS when nothing is planned), runs its effect, and logs "name" per tick
    and "name:halt" when halted."""

    def __init__(self, plans=None, effects=None):
        self.plans = plans or {}
        self.effects = effects or {}
        self.calls = defaultdict(int)
        self.log = []

    def register(self, engine, documents):
        for type_id, ports in leaf_types(*documents).items():
            engine.register_node_type(self._stub(type_id, sorted(ports)), type_id)
        for name, cls in CUSTOM.items():
            engine.register_node_type(cls, name)

    def _stub(self, type_id, ports):
        stubs = self

        class Stub(StatefulActionNode):
            def onStart(self, node):
                return self.onRunning(node)

            def onRunning(self, node):
                stubs.log.append(node.name)
                plan = stubs.plans.get(type_id, ["SUCCESS"])
                status = S[plan[min(stubs.calls[type_id], len(plan) - 1)]]
                stubs.calls[type_id] += 1
                if type_id in stubs.effects:
                    stubs.effects[type_id](node)
                if status is S.RUNNING:
                    node.requestWakeAfter(0.001)  # a leaf that waits for its robot
                return status

            def onHalted(self, node):
                stubs.log.append(f"{node.name}:halt")

        Stub.ports = [{"name": p, "type": "any", "direction": "inout"} for p in ports]
        return Stub


def load(file, stubs, *extra):
    text = (DATA / file).read_text()
    engine = SequentialEngine()
    stubs.register(engine, [text, *extra])
    engine.create_tree_from_text(text, name=file)
    return engine


def test_every_collected_tree_loads_with_stubs():
    files = sorted(p.name for p in DATA.glob("*.xml"))
    assert len(files) >= 5
    for file in files:
        if file.startswith("moveit_pro"):
            continue  # its subtrees live elsewhere: see its own test
        load(file, Stubs())


# ---- the navigation stack ----


def write_path(node):
    node.setOutput("path", ["p0", "p1", "p2"])


@pytest.mark.timeout(30)
def test_navigation_succeeds_at_once_when_every_leaf_does():
    stubs = Stubs(plans={"GoalUpdated": ["FAILURE"]}, effects={"ComputePathToPose": write_path})
    engine = load("nav2_navigate_to_pose_w_replanning_goal_patience_and_recovery.xml", stubs)
    engine.set_blackboard_data("goal", object())
    assert engine.tick_once() is S.SUCCESS
    assert stubs.log == ["ControllerSelector", "PlannerSelector", "ComputePathToPose", "FollowPath"]
    assert engine.get_blackboard_data("path") == ["p0", "p1", "p2"]


@pytest.mark.timeout(30)
def test_navigation_recovers_and_replans_at_the_rate_it_asks_for():
    # The controller fails twice in a row: the local recovery clears the local costmap and
    # fails again, so the whole navigation recovers (clearing both costmaps) and replans,
    # which the rate controller holds back until its one-second period has passed.
    stubs = Stubs(
        plans={"GoalUpdated": ["FAILURE"], "FollowPath": ["FAILURE", "FAILURE", "RUNNING", "SUCCESS"]},
        effects={"ComputePathToPose": write_path},
    )
    engine = load("nav2_navigate_to_pose_w_replanning_goal_patience_and_recovery.xml", stubs)
    started = time.monotonic()
    ticks = engine.tick_until_success()
    elapsed = time.monotonic() - started
    log = stubs.log
    assert log[:8] == [
        "ControllerSelector", "PlannerSelector", "ComputePathToPose", "FollowPath",
        "ClearLocalCostmap-Context", "FollowPath", "GoalUpdated", "ClearLocalCostmap-Subtree",
    ]
    assert log.count("ComputePathToPose") == 2 and log.count("FollowPath") == 4
    assert 0.9 < elapsed < 5
    assert ticks < 50  # it slept through the period instead of spinning


@pytest.mark.timeout(30)
def test_following_a_point_runs_until_the_controller_gives_up():
    goal = {"x": 1.0}

    def truncate(node):
        node.setOutput("output_path", node.getInputObject("input_path")[:1])

    stubs = Stubs(
        plans={"FollowPath": ["SUCCESS", "SUCCESS", "FAILURE"]},
        effects={"ComputePathToPose": write_path, "TruncatePath": truncate},
    )
    engine = load("nav2_follow_point.xml", stubs)
    engine.set_blackboard_data("goal", goal)
    assert engine.tick_n_times(3) == [S.RUNNING, S.RUNNING, S.FAILURE]
    assert engine.get_blackboard_data("updated_goal") is goal
    assert engine.get_blackboard_data("truncated_path") == ["p0"]
    # The path was computed once: the later ticks came within the rate controller's period.
    assert stubs.log.count("ComputePathToPose") == 1 and stubs.log.count("FollowPath") == 3


# ---- a manipulation application ----

STAND_INS = """<root BTCPP_format="4">
  <BehaviorTree ID="Open Gripper"><MoveGripper position="0.0"/></BehaviorTree>
  <BehaviorTree ID="Close Gripper"><MoveGripper position="0.8"/></BehaviorTree>
  <BehaviorTree ID="Move to Waypoint">
    <MoveToWaypoint waypoint="{waypoint_name}" group="{joint_group_name}" controllers="{controller_names}"/>
  </BehaviorTree>
</root>"""


def test_pick_and_place_cycles_between_waypoints_until_a_move_fails():
    seen = []
    stubs = Stubs(
        plans={"MoveToWaypoint": ["SUCCESS"] * 5 + ["FAILURE"]},
        effects={"MoveToWaypoint": lambda node: seen.append(node.getInputObject("waypoint"))},
    )
    factory = BehaviorTreeFactory()
    stubs.register(factory, [STAND_INS])
    factory.register_behavior_tree_from_text(STAND_INS, name="stand-ins")
    tree = factory.create_tree_from_file(DATA / "moveit_pro_constrained_pick_place.xml")
    assert tree.tick_n_times(3) == [S.RUNNING, S.RUNNING, S.FAILURE]
    assert seen == ["Grasp Right", "Grasp Left"] * 3
    assert stubs.log.count("MoveGripper") == 6


# ---- a competition robot ----


@pytest.mark.timeout(30)
def test_missions_run_with_timeouts_subtrees_and_a_fallback_report():
    stubs = Stubs(plans={"FirmwareMission": ["SUCCESS", "RUNNING"], "Rotation": ["FAILURE"]})
    engine = load("competition_missions.xml", stubs)
    engine.set_blackboard_data("mission_base", "3")  # numbers arrive as text from the firmware
    started = time.monotonic()
    assert engine.tick_until_success() >= 1
    assert engine.get_blackboard_data("plan") == "plans/blue_a"
    assert engine.get_blackboard_data("level") == 4
    # The second firmware mission never answered: its Timeout gave up on it, ForceSuccess
    # carried on; the failed rotation sent the subtree to its report.
    assert "FirmwareMission:halt" in stubs.log
    assert stubs.log[-1] == "MissionFinisher"
    assert time.monotonic() - started >= 0.1
    metadata = {n["name"]: n["metadata"] for n in engine.tree.layout()["nodes"] if n["metadata"]}
    assert metadata["StackLevels"] == {"_collapsed": "true"}


# ---- teleoperation ----


def test_a_branch_whose_mode_comes_up_while_the_parallel_runs_gets_to_run():
    modes = iter(["idle", "manual", "manual", "assisted", "assisted"])
    stubs = Stubs(
        plans={"ReadJoystick": ["SUCCESS"] * 4 + ["FAILURE"], "DriveFromAxes": ["RUNNING"], "FollowLane": ["RUNNING"]},
        effects={"ReadJoystick": lambda node: node.setOutput("mode", next(modes))},
    )
    text = (DATA / "teleop_modes.xml").read_text()
    engine = SequentialEngine()
    stubs.register(engine, [text])
    engine.create_tree_from_text(text, name="teleop_modes.xml")
    statuses = []
    for _ in range(5):
        statuses.append(engine.tick_once())
        stubs.log.append("|")
    assert statuses == [S.RUNNING] * 4 + [S.FAILURE]
    assert " ".join(stubs.log).split(" | ") == [
        "ReadJoystick",
        "ReadJoystick DriveFromAxes",
        "ReadJoystick DriveFromAxes",
        "ReadJoystick DriveFromAxes:halt FollowLane",
        "ReadJoystick FollowLane:halt |",
    ]
