"""Plots start from the archive: values of a property over a span of time
through `corvo.history`, off the event loop.

The archive is opened at the first plot, not at start: the archiver may
create its database after the gateway starts. An archive that cannot be
opened is tried again at the next plot, at most once every `RETRY_SECONDS`
(plots in between get the last reason at once).

A plot asks for a time range, `since` inclusive and `until` exclusive, and
a point budget (at most `MAX_POINTS`): it gets the recorded values when the
range holds no more, else the mean of each of `points` intervals (the
archive answers those from its roll-ups where it keeps them).
"""

import asyncio
import inspect
import logging
import math
import time

MAX_POINTS = 2000
RETRY_SECONDS = 2.0

log = logging.getLogger("corvo-web")


class Unavailable(Exception):
    """The archive cannot be opened now; the text says why."""


class History:
    def __init__(self, db):
        import corvo.history

        self.db = db
        self.archive = corvo.history.open(db)
        self.lock = asyncio.Lock()  # one query at a time

    async def series(self, peer, prop, since, until, points=MAX_POINTS):
        """[[time, value], ...] of a numeric property in [since, until),
        oldest first, at most `points` of them."""
        loop = asyncio.get_running_loop()
        async with self.lock:
            return await loop.run_in_executor(None, self._series, peer, prop, since, until, points)

    def _series(self, peer, prop, since, until, points):
        try:
            return self._read(peer, prop, since, until, max(1, min(points, MAX_POINTS)))
        except Exception as e:
            # A property the archive never recorded has no past to show.
            if type(e).__name__ == "NotFoundError":
                return []
            raise

    def _read(self, peer, prop, since, until, budget):
        # The recorded values themselves when there are few enough, else the
        # mean of each of `budget` intervals.
        rows = self._aggregate(peer, prop, since, until, budget)
        if sum(r[4] for r in rows) <= budget:
            points = [[_seconds(t), v] for t, v in self.archive.samples(peer, prop, since, until)]
        else:
            points = [[_seconds(r[0]), r[2]] for r in rows]
        points = [[t, float(v)] for t, v in points if _number(v) and since <= t < until]
        return points[-budget:]


    def _aggregate(self, peer, prop, since, until, budget):
        # The archive picks intervals its roll-ups answer when it takes a
        # point budget; an older package is given the interval.
        if "points" in inspect.signature(self.archive.aggregate).parameters:
            return self.archive.aggregate(peer, prop, since, until, points=budget)
        return self.archive.aggregate(peer, prop, since, until, max((until - since) / budget, 1e-3))


def _number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def _seconds(t):
    return t.timestamp() if hasattr(t, "timestamp") else float(t)


class Archive:
    """The archive named by --history, opened lazily (see the module text)."""

    def __init__(self, db, opener=None, clock=time.monotonic):
        self.db = db
        self._opener = opener or History
        self._clock = clock
        self._history = None
        self._why = None
        self._failed_at = None
        self._lock = None

    async def series(self, peer, prop, since, until, points=MAX_POINTS):
        history = await self._open()
        return await history.series(peer, prop, since, until, points)

    async def _open(self):
        if self._history is not None:
            return self._history
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:  # one attempt at a time, however many plots ask
            if self._history is not None:
                return self._history
            if self._failed_at is not None and self._clock() - self._failed_at < RETRY_SECONDS:
                raise Unavailable(self._why)
            loop = asyncio.get_running_loop()
            try:
                self._history = await loop.run_in_executor(None, self._opener, self.db)
            except ImportError:
                self._fail("the Python package corvo.history is not installed")
            except Exception as e:
                self._fail("the archive %s cannot be opened: %s" % (self.db, str(e)[:200] or type(e).__name__))
            return self._history

    def _fail(self, why):
        if why != self._why:
            log.warning("plots show live values only: %s", why)
        self._why = why
        self._failed_at = self._clock()
        raise Unavailable(why)


def open_history(db):
    """The archive for plots (opened at the first plot), or None when no
    --history was given."""
    return Archive(db) if db else None
