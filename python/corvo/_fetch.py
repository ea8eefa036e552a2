"""Images fetched from a camera over the site, shared by the blocking and
the asyncio Site: the request's checks, the errors, the astropy reading, and
the stream of an image's bytes as they come.

The library's receiver checks every chunk and the camera's SHA-1 at the end;
a file is written to a hidden ``.NAME.part`` beside the target, fsynced, and
renamed to the target only once the checksum matches.
"""

from __future__ import annotations

import asyncio
import collections
import io
import os
import threading
from typing import Any, Optional, Tuple

from . import _corvo
from ._errors import CorvoError, ImageError, RefusedError, TimeoutError, WrongTypeError, WrongValueError
from ._wake import wake

MODE_FILE, MODE_MEMORY, MODE_STREAM = 0, 1, 2

#: Largest image fetch_image keeps in memory (without ``path``) by default.
DEFAULT_MAX_BYTES = 1 << 30


def size_bound(max_bytes: Any, in_memory: bool) -> int:
    """The bound passed to the library: 0 for none (a file only)."""
    if max_bytes is None and not in_memory:
        return 0
    if not isinstance(max_bytes, int) or isinstance(max_bytes, bool) or max_bytes < 1:
        raise WrongValueError("max_bytes must be a positive number of bytes%s, not %r"
                              % ("" if in_memory else " or None", max_bytes))
    return max_bytes


def check_request(name: Any, timeout: Any) -> None:
    if not isinstance(name, str) or not name:
        raise WrongTypeError("an image's name below the camera's image root, or \"latest\", not %r" % (name,))
    if "\0" in name:
        raise WrongValueError("an image's name holds no NUL character")
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or not timeout > 0:
        raise WrongValueError("timeout must be a positive number of seconds, not %r" % (timeout,))


def fetch_error(camera: str, asked: str, kind: str, reason: str) -> CorvoError:
    """The package's error for an "image" event that failed."""
    what = "image %s of %s" % (asked, camera)
    if kind == "refused":
        return RefusedError(reason, "%s refused %s: %s" % (camera, what, reason))
    if kind == "timeout":
        return TimeoutError("%s: %s" % (what, reason))
    return ImageError("%s: %s" % (what, reason))


def closed_event(transfer: int) -> tuple:
    """The "image" event that ends a fetch when the site closes under it."""
    return ("image", transfer, "transfer", "the site has been closed", None, None, "", 0, 0)


def result_of(event: tuple, camera: str, asked: str, as_array: bool):
    """What fetch_image returns for its "image" event (or raises)."""
    _, _, kind, reason, path, data, _, _, _ = event
    if kind is not None:
        raise fetch_error(camera, asked, kind, reason)
    if as_array:
        return read_array(path if path is not None else data)
    return path if path is not None else data


def read_array(source) -> Tuple[Any, Any]:
    """The first image of a FITS file (a path or its bytes) as a numpy array
    in the machine's byte order (FITS stores big-endian), with its header as
    an astropy.io.fits.Header."""
    try:
        from astropy.io import fits
    except ImportError:
        raise CorvoError("as_array needs astropy (Debian: python3-astropy)") from None
    opened = io.BytesIO(source) if isinstance(source, (bytes, bytearray)) else source
    try:
        with fits.open(opened, memmap=False) as hdus:
            for hdu in hdus:
                if hdu.is_image and hdu.data is not None:
                    data = hdu.data
                    if not data.dtype.isnative:
                        data = data.astype(data.dtype.newbyteorder("="))
                    return data, hdu.header.copy()
    except (OSError, ValueError) as error:
        raise ImageError("the image is not a FITS file astropy can read: %s" % error) from None
    raise ImageError("the FITS file holds no image data")


def target_path(path) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        text = os.fsdecode(text)
    if not text or "\0" in text:
        raise WrongValueError("path must name a file or a directory")
    return text


class ImageStream:
    """The bytes of one image as they come from the camera, in order: iterate
    (``for chunk in stream``, or ``async for`` with corvo.aio) to get them as
    bytes objects of at most 64 KiB.

    The bytes are unverified until the iteration ends: it ends normally only
    after the camera's SHA-1 matched everything received; otherwise the last
    step raises ImageError (RefusedError, TimeoutError as fetch_image). A
    reader that falls behind holds the camera back: the camera gets credit for
    more only while fewer than about 1 MiB wait unread here.

    ``name`` and ``size`` are the image's name below the camera's root and its
    size once the first bytes came; ``received`` counts the bytes handed out.
    ``close()`` (or leaving a ``with`` block) stops the transfer; the
    iteration then ends without error, and ``verified`` stays False."""

    def __init__(self, core, camera: str, asked: str):
        self._core = core
        self._camera = camera
        self._asked = asked
        self._chunks: collections.deque = collections.deque()
        self._cond = threading.Condition(threading.Lock())
        self._waker = None
        self._end: Optional[tuple] = None
        self._closed = False
        self._transfer = 0
        self.name = ""
        """The image's name below the camera's image root ("" before the first bytes)."""
        self.size = 0
        """The image's size in bytes (0 before the first bytes)."""
        self.received = 0
        """Bytes handed to the reader so far."""
        self.verified = False
        """True once the whole image came and its checksum matched."""

    def _start(self, peer, timeout: float, compress: bool = False) -> None:
        self._transfer = self._core.start_fetch(peer, self._asked, MODE_STREAM, "", timeout, 0, self._on_event,
                                                compress)

    # -- the loop thread --
    def _on_event(self, event: tuple) -> None:
        with self._cond:
            if event[0] == "chunks":
                self._chunks.extend(event[2])
                self.name, self.size = event[3], event[4]
            else:
                self._end = event
                if event[6]:
                    self.name, self.size = event[6], event[7]
            self._cond.notify_all()
            waker, self._waker = self._waker, None
        if waker is not None:
            wake(waker)

    # -- the reader --
    def _take(self):
        """The next chunk, or raises at the end; None when nothing is ready."""
        if self._chunks:
            chunk = self._chunks.popleft()
            self.received += len(chunk)
            return chunk
        if self._end is not None:
            if self._closed:
                raise StopIteration
            if self._end[2] is not None:
                raise fetch_error(self._camera, self._asked, self._end[2], self._end[3])
            self.verified = True
            raise StopIteration
        return None

    def _consumed(self, chunk: bytes) -> bytes:
        if self._end is None:
            try:
                self._core.image_consumed(self._transfer, len(chunk))
            except CorvoError:
                pass  # the site closed: the end event says so
        return chunk

    def __iter__(self):
        return self

    def __next__(self) -> bytes:
        if _corvo.on_loop_thread():
            raise CorvoError("cannot wait for image bytes on the library's thread; use corvo.aio")
        with self._cond:
            while True:
                chunk = self._take()
                if chunk is not None:
                    break
                # In slices, so that Ctrl-C reaches the main thread.
                self._cond.wait(0.25)
        return self._consumed(chunk)

    def __aiter__(self):
        return self

    async def __anext__(self) -> bytes:
        while True:
            loop = asyncio.get_running_loop()
            with self._cond:
                try:
                    chunk = self._take()
                except StopIteration:
                    raise StopAsyncIteration from None
                if chunk is None:
                    future = loop.create_future()
                    self._waker = (loop, future)
            if chunk is not None:
                return self._consumed(chunk)
            await future

    def read(self) -> bytes:
        """Everything left, once verified (blocking)."""
        return b"".join(self)

    def close(self) -> None:
        """Stops the transfer (the camera is told); the iteration ends."""
        with self._cond:
            running = self._end is None
            if running:
                self._end = ("image", self._transfer, "transfer", "closed by the reader", None, None, "", 0, 0)
                self._closed = True
            self._chunks.clear()
            self._cond.notify_all()
            # An ``async for`` reader waiting for the next chunk: no event of
            # this transfer comes any more to wake it.
            waker, self._waker = self._waker, None
        if waker is not None:
            wake(waker)
        if running:
            self._core.cancel_fetch(self._transfer)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        self.close()
