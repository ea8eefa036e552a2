/// @file
/// The one path through which the library prints its own messages (a
/// configuration line it cannot read, a failed send, a stack trace...).
///
/// By default each message is written, with a newline, to the stream it has
/// always gone to (`Diagnostic::stream`). A program may send them elsewhere:
/// setDiagnosticSink() replaces the default for the whole process, and a
/// DiagnosticRedirect sends them to its sink while it lives (a daemon sends
/// them to its logger while it runs).
#pragma once

#include "corvo/export.h"

#include <cstdint>
#include <functional>
#include <string>

namespace corvo {

/// One message of the library about itself.
struct CORVO_API Diagnostic {
    /// How much the message matters; a daemon's logger maps it to its own
    /// levels.
    enum Level {
        Debug,    ///< detail for the developer (stack traces, file searches)
        Info,     ///< something done that the operator may like to know
        Warning,  ///< something refused or skipped; the program goes on
        Error     ///< something that failed
    };
    /// Where the default sink writes the message.
    enum Stream {
        Stdout,  ///< standard output
        Stderr   ///< standard error
    };

    /// How much the message matters.
    Level level = Info;
    /// The stream it has always gone to.
    Stream stream = Stderr;
    /// The message without its final newline; a stack trace spans lines.
    std::string text;
};

/// Receives every diagnostic. Called on the thread that reports it, possibly
/// on several threads at once; must not throw. A diagnostic reported from
/// inside a sink (on the same thread) goes to the default writer instead, so
/// a sink that itself fails cannot recurse.
using DiagnosticSink = std::function<void(const Diagnostic&)>;

/// Reports a diagnostic through the current sink.
CORVO_API void diagnose(Diagnostic::Level level, Diagnostic::Stream stream, std::string text);

/// The default: `text` and a newline to the diagnostic's stream, flushed.
CORVO_API void writeDiagnostic(const Diagnostic& diagnostic);

/// Replaces the process-wide sink used when no DiagnosticRedirect is alive;
/// an empty sink restores writeDiagnostic.
CORVO_API void setDiagnosticSink(DiagnosticSink sink);

/// While it lives, diagnostics go to `sink`. Redirects nest: the most recent
/// living one receives them, and when it ends the one made before it (or the
/// process-wide sink) takes over again, whatever order they end in.
class CORVO_API DiagnosticRedirect {
public:
    /// Starts sending diagnostics to `sink` (an empty sink redirects
    /// nothing).
    explicit DiagnosticRedirect(DiagnosticSink sink);
    /// Hands the diagnostics back to the sink in force before.
    ~DiagnosticRedirect();
    DiagnosticRedirect(const DiagnosticRedirect&) = delete;
    DiagnosticRedirect& operator=(const DiagnosticRedirect&) = delete;

private:
    uint64_t id;
};

}  // namespace corvo
