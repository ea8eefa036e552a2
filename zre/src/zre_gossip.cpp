#include "zre_gossip.hpp"

#include <cerrno>

#include "zre_clock.hpp"

namespace zre {

namespace {

// One whole message without waiting: the frames, or none.
zmsg_t* receiveNow(zsock_t* socket)
{
    zmq_pollitem_t item = {zsock_resolve(socket), 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, 0) <= 0)
        return nullptr;
    return zmsg_recv(socket);
}

std::optional<GossipMessage> decodeFrame(zframe_t* frame)
{
    return frame ? decodeGossip(zframe_data(frame), zframe_size(frame)) : std::nullopt;
}

}  // namespace

bool GossipDiscovery::open(const std::string& bind, const std::vector<std::string>& servers, const GossipTuple& own)
{
    // Without an endpoint of its own the node only relays (a rendezvous
    // point that is no peer): it publishes nothing.
    own_ = GossipMessage{};
    if (!own.endpoint.empty()) {
        auto publish = publishTuple(own, kOwnTtlMs);
        if (!publish)
            return false;
        own_ = *publish;
    }
    if (!bind.empty()) {
        server_ = zsock_new(ZMQ_ROUTER);
        if (!server_ || zsock_bind(server_, "%s", bind.c_str()) < 0) {
            log_.warn("cannot bind the gossip endpoint %s", bind.c_str());
            zsock_destroy(&server_);
            return false;
        }
        zsock_set_linger(server_, 0);
    }
    for (const std::string& endpoint : servers) {
        if (clients_.size() >= kMaxServers) {
            log_.warn("gossip endpoint %s ignored: more than %zu", endpoint.c_str(), kMaxServers);
            break;
        }
        Server server;
        server.endpoint = endpoint;
        server.socket = zsock_new(ZMQ_DEALER);
        if (!server.socket)
            continue;
        zsock_set_linger(server.socket, 0);
        zsock_set_sndhwm(server.socket, 1000);
        if (zsock_connect(server.socket, "%s", endpoint.c_str()) != 0) {
            log_.warn("cannot connect to the gossip endpoint %s", endpoint.c_str());
            zsock_destroy(&server.socket);
            continue;
        }
        clients_.push_back(server);
        greet(clients_.back());
    }
    nextPingAt_ = now() + kPingMs;
    nextRefreshAt_ = now() + kRefreshMs;
    nextRedeliverAt_ = now() + kRedeliverMs;
    return true;
}

void GossipDiscovery::close()
{
    zsock_destroy(&server_);
    for (Server& server : clients_)
        zsock_destroy(&server.socket);
    clients_.clear();
    connected_.clear();
    tuples_.clear();
}

void GossipDiscovery::descriptors(std::vector<int>& fds) const
{
    if (server_)
        fds.push_back(zsock_fd(server_));
    for (const Server& server : clients_)
        fds.push_back(zsock_fd(server.socket));
}

void GossipDiscovery::greet(Server& server)
{
    GossipMessage hello;
    hello.id = GossipId::Hello;
    sendToServer(server, hello);
    if (publishes())
        sendToServer(server, own_);
    for (const auto& [key, tuple] : tuples_) {
        GossipMessage publish;
        publish.id = GossipId::Publish;
        publish.key = key;
        publish.value = tuple.value;
        sendToServer(server, publish);
    }
}

void GossipDiscovery::work(GossipListener& listener, int64_t t)
{
    // Read until a whole pass finds nothing: a send may take the signal of
    // a message that arrived meanwhile.
    for (int pass = 0; pass < 64; ++pass) {
        bool any = server_ && readServer(listener, t);
        for (Server& server : clients_)
            any = readClient(server, listener, t) || any;
        if (!any)
            break;
    }
    if (t >= nextPingAt_) {
        nextPingAt_ = t + kPingMs;
        GossipMessage ping;
        ping.id = GossipId::Ping;
        for (Server& server : clients_)
            sendToServer(server, ping);
        for (auto it = connected_.begin(); it != connected_.end();)
            it = t - it->second.lastHeard > kClientTimeoutMs ? connected_.erase(it) : std::next(it);
        expire(t);
    }
    if (t >= nextRefreshAt_) {
        nextRefreshAt_ = t + kRefreshMs;
        if (publishes())
            relay(own_, nullptr, nullptr);
    }
    if (t >= nextRedeliverAt_) {
        nextRedeliverAt_ = t + kRedeliverMs;
        redeliver(listener);
    }
}

bool GossipDiscovery::readServer(GossipListener& listener, int64_t t)
{
    zmsg_t* msg = receiveNow(server_);
    if (!msg)
        return false;
    zframe_t* identityFrame = zmsg_first(msg);
    std::string identity(reinterpret_cast<const char*>(zframe_data(identityFrame)), zframe_size(identityFrame));
    auto message = zmsg_size(msg) == 2 ? decodeFrame(zmsg_next(msg)) : std::nullopt;
    zmsg_destroy(&msg);
    auto known = connected_.find(identity);
    if (message && message->id == GossipId::Hello) {
        if (known == connected_.end() && connected_.size() >= kMaxClients) {
            log_.warn("gossip client refused: more than %zu", kMaxClients);
            return true;
        }
        connected_[identity].lastHeard = t;
        if (publishes())
            sendToClient(identity, own_);
        for (const auto& [key, tuple] : tuples_) {
            GossipMessage publish;
            publish.id = GossipId::Publish;
            publish.key = key;
            publish.value = tuple.value;
            sendToClient(identity, publish);
        }
        return true;
    }
    if (!message || known == connected_.end() || message->id == GossipId::Pong || message->id == GossipId::Invalid) {
        GossipMessage invalid;
        invalid.id = GossipId::Invalid;
        sendToClient(identity, invalid);
        if (known != connected_.end())
            connected_.erase(known);
        return true;
    }
    known->second.lastHeard = t;
    if (message->id == GossipId::Ping) {
        GossipMessage pong;
        pong.id = GossipId::Pong;
        sendToClient(identity, pong);
    } else if (store(*message, t)) {
        relay(*message, &identity, nullptr);
        if (auto tuple = parseTuple(*message))
            listener.onTuple(*tuple);
    }
    return true;
}

bool GossipDiscovery::readClient(Server& server, GossipListener& listener, int64_t t)
{
    zmsg_t* msg = receiveNow(server.socket);
    if (!msg)
        return false;
    auto message = zmsg_size(msg) == 1 ? decodeFrame(zmsg_first(msg)) : std::nullopt;
    zmsg_destroy(&msg);
    if (!message)
        return true;
    if (message->id == GossipId::Invalid) {
        greet(server);  // the server forgot this node
    } else if (message->id == GossipId::Publish && store(*message, t)) {
        relay(*message, nullptr, &server);
        if (auto tuple = parseTuple(*message))
            listener.onTuple(*tuple);
    }
    return true;
}

bool GossipDiscovery::store(const GossipMessage& publish, int64_t t)
{
    if (publish.key == own_.key)
        return false;
    int64_t expiresAt = t + (publish.ttlMs > 0 ? int64_t(publish.ttlMs) : kZeroTtlKeepMs);
    auto it = tuples_.find(publish.key);
    if (it != tuples_.end()) {
        bool changed = it->second.value != publish.value;
        it->second.value = publish.value;
        it->second.expiresAt = std::max(it->second.expiresAt, expiresAt);
        return changed;
    }
    if (tuples_.size() >= kMaxTuples) {
        log_.warn("gossip tuple %s ignored: more than %zu", NodeLog::printable(publish.key).c_str(), kMaxTuples);
        return false;
    }
    tuples_[publish.key] = Tuple{publish.value, expiresAt};
    return true;
}

void GossipDiscovery::redeliver(GossipListener& listener)
{
    GossipMessage publish;
    publish.id = GossipId::Publish;
    for (const auto& [key, tuple] : tuples_) {
        publish.key = key;
        publish.value = tuple.value;
        if (auto parsed = parseTuple(publish))
            listener.onTuple(*parsed);
    }
}

void GossipDiscovery::peerAlive(const Uuid& uuid, int64_t t)
{
    auto it = tuples_.find(uuidToString(uuid));
    if (it != tuples_.end())
        it->second.expiresAt = std::max(it->second.expiresAt, t + kZeroTtlKeepMs);
}

void GossipDiscovery::expire(int64_t t)
{
    for (auto it = tuples_.begin(); it != tuples_.end();)
        it = t >= it->second.expiresAt ? tuples_.erase(it) : std::next(it);
}

void GossipDiscovery::relay(const GossipMessage& publish, const std::string* fromClient, const Server* fromServer)
{
    for (const auto& entry : connected_)
        if (!fromClient || entry.first != *fromClient)
            sendToClient(entry.first, publish);
    for (Server& server : clients_)
        if (&server != fromServer)
            sendToServer(server, publish);
}

void GossipDiscovery::sendToClient(const std::string& identity, const GossipMessage& message)
{
    auto bytes = encodeGossip(message);
    if (!bytes || !server_)
        return;
    zmsg_t* msg = zmsg_new();
    zmsg_addmem(msg, identity.data(), identity.size());
    zmsg_addmem(msg, bytes->data(), bytes->size());
    zsock_set_sndtimeo(server_, 0);
    if (zmsg_send(&msg, server_) != 0)
        zmsg_destroy(&msg);
}

void GossipDiscovery::sendToServer(Server& server, const GossipMessage& message)
{
    auto bytes = encodeGossip(message);
    if (!bytes)
        return;
    zframe_t* frame = zframe_new(bytes->data(), bytes->size());
    zsock_set_sndtimeo(server.socket, 0);
    if (zframe_send(&frame, server.socket, 0) != 0)
        zframe_destroy(&frame);
}

}  // namespace zre
