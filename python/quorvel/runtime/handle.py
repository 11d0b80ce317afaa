"""The caller's side of a runtime tree: TreeHandle and its blackboard view."""

from __future__ import annotations

import asyncio
import threading
from collections.abc import MutableMapping
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional

from quorvel.core import NodeStatus
from quorvel.runtime.errors import HandleClosedError, RunInProgressError
from quorvel.runtime.events import EventStream
from quorvel.runtime.worker import MISSING, Run, RunResult, Worker

if TYPE_CHECKING:
    from quorvel.runtime.runtime import Runtime

__all__ = ["Blackboard", "TreeHandle"]


def _settle(future: "asyncio.Future[Any]", answer: Any) -> None:
    if not future.done():
        future.set_result(answer)


class TreeHandle:
    """One tree of a :class:`~quorvel.runtime.Runtime`, served by a thread of its own.

    Every method may be called from any thread. ``tick()``, ``run()`` and the blackboard are
    commands the tree's thread answers in turn; ``cancel()``, ``snapshot()`` and ``events()``
    never wait for it.
    """

    def __init__(self, runtime: "Runtime", worker: Worker) -> None:
        self._runtime = runtime
        self._worker = worker
        self._closed = False
        # Held across a blackboard round trip, so that a run cannot start between a read's
        # look at the run state and its command (which would then wait for the whole run).
        self._io = threading.Lock()
        self._streams: List[EventStream] = []
        self.blackboard = Blackboard(self)

    @property
    def name(self) -> str:
        """The tree's name: given to load(), or made up; its label in live_trees() and the monitor."""
        return self._worker.name

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def running(self) -> bool:
        """Whether a run is going on."""
        return self._worker.active is not None

    def __repr__(self) -> str:
        state = "closed" if self._closed else "running" if self.running else "idle"
        return f"<TreeHandle {self.name!r} {state}>"

    # ---- commands ----

    def _closed_error(self) -> HandleClosedError:
        return HandleClosedError(f"tree {self.name!r} is closed")

    def _unpack(self, answer: Any) -> Any:
        if answer is None:
            raise self._closed_error()
        ok, value = answer
        if not ok:
            raise value
        return value

    def _send(self, command: tuple) -> Any:
        w = self._worker
        if self._closed:
            raise self._closed_error()
        if threading.current_thread() is w.thread:
            raise RuntimeError(f"tree {self.name!r}: an action of the tree cannot send commands to it")
        return self._unpack(w.cond._send(w.command, w.result, command, w.thread))

    def _idle(self, what: str) -> None:
        if self._closed:
            raise self._closed_error()
        if self._worker.active is not None:
            raise RunInProgressError(f"tree {self.name!r}: {what} while a run of it goes on")

    def tick(self) -> NodeStatus:
        """Ticks the tree once; its root's status. Raises RunInProgressError during a run."""
        self._idle("tick()")
        return self._send(("tick", None))

    def _begin(self, until: str, timeout: Optional[float], max_ticks: Optional[int], loop: Any) -> Run:
        run = Run(until, timeout, max_ticks, loop)
        w = self._worker
        with self._io, w.lock:
            self._idle("run()")
            w.active = run
        return run

    def _abandon(self, run: Run) -> None:  # a run whose command never started
        with self._worker.lock:
            if self._worker.active is run:
                self._worker.active = None
        run.ready.set()

    def run(self, until: str = "success", timeout: Optional[float] = None,
            max_ticks: Optional[int] = None) -> RunResult:
        """Ticks until the root returns `until` ("success", "failure", or "done": the first
        status that is not RUNNING), sleeping while the tree waits (timers, wakes) and backing
        off while it keeps ending with the other status. Ends early after `timeout` seconds,
        after `max_ticks` ticks, or at cancel(); the RunResult tells which. What an action
        raised is raised here, the tree halted."""
        run = self._begin(until, timeout, max_ticks, None)
        w = self._worker
        if threading.current_thread() is w.thread:
            self._abandon(run)
            raise RuntimeError(f"tree {self.name!r}: an action of the tree cannot run it")
        # Queued rather than sent: a run may last long, and a caller parked on an event costs
        # nothing meanwhile, where a round trip keeps watching its worker.
        box: List[Any] = []
        ended = threading.Event()

        def answered(answer: Any) -> None:  # on the worker thread
            box.append(answer)
            ended.set()

        if self._closed or w.cond._submit(("run", run), answered) is None:
            self._abandon(run)
            raise self._closed_error()
        try:
            ended.wait()
        except BaseException:  # interrupted while waiting (Ctrl-C): the run must not go on unseen
            self._cancel_run(run)
            raise
        if box[0] is None:
            self._abandon(run)
        return self._unpack(box[0])

    def _cancel_run(self, run: Run) -> None:
        run.cancelled = True
        engine = self._worker.engine
        if engine is not None:
            engine.wake()

    def cancel(self) -> None:
        """Ends the run in progress, if any, as soon as its current tick ends: the run returns
        reason "cancelled" and the tree is halted, and kept. Only that run: a later one runs
        normally. Without a run, halts the tree after the command in progress. Never waits;
        any thread."""
        w = self._worker
        with w.lock:
            run = w.active
            if run is not None:
                run.cancelled = True
        if run is not None:
            self._cancel_run(run)
        elif not self._closed:
            w.cond._submit(("halt",), _ignore)

    def snapshot(self) -> Dict[str, Any]:
        """The tree's counters and statuses as of the last tick boundary (Tree.snapshot()); never
        waits, also during a run."""
        if self._closed:
            raise self._closed_error()
        return self._worker.tree.snapshot()

    def layout(self) -> Dict[str, Any]:
        """The tree's structure (Tree.layout())."""
        if self._closed:
            raise self._closed_error()
        return self._worker.tree.layout()

    def events(self, maxsize: int = 1024) -> EventStream:
        """Every tick's TickReport from now on, until the handle closes; ``for`` or ``async for``.
        At most `maxsize` wait to be read: beyond, the oldest are dropped (counted in .dropped)."""
        if self._closed:
            raise self._closed_error()
        stream = EventStream(self._worker.tree, maxsize)
        self._streams = [s for s in self._streams if not s.closed]
        self._streams.append(stream)
        return stream

    aevents = events  # the same stream serves `async for`

    # ---- asyncio ----

    async def _await(self, command: tuple, run: Optional[Run]) -> Any:
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        w = self._worker

        def answered(answer: Any) -> None:  # on the worker thread
            try:
                loop.call_soon_threadsafe(_settle, future, answer)
            except RuntimeError:  # the loop has closed: nobody is waiting
                pass

        ticket = None if self._closed else w.cond._submit(command, answered)
        if ticket is None:
            if run is not None:
                self._abandon(run)
            raise self._closed_error()
        try:
            answer = await asyncio.shield(future)
        except asyncio.CancelledError:
            if w.cond._withdraw(ticket):  # never started
                if run is not None:
                    self._abandon(run)
                raise
            if run is not None:
                self._cancel_run(run)
            # The tree is halted when the run returns: wait for that, then let the task go.
            while not future.done():
                try:
                    await asyncio.shield(future)
                except asyncio.CancelledError:
                    pass
            raise
        return self._unpack(answer)

    async def arun(self, until: str = "success", timeout: Optional[float] = None,
                   max_ticks: Optional[int] = None) -> RunResult:
        """run() for asyncio: the event loop goes on meanwhile, and coroutine actions run on it.
        Cancelling the awaiting task (asyncio.timeout() included) cancels the run: the tree is
        halted and kept, and CancelledError propagates once the run has ended."""
        run = self._begin(until, timeout, max_ticks, asyncio.get_running_loop())
        return await self._await(("run", run), run)

    async def atick(self) -> NodeStatus:
        """tick() for asyncio; coroutine actions started by it run on the awaiting loop."""
        self._idle("atick()")
        return await self._await(("tick", asyncio.get_running_loop()), None)

    # ---- closing ----

    def close(self) -> None:
        """Cancels the run in progress, halts the tree and ends its thread. Closing twice is fine."""
        w = self._worker
        if threading.current_thread() is w.thread:
            raise RuntimeError(f"tree {self.name!r}: an action of the tree cannot close it")
        with w.lock:
            if self._closed:
                return
            self._closed = True
            w.closing = True
            run = w.active
        if run is not None:
            self._cancel_run(run)
        elif w.engine is not None:
            w.engine.wake()
        for stream in self._streams:
            stream.close()
        self._streams = []
        try:
            w.stop()
        finally:
            self._runtime._forget(self)

    def _after_fork(self) -> None:
        w = self._worker
        w.lock = threading.Lock()
        self._io = threading.Lock()
        w.cond._after_fork()
        w.active = None
        self._closed = True

    def __enter__(self) -> "TreeHandle":
        return self

    def __exit__(self, *args: object) -> None:
        self.close()


def _ignore(answer: Any) -> None:
    pass


class Blackboard(MutableMapping):
    """The root blackboard of a handle's tree, as a mapping.

    Between runs every access is a command to the tree's thread. During a run, reads give the
    value as of the last tick boundary and never wait; writes are queued, applied before the
    next tick, and seen by the next read. Entries cannot be removed.
    """

    def __init__(self, handle: TreeHandle) -> None:
        self._handle = handle

    def _during_run(self) -> Optional[Run]:
        run = self._handle._worker.active
        if run is not None:
            run.ready.wait()
        return run

    def __getitem__(self, key: str) -> Any:
        h = self._handle
        with h._io:
            run = self._during_run()
            if run is None:
                value = h._send(("get", key))
            else:
                with h._worker.lock:
                    value = run.cache.get(key, MISSING)
        if value is MISSING:
            raise KeyError(key)
        return value

    def __setitem__(self, key: str, value: Any) -> None:
        if type(key) is not str:
            raise TypeError(f"blackboard keys are str, not {type(key).__name__}")
        h = self._handle
        w = h._worker
        with h._io:
            with w.lock:
                run = w.active
                if run is not None:
                    run.cache[key] = value
                    run.pending[key] = value
                    return
            h._send(("set", key, value))

    def __delitem__(self, key: str) -> None:
        raise TypeError("blackboard entries cannot be removed")

    def to_dict(self) -> Dict[str, Any]:
        """Every entry, as a new dict."""
        h = self._handle
        with h._io:
            run = self._during_run()
            if run is None:
                return h._send(("all",))
            with h._worker.lock:
                return dict(run.cache)

    def __iter__(self) -> Iterator[str]:
        return iter(self.to_dict())

    def __len__(self) -> int:
        return len(self.to_dict())

    def __contains__(self, key: object) -> bool:
        return key in self.to_dict()

    def __repr__(self) -> str:
        return f"<Blackboard of {self._handle.name!r}>"
