"""The HTTP side of the gateway: the page, its WebSocket, image previews.

Every request must name the gateway itself in its Host header (a page of
another site reaching it through a rebound DNS name is refused), and a
WebSocket must come from a page of the gateway (its Origin). Browser messages
are untrusted: each is at most `MAX_MESSAGE` bytes, its fields are checked,
and a browser has at most `MAX_IN_FLIGHT` requests waiting at once.

With a user file (login on), everything but the login page and the static
files needs a session (sessions.py); the file is read again when it changes
(users.py); a logged-in person's writes and commands
go out under their own identity (writers.py). Login and logout are POSTs from
a page of the gateway or of a `--public-url` (Origin checked), at most
`MAX_LOGIN_BODY` bytes; at most `MAX_CHECKS` password checks run at once and
`MAX_WAITING_CHECKS` wait.
"""

import asyncio
import ipaddress
import json
import logging
import math
import os
import pathlib
import socket
import time
from urllib.parse import urlsplit

from aiohttp import WSMsgType, web

from .history import Unavailable
from .hub import json_safe
from .sessions import COOKIE
from .site import Refused
from .users import check_password, dummy_hash

log = logging.getLogger("corvo-web")

STATIC = pathlib.Path(__file__).resolve().parent / "static"
MAX_MESSAGE = 65536
MAX_IN_FLIGHT = 8
MAX_NAME = 256
MAX_ARGS = 32
HEARTBEAT = 0.5  # seconds between heartbeats; the page calls 1.5 s of silence stale
MAX_LOGIN_BODY = 4096
MAX_CHECKS = 2
MAX_WAITING_CHECKS = 32
SESSION_ENDED = 4001  # WebSocket close code: log in again
GOING_AWAY = 1001  # WebSocket close code: the gateway is stopping
CLOSE_WAIT = 0.5  # seconds a browser has to answer the close at shutdown
MAX_HISTORY_POINTS = 2000
SETTLE_WAIT = 2.0  # longest a page's load waits for its first batch to be handled
MAX_SETTLING = 256  # pages whose first batch is awaited at once
# A transparent 1x1 GIF: the answer to /settled.
BLANK_GIF = bytes.fromhex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b")
OPEN_PATHS = ("/login", "/static/")


def is_loopback(host):
    if host in ("localhost", "localhost.localdomain"):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def allowed_hosts(bind, port, extra=(), default_port=80):
    """The Host header values that name this gateway (`default_port`: the
    scheme's, which a Host header may leave out)."""
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
        if port == default_port:
            result.add(n.lower())
    return result


def public_url(url):
    """(origin, Host values) of a `--public-url` (scheme://host[:port], as a
    browser reaches the gateway through a proxy); ValueError if it is not one."""
    parts = urlsplit(url.strip())
    if parts.scheme not in ("http", "https") or not parts.hostname or parts.username or parts.password \
            or parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ValueError("%r is not scheme://host[:port] (http or https)" % url)
    default = 443 if parts.scheme == "https" else 80
    port = default if parts.port is None else parts.port  # (ValueError if out of range)
    if port == 0:
        raise ValueError("%r has port 0" % url)
    host = parts.hostname.lower()
    if ":" in host:
        host = "[" + host + "]"
    hosts = {"%s:%d" % (host, port)}
    if port == default:
        hosts.add(host)
        return "%s://%s" % (parts.scheme, host), hosts
    return "%s://%s:%d" % (parts.scheme, host, port), hosts


def origin_matches(origin, host, scheme="http", public=()):
    """True if `origin` is the `scheme` origin of the page served as `host`,
    or one of the `public` origins (see public_url)."""
    if not origin:
        return False
    if origin.lower() in public:
        return True
    try:
        parts = urlsplit(origin)
    except ValueError:
        return False
    if parts.scheme != scheme or parts.path not in ("", "/") or parts.query or parts.username:
        return False
    netloc = parts.netloc.lower()
    default = ":443" if scheme == "https" else ":80"
    return netloc == host or (":" not in netloc.rsplit("]", 1)[-1] and netloc + default == host)


class Gateway:
    def __init__(self, hub, adapter, options, previews=None, history=None, login=None):
        """`login`: None (no login), or an object with `users` {name: User},
        `sessions` (Sessions), `limiter` (LoginLimiter) and `writers`
        (Writers), and optionally `users_file` (UserFile), whose table then
        replaces `users` when the file changes."""
        self.hub = hub
        self.adapter = adapter
        self.options = options
        self.previews = previews
        self.history = history
        self.login = login
        self.sockets = {}  # session key -> (session, set of WebSockets opened under it)
        self.open_sockets = set()
        self.stopping = False
        self.settling = {}  # page token -> Event set once its socket has had its first batch
        self.scheme = "https" if getattr(options, "tls_cert", None) else "http"
        # A secured site: the gateway's own node proves an identity.
        self.secured = bool(getattr(options, "key", None))
        self.hosts = allowed_hosts(options.bind, options.http_port, options.allow_host or (),
                                   443 if self.scheme == "https" else 80)
        # The origins a proxy in front serves the page as (--public-url): their
        # pages may log in and open sockets; forwarded headers are not trusted.
        # A Host that only a public URL names is matched by that URL's origin alone.
        self.public = set()
        self.public_hosts = set()
        for url in getattr(options, "public_url", None) or ():
            origin, hosts = public_url(url)
            self.public.add(origin)
            self.public_hosts |= hosts - self.hosts
        self.hosts |= self.public_hosts
        if login:
            login.sessions.ended.append(self._session_ended)
            self._checks = asyncio.Semaphore(MAX_CHECKS)
            self._waiting_checks = 0
        if previews:
            hub.listeners.append(self._property_seen)
            hub.peer_listeners.append(self._peer_seen)
            # What is kept of a camera goes with it (the hub bounds the peers that left).
            hub.drop_listeners.append(previews.forget)

    def _property_seen(self, pid, name, value):
        if name == "filename" and isinstance(value, str):
            self.previews.file_changed(pid, value)

    def _peer_seen(self, desc):
        # An image taken before the gateway started (or before the camera
        # was last described) is named by its "filename" already.
        filename = desc.get("properties", {}).get("filename", {}).get("value")
        if isinstance(filename, str) and filename:
            self.previews.file_seen(desc["id"], filename)

    def app(self):
        app = web.Application(middlewares=[self._check_host, self._check_session], client_max_size=MAX_MESSAGE)
        app.router.add_get("/", self._index)
        if self.login:
            app.router.add_get("/login", self._login_page)
            app.router.add_post("/login", self._log_in)
            app.router.add_post("/logout", self._log_out)
            app.router.add_get("/whoami", self._whoami)
        app.router.add_get("/ws", self._socket)
        app.router.add_get("/settled", self._settled)
        app.router.add_get("/image/{seq:[0-9]{1,12}}.png", self._image)
        app.router.add_get("/image/{seq:[0-9]{1,12}}.fits", self._fits)
        app.router.add_static("/static/", STATIC, follow_symlinks=False)
        app.on_startup.append(self._start)
        app.on_shutdown.append(self._close_sockets)
        app.on_cleanup.append(self._stop)
        return app

    async def _start(self, app):
        self._tasks = [asyncio.ensure_future(self._beat())]
        if self.adapter is not None:
            self._tasks.append(asyncio.ensure_future(self._run_site()))

    async def _close_sockets(self, app):
        # Open pages are told at once that the gateway goes away, instead of
        # the server waiting for them to leave.
        self.stopping = True
        closing = [asyncio.wait_for(ws.close(code=GOING_AWAY, message=b"the gateway is stopping"), CLOSE_WAIT)
                   for ws in list(self.open_sockets)]
        await asyncio.gather(*closing, return_exceptions=True)

    async def _stop(self, app):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        for client in list(self.hub.clients):
            self.hub.detach(client)
        if self.login:
            await self.login.writers.close()

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
        beats = 0
        while True:
            await asyncio.sleep(HEARTBEAT)
            self.hub.heartbeat()
            beats += 1
            if self.login and beats % 10 == 0:
                self._reread_users()
                self._check_open_sessions()

    def _reread_users(self):
        """Reads the user file again if it changed (at each login and every
        5 s): the sessions of users removed, or whose password or identity
        changed, end, and their open pages are closed."""
        users_file = getattr(self.login, "users_file", None)
        if users_file is None:
            return
        changed = users_file.refresh()
        self.login.users = users_file.users
        if changed:
            ended = self.login.sessions.end_users(changed)
            if ended:
                log.info("ended %d sessions of %s (changed in the user file)", ended, ", ".join(sorted(changed)))

    def _check_open_sessions(self):
        # An open page keeps its session from going idle; its lifetime
        # still ends it (and its sockets).
        for session, _ in list(self.sockets.values()):
            if self.login.sessions.alive(session):
                self.login.sessions.touch(session)

    def _session_ended(self, session):
        for ws in self.sockets.pop(session.key, (None, ()))[1]:
            asyncio.ensure_future(ws.close(code=SESSION_ENDED, message=b"logged out"))

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

    @web.middleware
    async def _check_session(self, request, handler):
        if self.login is None or request.path.startswith(OPEN_PATHS):
            return await handler(request)
        session = self.login.sessions.find(request.cookies.get(COOKIE))
        if session is None:
            if request.path == "/" and request.method == "GET":
                raise web.HTTPSeeOther("/login")
            return web.json_response({"error": "log in first"}, status=401)
        request["session"] = session
        return await handler(request)

    async def _index(self, request):
        return web.FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-cache"})

    async def _login_page(self, request):
        return web.FileResponse(STATIC / "login.html", headers={"Cache-Control": "no-cache"})

    async def _whoami(self, request):
        session = request["session"]
        return web.json_response({"user": session.user, "identity": session.identity})

    def _same_origin(self, request):
        host = request.headers.get("Host", "").lower()
        if host in self.public_hosts:
            host = None
        return origin_matches(request.headers.get("Origin"), host, self.scheme, self.public)

    async def _login_body(self, request):
        """The login's body, whole however it arrives; None if above MAX_LOGIN_BODY."""
        if request.content_length is not None and request.content_length > MAX_LOGIN_BODY:
            return None
        body = b""
        while True:
            chunk = await request.content.read(MAX_LOGIN_BODY + 1 - len(body))
            if not chunk:
                return body
            body += chunk
            if len(body) > MAX_LOGIN_BODY:
                return None

    async def _log_in(self, request):
        if not self._same_origin(request):
            return web.json_response({"error": "refused: the Origin is not this gateway"}, status=403)
        try:
            body = await self._login_body(request)
            form = json.loads(body) if body is not None else None
            name, password = form["user"], form["password"]
            if not isinstance(name, str) or not isinstance(password, str) or not 0 < len(name) <= MAX_NAME:
                raise ValueError
        except (ValueError, TypeError, KeyError):
            return web.json_response({"error": "send {\"user\": ..., \"password\": ...}"}, status=400)
        address = "addr:" + (request.remote or "?")
        account = "user:" + name
        limiter = self.login.limiter
        wait = limiter.wait(address, account)
        if wait > 0:
            log.warning("login of %r from %s refused: too many failures", name[:64], request.remote)
            return web.json_response({"error": "too many failed logins; try again in %d s" % (int(wait) + 1)},
                                     status=429, headers={"Retry-After": str(int(wait) + 1)})
        if self._waiting_checks >= MAX_WAITING_CHECKS:
            return web.json_response({"error": "too many logins at once; try again shortly"}, status=503)
        # Counted as failed before the check, so that attempts sent at once
        # cannot all pass the limit while their checks are running.
        limiter.failed(address, account)
        self._reread_users()
        user = self.login.users.get(name)
        self._waiting_checks += 1
        try:
            async with self._checks:
                stored = user.stored if user else dummy_hash()
                good = await asyncio.get_running_loop().run_in_executor(None, check_password, stored, password)
        finally:
            self._waiting_checks -= 1
        if good and user:
            # The file may have changed while the password was checked.
            self._reread_users()
            now = self.login.users.get(name)
            good = now is not None and (now.identity, now.stored) == (user.identity, user.stored)
        if not (good and user):
            log.warning("failed login of %r from %s", name[:64], request.remote)
            return web.json_response({"error": "wrong user name or password"}, status=401)
        limiter.succeeded(account)
        limiter.forget_last(address)
        token, session = self.login.sessions.open(user.name, user.identity)
        log.info("%s logged in from %s (identity %s)", user.name, request.remote, user.identity)
        response = web.json_response({"user": user.name, "identity": user.identity})
        response.set_cookie(COOKIE, token, httponly=True, samesite="Strict", path="/",
                            max_age=int(self.login.sessions.lifetime),
                            secure=self.scheme == "https" or request.headers["Origin"].lower().startswith("https:"))
        return response

    async def _log_out(self, request):
        if not self._same_origin(request):
            return web.json_response({"error": "refused: the Origin is not this gateway"}, status=403)
        self.login.sessions.close(request.cookies.get(COOKIE))
        log.info("%s logged out", request["session"].user)
        response = web.json_response({"ok": True})
        response.del_cookie(COOKIE, path="/")
        return response

    def _settle_event(self, token):
        if not isinstance(token, str) or not 8 <= len(token) <= 64 or not token.isalnum():
            return None
        event = self.settling.get(token)
        if event is None:
            if len(self.settling) >= MAX_SETTLING:
                self.settling.pop(next(iter(self.settling)))
            event = self.settling[token] = asyncio.Event()
        return event

    async def _settled(self, request):
        """Answered once the page has handled its socket's first batch (at most
        SETTLE_WAIT): the page's load event waits for this image, so a plain
        `chromium --headless --screenshot` sees the page connected."""
        token = request.query.get("page")
        event = self._settle_event(token)
        if event is not None:
            try:
                await asyncio.wait_for(event.wait(), SETTLE_WAIT)
            except asyncio.TimeoutError:
                pass
            self.settling.pop(token, None)
        return web.Response(body=BLANK_GIF, content_type="image/gif", headers={"Cache-Control": "no-store"})

    async def _image(self, request):
        png = self.previews.png(int(request.match_info["seq"])) if self.previews else None
        if png is None:
            raise web.HTTPNotFound(text="no such preview\n")
        return web.Response(body=png, content_type="image/png", headers={"Cache-Control": "max-age=3600"})

    async def _fits(self, request):
        """The FITS file of a preview still shown, whole or in ranges."""
        found = self.previews.fits_file(int(request.match_info["seq"])) if self.previews else None
        if found is None:
            raise web.HTTPNotFound(text="no such image (a newer one replaced it)\n")
        path, name = found
        if not os.path.exists(path):
            raise web.HTTPNotFound(text="no such image (a newer one replaced it)\n")
        return web.FileResponse(path, headers={
            "Content-Type": "application/fits",
            "Content-Disposition": 'attachment; filename="%s"' % name,
            "Cache-Control": "no-store",
        })

    def hello(self, session=None):
        return {
            "type": "hello",
            "write": bool(self.options.allow_write),
            "login": self.login is not None,
            "user": session.user if session else None,
            "identity": session.identity if session else None,
            "history": self.history is not None,
            "site": self.options.site,
            "heartbeat": HEARTBEAT,
            "imageRoot": bool(self.options.image_root),
        }

    async def _socket(self, request):
        if not self._same_origin(request):
            log.warning("refused a WebSocket from Origin %r", request.headers.get("Origin", "")[:200])
            return web.Response(status=403, text="refused: the Origin is not this gateway\n")
        session = request.get("session")
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE, heartbeat=10.0, compress=False)
        await ws.prepare(request)
        if self.stopping:
            await ws.close(code=GOING_AWAY, message=b"the gateway is stopping")
            return ws
        self.open_sockets.add(ws)
        if session is not None:
            self.sockets.setdefault(session.key, (session, set()))[1].add(ws)
        outbox = self.hub.attach(self.hello(session))
        if self.previews:
            self.previews.browser_attached()
            for message in self.previews.latest.values():
                outbox.put(message)
        # The page's load waits for its first batch to be handled (acknowledged).
        settled = self._settle_event(request.query.get("page"))
        writer = asyncio.ensure_future(self._write(ws, outbox))
        pending = set()
        try:
            async for msg in ws:
                if msg.type != WSMsgType.TEXT:
                    break
                self._serve(msg.data, outbox, pending, session)
                if settled is not None and outbox.acknowledging:
                    settled.set()
                    settled = None
                if outbox.closed:
                    break
        finally:
            self.open_sockets.discard(ws)
            if session is not None:
                mine = self.sockets.get(session.key)
                if mine is not None:
                    mine[1].discard(ws)
                    if not mine[1]:
                        del self.sockets[session.key]
            self.hub.detach(outbox)
            writer.cancel()
            for task in pending:
                task.cancel()
            await asyncio.gather(writer, *pending, return_exceptions=True)
            await ws.close(code=self._close_code(outbox))
        return ws

    def _close_code(self, outbox):
        if self.stopping:
            return GOING_AWAY
        return 1013 if outbox.overflowed else 1000

    async def _write(self, ws, outbox):
        try:
            while True:
                seq, batch = await outbox.take()
                if not batch:
                    break
                # The batch's number, which the page acknowledges once handled.
                batch.append({"type": "seq", "n": seq})
                try:
                    text = json.dumps(batch, allow_nan=False, separators=(",", ":"))
                except (ValueError, TypeError):
                    # A message JSON cannot carry: its batch is left out, not the page.
                    log.exception("left out a batch JSON cannot carry")
                    continue
                await ws.send_str(text)
        except (ConnectionError, RuntimeError):
            pass
        finally:
            if outbox.overflowed:
                log.warning("closed a browser that fell too far behind")
            if not ws.closed:
                await ws.close(code=self._close_code(outbox))

    def _serve(self, text, outbox, pending, session=None):
        request = parse_request(text)
        if "error" in request:
            outbox.put({"type": "reply", "id": request.get("id"), "ok": False, "error": request["error"]})
            return
        if request["op"] == "ack":
            outbox.acked(request["seq"])
            return
        if len(pending) >= MAX_IN_FLIGHT:
            outbox.put({"type": "reply", "id": request["id"], "ok": False, "error": "too many requests at once"})
            return
        task = asyncio.ensure_future(self._answer(request, outbox, session))
        pending.add(task)
        task.add_done_callback(pending.discard)

    async def _answer(self, request, outbox, session=None):
        op = request["op"]
        reply = {"type": "reply", "id": request["id"], "op": op}
        try:
            if op in ("set", "cmd") and not self.options.allow_write:
                raise Refused("the gateway was started without --allow-write")
            if op == "set":
                value = await self._act(session, lambda site: self.adapter.set(
                    request["peer"], request["prop"], request["value"], site))
                reply.update(ok=True, value=value)
            elif op == "cmd":
                result = await self._act(session, lambda site: self.adapter.command(
                    request["peer"], request["name"], request["args"], site))
                reply.update(ok=True, value=result)
            elif op == "history":
                reply.update(ok=True, **await self._history(request))
        except Refused as e:
            reply.update(ok=False, error=str(e))
        except Exception as e:
            log.exception("request %s failed", op)
            reply.update(ok=False, error="failed: %s" % type(e).__name__)
        outbox.put(json_safe(reply))

    async def _act(self, session, action):
        """A write or command: under the session's own identity when login
        is on, else through the gateway's own node."""
        if self.login is None:
            if self.secured:
                # Else anyone reaching the port would act with the gateway's rights.
                raise Refused("on a secured site writes need a logged-in user: start the gateway with --users")
            return await action(None)
        if session is None or not self.login.sessions.alive(session):
            raise Refused("the session has ended; log in again")
        self.login.sessions.touch(session)
        return await self.login.writers.run(session.identity, action)

    async def _history(self, request):
        if self.history is None:
            raise Refused("the gateway has no archive (--history)")
        peer = self.hub.peers.get(request["peer"], {}).get("name", request["peer"])
        until = request.get("until") or time.time()
        since = request.get("since") or until - request["span"]
        if not since < until:
            raise Refused("the time range is empty")
        try:
            points = await self.history.series(peer, request["prop"], since, until, request["points"])
        except Unavailable as e:
            raise Refused(str(e))
        except Exception as e:
            raise Refused("the archive cannot be read: %s" % (str(e)[:200] or type(e).__name__))
        return {"peer": request["peer"], "prop": request["prop"], "since": since, "until": until, "points": points}


def parse_request(text):
    """A browser's request, checked field by field; {"error": ...} if bad."""
    try:
        r = json.loads(text)
    except ValueError:
        return {"error": "not JSON"}
    if not isinstance(r, dict):
        return {"error": "not an object"}
    if r.get("op") == "ack":
        seq = r.get("seq")
        if not isinstance(seq, int) or isinstance(seq, bool) or not 0 <= seq < 2**53:
            return {"error": "bad seq"}
        return {"op": "ack", "seq": seq}
    rid = r.get("id")
    if not isinstance(rid, int) or isinstance(rid, bool) or not 0 <= rid < 2**53:
        return {"error": "bad id"}

    def name(key):
        v = r.get(key)
        if not is_text(v) or not 0 < len(v) <= MAX_NAME:
            raise ValueError("bad " + key)
        return v

    op = r.get("op")
    try:
        if op == "set":
            value = r.get("value")
            if isinstance(value, bool) or not isinstance(value, (str, int, float)):
                raise ValueError("bad value")
            if isinstance(value, str) and not is_text(value):
                raise ValueError("bad value")
            value = value if isinstance(value, str) else repr(value)
            if len(value) > MAX_MESSAGE // 2:
                raise ValueError("value too long")
            return {"op": op, "id": rid, "peer": name("peer"), "prop": name("prop"), "value": value}
        if op == "cmd":
            args = r.get("args", [])
            if not isinstance(args, list) or len(args) > MAX_ARGS or not all(is_text(a) for a in args):
                raise ValueError("bad args")
            return {"op": op, "id": rid, "peer": name("peer"), "name": name("name"), "args": args}
        if op == "history":
            span = r.get("span", 3600)
            if not is_number(span) or not 0 < span <= 100 * 366 * 86400:
                raise ValueError("bad span")
            request = {"op": op, "id": rid, "peer": name("peer"), "prop": name("prop"), "span": float(span)}
            for key in ("since", "until"):  # seconds since the epoch; `until` exclusive
                if r.get(key) is not None:
                    if not is_number(r[key]) or not 0 < r[key] < 2**40:
                        raise ValueError("bad " + key)
                    request[key] = float(r[key])
            points = r.get("points", MAX_HISTORY_POINTS)
            if not is_number(points) or not 1 <= points <= MAX_HISTORY_POINTS:
                raise ValueError("bad points")
            request["points"] = int(points)
            return request
    except ValueError as e:
        return {"id": rid, "error": str(e)}
    return {"id": rid, "error": "unknown op"}


def is_text(v):
    """Whether `v` is text that can go out as UTF-8 (JSON may carry a lone
    surrogate, which cannot)."""
    if not isinstance(v, str):
        return False
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
