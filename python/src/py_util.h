// Small pieces shared by the binding's classes: Python objects that may be
// released on the loop thread, and conversions of untrusted peer values.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corvo/property.h"

namespace corvo::python {

namespace py = pybind11;

// A Python object held by C++ code that may run, copy and drop it on the
// loop thread: the reference is released with the GIL held (or leaked when
// the interpreter has already finalised).
class PyRef {
public:
    explicit PyRef(py::object object) : object(std::move(object)) {}
    ~PyRef();
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    const py::object& get() const { return object; }

private:
    py::object object;
};
using PyRefPtr = std::shared_ptr<PyRef>;

inline PyRefPtr holdPython(py::object object)
{
    return std::make_shared<PyRef>(std::move(object));
}

// Text from the network as str; bytes that are not UTF-8 become U+FFFD
// instead of raising.
py::str peerText(const std::string& bytes);

// The value of a property as the Python value of its type: int, float, str,
// or a list of those; None for a type this binding does not know.
py::object propertyValue(const Property& property);

// The first line of a Python exception's text ("ValueError: bad value").
std::string describePythonError(py::error_already_set& error);

}  // namespace corvo::python

namespace corvo::python {

// A value converted from Python for a property of a given type, so that it
// can cross to the loop thread without the GIL.
class TypedValue {
public:
    // Throws py::type_error when `value` does not fit `type` (a bool is no
    // number; an int is accepted for a float property).
    TypedValue(Property::Type type, py::handle value);

    // Stores the value; with `publish` it is broadcast through the
    // property's owner as every setValue is.
    void assignTo(Property& property, bool publish) const;

private:
    Property::Type type;
    long intValue = 0;
    double doubleValue = 0;
    std::string text;
    std::vector<int64_t> ints;
    std::vector<double> doubles;
    std::vector<std::string> texts;
};

}  // namespace corvo::python
