// Mailboxes: the DEALER socket to each peer's inbox, the sequence numbers
// of what goes out on it, and what happens when one is full. Also the pause
// before a mailbox to an endpoint whose old one just closed.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_log.hpp"
#include "zre_parts.hpp"
#include "zre_peer.hpp"

namespace zre {

enum class SendOutcome { Sent, Full, Failed };

class Mailboxes {
public:
    // Unsent messages a mailbox may hold. A send to a full mailbox waits for
    // room, up to kFullMailboxWaitMs; a peer that makes none in that time
    // counts as unreachable and is dropped (reported as EXIT and logged).
    // So a peer that reads more slowly than it is sent to slows the sender
    // down instead of losing messages, and one that stops reading holds it
    // up once, for that long. Kept small because libzmq hands room back to
    // a full queue in halves of it: a mailbox of 100,000 made a reader
    // slower than 50,000 messages a second look unreachable.
    static constexpr int kMailboxHwm = 1000;
    static constexpr int64_t kFullMailboxWaitMs = 1000;
    // While waiting for room, the mailbox's signal is rechecked this often
    // (it tells of libzmq's commands, room among them, but not reliably twice).
    static constexpr int kRoomPollMs = 1;
    // After a mailbox closes, how long before a new one connects to the
    // same endpoint (see noteClosed).
    static constexpr int64_t kReconnectPauseMs = 300;
    // Closed endpoints remembered for that pause, at most.
    static constexpr size_t kMaxClosed = 1000;

    Mailboxes(void* context, const Uuid& uuid, NodeLog& log) : context_(context), uuid_(uuid), log_(log) {}

    // `curve` (kept by the caller) on a secured node.
    void configure(const CurveSetup* curve) { curve_ = curve; }

    // Connects a new mailbox of `peer` to its endpoint; on a secured node
    // `serverKey` is the key the peer's inbox must prove. False: no socket
    // (logged).
    bool open(Peer& peer, const CurveKey* serverKey);

    // Sends one message with the peer's next sequence number, followed by
    // copies of the frames `from`.. of `content`, if given. Full: the
    // mailbox has no room; nothing was sent, and the number is not used.
    SendOutcome trySend(Peer& peer, Message message, Parts* content = nullptr, size_t from = 0);
    // Sends on the node's thread. A full mailbox is waited for, the node
    // standing still meanwhile, but one turn of the node's loop waits at
    // most kFullMailboxWaitMs in all (see startTurn). False: the peer is to
    // be dropped.
    bool send(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0);
    void startTurn(int64_t t) { sendDeadline_ = t + kFullMailboxWaitMs; }
    void warnFull(const Peer& peer);

    // The descriptor that signals, among libzmq's other news of the
    // mailbox, that it has room again; -1 if there is none.
    static int roomSignal(const Peer& peer);
    // Waits up to `maxMs` (at most kRoomPollMs) for `fd` to signal.
    static void waitForSignal(int fd, int64_t maxMs);

    // Inboxes take no hand-over of an identity: a new mailbox to an
    // endpoint whose old one (under the same identity) may still be open
    // there waits a little, until the next beacon after kReconnectPauseMs.
    void noteClosed(const std::string& endpoint);
    bool recentlyClosed(const std::string& endpoint) const;
    void clear() { closedAt_.clear(); }

private:
    bool secure(void* handle, const CurveKey* serverKey);
    // A PING answered means everything sent before it was handled.
    static void noteSent(Peer& peer, MessageId id);

    void* context_;
    Uuid uuid_;
    NodeLog& log_;
    const CurveSetup* curve_ = nullptr;
    int64_t sendDeadline_ = 0;  // when this turn of the loop stops waiting for room
    std::vector<uint8_t> encoded_;  // first frame of the message being sent
    std::unordered_map<std::string, int64_t> closedAt_;  // endpoint -> when its mailbox closed
};

}  // namespace zre
