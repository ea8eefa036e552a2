#include "corvo/errors.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "corvo/diagnostics.h"

namespace corvo {

namespace {

constexpr int kMaxFrames = 64;

template <class... Args>
std::string printfToString(const char* format, Args... args)
{
    int size = std::snprintf(nullptr, 0, format, args...);
    if (size < 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(&out[0], out.size(), format, args...);
    out.resize(static_cast<size_t>(size));
    return out;
}

// Formats one backtrace_symbols line "module(symbol+offset) [address]".
// `demangleBuf` is a malloc'd buffer that the demangler may enlarge.
std::string formatFrame(const char* symbolLine, char** demangleBuf, size_t* demangleSize)
{
    std::string line(symbolLine);
    size_t nameStart = std::string::npos;
    size_t offsetStart = std::string::npos;
    size_t offsetEnd = std::string::npos;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '(') {
            nameStart = i;
        } else if (line[i] == '+') {
            offsetStart = i;
        } else if (line[i] == ')' && offsetStart != std::string::npos) {
            offsetEnd = i;
            break;
        }
    }
    bool splittable = offsetEnd != std::string::npos && nameStart != std::string::npos && nameStart < offsetStart;
    if (!splittable) {
        return printfToString("  %s\n", line.c_str());
    }
    std::string module = line.substr(0, nameStart);
    std::string symbol = line.substr(nameStart + 1, offsetStart - nameStart - 1);
    std::string offset = line.substr(offsetStart + 1, offsetEnd - offsetStart - 1);

    int status = -1;
    char* demangled = abi::__cxa_demangle(symbol.c_str(), *demangleBuf, demangleSize, &status);
    if (status == 0 && demangled) {
        *demangleBuf = demangled;
        return printfToString("  %s : %s+%s\n", module.c_str(), demangled, offset.c_str());
    }
    return printfToString("  %s : %s()+%s\n", module.c_str(), symbol.c_str(), offset.c_str());
}

}  // namespace

namespace detail {

std::string formatStackLine(const char* symbolLine)
{
    size_t size = 256;
    char* buf = static_cast<char*>(std::malloc(size));
    std::string out = formatFrame(symbolLine ? symbolLine : "", &buf, &size);
    std::free(buf);
    return out;
}

}  // namespace detail

void printStackTrace()
{
    std::string trace = "stack trace:\n";

    void* addresses[kMaxFrames];
    int count = backtrace(addresses, kMaxFrames);
    char** symbols = count > 0 ? backtrace_symbols(addresses, count) : nullptr;
    if (!symbols) {
        trace += "  <empty, possibly corrupt>";
        diagnose(Diagnostic::Debug, Diagnostic::Stderr, std::move(trace));
        return;
    }

    size_t demangleSize = 256;
    char* demangleBuf = static_cast<char*>(std::malloc(demangleSize));
    // Frame 0 is this function itself.
    for (int i = 1; i < count; ++i) {
        trace += formatFrame(symbols[i], &demangleBuf, &demangleSize);
    }
    std::free(demangleBuf);
    std::free(symbols);
    // Every frame line ends with a newline; the diagnostic adds the last.
    if (!trace.empty() && trace.back() == '\n')
        trace.pop_back();
    diagnose(Diagnostic::Debug, Diagnostic::Stderr, std::move(trace));
}

CorvoError::CorvoError(const std::string& message, Trace trace) : std::runtime_error(message)
{
    if (trace == Trace::Print)
        printStackTrace();
}

}  // namespace corvo
