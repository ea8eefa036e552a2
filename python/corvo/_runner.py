"""The package's asyncio thread: runs ``async def`` handlers and callbacks of
device servers and watches, so that a long handler stalls neither the
library's loop thread nor other handlers."""

from __future__ import annotations

import asyncio
import threading
from typing import Any, Callable, Coroutine, Optional

_lock = threading.Lock()
_loop: Optional[asyncio.AbstractEventLoop] = None
_thread: Optional[threading.Thread] = None


def loop() -> asyncio.AbstractEventLoop:
    """The running asyncio loop of the package's thread (started on first use)."""
    global _loop, _thread
    with _lock:
        if _loop is None:
            new_loop = asyncio.new_event_loop()
            ready = threading.Event()

            def run():
                asyncio.set_event_loop(new_loop)
                new_loop.call_soon(ready.set)
                new_loop.run_forever()
            _thread = threading.Thread(target=run, name="corvo-asyncio", daemon=True)
            _thread.start()
            ready.wait()
            _loop = new_loop
        return _loop


def submit(coroutine: Coroutine, on_error: Optional[Callable[[BaseException], Any]] = None):
    """Runs `coroutine` on the package's asyncio thread; an exception it
    raises goes to `on_error` (else it is printed)."""
    future = asyncio.run_coroutine_threadsafe(coroutine, loop())

    def finished(f):
        if f.cancelled():
            return
        error = f.exception()
        if error is None:
            return
        if on_error is not None:
            on_error(error)
        else:
            import traceback
            traceback.print_exception(type(error), error, error.__traceback__)
    future.add_done_callback(finished)
    return future


def on_thread() -> bool:
    """True on the package's asyncio thread (in async handlers)."""
    with _lock:
        return _thread is not None and _thread is threading.current_thread()


def current() -> Optional[asyncio.AbstractEventLoop]:
    """The loop if it has been started, else None (without starting it)."""
    with _lock:
        return _loop


#: Seconds the tasks still pending at exit get to end after their
#: cancellation.
EXIT_GRACE = 2.0


async def _cancel_pending() -> None:
    this = asyncio.current_task()
    pending = [t for t in asyncio.all_tasks() if t is not this and not t.done()]
    for task in pending:
        task.cancel()
    if pending:
        await asyncio.wait(pending, timeout=EXIT_GRACE)


def stop() -> None:
    """Cancels the tasks still pending, lets them end (their ``finally``
    blocks run, bounded by EXIT_GRACE), then ends the thread and closes the
    loop: nothing is left to be destroyed pending."""
    global _loop, _thread
    with _lock:
        loop_, thread = _loop, _thread
        _loop = _thread = None
    if loop_ is None:
        return
    if thread is not threading.current_thread():
        try:
            asyncio.run_coroutine_threadsafe(_cancel_pending(), loop_).result(EXIT_GRACE + 1.0)
        except BaseException:  # noqa: B902 - an exit path: stop regardless
            pass
    loop_.call_soon_threadsafe(loop_.stop)
    if thread is not threading.current_thread():
        thread.join(timeout=5)
        if not thread.is_alive():
            loop_.close()
