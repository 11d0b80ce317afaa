"""What a tree's observer delivers, as an iterator (threads) and an async iterator (asyncio)."""

from __future__ import annotations

import asyncio
import threading
from collections import deque
from typing import Any, List, Tuple

from quorvel.core import TickReport

__all__ = ["EventStream"]


def _wake(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


class EventStream:
    """The TickReport of every tick (and whole-tree halt) of one tree from the moment it was
    made, in order, until the tree's handle closes (or :meth:`close`).

    The ticking thread never waits for a slow reader: the queue holds at most ``maxsize``
    reports, and when it is full the oldest is dropped and counted in :attr:`dropped`.
    """

    def __init__(self, tree: Any, maxsize: int) -> None:
        if isinstance(maxsize, bool) or not isinstance(maxsize, int) or maxsize < 1:
            raise ValueError(f"maxsize must be a positive int, not {maxsize!r}")
        self._items: "deque[TickReport]" = deque()
        self._maxsize = maxsize
        self._cond = threading.Condition(threading.Lock())
        self._closed = False
        self._async_waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self.dropped = 0
        self._observer = tree.observe(self._push)

    def _push(self, report: TickReport) -> None:  # on the ticking thread
        with self._cond:
            if self._closed:
                return
            if len(self._items) >= self._maxsize:
                self._items.popleft()
                self.dropped += 1
            self._items.append(report)
            self._cond.notify()
            waiters, self._async_waiters = self._async_waiters, []
        self._wake_async(waiters)

    @staticmethod
    def _wake_async(waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]]) -> None:
        for loop, future in waiters:
            try:
                loop.call_soon_threadsafe(_wake, future)
            except RuntimeError:  # that loop is closed: its reader is gone
                pass

    def close(self) -> None:
        """Stops the stream: readers get what is queued, then the end."""
        self._observer.close()
        with self._cond:
            self._closed = True
            self._cond.notify_all()
            waiters, self._async_waiters = self._async_waiters, []
        self._wake_async(waiters)

    @property
    def closed(self) -> bool:
        return self._closed

    def __iter__(self) -> "EventStream":
        return self

    def __next__(self) -> TickReport:
        with self._cond:
            while not self._items:
                if self._closed:
                    raise StopIteration
                self._cond.wait()
            return self._items.popleft()

    def __aiter__(self) -> "EventStream":
        return self

    async def __anext__(self) -> TickReport:
        loop = asyncio.get_running_loop()
        while True:
            with self._cond:
                if self._items:
                    return self._items.popleft()
                if self._closed:
                    raise StopAsyncIteration
                waiter = loop.create_future()
                self._async_waiters.append((loop, waiter))
            try:
                await waiter
            finally:
                with self._cond:
                    if (loop, waiter) in self._async_waiters:
                        self._async_waiters.remove((loop, waiter))

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *args: object) -> None:
        self.close()
