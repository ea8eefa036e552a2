"""Plots start from the archive: values of a property over a span of time
through `corvo.history`, off the event loop.

Bounds: a series has at most `MAX_POINTS` points; longer spans are asked for
as aggregates (the mean of each interval).
"""

import asyncio
import math

MAX_POINTS = 2000


class History:
    def __init__(self, db):
        import corvo.history

        self.db = db
        self.archive = corvo.history.open(db)
        self.lock = asyncio.Lock()  # one query at a time

    async def series(self, peer, prop, since, until):
        """[[time, value], ...] of a numeric property, oldest first."""
        loop = asyncio.get_running_loop()
        async with self.lock:
            return await loop.run_in_executor(None, self._series, peer, prop, since, until)

    def _series(self, peer, prop, since, until):
        try:
            return self._read(peer, prop, since, until)
        except Exception as e:
            # A property the archive never recorded has no past to show.
            if type(e).__name__ == "NotFoundError":
                return []
            raise

    def _read(self, peer, prop, since, until):
        every = (until - since) / MAX_POINTS
        if every >= 1.0:
            rows = self.archive.aggregate(peer, prop, since, until, every)
            points = [[_seconds(r[0]), r[2]] for r in rows]
        else:
            points = [[_seconds(t), v] for t, v in self.archive.samples(peer, prop, since, until)]
        points = [[t, float(v)] for t, v in points if _number(v)]
        return points[-MAX_POINTS:]


def _number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def _seconds(t):
    return t.timestamp() if hasattr(t, "timestamp") else float(t)


def open_history(db):
    """A History, or None with the reason when there is no archive."""
    if not db:
        return None, "no --history given"
    try:
        return History(db), None
    except ImportError:
        return None, "the Python package corvo.history is not installed"
    except Exception as e:
        return None, "the archive %s cannot be opened: %s" % (db, e)
