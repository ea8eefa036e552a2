// Gossip discovery between nodes whose beacons never meet (each beacons on
// a UDP port of its own): a rendezvous node binds a gossip endpoint, the
// others connect to it, and every node becomes every other's peer, the
// tuples relayed through the rendezvous. Run in a namespace (v0).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "zre_gossip_codec.hpp"
#include "zre_test_util.hpp"

using namespace zretest;

namespace {

// A TCP port for the gossip endpoint, apart from the beacons' UDP ports.
std::string gossipEndpoint(int udpPort)
{
    return "tcp://10.77.0.1:" + std::to_string(20000 + udpPort);
}

// How `node` says it found `peer` ("" when not at all), once it says
// `want` or after `ms` milliseconds.
std::string foundBy(TestNode& node, const std::string& peer, const std::string& want, int ms)
{
    std::string said;
    for (int waited = 0;; waited += 50) {
        char* text = zyre_peer_found_by(node.get(), peer.c_str());
        said = text ? text : "(none)";
        zstr_free(&text);
        if (said == want || waited >= ms)
            return said;
        zclock_sleep(50);
    }
}

struct Site {
    std::vector<std::unique_ptr<TestNode>> nodes;

    // Node `i` beacons on a UDP port of its own, so that only gossip can
    // bring the nodes together.
    TestNode& add(const std::string& name)
    {
        NodeOptions o;
        o.port = freshPort();
        nodes.push_back(std::make_unique<TestNode>(name, o));
        return *nodes.back();
    }

    bool allSeeAll(int ms)
    {
        for (auto& a : nodes)
            for (auto& b : nodes)
                if (a != b && !a->waitFor(isEvent("ENTER", b->uuid()), ms))
                    return false;
        return true;
    }
};

TEST(ZreGossip, NodesWhoseBeaconsNeverMeetFindEachOtherThroughARendezvous)
{
    Site site;
    int rendezvousPort = freshPort();
    std::string endpoint = gossipEndpoint(rendezvousPort);
    TestNode& rendezvous = site.add("rendezvous");
    zyre_gossip_bind(rendezvous.get(), "%s", endpoint.c_str());
    TestNode& b = site.add("beta");
    zyre_gossip_connect(b.get(), "%s", endpoint.c_str());
    TestNode& c = site.add("gamma");
    zyre_gossip_connect(c.get(), "%s", endpoint.c_str());
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    // beta and gamma know of each other only through the rendezvous.
    EXPECT_TRUE(site.allSeeAll(8000));
    EXPECT_EQ(foundBy(b, c.uuid(), "gossip", 5000), "gossip");
    EXPECT_EQ(foundBy(c, b.uuid(), "gossip", 5000), "gossip");
    EXPECT_EQ(foundBy(b, rendezvous.uuid(), "gossip", 5000), "gossip");

    b.whisper(c.uuid(), {"over", "gossip"});
    auto got = c.waitFor(isEvent("WHISPER", b.uuid()), 3000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->frames, (std::vector<std::string>{"over", "gossip"}));
}

// Found both ways, a peer is one peer, and says so; the node answers for
// peers only (not for itself, a stranger or a malformed UUID).
TEST(ZreGossip, APeerFoundByBeaconAndGossipIsOnePeerFoundBothWays)
{
    Site site;
    NodeOptions shared;
    shared.port = freshPort();
    std::string endpoint = gossipEndpoint(shared.port);
    site.nodes.push_back(std::make_unique<TestNode>("alpha", shared));
    site.nodes.push_back(std::make_unique<TestNode>("beta", shared));
    TestNode& a = *site.nodes[0];
    TestNode& b = *site.nodes[1];
    TestNode& c = site.add("gamma");  // beacons apart: gossip only
    zyre_gossip_bind(a.get(), "%s", endpoint.c_str());
    zyre_gossip_connect(b.get(), "%s", endpoint.c_str());
    zyre_gossip_connect(c.get(), "%s", endpoint.c_str());
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    ASSERT_TRUE(site.allSeeAll(8000));
    EXPECT_EQ(foundBy(a, b.uuid(), "beacon,gossip", 5000), "beacon,gossip");
    EXPECT_EQ(foundBy(b, a.uuid(), "beacon,gossip", 5000), "beacon,gossip");
    EXPECT_EQ(foundBy(a, c.uuid(), "gossip", 5000), "gossip");
    EXPECT_EQ(a.count(isEvent("ENTER", b.uuid())), 1u);
    EXPECT_EQ(foundBy(a, a.uuid(), "", 0), "(none)");
    EXPECT_EQ(foundBy(a, "00000000000000000000000000000000", "", 0), "(none)");
    EXPECT_EQ(foundBy(a, "not a uuid", "", 0), "(none)");
    EXPECT_EQ(zyre_peer_found_by(a.get(), nullptr), nullptr);
}

TEST(ZreGossip, NodesOnOneBeaconPortAreFoundByBeacon)
{
    Site site;
    NodeOptions shared;
    shared.port = freshPort();
    site.nodes.push_back(std::make_unique<TestNode>("alpha", shared));
    site.nodes.push_back(std::make_unique<TestNode>("beta", shared));
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    ASSERT_TRUE(site.allSeeAll(8000));
    EXPECT_EQ(foundBy(*site.nodes[0], site.nodes[1]->uuid(), "beacon", 3000), "beacon");
    EXPECT_EQ(foundBy(*site.nodes[1], site.nodes[0]->uuid(), "beacon", 3000), "beacon");
    site.nodes[1]->stop();
    EXPECT_TRUE(site.nodes[0]->waitFor(isEvent("EXIT", site.nodes[1]->uuid()), 5000));
    EXPECT_EQ(foundBy(*site.nodes[0], site.nodes[1]->uuid(), "", 0), "(none)");
}

TEST(ZreGossip, WithoutGossipNodesOnOtherBeaconPortsStayApart)
{
    Site site;
    TestNode& a = site.add("alpha");
    TestNode& b = site.add("beta");
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    a.drain(1500);
    EXPECT_FALSE(a.saw(isEvent("ENTER", b.uuid())));
}

// A hostile gossip client floods the rendezvous with forged tuples: random
// UUIDs at endpoints where nobody listens, and a live peer's UUID at another
// endpoint. The live peer stays, and a node that comes later still meets
// the rendezvous (its greeting is admitted: pending peers learnt from
// gossip are counted apart).
TEST(ZreGossip, ForgedTuplesNeitherEvictNorExhaust)
{
    Site site;
    int rendezvousPort = freshPort();
    std::string endpoint = gossipEndpoint(rendezvousPort);
    TestNode& rendezvous = site.add("rendezvous");
    zyre_gossip_bind(rendezvous.get(), "%s", endpoint.c_str());
    TestNode& b = site.add("beta");
    zyre_gossip_connect(b.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(rendezvous.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(site.allSeeAll(8000));

    zsock_t* forger = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(forger, "%s", endpoint.c_str()), 0);
    auto send = [&](const zre::GossipMessage& m) {
        auto bytes = zre::encodeGossip(m);
        zframe_t* frame = zframe_new(bytes->data(), bytes->size());
        zframe_send(&frame, forger, 0);
    };
    zre::GossipMessage hello;
    hello.id = zre::GossipId::Hello;
    send(hello);
    zre::GossipTuple stolen;
    stolen.uuid = *zre::uuidFromString(b.uuid());
    stolen.endpoint = "tcp://10.77.0.1:9";
    send(*zre::publishTuple(stolen, 0));
    for (int i = 0; i < 3000; ++i) {
        zre::GossipTuple forged;
        for (size_t k = 0; k < forged.uuid.size(); ++k)
            forged.uuid[k] = uint8_t(i * 31 + k * 7 + (k == 0 ? i >> 8 : 0));
        forged.uuid[15] = uint8_t(i);
        forged.uuid[14] = uint8_t(i >> 8);
        forged.endpoint = "tcp://10.77.0.1:" + std::to_string(1 + i % 1000);
        send(*zre::publishTuple(forged, 600000));
    }
    rendezvous.drain(2000);
    zsock_destroy(&forger);
    EXPECT_FALSE(rendezvous.saw(isEvent("EXIT", b.uuid())));

    TestNode& c = site.add("gamma");
    zyre_gossip_connect(c.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(c.start());
    EXPECT_TRUE(c.waitFor(isEvent("ENTER", rendezvous.uuid()), 20000));
    EXPECT_TRUE(rendezvous.waitFor(isEvent("ENTER", c.uuid()), 5000));
    EXPECT_FALSE(rendezvous.saw(isEvent("EXIT", b.uuid())));
}

}  // namespace
