"""Waking a task of an asyncio loop from another thread (the node's)."""

from __future__ import annotations


def wake(waker) -> None:
    """Resolves the future of ``waker`` = (loop, future) on its loop's own
    thread; nothing happens once that loop has closed."""
    loop, future = waker

    def resolve():
        if not future.done():
            future.set_result(None)
    try:
        loop.call_soon_threadsafe(resolve)
    except RuntimeError:
        pass  # the event loop has closed
