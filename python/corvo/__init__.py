"""corvo: distributed instrument control from Python.

Operator side (corvo.Site, blocking; corvo.aio.Site, asyncio)::

    import corvo
    with corvo.Site(site="lab") as s:
        print(s.get("wheel", "slot"))
        s.set("wheel", "focus", 12.5)          # returns the value applied
        cam = s.device("camera")               # attribute access
        cam.expotime = 2.0
        cam.expose(wait="filename")
        for event in s.watch("camera", "temperature"):
            print(event.value, event.sent, event.time)
        s.fetch_image("camera", "latest", "frames/")   # the file, checksum verified
        data, header = s.fetch_image("camera", as_array=True)

Device servers derive from corvo.Daemon, whose docstring shows a whole
one; properties are corvo.Property, commands methods decorated with
corvo.command.

Errors all derive from corvo.CorvoError: RefusedError, NotFoundError,
ArgumentError, ImageError, and corvo.TimeoutError, WrongTypeError, WrongValueError,
which are also the built-in TimeoutError, TypeError and ValueError.

The package owns one thread on which the library runs; every call from any
thread is carried there.
"""

from ._errors import (ArgumentError, CorvoError, ImageError, NotFoundError, RefusedError, TimeoutError,
                      WrongTypeError, WrongValueError)
from ._events import (CommandInfo, ImageReady, Info, LogEvent, PeerEvent, PeerInfo, PropertyEvent, PropertyInfo,
                      StatusEvent)
from ._core import EventStream
from ._fetch import ImageStream
from ._site import Device, Site
from ._daemon import Daemon, Property, command
from ._image import read_fits, write_fits
from . import aio

__all__ = [
    "Site", "Device", "aio", "EventStream", "ImageStream", "Daemon", "Property", "command",
    "write_fits", "read_fits",
    # corvo.TimeoutError stays out: a star import must not shadow the built-in.
    "CorvoError", "RefusedError", "NotFoundError", "ArgumentError", "WrongTypeError", "WrongValueError",
    "ImageError", "PeerInfo", "Info", "PropertyInfo", "CommandInfo",
    "PropertyEvent", "StatusEvent", "LogEvent", "PeerEvent", "ImageReady",
]

__version__ = "2.1.0"


def _shutdown() -> None:
    from . import _corvo, _runner
    _runner.stop()
    _corvo.shutdown()


import atexit as _atexit  # noqa: E402
_atexit.register(_shutdown)
