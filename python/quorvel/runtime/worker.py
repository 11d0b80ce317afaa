"""The worker side of a runtime tree: one thread that owns a SequentialEngine and serves the
commands of its handle over the native channel (ThreadCondition), runs included.

A run is one command: the worker ticks, sleeps between ticks in the engine (timers, wakes, the
back-off after a status the run does not wait for) and checks, between ticks, the run's own
cancellation flag and deadline. Cancelling sets that flag and wakes the engine, so it is
one-shot: the next run starts with a fresh flag.
"""

from __future__ import annotations

import heapq
import itertools
import os
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

from loguru import logger

from quorvel._native import ThreadCondition
from quorvel.core import NodeStatus, TreeNode
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.async_action import set_halt_check, use_loop
from quorvel.observe import label

__all__ = ["RunResult", "Worker"]

# The back-off of a run that keeps ending with the status it does not wait for: the engine's
# own tick loops use the same bounds, so a waiting runtime tree costs what a waiting
# tick_until_success does.
_SHORTEST_PAUSE = 100e-6
_LONGEST_PAUSE = 10e-3

_UNTIL = {"success": NodeStatus.SUCCESS, "failure": NodeStatus.FAILURE, "done": None}


@dataclass(frozen=True)
class RunResult:
    """How a run ended.

    ``status`` is the root's status at the last tick of the run (None when it ticked nothing);
    ``reason`` is "reached" (the status asked for by ``until="success"``/``"failure"``),
    "done" (``until="done"``: the first status that is not RUNNING), "timeout", "cancelled" or
    "max_ticks". After "timeout" and "cancelled" the tree has been halted; after "max_ticks"
    it is left as the last tick left it, so a later run goes on from there.
    """

    status: Optional[NodeStatus]
    ticks: int
    reason: str
    elapsed: float


class Run:
    """One run's parameters and the state its caller and its worker share."""

    __slots__ = ("until", "deadline", "max_ticks", "loop", "cancelled", "ready", "cache", "pending")

    def __init__(self, until: str, timeout: Optional[float], max_ticks: Optional[int], loop: Any) -> None:
        if until not in _UNTIL:
            raise ValueError(f"until must be 'success', 'failure' or 'done', not {until!r}")
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
            if not timeout >= 0:  # NaN too
                raise ValueError(f"timeout must not be negative, not {timeout!r}")
        if max_ticks is not None:
            if isinstance(max_ticks, bool) or not isinstance(max_ticks, int):
                raise TypeError(f"max_ticks must be an int or None, not {type(max_ticks).__name__}")
            if max_ticks < 0:
                raise ValueError(f"max_ticks must not be negative, not {max_ticks!r}")
        self.until = _UNTIL[until]
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.max_ticks = max_ticks
        self.loop = loop
        self.cancelled = False
        # Blackboard reads during the run come from `cache` (entries as of the last tick
        # boundary); writes wait in `pending` until the next tick. Both under the worker's lock.
        self.ready = threading.Event()
        self.cache: Dict[str, Any] = {}
        self.pending: Dict[str, Any] = {}

    def halt_requested(self) -> bool:
        return self.cancelled or (self.deadline is not None and time.monotonic() >= self.deadline)


class _Local(threading.local):
    worker: Optional["Worker"] = None


_local = _Local()


def _note(error: BaseException, node: TreeNode, where: str) -> None:
    worker = _local.worker
    line = worker.lines.get(node.uid) if worker is not None else None
    text = f"raised in the {where} of node '{node.name}' (type {node.type}" + (
        f", XML line {line})" if line is not None else ")")
    if text not in getattr(error, "__notes__", ()):
        error.add_note(text)


def noted(tick: Callable[[TreeNode], Any]) -> Callable[[TreeNode], Any]:
    """`tick` as a function whose exceptions gain a note naming the node, its type and line."""

    def call(node: TreeNode) -> Any:
        try:
            return tick(node)
        except Exception as error:
            _note(error, node, "tick")
            raise

    kind = getattr(tick, "__quorvel_kind__", None)
    if kind is not None:
        call.__quorvel_kind__ = kind  # type: ignore[attr-defined]
    halt = getattr(tick, "__quorvel_halt__", None)
    if halt is not None:
        def halted(node: TreeNode) -> None:
            try:
                halt(node)
            except Exception as error:
                _note(error, node, "halt")
                raise

        call.__quorvel_halt__ = halted  # type: ignore[attr-defined]
    call.__name__ = getattr(tick, "__name__", "tick")
    call.__qualname__ = getattr(tick, "__qualname__", call.__name__)
    call.__wrapped__ = tick  # type: ignore[attr-defined]
    return call


class _Timers:
    """Wakes engines at deadlines, from one daemon thread per process, so a run waiting in a
    long timer notices its timeout. Arming a deadline later than the earliest one (the usual
    case: runs started one after another with the same timeout) wakes nobody, and disarming
    only forgets the engine."""

    def __init__(self) -> None:
        self._heap: List[list] = []
        self._cond = threading.Condition(threading.Lock())
        self._thread: Optional[threading.Thread] = None
        self._order = itertools.count()

    def arm(self, deadline: float, engine: SequentialEngine) -> list:
        entry = [deadline, next(self._order), engine]
        with self._cond:
            heapq.heappush(self._heap, entry)
            if self._thread is None:
                self._thread = threading.Thread(target=self._serve, name="quorvel-runtime-timers", daemon=True)
                self._thread.start()
            if self._heap[0] is entry:
                self._cond.notify()
        return entry

    @staticmethod
    def disarm(entry: list) -> None:
        entry[2] = None

    def _serve(self) -> None:
        heap = self._heap
        with self._cond:
            while True:
                while heap and heap[0][2] is None:
                    heapq.heappop(heap)
                if not heap:
                    self._cond.wait()
                    continue
                delay = heap[0][0] - time.monotonic()
                if delay > 0:
                    self._cond.wait(delay)
                    continue
                entry = heapq.heappop(heap)
                engine, entry[2] = entry[2], None
                engine.wake()

    def after_fork(self) -> None:
        self._heap.clear()
        self._cond = threading.Condition(threading.Lock())
        self._thread = None


_timers = _Timers()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_timers.after_fork)


class Worker:
    """The thread of one tree and the slots of its channel."""

    def __init__(self, name: str, registrations: List[Callable[[SequentialEngine], None]],
                 text: Optional[str], path: Optional[str]) -> None:
        self.name = name
        self.cond = ThreadCondition()
        self.command: List[Any] = [None]
        self.result: List[Any] = [None]
        # Guards `active` and the run's blackboard cache and pending writes.
        self.lock = threading.Lock()
        self.active: Optional[Run] = None
        self.closing = False
        self.engine: Optional[SequentialEngine] = None
        self.tree: Any = None
        self.lines: Dict[int, int] = {}
        self._registrations, self._text, self._path = registrations, text, path
        self._loaded = threading.Event()
        self._load_error: Optional[BaseException] = None
        # A daemon, so that a runtime nobody closed never keeps the program from ending (the
        # runtime also closes itself at exit).
        self.thread = threading.Thread(target=self._main, name=f"quorvel-tree-{name}", daemon=True)

    def start(self) -> None:
        """Starts the thread and waits for the load; raises what the load raised."""
        self.thread.start()
        self._loaded.wait()
        if self._load_error is not None:
            self.thread.join()
            error, self._load_error = self._load_error, None
            raise error

    def _main(self) -> None:
        try:
            engine = SequentialEngine()
            for register in self._registrations:
                register(engine)
            if self._path is not None:
                engine.create_tree_from_file(self._path)
            else:
                engine.create_tree_from_text(self._text)
            tree = engine.tree
            label(tree, self.name)
            self.lines = {node["uid"]: node["line"] for node in tree.layout()["nodes"] if node.get("line")}
        except BaseException as error:
            self._load_error = error
            self._loaded.set()
            self.cond._worker_ended()
            return
        self._text = self._registrations = None
        self.engine, self.tree = engine, tree
        _local.worker = self
        set_halt_check(self._halt_requested)
        self._loaded.set()
        try:
            self.cond._serve(self.command, self.result, _process, engine, self)
        except BaseException as error:
            logger.opt(exception=error).error(f"tree {self.name!r}: its worker failed")
        finally:
            try:  # halting cancels what the tree still has going (coroutines among them)
                engine.reset_tree()
            except BaseException as error:
                logger.opt(exception=error).error(f"tree {self.name!r}: halting it at close failed")
            _local.worker = None
            set_halt_check(None)
            self.cond._worker_ended()

    def _halt_requested(self) -> bool:
        run = self.active
        return self.closing or (run is not None and run.halt_requested())

    def stop(self) -> None:
        """Ends the thread once the command in progress has ended (cancel a run first)."""
        if not self.thread.is_alive():
            return
        while not self.cond._stop(self.command, 1.0):
            logger.info(f"tree {self.name!r}: closing waits for the command in progress")
        self.thread.join()

    # ---- on the worker thread ----

    def run(self, engine: SequentialEngine, run: Run) -> RunResult:
        previous = use_loop(run.loop)
        started = time.monotonic()
        status: Optional[NodeStatus] = None
        ticks, reason = 0, "cancelled"
        timer = None
        try:
            run.cache.update(engine.get_all_blackboard_data())
            run.ready.set()
            observer = self.tree.observe(lambda report: self._saw(run, report), blackboard=True)
            try:
                until, deadline, pause = run.until, run.deadline, _SHORTEST_PAUSE
                while True:
                    if run.cancelled or self.closing:
                        reason = "cancelled"
                        break
                    if deadline is not None and time.monotonic() >= deadline:
                        reason = "timeout"
                        break
                    if run.max_ticks is not None and ticks >= run.max_ticks:
                        reason = "max_ticks"
                        break
                    if run.pending:
                        self._apply_pending(engine, run)
                    status = engine.tick_once()
                    ticks += 1
                    if status is NodeStatus.RUNNING:
                        pause = _SHORTEST_PAUSE
                        if deadline is not None and timer is None:  # armed once a wait may outlast it
                            timer = _timers.arm(deadline, engine)
                        engine.wait_between_ticks()
                    elif until is None or status is until:
                        reason = "done" if until is None else "reached"
                        break
                    else:
                        wait = pause if deadline is None else min(pause, max(0.0, deadline - time.monotonic()))
                        pause = min(pause * 2, _LONGEST_PAUSE) if engine.wait_before_retry(wait) else _SHORTEST_PAUSE
            finally:
                observer.close()
            if reason in ("cancelled", "timeout"):
                engine.reset_tree()
        except BaseException:
            try:  # nothing of a failed run goes on behind its caller's back
                engine.reset_tree()
            except BaseException:
                pass
            raise
        finally:
            run.ready.set()
            if timer is not None:
                _timers.disarm(timer)
            use_loop(previous)
            with self.lock:
                self.active = None
                leftover, run.pending = run.pending, {}
            for key, value in leftover.items():  # written after the last tick: not lost
                engine.set_blackboard_data(key, value)
        return RunResult(status, ticks, reason, time.monotonic() - started)

    def _saw(self, run: Run, report: Any) -> None:
        writes = report.writes
        if writes:
            with self.lock:
                for scope, key, value in writes:
                    # A write the caller queued meanwhile is newer than what the tick did.
                    if scope is None and key not in run.pending:
                        run.cache[key] = value

    def _apply_pending(self, engine: SequentialEngine, run: Run) -> None:
        with self.lock:
            pending, run.pending = run.pending, {}
        for key, value in pending.items():
            engine.set_blackboard_data(key, value)


# What a read of an entry never written answers, so that the mapping can raise KeyError.
MISSING = object()


def _process(engine: SequentialEngine, command: tuple, worker: Worker, result: List[Any]) -> None:
    """Runs one command on the worker; leaves (True, value) or (False, exception)."""
    kind = command[0]
    try:
        if kind == "tick":
            if command[1] is None:
                value = engine.tick_once()
            else:  # awaited: coroutine actions run on the awaiting loop
                previous = use_loop(command[1])
                try:
                    value = engine.tick_once()
                finally:
                    use_loop(previous)
        elif kind == "run":
            value = worker.run(engine, command[1])
        elif kind == "get":
            value = engine.get_blackboard_data(command[1])
            if value is None and command[1] not in engine.get_all_blackboard_data():
                value = MISSING
        elif kind == "set":
            engine.set_blackboard_data(command[1], command[2])
            value = None
        elif kind == "all":
            value = engine.get_all_blackboard_data()
        elif kind == "halt":
            engine.reset_tree()
            value = None
        else:
            raise ValueError(f"unknown command {kind!r}")
        result[0] = (True, value)
    except BaseException as error:  # the worker serves on; the caller gets the error
        result[0] = (False, error)

