"""Helpers of the tests that run the gateway's parts against a real site of
Python daemons."""

import asyncio
import os

import corvo  # the built package (ctest puts it on PYTHONPATH)


async def until(condition, guard=90.0):
    """Whether `await condition()` came true before the hang guard."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + guard
    while loop.time() < deadline:
        if await condition():
            return True
        await asyncio.sleep(0.1)
    return False


def daemon_env():
    """The environment of a daemon script: the built package importable."""
    return dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(corvo.__file__))))
