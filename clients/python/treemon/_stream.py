"""An iterator over periodic snapshots. Snapshots that arrive before they are asked for are kept
in arrival order; the iterator ends cleanly, or raises the error it was ended with, once the
queue is empty. Safe to feed from the client's reader thread while another thread iterates."""

import threading
from collections import deque
from concurrent.futures import Future
from typing import Callable, Deque, Iterator, Optional, Union

from .errors import TreemonError
from .types import Snapshot


class _End:
    pass


_END = _End()
_Item = Union[Snapshot, _End]


class SnapshotStream(Iterator[Snapshot]):
    """Periodic snapshots from the moment it was made; ends after shutdown, raises the
    TreemonError of an unexpected end. Use it as a context manager, or close() it, to stop
    collecting snapshots."""

    def __init__(self, on_close: Callable[["SnapshotStream"], None]) -> None:
        self._lock = threading.Lock()
        self._queued: Deque[Snapshot] = deque()
        self._waiters: "Deque[Future[Snapshot | _End]]" = deque()
        self._ended = False
        self._error: Optional[TreemonError] = None
        self._on_close = on_close

    def push(self, snapshot: Snapshot) -> None:
        with self._lock:
            waiter = self._waiters.popleft() if self._waiters else None
            if waiter is None:
                self._queued.append(snapshot)
        if waiter is not None:
            waiter.set_result(snapshot)

    def end(self, error: Optional[TreemonError] = None) -> None:
        """No more snapshots; readers get what is queued, then the end or `error`."""
        with self._lock:
            if self._ended:
                return
            self._ended = True
            self._error = error
            waiters = list(self._waiters)
            self._waiters.clear()
        for waiter in waiters:
            self._settle_end(waiter)

    def next_future(self) -> "Future[_Item]":
        """The next snapshot, or the end, as a future (for the asyncio wrapper)."""
        waiter: "Future[_Item]" = Future()
        with self._lock:
            if self._queued:
                waiter.set_result(self._queued.popleft())
                return waiter
            if not self._ended:
                self._waiters.append(waiter)
                return waiter
        self._settle_end(waiter)
        return waiter

    def __next__(self) -> Snapshot:
        value = self.next_future().result()
        if isinstance(value, _End):
            raise StopIteration
        return value

    def __iter__(self) -> "SnapshotStream":
        return self

    def close(self) -> None:
        with self._lock:
            self._queued.clear()
            self._error = None
        self.end()
        self._on_close(self)

    def __enter__(self) -> "SnapshotStream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _settle_end(self, waiter: "Future[_Item]") -> None:
        with self._lock:
            error, self._error = self._error, None
        if error is None:
            waiter.set_result(_END)
        else:
            waiter.set_exception(error)
