// Beacons that arrive on another interface than the one a node was given:
// a node on loopback must not take them, a node on that interface must.
// Runs with the veth pair v0/v1: a beacon sent out of v1 arrives on v0.
#include "zre_test_util.hpp"
#include "zre_victim.h"

using namespace zreattack;

namespace {

// True when the node behind `node` greets `peer` (its HELLO arrives).
bool greets(RawPeer& peer, const std::string& nodeUuid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        zre::Uuid from{};
        auto m = peer.receive(200ms, &from);
        if (m && m->id == zre::MessageId::Hello && zre::uuidToString(from) == nodeUuid)
            return true;
    }
    return false;
}

TEST(ForeignInterface, NodeOnLoopbackIgnoresBeaconsFromVeth)
{
    int port = freshPort();
    zretest::NodeOptions o;
    o.port = port;
    o.iface = "lo";
    zretest::TestNode onLoopback("on-lo", o);
    o.iface = "v0";
    zretest::TestNode onVeth("on-v0", o);
    ASSERT_TRUE(onLoopback.start());
    ASSERT_TRUE(onVeth.start());

    // A peer whose inbox both nodes could reach; its beacons leave by v1
    // (given an address of the subnet) and arrive on v0.
    // v0 takes packets whose source is an address of this host.
    ASSERT_EQ(std::system("ip addr replace 10.77.0.2/24 dev v1 && sysctl -qw net.ipv4.conf.v0.accept_local=1"), 0);
    RawPeer fromVeth("0.0.0.0");
    BeaconSender outOfV1("v1");
    ASSERT_TRUE(outOfV1.bound()) << "SO_BINDTODEVICE needs the namespace's root";
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(outOfV1.send("10.77.0.255", port, fromVeth.uuid(), fromVeth.port()));
    EXPECT_TRUE(greets(fromVeth, onVeth.uuid(), 10000ms)) << "the beacon did not arrive on v0";
    EXPECT_FALSE(greets(fromVeth, onLoopback.uuid(), 2000ms));

    // The same beacon on loopback reaches the loopback node only.
    RawPeer fromLoopback("0.0.0.0");
    BeaconSender onLo;
    for (int i = 0; i < 5; ++i)
        onLo.send("127.255.255.255", port, fromLoopback.uuid(), fromLoopback.port());
    EXPECT_TRUE(greets(fromLoopback, onLoopback.uuid(), 10000ms));
    EXPECT_FALSE(greets(fromLoopback, onVeth.uuid(), 2000ms));
}

}  // namespace
