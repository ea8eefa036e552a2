#include "zre_event_outbox.hpp"

#include "zre_clock.hpp"

namespace zre {

QueuedEvent EventOutbox::eventOf(const char* type, const Peer& peer, const std::string* group)
{
    QueuedEvent event;
    event.type = type;
    event.setPeerUuid(peer.uuidText);
    event.peerName = peer.name;
    event.bytes = kEventOverhead;
    if (group) {
        event.group = *group;
        event.hasGroup = true;
    }
    return event;
}

void EventOutbox::peerEvent(const char* type, const Peer& peer, const std::string* group)
{
    emit(eventOf(type, peer, group));
}

void EventOutbox::enter(const Peer& peer)
{
    QueuedEvent event = eventOf("ENTER", peer, nullptr);
    event.enter = std::make_unique<decltype(event.enter)::element_type>(peer.endpoint, peer.headers);
    for (const auto& [key, value] : peer.headers)
        event.bytes += key.size() + value.size() + kFrameOverhead;
    emit(std::move(event));
}

void EventOutbox::content(const char* type, const Peer& peer, const std::string* group, Parts& msg, size_t from)
{
    QueuedEvent event = eventOf(type, peer, group);
    event.hasContent = true;
    for (size_t i = from; i < msg.size(); ++i) {
        event.bytes += msg.bytes(i) + kFrameOverhead;
        event.content.add(msg[i]);
    }
    emit(std::move(event));
}

void EventOutbox::stop(const std::string& uuidText, const std::string& name)
{
    QueuedEvent event;
    event.type = "STOP";
    event.setPeerUuid(uuidText);
    event.peerName = name;
    event.bytes = kEventOverhead;
    emit(std::move(event));
}

bool EventOutbox::roomForEvents()
{
    bool full = queue_.holdsAtLeast(kPauseReadingEvents, kPauseReadingBytes);
    if (full != readingPaused_)
        log_.trace(full ? "the application is behind with its events: reading paused" : "reading resumed");
    if (readingPaused_ && !full)
        resumedAt_ = now();
    readingPaused_ = full;
    return !full;
}

// Never blocks: up to kMaxQueuedEvents events and kMaxQueuedBytes wait for
// the application; beyond, they are counted and dropped.
void EventOutbox::emit(QueuedEvent&& event)
{
    if (!queue_.push(std::move(event), kMaxQueuedEvents, kMaxQueuedBytes)) {
        if (droppedNow_++ == 0)
            log_.warn("the application does not read events: dropping them");
        if (dropped_)
            dropped_->fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (droppedNow_ > 0) {
        log_.warn("the application reads events again; %llu were dropped",
                  static_cast<unsigned long long>(droppedNow_));
        droppedNow_ = 0;
    }
}

}  // namespace zre
