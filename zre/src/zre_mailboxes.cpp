#include "zre_mailboxes.hpp"

#include <poll.h>

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
    while (true) {
        SendOutcome outcome = trySend(peer, message, content, from);
        if (outcome != SendOutcome::Full)
            return outcome == SendOutcome::Sent;
        int64_t left = sendDeadline_ - now();
        if (left <= 0) {
            warnFull(peer);
            return false;
        }
        waitForSignal(roomSignal(peer), left);
    }
}

void Mailboxes::warnFull(const Peer& peer)
{
    log_.warn("peer %s dropped: its mailbox stayed full (%d messages) for %lld ms", peer.uuidText.c_str(), kMailboxHwm,
              static_cast<long long>(kFullMailboxWaitMs));
}

int Mailboxes::roomSignal(const Peer& peer)
{
    int fd = -1;
    size_t size = sizeof fd;
    return zmq_getsockopt(peer.mailbox, ZMQ_FD, &fd, &size) == 0 ? fd : -1;
}

void Mailboxes::waitForSignal(int fd, int64_t maxMs)
{
    pollfd signal = {fd, POLLIN, 0};
    poll(&signal, 1, int(std::clamp<int64_t>(maxMs, 0, kRoomPollMs)));
}

void Mailboxes::noteSent(Peer& peer, MessageId id)
{
    if (id == MessageId::Ping) {
        ++peer.pingsUnanswered;
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
