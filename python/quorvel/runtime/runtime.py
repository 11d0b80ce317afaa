"""Runtime: registered node types, and the trees loaded with them."""

from __future__ import annotations

import atexit
import itertools
import os
import threading
from typing import Any, Callable, Dict, List, Optional

from loguru import logger

from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import SimpleActionNode
from quorvel.nodes.async_action import adapt_tick
from quorvel.runtime.errors import HandleClosedError, TreeLimitError
from quorvel.runtime.handle import TreeHandle
from quorvel.runtime.worker import Worker, noted

__all__ = ["Runtime"]

# Every open runtime, held until it is closed (its trees' threads live until then anyway), so
# that one nobody closed is still closed at exit.
_runtimes: "set[Runtime]" = set()
_runtimes_lock = threading.Lock()
_names = itertools.count(1)


def _registration(target: Any, name: Optional[str], ports: Optional[list],
                  kind: Optional[str]) -> Callable[[SequentialEngine], None]:
    """Checks what is registered now, and gives what registers it on each tree's engine."""
    if kind not in (None, "action", "condition"):
        raise ValueError(f"kind must be 'action' or 'condition', not {kind!r}")
    if isinstance(target, type):
        node_id = target.__name__ if name is None else name
        if not issubclass(target, SimpleActionNode):  # a control node or decorator class
            if ports is not None or kind is not None:
                raise TypeError(f"{target.__name__}: ports and kind are declared by the class itself")
            return lambda engine: engine.register_node_type(target, node_id)
        ports = getattr(target, "ports", None) if ports is None else ports
        tick = getattr(target, "tick", None)
        if tick is None:
            raise TypeError(f"node class {target.__name__} has no tick")
        tick = adapt_tick(tick, ports)
    elif callable(target):
        node_id = getattr(target, "__name__", None) if name is None else name
        if not node_id:
            raise TypeError(f"a name is needed to register {target!r}")
        tick = adapt_tick(target, ports)
    else:
        raise TypeError(f"a function or a node class is expected, not {type(target).__name__}")
    if type(node_id) is not str or not node_id:
        raise TypeError(f"the node name must be a non-empty str, not {node_id!r}")
    tick = noted(tick)
    if kind == "condition":
        tick.__quorvel_kind__ = "condition"  # type: ignore[attr-defined]
    ports = [] if ports is None else list(ports)
    return lambda engine: engine.register_action_behavior(node_id, tick, ports)


class Runtime:
    """Runs many behavior trees, each on a thread of its own, from threads or from asyncio.

    ::

        with Runtime() as rt:
            rt.register_action(fetch, "Fetch", ports=[...])
            h = rt.load(xml_text)
            result = h.run(until="success", timeout=5.0)

    Node types registered apply to trees loaded afterwards. ``close()`` (also at the end of a
    ``with`` block, and at the program's exit) cancels every run, halts every tree and ends
    every thread.
    """

    def __init__(self, max_trees: Optional[int] = None) -> None:
        if max_trees is not None and (isinstance(max_trees, bool) or not isinstance(max_trees, int) or max_trees < 1):
            raise ValueError(f"max_trees must be a positive int or None, not {max_trees!r}")
        self.max_trees = max_trees
        self._lock = threading.Lock()
        self._registrations: List[Callable[[SequentialEngine], None]] = []
        self._handles: Dict[str, TreeHandle] = {}
        self._reserved = 0  # trees being loaded, counted against max_trees
        self._closed = False
        with _runtimes_lock:
            _runtimes.add(self)

    def register_action(self, target: Any, name: Optional[str] = None, ports: Optional[list] = None, *,
                        kind: Optional[str] = None) -> None:
        """Registers a node type for trees loaded afterwards.

        `target` is a function ``tick(node) -> NodeStatus`` (``async def`` too), or a node
        class: SimpleActionNode, ConditionNode, StatefulActionNode (with async onStart/onRunning
        too), ControlNode or DecoratorNode. `name` defaults to the function's or class's name;
        `ports` to the class's ``ports``. ``kind="condition"`` registers a function as a
        condition."""
        registration = _registration(target, name, ports, kind)
        with self._lock:
            self._check_open()
            self._registrations.append(registration)

    def _check_open(self) -> None:
        if self._closed:
            raise HandleClosedError("the runtime is closed")

    def load(self, xml_text: Optional[str] = None, *, path: Optional[str | os.PathLike] = None,
             name: Optional[str] = None) -> TreeHandle:
        """Loads a tree (from XML text, or from the file at `path`) on a thread of its own and
        returns its handle. Raises LoadError here when the document is rejected."""
        if (xml_text is None) == (path is None):
            raise TypeError("load() takes either the XML text or path=, not both or neither")
        if xml_text is not None and type(xml_text) is not str:
            raise TypeError(f"xml_text must be a str, not {type(xml_text).__name__}")
        if name is not None and (type(name) is not str or not name):
            raise TypeError(f"name must be a non-empty str or None, not {name!r}")
        with self._lock:
            self._check_open()
            if self.max_trees is not None and len(self._handles) + self._reserved >= self.max_trees:
                raise TreeLimitError(f"this runtime holds {self.max_trees} trees already (max_trees="
                                     f"{self.max_trees}); close one before loading another")
            if name is None:
                name = f"tree-{next(_names)}"
                while name in self._handles:
                    name = f"tree-{next(_names)}"
            elif name in self._handles:
                raise ValueError(f"a tree named {name!r} is loaded already")
            self._reserved += 1
            registrations = list(self._registrations)
        try:
            worker = Worker(name, registrations, xml_text, None if path is None else os.fspath(path))
            worker.start()
            handle = TreeHandle(self, worker)
        finally:
            with self._lock:
                self._reserved -= 1
        with self._lock:
            if not self._closed and name not in self._handles:
                self._handles[name] = handle
                return handle
        handle.close()
        if self._closed:
            raise HandleClosedError("the runtime was closed while the tree was loading")
        raise ValueError(f"a tree named {name!r} is loaded already")

    def handles(self) -> List[TreeHandle]:
        """The open trees, in the order they were loaded."""
        with self._lock:
            return list(self._handles.values())

    def _forget(self, handle: TreeHandle) -> None:
        with self._lock:
            if self._handles.get(handle.name) is handle:
                del self._handles[handle.name]

    def close(self) -> None:
        """Cancels every run, halts every tree and ends their threads. Closing twice is fine."""
        with self._lock:
            self._closed = True
            handles = list(self._handles.values())
        with _runtimes_lock:
            _runtimes.discard(self)
        for handle in handles:  # every run told first, so they end together
            handle.cancel()
        for handle in handles:
            try:
                handle.close()
            except Exception as error:
                logger.opt(exception=error).error(f"closing tree {handle.name!r} failed")

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Runtime":
        return self

    def __exit__(self, *args: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Runtime {len(self._handles)} trees{' closed' if self._closed else ''}>"


def _close_at_exit() -> None:
    """Runs at exit (atexit), after the interpreter has waited for the program's own threads,
    which may have been driving trees: then every runtime still open closes. The trees'
    threads are daemons, so nothing of a runtime delays that wait itself."""
    with _runtimes_lock:
        runtimes = list(_runtimes)
    for runtime in runtimes:
        try:
            runtime.close()
        except Exception as error:
            logger.opt(exception=error).error("closing a runtime at exit failed")


def _after_fork_in_child() -> None:
    """Only the forking thread exists in a child: every tree has lost its thread. Their
    channels answer at once from now on (commands raise HandleClosedError)."""
    global _runtimes_lock
    _runtimes_lock = threading.Lock()
    for runtime in list(_runtimes):
        runtime._lock = threading.Lock()
        for handle in list(runtime._handles.values()):
            handle._after_fork()
        runtime._handles.clear()


atexit.register(_close_at_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
