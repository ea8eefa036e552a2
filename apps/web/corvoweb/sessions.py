"""Logged-in browsers and the bound on login attempts.

A session is a random token (32 bytes from `secrets`) in an HttpOnly,
SameSite=Strict cookie; the gateway keeps only its SHA-256, so a memory dump
or a log line cannot be replayed as a cookie. A session ends at logout, after
`idle` seconds without a request, `lifetime` seconds after login, or when its
user leaves the user file or gets a new password or identity. At most
`MAX_SESSIONS` live at once (the oldest goes first).

Failed logins are counted per client address and per user name over a
sliding `WINDOW`: after `MAX_FAILURES` in it, further attempts are refused at
once (without checking the password) until the oldest failure leaves the
window. Both tables are bounded (`MAX_TRACKED`).
"""

import collections
import hashlib
import secrets
import time

COOKIE = "corvo_session"
MAX_SESSIONS = 1024
MAX_FAILURES = 5
WINDOW = 60.0
MAX_TRACKED = 4096


def _digest(token):
    return hashlib.sha256(token.encode("utf-8", "replace")).hexdigest()


class Session:
    __slots__ = ("user", "identity", "created", "seen", "key")

    def __init__(self, user, identity, now, key):
        self.user, self.identity, self.created, self.seen, self.key = user, identity, now, now, key


class Sessions:
    def __init__(self, idle=1800.0, lifetime=12 * 3600.0, clock=time.monotonic):
        self.idle, self.lifetime, self.clock = idle, lifetime, clock
        self._live = collections.OrderedDict()  # digest -> Session, oldest login first
        self.ended = []  # listeners: f(session) when a session ends

    def open(self, user, identity):
        """A new session; returns (token, session)."""
        token = secrets.token_urlsafe(32)
        key = _digest(token)
        session = Session(user, identity, self.clock(), key)
        self._live[key] = session
        while len(self._live) > MAX_SESSIONS:
            self._end(next(iter(self._live)))
        return token, session

    def find(self, token):
        """The live session of `token` (its idle time restarts), else None."""
        if not token or len(token) > 256:
            return None
        key = _digest(token)
        session = self._live.get(key)
        if session is None:
            return None
        now = self.clock()
        if now - session.seen > self.idle or now - session.created > self.lifetime:
            self._end(key)
            return None
        session.seen = now
        return session

    def alive(self, session):
        """Whether `session` still holds (for sockets opened under it)."""
        now = self.clock()
        if self._live.get(session.key) is not session:
            return False
        if now - session.created > self.lifetime or now - session.seen > self.idle:
            self._end(session.key)
            return False
        return True

    def touch(self, session):
        session.seen = self.clock()

    def close(self, token):
        if token and len(token) <= 256:
            self._end(_digest(token))

    def end_users(self, names):
        """Ends every session of the users `names` (removed from the user
        file, or their password changed); returns how many ended."""
        keys = [key for key, session in self._live.items() if session.user in names]
        for key in keys:
            self._end(key)
        return len(keys)

    def _end(self, key):
        session = self._live.pop(key, None)
        if session is not None:
            for listener in self.ended:
                listener(session)

    def __len__(self):
        return len(self._live)


class LoginLimiter:
    def __init__(self, clock=time.monotonic, max_failures=MAX_FAILURES, window=WINDOW):
        self.clock, self.max_failures, self.window = clock, max_failures, window
        self._failures = collections.OrderedDict()  # key -> deque of times

    def _recent(self, key):
        times = self._failures.get(key)
        if times is None:
            return None
        limit = self.clock() - self.window
        while times and times[0] <= limit:
            times.popleft()
        if not times:
            del self._failures[key]
            return None
        return times

    def wait(self, *keys):
        """Seconds until another attempt is allowed for all `keys` (0: now)."""
        longest = 0.0
        for key in keys:
            times = self._recent(key)
            if times is not None and len(times) >= self.max_failures:
                longest = max(longest, times[0] + self.window - self.clock())
        return longest

    def failed(self, *keys):
        now = self.clock()
        for key in keys:
            times = self._recent(key)
            if times is None:
                times = self._failures[key] = collections.deque(maxlen=self.max_failures)
            times.append(now)
            self._failures.move_to_end(key)
            while len(self._failures) > MAX_TRACKED:
                self._failures.popitem(last=False)

    def succeeded(self, *keys):
        for key in keys:
            self._failures.pop(key, None)

    def forget_last(self, key):
        """Takes back the latest failure of `key` (an attempt counted before
        its check that then succeeded)."""
        times = self._failures.get(key)
        if times:
            times.pop()
