/// @file
/// The library's one family of exceptions. Every exception the library
/// throws derives from CorvoError; whether one prints a stack trace when it is
/// constructed is decided here, by its kind, and nowhere else.
#pragma once

#include "corvo/export.h"

#include <stdexcept>
#include <string>

namespace corvo {

/// Writes a symbolised stack trace of the caller to the library's
/// diagnostics (debug level, standard error).
CORVO_API void printStackTrace();

namespace detail {
/// One line of the stack trace for a backtrace_symbols line: module, symbol
/// (demangled when possible) and offset, or the whole line when it cannot be
/// split into those three parts. Ends with a newline.
CORVO_API std::string formatStackLine(const char* symbolLine);
}  // namespace detail

/// Base of the library's exceptions. A fault of the program (misuse of the
/// library) prints the stack trace of the point of construction, so an error
/// stays traceable in a daemon's console even when a caller catches it and
/// carries on. An error about bad input (a file, a peer's request) prints
/// none, so that input cannot fill a console with traces.
class CORVO_API CorvoError : public std::runtime_error {
public:
    /// Whether constructing the error prints a stack trace.
    enum class Trace {
        Print,  ///< a fault of the program
        Omit,   ///< bad input: a file, a key, a rule or a peer's request
    };

    /// An error with the text `message`; `trace` as above.
    explicit CorvoError(const std::string& message, Trace trace = Trace::Print);
};

/// A value or property of the wrong type (a fault of the program).
class CORVO_API CorvoTypeError : public CorvoError {
public:
    /// "Type Error".
    CorvoTypeError() : CorvoError("Type Error") {}
    /// With a text of its own.
    explicit CorvoTypeError(const std::string& message) : CorvoError(message) {}
};

/// Command arguments that do not fit the command's definition. They come from
/// a peer: no stack trace.
class CORVO_API CorvoArgError : public CorvoError {
public:
    /// "Argument Error".
    CorvoArgError() : CorvoError("Argument Error", Trace::Omit) {}
};

/// A key or identity file that cannot be used; the text says which and why.
/// Bad input: no stack trace.
class CORVO_API KeyError : public CorvoError {
public:
    /// An error with the text `message`.
    explicit KeyError(const std::string& message) : CorvoError(message, Trace::Omit) {}
};

/// A rules file that cannot be used, or a misuse of the access rules; the
/// text names the file and line. Bad input: no stack trace.
class CORVO_API AccessError : public CorvoError {
public:
    /// An error with the text `message`.
    explicit AccessError(const std::string& message) : CorvoError(message, Trace::Omit) {}
};

/// A file the library was asked to read that cannot be read as asked (see
/// readSmallFile in corvo/files.h). Bad input: no stack trace.
class CORVO_API FileError : public CorvoError {
public:
    /// An error with the text `message`, which starts with the path.
    explicit FileError(const std::string& message) : CorvoError(message, Trace::Omit) {}
};

}  // namespace corvo
