#include "zre_gossip.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Before bind or connect: a frame that announces more than any gossip
// message closes its connection instead of being read into memory.
void limitFrames(zsock_t* socket)
{
    int64_t limit = kMaxGossipFrame;
    zmq_setsockopt(zsock_resolve(socket), ZMQ_MAXMSGSIZE, &limit, sizeof limit);
}

}  // namespace

bool GossipDiscovery::open(const std::string& bind, const std::vector<Remote>& servers, const GossipTuple& own,
                           const CurveSetup* curve, const std::string& zapDomain)
{
    // Without an endpoint of its own the node only relays (a rendezvous
    // point that is no peer): it publishes nothing.
    own_ = GossipMessage{};
    if (!own.endpoint.empty()) {
        auto publish = publishTuple(own, kOwnTtlMs);
        if (!publish)
            return false;
        own_ = *publish;
        table_.setOwnKey(own_.key);
    }
    int64_t t = now();
    curve_ = curve;
    if (!bind.empty()) {
        server_ = zsock_new(ZMQ_ROUTER);
        if (server_) {
            zsock_set_linger(server_, 0);
            // Clients read this from the connection to know one of ours.
            zmq_setsockopt(zsock_resolve(server_), ZMQ_ROUTING_ID, kServerMark, std::strlen(kServerMark));
            limitFrames(server_);
        }
        if (!server_ || (curve && !secureServer(*curve, zapDomain)) || zsock_bind(server_, "%s", bind.c_str()) < 0) {
            log_.warn("cannot bind the gossip endpoint %s", bind.c_str());
            zsock_destroy(&server_);
            return false;
        }
    }
    for (const Remote& remote : servers) {
        if (clients_.size() >= kMaxServers) {
            log_.warn("gossip endpoint %s ignored: more than %zu", remote.endpoint.c_str(), kMaxServers);
            break;
        }
        Server server;
        server.endpoint = remote.endpoint;
        server.serverKey = remote.serverKey;
        if (!connectServer(server, t))
            continue;
        clients_.push_back(server);
        greet(clients_.back(), nullptr, t);  // nothing held yet
    }
    nextTickAt_ = t + kPingMs;
    nextRefreshAt_ = t + kRefreshMs;
    return true;
}

// Makes the socket to `server` and connects it; false (said) when that
// cannot be done.
bool GossipDiscovery::connectServer(Server& server, int64_t t)
{
    server.socket = zsock_new(ZMQ_DEALER);
    if (!server.socket)
        return false;
    zsock_set_linger(server.socket, 0);
    zsock_set_sndhwm(server.socket, 1000);
    limitFrames(server.socket);
    if (!server.serverKey.empty() && !secureClient(server.socket, curve_, server.serverKey)) {
        log_.warn("gossip endpoint %s left out: its key is not a CURVE key, or CURVE is missing",
                  server.endpoint.c_str());
        zsock_destroy(&server.socket);
        return false;
    }
    if (zsock_connect(server.socket, "%s", server.endpoint.c_str()) != 0) {
        log_.warn("cannot connect to the gossip endpoint %s", server.endpoint.c_str());
        zsock_destroy(&server.socket);
        return false;
    }
    server.connectedAt = t;
    server.nextPingAt = t + kPingMs;
    server.awaitingAnswer = false;
    return true;
}

// A server silent for long is down, or refused this node's handshake (its
// key was not trusted then; libzmq does not try a refused CURVE handshake
// again): the connection is made anew, and the server greeted once it
// answers.
void GossipDiscovery::reconnectSilent(GossipListener& listener, int64_t t)
{
    for (Server& server : clients_) {
        if (server.socket && t - std::max(server.lastHeard, server.connectedAt) <= kReconnectAfterMs)
            continue;
        zsock_destroy(&server.socket);
        if (connectServer(server, t))
            greet(server, &listener, t);
    }
}

// The bound endpoint as CURVE server: the node's ZAP handler gives a
// session only to keys the node trusts, so nobody else can publish.
bool GossipDiscovery::secureServer(const CurveSetup& curve, const std::string& zapDomain)
{
    void* handle = zsock_resolve(server_);
    int on = 1;
    return zmq_setsockopt(handle, ZMQ_CURVE_SERVER, &on, sizeof on) == 0 &&
           zmq_setsockopt(handle, ZMQ_CURVE_SECRETKEY, curve.secretKey.data(), curve.secretKey.size()) == 0 &&
           zmq_setsockopt(handle, ZMQ_ZAP_DOMAIN, zapDomain.data(), zapDomain.size()) == 0;
}

// A client of a secured endpoint proves the node's key (a fresh pair on an
// open node, which a secured server refuses unless it trusts it).
bool GossipDiscovery::secureClient(zsock_t* socket, const CurveSetup* curve, const std::string& serverKey)
{
    auto server = curveKeyFromText(serverKey);
    if (!server || !zsys_has_curve())
        return false;
    CurveKey publicKey{}, secretKey{};
    if (curve) {
        publicKey = curve->publicKey;
        secretKey = curve->secretKey;
    } else {
        char publicText[41], secretText[41];
        if (zmq_curve_keypair(publicText, secretText) != 0)
            return false;
        publicKey = *curveKeyFromText(publicText);
        secretKey = *curveKeyFromText(secretText);
    }
    void* handle = zsock_resolve(socket);
    return zmq_setsockopt(handle, ZMQ_CURVE_SERVERKEY, server->data(), server->size()) == 0 &&
           zmq_setsockopt(handle, ZMQ_CURVE_PUBLICKEY, publicKey.data(), publicKey.size()) == 0 &&
           zmq_setsockopt(handle, ZMQ_CURVE_SECRETKEY, secretKey.data(), secretKey.size()) == 0;
}

void GossipDiscovery::close()
{
    zsock_destroy(&server_);
    for (Server& server : clients_)
        zsock_destroy(&server.socket);
    clients_.clear();
    connected_.clear();
    table_.clear();
}

void GossipDiscovery::descriptors(std::vector<int>& fds) const
{
    if (server_)
        fds.push_back(zsock_fd(server_));
    for (const Server& server : clients_)
        if (server.socket)
            fds.push_back(zsock_fd(server.socket));
}

void GossipDiscovery::greet(Server& server, LivePeers* live, int64_t t)
{
    server.greetedAt = t;
    GossipMessage hello;
    hello.id = GossipId::Hello;
    sendToServer(server, hello);
    if (publishes())
        sendToServer(server, own_);
    for (const GossipMessage& publish : table_.all(t, live))
        sendToServer(server, publish);
}

bool GossipDiscovery::work(GossipListener& listener, int64_t t)
{
    // Read until a whole pass finds nothing: a send may take the signal of
    // a message that arrived meanwhile.
    bool more = true;
    for (int pass = 0; pass < kReadPasses && more; ++pass) {
        more = server_ && readServer(listener, t);
        for (Server& server : clients_)
            more = readClient(server, listener, t) || more;
    }
    if (t >= nextTickAt_) {
        nextTickAt_ = t + kPingMs;
        onTick(listener, t);
    }
    if (t >= nextRefreshAt_) {
        nextRefreshAt_ = t + kRefreshMs;
        if (publishes())
            relay(own_, nullptr, nullptr);
    }
    return more;
}

void GossipDiscovery::onTick(GossipListener& listener, int64_t t)
{
    pingDue(t);
    reconnectSilent(listener, t);
    for (auto it = connected_.begin(); it != connected_.end();)
        it = t - it->second.lastHeard > kClientTimeoutMs ? connected_.erase(it) : std::next(it);
    table_.maintain(t, listener, [&](const std::string& publisher) { return publisherUp(publisher, t); });
    for (const GossipTable::Relay& due : table_.dueRelays(t)) {
        // Not back where it came from: a leaf would echo every refresh.
        std::string identity = due.publisher.size() > 1 && due.publisher[0] == 'c' ? due.publisher.substr(1) : "";
        const Server* from = nullptr;
        for (const Server& server : clients_)
            if (due.publisher == "s" + server.endpoint)
                from = &server;
        relay(due.publish, identity.empty() ? nullptr : &identity, from);
    }
    table_.attemptDue(t, listener, [&](const GossipTuple& tuple) { return listener.onTuple(tuple); });
}

void GossipDiscovery::pingDue(int64_t t)
{
    GossipMessage ping;
    ping.id = GossipId::Ping;
    for (Server& server : clients_) {
        if (t < server.nextPingAt)
            continue;
        // A server that left the last ping unanswered may be restarting:
        // every second then, so that it hears from this node (INVALID, a
        // new greeting) as soon as it is back.
        server.nextPingAt = t + (server.marked && !server.awaitingAnswer ? kMarkedPingMs : kPingMs);
        server.awaitingAnswer = true;
        sendToServer(server, ping);
    }
}

// Publishers are named "c" + identity (a client at the bound endpoint) or
// "s" + endpoint (a server this node connects to).
bool GossipDiscovery::publisherUp(const std::string& publisher, int64_t t) const
{
    if (publisher.empty())
        return false;
    std::string name = publisher.substr(1);
    if (publisher[0] == 'c')
        return connected_.count(name) != 0;
    for (const Server& server : clients_)
        if (server.endpoint == name)
            return t - server.lastHeard <= (server.marked ? kClientTimeoutMs : kServerTimeoutMs);
    return false;
}

bool GossipDiscovery::readServer(GossipListener& listener, int64_t t)
{
    zmsg_t* msg = receiveNow(server_);
    if (!msg)
        return false;
    zframe_t* identityFrame = zmsg_first(msg);
    std::string identity(reinterpret_cast<const char*>(zframe_data(identityFrame)), zframe_size(identityFrame));
    auto message = zmsg_size(msg) == 2 ? decodeFrame(zmsg_next(msg)) : std::nullopt;
    bool trusted = stillTrusted(zmsg_last(msg));
    zmsg_destroy(&msg);
    auto known = connected_.find(identity);
    if (!trusted) {
        // Its key was revoked since it connected: it publishes nothing more.
        if (known != connected_.end()) {
            log_.warn("gossip client dropped: its key is no longer trusted");
            connected_.erase(known);
        }
        return true;
    }
    if (message && message->id == GossipId::Hello) {
        if (known == connected_.end() && connected_.size() >= kMaxClients) {
            log_.warn("gossip client refused: more than %zu", kMaxClients);
            return true;
        }
        Client& client = connected_[identity];
        client.lastHeard = t;
        if (known != connected_.end() && t - client.tableSentAt < kPingMs)
            return true;
        client.tableSentAt = t;
        if (publishes())
            sendToClient(identity, own_);
        for (const GossipMessage& publish : table_.all(t, &listener))
            sendToClient(identity, publish);
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
    } else {
        take(*message, "c" + identity, &identity, nullptr, listener, t);
    }
    return true;
}

// On a secured endpoint: whether the key the client proved in its
// handshake is still trusted (the handshake only checked it then).
bool GossipDiscovery::stillTrusted(zframe_t* frame) const
{
    if (!curve_ || !frame)
        return true;
    const char* user = zframe_meta(frame, "User-Id");
    const char* keyText = zframe_meta(frame, kKeyProperty);
    auto key = keyText ? curveKeyFromText(keyText) : std::nullopt;
    return user && key && curve_->trust && curve_->trust->trusts(user, *key);
}

bool GossipDiscovery::readClient(Server& server, GossipListener& listener, int64_t t)
{
    zmsg_t* msg = server.socket ? receiveNow(server.socket) : nullptr;
    if (!msg)
        return false;
    auto message = zmsg_size(msg) == 1 ? decodeFrame(zmsg_first(msg)) : std::nullopt;
    // Asked of every message: a server of another kind may take over the
    // endpoint after a restart.
    const char* mark = zframe_meta(zmsg_first(msg), "Identity");
    bool marked = mark && std::strcmp(mark, kServerMark) == 0;
    zmsg_destroy(&msg);
    if (!message)
        return true;
    server.marked = marked;
    server.awaitingAnswer = false;
    server.lastHeard = t;
    if (message->id == GossipId::Invalid) {
        // The server forgot this node, or refuses it (its clients are too
        // many): every message of a greeting draws an INVALID, so greeting
        // on each would feed a storm. The next ping draws a new INVALID, so
        // a server that forgot the node is greeted within a ping interval.
        if (t - server.greetedAt >= kPingMs)
            greet(server, &listener, t);
    } else if (message->id == GossipId::Publish)
        take(*message, "s" + server.endpoint, nullptr, &server, listener, t);
    return true;
}

void GossipDiscovery::take(const GossipMessage& publish, const std::string& publisher, const std::string* fromClient,
                           const Server* fromServer, GossipListener& listener, int64_t t)
{
    switch (table_.store(publish, publisher, t, listener)) {
        case GossipTable::Stored::New:
            relay(table_.outgoing(publish.key, t), fromClient, fromServer);
            table_.attemptNow(publish.key, t, [&](const GossipTuple& tuple) { return listener.onTuple(tuple); });
            break;
        case GossipTable::Stored::Ignored:
            if (!table_.has(publish.key) && publish.key != own_.key)
                log_.trace("gossip tuple %s ignored", NodeLog::printable(publish.key).c_str());
            break;
        case GossipTable::Stored::Refreshed:
            break;  // passed on by the tick once its lifetime grew enough
    }
}

void GossipDiscovery::relay(const GossipMessage& publish, const std::string* fromClient, const Server* fromServer)
{
    // Encoded once for every recipient: a rendezvous point passes each
    // refresh on to every client.
    auto bytes = encodeGossip(publish);
    if (!bytes)
        return;
    for (const auto& entry : connected_)
        if (!fromClient || entry.first != *fromClient)
            sendEncodedToClient(entry.first, *bytes);
    for (Server& server : clients_)
        if (&server != fromServer)
            sendEncodedToServer(server, *bytes);
}

void GossipDiscovery::sendToClient(const std::string& identity, const GossipMessage& message)
{
    if (auto bytes = encodeGossip(message))
        sendEncodedToClient(identity, *bytes);
}

void GossipDiscovery::sendToServer(Server& server, const GossipMessage& message)
{
    if (auto bytes = encodeGossip(message))
        sendEncodedToServer(server, *bytes);
}

// Never waits: a ROUTER drops what a full or gone client cannot take.
void GossipDiscovery::sendEncodedToClient(const std::string& identity, const std::vector<uint8_t>& bytes)
{
    if (!server_)
        return;
    void* handle = zsock_resolve(server_);
    if (zmq_send(handle, identity.data(), identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0)
        zmq_send(handle, bytes.data(), bytes.size(), ZMQ_DONTWAIT);
}

void GossipDiscovery::sendEncodedToServer(Server& server, const std::vector<uint8_t>& bytes)
{
    if (server.socket)
        zmq_send(zsock_resolve(server.socket), bytes.data(), bytes.size(), ZMQ_DONTWAIT);
}

}  // namespace zre
