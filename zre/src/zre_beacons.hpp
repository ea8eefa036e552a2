// Discovery by UDP beacons: this node's beacon goes out on its interface's
// broadcast address every interval; the beacons of others are read (in
// batches once there are many) and handed to the node as they fit its kind,
// open or secured. Gossip discovery will sit beside it.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>

#include "zre_clock.hpp"
#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_iface.hpp"
#include "zre_log.hpp"

namespace zre {

// What the node is told of another node's beacon. On a secured node `key`
// is the (trusted) key the beacon carried, else null.
class BeaconListener {
public:
    virtual void onBeacon(const Beacon& beacon, in_addr sender, const CurveKey* key) = 0;

protected:
    ~BeaconListener() = default;
};

class BeaconDiscovery {
public:
    // A node that has read beacons more than kBeaconReadsWithoutRest times
    // in the current second reads the next ones only kBeaconRestMs later,
    // in one go: with a hundred peers beaconing each second, a dozen or two
    // wake-ups a second instead of a hundred. Delays no message, only the
    // discovery of a new peer in a large site, by at most that much.
    static constexpr int kBeaconReadsWithoutRest = 5;
    static constexpr int64_t kBeaconRestMs = 80;
    // A settled node (no new peer for kSettledAfterMs) rests longer, as long
    // as a read takes fewer than kMaxBeaconsForLongRest beacons (the
    // socket's buffer holds a few hundred): beacons of known peers only show
    // that they are still there, and a newcomer greets the node over TCP as
    // soon as it has read the node's beacon itself.
    static constexpr int64_t kSettledAfterMs = 5000;
    static constexpr int64_t kSettledBeaconRestMs = 400;
    static constexpr int kMaxBeaconsForLongRest = 64;
    // Beacons read in one go at most.
    static constexpr int kMaxBatch = 256;

    BeaconDiscovery(const Uuid& uuid, NodeLog& log) : uuid_(uuid), log_(log) {}
    ~BeaconDiscovery() { close(); }
    BeaconDiscovery(const BeaconDiscovery&) = delete;
    BeaconDiscovery& operator=(const BeaconDiscovery&) = delete;

    // Binds the UDP port; beacons go out every `intervalMs`, the first at
    // once. `curve` (kept by the caller) is set on a secured node.
    bool open(const Interface& iface, int port, size_t intervalMs, const CurveSetup* curve);
    void close();

    // The descriptor to wait on, -1 while resting or closed.
    int pollFd(int64_t t) const { return t < restUntil_ ? -1 : fd_; }
    // When discovery wants the node's loop to look again.
    int64_t nextWake(int64_t t) const { return restUntil_ > t ? std::min(nextBeaconAt_, restUntil_) : nextBeaconAt_; }

    // Sends the beacon when it is due.
    void onTimer(int64_t t, uint16_t inboxPort);
    // Sends a beacon now; port 0 tells every peer that this node leaves.
    void send(uint16_t inboxPort);
    // Reads waiting beacons and hands those that fit to `listener`.
    void receive(BeaconListener& listener);
    // A new peer came: the node is not settled.
    void noteNewPeer(int64_t t) { lastNewPeerAt_ = t; }

private:
    void restAfter(int beaconsRead);
    bool fromOwnInterface(struct msghdr& header) const;
    void refuse(const Uuid& uuid, in_addr sender, const char* why);
    bool trustedKey(const CurveKey& key, const Uuid& uuid, in_addr sender);

    Uuid uuid_;
    NodeLog& log_;
    Interface iface_;
    int port_ = 0;
    const CurveSetup* curve_ = nullptr;
    int fd_ = -1;
    size_t intervalMs_ = 1000;
    int64_t nextBeaconAt_ = kNever;
    int64_t restUntil_ = 0;
    int64_t lastNewPeerAt_ = 0;  // the last time a peer was made
    int64_t windowEnd_ = 0;
    int readsInWindow_ = 0;
};

}  // namespace zre
