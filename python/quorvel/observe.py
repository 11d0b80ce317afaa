"""Which trees are alive in this process, and how observers report their errors.

Every loaded tree, whether built by a ``BehaviorTreeFactory`` or held by a
``SequentialEngine`` (also those inside ``ThreadEngine`` workers), is listed by
:func:`live_trees` without being kept alive by the listing.
"""

from __future__ import annotations

from loguru import logger

from quorvel._native import live_trees as _live_trees
from quorvel.core import Tree

__all__ = ["label", "live_trees"]


def live_trees() -> list[tuple[str, Tree]]:
    """``(label, tree)`` for every loaded tree of the process, oldest first.

    The label is what :func:`label` gave the tree (a ``ThreadEngine`` labels its workers'
    trees with their tree id), else ``""``. Each call gives new ``Tree`` objects for trees
    held by engines; ``tree.serial`` tells which are the same loaded tree.
    """
    return [(name, tree) for name, tree in _live_trees()]


def label(tree: Tree | None, name: object) -> None:
    """Names ``tree`` in :func:`live_trees` and in the monitor; None is ignored."""
    if tree is not None:
        tree.label = str(name)


def _observer_failed(callback: object, error: BaseException) -> None:
    # Called by the engine, on the ticking thread, when an observer raised: the tick goes on.
    logger.opt(exception=error).error(f"observer {callback!r} raised {type(error).__name__}: {error}")
