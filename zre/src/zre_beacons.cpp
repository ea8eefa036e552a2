#include "zre_beacons.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zre {

bool BeaconDiscovery::open(const Interface& iface, int port, size_t intervalMs, const CurveSetup* curve)
{
    iface_ = iface;
    port_ = port;
    intervalMs_ = intervalMs;
    curve_ = curve;
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // The arriving interface of each beacon, to take only those of the
    // interface the node was given.
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(uint16_t(port));
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        log_.trace("cannot bind UDP port %d: %s", port, strerror(errno));
        return false;
    }
    int64_t t = now();
    lastNewPeerAt_ = t;  // not settled before its first peers came
    nextBeaconAt_ = t;   // first beacon at once
    return true;
}

void BeaconDiscovery::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    nextBeaconAt_ = kNever;
}

void BeaconDiscovery::onTimer(int64_t t, uint16_t inboxPort)
{
    if (t < nextBeaconAt_)
        return;
    send(inboxPort);
    nextBeaconAt_ = t + int64_t(intervalMs_);
}

void BeaconDiscovery::send(uint16_t inboxPort)
{
    if (fd_ < 0)
        return;
    std::vector<uint8_t> bytes;
    if (curve_) {
        bytes = encodeSecureBeacon(Beacon{uuid_, inboxPort}, curve_->publicKey);
    } else {
        BeaconBytes plain = encodeBeacon(Beacon{uuid_, inboxPort});
        bytes.assign(plain.begin(), plain.end());
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port_));
    to.sin_addr = iface_.broadcast;
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        log_.trace("beacon not sent: %s", strerror(errno));
}

void BeaconDiscovery::receive(BeaconListener& listener)
{
    int i = 0;
    for (; i < kMaxBatch && fd_ >= 0; ++i) {
        uint8_t buffer[64];
        sockaddr_in from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec iov{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &iov;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &header, 0);
        if (n < 0)
            break;
        if (!fromOwnInterface(header))
            continue;
        auto beacon = parseBeacon(buffer, size_t(n));
        auto secure = parseSecureBeacon(buffer, size_t(n));
        Uuid sender = beacon ? beacon->uuid : secure ? secure->beacon.uuid : Uuid{};
        if ((!beacon && !secure) || sender == uuid_)
            continue;
        if (curve_) {
            if (beacon)
                refuse(sender, from.sin_addr, "it is open and this node is secured");
            else if (trustedKey(secure->key, sender, from.sin_addr))
                listener.onBeacon(secure->beacon, from.sin_addr, &secure->key);
        } else if (secure) {
            refuse(sender, from.sin_addr, "it is secured and this node is open");
        } else {
            listener.onBeacon(*beacon, from.sin_addr, nullptr);
        }
    }
    restAfter(i);
}

// Only a node that reads beacons often rests between reads: a few peers'
// beacons are taken at once, a hundred peers' in batches.
void BeaconDiscovery::restAfter(int beaconsRead)
{
    int64_t t = now();
    if (t >= windowEnd_) {
        windowEnd_ = t + 1000;
        readsInWindow_ = 0;
    }
    if (++readsInWindow_ <= kBeaconReadsWithoutRest)
        return;
    bool settled = t - lastNewPeerAt_ >= kSettledAfterMs && beaconsRead < kMaxBeaconsForLongRest;
    restUntil_ = t + (settled ? kSettledBeaconRestMs : kBeaconRestMs);
}

void BeaconDiscovery::refuse(const Uuid& uuid, in_addr sender, const char* why)
{
    std::string text = uuidToString(uuid);
    log_.refuse(text, log_.prefix() + ": not talking to peer " + text + " at " + addressText(sender) + ": " + why);
}

bool BeaconDiscovery::trustedKey(const CurveKey& key, const Uuid& uuid, in_addr sender)
{
    if (curve_->trust->byKey(key))
        return true;
    std::string keyText = curveKeyToText(key);
    log_.refuse(keyText, log_.prefix() + ": not connecting to peer " + uuidToString(uuid) + " at " +
                             addressText(sender) + ": key " + keyText + " is not trusted");
    return false;
}

// With an interface given, only beacons that arrived on it count.
bool BeaconDiscovery::fromOwnInterface(msghdr& header) const
{
    if (!iface_.named || iface_.index == 0)
        return true;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            return unsigned(info.ipi_ifindex) == iface_.index;
        }
    }
    return false;
}

}  // namespace zre
