#include "zre_admission.hpp"

#include <arpa/inet.h>

#include <algorithm>

#include "zre_iface.hpp"

namespace zre {

void Admission::configure(const CurveSetup* curve, size_t maxPeers)
{
    curve_ = curve;
    maxPeers_ = maxPeers;
}

void Admission::clear()
{
    pendingTotal_ = 0;
    pendingBySource_.clear();
    nextLifetime_.clear();
    forgottenOrder_.clear();
    nextCheckAt_ = kNever;
}

int64_t Admission::pendingLifetime(const Peer& peer) const
{
    if (peer.source == kGossipSource)
        return curve_ ? kSecureGossipAttemptTimeoutMs : kGossipAttemptTimeoutMs;
    auto longer = nextLifetime_.find(peer.uuid);
    if (longer != nextLifetime_.end())
        return longer->second;
    return curve_ ? kSecurePendingTimeoutMs : kPendingTimeoutMs;
}

void Admission::forgotWhilePending(const Peer& peer)
{
    if (peer.source == kGossipSource)
        return;
    const int64_t doubled = std::min(2 * pendingLifetime(peer), kMaxPendingTimeoutMs);
    auto [entry, added] = nextLifetime_.emplace(peer.uuid, doubled);
    entry->second = doubled;
    if (!added)
        return;
    forgottenOrder_.push_back(peer.uuid);
    if (forgottenOrder_.size() > kRememberedExpiries) {
        nextLifetime_.erase(forgottenOrder_.front());
        forgottenOrder_.pop_front();
    }
}

bool Admission::admit(uint32_t source, const Uuid& uuid, size_t peers)
{
    const char* full = nullptr;
    if (peers >= maxPeers_)
        full = "peers";
    else if (pendingTotal_ >= kMaxPending)
        full = "pending peers";
    else if (pendingBySource_[source] >= kMaxPendingPerAddress)
        full = "pending peers from one address";
    if (!full)
        return true;
    if (pendingBySource_[source] == 0)
        pendingBySource_.erase(source);
    in_addr a{source};
    log_.warn("new peer %s from %s ignored: too many %s", uuidToString(uuid).c_str(), addressText(a).c_str(), full);
    return false;
}

void Admission::setPending(Peer& peer, bool pending)
{
    if (peer.pending == pending)
        return;
    peer.pending = pending;
    if (pending) {
        ++pendingTotal_;
        ++pendingBySource_[peer.source];
        return;
    }
    --pendingTotal_;
    auto it = pendingBySource_.find(peer.source);
    if (it != pendingBySource_.end() && --it->second == 0)
        pendingBySource_.erase(it);
}

bool Admission::startCheck(Peer& peer, int64_t deadlineMs)
{
    if (peer.verifyDeadline != 0)
        return false;
    peer.verifyDeadline = now() + deadlineMs;
    nextCheckAt_ = std::min(nextCheckAt_, peer.verifyDeadline);
    return true;
}

void Admission::answered(Peer& peer)
{
    if (peer.pingsUnanswered > 0)
        return;
    setPending(peer, false);
    if (peer.verifyDeadline == 0)
        return;
    log_.trace("peer %s answered: kept", peer.uuidText.c_str());
    peer.verifyDeadline = 0;
    peer.contender.reset();
}

std::vector<Uuid> Admission::overdue(PeerTable& peers, int64_t t)
{
    int64_t next = kNever;
    std::vector<Uuid> gone = peers.select([&](const Peer& peer) {
        if (peer.verifyDeadline == 0)
            return false;
        // A PING that waits in the peer's backlog, behind what this node
        // sent before, has not reached the peer: the time to answer counts
        // from when the last PING left. A dead peer's backlog moves no more,
        // and its own rule drops the peer (see Mailboxes).
        int64_t deadline = peer.pingsQueued > 0 ? t + kVerifyTimeoutMs
                                                : std::max(peer.verifyDeadline, peer.pingSentAt + kVerifyTimeoutMs);
        if (t >= deadline)
            return true;
        next = std::min(next, deadline);
        return false;
    });
    nextCheckAt_ = next;
    return gone;
}

bool Admission::acceptIdentity(const Peer* known, const Uuid& uuid, const Message& hello, const std::string& identity)
{
    const TrustedIdentity* trusted = curve_->trust->byIdentity(identity);
    std::string text = uuidToString(uuid);
    std::string node = "zre " + NodeLog::printable(log_.name());
    if (!trusted) {
        log_.refuse(text, node + ": HELLO from " + text + " without a trusted key ignored");
        return false;
    }
    if (!trusted->mayAnnounce(hello.name)) {
        log_.refuse(text + "name", node + ": peer " + text + " (identity " + identity +
                                       ") may not announce the name '" + NodeLog::printable(hello.name) + "': ignored");
        return false;
    }
    if (known && known->ready && known->identity != identity) {
        log_.refuse(text + identity, node + ": identity " + identity + " uses the UUID " + text + " of identity " +
                                         known->identity + ": ignored");
        return false;
    }
    return true;
}

std::vector<Uuid> Admission::twinsOf(PeerTable& peers, const Peer& newcomer)
{
    // Usually the newcomer alone has its name: no walk through the table
    // (a site of N peers would walk it N times while it forms).
    if (peers.named(newcomer.name) < 2)
        return {};
    return peers.select(
        [&](const Peer& peer) { return &peer != &newcomer && peer.ready && peer.name == newcomer.name; });
}

}  // namespace zre
