// FITS images from and to numpy arrays: written through the library's image
// writer straight from the array's buffer, and read back through cfitsio.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "corvo/image.h"

namespace corvo::python {

namespace py = pybind11;

// The header cards that a {key: value or (value, comment)} dict gives:
// bool -> logical, int -> 64-bit integer, float -> double, str -> string.
std::vector<FitsHdrItem> headerCards(const py::dict& header);

// Writes a two-dimensional C-contiguous array of one of the eight pixel
// types (uint8, int8, int16, uint16, int32, uint32, float32, float64) with
// `cards`, without copying the pixels; the GIL is released while writing.
// A card the writer refuses fails the write, unless it is one of the first
// `optional` cards: that one is skipped and the reason returned. On failure
// no file takes the name (an existing file is left as it was).
std::vector<std::string> writeFits(const std::string& path, const py::array& array,
                                   const std::vector<FitsHdrItem>& cards, size_t optional = 0);

// The primary image of a FITS file as an array of its pixel type, and its
// header cards as {key: value text} (strings without their quotes, a long
// string whole; CONTINUE cards are not listed).
py::tuple readFits(const std::string& path);

}  // namespace corvo::python
