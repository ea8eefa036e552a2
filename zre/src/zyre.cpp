// The C API of the node: a thin front that forwards calls to the actor and
// hands out the events the actor queued.
#include "zyre.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "zre_codec.hpp"
#include "zre_events.hpp"
#include "zre_gossip.hpp"
#include "zre_node.hpp"
#include "zre_peer.hpp"

namespace {

zre::Uuid randomUuid()
{
    std::random_device device;
    zre::Uuid uuid;
    for (size_t i = 0; i < uuid.size(); i += 4) {
        uint32_t value = device();
        std::memcpy(uuid.data() + i, &value, 4);
    }
    return uuid;
}

// czmq sets itself up with its first socket, without a lock: nodes created
// on two threads at once could both do it. Done once here, before any socket.
void setUpMessaging()
{
    static std::once_flag once;
    std::call_once(once, [] { zsys_init(); });
}

}  // namespace

struct _zyre_t {
    zactor_t* actor = nullptr;
    zre::EventQueue events;
    zre::Uuid uuid{};
    std::string uuidText;
    zre::Config config;
    std::optional<zre::CurveKey> publicKey;
    std::optional<zre::CurveKey> secretKey;
    std::shared_ptr<zre::TrustTable> trust = std::make_shared<zre::TrustTable>();
    bool started = false;
    std::atomic<uint64_t> droppedEvents{0};
    zre::Direct direct;
    // Sends on the actor pipe may come from several threads (a log sink).
    std::mutex pipeLock;
};

extern "C" {

zyre_t* zyre_new(const char* name)
{
    setUpMessaging();
    auto self = std::make_unique<_zyre_t>();
    self->uuid = randomUuid();
    self->uuidText = zre::uuidToString(self->uuid);
    self->config.name = name ? name : self->uuidText.substr(0, 6);
    if (self->config.name.size() > zre::kMaxStringSize)
        self->config.name.resize(zre::kMaxStringSize);

    if (!self->events.ok())
        return nullptr;
    zre::ActorArgs args{self->uuid, &self->events, &self->droppedEvents, &self->direct};
    self->actor = zactor_new(zre::runNodeActor, &args);
    if (!self->actor)
        return nullptr;
    return self.release();
}

void zyre_destroy(zyre_t** self_p)
{
    if (!self_p || !*self_p)
        return;
    zyre_t* self = *self_p;
    if (self->started)
        zyre_stop(self);
    zactor_destroy(&self->actor);
    delete self;
    *self_p = nullptr;
}

const char* zyre_uuid(zyre_t* self)
{
    return self->uuidText.c_str();
}

const char* zyre_name(zyre_t* self)
{
    return self->config.name.c_str();
}

void zyre_set_name(zyre_t* self, const char* name)
{
    if (!name)
        return;
    self->config.name = name;
    if (self->config.name.size() > zre::kMaxStringSize)
        self->config.name.resize(zre::kMaxStringSize);
}

void zyre_set_header(zyre_t* self, const char* name, const char* format, ...)
{
    if (!name || !format || std::strlen(name) > zre::kMaxStringSize)
        return;
    va_list args;
    va_start(args, format);
    char* value = zsys_vprintf(format, args);
    va_end(args);
    if (!value)
        return;
    self->config.headers[name] = value;
    zstr_free(&value);
}

void zyre_set_verbose(zyre_t* self)
{
    self->config.verbose = true;
}

void zyre_set_port(zyre_t* self, int port_nbr)
{
    if (port_nbr >= 0 && port_nbr <= 65535)
        self->config.port = port_nbr;
}

void zyre_set_interface(zyre_t* self, const char* value)
{
    self->config.interface = value ? value : "";
}

void zyre_set_interval(zyre_t* self, size_t interval)
{
    if (interval > 0)
        self->config.interval = interval;
}

void zyre_set_evasive_timeout(zyre_t* self, int interval)
{
    if (interval > 0)
        self->config.evasiveTimeout = interval;
}

void zyre_set_expired_timeout(zyre_t* self, int interval)
{
    if (interval > 0)
        self->config.expiredTimeout = interval;
}

int zyre_set_curve_keypair(zyre_t* self, const char* public_key, const char* secret_key)
{
    if (!zmq_has("curve") || !public_key || !secret_key)
        return -1;
    auto publicKey = zre::curveKeyFromText(public_key);
    auto secretKey = zre::curveKeyFromText(secret_key);
    if (!publicKey || !secretKey)
        return -1;
    std::lock_guard<std::mutex> lock(self->pipeLock);
    self->publicKey = publicKey;
    self->secretKey = secretKey;
    return 0;
}

int zyre_trust_key(zyre_t* self, const char* public_key, const char* identity, const char* names)
{
    if (!public_key || !identity || !*identity || std::strlen(identity) > zre::kMaxStringSize)
        return -1;
    auto key = zre::curveKeyFromText(public_key);
    if (!key)
        return -1;
    zre::TrustedIdentity entry;
    entry.identity = identity;
    entry.key = *key;
    std::stringstream list(names ? names : "");
    for (std::string pattern; std::getline(list, pattern, ',');) {
        pattern.erase(0, pattern.find_first_not_of(" \t"));
        pattern.erase(pattern.find_last_not_of(" \t") + 1);
        if (!pattern.empty())
            entry.names.push_back(pattern);
    }
    std::lock_guard<std::mutex> lock(self->pipeLock);
    return self->trust->add(std::move(entry)) ? 0 : -1;
}

int zyre_untrust_key(zyre_t* self, const char* public_key)
{
    auto key = public_key ? zre::curveKeyFromText(public_key) : std::nullopt;
    if (!key)
        return -1;
    std::lock_guard<std::mutex> lock(self->pipeLock);
    return self->trust->remove(*key) ? 0 : -1;
}

int zyre_apply_trust(zyre_t* self)
{
    std::lock_guard<std::mutex> lock(self->pipeLock);
    if (!self->started)
        return 0;  // zyre_start takes the keys as they are then
    if (!self->publicKey)
        return -1;
    auto* table = new std::shared_ptr<const zre::TrustTable>(std::make_shared<const zre::TrustTable>(*self->trust));
    zmsg_t* msg = zmsg_new();
    zmsg_addstr(msg, "TRUST");
    zmsg_addmem(msg, &table, sizeof table);
    self->direct.commandQueued();
    if (zmsg_send(&msg, self->actor) != 0) {
        self->direct.commandTaken();
        zmsg_destroy(&msg);
        delete table;
        return -1;
    }
    return zsock_wait(self->actor) == 0 ? 0 : -1;
}

namespace {

std::string formatted(const char* format, va_list args)
{
    char* text = zsys_vprintf(format, args);
    std::string out = text ? text : "";
    zstr_free(&text);
    return out;
}

}  // namespace

void zyre_gossip_bind(zyre_t* self, const char* format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    self->config.gossipBind = formatted(format, args);
    va_end(args);
}

void zyre_gossip_connect(zyre_t* self, const char* format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    std::string endpoint = formatted(format, args);
    va_end(args);
    if (self->config.gossipConnect.size() < zre::GossipDiscovery::kMaxServers) {
        self->config.gossipConnect.push_back(endpoint);
        self->config.gossipConnectKeys.emplace_back();
    }
}

void zyre_gossip_connect_curve(zyre_t* self, const char* public_key, const char* format, ...)
{
    if (!format || !public_key)
        return;
    va_list args;
    va_start(args, format);
    std::string endpoint = formatted(format, args);
    va_end(args);
    if (self->config.gossipConnect.size() < zre::GossipDiscovery::kMaxServers) {
        self->config.gossipConnect.push_back(endpoint);
        self->config.gossipConnectKeys.emplace_back(public_key);
    }
}

int zyre_start(zyre_t* self)
{
    std::lock_guard<std::mutex> lock(self->pipeLock);
    if (self->started)
        return 0;
    auto* config = new zre::Config(self->config);
    if (self->publicKey && self->secretKey) {
        auto curve = std::make_shared<zre::CurveSetup>();
        curve->publicKey = *self->publicKey;
        curve->secretKey = *self->secretKey;
        curve->trust = std::make_shared<const zre::TrustTable>(*self->trust);
        config->curve = curve;
    }
    zmsg_t* msg = zmsg_new();
    zmsg_addstr(msg, "START");
    zmsg_addmem(msg, &config, sizeof config);
    self->direct.commandQueued();
    if (zmsg_send(&msg, self->actor) != 0) {
        self->direct.commandTaken();
        zmsg_destroy(&msg);
        delete config;
        return -1;
    }
    int status = zsock_wait(self->actor);
    self->started = status == 0;
    return self->started ? 0 : -1;
}

void zyre_stop(zyre_t* self)
{
    std::lock_guard<std::mutex> lock(self->pipeLock);
    if (!self->started)
        return;
    self->direct.commandQueued();
    if (zstr_send(self->actor, "STOP") == 0)
        zsock_wait(self->actor);
    else
        self->direct.commandTaken();
    self->started = false;
}

}  // extern "C"

namespace {

// Sends command, argument and the frames of *msg_p (taken over) to the
// actor as one message.
int sendCommand(zyre_t* self, const char* command, const char* argument, zmsg_t** msg_p)
{
    zmsg_t* msg = msg_p ? *msg_p : nullptr;
    if (msg_p)
        *msg_p = nullptr;
    if (!self || !argument) {
        zmsg_destroy(&msg);
        return -1;
    }
    std::lock_guard<std::mutex> lock(self->pipeLock);
    void* pipe = zsock_resolve(self->actor);
    bool content = msg && zmsg_size(msg) > 0;
    // Counted before it is sent: the actor may handle it at once.
    self->direct.commandQueued();
    int rc = zmq_send(pipe, command, std::strlen(command), ZMQ_SNDMORE);
    bool firstSent = rc >= 0;
    if (rc >= 0)
        rc = zmq_send(pipe, argument, std::strlen(argument), content ? ZMQ_SNDMORE : 0);
    while (rc >= 0 && content) {
        zframe_t* frame = zmsg_pop(msg);
        content = zmsg_size(msg) > 0;
        rc = zframe_send(&frame, pipe, content ? ZFRAME_MORE : 0);
        zframe_destroy(&frame);
    }
    zmsg_destroy(&msg);
    if (rc < 0 && !firstSent)
        self->direct.commandTaken();
    return rc < 0 ? -1 : 0;
}

}  // namespace

extern "C" {

int zyre_join(zyre_t* self, const char* group)
{
    if (!group || std::strlen(group) > zre::kMaxStringSize)
        return -1;
    return sendCommand(self, "JOIN", group, nullptr);
}

int zyre_leave(zyre_t* self, const char* group)
{
    if (!group || std::strlen(group) > zre::kMaxStringSize)
        return -1;
    return sendCommand(self, "LEAVE", group, nullptr);
}

int zyre_whisper(zyre_t* self, const char* peer, zmsg_t** msg_p)
{
    if (!msg_p || !*msg_p)
        return -1;
    if (self && peer && self->direct.whisper(peer, msg_p))
        return 0;
    return sendCommand(self, "WHISPER", peer, msg_p);
}

int zyre_shout(zyre_t* self, const char* group, zmsg_t** msg_p)
{
    if (!msg_p || !*msg_p)
        return -1;
    if (group && std::strlen(group) > zre::kMaxStringSize) {
        zmsg_destroy(msg_p);
        return -1;
    }
    if (self && group && self->direct.shout(group, msg_p))
        return 0;
    return sendCommand(self, "SHOUT", group, msg_p);
}

char* zyre_peer_found_by(zyre_t* self, const char* peer)
{
    if (!self || !peer)
        return nullptr;
    int bits = self->direct.foundBy(peer);
    if (bits < 0)
        return nullptr;
    std::string text;
    if (bits & zre::kFoundByBeacon)
        text = "beacon";
    if (bits & zre::kFoundByGossip)
        text += text.empty() ? "gossip" : ",gossip";
    return strdup(text.c_str());
}

zsock_t* zyre_socket(zyre_t* self)
{
    return self->events.socket();
}

uint64_t zyre_dropped_events(zyre_t* self)
{
    return self->droppedEvents.load(std::memory_order_relaxed);
}

int zyre_inbox_fd(zyre_t* self)
{
    return self ? self->direct.inboxFd() : -1;
}

int zyre_receive_direct(zyre_t* self)
{
    return self ? self->direct.receive() : -1;
}

int zyre_receive_direct_unsignalled(zyre_t* self)
{
    if (!self)
        return -1;
    self->events.setSignalling(false);
    int handled = self->direct.receive();
    self->events.setSignalling(true);
    return handled;
}

void zyre_inbox_waiting(zyre_t* self, bool waiting)
{
    if (self)
        self->direct.readerWaiting(waiting);
}

bool zyre_event_waiting(zyre_t* self)
{
    return self && self->events.eventWaiting();
}

// Waits until the inbox or the event socket signals; false when
// interrupted. poll(), not zmq_poll(), which looks at the socket's
// ZMQ_EVENTS before and after its wait (four system calls more).
static bool waitForInput(zyre_t* node, int inbox)
{
    // Finding no event arms the socket's descriptor.
    if (node->events.eventWaiting())
        return true;
    struct pollfd items[2] = {{node->events.descriptor(), POLLIN, 0}, {inbox, POLLIN, 0}};
    node->direct.readerWaiting(true);
    int ready = poll(items, 2, -1);
    node->direct.readerWaiting(false);
    if (ready < 0)
        return false;
    if (items[0].revents)
        node->events.descriptorSignalled();
    return true;
}

zyre_event_t* zyre_event_new(zyre_t* node)
{
    // While nothing waits, the inbox is waited on beside the event socket
    // and read on this thread when the node's thread is not at it. When it
    // is, its events come through the socket, which alone is waited on.
    for (;;) {
        if (zyre_event_t* event = node->events.pop(false))
            return event;
        int inbox = node->direct.inboxFd();
        if (inbox < 0 || zyre_receive_direct_unsignalled(node) < 0)
            return node->events.pop(true);
        if (zyre_event_t* event = node->events.pop(false))
            return event;
        if (!waitForInput(node, inbox))
            return nullptr;  // interrupted
    }
}

void zyre_event_destroy(zyre_event_t** self_p)
{
    if (!self_p || !*self_p)
        return;
    delete *self_p;
    *self_p = nullptr;
}

const char* zyre_event_type(zyre_event_t* self)
{
    return self->type;
}
const char* zyre_event_peer_uuid(zyre_event_t* self)
{
    return self->peerUuid;
}
const char* zyre_event_peer_name(zyre_event_t* self)
{
    return self->peerName.c_str();
}
const char* zyre_event_peer_addr(zyre_event_t* self)
{
    return self->hasAddr ? self->peerAddr.c_str() : nullptr;
}
zhash_t* zyre_event_headers(zyre_event_t* self)
{
    return self->headers;
}
const char* zyre_event_header(zyre_event_t* self, const char* name)
{
    if (!self->headers || !name)
        return nullptr;
    return static_cast<const char*>(zhash_lookup(self->headers, name));
}
const char* zyre_event_group(zyre_event_t* self)
{
    return self->hasGroup ? self->group.c_str() : nullptr;
}
zmsg_t* zyre_event_msg(zyre_event_t* self)
{
    if (self->hasContent && !self->msg) {
        self->msg = zmsg_new();
        for (size_t i = 0; i < self->content.size(); ++i) {
            zmq_msg_t& frame = self->content.at(i);
            zframe_t* copy = zframe_new(zmq_msg_data(&frame), zmq_msg_size(&frame));
            zmsg_append(self->msg, &copy);
        }
        self->content.clear();
    }
    return self->msg;
}

size_t zyre_event_frame_count(zyre_event_t* self)
{
    if (self->msg)
        return zmsg_size(self->msg);
    return self->content.size();
}

const void* zyre_event_frame(zyre_event_t* self, size_t index, size_t* size)
{
    // Once the frames are a zmsg_t, the caller may have changed it: it is
    // what is read then.
    if (self->msg) {
        zframe_t* frame = zmsg_first(self->msg);
        for (size_t i = 0; frame && i < index; ++i)
            frame = zmsg_next(self->msg);
        if (size)
            *size = frame ? zframe_size(frame) : 0;
        return frame ? zframe_data(frame) : nullptr;
    }
    if (index >= self->content.size()) {
        if (size)
            *size = 0;
        return nullptr;
    }
    zmq_msg_t& frame = self->content.at(index);
    if (size)
        *size = zmq_msg_size(&frame);
    return zmq_msg_data(&frame);
}

}  // extern "C"
