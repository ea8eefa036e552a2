"""A Python daemon seen from the C++ operator tool and from the Python
client: description, set (confirmed, refused), commands, watch; handler
exceptions are logged and the daemon goes on; a slow async handler stalls
nothing; Ctrl-C stops it cleanly."""

import asyncio
import json
import os
import signal
import time

import pytest

import corvo
from conftest import net_options, program, read_log, wait_until

T = 30.0


@pytest.fixture
def pyd(children, site_args):
    return children.python("pydaemon.py", *net_options(site_args))


def tool(children, site_args, *args, timeout=T):
    return children.run([program("CORVO_TOOL")] + net_options(site_args) + ["-t", str(timeout)] + list(args),
                        timeout=timeout * 3 + 30)


def test_tool_info_get_set(pyd, children, site_args):
    r = tool(children, site_args, "--json", "info", "pyd")
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    assert info["type"] == "pyd" and not info["client"]
    props = {p["name"]: p for p in info["properties"]}
    assert props["gain"]["value"] == 1.5 and props["gain"]["unit"] == "e/ADU"
    assert props["names"]["value"] == ["a", "b"]
    assert props["offsets"]["value"] == [1, -2]
    cmds = {c["name"]: c for c in info["commands"]}
    assert [(a["name"], a["type"]) for a in cmds["configure"]["args"]] == [
        ("gain", "double"), ("label", "string"), ("on", "bool")]
    statuses = {s["value"]: s["text"] for s in info["status_values"]}
    assert statuses == {0: "IDLE", 1: "BUSY", 2: "FAULT"}

    r = tool(children, site_args, "set", "pyd", "gain", "2.25")
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) == 2.25
    r = tool(children, site_args, "set", "pyd", "temps", "1.5,2.5")
    assert r.returncode == 0, r.stderr
    # The tool refuses what the declaration excludes.
    assert tool(children, site_args, "set", "pyd", "count", "101").returncode == 5
    assert tool(children, site_args, "set", "pyd", "mode", "7").returncode == 5
    assert tool(children, site_args, "set", "pyd", "names", "x").returncode == 5
    r = tool(children, site_args, "set", "pyd", "mode", "ON")
    assert r.returncode == 0, r.stderr
    r = tool(children, site_args, "get", "pyd", "gain")
    assert r.returncode == 0 and float(r.stdout) == 2.25


def test_tool_commands_and_watch(pyd, children, site_args):
    watch = children.start([program("CORVO_TOOL")] + net_options(site_args) +
                           ["-t", str(T * 2), "-c", "3", "watch", "pyd"], "watch")
    # The watcher must be listening before the changes are made.
    wait_until(lambda: "pyd" in tool(children, site_args, "peers").stdout, what="the daemon")
    time.sleep(1.0)
    r = tool(children, site_args, "--wait", "count", "cmd", "pyd", "add", "5")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "5"
    r = tool(children, site_args, "cmd", "pyd", "configure", "3.5", "hello", "true")
    assert r.returncode == 0, r.stderr
    watch.wait(timeout=T * 3)
    out = read_log(watch)
    assert "count" in out and ("gain" in out or "label" in out), out
    with corvo.Site(**site_args) as s:
        assert s.get("pyd", "gain", timeout=T) == 3.5
        assert s.get("pyd", "label") == "hello"
        assert s.get("pyd", "mode") == 1


def test_handler_exception_is_logged_and_daemon_goes_on(pyd, site_args):
    try:
        handler_exception_is_logged(pyd, site_args)
    except Exception:
        print(read_log(pyd))
        raise


def handler_exception_is_logged(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.logs("pyd") as logs:
            texts = []

            def wait_for_text(pattern, send):
                # Sent again each second: the log group join travels on its
                # own and may arrive after the first record.
                deadline = time.monotonic() + T
                while time.monotonic() < deadline:
                    send()
                    until = time.monotonic() + 1.0
                    while time.monotonic() < until:
                        try:
                            texts.append(logs.get(0.2).text)
                        except TimeoutError:
                            continue
                        if any(pattern in t for t in texts):
                            return
                pytest.fail("no log record with %r: %s" % (pattern, texts))

            wait_for_text("failed on purpose", lambda: s.command("pyd", "fail", linger=0))
            # Not an integer: the client refuses it, a raw peer sends it.
            with pytest.raises(ValueError):
                s.command("pyd", "add", "x1")
            uuid = s.wait_for("pyd").uuid
            wait_for_text("Wrong argument", lambda: s._core._node.command(uuid, ["add", "x1"]))
        assert any(t.startswith("Unhandled exception in event handling: ") and "failed on purpose" in t
                   for t in texts), texts
        assert any(t.startswith("Wrong argument. Received: add x1") for t in texts), texts
        # Still serving.
        assert s.command("pyd", "add", 2, wait="count", timeout=T) == 2


def test_change_handler_refuses_and_transforms(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        # The handler stores the value upper-cased: the set of "yes" is
        # confirmed by what the daemon applied.
        assert s.set("pyd", "picky", "yes", timeout=T) == "YES"
        assert s.get("pyd", "picky") == "YES"
        assert s.set("pyd", "picky", "OK", timeout=T) == "OK"
        # A refusal reaches the client as one, with the handler's reason,
        # and leaves the value alone.
        with pytest.raises(corvo.RefusedError, match="no is not welcome") as refused:
            s.set("pyd", "picky", "no", timeout=T)
        assert refused.value.reason == "no is not welcome"
        assert s.get("pyd", "picky") == "OK"


def test_the_audit_records_what_the_handler_applied(pyd, children, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        assert s.set("pyd", "picky", "yes", timeout=T) == "YES"
        assert s.set("pyd", "clamped", 12.5, timeout=T) == 10.0
        assert s.set("pyd", "clamped", 2.5, timeout=T) == 2.5
        with pytest.raises(corvo.RefusedError):
            s.set("pyd", "careful", 3, timeout=T)
        assert s.set("pyd", "gain", 4.0, timeout=T) == 4.0
    # Sync and async handlers: audited once each, after the handler, with
    # the value applied (and the requested one when it differs).
    for line in ("audit: accepted set picky = YES (requested yes, was ) by ",
                 "audit: accepted set clamped = 10.000000 (requested 12.500000, was 0.000000) by ",
                 "audit: accepted set clamped = 2.500000 (was 10.000000) by ",
                 "[warning] audit: refused set careful = 3 (was 0) by ",
                 "audit: accepted set gain = 4.000000 (was 1.500000) by "):
        wait_until(lambda: line in read_log(pyd), what=line)
    log = read_log(pyd)
    assert "set clamped = 12.5" not in log and "accepted set careful" not in log, log
    assert log.count("audit: ") == 5, log


@pytest.mark.asyncio
async def test_clients_get_the_value_a_cpp_daemon_applied(children, site_args):
    # The example wheel's focuser takes steps of 0.01 mm.
    children.start([program("CORVO_EXAMPLE_DAEMON")] + net_options(site_args), "wheel")
    with corvo.Site(**site_args) as s:
        s.wait_for("wheel", timeout=T)
        assert s.set("wheel", "focus", 2.344, timeout=T) == 2.34
        assert s.set("wheel", "focus", 2.5, timeout=T) == 2.5
    async with corvo.aio.Site(**site_args) as a:
        await a.wait_for("wheel", timeout=T)
        assert await a.set("wheel", "focus", 7.006, timeout=T) == 7.01
        assert a.core.pending_requests() == 0


def test_a_name_two_live_daemons_share_is_refused_as_the_tool_does(children, site_args):
    """Two live programs of one name: neither the tool nor the Python client
    picks one of them (the older, as the client used to); both name the two
    UUIDs. A UUID names one; once the older is gone, the name means the
    newer."""
    daemon = [program("CORVO_EXAMPLE_DAEMON")] + net_options(site_args)
    older = children.start(daemon, "wheel-older")
    with corvo.Site(**site_args) as s:
        first = s.wait_for("wheel", timeout=T).uuid
        children.start(daemon, "wheel-newer")

        def described():
            twins = [p.uuid for p in s.peers() if p.name == "wheel"]
            return len(twins) == 2 and all(s._core.described_now(u) for u in twins) and twins
        twins = wait_until(described, 60, "the second wheel's description")
        second = (set(twins) - {first}).pop()
        r = tool(children, site_args, "get", "wheel", "focus")
        assert r.returncode != 0 and first in r.stderr and second in r.stderr, r.stderr
        with pytest.raises(corvo.NotFoundError, match="2 peers are named wheel") as refused:
            s.set("wheel", "focus", 4.0, timeout=T)
        assert first in str(refused.value) and second in str(refused.value)
        with pytest.raises(corvo.NotFoundError):
            s.wait_for("wheel", timeout=T)
        assert s.set(first, "focus", 3.0, timeout=T) == 3.0
        assert s.set(second, "focus", 4.0, timeout=T) == 4.0
        assert s.get(first, "focus") == 3.0
        older.send_signal(signal.SIGINT)
        older.wait(T)
        wait_until(lambda: first not in [p.uuid for p in s.peers()], 60, "the older wheel's exit")
        assert s.wait_for("wheel", timeout=T).uuid == second
        assert s.get("wheel", "focus") == 4.0


def test_refusals_of_a_python_daemon_reach_the_client(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        # Sync and async change handlers.
        with pytest.raises(corvo.RefusedError) as refused:
            s.set("pyd", "careful", 3, timeout=T)
        assert refused.value.reason == "odd values are not welcome"
        assert s.set("pyd", "careful", 4, timeout=T) == 4
        # Sync command handler: refused at once, or run.
        with pytest.raises(corvo.RefusedError) as refused:
            s.command("pyd", "guarded", 7, linger=T)
        assert refused.value.reason == "wrong code 7"
        # A refusal of the same command with other arguments (sent just
        # before, by nobody waiting) does not answer this one.
        s._core._node.command(s.wait_for("pyd").uuid, ["guarded", "7"])
        assert s.command("pyd", "guarded", 42, wait="count", timeout=T) == 42
        # Async command handler refusing after its work started.
        with pytest.raises(corvo.RefusedError, match="parked for good"):
            s.command("pyd", "parked", 0.1, linger=T)
        # An accepted command is not mistaken for a refused one.
        assert s.command("pyd", "add", 1, linger=0.3) is None
        assert s._core.pending_requests() == 0


@pytest.mark.asyncio
async def test_refusals_reach_an_asyncio_client(pyd, site_args):
    async with corvo.aio.Site(**site_args) as a:
        with pytest.raises(corvo.RefusedError, match="wrong code 1"):
            await a.command("pyd", "guarded", 1, linger=T, timeout=T)
        with pytest.raises(corvo.RefusedError, match="no is not welcome"):
            await a.set("pyd", "picky", "no", timeout=T)
        # Two requests for one property in flight: the refusal answers the
        # one it refuses (the oldest), not both.
        odd, even = await asyncio.gather(a.set("pyd", "careful", 5, timeout=T),
                                         a.set("pyd", "careful", 6, timeout=T), return_exceptions=True)
        assert isinstance(odd, corvo.RefusedError), odd
        assert even == 6
        assert a.core.pending_requests() == 0


def test_tool_sees_a_python_daemons_refusals(pyd, children, site_args):
    r = tool(children, site_args, "set", "pyd", "picky", "no")
    assert r.returncode == 5, (r.returncode, r.stderr)
    assert "no is not welcome" in r.stderr
    r = tool(children, site_args, "cmd", "pyd", "guarded", "5")
    assert r.returncode == 5, (r.returncode, r.stderr)
    assert "wrong code 5" in r.stderr
    r = tool(children, site_args, "cmd", "pyd", "guarded", "42")
    assert r.returncode == 0, r.stderr
    # The refusal is logged by the daemon with the requester's name.
    assert "Refused change of picky from" in read_log(pyd)


def test_slow_async_handler_stalls_nothing(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        with s.watch("pyd") as events:
            s.command("pyd", "slow", 8.0)
            # While the slow command runs, sets are confirmed and commands run.
            wait_until(lambda: s.peers() and s.peers()[0].status_name == "BUSY", what="BUSY")
            assert s.set("pyd", "gain", 7.0, timeout=T) == 7.0
            assert s.command("pyd", "add", 1, wait="count", timeout=T) == 1
            assert s.get("pyd", "ticks") == 0  # the slow command has not finished
            wait_until(lambda: s.get("pyd", "ticks") == 1, timeout=T + 10, what="the slow command")


def test_ctrl_c_stops_cleanly(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        pyd.send_signal(signal.SIGINT)
        assert pyd.wait(timeout=T) == 0
        # It left the site at once rather than expiring.
        wait_until(lambda: not s.peers(), timeout=10, what="the daemon leaving")
    log = read_log(pyd)
    assert "Stop and clean up" in log
    assert "Traceback" not in log
