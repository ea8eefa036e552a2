"""FITS images from numpy arrays, through the library's image writer."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

from . import _corvo

__all__ = ["write_fits", "read_fits"]


def write_fits(path: str, array, header: Optional[Dict[str, Any]] = None) -> None:
    """Writes a two-dimensional numpy array (height, width) as a FITS image.

    The pixel type is the array's: uint8, int8, int16, uint16, int32, uint32,
    float32 or float64. The pixels are written from the array's own buffer,
    without a copy, so the array must be C-contiguous and in the machine's
    byte order. ``header`` maps card keys to a value (bool, int, float, str)
    or a (value, comment) pair. Missing directories are created; an existing
    file is replaced. A card the writer refuses (a NaN or infinite float, a
    key describing the data such as BZERO, a key with characters other than
    A-Z, 0-9, '-' and '_') raises CorvoError, and then no file is written:
    an existing one is left as it was.
    """
    _corvo.write_fits(str(path), array, dict(header or {}))


def read_fits(path: str) -> Tuple[Any, Dict[str, str]]:
    """The primary image of a FITS file (else its first image extension),
    read with cfitsio, as a numpy array of its pixel type, and its header
    cards as {key: value text} (strings without their quotes; a long
    string written over CONTINUE cards is given whole, and the CONTINUE
    cards are not listed). `path` is
    taken literally: cfitsio's extended file name syntax ("[...]", a
    scheme) does not apply."""
    return _corvo.read_fits(str(path))
