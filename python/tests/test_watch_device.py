"""Watching single properties, device proxies with attribute access
(blocking and asyncio), and the sender's time on every value event."""

import signal
import time

import pytest

import corvo
from conftest import net_options, program, wait_until

T = 30.0


@pytest.fixture
def pyd(children, site_args):
    return children.python("pydaemon.py", *net_options(site_args))


def next_property_events(stream, count):
    events = []
    while len(events) < count:
        event = stream.get(T)
        assert isinstance(event, corvo.PropertyEvent), event
        events.append(event)
    return events


def test_watch_one_property_with_send_times(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd", "gain") as gains, s.watch("pyd", "label", "gain") as both:
            start = time.time()
            s.set("pyd", "label", "x", timeout=T)
            s.set("pyd", "gain", 2.0, timeout=T)
            s.command("pyd", "add", 1, wait="count", timeout=T)  # neither
            s.set("pyd", "gain", 4.0, timeout=T)
            got = next_property_events(gains, 2)
            assert [(e.name, e.value) for e in got] == [("gain", 2.0), ("gain", 4.0)]
            assert [(e.name, e.value) for e in next_property_events(both, 3)] == [
                ("label", "x"), ("gain", 2.0), ("gain", 4.0)]
            with pytest.raises(TimeoutError):
                gains.get(0.3)
        for event in got:
            # Sent by the daemon (same clock here), then received.
            assert event.sent is not None
            assert start - 1 <= event.sent <= event.time + 0.001 <= time.time() + 1


def test_device_proxy(pyd, site_args):
    with corvo.Site(**site_args) as s:
        dev = s.device("pyd", timeout=T)
        dev.gain = 2.5
        assert dev.gain == 2.5 and dev["gain"] == 2.5
        dev["label"] = "proxy"
        assert dev.label == "proxy"
        dev.picky = "shout"
        assert dev.picky == "SHOUT"  # what the daemon applied
        assert dev.add(3, wait="count") == 3
        assert dev.command("add", 1, wait="count") == 4
        with pytest.raises(corvo.RefusedError, match="wrong code 5"):
            dev.guarded(5, linger=T)
        with pytest.raises(AttributeError):
            dev.nosuch
        with pytest.raises(corvo.RefusedError):
            dev.names = ["x"]  # read-only
        with pytest.raises(AttributeError):
            dev.peer = "other"
        assert {"gain", "add", "info"} <= set(dir(dev))
        assert dev.info().properties["label"].value == "proxy"
        with dev.watch("count") as counts:
            dev.add(2)
            assert counts.get(T).value == 6
    with corvo.Site(**site_args) as s:
        with pytest.raises(corvo.NotFoundError):
            s.device("nobody", timeout=0.5).gain


@pytest.mark.asyncio
async def test_asyncio_device_and_property_watch(pyd, site_args):
    async with corvo.aio.Site(**site_args) as a:
        dev = await a.device("pyd", timeout=T)
        assert dev.gain == 1.5  # the value as last broadcast, no waiting
        with a.watch("pyd", "gain") as gains:
            assert await dev.set("gain", 3.0) == 3.0
            assert dev.gain == 3.0
            assert await dev.add(2, wait="count") == 2
            await dev.set("label", "y")
            assert await dev.set("gain", 3.5) == 3.5
            seen = []
            async for event in gains:
                seen.append(event.value)
                assert event.sent is not None and event.sent <= event.time + 0.001
                if len(seen) == 2:
                    break
            assert seen == [3.0, 3.5]
        with pytest.raises(AttributeError):
            dev.gain = 1.0
        with pytest.raises(corvo.RefusedError, match="wrong code 1"):
            await dev.guarded(1, linger=T)


def test_silent_peers_are_flagged_and_reported(site_args):
    # The node's events as the library hands them over: a peer enters, goes
    # silent, is heard again, goes silent and leaves.
    uuid = "5" * 32
    with corvo.Site(**site_args) as s:
        core = s._core
        with s.watch() as events:
            core._on_events([("enter", uuid, "cam", "camera", False, "tcp://127.0.0.1:1", "")])
            assert not s.peers()[0].silent
            core._on_events([("silent", uuid, True), ("silent", uuid, True)])
            assert s.peers()[0].silent
            core._on_events([("silent", uuid, False)])
            assert not s.peers()[0].silent
            core._on_events([("silent", uuid, True), ("exit", uuid)])
            assert s.peers() == []
            kinds = [events.get(T).kind for _ in range(5)]
        assert kinds == ["enter", "silent", "back", "silent", "exit"]


def test_a_name_that_becomes_ambiguous_fails_its_waiter_and_loses_no_event(site_args):
    # A waiter for "dup" is registered while its only member has not
    # described itself; a second member of the name enters in the same batch
    # as a third peer. The waiter fails at once with NotFoundError, and the
    # stream still gets every event of the batch.
    first, second, third = "6" * 32, "7" * 32, "8" * 32
    with corvo.Site(**site_args) as s:
        core = s._core
        with s.watch() as events:
            core._on_events([("enter", first, "dup", "device", False, "tcp://127.0.0.1:1", "")])
            waiter = core.described("dup")
            core._on_events([("enter", second, "dup", "device", False, "tcp://127.0.0.1:2", ""),
                             ("enter", third, "other", "device", False, "tcp://127.0.0.1:3", "")])
            with pytest.raises(corvo.NotFoundError, match="2 peers are named dup"):
                waiter.result(timeout=0)
            names = [events.get(T).peer for _ in range(3)]
        assert names == ["dup", "dup", "other"]


def test_a_stopped_daemon_is_flagged_silent_then_back(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd") as events:
            pyd.send_signal(signal.SIGSTOP)  # silent without closing anything
            try:
                wait_for_peer_event(events, "silent")
                assert [p.silent for p in s.peers() if p.name == "pyd"] == [True]
            finally:
                pyd.send_signal(signal.SIGCONT)
            # Heard again with its next message. Under load the resumed node
            # is now and then greeted anew (exit, then enter) rather than
            # heard back; either way it must end up present and not silent.
            try:
                assert s.set("pyd", "gain", 6.5, timeout=T) == 6.5
            except corvo.CorvoError as error:
                assert "left" in str(error)
                s.wait_for("pyd", timeout=T)
                assert s.set("pyd", "gain", 6.5, timeout=T) == 6.5
            wait_for_peer_event(events, "back", "enter")
            assert [p.silent for p in s.peers() if p.name == "pyd"] == [False]


def wait_for_peer_event(events, *kinds):
    deadline = time.monotonic() + T
    while time.monotonic() < deadline:
        try:
            event = events.get(1.0)
        except TimeoutError:
            continue
        if isinstance(event, corvo.PeerEvent) and event.kind in kinds:
            return event
    pytest.fail("no %s event" % " or ".join(kinds))


def test_async_callbacks_running_at_once_are_bounded(pyd, site_args):
    import asyncio
    started = []

    async def slow(event):
        started.append(event)
        await asyncio.sleep(3600)

    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd", "gain", callback=slow, queue_size=2) as stream:
            for gain in (2.0, 3.0, 4.0, 5.0, 6.0):
                s.set("pyd", "gain", gain, timeout=T)
            wait_until(lambda: stream.dropped == 3, timeout=T, what="three dropped events")
            assert [e.value for e in started] == [2.0, 3.0]


def test_a_stream_not_read_holds_at_most_max_bytes(pyd, site_args):
    """A daemon broadcasts 40 values of about 1 MiB to a stream nobody reads:
    it keeps the newest that fit in its max_bytes and counts the others as
    dropped."""
    count, max_bytes = 40, 8 << 20
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd", "blobs", max_bytes=max_bytes) as blobs, s.watch("pyd", "spilled") as done:
            s.command("pyd", "spill", count)
            # The daemon sends its count after every value: all have arrived.
            assert done.get(T).value == count
            held = []
            while True:
                try:
                    held.append(blobs.get(0).value)
                except TimeoutError:
                    break
            assert blobs.dropped > 0 and blobs.dropped + len(held) == count
            assert [int(value[0]) for value in held] == list(range(count - len(held), count))
            held_bytes = sum(len(text) for value in held for text in value)
            value_bytes = held_bytes // len(held)
            assert max_bytes - value_bytes < held_bytes <= max_bytes


def test_a_uuid_names_the_peer_watched(children, site_args):
    """Of two live daemons of one name, streams given one's UUID (watch,
    a device's watch) yield that daemon's events and none of the other's."""
    daemon = [program("CORVO_EXAMPLE_DAEMON")] + net_options(site_args)
    children.start(daemon, "wheel-a")
    children.start(daemon, "wheel-b")
    with corvo.Site(**site_args) as s:
        def described():
            twins = [p.uuid for p in s.peers() if p.name == "wheel"]
            return len(twins) == 2 and all(s._core.described_now(u) for u in twins) and twins
        a, b = wait_until(described, 60, "two described wheels")
        with s.watch(a, "focus") as focus, s.device(a, timeout=T).watch() as device:
            assert s.set(b, "focus", 3.5, timeout=T) == 3.5
            assert s.set(a, "focus", 2.5, timeout=T) == 2.5
            assert s.set(b, "focus", 4.5, timeout=T) == 4.5
            assert [(e.peer, e.name, e.value) for e in next_property_events(focus, 1)] == [("wheel", "focus", 2.5)]
            seen = []
            while True:
                try:
                    seen.append(device.get(0.5))
                except corvo.TimeoutError:
                    break
            values = [e.value for e in seen if isinstance(e, corvo.PropertyEvent) and e.name == "focus"]
            assert values == [2.5], seen
            with pytest.raises(corvo.TimeoutError):
                focus.get(0.5)
