"""The gateway's own logic against a stand-in site: who may connect, what a
browser receives, how values are throttled, what a browser may ask for."""

import asyncio
import json
import math
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

    def __init__(self, allow_write=False, max_rate=10.0, peers=None, history=None, login=None, tls=None):
        self.allow_write = allow_write
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
            allow_host=None, site="test", tls_cert=self.tls and self.tls[0], tls_key=self.tls and self.tls[1])
        self.scheme = "https" if self.tls else "http"
        self.gateway = Gateway(self.hub, self.fake, options, history=self.history, login=self.login)
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
            assert await box.take() == [0, "u0", "log"]
            now[0] += 0.05
            box.put_latest(("cam", "t"), 50)
            now[0] += 0.06
            assert await box.take() == [50]
            # Nothing pending: a value after the interval goes out at once.
            now[0] += 0.2
            box.put_latest(("cam", "t"), 51)
            assert await box.take() == [51]

        run(body())

    def test_held_value_is_sent_when_its_time_comes(self):
        async def body():
            box = Outbox(min_interval=0.05)
            box.put_latest("k", 1)
            box.put_latest("k", 2)
            box.put_latest("k", 3)
            assert await box.take() == [1]
            assert await asyncio.wait_for(box.take(), 10) == [3]

        run(body())

    def test_without_throttle_every_value_goes_in_order(self):
        async def body():
            box = Outbox(min_interval=0)
            for i in range(1000):
                box.put_latest("k", i)
            got = []
            while len(got) < 1000:
                got += await box.take()
            assert got == list(range(1000))

        run(body())

    def test_a_client_too_far_behind_is_closed_not_grown(self):
        async def body():
            box = Outbox(min_interval=0.1, max_queue=10, max_pending=5)
            for i in range(10):
                box.put(i)
            assert not box.overflowed
            box.put(10)
            assert box.overflowed and box.closed
            assert await box.take() == []
            box2 = Outbox(min_interval=10, max_pending=5)
            for i in range(12):
                box2.put_latest(i, "first")
                box2.put_latest(i, "second")
            assert box2.overflowed

        run(body())

    def test_log_records_are_left_out_and_counted_when_behind_never_the_rest(self):
        async def body():
            box = Outbox(min_interval=0.1, max_queue=10)
            for i in range(5):
                box.put(("ordered", i))
            for i in range(3):
                box.put_droppable(("log", i))
            assert box.skipped == 3 and not box.overflowed
            assert await box.take() == [("ordered", i) for i in range(5)]
            box.put_droppable(("log", 3))
            assert await box.take() == [{"type": "skipped", "count": 3}, ("log", 3)]

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
                assert values[0] == 0.0 and values[-1] == 199.0
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
            async def series(self, peer, prop, since, until):
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
            async def series(self, peer, prop, since, until):
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
            async def series(self, peer, prop, since, until):
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
        assert history._read("p", "x", 0.0, 3600.0) == [[1000.0, 0.0], [1000.001, 2.0], [1000.002, 0.0]]
        history.archive = Recorded(3 * MAX_POINTS)
        points = history._read("p", "x", 0.0, 3600.0)
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
