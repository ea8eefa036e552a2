#include "zre_roster.hpp"

#include <cstdarg>
#include <cstdio>

#include "zre_clock.hpp"

namespace zre {

Message Roster::ping()
{
    Message m;
    m.id = MessageId::Ping;
    return m;
}

Peer* Roster::connect(const Uuid& uuid, const std::string& endpoint, uint32_t source, const CurveKey* serverKey,
                      const Message& hello)
{
    auto peer = std::make_unique<Peer>();
    peer->uuid = uuid;
    peer->uuidText = uuidToString(uuid);
    peer->endpoint = endpoint;
    peer->source = source;
    peer->createdAt = peer->lastSeen = now();
    if (!mailboxes_.open(*peer, serverKey))
        return nullptr;
    log_.trace("connecting to %s at %s", peer->uuidText.c_str(), endpoint.c_str());
    Peer& added = peers_.add(std::move(peer));
    beacons_.noteNewPeer(added.createdAt);
    admission_.setPending(added, true);
    if (!mailboxes_.send(added, hello)) {
        remove(uuid, false);
        return nullptr;
    }
    return &added;
}

void Roster::remove(const Uuid& uuid, bool report)
{
    Peer* peer = peers_.find(uuid);
    if (!peer)
        return;
    if (report && peer->ready)
        outbox_.peerEvent("EXIT", *peer);
    admission_.setPending(*peer, false);
    mailboxes_.forget(*peer);
    mailboxes_.noteClosed(peer->endpoint);
    peers_.erase(Uuid(uuid));
}

std::optional<Contender> Roster::dropAt(const std::string& endpoint)
{
    Peer* old = peers_.atEndpoint(endpoint);
    if (!old)
        return std::nullopt;
    log_.trace("peer %s replaced at %s", old->uuidText.c_str(), endpoint.c_str());
    std::optional<Contender> contender = std::move(old->contender);
    remove(Uuid(old->uuid), true);
    return contender;
}

void Roster::dropOffender(const Uuid& uuid, const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Peer* peer = peers_.find(uuid);
    log_.warn("peer %s%s%s%s dropped: it %s", uuidToString(uuid).c_str(), peer ? " '" : "",
              peer ? NodeLog::printable(peer->name).c_str() : "", peer ? "'" : "", text);
    remove(uuid, true);
}

void Roster::sendOrDrop(Peer& peer, const Message& message, Parts* content, size_t from)
{
    if (!mailboxes_.send(peer, message, content, from))
        remove(Uuid(peer.uuid), true);
}

void Roster::verify(Peer& peer)
{
    if (admission_.startCheck(peer))
        sendOrDrop(peer, ping());
}

void Roster::checkSilence(int64_t t, int64_t evasiveMs, int64_t expiredMs)
{
    std::vector<Uuid> expired = peers_.select([&](const Peer& peer) {
        return (peer.pending && t >= peer.createdAt + admission_.pendingLifetime(peer)) ||
               t >= peer.lastSeen + expiredMs;
    });
    for (const Uuid& uuid : expired) {
        log_.trace("peer %s expired", uuidToString(uuid).c_str());
        if (const Peer* peer = peers_.find(uuid); peer && peer->pending)
            admission_.forgotWhilePending(*peer);
        remove(uuid, true);
    }
    // A quiet peer is asked before it is judged: a PING at three quarters
    // of the evasive timeout, whose answer (heardFrom) keeps a peer that
    // only has nothing to say, and whose beacons do not reach us, from
    // being reported SILENT. The checks run at least every quarter of it.
    std::vector<Uuid> quiet = peers_.select([&](const Peer& peer) {
        return peer.ready && !peer.probed && !peer.silent && t >= peer.lastSeen + evasiveMs * 3 / 4 &&
               t < peer.lastSeen + evasiveMs;
    });
    for (const Uuid& uuid : quiet) {
        Peer* peer = peers_.find(uuid);
        if (!peer)
            continue;
        peer->probed = true;
        sendOrDrop(*peer, ping());
    }
    std::vector<Uuid> evasive = peers_.select(
        [&](const Peer& peer) { return peer.ready && t >= peer.lastSeen + evasiveMs && t >= peer.nextPingAt; });
    for (const Uuid& uuid : evasive) {
        Peer* peer = peers_.find(uuid);
        if (!peer)
            continue;
        peer->nextPingAt = t + evasiveMs;
        if (!peer->silent) {
            peer->silent = true;
            outbox_.peerEvent("SILENT", *peer);
        }
        outbox_.peerEvent("EVASIVE", *peer);
        sendOrDrop(*peer, ping());
    }
}

}  // namespace zre

namespace zre {

void Roster::heardFrom(Peer& peer)
{
    peer.lastSeen = now();
    peer.nextPingAt = 0;
    peer.probed = false;
    if (!peer.silent)
        return;
    peer.silent = false;
    outbox_.peerEvent("ALIVE", peer);
}

void Roster::connectionClosed(int fd)
{
    std::vector<Uuid> on = peers_.select([&](const Peer& peer) { return peer.ready && peer.connection == fd; });
    for (const Uuid& uuid : on) {
        Peer* peer = peers_.find(uuid);
        peer->connection = -1;
        if (peer->backlog.empty()) {
            log_.trace("connection of peer %s closed: checking it", peer->uuidText.c_str());
            verify(*peer);
        }
    }
}

}  // namespace zre
