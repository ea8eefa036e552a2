#include "zre_inbox.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

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
    zsock_destroy(&socket_);
    if (zapRegistered_)
        unregisterZapDomain(uuidText_);
    zapRegistered_ = false;
    fd_ = -1;
}

std::string Inbox::provenIdentity(Parts& msg) const
{
    if (!curve_ || msg.size() < 2)
        return "";
    const char* user = zmq_msg_gets(&msg[1], "User-Id");
    return user ? user : "";
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
