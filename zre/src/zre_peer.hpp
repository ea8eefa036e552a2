// One peer as the node knows it, and the table of all of them. The parts of
// the node each keep their own state of a peer in the fields marked for them.
#pragma once

#include <zmq.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_parts.hpp"

namespace zre {

struct UuidHash {
    size_t operator()(const Uuid& u) const
    {
        size_t h;
        std::memcpy(&h, u.data(), sizeof h);
        return h;
    }
};

// How many peers of a table are in each group, kept up by their GroupSets:
// a shout to a group nobody is in (every daemon's log records, while no one
// listens) then costs no walk through the table. At most one entry per
// group some peer is in (each peer is bounded by Groups::kMaxGroupsPerPeer).
using GroupCounts = std::unordered_map<std::string, size_t>;

// The groups of one peer. Once counted in a table's GroupCounts, every
// change is counted there, and a destroyed set takes its groups out.
class GroupSet {
public:
    using Names = std::set<std::string>;

    GroupSet() = default;
    GroupSet(const GroupSet&) = delete;
    GroupSet& operator=(const GroupSet&) = delete;
    ~GroupSet() { clear(); }

    // From now on the groups are counted in `counts` (which must outlive
    // this set, or the next call).
    void countIn(GroupCounts* counts)
    {
        for (const auto& name : names_)
            uncount(name);
        counts_ = counts;
        if (counts_)
            for (const auto& name : names_)
                ++(*counts_)[name];
    }

    std::pair<Names::iterator, bool> insert(const std::string& name)
    {
        auto result = names_.insert(name);
        if (result.second && counts_)
            ++(*counts_)[name];
        return result;
    }
    size_t erase(const std::string& name)
    {
        if (names_.erase(name) == 0)
            return 0;
        uncount(name);
        return 1;
    }
    void clear()
    {
        for (const auto& name : names_)
            uncount(name);
        names_.clear();
    }
    size_t count(const std::string& name) const { return names_.count(name); }
    size_t size() const { return names_.size(); }
    bool empty() const { return names_.empty(); }
    Names::const_iterator begin() const { return names_.begin(); }
    Names::const_iterator end() const { return names_.end(); }

private:
    void uncount(const std::string& name)
    {
        if (!counts_)
            return;
        auto it = counts_->find(name);
        if (it != counts_->end() && --it->second == 0)
            counts_->erase(it);
    }

    Names names_;
    GroupCounts* counts_ = nullptr;
};

// A message that waits for room in a peer's mailbox; its sequence number is
// given when it goes out.
struct Outgoing {
    Message message;
    Parts content;
    size_t bytes = 0;  // what it counts against the bounds
};

// How a peer was found, as bits of Peer::foundBy: its beacon, or a gossip
// tuple naming its endpoint. Neither: it greeted this node first.
constexpr uint8_t kFoundByBeacon = 1;
constexpr uint8_t kFoundByGossip = 2;

// A HELLO that waits while a known peer is checked: one under the peer's
// UUID from another endpoint, or one under another UUID naming the peer's
// endpoint. Taken if the peer does not answer in time.
struct Contender {
    Uuid uuid{};
    Message hello;
    uint32_t source = 0;   // as for Greeting::handle
    std::string identity;  // secured node: the identity its connection proved
};

struct Peer {
    Uuid uuid{};
    std::string uuidText;
    // Set through PeerTable::moveTo and rename once the peer is in a table.
    std::string endpoint;
    bool ready = false;  // said HELLO
    std::string name;
    Headers headers;
    int64_t lastSeen = 0;
    int64_t createdAt = 0;
    std::string identity;  // secured site: whose key the peer proved
    CurveKey serverKey{};  // secured site: the key its inbox must prove
    uint8_t foundBy = 0;   // kFoundBy* bits; a beacon or tuple of its endpoint adds one

    // Mailboxes: the outgoing DEALER and what was sent on it.
    void* mailbox = nullptr;  // a bare libzmq DEALER socket
    uint16_t sentSequence = 0;
    bool unconfirmed = false;  // sent something since the last PING
    int pingsUnanswered = 0;   // PINGs sent (gone into the mailbox), not answered
    int pingsQueued = 0;       // PINGs waiting in the backlog
    int64_t pingSentAt = 0;    // when the last PING went into the mailbox
    // What waits for room in the mailbox, in order, and since when no
    // message of it went out (0: nothing waits).
    std::deque<Outgoing> backlog;
    size_t backlogBytes = 0;
    int64_t stuckSince = 0;

    // The inbox side: what the peer sent.
    uint16_t wantSequence = 0;
    int64_t nextPingAt = 0;
    bool silent = false;  // reported SILENT, not heard from since
    bool probed = false;  // PINGed for being quiet, not heard from since
    int connection = -1;  // descriptor of its mailbox's connection to the inbox

    // Groups: the peer's own and its status counter.
    GroupSet groups;
    uint8_t status = 0;

    // Admission: until HELLO, counted among the pending peers of `source`.
    bool pending = false;
    uint32_t source = 0;  // IPv4 address the peer was first heard from
    // While the peer is checked for life: answered when every PING sent so
    // far has been answered before `verifyDeadline`, or within 500 ms of
    // the last PING going into the mailbox if that is later (see
    // Admission::overdue).
    int64_t verifyDeadline = 0;
    std::optional<Contender> contender;  // at most one; a newer one replaces it

    // Greeting: this node answered the peer's HELLO with its own over the
    // open mailbox; a HELLO on the connection the peer last used is then
    // its answer to ours (same incarnation), not a restart.
    bool greetedAgain = false;

    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer()
    {
        if (mailbox)
            zmq_close(mailbox);
    }
};

// How many peers carry each text (a name, an endpoint): a search for peers
// by one walks the table only when some peer has it.
class TextCounts {
public:
    void add(const std::string& text)
    {
        if (!text.empty())
            ++counts_[text];
    }
    void remove(const std::string& text)
    {
        auto it = text.empty() ? counts_.end() : counts_.find(text);
        if (it != counts_.end() && --it->second == 0)
            counts_.erase(it);
    }
    size_t count(const std::string& text) const
    {
        auto it = counts_.find(text);
        return it == counts_.end() ? 0 : it->second;
    }
    void clear() { counts_.clear(); }

private:
    // At most one entry per peer.
    std::unordered_map<std::string, size_t> counts_;
};

// The peers by UUID. Removing one closes its mailbox.
class PeerTable {
public:
    Peer* find(const Uuid& uuid)
    {
        auto it = peers_.find(uuid);
        return it == peers_.end() ? nullptr : it->second.get();
    }
    Peer& add(std::unique_ptr<Peer> peer)
    {
        Peer& added = *peer;
        erase(added.uuid);
        added.groups.countIn(&groupCounts_);
        names_.add(added.name);
        endpoints_.add(added.endpoint);
        peers_[added.uuid] = std::move(peer);
        return added;
    }
    void erase(const Uuid& uuid)
    {
        auto it = peers_.find(uuid);
        if (it == peers_.end())
            return;
        names_.remove(it->second->name);
        endpoints_.remove(it->second->endpoint);
        peers_.erase(it);
    }
    void clear()
    {
        peers_.clear();
        names_.clear();
        endpoints_.clear();
    }
    // Gives `peer` (of this table) the name it said in its HELLO.
    void rename(Peer& peer, const std::string& name)
    {
        names_.remove(peer.name);
        peer.name = name;
        names_.add(name);
    }
    // Gives `peer` (of this table) the endpoint it said in its HELLO.
    void moveTo(Peer& peer, const std::string& endpoint)
    {
        endpoints_.remove(peer.endpoint);
        peer.endpoint = endpoint;
        endpoints_.add(endpoint);
    }
    // How many peers of the table go by `name`: a new peer's search for
    // others under its name walks the table only when some do.
    size_t named(const std::string& name) const { return names_.count(name); }
    size_t size() const { return peers_.size(); }
    // Some peer of the table is in `group`.
    bool anyIn(const std::string& group) const { return groupCounts_.count(group) != 0; }

    // The peer with a mailbox to `endpoint`, or null. A new peer's endpoint
    // is usually nobody's: then the table is not walked.
    Peer* atEndpoint(const std::string& endpoint)
    {
        if (endpoints_.count(endpoint) == 0)
            return nullptr;
        for (auto& entry : peers_)
            if (entry.second->endpoint == endpoint)
                return entry.second.get();
        return nullptr;
    }

    // The UUIDs of the peers for which `pick` is true; a copy, so that the
    // caller may remove peers while going through them.
    template <typename F>
    std::vector<Uuid> select(F pick)
    {
        std::vector<Uuid> picked;
        for (auto& entry : peers_)
            if (pick(*entry.second))
                picked.push_back(entry.first);
        return picked;
    }

    template <typename F>
    void forEach(F visit)
    {
        for (auto& entry : peers_)
            visit(*entry.second);
    }

private:
    GroupCounts groupCounts_;  // before peers_: the peers uncount themselves when they go
    std::unordered_map<Uuid, std::unique_ptr<Peer>, UuidHash> peers_;
    // Each peer's name and endpoint, counted once: set by add, rename and
    // moveTo, never directly while the peer is in the table.
    TextCounts names_;
    TextCounts endpoints_;
};

}  // namespace zre
