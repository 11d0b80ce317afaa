"""Base classes for control and decorator nodes written in Python.

A control node decides which of its children run, and when; a decorator does the same with
one child. A subclass implements ``tick(self, node)`` and, when it holds state of its own,
``halt(self, node)``::

    class Recovery(ControlNode):
        \"\"\"Runs the first child; when it fails, runs the second (the recovery) and then the
        first again, up to ``retries`` times.\"\"\"

        ports = [{"name": "retries", "type": "int", "default": 1}]

        def __init__(self):
            self.attempts = 0

        def tick(self, node):
            work, recovery = node.children
            if recovery.status is not NodeStatus.RUNNING:
                status = work.tick()
                if status is not NodeStatus.FAILURE:
                    if status is not NodeStatus.RUNNING:
                        self.attempts = 0
                    return status
                if self.attempts >= node.getInput("retries"):
                    self.attempts = 0
                    return NodeStatus.FAILURE
                work.halt()
            status = recovery.tick()
            if status is NodeStatus.SUCCESS:
                self.attempts += 1
                recovery.halt()
                return NodeStatus.RUNNING
            ...

    factory.register_node_type(Recovery)   # or engine.register_node_type(Recovery, "Recovery")

How the engine uses such a class:

- Every node of a loaded tree gets an instance of its own, made with no arguments when the
  tree is loaded, on the loading thread. The instance lives as long as the tree.
- ``tick(self, node)`` is called when the node is ticked and returns a
  :class:`~quorvel.core.NodeStatus` (not IDLE). ``node`` is a
  :class:`ControlTreeNode`: ports are read and written as in actions
  (``getInput``, ``setOutput``, ...), and ``node.children`` (a control) or ``node.child`` (a
  decorator) give the children, whose ``tick()`` ticks that child now and returns its status,
  ``halt()`` halts it, and ``status``, ``name`` and ``type`` describe it.
- When the tick returns anything but RUNNING, the node has finished: the engine resets every
  child (halting one that still runs), as built-in control nodes do.
- When the tick returns RUNNING while no child is RUNNING, the node is ticked again at once
  by ``tick_until_*`` loops, as an action would be, unless it called
  ``node.requestWakeAfter(seconds)`` (a rate controller waiting for its next period) or
  ``node.waitForWake()`` with a ``node.waker()`` for work done elsewhere.
- ``halt(self, node)`` is called when the node is halted while RUNNING. The default halts the
  children; whatever an override does, the engine halts every child afterwards.
- An exception raised in ``tick`` or ``halt`` leaves the engine call with its type and
  message, with a note naming the node; an exception a child raised comes out of that
  child's ``tick()`` unchanged, and may be handled there.
- The load checks the number of children: a decorator has exactly one, a control node at
  least one. The node may be written ``<Recovery>`` or ``<Control ID="Recovery">``
  (``<Decorator ID=...>`` for decorators), and takes the ``_`` attributes of any node.
"""

from __future__ import annotations

from typing import Any, Dict, List

from quorvel._native import ChildNode, ControlTreeNode
from quorvel.core import NodeStatus

__all__ = ["ChildNode", "ControlNode", "ControlTreeNode", "DecoratorNode"]

PortList = List[Dict[str, Any]]


class ControlNode:
    """Base of Python control nodes: a node with one or more children."""

    ports: PortList = []

    def tick(self, node: ControlTreeNode) -> NodeStatus:
        raise NotImplementedError(f"{type(self).__name__} must implement tick(self, node)")

    def halt(self, node: ControlTreeNode) -> None:
        """Halts the children that are running (the engine resets the others afterwards)."""
        for child in node.children:
            if child.status is NodeStatus.RUNNING:
                child.halt()


class DecoratorNode(ControlNode):
    """Base of Python decorators: a node with exactly one child, ``node.child``."""
