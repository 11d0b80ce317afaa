"""Base classes for node types written in Python.

A node class is registered by its class attributes, never instantiated by the engine for a
plain action:

    class Greet(SimpleActionNode):
        ports = [{"name": "who", "type": "string", "direction": "input", "description": ""}]

        @staticmethod
        def tick(node):
            print("hello", node.getInputString("who"))
            return NodeStatus.SUCCESS

    engine.register_action_behavior("Greet", Greet.tick, Greet.ports)

`StatefulActionNode` and `ConditionNode` build on the same convention, so any code that
registers a class by its `tick` and `ports` (the thread engine's `register_action_class`
does) registers them correctly too.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, List, Optional

from quorvel.core import NodeStatus, TreeNode

__all__ = ["ConditionNode", "SimpleActionNode", "StatefulActionNode"]

PortList = List[Dict[str, str]]


class SimpleActionNode:
    """Base of Python action node classes.

    A subclass declares a class attribute ``ports`` (a list of port descriptions, dicts with
    "name", "type", "direction" and "description") and a static ``tick(node)`` that receives
    the :class:`~quorvel.core.TreeNode` being ticked and returns a
    :class:`~quorvel.core.NodeStatus`. The base itself defines neither.
    """

    ports: PortList
    tick: Callable[[TreeNode], NodeStatus]


class ConditionNode(SimpleActionNode):
    """Base of Python condition node classes.

    As :class:`SimpleActionNode`, but the node is registered as a condition (usable as
    ``<Condition ID="...">``) and its static ``tick`` must return SUCCESS or FAILURE; any other
    result fails the tick with an error naming the node type.
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        raw = cls.__dict__.get("tick")
        if raw is None:
            return
        function = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
        if isinstance(raw, classmethod):
            function = function.__get__(cls, type(cls))
        cls.tick = staticmethod(_mark_condition(function))


def _mark_condition(function: Callable[[TreeNode], NodeStatus]) -> Callable[[TreeNode], NodeStatus]:
    # A wrapper rather than an attribute on the user's function: the same function may also be
    # registered as a plain action elsewhere.
    @functools.wraps(function)
    def tick(node: TreeNode) -> NodeStatus:
        return function(node)

    tick.__quorvel_kind__ = "condition"  # type: ignore[attr-defined]
    return tick


class StatefulActionNode(SimpleActionNode):
    """Base of asynchronous Python actions: work that spans several ticks.

    A subclass implements instance methods:

    - ``onStart(self, node)``: called when the node is ticked while not running; returns
      RUNNING to continue on later ticks, or a final status.
    - ``onRunning(self, node)``: called on every later tick while the node is RUNNING.
    - ``onHalted(self, node)``: called when the engine halts the node while it is RUNNING
      (a parent giving up on it, a reset, the tree being destroyed).

    The engine creates one instance per node of a tree, on its first tick, with no
    arguments; the instance lives as long as that node. ``tick`` and ``ports`` follow the
    :class:`SimpleActionNode` convention, so the class registers like any action.

    A node that returns RUNNING is ticked again at once by loops such as
    ``tick_until_success``. When the work goes on elsewhere, call ``node.waitForWake()``
    before returning RUNNING and have the work call ``wake()`` on a ``node.waker()`` taken
    earlier: the loop then sleeps until then (``node.requestWakeAfter(seconds)`` bounds it).
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "tick" not in cls.__dict__:
            cls.tick = _StatefulTick(cls)

    def onStart(self, node: TreeNode) -> NodeStatus:
        raise NotImplementedError(f"{type(self).__name__} must implement onStart(self, node)")

    def onRunning(self, node: TreeNode) -> NodeStatus:
        raise NotImplementedError(f"{type(self).__name__} must implement onRunning(self, node)")

    def onHalted(self, node: TreeNode) -> None:
        """Nothing to undo by default."""


_INSTANCE = "_quorvel_stateful_instance"


class _StatefulTick:
    """The tick functor of a StatefulActionNode subclass; carries the halt hook the engine
    calls when a running node is halted."""

    def __init__(self, cls: type) -> None:
        self._cls = cls
        self.__name__ = "tick"
        self.__qualname__ = f"{cls.__qualname__}.tick"
        self.__doc__ = f"Tick functor of {cls.__qualname__}: onStart, then onRunning while RUNNING."

    def _instance(self, node: TreeNode) -> StatefulActionNode:
        instance: Optional[StatefulActionNode] = getattr(node, _INSTANCE, None)
        if instance is None:
            instance = self._cls()
            setattr(node, _INSTANCE, instance)
        return instance

    def __call__(self, node: TreeNode) -> NodeStatus:
        instance = self._instance(node)
        if node.status is NodeStatus.RUNNING:
            return instance.onRunning(node)
        return instance.onStart(node)

    def __quorvel_halt__(self, node: TreeNode) -> None:
        instance = getattr(node, _INSTANCE, None)
        if instance is not None:  # halted while running, so started: it exists
            instance.onHalted(node)

    def __repr__(self) -> str:
        return f"<tick of {self._cls.__qualname__}>"
