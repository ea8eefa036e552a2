#include "corvo/file_pattern.h"

#include <cstdio>

#include "corvo/image_root.h"

namespace corvo {

namespace {

// Two digits with a leading zero.
std::string twoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%02d", value);
    return text;
}

// The clock field that "%<code>" names; false for codes that yield nothing.
bool clockField(char code, const std::tm& now, std::string& out)
{
    switch (code) {
        case '%':
            out += '%';
            return true;
        case 'H':
            out += twoDigits(now.tm_hour);
            return true;
        case 'M':
            out += twoDigits(now.tm_min);
            return true;
        case 'S':
            out += twoDigits(now.tm_sec);
            return true;
        case 'd':
            out += twoDigits(now.tm_mday);
            return true;
        case 'm':
            out += twoDigits(now.tm_mon + 1);
            return true;
        case 'y':
            out += std::to_string(now.tm_year + 1900);
            return true;
        default:
            return false;
    }
}

// A property's text made safe for a name: sanitised, and "_" when it is
// empty or only dots, so that it never makes a "", "." or ".." path
// component of its own (which would move the image to another directory or
// out of the root).
std::string componentText(const std::string& text)
{
    std::string out = sanitizeFileNameText(text);
    if (out.find_first_not_of('.') == std::string::npos)
        out = "_";
    return out;
}

}  // namespace

std::string expandFilePattern(const std::string& pattern, const std::tm& now, const PatternLookup& lookup)
{
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '%') {
            // A % at the very end yields nothing.
            if (i + 1 < pattern.size())
                clockField(pattern[i + 1], now, out);
            i += 2;
        } else if (c == '$') {
            if (i + 1 >= pattern.size() || pattern[i + 1] != '{') {
                i += 2;
                continue;
            }
            const size_t colon = pattern.find(':', i + 2);
            if (colon == std::string::npos)
                break;
            const size_t close = pattern.find('}', colon + 1);
            if (close == std::string::npos)
                break;
            const std::string component = pattern.substr(i + 2, colon - (i + 2));
            const std::string property = pattern.substr(colon + 1, close - (colon + 1));
            std::string text;
            if (lookup && lookup(component, property, text))
                out += componentText(text);
            i = close + 1;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

}  // namespace corvo
