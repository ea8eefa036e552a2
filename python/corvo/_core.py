"""State shared by the blocking and the asyncio Site: the table of peers kept
from the node's events, the waiters of pending requests, and the bounded
event streams behind ``watch`` and ``logs``.

Events arrive on the package's loop thread in batches; everything else runs
on the caller's thread. One lock guards the table and the waiter lists; no
Python code of the user runs under it.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import functools
import math
import os
import random
import threading
import weakref
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import _corvo
from ._errors import CorvoError, NotFoundError, RefusedError, TimeoutError, WrongTypeError, WrongValueError
from ._events import (LOG_LEVELS, CommandInfo, ImageReady, Info, LogEvent, PeerEvent, PeerInfo, PropertyEvent,
                      PropertyInfo, StatusEvent)
from ._wake import wake as _wake

#: Events a watch or logs stream holds at most by default; beyond it the
#: oldest is dropped and counted in ``dropped``.
DEFAULT_QUEUE_SIZE = 10000

#: Bytes of events a watch or logs stream holds at most by default, as the
#: node below bounds the events not yet read; beyond it the oldest are
#: dropped and counted in ``dropped``.
DEFAULT_MAX_BYTES = 64 << 20

#: What an event costs beside its texts and list items (an estimate).
EVENT_OVERHEAD = 64
#: What a number in a list value costs (an estimate: the object and its slot).
NUMBER_BYTES = 32

TYPE_CODES = {"int": 0, "str": 1, "float": 2, "list[str]": 4, "list[int]": 5, "list[float]": 6}


class _Peer:
    __slots__ = ("uuid", "name", "type", "client", "address", "identity", "member", "described", "status",
                 "properties", "commands", "statuses", "silent", "order")

    def __init__(self, uuid: str, name: str):
        self.uuid = uuid
        self.name = name
        self.type = ""
        self.client = False
        self.address = ""
        self.identity = ""
        self.member = False
        self.described = False
        self.status = 0
        self.silent = False
        self.order = 0  # when it entered, as SiteCore._entered counts
        self.properties: Dict[str, list] = {}  # name -> [type, value, unit, description, writable, limits, choices]
        self.commands: Dict[str, tuple] = {}
        self.statuses: Dict[int, str] = {}

    def peer_info(self) -> PeerInfo:
        return PeerInfo(self.name, self.uuid, self.type, self.client, self.status, self.statuses.get(self.status),
                        self.identity, self.silent)

    def info(self) -> Info:
        properties = {
            name: PropertyInfo(name, p[0], _copy(p[1]), p[2], p[3], p[4], p[5], dict(p[6]))
            for name, p in self.properties.items()
        }
        commands = {name: CommandInfo(name, c[0], list(c[1])) for name, c in self.commands.items()}
        return Info(self.name, properties, commands, dict(self.statuses), self.status)


def _copy(value):
    return list(value) if isinstance(value, list) else value


def _value_bytes(value) -> int:
    if isinstance(value, (str, bytes)):
        return len(value)
    if isinstance(value, list):
        # A list value holds one type: texts counted by length, numbers each
        # NUMBER_BYTES (without a call per item: lists hold up to 16,384).
        if value and isinstance(value[0], str):
            return sum(map(len, value))
        return NUMBER_BYTES * len(value)
    return NUMBER_BYTES


def _event_bytes(event) -> int:
    """A cheap estimate of the memory an event holds: its value's texts and
    list items (a log record's text), plus a fixed overhead."""
    if type(event) is LogEvent:
        return EVENT_OVERHEAD + len(event.text)
    if type(event) is PropertyEvent:
        return EVENT_OVERHEAD + _value_bytes(event.value)
    return EVENT_OVERHEAD


class EventStream:
    """A bounded queue of events, read by iteration (blocking or ``async
    for``) or handed to a callback. When it holds more than ``maxsize``
    events or ``max_bytes`` bytes, the oldest events are dropped and counted
    in ``dropped``. ``close()`` ends the iteration."""

    def __init__(self, core: "SiteCore", accept: Callable[[Any, str], bool], maxsize: int,
                 callback: Optional[Callable[[Any], Any]] = None, max_bytes: int = DEFAULT_MAX_BYTES):
        if maxsize < 1:
            raise WrongValueError("queue_size must be at least 1")
        if max_bytes < 1:
            raise WrongValueError("max_bytes must be at least 1")
        self._core = core
        self._accept = accept
        self._events: collections.deque = collections.deque()  # (event, its estimated bytes)
        self._maxsize = maxsize
        self._max_bytes = max_bytes
        self._bytes = 0  # the estimated bytes of the events held
        self._callback = callback
        self._cond = threading.Condition(threading.Lock())
        self._waker: Optional[Tuple[asyncio.AbstractEventLoop, asyncio.Future]] = None
        self._closed = False
        self._is_log = False
        self._running_callbacks = 0
        self.dropped = 0
        """Events dropped because the queue held too many events or bytes."""

    # -- producer side (loop thread) --
    def _push(self, event) -> None:
        if self._callback is not None:
            self._run_callback(event)
            return
        with self._cond:
            if self._closed:
                return
            size = _event_bytes(event)
            self._events.append((event, size))
            self._bytes += size
            # An event larger than max_bytes on its own is dropped as well.
            while len(self._events) > self._maxsize or self._bytes > self._max_bytes:
                self._take()
                self.dropped += 1
            self._cond.notify()
            waker, self._waker = self._waker, None
        if waker is not None:
            _wake(waker)

    def _run_callback(self, event) -> None:
        try:
            result = self._callback(event)
        except Exception:  # a failing callback must not stop the others
            import traceback
            traceback.print_exc()
            return
        if not asyncio.iscoroutine(result):
            return
        # An async callback's coroutines still running are bounded by the
        # stream's queue size: beyond, the event is dropped and counted.
        with self._cond:
            if self._running_callbacks >= self._maxsize:
                self.dropped += 1
                result.close()
                return
            self._running_callbacks += 1
        from . import _runner
        _runner.submit(result).add_done_callback(self._callback_done)

    def _callback_done(self, _future) -> None:
        with self._cond:
            self._running_callbacks -= 1

    def _take(self):
        """The oldest event held, removed (under the lock)."""
        event, size = self._events.popleft()
        self._bytes -= size
        return event

    # -- consumer side --
    def close(self) -> None:
        """Stops the stream; a waiting iteration ends."""
        self._core._remove_stream(self)
        with self._cond:
            self._closed = True
            self._events.clear()
            self._bytes = 0
            self._cond.notify_all()
            waker, self._waker = self._waker, None
        if waker is not None:
            _wake(waker)

    @property
    def closed(self) -> bool:
        """True once close() was called (or the site closed)."""
        return self._closed

    def get(self, timeout: Optional[float] = None):
        """The next event; TimeoutError after ``timeout`` seconds, StopIteration
        once closed and empty."""
        with self._cond:
            if not self._cond.wait_for(lambda: self._events or self._closed, timeout):
                raise TimeoutError("no event within %g s" % timeout)
            if self._events:
                return self._take()
            raise StopIteration

    def __iter__(self):
        return self

    def __next__(self):
        if _corvo.on_loop_thread():
            raise CorvoError("cannot wait for events on the library's thread; use a callback")
        while True:
            try:
                # Waits in slices so that Ctrl-C reaches the main thread.
                return self.get(0.25)
            except TimeoutError:
                continue

    def __aiter__(self):
        return self

    async def __anext__(self):
        while True:
            loop = asyncio.get_running_loop()
            with self._cond:
                if self._events:
                    return self._take()
                if self._closed:
                    raise StopAsyncIteration
                future = loop.create_future()
                self._waker = (loop, future)
            try:
                await future
            finally:
                with self._cond:
                    if self._waker is not None and self._waker[1] is future:
                        self._waker = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        self.close()


class _Waiter:
    """A pending request: ``check(kind, event)`` returns None to keep
    waiting, or a callable that settles the future."""
    __slots__ = ("check", "future", "core")

    def __init__(self, check, future, core=None):
        self.check = check
        self.future = future
        self.core = core

    def drop(self, future) -> None:
        """Done callback of the future: a settled, cancelled or timed-out
        request leaves no waiter behind."""
        if future.cancelled() and self.core is not None:
            self.core._drop_waiter(self)


def _event_sink(core: "SiteCore") -> Callable[[list], None]:
    """The node's sink of event batches, which does not keep `core` alive."""
    core_ref = weakref.ref(core)

    def sink(batch) -> None:
        live = core_ref()
        if live is not None:
            live._on_events(batch)
    return sink


class SiteCore:
    """One node on a site and what it knows; see Site for the public face."""

    def __init__(self, site: str, port: int, interface: Optional[str], name: Optional[str],
                 key: Optional[str] = None, keys: Optional[str] = None,
                 gossip: Union[str, Sequence[str], None] = None, gossip_bind: Optional[str] = None,
                 beacon: Optional[bool] = None):
        self.site = site
        self._lock = threading.Lock()
        self._peers: Dict[str, _Peer] = {}
        self._entered = 0  # "enter" events so far: the newest peer has the highest order
        # Pending requests, oldest first (a dict: removal in constant time).
        self._waiters: Dict[_Waiter, None] = {}
        self._streams: List[EventStream] = []
        self._log_streams = 0
        # Image fetches running: transfer number -> handler of its events.
        self._transfers: Dict[int, Callable[[tuple], None]] = {}
        self._closed = False
        # The node holds only a weak reference: a Site dropped without
        # close() is freed, and so is its node (closed on the loop thread).
        self._node = _corvo.SiteNode(site, int(port), interface or "", name or "", _event_sink(self),
                                     _path_text(key), _path_text(keys), gossip=gossip,
                                     gossip_bind=gossip_bind, beacon=beacon)

    @property
    def uuid(self) -> str:
        return self._node.uuid

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            waiters, self._waiters = list(self._waiters), {}
            streams, self._streams = self._streams, []
            transfers, self._transfers = self._transfers, {}
        self._node.close()
        for waiter in waiters:
            _settle(waiter.future, error=CorvoError("the site has been closed"))
        from ._fetch import closed_event
        for transfer, handler in transfers.items():
            handler(closed_event(transfer))
        for stream in streams:
            stream.close()

    # ------------------------------------------------------------ events
    def _on_events(self, batch) -> None:
        deliveries = []
        settled = []
        fetched = []
        with self._lock:
            streams = list(self._streams)
            waiters = self._waiters
            for event in batch:
                kind = event[0]
                if kind == "chunks" or kind == "image":
                    # ("image", transfer, ...) ends the fetch; see site_node.h.
                    transfers = self._transfers
                    handler = transfers.get(event[1]) if kind == "chunks" else transfers.pop(event[1], None)
                    if handler is not None:
                        fetched.append((handler, event))
                    continue
                if kind == "property":
                    # The common case, kept short: store the value, and make
                    # an event object only when a stream wants events.
                    peer = self._peers.get(event[1])
                    entry = None if peer is None else peer.properties.get(event[2])
                    if entry is None:
                        continue
                    entry[1] = event[3]
                    if streams:
                        deliveries.append((event[1], PropertyEvent(peer.name, event[2], _copy(event[3]), entry[0],
                                                                   entry[2], event[4], event[5])))
                else:
                    out = self._apply(kind, event)
                    if out is not None:
                        deliveries.append((event[1], out))  # with the sender's UUID
                if waiters:
                    # A refusal or a confirmation answers one request: the
                    # oldest it matches.
                    one_answer = kind == "refused" or kind == "applied"
                    for waiter in list(waiters):
                        if waiter.future.done():
                            continue  # cancelled: its done callback drops it
                        try:
                            action = waiter.check(kind, event)
                        except Exception as error:  # this request fails, the batch goes on
                            action = functools.partial(_settle, waiter.future, error=error)
                        if action is not None:
                            del waiters[waiter]
                            settled.append(action)
                            if one_answer:
                                break
        for action in settled:
            try:
                action()
            except Exception:  # one request's failure must not stop the deliveries
                import traceback
                traceback.print_exc()
        for handler, event in fetched:
            try:
                handler(event)
            except Exception:  # one fetch's failure must not stop the others
                import traceback
                traceback.print_exc()
        for uuid, event in deliveries:
            for stream in streams:
                if stream._accept(event, uuid):
                    stream._push(event)

    def _apply(self, kind, event):
        uuid = event[1]
        peer = self._peers.get(uuid)
        if kind == "enter":
            _, _, name, ptype, client, address, identity = event
            if peer is None:
                peer = self._peers[uuid] = _Peer(uuid, name)
            peer.name, peer.type, peer.client, peer.address = name, ptype, client, address
            peer.identity = identity
            peer.member = True
            self._entered += 1
            peer.order = self._entered
            return PeerEvent(peer.name, "enter")
        if kind == "info":
            _, _, name, properties, commands, statuses, status = event
            if peer is None:
                peer = self._peers[uuid] = _Peer(uuid, name)
            peer.properties = {n: list(p) for n, p in properties.items()}
            peer.commands = commands
            peer.statuses = statuses
            peer.status = status
            peer.described = True
            return PeerEvent(peer.name, "info") if peer.member else None
        if peer is None:
            return None
        if kind == "exit":
            del self._peers[uuid]
            return PeerEvent(peer.name, "exit") if peer.member else None
        if kind == "silent":
            # ("silent", uuid, flag): not heard for the evasive time, or
            # heard again. Reported only on a change.
            silent = bool(event[2])
            if silent == peer.silent:
                return None
            peer.silent = silent
            return PeerEvent(peer.name, "silent" if silent else "back") if peer.member else None
        if kind == "status":
            peer.status = event[2]
            return StatusEvent(peer.name, event[2], peer.statuses.get(event[2]))
        if kind == "log":
            _, _, time, logger, level, text = event
            level_name = LOG_LEVELS[level] if 0 <= level < len(LOG_LEVELS) else str(level)
            return LogEvent(peer.name, time, logger, level_name, text)
        if kind == "ready":
            return ImageReady(peer.name, *event[2:])
        return None

    # ------------------------------------------------------------ peers
    def _find(self, name_or_uuid: str) -> Optional[_Peer]:
        """The member a name or UUID means, as the library decides: the one
        with that UUID; else the newest member of that name that is not
        silent, else the newest. NotFoundError when two members of the name
        are not silent (two live programs: name one by its UUID)."""
        peer = self._peers.get(name_or_uuid)
        if peer is not None and peer.member:
            return peer
        named = sorted((p for p in self._peers.values() if p.member and p.name == name_or_uuid),
                       key=lambda p: p.order, reverse=True)
        live = [p for p in named if not p.silent]
        if len(live) > 1:
            raise NotFoundError("%d peers are named %s: %s; name one by its UUID"
                                % (len(live), name_or_uuid, ", ".join(p.uuid for p in live)))
        return (live or named or [None])[0]

    def peers(self) -> List[PeerInfo]:
        with self._lock:
            members = [p for p in self._peers.values() if p.member]
            return sorted((p.peer_info() for p in members), key=lambda p: (p.name, p.uuid))

    def described_now(self, name_or_uuid: str) -> Optional[_Peer]:
        """The peer if it is a member with its description already, else
        None (then wait with described())."""
        with self._lock:
            self._require_open()
            peer = self._find(name_or_uuid)
            return peer if peer is not None and (peer.described or peer.client) else None

    def described(self, name_or_uuid: str) -> concurrent.futures.Future:
        """A future of the described peer (its _Peer), settled as soon as it
        is a member with its description."""
        future: concurrent.futures.Future = concurrent.futures.Future()

        def ready() -> Optional[_Peer]:
            peer = self._find(name_or_uuid)
            return peer if peer is not None and (peer.described or peer.client) else None

        def check(kind, event):
            if kind not in ("enter", "info", "silent", "exit"):
                return None
            try:
                peer = ready()
            except NotFoundError as ambiguous:
                # Bound now: the name of an except clause is gone after it.
                return functools.partial(_settle, future, error=ambiguous)
            return None if peer is None else (lambda: _settle(future, peer))

        with self._lock:
            self._require_open()
            peer = ready()
            if peer is None:
                self._add_waiter(_Waiter(check, future))
        if peer is not None:
            _settle(future, peer)
        return future

    def not_described_error(self, name_or_uuid: str, timeout: float) -> Exception:
        with self._lock:
            try:
                peer = self._find(name_or_uuid)
            except NotFoundError as ambiguous:
                return ambiguous
        if peer is None:
            return NotFoundError("no peer %s on site %s (waited %g s)" % (name_or_uuid, self.site, timeout))
        return TimeoutError("%s did not describe itself within %g s" % (name_or_uuid, timeout))

    def snapshot(self, peer: _Peer) -> Info:
        with self._lock:
            if peer.client:
                raise NotFoundError("%s is a client: it has no properties or commands" % peer.name)
            return peer.info()

    def value(self, peer: _Peer, prop: str):
        with self._lock:
            entry = self._property(peer, prop)
            return _copy(entry[1])

    def _property(self, peer: _Peer, prop: str) -> list:
        if peer.client:
            raise NotFoundError("%s is a client: it has no properties or commands" % peer.name)
        entry = peer.properties.get(prop)
        if entry is None:
            raise NotFoundError("%s has no property '%s'" % (peer.name, prop))
        return entry

    # ------------------------------------------------------------ requests
    def request_change(self, peer: _Peer, prop: str, value) -> concurrent.futures.Future:
        """Checks `value` against the property's declaration, sends the change
        request and returns a future of the confirmed value."""
        future: concurrent.futures.Future = concurrent.futures.Future()
        uuid = peer.uuid

        def check(kind, event):
            if event[1] != uuid:
                return None
            if kind == "property" and event[2] == prop and _same(event[3], wanted):
                return lambda: _settle(future, _copy(event[3]))
            if kind == "applied" and event[2] == prop:
                # Applied as another value, broadcast just before: that one.
                entry = peer.properties.get(prop)
                applied = None if entry is None else _copy(entry[1])
                return lambda: _settle(future, applied)
            if kind == "refused" and event[2] == "property" and event[3] == prop:
                return lambda: _settle(future, error=RefusedError(
                    event[4], "%s refused %s = %r: %s" % (peer.name, prop, wanted, event[4])))
            if kind == "exit":
                return lambda: _settle(future, error=CorvoError("%s left before confirming %s" % (peer.name, prop)))
            return None

        # One lock for the checks and the waiter: this is the hot path of set.
        with self._lock:
            self._require_open()
            entry = self._property(peer, prop)
            ptype, writable, limits, choices = entry[0], entry[4], entry[5], entry[6]
            if not writable:
                raise RefusedError("read-only", "property '%s' of %s is read-only" % (prop, peer.name))
            try:
                wanted = check_value(prop, ptype, value, limits, choices)
            except RefusedError as refused:
                # Refused here, before asking: the message names the peer.
                raise RefusedError(refused.reason, "refused %s %s = %r: %s"
                                   % (peer.name, prop, value, refused.reason)) from None
            waiter = _Waiter(check, future)
            self._add_waiter(waiter)
        self._send(waiter, self._node.change, uuid, prop, TYPE_CODES[ptype], wanted)
        return future

    def send_command(self, peer: _Peer, name: str, args: Iterable[Any],
                     wait: Optional[str]) -> concurrent.futures.Future:
        """Checks the arguments against the command's declaration, sends it,
        and returns a future that fails with RefusedError on the peer's
        refusal; with `wait` it is settled by that property's next value,
        else never by success (the caller gives up waiting)."""
        with self._lock:
            if peer.client:
                raise NotFoundError("%s is a client: it has no properties or commands" % peer.name)
            command = peer.commands.get(name)
            if command is None:
                raise NotFoundError("%s has no command '%s'" % (peer.name, name))
            declared = list(command[1])
            if wait is not None:
                self._property(peer, wait)
        words = [name] + command_words(name, declared, list(args))
        future: concurrent.futures.Future = concurrent.futures.Future()
        uuid = peer.uuid

        def check(kind, event):
            if event[1] != uuid:
                return None
            if kind == "refused" and event[2] == "command" and event[3] == name and _echoes(event[5], words):
                return lambda: _settle(future, error=RefusedError(
                    event[4], "%s refused %s: %s" % (peer.name, name, event[4])))
            if wait is None:
                return None
            if kind == "property" and event[2] == wait:
                return lambda: _settle(future, _copy(event[3]))
            if kind == "exit":
                return lambda: _settle(future, error=CorvoError("%s left before %s changed" % (peer.name, wait)))
            return None

        with self._lock:
            self._require_open()
            waiter = _Waiter(check, future)
            self._add_waiter(waiter)
        self._send(waiter, self._node.command, peer.uuid, words)
        return future

    def stream(self, peers: Tuple[str, ...], logs: bool, callback, queue_size: Optional[int],
               props: Tuple[str, ...] = (), images: bool = False, max_bytes: Optional[int] = None) -> EventStream:
        """A stream of the events of `peers` (all when empty); with `props`,
        only the broadcasts of those properties; with `images`, only the
        cameras' ImageReady announcements (which no other stream gets). A
        peer is named by its name or its UUID."""
        wanted = set(peers)
        wanted_props = set(props)
        log_kind = LogEvent
        property_kind = PropertyEvent
        ready_kind = ImageReady

        def accept(event, uuid: str) -> bool:
            if (type(event) is ready_kind) != images:
                return False
            if (type(event) is log_kind) != logs:
                return False
            if wanted_props and (type(event) is not property_kind or event.name not in wanted_props):
                return False
            return not wanted or event.peer in wanted or uuid in wanted

        stream = EventStream(self, accept, queue_size or DEFAULT_QUEUE_SIZE, callback,
                             DEFAULT_MAX_BYTES if max_bytes is None else max_bytes)
        stream._is_log = logs
        with self._lock:
            self._require_open()
            self._streams.append(stream)
            if logs:
                self._log_streams += 1
                first = self._log_streams == 1
        if logs and first:
            self._node.receive_logs(True)
        return stream

    def _remove_stream(self, stream: EventStream) -> None:
        with self._lock:
            if stream not in self._streams:
                return
            self._streams.remove(stream)
            if stream._is_log:
                self._log_streams -= 1

    # ------------------------------------------------------------ images
    def start_fetch(self, peer: _Peer, name: str, mode: int, path: str, timeout: float, max_bytes: int,
                    handler: Callable[[tuple], None], compress: bool = False) -> int:
        """Starts fetching image `name` of `peer`; `handler` gets its "chunks"
        and "image" events on the library's thread. Returns the transfer."""
        if peer.client:
            raise NotFoundError("%s is a client: it serves no images" % peer.name)
        transfer = random.getrandbits(63) | 1
        with self._lock:
            self._require_open()
            self._transfers[transfer] = handler
        try:
            refusal = self._node.fetch_image(peer.uuid, transfer, peer.name, name, mode, path, float(timeout),
                                             int(max_bytes), bool(compress))
        except BaseException:
            self._forget_transfer(transfer)
            raise
        if refusal:
            self._forget_transfer(transfer)
            from ._errors import ImageError
            if refusal.startswith("no peer "):
                raise NotFoundError(refusal)
            raise ImageError("image %s of %s: %s" % (name, peer.name, refusal))
        return transfer

    def fetch(self, peer: _Peer, name: str, mode: int, path: str, timeout: float, max_bytes: int,
              compress: bool = False) -> Tuple[int, concurrent.futures.Future]:
        """A fetch whose future is settled with its "image" event."""
        future: concurrent.futures.Future = concurrent.futures.Future()
        transfer = self.start_fetch(peer, name, mode, path, timeout, max_bytes, lambda event: _settle(future, event),
                                    compress)
        return transfer, future

    def cancel_fetch(self, transfer: int) -> None:
        """Stops a fetch; its handler gets no more events."""
        if self._forget_transfer(transfer):
            self._node.cancel_image(transfer)

    def image_consumed(self, transfer: int, count: int) -> None:
        self._node.image_consumed(transfer, count)

    def _forget_transfer(self, transfer: int) -> bool:
        with self._lock:
            return self._transfers.pop(transfer, None) is not None

    def running_fetches(self) -> int:
        with self._lock:
            return len(self._transfers)

    # ------------------------------------------------------------ helpers
    def _add_waiter(self, waiter: _Waiter) -> None:
        waiter.core = self
        self._waiters[waiter] = None
        # A cancelled or timed-out request leaves no waiter behind.
        waiter.future.add_done_callback(waiter.drop)

    def _drop_waiter(self, waiter: _Waiter) -> None:
        with self._lock:
            self._waiters.pop(waiter, None)

    def _send(self, waiter: _Waiter, send, *args) -> None:
        """Sends a request whose answer `waiter` awaits. A request that
        could not be sent takes its waiter with it: left behind, it would
        take the answer meant for the next request of its kind."""
        try:
            send(*args)
        except BaseException:
            self._drop_waiter(waiter)
            raise

    def _require_open(self) -> None:
        if self._closed:
            raise CorvoError("the site has been closed")

    def pending_requests(self) -> int:
        with self._lock:
            return len(self._waiters)


def _echoes(echoed: List[str], words: List[str]) -> bool:
    """True when a refusal's echoed arguments can be those of `words` (the
    command and its arguments as sent): a peer may cut the echo short, so a
    refusal of the same command with other arguments (an earlier request's)
    is told apart as far as the echo goes."""
    sent = words[1:]
    return len(echoed) <= len(sent) and sent[:len(echoed)] == echoed


def _path_text(value) -> str:
    """A key name or path (str or os.PathLike) as the node takes it."""
    return "" if value is None else os.fspath(value)


def _settle(future: concurrent.futures.Future, result=None, error: Optional[BaseException] = None) -> None:
    try:
        if error is not None:
            future.set_exception(error)
        else:
            future.set_result(result)
    except concurrent.futures.InvalidStateError:
        return  # cancelled or timed out meanwhile
    # Blocking callers wait on the package's event count (see wait_future).
    _corvo.completed()


def _same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value) -> bool:
    return _is_int(value) or isinstance(value, float)


def plain_value(value):
    """`value` with numpy scalars (and a one-dimensional array, for a list)
    made the Python int, float or list they equal exactly; ValueError for a
    numpy number that no Python number equals (a long double's extra
    digits). Anything else is returned as it is, for the type checks."""
    dtype = getattr(value, "dtype", None)
    shape = getattr(value, "shape", None)
    if dtype is None or not hasattr(value, "tolist"):
        return value
    if shape == ():
        kind = dtype.kind
        if kind in "iu":
            return int(value)
        if kind == "b":
            return bool(value)
        if kind == "f":
            number = float(value)
            if number == value or number != number:
                return number
            raise WrongValueError("%r has no exact float value" % (value,))
        return value  # bool, complex, text: the type checks decide
    if len(shape) == 1:
        return [plain_value(item) for item in value]
    return value


def check_value(prop: str, ptype: str, value, limits, choices):
    """The value to send for `value`, or TypeError / ValueError / RefusedError
    as the operator's tool refuses it. numpy scalars are taken as the
    numbers they equal exactly."""
    value = plain_value(value)
    if ptype == "int":
        if isinstance(value, str) and choices:
            for number, label in choices.items():
                if label == value:
                    value = number
                    break
            else:
                raise _refusal(prop, value, "not one of the choices %s" % _choice_text(choices))
        if not _is_int(value):
            raise WrongTypeError("%s is an int property, not %s" % (prop, type(value).__name__))
        if not -2**63 <= value < 2**63:
            raise WrongValueError("%s: %d does not fit 64 bits" % (prop, value))
        if limits is not None and not limits[0] <= value <= limits[1]:
            raise _refusal(prop, value, "outside the limits [%d, %d]" % (limits[0], limits[1]))
        if choices and value not in choices:
            raise _refusal(prop, value, "not one of the choices %s" % _choice_text(choices))
        return value
    if ptype == "float":
        if not _is_number(value):
            raise WrongTypeError("%s is a float property, not %s" % (prop, type(value).__name__))
        value = float(value)
        if not math.isfinite(value):
            raise WrongValueError("%s: %r is not a finite number" % (prop, value))
        if limits is not None and not limits[0] <= value <= limits[1]:
            raise _refusal(prop, value, "outside the limits [%r, %r]" % (limits[0], limits[1]))
        return value
    if ptype == "str":
        if not isinstance(value, str):
            raise WrongTypeError("%s is a str property, not %s" % (prop, type(value).__name__))
        return utf8_text(prop, value)
    if ptype in ("list[int]", "list[float]", "list[str]"):
        if not isinstance(value, (list, tuple)):
            raise WrongTypeError("%s is a %s property, not %s" % (prop, ptype, type(value).__name__))
        value = [plain_value(v) for v in value]
        item_ok = {"list[int]": _is_int, "list[float]": _is_number, "list[str]": lambda v: isinstance(v, str)}[ptype]
        if not all(item_ok(v) for v in value):
            raise WrongTypeError("%s is a %s property" % (prop, ptype))
        if ptype == "list[float]":
            return [float(v) for v in value]
        if ptype == "list[str]":
            return [utf8_text(prop, v) for v in value]
        return list(value)
    raise CorvoError("%s has a type this package does not know (%s)" % (prop, ptype))


def utf8_text(where: str, text: str) -> str:
    """`text`, which goes out as UTF-8: WrongValueError if it holds what
    UTF-8 cannot carry (a lone surrogate, as from a file name decoded with
    surrogateescape)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise WrongValueError("%s: %r is not valid UTF-8 text" % (where, text)) from None
    return text


def _refusal(prop: str, value, reason: str) -> RefusedError:
    return RefusedError(reason, "refused %s = %r: %s" % (prop, value, reason))


def _choice_text(choices) -> str:
    return ", ".join("%d=%s" % item for item in sorted(choices.items()))


def command_words(name: str, declared: List[Tuple[str, str]], args: List[Any]) -> List[str]:
    """The command's arguments as the words sent, checked against the
    declared argument types."""
    if len(args) != len(declared):
        usage = " ".join("<%s:%s>" % a for a in declared) or "no arguments"
        raise WrongTypeError("command '%s' takes %s, got %d argument%s"
                        % (name, usage, len(args), "" if len(args) == 1 else "s"))
    words = []
    for (argname, atype), value in zip(declared, args):
        words.append(_arg_word(name, argname, atype, value))
    return words


def _arg_word(command: str, argname: str, atype: str, value) -> str:
    where = "argument %s of '%s'" % (argname, command)
    value = plain_value(value)
    if atype == "int":
        if isinstance(value, str):
            try:
                value = int(value.strip())
            except ValueError:
                raise WrongValueError("%s: '%s' is not an integer" % (where, value)) from None
        if not _is_int(value):
            raise WrongTypeError("%s takes an int, not %s" % (where, type(value).__name__))
        return str(value)
    if atype == "float":
        if isinstance(value, str):
            try:
                value = float(value)
            except ValueError:
                raise WrongValueError("%s: '%s' is not a finite number" % (where, value)) from None
        if not _is_number(value):
            raise WrongTypeError("%s takes a number, not %s" % (where, type(value).__name__))
        if not math.isfinite(value):
            raise WrongValueError("%s: %r is not a finite number" % (where, value))
        return repr(float(value))
    if atype == "bool":
        if isinstance(value, bool):
            return "true" if value else "false"
        if isinstance(value, str) and value.strip().lower() in ("true", "false", "1", "0"):
            return value.strip().lower()
        if value in (0, 1) and _is_int(value):
            return str(value)
        raise WrongTypeError("%s takes a bool (true, false, 1, 0), not %r" % (where, value))
    if not isinstance(value, str):
        value = str(value)
    return utf8_text(where, value)
