"""The asyncio operator API: ``async with corvo.aio.Site(...) as s:``.

The same methods as corvo.Site, awaitable. Cancelling a call removes its
pending request; nothing is left waiting.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
from typing import Any, Callable, Iterable, List, Optional, Sequence, Union

from . import _fetch
from ._core import EventStream, SiteCore, _Peer
from ._errors import CorvoError, TimeoutError
from ._events import Info, PeerInfo
from ._site import LINGER, _peer_names

__all__ = ["Site", "Device"]


async def _wait(future: concurrent.futures.Future, timeout: Optional[float], what: Callable[[], Exception]):
    wrapped = asyncio.wrap_future(future)
    try:
        return await asyncio.wait_for(wrapped, timeout)
    except asyncio.TimeoutError:
        raise what() from None
    finally:
        future.cancel()


def _close_built(building: asyncio.Future) -> None:
    """Done callback of a node built for an open() that was cancelled."""
    if building.cancelled() or building.exception() is not None:
        return
    core = building.result()
    try:
        asyncio.get_running_loop().run_in_executor(None, core.close)
    except RuntimeError:  # the loop's executor is shutting down
        core.close()


class Site:
    """A client on a site, for asyncio programs: the methods of corvo.Site
    as coroutines. ``async with corvo.aio.Site(site="lab") as s:`` joins
    and leaves; arguments as corvo.Site's."""

    def __init__(self, site: str = "corvo", port: int = 5670, interface: Optional[str] = None,
                 name: Optional[str] = None, key: Optional[str] = None, keys: Optional[str] = None,
                 gossip: Union[str, Sequence[str], None] = None, gossip_bind: Optional[str] = None,
                 beacon: Optional[bool] = None):
        self._args = (site, port, interface, name, key, keys, gossip, gossip_bind, beacon)
        self._core: Optional[SiteCore] = None
        self._opening = asyncio.Lock()

    async def open(self) -> "Site":
        """Joins the site (``async with`` does it). Concurrent calls join
        once; a call cancelled while joining leaves no node behind."""
        async with self._opening:
            if self._core is None:
                loop = asyncio.get_running_loop()
                building = loop.run_in_executor(None, lambda: SiteCore(*self._args))
                try:
                    self._core = await asyncio.shield(building)
                except asyncio.CancelledError:
                    # The node is built on another thread, which the
                    # cancellation cannot stop: closed once it is there.
                    building.add_done_callback(_close_built)
                    raise
        return self

    async def close(self) -> None:
        """Leaves the site; pending requests fail with CorvoError."""
        if self._core is not None:
            core, self._core = self._core, None
            await asyncio.get_running_loop().run_in_executor(None, core.close)

    async def __aenter__(self) -> "Site":
        return await self.open()

    async def __aexit__(self, *exc) -> None:
        await self.close()

    @property
    def core(self) -> SiteCore:
        """The shared state behind the site (CorvoError before open())."""
        if self._core is None:
            raise CorvoError("the site is not open (use async with)")
        return self._core

    @property
    def uuid(self) -> str:
        """This node's UUID on the site."""
        return self.core.uuid

    async def peers(self, wait: float = 0.0) -> List[PeerInfo]:
        """The members of the site seen so far, sorted by name, after
        waiting `wait` seconds for discovery."""
        if wait > 0:
            await asyncio.sleep(wait)
        return self.core.peers()

    async def _described(self, peer: str, timeout: float) -> _Peer:
        core = self.core
        known = core.described_now(peer)
        if known is not None:
            return known
        return await _wait(core.described(peer), timeout, lambda: core.not_described_error(peer, timeout))

    async def wait_for(self, peer: str, timeout: float = 5.0) -> PeerInfo:
        """Waits until `peer` (name or UUID) has described itself;
        NotFoundError if no such peer appeared within `timeout`, or when
        two live peers share the name."""
        return (await self._described(peer, timeout)).peer_info()

    async def info(self, peer: str, timeout: float = 5.0) -> Info:
        """The description of `peer`: properties with current values,
        commands, status names, status."""
        return self.core.snapshot(await self._described(peer, timeout))

    async def get(self, peer: str, prop: str, timeout: float = 5.0) -> Any:
        """The current value of `peer`'s property `prop`. NotFoundError for
        an unknown peer or property."""
        return self.core.value(await self._described(peer, timeout), prop)

    async def set(self, peer: str, prop: str, value: Any, timeout: float = 5.0) -> Any:
        """Asks `peer` to change `prop` to `value`; returns the value it
        applied (its confirming broadcast). Errors as corvo.Site.set."""
        target = await self._described(peer, timeout)
        future = self.core.request_change(target, prop, value)
        return await _wait(future, timeout, lambda: TimeoutError(
            "%s did not confirm %s within %g s" % (target.name, prop, timeout)))

    async def command(self, peer: str, name: str, *args: Any, wait: Optional[str] = None,
                      timeout: float = 5.0, linger: float = LINGER) -> Any:
        """Runs command `name` of `peer`, as corvo.Site.command: with
        ``wait="prop"`` returns that property's next broadcast value, else
        None after `linger` seconds without a refusal."""
        target = await self._described(peer, timeout)
        future = self.core.send_command(target, name, args, wait)
        if wait is None:
            if linger > 0:
                try:
                    await asyncio.wait_for(asyncio.wrap_future(future), linger)
                except asyncio.TimeoutError:
                    pass
            future.cancel()
            return None
        return await _wait(future, timeout, lambda: TimeoutError(
            "no broadcast of %s from %s within %g s after %s" % (wait, target.name, timeout, name)))

    def watch(self, peer: Optional[str] = None, *props: str, peers: Iterable[str] = (),
              callback: Optional[Callable[[Any], Any]] = None, queue_size: Optional[int] = None,
              max_bytes: Optional[int] = None) -> EventStream:
        """Events as corvo.Site.watch (of every peer, of `peer`, or only the
        broadcasts of `props` of `peer`); iterate with ``async for``."""
        return self.core.stream(_peer_names(peer, peers), False, callback, queue_size, props, max_bytes=max_bytes)

    def logs(self, *peers: str, callback: Optional[Callable[[Any], Any]] = None,
             queue_size: Optional[int] = None, max_bytes: Optional[int] = None) -> EventStream:
        """Log records of `peers` (all when none given), as ``watch``."""
        return self.core.stream(peers, True, callback, queue_size, max_bytes=max_bytes)

    def images(self, *cameras: str, callback: Optional[Callable[[Any], Any]] = None,
               queue_size: Optional[int] = None, max_bytes: Optional[int] = None) -> EventStream:
        """The cameras' announcements of saved images, as corvo.Site.images;
        ``async for ready in s.images("camera")``."""
        return self.core.stream(_peer_names(None, cameras), False, callback, queue_size,
                                images=True, max_bytes=max_bytes)

    async def fetch_image(self, camera: str, name: str = "latest", path=None, *, as_array: bool = False,
                          timeout: float = 30.0, max_bytes: int = _fetch.DEFAULT_MAX_BYTES, compress: bool = False):
        """Fetches image `name` of `camera`, as corvo.Site.fetch_image:
        its bytes, the path written, or with ``as_array=True`` a (numpy
        array, astropy header) pair. Cancelling the call stops the transfer
        (a part file stays for a resume)."""
        _fetch.check_request(name, timeout)
        target = await self._described(camera, timeout)
        mode, where = (_fetch.MODE_MEMORY, "") if path is None else (_fetch.MODE_FILE, _fetch.target_path(path))
        core = self.core
        transfer, future = core.fetch(target, name, mode, where, timeout, _fetch.size_bound(max_bytes, path is None),
                                      compress)
        try:
            event = await asyncio.wrap_future(future)
        except BaseException:
            core.cancel_fetch(transfer)
            raise
        if not as_array or event[2] is not None:
            return _fetch.result_of(event, target.name, name, False)
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(None, _fetch.result_of, event, target.name, name, True)

    async def image_stream(self, camera: str, name: str = "latest", timeout: float = 30.0,
                           compress: bool = False) -> _fetch.ImageStream:
        """The bytes of image `name` of `camera` as they come: ``async for
        chunk in await s.image_stream("camera")``; see corvo.ImageStream."""
        _fetch.check_request(name, timeout)
        target = await self._described(camera, timeout)
        stream = _fetch.ImageStream(self.core, target.name, name)
        stream._start(target, timeout, compress)
        return stream

    async def device(self, peer: str, timeout: float = 5.0) -> "Device":
        """A proxy of `peer` once it has described itself (see Device)."""
        await self._described(peer, timeout)
        return Device(self, peer, timeout)


class Device:
    """A peer seen as an object, for asyncio programs. ``dev.expotime`` is
    the property's current value as last broadcast (no waiting);
    ``await dev.set("expotime", 2.0)`` sets it; ``await
    dev.expose(wait="filename")`` runs a command. Assigning an attribute is
    refused: a set must be awaited."""

    def __init__(self, site: Site, peer: str, timeout: float):
        object.__setattr__(self, "_site", site)
        object.__setattr__(self, "peer", peer)
        object.__setattr__(self, "_timeout", timeout)

    async def info(self) -> Info:
        """The peer's description, with current values."""
        return await self._site.info(self.peer, self._timeout)

    async def get(self, prop: str) -> Any:
        """The current value of property `prop`."""
        return await self._site.get(self.peer, prop, self._timeout)

    async def set(self, prop: str, value: Any) -> Any:
        """Sets property `prop`; returns the value the peer applied."""
        return await self._site.set(self.peer, prop, value, self._timeout)

    async def command(self, name: str, *args: Any, wait: Optional[str] = None, linger: float = LINGER) -> Any:
        """Runs command `name`, as Site.command."""
        return await self._site.command(self.peer, name, *args, wait=wait, timeout=self._timeout, linger=linger)

    def watch(self, *props: str, callback: Optional[Callable[[Any], Any]] = None,
              queue_size: Optional[int] = None, max_bytes: Optional[int] = None) -> EventStream:
        """The peer's events, or only the broadcasts of `props`."""
        return self._site.watch(self.peer, *props, callback=callback, queue_size=queue_size, max_bytes=max_bytes)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        core = self._site.core
        described = core.described_now(self.peer)
        if described is not None and name in described.properties:
            return core.value(described, name)
        if described is not None and name in described.commands:
            return functools.partial(self.command, name)
        raise AttributeError("%s has no property or command '%s' (yet)" % (self.peer, name))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("await dev.set(%r, value) to set a property" % name)

    def __repr__(self) -> str:
        return "<corvo asyncio device %s>" % self.peer
