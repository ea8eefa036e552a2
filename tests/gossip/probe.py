"""Python side of the three-subnet test: a client of the site that finds it
through gossip, and a browser-like reader of the web gateway.

  probe.py watch OUT SITE IFACE ENDPOINTS   every 0.2 s, one line to OUT:
                                            "<time> name:uuid name:uuid ..."
  probe.py get SITE IFACE ENDPOINTS PEER PROPERTY
  probe.py web URL NAME...                  waits until the console lists
                                            every NAME (exit 1 after 30 s)
  probe.py gone OUT NAME SINCE              0 once the lines of OUT from time
                                            SINCE on end without NAME, and
                                            prints how long after SINCE it left
  probe.py steady OUT SINCE NAME...         0 when every line of OUT from
                                            SINCE lists each NAME once, under
                                            one UUID throughout
"""

import asyncio
import json
import signal
import sys
import time

WAIT = 30.0


def site(name, iface, endpoints):
    import corvo

    return corvo.Site(site=name, interface=iface, gossip=endpoints.split(","))


def watch(out, name, iface, endpoints):
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    with site(name, iface, endpoints) as s, open(out, "w") as f:
        while not stop:
            peers = sorted("%s:%s" % (p.name, p.uuid) for p in s.peers() if not p.client)
            f.write("%.2f %s\n" % (time.time(), " ".join(peers)))
            f.flush()
            time.sleep(0.2)
    return 0


def get(name, iface, endpoints, peer, prop):
    with site(name, iface, endpoints) as s:
        deadline = time.time() + WAIT
        while peer not in [p.name for p in s.peers()]:
            if time.time() > deadline:
                print("no peer " + peer, file=sys.stderr)
                return 1
            time.sleep(0.2)
        print(s.get(peer, prop))
    return 0


async def web(url, names):
    from aiohttp import ClientSession

    origin = url.rstrip("/")
    seen = set()
    async with ClientSession() as session:
        async with session.ws_connect(origin + "/ws", headers={"Origin": origin}) as ws:
            deadline = time.time() + WAIT
            while not set(names) <= seen:
                left = deadline - time.time()
                if left <= 0:
                    print("the console lists %s, not %s" % (sorted(seen), names), file=sys.stderr)
                    return 1
                frame = await asyncio.wait_for(ws.receive(), left)
                if frame.type.name != "TEXT":
                    continue
                for message in json.loads(frame.data):
                    if message.get("type") == "state":
                        seen |= {p.get("name") for p in message.get("peers", [])}
                    elif message.get("type") == "peer":
                        seen.add(message["peer"].get("name"))
    print(" ".join(sorted(n for n in seen if n)))
    return 0


def lines(out, since):
    """(time, {name: [uuids]}) of each line of a watch file from `since` on."""
    result = []
    with open(out) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 1 or not line.endswith("\n"):
                continue  # a line being written
            t = float(fields[0])
            if t < since:
                continue
            seen = {}
            for entry in fields[1:]:
                name, _, uuid = entry.rpartition(":")
                seen.setdefault(name, []).append(uuid)
            result.append((t, seen))
    return result


def gone(out, name, since):
    rows = lines(out, float(since))
    if not rows or name in rows[-1][1]:
        return 1
    left = rows[-1][0]
    for t, seen in reversed(rows):
        if name in seen:
            break
        left = t
    print("%.1f" % (left - float(since)))
    return 0


def steady(out, since, names):
    rows = lines(out, float(since))
    if not rows:
        print("%s: no lines since %s" % (out, since), file=sys.stderr)
        return 1
    for name in names:
        uuids = set()
        for t, seen in rows:
            count = len(seen.get(name, []))
            if count != 1:
                print("%s: at %.2f %s is listed %d times" % (out, t, name, count), file=sys.stderr)
                return 1
            uuids.update(seen[name])
        if len(uuids) != 1:
            print("%s: %s changed its UUID: %s" % (out, name, sorted(uuids)), file=sys.stderr)
            return 1
    return 0


def main(argv):
    if argv[1] == "gone":
        return gone(*argv[2:5])
    if argv[1] == "steady":
        return steady(argv[2], argv[3], argv[4:])
    if argv[1] == "watch":
        return watch(*argv[2:6])
    if argv[1] == "get":
        return get(*argv[2:7])
    if argv[1] == "web":
        return asyncio.run(web(argv[2], argv[3:]))
    raise SystemExit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
