"""Concurrency policies of async command handlers: "cancel" lets the latest
request win (the running one is cancelled and answers, one still waiting is
superseded); "queue" runs requests in turn with a bounded number waiting;
bad declarations are refused at once."""

import asyncio

import pytest

import corvo
from conftest import net_options, read_log, wait_until

T = 30.0


@pytest.fixture
def pyd(children, site_args):
    return children.python("pydaemon.py", *net_options(site_args))


@pytest.mark.asyncio
async def test_cancel_policy_lets_the_latest_win(pyd, site_args):
    async with corvo.aio.Site(**site_args) as a:
        await a.wait_for("pyd", timeout=T)
        with a.watch("pyd", "count") as counts:
            first = asyncio.ensure_future(a.command("pyd", "chase", 1, 60.0, linger=T, timeout=T))
            await asyncio.to_thread(wait_until, lambda: "chasing 1" in read_log(pyd), T, "chase 1 to run")
            second, last = await asyncio.gather(
                a.command("pyd", "chase", 2, 60.0, linger=T, timeout=T),
                a.command("pyd", "chase", 3, 0.1, wait="count", timeout=T), return_exceptions=True)
            (first,) = await asyncio.gather(first, return_exceptions=True)
            assert last == 3
            # The first was running and was cancelled (answering from its
            # handler); the second was cancelled, or superseded while waiting.
            assert isinstance(first, corvo.RefusedError) and first.reason == "cancelled by a newer chase"
            assert isinstance(second, corvo.RefusedError), second
            assert second.reason in ("cancelled by a newer chase", "superseded by a newer request of chase")
            assert counts.get(0.5).value == 3
            with pytest.raises(TimeoutError):
                counts.get(1.0)  # no earlier chase was ever applied
    assert "chase 1 cancelled" in read_log(pyd)


@pytest.mark.asyncio
async def test_queue_policy_runs_in_turn_and_bounds_the_wait(pyd, site_args):
    async with corvo.aio.Site(**site_args) as a:
        await a.wait_for("pyd", timeout=T)
        results = await asyncio.gather(*(a.command("pyd", "tally", n, linger=2.0, timeout=T)
                                         for n in (1, 10, 100, 1000)), return_exceptions=True)
        # One runs, two wait; the fourth is refused.
        assert results[:3] == [None, None, None], results
        assert isinstance(results[3], corvo.RefusedError)
        assert results[3].reason == "busy: 2 requests of tally wait already"
        assert await a.get("pyd", "count") == 111


def test_policy_declarations_are_checked():
    with pytest.raises(ValueError):
        corvo.command(policy="sometimes")(lambda self: None)
    with pytest.raises(ValueError):
        corvo.command(policy="queue", queue=0)(lambda self: None)
    with pytest.raises(ValueError):
        corvo.command(policy="refuse", queue=3)(lambda self: None)
    with pytest.raises(ValueError):
        corvo.Property(int, writable=True, policy="queue", queue=100000)
