// The node's inbox: one ROUTER socket that every peer's mailbox connects to,
// bound on the node's interface (a CURVE server on a secured node).
#pragma once

#include <czmq.h>

#include <cstdint>
#include <string>

#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_iface.hpp"
#include "zre_log.hpp"
#include "zre_parts.hpp"

namespace zre {

class Inbox {
public:
    // Messages libzmq queues per connected peer; beyond it the sender's
    // connection is pushed back by TCP. Small, as the mailboxes are.
    static constexpr int kInboxHwm = 1000;
    // Largest single frame accepted (libzmq closes a connection that
    // announces a larger one before reading it).
    static constexpr int64_t kMaxFrameSize = 16 << 20;
    // Frames of one received message that the node keeps; a message with
    // more is dropped whole, and its sender with it.
    static constexpr size_t kMaxFrames = 1024;

    Inbox(const std::string& uuidText, NodeLog& log) : uuidText_(uuidText), log_(log) {}
    ~Inbox() { close(); }
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // Binds to a free port of `iface`; `curve` (kept by the caller) on a
    // secured node.
    bool open(const Interface& iface, const CurveSetup* curve);
    void close();

    bool isOpen() const { return socket_ != nullptr; }
    int fd() const { return fd_; }
    void* handle() const { return zsock_resolve(socket_); }
    uint16_t port() const { return port_; }
    const std::string& endpoint() const { return endpoint_; }

    // One whole message (identity, first frame, content frames) without
    // waiting; false when none is there.
    bool receive(Parts& msg) { return msg.receive(handle(), kMaxFrames + 2); }

    // The identity whose key the sender proved in the handshake (the ZAP
    // handler's User-Id); empty on an open node.
    std::string provenIdentity(Parts& msg) const;
    // The IPv4 address the message came from (as the connection reports
    // it), else the one its HELLO claims.
    static uint32_t sourceOf(Parts& msg, const Message& hello);

private:
    bool secure();

    std::string uuidText_;
    NodeLog& log_;
    const CurveSetup* curve_ = nullptr;
    zsock_t* socket_ = nullptr;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::string endpoint_;
    bool zapRegistered_ = false;
};

}  // namespace zre
