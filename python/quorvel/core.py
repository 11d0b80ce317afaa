"""Statuses, tree nodes and the node factory of the C++ engine."""

from quorvel._native import (
    BehaviorTreeError,
    BehaviorTreeFactory,
    LoadError,
    NodeStatus,
    Observer,
    PortError,
    TickError,
    TickReport,
    Transition,
    Tree,
    TreeNode,
    Waker,
)

__all__ = [
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "LoadError",
    "NodeStatus",
    "Observer",
    "PortError",
    "TickError",
    "TickReport",
    "Transition",
    "Tree",
    "TreeNode",
    "Waker",
]
