#include "zre_node.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "zre_iface.hpp"

namespace zre {

namespace {

// Bounds on what peers and the application can make the node hold. Each is
// listed with its reason in zre/README.md.

// Unsent messages a mailbox may hold. A send to a full mailbox waits for
// room, up to kFullMailboxWaitMs; a peer that makes none in that time
// counts as unreachable and is dropped (reported as EXIT and logged). So a
// peer that reads more slowly than it is sent to slows the sender down
// instead of losing messages, and one that stops reading holds it up once,
// for that long. Kept small because libzmq hands room back to a full
// queue in halves of it: a mailbox of 100,000 made a reader slower than
// 50,000 messages a second look unreachable.
constexpr int kMailboxHwm = 1000;
constexpr int64_t kFullMailboxWaitMs = 1000;
// While waiting for room, the mailbox's signal is rechecked this often
// (it tells of libzmq's commands, room among them, but not reliably twice).
constexpr int kRoomPollMs = 1;
// Messages libzmq queues per connected peer on the inbox; beyond it the
// sender's connection is pushed back by TCP. Small for the same reason.
constexpr int kInboxHwm = 1000;
// Largest single frame the inbox accepts (libzmq closes a connection that
// announces a larger one before reading it).
constexpr int64_t kMaxFrameSize = 16 << 20;
// Frames of one received message that the node keeps; a message with more
// is dropped whole, and its sender with it.
constexpr size_t kMaxFrames = 1024;
// A HELLO larger than this is refused, its sender dropped.
constexpr size_t kMaxHelloSize = 64 << 10;
// Groups one peer may belong to; a peer that joins more is dropped.
constexpr size_t kMaxGroupsPerPeer = 1024;
// Events (of every kind) waiting for the application to read them, and
// their total bytes; beyond either, events are dropped and counted
// (zyre_dropped_events) and a warning is printed.
constexpr size_t kMaxQueuedEvents = 110000;
constexpr size_t kMaxQueuedBytes = 64 << 20;
// Before that, at this many events or bytes, the node stops reading its
// inbox until the application has read some: peers are pushed back (their
// messages wait in the inbox, then in TCP, then in their mailboxes) instead
// of events being dropped. The margin up to the bound takes what the
// messages read in one go may still bring.
constexpr size_t kPauseReadingEvents = kMaxQueuedEvents - 10000;
constexpr size_t kPauseReadingBytes = kMaxQueuedBytes - (16 << 20);
// While paused, how often the node looks whether the application has made
// room (it is not told).
constexpr int kPausedRecheckMs = 2;
// Messages read between two checks for room (each check takes a lock).
constexpr int kEventsBetweenRoomChecks = 16;
// What an event costs beyond its content bytes, for the bound above.
constexpr size_t kEventOverhead = 256;
constexpr size_t kFrameOverhead = 64;
// Peers that have not yet said HELLO (discovered by a beacon, or greeted by
// a HELLO just now): at most this many in total and per source address, and
// each expires this soon. A beacon alone costs no socket beyond this.
constexpr size_t kMaxPending = 256;
constexpr size_t kMaxPendingPerAddress = 128;
constexpr int64_t kPendingTimeoutMs = 5000;
// On a secured node a pending peer first needs a CURVE handshake each way,
// about three times the CPU of an open greeting. A site of a hundred
// secured programs started together takes longer than the open lifetime
// on two cores; peers forgotten then are greeted and handshaken again,
// which only adds to the load.
constexpr int64_t kSecurePendingTimeoutMs = 20000;
// Peers of one node in total; also held under the process's descriptor
// limit (three descriptors a peer) and libzmq's socket limit.
constexpr size_t kMaxPeers = 1000;
// A leaving beacon, a HELLO claiming a known peer's UUID from elsewhere, or
// a newcomer under a known name: the known peer is pinged and dropped only
// if it has not answered within this time.
constexpr int64_t kVerifyTimeoutMs = 500;
// Warnings printed (to standard error) per window; then a count of the
// suppressed ones.
constexpr int kMaxWarnings = 20;
constexpr int64_t kWarningWindowMs = 10000;
constexpr int kMaxDrainBatch = 256;
// Frames of the application up to this size are copied when sent, not
// shared: libzmq keeps up to 33 bytes inside its message, allocating nothing.
constexpr size_t kCopiedFrameSize = 32;
// A node that has read beacons more than kBeaconReadsWithoutRest times in
// the current second reads the next ones only kBeaconRestMs later, in one
// go: with a hundred peers beaconing each second, a dozen or two wake-ups a
// second instead of a hundred. Delays no message, only the discovery of a
// new peer in a large site, by at most that much.
constexpr int kBeaconReadsWithoutRest = 5;
constexpr int64_t kBeaconRestMs = 80;
// A settled node (no new peer for kSettledAfterMs) rests longer, as long as
// a read takes fewer than kMaxBeaconsForLongRest beacons (the socket's
// buffer holds a few hundred): beacons of known peers only show that they
// are still there, and a newcomer greets the node over TCP as soon as it
// has read the node's beacon itself.
constexpr int64_t kSettledAfterMs = 5000;
constexpr int64_t kSettledBeaconRestMs = 400;
constexpr int kMaxBeaconsForLongRest = 64;
// At stop, how long to wait for peers to confirm that they have handled
// what was sent to them, and how long the mailboxes may still send after.
constexpr int64_t kStopFlushMs = 300;
constexpr int kStopLingerMs = 300;
// After a mailbox closes, how long before a new one connects to the same
// endpoint (see noteClosed).
constexpr int64_t kReconnectPauseMs = 300;
// Batches of inbox messages handled before a peer that left is dropped.
constexpr int kMaxDrainBeforeLeave = 64;

int64_t now()
{
    return zclock_mono();
}

// Waits up to `maxMs` (at most kRoomPollMs) for `fd` to signal.
void waitForSignal(int fd, int64_t maxMs)
{
    pollfd signal = {fd, POLLIN, 0};
    poll(&signal, 1, int(std::clamp<int64_t>(maxMs, 0, kRoomPollMs)));
}

enum class SendOutcome { Sent, Full, Failed };

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
    void* mailbox = nullptr;  // a bare libzmq DEALER socket
    bool ready = false;       // said HELLO
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
    // Until HELLO: counted among the pending peers of `source`.
    bool pending = false;
    uint32_t source = 0;  // IPv4 address the peer was first heard from
    int64_t createdAt = 0;
    // While the peer is checked for life: answered when every PING sent so
    // far has been answered before `verifyDeadline`.
    int64_t verifyDeadline = 0;
    std::optional<Message> contender;  // a HELLO under its UUID from elsewhere
    std::string identity;              // secured site: whose key the peer proved
    CurveKey serverKey{};              // secured site: the key its inbox must prove

    ~Peer()
    {
        if (mailbox)
            zmq_close(mailbox);
    }
};

using PeerPtr = std::unique_ptr<Peer>;

// The frames of one ZeroMQ message, received or to be sent without copying
// their contents. zmq_msg_t holds no pointer into itself, so the vector may
// relocate its elements.
class Parts {
public:
    Parts() = default;
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
    void swap(Parts& other) { frames_.swap(other.frames_); }
    // Takes over a czmq frame, sharing its bytes (freed with the last copy).
    // A small one is copied: libzmq holds it in place, and nothing is left
    // to free on another thread.
    void adopt(zframe_t* frame)
    {
        if (zframe_size(frame) <= kCopiedFrameSize) {
            add(zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
            return;
        }
        frames_.emplace_back();
        if (zmq_msg_init_data(&frames_.back(), zframe_data(frame), zframe_size(frame), destroyFrame, frame) != 0) {
            zmq_msg_init_size(&frames_.back(), zframe_size(frame));
            std::memcpy(zmq_msg_data(&frames_.back()), zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
        }
    }
    // One whole message without waiting; false when none is there. Frames
    // beyond `maxFrames` are read and discarded, and `overflowed()` is set.
    bool receive(void* socket, size_t maxFrames = SIZE_MAX)
    {
        clear();
        overflowed_ = false;
        while (true) {
            if (frames_.size() == maxFrames) {
                overflowed_ = true;
                return discardRest(socket);
            }
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
    bool overflowed() const { return overflowed_; }

    // The address of the connection frame `i` came in on, or "".
    std::string peerAddress(size_t i)
    {
        const char* address = zmq_msg_gets(&frames_[i], "Peer-Address");
        return address ? address : "";
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
    static void destroyFrame(void*, void* hint)
    {
        auto* frame = static_cast<zframe_t*>(hint);
        zframe_destroy(&frame);
    }

    // Reads the remaining frames of a message (already whole inside libzmq)
    // without keeping them.
    bool discardRest(void* socket)
    {
        bool more = zmq_msg_more(&frames_.back());
        zmq_msg_t f;
        zmq_msg_init(&f);
        while (more && zmq_msg_recv(&f, socket, 0) >= 0)
            more = zmq_msg_more(&f);
        zmq_msg_close(&f);
        return true;
    }

    std::vector<zmq_msg_t> frames_;
    bool overflowed_ = false;
};

// A message that waits for room in the mailboxes of `peers`, on the
// application's thread and outside the node's lock.
struct BlockedSend {
    std::vector<Uuid> peers;
    Message message;
    Parts content;
};

class Node {
public:
    Node(zsock_t* pipe, const ActorArgs& args)
        : pipe_(pipe), events_(*args.events), pipeFd_(zsock_fd(pipe)), uuid_(args.uuid),
          uuidText_(uuidToString(args.uuid)), dropped_(args.dropped), direct_(*args.direct), context_(zsys_init())
    {}

    ~Node()
    {
        std::lock_guard<std::mutex> hold(direct_.lock);
        direct_.node = nullptr;
        shutDown(false);
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
        {
            std::lock_guard<std::mutex> hold(direct_.lock);
            direct_.node = this;
        }
        zsock_signal(pipe_, 0);
        while (!terminated_) {
            {
                // Everything but the wait runs under the lock that the
                // direct sends of the API take.
                std::lock_guard<std::mutex> hold(direct_.lock);
                sendDeadline_ = now() + kFullMailboxWaitMs;
                if (pipeBusy_)
                    pipeBusy_ = drainPipe();
                if (terminated_)
                    break;
                if (running_ && inboxBusy_)
                    drainInbox();
                if (running_ && beaconBusy_) {
                    beaconBusy_ = false;
                    restFromBeacons(receiveBeacons());
                }
                onTimers();
            }
            waitForActivity();
        }
    }

    // Only a node that reads beacons often rests between reads: a few
    // peers' beacons are taken at once, a hundred peers' in batches.
    void restFromBeacons(int beaconsRead)
    {
        int64_t t = now();
        if (t >= beaconWindowEnd_) {
            beaconWindowEnd_ = t + 1000;
            beaconReadsInWindow_ = 0;
        }
        if (++beaconReadsInWindow_ <= kBeaconReadsWithoutRest)
            return;
        bool settled = t - lastNewPeerAt_ >= kSettledAfterMs && beaconsRead < kMaxBeaconsForLongRest;
        beaconRestUntil_ = t + (settled ? kSettledBeaconRestMs : kBeaconRestMs);
    }

    // ---- the direct sends (API thread, under direct_.lock) ----------------

    // Sends `msg` to the peer, or to the members of the group, whose
    // mailboxes have room now; those whose mailbox is full are left in
    // `blocked`, with the message and its content, for sendBlocked.
    void whisperNow(const char* uuidText, zmsg_t* msg, BlockedSend& blocked)
    {
        auto uuid = uuidFromString(uuidText);
        Peer* peer = uuid ? findPeer(*uuid) : nullptr;
        if (!peer) {
            trace("whisper to unknown peer %s dropped", uuidText);
            return;
        }
        takeFrames(msg, outgoing_);
        Message m;
        m.id = MessageId::Whisper;
        if (!sendNow(*peer, m, blocked))
            removePeer(Uuid(peer->uuid), true);
        keepForBlocked(m, blocked);
    }

    void shoutNow(const char* group, zmsg_t* msg, BlockedSend& blocked)
    {
        takeFrames(msg, outgoing_);
        Message m;
        m.id = MessageId::Shout;
        m.group = group;
        forEachPeer([&](Peer& peer) { return peer.groups.count(m.group) == 0 || sendNow(peer, m, blocked); });
        keepForBlocked(m, blocked);
    }

    // Sends to the blocked peers still there that have room now; when
    // `deadline` has passed, drops those still full. The descriptor to wait
    // on for the next try, or -1 when none is left.
    int sendBlocked(BlockedSend& blocked, int64_t deadline)
    {
        bool late = now() >= deadline;
        std::vector<Uuid> waiting;
        for (const Uuid& uuid : blocked.peers) {
            Peer* peer = findPeer(uuid);
            if (!peer)
                continue;  // gone meanwhile
            SendOutcome outcome = trySend(*peer, blocked.message, &blocked.content, 0);
            if (outcome == SendOutcome::Full && !late) {
                waiting.push_back(uuid);
                continue;
            }
            if (outcome == SendOutcome::Full)
                warnFull(*peer);
            if (outcome != SendOutcome::Sent)
                removePeer(uuid, true);
        }
        blocked.peers.swap(waiting);
        return blockedSignal(blocked);
    }

    // The descriptor to wait on for the first blocked peer still there
    // (those gone are forgotten); -1 when none is left.
    int blockedSignal(BlockedSend& blocked)
    {
        auto gone = [&](const Uuid& uuid) { return findPeer(uuid) == nullptr; };
        blocked.peers.erase(std::remove_if(blocked.peers.begin(), blocked.peers.end(), gone), blocked.peers.end());
        return blocked.peers.empty() ? -1 : roomSignal(*findPeer(blocked.peers.front()));
    }

    // The frames of `msg`, taken over into `parts` (emptied first; reused,
    // so that its storage is allocated once).
    static void takeFrames(zmsg_t* msg, Parts& parts)
    {
        parts.clear();
        while (zframe_t* frame = zmsg_pop(msg))
            parts.adopt(frame);
    }

private:
    // A direct send; a peer whose mailbox is full is noted in `blocked`.
    // False: the peer is to be dropped.
    bool sendNow(Peer& peer, const Message& message, BlockedSend& blocked)
    {
        SendOutcome outcome = trySend(peer, message, &outgoing_, 0);
        if (outcome == SendOutcome::Full)
            blocked.peers.push_back(peer.uuid);
        return outcome != SendOutcome::Failed;
    }

    // The message stays with the blocked peers, beyond this call and the lock.
    void keepForBlocked(const Message& message, BlockedSend& blocked)
    {
        if (blocked.peers.empty()) {
            outgoing_.clear();
            return;
        }
        blocked.message = message;
        blocked.content.swap(outgoing_);
    }

    // ---- polling ---------------------------------------------------------

    void waitForActivity()
    {
        pollfd fds[3];
        int n = 0;
        fds[n++] = {pipeFd_, POLLIN, 0};
        if (running_) {
            // Paused or resting, a socket is left out (poll skips a negative one).
            fds[n++] = {readingPaused_ ? -1 : inboxFd_, POLLIN, 0};
            fds[n++] = {now() < beaconRestUntil_ || beaconBusy_ ? -1 : beaconFd_, POLLIN, 0};
        }
        bool busy = pipeBusy_ || (running_ && ((inboxBusy_ && !readingPaused_) || beaconBusy_));
        int timeout = busy ? 0 : pollTimeout();
        if (readingPaused_ && !busy)
            timeout = std::min(timeout < 0 ? kPausedRecheckMs : timeout, kPausedRecheckMs);
        int rc = poll(fds, nfds_t(n), timeout);
        if (rc <= 0)
            return;  // timeout, or EINTR: the timers are checked again
        const short ready = POLLIN | POLLERR | POLLHUP;
        pipeBusy_ = pipeBusy_ || (fds[0].revents & ready);
        if (running_) {
            inboxBusy_ = inboxBusy_ || (fds[1].revents & ready);
            beaconBusy_ = beaconBusy_ || (fds[2].revents & ready);
        }
    }

    int pollTimeout() const
    {
        if (!running_)
            return -1;
        int64_t t = now();
        int64_t next = std::min({nextBeaconAt_, nextCheckAt_, nextVerifyAt_});
        if (beaconRestUntil_ > t)
            next = std::min(next, beaconRestUntil_);
        return int(std::clamp<int64_t>(next - t, 0, 1000000));
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
        if (t >= nextVerifyAt_)
            checkVerifications(t);
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
        if (cmd != "$TERM")
            direct_.queued.fetch_sub(1);
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
        maxPeers_ = peerBudget();
        int shortest = std::min(config_.evasiveTimeout, config_.expiredTimeout);
        checkInterval_ = std::clamp<int64_t>(shortest / 4, 10, 1000);
        running_ = true;
        lastNewPeerAt_ = now();  // not settled before its first peers came
        nextBeaconAt_ = now();   // first beacon at once
        nextCheckAt_ = now() + checkInterval_;
        trace("started on %s (%s), inbox %s, beacon port %d", iface_.name.c_str(), addressText(iface_.address).c_str(),
              endpoint_.c_str(), config_.port);
        onTimers();
        return 0;
    }

    // A peer costs a socket and about three descriptors (mailbox signal,
    // outgoing and incoming connection): stay well inside both limits, so
    // that running out is a refused peer, not a failure elsewhere.
    size_t peerBudget() const
    {
        size_t budget = kMaxPeers;
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
            budget = std::min<size_t>(budget, files.rlim_cur > 96 ? (files.rlim_cur - 64) / 3 : 10);
        int sockets = zmq_ctx_get(context_, ZMQ_MAX_SOCKETS);
        if (sockets > 0)
            budget = std::min<size_t>(budget, sockets > 96 ? size_t(sockets - 64) : 10);
        return budget;
    }

    bool openInbox()
    {
        inbox_ = zsock_new(ZMQ_ROUTER);
        if (!inbox_)
            return false;
        zsock_set_rcvhwm(inbox_, kInboxHwm);
        zsock_set_linger(inbox_, 0);
        int64_t maxSize = kMaxFrameSize;
        zmq_setsockopt(zsock_resolve(inbox_), ZMQ_MAXMSGSIZE, &maxSize, sizeof maxSize);
        // No hand-over of an identity to a newer connection: with it, anyone
        // connecting under a peer's identity would take over its routing id
        // and silence the peer's own connection for good. A peer that
        // reconnects does so after its old connection has closed.
        zsock_set_router_handover(inbox_, 0);
        if (config_.curve && !secureInbox())
            return false;
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

    // The inbox as CURVE server; the ZAP handler decides who gets a session.
    bool secureInbox()
    {
        void* handle = zsock_resolve(inbox_);
        int on = 1;
        const CurveSetup& curve = *config_.curve;
        if (zmq_setsockopt(handle, ZMQ_CURVE_SERVER, &on, sizeof on) != 0 ||
            zmq_setsockopt(handle, ZMQ_CURVE_SECRETKEY, curve.secretKey.data(), curve.secretKey.size()) != 0 ||
            zmq_setsockopt(handle, ZMQ_ZAP_DOMAIN, uuidText_.data(), uuidText_.size()) != 0) {
            warn("cannot secure the inbox: %s", zmq_strerror(errno));
            return false;
        }
        zapRegistered_ = registerZapDomain(uuidText_, curve.trust);
        return zapRegistered_;
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
        // The arriving interface of each beacon, to take only those of the
        // interface the node was given.
        setsockopt(beaconFd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
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
        if (zapRegistered_)
            unregisterZapDomain(uuidText_);
        zapRegistered_ = false;
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
                zmq_setsockopt(peer->mailbox, ZMQ_LINGER, &kStopLingerMs, sizeof kStopLingerMs);
        peers_.clear();
        closedAt_.clear();
        pendingTotal_ = 0;
        pendingBySource_.clear();
        nextVerifyAt_ = kNever;
        closeSockets();
        running_ = false;
        if (report) {
            QueuedEvent event;
            event.type = "STOP";
            event.setPeerUuid(uuidText_);
            event.peerName = config_.name;
            event.bytes = kEventOverhead;
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
            if (!peer->unconfirmed || trySend(*peer, ping) == SendOutcome::Sent)
                waiting.push_back(uuid);
        }
        if (waiting.empty())
            return waiting;
        trace("waiting for %zu peers to confirm", waiting.size());
        int64_t deadline = t + kStopFlushMs;
        void* inbox = zsock_resolve(inbox_);
        while (!waiting.empty() && running_) {
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
        std::vector<uint8_t> bytes;
        if (config_.curve) {
            bytes = encodeSecureBeacon(Beacon{uuid_, port}, config_.curve->publicKey);
        } else {
            BeaconBytes plain = encodeBeacon(Beacon{uuid_, port});
            bytes.assign(plain.begin(), plain.end());
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(config_.port));
        to.sin_addr = iface_.broadcast;
        if (sendto(beaconFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            trace("beacon not sent: %s", strerror(errno));
    }

    // Returns how many were read.
    int receiveBeacons()
    {
        int i = 0;
        for (; i < kMaxDrainBatch; ++i) {
            uint8_t buffer[64];
            sockaddr_in from{};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
            iovec iov{buffer, sizeof buffer};
            msghdr header{};
            header.msg_name = &from;
            header.msg_namelen = sizeof from;
            header.msg_iov = &iov;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            ssize_t n = recvmsg(beaconFd_, &header, 0);
            if (n < 0)
                break;
            if (!fromOwnInterface(header))
                continue;
            auto beacon = parseBeacon(buffer, size_t(n));
            auto secure = parseSecureBeacon(buffer, size_t(n));
            Uuid sender = beacon ? beacon->uuid : secure ? secure->beacon.uuid : Uuid{};
            if ((!beacon && !secure) || sender == uuid_)
                continue;
            if (config_.curve) {
                if (beacon)
                    refuseBeacon(sender, from.sin_addr, "it is open and this node is secured");
                else if (trustedKey(secure->key, sender, from.sin_addr))
                    handleBeacon(secure->beacon, from.sin_addr, &secure->key);
            } else if (secure) {
                refuseBeacon(sender, from.sin_addr, "it is secured and this node is open");
            } else {
                handleBeacon(*beacon, from.sin_addr);
            }
        }
        return i;
    }

    void refuseBeacon(const Uuid& uuid, in_addr sender, const char* why)
    {
        std::string text = uuidToString(uuid);
        refusals_.once(text, "zre " + printable(config_.name) + " [" + uuidText_.substr(0, 6) +
                                 "]: not talking to peer " + text + " at " + addressText(sender) + ": " + why);
    }

    bool trustedKey(const CurveKey& key, const Uuid& uuid, in_addr sender)
    {
        if (config_.curve->trust->byKey(key))
            return true;
        std::string keyText = curveKeyToText(key);
        refusals_.once(keyText, "zre " + printable(config_.name) + " [" + uuidText_.substr(0, 6) +
                                    "]: not connecting to peer " + uuidToString(uuid) + " at " + addressText(sender) +
                                    ": key " + keyText + " is not trusted");
        return false;
    }

    // With an interface given, only beacons that arrived on it count.
    bool fromOwnInterface(msghdr& header) const
    {
        if (!iface_.named || iface_.index == 0)
            return true;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                return unsigned(info.ipi_ifindex) == iface_.index;
            }
        }
        return false;
    }

    // On a secured node `key` is the key the beacon carried.
    void handleBeacon(const Beacon& beacon, in_addr sender, const CurveKey* key = nullptr)
    {
        Peer* peer = findPeer(beacon.uuid);
        if (beacon.port == 0) {
            // Anyone can send a leaving beacon under any UUID: the peer is
            // only checked, and dropped if it does not answer.
            if (peer && peer->ready) {
                trace("peer %s says it leaves", peer->uuidText.c_str());
                verify(*peer);
            } else if (peer) {
                removePeer(beacon.uuid, false);
            }
            return;
        }
        if (peer) {
            if (peer->ready)
                peer->lastSeen = now();
            return;
        }
        std::string endpoint = "tcp://" + addressText(sender) + ":" + std::to_string(beacon.port);
        if (recentlyClosed(endpoint) || !admit(sender.s_addr, beacon.uuid))
            return;
        dropPeerAt(endpoint);
        connectPeer(beacon.uuid, endpoint, sender.s_addr, key);
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

    // Whether one more pending peer from `source` fits the bounds.
    bool admit(uint32_t source, const Uuid& uuid)
    {
        const char* full = nullptr;
        if (peers_.size() >= maxPeers_)
            full = "peers";
        else if (pendingTotal_ >= kMaxPending)
            full = "pending peers";
        else if (pendingBySource_[source] >= kMaxPendingPerAddress)
            full = "pending peers from one address";
        if (!full)
            return true;
        if (pendingBySource_[source] == 0)
            pendingBySource_.erase(source);
        in_addr a{source};
        warn("new peer %s from %s ignored: too many %s", uuidToString(uuid).c_str(), addressText(a).c_str(), full);
        return false;
    }

    void setPending(Peer& peer, bool pending)
    {
        if (peer.pending == pending)
            return;
        peer.pending = pending;
        if (pending) {
            ++pendingTotal_;
            ++pendingBySource_[peer.source];
            return;
        }
        --pendingTotal_;
        auto it = pendingBySource_.find(peer.source);
        if (it != pendingBySource_.end() && --it->second == 0)
            pendingBySource_.erase(it);
    }

    // ---- checking that a peer lives ------------------------------------

    // PINGs the peer, unless already being checked; it is dropped unless
    // it answers every PING within kVerifyTimeoutMs.
    void verify(Peer& peer)
    {
        if (peer.verifyDeadline != 0)
            return;
        peer.verifyDeadline = now() + kVerifyTimeoutMs;
        nextVerifyAt_ = std::min(nextVerifyAt_, peer.verifyDeadline);
        Message ping;
        ping.id = MessageId::Ping;
        sendOrDrop(peer, ping);
    }

    // Called on every PING-OK.
    void onAnswered(Peer& peer)
    {
        if (peer.pingsUnanswered > 0)
            return;
        setPending(peer, false);
        if (peer.verifyDeadline == 0)
            return;
        trace("peer %s answered: kept", peer.uuidText.c_str());
        peer.verifyDeadline = 0;
        peer.contender.reset();
    }

    void checkVerifications(int64_t t)
    {
        std::vector<Uuid> gone;
        int64_t next = kNever;
        for (auto& [uuid, peer] : peers_) {
            if (peer->verifyDeadline == 0)
                continue;
            if (t >= peer->verifyDeadline)
                gone.push_back(uuid);
            else
                next = std::min(next, peer->verifyDeadline);
        }
        nextVerifyAt_ = next;
        if (gone.empty())
            return;
        // What a peer sent before it went may still wait in the inbox.
        for (int i = 0; i < kMaxDrainBeforeLeave && drainInbox() > 0; ++i) {}
        if (readingPaused_ || now() - resumedAt_ < kVerifyTimeoutMs) {
            // Its answer, too, may wait unread while the application is
            // behind, and then behind what came before it: nobody is taken
            // for gone before the node has read again for a while.
            nextVerifyAt_ = std::min(nextVerifyAt_, now() + kPausedRecheckMs);
            return;
        }
        for (const Uuid& uuid : gone) {
            Peer* peer = findPeer(uuid);
            if (!peer || peer->verifyDeadline == 0)
                continue;
            trace("peer %s did not answer: gone", peer->uuidText.c_str());
            std::optional<Message> contender = std::move(peer->contender);
            uint32_t source = peer->source;
            std::string identity = peer->identity;  // a contender proved the same one
            removePeer(uuid, true);
            if (contender)
                handleHello(uuid, *contender, source, identity);
        }
    }

    // ---- peers -----------------------------------------------------------

    Peer* findPeer(const Uuid& uuid)
    {
        auto it = peers_.find(uuid);
        return it == peers_.end() ? nullptr : it->second.get();
    }

    // Creates the peer (pending until its HELLO), connects its mailbox and
    // greets it with HELLO. Null when no socket could be made.
    // On a secured node `serverKey` is the key the peer's inbox must prove.
    Peer* connectPeer(const Uuid& uuid, const std::string& endpoint, uint32_t source,
                      const CurveKey* serverKey = nullptr)
    {
        void* mailbox = zmq_socket(context_, ZMQ_DEALER);
        if (!mailbox) {
            // libzmq's socket limit, or the process is out of descriptors.
            warn("no socket for peer %s: %s", uuidToString(uuid).c_str(), zmq_strerror(errno));
            return nullptr;
        }
        auto peer = std::make_unique<Peer>();
        peer->mailbox = mailbox;
        peer->uuid = uuid;
        peer->uuidText = uuidToString(uuid);
        peer->endpoint = endpoint;
        peer->source = source;
        peer->createdAt = peer->lastSeen = now();
        auto identity = identityOf(uuid_);
        int linger = 0;
        zmq_setsockopt(mailbox, ZMQ_ROUTING_ID, identity.data(), identity.size());
        zmq_setsockopt(mailbox, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(mailbox, ZMQ_SNDHWM, &kMailboxHwm, sizeof kMailboxHwm);
        if (config_.curve && !secureMailbox(mailbox, serverKey))
            return nullptr;
        if (serverKey)
            peer->serverKey = *serverKey;
        if (zmq_connect(mailbox, endpoint.c_str()) != 0) {
            warn("cannot connect to %s: %s", endpoint.c_str(), zmq_strerror(errno));
            return nullptr;
        }
        trace("connecting to %s at %s", peer->uuidText.c_str(), endpoint.c_str());
        Peer* raw = peer.get();
        peers_[uuid] = std::move(peer);
        lastNewPeerAt_ = raw->createdAt;
        setPending(*raw, true);
        if (!send(*raw, hello())) {
            removePeer(uuid, false);
            return nullptr;
        }
        return raw;
    }

    bool secureMailbox(void* handle, const CurveKey* serverKey)
    {
        const CurveSetup& curve = *config_.curve;
        if (!serverKey || zmq_setsockopt(handle, ZMQ_CURVE_SERVERKEY, serverKey->data(), serverKey->size()) != 0 ||
            zmq_setsockopt(handle, ZMQ_CURVE_PUBLICKEY, curve.publicKey.data(), curve.publicKey.size()) != 0 ||
            zmq_setsockopt(handle, ZMQ_CURVE_SECRETKEY, curve.secretKey.data(), curve.secretKey.size()) != 0) {
            warn("cannot secure a mailbox: %s", zmq_strerror(errno));
            return false;
        }
        return true;
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
        setPending(peer, false);
        noteClosed(peer.endpoint);
        peers_.erase(it);
    }

    // Inboxes take no hand-over of an identity: a new mailbox to an
    // endpoint whose old one (under the same identity) may still be open
    // there waits a little, until the next beacon after kReconnectPauseMs.
    void noteClosed(const std::string& endpoint)
    {
        int64_t t = now();
        for (auto it = closedAt_.begin(); it != closedAt_.end();)
            it = t - it->second >= kReconnectPauseMs ? closedAt_.erase(it) : std::next(it);
        if (closedAt_.size() < kMaxPeers)
            closedAt_[endpoint] = t;
    }

    bool recentlyClosed(const std::string& endpoint) const
    {
        auto it = closedAt_.find(endpoint);
        return it != closedAt_.end() && now() - it->second < kReconnectPauseMs;
    }

    // Sends one message with the peer's next sequence number, followed by
    // copies of the frames `from`.. of `content`, if given. Full: the
    // mailbox has no room; nothing was sent, and the number is not used.
    SendOutcome trySend(Peer& peer, Message message, Parts* content = nullptr, size_t from = 0)
    {
        message.sequence = uint16_t(peer.sentSequence + 1);
        if (!encodeMessageInto(message, encoded_))
            return SendOutcome::Failed;
        void* handle = peer.mailbox;
        bool more = content && content->size() > from;
        if (zmq_send(handle, encoded_.data(), encoded_.size(), ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
            if (errno == EAGAIN)
                return SendOutcome::Full;
            warn("peer %s dropped: cannot send to it (%s)", peer.uuidText.c_str(), zmq_strerror(errno));
            return SendOutcome::Failed;
        }
        ++peer.sentSequence;
        noteSent(peer, message.id);
        // The rest of a message whose first frame was taken is never refused for room.
        return !more || content->sendCopies(handle, from) ? SendOutcome::Sent : SendOutcome::Failed;
    }

    // Sends on the node's thread. A full mailbox is waited for, the node
    // standing still meanwhile, but one turn of the node's loop waits at
    // most kFullMailboxWaitMs in all (sendDeadline_). False: the peer is to
    // be dropped.
    bool send(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0)
    {
        while (true) {
            SendOutcome outcome = trySend(peer, message, content, from);
            if (outcome != SendOutcome::Full)
                return outcome == SendOutcome::Sent;
            int64_t left = sendDeadline_ - now();
            if (left <= 0) {
                warnFull(peer);
                return false;
            }
            waitForSignal(roomSignal(peer), left);
        }
    }

    void warnFull(const Peer& peer)
    {
        warn("peer %s dropped: its mailbox stayed full (%d messages) for %lld ms", peer.uuidText.c_str(), kMailboxHwm,
             static_cast<long long>(kFullMailboxWaitMs));
    }

    // The descriptor that signals, among libzmq's other news of the
    // mailbox, that it has room again; -1 if there is none.
    static int roomSignal(const Peer& peer)
    {
        int fd = -1;
        size_t size = sizeof fd;
        return zmq_getsockopt(peer.mailbox, ZMQ_FD, &fd, &size) == 0 ? fd : -1;
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

    // Sends and drops the peer (EXIT) when that fails (see send).
    void sendOrDrop(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0)
    {
        if (!send(peer, message, content, from))
            removePeer(Uuid(peer.uuid), true);
    }

    int64_t pendingLifetime() const { return config_.curve ? kSecurePendingTimeoutMs : kPendingTimeoutMs; }

    void checkPeers(int64_t t)
    {
        std::vector<Uuid> expired;
        std::vector<Uuid> evasive;
        for (auto& [uuid, peer] : peers_) {
            if (peer->pending && t >= peer->createdAt + pendingLifetime())
                expired.push_back(uuid);
            else if (t >= peer->lastSeen + config_.expiredTimeout)
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

    // Handles up to one batch of waiting messages; returns how many. Reads
    // none while the application has too many events still to read.
    int drainInbox()
    {
        if (!inbox_)
            return 0;
        void* inbox = zsock_resolve(inbox_);
        int handled = 0;
        bool empty = false;
        for (; handled < kMaxDrainBatch && running_; ++handled) {
            if (handled % kEventsBetweenRoomChecks == 0 && !roomForEvents()) {
                inboxBusy_ = true;
                return handled;
            }
            // Identity, first frame and the content frames.
            if (!received_.receive(inbox, kMaxFrames + 2)) {
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
        if (msg.overflowed()) {
            dropOffender(*uuid, "sent a message of more than %zu frames", kMaxFrames);
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
            if (msg.bytes(1) > kMaxHelloSize) {
                dropOffender(*uuid, "sent a HELLO of %zu bytes", msg.bytes(1));
                return;
            }
            handleHello(*uuid, m, sourceOf(msg, m), provenIdentity(msg));
            return;
        }
        Peer* peer = findPeer(*uuid);
        if (!peer || !peer->ready) {
            trace("%s from unknown peer %s ignored", messageIdName(m.id), uuidToString(*uuid).c_str());
            return;
        }
        if (config_.curve && provenIdentity(msg) != peer->identity) {
            trace("%s as %s from another key ignored", messageIdName(m.id), peer->uuidText.c_str());
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

    // The IPv4 address the message came from (as the connection reports
    // it), else the one its HELLO claims.
    static uint32_t sourceOf(Parts& msg, const Message& hello)
    {
        in_addr address{};
        std::string text = msg.peerAddress(1);
        if (!text.empty() && inet_pton(AF_INET, text.c_str(), &address) == 1)
            return address.s_addr;
        std::string claimed = hello.endpoint.substr(6, hello.endpoint.rfind(':') - 6);  // "tcp://a.b.c.d:port"
        inet_pton(AF_INET, claimed.c_str(), &address);
        return address.s_addr;
    }

    // Drops a peer that broke a bound on what it sends, with one warning.
    void dropOffender(const Uuid& uuid, const char* format, ...) __attribute__((format(printf, 3, 4)))
    {
        char text[256];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        Peer* peer = findPeer(uuid);
        warn("peer %s%s%s%s dropped: it %s", uuidToString(uuid).c_str(), peer ? " '" : "",
             peer ? printable(peer->name).c_str() : "", peer ? "'" : "", text);
        removePeer(uuid, true);
    }

    // The identity whose key the sender proved in the handshake (the ZAP
    // handler's User-Id); empty on an open node.
    std::string provenIdentity(Parts& msg)
    {
        if (!config_.curve || msg.size() < 2)
            return "";
        const char* user = zmq_msg_gets(&msg[1], "User-Id");
        return user ? user : "";
    }

    // On a secured node: the identity may announce the name, and a UUID
    // that another identity holds is not taken over.
    bool acceptIdentity(const Uuid& uuid, const Message& m, const std::string& identity)
    {
        const TrustedIdentity* trusted = config_.curve->trust->byIdentity(identity);
        std::string text = uuidToString(uuid);
        if (!trusted) {
            refusals_.once(text, "zre " + printable(config_.name) + ": HELLO from " + text +
                                     " without a trusted key ignored");
            return false;
        }
        if (!trusted->mayAnnounce(m.name)) {
            refusals_.once(text + "name", "zre " + printable(config_.name) + ": peer " + text + " (identity " +
                                              identity + ") may not announce the name '" + printable(m.name) +
                                              "': ignored");
            return false;
        }
        Peer* peer = findPeer(uuid);
        if (peer && peer->ready && peer->identity != identity) {
            refusals_.once(text + identity, "zre " + printable(config_.name) + ": identity " + identity +
                                                " uses the UUID " + text + " of identity " + peer->identity +
                                                ": ignored");
            return false;
        }
        return true;
    }

    void handleHello(const Uuid& uuid, const Message& m, uint32_t source, const std::string& identity)
    {
        if (m.sequence != 1 || !isValidEndpoint(m.endpoint)) {
            trace("bad HELLO from %s dropped", uuidToString(uuid).c_str());
            return;
        }
        if (m.groups.size() > kMaxGroupsPerPeer) {
            dropOffender(uuid, "is in %zu groups", m.groups.size());
            return;
        }
        if (config_.curve && !acceptIdentity(uuid, m, identity))
            return;
        Peer* peer = findPeer(uuid);
        if (peer && peer->ready) {
            if (peer->endpoint != m.endpoint) {
                // Another endpoint claims a known peer's UUID: the known one
                // stays unless it fails to answer.
                warn("HELLO from %s claims the UUID of peer %s at %s: checking it", m.endpoint.c_str(),
                     peer->uuidText.c_str(), peer->endpoint.c_str());
                peer->contender = m;
                verify(*peer);
                return;
            }
            // It dropped us and greets again: the old incarnation leaves, and
            // it is greeted afresh over the same mailbox. A new connection
            // under our identity could meet the old one still open at its
            // inbox and be parked there.
            trace("peer %s said HELLO again", peer->uuidText.c_str());
            emitPeerEvent("EXIT", *peer);
            peer->ready = false;
            peer->groups.clear();
            peer->verifyDeadline = 0;
            peer->contender.reset();
            peer->pingsUnanswered = 0;
            peer->sentSequence = 0;
            if (!send(*peer, hello())) {
                removePeer(uuid, false);
                return;
            }
        }
        // A peer that greets first has shown nothing but that HELLO: it stays
        // pending (counted, expiring) until it answers a PING at the
        // endpoint it announced. One found by its beacon is done now.
        const CurveKey* key = config_.curve ? &config_.curve->trust->byIdentity(identity)->key : nullptr;
        if (peer && key && peer->serverKey != *key) {
            // Found through a beacon that carried another identity's key.
            trace("peer %s proved another key than its beacon's", peer->uuidText.c_str());
            removePeer(uuid, false);
            peer = nullptr;
        }
        bool greetedFirst = !peer;
        if (greetedFirst) {
            if (!admit(source, uuid))
                return;
            dropPeerAt(m.endpoint);
            peer = connectPeer(uuid, m.endpoint, source, key);
            if (!peer)
                return;
        } else {
            setPending(*peer, false);
        }
        peer->identity = identity;
        peer->ready = true;
        peer->wantSequence = 1;
        peer->lastSeen = now();
        peer->name = m.name;
        peer->headers = m.headers;
        // Only this node says which identity a peer proved.
        peer->headers.erase(std::remove_if(peer->headers.begin(), peer->headers.end(),
                                           [](const auto& header) { return header.first == kIdentityHeader; }),
                            peer->headers.end());
        if (config_.curve)
            peer->headers.emplace_back(kIdentityHeader, identity);
        peer->status = m.status;
        peer->endpoint = m.endpoint;
        trace("ENTER %s '%s' at %s", peer->uuidText.c_str(), peer->name.c_str(), m.endpoint.c_str());
        emitEnter(*peer);
        for (const auto& group : m.groups)
            if (peer->groups.insert(group).second)
                emitPeerEvent("JOIN", *peer, &group);
        checkTwins(*peer);
        if (greetedFirst && (peer = findPeer(uuid)) != nullptr) {
            Message ping;
            ping.id = MessageId::Ping;
            sendOrDrop(*peer, ping);
        }
    }

    // A peer entered under a name that others hold: a restarted program
    // whose old instance may be dead. The others are checked at once.
    void checkTwins(const Peer& newcomer)
    {
        std::vector<Uuid> twins;
        for (auto& [uuid, peer] : peers_)
            if (peer.get() != &newcomer && peer->ready && peer->name == newcomer.name)
                twins.push_back(uuid);
        for (const Uuid& uuid : twins) {
            trace("peer %s enters under the name of %s: checking it", newcomer.uuidText.c_str(),
                  uuidToString(uuid).c_str());
            if (Peer* twin = findPeer(uuid))
                verify(*twin);
        }
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
                onAnswered(peer);
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
        if (joining && peer.groups.size() >= kMaxGroupsPerPeer && !peer.groups.count(m.group)) {
            dropOffender(Uuid(peer.uuid), "joins more than %zu groups", kMaxGroupsPerPeer);
            return;
        }
        bool changed = joining ? peer.groups.insert(m.group).second : peer.groups.erase(m.group) > 0;
        if (changed)
            emitPeerEvent(joining ? "JOIN" : "LEAVE", peer, &m.group);
    }

    // ---- events ----------------------------------------------------------

    static QueuedEvent peerEvent(const char* type, const Peer& peer, const std::string* group = nullptr)
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

    void emitPeerEvent(const char* type, const Peer& peer, const std::string* group = nullptr)
    {
        emit(peerEvent(type, peer, group));
    }

    void emitEnter(const Peer& peer)
    {
        QueuedEvent event = peerEvent("ENTER", peer);
        event.enter = std::make_unique<decltype(event.enter)::element_type>(peer.endpoint, peer.headers);
        for (const auto& [key, value] : peer.headers)
            event.bytes += key.size() + value.size() + kFrameOverhead;
        emit(std::move(event));
    }

    // The content frames (2.. of the received `msg`) move into the event.
    void emitContent(const char* type, const Peer& peer, const std::string* group, Parts& msg)
    {
        QueuedEvent event = peerEvent(type, peer, group);
        event.hasContent = true;
        for (size_t i = 2; i < msg.size(); ++i) {
            event.bytes += msg.bytes(i) + kFrameOverhead;
            event.content.add(msg[i]);
        }
        emit(std::move(event));
    }

    // Whether the application has room for the events of more messages;
    // notes when reading the inbox pauses and resumes.
    bool roomForEvents()
    {
        bool full = events_.holdsAtLeast(kPauseReadingEvents, kPauseReadingBytes);
        if (full != readingPaused_)
            trace(full ? "the application is behind with its events: reading paused" : "reading resumed");
        if (readingPaused_ && !full)
            resumedAt_ = now();
        readingPaused_ = full;
        return !full;
    }

    // Never blocks: up to kMaxQueuedEvents events and kMaxQueuedBytes wait
    // for the application; beyond, they are counted and dropped.
    void emit(QueuedEvent&& event)
    {
        if (!events_.push(std::move(event), kMaxQueuedEvents, kMaxQueuedBytes)) {
            if (droppedNow_++ == 0)
                warn("the application does not read events: dropping them");
            if (dropped_)
                dropped_->fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (droppedNow_ > 0) {
            warn("the application reads events again; %llu were dropped", static_cast<unsigned long long>(droppedNow_));
            droppedNow_ = 0;
        }
    }

    // Peer text in a warning: control characters become '?'.
    static std::string printable(const std::string& text)
    {
        std::string out = text.substr(0, 64);
        for (char& c : out)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '?';
        return out;
    }

    // Always printed, at most kMaxWarnings per window.
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        int64_t t = now();
        if (t >= warningWindowEnd_) {
            if (warningsSuppressed_ > 0)
                fprintf(stderr, "zre %s [%.6s]: %d more warnings suppressed\n", printable(config_.name).c_str(),
                        uuidText_.c_str(), warningsSuppressed_);
            warningWindowEnd_ = t + kWarningWindowMs;
            warningsInWindow_ = 0;
            warningsSuppressed_ = 0;
        }
        if (warningsInWindow_ >= kMaxWarnings) {
            ++warningsSuppressed_;
            return;
        }
        ++warningsInWindow_;
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        fprintf(stderr, "zre %s [%.6s]: %s\n", printable(config_.name).c_str(), uuidText_.c_str(), text);
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

    static constexpr int64_t kNever = INT64_MAX;

    zsock_t* pipe_;
    EventQueue& events_;
    int pipeFd_;
    Uuid uuid_;
    std::string uuidText_;
    std::atomic<uint64_t>* dropped_;
    Direct& direct_;
    void* context_;
    Config config_;
    Interface iface_;
    bool running_ = false;
    bool zapRegistered_ = false;
    RefusalLog refusals_;
    bool terminated_ = false;

    zsock_t* inbox_ = nullptr;
    int inboxFd_ = -1;
    // Sockets that may hold more than their descriptors tell (see run()).
    bool pipeBusy_ = true;
    bool inboxBusy_ = false;
    bool readingPaused_ = false;         // the application has too many events to read
    int64_t resumedAt_ = INT64_MIN / 2;  // when reading last resumed
    int64_t sendDeadline_ = 0;           // when this turn of the loop stops waiting for room
    uint16_t inboxPort_ = 0;
    std::string endpoint_;
    int beaconFd_ = -1;
    int64_t nextBeaconAt_ = 0;
    int64_t nextCheckAt_ = 0;
    int64_t checkInterval_ = 1000;
    int64_t nextVerifyAt_ = kNever;
    int64_t beaconRestUntil_ = 0;
    int64_t lastNewPeerAt_ = 0;  // the last time a peer was made
    int64_t beaconWindowEnd_ = 0;
    int beaconReadsInWindow_ = 0;
    std::unordered_map<std::string, int64_t> closedAt_;  // endpoint -> when its mailbox closed
    bool beaconBusy_ = false;
    size_t maxPeers_ = kMaxPeers;
    size_t pendingTotal_ = 0;
    std::unordered_map<uint32_t, size_t> pendingBySource_;
    uint64_t droppedNow_ = 0;
    int64_t warningWindowEnd_ = 0;
    int warningsInWindow_ = 0;
    int warningsSuppressed_ = 0;

    std::set<std::string> ownGroups_;
    uint8_t status_ = 0;
    std::unordered_map<Uuid, PeerPtr, UuidHash> peers_;
    Parts command_;
    Parts received_;
    Parts outgoing_;                // content of a direct send
    std::vector<uint8_t> encoded_;  // first frame of the message being sent
};

// What did not fit at once is sent as the mailboxes make room, waiting
// without the lock, so that the node goes on reading and sending meanwhile.
void finishDirectSend(Direct& direct, std::unique_lock<std::mutex>& hold, BlockedSend& blocked)
{
    int64_t deadline = now() + kFullMailboxWaitMs;
    int signal = static_cast<Node*>(direct.node)->blockedSignal(blocked);
    while (signal >= 0) {
        hold.unlock();
        waitForSignal(signal, deadline - now());
        hold.lock();
        if (!direct.node)
            return;  // the node ended meanwhile
        signal = static_cast<Node*>(direct.node)->sendBlocked(blocked, deadline);
    }
}

}  // namespace

bool directWhisper(Direct& direct, const char* uuid, zmsg_t** msg)
{
    if (direct.queued.load() != 0)
        return false;
    std::unique_lock<std::mutex> hold(direct.lock);
    if (!direct.node || direct.queued.load() != 0)
        return false;
    BlockedSend blocked;
    static_cast<Node*>(direct.node)->whisperNow(uuid, *msg, blocked);
    zmsg_destroy(msg);
    finishDirectSend(direct, hold, blocked);
    return true;
}

bool directShout(Direct& direct, const char* group, zmsg_t** msg)
{
    if (direct.queued.load() != 0)
        return false;
    std::unique_lock<std::mutex> hold(direct.lock);
    if (!direct.node || direct.queued.load() != 0)
        return false;
    BlockedSend blocked;
    static_cast<Node*>(direct.node)->shoutNow(group, *msg, blocked);
    zmsg_destroy(msg);
    finishDirectSend(direct, hold, blocked);
    return true;
}

void runNodeActor(zsock_t* pipe, void* args)
{
    auto* given = static_cast<ActorArgs*>(args);
    Node node(pipe, *given);
    node.run();
}

}  // namespace zre
