// libFuzzer target: the configuration file parser. Whatever a file holds,
// loading must not fail, and every pair it loads must be storable and read
// back identically after a save.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "corvo/confmanager.h"

namespace {

std::string workDir;

void quiet()
{
    std::cout.setstate(std::ios::failbit);
    std::cerr.setstate(std::ios::failbit);
    std::clog.setstate(std::ios::failbit);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/corvo-fuzz-config.XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir)
        std::abort();
    workDir = dir;
    // The manager looks in $HOME/.config/corvo and $CORVO_CONF_PATH.
    setenv("HOME", dir, 1);
    setenv("CORVO_CONF_PATH", dir, 1);
    std::atexit([] {
        std::remove((workDir + "/f.conf").c_str());
        std::remove((workDir + "/.config/corvo").c_str());
        std::remove((workDir + "/.config").c_str());
        std::remove(workDir.c_str());
    });
    quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string path = workDir + "/f.conf";
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    corvo::ConfManager first;
    first.load("f");
    corvo::ConfManager::Config loaded = first.get("f");
    for (const auto& [key, value] : loaded)
        if (!corvo::ConfManager::storableProblem(key, value).empty())
            std::abort();  // a pair the parser gives must be storable
    if (loaded.empty())
        return 0;
    first.save("f");
    corvo::ConfManager second;
    second.load("f");
    if (second.get("f") != loaded)
        std::abort();  // saved pairs must read back as they were
    return 0;
}
