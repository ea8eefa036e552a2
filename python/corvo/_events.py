"""Records the package hands out: descriptions of peers and the events of
``watch`` and ``logs``."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

__all__ = [
    "PeerInfo", "PropertyInfo", "CommandInfo", "Info",
    "PropertyEvent", "StatusEvent", "LogEvent", "PeerEvent", "ImageReady",
    "LOG_LEVELS",
]

#: Log record levels by number, as on the wire.
LOG_LEVELS = ("trace", "debug", "info", "warn", "error")


@dataclass(frozen=True)
class PeerInfo:
    """A member of the site. ``identity`` is the identity whose key the peer
    proved on a secured site, "" on an open site. ``silent`` is True while
    the peer has not been heard for the network's evasive time (it may be
    gone: its values are not current); it leaves the site at expiry."""
    name: str
    uuid: str
    type: str
    client: bool
    status: int
    status_name: Optional[str]
    identity: str = ""
    silent: bool = False


@dataclass(frozen=True)
class PropertyInfo:
    """A property as its daemon describes it. ``type`` is one of "int",
    "float", "str", "list[int]", "list[float]", "list[str]"; ``limits`` is
    (min, max) for int and float properties, else None; ``choices`` maps the
    values of an int property to their labels."""
    name: str
    type: str
    value: Any
    unit: str
    description: str
    writable: bool
    limits: Optional[Tuple[Any, Any]]
    choices: Dict[int, str] = field(default_factory=dict)


@dataclass(frozen=True)
class CommandInfo:
    """A command and its typed arguments: [(argname, type)], type one of
    "str", "int", "float", "bool"."""
    name: str
    description: str
    args: List[Tuple[str, str]]


@dataclass(frozen=True)
class Info:
    """Everything a daemon says about itself, with current values."""
    name: str
    properties: Dict[str, PropertyInfo]
    commands: Dict[str, CommandInfo]
    statuses: Dict[int, str]
    status: int


@dataclass(frozen=True)
class PropertyEvent:
    """A property broadcast. ``time`` is when it was received, ``sent`` when
    the sender sent it (by the sender's clock; None when the message carried
    no send time), both in seconds since the epoch."""
    peer: str
    name: str
    value: Any
    type: str
    unit: str
    time: float
    sent: Optional[float] = None


@dataclass(frozen=True)
class StatusEvent:
    """A daemon's new status; ``name`` is None for a value it did not name."""
    peer: str
    value: int
    name: Optional[str]


@dataclass(frozen=True)
class LogEvent:
    """A daemon's log record; ``time`` is the daemon's (seconds since the
    epoch); ``level`` is "trace", "debug", "info", "warn" or "error"."""
    peer: str
    time: float
    logger: str
    level: str
    text: str


@dataclass(frozen=True)
class PeerEvent:
    """Something happened to a peer: ``kind`` is "enter", "exit" (it left,
    or was found gone), "info" (it described itself), "silent" (not heard
    for the evasive time) or "back" (heard again after being silent)."""
    peer: str
    kind: str


@dataclass(frozen=True)
class ImageReady:
    """A camera's announcement that it saved an image (see Site.images):
    ``name`` below its image root (what fetch_image takes), ``size`` in
    bytes, ``width`` x ``height`` pixels, ``datatype`` the camera's code
    (8, 10, 16, 20, 32, 40, -32, -64), ``sha1`` the file's hex SHA-1,
    ``exposure_start`` (UTC text, as "starttime"), ``exposure_length`` in
    seconds, ``saved`` (UTC text) when the file was complete, and ``time``
    when it was received (seconds since the epoch)."""
    peer: str
    name: str
    size: int
    width: int
    height: int
    datatype: int
    sha1: str
    exposure_start: str
    exposure_length: float
    saved: str
    time: float
