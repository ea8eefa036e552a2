"""The console's login: the user file, sessions, bounded login attempts, and
each logged-in person's writes going out under their own identity (against
the stand-in site; the browser test does it on a real secured site)."""

import asyncio
import io
import json
import logging
import os
import stat
import types

import pytest
from aiohttp import WSServerHandshakeError

from corvoweb.__main__ import OptionError, main, parse_options
from corvoweb.sessions import COOKIE, MAX_SESSIONS, LoginLimiter, Sessions
from corvoweb.site import Refused
from corvoweb.users import (User, UserFile, UserFileError, check_password, hash_password, load_users, manage,
                            parse_users)
from corvoweb.writers import Writers
from fake_site import FakeNode
from test_gateway import Running, receive_until, run


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


class TestUserFile:
    def test_passwords_are_stored_hashed_salted_and_checked(self):
        stored = hash_password("s3cret words")
        assert "s3cret" not in stored and stored.startswith("scrypt$")
        assert check_password(stored, "s3cret words")
        assert not check_password(stored, "s3cret word") and not check_password(stored, "")
        assert hash_password("s3cret words") != stored  # a fresh salt each time
        assert not check_password(stored, "x" * 5000)  # bounded before any hashing

    def test_bad_lines_are_refused_with_their_line(self):
        good = hash_password("pw")
        users = parse_users("# comment\n\nalice alice %s\nbob observer %s\n" % (good, good))
        assert users["bob"].identity == "observer"
        bad = [
            ("alice %s" % good, ":1: expected NAME IDENTITY HASH"),
            ("alice ../alice %s" % good, ":1: bad user or identity name"),
            ("alice .hidden %s" % good, ":1: bad user or identity name"),
            ("alice alice plaintext", ":1: not an scrypt hash"),
            # Forged cost parameters: a login must not cost gigabytes.
            ("alice alice " + good.replace("$16384$8$", "$1073741824$8$"), "out of bounds"),
            ("alice alice " + good.replace("$16384$", "$16385$"), "out of bounds"),
            ("alice alice %s\nalice alice %s" % (good, good), ":2: user alice listed twice"),
        ]
        for text, why in bad:
            with pytest.raises(UserFileError, match=why.replace("$", r"\$")):
                parse_users(text)

    def test_adduser_and_deluser_keep_an_owner_only_file_without_plain_passwords(self, tmp_path):
        path = str(tmp_path / "users")
        assert manage(["adduser", "--users", path, "alice", "--identity", "alice-key"],
                      stdin=io.StringIO("open sesame\n")) == 0
        assert manage(["adduser", "--users", path, "bob"], stdin=io.StringIO("other\n")) == 0
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        assert "open sesame" not in open(path).read()
        users = load_users(path)
        assert users["alice"].identity == "alice-key" and users["bob"].identity == "bob"
        assert check_password(users["alice"].stored, "open sesame")
        # A new password replaces the old one.
        assert manage(["adduser", "--users", path, "alice", "--identity", "alice-key"],
                      stdin=io.StringIO("changed\n")) == 0
        assert check_password(load_users(path)["alice"].stored, "changed")
        assert manage(["deluser", "--users", path, "bob"]) == 0
        assert set(load_users(path)) == {"alice"}
        assert manage(["deluser", "--users", path, "bob"]) == 1
        assert manage(["adduser", "--users", path, "carol"], stdin=io.StringIO("\n")) == 1  # no empty password
        assert main(["adduser", "--users", path, "../x"]) == 1

    def test_changing_a_shared_file_keeps_its_mode_owner_and_group(self, tmp_path):
        # The console runs as its own user reading a 0640 file of its group;
        # an administrator's adduser must not take it away from it.
        path = str(tmp_path / "users")
        assert manage(["adduser", "--users", path, "alice"], stdin=io.StringIO("pw one\n")) == 0
        if os.geteuid() == 0:
            owner, group = 4321, 4322
        else:
            owner = os.geteuid()
            others = [g for g in os.getgroups() if g != os.getegid()]
            group = others[0] if others else os.getegid()
        os.chown(path, owner, group)
        os.chmod(path, 0o640)
        assert manage(["adduser", "--users", path, "bob"], stdin=io.StringIO("pw two\n")) == 0
        assert manage(["deluser", "--users", path, "alice"]) == 0
        info = os.stat(path)
        assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (0o640, owner, group)
        users = load_users(path)
        assert set(users) == {"bob"} and check_password(users["bob"].stored, "pw two")
        assert os.listdir(tmp_path) == ["users"]  # no temporary file left

    def test_an_oversized_or_unreadable_file_is_refused(self, tmp_path):
        big = tmp_path / "big"
        big.write_bytes(b"#" * (2 * 1024 * 1024))
        with pytest.raises(UserFileError, match="larger than"):
            load_users(str(big))
        with pytest.raises(UserFileError, match="cannot read"):
            load_users(str(tmp_path / "missing"))


class TestSessionsAndAttempts:
    def test_a_session_ends_when_idle_after_its_lifetime_or_at_logout(self):
        clock = Clock()
        sessions = Sessions(idle=100, lifetime=1000, clock=clock)
        ended = []
        sessions.ended.append(lambda s: ended.append(s.user))
        token, session = sessions.open("alice", "alice")
        assert len(token) >= 40 and sessions.find(token) is session
        assert sessions.find(token + "x") is None and sessions.find("") is None and sessions.find("a" * 10000) is None
        clock.now += 99
        assert sessions.find(token) is session  # used: idle time restarts
        clock.now += 99
        assert sessions.find(token) is session
        clock.now += 101
        assert sessions.find(token) is None and ended == ["alice"]
        # Used all along, it still ends after its lifetime.
        token, session = sessions.open("bob", "bob")
        for _ in range(20):
            clock.now += 60
            sessions.touch(session)
        assert not sessions.alive(session) and sessions.find(token) is None
        token, _ = sessions.open("carol", "carol")
        sessions.close(token)
        assert sessions.find(token) is None and ended == ["alice", "bob", "carol"]

    def test_sessions_are_bounded_the_oldest_going_first(self):
        sessions = Sessions()
        first, _ = sessions.open("u0", "u0")
        tokens = [sessions.open("u%d" % i, "u")[0] for i in range(1, MAX_SESSIONS + 1)]
        assert len(sessions) == MAX_SESSIONS
        assert sessions.find(first) is None and sessions.find(tokens[-1]) is not None

    def test_failed_logins_are_limited_per_address_and_per_user(self):
        clock = Clock()
        limiter = LoginLimiter(clock=clock, max_failures=3, window=60)
        for _ in range(3):
            assert limiter.wait("addr:a", "user:alice") == 0
            limiter.failed("addr:a", "user:alice")
        assert limiter.wait("addr:a", "user:bob") > 0  # the address is blocked
        assert limiter.wait("addr:b", "user:alice") > 0  # so is the user, from anywhere
        assert limiter.wait("addr:b", "user:bob") == 0
        limiter.succeeded("user:alice")  # someone else's success does not free the address
        assert limiter.wait("addr:a", "user:carol") > 0
        clock.now += 61
        assert limiter.wait("addr:a", "user:alice") == 0


def login_setup(max_identities=4):
    users = {"alice": User("alice", "alice-key", hash_password("alice pw")),
             "bob": User("bob", "observer", hash_password("bob pw"))}
    nodes = []
    clock = Clock()
    login = types.SimpleNamespace(
        users=users, sessions=Sessions(), limiter=LoginLimiter(clock=clock),
        writers=Writers(lambda identity: FakeNode(identity, nodes), limit=max_identities))
    return login, nodes, clock


async def log_in(g, user, password, origin=None):
    headers = {"Origin": g.origin if origin is None else origin}
    async with g.session.post(g.url("/login"), data=json.dumps({"user": user, "password": password}),
                              headers=headers) as r:
        return r.status, await r.json(), r.headers.getall("Set-Cookie", [])


class TestLoginAtTheGateway:
    def test_everything_but_the_login_page_needs_a_session(self):
        login, _, _ = login_setup()

        async def body():
            async with Running(allow_write=True, login=login) as g:
                async with g.session.get(g.url("/"), allow_redirects=False) as r:
                    assert r.status == 303 and r.headers["Location"] == "/login"
                for path in ("/whoami", "/image/1.png"):
                    async with g.session.get(g.url(path)) as r:
                        assert r.status == 401, path
                with pytest.raises(WSServerHandshakeError) as e:
                    await g.socket()
                assert e.value.status == 401
                for path in ("/login", "/static/login.js", "/static/style.css"):
                    async with g.session.get(g.url(path)) as r:
                        assert r.status == 200, path
                # A forged or stale cookie is no session.
                g.session.cookie_jar.update_cookies({COOKIE: "forged"})
                async with g.session.get(g.url("/whoami")) as r:
                    assert r.status == 401

        run(body())

    def test_login_sets_a_strict_httponly_cookie_and_refuses_wrong_passwords_and_other_origins(self):
        login, _, _ = login_setup()

        async def body():
            async with Running(allow_write=True, login=login) as g:
                assert (await log_in(g, "alice", "alice pw", origin="http://evil.example"))[0] == 403
                status, reply, cookies = await log_in(g, "alice", "wrong")
                assert status == 401 and reply["error"] == "wrong user name or password" and not cookies
                status, reply, _ = await log_in(g, "nobody", "alice pw")
                assert status == 401 and reply["error"] == "wrong user name or password"
                async with g.session.post(g.url("/login"), data="x" * 10000, headers={"Origin": g.origin}) as r:
                    assert r.status == 400
                status, reply, cookies = await log_in(g, "alice", "alice pw")
                assert status == 200 and reply == {"user": "alice", "identity": "alice-key"}
                cookie = [c for c in cookies if c.startswith(COOKIE + "=")][0]
                assert "HttpOnly" in cookie and "SameSite=Strict" in cookie and "Path=/" in cookie
                ws = await g.socket()
                hello = (await receive_until(ws, lambda m: m["type"] == "state"))[0]
                assert hello["login"] and hello["user"] == "alice" and hello["identity"] == "alice-key"
                await ws.close()

        run(body())

    def test_a_login_body_arriving_in_pieces_is_read_whole(self):
        login, _, _ = login_setup()

        async def body():
            async with Running(login=login) as g:
                async def send(pieces, length=None, chunked=False):
                    data = b"".join(pieces)
                    head = "POST /login HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\n" % (g.port, g.origin)
                    head += "Transfer-Encoding: chunked\r\n" if chunked else "Content-Length: %d\r\n" % (
                        len(data) if length is None else length)
                    reader, writer = await asyncio.open_connection("127.0.0.1", g.port)
                    writer.get_extra_info("socket").setsockopt(__import__("socket").IPPROTO_TCP,
                                                               __import__("socket").TCP_NODELAY, 1)
                    writer.write((head + "Connection: close\r\n\r\n").encode())
                    for piece in pieces:
                        if chunked:
                            piece = b"%x\r\n%s\r\n" % (len(piece), piece)
                        writer.write(piece)
                        await writer.drain()
                        await asyncio.sleep(0.3)  # the gateway has read what came so far
                    if chunked:
                        writer.write(b"0\r\n\r\n")
                    reply = await reader.read()
                    writer.close()
                    return int(reply.split(b" ", 2)[1]), reply

                form = json.dumps({"user": "alice", "password": "alice pw"}).encode()
                for chunked in (False, True):
                    status, reply = await send([form[:10], form[10:20], form[20:]], chunked=chunked)
                    assert status == 200 and b"Set-Cookie: " + COOKIE.encode() in reply, reply[:300]
                # Bounded however it comes: too large is refused at once, or once too much came.
                assert (await send([form], length=10**6))[0] == 400
                assert (await send([b" " * 3000, b" " * 3000 + form], chunked=True))[0] == 400

        run(body())

    def test_repeated_failures_are_refused_without_checking_the_password(self):
        login, _, clock = login_setup()

        async def body():
            async with Running(login=login) as g:
                for _ in range(5):
                    assert (await log_in(g, "alice", "guess"))[0] == 401
                status, reply, cookies = await log_in(g, "alice", "alice pw")  # right, but too late
                assert status == 429 and "too many failed logins" in reply["error"] and not cookies
                clock.now += 61
                assert (await log_in(g, "alice", "alice pw"))[0] == 200
                # Guesses sent all at once cannot pass the limit while their
                # checks run: at most 5 are checked.
                clock.now += 61
                answers = await asyncio.gather(*(log_in(g, "bob", "guess %d" % i) for i in range(20)))
                statuses = sorted(a[0] for a in answers)
                assert statuses.count(401) <= 5 and set(statuses) <= {401, 429, 503}, statuses
                assert statuses.count(429) >= 10

        run(body())

    def test_each_users_writes_go_out_under_their_own_identity(self):
        login, nodes, _ = login_setup()

        async def body():
            async with Running(allow_write=True, login=login) as g:
                await log_in(g, "alice", "alice pw")
                ws_alice = await g.socket()
                await receive_until(ws_alice, lambda m: m["type"] == "state")
                await ws_alice.send_str(json.dumps({"id": 1, "op": "set", "peer": "camera", "prop": "expotime",
                                                    "value": "2.5"}))
                reply = (await receive_until(ws_alice, lambda m: m["type"] == "reply"))[-1]
                assert reply["ok"] and g.fake.sets[-1] == ("camera", "expotime", "2.5", "alice-key")
                # Bob, in another browser: his own identity, and his refusal shows.
                g.session.cookie_jar.clear()
                await log_in(g, "bob", "bob pw")
                ws_bob = await g.socket()
                await receive_until(ws_bob, lambda m: m["type"] == "state")
                g.fake.refuse_identities.add("observer")
                await ws_bob.send_str(json.dumps({"id": 2, "op": "cmd", "peer": "camera", "name": "expose", "args": []}))
                reply = (await receive_until(ws_bob, lambda m: m["type"] == "reply"))[-1]
                assert not reply["ok"] and reply["error"] == "refused: observer has no right to run expose"
                assert g.fake.commands[-1] == ("camera", "expose", [], "observer")
                assert ("open", "alice-key") in nodes and ("open", "observer") in nodes
                assert sorted(login.writers.identities()) == ["alice-key", "observer"]
                # Bob logs out: his page is told (close code 4001), his cookie is dead.
                async with g.session.post(g.url("/logout"), headers={"Origin": g.origin}) as r:
                    assert r.status == 200
                frame = await asyncio.wait_for(ws_bob.receive(), 20)
                while frame.type.name == "TEXT":
                    frame = await asyncio.wait_for(ws_bob.receive(), 20)
                assert ws_bob.close_code == 4001
                async with g.session.get(g.url("/whoami")) as r:
                    assert r.status == 401
                await ws_alice.close()
            assert ("close", "alice-key") in nodes  # the gateway's end closes the nodes

        run(body())


class TestUserFileChangedWhileRunning:
    def test_removed_users_and_changed_passwords_take_effect_without_a_restart(self, tmp_path, caplog):
        path = str(tmp_path / "users")
        for name, password in (("alice", "alice pw"), ("bob", "bob pw")):
            assert manage(["adduser", "--users", path, name], stdin=io.StringIO(password + "\n")) == 0
        users_file = UserFile(path, logging.getLogger("corvo-web"))
        login = types.SimpleNamespace(users=users_file.users, users_file=users_file, sessions=Sessions(),
                                      limiter=LoginLimiter(), writers=Writers(lambda i: FakeNode(i, []), limit=4))

        async def body():
            async with Running(allow_write=True, login=login) as g:
                async def whoami(token):
                    async with g.session.get(g.url("/whoami"), cookies={COOKIE: token}) as r:
                        return r.status

                def token():
                    return g.session.cookie_jar.filter_cookies(g.url())[COOKIE].value

                assert (await log_in(g, "bob", "bob pw"))[0] == 200
                bob = token()
                ws_bob = await g.socket()
                await receive_until(ws_bob, lambda m: m["type"] == "state")
                g.session.cookie_jar.clear()
                assert manage(["deluser", "--users", path, "bob"]) == 0
                # With no login to notice it, the periodic check ends bob's
                # session and closes his page.
                frame = await asyncio.wait_for(ws_bob.receive(), 20)
                while frame.type.name == "TEXT":
                    frame = await asyncio.wait_for(ws_bob.receive(), 20)
                assert ws_bob.close_code == 4001
                assert await whoami(bob) == 401
                assert (await log_in(g, "bob", "bob pw"))[0] == 401
                # A new password: the old one is refused at once, and the
                # session opened with it ends.
                assert (await log_in(g, "alice", "alice pw"))[0] == 200
                alice_old = token()
                assert await whoami(alice_old) == 200
                assert manage(["adduser", "--users", path, "alice"], stdin=io.StringIO("alice new pw\n")) == 0
                assert (await log_in(g, "alice", "alice pw"))[0] == 401
                assert await whoami(alice_old) == 401
                assert (await log_in(g, "alice", "alice new pw"))[0] == 200
                alice_new = token()
                # A file that cannot be parsed leaves the last good table in
                # use (and says why); nobody is logged out.
                with open(path, "a") as f:
                    f.write("carol carol plaintext\n")
                assert (await log_in(g, "alice", "alice new pw"))[0] == 200
                assert await whoami(alice_new) == 200
                assert any("plaintext" not in r.getMessage() and ":3: not an scrypt hash" in r.getMessage()
                           and "the users read before stay in use" in r.getMessage() for r in caplog.records)
                os.unlink(path)
                assert (await log_in(g, "alice", "alice new pw"))[0] == 200
                assert any("cannot read the user file" in r.getMessage() for r in caplog.records)
                # Written again whole: read again.
                assert manage(["adduser", "--users", path, "bob"], stdin=io.StringIO("bob again\n")) == 0
                assert (await log_in(g, "bob", "bob again"))[0] == 200
                assert (await log_in(g, "alice", "alice new pw"))[0] == 401
                assert await whoami(alice_new) == 401

        with caplog.at_level(logging.INFO, logger="corvo-web"):
            run(body())


class TestBehindAProxy:
    """A TLS proxy serves the console as https://console.example and passes
    requests on over plain http, keeping the Host or naming the gateway."""

    def test_the_public_origin_may_log_in_with_a_secure_cookie_and_connect(self):
        login, _, _ = login_setup()

        async def body():
            async with Running(login=login, public_url=["https://console.example"]) as g:
                async def post(host, origin):
                    async with g.session.post(g.url("/login"), headers={"Host": host, "Origin": origin},
                                              data=json.dumps({"user": "alice", "password": "alice pw"})) as r:
                        return r.status, r.headers.getall("Set-Cookie", [])

                for host in ("console.example", "console.example:443", "127.0.0.1:%d" % g.port):
                    status, cookies = await post(host, "https://console.example")
                    assert status == 200, host
                    cookie = [c for c in cookies if c.startswith(COOKIE + "=")][0]
                    assert "Secure" in cookie and "HttpOnly" in cookie, cookie
                token = cookie.split(";")[0].split("=", 1)[1]
                for host, origin in [("console.example", "https://evil.example"),
                                     ("console.example", "http://console.example"),
                                     ("console.example", "https://console.example:8443"),
                                     ("console.example:80", "https://console.example"),
                                     ("evil.example", "https://console.example")]:
                    assert (await post(host, origin))[0] == 403, (host, origin)
                # Its page's socket (the Secure cookie goes only to https, so it is given here).
                headers = {"Host": "console.example", "Origin": "https://console.example",
                           "Cookie": "%s=%s" % (COOKIE, token)}
                ws = await g.session.ws_connect(g.url("/ws"), headers=headers)
                hello = (await receive_until(ws, lambda m: m["type"] == "state"))[0]
                assert hello["user"] == "alice"
                await ws.close()
                with pytest.raises(WSServerHandshakeError) as e:
                    await g.session.ws_connect(g.url("/ws"), headers=dict(headers, Origin="https://evil.example"))
                assert e.value.status == 403
                # Reached directly over http, the cookie is not Secure (it could not come back).
                status, _, cookies = await log_in(g, "bob", "bob pw")
                assert status == 200 and not any("Secure" in c for c in cookies)

        run(body())

    def test_public_urls_are_checked(self):
        options = parse_options(["--public-url", "https://Console.Example:8443/", "--public-url", "http://[::1]"])
        assert options.public_url == ["https://Console.Example:8443/", "http://[::1]"]
        for bad in ("console.example", "ftp://console.example", "https://console.example/web",
                    "https://user@console.example", "https://console.example:99999", "https://console.example:0"):
            with pytest.raises(OptionError, match="--public-url"):
                parse_options(["--public-url", bad])
        # Reached from the network through the proxy: writes need the login.
        with pytest.raises(OptionError, match="needs the console's login"):
            parse_options(["--public-url", "https://console.example", "--allow-write"])
        parse_options(["--public-url", "https://console.example", "--allow-write", "--users", "u"])


class TestHttps:
    def test_login_over_tls_gives_a_secure_cookie_and_wants_https_origins(self, tmp_path):
        import shutil
        import subprocess

        openssl = shutil.which("openssl")
        assert openssl, "openssl is installed by scripts/setup.sh"
        cert, key = str(tmp_path / "cert.pem"), str(tmp_path / "key.pem")
        subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        login, _, _ = login_setup()

        async def body():
            async with Running(allow_write=True, login=login, tls=(cert, key)) as g:
                assert g.url().startswith("https://")
                # The page of the same host over plain http is another origin.
                assert (await log_in(g, "alice", "alice pw", origin="http://127.0.0.1:%d" % g.port))[0] == 403
                status, _, cookies = await log_in(g, "alice", "alice pw")
                assert status == 200
                cookie = [c for c in cookies if c.startswith(COOKIE + "=")][0]
                assert "Secure" in cookie and "HttpOnly" in cookie
                ws = await g.socket()
                hello = (await receive_until(ws, lambda m: m["type"] == "state"))[0]
                assert hello["user"] == "alice"
                await ws.close()
                with pytest.raises(WSServerHandshakeError):
                    await g.socket(origin="http://127.0.0.1:%d" % g.port)

        run(body())

    def test_a_certificate_that_cannot_be_used_is_refused(self, tmp_path):
        from corvoweb.__main__ import tls_context

        (tmp_path / "bad.pem").write_text("not a certificate")
        options = parse_options(["--tls-cert", str(tmp_path / "bad.pem"), "--tls-key", str(tmp_path / "bad.pem")])
        with pytest.raises(OptionError, match="cannot use the certificate"):
            tls_context(options)
        with pytest.raises(OptionError, match="go together"):
            parse_options(["--tls-cert", "x"])


class TestIdentityNodes:
    def test_nodes_are_made_lazily_shared_bounded_and_closed_when_idle(self):
        made = []
        clock = Clock()

        async def body():
            writers = Writers(lambda identity: FakeNode(identity, made), limit=2, idle=100, clock=clock)
            assert made == []
            assert await writers.run("a", lambda site: asyncio.sleep(0, site.identity)) == "a"
            await writers.run("a", lambda site: asyncio.sleep(0))
            assert made == [("open", "a")]  # shared
            release = asyncio.Event()
            busy = asyncio.ensure_future(writers.run("b", lambda site: release.wait()))
            await asyncio.sleep(0.05)
            clock.now += 10
            await writers.run("c", lambda site: asyncio.sleep(0))  # room made: idle "a" closed
            await asyncio.sleep(0)
            assert ("close", "a") in made and writers.identities() == ["b", "c"]
            release2 = asyncio.Event()
            busy2 = asyncio.ensure_future(writers.run("c", lambda site: release2.wait()))
            await asyncio.sleep(0.05)
            with pytest.raises(Refused, match="too many identities acting at once"):
                await writers.run("d", lambda site: asyncio.sleep(0))
            release.set()
            release2.set()
            await asyncio.gather(busy, busy2)
            await writers.close()
            assert ("close", "b") in made and ("close", "c") in made

        run(body())

    def test_a_node_that_cannot_join_is_refused_with_the_reason_and_tried_again(self):
        attempts = []

        class Failing(FakeNode):
            async def open(self):
                attempts.append(self.identity)
                if len(attempts) == 1:
                    raise RuntimeError("no key named %s" % self.identity)
                return self

        async def body():
            writers = Writers(lambda identity: Failing(identity, []), limit=2)
            with pytest.raises(Refused, match="cannot act as ghost: no key named ghost"):
                await writers.run("ghost", lambda site: asyncio.sleep(0))
            assert await writers.run("ghost", lambda site: asyncio.sleep(0, "ok")) == "ok"
            await writers.close()

        run(body())


class TestOptions:
    def test_allow_write_on_a_network_address_needs_the_login(self):
        with pytest.raises(OptionError, match="needs the console's login"):
            parse_options(["--bind", "0.0.0.0", "--allow-write"])
        options = parse_options(["--bind", "0.0.0.0", "--allow-write", "--users", "/x/users"])
        assert options.users == "/x/users"
        with pytest.raises(OptionError):
            parse_options(["--users", "u", "--session-idle", "0"])
        with pytest.raises(OptionError):
            parse_options(["--users", "u", "--max-identities", "0"])
