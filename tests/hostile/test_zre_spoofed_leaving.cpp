// Forged leaving beacons and a forged HELLO under a live program's UUID:
// a watching node must keep the victim. A program that really leaves is
// still dropped at once, not after the 30 s of silence.
#include <chrono>
#include <thread>

#include "zre_test_util.hpp"
#include "zre_victim.h"

using namespace zreattack;
using zretest::isEvent;

namespace {

class SpoofedLeaving : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = freshPort();
        zretest::NodeOptions o;
        o.iface = "lo";
        o.port = port;
        watcher = std::make_unique<zretest::TestNode>("watcher", o);
        ASSERT_TRUE(watcher->start());
        victim = victims.node(port, "victim");
        auto enter =
            watcher->waitFor([](const zretest::Event& e) { return e.type == "ENTER" && e.name == "victim"; }, 20000);
        ASSERT_TRUE(enter);
        victimUuid = enter->uuid;
        victimAddr = enter->addr;
    }

    Victims victims;
    int port = 0;
    std::unique_ptr<zretest::TestNode> watcher;
    corvotest::Child victim;
    std::string victimUuid;
    std::string victimAddr;
};

TEST_F(SpoofedLeaving, ForgedLeavingBeaconsDoNotDropALivePeer)
{
    auto uuid = *zre::uuidFromString(victimUuid);
    BeaconSender forger;
    for (int i = 0; i < 30; ++i) {
        forger.send("127.0.0.1", port, uuid, 0);
        forger.send("127.255.255.255", port, uuid, 0);
        watcher->drain(100);
    }
    watcher->drain(1500);  // the checks' deadlines pass
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", victimUuid)));
    EXPECT_TRUE(corvotest::running(victim.pid));
}

TEST_F(SpoofedLeaving, ForgedHelloUnderAKnownUuidDoesNotEvict)
{
    // The watcher's inbox, learnt the way any peer learns it.
    RawPeer impostor;
    auto hello = impostor.handshake("127.255.255.255", port, "impostor", zre::uuidFromString(watcher->uuid()));
    ASSERT_TRUE(hello);
    impostor.connect(hello->endpoint, *zre::uuidFromString(victimUuid));
    impostor.sendHello("victim");
    watcher->drain(2000);
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", victimUuid)));
    // The victim still reaches the watcher: whispers from it would be
    // counted against its sequence; its membership stays.
    EXPECT_EQ(watcher->count(isEvent("ENTER", victimUuid)), 1u);
}

TEST_F(SpoofedLeaving, RealLeavingIsStillSeenAtOnce)
{
    victims.end(victim, SIGTERM);  // the node stops: leaving beacon
    // Far below the 30 s after which a silent peer expires.
    EXPECT_TRUE(watcher->waitFor(isEvent("EXIT", victimUuid), 10000));
}

// A watcher whose program is behind with its events reads nothing from its
// peers for a while, the answer to its check included: the check waits
// until it reads again, and the flooding but live peer stays.
TEST_F(SpoofedLeaving, AWatcherThatIsBehindKeepsAPeerWhoseLeavingIsForged)
{
    // Just beyond the 100,000 unread events at which reading pauses: the
    // rest fits into the queues and TCP between the two, so that the
    // flooder is not held up (it would drop a watcher that reads nothing
    // for over a second).
    const long kShouts = 102000;
    zretest::NodeOptions o;
    o.iface = "lo";
    o.port = port;
    zretest::TestNode flooder("flooder", o);
    zyre_join(watcher->get(), "flood");
    ASSERT_TRUE(flooder.start());
    ASSERT_TRUE(flooder.waitFor(isEvent("JOIN", watcher->uuid(), "flood"), 20000));
    for (long i = 0; i < kShouts; ++i)
        flooder.shout("flood", {"\x01", "x"});

    BeaconSender forger;
    for (int i = 0; i < 5; ++i) {
        // Broadcast: every node on the port gets it (a unicast only one).
        forger.send("127.255.255.255", port, *zre::uuidFromString(flooder.uuid()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the check's deadline passes, nothing read

    long shouts = 0;
    watcher->waitFor(
        [&](const zretest::Event& e) { return e.type == "SHOUT" && e.group == "flood" && ++shouts == kShouts; }, 60000);
    watcher->drain(200);
    EXPECT_EQ(shouts, kShouts);
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", flooder.uuid())));
}

}  // namespace
