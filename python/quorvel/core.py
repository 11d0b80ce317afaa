"""Statuses, tree nodes and the node factory of the C++ engine."""

from quorvel._native import BehaviorTreeFactory, NodeStatus, TreeNode

__all__ = ["BehaviorTreeFactory", "NodeStatus", "TreeNode"]
