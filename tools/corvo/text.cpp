#include "text.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "corvo/history/record.h"
#include "corvo/misc.h"

namespace corvo::tool {

namespace {

std::vector<std::string> listPieces(const std::string& text)
{
    if (text.empty())
        return {};
    return split(text, ',');
}

template <class T, class Parse>
bool parseList(const std::string& text, std::vector<T>& out, Parse parse, const char* what, std::string& error)
{
    out.clear();
    for (const std::string& piece : listPieces(text)) {
        T value;
        if (!parse(piece, value)) {
            error = "'" + piece + "' is not " + what;
            return false;
        }
        out.push_back(value);
    }
    return true;
}

bool parseFiniteDouble(const std::string& text, double& value)
{
    return parseDouble(text, value) && std::isfinite(value);
}

bool parseInt64Element(const std::string& text, int64_t& value)
{
    long v;
    if (!parseInt64(text, v))
        return false;
    value = v;
    return true;
}

}  // namespace

std::string typeName(Property::Type type)
{
    switch (type) {
        case Property::INT:
            return "int";
        case Property::STRING:
            return "string";
        case Property::DOUBLE:
            return "double";
        case Property::STR_LIST:
            return "str_list";
        case Property::INT_LIST:
            return "int_list";
        case Property::DOUBLE_LIST:
            return "double_list";
        default:
            return "type" + std::to_string(static_cast<int>(type));
    }
}

std::string argTypeName(ArgType type)
{
    switch (type) {
        case ARG_STRING:
            return "string";
        case ARG_INT:
            return "int";
        case ARG_DOUBLE:
            return "double";
        case ARG_BOOL:
            return "bool";
        default:
            return "type" + std::to_string(static_cast<int>(type));
    }
}

bool parseInt64(const std::string& text, long& value)
{
    std::string t = trimmed(text);
    if (t.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno == ERANGE || end != t.c_str() + t.size())
        return false;
    value = static_cast<long>(v);
    return true;
}

bool parseDouble(const std::string& text, double& value)
{
    std::string t = trimmed(text);
    if (t.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size())
        return false;
    // Underflow towards zero is a representable answer; overflow is not.
    if (errno == ERANGE && std::isinf(v))
        return false;
    value = v;
    return true;
}

bool parseValue(Property& property, const std::string& text, std::string& error)
{
    switch (property.type) {
        case Property::INT: {
            for (const auto& [key, label] : property.choices)
                if (label == text) {
                    property.intValue = key;
                    return true;
                }
            long v;
            if (!parseInt64(text, v)) {
                error = "'" + text + "' is not an integer";
                if (!property.choices.empty())
                    error += " nor one of " + property.choicesText();
                return false;
            }
            property.intValue = v;
            return true;
        }
        case Property::DOUBLE: {
            double v;
            if (!parseFiniteDouble(text, v)) {
                error = "'" + text + "' is not a finite number";
                return false;
            }
            property.doubleValue = v;
            return true;
        }
        case Property::STRING:
            property.strValue = text;
            return true;
        case Property::STR_LIST:
            property.strList = listPieces(text);
            return true;
        case Property::INT_LIST:
            return parseList(text, property.intList, parseInt64Element, "an integer", error);
        case Property::DOUBLE_LIST:
            return parseList(text, property.doubleList, parseFiniteDouble, "a finite number", error);
        default:
            error = "a property of " + typeName(property.type) + " cannot be set";
            return false;
    }
}

bool sameValue(const Property& a, const Property& b)
{
    if (a.type != b.type)
        return false;
    switch (a.type) {
        case Property::INT:
            return a.intValue == b.intValue;
        case Property::DOUBLE:
            return a.doubleValue == b.doubleValue;
        case Property::STRING:
            return a.strValue == b.strValue;
        case Property::STR_LIST:
            return a.strList == b.strList;
        case Property::INT_LIST:
            return a.intList == b.intList;
        case Property::DOUBLE_LIST:
            return a.doubleList == b.doubleList;
        default:
            return true;
    }
}

std::string checkArg(ArgType type, const std::string& text)
{
    // The daemon checks with the same function: what the tool lets pass, it accepts.
    std::string problem = checkArgument(type, text);
    return problem.empty() ? problem : "'" + text + "' is " + problem;
}

std::string shortestText(double value)
{
    return corvo::history::Value::ofReal(value).toString();
}

std::string displayText(const Property& property)
{
    if (property.type == Property::DOUBLE)
        return shortestText(property.doubleValue);
    if (property.type != Property::DOUBLE_LIST)
        return property.toString();
    std::string out = "[";
    for (size_t i = 0; i < property.doubleList.size(); ++i)
        out += (i ? ", " : "") + shortestText(property.doubleList[i]);
    return out + "]";
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t length = detail::utf8SequenceLength(text, i)) {
            unsigned char second = static_cast<unsigned char>(text[i + 1]);
            if (c == 0xc2 && second < 0xa0) {  // C1 control
                std::snprintf(buf, sizeof buf, "\\u%04x", second);
                out += buf;
            } else {
                out.append(text, i, length);
            }
            i += length;
            continue;
        } else {
            out += "\\ufffd";  // not UTF-8: JSON text must be
        }
        ++i;
    }
    return out + "\"";
}

std::string jsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
}

namespace {
template <class T, class F>
std::string jsonArray(const std::vector<T>& values, F element)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? ", " : "") + element(values[i]);
    return out + "]";
}
}  // namespace

std::string jsonValue(const Property& property)
{
    switch (property.type) {
        case Property::INT:
            return std::to_string(property.intValue);
        case Property::DOUBLE:
            return jsonNumber(property.doubleValue);
        case Property::STRING:
            return jsonString(property.strValue);
        case Property::STR_LIST:
            return jsonArray(property.strList, jsonString);
        case Property::INT_LIST:
            return jsonArray(property.intList, [](int64_t v) { return std::to_string(v); });
        case Property::DOUBLE_LIST:
            return jsonArray(property.doubleList, jsonNumber);
        default:
            return "null";
    }
}

std::string timeText(std::chrono::system_clock::time_point when)
{
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    return microsText(micros);
}

std::string microsText(int64_t micros)
{
    int64_t seconds = micros / 1000000;
    int64_t rest = micros % 1000000;
    if (rest < 0) {  // before the epoch: keep the remainder positive
        rest += 1000000;
        seconds -= 1;
    }
    int64_t ms = rest / 1000;
    std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&when, &local);
    char buf[48];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms));
    return buf;
}

std::string peerTimeText(int64_t seconds, int32_t nanos)
{
    corvo::history::Micros micros = corvo::history::peerTime(seconds, nanos);
    return micros == corvo::history::kNoTime ? "?" : microsText(micros);
}

}  // namespace corvo::tool
