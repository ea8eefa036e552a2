// Beacons and HELLOs under fresh identities, by the thousand, against the
// example daemon: it must neither abort nor hold a socket per forged peer,
// its established peers keep working, and honest newcomers still get in.
#include "zre_victim.h"

using namespace zreattack;

namespace {

// Sends `count` beacons with fresh UUIDs, all from one address, each
// pointing at a port where nothing listens.
void floodBeacons(int udpPort, int count)
{
    BeaconSender beacons;
    for (int i = 0; i < count; ++i)
        beacons.send("127.0.0.1", udpPort, randomUuid(), uint16_t(20000 + i % 1000));
}

TEST(BeaconFlood, DaemonSurvivesAndExpiresPendingPeers)
{
    Victims victims;
    int port = freshPort();
    auto daemon = victims.daemon(port, "victim");
    RawPeer friendPeer;
    ASSERT_TRUE(friendPeer.handshake("127.0.0.1", port));
    ASSERT_TRUE(friendPeer.answersPing(5000ms));
    int baseline = openDescriptors(daemon.pid);

    // Far beyond the 1,024 sockets that once aborted the program.
    floodBeacons(port, 3000);
    ASSERT_TRUE(friendPeer.answersPing(10000ms)) << "established peer lost during the flood";
    ASSERT_TRUE(corvotest::running(daemon.pid)) << daemon.err();
    // At most 256 pending peers, each costing a socket and a connection.
    EXPECT_LT(openDescriptors(daemon.pid), baseline + 256 * 3 + 32);
    EXPECT_TRUE(waitUntil([&] { return daemon.err().find("too many pending peers") != std::string::npos; }, 5000ms))
        << daemon.err();

    // Pending peers expire within seconds, not the 30 s of a silent peer.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(daemon.pid) <= baseline + 8; }, 20000ms))
        << openDescriptors(daemon.pid) << " descriptors, " << baseline << " before";
    EXPECT_TRUE(friendPeer.answersPing(5000ms));
    EXPECT_TRUE(corvotest::running(daemon.pid));
}

TEST(BeaconFlood, HellosFromFreshIdentitiesAreCappedToo)
{
    Victims victims;
    int port = freshPort();
    auto daemon = victims.daemon(port, "victim");
    RawPeer friendPeer;
    auto hello = friendPeer.handshake("127.0.0.1", port);
    ASSERT_TRUE(hello);
    ASSERT_TRUE(friendPeer.answersPing(5000ms));

    // Each forged identity greets the daemon with a HELLO that names an
    // endpoint where nothing listens.
    std::vector<void*> sockets;
    for (int i = 0; i < 1200; ++i) {
        void* s = zmq_socket(context(), ZMQ_DEALER);
        auto id = zre::identityOf(randomUuid());
        zmq_setsockopt(s, ZMQ_ROUTING_ID, id.data(), id.size());
        int zero = 0;
        zmq_setsockopt(s, ZMQ_LINGER, &zero, sizeof zero);
        zmq_connect(s, hello->endpoint.c_str());
        zre::Message m;
        m.id = zre::MessageId::Hello;
        m.sequence = 1;
        m.endpoint = "tcp://127.0.0.1:" + std::to_string(21000 + i);
        m.name = "forged";
        auto bytes = zre::encodeMessage(m);
        zmq_send(s, bytes->data(), bytes->size(), ZMQ_DONTWAIT);
        sockets.push_back(s);
        if (sockets.size() >= 300) {  // the attacker's own descriptors are limited too
            std::this_thread::sleep_for(200ms);
            for (void* old : sockets)
                zmq_close(old);
            sockets.clear();
        }
    }
    EXPECT_TRUE(friendPeer.answersPing(10000ms));
    EXPECT_TRUE(corvotest::running(daemon.pid)) << daemon.err();
    EXPECT_TRUE(waitUntil([&] { return daemon.err().find("too many") != std::string::npos; }, 5000ms)) << daemon.err();
    for (void* s : sockets)
        zmq_close(s);
}

// 115 honest programs on one host appear at once: every one is taken in,
// the caps notwithstanding.
TEST(BeaconFlood, HonestCrowdFromOneHostJoinsAtOnce)
{
    Victims victims;
    int port = freshPort();
    auto daemon = victims.daemon(port, "victim");
    RawPeer first;  // the daemon listens once it has greeted this one
    ASSERT_TRUE(first.handshake("127.0.0.1", port, "first"));
    std::vector<std::unique_ptr<RawPeer>> crowd;
    for (int i = 0; i < 115; ++i)
        crowd.push_back(std::make_unique<RawPeer>());
    BeaconSender beacons;
    for (int round = 0; round < 5; ++round)
        for (auto& p : crowd)
            beacons.send("127.0.0.1", port, p->uuid(), p->port());
    size_t greeted = 0;
    for (auto& p : crowd) {
        auto hello = p->receive(zre::MessageId::Hello, greeted == 0 ? 20000ms : 3000ms);
        if (!hello)
            continue;
        p->connect(hello->endpoint);
        p->sendHello("crowd" + std::to_string(greeted));
        ++greeted;
    }
    EXPECT_EQ(greeted, crowd.size());
    size_t answered = 0;
    for (auto& p : crowd)
        answered += p->answersPing(10000ms) ? 1 : 0;
    EXPECT_EQ(answered, crowd.size());
    EXPECT_TRUE(corvotest::running(daemon.pid));
}

}  // namespace
