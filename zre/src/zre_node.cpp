#include "zre_node.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "zre_iface.hpp"

namespace zre {

namespace {

// A mailbox may hold this many unsent messages before the peer counts as
// unreachable and is dropped.
constexpr int kMailboxHwm = 1000000;
constexpr int kInboxHwm = 1000000;
// Events queued inside the actor while the application does not read.
// Beyond this, message events are dropped (membership events never are).
constexpr size_t kMaxBacklog = 1000000;
constexpr int kMaxDrainBatch = 256;
// At stop, how long to wait for peers to confirm that they have handled
// what was sent to them, and how long the mailboxes may still send after.
constexpr int64_t kStopFlushMs = 300;
constexpr int kStopLingerMs = 300;
// Batches of inbox messages handled before a leaving beacon is acted on.
constexpr int kMaxDrainBeforeLeave = 64;

int64_t now()
{
    return zclock_mono();
}

struct UuidHash {
    size_t operator()(const Uuid& u) const
    {
        size_t h;
        std::memcpy(&h, u.data(), sizeof h);
        return h;
    }
};

struct Peer {
    Uuid uuid{};
    std::string uuidText;
    std::string endpoint;
    zsock_t* mailbox = nullptr;
    bool ready = false;  // said HELLO
    std::string name;
    Headers headers;
    std::set<std::string> groups;
    uint8_t status = 0;
    uint16_t sentSequence = 0;
    uint16_t wantSequence = 0;
    int64_t lastSeen = 0;
    int64_t nextPingAt = 0;
    bool unconfirmed = false;  // sent something since the last PING
    int pingsUnanswered = 0;

    ~Peer() { zsock_destroy(&mailbox); }
};

using PeerPtr = std::unique_ptr<Peer>;

// The frames of one ZeroMQ message, received or to be sent without copying
// their contents. zmq_msg_t holds no pointer into itself, so the vector may
// relocate its elements.
class Parts {
public:
    Parts() { frames_.reserve(8); }
    ~Parts() { clear(); }
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;
    Parts(Parts&& other) noexcept : frames_(std::move(other.frames_)) { other.frames_.clear(); }

    size_t size() const { return frames_.size(); }
    zmq_msg_t& operator[](size_t i) { return frames_[i]; }
    const uint8_t* data(size_t i) { return static_cast<const uint8_t*>(zmq_msg_data(&frames_[i])); }
    size_t bytes(size_t i) { return zmq_msg_size(&frames_[i]); }
    std::string text(size_t i) { return std::string(reinterpret_cast<const char*>(data(i)), bytes(i)); }

    void clear()
    {
        for (auto& f : frames_)
            zmq_msg_close(&f);
        frames_.clear();
    }
    void add(const void* data, size_t size)
    {
        frames_.emplace_back();
        zmq_msg_init_size(&frames_.back(), size);
        if (size)
            std::memcpy(zmq_msg_data(&frames_.back()), data, size);
    }
    void add(const std::string& text) { add(text.data(), text.size()); }
    // Takes over frame `i` of `from` (left empty there).
    void take(Parts& from, size_t i)
    {
        frames_.emplace_back();
        zmq_msg_init(&frames_.back());
        zmq_msg_move(&frames_.back(), &from.frames_[i]);
    }

    // One whole message without waiting; false when none is there.
    bool receive(void* socket)
    {
        clear();
        while (true) {
            frames_.emplace_back();
            zmq_msg_t& f = frames_.back();
            zmq_msg_init(&f);
            if (zmq_msg_recv(&f, socket, frames_.size() == 1 ? ZMQ_DONTWAIT : 0) < 0) {
                zmq_msg_close(&f);
                frames_.pop_back();
                clear();
                return false;
            }
            if (!zmq_msg_more(&f))
                return true;
        }
    }

    // Sends (and empties) frames `from`..end without waiting. False when the
    // first frame would block; the frames are kept then.
    bool send(void* socket, size_t from = 0)
    {
        for (size_t i = from; i < frames_.size(); ++i) {
            int flags = ZMQ_DONTWAIT | (i + 1 < frames_.size() ? ZMQ_SNDMORE : 0);
            if (zmq_msg_send(&frames_[i], socket, flags) < 0) {
                if (i == from)
                    return false;
                break;  // the socket failed in mid-message; nothing to retry
            }
        }
        clear();
        return true;
    }

    // Sends copies of frames `from`..end (shared, not duplicated, when large).
    bool sendCopies(void* socket, size_t from)
    {
        for (size_t i = from; i < frames_.size(); ++i) {
            zmq_msg_t copy;
            zmq_msg_init(&copy);
            zmq_msg_copy(&copy, &frames_[i]);
            int flags = ZMQ_DONTWAIT | (i + 1 < frames_.size() ? ZMQ_SNDMORE : 0);
            if (zmq_msg_send(&copy, socket, flags) < 0) {
                zmq_msg_close(&copy);
                return false;
            }
        }
        return true;
    }

private:
    std::vector<zmq_msg_t> frames_;
};

class Node {
public:
    Node(zsock_t* pipe, zsock_t* outbox, const Uuid& uuid)
        : pipe_(pipe), outbox_(outbox), pipeFd_(zsock_fd(pipe)), outboxFd_(zsock_fd(outbox)), uuid_(uuid),
          uuidText_(uuidToString(uuid))
    {}

    ~Node()
    {
        shutDown(false);
        backlog_.clear();
        zsock_destroy(&outbox_);
    }

    // The descriptor of a ZeroMQ socket signals only that something changed
    // since the socket was last read to the end. So every socket that
    // signalled is read until it has nothing more (or a batch is done, and
    // the loop comes back without waiting); then the loop blocks in one
    // poll() on the bare descriptors. zmq_poll would ask every socket for
    // its events before and after waiting, a handful of system calls per
    // wake-up on the path of every message.
    void run()
    {
        zsock_signal(pipe_, 0);
        while (!terminated_) {
            if (pipeBusy_)
                pipeBusy_ = drainPipe();
            if (terminated_)
                break;
            if (running_ && inboxBusy_)
                drainInbox();
            if (outboxBusy_) {
                outboxBusy_ = false;
                zsock_events(outbox_);  // takes in the reader's progress
                flushBacklog();
            }
            onTimers();
            waitForActivity();
        }
    }

private:
    // ---- polling ---------------------------------------------------------

    void waitForActivity()
    {
        pollfd fds[4];
        int n = 0;
        fds[n++] = {pipeFd_, POLLIN, 0};
        if (running_) {
            fds[n++] = {inboxFd_, POLLIN, 0};
            fds[n++] = {beaconFd_, POLLIN, 0};
        }
        if (!backlog_.empty())
            fds[n++] = {outboxFd_, POLLIN, 0};
        bool busy = pipeBusy_ || (running_ && inboxBusy_);
        int rc = poll(fds, nfds_t(n), busy ? 0 : pollTimeout());
        if (rc <= 0)
            return;  // timeout, or EINTR: the timers are checked again
        const short ready = POLLIN | POLLERR | POLLHUP;
        pipeBusy_ = pipeBusy_ || (fds[0].revents & ready);
        if (running_) {
            inboxBusy_ = inboxBusy_ || (fds[1].revents & ready);
            if (fds[2].revents & ready)
                receiveBeacons();
        }
        if (!backlog_.empty() && (fds[n - 1].revents & ready))
            outboxBusy_ = true;
    }

    int pollTimeout() const
    {
        if (!running_)
            return -1;
        int64_t next = std::min(nextBeaconAt_, nextCheckAt_);
        return int(std::clamp<int64_t>(next - now(), 0, 1000000));
    }

    void onTimers()
    {
        if (!running_)
            return;
        int64_t t = now();
        if (t >= nextBeaconAt_) {
            sendBeacon(inboxPort_);
            nextBeaconAt_ = t + int64_t(config_.interval);
        }
        if (t >= nextCheckAt_) {
            checkPeers(t);
            nextCheckAt_ = t + checkInterval_;
        }
    }

    // ---- commands from the API -------------------------------------------

    // True when a whole batch was handled and more may wait.
    bool drainPipe()
    {
        void* pipe = zsock_resolve(pipe_);
        int handled = 0;
        for (; handled < kMaxDrainBatch && !terminated_; ++handled) {
            if (!command_.receive(pipe))
                break;
            handleCommand(command_);
        }
        command_.clear();
        return handled == kMaxDrainBatch;
    }

    void handleCommand(Parts& msg)
    {
        if (msg.size() == 0)
            return;
        std::string cmd = msg.text(0);
        if (cmd == "$TERM") {
            terminated_ = true;
        } else if (cmd == "START") {
            zsock_signal(pipe_, uint8_t(start(takeConfig(msg)) == 0 ? 0 : 1));
        } else if (cmd == "STOP") {
            shutDown(true);
            zsock_signal(pipe_, 0);
        } else if (msg.size() < 2) {
            return;
        } else if (cmd == "JOIN") {
            join(msg.text(1));
        } else if (cmd == "LEAVE") {
            leave(msg.text(1));
        } else if (cmd == "WHISPER") {
            whisper(msg.text(1), msg);
        } else if (cmd == "SHOUT") {
            shout(msg.text(1), msg);
        }
    }

    static Config takeConfig(Parts& msg)
    {
        Config config;
        if (msg.size() >= 2 && msg.bytes(1) == sizeof(Config*)) {
            Config* given = nullptr;
            std::memcpy(&given, msg.data(1), sizeof given);
            std::unique_ptr<Config> owned(given);
            config = *owned;
        }
        return config;
    }

    // ---- start and stop ------------------------------------------------

    int start(const Config& config)
    {
        if (running_)
            return 0;
        config_ = config;
        auto iface = chooseInterface(config_.interface);
        if (!iface) {
            trace("no usable interface '%s'", config_.interface.c_str());
            return -1;
        }
        iface_ = *iface;
        if (!openInbox() || !openBeacon()) {
            closeSockets();
            return -1;
        }
        int shortest = std::min(config_.evasiveTimeout, config_.expiredTimeout);
        checkInterval_ = std::clamp<int64_t>(shortest / 4, 10, 1000);
        running_ = true;
        nextBeaconAt_ = now();  // first beacon at once
        nextCheckAt_ = now() + checkInterval_;
        trace("started on %s (%s), inbox %s, beacon port %d", iface_.name.c_str(), addressText(iface_.address).c_str(),
              endpoint_.c_str(), config_.port);
        onTimers();
        return 0;
    }

    bool openInbox()
    {
        inbox_ = zsock_new(ZMQ_ROUTER);
        if (!inbox_)
            return false;
        zsock_set_rcvhwm(inbox_, kInboxHwm);
        zsock_set_linger(inbox_, 0);
        // A peer that greets again (after being dropped, or restarted with
        // its UUID) reconnects with the same identity: let it take over.
        zsock_set_router_handover(inbox_, 1);
        std::string address = addressText(iface_.address);
        if (zmq_bind(zsock_resolve(inbox_), ("tcp://" + address + ":*").c_str()) != 0) {
            trace("cannot bind inbox on %s: %s", address.c_str(), zmq_strerror(errno));
            return false;
        }
        char* last = zsock_last_endpoint(inbox_);
        std::string bound = last ? last : "";
        zstr_free(&last);
        size_t colon = bound.rfind(':');
        inboxPort_ = colon == std::string::npos ? 0 : uint16_t(atoi(bound.c_str() + colon + 1));
        endpoint_ = "tcp://" + address + ":" + std::to_string(inboxPort_);
        inboxFd_ = zsock_fd(inbox_);
        inboxBusy_ = true;
        return inboxPort_ != 0;
    }

    bool openBeacon()
    {
        beaconFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (beaconFd_ < 0)
            return false;
        int on = 1;
        setsockopt(beaconFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(beaconFd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        setsockopt(beaconFd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(uint16_t(config_.port));
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(beaconFd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            trace("cannot bind UDP port %d: %s", config_.port, strerror(errno));
            return false;
        }
        return true;
    }

    void closeSockets()
    {
        zsock_destroy(&inbox_);
        inboxFd_ = -1;
        inboxBusy_ = false;
        if (beaconFd_ >= 0)
            close(beaconFd_);
        beaconFd_ = -1;
    }

    void shutDown(bool report)
    {
        if (!running_)
            return;
        std::vector<Uuid> unconfirmed = flushMailboxes();
        sendBeacon(0);  // tells every peer at once that this node leaves
        // What a live peer did not confirm may still go out for a while.
        for (const Uuid& uuid : unconfirmed)
            if (Peer* peer = findPeer(uuid))
                zsock_set_linger(peer->mailbox, kStopLingerMs);
        peers_.clear();
        closeSockets();
        running_ = false;
        if (report) {
            Parts event;
            event.add("STOP");
            event.add(uuidText_);
            event.add(config_.name);
            emit(std::move(event));
        }
        trace("stopped");
    }

    // Peers drop a node at its leaving beacon and ignore what comes after,
    // and UDP may overtake TCP: the beacon waits until the peers that were
    // sent something have answered a PING, which they do only after handling
    // everything sent before it. Bounded, and skipped when nothing was sent.
    // Returns the peers that did not answer in time.
    std::vector<Uuid> flushMailboxes()
    {
        int64_t t = now();
        std::vector<Uuid> waiting;
        for (auto& [uuid, peer] : peers_) {
            bool pending = peer->unconfirmed || peer->pingsUnanswered > 0;
            if (!peer->ready || !pending || t >= peer->lastSeen + config_.evasiveTimeout)
                continue;
            Message ping;
            ping.id = MessageId::Ping;
            if (!peer->unconfirmed || send(*peer, ping))
                waiting.push_back(uuid);
        }
        if (waiting.empty())
            return waiting;
        trace("waiting for %zu peers to confirm", waiting.size());
        int64_t deadline = t + kStopFlushMs;
        void* inbox = zsock_resolve(inbox_);
        while (!waiting.empty()) {
            int64_t left = deadline - now();
            if (left <= 0)
                break;
            zmq_pollitem_t item = {inbox, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, long(left)) < 0 && errno != EINTR)
                break;
            drainInbox();
            waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                         [&](const Uuid& uuid) {
                                             Peer* peer = findPeer(uuid);
                                             return !peer || peer->pingsUnanswered == 0;
                                         }),
                          waiting.end());
        }
        if (!waiting.empty())
            trace("%zu peers did not confirm in time", waiting.size());
        return waiting;
    }

    // ---- discovery -------------------------------------------------------

    void sendBeacon(uint16_t port)
    {
        if (beaconFd_ < 0)
            return;
        BeaconBytes bytes = encodeBeacon(Beacon{uuid_, port});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(config_.port));
        to.sin_addr = iface_.broadcast;
        if (sendto(beaconFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            trace("beacon not sent: %s", strerror(errno));
    }

    void receiveBeacons()
    {
        for (int i = 0; i < kMaxDrainBatch; ++i) {
            uint8_t buffer[64];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = recvfrom(beaconFd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0)
                break;
            auto beacon = parseBeacon(buffer, size_t(n));
            if (!beacon || beacon->uuid == uuid_)
                continue;
            handleBeacon(*beacon, from.sin_addr);
        }
    }

    void handleBeacon(const Beacon& beacon, in_addr sender)
    {
        Peer* peer = findPeer(beacon.uuid);
        if (beacon.port == 0) {
            if (!peer)
                return;
            // What the peer sent before it left may still wait in the inbox.
            for (int i = 0; i < kMaxDrainBeforeLeave && drainInbox() > 0; ++i) {}
            if (findPeer(beacon.uuid)) {
                trace("peer %s leaves", uuidToString(beacon.uuid).c_str());
                removePeer(beacon.uuid, true);
            }
            return;
        }
        if (peer) {
            peer->lastSeen = now();
            return;
        }
        std::string endpoint = "tcp://" + addressText(sender) + ":" + std::to_string(beacon.port);
        dropPeerAt(endpoint);
        connectPeer(beacon.uuid, endpoint);
    }

    // A new UUID on an endpoint that a known peer had: that peer restarted.
    void dropPeerAt(const std::string& endpoint)
    {
        for (auto& [uuid, peer] : peers_) {
            if (peer->endpoint == endpoint) {
                trace("peer %s replaced at %s", peer->uuidText.c_str(), endpoint.c_str());
                removePeer(Uuid(uuid), true);
                return;
            }
        }
    }

    // ---- peers -----------------------------------------------------------

    Peer* findPeer(const Uuid& uuid)
    {
        auto it = peers_.find(uuid);
        return it == peers_.end() ? nullptr : it->second.get();
    }

    // Creates the peer, connects its mailbox and greets it with HELLO.
    Peer* connectPeer(const Uuid& uuid, const std::string& endpoint)
    {
        auto peer = std::make_unique<Peer>();
        peer->uuid = uuid;
        peer->uuidText = uuidToString(uuid);
        peer->endpoint = endpoint;
        peer->lastSeen = now();
        peer->mailbox = zsock_new(ZMQ_DEALER);
        if (!peer->mailbox)
            return nullptr;
        void* handle = zsock_resolve(peer->mailbox);
        auto identity = identityOf(uuid_);
        zmq_setsockopt(handle, ZMQ_ROUTING_ID, identity.data(), identity.size());
        zsock_set_linger(peer->mailbox, 0);
        zsock_set_sndhwm(peer->mailbox, kMailboxHwm);
        if (zmq_connect(handle, endpoint.c_str()) != 0) {
            trace("cannot connect to %s", endpoint.c_str());
            return nullptr;
        }
        trace("connecting to %s at %s", peer->uuidText.c_str(), endpoint.c_str());
        Peer* raw = peer.get();
        peers_[uuid] = std::move(peer);
        if (!send(*raw, hello())) {
            removePeer(uuid, false);
            return nullptr;
        }
        return raw;
    }

    Message hello() const
    {
        Message m;
        m.id = MessageId::Hello;
        m.endpoint = endpoint_;
        m.groups.assign(ownGroups_.begin(), ownGroups_.end());
        m.status = status_;
        m.name = config_.name;
        m.headers.assign(config_.headers.begin(), config_.headers.end());
        return m;
    }

    void removePeer(const Uuid& uuid, bool report)
    {
        auto it = peers_.find(uuid);
        if (it == peers_.end())
            return;
        Peer& peer = *it->second;
        if (report && peer.ready)
            emitPeerEvent("EXIT", peer);
        peers_.erase(it);
    }

    // Sends one message with the peer's next sequence number, followed by
    // copies of the frames `from`.. of `content`, if given.
    bool send(Peer& peer, Message message, Parts* content = nullptr, size_t from = 0)
    {
        noteSent(peer, message.id);
        message.sequence = ++peer.sentSequence;
        auto bytes = encodeMessage(message);
        if (!bytes)
            return false;
        void* handle = zsock_resolve(peer.mailbox);
        bool more = content && content->size() > from;
        if (zmq_send(handle, bytes->data(), bytes->size(), ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
            trace("mailbox of %s is full: %s", peer.uuidText.c_str(), zmq_strerror(errno));
            return false;
        }
        return !more || content->sendCopies(handle, from);
    }

    // A PING answered means everything sent before it was handled.
    static void noteSent(Peer& peer, MessageId id)
    {
        if (id == MessageId::Ping) {
            ++peer.pingsUnanswered;
            peer.unconfirmed = false;
        } else if (id != MessageId::PingOk && id != MessageId::Hello) {
            peer.unconfirmed = true;
        }
    }

    // Sends and drops the peer (EXIT) when its mailbox would block.
    void sendOrDrop(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0)
    {
        if (!send(peer, message, content, from))
            removePeer(Uuid(peer.uuid), true);
    }

    void checkPeers(int64_t t)
    {
        std::vector<Uuid> expired;
        std::vector<Uuid> evasive;
        for (auto& [uuid, peer] : peers_) {
            if (t >= peer->lastSeen + config_.expiredTimeout)
                expired.push_back(uuid);
            else if (peer->ready && t >= peer->lastSeen + config_.evasiveTimeout && t >= peer->nextPingAt)
                evasive.push_back(uuid);
        }
        for (const Uuid& uuid : expired) {
            trace("peer %s expired", uuidToString(uuid).c_str());
            removePeer(uuid, true);
        }
        for (const Uuid& uuid : evasive) {
            Peer* peer = findPeer(uuid);
            if (!peer)
                continue;
            peer->nextPingAt = t + config_.evasiveTimeout;
            emitPeerEvent("EVASIVE", *peer);
            Message ping;
            ping.id = MessageId::Ping;
            sendOrDrop(*peer, ping);
        }
    }

    // ---- groups and messages from the API --------------------------------

    void join(const std::string& group)
    {
        if (!ownGroups_.insert(group).second)
            return;
        announceMembership(MessageId::Join, group);
    }

    void leave(const std::string& group)
    {
        if (ownGroups_.erase(group) == 0)
            return;
        announceMembership(MessageId::Leave, group);
    }

    void announceMembership(MessageId id, const std::string& group)
    {
        ++status_;
        trace("%s %s (status %u)", messageIdName(id), group.c_str(), unsigned(status_));
        Message m;
        m.id = id;
        m.group = group;
        m.status = status_;
        forEachPeer([&](Peer& peer) { return send(peer, m); });
    }

    // `msg` is the command: "WHISPER", uuid, content frames.
    void whisper(const std::string& uuidText, Parts& msg)
    {
        auto uuid = uuidFromString(uuidText);
        Peer* peer = uuid ? findPeer(*uuid) : nullptr;
        if (!peer) {
            trace("whisper to unknown peer %s dropped", uuidText.c_str());
            return;
        }
        Message m;
        m.id = MessageId::Whisper;
        sendOrDrop(*peer, m, &msg, 2);
    }

    // `msg` is the command: "SHOUT", group, content frames.
    void shout(const std::string& group, Parts& msg)
    {
        Message m;
        m.id = MessageId::Shout;
        m.group = group;
        forEachPeer([&](Peer& peer) { return peer.groups.count(group) == 0 || send(peer, m, &msg, 2); });
    }

    // Runs `sendTo` on every peer; peers whose send failed are dropped after.
    template <typename F>
    void forEachPeer(F sendTo)
    {
        std::vector<Uuid> failed;
        for (auto& [uuid, peer] : peers_)
            if (!sendTo(*peer))
                failed.push_back(uuid);
        for (const Uuid& uuid : failed)
            removePeer(uuid, true);
    }

    // ---- inbox -----------------------------------------------------------

    // Handles up to one batch of waiting messages; returns how many.
    int drainInbox()
    {
        if (!inbox_)
            return 0;
        void* inbox = zsock_resolve(inbox_);
        int handled = 0;
        bool empty = false;
        for (; handled < kMaxDrainBatch && running_; ++handled) {
            if (!received_.receive(inbox)) {
                empty = true;
                break;
            }
            handleInbox(received_);
        }
        received_.clear();
        inboxBusy_ = !empty;
        return handled;
    }

    // `msg`: identity, first frame, content frames.
    void handleInbox(Parts& msg)
    {
        std::optional<Uuid> uuid;
        if (msg.size() >= 1)
            uuid = uuidFromIdentity(msg.data(0), msg.bytes(0));
        if (!uuid) {
            trace("message with a bad identity dropped");
            return;
        }
        Message m;
        DecodeError error = DecodeError::Truncated;
        if (msg.size() >= 2)
            error = decodeMessage(msg.data(1), msg.bytes(1), m);
        if (error != DecodeError::None) {
            trace("message from %s dropped: %s", uuidToString(*uuid).c_str(), decodeErrorName(error));
            return;
        }
        if (*uuid == uuid_)
            return;
        if (m.id == MessageId::Hello) {
            handleHello(*uuid, m);
            return;
        }
        Peer* peer = findPeer(*uuid);
        if (!peer || !peer->ready) {
            trace("%s from unknown peer %s ignored", messageIdName(m.id), uuidToString(*uuid).c_str());
            return;
        }
        if (m.sequence != uint16_t(peer->wantSequence + 1)) {
            trace("lost messages from %s (got %u, want %u)", peer->uuidText.c_str(), unsigned(m.sequence),
                  unsigned(uint16_t(peer->wantSequence + 1)));
            removePeer(*uuid, true);
            return;
        }
        peer->wantSequence = m.sequence;
        if (m.id != MessageId::Whisper && m.id != MessageId::Shout)
            trace("%s from %s (seq %u)", messageIdName(m.id), peer->uuidText.c_str(), unsigned(m.sequence));
        peer->lastSeen = now();
        peer->nextPingAt = 0;
        dispatch(*peer, m, msg);
    }

    void handleHello(const Uuid& uuid, const Message& m)
    {
        if (m.sequence != 1 || !isValidEndpoint(m.endpoint)) {
            trace("bad HELLO from %s dropped", uuidToString(uuid).c_str());
            return;
        }
        Peer* peer = findPeer(uuid);
        if (peer && peer->ready) {  // the peer restarted: forget the old one
            trace("peer %s said HELLO again", peer->uuidText.c_str());
            removePeer(uuid, true);
            peer = nullptr;
        }
        if (!peer) {
            dropPeerAt(m.endpoint);
            peer = connectPeer(uuid, m.endpoint);
            if (!peer)
                return;
        }
        peer->ready = true;
        peer->wantSequence = 1;
        peer->lastSeen = now();
        peer->name = m.name;
        peer->headers = m.headers;
        peer->status = m.status;
        peer->endpoint = m.endpoint;
        trace("ENTER %s '%s' at %s", peer->uuidText.c_str(), peer->name.c_str(), m.endpoint.c_str());
        emitEnter(*peer);
        for (const auto& group : m.groups)
            if (peer->groups.insert(group).second)
                emitPeerEvent("JOIN", *peer, &group);
    }

    void dispatch(Peer& peer, const Message& m, Parts& msg)
    {
        switch (m.id) {
            case MessageId::Whisper:
                emitContent("WHISPER", peer, nullptr, msg);
                break;
            case MessageId::Shout:
                if (ownGroups_.count(m.group))
                    emitContent("SHOUT", peer, &m.group, msg);
                break;
            case MessageId::Join:
            case MessageId::Leave:
                changeMembership(peer, m);
                break;
            case MessageId::Ping: {
                Message ok;
                ok.id = MessageId::PingOk;
                sendOrDrop(peer, ok);
                break;
            }
            case MessageId::Goodbye:
                removePeer(Uuid(peer.uuid), true);
                break;
            case MessageId::PingOk:
                if (peer.pingsUnanswered > 0)
                    --peer.pingsUnanswered;
                break;
            case MessageId::Elect:
            case MessageId::Leader:
            case MessageId::Hello:
                break;
        }
    }

    // A status other than the previous plus one means membership messages
    // were missed; the announced change is applied and the counter follows
    // the peer's, since the peer's later messages carry its real state.
    void changeMembership(Peer& peer, const Message& m)
    {
        if (m.status != uint8_t(peer.status + 1))
            trace("status of %s jumps from %u to %u", peer.uuidText.c_str(), unsigned(peer.status), unsigned(m.status));
        peer.status = m.status;
        bool joining = m.id == MessageId::Join;
        bool changed = joining ? peer.groups.insert(m.group).second : peer.groups.erase(m.group) > 0;
        if (changed)
            emitPeerEvent(joining ? "JOIN" : "LEAVE", peer, &m.group);
    }

    // ---- events ----------------------------------------------------------

    static Parts peerEvent(const char* type, const Peer& peer)
    {
        Parts event;
        event.add(type, std::strlen(type));
        event.add(peer.uuidText);
        event.add(peer.name);
        return event;
    }

    void emitPeerEvent(const char* type, const Peer& peer, const std::string* group = nullptr)
    {
        Parts event = peerEvent(type, peer);
        if (group)
            event.add(*group);
        emit(std::move(event));
    }

    void emitEnter(const Peer& peer)
    {
        Parts event = peerEvent("ENTER", peer);
        event.add(peer.endpoint);
        for (const auto& [key, value] : peer.headers) {
            event.add(key);
            event.add(value);
        }
        emit(std::move(event));
    }

    // The content frames (2.. of the received `msg`) move into the event.
    void emitContent(const char* type, const Peer& peer, const std::string* group, Parts& msg)
    {
        if (backlog_.size() >= kMaxBacklog) {
            trace("%s from %s dropped: application does not read events", type, peer.uuidText.c_str());
            return;
        }
        Parts event = peerEvent(type, peer);
        if (group)
            event.add(*group);
        for (size_t i = 2; i < msg.size(); ++i)
            event.take(msg, i);
        emit(std::move(event));
    }

    // Never blocks: events the application has not made room for wait here.
    void emit(Parts&& event)
    {
        if (backlog_.empty() && event.send(zsock_resolve(outbox_)))
            return;
        backlog_.push_back(std::move(event));
    }

    void flushBacklog()
    {
        void* outbox = zsock_resolve(outbox_);
        while (!backlog_.empty() && backlog_.front().send(outbox))
            backlog_.pop_front();
    }

    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!config_.verbose)
            return;
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        fprintf(stderr, "zre %s [%.6s]: %s\n", config_.name.c_str(), uuidText_.c_str(), text);
    }

    zsock_t* pipe_;
    zsock_t* outbox_;
    int pipeFd_;
    int outboxFd_;
    Uuid uuid_;
    std::string uuidText_;
    Config config_;
    Interface iface_;
    bool running_ = false;
    bool terminated_ = false;

    zsock_t* inbox_ = nullptr;
    int inboxFd_ = -1;
    // Sockets that may hold more than their descriptors tell (see run()).
    bool pipeBusy_ = true;
    bool inboxBusy_ = false;
    bool outboxBusy_ = false;
    uint16_t inboxPort_ = 0;
    std::string endpoint_;
    int beaconFd_ = -1;
    int64_t nextBeaconAt_ = 0;
    int64_t nextCheckAt_ = 0;
    int64_t checkInterval_ = 1000;

    std::set<std::string> ownGroups_;
    uint8_t status_ = 0;
    std::unordered_map<Uuid, PeerPtr, UuidHash> peers_;
    std::deque<Parts> backlog_;
    Parts command_;
    Parts received_;
};

}  // namespace

void runNodeActor(zsock_t* pipe, void* args)
{
    auto* given = static_cast<ActorArgs*>(args);
    Node node(pipe, given->outbox, given->uuid);
    node.run();
}

}  // namespace zre
