"""Threads, asyncio and memory: calls from several threads, a second thread
keeps running while a call waits, blocking calls refused on the library's
thread, asyncio timeouts and cancellation leave nothing behind, async
iteration of events, and memory stays flat over 10,000 calls."""

import asyncio
import threading
import time

import pytest
import pytest_asyncio

import corvo
from conftest import net_options, program, wait_until

T = 30.0


@pytest.fixture
def wheel(children, site_args):
    return children.start([program("CORVO_EXAMPLE_DAEMON")] + net_options(site_args), "wheel")


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def test_second_thread_runs_while_a_call_waits(wheel, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        ticks = []
        stop = threading.Event()

        def worker():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.01)
        thread = threading.Thread(target=worker)
        thread.start()
        try:
            # Nothing confirms a read-only... a command waiting for a property
            # that never changes: the call blocks for its whole timeout.
            before = len(ticks)
            with pytest.raises(TimeoutError):
                s.command("wheel", "home", wait="temps", timeout=1.5)
            assert len(ticks) - before > 10
        finally:
            stop.set()
            thread.join()
        assert s._core.pending_requests() == 0


def test_calls_from_many_threads(wheel, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        errors = []

        def worker(n):
            try:
                for i in range(20):
                    value = float(n * 100 + i)
                    got = s.set("wheel", "focus", value, timeout=T)
                    assert got == value
            except Exception as e:  # reported below
                errors.append(e)
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []


def test_blocking_call_from_a_callback_is_refused(wheel, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        outcome = []

        def on_event(event):
            if isinstance(event, corvo.PropertyEvent) and event.name == "focus" and not outcome:
                try:
                    s.command("wheel", "home", wait="slot", timeout=1)
                    outcome.append("returned")
                except corvo.CorvoError as e:
                    outcome.append(str(e))
        with s.watch("wheel", callback=on_event):
            s.set("wheel", "focus", 3.0, timeout=T)
            wait_until(lambda: outcome, what="the callback")
        assert "cannot wait on the library's own thread" in outcome[0]


def test_watch_queue_is_bounded_and_counts_drops(wheel, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        with s.watch("wheel", queue_size=2) as events:
            for i in range(6):
                s.set("wheel", "focus", float(i + 10), timeout=T)
            # 6 focus broadcasts arrived; 2 are kept, the newest.
            wait_until(lambda: events.dropped >= 4, what="drops")
            kept = [events.get(0).value for _ in range(2)]
            assert kept[-1] == 15.0
            with pytest.raises(TimeoutError):
                events.get(0)


def test_memory_is_flat_over_10000_calls(wheel, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        for i in range(1000):
            s.set("wheel", "focus", float(i), timeout=T)
        before = rss_kb()
        for i in range(10000):
            if i % 2:
                s.set("wheel", "focus", float(i), timeout=T)
            else:
                s.get("wheel", "filters")
        grown = rss_kb() - before
        assert s._core.pending_requests() == 0
        # Allocator noise stays well below a leak of even 1 KB per call.
        assert grown < 5000, "RSS grew by %d KB" % grown


@pytest_asyncio.fixture
async def aio_site(site_args):
    async with corvo.aio.Site(**site_args) as s:
        yield s


@pytest.mark.asyncio
async def test_asyncio_timeout_and_cancellation(wheel, aio_site):
    s = aio_site
    await s.wait_for("wheel", timeout=T)
    with pytest.raises(TimeoutError):
        await s.command("wheel", "home", wait="temps", timeout=0.5)
    task = asyncio.create_task(s.command("wheel", "home", wait="temps", timeout=T))
    await asyncio.sleep(0.3)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert s.core.pending_requests() == 0
    with pytest.raises(corvo.NotFoundError):
        await s.get("nobody", "x", timeout=0.3)
    assert await s.set("wheel", "slot", 2, timeout=T) == 2


@pytest.mark.asyncio
async def test_asyncio_iteration_of_events(wheel, aio_site):
    s = aio_site
    await s.wait_for("wheel", timeout=T)
    # The daemon follows a move with its label: async iteration sees events.
    stream = s.watch("wheel")
    task = asyncio.create_task(s.command("wheel", "move", 4, 1.25))
    seen = {}

    async def follow():
        async for event in stream:
            if isinstance(event, corvo.PropertyEvent):
                seen[event.name] = event.value
            if seen.get("focus") == 1.25:
                break
    await asyncio.wait_for(follow(), 120)
    stream.close()
    await task
    assert seen["slot"] == 4 and seen["label"] == "Ha"
    # A closed stream ends its iteration.
    async for _ in stream:
        pytest.fail("a closed stream yielded")


@pytest.mark.asyncio
async def test_asyncio_cancelled_linger_and_closed_site(wheel, site_args):
    s = corvo.aio.Site(**site_args)
    await s.open()
    await s.wait_for("wheel", timeout=T)
    # A command waiting out its linger, cancelled: nothing is left waiting.
    task = asyncio.create_task(s.command("wheel", "home", linger=T))
    await asyncio.sleep(0.2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert s.core.pending_requests() == 0
    # Closing fails a pending request instead of leaving it hanging.
    waiting = asyncio.create_task(s.command("wheel", "home", wait="temps", timeout=T))
    while s.core.pending_requests() == 0:
        await asyncio.sleep(0.01)
    core = s.core
    await s.close()
    with pytest.raises(corvo.CorvoError, match="closed"):
        await waiting
    assert core.pending_requests() == 0
    with pytest.raises(corvo.CorvoError):
        await s.get("wheel", "slot")


@pytest.mark.asyncio
async def test_asyncio_open_cancelled_or_called_twice_leaves_one_node_at_most(site_args):
    """An open() cancelled while the node is being built (a wait_for, a
    TaskGroup sibling failing) leaves no member on the site, and two
    concurrent open() calls of one Site join once."""
    async with corvo.aio.Site(**site_args) as watcher:
        leaky = corvo.aio.Site(name="leaky", **site_args)
        opening = asyncio.create_task(leaky.open())
        await asyncio.sleep(0)  # the node is being built on another thread
        opening.cancel()
        with pytest.raises(asyncio.CancelledError):
            await opening
        twice = corvo.aio.Site(name="twice", **site_args)
        first, second = await asyncio.gather(twice.open(), twice.open())
        assert first is second is twice
        try:
            await watcher.wait_for("twice", timeout=T)

            def named(name):
                return [p.uuid for p in watcher.core.peers() if p.name == name]
            # Long enough for the watcher to hear every node started before
            # "twice" (beacons come every second); a closed one has left.
            deadline = time.monotonic() + T
            while time.monotonic() < deadline and (named("leaky") or len(named("twice")) != 1):
                await asyncio.sleep(0.1)
            await asyncio.sleep(5)
            assert named("leaky") == [] and named("twice") == [twice.uuid]
        finally:
            await twice.close()


def test_closing_fails_pending_requests(wheel, site_args):
    s = corvo.Site(**site_args)
    s.wait_for("wheel", timeout=T)
    result = []

    def waiter():
        try:
            s.command("wheel", "home", wait="temps", timeout=T)
        except corvo.CorvoError as e:
            result.append(e)
    t = threading.Thread(target=waiter)
    t.start()
    wait_until(lambda: s._core.pending_requests() == 1, what="the pending request")
    s.close()
    t.join(T)
    assert result and "closed" in str(result[0])
    with pytest.raises(corvo.CorvoError):
        s.get("wheel", "slot")
