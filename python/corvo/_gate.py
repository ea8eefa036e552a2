"""Concurrency policies of a Python daemon's ``async def`` handlers.

Each command and each property with an ``async def`` change handler has a
gate. A request is admitted or refused at once on the library's thread, so a
flood of requests never creates more than a bounded number of waiting
requests; the admitted ones run one at a time on the package's asyncio
thread, in the order they came:

- ``"refuse"`` (the default for commands): a request that arrives while
  another runs (or waits) is refused with "busy: NAME is running";
- ``"queue"`` (the default for change handlers): up to ``queue`` requests
  wait for their turn; beyond, the new one is refused;
- ``"cancel"``: a new request cancels the running one (which may answer from
  its ``except asyncio.CancelledError`` or ``finally``) and runs after it has
  ended; a request still waiting is refused as superseded.

So at most one handler per command or property runs at a time, and at most
``queue`` (at most MAX_QUEUE) requests wait for each.
"""

from __future__ import annotations

import asyncio
import collections
import threading
from typing import Any, Callable, Coroutine, Deque, Optional

from ._errors import RefusedError, WrongTypeError, WrongValueError

__all__ = ["POLICIES", "MAX_QUEUE", "Gate", "check_policy"]

POLICIES = ("refuse", "queue", "cancel")

#: The most requests a ``queue`` policy lets wait for one command or property.
MAX_QUEUE = 1000

#: Requests waiting by default under the ``queue`` policy.
DEFAULT_QUEUE = 8


def check_policy(policy: str, queue: Optional[int]) -> int:
    """The queue length for `policy` (WrongValueError for a bad one)."""
    if policy not in POLICIES:
        raise WrongValueError("policy %r: one of %s" % (policy, ", ".join(POLICIES)))
    if policy != "queue":
        if queue is not None:
            raise WrongValueError("queue= is for the 'queue' policy")
        return 0
    if queue is None:
        return DEFAULT_QUEUE
    if not isinstance(queue, int) or isinstance(queue, bool):
        raise WrongTypeError("queue: an int, not %r" % (queue,))
    if not 1 <= queue <= MAX_QUEUE:
        raise WrongValueError("queue: between 1 and %d, not %d" % (MAX_QUEUE, queue))
    return queue


class Job:
    """One admitted request: `start()` makes its coroutine; `refuse(reason)`
    answers the requester when it never runs."""
    __slots__ = ("start", "refuse")

    def __init__(self, start: Callable[[], Coroutine], refuse: Callable[[str], None]):
        self.start = start
        self.refuse = refuse


class Gate:
    """The admission and the serial run of one command's or property's
    requests. `admit` runs on the library's thread, the worker on the
    asyncio thread; one lock guards what they share."""

    def __init__(self, what: str, policy: str, queue: int, runner: "Runner"):
        self.what = what
        self.policy = policy
        self.queue = queue
        self._runner = runner
        self._lock = threading.Lock()
        self._pending: Deque[Job] = collections.deque()
        self._working = False  # a worker runs (a request runs or waits)
        self._admitted = 0
        self._current: Optional[asyncio.Task] = None
        self._closed = False

    def admit(self, job: Job) -> None:
        """Admits `job` or raises RefusedError with the reason."""
        superseded = []
        with self._lock:
            if self._closed:
                raise RefusedError("shutting down")
            # Admitted and not yet ended: the running request (or the next to
            # run, before the worker took it) and those waiting.
            if self.policy == "refuse" and self._admitted:
                raise RefusedError("busy: %s is running" % self.what)
            if self.policy == "queue" and self._admitted > self.queue:
                raise RefusedError("busy: %d requests of %s wait already" % (self._admitted - 1, self.what))
            if self.policy == "cancel":
                superseded = list(self._pending)
                self._pending.clear()
                self._admitted -= len(superseded)
                running = self._current
            self._pending.append(job)
            self._admitted += 1
            start = not self._working
            self._working = True
        for old in superseded:
            old.refuse("superseded by a newer request of %s" % self.what)
        if self.policy == "cancel" and running is not None:
            self._runner.cancel(running)
        if start:
            self._runner.start(self._work())

    def close(self) -> None:
        """Refuses the waiting requests and admits no more; the running one
        is left to the daemon's shutdown."""
        with self._lock:
            self._closed = True
            waiting = list(self._pending)
            self._pending.clear()
        for job in waiting:
            job.refuse("shutting down")
        with self._lock:
            self._admitted -= len(waiting)

    async def _work(self) -> None:
        while True:
            with self._lock:
                if not self._pending:
                    self._working = False
                    self._current = None
                    return
                job = self._pending.popleft()
                task = self._runner.task(job.start())
                self._current = task
            try:
                # A request ends by itself, or cancelled (by a newer one, or
                # the shutdown); it answers and reports its own errors.
                await asyncio.wait({task})
            except asyncio.CancelledError:
                # The worker itself was cancelled: its request goes with it,
                # and the ones waiting are refused.
                task.cancel()
                with self._lock:
                    waiting = list(self._pending)
                    self._pending.clear()
                    self._admitted = 0
                    self._working = False
                    self._current = None
                for other in waiting:
                    other.refuse("shutting down")
                raise
            with self._lock:
                self._admitted -= 1


class Runner:
    """What a gate needs from its daemon: start a worker, make a tracked
    task of a request, cancel a task from any thread."""

    def start(self, coroutine: Coroutine) -> Any:
        raise NotImplementedError

    def task(self, coroutine: Coroutine) -> asyncio.Task:
        raise NotImplementedError

    def cancel(self, task: asyncio.Task) -> None:
        raise NotImplementedError
