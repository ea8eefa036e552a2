// Discovery by gossip (ZGOSSIP, as zyre 2.0 speaks it), beside the
// beacons: a node may bind a gossip endpoint (a ROUTER that other nodes
// connect to) and connect to others' (a DEALER each). Each node publishes
// its own tuple (UUID -> mailbox endpoint), stores and relays what it
// learns, and hands every new tuple to the node, which greets that mailbox
// as if a beacon had announced it. Off unless an endpoint is given.
#pragma once

#include <czmq.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zre_gossip_codec.hpp"
#include "zre_log.hpp"

namespace zre {

class GossipListener {
public:
    virtual void onTuple(const GossipTuple& tuple) = 0;

protected:
    ~GossipListener() = default;
};

class GossipDiscovery {
public:
    // Tuples held (beyond: new keys are ignored, logged), clients of the
    // bound endpoint, and endpoints connected to.
    static constexpr size_t kMaxTuples = 1000;
    static constexpr size_t kMaxClients = 256;
    static constexpr size_t kMaxServers = 16;
    // This node's tuple carries this TTL and is published again well
    // before it runs out; a tuple with a TTL expires unless refreshed.
    static constexpr uint32_t kOwnTtlMs = 30000;
    static constexpr int64_t kRefreshMs = 10000;
    // zyre publishes TTL 0 and never refreshes: such a tuple is kept this
    // long after it was last received, or while the node knows its peer.
    static constexpr int64_t kZeroTtlKeepMs = 60000;
    // Clients ping their servers this often; a server forgets a client
    // silent for kClientTimeoutMs (its next message gets INVALID).
    static constexpr int64_t kPingMs = 1000;
    static constexpr int64_t kClientTimeoutMs = 3000;
    // Every tuple held is handed to the node again this often: one the
    // node could not take (its bounds on pending peers were reached, or
    // the mailbox did not answer) is tried again.
    static constexpr int64_t kRedeliverMs = 2000;

    explicit GossipDiscovery(NodeLog& log) : log_(log) {}
    ~GossipDiscovery() { close(); }
    GossipDiscovery(const GossipDiscovery&) = delete;
    GossipDiscovery& operator=(const GossipDiscovery&) = delete;

    // Binds `bind` (if not empty) and connects to each of `servers`. An
    // `own` tuple without an endpoint publishes nothing: relay only.
    bool open(const std::string& bind, const std::vector<std::string>& servers, const GossipTuple& own);
    void close();
    bool active() const { return server_ || !clients_.empty(); }
    // True unless the node only relays.
    bool publishes() const { return !own_.key.empty(); }
    // Tuples held now.
    size_t tupleCount() const { return tuples_.size(); }

    // Reads what waits on every gossip socket, hands new tuples to
    // `listener`, and does what is due (pings, refreshes, expiry).
    void work(GossipListener& listener, int64_t t);
    // The descriptors to wait on.
    void descriptors(std::vector<int>& fds) const;
    // Called when the node knows (or no longer knows) a peer: a TTL-0
    // tuple of a live peer is kept.
    void peerAlive(const Uuid& uuid, int64_t t);

private:
    struct Tuple {
        std::string value;
        int64_t expiresAt = 0;
    };
    struct Client {
        int64_t lastHeard = 0;
    };
    struct Server {
        zsock_t* socket = nullptr;
        std::string endpoint;
    };

    bool readServer(GossipListener& listener, int64_t t);
    bool readClient(Server& server, GossipListener& listener, int64_t t);
    // Stores a PUBLISH; true when it was new or changed (then relayed).
    bool store(const GossipMessage& publish, int64_t t);
    void relay(const GossipMessage& publish, const std::string* fromClient, const Server* fromServer);
    void sendToClient(const std::string& identity, const GossipMessage& message);
    void sendToServer(Server& server, const GossipMessage& message);
    void greet(Server& server);
    void expire(int64_t t);
    void redeliver(GossipListener& listener);

    NodeLog& log_;
    zsock_t* server_ = nullptr;
    std::vector<Server> clients_;              // the servers this node is a client of
    std::map<std::string, Client> connected_;  // by identity, at the bound endpoint
    std::map<std::string, Tuple> tuples_;
    GossipMessage own_;
    int64_t nextPingAt_ = 0;
    int64_t nextRefreshAt_ = 0;
    int64_t nextRedeliverAt_ = 0;
};

}  // namespace zre
