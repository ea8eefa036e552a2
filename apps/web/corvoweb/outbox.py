"""What one browser still has to receive: ordered messages plus the latest
value of each property (a newer value replaces one not yet sent).

A browser that is behind never makes a queue of values grow: at most one
value per property waits, and it is the newest. A page acknowledges each
batch it has handled (`acked`); once it does, at most `window` batches are
unacknowledged at a time, so values wait here (where newer ones replace
them) rather than in socket buffers, and the page's lag is measured: the age
of the oldest batch it has not acknowledged (`lag`). A client that never
acknowledges is sent batches as fast as its socket takes them.

Bounds: at most `max_queue` ordered messages, and none taken once they
come to `max_bytes` of JSON; `max_pending` properties with a value
waiting; log records are left out (and counted) once half the queue, or
half its bytes, is taken. A client that falls further behind, or that has
left a batch unacknowledged for `max_lag` seconds, is marked overflowed;
the server then closes its socket, and the page reconnects and starts again
from a full state (nothing is silently lost).
"""

import asyncio
import collections
import json
import time

HEARTBEAT_KEY = ("\0hb",)
MAX_BYTES = 32 * 1024 * 1024


def message_size(message):
    """The length of `message` in JSON, as it goes to the browser."""
    return len(json.dumps(message, separators=(",", ":"), default=str))


class Outbox:
    def __init__(self, min_interval=0.1, max_queue=5000, max_pending=20000, window=2, max_lag=30.0,
                 clock=time.monotonic, max_bytes=MAX_BYTES):
        self.min_interval = min_interval
        self.max_queue = max_queue
        self.max_bytes = max_bytes
        self.max_pending = max_pending
        self.window = window
        self.max_lag = max_lag
        self.clock = clock
        self.overflowed = False
        self.closed = False
        self.skipped = 0
        self._queue = collections.deque()  # (message, its size)
        self._queued_bytes = 0
        self._latest = {}  # key -> newest message not yet sent
        self._last_sent = {}  # key -> when its last message went out
        self._unacked = collections.deque()  # (seq, time sent) of batches not yet acknowledged
        self._acking = False  # the client acknowledges batches: the window applies
        self._seq = 0
        self._last_lag = 0.0
        self._wake = asyncio.Event()

    def put(self, message, size=None):
        """Queues a message that is sent in order, never dropped. `size`:
        its message_size, when the caller knows it (a message sent to
        every browser is measured once)."""
        if self.closed:
            return
        # (One message may take the bytes past the bound: the full state
        # of a large site still reaches a new page.)
        if len(self._queue) >= self.max_queue or self._queued_bytes >= self.max_bytes:
            self._overflow()
            return
        if size is None:
            size = message_size(message)
        self._queue.append((message, size))
        self._queued_bytes += size
        self._wake.set()

    def put_droppable(self, message, size=None):
        """Queues a message that may be left out when the client is behind
        (a log record): once the queue is half full such messages are
        counted instead, and the count goes out before the next one sent."""
        if self.closed:
            return
        if len(self._queue) >= self.max_queue // 2 or self._queued_bytes >= self.max_bytes // 2:
            self.skipped += 1
            return
        if self.skipped:
            self.put({"type": "skipped", "count": self.skipped})
            self.skipped = 0
        self.put(message, size)

    def put_latest(self, key, message):
        """Holds the newest value of `key`; it goes out with the next batch,
        at most once per `min_interval`."""
        if self.closed:
            return
        if key not in self._latest and len(self._latest) >= self.max_pending:
            self._overflow()
            return
        self._latest[key] = message
        self._wake.set()

    def put_heartbeat(self, message):
        """A heartbeat: the newest replaces one not yet sent; it carries
        this client's lag when it goes out. A client stuck for `max_lag`
        is given up (its page reconnects to a full state)."""
        if self._acking and self.lag() > self.max_lag:
            self._overflow()
            return
        self.put_latest(HEARTBEAT_KEY, message)

    def forget(self, key_prefix):
        """Drops held values and send times of keys starting with
        `key_prefix` (a tuple's first items), e.g. of a peer that left."""
        n = len(key_prefix)
        for table in (self._latest, self._last_sent):
            for key in [k for k in table if k[:n] == key_prefix]:
                del table[key]

    def acked(self, seq):
        """The page has handled every batch up to `seq`."""
        self._acking = True
        now = self.clock()
        while self._unacked and self._unacked[0][0] <= seq:
            first, sent = self._unacked.popleft()
            # (The first batch, the whole state, costs a page its one-off
            # drawing: the lag is of keeping up with the changes after it.)
            if first > 1:
                self._last_lag = now - sent
        self._wake.set()

    @property
    def acknowledging(self):
        """Whether the client has acknowledged a batch."""
        return self._acking

    def lag(self):
        """Seconds this client is behind: how long its oldest unacknowledged
        batch has waited, else how long the last one took (0 for a client
        that does not acknowledge: nothing tells)."""
        if not self._acking:
            return 0.0
        if self._unacked:
            return max(self._last_lag, self.clock() - self._unacked[0][1])
        return self._last_lag

    def close(self):
        self.closed = True
        self._wake.set()

    def _overflow(self):
        self.overflowed = True
        self.close()

    def _window_full(self):
        return self._acking and len(self._unacked) >= self.window

    def _due_values(self, now, room):
        """Held values whose interval has passed (at most `room`), taken;
        also returns when the next one falls due (or None)."""
        due, next_due = [], None
        for key in list(self._latest):
            if len(due) >= room:
                break
            last = self._last_sent.get(key)
            at = now if last is None or key == HEARTBEAT_KEY else last + self.min_interval
            if at <= now:
                message = self._latest.pop(key)
                if key == HEARTBEAT_KEY:
                    message = dict(message, lag=round(self.lag(), 3))
                else:
                    self._last_sent[key] = now
                due.append(message)
            elif next_due is None or at < next_due:
                next_due = at
        return due, next_due

    async def take(self, limit=500):
        """Waits for the next batch to send (at most `limit` messages) and
        the room to send it; returns (seq, messages), or (None, []) once the
        outbox is closed."""
        while not self.closed:
            next_due = None
            if not self._window_full():
                now = self.clock()
                batch = []
                while self._queue and len(batch) < limit:
                    message, size = self._queue.popleft()
                    self._queued_bytes -= size
                    batch.append(message)
                values, next_due = self._due_values(now, limit - len(batch)) if self._latest else ([], None)
                batch.extend(values)
                if batch:
                    self._seq += 1
                    self._unacked.append((self._seq, now))
                    if not self._acking and len(self._unacked) > self.window:
                        self._unacked.popleft()  # kept only to measure a client that acknowledges
                    return self._seq, batch
            self._wake.clear()
            timeout = None if next_due is None else max(0.0, next_due - self.clock())
            try:
                await asyncio.wait_for(self._wake.wait(), timeout)
            except asyncio.TimeoutError:
                pass
        return None, []
