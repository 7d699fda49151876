"""AsyncQueue: the face for asyncio.

The fast operations (put, settling a message, peek, stats) are called
directly: they take the queue's lock and write, as a socket send would. Only
waiting for a message goes through the event loop: the queue's watch
(BaseQueue.watch()) is registered with the loop (add_reader), and a look
that finds nothing also says when the earliest lease or delay ends
(BaseQueue.take()), so a waiting get costs no thread, and wakes for a change,
that due time or its timeout: an idle loop is idle.
"""

from __future__ import annotations

import asyncio
import os
from queue import Empty
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Optional,
    Tuple,
    TypeVar,
    Union,
)

from . import _checks
from ._face import BaseQueue, Body, Message, PutOptions, QueueBackend
from .driver import MessageInfo, QueueStats, Status
from .waiting import LONGEST_WAIT, UNWATCHED_CAP

if TYPE_CHECKING:
    from typing_extensions import Unpack

# The longest a wait on a watch lasts without a change, a due time or a
# timeout: as long as a blocking get's (waiting.LONGEST_WAIT). A shorter cap
# would only wake an idle loop to look.
WATCHED_CAP = LONGEST_WAIT

_A = TypeVar("_A", bound="AsyncFace")
Look = Callable[[], Tuple[List[Message], Optional[float]]]


class AsyncFace:
    """Everything of AsyncQueue but its constructor: the coroutine face over
    an open queue `queue` (any queue of the face, or any QueueBackend)."""

    def __init__(self, queue: QueueBackend) -> None:
        self.queue = queue
        self.dead_letters = queue.dead_letters
        # A queue of the face offers a watch and looks that report the due
        # time; any other backend is looked at on a timer.
        self._face = queue if isinstance(queue, BaseQueue) else None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._fd: Optional[int] = None       # registered with the loop while anyone waits
        self._changed: Optional[asyncio.Future[None]] = None  # resolved at the next change
        self._waiting = 0

    # --- producing ---

    async def put(self, body: Body, *, delay: float = 0.0,
                  **options: Unpack[PutOptions]) -> int:
        """As the queue's put(), with the same options."""
        seq = self.queue.put(body, delay=delay, **options)
        self._wake()
        return seq

    async def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0, priority: int = 0,
                       group: Optional[str] = None,
                       headers: Optional[Dict[str, str]] = None) -> List[int]:
        seqs = self.queue.put_many(bodies, delay=delay, priority=priority, group=group,
                                   headers=headers)
        self._wake()
        return seqs

    def cancel(self, id: int) -> bool:
        """Removes a ready or scheduled message; False when it is leased,
        settled or unknown."""
        return self.queue.cancel(id)

    # --- consuming ---

    async def get(self, timeout: Optional[float] = None, *,
                  lease: Optional[float] = None) -> Message:
        """Leases the next ready message (as the queue's get()), waiting for one (at most
        `timeout` seconds if given: then raises queue.Empty)."""
        taken = await self._take(self._look(1, lease), timeout, forever=timeout is None)
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
        return await self._take(self._look(max, lease), timeout, forever=False)

    def ack_many(self, messages: Iterable[Message]) -> None:
        """Acks the messages in one commit, as the backend's ack_many()."""
        self.queue.ack_many(messages)

    def __aiter__(self: _A) -> _A:
        return self

    async def __anext__(self) -> Message:
        return await self.get()

    def _look(self, count: int, lease: Optional[float]) -> Look:
        face, queue = self._face, self.queue
        if face is not None:
            return lambda: face.take(count, lease=lease)
        if count == 1:
            def look_one() -> Tuple[List[Message], Optional[float]]:
                try:
                    return [queue.get(block=False, lease=lease)], None
                except Empty:
                    return [], None
            return look_one
        return lambda: (queue.get_many(count, 0.0, lease=lease), None)

    async def _take(self, look: Look, timeout: Optional[float],
                    forever: bool) -> List[Message]:
        loop = asyncio.get_running_loop()
        give_up = None if forever else loop.time() + _checks.seconds(timeout or 0.0, "timeout")
        while True:
            # Watch first, look second: a change after the look makes the
            # watch readable, and only the loop's callback drains it.
            changed = self._change_future(loop)
            taken, until_due = look()
            if taken:
                return taken
            wait = WATCHED_CAP if self._fd is not None else UNWATCHED_CAP
            if give_up is not None:
                left = give_up - loop.time()
                if left <= 0:
                    return []
                wait = min(wait, left)
            if until_due is not None:
                # A millisecond over, so the lease has surely ended on waking.
                wait = min(wait, max(0.0, until_due + 0.001))
            self._waiting += 1
            try:
                await asyncio.wait([changed], timeout=wait)
            finally:
                self._waiting -= 1
                if self._waiting == 0:
                    self._unwatch()

    # --- waking ---

    def _change_future(self, loop: asyncio.AbstractEventLoop) -> asyncio.Future[None]:
        if self._loop is not loop:
            if self._loop is not None and self._waiting:
                raise RuntimeError("this AsyncQueue is in use by another event loop")
            self._unwatch()
            self._loop = loop
            self._changed = None
        if self._fd is None:
            self._register(loop)
        if self._changed is None or self._changed.done():
            self._changed = loop.create_future()
        return self._changed

    def _register(self, loop: asyncio.AbstractEventLoop) -> None:
        # The loop thread's watch, armed: readable once the queue changes.
        if self._face is None:
            return
        watch = self._face.watch()
        watch.arm()
        fd = watch.fileno()
        if fd is not None:
            loop.add_reader(fd, self._on_change)
            self._fd = fd

    def _on_change(self) -> None:
        # Draining may close the descriptor (a server connection that broke)
        # and arming may open another with the same number, so it leaves the
        # loop first and the one armed now is registered anew.
        self._unwatch()
        if self._loop is not None:
            if self._waiting:
                self._register(self._loop)
            elif self._face is not None:
                self._face.watch().arm()
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

    def status(self, id: int) -> Optional[Status]:
        """What became of the message `id` (see BaseQueue.status)."""
        return self.queue.status(id)

    def outcomes(self, state: Optional[str] = None, limit: int = 100, *,
                 since: Optional[float] = None) -> List[Status]:
        """The latest finished messages (see BaseQueue.outcomes)."""
        return self.queue.outcomes(state, limit, since=since)

    # --- the queue's settings ---

    def pause(self) -> None:
        """Stops deliveries in every process until resume(); a waiting
        get() waits on."""
        self.queue.pause()

    def resume(self) -> None:
        """Lets deliveries go on; wakes the waiting gets (through the
        queue's watch, and here at once)."""
        self.queue.resume()
        self._wake()

    @property
    def paused(self) -> bool:
        return self.queue.paused

    @property
    def group_limit(self) -> int:
        """The queue's group limit (see BaseQueue.group_limit)."""
        if self._face is None:
            raise AttributeError("group_limit needs a queue of the face")
        return self._face.group_limit

    @group_limit.setter
    def group_limit(self, limit: int) -> None:
        if self._face is None:
            raise AttributeError("group_limit needs a queue of the face")
        self._face.group_limit = limit

    def close(self) -> None:
        """Closes the queue; waiting gets end with ValueError."""
        self._unwatch()
        self.queue.close()
        self._wake()

    async def __aenter__(self: _A) -> _A:
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"AsyncQueue({self.queue!r})"


class AsyncQueue(AsyncFace):
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

    def __init__(self, path: Union[str, os.PathLike[str]], **options: Any) -> None:
        from .local import Queue  # not loaded where only PostgreSQL is used
        super().__init__(Queue(path, **options))

    @classmethod
    def wrap(cls, backend: QueueBackend) -> AsyncQueue:
        """An AsyncQueue over an open backend; close() closes it."""
        return _Wrapped(backend)

class _Wrapped(AsyncQueue):
    # What wrap() returns: an AsyncQueue over a queue opened elsewhere.
    def __init__(self, backend: QueueBackend) -> None:
        AsyncFace.__init__(self, backend)
