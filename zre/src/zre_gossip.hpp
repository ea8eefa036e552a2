// Discovery by gossip (ZGOSSIP, as zyre 2.0 speaks it), beside the
// beacons: a node may bind a gossip endpoint (a ROUTER that other nodes
// connect to) and connect to others' (a DEALER each). Each node publishes
// its own tuple (UUID -> mailbox endpoint), stores and relays what it
// learns, and hands every new tuple to the node, which greets that mailbox
// as if a beacon had announced it. Off unless an endpoint is given.
#pragma once

#include <czmq.h>

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "zre_curve.hpp"
#include "zre_gossip_codec.hpp"
#include "zre_gossip_table.hpp"
#include "zre_log.hpp"

namespace zre {

class GossipListener : public LivePeers {
public:
    // A tuple to try: greet its mailbox unless its peer is known. False
    // when there is no room for one more attempt now.
    virtual bool onTuple(const GossipTuple& tuple) = 0;

protected:
    ~GossipListener() = default;
};

class GossipDiscovery {
public:
    // Clients of the bound endpoint, and endpoints connected to (the
    // tuples' bounds are GossipTable's).
    static constexpr size_t kMaxClients = 256;
    static constexpr size_t kMaxServers = 16;
    // This node's tuple carries this TTL and is published again well
    // before it runs out; a tuple with a TTL expires unless refreshed.
    static constexpr uint32_t kOwnTtlMs = 30000;
    static constexpr int64_t kRefreshMs = 10000;
    // Clients ping their servers this often: zyre's servers forget a
    // client after 1 s of silence. Our servers say who they are (their
    // routing id, kServerMark, which a client reads from the connection's
    // metadata) and forget a client only after kClientTimeoutMs, so they
    // are pinged less often: at 100 clients the pings are most of a
    // rendezvous point's idle work. A client takes a server silent for
    // kServerTimeoutMs (kClientTimeoutMs for ours) for a connection that is
    // down.
    static constexpr int64_t kPingMs = 1000;
    static constexpr int64_t kMarkedPingMs = 3000;
    static constexpr int64_t kClientTimeoutMs = 10000;
    static constexpr int64_t kServerTimeoutMs = 3000;
    static constexpr const char* kServerMark = "corvo-gossip";
    // A server silent this long gets a new connection (see reconnectSilent).
    static constexpr int64_t kReconnectAfterMs = 15000;

    explicit GossipDiscovery(NodeLog& log) : log_(log) {}
    ~GossipDiscovery() { close(); }
    GossipDiscovery(const GossipDiscovery&) = delete;
    GossipDiscovery& operator=(const GossipDiscovery&) = delete;

    // An endpoint to connect to, with its server's key (Z85) if secured.
    struct Remote {
        std::string endpoint;
        std::string serverKey;
    };
    // Binds `bind` (if not empty) and connects to each of `servers`. With
    // `curve`, the bound endpoint is a CURVE server authenticated under the
    // ZAP domain `zapDomain` (the node's, registered by its inbox), and
    // clients of secured endpoints use the node's key pair. An `own` tuple
    // without an endpoint publishes nothing: relay only.
    bool open(const std::string& bind, const std::vector<Remote>& servers, const GossipTuple& own,
              const CurveSetup* curve, const std::string& zapDomain);
    void close();
    bool active() const { return server_ || !clients_.empty(); }
    // True unless the node only relays.
    bool publishes() const { return !own_.key.empty(); }
    // Tuples held now.
    size_t tupleCount() const { return table_.size(); }

    // Reads what waits on every gossip socket (a batch), hands new tuples
    // to `listener`, and does what is due (pings, refreshes, expiry). True
    // when more may wait: the caller comes back without waiting, since the
    // sockets' descriptors signal only news.
    bool work(GossipListener& listener, int64_t t);
    static constexpr int kReadPasses = 256;
    // The descriptors to wait on.
    void descriptors(std::vector<int>& fds) const;
    size_t tuples() const { return table_.size(); }
    size_t clients() const { return connected_.size(); }

private:
    struct Client {
        int64_t lastHeard = 0;
        // When it was last sent the table: a HELLO repeated on the same
        // connection (an honest client greets again only on a new one, or
        // after INVALID, which forgets it) gets it again at most once per
        // kPingMs, since each costs the whole table.
        int64_t tableSentAt = 0;
    };
    struct Server {
        zsock_t* socket = nullptr;  // null only when it could not be made again
        std::string endpoint;
        std::string serverKey;  // Z85, when secured
        int64_t connectedAt = 0;
        int64_t lastHeard = 0;
        int64_t nextPingAt = 0;
        bool awaitingAnswer = false;  // pinged, nothing heard since
        bool marked = false;          // one of ours (kServerMark): pinged less often
        // Last greeting: an INVALID greets again at most once per kPingMs.
        int64_t greetedAt = std::numeric_limits<int64_t>::min() / 2;
    };

    bool secureServer(const CurveSetup& curve, const std::string& zapDomain);
    bool connectServer(Server& server, int64_t t);
    void reconnectSilent(GossipListener& listener, int64_t t);
    bool secureClient(zsock_t* socket, const CurveSetup* curve, const std::string& serverKey);
    bool readServer(GossipListener& listener, int64_t t);
    bool stillTrusted(zframe_t* frame) const;
    bool readClient(Server& server, GossipListener& listener, int64_t t);
    // Stores a PUBLISH from `publisher`; passes on and tries what is new.
    void take(const GossipMessage& publish, const std::string& publisher, const std::string* fromClient,
              const Server* fromServer, GossipListener& listener, int64_t t);
    void relay(const GossipMessage& publish, const std::string* fromClient, const Server* fromServer);
    void sendToClient(const std::string& identity, const GossipMessage& message);
    void sendToServer(Server& server, const GossipMessage& message);
    void sendEncodedToClient(const std::string& identity, const std::vector<uint8_t>& bytes);
    void sendEncodedToServer(Server& server, const std::vector<uint8_t>& bytes);
    void greet(Server& server, LivePeers* live, int64_t t);
    void onTick(GossipListener& listener, int64_t t);
    bool publisherUp(const std::string& publisher, int64_t t) const;
    void pingDue(int64_t t);

    NodeLog& log_;
    // A secured node's set-up; its owner may replace the trust table
    // (revocation) between two calls of work().
    const CurveSetup* curve_ = nullptr;
    zsock_t* server_ = nullptr;
    std::vector<Server> clients_;              // the servers this node is a client of
    std::map<std::string, Client> connected_;  // by identity, at the bound endpoint
    GossipTable table_;
    GossipMessage own_;
    int64_t nextTickAt_ = 0;
    int64_t nextRefreshAt_ = 0;
};

}  // namespace zre
