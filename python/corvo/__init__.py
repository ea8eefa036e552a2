"""corvo: distributed instrument control from Python.

Operator side::

    import corvo
    with corvo.Site(site="lab") as s:
        print(s.get("wheel", "slot"))
        s.set("wheel", "focus", 12.5)

Device servers derive from corvo.Daemon; see its docstring. The package owns
one thread on which the library runs; every call from any thread is carried
there.
"""

from ._errors import ArgumentError, CorvoError, NotFoundError, RefusedError
from ._events import (CommandInfo, Info, LogEvent, PeerEvent, PeerInfo, PropertyEvent, PropertyInfo,
                      StatusEvent)
from ._core import EventStream
from ._site import Site
from ._daemon import Daemon, Property, command
from ._image import read_fits, write_fits
from . import aio

__all__ = [
    "Site", "aio", "EventStream", "Daemon", "Property", "command",
    "write_fits", "read_fits",
    "CorvoError", "RefusedError", "NotFoundError", "ArgumentError",
    "PeerInfo", "Info", "PropertyInfo", "CommandInfo",
    "PropertyEvent", "StatusEvent", "LogEvent", "PeerEvent",
]

__version__ = "1.2.0"


def _shutdown() -> None:
    from . import _corvo, _runner
    _runner.stop()
    _corvo.shutdown()


import atexit as _atexit  # noqa: E402
_atexit.register(_shutdown)
