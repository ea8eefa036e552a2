#include "py_util.h"

#include <pybind11/stl.h>

#include <stdexcept>

namespace corvo::python {

PyRef::~PyRef()
{
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
        object.release();  // nothing may touch the interpreter any more
        return;
    }
    py::gil_scoped_acquire gil;
    object = py::object();
}

py::str peerText(const std::string& bytes)
{
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::object propertyValue(const Property& property)
{
    switch (property.type) {
        case Property::INT:
            return py::int_(property.intValue);
        case Property::DOUBLE:
            return py::float_(property.doubleValue);
        case Property::STRING:
            return peerText(property.strValue);
        case Property::INT_LIST:
            return py::cast(property.intList);
        case Property::DOUBLE_LIST:
            return py::cast(property.doubleList);
        case Property::STR_LIST: {
            py::list values;
            for (const std::string& text : property.strList)
                values.append(peerText(text));
            return std::move(values);
        }
        default:
            return py::none();
    }
}

std::string describePythonError(py::error_already_set& error)
{
    std::string text = error.what();
    // pybind11's what() may append a traceback: keep the first line.
    auto end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace corvo::python

namespace corvo::python {

namespace {

bool isNumber(py::handle value, bool integral)
{
    if (PyBool_Check(value.ptr()))
        return false;
    if (PyLong_Check(value.ptr()))
        return true;
    if (integral)
        return false;
    return PyFloat_Check(value.ptr()) != 0;
}

void requireList(py::handle value)
{
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        throw py::type_error("a list property takes a list or tuple");
}

}  // namespace

TypedValue::TypedValue(Property::Type type, py::handle value) : type(type)
{
    switch (type) {
        case Property::INT:
            if (!isNumber(value, true))
                throw py::type_error("an int property takes an int");
            intValue = value.cast<long>();
            break;
        case Property::DOUBLE:
            if (!isNumber(value, false))
                throw py::type_error("a float property takes a number");
            doubleValue = value.cast<double>();
            break;
        case Property::STRING:
            if (!PyUnicode_Check(value.ptr()))
                throw py::type_error("a str property takes a str");
            text = value.cast<std::string>();
            break;
        case Property::INT_LIST:
            requireList(value);
            for (py::handle item : value) {
                if (!isNumber(item, true))
                    throw py::type_error("a list[int] property takes ints");
                ints.push_back(item.cast<int64_t>());
            }
            break;
        case Property::DOUBLE_LIST:
            requireList(value);
            for (py::handle item : value) {
                if (!isNumber(item, false))
                    throw py::type_error("a list[float] property takes numbers");
                doubles.push_back(item.cast<double>());
            }
            break;
        case Property::STR_LIST:
            requireList(value);
            for (py::handle item : value) {
                if (!PyUnicode_Check(item.ptr()))
                    throw py::type_error("a list[str] property takes strs");
                texts.push_back(item.cast<std::string>());
            }
            break;
        default:
            throw py::type_error("property of an unknown type");
    }
}

void TypedValue::assignTo(Property& property, bool publish) const
{
    if (property.type != type)
        throw std::invalid_argument("property type changed");
    switch (type) {
        case Property::INT:
            if (publish)
                property.setValue(intValue);
            else
                property.intValue = intValue;
            return;
        case Property::DOUBLE:
            if (publish)
                property.setValue(doubleValue);
            else
                property.doubleValue = doubleValue;
            return;
        case Property::STRING:
            if (publish)
                property.setValue(text);
            else
                property.strValue = text;
            return;
        case Property::INT_LIST:
            property.intList = ints;
            break;
        case Property::DOUBLE_LIST:
            property.doubleList = doubles;
            break;
        case Property::STR_LIST:
            property.strList = texts;
            break;
        default:
            return;
    }
    if (publish)
        property.sendProperty();
}

}  // namespace corvo::python
