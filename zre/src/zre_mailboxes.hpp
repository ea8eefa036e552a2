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
    // Unsent messages a mailbox (libzmq's queue) may hold. Kept small
    // because libzmq hands room back to a full queue in halves of it: a
    // mailbox of 100,000 made a reader slower than 50,000 messages a second
    // look unreachable.
    static constexpr int kMailboxHwm = 1000;
    // Beyond the mailbox, messages wait in the peer's backlog, never the
    // sending thread: at most kMaxBacklog messages and kMaxBacklogBytes per
    // peer, and kMaxBacklogBytesInAll over all peers (content bytes plus
    // what a queued message and its frames cost: sizeof(Outgoing) and
    // kFrameOverhead a frame). Large enough that a sender faster than an
    // honest reader for a burst of some 100,000 small messages loses none. A send that
    // does not fit drops that peer alone (EXIT, one warning with the count
    // of what it lost), as does a backlog from which nothing went out for
    // kFullMailboxWaitMs: the peer stopped reading.
    static constexpr size_t kMaxBacklog = 100000;
    static constexpr size_t kMaxBacklogBytes = 48 << 20;
    static constexpr size_t kMaxBacklogBytesInAll = 96 << 20;
    static constexpr size_t kFrameOverhead = 64;
    static constexpr int64_t kFullMailboxWaitMs = 1000;
    // While a backlog waits, the node looks for room this often (libzmq
    // does not reliably tell).
    static constexpr int kBacklogRecheckMs = 2;
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
    // Sends, or queues in the peer's backlog behind what waits there
    // already; never waits. False: the peer is to be dropped (logged).
    bool send(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0);
    // Sends what waits in the backlogs as the mailboxes have room; returns
    // the peers to drop (logged): their mailbox failed, or stayed full.
    std::vector<Uuid> flush(PeerTable& peers, int64_t t);
    bool hasBacklog() const { return !backlogged_.empty(); }
    // The mailbox can take a message now: it has a connection, or one being
    // made, with room. False when it is full, and for good once its CURVE
    // handshake was refused (this node's key was not trusted there then):
    // libzmq then neither sends on it nor connects again.
    static bool canTake(const Peer& peer);
    // The peer is going: its backlog no longer counts.
    void forget(Peer& peer);

    // Inboxes take no hand-over of an identity: a new mailbox to an
    // endpoint whose old one (under the same identity) may still be open
    // there waits a little, until the next beacon after kReconnectPauseMs.
    void noteClosed(const std::string& endpoint);
    bool recentlyClosed(const std::string& endpoint) const;
    void clear()
    {
        closedAt_.clear();
        backlogged_.clear();
        backlogBytes_ = 0;
    }

private:
    bool secure(void* handle, const CurveKey* serverKey);
    bool queue(Peer& peer, const Message& message, Parts* content, size_t from);
    // False: the peer is to be dropped.
    bool drain(Peer& peer, int64_t t);
    // A PING answered means everything sent before it was handled.
    static void noteSent(Peer& peer, MessageId id);

    void* context_;
    Uuid uuid_;
    NodeLog& log_;
    const CurveSetup* curve_ = nullptr;
    // Peers whose backlog is not empty, and the bytes of all backlogs.
    std::vector<Uuid> backlogged_;
    size_t backlogBytes_ = 0;
    std::vector<uint8_t> encoded_;                       // first frame of the message being sent
    std::unordered_map<std::string, int64_t> closedAt_;  // endpoint -> when its mailbox closed
};

}  // namespace zre
