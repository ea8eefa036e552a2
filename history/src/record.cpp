// Values, records and the text helpers every backend and the tools share.
#include "corvo/history/record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace corvo::history {

bool isNumeric(int type)
{
    return type == TYPE_INT || type == TYPE_DOUBLE;
}

std::string typeName(int type)
{
    switch (type) {
        case TYPE_INT:
            return "int";
        case TYPE_STRING:
            return "string";
        case TYPE_DOUBLE:
            return "double";
        case TYPE_STR_LIST:
            return "str_list";
        case TYPE_INT_LIST:
            return "int_list";
        case TYPE_DOUBLE_LIST:
            return "double_list";
        default:
            return "type " + std::to_string(type);
    }
}

Value Value::ofInt(int64_t v)
{
    Value value;
    value.type = TYPE_INT;
    value.intValue = v;
    return value;
}

Value Value::ofReal(double v)
{
    Value value;
    value.type = TYPE_DOUBLE;
    value.realValue = v;
    return value;
}

Value Value::ofText(std::string v)
{
    Value value;
    value.type = TYPE_STRING;
    value.text = std::move(v);
    return value;
}

Value Value::ofList(int type, std::string json)
{
    Value value;
    value.type = type;
    value.text = std::move(json);
    return value;
}

namespace {

std::string realText(double v)
{
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    // The fewest significant digits that read back the same ...
    char digits[40];
    int precision = 1;
    for (; precision < 17; ++precision) {
        std::snprintf(digits, sizeof digits, "%.*e", precision - 1, v);
        if (std::strtod(digits, nullptr) == v)
            break;
    }
    std::snprintf(digits, sizeof digits, "%.*e", precision - 1, v);
    int exponent = std::atoi(std::strchr(digits, 'e') + 1);
    // ... written without an exponent when that is no longer than 17 digits
    // before the point or 5 zeros after it (10, 1000000, 0.00012).
    if (exponent < -5 || exponent >= 17)
        return digits;
    char fixed[64];
    std::snprintf(fixed, sizeof fixed, "%.*f", std::max(0, precision - 1 - exponent), v);
    return fixed;
}

}  // namespace

std::string Value::toString() const
{
    switch (type) {
        case TYPE_INT:
            return std::to_string(intValue);
        case TYPE_DOUBLE:
            return realText(realValue);
        default:
            return text;
    }
}

std::string Value::toJson() const
{
    switch (type) {
        case TYPE_INT:
            return std::to_string(intValue);
        case TYPE_DOUBLE:
            return std::isfinite(realValue) ? realText(realValue) : "null";
        case TYPE_STRING:
            return jsonString(text);
        default:
            return text;
    }
}

bool Value::operator==(const Value& other) const
{
    if (type != other.type)
        return false;
    switch (type) {
        case TYPE_INT:
            return intValue == other.intValue;
        case TYPE_DOUBLE:
            return realValue == other.realValue || (std::isnan(realValue) && std::isnan(other.realValue));
        default:
            return text == other.text;
    }
}

size_t recordBytes(const Record& record)
{
    struct Size {
        size_t operator()(const Sample& s) const
        {
            return s.peer.size() + s.property.size() + s.unit.size() + s.value.text.size();
        }
        size_t operator()(const StatusChange& s) const { return s.peer.size() + s.name.size(); }
        size_t operator()(const LogRecord& l) const { return l.peer.size() + l.logger.size() + l.text.size(); }
        size_t operator()(const PeerEvent& e) const
        {
            return e.peer.size() + e.uuid.size() + e.kind.size() + e.peerType.size();
        }
        size_t operator()(const Gap& g) const { return g.reason.size(); }
    };
    return sizeof(Record) + std::visit(Size{}, record);
}

Micros recordTime(const Record& record)
{
    struct Time {
        Micros operator()(const Sample& s) const { return s.recvTime; }
        Micros operator()(const StatusChange& s) const { return s.recvTime; }
        Micros operator()(const LogRecord& l) const { return l.recvTime; }
        Micros operator()(const PeerEvent& e) const { return e.recvTime; }
        Micros operator()(const Gap& g) const { return g.start; }
    };
    return std::visit(Time{}, record);
}

namespace {

// True when every byte is ASCII other than NUL: such a text is already clean.
bool plainAscii(const std::string& text)
{
    for (unsigned char c : text)
        if (c == 0 || c >= 0x80)
            return false;
    return true;
}

}  // namespace

std::string cleanText(const std::string& text)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";
    if (plainAscii(text))
        return text;
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF.
        if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                   (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) {
            out += kReplacement;
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

Micros peerTime(int64_t seconds, int32_t nanos)
{
    // 1970-01-01 to 9999-12-31: every backend can store and render it.
    constexpr int64_t kLastSecond = 253402300799;
    if (seconds < 0 || seconds > kLastSecond || nanos < 0 || nanos > 999999999)
        return kNoTime;
    return seconds * 1000000 + nanos / 1000;
}

std::string isoTime(Micros t)
{
    if (t == kNoTime)
        return "";
    int64_t seconds = t / 1000000;
    int64_t micros = t % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    std::time_t tt = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(micros));
    return buf;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace corvo::history
