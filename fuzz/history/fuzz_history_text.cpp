// Fuzzes the history's text handling: whatever the input, the time,
// duration and size parsers answer without crashing (a duration is positive,
// a size at most 10^18), cleaned peer text is valid UTF-8 without NUL bytes
// and is left as it is by a second cleaning, and a double prints as text that
// reads back to the same double.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "corvo/history/record.h"
#include "corvo/history/timeexpr.h"

namespace h = corvo::history;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool validUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || c == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    double real = input.ConsumeFloatingPoint<double>();
    h::Micros now = input.ConsumeIntegralInRange<h::Micros>(0, 253402300799LL * 1000000);
    std::string text = input.ConsumeRemainingBytesAsString();

    if (auto d = h::parseDuration(text))
        check(*d > 0);
    (void)h::parseTimePoint(text, now);
    if (auto bytes = h::parseSize(text))
        check(*bytes <= 1000000000000000000ULL);

    std::string clean = h::cleanText(text);
    check(validUtf8(clean));
    check(h::cleanText(clean) == clean);
    (void)h::jsonString(clean);

    if (std::isfinite(real)) {
        std::string printed = h::Value::ofReal(real).toString();
        check(std::strtod(printed.c_str(), nullptr) == real);
        check(h::Value::ofReal(real).toJson() == printed);
    }
    return 0;
}
