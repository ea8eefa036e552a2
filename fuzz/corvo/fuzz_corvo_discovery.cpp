// libFuzzer target: the discovery entries of network.conf ("gossip",
// "gossip-bind", "no-beacon"). Whatever the file holds, reading it either
// refuses it (std::invalid_argument) or gives settings within the bounds:
// at most kMaxGossipEndpoints endpoints, each one that passes the check.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "corvo/discovery.h"

namespace {

std::string workDir;

void check(const corvo::DiscoveryOptions& options)
{
    if (options.gossipConnect.size() > corvo::kMaxGossipEndpoints)
        std::abort();
    for (const std::string& endpoint : options.gossipConnect)
        if (!corvo::gossipEndpointProblem(endpoint, false).empty())
            std::abort();
    if (!options.gossipBind.empty() && !corvo::gossipEndpointProblem(options.gossipBind, true).empty())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/corvo-fuzz-disc.XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir)
        std::abort();
    workDir = dir;
    setenv("HOME", dir, 1);
    setenv("CORVO_CONF_PATH", dir, 1);
    std::atexit([] {
        std::remove((workDir + "/network.conf").c_str());
        std::remove(workDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::ofstream file(workDir + "/network.conf", std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        check(corvo::readDiscoveryConfig(""));
    } catch (const std::invalid_argument&) {}
    // The same bytes as one --gossip option.
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        corvo::DiscoveryOptions options;
        options.gossipConnect = corvo::parseGossipList(text);
        check(options);
    } catch (const std::invalid_argument&) {}
    return 0;
}
