"""The gateway's site adapter against the real site: a daemon killed (or
hung) and started again under its name stays shown, described and live (the
dead instance goes silent and leaves after the new one entered)."""

import asyncio
import signal
import subprocess
import sys

from corvoweb.hub import Hub
from corvoweb.site import SiteAdapter
from site_run import daemon_env, until

SITE, PORT, NAME = "restart", 5797, "twin"

DAEMON = """
import sys, threading, time
import corvo

class Twin(corvo.Daemon):
    name = %r
    count = corvo.Property(int, default=0)

daemon = Twin()

def tick():
    n = 0
    while True:
        time.sleep(0.1)
        n += 1
        try:
            daemon.count = n
        except Exception:
            pass

threading.Thread(target=tick, daemon=True).start()
daemon.run()
""" % NAME


def test_a_daemon_killed_and_started_again_stays_shown_with_its_values(tmp_path):
    script = tmp_path / "twin.py"
    script.write_text(DAEMON)
    env = daemon_env()
    command = [sys.executable, str(script), "--site", SITE, "--port", str(PORT), "--interface", "lo"]

    async def body():
        hub = Hub()
        adapter = SiteAdapter(site=SITE, port=PORT, interface="lo")
        task = asyncio.ensure_future(adapter.run(hub))
        daemons = [subprocess.Popen(command, env=env)]
        try:
            entry = lambda: hub.peers.get(NAME) or {}  # noqa: E731
            value = lambda: entry().get("properties", {}).get("count", {}).get("value")  # noqa: E731

            async def shown_and_counting():
                return not entry().get("gone", True) and (value() or 0) > 0

            assert await until(shown_and_counting), "the first instance is not shown: %r" % entry()
            # A stopped instance (hung, or its host gone) answers nothing
            # until it is found gone, seconds after its successor described
            # itself; a killed one is found gone at once, in a race with its
            # successor's description. Every order must end with the live
            # instance shown.
            for restart, sig in enumerate((signal.SIGSTOP, signal.SIGKILL, signal.SIGSTOP)):
                old = entry()["uuid"]
                daemons[-1].send_signal(sig)
                daemons.append(subprocess.Popen(command, env=env))

                async def only_the_new_one():
                    members = [p for p in await adapter.site.peers() if p.name == NAME]
                    return len(members) == 1 and members[0].uuid != old and not members[0].silent

                # The dead instance is found gone (checked when its successor
                # enters, or at expiry); its exit has then been handed over.
                assert await until(only_the_new_one), await adapter.site.peers()
                new = next(p.uuid for p in await adapter.site.peers() if p.name == NAME)

                async def described_as_the_new_one():
                    e = entry()
                    return not e.get("gone", True) and e.get("uuid") == new and "count" in e.get("properties", {})

                assert await until(described_as_the_new_one, guard=60.0), (restart, entry())
                # The entry stays live and the new instance's values keep
                # coming.
                seen = value()
                for _ in range(3):

                    async def changed():
                        return value() != seen

                    assert await until(changed, guard=30.0), (restart, entry())
                    seen = value()
                e = entry()
                assert not e["gone"] and not e["silent"] and e["uuid"] == new, (restart, e)
                assert "count" in e["properties"], (restart, e)
        finally:
            for d in daemons:
                if d.poll() is None:
                    d.kill()  # (a stopped one too)
                d.wait()
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)

    asyncio.run(asyncio.wait_for(body(), 280))
