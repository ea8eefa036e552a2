#include "corvo/discovery.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "corvo/text.h"

namespace corvo {

namespace {

constexpr const char* kTcpPrefix = "tcp://";

bool isDecimal(const std::string& text)
{
    return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool isIpv4(const std::string& host)
{
    std::vector<std::string> parts = split(host, '.');
    if (parts.size() != 4)
        return false;
    for (const std::string& part : parts)
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
            return false;
    return true;
}

bool isHostName(const std::string& host)
{
    if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.')
        return false;
    // Digits and dots only: a mistyped address, not a name.
    if (host.find_first_not_of("0123456789.") == std::string::npos)
        return false;
    return host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
           std::string::npos;
}

bool isTrue(std::string value, const std::string& key)
{
    for (char& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value == "true" || value == "1" || value == "yes")
        return true;
    if (value == "false" || value == "0" || value == "no" || value.empty())
        return false;
    throw std::invalid_argument("\"" + key + "\" is true or false, not \"" + value + "\"");
}

bool isRegularFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The configuration directories, searched as ConfManager does.
std::vector<std::string> configDirectories()
{
    std::vector<std::string> dirs{"/etc/corvo"};
    if (const char* home = std::getenv("HOME"))
        dirs.push_back(std::string(home) + "/.config/corvo");
    if (const char* extra = std::getenv("CORVO_CONF_PATH"))
        dirs.push_back(extra);
    return dirs;
}

std::string lastFileNamed(const std::string& fileName)
{
    std::vector<std::string> dirs = configDirectories();
    for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir)
        if (isRegularFile(*dir + "/" + fileName))
            return *dir + "/" + fileName;
    return std::string();
}

// The entries of a "key = value" file, read as ConfManager reads them.
std::unordered_map<std::string, std::string> readEntries(const std::string& path)
{
    std::unordered_map<std::string, std::string> entries;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > off_t(kMaxDiscoveryFileBytes))
        throw std::invalid_argument("longer than " + std::to_string(kMaxDiscoveryFileBytes) + " bytes");
    std::ifstream file(path);
    std::string line;
    size_t bytes = 0;
    while (std::getline(file, line)) {
        bytes += line.size() + 1;
        if (bytes > kMaxDiscoveryFileBytes)
            throw std::invalid_argument("longer than " + std::to_string(kMaxDiscoveryFileBytes) + " bytes");
        size_t comment = line.find('#');
        if (comment != std::string::npos)
            line.erase(comment);
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        entries[trimmed(line.substr(0, equals))] = trimmed(line.substr(equals + 1));
    }
    return entries;
}

void applyFile(DiscoveryOptions& options, const std::string& fileName)
{
    std::string path = lastFileNamed(fileName);
    if (path.empty())
        return;
    try {
        applyDiscoveryEntries(options, readEntries(path));
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

}  // namespace

std::string gossipEndpointProblem(const std::string& endpoint, bool bind)
{
    const std::string shown = "\"" + escapeControl(endpoint) + "\"";
    if (endpoint.compare(0, 6, kTcpPrefix) != 0)
        return shown + " does not start with tcp://";
    size_t colon = endpoint.rfind(':');
    if (colon < 6)
        return shown + " has no port (tcp://HOST:PORT)";
    std::string host = endpoint.substr(6, colon - 6);
    std::string port = endpoint.substr(colon + 1);
    if (!isDecimal(port) || std::stoi(port) < 1 || std::stoi(port) > 65535)
        return shown + " has no port from 1 to 65535";
    if (bind ? !(host == "*" || isIpv4(host)) : !(isIpv4(host) || isHostName(host)))
        return shown + (bind ? " binds neither an IPv4 address nor *" : " names no IPv4 address or host name");
    return std::string();
}

std::vector<std::string> parseGossipList(const std::string& list)
{
    std::vector<std::string> endpoints = splitList(list);
    if (endpoints.size() > kMaxGossipEndpoints)
        throw std::invalid_argument(std::to_string(endpoints.size()) + " gossip endpoints (at most " +
                                    std::to_string(kMaxGossipEndpoints) + ")");
    for (const std::string& endpoint : endpoints) {
        std::string problem = gossipEndpointProblem(endpoint, false);
        if (!problem.empty())
            throw std::invalid_argument("gossip endpoint " + problem);
    }
    return endpoints;
}

void applyDiscoveryEntries(DiscoveryOptions& options, const std::unordered_map<std::string, std::string>& entries)
{
    if (auto it = entries.find("gossip"); it != entries.end())
        options.gossipConnect = parseGossipList(it->second);
    if (auto it = entries.find("gossip-bind"); it != entries.end()) {
        std::string problem = it->second.empty() ? std::string() : gossipEndpointProblem(it->second, true);
        if (!problem.empty())
            throw std::invalid_argument("gossip-bind " + problem);
        options.gossipBind = it->second;
    }
    if (auto it = entries.find("no-beacon"); it != entries.end())
        options.beacon = !isTrue(it->second, "no-beacon");
}

DiscoveryOptions readDiscoveryConfig(const std::string& name)
{
    DiscoveryOptions options;
    applyFile(options, "network.conf");
    // A name with a slash would read outside the configuration directories.
    if (!name.empty() && name != "network" && name.find('/') == std::string::npos)
        applyFile(options, name + ".conf");
    return options;
}

}  // namespace corvo
