"""The HTTP side of the gateway: the page, its WebSocket, image previews.

Every request must name the gateway itself in its Host header (a page of
another site reaching it through a rebound DNS name is refused), and a
WebSocket must come from a page of the gateway (its Origin). Browser messages
are untrusted: each is at most `MAX_MESSAGE` bytes, its fields are checked,
and a browser has at most `MAX_IN_FLIGHT` requests waiting at once.
"""

import asyncio
import ipaddress
import json
import logging
import pathlib
import socket
import time
from urllib.parse import urlsplit

from aiohttp import WSMsgType, web

from .history import Unavailable
from .hub import json_safe
from .site import Refused

log = logging.getLogger("corvo-web")

STATIC = pathlib.Path(__file__).resolve().parent / "static"
MAX_MESSAGE = 65536
MAX_IN_FLIGHT = 8
MAX_NAME = 256
MAX_ARGS = 32
HEARTBEAT = 0.5  # seconds between heartbeats; the page calls 1.5 s of silence stale


def is_loopback(host):
    if host in ("localhost", "localhost.localdomain"):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def allowed_hosts(bind, port, extra=()):
    """The Host header values that name this gateway."""
    names = {bind}
    if is_loopback(bind):
        names |= {"localhost", "127.0.0.1", "[::1]"}
    if bind in ("0.0.0.0", "::", ""):
        names |= {socket.gethostname(), socket.getfqdn(), "localhost", "127.0.0.1"}
    names |= set(extra)
    result = set()
    for n in names:
        if ":" in n and not n.startswith("["):
            n = "[" + n + "]"
        result.add(("%s:%d" % (n, port)).lower())
        if port == 80:
            result.add(n.lower())
    return result


def origin_matches(origin, host):
    """True if `origin` is the http origin of the page served as `host`."""
    if not origin:
        return False
    try:
        parts = urlsplit(origin)
    except ValueError:
        return False
    if parts.scheme != "http" or parts.path not in ("", "/") or parts.query or parts.username:
        return False
    netloc = parts.netloc.lower()
    return netloc == host or (":" not in netloc.rsplit("]", 1)[-1] and netloc + ":80" == host)


class Gateway:
    def __init__(self, hub, adapter, options, previews=None, history=None):
        self.hub = hub
        self.adapter = adapter
        self.options = options
        self.previews = previews
        self.history = history
        self.hosts = allowed_hosts(options.bind, options.http_port, options.allow_host or ())
        if previews:
            hub.listeners.append(self._property_seen)

    def _property_seen(self, pid, name, value):
        if name == "filename" and isinstance(value, str):
            self.previews.file_changed(pid, value)

    def app(self):
        app = web.Application(middlewares=[self._check_host], client_max_size=MAX_MESSAGE)
        app.router.add_get("/", self._index)
        app.router.add_get("/ws", self._socket)
        app.router.add_get("/image/{seq:[0-9]{1,12}}.png", self._image)
        app.router.add_static("/static/", STATIC, follow_symlinks=False)
        app.on_startup.append(self._start)
        app.on_cleanup.append(self._stop)
        return app

    async def _start(self, app):
        self._tasks = [asyncio.ensure_future(self._beat())]
        if self.adapter is not None:
            self._tasks.append(asyncio.ensure_future(self._run_site()))

    async def _stop(self, app):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        for client in list(self.hub.clients):
            self.hub.detach(client)

    async def _run_site(self):
        # The site connection is kept: if it ends, the browsers see the site
        # lost (stale) and the gateway connects again.
        while True:
            try:
                await self.adapter.run(self.hub)
            except asyncio.CancelledError:
                raise
            except Exception:
                log.exception("lost the site")
            self.hub.site_state(False)
            for pid, peer in list(self.hub.peers.items()):
                self.hub.peer_left(pid)
            await asyncio.sleep(2.0)

    async def _beat(self):
        while True:
            await asyncio.sleep(HEARTBEAT)
            self.hub.heartbeat()

    @web.middleware
    async def _check_host(self, request, handler):
        host = (request.headers.get("Host") or "").lower()
        if host not in self.hosts:
            return web.Response(status=403, text="refused: Host %r is not this gateway\n" % host[:100])
        response = await handler(request)
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        response.headers.setdefault("X-Frame-Options", "DENY")
        response.headers.setdefault("Referrer-Policy", "no-referrer")
        response.headers.setdefault(
            "Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
            "connect-src 'self'; frame-ancestors 'none'",
        )
        return response

    async def _index(self, request):
        return web.FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-cache"})

    async def _image(self, request):
        png = self.previews.png(int(request.match_info["seq"])) if self.previews else None
        if png is None:
            raise web.HTTPNotFound(text="no such preview\n")
        return web.Response(body=png, content_type="image/png", headers={"Cache-Control": "max-age=3600"})

    def hello(self):
        return {
            "type": "hello",
            "write": bool(self.options.allow_write),
            "history": self.history is not None,
            "site": self.options.site,
            "heartbeat": HEARTBEAT,
            "imageRoot": bool(self.options.image_root),
        }

    async def _socket(self, request):
        host = request.headers.get("Host", "").lower()
        if not origin_matches(request.headers.get("Origin"), host):
            log.warning("refused a WebSocket from Origin %r", request.headers.get("Origin", "")[:200])
            return web.Response(status=403, text="refused: the Origin is not this gateway\n")
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE, heartbeat=10.0, compress=False)
        await ws.prepare(request)
        outbox = self.hub.attach(self.hello())
        if self.previews:
            for message in self.previews.latest.values():
                outbox.put(message)
        writer = asyncio.ensure_future(self._write(ws, outbox))
        pending = set()
        try:
            async for msg in ws:
                if msg.type != WSMsgType.TEXT:
                    break
                self._serve(msg.data, outbox, pending)
                if outbox.closed:
                    break
        finally:
            self.hub.detach(outbox)
            writer.cancel()
            for task in pending:
                task.cancel()
            await asyncio.gather(writer, *pending, return_exceptions=True)
            if outbox.overflowed:
                await ws.close(code=1013, message=b"too far behind; reconnect")
            await ws.close()
        return ws

    async def _write(self, ws, outbox):
        try:
            while True:
                batch = await outbox.take()
                if not batch:
                    break
                await ws.send_str(json.dumps(batch, allow_nan=False, separators=(",", ":")))
        except (ConnectionError, RuntimeError):
            pass
        finally:
            if outbox.overflowed:
                log.warning("closed a browser that fell too far behind")
            if not ws.closed:
                await ws.close(code=1013 if outbox.overflowed else 1000)

    def _serve(self, text, outbox, pending):
        request = parse_request(text)
        if "error" in request:
            outbox.put({"type": "reply", "id": request.get("id"), "ok": False, "error": request["error"]})
            return
        if len(pending) >= MAX_IN_FLIGHT:
            outbox.put({"type": "reply", "id": request["id"], "ok": False, "error": "too many requests at once"})
            return
        task = asyncio.ensure_future(self._answer(request, outbox))
        pending.add(task)
        task.add_done_callback(pending.discard)

    async def _answer(self, request, outbox):
        op = request["op"]
        reply = {"type": "reply", "id": request["id"], "op": op}
        try:
            if op in ("set", "cmd") and not self.options.allow_write:
                raise Refused("the gateway was started without --allow-write")
            if op == "set":
                value = await self.adapter.set(request["peer"], request["prop"], request["value"])
                reply.update(ok=True, value=value)
            elif op == "cmd":
                result = await self.adapter.command(request["peer"], request["name"], request["args"])
                reply.update(ok=True, value=result)
            elif op == "history":
                reply.update(ok=True, **await self._history(request))
        except Refused as e:
            reply.update(ok=False, error=str(e))
        except Exception as e:
            log.exception("request %s failed", op)
            reply.update(ok=False, error="failed: %s" % type(e).__name__)
        outbox.put(json_safe(reply))

    async def _history(self, request):
        if self.history is None:
            raise Refused("the gateway has no archive (--history)")
        peer = self.hub.peers.get(request["peer"], {}).get("name", request["peer"])
        until = time.time()
        since = until - request["span"]
        try:
            points = await self.history.series(peer, request["prop"], since, until)
        except Unavailable as e:
            raise Refused(str(e))
        except Exception as e:
            raise Refused("the archive cannot be read: %s" % (str(e)[:200] or type(e).__name__))
        return {"peer": request["peer"], "prop": request["prop"], "points": points}


def parse_request(text):
    """A browser's request, checked field by field; {"error": ...} if bad."""
    try:
        r = json.loads(text)
    except ValueError:
        return {"error": "not JSON"}
    if not isinstance(r, dict):
        return {"error": "not an object"}
    rid = r.get("id")
    if not isinstance(rid, int) or isinstance(rid, bool) or not 0 <= rid < 2**53:
        return {"error": "bad id"}

    def name(key):
        v = r.get(key)
        if not isinstance(v, str) or not 0 < len(v) <= MAX_NAME:
            raise ValueError("bad " + key)
        return v

    op = r.get("op")
    try:
        if op == "set":
            value = r.get("value")
            if isinstance(value, bool) or not isinstance(value, (str, int, float)):
                raise ValueError("bad value")
            value = value if isinstance(value, str) else repr(value)
            if len(value) > MAX_MESSAGE // 2:
                raise ValueError("value too long")
            return {"op": op, "id": rid, "peer": name("peer"), "prop": name("prop"), "value": value}
        if op == "cmd":
            args = r.get("args", [])
            if not isinstance(args, list) or len(args) > MAX_ARGS or not all(isinstance(a, str) for a in args):
                raise ValueError("bad args")
            return {"op": op, "id": rid, "peer": name("peer"), "name": name("name"), "args": args}
        if op == "history":
            span = r.get("span", 3600)
            if isinstance(span, bool) or not isinstance(span, (int, float)) or not 0 < span <= 366 * 86400:
                raise ValueError("bad span")
            return {"op": op, "id": rid, "peer": name("peer"), "prop": name("prop"), "span": float(span)}
    except ValueError as e:
        return {"id": rid, "error": str(e)}
    return {"id": rid, "error": "unknown op"}
