"""One site node per logged-in identity, for that identity's writes and
commands: the daemons' access rules and audit see the person, not the
gateway.

A node is made at the identity's first write (named after the identity,
with its key `IDENTITY` from the key directory on a secured site), shared
by every session of that identity, and closed after `idle` seconds without
a request. At most `limit` nodes are open: when all are in use, a new
identity is refused with the reason; otherwise the longest idle one is
closed to make room.

An identity that names a daemon (a member of the site that is not a client)
gets no node: two members of one name would make the daemon ambiguous for
every node on the site. The write is refused with the reason instead.
"""

import asyncio
import logging
import time

from .site import Refused

log = logging.getLogger("corvo-web")


class Writer:
    __slots__ = ("identity", "site", "used", "busy", "ready")

    def __init__(self, identity, now):
        self.identity, self.site, self.used, self.busy = identity, None, now, 0
        self.ready = asyncio.get_running_loop().create_future()


class Writers:
    def __init__(self, make_site, limit=16, idle=300.0, clock=time.monotonic, check=None):
        """`make_site(identity)` returns an unopened corvo.aio.Site;
        `await check(identity)` (if given) raises Refused when no node may
        act as `identity`."""
        self.make_site, self.limit, self.idle, self.clock = make_site, limit, idle, clock
        self.check = check
        self._open = {}  # identity -> Writer
        self._sweeper = None

    async def run(self, identity, action):
        """`await action(site)` on the identity's node."""
        writer = await self._writer(identity)
        writer.busy += 1
        try:
            return await action(writer.site)
        finally:
            writer.busy -= 1
            writer.used = self.clock()

    async def _writer(self, identity):
        writer = self._open.get(identity)
        if writer is None:
            self._make_room()
            writer = self._open[identity] = Writer(identity, self.clock())
            asyncio.ensure_future(self._start(writer))
            if self._sweeper is None:
                self._sweeper = asyncio.ensure_future(self._sweep())
        writer.used = self.clock()
        writer.busy += 1  # an opening node is in use
        try:
            await asyncio.shield(writer.ready)
        finally:
            writer.busy -= 1
        return writer

    async def _start(self, writer):
        try:
            if self.check is not None:
                await self.check(writer.identity)
            site = self.make_site(writer.identity)
            await site.open()
        except asyncio.CancelledError:
            raise
        except Exception as e:
            self._open.pop(writer.identity, None)
            log.warning("cannot join the site as %s: %s", writer.identity, e)
            if not isinstance(e, Refused):
                e = Refused("cannot act as %s: %s" % (writer.identity, str(e)[:300] or type(e).__name__))
            writer.ready.set_exception(e)
            writer.ready.exception()  # retrieved: no warning when nobody waits
            return
        writer.site = site
        writer.ready.set_result(True)
        log.info("joined the site as %s for its users' writes", writer.identity)

    def _make_room(self):
        if len(self._open) < self.limit:
            return
        idle = [w for w in self._open.values() if w.busy == 0 and w.site is not None]
        if not idle:
            raise Refused("too many identities acting at once (at most %d); try again shortly" % self.limit)
        self._close(min(idle, key=lambda w: w.used))

    def _close(self, writer):
        self._open.pop(writer.identity, None)
        if writer.site is not None:
            site, writer.site = writer.site, None
            asyncio.ensure_future(site.close())
            log.info("left the site as %s (idle)", writer.identity)

    async def _sweep(self):
        while True:
            await asyncio.sleep(min(self.idle / 4, 30.0))
            now = self.clock()
            for writer in list(self._open.values()):
                if writer.busy == 0 and writer.site is not None and now - writer.used > self.idle:
                    self._close(writer)

    def identities(self):
        return sorted(w.identity for w in self._open.values() if w.site is not None)

    async def close(self):
        if self._sweeper is not None:
            self._sweeper.cancel()
            await asyncio.gather(self._sweeper, return_exceptions=True)
            self._sweeper = None
        sites = [w.site for w in self._open.values() if w.site is not None]
        self._open.clear()
        await asyncio.gather(*(s.close() for s in sites), return_exceptions=True)
