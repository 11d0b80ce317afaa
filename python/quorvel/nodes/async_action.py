"""Actions written as coroutines.

An action whose tick is an ``async def`` (a function, or the static ``tick`` of a
``SimpleActionNode``/``ConditionNode`` subclass), or a ``StatefulActionNode`` whose ``onStart``
or ``onRunning`` is an ``async def``, is RUNNING while its coroutine runs on an event loop::

    async def fetch(node):
        text = await client.get(node.getInputString("url"))
        node.setOutput("text", text)
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Fetch", fetch, ports)

The tick starts the coroutine and returns RUNNING; the tree sleeps until the coroutine ends
(its end wakes the tree), and the next tick returns what it returned, or raises what it raised.
The coroutine runs outside the tick, on the loop's thread, so it gets a stand-in for the node:
its input ports are read when the coroutine starts (an error reading one is raised where the
coroutine reads it), and what it gives ``setOutput`` is written in the tick that takes its
result, before that result counts; a cancelled coroutine writes nothing. ``name``, ``type``,
``uid`` and ``waker()`` are the node's, and ``halt_requested`` turns true once the node is halted.

A halt of the node (its parent giving up, a ``Timeout``, a reset, a cancelled run) cancels the
task: the coroutine sees ``CancelledError`` at its next ``await``. A ``StatefulActionNode``'s
``onHalted`` is called after that; when it is itself an ``async def`` it is scheduled on the same
loop and not waited for.

Which loop: the one :func:`use_loop` set for the thread that ticks the tree (``quorvel.runtime``
sets the awaiting caller's loop while a run is awaited), else one background loop thread per
process, started on first use. A tree ticked on a thread that is itself running an event loop
never schedules onto that loop, since it is blocked in the tick.
"""

from __future__ import annotations

import asyncio
import atexit
import inspect
import os
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

from quorvel.core import NodeStatus, TreeNode
from quorvel.nodes.action_node import SimpleActionNode, StatefulActionNode, _StatefulTick

__all__ = ["AsyncNode", "adapt_class", "adapt_tick", "background_loop", "is_async_action", "set_halt_check",
           "use_loop"]

_TASK = "_quorvel_async_task"
_INSTANCE = "_quorvel_stateful_instance"  # the attribute StatefulActionNode's own tick uses


class _Where(threading.local):
    loop: Optional[asyncio.AbstractEventLoop] = None
    halt_check: Optional[Callable[[], bool]] = None


_where = _Where()
_background_lock = threading.Lock()
_background: Optional[asyncio.AbstractEventLoop] = None


def background_loop() -> asyncio.AbstractEventLoop:
    """The process's background event loop, started (as a daemon thread) on first use."""
    global _background
    loop = _background
    if loop is not None:
        return loop
    with _background_lock:
        if _background is None:
            loop = asyncio.new_event_loop()
            ready = threading.Event()

            def serve() -> None:
                asyncio.set_event_loop(loop)
                loop.call_soon(ready.set)
                loop.run_forever()

            thread = threading.Thread(target=serve, name="quorvel-async-loop", daemon=True)
            thread.start()
            ready.wait()
            _background = loop
            atexit.register(_stop_background, loop, thread)
        return _background


def _stop_background(loop: asyncio.AbstractEventLoop, thread: threading.Thread) -> None:
    """At exit, after whoever drives trees has halted them: lets the coroutines cancelled by
    those halts (and any still running) finish on the loop, then ends its thread. Left to
    themselves they would go on running Python while the interpreter is being torn down."""

    async def finish() -> None:
        tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for task in tasks:
            task.cancel()
        if tasks:
            await asyncio.wait(tasks, timeout=2.0)

    try:
        asyncio.run_coroutine_threadsafe(finish(), loop).result(timeout=5.0)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(5.0)
    except Exception:  # the loop is closed or stuck: nothing more can be done for it
        pass


def use_loop(loop: Optional[asyncio.AbstractEventLoop]) -> Optional[asyncio.AbstractEventLoop]:
    """Makes `loop` the one coroutine actions ticked on this thread run on (None: the
    background loop); returns the previous choice."""
    previous, _where.loop = _where.loop, loop
    return previous


def set_halt_check(check: Optional[Callable[[], bool]]) -> None:
    """What ``node.halt_requested`` asks for trees ticked on this thread (a runtime's worker
    sets it); without one it is False."""
    _where.halt_check = check


def _halt_requested(node: Any) -> bool:
    check = _where.halt_check
    return check is not None and bool(check())


# TreeNode is native; the flag belongs to whoever drives the tree, found through the thread.
TreeNode.halt_requested = property(  # type: ignore[attr-defined]
    _halt_requested,
    doc="True once the run this node's tree is in has been cancelled, has reached its timeout or "
        "is being closed (quorvel.runtime): long synchronous work can stop early. False elsewhere.")


def _loop_for_this_thread() -> asyncio.AbstractEventLoop:
    loop = _where.loop
    if loop is None or loop.is_closed():
        return background_loop()
    try:
        if asyncio.get_running_loop() is loop:  # blocked in this very tick: it would never run the task
            return background_loop()
    except RuntimeError:
        pass
    return loop


def _after_fork_in_child() -> None:
    # The loop's thread did not survive the fork; a fresh one starts on next use.
    global _background, _background_lock
    _background, _background_lock = None, threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _is_coroutine_function(f: Any) -> bool:
    if inspect.iscoroutinefunction(f):
        return True
    call = getattr(type(f), "__call__", None)
    return not inspect.isfunction(f) and call is not None and inspect.iscoroutinefunction(call)


def is_async_action(tick_or_class: Any) -> bool:
    """Whether registering this tick functor or node class gives a coroutine action."""
    if isinstance(tick_or_class, type):
        return adapt_class(tick_or_class) is not None
    return adapt_tick(tick_or_class) is not tick_or_class


_INPUT_DIRECTIONS = (None, "input", "in", "inout", "bidirectional")
_READERS = ("getInputString", "getInputObject", "getInput", "getInputInt", "getInputDouble", "getInputBool")


class AsyncNode:
    """What a coroutine action gets in place of its TreeNode (see the module's description)."""

    def __init__(self, node: Any, inputs: Tuple[str, ...]) -> None:
        self._node = node
        self.name, self.type, self.uid = node.name, node.type, node.uid
        self._waker = node.waker()
        self._outputs: List[Tuple[str, Any]] = []
        self._halted = False
        self._inputs: Dict[Tuple[str, str], Tuple[bool, Any]] = {}
        for port in inputs:
            for reader in _READERS:
                try:
                    self._inputs[reader, port] = (True, getattr(node, reader)(port))
                except Exception as error:
                    self._inputs[reader, port] = (False, error)

    def _read(self, reader: str, name: str) -> Any:
        entry = self._inputs.get((reader, name))
        if entry is None:
            raise KeyError(f"{self.type} '{self.name}': '{name}' is not an input port of this action")
        ok, value = entry
        if not ok:
            raise value
        return value

    def getInputString(self, name: str) -> str:
        return self._read("getInputString", name)

    def getInputObject(self, name: str) -> Any:
        return self._read("getInputObject", name)

    def getInput(self, name: str) -> Any:
        return self._read("getInput", name)

    def getInputInt(self, name: str) -> int:
        return self._read("getInputInt", name)

    def getInputDouble(self, name: str) -> float:
        return self._read("getInputDouble", name)

    def getInputBool(self, name: str) -> bool:
        return self._read("getInputBool", name)

    def setOutput(self, name: str, value: Any) -> None:
        self._outputs.append((name, value))

    def waker(self) -> Any:
        return self._waker

    @property
    def halt_requested(self) -> bool:
        return self._halted

    def __getattr__(self, name: str) -> Any:  # attributes the action set on its node
        return getattr(self._node, name)

    def __repr__(self) -> str:
        return f"<AsyncNode {self.name!r} ({self.type})>"


def _inputs_of(ports: Any) -> Tuple[str, ...]:
    names = []
    for port in ports or ():
        if isinstance(port, dict) and port.get("direction") in _INPUT_DIRECTIONS and isinstance(port.get("name"), str):
            names.append(port["name"])
    return tuple(names)


class _CoroutineTick:
    """Tick functor of a coroutine action; carries the halt hook the engine calls when the
    node is halted while RUNNING."""

    def __init__(self, start: Callable, running: Callable, halted: Optional[Callable], name: str,
                 ports: Any) -> None:
        self._start, self._running, self._halted = start, running, halted
        self._inputs = _inputs_of(ports)
        self.__name__ = "tick"
        self.__qualname__ = f"{name}.tick"

    def __call__(self, node: Any) -> Any:
        task = getattr(node, _TASK, None)
        if task is not None:
            if not task.done():
                node.waitForWake()
                return NodeStatus.RUNNING
            setattr(node, _TASK, None)
            status = task.result()  # what the coroutine returned, or raised
            for name, value in task.stand_in._outputs:
                node.setOutput(name, value)
            return status
        step = self._running if node.status is NodeStatus.RUNNING else self._start
        stand_in = AsyncNode(node, self._inputs)
        result = step(node, stand_in)
        if not inspect.isawaitable(result):
            for name, value in stand_in._outputs:
                node.setOutput(name, value)
            return result
        task = asyncio.run_coroutine_threadsafe(_awaited(result), _loop_for_this_thread())
        task.stand_in = stand_in  # type: ignore[attr-defined]
        setattr(node, _TASK, task)
        # Registered after the task is stored: a task that already finished wakes the tree at
        # once, and a wake during the tick still counts for the wait that follows it.
        waker = stand_in._waker
        task.add_done_callback(lambda _: waker.wake())
        node.waitForWake()
        return NodeStatus.RUNNING

    def __quorvel_halt__(self, node: Any) -> None:
        task = getattr(node, _TASK, None)
        setattr(node, _TASK, None)
        if task is not None:
            task.stand_in._halted = True
            # An asyncio task belongs to its loop's thread: a cancel from here must wake that
            # loop, or the coroutine would learn of it only when something else does. (A
            # future from run_coroutine_threadsafe passes its cancel on by itself.)
            if isinstance(task, asyncio.Task):
                task.get_loop().call_soon_threadsafe(task.cancel)
            else:
                task.cancel()
        if self._halted is not None:
            result = self._halted(node)
            if inspect.isawaitable(result):
                asyncio.run_coroutine_threadsafe(_awaited(result), _loop_for_this_thread())

    def __repr__(self) -> str:
        return f"<coroutine tick {self.__qualname__}>"


async def _awaited(awaitable: Any) -> Any:
    return await awaitable


def _for_function(function: Callable, name: str, ports: Any) -> _CoroutineTick:
    def step(node: Any, stand_in: AsyncNode) -> Any:
        return function(stand_in)

    return _CoroutineTick(step, step, None, name, ports)


def _for_stateful(cls: type, ports: Any) -> _CoroutineTick:
    def instance(node: Any) -> StatefulActionNode:
        made = getattr(node, _INSTANCE, None)
        if made is None:
            made = cls()
            setattr(node, _INSTANCE, made)
        return made

    def halted(node: Any) -> Any:
        made = getattr(node, _INSTANCE, None)
        return None if made is None else made.onHalted(node)

    return _CoroutineTick(lambda node, stand_in: instance(node).onStart(stand_in),
                          lambda node, stand_in: instance(node).onRunning(stand_in),
                          halted, cls.__qualname__, ports)


def adapt_tick(tick: Any, ports: Any = None) -> Any:
    """The tick functor to register for `tick` (with `ports`, the action's port list): a
    coroutine tick for an ``async def`` (or a StatefulActionNode class's tick whose
    onStart/onRunning are), else `tick` itself."""
    if isinstance(tick, _CoroutineTick):
        return tick
    if isinstance(tick, _StatefulTick):
        cls = tick._cls
        if _is_coroutine_function(cls.onStart) or _is_coroutine_function(cls.onRunning):
            return _for_stateful(cls, ports)
        return tick
    kind = getattr(tick, "__quorvel_kind__", None)
    inner = getattr(tick, "__wrapped__", None) if kind is not None else tick
    if inner is None or not _is_coroutine_function(inner):
        return tick
    adapted = _for_function(inner, getattr(inner, "__qualname__", "action"), ports)
    if kind is not None:
        adapted.__quorvel_kind__ = kind  # type: ignore[attr-defined]
    return adapted


def adapt_class(cls: Any) -> Optional[_CoroutineTick]:
    """For an action class with coroutine methods, the tick functor to register it by; None
    for every other class (registered as it is)."""
    if not (isinstance(cls, type) and issubclass(cls, SimpleActionNode)):
        return None
    tick = getattr(cls, "tick", None)
    if tick is None:
        return None
    adapted = adapt_tick(tick, getattr(cls, "ports", None))
    return None if adapted is tick else adapted
