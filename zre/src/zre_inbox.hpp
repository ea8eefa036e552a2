// The node's inbox: one ROUTER socket that every peer's mailbox connects to,
// bound on the node's interface (a CURVE server on a secured node).
#pragma once

#include <czmq.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

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
    // handler's User-Id); empty on an open node, and when that key is no
    // longer trusted (revoked since the connection was made): such a
    // connection's messages count as from nobody.
    std::string provenIdentity(Parts& msg) const;
    // Hands the table that replaced the trusted keys to the ZAP handler.
    void trustChanged();
    // The monitor of the inbox's connections: `readMonitor` takes what
    // waits there and returns the descriptors of the connections that
    // closed after a good handshake (a peer's mailbox to this node: the
    // peer may have died; see connectionOf). On a secured node those that failed their
    // handshake without CURVE (or with a broken one) are logged with the
    // source address, throttled. -1 when there is no monitor.
    int monitorFd() const { return monitorFd_; }
    std::vector<int> readMonitor();
    // The connection (descriptor) a received message came in on.
    static int connectionOf(Parts& msg) { return msg.size() ? zmq_msg_get(&msg[0], ZMQ_SRCFD) : -1; }

    // The IPv4 address the message came from (as the connection reports
    // it), else the one its HELLO claims.
    static uint32_t sourceOf(Parts& msg, const Message& hello);

    // Connections accepted and not yet closed whose source address is
    // remembered for the log, and how often one source address is named
    // (then a count of the attempts not named follows).
    static constexpr size_t kMaxWatchedConnections = 256;
    static constexpr int64_t kFailureLogWindowMs = 60000;
    static constexpr size_t kMaxFailureSources = 256;

private:
    bool secure();
    bool openMonitor();
    void onMonitorEvent(uint16_t event, uint32_t value, std::vector<int>& closed);
    void logFailure(const std::string& address);

    std::string uuidText_;
    NodeLog& log_;
    const CurveSetup* curve_ = nullptr;
    zsock_t* socket_ = nullptr;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::string endpoint_;
    bool zapRegistered_ = false;
    zsock_t* monitor_ = nullptr;
    int monitorFd_ = -1;
    std::unordered_map<int, std::string> accepted_;  // descriptor -> source address
    size_t failedHandshakes_ = 0;                    // not yet matched to a closed connection
    struct FailureLog {
        int64_t loggedAt = 0;
        size_t unlogged = 0;
    };
    std::unordered_map<std::string, FailureLog> failures_;  // by source address
};

}  // namespace zre
