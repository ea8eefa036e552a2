#include "corvo/text.h"

namespace corvo {

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

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    for (std::string& piece : split(text, ',')) {
        trim(piece);
        if (!piece.empty())
            items.push_back(std::move(piece));
    }
    return items;
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
