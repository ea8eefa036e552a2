"""The package's exceptions. Every error the package raises derives from
CorvoError; those that answer to a built-in kind also derive from it, so
``except TimeoutError`` and ``except ValueError`` keep working."""

import builtins

__all__ = ["CorvoError", "RefusedError", "NotFoundError", "ArgumentError", "TimeoutError", "WrongTypeError",
           "WrongValueError", "ImageError"]


class CorvoError(Exception):
    """Base of every error the corvo package raises."""


class RefusedError(CorvoError):
    """A request was refused: read-only property, value outside the limits or
    choices, or a refusal answered by the peer. ``reason`` says why (for a
    peer's refusal: the peer's own words); the message also names the peer
    and the request. Raised in a Python daemon's handler it refuses the
    request: the requester is answered with ``reason``."""

    def __init__(self, reason: str, message: str = ""):
        super().__init__(message or reason)
        self.reason = reason


class NotFoundError(CorvoError):
    """No such peer, property or command."""


class ArgumentError(CorvoError, ValueError):
    """Command arguments that do not fit the command. Raised in a daemon's
    command handler it makes the daemon log "Wrong argument", as a C++ daemon
    does."""


class TimeoutError(CorvoError, builtins.TimeoutError):
    """No description, confirmation or event arrived in time (also a built-in
    TimeoutError)."""


class WrongTypeError(CorvoError, builtins.TypeError):
    """A value of a type the property, argument or declaration does not take
    (also a built-in TypeError)."""


class WrongValueError(CorvoError, builtins.ValueError):
    """A value of the right type that does not fit: not finite, beyond 64
    bits, not a number (also a built-in ValueError)."""


class ImageError(CorvoError):
    """An image fetch that failed on the way: the camera's checksum does not
    match the bytes received (the partial file is then removed), the camera
    broke the transfer's rules or ended it with an error, the image is larger
    than allowed, or the file cannot be written here."""
