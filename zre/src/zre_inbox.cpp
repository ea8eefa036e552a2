#include "zre_inbox.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zre_clock.hpp"

namespace zre {

bool Inbox::open(const Interface& iface, const CurveSetup* curve)
{
    curve_ = curve;
    socket_ = zsock_new(ZMQ_ROUTER);
    if (!socket_)
        return false;
    zsock_set_rcvhwm(socket_, kInboxHwm);
    zsock_set_linger(socket_, 0);
    int64_t maxSize = kMaxFrameSize;
    zmq_setsockopt(handle(), ZMQ_MAXMSGSIZE, &maxSize, sizeof maxSize);
    // No hand-over of an identity to a newer connection: with it, anyone
    // connecting under a peer's identity would take over its routing id
    // and silence the peer's own connection for good. A peer that
    // reconnects does so after its old connection has closed.
    zsock_set_router_handover(socket_, 0);
    if (curve_ && !secure())
        return false;
    std::string address = addressText(iface.address);
    if (zmq_bind(handle(), ("tcp://" + address + ":*").c_str()) != 0) {
        log_.trace("cannot bind inbox on %s: %s", address.c_str(), zmq_strerror(errno));
        return false;
    }
    char* last = zsock_last_endpoint(socket_);
    std::string bound = last ? last : "";
    zstr_free(&last);
    size_t colon = bound.rfind(':');
    port_ = colon == std::string::npos ? 0 : uint16_t(atoi(bound.c_str() + colon + 1));
    endpoint_ = "tcp://" + address + ":" + std::to_string(port_);
    fd_ = zsock_fd(socket_);
    if (!openMonitor())
        log_.warn("no monitor of the inbox: closed connections and refused handshakes go unnoticed");
    return port_ != 0;
}

// The inbox as CURVE server; the ZAP handler decides who gets a session.
bool Inbox::secure()
{
    int on = 1;
    if (zmq_setsockopt(handle(), ZMQ_CURVE_SERVER, &on, sizeof on) != 0 ||
        zmq_setsockopt(handle(), ZMQ_CURVE_SECRETKEY, curve_->secretKey.data(), curve_->secretKey.size()) != 0 ||
        zmq_setsockopt(handle(), ZMQ_ZAP_DOMAIN, uuidText_.data(), uuidText_.size()) != 0) {
        log_.warn("cannot secure the inbox: %s", zmq_strerror(errno));
        return false;
    }
    zapRegistered_ = registerZapDomain(uuidText_, curve_->trust);
    return zapRegistered_;
}

void Inbox::close()
{
    if (monitor_ && socket_)
        zmq_socket_monitor(handle(), nullptr, 0);
    zsock_destroy(&monitor_);
    monitorFd_ = -1;
    accepted_.clear();
    failedHandshakes_ = 0;
    zsock_destroy(&socket_);
    if (zapRegistered_)
        unregisterZapDomain(uuidText_);
    zapRegistered_ = false;
    fd_ = -1;
}

bool Inbox::openMonitor()
{
    std::string address = "inproc://zre-inbox-monitor-" + uuidText_;
    // A refused key is logged by the authentication handler already.
    int events = ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                 ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL;
    if (zmq_socket_monitor(handle(), address.c_str(), events) != 0)
        return false;
    monitor_ = zsock_new(ZMQ_PAIR);
    if (!monitor_ || zsock_connect(monitor_, "%s", address.c_str()) != 0) {
        zmq_socket_monitor(handle(), nullptr, 0);
        zsock_destroy(&monitor_);
        return false;
    }
    monitorFd_ = zsock_fd(monitor_);
    return true;
}

std::vector<int> Inbox::readMonitor()
{
    std::vector<int> closed;
    if (!monitor_)
        return closed;
    void* pair = zsock_resolve(monitor_);
    Parts event;
    // Each event: its number and value, then the endpoint (of the inbox).
    while (event.receive(pair)) {
        if (event.size() >= 1 && event.bytes(0) == 6) {
            uint16_t number;
            uint32_t value;
            std::memcpy(&number, event.data(0), sizeof number);
            std::memcpy(&value, event.data(0) + 2, sizeof value);
            onMonitorEvent(number, value, closed);
        }
    }
    return closed;
}

// libzmq names no connection in a failed handshake: the failure is that of
// the next connection that closes (a failed handshake closes it at once).
void Inbox::onMonitorEvent(uint16_t event, uint32_t value, std::vector<int>& closed)
{
    int fd = int(value);
    switch (event) {
        case ZMQ_EVENT_ACCEPTED: {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            std::string address = "an unknown address";
            if (getpeername(fd, reinterpret_cast<sockaddr*>(&from), &size) == 0 && from.sin_family == AF_INET)
                address = addressText(from.sin_addr);
            if (accepted_.size() >= kMaxWatchedConnections)
                accepted_.erase(accepted_.begin());
            accepted_[fd] = address;
            break;
        }
        case ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL:
        case ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL:
            failedHandshakes_ = std::min<size_t>(failedHandshakes_ + 1, kMaxWatchedConnections);
            break;
        case ZMQ_EVENT_DISCONNECTED: {
            auto it = accepted_.find(fd);
            if (it == accepted_.end())
                break;
            if (failedHandshakes_ > 0) {
                --failedHandshakes_;
                if (curve_)
                    logFailure(it->second);
            } else if (closed.size() < kMaxWatchedConnections) {
                closed.push_back(fd);
            }
            accepted_.erase(it);
            break;
        }
        default:
            break;
    }
}

// At most one line per source address and window, with the attempts that
// went unnamed since the last one.
void Inbox::logFailure(const std::string& address)
{
    int64_t t = now();
    auto it = failures_.find(address);
    if (it == failures_.end()) {
        if (failures_.size() >= kMaxFailureSources)
            failures_.clear();
        it = failures_.emplace(address, FailureLog{}).first;
        it->second.loggedAt = INT64_MIN / 2;
    }
    FailureLog& entry = it->second;
    if (t - entry.loggedAt < kFailureLogWindowMs) {
        ++entry.unlogged;
        return;
    }
    log_.warn("refused a connection from %s: it did not start a CURVE handshake (%zu more since the last report)",
              address.c_str(), entry.unlogged);
    entry.loggedAt = t;
    entry.unlogged = 0;
}

std::string Inbox::provenIdentity(Parts& msg) const
{
    if (!curve_ || msg.size() < 2)
        return "";
    const char* user = zmq_msg_gets(&msg[1], "User-Id");
    const char* keyText = zmq_msg_gets(&msg[1], kKeyProperty);
    auto key = keyText ? curveKeyFromText(keyText) : std::nullopt;
    if (!user || !key || !curve_->trust->trusts(user, *key))
        return "";
    return user;
}

void Inbox::trustChanged()
{
    if (curve_ && zapRegistered_)
        registerZapDomain(uuidText_, curve_->trust);
}

uint32_t Inbox::sourceOf(Parts& msg, const Message& hello)
{
    in_addr address{};
    std::string text = msg.peerAddress(1);
    if (!text.empty() && inet_pton(AF_INET, text.c_str(), &address) == 1)
        return address.s_addr;
    std::string claimed = hello.endpoint.substr(6, hello.endpoint.rfind(':') - 6);  // "tcp://a.b.c.d:port"
    inet_pton(AF_INET, claimed.c_str(), &address);
    return address.s_addr;
}

}  // namespace zre
