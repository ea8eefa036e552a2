/// @file
/// How a program finds its peers: UDP beacons within its subnet, and gossip
/// endpoints (rendezvous points) across routers. Read from the command line
/// (--gossip, --gossip-bind, --no-beacon) and from configuration entries of
/// the same names.
#pragma once

#include "corvo/export.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

/// Gossip endpoints a program connects to, at most (more are refused).
constexpr size_t kMaxGossipEndpoints = 16;
/// Bytes of a configuration file read for discovery entries; a longer file
/// is refused.
constexpr size_t kMaxDiscoveryFileBytes = 64 * 1024;

/// The discovery settings of one node.
struct CORVO_API DiscoveryOptions {
    /// UDP beacons on the node's interface (off with --no-beacon).
    bool beacon = true;
    /// A gossip endpoint this node binds ("tcp://A.B.C.D:PORT" or
    /// "tcp://*:PORT"), others connect to it; empty: none.
    std::string gossipBind;
    /// Gossip endpoints this node connects to ("tcp://HOST:PORT").
    std::vector<std::string> gossipConnect;

    /// True when the node takes part in gossip discovery.
    bool usesGossip() const { return !gossipBind.empty() || !gossipConnect.empty(); }
    /// True when the node can find anybody: beacons, or gossip.
    bool findsPeers() const { return beacon || usesGossip(); }
};

/// Why `endpoint` cannot be a gossip endpoint, or empty when it can. A bound
/// endpoint is "tcp://A.B.C.D:PORT" or "tcp://*:PORT"; one connected to is
/// "tcp://HOST:PORT" (an IPv4 address or a host name); PORT is 1 to 65535.
CORVO_API std::string gossipEndpointProblem(const std::string& endpoint, bool bind);

/// Splits the comma-separated list of a --gossip option or "gossip" entry
/// (white space around items ignored) and checks every endpoint. Throws
/// std::invalid_argument naming the first bad endpoint, or when the list
/// holds more than kMaxGossipEndpoints.
CORVO_API std::vector<std::string> parseGossipList(const std::string& list);

/// Applies the configuration entries "gossip", "gossip-bind" and "no-beacon"
/// found in `entries` (other keys are ignored) on top of `options`. An
/// empty "gossip" or "gossip-bind" clears it; "no-beacon" is "true" or
/// "false" (also 1/0, yes/no). Throws std::invalid_argument naming the entry
/// for a bad value.
CORVO_API void applyDiscoveryEntries(DiscoveryOptions& options,
                                     const std::unordered_map<std::string, std::string>& entries);

/// The discovery settings of the configuration files: `network.conf`
/// (every program of the host), then `<name>.conf` (this program; its
/// entries win), each taken from the last configuration directory that has
/// it (/etc/corvo, ~/.config/corvo, $CORVO_CONF_PATH, as ConfManager
/// searches). Reads only: creates no directory and no file. An empty `name`
/// reads `network.conf` alone. Throws std::invalid_argument with the file's
/// path for a bad entry or a file over kMaxDiscoveryFileBytes.
CORVO_API DiscoveryOptions readDiscoveryConfig(const std::string& name);

}  // namespace corvo
