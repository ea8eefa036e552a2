"""corvo.history: what the archiver recorded (corvo-archiver), read back.

    import corvo.history
    h = corvo.history.open("/data/corvo/history.db")   # or "postgresql://..."
    h.samples("camera", "temperature", since="2h")     # [(time, value), ...]
    h.aggregate("camera", "temperature", "1d", "now", 60)  # [(t, min, mean, max, count), ...]
    h.aggregate("camera", "temperature", "365d", points=1000)  # at most 1,000 intervals
    h.series("camera")                # [(peer, property, type, unit, first, last, count), ...]
    h.logs(peer=None, since="1h")     # [(time, peer, logger, level, text, sent), ...]
    h.status("camera", since="1d")    # [(time, value, name), ...]
    h.gaps(since="7d")                # [(start, end, reason, dropped), ...]

Times are seconds since the Unix epoch (float). `since` and `until` also take
a datetime or a time expression as `corvo history` reads it ("2h" is two
hours ago, "now", "2026-12-08T01:30Z"); `every` takes seconds, a timedelta or
a duration ("1m"); `points` instead asks for at most that many intervals (an
interval the archiver's roll-ups answer quickly). Samples come in receive
order, `since` inclusive, `until` exclusive. Values: int, float (NaN when the sender's value was NaN), str,
lists as lists. A peer or property never recorded raises
corvo.NotFoundError; a database that cannot be read raises DatabaseError (a
corvo.CorvoError). At most 2,000,000 rows come back from one call; ask for a
shorter span or aggregate beyond that. Calls release the GIL and may be made
from any thread (one query at a time per History).
"""

import datetime as _datetime
import time as _time

from . import _history
from ._errors import CorvoError, NotFoundError

__all__ = ["open", "History", "DatabaseError", "default_database"]


class DatabaseError(CorvoError):
    """The history database cannot be opened or read."""


def default_database():
    """Where the archiver writes when it is given no database."""
    return _history.default_database()


def _time_point(value, now, what):
    if value is None:
        return now
    if isinstance(value, bool):
        raise TypeError("%s: a time, not %r" % (what, value))
    if isinstance(value, (int, float)):
        return float(value)
    if isinstance(value, _datetime.datetime):
        return value.timestamp()
    if isinstance(value, str):
        t = _history.parse_time(value, now)
        if t is None:
            raise ValueError("%s: bad time expression %r" % (what, value))
        return t
    raise TypeError("%s: a time, not %r" % (what, value))


def _duration(value):
    if isinstance(value, _datetime.timedelta):
        return value.total_seconds()
    if isinstance(value, str):
        d = _history.parse_duration(value)
        if d is None:
            raise ValueError("every: bad duration %r" % (value,))
        return d
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("every: seconds, not %r" % (value,))
    return float(value)


def _span(since, until):
    now = _time.time()
    start = _time_point(since if since is not None else "1d", now, "since")
    end = _time_point(until, now, "until")
    # `until` is exclusive, as in the tool.
    return start, end


def _call(fn, *args):
    try:
        return fn(*args)
    except _history.NotFoundError as e:
        raise NotFoundError(str(e)) from None
    except _history.DatabaseError as e:
        raise DatabaseError(str(e)) from None


class History:
    """One history database, read-only."""

    def __init__(self, db=None):
        self._h = _call(_history.History, db or default_database())

    @property
    def backend(self):
        """The database, named without credentials."""
        return self._h.backend

    def samples(self, peer, prop, since=None, until=None):
        return _call(self._h.samples, peer, prop, *_span(since, until))

    def aggregate(self, peer, prop, since=None, until=None, every=60.0, points=None):
        if points is not None:
            if isinstance(points, bool) or not isinstance(points, int) or points < 1:
                raise ValueError("points: a positive number, not %r" % (points,))
            return _call(self._h.aggregate, peer, prop, *_span(since, until), 0.0, points)
        return _call(self._h.aggregate, peer, prop, *_span(since, until), _duration(every), 0)

    def series(self, peer=None):
        """The recorded series (of one peer): (peer, property, type, unit,
        first, last, count), by peer and property."""
        return _call(self._h.list, peer or "")

    def logs(self, peer=None, since=None, until=None):
        return _call(self._h.logs, peer or "", *_span(since, until))

    def status(self, peer, since=None, until=None):
        return _call(self._h.status, peer, *_span(since, until))

    def gaps(self, since=None, until=None):
        return _call(self._h.gaps, *_span(since, until))

    def close(self):
        self._h.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open(db=None):  # noqa: A001 - the agreed name
    """A History on a database path or postgresql:// URL (default: the
    archiver's default path)."""
    return History(db)
