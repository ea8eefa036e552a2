// Admission and verification of peers: the bounds on peers that have not
// said HELLO yet, the checks of a HELLO's identity on a secured node, and
// the checks that a known peer still lives (a PING it must answer in time)
// when a leaving beacon, a HELLO under its UUID or a twin casts doubt on it.
// It keeps the counts and deadlines; the node sends and drops.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "zre_clock.hpp"
#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_log.hpp"
#include "zre_peer.hpp"

namespace zre {

class Admission {
public:
    // Peers that have not yet said HELLO (discovered by a beacon, or greeted
    // by a HELLO just now): at most this many in total and per source
    // address, and each expires this soon. A beacon alone costs no socket
    // beyond this.
    static constexpr size_t kMaxPending = 256;
    static constexpr size_t kMaxPendingPerAddress = 128;
    static constexpr int64_t kPendingTimeoutMs = 5000;
    // On a secured node a pending peer first needs a CURVE handshake each
    // way, about three times the CPU of an open greeting. A site of a
    // hundred secured programs started together takes longer than the open
    // lifetime on two cores; peers forgotten then are greeted and handshaken
    // again, which only adds to the load.
    static constexpr int64_t kSecurePendingTimeoutMs = 20000;
    // A peer forgotten while pending gets twice its last lifetime the next
    // time it is pending, up to kMaxPendingTimeoutMs. In a site too busy to
    // greet within the lifetime (300 programs on two cores), every node
    // otherwise forgot its pending peers before they could answer, greeted
    // them again when their next beacon came, and no peer ever entered. The
    // lifetimes of the last kRememberedExpiries UUIDs forgotten are kept.
    static constexpr int64_t kMaxPendingTimeoutMs = 60000;
    static constexpr size_t kRememberedExpiries = 1024;
    // Pending peers learnt from gossip count as from this one source address
    // (255.255.255.255, never a peer's), so within the per-address bound:
    // at most that many mailbox attempts for tuples at once. Such an attempt
    // ends sooner than other pending peers, so that tuples naming endpoints
    // that never answer hold their share briefly (a mailbox of a live peer
    // answers in milliseconds; under heavy load the peer's own greeting, or
    // the next attempt, still comes).
    static constexpr uint32_t kGossipSource = 0xFFFFFFFF;
    static constexpr int64_t kGossipAttemptTimeoutMs = 3000;
    static constexpr int64_t kSecureGossipAttemptTimeoutMs = 10000;
    // Peers of one node in total; also held under the process's descriptor
    // limit (three descriptors a peer) and libzmq's socket limit.
    static constexpr size_t kMaxPeers = 1000;
    // A leaving beacon, a HELLO claiming a known peer's UUID from elsewhere,
    // or a newcomer under a known name: the known peer is pinged and dropped
    // only if it has not answered within this time of its last PING going
    // into the mailbox (not while a PING still waits in its backlog).
    static constexpr int64_t kVerifyTimeoutMs = 500;

    explicit Admission(NodeLog& log) : log_(log) {}

    // `curve` (kept by the caller) on a secured node; `maxPeers` the budget.
    void configure(const CurveSetup* curve, size_t maxPeers);
    void clear();

    // Whether one more pending peer from `source` fits the bounds, with
    // `peers` known; logs (rate-limited) when not.
    bool admit(uint32_t source, const Uuid& uuid, size_t peers);
    void setPending(Peer& peer, bool pending);
    // How long `peer` may stay pending.
    int64_t pendingLifetime(const Peer& peer) const;
    // `peer` is forgotten while pending: its next lifetime is longer
    // (a gossip attempt's is not: it is short on purpose, see above).
    void forgotWhilePending(const Peer& peer);

    // Starts a check of `peer`: true when a PING is to be sent now (false
    // when one runs already).
    bool startCheck(Peer& peer, int64_t deadlineMs = kVerifyTimeoutMs);
    // Called on every PING-OK: the peer is no longer pending, and a check
    // ends once every PING was answered.
    void answered(Peer& peer);
    // The peers whose check has run out by `t` (see kVerifyTimeoutMs);
    // schedules the next one.
    std::vector<Uuid> overdue(PeerTable& peers, int64_t t);
    int64_t nextCheckAt() const { return nextCheckAt_; }
    // Looks again soon (the node could not decide now).
    void recheckBy(int64_t t) { nextCheckAt_ = std::min(nextCheckAt_, t); }

    // On a secured node: the identity may announce the name, and a UUID
    // that another identity holds is not taken over.
    bool acceptIdentity(const Peer* known, const Uuid& uuid, const Message& hello, const std::string& identity);
    // The peers other than `newcomer` that said HELLO under its name.
    static std::vector<Uuid> twinsOf(PeerTable& peers, const Peer& newcomer);

private:
    NodeLog& log_;
    const CurveSetup* curve_ = nullptr;
    size_t maxPeers_ = kMaxPeers;
    size_t pendingTotal_ = 0;
    std::unordered_map<uint32_t, size_t> pendingBySource_;
    // Peers forgotten while pending: their next lifetime, and their UUIDs
    // in the order first forgotten (the oldest go first beyond the bound).
    std::unordered_map<Uuid, int64_t, UuidHash> nextLifetime_;
    std::deque<Uuid> forgottenOrder_;
    int64_t nextCheckAt_ = kNever;
};

}  // namespace zre
