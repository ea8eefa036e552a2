#include "zre_events.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace zre {

namespace {

// A batch vector that grew beyond this many events (a flood the reader fell
// behind on) is released once read, not kept at that size.
constexpr size_t kKeptCapacity = 4096;

}  // namespace

Content& Content::operator=(Content&& other) noexcept
{
    if (this != &other) {
        clear();
        takeFrom(other);
    }
    return *this;
}

void Content::add(zmq_msg_t& frame)
{
    zmq_msg_t* slot;
    if (count_ < kInline) {
        slot = &inline_[count_];
    } else {
        more_.emplace_back();
        slot = &more_.back();
    }
    zmq_msg_init(slot);
    zmq_msg_move(slot, &frame);
    ++count_;
}

void Content::clear()
{
    for (size_t i = 0; i < count_; ++i)
        zmq_msg_close(&at(i));
    more_.clear();
    count_ = 0;
}

void Content::takeFrom(Content& other)
{
    for (size_t i = 0; i < std::min(other.count_, kInline); ++i) {
        zmq_msg_init(&inline_[i]);
        zmq_msg_move(&inline_[i], &other.inline_[i]);
    }
    more_ = std::move(other.more_);
    count_ = other.count_;
    other.more_.clear();
    other.count_ = 0;
}

void QueuedEvent::setPeerUuid(const std::string& text)
{
    size_t n = std::min(text.size(), sizeof peerUuid - 1);
    std::memcpy(peerUuid, text.data(), n);
    peerUuid[n] = '\0';
}

EventQueue::EventQueue()
{
    // The address keeps the name unique even where two copies of this code
    // (each with its own counter) share a process: a program that links the
    // node itself and libcorvo, which holds a copy of its own.
    static std::atomic<unsigned> counter{0};
    char self[32];
    std::snprintf(self, sizeof self, "%p", static_cast<void*>(this));
    std::string endpoint =
        "inproc://zre-events-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + self;
    back_ = zsock_new(ZMQ_PAIR);
    front_ = zsock_new(ZMQ_PAIR);
    if (!back_ || !front_)
        return;
    zsock_set_linger(back_, 0);
    zsock_set_linger(front_, 0);
    if (zsock_bind(back_, "%s", endpoint.c_str()) != 0 || zsock_connect(front_, "%s", endpoint.c_str()) != 0) {
        zsock_destroy(&back_);
        zsock_destroy(&front_);
        return;
    }
    fd_ = zsock_fd(front_);
}

EventQueue::~EventQueue()
{
    prompt_.clear();
    crowded_.clear();
    zsock_destroy(&front_);
    zsock_destroy(&back_);
}

bool EventQueue::push(QueuedEvent&& event, size_t maxEvents, size_t maxBytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (waiting_ > 0 && (waiting_ >= maxEvents || bytes_ + event.bytes > maxBytes))
        return false;
    bytes_ += event.bytes;
    ++waiting_;
    Unread& unread = unreadOf(event);
    // Once in the second lane, a peer stays there until it has nothing
    // unread there: its events keep their order.
    bool crowded = unread.crowded > 0 || unread.prompt >= kPromptShare;
    ++(crowded ? unread.crowded : unread.prompt);
    (crowded ? crowded_ : prompt_).incoming.push_back(std::move(event));
    // A token that could not be sent before is sent with the next event.
    if (!signalled_ && signalling_)
        signalled_ = sendToken();
    return true;
}

bool EventQueue::eventWaiting()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (waiting_ > 0)
        return true;
    // A token whose take failed would keep the descriptor readable for
    // nothing: it is taken now.
    if (signalled_)
        signalled_ = !receiveToken();
    if (!armed_) {
        // No event, so no token: the look finds the pipe empty.
        int events = 0;
        size_t size = sizeof events;
        armed_ = zmq_getsockopt(zsock_resolve(front_), ZMQ_EVENTS, &events, &size) == 0;
    }
    return false;
}

void EventQueue::descriptorSignalled()
{
    std::lock_guard<std::mutex> hold(lock_);
    armed_ = false;
}

void EventQueue::setSignalling(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    signalling_ = on;
}

bool EventQueue::holdsAtLeast(size_t events, size_t bytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_ >= events || bytes_ >= bytes;
}

_zyre_event_t* EventQueue::pop(bool wait)
{
    QueuedEvent next;
    while (!takeNext(next)) {
        if (!wait)
            return nullptr;
        zmq_pollitem_t item = {zsock_resolve(front_), 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, -1) < 0)
            return nullptr;  // interrupted
    }
    return build(next);
}

bool EventQueue::Lane::take(QueuedEvent& out)
{
    if (next == batch.size()) {
        if (batch.capacity() > kKeptCapacity)
            std::vector<QueuedEvent>().swap(batch);
        batch.clear();
        next = 0;
        batch.swap(incoming);
    }
    if (next == batch.size())
        return false;
    out = std::move(batch[next++]);
    return true;
}

void EventQueue::Lane::clear()
{
    incoming.clear();
    batch.clear();
    next = 0;
}

EventQueue::PeerKey EventQueue::keyOf(const QueuedEvent& event)
{
    PeerKey key;
    std::memcpy(key.data(), event.peerUuid, key.size());
    return key;
}

EventQueue::Unread& EventQueue::unreadOf(const QueuedEvent& event)
{
    // A stream comes from one peer: its entry is looked up once. Entries of
    // an unordered_map stay where they are until erased.
    if (cached_ && std::memcmp(cachedKey_.data(), event.peerUuid, cachedKey_.size()) == 0)
        return *cached_;
    cachedKey_ = keyOf(event);
    cached_ = &unread_[cachedKey_];
    return *cached_;
}

void EventQueue::sweepUnread()
{
    for (auto it = unread_.begin(); it != unread_.end();)
        it = it->second.prompt == 0 && it->second.crowded == 0 ? unread_.erase(it) : std::next(it);
    cached_ = nullptr;
}

bool EventQueue::takeNext(QueuedEvent& out)
{
    std::lock_guard<std::mutex> hold(lock_);
    bool crowded = false;
    bool taken = prompt_.take(out);
    if (!taken)
        taken = crowded = crowded_.take(out);
    if (taken) {
        bytes_ -= out.bytes;
        --waiting_;
        Unread& unread = unreadOf(out);
        --(crowded ? unread.crowded : unread.prompt);
        // Entries at zero stay for the peer's next event, and are swept
        // once they are many (a sweep costs about what they took to gather).
        if (unread_.size() > std::max(kKeptPeers, 2 * waiting_))
            sweepUnread();
    }
    // The token leaves the socket with the last event, and comes for the
    // events that a direct read left unsignalled and this take left unread.
    if (waiting_ == 0 && signalled_)
        signalled_ = !receiveToken();
    else if (waiting_ > 0 && !signalled_ && signalling_)
        signalled_ = sendToken();
    return taken;
}

_zyre_event_t* EventQueue::build(QueuedEvent& queued)
{
    auto event = std::make_unique<_zyre_event_t>();
    event->type = queued.type;
    std::memcpy(event->peerUuid, queued.peerUuid, sizeof event->peerUuid);
    event->peerName = std::move(queued.peerName);
    event->group = std::move(queued.group);
    event->hasGroup = queued.hasGroup;
    if (queued.enter) {
        event->peerAddr = std::move(queued.enter->first);
        event->hasAddr = true;
        event->headers = zhash_new();
        zhash_autofree(event->headers);
        for (const auto& [key, value] : queued.enter->second)
            zhash_update(event->headers, key.c_str(), const_cast<char*>(value.c_str()));
    }
    if (queued.hasContent) {
        // Made into a zmsg_t only when asked for (zyre_event_msg).
        event->hasContent = true;
        event->content = std::move(queued.content);
    }
    return event.release();
}

// Both run under lock_. The token is sent by the node's side and received
// by the application's, each socket only while the lock is held.
bool EventQueue::sendToken()
{
    return zmq_send(zsock_resolve(back_), "", 0, ZMQ_DONTWAIT) == 0;
}

bool EventQueue::receiveToken()
{
    char none;
    if (zmq_recv(zsock_resolve(front_), &none, sizeof none, ZMQ_DONTWAIT) < 0)
        return false;
    armed_ = false;
    return true;
}

}  // namespace zre
