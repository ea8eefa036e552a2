// The background actor of a node. It composes the node's parts (discovery,
// admission, inbox, mailboxes, groups, the event outbox) and runs their loop;
// the application reaches it through the pipe and Direct.
#pragma once

#include <czmq.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_direct.hpp"
#include "zre_events.hpp"

namespace zre {

constexpr int kDefaultPort = 5670;
constexpr size_t kDefaultInterval = 1000;
constexpr int kDefaultEvasive = 5000;
constexpr int kDefaultExpired = 30000;

// Settings handed to the actor with the START command.
struct Config {
    std::string name;
    std::map<std::string, std::string> headers;
    int port = kDefaultPort;
    std::string interface;
    size_t interval = kDefaultInterval;
    int evasiveTimeout = kDefaultEvasive;
    int expiredTimeout = kDefaultExpired;
    bool verbose = false;
    // Gossip discovery beside the beacons: an endpoint to bind, endpoints
    // to connect to; off when both are empty.
    std::string gossipBind;
    std::vector<std::string> gossipConnect;
    // For each endpoint connected to: the server's public key (Z85) when
    // the connection is CURVE-secured, else empty.
    std::vector<std::string> gossipConnectKeys;
    // Set on a secured node: its key pair and the keys it trusts (the node
    // replaces the trusted keys on TRUST).
    std::shared_ptr<CurveSetup> curve;
};

struct ActorArgs {
    Uuid uuid{};
    EventQueue* events = nullptr;  // where the actor puts its events; outlives the actor
    // Events the actor dropped because the application did not read them.
    std::atomic<uint64_t>* dropped = nullptr;
    Direct* direct = nullptr;
};

// zactor entry point. `args` is an ActorArgs*, owned by the caller until the
// actor has signalled that it runs.
void runNodeActor(zsock_t* pipe, void* args);

// Commands on the actor pipe (first frame):
//   "START" <Config* as pointer bytes>   -> signal 0 / -1
//   "STOP"                               -> signal 0
//   "TRUST" <shared_ptr<const TrustTable>* as pointer bytes> -> signal 0
//   "JOIN" group | "LEAVE" group
//   "WHISPER" uuid content...  | "SHOUT" group content...
//   "$TERM"
// Events go into the EventQueue, built as zyre_event_t:
//   ENTER (peer, address, headers), EXIT, EVASIVE, STOP,
//   JOIN and LEAVE (group), WHISPER (content), SHOUT (group, content).

}  // namespace zre
