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
import inspect
import os
import threading
from typing import Any, Callable, Optional

from quorvel.core import NodeStatus
from quorvel.nodes.action_node import SimpleActionNode, StatefulActionNode, _StatefulTick

__all__ = ["adapt_class", "adapt_tick", "background_loop", "is_async_action", "use_loop"]

_TASK = "_quorvel_async_task"
_INSTANCE = "_quorvel_stateful_instance"  # the attribute StatefulActionNode's own tick uses


class _Where(threading.local):
    loop: Optional[asyncio.AbstractEventLoop] = None


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

            threading.Thread(target=serve, name="quorvel-async-loop", daemon=True).start()
            ready.wait()
            _background = loop
        return _background


def use_loop(loop: Optional[asyncio.AbstractEventLoop]) -> Optional[asyncio.AbstractEventLoop]:
    """Makes `loop` the one coroutine actions ticked on this thread run on (None: the
    background loop); returns the previous choice."""
    previous, _where.loop = _where.loop, loop
    return previous


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


class _CoroutineTick:
    """Tick functor of a coroutine action; carries the halt hook the engine calls when the
    node is halted while RUNNING."""

    def __init__(self, start: Callable, running: Callable, halted: Optional[Callable], name: str) -> None:
        self._start, self._running, self._halted = start, running, halted
        self.__name__ = "tick"
        self.__qualname__ = f"{name}.tick"

    def __call__(self, node: Any) -> Any:
        task = getattr(node, _TASK, None)
        if task is not None:
            if not task.done():
                node.waitForWake()
                return NodeStatus.RUNNING
            setattr(node, _TASK, None)
            return task.result()  # what the coroutine returned, or raised
        step = self._running if node.status is NodeStatus.RUNNING else self._start
        result = step(node)
        if not inspect.isawaitable(result):
            return result
        waker = node.waker()
        task = asyncio.run_coroutine_threadsafe(_awaited(result), _loop_for_this_thread())
        setattr(node, _TASK, task)
        # Registered after the task is stored: a task that already finished wakes the tree at
        # once, and a wake during the tick still counts for the wait that follows it.
        task.add_done_callback(lambda _: waker.wake())
        node.waitForWake()
        return NodeStatus.RUNNING

    def __quorvel_halt__(self, node: Any) -> None:
        task = getattr(node, _TASK, None)
        setattr(node, _TASK, None)
        if task is not None:
            task.cancel()
        if self._halted is not None:
            result = self._halted(node)
            if inspect.isawaitable(result):
                asyncio.run_coroutine_threadsafe(_awaited(result), _loop_for_this_thread())

    def __repr__(self) -> str:
        return f"<coroutine tick {self.__qualname__}>"


async def _awaited(awaitable: Any) -> Any:
    return await awaitable


def _for_function(function: Callable, name: str) -> _CoroutineTick:
    return _CoroutineTick(function, function, None, name)


def _for_stateful(cls: type) -> _CoroutineTick:
    def instance(node: Any) -> StatefulActionNode:
        made = getattr(node, _INSTANCE, None)
        if made is None:
            made = cls()
            setattr(node, _INSTANCE, made)
        return made

    def halted(node: Any) -> Any:
        made = getattr(node, _INSTANCE, None)
        return None if made is None else made.onHalted(node)

    return _CoroutineTick(lambda node: instance(node).onStart(node), lambda node: instance(node).onRunning(node),
                          halted, cls.__qualname__)


def adapt_tick(tick: Any) -> Any:
    """The tick functor to register for `tick`: a coroutine tick for an ``async def`` (or a
    StatefulActionNode class's tick whose onStart/onRunning are), else `tick` itself."""
    if isinstance(tick, _CoroutineTick):
        return tick
    if isinstance(tick, _StatefulTick):
        cls = tick._cls
        if _is_coroutine_function(cls.onStart) or _is_coroutine_function(cls.onRunning):
            return _for_stateful(cls)
        return tick
    kind = getattr(tick, "__quorvel_kind__", None)
    inner = getattr(tick, "__wrapped__", None) if kind is not None else tick
    if inner is None or not _is_coroutine_function(inner):
        return tick
    adapted = _for_function(inner, getattr(inner, "__qualname__", "action"))
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
    adapted = adapt_tick(tick)
    return None if adapted is tick else adapted
