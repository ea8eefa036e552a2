#include "zre_node.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

int64_t now() { return zclock_mono(); }

struct UuidHash {
    size_t operator()(const Uuid& u) const {
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

    ~Peer() { zsock_destroy(&mailbox); }
};

using PeerPtr = std::unique_ptr<Peer>;

// Sends every frame of `msg` (which stays owned by the caller) without
// blocking. False when the first frame would block or the socket fails.
bool sendFrames(zsock_t* sock, zmsg_t* msg, bool moreBefore) {
    void* handle = zsock_resolve(sock);
    (void)moreBefore;
    size_t count = zmsg_size(msg);
    size_t index = 0;
    for (zframe_t* f = zmsg_first(msg); f; f = zmsg_next(msg), ++index) {
        int flags = ZMQ_DONTWAIT | (index + 1 < count ? ZMQ_SNDMORE : 0);
        if (zmq_send(handle, zframe_data(f), zframe_size(f), flags) < 0) return false;
    }
    return true;
}

class Node {
public:
    Node(zsock_t* pipe, zsock_t* outbox, const Uuid& uuid)
        : pipe_(pipe), outbox_(outbox), uuid_(uuid), uuidText_(uuidToString(uuid)) {}

    ~Node() {
        shutDown(false);
        for (zmsg_t* msg : backlog_) zmsg_destroy(&msg);
        zsock_destroy(&outbox_);
    }

    void run() {
        zsock_signal(pipe_, 0);
        while (!terminated_) {
            zmq_pollitem_t items[4];
            int count = pollItems(items);
            int rc = zmq_poll(items, count, pollTimeout());
            if (rc < 0 && errno != EINTR) break;
            if (items[0].revents & ZMQ_POLLIN) drainPipe();
            if (terminated_) break;
            for (int i = 1; i < count; ++i) {
                if (!items[i].revents) continue;
                if (items[i].socket == zsock_resolve(outbox_)) flushBacklog();
                else if (items[i].socket != nullptr) drainInbox();
                else receiveBeacons();
            }
            onTimers();
        }
    }

private:
    // ---- polling ---------------------------------------------------------

    int pollItems(zmq_pollitem_t* items) {
        int n = 0;
        items[n++] = {zsock_resolve(pipe_), 0, ZMQ_POLLIN, 0};
        if (running_) {
            items[n++] = {zsock_resolve(inbox_), 0, ZMQ_POLLIN, 0};
            items[n++] = {nullptr, beaconFd_, ZMQ_POLLIN, 0};
        }
        if (!backlog_.empty()) items[n++] = {zsock_resolve(outbox_), 0, ZMQ_POLLOUT, 0};
        return n;
    }

    long pollTimeout() const {
        if (!running_) return -1;
        int64_t next = std::min(nextBeaconAt_, nextCheckAt_);
        return long(std::max<int64_t>(0, next - now()));
    }

    void onTimers() {
        if (!running_) return;
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

    void drainPipe() {
        for (int i = 0; i < kMaxDrainBatch && !terminated_; ++i) {
            if (!(zsock_events(pipe_) & ZMQ_POLLIN)) break;
            zmsg_t* msg = zmsg_recv(pipe_);
            if (!msg) {
                terminated_ = true;
                break;
            }
            handleCommand(msg);
            zmsg_destroy(&msg);
        }
    }

    void handleCommand(zmsg_t* msg) {
        char* command = zmsg_popstr(msg);
        if (!command) return;
        std::string cmd = command;
        zstr_free(&command);
        if (cmd == "$TERM") {
            terminated_ = true;
        } else if (cmd == "START") {
            zsock_signal(pipe_, uint8_t(start(takeConfig(msg)) == 0 ? 0 : 1));
        } else if (cmd == "STOP") {
            shutDown(true);
            zsock_signal(pipe_, 0);
        } else if (cmd == "JOIN" || cmd == "LEAVE") {
            char* group = zmsg_popstr(msg);
            if (group) cmd == "JOIN" ? join(group) : leave(group);
            zstr_free(&group);
        } else if (cmd == "WHISPER") {
            char* peer = zmsg_popstr(msg);
            if (peer) whisper(peer, msg);
            zstr_free(&peer);
        } else if (cmd == "SHOUT") {
            char* group = zmsg_popstr(msg);
            if (group) shout(group, msg);
            zstr_free(&group);
        }
    }

    static Config takeConfig(zmsg_t* msg) {
        zframe_t* frame = zmsg_pop(msg);
        Config config;
        if (frame && zframe_size(frame) == sizeof(Config*)) {
            Config* given = nullptr;
            std::memcpy(&given, zframe_data(frame), sizeof given);
            std::unique_ptr<Config> owned(given);
            config = *owned;
        }
        zframe_destroy(&frame);
        return config;
    }

    // ---- start and stop ------------------------------------------------

    int start(const Config& config) {
        if (running_) return 0;
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
        trace("started on %s (%s), inbox %s, beacon port %d", iface_.name.c_str(),
              addressText(iface_.address).c_str(), endpoint_.c_str(), config_.port);
        onTimers();
        return 0;
    }

    bool openInbox() {
        inbox_ = zsock_new(ZMQ_ROUTER);
        if (!inbox_) return false;
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
        return inboxPort_ != 0;
    }

    bool openBeacon() {
        beaconFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (beaconFd_ < 0) return false;
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

    void closeSockets() {
        zsock_destroy(&inbox_);
        if (beaconFd_ >= 0) close(beaconFd_);
        beaconFd_ = -1;
    }

    void shutDown(bool report) {
        if (!running_) return;
        sendBeacon(0);  // tells every peer at once that this node leaves
        peers_.clear();
        closeSockets();
        running_ = false;
        ownGroups_.clear();
        if (report) {
            zmsg_t* event = zmsg_new();
            zmsg_addstr(event, "STOP");
            zmsg_addstr(event, uuidText_.c_str());
            zmsg_addstr(event, config_.name.c_str());
            emit(event);
        }
        trace("stopped");
    }

    // ---- discovery -------------------------------------------------------

    void sendBeacon(uint16_t port) {
        if (beaconFd_ < 0) return;
        BeaconBytes bytes = encodeBeacon(Beacon{uuid_, port});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(config_.port));
        to.sin_addr = iface_.broadcast;
        if (sendto(beaconFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) < 0)
            trace("beacon not sent: %s", strerror(errno));
    }

    void receiveBeacons() {
        for (int i = 0; i < kMaxDrainBatch; ++i) {
            uint8_t buffer[64];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = recvfrom(beaconFd_, buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) break;
            auto beacon = parseBeacon(buffer, size_t(n));
            if (!beacon || beacon->uuid == uuid_) continue;
            handleBeacon(*beacon, from.sin_addr);
        }
    }

    void handleBeacon(const Beacon& beacon, in_addr sender) {
        Peer* peer = findPeer(beacon.uuid);
        if (beacon.port == 0) {
            if (peer) {
                trace("peer %s leaves", peer->uuidText.c_str());
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
    void dropPeerAt(const std::string& endpoint) {
        for (auto& [uuid, peer] : peers_) {
            if (peer->endpoint == endpoint) {
                trace("peer %s replaced at %s", peer->uuidText.c_str(), endpoint.c_str());
                removePeer(Uuid(uuid), true);
                return;
            }
        }
    }

    // ---- peers -----------------------------------------------------------

    Peer* findPeer(const Uuid& uuid) {
        auto it = peers_.find(uuid);
        return it == peers_.end() ? nullptr : it->second.get();
    }

    // Creates the peer, connects its mailbox and greets it with HELLO.
    Peer* connectPeer(const Uuid& uuid, const std::string& endpoint) {
        auto peer = std::make_unique<Peer>();
        peer->uuid = uuid;
        peer->uuidText = uuidToString(uuid);
        peer->endpoint = endpoint;
        peer->lastSeen = now();
        peer->mailbox = zsock_new(ZMQ_DEALER);
        if (!peer->mailbox) return nullptr;
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
        if (!send(*raw, hello(), nullptr)) {
            removePeer(uuid, false);
            return nullptr;
        }
        return raw;
    }

    Message hello() const {
        Message m;
        m.id = MessageId::Hello;
        m.endpoint = endpoint_;
        m.groups.assign(ownGroups_.begin(), ownGroups_.end());
        m.status = status_;
        m.name = config_.name;
        m.headers.assign(config_.headers.begin(), config_.headers.end());
        return m;
    }

    void removePeer(const Uuid& uuid, bool report) {
        auto it = peers_.find(uuid);
        if (it == peers_.end()) return;
        Peer& peer = *it->second;
        if (report && peer.ready) emitPeerEvent("EXIT", peer);
        peers_.erase(it);
    }

    // Sends one message with the peer's next sequence number. `content`
    // stays owned by the caller.
    bool send(Peer& peer, Message message, zmsg_t* content) {
        message.sequence = ++peer.sentSequence;
        auto bytes = encodeMessage(message);
        if (!bytes) return false;
        void* handle = zsock_resolve(peer.mailbox);
        bool more = content && zmsg_size(content) > 0;
        if (zmq_send(handle, bytes->data(), bytes->size(), ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
            trace("mailbox of %s is full: %s", peer.uuidText.c_str(), zmq_strerror(errno));
            return false;
        }
        return !more || sendFrames(peer.mailbox, content, true);
    }

    // Sends and drops the peer (EXIT) when its mailbox would block.
    void sendOrDrop(Peer& peer, const Message& message, zmsg_t* content = nullptr) {
        if (!send(peer, message, content)) removePeer(Uuid(peer.uuid), true);
    }

    void checkPeers(int64_t t) {
        std::vector<Uuid> expired;
        std::vector<Uuid> evasive;
        for (auto& [uuid, peer] : peers_) {
            if (t >= peer->lastSeen + config_.expiredTimeout) expired.push_back(uuid);
            else if (peer->ready && t >= peer->lastSeen + config_.evasiveTimeout &&
                     t >= peer->nextPingAt)
                evasive.push_back(uuid);
        }
        for (const Uuid& uuid : expired) {
            trace("peer %s expired", uuidToString(uuid).c_str());
            removePeer(uuid, true);
        }
        for (const Uuid& uuid : evasive) {
            Peer* peer = findPeer(uuid);
            peer->nextPingAt = t + config_.evasiveTimeout;
            emitPeerEvent("EVASIVE", *peer);
            Message ping;
            ping.id = MessageId::Ping;
            sendOrDrop(*peer, ping);
        }
    }

    // ---- groups and messages from the API --------------------------------

    void join(const std::string& group) {
        if (!ownGroups_.insert(group).second) return;
        announceMembership(MessageId::Join, group);
    }

    void leave(const std::string& group) {
        if (ownGroups_.erase(group) == 0) return;
        announceMembership(MessageId::Leave, group);
    }

    void announceMembership(MessageId id, const std::string& group) {
        ++status_;
        trace("%s %s (status %u)", messageIdName(id), group.c_str(), unsigned(status_));
        Message m;
        m.id = id;
        m.group = group;
        m.status = status_;
        forEachPeer([&](Peer& peer) { return send(peer, m, nullptr); });
    }

    void whisper(const std::string& uuidText, zmsg_t* content) {
        auto uuid = uuidFromString(uuidText);
        Peer* peer = uuid ? findPeer(*uuid) : nullptr;
        if (!peer) {
            trace("whisper to unknown peer %s dropped", uuidText.c_str());
            return;
        }
        Message m;
        m.id = MessageId::Whisper;
        sendOrDrop(*peer, m, content);
    }

    void shout(const std::string& group, zmsg_t* content) {
        trace("shout to %s", group.c_str());
        Message m;
        m.id = MessageId::Shout;
        m.group = group;
        forEachPeer([&](Peer& peer) {
            return peer.groups.count(group) == 0 || send(peer, m, content);
        });
    }

    // Runs `sendTo` on every peer; peers whose send failed are dropped after.
    template <typename F>
    void forEachPeer(F sendTo) {
        std::vector<Uuid> failed;
        for (auto& [uuid, peer] : peers_)
            if (!sendTo(*peer)) failed.push_back(uuid);
        for (const Uuid& uuid : failed) removePeer(uuid, true);
    }

    // ---- inbox -----------------------------------------------------------

    void drainInbox() {
        for (int i = 0; i < kMaxDrainBatch && running_; ++i) {
            if (!(zsock_events(inbox_) & ZMQ_POLLIN)) break;
            zmsg_t* msg = zmsg_recv(inbox_);
            if (!msg) break;
            handleInbox(msg);
            zmsg_destroy(&msg);
        }
    }

    void handleInbox(zmsg_t* msg) {
        zframe_t* identity = zmsg_pop(msg);
        zframe_t* first = zmsg_pop(msg);
        std::optional<Uuid> uuid;
        if (identity) uuid = uuidFromIdentity(zframe_data(identity), zframe_size(identity));
        Message m;
        DecodeError error = DecodeError::Truncated;
        if (uuid && first) error = decodeMessage(zframe_data(first), zframe_size(first), m);
        zframe_destroy(&identity);
        zframe_destroy(&first);
        if (!uuid) {
            trace("message with a bad identity dropped");
            return;
        }
        if (error != DecodeError::None) {
            trace("message from %s dropped: %s", uuidToString(*uuid).c_str(), decodeErrorName(error));
            return;
        }
        if (*uuid == uuid_) return;
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
            trace("lost messages from %s (got %u, want %u)", peer->uuidText.c_str(),
                  unsigned(m.sequence), unsigned(uint16_t(peer->wantSequence + 1)));
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

    void handleHello(const Uuid& uuid, const Message& m) {
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
            if (!peer) return;
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
            if (peer->groups.insert(group).second) emitPeerEvent("JOIN", *peer, &group);
    }

    void dispatch(Peer& peer, const Message& m, zmsg_t* content) {
        switch (m.id) {
        case MessageId::Whisper:
            emitContent("WHISPER", peer, nullptr, content);
            break;
        case MessageId::Shout:
            if (ownGroups_.count(m.group)) emitContent("SHOUT", peer, &m.group, content);
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
        case MessageId::Elect:
        case MessageId::Leader:
        case MessageId::Hello:
            break;
        }
    }

    // A status other than the previous plus one means membership messages
    // were missed; the announced change is applied and the counter follows
    // the peer's, since the peer's later messages carry its real state.
    void changeMembership(Peer& peer, const Message& m) {
        if (m.status != uint8_t(peer.status + 1))
            trace("status of %s jumps from %u to %u", peer.uuidText.c_str(), unsigned(peer.status),
                  unsigned(m.status));
        peer.status = m.status;
        bool joining = m.id == MessageId::Join;
        bool changed = joining ? peer.groups.insert(m.group).second : peer.groups.erase(m.group) > 0;
        if (changed) emitPeerEvent(joining ? "JOIN" : "LEAVE", peer, &m.group);
    }

    // ---- events ----------------------------------------------------------

    zmsg_t* peerEvent(const char* type, const Peer& peer) {
        zmsg_t* event = zmsg_new();
        zmsg_addstr(event, type);
        zmsg_addstr(event, peer.uuidText.c_str());
        zmsg_addmem(event, peer.name.data(), peer.name.size());
        return event;
    }

    void emitPeerEvent(const char* type, const Peer& peer, const std::string* group = nullptr) {
        zmsg_t* event = peerEvent(type, peer);
        if (group) zmsg_addmem(event, group->data(), group->size());
        emit(event);
    }

    void emitEnter(const Peer& peer) {
        zmsg_t* event = peerEvent("ENTER", peer);
        zmsg_addstr(event, peer.endpoint.c_str());
        for (const auto& [key, value] : peer.headers) {
            zmsg_addmem(event, key.data(), key.size());
            zmsg_addmem(event, value.data(), value.size());
        }
        emit(event);
    }

    // Moves the content frames of `content` into the event.
    void emitContent(const char* type, const Peer& peer, const std::string* group, zmsg_t* content) {
        if (backlog_.size() >= kMaxBacklog) {
            trace("%s from %s dropped: application does not read events", type, peer.uuidText.c_str());
            return;
        }
        if (group) zmsg_pushmem(content, group->data(), group->size());
        zmsg_pushmem(content, peer.name.data(), peer.name.size());
        zmsg_pushstr(content, peer.uuidText.c_str());
        zmsg_pushstr(content, type);
        zmsg_t* event = zmsg_new();
        while (zframe_t* f = zmsg_pop(content)) zmsg_append(event, &f);
        emit(event);
    }

    // Never blocks: events the application has not made room for wait here.
    void emit(zmsg_t* event) {
        if (backlog_.empty() && sendFrames(outbox_, event, false)) {
            zmsg_destroy(&event);
            return;
        }
        backlog_.push_back(event);
    }

    void flushBacklog() {
        while (!backlog_.empty()) {
            if (!sendFrames(outbox_, backlog_.front(), false)) return;
            zmsg_destroy(&backlog_.front());
            backlog_.pop_front();
        }
    }

    void trace(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!config_.verbose) return;
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        fprintf(stderr, "zre %s [%.6s]: %s\n", config_.name.c_str(), uuidText_.c_str(), text);
    }

    zsock_t* pipe_;
    zsock_t* outbox_;
    Uuid uuid_;
    std::string uuidText_;
    Config config_;
    Interface iface_;
    bool running_ = false;
    bool terminated_ = false;

    zsock_t* inbox_ = nullptr;
    uint16_t inboxPort_ = 0;
    std::string endpoint_;
    int beaconFd_ = -1;
    int64_t nextBeaconAt_ = 0;
    int64_t nextCheckAt_ = 0;
    int64_t checkInterval_ = 1000;

    std::set<std::string> ownGroups_;
    uint8_t status_ = 0;
    std::unordered_map<Uuid, PeerPtr, UuidHash> peers_;
    std::deque<zmsg_t*> backlog_;
};

}  // namespace

void runNodeActor(zsock_t* pipe, void* args) {
    auto* given = static_cast<ActorArgs*>(args);
    Node node(pipe, given->outbox, given->uuid);
    node.run();
}

}  // namespace zre
