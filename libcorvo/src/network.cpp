#include "corvo/network.h"

#include <poll.h>
#include <zmq.h>
#include <zyre.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include <google/protobuf/arena.h>

#include "corvo/diagnostics.h"
#include "corvo/key_watch.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/peer.h"
#include "corvo/property.h"

namespace corvo {

namespace {

// Every peer of a node's table is made by handleEvent as a TablePeer: a Peer
// with what only the node needs of it (Peer's own layout is public and stays
// as it is).
struct TablePeer : Peer {
    using Peer::Peer;
    // A consumer has heard of it: onEnter (it joined the site) or a message
    // of it handed to a callback (onInfo, onStatus, a request...). Such a
    // peer always leaves through onExit.
    bool reported = false;
};

TablePeer& tablePeer(Peer& peer)
{
    return static_cast<TablePeer&>(peer);
}

#ifdef CORVO_SECURED_SITES
// Trusts one identity's key for the names it may announce.
bool trustKey(zyre_t* node, const Identity& identity)
{
    std::string names;
    for (const auto& name : identity.names)
        names += name + ",";
    return zyre_trust_key(node, identity.publicKey.c_str(), identity.name.c_str(), names.c_str()) == 0;
}
#endif

constexpr int kEventQueueHighWaterMark = 5000;
// The ENTER header in which a secured node names the identity a peer proved.
constexpr const char* kIdentityHeader = "X-CORVO-IDENTITY";

// A zyre header is "true" when present, non-empty and not starting with '0'.
const std::string* meaningfulHeader(const NetworkEvent& event, const char* key)
{
    auto it = event.headers.find(key);
    if (it == event.headers.end() || it->second.empty() || it->second[0] == '0')
        return nullptr;
    return &it->second;
}

std::string copyOrEmpty(const char* text)
{
    return text ? text : "";
}

// Nodes still alive when the process ends through exit(): their background
// actors must be stopped before the messaging library shuts down at exit,
// or it aborts on their sockets. Destroying them also lets peers see this
// program leave at once.
struct LiveNodes {
    std::mutex lock;
    std::unordered_set<Network*> nodes;
};

LiveNodes& liveNodes()
{
    static LiveNodes* registry = new LiveNodes;  // never destroyed: used at exit
    return *registry;
}

struct ZyreEventDeleter {
    void operator()(zyre_event_t* event) const { zyre_event_destroy(&event); }
};

// czmq installs its own SIGINT and SIGTERM handlers with its first socket,
// which would swallow SIGTERM and SIGINT outside the event loop. Programs
// handle SIGINT in their loop and leave every other signal at its default.
// Runs before the first zyre node creates a socket.
zyre_t* newNodeWithDefaultSignals()
{
    static bool handlersDisabled = (zsys_handler_set(nullptr), true);
    (void)handlersDisabled;
    return zyre_new(nullptr);
}

}  // namespace

Network::Network(EventCallback* callback, bool verbose) : node(newNodeWithDefaultSignals()), callback(callback)
{
    if (verbose)
        zyre_set_verbose(node);
    // Registered after the messaging library's own exit handler (which the
    // first socket of zyre_new installs), so it runs before it.
    static bool registered = (std::atexit(&Network::releaseLiveNodes), true);
    (void)registered;
    std::lock_guard<std::mutex> guard(liveNodes().lock);
    liveNodes().nodes.insert(this);
}

Network::~Network()
{
    {
        std::lock_guard<std::mutex> guard(liveNodes().lock);
        liveNodes().nodes.erase(this);
    }
    releaseNode();
}

void Network::releaseNode()
{
    if (!node)
        return;
    stop();
    zyre_destroy(&node);
}

void Network::releaseLiveNodes()
{
    std::lock_guard<std::mutex> guard(liveNodes().lock);
    for (Network* network : liveNodes().nodes)
        network->releaseNode();
    liveNodes().nodes.clear();
}

void Network::setName(const std::string& name)
{
    zyre_set_name(node, name.c_str());
}

void Network::setPort(int port)
{
    zyre_set_port(node, port);
}

void Network::setInterface(const std::string& iface)
{
    zyre_set_interface(node, iface.c_str());
}

void Network::setDiscovery(const DiscoveryOptions& options)
{
    discoveryOptions = options;
}

void Network::applyDiscovery()
{
    if (discoveryApplied)
        return;  // the node keeps them across a stop and a new start
    discoveryApplied = true;
    // Beacon port 0 means no beacons, as in zyre.
    if (!discoveryOptions.beacon)
        zyre_set_port(node, 0);
    if (!discoveryOptions.gossipBind.empty())
        zyre_gossip_bind(node, "%s", discoveryOptions.gossipBind.c_str());
    for (const std::string& entry : discoveryOptions.gossipConnect) {
        GossipRemote remote = splitGossipIdentity(entry);
        if (remote.identity.empty()) {
            zyre_gossip_connect(node, "%s", remote.endpoint.c_str());
            continue;
        }
        // A secured rendezvous point: its key is that of a trusted identity.
        auto key = trustedKeys.find(remote.identity);
        if (key == trustedKeys.end()) {
            diagnose(Diagnostic::Error, Diagnostic::Stderr,
                     "gossip endpoint " + escapeControl(entry) + " left out: " + escapeControl(remote.identity) +
                         " is no trusted identity of this secured node");
            continue;
        }
#ifdef CORVO_SECURED_SITES
        zyre_gossip_connect_curve(node, key->second.c_str(), "%s", remote.endpoint.c_str());
#endif
    }
}

void Network::setHeader(const std::string& key, const std::string& value)
{
    zyre_set_header(node, key.c_str(), "%s", value.c_str());
}

void Network::setClient(bool client)
{
    zyre_set_header(node, "client", "%d", client ? 1 : 0);
}

void Network::setType(std::string type)
{
    zyre_set_header(node, "type", "%s", type.c_str());
}

void Network::setVerbose()
{
    zyre_set_verbose(node);
}

void Network::setSecurity(const KeyPair& own, const std::vector<Identity>& trusted)
{
#ifdef CORVO_SECURED_SITES
    if (zyre_set_curve_keypair(node, own.publicKey.c_str(), own.secretKey.c_str()) != 0)
        throw KeyError("the key pair of " + own.identity + " is refused (does the messaging library have CURVE?)");
    for (const Identity& identity : trusted) {
        trustedKeys[identity.name] = identity.publicKey;
        if (!trustKey(node, identity))
            throw KeyError("cannot trust the key of " + identity.name);
    }
    trustedNow = trusted;
    secured = true;
#else
    (void)own;
    (void)trusted;
    throw KeyError("secured sites need the bundled ZRE node (built with -DCORVO_ZYRE=BUNDLED)");
#endif
}

void Network::watchKeys(const std::string& directory)
{
    keyDirectory = directory;
}

void Network::applyTrust(const std::vector<Identity>& now)
{
#ifdef CORVO_SECURED_SITES
    TrustChanges changes = trustChanges(trustedNow, now);
    for (const Identity& identity : changes.removed)
        zyre_untrust_key(node, identity.publicKey.c_str());
    for (const Identity& identity : changes.added)
        if (!trustKey(node, identity))
            diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                     "key directory: cannot trust the key of " + identity.name);
    zyre_apply_trust(node);
    auto named = [](const std::vector<Identity>& list, const std::string& name) {
        return std::any_of(list.begin(), list.end(), [&](const Identity& i) { return i.name == name; });
    };
    for (const Identity& identity : changes.removed)
        if (!named(changes.added, identity.name))
            diagnose(Diagnostic::Info, Diagnostic::Stderr,
                     "key directory: identity " + identity.name + " is no longer trusted");
    for (const Identity& identity : changes.added)
        diagnose(Diagnostic::Info, Diagnostic::Stderr,
                 "key directory: identity " + identity.name +
                     (named(changes.removed, identity.name) ? " changed" : " is trusted"));
    {
        // What reportRevocations() tells the application thread next.
        std::lock_guard<std::mutex> guard(revokedLock);
        for (const Identity& identity : changes.removed)
            if (!named(changes.added, identity.name))
                revoked.insert(identity.name);
        for (const Identity& identity : changes.added)
            revoked.erase(identity.name);  // trusted again before it was told: nothing to tell
        revocationsWaiting = !revoked.empty();
    }
    trustedNow = now;
#else
    (void)now;
#endif
}

void Network::reportRevocations()
{
    if (!revocationsWaiting.load())
        return;
    std::set<std::string> names;
    {
        std::lock_guard<std::mutex> guard(revokedLock);
        names.swap(revoked);
        revocationsWaiting = false;
    }
    for (const std::string& name : names)
        callback->onRevoked(name);
}

void Network::start()
{
    applyDiscovery();
    if (zyre_start(node) != 0) {
        // Without sockets nothing can be sent; say so instead of failing
        // silently, and keep dropping sends.
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "zyre_start failed: the network node is not running");
        return;
    }
    void* socket = zsock_resolve(zyre_socket(node));
    int hwm = kEventQueueHighWaterMark;
    zmq_setsockopt(socket, ZMQ_SNDHWM, &hwm, sizeof hwm);
    zmq_setsockopt(socket, ZMQ_RCVHWM, &hwm, sizeof hwm);
    started = true;
    if (secured && !keyDirectory.empty()) {
        keyWatch = std::make_unique<KeyWatch>(keyDirectory, trustedNow,
                                              [this](const std::vector<Identity>& now) { applyTrust(now); });
        keyWatch->start();
    }
}

void Network::stop()
{
    if (!node)
        return;
    keyWatch.reset();  // it changes the node's trust: not while it stops
    zyre_stop(node);
    started = false;
}

std::string Network::getUUID()
{
    return zyre_uuid(node);
}

std::string Network::foundBy(const std::string& uuid) const
{
#ifdef ZRE_HAS_PEER_FOUND_BY
    if (!node || !started)
        return std::string();
    char* how = zyre_peer_found_by(node, uuid.c_str());
    std::string text = how ? how : "";
    zstr_free(&how);
    return text;
#else
    (void)uuid;
    return std::string();
#endif
}

namespace {

bool hasInput(void* socket)
{
    int events = 0;
    size_t size = sizeof events;
    return zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size) == 0 && (events & ZMQ_POLLIN);
}

}  // namespace

bool Network::poll(int timeout)
{
    // zmq_poll costs four system calls when nothing comes (two checks of the
    // socket's events around a zero and a timed poll). Once ZMQ_EVENTS has
    // reported nothing, the socket's descriptor becomes readable when
    // anything new arrives; a wait that times out therefore needs no second
    // check, and an idle turn costs one check and one poll.
    // An event already queued is seen without asking libzmq (a look at
    // ZMQ_EVENTS costs two system calls). A look that finds the queue
    // empty re-arms the descriptor (the node asks libzmq when needed).
    void* socket = zsock_resolve(zyre_socket(node));
    if (eventQueued() || (!eventQueueArms() && hasInput(socket)))
        return true;
    if (timeout == 0)
        return false;
    zmq_fd_t fd;
    size_t size = sizeof fd;
    if (zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0)
        return false;
    // The node's inbox is waited on too: what arrives there is read on this
    // thread, one thread wake-up less per message. When the node refuses
    // (it has paused reading: too many events wait), its events come
    // through the event socket, which alone is waited on for the rest of
    // the call.
    int inbox = inboxDescriptor();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        struct pollfd items[2] = {{fd, POLLIN, 0}, {inbox, POLLIN, 0}};
        int wait = timeout;
        if (timeout > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            wait = static_cast<int>(left.count());
        }
        // ::poll, not zmq_poll, which would begin with a zero-wait pass.
        if (inbox >= 0)
            setInboxWaiting(true);
        const int rc = ::poll(items, inbox >= 0 ? 2 : 1, wait);
        if (inbox >= 0)
            setInboxWaiting(false);
        if (rc < 0 && errno != EINTR)
            return false;
        if (rc == 0)
            return false;  // timed out: nothing signalled, nothing arrived
        if (inbox >= 0 && (items[1].revents & (POLLIN | POLLERR | POLLHUP)) && !receiveDirect())
            inbox = -1;
        if (eventQueued())
            return true;
        // The socket signalled: commands or an event; only ZMQ_EVENTS tells
        // which, and it takes the commands, so the descriptor falls quiet.
        if ((items[0].revents || !eventQueueArms()) && hasInput(socket))
            return true;
    }
}

bool Network::eventQueued() const
{
#ifdef ZRE_HAS_EVENT_WAITING
    return zyre_event_waiting(node);
#else
    return false;
#endif
}

bool Network::eventQueueArms() const
{
#ifdef ZRE_HAS_UNSIGNALLED_RECEIVE
    return true;
#else
    return false;
#endif
}

int Network::inboxDescriptor() const
{
#ifdef ZRE_HAS_DIRECT_RECEIVE
    return started && directReceive ? zyre_inbox_fd(node) : -1;
#else
    return -1;
#endif
}

bool Network::receiveDirect()
{
#if defined(ZRE_HAS_UNSIGNALLED_RECEIVE)
    // poll() looks at the queue next, so the socket need not be signalled.
    return zyre_receive_direct_unsignalled(node) >= 0;
#elif defined(ZRE_HAS_DIRECT_RECEIVE)
    return zyre_receive_direct(node) >= 0;
#else
    return false;
#endif
}

void* Network::eventSocket() const
{
    return started ? zsock_resolve(zyre_socket(node)) : nullptr;
}

int Network::waitDescriptor() const
{
    zmq_fd_t fd = -1;
    size_t size = sizeof fd;
    if (!started || zmq_getsockopt(zsock_resolve(zyre_socket(node)), ZMQ_FD, &fd, &size) != 0)
        return -1;
    return fd;
}

int Network::inboxWaitDescriptor() const
{
    return inboxDescriptor();
}

bool Network::readInbox()
{
    return started && receiveDirect();
}

void Network::setInboxWaiting(bool waiting)
{
#ifdef ZRE_HAS_INBOX_WAITING
    if (started)
        zyre_inbox_waiting(node, waiting);
#else
    (void)waiting;
#endif
}

uint64_t Network::droppedEvents() const
{
#ifdef ZRE_HAS_DROPPED_EVENTS
    return node ? zyre_dropped_events(node) : 0;
#else
    return 0;
#endif
}

bool Network::pollout()
{
    zmq_pollitem_t item = {zsock_resolve(zyre_socket(node)), 0, ZMQ_POLLOUT, 0};
    int rc = zmq_poll(&item, 1, 1);
    return rc > 0 && (item.revents & ZMQ_POLLOUT);
}

void Network::join(const std::string& group)
{
    zyre_join(node, group.c_str());
    groups.insert(group);
}

void Network::leave(const std::string& group)
{
    zyre_leave(node, group.c_str());
    groups.erase(group);
}

void Network::setRecvLog(bool on)
{
    on ? join(logGroup) : leave(logGroup);
}

void Network::setRecvValue(bool on)
{
    on ? join(propGroup) : leave(propGroup);
}

void Network::sendGroup(zmsg_t* msg, const std::string& group)
{
    if (!started) {
        zmsg_destroy(&msg);
        return;
    }
    zyre_shout(node, group.c_str(), &msg);
}

void Network::sendLog(zmsg_t* msg)
{
    sendGroup(msg, logGroup);
}

void Network::sendAll(zmsg_t* msg)
{
    sendGroup(msg, siteGroup);
}

void Network::sendOne(zmsg_t* msg, std::shared_ptr<Peer> peer)
{
    if (!started || !peer) {
        zmsg_destroy(&msg);
        return;
    }
    int rc = zyre_whisper(node, peer->uuid.c_str(), &msg);
    if (rc != 0)
        diagnose(Diagnostic::Warning, Diagnostic::Stdout, std::to_string(rc));
}

void Network::sendStatus(unsigned int status)
{
    uint32_t value = status;
    zmsg_t* msg = zmsg_new();
    uint8_t tag = MSG_STATUS;
    zframe_t* tagFrame = zframe_new(&tag, 1);
    zframe_t* statusFrame = zframe_new(&value, sizeof value);
    zmsg_append(msg, &tagFrame);
    zmsg_append(msg, &statusFrame);
    sendAll(msg);
}

void Network::sendLog(const corvo::proto::Log& log)
{
    sendLog(ProtobufToZMsg(log));
}

void Network::sendCommand(std::shared_ptr<Peer> peer, std::string name, std::vector<std::string> args)
{
    corvo::proto::Command command;
    command.set_cmd_name(name.c_str());
    for (const auto& arg : args)
        command.add_args(arg.c_str());
    sendOne(ProtobufToZMsg(command), std::move(peer));
}

void Network::sendProperty(const Property* property)
{
    corvo::proto::PropertyChange change = property->genPropertyChangePB();
    change.set_command(false);
    sendGroup(ProtobufToZMsg(change), propGroup);
}

void Network::changeProperty(std::shared_ptr<Peer> peer, const Property* property)
{
    corvo::proto::PropertyChange change = property->genPropertyChangePB();
    change.set_command(true);
    sendOne(ProtobufToZMsg(change), std::move(peer));
}

void Network::sendResponse(const std::string& peerUuid, const corvo::proto::Response& response)
{
    zmsg_t* msg = ProtobufToZMsg(response);
    if (!started || peerUuid.empty()) {
        zmsg_destroy(&msg);
        return;
    }
    zyre_whisper(node, peerUuid.c_str(), &msg);
}

namespace {

// The payload frame of a message as raw bytes.
struct Payload {
    const unsigned char* data = nullptr;
    size_t size = 0;
};

}  // namespace

struct detail::MessageFrames {
    size_t count = 0;
    // 0 for a message without frames or with an empty first frame; 0 is
    // ignored like every unknown tag.
    MessageType tag = MessageType(0);
    Payload payload;  // the last frame
};

namespace {

detail::MessageFrames framesOf(zmsg_t* msg)
{
    detail::MessageFrames frames;
    frames.count = zmsg_size(msg);
    frames.tag = GetMessageType(msg);
    if (zframe_t* last = zmsg_last(msg)) {
        frames.payload.data = zframe_data(last);
        frames.payload.size = zframe_size(last);
    }
    return frames;
}

#ifdef ZRE_HAS_EVENT_FRAMES
// The same, read from the event without making it a zmsg_t.
detail::MessageFrames framesOf(zyre_event_t* event)
{
    detail::MessageFrames frames;
    frames.count = zyre_event_frame_count(event);
    if (frames.count == 0)
        return frames;
    size_t size = 0;
    const void* first = zyre_event_frame(event, 0, &size);
    if (first && size > 0)
        frames.tag = MessageType(static_cast<const unsigned char*>(first)[0]);
    frames.payload.data = static_cast<const unsigned char*>(zyre_event_frame(event, frames.count - 1, &size));
    frames.payload.size = frames.payload.data ? size : 0;
    return frames;
}
#endif

}  // namespace

void Network::recv()
{
    std::unique_ptr<zyre_event_t, ZyreEventDeleter> zevent(zyre_event_new(node));
    if (!zevent)
        return;  // interrupted
    zyre_event_t* raw = zevent.get();

    NetworkEvent event;
    event.type = copyOrEmpty(zyre_event_type(raw));
    event.peerUuid = copyOrEmpty(zyre_event_peer_uuid(raw));
    event.group = copyOrEmpty(zyre_event_group(raw));
    if (event.type == "ENTER") {
        event.peerName = copyOrEmpty(zyre_event_peer_name(raw));
        event.peerAddress = copyOrEmpty(zyre_event_peer_addr(raw));
        for (const char* key : {"client", "type", kIdentityHeader}) {
            if (const char* value = zyre_event_header(raw, key))
                event.headers.emplace(key, value);
        }
    }
    // The event is released when zevent goes out of scope, also when a
    // callback throws.
#ifdef ZRE_HAS_EVENT_FRAMES
    // The frames are read where they are, not copied into a zmsg_t (other
    // events have none, and handleEvent does not look at them).
    detail::MessageFrames frames = framesOf(raw);
    handleEvent(event, &frames);
#else
    event.msg = zyre_event_msg(raw);
    handleEvent(event);
#endif
}

namespace {

std::string tooLong(const char* what, size_t size, size_t bound)
{
    return std::string(what) + " of " + std::to_string(size) + " bytes (at most " + std::to_string(bound) + ")";
}

std::string tooMany(const char* what, size_t count, size_t bound)
{
    return std::to_string(count) + " " + what + " (at most " + std::to_string(bound) + ")";
}

// Why an Info breaks the bounds of network.h and property.h, or empty.
std::string infoViolation(const corvo::proto::Info& info)
{
    size_t properties = info.properties_size(), commands = info.commands_size(), statuses = info.status_list_size();
    if (properties > kMaxInfoEntries)
        return tooMany("properties", properties, kMaxInfoEntries);
    if (commands > kMaxInfoEntries)
        return tooMany("commands", commands, kMaxInfoEntries);
    if (statuses > kMaxInfoEntries)
        return tooMany("status names", statuses, kMaxInfoEntries);
    for (const auto& record : info.properties()) {
        if (record.name().size() > kMaxNameBytes || record.egu().size() > kMaxNameBytes)
            return tooLong("a property name or unit", std::max(record.name().size(), record.egu().size()),
                           kMaxNameBytes);
        if (record.description().size() > kMaxDescriptionBytes)
            return tooLong("a property description", record.description().size(), kMaxDescriptionBytes);
        std::string bounds = boundsViolation(record);
        if (!bounds.empty())
            return "property " + record.name() + ": " + bounds;
    }
    for (const auto& command : info.commands()) {
        if (command.cmd_name().size() > kMaxNameBytes)
            return tooLong("a command name", command.cmd_name().size(), kMaxNameBytes);
        if (command.description().size() > kMaxDescriptionBytes)
            return tooLong("a command description", command.description().size(), kMaxDescriptionBytes);
        if (static_cast<size_t>(command.args_size()) > kMaxCommandArgs)
            return tooMany("arguments of one command", command.args_size(), kMaxCommandArgs);
        for (const auto& arg : command.args())
            if (arg.argname().size() > kMaxNameBytes)
                return tooLong("an argument name", arg.argname().size(), kMaxNameBytes);
    }
    for (const auto& meta : info.status_list())
        if (meta.text().size() > kMaxDescriptionBytes)
            return tooLong("a status text", meta.text().size(), kMaxDescriptionBytes);
    return std::string();
}

// Why merging `info` into what is known of `peer` would make its tables
// outgrow kMaxInfoEntries, or empty.
std::string mergeViolation(const Peer& peer, const corvo::proto::Info& info)
{
    auto grownSize = [](const auto& table, const auto& records, auto keyOf) {
        size_t size = table.size();
        for (const auto& record : records)
            size += table.count(keyOf(record)) ? 0 : 1;  // repeated new keys only overcount
        return size;
    };
    if (grownSize(peer.properties, info.properties(), [](const auto& r) { return r.name(); }) > kMaxInfoEntries ||
        grownSize(peer.commands, info.commands(), [](const auto& r) { return r.cmd_name(); }) > kMaxInfoEntries ||
        grownSize(peer.statusNames, info.status_list(), [](const auto& r) { return r.status(); }) > kMaxInfoEntries)
        return "descriptions adding up to more than " + std::to_string(kMaxInfoEntries) + " entries of one kind";
    return std::string();
}

std::string logViolation(const corvo::proto::Log& log)
{
    if (log.logger().size() > kMaxNameBytes)
        return tooLong("a logger name", log.logger().size(), kMaxNameBytes);
    if (log.message().size() > kMaxDescriptionBytes)
        return tooLong("a log message", log.message().size(), kMaxDescriptionBytes);
    return std::string();
}

// The fixed cost counted per kept entry, label and list item.
constexpr size_t kEntryCost = 64;

size_t keptBytesOf(const Property& property)
{
    size_t bytes = kEntryCost + property.name.size() + property.description.size() + property.egu.size() +
                   property.strValue.size();
    for (const auto& choice : property.choices)
        bytes += kEntryCost + choice.second.size();
    for (const auto& item : property.strList)
        bytes += kEntryCost + item.size();
    bytes += (property.intList.size() + property.doubleList.size()) * sizeof(int64_t);
    return bytes;
}

size_t keptBytesOf(const Peer& peer)
{
    size_t bytes = 0;
    for (const auto& entry : peer.properties)
        bytes += keptBytesOf(entry.second);
    for (const auto& entry : peer.commands) {
        bytes += kEntryCost + entry.second.name.size() + entry.second.description.size();
        for (const auto& arg : entry.second.args)
            bytes += kEntryCost + arg.name.size();
    }
    for (const auto& entry : peer.statusNames)
        bytes += kEntryCost + entry.second.size();
    return bytes;
}

// Property changes are most of a site's traffic: each is decoded on an
// arena whose first block is kept, so that decoding one allocates nothing.
// A change handled while another is (a handler that reads the network
// itself) is decoded on the heap instead.
struct ChangeArena {
    static constexpr size_t kBlockBytes = 4096;
    alignas(16) char block[kBlockBytes];
    google::protobuf::Arena arena{options(block)};
    bool busy = false;

    static google::protobuf::ArenaOptions options(char* block)
    {
        google::protobuf::ArenaOptions o;
        o.initial_block = block;
        o.initial_block_size = kBlockBytes;
        return o;
    }
};

template <class Record>
Record decode(const Payload& payload)
{
    // A payload that does not parse is handed on as far as it was decoded.
    Record record;
    record.ParseFromArray(payload.data, static_cast<int>(payload.size));
    return record;
}

}  // namespace

void Network::handleEvent(const NetworkEvent& event)
{
    if (!event.msg)
        return handleEvent(event, nullptr);
    detail::MessageFrames frames = framesOf(event.msg);
    handleEvent(event, &frames);
}

void Network::handleEvent(const NetworkEvent& event, const detail::MessageFrames* frames)
{
    std::shared_ptr<Peer> peer = table.byUuid(event.peerUuid);
    if (!peer) {
        if (event.type != "ENTER")
            return;
        peer = table.add(std::make_shared<TablePeer>(event.peerName, event.peerUuid, event.peerAddress));
    }
    // Anything but the node's own report of silence shows the peer alive.
    peer->silent = event.type == "EVASIVE" || event.type == "SILENT";

    // Peers that use a group outside this site belong to another site. One
    // that was reported (onEnter, or any of its messages) leaves as on LEAVE
    // or EXIT, so that no consumer keeps it; one that was not is forgotten
    // silently.
    const bool foreign =
        !event.group.empty() && event.group != siteGroup && event.group != propGroup && event.group != logGroup;
    if (foreign && !tablePeer(*peer).reported) {
        table.remove(event.peerUuid);
        return;
    }

    const std::string& type = event.type;

    if (foreign || type == "LEAVE" || type == "EXIT") {
        // Drop the entry even when the callback throws.
        struct EraseOnExit {
            Network* self;
            const std::string& uuid;
            ~EraseOnExit() { self->table.remove(uuid); }
        } erase{this, event.peerUuid};
        callback->onExit(peer);
    } else if (type == "ENTER") {
        const std::string* client = meaningfulHeader(event, "client");
        const std::string* peerType = meaningfulHeader(event, "type");
        peer->client = client != nullptr;
        peer->type = peerType ? *peerType : std::string();
        // Only the node of a secured site puts this header in an ENTER event.
        auto identity = event.headers.find(kIdentityHeader);
        peer->identity = secured && identity != event.headers.end() ? identity->second : std::string();
    } else if (type == "JOIN") {
        if (event.group == siteGroup) {
            tablePeer(*peer).reported = true;
            callback->onEnter(peer);
        }
    } else if (type == "SHOUT" || type == "WHISPER") {
        if (frames) {
            // Set before the callbacks run: a consumer may keep what it is
            // handed (Python's client keeps the Info of a peer it never saw
            // enter) until it hears of the peer's departure.
            tablePeer(*peer).reported = true;
            handleMessage(event, peer, *frames);
        }
    }
}

void Network::handleMessage(const NetworkEvent& event, const std::shared_ptr<Peer>& peer,
                            const detail::MessageFrames& frames)
{
    if (frames.count > kMaxMessageFrames)
        return dropPeer(event.peerUuid, tooMany("frames in one message", frames.count, kMaxMessageFrames));
    const Payload& payload = frames.payload;
    // The decoder takes sizes as int: anything near 2 GiB would throw.
    if (payload.size > kMaxPayloadBytes)
        return dropPeer(event.peerUuid, tooLong("a payload", payload.size, kMaxPayloadBytes));
    switch (frames.tag) {
        case MSG_LOG: {
            auto log = decode<corvo::proto::Log>(payload);
            std::string violation = logViolation(log);
            if (!violation.empty())
                return dropPeer(event.peerUuid, violation);
            callback->onLog(peer, log);
            break;
        }
        case MSG_PROPERTY_CHANGE: {
            thread_local ChangeArena reused;
            if (reused.busy) {
                updateProperty(peer, decode<corvo::proto::PropertyChange>(payload));
                break;
            }
            struct Release {
                ChangeArena& reused;
                ~Release()
                {
                    reused.arena.Reset();
                    reused.busy = false;
                }
            } release{reused};
            reused.busy = true;
            auto* change = google::protobuf::Arena::CreateMessage<corvo::proto::PropertyChange>(&reused.arena);
            change->ParseFromArray(payload.data, static_cast<int>(payload.size));
            updateProperty(peer, *change);
            break;
        }
        case MSG_STATUS: {
            uint32_t status = 0;
            if (payload.size < sizeof status)
                return;  // too short to hold a status: ignored
            std::memcpy(&status, payload.data, sizeof status);
            peer->status = status;
            callback->onStatus(peer, status);
            break;
        }
        case MSG_COMMAND: {
            auto command = decode<corvo::proto::Command>(payload);
            writeCommandDelay(*peer, command);
            callback->handleCommand(peer, command);
            break;
        }
        case MSG_INFO: {
            auto info = decode<corvo::proto::Info>(payload);
            std::string violation = infoViolation(info);
            if (violation.empty())
                violation = mergeViolation(*peer, info);
            if (!violation.empty())
                return dropPeer(event.peerUuid, violation);
            parseInfo(peer, std::move(info));
            break;
        }
        case MSG_RESPONSE: {
            // An answer that does not parse answers nothing.
            corvo::proto::Response response;
            if (response.ParseFromArray(payload.data, static_cast<int>(payload.size)))
                callback->onResponse(peer, response);
            break;
        }
        case MSG_IMAGE_REQUEST:
        case MSG_IMAGE_CREDIT:
        case MSG_IMAGE_CHUNK:
        case MSG_IMAGE_END:
        case MSG_IMAGE_READY:
            callback->onImageMessage(peer, frames.tag, payload.data, payload.size);
            break;
        default:
            break;
    }
}

void Network::writeCommandDelay(const Peer& peer, const corvo::proto::Command& command)
{
    for (const LogThrottle::Summary& summary : commandLines.expire())
        diagnose(Diagnostic::Info, Diagnostic::Stdout,
                 "CommandDelay: last line of " + escapeControl(summary.key.substr(summary.key.find('/') + 1)) +
                     " repeated " + std::to_string(summary.repeated) + " times");
    // Without a send time there is no delay to tell (it would count from
    // the epoch).
    if (!hasSendTime(command.send_ts()))
        return;
    LogThrottle::Decision decision = commandLines.admit(peer.uuid + "/" + peer.name);
    if (decision.repeated)
        diagnose(Diagnostic::Info, Diagnostic::Stdout,
                 "CommandDelay: last line of " + escapeControl(peer.name) + " repeated " +
                     std::to_string(decision.repeated) + " times");
    if (!decision.write)
        return;
    int64_t delayUs = sendDelayMicroseconds(command.send_ts().seconds(), command.send_ts().nanos());
    diagnose(Diagnostic::Info, Diagnostic::Stdout, "CommandDelay: " + std::to_string(delayUs) + "us");
}

void Network::parseInfo(std::shared_ptr<Peer> peer, corvo::proto::Info info)
{
    for (const auto& record : info.properties())
        peer->properties.insert_or_assign(record.name(), Property(record));
    for (int i = 0; i < info.commands_size(); ++i) {
        CommandDef def(info.mutable_commands(i));
        std::string key = def.name;
        peer->commands.insert_or_assign(key, std::move(def));
    }
    for (const auto& meta : info.status_list())
        peer->statusNames.insert_or_assign(meta.status(), meta.text());
    peer->status = info.status();
    table.account(*peer, keptBytesOf(*peer));
    if (overBytes(*peer))
        return;
    callback->onInfo(peer);
}

void Network::updateProperty(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    if (change.command()) {
        // A request is checked, and refused when too large, by its receiver.
        callback->handlePropertyCommand(peer, change);
        return;
    }
    auto it = peer->properties.find(change.name());
    if (it == peer->properties.end())
        return;  // only properties described in the peer's Info are kept
    std::string violation = boundsViolation(change);
    if (!violation.empty())
        return dropPeer(peer->uuid, "property " + change.name() + ": " + violation);
    size_t before = keptBytesOf(it->second);
    it->second.updateFromPB(change);
    table.account(*peer, peer->keptBytes - std::min(peer->keptBytes, before) + keptBytesOf(it->second));
    if (overBytes(*peer))
        return;
    callback->onProperty(peer, it->second);
}

void Network::setByteBounds(size_t perPeer, size_t allPeers)
{
    maxPeerBytes = perPeer;
    maxAllPeersBytes = allPeers;
}

bool Network::overBytes(Peer& peer)
{
    if (peer.keptBytes > maxPeerBytes)
        dropPeer(peer.uuid, "descriptions and values of more than " + std::to_string(maxPeerBytes) + " bytes");
    else if (table.keptBytes() > maxAllPeersBytes)
        dropPeer(peer.uuid, "all peers together keep more than " + std::to_string(maxAllPeersBytes) + " bytes");
    else
        return false;
    return true;
}

void Network::dropPeer(const std::string& uuid, const std::string& why)
{
    std::shared_ptr<Peer> peer = table.remove(uuid);
    if (!peer)
        return;
    diagnose(Diagnostic::Warning, Diagnostic::Stderr,
             "Dropped peer " + escapeControl(peer->name) + " (" + escapeControl(uuid) + "): " + escapeControl(why));
    callback->onExit(peer);
}

}  // namespace corvo
