"""The package's exceptions. Timeouts raise the built-in TimeoutError."""

__all__ = ["CorvoError", "RefusedError", "NotFoundError", "ArgumentError"]


class CorvoError(Exception):
    """Base of every error the corvo package raises (except TimeoutError)."""


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
