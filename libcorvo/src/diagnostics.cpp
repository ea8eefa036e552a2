#include "corvo/diagnostics.h"

#include <iostream>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace corvo {

namespace {

using SinkPtr = std::shared_ptr<const DiagnosticSink>;

// The sinks in force. Redirects are few (one per running daemon), so a list
// searched from its end is enough; its size is bounded by the number of
// living DiagnosticRedirect objects.
struct Sinks {
    std::mutex mutex;
    SinkPtr processWide;
    std::vector<std::pair<uint64_t, SinkPtr>> redirects;
    uint64_t nextId = 1;
};

Sinks& sinks()
{
    // Never destroyed: diagnostics may be reported while statics are torn down.
    static Sinks* instance = new Sinks;
    return *instance;
}

SinkPtr currentSink()
{
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.redirects.empty())
        return s.redirects.back().second;
    return s.processWide;
}

thread_local bool insideSink = false;

}  // namespace

void writeDiagnostic(const Diagnostic& diagnostic)
{
    // One line (or one stack trace) at a time, also from several threads.
    static std::mutex writeMutex;
    std::lock_guard<std::mutex> lock(writeMutex);
    std::ostream& out = diagnostic.stream == Diagnostic::Stdout ? std::cout : std::cerr;
    out << diagnostic.text << std::endl;
}

void diagnose(Diagnostic::Level level, Diagnostic::Stream stream, std::string text)
{
    Diagnostic diagnostic;
    diagnostic.level = level;
    diagnostic.stream = stream;
    diagnostic.text = std::move(text);

    SinkPtr sink = insideSink ? nullptr : currentSink();
    if (!sink) {
        writeDiagnostic(diagnostic);
        return;
    }
    insideSink = true;
    try {
        (*sink)(diagnostic);
    } catch (...) {
        // A sink that fails must not take the message with it.
        writeDiagnostic(diagnostic);
    }
    insideSink = false;
}

void setDiagnosticSink(DiagnosticSink sink)
{
    SinkPtr next = sink ? std::make_shared<const DiagnosticSink>(std::move(sink)) : nullptr;
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.processWide = std::move(next);
}

DiagnosticRedirect::DiagnosticRedirect(DiagnosticSink sink)
{
    SinkPtr next = sink ? std::make_shared<const DiagnosticSink>(std::move(sink)) : nullptr;
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    id = s.nextId++;
    if (next)
        s.redirects.emplace_back(id, std::move(next));
}

DiagnosticRedirect::~DiagnosticRedirect()
{
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.redirects.begin(); it != s.redirects.end(); ++it) {
        if (it->first == id) {
            s.redirects.erase(it);
            return;
        }
    }
}

}  // namespace corvo
