// Choice of the network interface that a node beacons and listens on.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace zre {

struct Interface {
    std::string name;
    in_addr address{};    // the node binds its inbox here
    in_addr broadcast{};  // beacons go here
    unsigned index = 0;   // kernel interface index (0: unknown)
    bool named = false;   // chosen by name or address, not by default
};

// `wanted` names an interface (or gives its IPv4 address). When empty, the
// environment variable ZSYS_INTERFACE is used; when that is unset too, the
// first up, broadcast-capable, non-loopback IPv4 interface, else (with
// `routable`: a node that gossips, whose endpoint others reach through
// routers) the first other non-loopback one, else loopback. Empty when the
// named interface has no usable IPv4 address.
std::optional<Interface> chooseInterface(const std::string& wanted, bool routable = false);

std::string addressText(in_addr address);

}  // namespace zre
