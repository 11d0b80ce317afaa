"""The errors a runtime raises. Errors of the engine keep their own types (re-exported here),
and an action's own exception reaches the caller as it was raised, with a note naming the
node, its type and its XML line."""

from quorvel.core import BehaviorTreeError, LoadError, PortError, TickError

__all__ = ["BehaviorTreeError", "HandleClosedError", "LoadError", "PortError", "RunInProgressError",
           "TickError", "TreeLimitError"]


class HandleClosedError(RuntimeError):
    """The tree (or its whole runtime) was closed: it takes no more commands."""


class RunInProgressError(RuntimeError):
    """tick() or run() was asked of a tree while a run of it goes on."""


class TreeLimitError(RuntimeError):
    """The runtime already holds as many trees as its max_trees allows."""
