/// @file
/// Small text helpers: trimming, splitting, tokenising and escaping what is
/// printed.
#pragma once

#include "corvo/export.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace corvo {

namespace detail {
/// Length (2 to 4) of the valid multi-byte UTF-8 sequence that starts at
/// text[i], or 0 when there is none (overlong forms, surrogates and code
/// points above U+10FFFF are invalid).
CORVO_API size_t utf8SequenceLength(std::string_view text, size_t i);
}  // namespace detail

/// `text` with every byte that could drive a terminal written as an escape:
/// C0 controls and DEL as `\n`, `\r`, `\t` or `\xNN`, the C1 controls
/// (UTF-8 U+0080..U+009F) as `\u0080`..`\u009f`, and bytes that are not
/// valid UTF-8 as `\xNN`. Printable text, valid multi-byte UTF-8 included, is
/// unchanged.
/// Everything received from the network goes through it before it is printed.
CORVO_API std::string escapeControl(std::string_view text);

/// Strips white space (isspace) from the start of `s`, in place.
inline void ltrim(std::string& s)
{
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](unsigned char c) { return !std::isspace(c); }));
}

/// Strips white space (isspace) from the end of `s`, in place.
inline void rtrim(std::string& s)
{
    s.erase(std::find_if(s.rbegin(), s.rend(), [](unsigned char c) { return !std::isspace(c); }).base(), s.end());
}

/// Strips white space (isspace) from both ends of `s`, in place.
inline void trim(std::string& s)
{
    rtrim(s);
    ltrim(s);
}

/// A copy of `s` without white space (isspace) at either end.
inline std::string trimmed(std::string s)
{
    trim(s);
    return s;
}

/// Splits at every `delimiter`; empty pieces are kept except after a trailing
/// delimiter. Nothing is trimmed. Used where each piece is a value (a list
/// property's text).
CORVO_API std::vector<std::string> split(std::string text, char delimiter);

/// The items of a comma list as people write them in files: each item
/// trimmed of white space, empty items dropped ("a, b,,c " -> a, b, c).
CORVO_API std::vector<std::string> splitList(const std::string& text);

/// Splits a command-like line at spaces; a word starting with a double quote
/// runs to the next double quote and keeps its spaces.
CORVO_API std::vector<std::string> toToken(const char* line);

}  // namespace corvo
