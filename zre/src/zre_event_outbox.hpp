// The node's side of the event queue to the application: it builds the
// events of peers, holds them under the queue's bounds, and tells the node
// when to stop reading its inbox because the application is behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "zre_events.hpp"
#include "zre_log.hpp"
#include "zre_parts.hpp"
#include "zre_peer.hpp"

namespace zre {

class EventOutbox {
public:
    // Events (of every kind) waiting for the application to read them, and
    // their total bytes; beyond either, events are dropped and counted
    // (zyre_dropped_events) and a warning is printed.
    static constexpr size_t kMaxQueuedEvents = 110000;
    static constexpr size_t kMaxQueuedBytes = 64 << 20;
    // Before that, at this many events or bytes, the node stops reading its
    // inbox until the application has read some: peers are pushed back
    // (their messages wait in the inbox, then in TCP, then in their
    // mailboxes) instead of events being dropped. The margin up to the
    // bound takes what the messages read in one go may still bring.
    static constexpr size_t kPauseReadingEvents = kMaxQueuedEvents - 10000;
    static constexpr size_t kPauseReadingBytes = kMaxQueuedBytes - (16 << 20);
    // What an event costs beyond its content bytes, for the bound above.
    static constexpr size_t kEventOverhead = 256;
    static constexpr size_t kFrameOverhead = 64;

    EventOutbox(EventQueue& queue, std::atomic<uint64_t>* dropped, NodeLog& log)
        : queue_(queue), dropped_(dropped), log_(log)
    {}

    // EXIT, EVASIVE, SILENT, JOIN and LEAVE (the latter two with `group`).
    void peerEvent(const char* type, const Peer& peer, const std::string* group = nullptr);
    void enter(const Peer& peer);
    // The content frames `from`.. of `msg` move into the event.
    void content(const char* type, const Peer& peer, const std::string* group, Parts& msg, size_t from);
    void stop(const std::string& uuidText, const std::string& name);

    // Whether the application has room for the events of more messages;
    // notes when reading the inbox pauses and resumes.
    bool roomForEvents();
    bool readingPaused() const { return readingPaused_; }
    int64_t resumedAt() const { return resumedAt_; }

private:
    static QueuedEvent eventOf(const char* type, const Peer& peer, const std::string* group);
    void emit(QueuedEvent&& event);

    EventQueue& queue_;
    std::atomic<uint64_t>* dropped_;  // counted for zyre_dropped_events
    NodeLog& log_;
    uint64_t droppedNow_ = 0;            // since dropping began
    bool readingPaused_ = false;         // the application has too many events to read
    int64_t resumedAt_ = INT64_MIN / 2;  // when reading last resumed
};

}  // namespace zre
