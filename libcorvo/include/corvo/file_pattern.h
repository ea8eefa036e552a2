/// @file
/// Image file names from a pattern: clock fields and the values of
/// properties, each value sanitised before it becomes part of the name.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "corvo/export.h"

namespace corvo {

/// Gives the text of `property` of `component`; false when there is none.
using PatternLookup = std::function<bool(const std::string& component, const std::string& property, std::string& text)>;

/// Expands `pattern` at the broken-down time `now`: %H %M %S %d %m (two
/// digits), %y (full year), %% (a percent sign), any other % pair and a $
/// not followed by { give nothing; ${component:property} gives the text from
/// `lookup` with every character outside [A-Za-z0-9._+-] replaced by '_'
/// (a text that is then empty or only dots gives "_", so that it never
/// names the current or parent directory or drops a directory level), or
/// nothing when `lookup` has no text; a reference without its colon or
/// closing brace ends the name.
CORVO_API std::string expandFilePattern(const std::string& pattern, const std::tm& now, const PatternLookup& lookup);

}  // namespace corvo
