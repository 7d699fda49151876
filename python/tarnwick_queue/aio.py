"""AsyncQueue: the face for asyncio.

The fast operations (put, settling a message, peek, stats) are called
directly: they take the queue's lock and write, as a socket send would. Only
waiting for a message goes through the event loop: the queue's change watch
is registered with the loop (add_reader), so a waiting get costs no thread
and no timer beyond the earliest lease or delay that comes due.
"""

from __future__ import annotations

import asyncio
import os
import time
from queue import Empty
from typing import Any, Iterable, List, Optional, Union

from ._types import Body, Message, MessageInfo, QueueBackend, QueueStats, _seconds
from .local import Queue
from .waiting import UNWATCHED_CAP, WATCHED_CAP


class AsyncQueue:
    """A queue for coroutines, with the same constructor as Queue:

        async with AsyncQueue("/var/tmp/jobs") as q:
            await q.put(b"resize 42")
            async for message in q:
                try:
                    with message:         # acked on success, nacked (and re-raised) on error
                        await handle(message.body)
                except Exception:         # without this, the first failing job ends the loop
                    log.exception("job %d failed", message.id)

    `AsyncQueue.wrap(backend)` puts any other queue backend behind it.
    Messages are settled as usual: message.ack(), nack(), dead(), extend().
    One AsyncQueue serves one event loop."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], **options: Any) -> None:
        self._init(Queue(path, **options))

    @classmethod
    def wrap(cls, backend: QueueBackend) -> "AsyncQueue":
        """An AsyncQueue over an open backend; close() closes it."""
        self = cls.__new__(cls)
        self._init(backend)
        return self

    def _init(self, backend: QueueBackend) -> None:
        self.queue = backend
        self.dead_letters = backend.dead_letters
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._fd: Optional[int] = None       # registered with the loop while anyone waits
        self._changed: Optional[asyncio.Future] = None  # resolved at the next change seen
        self._waiting = 0
        self._watchable = hasattr(backend, "_arm_watch")

    # --- producing ---

    async def put(self, body: Body, *, delay: float = 0.0) -> int:
        seq = self.queue.put(body, delay=delay)
        self._wake()
        return seq

    async def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0) -> List[int]:
        seqs = self.queue.put_many(bodies, delay=delay)
        self._wake()
        return seqs

    # --- consuming ---

    async def get(self, timeout: Optional[float] = None, *,
                  lease: Optional[float] = None) -> Message:
        """Leases the oldest ready message, waiting for one (at most
        `timeout` seconds if given: then raises queue.Empty)."""
        def look() -> List[Message]:
            try:
                return [self.queue.get(block=False, lease=lease)]
            except Empty:
                return []
        taken = await self._take(look, timeout, forever=timeout is None)
        if not taken:
            raise Empty
        return taken[0]

    def get_nowait(self, *, lease: Optional[float] = None) -> Message:
        return self.queue.get(block=False, lease=lease)

    async def get_many(self, max: int, timeout: float = 0.0, *,
                       lease: Optional[float] = None) -> List[Message]:
        """Leases up to `max` ready messages, waiting up to `timeout` seconds
        for the first; an empty list when none came."""
        if max == 0:
            return self.queue.get_many(0, 0.0, lease=lease)  # checks the arguments
        return await self._take(lambda: self.queue.get_many(max, 0.0, lease=lease),
                                timeout, forever=False)

    def ack_many(self, messages: Iterable[Message]) -> None:
        """Acks the messages in one commit, as the backend's ack_many()."""
        self.queue.ack_many(messages)

    def __aiter__(self) -> "AsyncQueue":
        return self

    async def __anext__(self) -> Message:
        return await self.get()

    async def _take(self, look: Any, timeout: Optional[float], forever: bool) -> List[Message]:
        loop = asyncio.get_running_loop()
        give_up = None if forever else loop.time() + _seconds(timeout or 0.0, "timeout")
        while True:
            # Watch first, look second: a change after the look makes the
            # watch readable, and only the loop's callback drains it.
            changed = self._change_future(loop)
            taken = look()
            if taken:
                return taken
            wait = WATCHED_CAP if self._fd is not None else UNWATCHED_CAP
            if give_up is not None:
                left = give_up - loop.time()
                if left <= 0:
                    return []
                wait = min(wait, left)
            due = self.queue._next_due() if self._watchable else None
            if due is not None:
                # A millisecond over, so the lease has surely ended on waking.
                wait = min(wait, max(0.0, due - time.time() + 0.001))
            self._waiting += 1
            try:
                await asyncio.wait([changed], timeout=wait)
            finally:
                self._waiting -= 1
                if self._waiting == 0:
                    self._unwatch()

    # --- waking ---

    def _change_future(self, loop: asyncio.AbstractEventLoop) -> asyncio.Future:
        if self._loop is not loop:
            if self._loop is not None and self._waiting:
                raise RuntimeError("this AsyncQueue is in use by another event loop")
            self._unwatch()
            self._loop = loop
            self._changed = None
        if self._fd is None and self._watchable:
            fd = self.queue._arm_watch()
            if fd is not None:
                loop.add_reader(fd, self._on_change)
                self._fd = fd
        if self._changed is None or self._changed.done():
            self._changed = loop.create_future()
        return self._changed

    def _on_change(self) -> None:
        # Draining may close the descriptor (a server connection that broke)
        # and arming may open another with the same number, so it leaves the
        # loop first and the one armed now is registered anew.
        self._unwatch()
        fd = self.queue._arm_watch()
        if fd is not None and self._waiting and self._loop is not None:
            self._loop.add_reader(fd, self._on_change)
            self._fd = fd
        self._wake()

    def _wake(self) -> None:
        changed, self._changed = self._changed, None
        if changed is not None and not changed.done():
            changed.set_result(None)

    def _unwatch(self) -> None:
        if self._fd is not None and self._loop is not None and not self._loop.is_closed():
            self._loop.remove_reader(self._fd)
        self._fd = None

    # --- looking, and the rest ---

    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]:
        return self.queue.peek(limit, bodies=bodies)

    def stats(self) -> QueueStats:
        return self.queue.stats()

    def close(self) -> None:
        """Closes the queue; waiting gets end with ValueError."""
        self._unwatch()
        self.queue.close()
        self._wake()

    async def __aenter__(self) -> "AsyncQueue":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"AsyncQueue({self.queue!r})"
