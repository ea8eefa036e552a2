"""A console user whose identity is a daemon's name, on the real site: the
gateway (its site adapter and the nodes it opens for identities) with
Python daemons. The user's writes are refused instead of a second member of
the daemon's name joining (which would make the daemon ambiguous for every
node), and a node of the gateway's own never takes a daemon's card."""

import asyncio
import io
import json
import socket
import subprocess
import sys
import types

from aiohttp import ClientSession, CookieJar, web

from corvoweb.__main__ import make_login
from corvoweb.hub import Hub
from corvoweb.server import Gateway
from corvoweb.sessions import COOKIE
from corvoweb.site import SiteAdapter
from corvoweb.users import manage
from site_run import daemon_env, until

SITE, PORT = "collide", 5798

DAEMON = """
import sys
import corvo

class Stage(corvo.Daemon):
    name = sys.argv[1]
    pos = corvo.Property(int, default=0, writable=True)

Stage().run()
"""


def test_an_identity_named_like_a_daemon_cannot_act_and_never_takes_its_card(tmp_path):
    script = tmp_path / "stage.py"
    script.write_text(DAEMON)
    env = daemon_env()

    def daemon(name):
        return subprocess.Popen([sys.executable, str(script), name, "--site", SITE, "--port", str(PORT),
                                 "--interface", "lo"], env=env)

    users = str(tmp_path / "users")
    for name in ("bob", "focus", "lens"):
        assert manage(["adduser", "--users", users, name], stdin=io.StringIO(name + " pw\n")) == 0

    async def body():
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        http = sock.getsockname()[1]
        sock.close()
        options = types.SimpleNamespace(
            bind="127.0.0.1", http_port=http, allow_write=True, image_root=None, allow_host=None, site=SITE,
            tls_cert=None, tls_key=None, key=None, public_url=None, users=users, session_idle=1800.0,
            session_lifetime=3600.0, max_identities=4)
        hub = Hub()
        adapter = SiteAdapter(site=SITE, port=PORT, interface="lo", name="web")
        gateway = Gateway(hub, adapter, options, login=make_login(options, adapter))
        runner = web.AppRunner(gateway.app())
        await runner.setup()
        await web.TCPSite(runner, "127.0.0.1", http).start()
        origin = "http://127.0.0.1:%d" % http
        browsers = {}
        daemons = [daemon("focus")]
        try:
            for user in ("bob", "focus", "lens"):
                client = browsers[user] = ClientSession(cookie_jar=CookieJar(unsafe=True))
                async with client.post(origin + "/login", headers={"Origin": origin},
                                       data=json.dumps({"user": user, "password": user + " pw"})) as r:
                    assert r.status == 200 and COOKIE in r.cookies
            sockets = {user: await c.ws_connect(origin + "/ws", headers={"Origin": origin})
                       for user, c in browsers.items()}
            ids = iter(range(1, 1000))

            async def write(user, peer, value):
                rid = next(ids)
                await sockets[user].send_str(json.dumps({"id": rid, "op": "set", "peer": peer, "prop": "pos",
                                                         "value": str(value)}))
                while True:
                    frame = await asyncio.wait_for(sockets[user].receive(), 60)
                    assert frame.type.name == "TEXT", frame
                    for m in json.loads(frame.data):
                        if m["type"] == "reply" and m["id"] == rid:
                            return m

            def card(name):
                return hub.peers.get(name) or {}

            async def described(name):
                c = card(name)
                return not c.get("gone", True) and not c["client"] and "pos" in c["properties"]

            async def members(name):
                return [p for p in await adapter.site.peers() if p.name == name]

            assert await until(lambda: described("focus"), 60.0), card("focus")
            assert (await write("bob", "focus", 1))["ok"]
            # The user "focus" is refused with the reason; no node of that
            # name joins, so the daemon stays unambiguous for everyone.
            reply = await write("focus", "focus", 2)
            assert not reply["ok"], reply
            assert reply["error"] == "a peer named focus is on the site; focus cannot act from the console"
            await asyncio.sleep(2.0)  # a node that had joined would be seen by now
            assert [p.client for p in await members("focus")] == [False]
            assert "focus" not in gateway.login.writers.identities()
            reply = await write("bob", "focus", 3)
            assert reply["ok"] and reply["value"] == 3, reply
            assert await described("focus"), card("focus")

            # A daemon that starts under the name of an identity's node
            # already open: the daemon's card is the daemon's.
            assert (await write("lens", "focus", 4))["ok"]
            assert "lens" in gateway.login.writers.identities()
            daemons.append(daemon("lens"))

            async def both_listed():
                return len(await members("lens")) == 2

            assert await until(both_listed, 60.0), await members("lens")
            writer = [p for p in await members("lens") if p.client]
            assert len(writer) == 1
            assert await until(lambda: described("lens"), 60.0), card("lens")
            chosen = await adapter._members("lens")
            assert [p.client for p in chosen] == [False] and writer[0].uuid not in [p.uuid for p in chosen]
            assert card("lens")["uuid"] != writer[0].uuid
            # Its node closing leaves the daemon's card as it was.
            await gateway.login.writers.close()

            async def writer_gone():
                return len(await members("lens")) == 1

            assert await until(writer_gone, 60.0), await members("lens")
            await asyncio.sleep(1.0)
            assert await described("lens"), card("lens")
            for ws in sockets.values():
                await ws.close()
        finally:
            for c in browsers.values():
                await c.close()
            for d in daemons:
                d.kill()
                d.wait()
            await runner.cleanup()

    asyncio.run(asyncio.wait_for(body(), 250))
