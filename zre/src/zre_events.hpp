// The events a node hands to the application, and the queue that carries
// them from the node's thread to the application's.
#pragma once

#include <czmq.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// A UUID as text: 32 hexadecimal characters and the terminating zero.
using UuidText = char[33];

namespace zre {

// The content frames of a WHISPER or SHOUT, moved from the inbox without
// copying. The first two (a tagged message) are held in place.
class Content {
public:
    Content() = default;
    ~Content() { clear(); }
    Content(Content&& other) noexcept { takeFrom(other); }
    Content& operator=(Content&& other) noexcept;
    Content(const Content&) = delete;
    Content& operator=(const Content&) = delete;

    size_t size() const { return count_; }
    zmq_msg_t& at(size_t i) { return i < kInline ? inline_[i] : more_[i - kInline]; }
    // Takes over `frame` (left empty).
    void add(zmq_msg_t& frame);
    void clear();

private:
    void takeFrom(Content& other);

    static constexpr size_t kInline = 2;
    zmq_msg_t inline_[kInline];
    // zmq_msg_t holds no pointer into itself, so the vector may relocate it.
    std::vector<zmq_msg_t> more_;
    size_t count_ = 0;
};

}  // namespace zre

// One event as zyre_event_new() returns it.
struct _zyre_event_t {
    const char* type = "";  // a string literal
    UuidText peerUuid = {};
    std::string peerName;
    std::string peerAddr;
    std::string group;
    bool hasAddr = false;
    bool hasGroup = false;
    zhash_t* headers = nullptr;  // ENTER only
    // WHISPER and SHOUT: the frames as they came, until zyre_event_msg()
    // first asks for them as a zmsg_t (a copy of each frame, made then).
    bool hasContent = false;
    zre::Content content;
    zmsg_t* msg = nullptr;

    _zyre_event_t() = default;
    _zyre_event_t(const _zyre_event_t&) = delete;
    _zyre_event_t& operator=(const _zyre_event_t&) = delete;
    ~_zyre_event_t()
    {
        zhash_destroy(&headers);
        zmsg_destroy(&msg);
    }
};

namespace zre {

// An event as the node's thread queues it: plain data, made into a
// zyre_event_t on the reading thread. So the allocations of an event are
// made and freed on one thread, and the node's thread makes none for a
// WHISPER or SHOUT of up to two frames.
struct QueuedEvent {
    const char* type = "";  // a string literal
    UuidText peerUuid = {};
    std::string peerName;
    std::string group;
    bool hasGroup = false;
    // ENTER: the peer's address and headers.
    std::unique_ptr<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> enter;
    bool hasContent = false;  // WHISPER and SHOUT
    Content content;
    size_t bytes = 0;  // what it counts against the queue's bound

    void setPeerUuid(const std::string& text);
};

// Events wait in a queue under a lock, not as messages in a socket: one
// hand-over per event instead of a message of up to a dozen frames each
// way. The queue is fair between peers: a peer with kPromptShare events
// unread has its further ones queued in a second lane, read only while
// the first is empty, so a peer that floods the node does not hold up
// the others' events behind its own (each peer's events keep their
// order). The application still polls a ZeroMQ socket: it holds one token
// message exactly while the queue holds an event, so it is readable then
// and only then (level-triggered, as zmq_poll and ZMQ_EVENTS expect).
// One exception saves the token's hand-over (a few system calls each way)
// where nobody waits for it: events the reading thread queues itself, in
// a direct read of the inbox, while signalling is off; that thread takes
// them next, and a take that leaves events unsignalled sends the token.
// One thread reads (zyre_event_new), as with any ZeroMQ socket.
class EventQueue {
public:
    // Unread events of one peer beyond which its events go to the second
    // lane (a batch of the inbox).
    static constexpr uint32_t kPromptShare = 256;

    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Whether the sockets could be made.
    bool ok() const { return front_ && back_; }
    // The application's socket, and its ZMQ_FD.
    zsock_t* socket() const { return front_; }
    int descriptor() const { return fd_; }
    // The reader saw descriptor() signal: libzmq's commands wait there, and
    // the next eventWaiting() that finds no event takes them.
    void descriptorSignalled();

    // Queues `event` unless `maxEvents` events or `maxBytes` bytes already
    // wait (one event always fits into an empty queue). False when refused.
    bool push(QueuedEvent&& event, size_t maxEvents, size_t maxBytes);
    // Whether at least `events` events or `bytes` bytes wait.
    bool holdsAtLeast(size_t events, size_t bytes);
    // For the reading thread: whether an event waits. When none does, the
    // socket is also made to signal the next one: libzmq signals a message
    // only to a reader that found its pipe empty since its last read, so
    // after a token was taken one look at ZMQ_EVENTS is due.
    bool eventWaiting();
    // Off: push() leaves the socket unsignalled (the reading thread, about
    // to read the inbox itself and then the queue, turns it off around
    // that read). Events the node's thread queues meanwhile go unsignalled
    // too; the reader takes them with its own.
    void setSignalling(bool on);
    // The next event; with `wait`, waits for it. Null when none is there
    // (without `wait`) or the wait was interrupted.
    _zyre_event_t* pop(bool wait);

private:
    // One lane of events, first in first out. The node appends to
    // `incoming`; the reader takes a whole batch at a time by swapping it
    // with `batch`, so that neither allocates per event once both have
    // grown.
    struct Lane {
        std::vector<QueuedEvent> incoming;
        std::vector<QueuedEvent> batch;
        size_t next = 0;  // first untaken event of batch
        bool take(QueuedEvent& out);
        void clear();
    };
    // A peer's unread events in each lane.
    struct Unread {
        uint32_t prompt = 0;
        uint32_t crowded = 0;
    };
    using PeerKey = std::array<char, sizeof(UuidText) - 1>;
    struct PeerKeyHash {
        size_t operator()(const PeerKey& key) const
        {
            return std::hash<std::string_view>()(std::string_view(key.data(), key.size()));
        }
    };
    static PeerKey keyOf(const QueuedEvent& event);
    // The entry of the event's peer (made if missing). Under lock_.
    Unread& unreadOf(const QueuedEvent& event);
    // Drops the entries of peers with nothing unread.
    void sweepUnread();

    bool takeNext(QueuedEvent& out);
    bool sendToken();
    bool receiveToken();
    static _zyre_event_t* build(QueuedEvent& queued);

    zsock_t* front_ = nullptr;  // application side
    zsock_t* back_ = nullptr;   // node side
    int fd_ = -1;               // front_'s ZMQ_FD
    std::mutex lock_;
    Lane prompt_;   // events of peers within their share
    Lane crowded_;  // the rest, read while prompt_ is empty
    // Peers with unread events, and some without: at most kKeptPeers
    // entries or two per unread event, whichever is more.
    static constexpr size_t kKeptPeers = 256;
    std::unordered_map<PeerKey, Unread, PeerKeyHash> unread_;
    PeerKey cachedKey_{};       // the peer of the last look-up
    Unread* cached_ = nullptr;  // its entry in unread_
    size_t waiting_ = 0;
    size_t bytes_ = 0;
    bool signalled_ = false;  // the token was sent and not yet taken back
    bool signalling_ = true;  // push() sends the token
    bool armed_ = false;      // the reader found the pipe empty since it last took a token
};

}  // namespace zre
