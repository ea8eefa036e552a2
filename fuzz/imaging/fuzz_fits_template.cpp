// Fuzzes the header-template parser with arbitrary file contents: it must
// neither crash nor recurse without bound, and every entry it returns must
// have the shape of a card line.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corvo/image.h"

namespace {

int templateFd = -1;
std::string templatePath;

bool hasSpace(const std::string& text)
{
    for (unsigned char c : text)
        if (std::isspace(c))
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The parser reports bad lines on standard output.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    templateFd = memfd_create("fitshdr", 0);
    if (templateFd < 0)
        std::abort();
    templatePath = "/proc/self/fd/" + std::to_string(templateFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(templateFd, 0) != 0 || pwrite(templateFd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    for (const auto& entry : corvo::parseFitsHdrFile(templatePath)) {
        if (entry.key.empty() || entry.key.size() > 8 || hasSpace(entry.key))
            std::abort();
        if (entry.component.empty() || entry.property.empty() || hasSpace(entry.component) ||
            hasSpace(entry.property) || entry.property.find(':') != std::string::npos)
            std::abort();
    }
    return 0;
}
