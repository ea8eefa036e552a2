// Fuzzes the file-pattern expansion and the image-root check together:
// whatever the pattern and the peers' values, a substituted value adds only
// safe characters, and a name the root accepts lies inside it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "corvo/file_pattern.h"
#include "corvo/image_root.h"

namespace {

bool isSafe(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '+' || c == '-';
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::tm now{};
    now.tm_year = input.ConsumeIntegralInRange(-3000, 10000);
    now.tm_mon = input.ConsumeIntegralInRange(-5, 20);
    now.tm_mday = input.ConsumeIntegral<int>();
    now.tm_hour = input.ConsumeIntegral<int>();
    now.tm_min = input.ConsumeIntegral<int>();
    now.tm_sec = input.ConsumeIntegral<int>();
    std::vector<std::string> values;
    for (int i = 0; i < 3; ++i)
        values.push_back(input.ConsumeRandomLengthString(300));
    const std::string pattern = input.ConsumeRandomLengthString(2000);
    const std::string root = input.ConsumeBool() ? "/data/images" : "/";

    // The value texts may hold anything; all that reaches the name is checked.
    size_t lookups = 0;
    std::string inserted;
    const std::string name = corvo::expandFilePattern(
        pattern, now, [&](const std::string& component, const std::string& property, std::string& text) {
            if (component.empty() && property.empty())
                return false;
            text = values[lookups++ % values.size()];
            inserted += corvo::sanitizeFileNameText(text);
            return true;
        });
    for (char c : inserted)
        check(isSafe(c));

    std::string directory, file, reason;
    const corvo::ImageRoot imageRoot(root);
    if (imageRoot.place(name, directory, file, reason)) {
        check(!file.empty() && file != "." && file != ".." && file.find('/') == std::string::npos);
        const std::string whole = directory.empty() ? file : directory + "/" + file;
        size_t start = 0;
        while (start <= whole.size()) {
            const size_t end = std::min(whole.find('/', start), whole.size());
            const std::string part = whole.substr(start, end - start);
            check(!part.empty() && part != "." && part != "..");
            start = end + 1;
        }
    } else {
        check(!reason.empty());
    }
    return 0;
}
