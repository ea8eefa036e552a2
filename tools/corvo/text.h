// Text forms the operator tool reads and writes: strict parsing of values and
// command arguments typed by an operator, rendering of property values, limits
// and choices, JSON output and time stamps.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "corvo/command.h"
#include "corvo/property.h"

namespace corvo::tool {

// Name of a property type as the tool shows it ("int", "double", ...).
std::string typeName(Property::Type type);
std::string argTypeName(ArgType type);

// Limits and choices are shown as Property renders them (limitsText,
// choicesText) and checked by Property::checkValue.

// The shortest text that reads back as exactly `value` ("2.5e-07", "0.1",
// "12.5"), as `corvo history` prints numbers; "nan", "inf", "-inf".
std::string shortestText(double value);
// A value as the tool shows it: a DOUBLE in shortestText form and a DOUBLE_LIST
// as "[a, b, ...]" of such texts; every other type as Property::toString
// (which file patterns use, and keeps "%f" for doubles).
std::string displayText(const Property& property);

// Parses an operator's text into the value of `property` (a local copy: no
// broadcast, no owner involved). The whole text must parse: "12abc" is no
// integer. An INT with choices also takes a choice label. On failure returns
// false and describes the problem in `error`; the value is then unspecified.
bool parseValue(Property& property, const std::string& text, std::string& error);

// Whether two properties of the same type hold the same value.
bool sameValue(const Property& a, const Property& b);

// Empty when `text` fits an argument of `type`, else why not.
std::string checkArg(ArgType type, const std::string& text);

// Strict whole-text conversions.
bool parseInt64(const std::string& text, long& value);
bool parseDouble(const std::string& text, double& value);

// JSON helpers.
std::string jsonString(const std::string& text);
std::string jsonNumber(double value);
// The value in JSON: number, string, or array.
std::string jsonValue(const Property& property);

// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string timeText(std::chrono::system_clock::time_point when);
// The same of microseconds since the epoch.
std::string microsText(int64_t micros);
// The same of a peer's time stamp, or "?" when it lies outside the years
// 1970 to 9999 (a system_clock time point would overflow far before).
std::string peerTimeText(int64_t seconds, int32_t nanos);

}  // namespace corvo::tool
