#include "corvo/misc.h"

#include <cxxabi.h>
#include <dirent.h>
#include <execinfo.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

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

std::vector<std::string> split(std::string text, char delimiter)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    size_t pos = text.find(delimiter);
    while (pos != std::string::npos) {
        pieces.push_back(text.substr(start, pos - start));
        start = pos + 1;
        pos = text.find(delimiter, start);
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

std::vector<std::string> toToken(const char* line)
{
    std::vector<std::string> words;
    if (!line) {
        return words;
    }
    const char* p = line;
    while (*p) {
        if (*p == ' ') {
            ++p;
        } else if (*p == '"') {
            const char* start = ++p;
            while (*p && *p != '"') {
                ++p;
            }
            words.emplace_back(start, p);
            if (*p == '"') {
                ++p;  // the next word starts right after the closing quote
            }
        } else {
            // A quote inside a word ends the word and opens a phrase.
            const char* start = p;
            while (*p && *p != ' ' && *p != '"') {
                ++p;
            }
            words.emplace_back(start, p);
        }
    }
    return words;
}

bool direxist(const char* path)
{
    if (!path) {
        return false;
    }
    DIR* dir = opendir(path);
    if (!dir) {
        return false;
    }
    closedir(dir);
    return true;
}

int _mkdir(const char* path)
{
    char buffer[1024];
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    size_t length = std::strlen(path);
    // A cut path would create a directory nobody asked for.
    if (length >= sizeof(buffer)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(buffer, path, length + 1);
    if (length > 0 && buffer[length - 1] == '/') {
        buffer[length - 1] = '\0';
    }
    // Parents first; they usually exist already, so their results are ignored.
    for (char* p = buffer + (buffer[0] ? 1 : 0); *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(buffer, 0755);
            *p = '/';
        }
    }
    return mkdir(buffer, 0755);
}

namespace detail {

size_t utf8SequenceLength(std::string_view text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

}  // namespace detail

namespace {

void appendHexEscape(std::string& out, const char* prefix, unsigned value, int digits)
{
    static const char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kHex[(value >> shift) & 0xf];
    }
}

}  // namespace

std::string escapeControl(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c == '\r') {
            out += "\\r";
            ++i;
        } else if (c == '\t') {
            out += "\\t";
            ++i;
        } else if (c < 0x80) {
            appendHexEscape(out, "\\x", c, 2);
            ++i;
        } else if (size_t length = detail::utf8SequenceLength(text, i)) {
            unsigned char second = static_cast<unsigned char>(text[i + 1]);
            if (c == 0xc2 && second < 0xa0) {
                appendHexEscape(out, "\\u", second, 4);  // C1 control U+0080..U+009F
            } else {
                out.append(text.data() + i, length);
            }
            i += length;
        } else {
            appendHexEscape(out, "\\x", c, 2);
            ++i;
        }
    }
    return out;
}

}  // namespace corvo
