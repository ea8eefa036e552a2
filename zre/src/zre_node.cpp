#include "zre_node.hpp"

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "zre_admission.hpp"
#include "zre_beacons.hpp"
#include "zre_clock.hpp"
#include "zre_direct_path.hpp"
#include "zre_event_outbox.hpp"
#include "zre_gossip.hpp"
#include "zre_greeting.hpp"
#include "zre_groups.hpp"
#include "zre_iface.hpp"
#include "zre_inbox.hpp"
#include "zre_log.hpp"
#include "zre_mailboxes.hpp"
#include "zre_parts.hpp"
#include "zre_peer.hpp"
#include "zre_roster.hpp"

namespace zre {

namespace {

// Bounds of the node's own loop; the parts declare theirs. Each is listed
// with its reason in zre/README.md.

// A HELLO larger than this is refused, its sender dropped.
constexpr size_t kMaxHelloSize = 64 << 10;
// While reading is paused, how often the node looks whether the
// application has made room (it is not told).
constexpr int kPausedRecheckMs = 2;
// While an application thread waits on the inbox to read it itself, and
// messages came within this time, the node's thread leaves the inbox out
// of its wait (one wake-up less per message), and looks at it this often
// in case that thread has gone to other work meanwhile: the longest a PING
// or a HELLO then waits. An idle node watches its inbox as before, so it
// is not woken for this.
constexpr int kReaderGraceMs = 500;
// ...and only while the reads find few messages at a time: a stream is
// read faster by both threads side by side than by the reader alone.
constexpr int kSparseBatch = 4;
// Messages read between two checks for room (each check takes a lock).
constexpr int kEventsBetweenRoomChecks = 16;
// Commands or inbox messages handled in one go before the loop turns.
constexpr int kMaxDrainBatch = 256;
// At stop, how long to wait for peers to confirm that they have handled
// what was sent to them, and how long the mailboxes may still send after.
constexpr int64_t kStopFlushMs = 300;
constexpr int kStopLingerMs = 300;
constexpr uint32_t kGossipSource = Admission::kGossipSource;
// Batches of inbox messages handled before a peer that left is dropped.
constexpr int kMaxDrainBeforeLeave = 64;

class Node final : public BeaconListener, public GossipListener {
public:
    Node(zsock_t* pipe, const ActorArgs& args)
        : pipe_(pipe), pipeFd_(zsock_fd(pipe)), uuid_(args.uuid), direct_(*args.direct), context_(zsys_init()),
          log_(uuidToString(args.uuid)), outbox_(*args.events, args.dropped, log_), beacons_(uuid_, log_),
          admission_(log_), inbox_(log_.uuidText(), log_), mailboxes_(context_, uuid_, log_),
          roster_(mailboxes_, admission_, outbox_, beacons_, log_),
          directPath_(roster_, mailboxes_, log_, [this] { return receiveDirect(); }),
          greeting_(roster_, admission_, mailboxes_, outbox_, log_, [this] { return hello(); }), gossip_(log_)
    {}

    ~Node()
    {
        direct_.detach();
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
        direct_.attach(&directPath_);
        zsock_signal(pipe_, 0);
        while (!terminated_) {
            {
                // Everything but the wait runs under the lock that the
                // direct sends and receives of the API take: the state the
                // wait is planned from, and what it found, too.
                std::lock_guard<std::mutex> hold(direct_.lock());
                noteActivity();
                if (pipeBusy_)
                    pipeBusy_ = drainPipe();
                if (terminated_)
                    break;
                if (running_ && inboxBusy_)
                    drainInbox();
                if (running_ && beaconBusy_) {
                    beaconBusy_ = false;
                    beacons_.receive(*this);
                }
                if (running_ && mailboxes_.hasBacklog())
                    flushBacklogs();
                if (running_ && gossip_.active())
                    gossipBusy_ = gossip_.work(*this, now());
                if (running_ && monitorBusy_) {
                    monitorBusy_ = false;
                    for (int fd : inbox_.readMonitor())
                        roster_.connectionClosed(fd);
                }
                onTimers();
                planWait();
            }
            // What the application's thread changes meanwhile that would
            // change this wait wakes it (DirectPath::wakeNode).
            waitResult_ = poll(waitFds_, nfds_t(waitCount_), waitTimeout_);
        }
    }

private:
    // ---- the loop --------------------------------------------------------

    // Under the lock: the descriptors and the time to wait for.
    void planWait()
    {
        int n = 0;
        int64_t t = now();
        inboxLeftToReader_ = running_ && !inboxBusy_ && !outbox_.readingPaused() && direct_.readerWaits() &&
                             t - lastReadAt_ < kReaderGraceMs && lastBatch_ < kSparseBatch;
        waitFds_[n++] = {pipeFd_, POLLIN, 0};
        waitFds_[n++] = {directPath_.wakeFd(), POLLIN, 0};
        if (running_) {
            // Paused or resting, a socket is left out (poll skips a negative one).
            waitFds_[n++] = {outbox_.readingPaused() || inboxLeftToReader_ ? -1 : inbox_.fd(), POLLIN, 0};
            waitFds_[n++] = {beaconBusy_ ? -1 : beacons_.pollFd(t), POLLIN, 0};
            waitFds_[n++] = {inbox_.monitorFd(), POLLIN, 0};
            gossipFds_.clear();
            gossip_.descriptors(gossipFds_);
            for (int fd : gossipFds_)
                waitFds_[n++] = {fd, POLLIN, 0};
        }
        waitCount_ = n;
        bool busy = pipeBusy_ || (running_ && ((inboxBusy_ && !outbox_.readingPaused()) || beaconBusy_ || gossipBusy_));
        int timeout = busy ? 0 : pollTimeout(t);
        if (outbox_.readingPaused() && !busy)
            timeout = std::min(timeout < 0 ? kPausedRecheckMs : timeout, kPausedRecheckMs);
        if (running_ && mailboxes_.hasBacklog() && !busy)
            timeout = std::min(timeout < 0 ? Mailboxes::kBacklogRecheckMs : timeout, Mailboxes::kBacklogRecheckMs);
        if (inboxLeftToReader_)
            timeout = std::min(timeout < 0 ? kReaderGraceMs : timeout, kReaderGraceMs);
        waitTimeout_ = timeout;
        waitRunning_ = running_;
    }

    // Under the lock: what the last wait found.
    void noteActivity()
    {
        if (waitResult_ <= 0) {
            // Timeout, or EINTR: the timers are checked again, and an inbox
            // left to a reader is looked at, whether that reader still
            // waits or not (one that announced a wait and never reads must
            // not keep peers unanswered).
            if (waitRunning_ && running_ && inboxLeftToReader_)
                inboxBusy_ = true;
            return;
        }
        waitResult_ = 0;
        const short ready = POLLIN | POLLERR | POLLHUP;
        pipeBusy_ = pipeBusy_ || (waitFds_[0].revents & ready);
        if (waitFds_[1].revents & ready)
            directPath_.woken();  // work the application's thread left, which the loop looks at anyway
        if (waitRunning_ && running_) {
            inboxBusy_ = inboxBusy_ || (waitFds_[2].revents & ready) || readerGone();
            beaconBusy_ = beaconBusy_ || (waitFds_[3].revents & ready);
            monitorBusy_ = monitorBusy_ || (waitFds_[4].revents & ready);
        }
    }

    // The inbox was left to a reader that no longer waits on it: whatever
    // came meanwhile may have signalled nobody.
    bool readerGone() const { return inboxLeftToReader_ && !direct_.readerWaits(); }

    int pollTimeout(int64_t t) const
    {
        if (!running_)
            return -1;
        int64_t next = std::min({beacons_.nextWake(t), nextCheckAt_, admission_.nextCheckAt()});
        if (gossip_.active())
            next = std::min(next, t + GossipDiscovery::kPingMs);
        return int(std::clamp<int64_t>(next - t, 0, 1000000));
    }

    void onTimers()
    {
        if (!running_)
            return;
        int64_t t = now();
        beacons_.onTimer(t, inbox_.port());
        if (t >= nextCheckAt_) {
            if (config_.curve)
                probeRefusedMailboxes();
            roster_.checkSilence(t, config_.evasiveTimeout, config_.expiredTimeout);
            nextCheckAt_ = t + checkInterval_;
        }
        if (t >= admission_.nextCheckAt())
            checkVerifications(t);
    }

    // A mailbox whose handshake the peer refused (this node's key was
    // revoked there, and maybe trusted again since) takes nothing, and
    // libzmq does not connect it again: without this, a peer that greeted
    // over it in the meantime would wait for our HELLO until it expires.
    // A pending peer was sent its HELLO only, so its mailbox is not full
    // but refused: it is forgotten, to be greeted afresh with its next
    // beacon. For a peer that said HELLO, a PING into a mailbox that takes
    // nothing, with nothing waiting for it, lets the backlog's rule decide:
    // a full one makes room and the peer stays; a refused one sends nothing
    // for 1 s and its peer is dropped.
    void probeRefusedMailboxes()
    {
        auto blocked =
            roster_.table().select([](const Peer& peer) { return peer.backlog.empty() && !Mailboxes::canTake(peer); });
        for (const Uuid& uuid : blocked) {
            Peer* peer = roster_.find(uuid);
            if (peer->ready) {
                roster_.sendOrDrop(*peer, Roster::ping());
                continue;
            }
            log_.refuse(peer->uuidText + "refused", log_.prefix() + ": peer " + peer->uuidText + " at " +
                                                        peer->endpoint + " refused this node's key");
            roster_.remove(uuid, false);
        }
    }

    // What waits beyond full mailboxes goes on as they make room; a peer
    // whose mailbox failed or stayed full is dropped.
    void flushBacklogs()
    {
        for (const Uuid& uuid : mailboxes_.flush(roster_.table(), now()))
            roster_.remove(uuid, true);
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
            direct_.commandTaken();
        if (cmd == "$TERM") {
            terminated_ = true;
        } else if (cmd == "START") {
            zsock_signal(pipe_, uint8_t(start(takeConfig(msg)) == 0 ? 0 : 1));
        } else if (cmd == "STOP") {
            shutDown(true);
            zsock_signal(pipe_, 0);
        } else if (cmd == "TRUST") {
            changeTrust(msg);
            zsock_signal(pipe_, 0);
        } else if (msg.size() < 2) {
            return;
        } else if (cmd == "JOIN") {
            announce(groups_.join(msg.text(1)));
        } else if (cmd == "LEAVE") {
            announce(groups_.leave(msg.text(1)));
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

    // A new table of trusted keys (revocation): handshakes are answered from
    // it at once, messages over connections whose key it no longer lists
    // count as from nobody, and each peer whose key or name it no longer
    // allows is dropped now.
    void changeTrust(Parts& msg)
    {
        std::unique_ptr<std::shared_ptr<const TrustTable>> given;
        if (msg.size() >= 2 && msg.bytes(1) == sizeof(void*)) {
            std::shared_ptr<const TrustTable>* raw = nullptr;
            std::memcpy(&raw, msg.data(1), sizeof raw);
            given.reset(raw);
        }
        if (!given || !*given || !config_.curve)
            return;
        config_.curve->trust = *given;
        inbox_.trustChanged();
        const TrustTable& trust = **given;
        auto untrusted = roster_.table().select([&](const Peer& peer) {
            if (!peer.ready)
                return trust.byKey(peer.serverKey) == nullptr;
            const TrustedIdentity* entry = trust.byIdentity(peer.identity);
            return !entry || entry->key != peer.serverKey || !entry->mayAnnounce(peer.name);
        });
        for (const Uuid& uuid : untrusted) {
            Peer* peer = roster_.find(uuid);
            if (peer->ready)
                log_.warn("peer %s '%s' (identity %s) dropped: its key is no longer trusted", peer->uuidText.c_str(),
                          NodeLog::printable(peer->name).c_str(), NodeLog::printable(peer->identity).c_str());
            roster_.remove(uuid, peer->ready);
        }
    }

    // ---- start and stop ------------------------------------------------

    int start(const Config& config)
    {
        if (running_)
            return 0;
        config_ = config;
        log_.setName(config_.name, config_.verbose);
        // A node that gossips publishes the endpoint of its inbox: of the
        // interface it was given, else of a non-loopback one.
        bool gossips = !config_.gossipBind.empty() || !config_.gossipConnect.empty();
        auto iface = chooseInterface(config_.interface, gossips);
        if (!iface) {
            log_.trace("no usable interface '%s'", config_.interface.c_str());
            return -1;
        }
        const CurveSetup* curve = config_.curve.get();
        // Port 0: no beacons (gossip discovery only); the closed part stays idle.
        bool beaconsOk = config_.port == 0 || beacons_.open(*iface, config_.port, config_.interval, curve);
        if (!inbox_.open(*iface, curve) || !beaconsOk) {
            inbox_.close();
            beacons_.close();
            return -1;
        }
        if (!openGossip()) {
            inbox_.close();
            beacons_.close();
            return -1;
        }
        inboxBusy_ = true;
        monitorBusy_ = true;  // read once, so that its descriptor signals news
        admission_.configure(curve, peerBudget());
        mailboxes_.configure(curve);
        greeting_.configure(curve);
        int shortest = std::min(config_.evasiveTimeout, config_.expiredTimeout);
        checkInterval_ = std::clamp<int64_t>(shortest / 4, 10, 1000);
        running_ = true;
        direct_.setInboxFd(inbox_.fd());
        nextCheckAt_ = now() + checkInterval_;
        log_.trace("started on %s (%s), inbox %s, beacon port %d", iface->name.c_str(),
                   addressText(iface->address).c_str(), inbox_.endpoint().c_str(), config_.port);
        onTimers();
        return 0;
    }

    bool openGossip()
    {
        if (config_.gossipBind.empty() && config_.gossipConnect.empty())
            return true;
        GossipTuple own;
        own.uuid = uuid_;
        own.endpoint = inbox_.endpoint();
        if (config_.curve)
            own.publicKey = curveKeyToText(config_.curve->publicKey);
        std::vector<GossipDiscovery::Remote> remotes;
        for (size_t i = 0; i < config_.gossipConnect.size(); ++i)
            remotes.push_back({config_.gossipConnect[i],
                               i < config_.gossipConnectKeys.size() ? config_.gossipConnectKeys[i] : std::string()});
        return gossip_.open(config_.gossipBind, remotes, own, config_.curve.get(), log_.uuidText());
    }

    // A peer costs a socket and about three descriptors (mailbox signal,
    // outgoing and incoming connection): stay well inside both limits, so
    // that running out is a refused peer, not a failure elsewhere.
    size_t peerBudget() const
    {
        size_t budget = Admission::kMaxPeers;
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
            budget = std::min<size_t>(budget, files.rlim_cur > 96 ? (files.rlim_cur - 64) / 3 : 10);
        int sockets = zmq_ctx_get(context_, ZMQ_MAX_SOCKETS);
        if (sockets > 0)
            budget = std::min<size_t>(budget, sockets > 96 ? size_t(sockets - 64) : 10);
        return budget;
    }

    void shutDown(bool report)
    {
        if (!running_)
            return;
        std::vector<Uuid> unconfirmed = flushMailboxes();
        beacons_.send(0);  // tells every peer at once that this node leaves
        // What a live peer did not confirm may still go out for a while.
        for (const Uuid& uuid : unconfirmed)
            if (Peer* peer = roster_.find(uuid))
                zmq_setsockopt(peer->mailbox, ZMQ_LINGER, &kStopLingerMs, sizeof kStopLingerMs);
        roster_.clear();
        mailboxes_.clear();
        admission_.clear();
        direct_.setInboxFd(-1);
        inbox_.close();
        inboxBusy_ = false;
        beacons_.close();
        gossip_.close();
        running_ = false;
        if (report)
            outbox_.stop(log_.uuidText(), config_.name);
        log_.trace("stopped");
    }

    // Peers drop a node at its leaving beacon and ignore what comes after,
    // and UDP may overtake TCP: the beacon waits until the peers that were
    // sent something have answered a PING, which they do only after handling
    // everything sent before it. Bounded, and skipped when nothing was sent.
    // Returns the peers that did not answer in time.
    std::vector<Uuid> flushMailboxes()
    {
        int64_t t = now();
        std::vector<Uuid> waiting = roster_.table().select([&](Peer& peer) {
            bool pending = peer.unconfirmed || peer.pingsUnanswered > 0 || !peer.backlog.empty();
            if (!peer.ready || !pending || t >= peer.lastSeen + config_.evasiveTimeout)
                return false;
            return !(peer.unconfirmed || !peer.backlog.empty()) || mailboxes_.send(peer, Roster::ping());
        });
        if (waiting.empty())
            return waiting;
        log_.trace("waiting for %zu peers to confirm", waiting.size());
        int64_t deadline = t + kStopFlushMs;
        while (!waiting.empty() && running_) {
            int64_t left = deadline - now();
            if (left <= 0)
                break;
            if (mailboxes_.hasBacklog()) {
                flushBacklogs();
                left = std::min<int64_t>(left, Mailboxes::kBacklogRecheckMs);
            }
            zmq_pollitem_t item = {inbox_.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, long(left)) < 0 && errno != EINTR)
                break;
            drainInbox();
            auto confirmed = [&](const Uuid& uuid) {
                Peer* peer = roster_.find(uuid);
                return !peer || (peer->pingsUnanswered == 0 && peer->backlog.empty());
            };
            waiting.erase(std::remove_if(waiting.begin(), waiting.end(), confirmed), waiting.end());
        }
        if (!waiting.empty())
            log_.trace("%zu peers did not confirm in time", waiting.size());
        return waiting;
    }

    // ---- discovery -------------------------------------------------------

    void onBeacon(const Beacon& beacon, in_addr sender, const CurveKey* key) override
    {
        Peer* peer = roster_.find(beacon.uuid);
        if (beacon.port == 0) {
            // Anyone can send a leaving beacon under any UUID: the peer is
            // only checked, and dropped if it does not answer.
            if (peer && peer->ready) {
                log_.trace("peer %s says it leaves", peer->uuidText.c_str());
                roster_.verify(*peer);
            } else if (peer) {
                roster_.remove(beacon.uuid, false);
            }
            return;
        }
        std::string endpoint = "tcp://" + addressText(sender) + ":" + std::to_string(beacon.port);
        if (peer) {
            if (peer->ready)
                roster_.heardFrom(*peer);
            if (peer->endpoint == endpoint)
                peer->foundBy |= kFoundByBeacon;
            return;
        }
        if (mailboxes_.recentlyClosed(endpoint) || !admission_.admit(sender.s_addr, beacon.uuid, roster_.size()))
            return;
        std::optional<Contender> waiting = roster_.dropAt(endpoint);
        Peer* added = roster_.connect(beacon.uuid, endpoint, sender.s_addr, key, hello());
        if (!added)
            return;
        added->foundBy |= kFoundByBeacon;
        // Its HELLO came first and waited while the peer that was there
        // was checked: the beacon settles it.
        if (waiting && waiting->uuid == beacon.uuid)
            greeting_.handle(waiting->uuid, waiting->hello, waiting->source, waiting->identity);
    }

    // A tuple names a mailbox as a beacon would: the HELLO over it decides
    // who the peer is. On a secured node only a trusted key is connected to.
    bool onTuple(const GossipTuple& tuple) override
    {
        if (tuple.uuid == uuid_)
            return true;
        if (Peer* peer = roster_.find(tuple.uuid)) {
            if (peer->endpoint == tuple.endpoint) {
                peer->foundBy |= kFoundByGossip;
                if (peer->ready)
                    roster_.heardFrom(*peer);
            }
            return true;
        }
        std::optional<CurveKey> key;
        if (!tuple.publicKey.empty())
            key = curveKeyFromText(tuple.publicKey);
        if (bool(config_.curve) != bool(key) || (key && !config_.curve->trust->byKey(*key))) {
            log_.trace("gossip tuple of %s ignored: its key does not fit this node", uuidToString(tuple.uuid).c_str());
            return true;
        }
        // A tuple is anyone's claim: a peer that lives at its endpoint under
        // another UUID is checked, not dropped; if it is gone, the tuple is
        // tried again later. Pending peers from tuples are counted apart from
        // the addresses of beacons and greetings, so that forged ones cannot
        // use up what peers at that address may have.
        if (Peer* there = roster_.table().atEndpoint(tuple.endpoint); there && there->ready) {
            roster_.verify(*there);
            return true;
        }
        if (mailboxes_.recentlyClosed(tuple.endpoint))
            return true;
        if (!admission_.admit(kGossipSource, tuple.uuid, roster_.size()))
            return false;
        roster_.dropAt(tuple.endpoint);
        if (Peer* added = roster_.connect(tuple.uuid, tuple.endpoint, kGossipSource, key ? &*key : nullptr, hello()))
            added->foundBy |= kFoundByGossip;
        return true;
    }

    bool peerLivesAt(const Uuid& uuid, const std::string& endpoint) override
    {
        Peer* peer = roster_.find(uuid);
        return peer && peer->ready && peer->endpoint == endpoint;
    }

    // ---- checking that a peer lives ------------------------------------

    void checkVerifications(int64_t t)
    {
        std::vector<Uuid> gone = admission_.overdue(roster_.table(), t);
        if (gone.empty())
            return;
        // What a peer sent before it went may still wait in the inbox.
        for (int i = 0; i < kMaxDrainBeforeLeave && drainInbox() > 0; ++i) {}
        if (outbox_.readingPaused() || now() - outbox_.resumedAt() < Admission::kVerifyTimeoutMs) {
            // Its answer, too, may wait unread while the application is
            // behind, and then behind what came before it: nobody is taken
            // for gone before the node has read again for a while.
            admission_.recheckBy(now() + kPausedRecheckMs);
            return;
        }
        for (const Uuid& uuid : gone) {
            Peer* peer = roster_.find(uuid);
            if (!peer || peer->verifyDeadline == 0)
                continue;
            log_.trace("peer %s did not answer: gone", peer->uuidText.c_str());
            std::optional<Contender> contender = std::move(peer->contender);
            roster_.remove(uuid, true);
            if (contender)
                greeting_.handle(contender->uuid, contender->hello, contender->source, contender->identity);
        }
    }

    Message hello() const
    {
        Message m;
        m.id = MessageId::Hello;
        m.endpoint = inbox_.endpoint();
        m.groups.assign(groups_.own().begin(), groups_.own().end());
        m.status = groups_.status();
        m.name = config_.name;
        m.headers.assign(config_.headers.begin(), config_.headers.end());
        return m;
    }

    // ---- groups and messages from the API --------------------------------

    void announce(const std::optional<Message>& change)
    {
        if (!change)
            return;
        log_.trace("%s %s (status %u)", messageIdName(change->id), change->group.c_str(), unsigned(change->status));
        roster_.sendToEach([&](Peer& peer) { return mailboxes_.send(peer, *change); });
    }

    // `msg` is the command: "WHISPER", uuid, content frames.
    void whisper(const std::string& uuidText, Parts& msg)
    {
        auto uuid = uuidFromString(uuidText);
        Peer* peer = uuid ? roster_.find(*uuid) : nullptr;
        if (!peer) {
            log_.trace("whisper to unknown peer %s dropped", uuidText.c_str());
            return;
        }
        Message m;
        m.id = MessageId::Whisper;
        roster_.sendOrDrop(*peer, m, &msg, 2);
    }

    // `msg` is the command: "SHOUT", group, content frames.
    void shout(const std::string& group, Parts& msg)
    {
        if (!roster_.table().anyIn(group))
            return;
        Message m;
        m.id = MessageId::Shout;
        m.group = group;
        roster_.sendToEach(
            [&](Peer& peer) { return peer.groups.count(group) == 0 || mailboxes_.send(peer, m, &msg, 2); });
    }

    // ---- inbox -----------------------------------------------------------

    // On the application's thread, under Direct's lock, while this thread
    // waits: one batch of the inbox, the same way as here. This thread's
    // wait was set before, so it is woken for whatever the batch leaves to
    // do: the rest of the inbox, a pause, anything but content (a HELLO, a
    // PING, a peer dropped may move its timers or fill a backlog).
    int receiveDirect()
    {
        if (!running_ || !inbox_.isOpen() || outbox_.readingPaused())
            return -1;
        uint64_t contentBefore = contentHandled_;
        int handled = drainInbox();
        bool onlyContent = contentHandled_ - contentBefore == uint64_t(handled);
        if (inboxBusy_ || !onlyContent || outbox_.readingPaused() || mailboxes_.hasBacklog())
            directPath_.wakeNode();
        return handled == 0 && outbox_.readingPaused() ? -1 : handled;
    }

    // Handles up to one batch of waiting messages; returns how many. Reads
    // none while the application has too many events still to read.
    int drainInbox()
    {
        if (!inbox_.isOpen())
            return 0;
        int handled = 0;
        bool empty = false;
        for (; handled < kMaxDrainBatch && running_; ++handled) {
            if (handled % kEventsBetweenRoomChecks == 0 && !outbox_.roomForEvents()) {
                inboxBusy_ = true;
                return handled;
            }
            if (!inbox_.receive(received_)) {
                empty = true;
                break;
            }
            handleInbox(received_);
        }
        received_.clear();
        inboxBusy_ = !empty;
        if (handled > 0) {
            lastReadAt_ = now();
            lastBatch_ = handled;
        }
        return handled;
    }

    // `msg`: identity, first frame, content frames.
    void handleInbox(Parts& msg)
    {
        std::optional<Uuid> uuid;
        if (msg.size() >= 1)
            uuid = uuidFromIdentity(msg.data(0), msg.bytes(0));
        if (!uuid) {
            log_.trace("message with a bad identity dropped");
            return;
        }
        if (msg.overflowed()) {
            roster_.dropOffender(*uuid, "sent a message of more than %zu frames", Inbox::kMaxFrames);
            return;
        }
        Message m;
        DecodeError error = DecodeError::Truncated;
        if (msg.size() >= 2)
            error = decodeMessage(msg.data(1), msg.bytes(1), m);
        if (error != DecodeError::None) {
            log_.trace("message from %s dropped: %s", uuidToString(*uuid).c_str(), decodeErrorName(error));
            return;
        }
        if (*uuid == uuid_)
            return;
        if (m.id == MessageId::Hello) {
            if (msg.bytes(1) > kMaxHelloSize) {
                roster_.dropOffender(*uuid, "sent a HELLO of %zu bytes", msg.bytes(1));
                return;
            }
            greeting_.handle(*uuid, m, Inbox::sourceOf(msg, m), inbox_.provenIdentity(msg), Inbox::connectionOf(msg));
            if (Peer* greeted = roster_.find(*uuid))
                greeted->connection = Inbox::connectionOf(msg);
            return;
        }
        Peer* peer = roster_.find(*uuid);
        if (!peer || !peer->ready) {
            log_.trace("%s from unknown peer %s ignored", messageIdName(m.id), uuidToString(*uuid).c_str());
            return;
        }
        if (config_.curve && inbox_.provenIdentity(msg) != peer->identity) {
            log_.trace("%s as %s from another key ignored", messageIdName(m.id), peer->uuidText.c_str());
            return;
        }
        if (m.sequence != uint16_t(peer->wantSequence + 1)) {
            log_.trace("lost messages from %s (got %u, want %u)", peer->uuidText.c_str(), unsigned(m.sequence),
                       unsigned(uint16_t(peer->wantSequence + 1)));
            roster_.remove(*uuid, true);
            return;
        }
        peer->wantSequence = m.sequence;
        if (m.id != MessageId::Whisper && m.id != MessageId::Shout)
            log_.trace("%s from %s (seq %u)", messageIdName(m.id), peer->uuidText.c_str(), unsigned(m.sequence));
        roster_.heardFrom(*peer);
        peer->connection = Inbox::connectionOf(msg);
        dispatch(*peer, m, msg);
    }

    void dispatch(Peer& peer, const Message& m, Parts& msg)
    {
        switch (m.id) {
            case MessageId::Whisper:
                outbox_.content("WHISPER", peer, nullptr, msg, 2);
                ++contentHandled_;
                break;
            case MessageId::Shout:
                if (groups_.isMember(m.group))
                    outbox_.content("SHOUT", peer, &m.group, msg, 2);
                ++contentHandled_;
                break;
            case MessageId::Join:
            case MessageId::Leave:
                changeMembership(peer, m);
                break;
            case MessageId::Ping: {
                Message ok;
                ok.id = MessageId::PingOk;
                roster_.sendOrDrop(peer, ok);
                break;
            }
            case MessageId::Goodbye:
                roster_.remove(Uuid(peer.uuid), true);
                break;
            case MessageId::PingOk:
                if (peer.pingsUnanswered > 0)
                    --peer.pingsUnanswered;
                admission_.answered(peer);
                break;
            case MessageId::Elect:
            case MessageId::Leader:
            case MessageId::Hello:
                break;
        }
    }

    void changeMembership(Peer& peer, const Message& m)
    {
        if (m.status != uint8_t(peer.status + 1))
            log_.trace("status of %s jumps from %u to %u", peer.uuidText.c_str(), unsigned(peer.status),
                       unsigned(m.status));
        switch (Groups::apply(peer, m)) {
            case Groups::Change::TooMany:
                roster_.dropOffender(Uuid(peer.uuid), "joins more than %zu groups", Groups::kMaxGroupsPerPeer);
                break;
            case Groups::Change::Joined:
                outbox_.peerEvent("JOIN", peer, &m.group);
                break;
            case Groups::Change::Left:
                outbox_.peerEvent("LEAVE", peer, &m.group);
                break;
            case Groups::Change::None:
                break;
        }
    }

    zsock_t* pipe_;
    int pipeFd_;
    Uuid uuid_;
    Direct& direct_;
    void* context_;
    Config config_;
    bool running_ = false;
    bool terminated_ = false;
    // Sockets that may hold more than their descriptors tell (see run()).
    bool pipeBusy_ = true;
    bool inboxBusy_ = false;
    bool inboxLeftToReader_ = false;  // the last wait left the inbox out: a reader waited on it
    bool beaconBusy_ = false;
    bool monitorBusy_ = false;
    bool gossipBusy_ = false;
    int64_t nextCheckAt_ = 0;
    int64_t lastReadAt_ = INT64_MIN / 2;  // when the inbox last had messages
    int lastBatch_ = 0;                   // how many that read found
    int64_t checkInterval_ = 1000;
    uint64_t contentHandled_ = 0;  // WHISPERs and SHOUTs read (see receiveDirect)

    // The parts, each with its own state.
    NodeLog log_;
    EventOutbox outbox_;
    BeaconDiscovery beacons_;
    Admission admission_;
    Inbox inbox_;
    Mailboxes mailboxes_;
    Groups groups_;
    Roster roster_;
    DirectPath directPath_;  // what the application's thread may touch
    Greeting greeting_;
    GossipDiscovery gossip_;
    std::vector<int> gossipFds_;
    // The loop's wait (the node's thread only).
    pollfd waitFds_[5 + 1 + GossipDiscovery::kMaxServers] = {};
    int waitCount_ = 0;
    int waitTimeout_ = 0;
    int waitResult_ = 0;
    bool waitRunning_ = false;  // running_ when the wait was planned

    Parts command_;
    Parts received_;
};

}  // namespace

void runNodeActor(zsock_t* pipe, void* args)
{
    auto* given = static_cast<ActorArgs*>(args);
    Node node(pipe, *given);
    node.run();
}

}  // namespace zre
