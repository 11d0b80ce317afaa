"""Statuses, tree nodes and the node factory of the C++ engine."""

from quorvel._native import (
    BehaviorTreeError,
    BehaviorTreeFactory,
    LoadError,
    NodeStatus,
    PortError,
    TickError,
    Tree,
    TreeNode,
    Waker,
)

__all__ = [
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "LoadError",
    "NodeStatus",
    "PortError",
    "TickError",
    "Tree",
    "TreeNode",
    "Waker",
]
