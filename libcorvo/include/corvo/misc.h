// Errors and small helpers shared by the whole library.
#pragma once

#include "corvo/export.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "corvo/timestamp.h"

namespace corvo {

// Writes a symbolised stack trace of the caller to standard error.
CORVO_API void printStackTrace();

namespace detail {
// One line of the stack trace for a backtrace_symbols line: module, symbol
// (demangled when possible) and offset, or the whole line when it cannot be
// split into those three parts. Ends with a newline.
CORVO_API std::string formatStackLine(const char* symbolLine);
// Length (2 to 4) of the valid multi-byte UTF-8 sequence that starts at
// text[i], or 0 when there is none (overlong forms, surrogates and code
// points above U+10FFFF are invalid).
CORVO_API size_t utf8SequenceLength(std::string_view text, size_t i);
}  // namespace detail

// Base of the library's exceptions. Constructing one prints the stack trace of
// the point of construction to standard error, so an error stays traceable in
// a daemon's console even when a caller catches it and carries on.
class CORVO_API CorvoError : public std::exception {
public:
    explicit CorvoError(std::string message) : message(std::move(message)) { printStackTrace(); }
    const char* what() const noexcept override { return message.c_str(); }

protected:
    // For errors that describe bad input rather than a fault of the program:
    // no stack trace, so that a peer cannot fill a console with them.
    struct NoTrace {};
    CorvoError(std::string message, NoTrace) : message(std::move(message)) {}

    std::string message;
};

// A value or property of the wrong type.
class CORVO_API CorvoTypeError : public CorvoError {
public:
    CorvoTypeError() : CorvoError("Type Error") {}
    explicit CorvoTypeError(std::string message) : CorvoError(std::move(message)) {}
};

// Command arguments that do not fit the command's definition. They come from
// a peer, so constructing one prints no stack trace.
class CORVO_API CorvoArgError : public CorvoError {
public:
    CorvoArgError() : CorvoError("Argument Error", NoTrace{}) {}
};

// `text` with every byte that could drive a terminal written as an escape:
// C0 controls and DEL as \n, \r, \t or \xNN, the C1 controls (UTF-8
// U+0080..U+009F) as \u0080..\u009f, and bytes that are not valid UTF-8 as
// \xNN. Printable text, valid multi-byte UTF-8 included, is unchanged.
// Everything received from the network goes through it before it is printed.
CORVO_API std::string escapeControl(std::string_view text);

// Strips white space (isspace) from the start of `s`, in place.
inline void ltrim(std::string& s)
{
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](unsigned char c) { return !std::isspace(c); }));
}

// Strips white space (isspace) from the end of `s`, in place.
inline void rtrim(std::string& s)
{
    s.erase(std::find_if(s.rbegin(), s.rend(), [](unsigned char c) { return !std::isspace(c); }).base(), s.end());
}

// Strips white space (isspace) from both ends of `s`, in place.
inline void trim(std::string& s)
{
    rtrim(s);
    ltrim(s);
}

// A copy of `s` without white space (isspace) at either end.
inline std::string trimmed(std::string s)
{
    trim(s);
    return s;
}

// Splits at every `delimiter`; empty pieces are kept except after a trailing
// delimiter. Nothing is trimmed.
CORVO_API std::vector<std::string> split(std::string text, char delimiter);

// Splits a command-like line at spaces; a word starting with a double quote
// runs to the next double quote and keeps its spaces.
CORVO_API std::vector<std::string> toToken(const char* line);

// True when `path` can be opened as a directory.
CORVO_API bool direxist(const char* path);

// Creates `path` and its missing parents (mode 0755). Returns the result of
// the last creation: 0 on success, -1 with errno set on failure.
CORVO_API int _mkdir(const char* path);

}  // namespace corvo
