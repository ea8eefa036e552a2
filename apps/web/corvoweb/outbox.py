"""What one browser still has to receive: ordered messages plus throttled
property values (latest wins).

Bounds: at most `max_queue` ordered messages and `max_pending` held-back
property values wait at any time; log records are left out (and counted)
once half the queue is taken. A client that falls further behind is
marked overflowed; the server then closes its socket, and the page reconnects
and starts again from a full state (nothing is silently lost).
"""

import asyncio
import collections
import time


class Outbox:
    def __init__(self, min_interval=0.1, max_queue=5000, max_pending=20000, clock=time.monotonic):
        self.min_interval = min_interval
        self.max_queue = max_queue
        self.max_pending = max_pending
        self.clock = clock
        self.overflowed = False
        self.closed = False
        self.skipped = 0
        self._queue = collections.deque()
        self._pending = {}  # key -> latest message not yet sent
        self._last_sent = {}  # key -> time its last message was queued
        self._wake = asyncio.Event()

    def put(self, message):
        """Queues a message that is sent in order, never dropped."""
        if self.closed:
            return
        if len(self._queue) >= self.max_queue:
            self._overflow()
            return
        self._queue.append(message)
        self._wake.set()

    def put_droppable(self, message):
        """Queues a message that may be left out when the client is behind
        (a log record): once the queue is half full such messages are
        counted instead, and the count goes out before the next one sent."""
        if self.closed:
            return
        if len(self._queue) >= self.max_queue // 2:
            self.skipped += 1
            return
        if self.skipped:
            self.put({"type": "skipped", "count": self.skipped})
            self.skipped = 0
        self.put(message)

    def put_latest(self, key, message):
        """Queues a value of `key`, at most one per `min_interval`; a newer
        value replaces one still held back."""
        if self.closed:
            return
        if self.min_interval <= 0:
            self.put(message)
            return
        now = self.clock()
        last = self._last_sent.get(key)
        if key not in self._pending and (last is None or now - last >= self.min_interval):
            self._last_sent[key] = now
            self.put(message)
            return
        if key not in self._pending and len(self._pending) >= self.max_pending:
            self._overflow()
            return
        self._pending[key] = message
        self._wake.set()

    def forget(self, key_prefix):
        """Drops held-back values and send times of keys starting with
        `key_prefix` (a tuple's first items), e.g. of a peer that left."""
        n = len(key_prefix)
        for table in (self._pending, self._last_sent):
            for key in [k for k in table if k[:n] == key_prefix]:
                del table[key]

    def close(self):
        self.closed = True
        self._wake.set()

    def _overflow(self):
        self.overflowed = True
        self.close()

    def _due(self, now):
        """Held-back values whose interval has passed, moved to the queue;
        returns the time the next one falls due (or None)."""
        next_due = None
        for key in list(self._pending):
            due = self._last_sent.get(key, now) + self.min_interval
            if due <= now:
                self._queue.append(self._pending.pop(key))
                self._last_sent[key] = now
            elif next_due is None or due < next_due:
                next_due = due
        return next_due

    async def take(self, limit=500):
        """Waits for the next messages to send (at most `limit`); returns []
        once the outbox is closed."""
        while not self.closed:
            next_due = self._due(self.clock()) if self._pending else None
            if self._queue:
                batch = []
                while self._queue and len(batch) < limit:
                    batch.append(self._queue.popleft())
                return batch
            self._wake.clear()
            timeout = None if next_due is None else max(0.0, next_due - self.clock())
            try:
                await asyncio.wait_for(self._wake.wait(), timeout)
            except asyncio.TimeoutError:
                pass
        return []
