"""Benchmark of the console's login on a secured site, inside a network
namespace:

    scripts/in-netns.sh /usr/bin/python3 bench/web/bench_login.py BUILD_DIR [--users 5] [--writes 20]

1. the cost of one password check (scrypt, as stored by corvo-web adduser);
2. login round trips (POST /login to the answer with its cookie);
3. a write from the page of a logged-in user: the first one of an identity
   (the gateway joins the site as that identity: discovery, CURVE handshake,
   the daemon's description) and the following ones, against writes through
   the gateway's own node (a second gateway on loopback, no login).
The example daemon is secured (its own key), every identity trusted.
"""

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "apps", "web"))
from bench_web import NET, Bench, find, pct  # noqa: E402
from corvoweb.users import check_password, hash_password  # noqa: E402

PASSWORD = "a password of some length"


def summary(name, ms):
    print("%-44s n=%3d  p50 %8.1f  p90 %8.1f  max %8.1f ms" % (name, len(ms), statistics.median(ms), pct(ms, 90),
                                                               max(ms)))


async def write_times(port, users, writes, login):
    import aiohttp

    origin = {"Origin": "http://127.0.0.1:%d" % port}
    first, later, logins = [], [], []
    for i, user in enumerate(users):
        async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as session:
            if login:
                t = time.perf_counter()
                async with session.post("http://127.0.0.1:%d/login" % port, headers=origin,
                                        data=json.dumps({"user": user, "password": PASSWORD})) as r:
                    assert r.status == 200, await r.text()
                logins.append((time.perf_counter() - t) * 1000)
            async with session.ws_connect("http://127.0.0.1:%d/ws" % port, headers=origin) as ws:
                async def until(pred):
                    async for frame in ws:
                        for m in json.loads(frame.data):
                            if pred(m):
                                return m

                await until(lambda m: m["type"] == "state" and any(p["name"] == "wheel" for p in m["peers"])
                            or m["type"] == "peer" and m["peer"]["name"] == "wheel")
                for n in range(writes if i == 0 or login else 1):
                    t = time.perf_counter()
                    await ws.send_str(json.dumps({"id": n, "op": "set", "peer": "wheel", "prop": "focus",
                                                  "value": "%d.25" % (n + i)}))
                    reply = await until(lambda m: m["type"] == "reply" and m["id"] == n)
                    assert reply["ok"], reply
                    (first if n == 0 else later).append((time.perf_counter() - t) * 1000)
    return logins, first, later


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--users", type=int, default=5, help="users, each with an identity of their own")
    p.add_argument("--writes", type=int, default=20, help="writes per user")
    args = p.parse_args()
    bench = Bench(args.build)
    keys = os.path.join(bench.work, "keys")
    bench.env["CORVO_KEY_DIR"] = keys
    try:
        stored = hash_password(PASSWORD)
        checks = []
        for _ in range(20):
            t = time.perf_counter()
            assert check_password(stored, PASSWORD)
            checks.append((time.perf_counter() - t) * 1000)
        users = ["user%d" % i for i in range(args.users)]
        for name in ["wheel", "web8193", "web8194", "bencher"] + users:
            done = subprocess.run([bench.tool, "--keys", keys, "keys", "new", name], capture_output=True,
                                  text=True, env=bench.env)
            assert done.returncode == 0, done.stderr
        web = os.environ.get("CORVO_WEB") or find(bench.build, "apps", "web", "corvo-web")
        user_file = os.path.join(bench.work, "users")
        for name in users:
            subprocess.run([web, "adduser", "--users", user_file, name], input=PASSWORD + "\n", text=True,
                           check=True, env=bench.env)
        bench.start([find(bench.build, "examples", "device", "corvo-example-daemon"), "--key", "wheel"] + NET)
        bench.gateway(8193, "--key", "web8193", "--users", user_file, "--allow-write")
        bench.gateway(8194, "--key", "web8194", "--allow-write")
        got = subprocess.run([bench.tool] + NET + ["--name", "bencher", "--key", "bencher", "--timeout", "30", "get",
                                                   "wheel", "focus"], capture_output=True, text=True, env=bench.env)
        if got.returncode != 0:
            sys.exit("bench_login: the secured daemon did not answer: " + got.stderr)
        print("load: " + open("/proc/loadavg").read().strip())
        summary("password check (scrypt N=16384 r=8 p=1)", checks)
        logins, first, later = asyncio.run(write_times(8193, users, args.writes, True))
        summary("login round trip", logins)
        summary("first write of an identity (joins the site)", first)
        summary("later writes of a logged-in user", later)
        _, own_first, own_later = asyncio.run(write_times(8194, ["-"], args.writes, False))
        summary("writes through the gateway's own node", own_first + own_later)
        print("load: " + open("/proc/loadavg").read().strip())
    finally:
        bench.close()


if __name__ == "__main__":
    main()
