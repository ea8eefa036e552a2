"""The asyncio operator API: ``async with corvo.aio.Site(...) as s:``.

The same methods as corvo.Site, awaitable. Cancelling a call removes its
pending request; nothing is left waiting.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from typing import Any, Callable, List, Optional

from ._core import EventStream, SiteCore, _Peer
from ._errors import CorvoError, TimeoutError
from ._events import Info, PeerInfo
from ._site import LINGER

__all__ = ["Site"]


async def _wait(future: concurrent.futures.Future, timeout: Optional[float], what: Callable[[], Exception]):
    wrapped = asyncio.wrap_future(future)
    try:
        return await asyncio.wait_for(wrapped, timeout)
    except asyncio.TimeoutError:
        raise what() from None
    finally:
        future.cancel()


class Site:
    """A client on a site, for asyncio programs; see corvo.Site."""

    def __init__(self, site: str = "corvo", port: int = 5670, interface: Optional[str] = None,
                 name: Optional[str] = None, key: Optional[str] = None, keys: Optional[str] = None):
        self._args = (site, port, interface, name, key, keys)
        self._core: Optional[SiteCore] = None

    async def open(self) -> "Site":
        """Joins the site (``async with`` does it)."""
        if self._core is None:
            loop = asyncio.get_running_loop()
            self._core = await loop.run_in_executor(None, lambda: SiteCore(*self._args))
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
        if self._core is None:
            raise CorvoError("the site is not open (use async with)")
        return self._core

    @property
    def uuid(self) -> str:
        return self.core.uuid

    async def peers(self, wait: float = 0.0) -> List[PeerInfo]:
        """The members of the site seen so far, after waiting `wait` seconds."""
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
        return (await self._described(peer, timeout)).peer_info()

    async def info(self, peer: str, timeout: float = 5.0) -> Info:
        return self.core.snapshot(await self._described(peer, timeout))

    async def get(self, peer: str, prop: str, timeout: float = 5.0) -> Any:
        return self.core.value(await self._described(peer, timeout), prop)

    async def set(self, peer: str, prop: str, value: Any, timeout: float = 5.0) -> Any:
        target = await self._described(peer, timeout)
        future = self.core.request_change(target, prop, value)
        return await _wait(future, timeout, lambda: TimeoutError(
            "%s did not confirm %s within %g s" % (target.name, prop, timeout)))

    async def command(self, peer: str, name: str, *args: Any, wait: Optional[str] = None,
                      timeout: float = 5.0, linger: float = LINGER) -> Any:
        """As corvo.Site.command."""
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

    def watch(self, *peers: str, callback: Optional[Callable[[Any], Any]] = None,
              queue_size: Optional[int] = None) -> EventStream:
        """As corvo.Site.watch; iterate with ``async for``."""
        return self.core.stream(peers, False, callback, queue_size)

    def logs(self, *peers: str, callback: Optional[Callable[[Any], Any]] = None,
             queue_size: Optional[int] = None) -> EventStream:
        return self.core.stream(peers, True, callback, queue_size)
