"""The blocking operator API: ``with corvo.Site(...) as s: s.get(...)``."""

from __future__ import annotations

import concurrent.futures
import time
from typing import Any, Callable, List, Optional

from . import _corvo
from ._core import EventStream, SiteCore, _Peer
from ._errors import CorvoError, TimeoutError
from ._events import Info, PeerInfo

__all__ = ["Site"]

# Blocking waits are taken in slices so that Ctrl-C reaches the main thread.
_SLICE = 0.25


def wait_future(future: concurrent.futures.Future, timeout: Optional[float], what: Callable[[], Exception]):
    """The result of `future` within `timeout` seconds; on expiry the future
    is cancelled (its waiter removed) and what() is raised."""
    if not future.done() and _corvo.on_loop_thread():
        future.cancel()
        raise CorvoError("a blocking call cannot wait on the library's own thread "
                         "(from a handler): use an async def handler or corvo.aio")
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        while True:
            # An event count: whatever settles the future after this read
            # moves the generation, so the wait below cannot miss it.
            seen = _corvo.completion_generation()
            if future.done():
                return future.result()
            left = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
            if left <= 0:
                raise what()
            _corvo.wait_completion(seen, left)
    finally:
        future.cancel()


#: Seconds a command without ``wait`` waits for a refusal, as the operator
#: tool does.
LINGER = 0.25


class _NoRefusal(Exception):
    pass


def linger_for_refusal(future: concurrent.futures.Future, linger: float) -> None:
    """None after `linger` seconds, or the refusal that settles `future`
    before."""
    if linger <= 0 or _corvo.on_loop_thread():
        future.cancel()  # no waiting on the library's thread
        return None
    try:
        wait_future(future, linger, _NoRefusal)
    except _NoRefusal:
        pass
    return None


class Site:
    """A client on a site: discovers the programs of the site, reads and
    writes their properties, runs their commands and follows their events.

    Joins at once; ``close()`` (or leaving the ``with`` block) leaves. Every
    method may be called from any thread. ``timeout`` is in seconds: waiting
    for the peer's description takes at most that long, and so does waiting
    for the confirmation that follows.

    On a secured site, ``key`` is this client's identity: a key name in the
    key directory or the path of a secret key file, as a program's ``--key``
    takes it; ``keys`` is the directory of trusted identities (``--keys``;
    by default $CORVO_KEY_DIR, else ~/.config/corvo/keys). Without ``name``
    the client then announces its identity's name, which every identity may
    announce. A key that cannot be used raises CorvoError with the reason.
    """

    def __init__(self, site: str = "corvo", port: int = 5670, interface: Optional[str] = None,
                 name: Optional[str] = None, key: Optional[str] = None, keys: Optional[str] = None):
        self._core = SiteCore(site, port, interface, name, key, keys)

    @property
    def site(self) -> str:
        """The site's name."""
        return self._core.site

    @property
    def uuid(self) -> str:
        """This node's UUID on the site."""
        return self._core.uuid

    def close(self) -> None:
        """Leaves the site; pending requests fail with CorvoError."""
        self._core.close()

    def __enter__(self) -> "Site":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def peers(self, wait: float = 0.0) -> List[PeerInfo]:
        """The members of the site seen so far, sorted by name, after waiting
        `wait` seconds for discovery."""
        if wait > 0:
            time.sleep(wait)
        return self._core.peers()

    def _described(self, peer: str, timeout: float) -> _Peer:
        known = self._core.described_now(peer)
        if known is not None:
            return known
        future = self._core.described(peer)
        return wait_future(future, timeout, lambda: self._core.not_described_error(peer, timeout))

    def wait_for(self, peer: str, timeout: float = 5.0) -> PeerInfo:
        """Waits until `peer` (name or UUID) has described itself."""
        return self._described(peer, timeout).peer_info()

    def info(self, peer: str, timeout: float = 5.0) -> Info:
        """The description of `peer`: properties with current values,
        commands, status names, status."""
        return self._core.snapshot(self._described(peer, timeout))

    def get(self, peer: str, prop: str, timeout: float = 5.0) -> Any:
        """The current value of `peer`'s property `prop` (int, float, str or a
        list of those). NotFoundError for an unknown peer or property."""
        return self._core.value(self._described(peer, timeout), prop)

    def set(self, peer: str, prop: str, value: Any, timeout: float = 5.0) -> Any:
        """Asks `peer` to change `prop` to `value` and waits for the broadcast
        that confirms it; returns the confirmed value. RefusedError when the
        property is read-only, the value outside its limits or choices, or the
        peer refuses; TypeError / ValueError for a value that does not fit the
        type; TimeoutError when no confirmation comes within `timeout`."""
        target = self._described(peer, timeout)
        future = self._core.request_change(target, prop, value)
        return wait_future(future, timeout, lambda: TimeoutError(
            "%s did not confirm %s within %g s" % (target.name, prop, timeout)))

    def command(self, peer: str, name: str, *args: Any, wait: Optional[str] = None, timeout: float = 5.0,
                linger: float = LINGER) -> Any:
        """Runs command `name` of `peer` with `args`, checked against the
        declared arguments. With ``wait="prop"`` waits for the next broadcast
        of that property and returns its value. Else nothing confirms a
        command: it returns None after `linger` seconds (0.25 by default, 0
        not to wait) unless the peer refuses it first. A refusal raises
        RefusedError with the peer's reason."""
        target = self._described(peer, timeout)
        future = self._core.send_command(target, name, args, wait)
        if wait is None:
            return linger_for_refusal(future, linger)
        return wait_future(future, timeout, lambda: TimeoutError(
            "no broadcast of %s from %s within %g s after %s" % (wait, target.name, timeout, name)))

    def watch(self, *peers: str, callback: Optional[Callable[[Any], Any]] = None,
              queue_size: Optional[int] = None) -> EventStream:
        """Property, status and peer events of `peers` (all when none given):
        an iterable stream, or with `callback` each event is handed to it (on
        the library's thread: it must not block; an ``async def`` callback runs
        on the package's asyncio thread). Close the stream to stop."""
        return self._core.stream(peers, False, callback, queue_size)

    def logs(self, *peers: str, callback: Optional[Callable[[Any], Any]] = None,
             queue_size: Optional[int] = None) -> EventStream:
        """Log records of `peers` (all when none given), as ``watch``."""
        return self._core.stream(peers, True, callback, queue_size)
