#include "zre_greeting.hpp"

#include <algorithm>

#include "zre_clock.hpp"
#include "zre_groups.hpp"

namespace zre {

void Greeting::handle(const Uuid& uuid, const Message& m, uint32_t source, const std::string& identity, int connection)
{
    if (m.sequence != 1 || !isValidEndpoint(m.endpoint)) {
        log_.trace("bad HELLO from %s dropped", uuidToString(uuid).c_str());
        return;
    }
    if (m.groups.size() > Groups::kMaxGroupsPerPeer) {
        roster_.dropOffender(uuid, "is in %zu groups", m.groups.size());
        return;
    }
    Peer* peer = roster_.find(uuid);
    if (curve_ && !admission_.acceptIdentity(peer, uuid, m, identity))
        return;
    if (peer && peer->ready && !greetAgain(*peer, m, source, identity, connection))
        return;
    // A peer that greets first has shown nothing but that HELLO: it stays
    // pending (counted, expiring) until it answers a PING at the
    // endpoint it announced. One found by its beacon is done now.
    const CurveKey* key = curve_ ? &curve_->trust->byIdentity(identity)->key : nullptr;
    if ((peer = roster_.find(uuid)) != nullptr && key && peer->serverKey != *key) {
        // Found through a beacon that carried another identity's key.
        log_.trace("peer %s proved another key than its beacon's", peer->uuidText.c_str());
        roster_.remove(uuid, false);
        peer = nullptr;
    }
    if (peer && !peer->ready && !Mailboxes::canTake(*peer)) {
        // Only HELLO went out on it: not full but refused (see canTake),
        // as after this node's key was revoked there and trusted again.
        // Made afresh, or our HELLO would never arrive.
        log_.trace("mailbox of pending peer %s is dead: connecting again", peer->uuidText.c_str());
        roster_.remove(uuid, false);
        peer = nullptr;
    }
    bool greetedFirst = !peer;
    if (greetedFirst) {
        // The endpoint in a HELLO is the sender's word: a live peer there
        // is checked, not dropped. The newcomer (a program restarted on
        // that port) is taken if the peer does not answer in time.
        if (Peer* there = roster_.table().atEndpoint(m.endpoint); there && there->ready) {
            log_.trace("HELLO from %s names the endpoint of peer %s: checking it", uuidToString(uuid).c_str(),
                       there->uuidText.c_str());
            there->contender = Contender{uuid, m, source, identity};
            roster_.verify(*there);
            return;
        }
        if (!admission_.admit(source, uuid, roster_.size()))
            return;
        roster_.dropAt(m.endpoint);
        peer = roster_.connect(uuid, m.endpoint, source, key, hello_());
        if (!peer)
            return;
    } else {
        admission_.setPending(*peer, false);
    }
    enter(*peer, m, identity);
    if (greetedFirst && (peer = roster_.find(uuid)) != nullptr)
        roster_.sendOrDrop(*peer, Roster::ping());
}

// A HELLO from a known peer. From another endpoint it claims the
// peer's UUID: the known one stays unless it fails to answer. From the
// same one, the peer dropped us and greets again: the old incarnation
// leaves, and it is greeted afresh over the same mailbox (a new
// connection under our identity could meet the old one still open at
// its inbox and be parked there). Unless this node did just that and the
// HELLO comes on the connection the peer last used: then it is the
// peer's answer to ours (it had not taken our HELLO as one), and
// answering it again would start an endless exchange of HELLOs, each an
// EXIT and ENTER on both sides. A restarted peer connects anew. False:
// nothing more to do now.
bool Greeting::greetAgain(Peer& peer, const Message& m, uint32_t source, const std::string& identity, int connection)
{
    if (peer.endpoint != m.endpoint) {
        log_.warn("HELLO from %s claims the UUID of peer %s at %s: checking it", m.endpoint.c_str(),
                  peer.uuidText.c_str(), peer.endpoint.c_str());
        peer.contender = Contender{Uuid(peer.uuid), m, source, identity};
        roster_.verify(peer);
        return false;
    }
    if (peer.greetedAgain && connection >= 0 && connection == peer.connection) {
        log_.trace("peer %s answered our HELLO", peer.uuidText.c_str());
        peer.greetedAgain = false;
        take(peer, m, identity);
        roster_.heardFrom(peer);
        for (auto it = peer.groups.begin(); it != peer.groups.end();) {
            std::string group = *it++;
            if (std::find(m.groups.begin(), m.groups.end(), group) == m.groups.end()) {
                peer.groups.erase(group);
                outbox_.peerEvent("LEAVE", peer, &group);
            }
        }
        for (const auto& group : m.groups)
            if (peer.groups.insert(group).second)
                outbox_.peerEvent("JOIN", peer, &group);
        return false;
    }
    log_.trace("peer %s said HELLO again", peer.uuidText.c_str());
    outbox_.peerEvent("EXIT", peer);
    peer.ready = false;
    peer.groups.clear();
    peer.verifyDeadline = 0;
    peer.contender.reset();
    peer.pingsUnanswered = 0;
    peer.sentSequence = 0;
    if (!mailboxes_.send(peer, hello_())) {
        roster_.remove(Uuid(peer.uuid), false);
        return false;
    }
    peer.greetedAgain = true;
    return true;
}

// What a HELLO says of its sender: name, headers, status; its next
// message has sequence 2.
void Greeting::take(Peer& peer, const Message& m, const std::string& identity)
{
    peer.identity = identity;
    peer.wantSequence = 1;
    roster_.table().rename(peer, m.name);
    peer.headers = m.headers;
    // Only this node says which identity a peer proved.
    peer.headers.erase(std::remove_if(peer.headers.begin(), peer.headers.end(),
                                      [](const auto& header) { return header.first == kIdentityHeader; }),
                       peer.headers.end());
    if (curve_)
        peer.headers.emplace_back(kIdentityHeader, identity);
    peer.status = m.status;
}

// The peer said HELLO: it is ready, and the application hears of it.
void Greeting::enter(Peer& peer, const Message& m, const std::string& identity)
{
    take(peer, m, identity);
    peer.ready = true;
    peer.lastSeen = now();
    roster_.table().moveTo(peer, m.endpoint);
    log_.trace("ENTER %s '%s' at %s", peer.uuidText.c_str(), peer.name.c_str(), m.endpoint.c_str());
    outbox_.enter(peer);
    for (const auto& group : m.groups)
        if (peer.groups.insert(group).second)
            outbox_.peerEvent("JOIN", peer, &group);
    checkTwins(peer);
}

// A peer entered under a name that others hold: a restarted program
// whose old instance may be dead. The others are checked at once.
void Greeting::checkTwins(const Peer& newcomer)
{
    for (const Uuid& uuid : Admission::twinsOf(roster_.table(), newcomer)) {
        log_.trace("peer %s enters under the name of %s: checking it", newcomer.uuidText.c_str(),
                   uuidToString(uuid).c_str());
        if (Peer* twin = roster_.find(uuid))
            roster_.verify(*twin);
    }
}

}  // namespace zre
