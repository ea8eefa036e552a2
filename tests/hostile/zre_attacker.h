// Tools of the attacks on a program's ZRE node: forged beacons, a hand-made
// peer that speaks the wire format itself, and what a test reads about the
// program under attack from /proc.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zre_codec.hpp"

namespace zreattack {

using namespace std::chrono_literals;

// One libzmq context for the attacker's sockets (czmq's would cap them).
inline void* context()
{
    static void* ctx = [] {
        void* c = zmq_ctx_new();
        zmq_ctx_set(c, ZMQ_MAX_SOCKETS, 4096);
        return c;
    }();
    return ctx;
}

inline zre::Uuid randomUuid()
{
    static std::mt19937_64 random{std::random_device{}()};
    zre::Uuid uuid;
    for (auto& b : uuid)
        b = uint8_t(random());
    return uuid;
}

// Polls `condition` until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// UDP sender of forged beacons; `device` binds it to an interface.
class BeaconSender {
public:
    explicit BeaconSender(const std::string& device = "")
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (!device.empty())
            bound_ = setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), socklen_t(device.size())) == 0;
    }
    ~BeaconSender() { close(fd_); }
    bool bound() const { return bound_; }

    bool send(const std::string& address, int udpPort, const zre::Uuid& uuid, uint16_t inboxPort)
    {
        auto bytes = zre::encodeBeacon(zre::Beacon{uuid, inboxPort});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(udpPort));
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               ssize_t(bytes.size());
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// A peer made by hand: a ROUTER inbox on `address` and, once connected, a
// DEALER mailbox towards the node under attack.
class RawPeer {
public:
    // `tinyInbox`: a 1 KiB receive buffer and room for one message, for a
    // peer that means never to read.
    explicit RawPeer(const std::string& address = "127.0.0.1", zre::Uuid uuid = randomUuid(), bool tinyInbox = false)
        : address_(address), uuid_(uuid)
    {
        inbox_ = zmq_socket(context(), ZMQ_ROUTER);
        int handover = 1;
        zmq_setsockopt(inbox_, ZMQ_ROUTER_HANDOVER, &handover, sizeof handover);
        if (tinyInbox) {
            int tiny = 1024, one = 1;
            zmq_setsockopt(inbox_, ZMQ_RCVBUF, &tiny, sizeof tiny);
            zmq_setsockopt(inbox_, ZMQ_RCVHWM, &one, sizeof one);
        }
        setLinger(inbox_);
        zmq_bind(inbox_, ("tcp://" + address + ":*").c_str());
        char last[256] = {};
        size_t size = sizeof last;
        zmq_getsockopt(inbox_, ZMQ_LAST_ENDPOINT, last, &size);
        std::string bound = last;
        port_ = uint16_t(std::stoi(bound.substr(bound.rfind(':') + 1)));
    }
    ~RawPeer()
    {
        if (mailbox_)
            zmq_close(mailbox_);
        zmq_close(inbox_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    const zre::Uuid& uuid() const { return uuid_; }
    std::string uuidText() const { return zre::uuidToString(uuid_); }
    uint16_t port() const { return port_; }
    std::string endpoint() const { return "tcp://" + address_ + ":" + std::to_string(port_); }

    // Connects the mailbox to `endpoint`, under `identity` (default: ours).
    void connect(const std::string& endpoint, std::optional<zre::Uuid> identity = std::nullopt)
    {
        if (mailbox_)
            zmq_close(mailbox_);
        mailbox_ = zmq_socket(context(), ZMQ_DEALER);
        auto id = zre::identityOf(identity ? *identity : uuid_);
        zmq_setsockopt(mailbox_, ZMQ_ROUTING_ID, id.data(), id.size());
        setLinger(mailbox_);
        zmq_connect(mailbox_, endpoint.c_str());
    }

    // Sends a first frame made from `m` (its sequence numbered here unless
    // given), then `content` frames.
    void send(zre::Message m, const std::vector<std::string>& content = {})
    {
        if (m.sequence == 0)
            m.sequence = ++sequence_;
        else
            sequence_ = m.sequence;
        auto bytes = zre::encodeMessage(m);
        if (!bytes)
            return;
        zmq_send(mailbox_, bytes->data(), bytes->size(), content.empty() ? 0 : ZMQ_SNDMORE);
        for (size_t i = 0; i < content.size(); ++i)
            zmq_send(mailbox_, content[i].data(), content[i].size(), i + 1 < content.size() ? ZMQ_SNDMORE : 0);
    }
    void sendHello(const std::string& name = "raw")
    {
        zre::Message m;
        m.id = zre::MessageId::Hello;
        m.sequence = 1;
        m.endpoint = endpoint();
        m.name = name;
        send(m);
    }
    void sendPing()
    {
        zre::Message m;
        m.id = zre::MessageId::Ping;
        send(m);
    }
    void* mailbox() { return mailbox_; }
    uint16_t nextSequence() { return ++sequence_; }

    // The next message the node sent to our inbox, decoded; the sender's
    // UUID in `from` when given.
    std::optional<zre::Message> receive(std::chrono::milliseconds timeout, zre::Uuid* from = nullptr)
    {
        int ms = int(timeout.count());
        zmq_setsockopt(inbox_, ZMQ_RCVTIMEO, &ms, sizeof ms);
        std::vector<std::string> frames;
        int more = 1;
        while (more) {
            zmq_msg_t f;
            zmq_msg_init(&f);
            if (zmq_msg_recv(&f, inbox_, 0) < 0) {
                zmq_msg_close(&f);
                return std::nullopt;
            }
            frames.emplace_back(static_cast<char*>(zmq_msg_data(&f)), zmq_msg_size(&f));
            more = zmq_msg_more(&f);
            zmq_msg_close(&f);
        }
        if (frames.size() < 2)
            return std::nullopt;
        if (from) {
            auto id = zre::uuidFromIdentity(reinterpret_cast<const uint8_t*>(frames[0].data()), frames[0].size());
            if (id)
                *from = *id;
        }
        zre::Message m;
        if (zre::decodeMessage(reinterpret_cast<const uint8_t*>(frames[1].data()), frames[1].size(), m) !=
            zre::DecodeError::None)
            return std::nullopt;
        return m;
    }
    // Waits for a message of kind `id`, skipping others.
    std::optional<zre::Message> receive(zre::MessageId id, std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto m = receive(std::max(left, std::chrono::milliseconds(1)));
            if (m && m->id == id)
                return m;
        }
        return std::nullopt;
    }

    // Beacons to the node, takes its HELLO and answers with ours: after
    // this the node counts us as a peer. Returns the node's HELLO. With
    // `node` given, HELLOs of other nodes are passed over.
    std::optional<zre::Message> handshake(const std::string& beaconAddress, int udpPort,
                                          const std::string& name = "raw", std::optional<zre::Uuid> node = std::nullopt)
    {
        BeaconSender beacons;
        std::optional<zre::Message> hello;
        for (int i = 0; i < 20 && !hello; ++i) {
            beacons.send(beaconAddress, udpPort, uuid_, port_);
            auto deadline = std::chrono::steady_clock::now() + 1000ms;
            while (!hello && std::chrono::steady_clock::now() < deadline) {
                zre::Uuid from{};
                auto m = receive(200ms, &from);
                if (m && m->id == zre::MessageId::Hello && (!node || from == *node))
                    hello = m;
            }
        }
        if (!hello)
            return std::nullopt;
        connect(hello->endpoint);
        sendHello(name);
        return hello;
    }

    // Whether the node answers a PING within `timeout`: it counts us as a
    // peer and its actor works.
    bool answersPing(std::chrono::milliseconds timeout)
    {
        sendPing();
        return receive(zre::MessageId::PingOk, timeout).has_value();
    }

private:
    static void setLinger(void* socket)
    {
        int zero = 0;
        zmq_setsockopt(socket, ZMQ_LINGER, &zero, sizeof zero);
    }

    std::string address_;
    zre::Uuid uuid_;
    void* inbox_ = nullptr;
    void* mailbox_ = nullptr;
    uint16_t port_ = 0;
    uint16_t sequence_ = 0;
};

// ---- the program under attack, from /proc --------------------------------

// A field of /proc/PID/status in kB (VmRSS, VmHWM), or -1.
inline long statusKb(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

inline int openDescriptors(pid_t pid)
{
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n - 2;
}

}  // namespace zreattack
