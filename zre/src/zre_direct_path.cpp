#include "zre_direct_path.hpp"

#include <algorithm>

#include "zre_clock.hpp"

namespace zre {

namespace {

// The frames of `msg`, taken over into `parts` (emptied first).
void takeFrames(zmsg_t* msg, Parts& parts)
{
    parts.clear();
    while (zframe_t* frame = zmsg_pop(msg))
        parts.adopt(frame);
}

}  // namespace

void DirectPath::whisperNow(const char* uuidText, zmsg_t* msg, BlockedSend& blocked)
{
    auto uuid = uuidFromString(uuidText);
    Peer* peer = uuid ? roster_.find(*uuid) : nullptr;
    if (!peer) {
        log_.trace("whisper to unknown peer %s dropped", uuidText);
        return;
    }
    takeFrames(msg, outgoing_);
    Message m;
    m.id = MessageId::Whisper;
    if (!sendNow(*peer, m, blocked))
        roster_.remove(Uuid(peer->uuid), true);
    keepForBlocked(m, blocked);
}

void DirectPath::shoutNow(const char* group, zmsg_t* msg, BlockedSend& blocked)
{
    takeFrames(msg, outgoing_);
    Message m;
    m.id = MessageId::Shout;
    m.group = group;
    roster_.sendToEach([&](Peer& peer) { return peer.groups.count(m.group) == 0 || sendNow(peer, m, blocked); });
    keepForBlocked(m, blocked);
}

int DirectPath::sendBlocked(BlockedSend& blocked, int64_t deadline)
{
    bool late = now() >= deadline;
    std::vector<Uuid> waiting;
    for (const Uuid& uuid : blocked.peers) {
        Peer* peer = roster_.find(uuid);
        if (!peer)
            continue;  // gone meanwhile
        SendOutcome outcome = mailboxes_.trySend(*peer, blocked.message, &blocked.content, 0);
        if (outcome == SendOutcome::Full && !late) {
            waiting.push_back(uuid);
            continue;
        }
        if (outcome == SendOutcome::Full)
            mailboxes_.warnFull(*peer);
        if (outcome != SendOutcome::Sent)
            roster_.remove(uuid, true);
    }
    blocked.peers.swap(waiting);
    return blockedSignal(blocked);
}

int DirectPath::blockedSignal(BlockedSend& blocked)
{
    auto gone = [&](const Uuid& uuid) { return roster_.find(uuid) == nullptr; };
    blocked.peers.erase(std::remove_if(blocked.peers.begin(), blocked.peers.end(), gone), blocked.peers.end());
    return blocked.peers.empty() ? -1 : Mailboxes::roomSignal(*roster_.find(blocked.peers.front()));
}

bool DirectPath::sendNow(Peer& peer, const Message& message, BlockedSend& blocked)
{
    SendOutcome outcome = mailboxes_.trySend(peer, message, &outgoing_, 0);
    if (outcome == SendOutcome::Full)
        blocked.peers.push_back(peer.uuid);
    return outcome != SendOutcome::Failed;
}

void DirectPath::keepForBlocked(const Message& message, BlockedSend& blocked)
{
    if (blocked.peers.empty()) {
        outgoing_.clear();
        return;
    }
    blocked.message = message;
    blocked.content.swap(outgoing_);
}

}  // namespace zre
