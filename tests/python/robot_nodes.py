"""Control and decorator nodes that robot applications define for themselves, written in
Python from what they are documented to do. Used by the control-node tests and by the
real-tree corpus."""

from __future__ import annotations

import time

from quorvel.core import NodeStatus
from quorvel.nodes.control_node import ControlNode, DecoratorNode

S = NodeStatus


class RecoveryNode(ControlNode):
    """Two children: the work and the recovery. When the work fails, run the recovery and, if
    it succeeds, the work again, up to ``number_of_retries`` times; a failed recovery fails."""

    ports = [{"name": "number_of_retries", "type": "int", "default": 1}]

    def __init__(self):
        self.retries = 0

    def tick(self, node):
        work, recovery = node.children
        if recovery.status is not S.RUNNING:
            status = work.tick()
            if status in (S.SUCCESS, S.SKIPPED):
                self.retries = 0
                return status
            if status is S.RUNNING:
                return status
            if self.retries >= node.getInput("number_of_retries"):
                self.retries = 0
                return S.FAILURE
        status = recovery.tick()
        if status is S.RUNNING:
            return status
        if status is S.FAILURE:
            self.retries = 0
            return S.FAILURE
        self.retries += 1
        recovery.halt()
        work.halt()
        return self.tick(node)  # the work again, within this tick

    def halt(self, node):
        self.retries = 0
        super().halt(node)


class PipelineSequence(ControlNode):
    """Ticks the first child until it succeeds, then the first and the second until the
    second succeeds, and so on: every child reached so far is ticked on every tick, whether
    an earlier one is RUNNING or not. A failure stops everything; success when the last child
    succeeds."""

    def __init__(self):
        self.reached = 0

    def tick(self, node):
        children = node.children
        i = 0
        while i <= self.reached:
            status = children[i].tick()
            if status is S.FAILURE:
                self.reached = 0
                return S.FAILURE
            if status is S.RUNNING:
                if i == self.reached:
                    return S.RUNNING
            elif i == self.reached:  # the frontier finished: the next child starts now
                if i == len(children) - 1:
                    self.reached = 0
                    return S.SUCCESS
                self.reached += 1
            i += 1
        return S.RUNNING

    def halt(self, node):
        self.reached = 0
        super().halt(node)


class RoundRobin(ControlNode):
    """Ticks one child per turn, starting after the one that last succeeded; succeeds with
    the first child that succeeds, fails when every child failed in a row."""

    def __init__(self):
        self.current = 0
        self.failures = 0

    def tick(self, node):
        children = node.children
        while self.failures < len(children):
            status = children[self.current].tick()
            if status is S.RUNNING:
                return status
            self.current = (self.current + 1) % len(children)
            if status is S.SUCCESS:
                self.failures = 0
                return status
            self.failures += 1
        self.failures = 0
        return S.FAILURE


class RateController(DecoratorNode):
    """Ticks its child at most ``hz`` times a second and returns its status; between those
    ticks it returns RUNNING and asks the tick loop to sleep until the next one. A running
    child is ticked on every tick."""

    ports = [{"name": "hz", "type": "double", "default": 10.0}]

    def __init__(self):
        self.started = None

    def tick(self, node):
        now = time.monotonic()
        period = 1.0 / node.getInput("hz")
        child = node.child
        if child.status is S.RUNNING or self.started is None or now - self.started >= period:
            if child.status is not S.RUNNING:
                self.started = now
            return child.tick()
        node.requestWakeAfter(self.started + period - now)
        return S.RUNNING


class GoalUpdater(DecoratorNode):
    """Copies the newest goal into ``output_goal``, then ticks its child. (The application's
    node also listens for goal updates on a topic; here ``input_goal`` is the newest.)"""

    ports = [
        {"name": "input_goal", "type": "object"},
        {"name": "output_goal", "type": "object", "direction": "output"},
    ]

    def tick(self, node):
        goal = node.getInputObject("input_goal")
        node.setOutput("output_goal", goal)
        return node.child.tick()


class PathLongerOnApproach(DecoratorNode):
    """Ticks its child (what to do about it) only when a new path is more than
    ``length_factor`` times longer than the previous one while the goal is within
    ``prox_len``; otherwise SUCCESS. Paths are sequences of waypoints here."""

    ports = [
        {"name": "path", "type": "object"},
        {"name": "prox_len", "type": "double", "default": 3.0},
        {"name": "length_factor", "type": "double", "default": 2.0},
    ]

    def __init__(self):
        self.previous = None

    def tick(self, node):
        child = node.child
        if child.status is S.RUNNING:
            return child.tick()
        path = node.getInputObject("path") or []
        previous, self.previous = self.previous, path
        if previous is None or path is previous or len(previous) > node.getInput("prox_len"):
            return S.SUCCESS
        if len(path) <= node.getInput("length_factor") * len(previous):
            return S.SUCCESS
        return child.tick()


class ForEach(DecoratorNode):
    """Runs its child once for every item of the list on ``items``, each written to
    ``item`` before; fails as soon as the child fails, succeeds after the last item."""

    ports = [
        {"name": "items", "type": "object"},
        {"name": "item", "type": "object", "direction": "output"},
    ]

    def __init__(self):
        self.index = 0

    def tick(self, node):
        items = node.getInputObject("items") or []
        child = node.child
        while self.index < len(items):
            if child.status is not S.RUNNING:
                node.setOutput("item", items[self.index])
            status = child.tick()
            if status is S.RUNNING:
                return status
            if status is S.FAILURE:
                self.index = 0
                return status
            self.index += 1
            child.halt()  # ready for the next item
        self.index = 0
        return S.SUCCESS

    def halt(self, node):
        self.index = 0
        super().halt(node)


class Passthrough(DecoratorNode):
    """Ticks its child and returns its status (the shape of many application decorators
    whose real work, logging or bookkeeping, does not change the result)."""

    def tick(self, node):
        return node.child.tick()


class TickAfterTimeout(DecoratorNode):
    """Ticks its child only once ``timeout`` seconds have passed since the last time it did;
    in between it is SKIPPED."""

    ports = [{"name": "timeout", "type": "double", "default": 1.0}]

    def __init__(self):
        self.last = None

    def tick(self, node):
        now = time.monotonic()
        if node.child.status is not S.RUNNING and self.last is not None and now - self.last < node.getInput("timeout"):
            return S.SKIPPED
        self.last = now
        return node.child.tick()


ALL = [RecoveryNode, PipelineSequence, RoundRobin, RateController, GoalUpdater, PathLongerOnApproach, ForEach, Passthrough, TickAfterTimeout]
