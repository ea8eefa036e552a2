"""The gateway's own logic against a stand-in site: who may connect, what a
browser receives, how values are throttled, what a browser may ask for."""

import asyncio
import json
import math
import os
import types

import pytest
from aiohttp import ClientSession, CookieJar, WSServerHandshakeError, web

from corvoweb.__main__ import OptionError, parse_options
from corvoweb.hub import Hub, json_safe
from corvoweb.outbox import Outbox
from corvoweb.server import Gateway, allowed_hosts, origin_matches, parse_request
from fake_site import FakeSite, camera


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


class Running:
    """A gateway on a free loopback port with a FakeSite behind it."""

    def __init__(self, allow_write=False, max_rate=10.0, peers=None, history=None, login=None, tls=None, key=None,
                 previews=None, public_url=None):
        self.public_url = public_url  # --public-url values: a proxy in front
        self.allow_write = allow_write
        self.key = key  # the gateway's own key: a secured site
        self.previews = previews
        self.tls = tls  # (certificate, key) files: HTTPS
        self.login = login
        self.history = history
        self.max_rate = max_rate
        self.fake = FakeSite([camera()] if peers is None else peers)

    async def __aenter__(self):
        self.hub = Hub(max_rate=self.max_rate)
        self.runner = None
        # The port is chosen first so that the allowed Host names include it.
        sock = __import__("socket").socket()
        sock.bind(("127.0.0.1", 0))
        self.port = sock.getsockname()[1]
        sock.close()
        options = types.SimpleNamespace(
            bind="127.0.0.1", http_port=self.port, allow_write=self.allow_write, image_root=None,
            allow_host=None, site="test", tls_cert=self.tls and self.tls[0], tls_key=self.tls and self.tls[1],
            key=self.key, public_url=self.public_url)
        self.scheme = "https" if self.tls else "http"
        self.gateway = Gateway(self.hub, self.fake, options, previews=self.previews and self.previews(self.hub),
                               history=self.history, login=self.login)
        self.runner = web.AppRunner(self.gateway.app())
        await self.runner.setup()
        from corvoweb.__main__ import tls_context

        await web.TCPSite(self.runner, "127.0.0.1", self.port, ssl_context=tls_context(options)).start()
        await asyncio.wait_for(self.fake.ready.wait(), 20)
        connector = None
        if self.tls:
            import ssl

            from aiohttp import TCPConnector

            connector = TCPConnector(ssl=ssl.create_default_context(cafile=self.tls[0]))
        # (cookies of 127.0.0.1 too)
        self.session = ClientSession(cookie_jar=CookieJar(unsafe=True), connector=connector)
        self.origin = "%s://127.0.0.1:%d" % (self.scheme, self.port)
        return self

    async def __aexit__(self, *exc):
        await self.session.close()
        if self.runner is not None:
            await self.runner.cleanup()

    def url(self, path="/"):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    async def socket(self, origin=None, host=None):
        headers = {"Origin": self.origin if origin is None else origin}
        if host:
            headers["Host"] = host
        return await self.session.ws_connect(self.url("/ws"), headers=headers)


async def receive_until(ws, wanted, timeout=20):
    """Messages received until one for which wanted(message) is true."""
    seen = []

    async def loop():
        while True:
            frame = await ws.receive()
            assert frame.type.name == "TEXT", frame
            for m in json.loads(frame.data):
                seen.append(m)
                if wanted(m):
                    return m

    await asyncio.wait_for(loop(), timeout)
    return seen


async def receive_until_async(ws, wanted, timeout=20):
    """As receive_until, with a coroutine `wanted`."""
    seen = []

    async def loop():
        while True:
            frame = await ws.receive()
            assert frame.type.name == "TEXT", frame
            for m in json.loads(frame.data):
                seen.append(m)
                if await wanted(m):
                    return

    await asyncio.wait_for(loop(), timeout)
    return seen


class TestWhoMayConnect:
    def test_socket_from_foreign_or_missing_origin_is_refused(self):
        async def body():
            async with Running() as g:
                for origin in ("http://evil.example", "", "null", "https://127.0.0.1:%d" % g.port,
                               "http://127.0.0.1:%d.evil.example" % g.port, "http://127.0.0.1:1"):
                    with pytest.raises(WSServerHandshakeError) as e:
                        await g.socket(origin=origin)
                    assert e.value.status == 403, origin
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.close()

        run(body())

    def test_foreign_host_header_is_refused_everywhere(self):
        # A page of another site reaching the gateway through a rebound DNS
        # name carries that name in Host.
        async def body():
            async with Running() as g:
                for path in ("/", "/static/app.js", "/image/1.png", "/ws"):
                    async with g.session.get(g.url(path), headers={"Host": "evil.example:%d" % g.port}) as r:
                        assert r.status == 403, path
                async with g.session.get(g.url("/"), headers={"Host": "localhost:%d" % g.port}) as r:
                    assert r.status == 200
                    assert "corvo console" in await r.text()
                    assert "default-src 'self'" in r.headers["Content-Security-Policy"]
                with pytest.raises(WSServerHandshakeError):
                    await g.socket(host="evil.example:%d" % g.port, origin="http://evil.example:%d" % g.port)

        run(body())

    def test_origin_and_host_rules(self):
        hosts = allowed_hosts("127.0.0.1", 8080)
        assert {"127.0.0.1:8080", "localhost:8080", "[::1]:8080"} <= hosts
        assert "127.0.0.1" not in hosts and "evil:8080" not in hosts
        assert origin_matches("http://localhost:8080", "localhost:8080")
        assert not origin_matches("http://localhost:8080/x", "localhost:8080")
        assert not origin_matches("http://user@localhost:8080", "localhost:8080")
        assert not origin_matches("http://localhost:8081", "localhost:8080")
        assert origin_matches("http://example.org", "example.org:80")

    def test_writes_on_a_public_address_are_refused_without_login(self):
        with pytest.raises(OptionError):
            parse_options(["--bind", "0.0.0.0", "--allow-write"])
        with pytest.raises(OptionError):
            parse_options(["--bind", "192.168.1.5", "--allow-write"])
        assert parse_options(["--bind", "0.0.0.0"]).allow_write is False
        assert parse_options(["--bind", "::1", "--allow-write"]).allow_write
        o = parse_options(["--allow-write"])
        assert (o.bind, o.http_port, o.port, o.site) == ("127.0.0.1", 8080, 5670, "corvo")

    def test_preview_rate_bounds(self):
        assert parse_options([]).preview_rate == 2.0 and not parse_options([]).no_image_fetch
        assert parse_options(["--preview-rate", "0.5"]).preview_rate == 0.5
        for bad in ("0", "-1", "101", "nan"):
            with pytest.raises(OptionError):
                parse_options(["--preview-rate", bad])


class TestWhatBrowsersReceive:
    def test_full_state_first_then_changes(self):
        async def body():
            async with Running() as g:
                ws = await g.socket()
                first = await receive_until(ws, lambda m: m["type"] == "state")
                assert [m["type"] for m in first] == ["hello", "state"]
                assert first[0]["write"] is False
                state = first[1]
                assert state["alive"] is True
                assert [p["name"] for p in state["peers"]] == ["camera"]
                assert state["peers"][0]["properties"]["expotime"]["value"] == 1.0
                g.hub.property_changed("camera", "expotime", 2.5)
                m = (await receive_until(ws, lambda m: m["type"] == "prop"))[-1]
                assert (m["id"], m["name"], m["value"]) == ("camera", "expotime", 2.5)
                # A second browser starts from the current values.
                ws2 = await g.socket()
                state2 = (await receive_until(ws2, lambda m: m["type"] == "state"))[-1]
                assert state2["peers"][0]["properties"]["expotime"]["value"] == 2.5
                g.hub.status_changed("camera", 1)
                m = (await receive_until(ws, lambda m: m["type"] == "status"))[-1]
                assert m["name"] == "EXPOSE"
                await ws.close()
                await ws2.close()

        run(body())

    def test_leaving_peer_is_marked_gone_and_replaced_when_back(self):
        async def body():
            async with Running() as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                g.hub.peer_left("camera")
                assert (await receive_until(ws, lambda m: m["type"] == "gone"))[-1]["id"] == "camera"
                # Values of a gone peer are not relayed as if live.
                g.hub.property_changed("camera", "expotime", 9.0)
                back = dict(camera(), id="camera-2")
                g.hub.peer_entered(back)
                seen = await receive_until(ws, lambda m: m["type"] == "peer")
                assert not any(m["type"] == "prop" for m in seen)
                assert {"type": "drop", "id": "camera"} in seen
                state = g.hub.snapshot()
                assert [p["id"] for p in state["peers"]] == ["camera-2"]
                await ws.close()

        run(body())

    def test_heartbeats_keep_coming_while_nothing_changes(self):
        async def body():
            async with Running() as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                beats = [m for m in await receive_until(ws, lambda m: m["type"] == "hb") if m["type"] == "hb"]
                assert beats[-1]["alive"] is True
                g.hub.site_state(False)
                assert (await receive_until(ws, lambda m: m["type"] == "hb"))[-1]["alive"] is False
                await ws.close()

        run(body())

    def test_heartbeats_count_every_value_received_before_throttling(self):
        async def body():
            async with Running(max_rate=1.0) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                before = [m for m in await receive_until(ws, lambda m: m["type"] == "hb") if m["type"] == "hb"]
                for i in range(5):
                    g.hub.property_changed("camera", "expotime", float(i))
                g.hub.property_changed("nobody", "expotime", 1.0)  # received, though not relayed
                after = [m for m in await receive_until(ws, lambda m: m["type"] == "hb") if m["type"] == "hb"]
                assert after[-1]["values"] - before[-1]["values"] == 6
                assert after[-1]["lost"] == 0
                await ws.close()

        run(body())

    def test_values_json_cannot_carry_become_text(self):
        doc = json.dumps(json_safe([math.nan, math.inf, -math.inf, b"\xff", "x" * 70000, (1, 2)]), allow_nan=False)
        nan, inf, minf, raw, long, pair = json.loads(doc)
        assert (nan, inf, minf, pair) == ("NaN", "Infinity", "-Infinity", [1, 2])
        assert raw == "\ufffd" and len(long) == 65536


class TestThrottle:
    def test_latest_value_wins_within_the_interval(self):
        now = [100.0]
        box = Outbox(min_interval=0.1, clock=lambda: now[0])

        async def body():
            for i in range(50):
                box.put_latest(("cam", "t"), i)
            box.put_latest(("cam", "u"), "u0")
            box.put("log")
            assert (await box.take())[1] == ["log", 49, "u0"]
            now[0] += 0.05
            box.put_latest(("cam", "t"), 50)
            box.put_latest(("cam", "t"), 51)
            now[0] += 0.06
            assert (await box.take())[1] == [51]
            # Nothing pending: a value after the interval goes out at once.
            now[0] += 0.2
            box.put_latest(("cam", "t"), 52)
            assert (await box.take())[1] == [52]

        run(body())

    def test_held_value_is_sent_when_its_time_comes(self):
        async def body():
            box = Outbox(min_interval=0.05)
            box.put_latest("k", 1)
            assert (await box.take())[1] == [1]
            box.put_latest("k", 2)
            box.put_latest("k", 3)
            assert (await asyncio.wait_for(box.take(), 10))[1] == [3]

        run(body())


class TestABrowserBehind:
    """A browser that is behind gets the newest value of each property, and
    what waits for it does not grow."""

    def test_values_wait_one_per_property_whatever_the_rate(self):
        async def body():
            box = Outbox(min_interval=0)
            for i in range(50):
                for p in range(100):
                    box.put_latest(("flood", "p%d" % p), (p, i))
            seq, batch = await box.take()
            assert batch == [(p, 49) for p in range(100)]

        run(body())

    def test_a_page_that_acknowledges_has_at_most_the_window_in_flight_and_its_lag_is_measured(self):
        now = [100.0]

        async def body():
            box = Outbox(min_interval=0, window=2, clock=lambda: now[0])
            box.put_latest("k", 0)
            first, _ = await box.take()
            box.acked(first)  # the page acknowledges: the window applies from now
            for i in range(1, 3):
                box.put_latest("k", i)
                await box.take()
                now[0] += 1.0
            # Two batches unacknowledged: the next waits, however many values come.
            for i in range(4, 1000):
                box.put_latest("k", i)
            waiting = asyncio.ensure_future(box.take())
            await asyncio.sleep(0.05)
            assert not waiting.done()
            assert box.lag() == pytest.approx(2.0)  # the oldest unacknowledged batch went 2 s ago
            box.put_heartbeat({"type": "hb"})
            box.acked(first + 1)
            seq, batch = await asyncio.wait_for(waiting, 10)
            assert batch == [999, {"type": "hb", "lag": pytest.approx(2.0)}]
            box.acked(seq)
            assert box.lag() == 0.0  # acknowledged at once

        run(body())

    def test_a_page_that_stops_acknowledging_is_given_up_after_max_lag(self):
        now = [0.0]

        async def body():
            box = Outbox(min_interval=0, window=2, max_lag=30.0, clock=lambda: now[0])
            box.put_latest("k", 0)
            seq, _ = await box.take()
            box.acked(seq)
            box.put_latest("k", 1)
            await box.take()
            now[0] += 29.0
            box.put_heartbeat({"type": "hb"})
            assert not box.overflowed
            now[0] += 2.0
            box.put_heartbeat({"type": "hb"})
            assert box.overflowed and await box.take() == (None, [])

        run(body())

    def test_the_first_batch_the_whole_state_is_no_lag(self):
        now = [0.0]

        async def body():
            box = Outbox(min_interval=0, clock=lambda: now[0])
            box.put({"type": "state"})
            seq, _ = await box.take()
            now[0] += 3.0  # a page drawing a large site
            box.acked(seq)
            assert box.lag() == 0.0
            box.put_latest("k", 1)
            seq, _ = await box.take()
            now[0] += 1.5
            box.acked(seq)
            assert box.lag() == pytest.approx(1.5)

        run(body())

    def test_a_client_that_never_acknowledges_is_not_held_back(self):
        async def body():
            box = Outbox(min_interval=0, window=2)
            for i in range(10):
                box.put_latest("k", i)
                assert (await asyncio.wait_for(box.take(), 10))[1] == [i]

        run(body())

    def test_the_page_acknowledges_through_its_socket_and_gets_its_lag(self):
        async def body():
            async with Running(max_rate=0) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                outbox = next(iter(g.hub.clients))
                # Without acknowledgements nothing holds the values back.
                for i in range(5):
                    g.hub.property_changed("camera", "temperature", float(i))
                    await receive_until(ws, lambda m: m["type"] == "prop" and m["value"] == float(i))
                seen = await receive_until(ws, lambda m: m["type"] == "seq")
                await ws.send_str(json.dumps({"op": "ack", "seq": seen[-1]["n"]}))
                await asyncio.sleep(0.2)
                # Acknowledging: a page that stops doing so gets no more than the window.
                for i in range(200):
                    g.hub.property_changed("camera", "temperature", 100.0 + i)
                    await asyncio.sleep(0.005)
                batches = []
                with pytest.raises(asyncio.TimeoutError):
                    await receive_until(ws, lambda m: batches.append(m) if m["type"] == "seq" else False, 1.5)
                assert len(batches) <= outbox.window
                assert outbox.lag() >= 1.0
                # Once it acknowledges, the newest value comes, and the heartbeat tells the lag.
                await ws.send_str(json.dumps({"op": "ack", "seq": batches[-1]["n"]}))
                seen = await receive_until(ws, lambda m: m["type"] == "hb")
                assert [m["value"] for m in seen if m["type"] == "prop"][-1] == 299.0
                assert seen[-1]["lag"] >= 1.0
                await ws.close()

        run(body())


    def test_a_client_too_far_behind_is_closed_not_grown(self):
        async def body():
            box = Outbox(min_interval=0.1, max_queue=10, max_pending=5)
            for i in range(10):
                box.put(i)
            assert not box.overflowed
            box.put(10)
            assert box.overflowed and box.closed
            assert await box.take() == (None, [])
            box2 = Outbox(min_interval=10, max_pending=5)
            for i in range(12):
                box2.put_latest(i, "first")
                box2.put_latest(i, "second")
            assert box2.overflowed

        run(body())

    def test_a_description_sent_again_is_not_queued_and_what_waits_is_bounded_in_bytes(self):
        """A peer sends its Info again and again while a page draws slowly."""
        max_bytes = 32 * 1024 * 1024  # apps/web/README.md, Bounds
        prop = {"type": "str", "value": "", "unit": "", "description": "d" * 1000, "writable": False,
                "limits": None, "choices": None}
        big = dict(camera("big"), properties={"p%04d" % i: dict(prop) for i in range(1000)})  # about 1 MiB

        async def body():
            hub = Hub(max_rate=0)
            hub.peer_entered(big)
            box = hub.attach({"type": "hello"})
            seq, _ = await box.take()
            box.acked(seq)  # the page drew its first batch: the window of 2 applies

            def say():  # a small message to every page
                hub.site_state(not hub.site_alive)

            async def fill_window():
                for _ in range(2):
                    say()
                    last, _ = await box.take()
                return last

            last = await fill_window()
            for _ in range(100):
                hub.peer_entered(dict(big))
            box.acked(last)
            say()
            seq, batch = await box.take()
            assert [m["type"] for m in batch] == ["site"]  # no copy of the same description
            box.acked(seq)

            await fill_window()
            size = len(json.dumps({"type": "peer", "peer": dict(big, status=10, gone=False, silent=False)},
                                  separators=(",", ":")))
            for i in range(100):
                hub.peer_entered(dict(big, status=10 + i))  # changed: sent, but held within the bound
                if box.overflowed:
                    break
            assert box.overflowed and box.closed
            assert i == pytest.approx(max_bytes / size, abs=1)  # queued up to the byte bound, not 5000
            assert await box.take() == (None, [])

        run(body())

    def test_log_records_are_left_out_and_counted_when_behind_never_the_rest(self):
        async def body():
            box = Outbox(min_interval=0.1, max_queue=10)
            for i in range(5):
                box.put(("ordered", i))
            for i in range(3):
                box.put_droppable(("log", i))
            assert box.skipped == 3 and not box.overflowed
            assert (await box.take())[1] == [("ordered", i) for i in range(5)]
            box.put_droppable(("log", 3))
            assert (await box.take())[1] == [{"type": "skipped", "count": 3}, ("log", 3)]

        run(body())

    def test_gateway_relays_a_fast_property_throttled(self):
        async def body():
            async with Running(max_rate=5) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                for i in range(200):
                    g.hub.property_changed("camera", "temperature", float(i))
                seen = await receive_until(ws, lambda m: m["type"] == "prop" and m["value"] == 199.0)
                values = [m["value"] for m in seen if m["type"] == "prop"]
                assert values[-1] == 199.0
                assert len(values) <= 3
                # A status that flips fast is throttled the same way.
                for i in range(100):
                    g.hub.status_changed("camera", i % 3)
                g.hub.status_changed("camera", 2)
                seen = await receive_until(ws, lambda m: m["type"] == "status" and m["name"] == "READOUT")
                assert sum(1 for m in seen if m["type"] == "status") <= 3
                await ws.close()

        run(body())


class TestWhatBrowsersMayAsk:
    def test_requests_are_checked_field_by_field(self):
        bad = [
            "not json", "[]", '{"op": "set"}', '{"id": true, "op": "set"}', '{"id": -1, "op": "set"}',
            '{"id": 1, "op": "set", "peer": "", "prop": "x", "value": "1"}',
            '{"id": 1, "op": "set", "peer": "p", "prop": "x", "value": null}',
            '{"id": 1, "op": "set", "peer": "p", "prop": "x", "value": [1]}',
            '{"id": 1, "op": "set", "peer": "%s", "prop": "x", "value": "1"}' % ("p" * 300),
            '{"id": 1, "op": "cmd", "peer": "p", "name": "x", "args": "1 2"}',
            '{"id": 1, "op": "cmd", "peer": "p", "name": "x", "args": [1]}',
            '{"id": 1, "op": "cmd", "peer": "p", "name": "x", "args": %s}' % json.dumps(["a"] * 33),
            '{"id": 1, "op": "history", "peer": "p", "prop": "x", "span": -5}',
            '{"id": 1, "op": "shutdown"}',
            # Text with a lone surrogate (JSON may escape one) cannot be sent as UTF-8.
            '{"id": 1, "op": "set", "peer": "p", "prop": "x", "value": "bad\\ud800"}',
            '{"id": 1, "op": "set", "peer": "p\\udc80", "prop": "x", "value": "1"}',
            '{"id": 1, "op": "cmd", "peer": "p", "name": "x", "args": ["ok", "bad\\udc80"]}',
        ]
        for text in bad:
            assert "error" in parse_request(text), text
        ok = parse_request('{"id": 7, "op": "set", "peer": "p", "prop": "x", "value": 2.5}')
        assert ok == {"op": "set", "id": 7, "peer": "p", "prop": "x", "value": "2.5"}

    def test_writes_refused_without_allow_write(self):
        async def body():
            async with Running(allow_write=False) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.send_str(json.dumps({"id": 1, "op": "set", "peer": "camera", "prop": "expotime", "value": "3"}))
                await ws.send_str(json.dumps({"id": 2, "op": "cmd", "peer": "camera", "name": "expose", "args": []}))
                replies = []
                await receive_until(ws, lambda m: m["type"] == "reply" and replies.append(m) is None and len(replies) == 2)
                assert all(not r["ok"] and "--allow-write" in r["error"] for r in replies)
                assert g.fake.sets == [] and g.fake.commands == []
                await ws.close()

        run(body())

    def test_writes_reach_the_site_and_the_answer_comes_back(self):
        async def body():
            async with Running(allow_write=True) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.send_str(json.dumps({"id": 1, "op": "set", "peer": "camera", "prop": "expotime", "value": "3"}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply == {"type": "reply", "id": 1, "op": "set", "ok": True, "value": 3.0}
                g.fake.refuse = "value outside the limits"
                await ws.send_str(json.dumps({"id": 2, "op": "set", "peer": "camera", "prop": "expotime", "value": "99"}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert (reply["ok"], reply["error"]) == (False, "value outside the limits")
                await ws.send_str("{broken")
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] is False
                await ws.send_str(json.dumps({"id": 3, "op": "history", "peer": "camera", "prop": "expotime"}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] is False and "archive" in reply["error"]
                assert g.fake.sets == [("camera", "expotime", "3"), ("camera", "expotime", "99")]
                await ws.close()

        run(body())

    def test_oversized_message_closes_the_socket(self):
        async def body():
            async with Running() as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.send_str("x" * 200000)
                while True:
                    frame = await asyncio.wait_for(ws.receive(), 20)
                    if frame.type.name in ("CLOSE", "CLOSED", "CLOSING", "ERROR"):
                        break
                assert ws.closed or frame.type.name != "TEXT"

        run(body())


class TestHostileBrowserMessages:
    """What a browser sends is untrusted: mutated requests of every kind
    never raise in the parser and never upset the gateway."""

    SEEDS = [
        {"id": 1, "op": "set", "peer": "camera", "prop": "expotime", "value": "3"},
        {"id": 2, "op": "cmd", "peer": "camera", "name": "expose", "args": []},
        {"id": 3, "op": "history", "peer": "camera", "prop": "temperature", "since": 1e9, "until": 1.1e9,
         "points": 100},
        {"op": "ack", "seq": 4},
    ]
    ODD = [None, True, -1, 2**64, 1e308, float("inf"), "", "x" * 300, [], {}, [1, "a"], {"a": 1}, "\u0000", -0.0]

    def mutations(self, rng, count):
        import copy

        for _ in range(count):
            request = copy.deepcopy(rng.choice(self.SEEDS))
            for _ in range(rng.randint(1, 3)):
                key = rng.choice(list(request) + ["op", "id", "seq", "extra"])
                if rng.random() < 0.2:
                    request.pop(key, None)
                else:
                    request[key] = rng.choice(self.ODD)
            text = json.dumps(request, allow_nan=True)
            if rng.random() < 0.2:
                cut = rng.randint(0, len(text))
                text = text[:cut] + rng.choice(["", "}", "]", "\\", "\x00", "\ud800"]) + text[cut:]
            yield text

    def test_mutated_requests_never_raise_in_the_parser(self):
        import random

        rng = random.Random(2026)
        for text in self.mutations(rng, 5000):
            result = parse_request(text)
            assert isinstance(result, dict) and ("error" in result or "op" in result), (text, result)

    def test_a_stream_of_them_leaves_the_gateway_serving(self):
        import random

        rng = random.Random(7)

        async def body():
            async with Running(allow_write=True) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                for text in self.mutations(rng, 300):
                    # (A text frame carries UTF-8: a lone surrogate cannot be sent as text.)
                    await ws.send_str(text.encode("utf-8", "replace").decode("utf-8"))
                await asyncio.sleep(0.5)  # the requests still running finish (at most 8 at once)
                await ws.send_str(json.dumps({"id": 99, "op": "set", "peer": "camera", "prop": "expotime",
                                              "value": "2"}))
                # (A mutated "ack" may have turned the window on: answered as a page does.)

                async def acked(m):
                    if m["type"] == "seq":
                        await ws.send_str(json.dumps({"op": "ack", "seq": m["n"]}))
                    return m["type"] == "reply" and m["id"] == 99

                replies = await receive_until_async(ws, acked, 60)
                assert replies[-1]["ok"] and replies[-1]["value"] == 2.0, replies[-1]
                await ws.close()

        run(body())


class TestSecuredSite:
    def test_without_login_a_secured_gateway_refuses_writes_instead_of_making_them_as_itself(self):
        async def body():
            async with Running(allow_write=True, key="console") as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.send_str(json.dumps({"id": 1, "op": "set", "peer": "camera", "prop": "expotime", "value": "3"}))
                await ws.send_str(json.dumps({"id": 2, "op": "cmd", "peer": "camera", "name": "expose", "args": []}))
                replies = []
                await receive_until(ws, lambda m: m["type"] == "reply" and replies.append(m) is None and len(replies) == 2)
                assert all(not r["ok"] and "logged-in user" in r["error"] for r in replies), replies
                assert g.fake.sets == [] and g.fake.commands == []
                await ws.close()

        run(body())


class TestStopping:
    def test_open_pages_are_told_going_away_and_the_gateway_stops_at_once(self):
        async def body():
            g = Running()
            await g.__aenter__()
            sockets = [await g.socket() for _ in range(3)]
            for ws in sockets:
                await receive_until(ws, lambda m: m["type"] == "state")
            # The clients keep their sockets open and never close them.
            readers = [asyncio.ensure_future(ws.receive()) for ws in sockets]
            started = asyncio.get_running_loop().time()
            await g.runner.cleanup()
            took = asyncio.get_running_loop().time() - started
            g.runner = None
            frames = await asyncio.gather(*readers)
            await g.session.close()
            assert [f.type.name for f in frames] == ["CLOSE"] * 3
            assert all(f.data == 1001 for f in frames), frames
            assert took < 5.0, took  # not the server's 60 s wait for pages to leave

        run(body())


class TestPageLoad:
    def test_settled_is_answered_once_the_page_handled_its_first_batch(self, monkeypatch):
        import corvoweb.server

        async def body():
            async with Running() as g:
                # Waits long enough that an answer can only come from the page's acknowledgement.
                monkeypatch.setattr(corvoweb.server, "SETTLE_WAIT", 60.0)
                token = "abcdef0123456789"
                ws = await g.session.ws_connect(g.url("/ws?page=" + token), headers={"Origin": g.origin})
                settled = asyncio.ensure_future(g.session.get(g.url("/settled?page=" + token)))
                seen = await receive_until(ws, lambda m: m["type"] == "seq")
                await asyncio.sleep(0.3)
                assert not settled.done()  # received is not handled
                await ws.send_str(json.dumps({"op": "ack", "seq": seen[-1]["n"]}))
                response = await asyncio.wait_for(settled, 30)
                assert response.status == 200 and response.content_type == "image/gif"
                # A token no socket uses waits out the bound; bad tokens are kept nowhere.
                monkeypatch.setattr(corvoweb.server, "SETTLE_WAIT", 0.2)
                for query in ("nosuchpage0000", "x" * 500, "../../etc"):
                    async with g.session.get(g.url("/settled?page=" + query)) as r:
                        assert r.status == 200
                assert g.gateway.settling == {}
                await ws.close()

        run(body())


class TestTimeRanges:
    def test_a_plot_asks_for_a_range_with_exclusive_end_and_a_point_budget(self):
        asked = []

        class Archive:
            async def series(self, peer, prop, since, until, points=2000):
                asked.append((peer, prop, since, until, points))
                return [[since, 1.0]]

        async def body():
            async with Running(history=Archive()) as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                await ws.send_str(json.dumps({"id": 1, "op": "history", "peer": "camera", "prop": "temperature",
                                              "since": 1700000000, "until": 1700086400, "points": 800}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] and (reply["since"], reply["until"]) == (1700000000, 1700086400)
                assert asked == [("camera", "temperature", 1700000000.0, 1700086400.0, 800)]
                await ws.send_str(json.dumps({"id": 2, "op": "history", "peer": "camera", "prop": "temperature",
                                              "since": 1700086400, "until": 1700000000}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert not reply["ok"] and "empty" in reply["error"]
                await ws.close()

        for bad in ('"points": 0', '"points": 5000', '"since": "yesterday"', '"until": -1', '"points": true'):
            text = '{"id": 1, "op": "history", "peer": "p", "prop": "x", %s}' % bad
            assert "error" in parse_request(text), text
        run(body())

    def test_the_point_budget_goes_to_an_archive_that_takes_one(self):
        from corvoweb.history import History

        asked = []

        class Budgeted:
            def aggregate(self, peer, prop, since=None, until=None, every=60.0, points=None):
                asked.append((every, points))
                return [(since + i, 0.0, float(i), 2.0, 10) for i in range(points)]

            def samples(self, peer, prop, since, until):
                raise AssertionError("too many values to read them all")

        history = History.__new__(History)
        history.archive = Budgeted()
        points = history._read("p", "x", 0.0, 31536000.0, 500)
        assert asked == [(60.0, 500)] and len(points) == 500

    def test_an_archived_range_keeps_only_values_before_its_end(self):
        from corvoweb.history import History

        class Recorded:
            def aggregate(self, peer, prop, since, until, every):
                return [(since, 0.0, 1.0, 2.0, 3)]

            def samples(self, peer, prop, since, until):
                return [(10.0, 1.0), (15.0, 2.0), (20.0, 3.0)]  # an inclusive archive gives its end too

        history = History.__new__(History)
        history.archive = Recorded()
        assert history._read("p", "x", 10.0, 20.0, 100) == [[10.0, 1.0], [15.0, 2.0]]


class TestCameraOnArrival:
    def test_an_image_taken_before_the_gateway_started_is_previewed(self, tmp_path):
        import numpy as np
        from astropy.io import fits

        from corvoweb.preview import Previews

        image = tmp_path / "old.fits"
        fits.PrimaryHDU(np.arange(64, dtype=np.int16).reshape(8, 8)).writeto(image)
        cam = camera()
        cam["properties"]["filename"]["value"] = str(image)

        async def body():
            async with Running(peers=[cam], previews=lambda hub: Previews(str(tmp_path), 1 << 20, hub.publish)) as g:
                ws = await g.socket()
                seen = await receive_until(ws, lambda m: m["type"] == "image")
                assert seen[-1]["ok"] and seen[-1]["filename"] == str(image), seen[-1]
                # Described again with the same file: not made again.
                g.hub.peer_entered(cam)
                await asyncio.sleep(0.3)
                assert g.gateway.previews.seq == 1
                await ws.close()

        run(body())


class TestPreviewsOfTheSite:
    """Images of the cameras reach every page, whatever their pixels, and
    are kept no longer than the hub keeps their cameras."""

    @staticmethod
    def camera_showing(image, name="camera"):
        cam = camera(name)
        cam["properties"]["filename"]["value"] = str(image)
        return cam

    def test_an_image_whose_statistics_overflow_reaches_later_pages_too(self, tmp_path):
        import numpy as np
        from astropy.io import fits

        from corvoweb.preview import Previews

        # Finite pixels near the float64 limit: their mean and spread overflow.
        image = tmp_path / "hot.fits"
        fits.PrimaryHDU(np.full((16, 16), 1.5e308)).writeto(image)

        async def body():
            async with Running(peers=[self.camera_showing(image)],
                               previews=lambda hub: Previews(str(tmp_path), 1 << 20, hub.publish)) as g:
                ws = await g.socket()
                shown = (await receive_until(ws, lambda m: m["type"] == "image"))[-1]
                assert shown["ok"] and shown["stats"]["mean"] == "Infinity", shown
                # A page opened afterwards gets the stored image in its first batch.
                later = await g.socket()
                first = await receive_until(later, lambda m: m["type"] == "image", timeout=10)
                assert [m["type"] for m in first] == ["hello", "state", "image"]
                assert first[-1]["stats"] == shown["stats"]
                # A message JSON cannot carry is left out; the page goes on.
                for outbox in g.hub.clients:
                    outbox.put({"type": "odd", "value": float("nan")})
                while any(outbox._queue for outbox in g.hub.clients):  # taken as a batch of its own
                    await asyncio.sleep(0.01)
                g.hub.property_changed("camera", "expotime", 4.5)
                for page in (ws, later):
                    m = (await receive_until(page, lambda m: m["type"] == "prop", timeout=10))[-1]
                    assert m["value"] == 4.5
                await ws.close()
                await later.close()

        run(body())

    def test_the_previews_of_a_camera_the_hub_drops_are_forgotten(self, tmp_path):
        import numpy as np
        from astropy.io import fits

        from corvoweb.preview import Previews

        image = tmp_path / "a.fits"
        fits.PrimaryHDU(np.arange(64, dtype=np.int16).reshape(8, 8)).writeto(image)
        cache = tmp_path / "cache"
        cache.mkdir()
        names = ["cam%d" % i for i in range(4)]

        async def body():
            async with Running(peers=[], previews=lambda hub: Previews(str(tmp_path), 1 << 20, hub.publish,
                                                                       cache_dir=str(cache))) as g:
                g.hub.max_gone = 2
                ws = await g.socket()
                for name in names:
                    g.hub.peer_entered(self.camera_showing(image, name))
                    await receive_until(ws, lambda m: m["type"] == "image" and m["id"] == name)
                    g.hub.peer_left(name)
                # The two that left first are dropped by the hub, their previews with them.
                previews = g.gateway.previews
                assert sorted(g.hub.peers) == names[2:]
                assert sorted(previews.images) == sorted(previews.latest) == names[2:]
                assert len(os.listdir(cache)) == 2
                later = await g.socket()
                first = await receive_until(later, lambda m: m["type"] == "seq")
                assert sorted(m["id"] for m in first if m["type"] == "image") == names[2:]
                await ws.close()
                await later.close()

        run(body())


class TestSilentPeers:
    def test_a_silent_peer_is_flagged_and_cleared(self):
        async def body():
            async with Running() as g:
                ws = await g.socket()
                await receive_until(ws, lambda m: m["type"] == "state")
                g.hub.peer_silent("camera", True)
                g.hub.peer_silent("camera", True)  # said once
                g.hub.peer_silent("camera", False)
                seen = await receive_until(ws, lambda m: m["type"] == "silent" and not m["silent"])
                assert [m["silent"] for m in seen if m["type"] == "silent"] == [True, False]
                g.hub.peer_silent("camera", True)
                ws2 = await g.socket()
                state = (await receive_until(ws2, lambda m: m["type"] == "state"))[-1]
                assert state["peers"][0]["silent"] is True
                await ws.close()
                await ws2.close()

        run(body())


class TestTypedText:
    def test_text_from_the_page_is_parsed_for_the_property_type(self):
        from corvoweb.site import Refused, parse_text

        assert parse_text("int", " 42 ") == 42
        assert parse_text("float", "-1.5e3") == -1500.0
        assert parse_text("str", "  keep spaces ") == "  keep spaces "
        assert parse_text("list[int]", "1, 2,3") == [1, 2, 3]
        assert parse_text("list[float]", "") == []
        assert parse_text("list[str]", "a,b") == ["a", "b"]
        # A choice's label goes on as text; the package maps it to its number.
        assert parse_text("int", "UINT16", [[20, "UINT16"]]) == "UINT16"
        for ptype, text in (("int", "12abc"), ("int", "1.5"), ("int", ""), ("float", "nan"),
                            ("float", "inf"), ("float", "x"), ("list[int]", "1,x"), ("blob", "1")):
            with pytest.raises(Refused):
                parse_text(ptype, text)

    def test_set_of_an_unknown_property_is_refused_before_the_site(self):
        from corvoweb.site import Refused, SiteAdapter

        async def body():
            adapter = SiteAdapter()
            adapter.site = object()  # never reached
            adapter.hub = Hub()
            adapter.hub.peer_entered(camera())
            with pytest.raises(Refused, match="no property"):
                await adapter.set("camera", "nosuch", "1")
            with pytest.raises(Refused, match="not a number"):
                await adapter.set("camera", "expotime", "fast")

        run(body())


class TestGonePeers:
    def test_gone_peers_are_bounded_and_a_returning_peer_is_not_dropped(self):
        hub = Hub(max_gone=3)
        for i in range(6):
            hub.peer_entered(dict(camera("cam%d" % i)))
            hub.peer_left("cam%d" % i)
        assert sorted(hub.peers) == ["cam3", "cam4", "cam5"]
        # cam3 comes back; more peers leave; the live cam3 stays.
        hub.peer_entered(dict(camera("cam3")))
        for i in range(6, 10):
            hub.peer_entered(dict(camera("cam%d" % i)))
            hub.peer_left("cam%d" % i)
        assert "cam3" in hub.peers and not hub.peers["cam3"]["gone"]
        assert sum(1 for p in hub.peers.values() if p["gone"]) == 3
        # A tool that leaves is taken off at once.
        hub.peer_entered({"id": "tool", "name": "tool", "client": True})
        hub.peer_left("tool")
        assert "tool" not in hub.peers


class TestHistoryHook:
    def test_a_plot_asks_the_archive_by_peer_name_for_the_span(self):
        asked = []

        class Archive:
            async def series(self, peer, prop, since, until, points=2000):
                asked.append((peer, prop, until - since))
                return [[since, 1.0], [until, 2.0]]

        async def body():
            async with Running(history=Archive()) as g:
                ws = await g.socket()
                hello = (await receive_until(ws, lambda m: m["type"] == "state"))[0]
                assert hello["history"] is True
                await ws.send_str(json.dumps({"id": 5, "op": "history", "peer": "camera", "prop": "temperature",
                                              "span": 600}))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] and [p[1] for p in reply["points"]] == [1.0, 2.0]
                assert asked == [("camera", "temperature", 600.0)]
                await ws.close()

        run(body())


class TestArchiveOpenedLazily:
    """The archive is opened at the first plot, again after a failure, but
    not more often than once every RETRY_SECONDS."""

    def test_open_waits_for_a_plot_retries_after_the_pause_and_is_kept(self):
        from corvoweb.history import RETRY_SECONDS, Archive, Unavailable

        now = [100.0]
        opened = []
        exists = [False]

        class Series:
            async def series(self, peer, prop, since, until, points=2000):
                return [[since, 1.0]]

        def opener(db):
            opened.append(db)
            if not exists[0]:
                raise RuntimeError("no such file")
            return Series()

        async def body():
            archive = Archive("/x/history.db", opener=opener, clock=lambda: now[0])
            assert opened == []  # nothing at start
            with pytest.raises(Unavailable, match="cannot be opened: no such file"):
                await archive.series("camera", "t", 0, 1)
            exists[0] = True
            # Within the pause: the last reason, no new attempt.
            now[0] += RETRY_SECONDS / 2
            with pytest.raises(Unavailable, match="no such file"):
                await archive.series("camera", "t", 0, 1)
            assert len(opened) == 1
            # Many plots at once after the pause: one attempt.
            now[0] += RETRY_SECONDS
            results = await asyncio.gather(*(archive.series("camera", "t", 5, 6) for _ in range(5)))
            assert results == [[[5, 1.0]]] * 5 and len(opened) == 2
            await archive.series("camera", "t", 0, 1)
            assert len(opened) == 2

        run(body())

    def test_the_page_gets_the_reason_and_the_plot_works_once_the_archive_exists(self, tmp_path):
        from corvoweb.history import Archive

        db = tmp_path / "history.db"

        class Series:
            async def series(self, peer, prop, since, until, points=2000):
                return [[until, 7.0]]

        def opener(path):
            if not db.exists():
                raise RuntimeError("cannot open %s" % path)
            return Series()

        now = [0.0]

        async def body():
            async with Running(history=Archive(str(db), opener=opener, clock=lambda: now[0])) as g:
                ws = await g.socket()
                hello = (await receive_until(ws, lambda m: m["type"] == "state"))[0]
                assert hello["history"] is True
                ask = {"id": 1, "op": "history", "peer": "camera", "prop": "temperature", "span": 60}
                await ws.send_str(json.dumps(ask))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert not reply["ok"] and "cannot be opened" in reply["error"] and str(db) in reply["error"]
                db.write_bytes(b"")
                now[0] += 60
                await ws.send_str(json.dumps(dict(ask, id=2)))
                reply = (await receive_until(ws, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] and [p[1] for p in reply["points"]] == [7.0]
                await ws.close()

        run(body())

    def test_without_the_python_binding_the_reason_says_so(self, monkeypatch):
        from corvoweb.history import Archive, Unavailable

        monkeypatch.setitem(__import__("sys").modules, "corvo.history", None)
        with pytest.raises(Unavailable, match="corvo.history is not installed"):
            run(Archive("/x.db").series("p", "v", 0, 1))

    def test_few_recorded_values_come_as_they_are_many_as_interval_means(self):
        from corvoweb.history import MAX_POINTS, History

        class Recorded:
            def __init__(self, n):
                self.times = [1000.0 + i * 0.001 for i in range(n)]

            def aggregate(self, peer, prop, since, until, every):
                rows = {}
                for t, v in self.samples(peer, prop, since, until):
                    rows.setdefault(since + (t - since) // every * every, []).append(v)
                return [(k, min(v), sum(v) / len(v), max(v), len(v)) for k, v in sorted(rows.items())]

            def samples(self, peer, prop, since, until):
                return [(t, 2.0 * (i % 2)) for i, t in enumerate(self.times)]  # 0, 2, 0, 2, ...

        history = History.__new__(History)
        history.archive = Recorded(3)  # three values within a millisecond or two
        assert history._read("p", "x", 0.0, 3600.0, MAX_POINTS) == [[1000.0, 0.0], [1000.001, 2.0], [1000.002, 0.0]]
        history.archive = Recorded(3 * MAX_POINTS)
        points = history._read("p", "x", 0.0, 3600.0, MAX_POINTS)
        assert 0 < len(points) <= MAX_POINTS and all(0.9 < v < 1.1 for _, v in points)


class TestSiteAdapter:
    def test_a_peer_entering_while_the_first_peers_are_described_is_not_missed(self, monkeypatch):
        """The adapter against a stand-in corvo.aio.Site whose second peer
        enters while the first one's description is being asked for."""
        import sys

        from corvoweb.site import SiteAdapter

        class Stream:
            def __init__(self):
                self.queue = asyncio.Queue()
                self.dropped = 0

            def __aiter__(self):
                return self

            async def __anext__(self):
                return await self.queue.get()

        class PeerEvent:
            def __init__(self, peer, kind):
                self.peer, self.kind = peer, kind

        class Site:
            def __init__(self, **options):
                self.present = [{"name": "camera", "uuid": "c", "type": "camera", "client": False}]
                self.streams = []

            async def __aenter__(self):
                return self

            async def __aexit__(self, *exc):
                pass

            def watch(self):
                self.streams.append(Stream())
                return self.streams[-1]

            logs = watch

            async def peers(self):
                return list(self.present)

            async def info(self, name, timeout):
                if name == "camera" and len(self.present) == 1:
                    self.present.append({"name": "wheel", "uuid": "w", "type": "wheel", "client": False})
                    for stream in self.streams:
                        stream.queue.put_nowait(PeerEvent("wheel", "enter"))
                    await asyncio.sleep(0.05)
                return {"name": name, "properties": {}, "commands": {}, "statuses": {}, "status": 0}

        corvo = types.ModuleType("corvo")
        corvo.CorvoError = RuntimeError
        corvo.aio = types.ModuleType("corvo.aio")
        corvo.aio.Site = Site
        monkeypatch.setitem(sys.modules, "corvo", corvo)
        monkeypatch.setitem(sys.modules, "corvo.aio", corvo.aio)

        async def body():
            hub = Hub()
            task = asyncio.ensure_future(SiteAdapter().run(hub))
            deadline = asyncio.get_running_loop().time() + 10
            while set(hub.peers) != {"camera", "wheel"} and asyncio.get_running_loop().time() < deadline:
                await asyncio.sleep(0.02)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            assert set(hub.peers) == {"camera", "wheel"}

        run(body())

    def test_the_packages_silent_flag_and_events_reach_the_hub(self):
        from corvoweb.site import SiteAdapter, describe

        assert describe({"name": "cam", "silent": True}, {"name": "cam"})["silent"] is True
        assert describe({"name": "cam"}, {"name": "cam"})["silent"] is False  # a package without the flag

        class Event:
            def __init__(self, kind):
                self.peer, self.kind = "camera", kind

        class Events:
            def __init__(self, kinds):
                self.items = [Event(k) for k in kinds]
                self.dropped = 0

            def __aiter__(self):
                return self

            async def __anext__(self):
                if not self.items:
                    raise StopAsyncIteration
                return self.items.pop(0)

        Event.__name__ = "PeerEvent"

        class Site:
            silent = False

            async def peers(self):
                return [{"name": "camera", "uuid": "c", "type": "camera", "client": False, "silent": self.silent}]

        async def body():
            hub = Hub()
            hub.peer_entered(camera())
            changes = []
            client = hub.attach({"type": "hello"})
            adapter = SiteAdapter()
            adapter.hub = hub
            adapter.site = Site()
            adapter.site.silent = True
            await adapter._follow(Events(["silent"]))
            changes.append(hub.peers["camera"]["silent"])
            adapter.site.silent = False
            await adapter._follow(Events(["back"]))
            changes.append(hub.peers["camera"]["silent"])
            assert changes == [True, False]
            hub.detach(client)

        run(body())
