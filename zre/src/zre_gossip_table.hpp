// The tuples a gossip node holds, and the rules that keep the table honest
// and small: what a tuple replaces, how long it is kept, when it is passed
// on again, and when the node tries its mailbox. No sockets: the gossip
// part feeds it what arrives and sends what it says is due.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zre_codec.hpp"
#include "zre_gossip_codec.hpp"

namespace zre {

// What the node knows of its peers, asked by the table.
class LivePeers {
public:
    // A peer that said HELLO under `uuid` and has its mailbox at `endpoint`.
    virtual bool peerLivesAt(const Uuid& uuid, const std::string& endpoint) = 0;

protected:
    ~LivePeers() = default;
};

class GossipTable {
public:
    // Tuples held. When full, a new tuple takes the place of the one tried
    // most often in vain, else of the oldest one whose peer this node does
    // not know alive; when every tuple names a live peer, the new one is
    // ignored.
    static constexpr size_t kMaxTuples = 1000;
    // A tuple with a TTL lives that long from its receipt unless received
    // again. A TTL-0 tuple (zyre's, never refreshed) is anchored while its
    // peer is alive here or the connection it came on is up, and lives this
    // long past the last moment it was anchored. A gone node is therefore
    // forgotten everywhere within this time after the last node stops
    // seeing it (see zre/README.md).
    static constexpr int64_t kAnchoredTtlMs = 30000;
    // The longest lifetime a tuple may claim, twice the TTL this project's
    // nodes publish (30 s): a longer TTL (up to 49.7 days on the wire, from
    // a forger or a foreign node) is taken as this long, and a tuple is
    // never passed on with more. Honest tuples are refreshed well within it.
    static constexpr int64_t kMaxTtlMs = 60000;
    // A tuple is passed on again (with its remaining lifetime as TTL, so
    // that copies never outlive the original) once its lifetime grew by
    // this much since it was last passed on: the refreshes of anchored and
    // refreshed tuples reach nodes that are not the peer's peers. With
    // refreshes every 10 s and a TTL of 30 s, every other one goes on (a
    // copy is renewed every 20 s, 10 s before it would run out).
    static constexpr int64_t kRelayGainMs = 15000;
    // Several tuples on one endpoint: a restarted node (new UUID, same
    // endpoint) or a forgery. Without a live peer there the newest is
    // kept; with one, the others are kept this long (time for the node to
    // check the live one) and then dropped.
    static constexpr int64_t kContendMs = 3000;
    // Mailbox attempts: a tuple whose peer does not answer is tried again
    // after 2 s, then twice as long each time, up to kMaxBackoffMs.
    static constexpr int64_t kFirstBackoffMs = 2000;
    static constexpr int64_t kMaxBackoffMs = 60000;
    // Tuples handed to the node for an attempt in one round, at most.
    static constexpr size_t kMaxAttemptsPerRound = 64;

    enum class Stored {
        Ignored,    // own, refused, or the table is full of live peers
        Refreshed,  // known: its lifetime may have grown
        New,        // new or changed: to pass on and to try
    };

    explicit GossipTable(std::string ownKey = {}) : ownKey_(std::move(ownKey)) {}
    void setOwnKey(const std::string& key) { ownKey_ = key; }

    // `publisher` names the connection it came on.
    Stored store(const GossipMessage& publish, const std::string& publisher, int64_t t, LivePeers& live);

    // Renews the anchored tuples, drops the expired ones and the losers of
    // endpoint contests. `publisherUp` says whether a connection is up.
    void maintain(int64_t t, LivePeers& live, const std::function<bool(const std::string&)>& publisherUp);
    // The PUBLISH messages to pass on now (refreshes whose lifetime grew by
    // kRelayGainMs), marked as passed on, each with the publisher it came
    // from (not to be sent back there).
    struct Relay {
        GossipMessage publish;
        std::string publisher;
    };
    std::vector<Relay> dueRelays(int64_t t);
    // Hands `attempt` the tuples to try now (to greet their mailbox), those
    // tried least first and the newest among them first, up to
    // kMaxAttemptsPerRound; live peers are not tried. A tuple taken (true)
    // is backed off; the round ends at the first one refused for lack of
    // room, which keeps its place for the next round.
    using Attempt = std::function<bool(const GossipTuple&)>;
    void attemptDue(int64_t t, LivePeers& live, const Attempt& attempt);
    // Tries one tuple now (just stored) in the same way.
    void attemptNow(const std::string& key, int64_t t, const Attempt& attempt);
    // Every tuple as PUBLISH with its remaining lifetime (for a newcomer),
    // those of peers this node knows alive last: a node tries the newest
    // first, and a table full of forged tuples does not hide them.
    std::vector<GossipMessage> all(int64_t t, LivePeers* live) const;
    // The tuple as it should go out now, with its remaining lifetime.
    GossipMessage outgoing(const std::string& key, int64_t t) const;
    size_t size() const { return tuples_.size(); }
    bool has(const std::string& key) const { return tuples_.count(key) != 0; }
    void clear() { tuples_.clear(); }

private:
    struct Tuple {
        std::string value;
        std::string endpoint;
        Uuid uuid{};
        bool zeroTtl = false;  // as published by its origin
        std::string publisher;
        int64_t storedAt = 0;
        uint64_t sequence = 0;  // order of storing, the later the newer
        int64_t expiresAt = 0;
        int64_t relayedExpiry = 0;  // the lifetime last passed on
        int failures = 0;           // attempts without a live peer after
        int64_t nextAttemptAt = 0;
    };
    using Map = std::map<std::string, Tuple>;

    bool makeRoom(LivePeers& live);
    bool tryOne(Map::iterator it, int64_t t, const Attempt& attempt);
    void noteOrder(const std::string& key);
    void settleContests(int64_t t, LivePeers& live);
    static uint32_t remaining(const Tuple& tuple, int64_t t);

    std::string ownKey_;
    Map tuples_;
    uint64_t sequence_ = 0;
    // Keys in the order they were stored, oldest first (may hold keys
    // since dropped or stored again; rebuilt when it grows too long).
    std::deque<std::string> order_;
};

}  // namespace zre
