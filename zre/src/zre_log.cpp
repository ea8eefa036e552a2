#include "zre_log.hpp"

#include <cstdarg>
#include <cstdio>

#include "zre_clock.hpp"

namespace zre {

std::string NodeLog::printable(const std::string& text)
{
    std::string out = text.substr(0, 64);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

std::string NodeLog::prefix() const
{
    return "zre " + printable(name_) + " [" + uuidText_.substr(0, 6) + "]";
}

void NodeLog::warn(const char* format, ...)
{
    int64_t t = now();
    if (t >= windowEnd_) {
        if (suppressed_ > 0)
            fprintf(stderr, "%s: %d more warnings suppressed\n", prefix().c_str(), suppressed_);
        windowEnd_ = t + kWarningWindowMs;
        inWindow_ = 0;
        suppressed_ = 0;
    }
    if (inWindow_ >= kMaxWarnings) {
        ++suppressed_;
        return;
    }
    ++inWindow_;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", prefix().c_str(), text);
}

void NodeLog::trace(const char* format, ...)
{
    if (!verbose_)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "zre %s [%.6s]: %s\n", name_.c_str(), uuidText_.c_str(), text);
}

void NodeLog::refuse(const std::string& key, const std::string& line)
{
    refusals_.once(key, line);
}

}  // namespace zre
