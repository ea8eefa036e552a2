#include "zre_iface.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdlib>

namespace zre {

namespace {

bool isUsableIpv4(const ifaddrs* ifa)
{
    return ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET && (ifa->ifa_flags & IFF_UP) != 0;
}

in_addr ipv4Of(const sockaddr* sa)
{
    return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr;
}

// The directed broadcast address follows from address and netmask; an
// interface's own broadcast address is preferred when it is set (an address
// added without "brd" reports none, or its own address). Loopback has no
// broadcast flag, yet its directed broadcast (127.255.255.255) reaches every
// socket bound to the port.
Interface describe(const ifaddrs* ifa)
{
    Interface out;
    out.name = ifa->ifa_name;
    out.address = ipv4Of(ifa->ifa_addr);
    out.index = if_nametoindex(ifa->ifa_name);
    uint32_t mask = ifa->ifa_netmask ? ipv4Of(ifa->ifa_netmask).s_addr : 0;
    out.broadcast.s_addr = out.address.s_addr | ~mask;
    if ((ifa->ifa_flags & IFF_BROADCAST) != 0 && ifa->ifa_broadaddr != nullptr) {
        in_addr given = ipv4Of(ifa->ifa_broadaddr);
        if (given.s_addr != 0 && given.s_addr != out.address.s_addr)
            out.broadcast = given;
    }
    return out;
}

bool matches(const ifaddrs* ifa, const std::string& wanted)
{
    return wanted == ifa->ifa_name || wanted == addressText(ipv4Of(ifa->ifa_addr));
}

}  // namespace

std::string addressText(in_addr address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::optional<Interface> chooseInterface(const std::string& wanted, bool routable)
{
    std::string name = wanted;
    if (name.empty()) {
        const char* env = std::getenv("ZSYS_INTERFACE");
        if (env != nullptr)
            name = env;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;

    std::optional<Interface> found;
    std::optional<Interface> loopback;
    std::optional<Interface> pointToPoint;
    for (const ifaddrs* ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (!isUsableIpv4(ifa))
            continue;
        bool isLoopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
        if (!name.empty()) {
            if (matches(ifa, name))
                found = describe(ifa);
        } else if (isLoopback) {
            if (!loopback)
                loopback = describe(ifa);
        } else if ((ifa->ifa_flags & IFF_BROADCAST) != 0) {
            found = describe(ifa);
        } else if (!pointToPoint) {
            pointToPoint = describe(ifa);
        }
    }
    freeifaddrs(list);
    if (!found && name.empty())
        return routable && pointToPoint ? pointToPoint : loopback;
    if (found)
        found->named = !name.empty();
    return found;
}

}  // namespace zre
