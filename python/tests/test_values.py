"""Values: a set is confirmed by whatever the daemon applied (Python
clients, blocking and asyncio, and the C++ tool); numpy scalars are taken as
the numbers they equal exactly, by clients and daemons."""

import asyncio

import numpy
import pytest

import corvo
from conftest import net_options, program

T = 30.0


@pytest.fixture
def pyd(children, site_args):
    return children.python("pydaemon.py", *net_options(site_args))


def test_set_returns_the_value_applied(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        # Sync and async handlers returning another value.
        assert s.set("pyd", "picky", "abc", timeout=T) == "ABC"
        assert s.set("pyd", "clamped", 42.0, timeout=T) == 10.0
        assert s.set("pyd", "clamped", 3.5, timeout=T) == 3.5
        assert s._core.pending_requests() == 0


@pytest.mark.asyncio
async def test_concurrent_sets_get_their_own_applied_values(pyd, site_args):
    async with corvo.aio.Site(**site_args) as a:
        await a.wait_for("pyd", timeout=T)
        # Queued one after the other by the async handler; each request is
        # answered with what was applied for it, not for its neighbour.
        results = await asyncio.gather(a.set("pyd", "clamped", 20.0, timeout=T),
                                       a.set("pyd", "clamped", 2.0, timeout=T),
                                       a.set("pyd", "clamped", 30.0, timeout=T))
        assert results == [10.0, 2.0, 10.0]
        assert a.core.pending_requests() == 0


def test_tool_set_prints_the_value_applied(pyd, children, site_args):
    r = children.run([program("CORVO_TOOL")] + net_options(site_args) +
                     ["-t", str(T), "set", "pyd", "picky", "quiet"], timeout=T * 3)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "QUIET"
    r = children.run([program("CORVO_TOOL")] + net_options(site_args) +
                     ["-t", str(T), "set", "pyd", "clamped", "11"], timeout=T * 3)
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) == 10.0


def test_numpy_scalars_are_values(pyd, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("pyd", timeout=T)
        assert s.set("pyd", "gain", numpy.float32(2.5), timeout=T) == 2.5
        assert s.set("pyd", "gain", numpy.float64(0.125), timeout=T) == 0.125
        assert s.set("pyd", "count", numpy.int64(7), timeout=T) == 7
        assert s.set("pyd", "count", numpy.uint8(9), timeout=T) == 9
        assert s.set("pyd", "temps", [numpy.float32(1.5), numpy.int16(2)], timeout=T) == [1.5, 2.0]
        assert s.set("pyd", "temps", numpy.array([0.5, 4.0]), timeout=T) == [0.5, 4.0]
        assert s.command("pyd", "add", numpy.int32(1), wait="count", timeout=T) == 10
        # What does not convert exactly is refused, and checked as before.
        with pytest.raises(corvo.RefusedError):
            s.set("pyd", "count", numpy.int64(1000))
        with pytest.raises(TypeError):
            s.set("pyd", "count", numpy.float64(3.0))
        with pytest.raises(TypeError):
            s.set("pyd", "gain", numpy.complex128(1 + 1j))
        inexact = numpy.longdouble(1) / 3
        if float(inexact) != inexact:  # a long double wider than a double
            with pytest.raises(ValueError):
                s.set("pyd", "gain", inexact)
        # A daemon assigns numpy scalars to its properties.
        s.command("pyd", "numpy_values", wait="temps", timeout=T)
        assert s.get("pyd", "gain") == 0.25
        assert s.get("pyd", "count") == 3
        assert s.get("pyd", "temps") == [1.5, 2.5]
