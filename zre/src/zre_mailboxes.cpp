#include "zre_mailboxes.hpp"

#include <algorithm>
#include <cerrno>

#include "zre_clock.hpp"

namespace zre {

bool Mailboxes::open(Peer& peer, const CurveKey* serverKey)
{
    void* mailbox = zmq_socket(context_, ZMQ_DEALER);
    if (!mailbox) {
        // libzmq's socket limit, or the process is out of descriptors.
        log_.warn("no socket for peer %s: %s", peer.uuidText.c_str(), zmq_strerror(errno));
        return false;
    }
    peer.mailbox = mailbox;  // closed with the peer
    auto identity = identityOf(uuid_);
    int linger = 0;
    zmq_setsockopt(mailbox, ZMQ_ROUTING_ID, identity.data(), identity.size());
    zmq_setsockopt(mailbox, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(mailbox, ZMQ_SNDHWM, &kMailboxHwm, sizeof kMailboxHwm);
    if (curve_ && !secure(mailbox, serverKey))
        return false;
    if (serverKey)
        peer.serverKey = *serverKey;
    if (zmq_connect(mailbox, peer.endpoint.c_str()) != 0) {
        log_.warn("cannot connect to %s: %s", peer.endpoint.c_str(), zmq_strerror(errno));
        return false;
    }
    return true;
}

bool Mailboxes::canTake(const Peer& peer)
{
    int events = 0;
    size_t size = sizeof events;
    return peer.mailbox && zmq_getsockopt(peer.mailbox, ZMQ_EVENTS, &events, &size) == 0 && (events & ZMQ_POLLOUT);
}

bool Mailboxes::secure(void* handle, const CurveKey* serverKey)
{
    if (!serverKey || zmq_setsockopt(handle, ZMQ_CURVE_SERVERKEY, serverKey->data(), serverKey->size()) != 0 ||
        zmq_setsockopt(handle, ZMQ_CURVE_PUBLICKEY, curve_->publicKey.data(), curve_->publicKey.size()) != 0 ||
        zmq_setsockopt(handle, ZMQ_CURVE_SECRETKEY, curve_->secretKey.data(), curve_->secretKey.size()) != 0) {
        log_.warn("cannot secure a mailbox: %s", zmq_strerror(errno));
        return false;
    }
    return true;
}

SendOutcome Mailboxes::trySend(Peer& peer, Message message, Parts* content, size_t from)
{
    message.sequence = uint16_t(peer.sentSequence + 1);
    if (!encodeMessageInto(message, encoded_))
        return SendOutcome::Failed;
    void* handle = peer.mailbox;
    bool more = content && content->size() > from;
    if (zmq_send(handle, encoded_.data(), encoded_.size(), ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
        if (errno == EAGAIN)
            return SendOutcome::Full;
        log_.warn("peer %s dropped: cannot send to it (%s)", peer.uuidText.c_str(), zmq_strerror(errno));
        return SendOutcome::Failed;
    }
    ++peer.sentSequence;
    noteSent(peer, message.id);
    // The rest of a message whose first frame was taken is never refused for room.
    return !more || content->sendCopies(handle, from) ? SendOutcome::Sent : SendOutcome::Failed;
}

bool Mailboxes::send(Peer& peer, const Message& message, Parts* content, size_t from)
{
    if (peer.backlog.empty()) {
        SendOutcome outcome = trySend(peer, message, content, from);
        if (outcome != SendOutcome::Full)
            return outcome == SendOutcome::Sent;
    }
    return queue(peer, message, content, from);
}

bool Mailboxes::queue(Peer& peer, const Message& message, Parts* content, size_t from)
{
    Outgoing out;
    out.message = message;
    size_t frames = content && content->size() > from ? content->size() - from : 0;
    out.bytes = sizeof(Outgoing) + frames * kFrameOverhead + (frames ? out.content.addCopies(*content, from) : 0);
    bool fits = peer.backlog.size() < kMaxBacklog && peer.backlogBytes + out.bytes <= kMaxBacklogBytes &&
                backlogBytes_ + out.bytes <= kMaxBacklogBytesInAll;
    if (!fits) {
        log_.warn("peer %s dropped: it does not read, and %zu messages (%zu bytes) for it wait beyond its mailbox",
                  peer.uuidText.c_str(), peer.backlog.size() + 1, peer.backlogBytes + out.bytes);
        return false;
    }
    if (peer.backlog.empty()) {
        peer.stuckSince = now();
        backlogged_.push_back(peer.uuid);
    }
    peer.backlogBytes += out.bytes;
    backlogBytes_ += out.bytes;
    if (message.id == MessageId::Ping)
        ++peer.pingsQueued;
    peer.backlog.push_back(std::move(out));
    return true;
}

std::vector<Uuid> Mailboxes::flush(PeerTable& peers, int64_t t)
{
    std::vector<Uuid> drop;
    std::vector<Uuid> waiting;
    for (const Uuid& uuid : backlogged_) {
        Peer* peer = peers.find(uuid);
        if (!peer || peer->backlog.empty())
            continue;
        if (!drain(*peer, t))
            drop.push_back(uuid);
        else if (!peer->backlog.empty())
            waiting.push_back(uuid);
    }
    backlogged_.swap(waiting);
    return drop;
}

bool Mailboxes::drain(Peer& peer, int64_t t)
{
    while (!peer.backlog.empty()) {
        Outgoing& out = peer.backlog.front();
        SendOutcome outcome = trySend(peer, out.message, &out.content, 0);
        if (outcome == SendOutcome::Failed)
            return false;
        if (outcome == SendOutcome::Full)
            break;
        peer.stuckSince = t;
        peer.backlogBytes -= out.bytes;
        backlogBytes_ -= out.bytes;
        if (out.message.id == MessageId::Ping)
            --peer.pingsQueued;
        peer.backlog.pop_front();
    }
    if (peer.backlog.empty() || t - peer.stuckSince < kFullMailboxWaitMs)
        return true;
    log_.warn("peer %s dropped: its mailbox stayed full (%d messages, %zu more waiting) for %lld ms",
              peer.uuidText.c_str(), kMailboxHwm, peer.backlog.size(), static_cast<long long>(kFullMailboxWaitMs));
    return false;
}

void Mailboxes::forget(Peer& peer)
{
    backlogBytes_ -= peer.backlogBytes;
    peer.backlogBytes = 0;
    peer.backlog.clear();
    peer.pingsQueued = 0;
    backlogged_.erase(std::remove(backlogged_.begin(), backlogged_.end(), peer.uuid), backlogged_.end());
}

void Mailboxes::noteSent(Peer& peer, MessageId id)
{
    if (id == MessageId::Ping) {
        ++peer.pingsUnanswered;
        peer.pingSentAt = now();
        peer.unconfirmed = false;
    } else if (id != MessageId::PingOk && id != MessageId::Hello) {
        peer.unconfirmed = true;
    }
}

void Mailboxes::noteClosed(const std::string& endpoint)
{
    int64_t t = now();
    for (auto it = closedAt_.begin(); it != closedAt_.end();)
        it = t - it->second >= kReconnectPauseMs ? closedAt_.erase(it) : std::next(it);
    if (closedAt_.size() < kMaxClosed)
        closedAt_[endpoint] = t;
}

bool Mailboxes::recentlyClosed(const std::string& endpoint) const
{
    auto it = closedAt_.find(endpoint);
    return it != closedAt_.end() && now() - it->second < kReconnectPauseMs;
}

}  // namespace zre
