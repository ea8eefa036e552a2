// Gossip discovery between nodes whose beacons never meet (each beacons on
// a UDP port of its own): a rendezvous node binds a gossip endpoint, the
// others connect to it, and every node becomes every other's peer, the
// tuples relayed through the rendezvous. Run in a namespace (v0).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "zre_gossip.hpp"
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

// Sends one gossip message on `socket` (a client's DEALER).
void sendGossip(zsock_t* socket, const zre::GossipMessage& message)
{
    auto bytes = zre::encodeGossip(message);
    zframe_t* frame = zframe_new(bytes->data(), bytes->size());
    zframe_send(&frame, socket, 0);
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

// Two rendezvous points serve one site: losing one changes nothing the
// others see; one that restarts gets the full table back from its clients
// (they greet it again when it answers INVALID), and a newcomer that only
// knows the restarted one meets everybody.
TEST(ZreGossip, RendezvousPointsAreRedundantAndARestartedOneRelearnsTheSite)
{
    Site site;
    int port = freshPort();
    std::string first = gossipEndpoint(port), second = "tcp://10.77.0.1:" + std::to_string(30000 + port);
    TestNode& r1 = site.add("rv1");
    zyre_gossip_bind(r1.get(), "%s", first.c_str());
    NodeOptions apart;
    apart.port = freshPort();
    auto r2 = std::make_unique<TestNode>("rv2", apart);
    zyre_gossip_bind(r2->get(), "%s", second.c_str());
    ASSERT_TRUE(r2->start());
    TestNode& b = site.add("beta");
    TestNode& c = site.add("gamma");
    for (TestNode* node : {&b, &c}) {
        zyre_gossip_connect(node->get(), "%s", first.c_str());
        zyre_gossip_connect(node->get(), "%s", second.c_str());
    }
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    ASSERT_TRUE(site.allSeeAll(8000));

    r2.reset();  // stopped and gone, its gossip endpoint closed
    b.drain(1500);
    EXPECT_FALSE(b.saw(isEvent("EXIT", c.uuid())));
    EXPECT_FALSE(c.saw(isEvent("EXIT", b.uuid())));

    // The second comes back on its endpoint, as a new node that knows
    // nothing; a newcomer connects to it alone.
    apart.port = freshPort();
    r2 = std::make_unique<TestNode>("rv2", apart);
    zyre_gossip_bind(r2->get(), "%s", second.c_str());
    ASSERT_TRUE(r2->start());
    TestNode& d = site.add("delta");
    zyre_gossip_connect(d.get(), "%s", second.c_str());
    ASSERT_TRUE(d.start());
    for (TestNode* node : {&r1, &b, &c})
        EXPECT_TRUE(d.waitFor(isEvent("ENTER", node->uuid()), 5000)) << node->uuid();
    EXPECT_EQ(b.count(isEvent("ENTER", c.uuid())), 1u);
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

size_t openDescriptors()
{
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

zre::GossipTuple randomTuple(std::mt19937& random, const std::string& endpoint)
{
    zre::GossipTuple forged;
    for (auto& byte : forged.uuid)
        byte = uint8_t(random());
    forged.endpoint = endpoint;
    return forged;
}

// A hostile gossip client floods the rendezvous: a live peer's UUID at a
// wrong endpoint, new UUIDs at that peer's endpoint, and 100,000 random
// UUIDs at endpoints where nobody listens (with a TTL, and with TTL 0 as
// zyre sends). The live peer stays, seen once; memory and descriptors stay
// bounded; and a node that comes after still meets every honest one.
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
    std::string victimEndpoint = rendezvous.waitFor(isEvent("ENTER", b.uuid()), 0)->addr;
    size_t descriptorsBefore = openDescriptors();
    long memoryBefore = residentKiB();

    zsock_t* forger = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(forger, "%s", endpoint.c_str()), 0);
    auto send = [&](const zre::GossipMessage& m) { sendGossip(forger, m); };
    zre::GossipMessage hello;
    hello.id = zre::GossipId::Hello;
    send(hello);
    zre::GossipTuple stolen;
    stolen.uuid = *zre::uuidFromString(b.uuid());
    stolen.endpoint = "tcp://10.77.0.1:9";
    send(*zre::publishTuple(stolen, 0));
    std::mt19937 random(20);
    for (int i = 0; i < 20; ++i)
        send(*zre::publishTuple(randomTuple(random, victimEndpoint), i % 2 ? 0 : 600000));
    for (int i = 0; i < 100000; ++i) {
        std::string nowhere = "tcp://10.77.0.1:" + std::to_string(1 + i % 1000);
        send(*zre::publishTuple(randomTuple(random, nowhere), i % 2 ? 0 : 600000));
    }
    rendezvous.drain(3000);
    b.drain(100);
    // Sockets and descriptors: at most the gossip share of pending peers
    // (128 mailboxes, a few descriptors each) per node, with room to spare.
    EXPECT_LT(openDescriptors(), descriptorsBefore + 2 * 128 * 4);
    // AddressSanitizer keeps freed blocks in quarantine, so resident
    // memory says nothing there.
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(residentKiB() - memoryBefore, 64 * 1024);
#endif

    TestNode& c = site.add("gamma");
    zyre_gossip_connect(c.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(c.start());
    // The newcomer's gossip attempts are taken by forged tuples first (128
    // at a time, 3 s each): with an instrumented build on a busy machine,
    // meeting the honest ones takes well over 20 s.
    EXPECT_TRUE(c.waitFor(isEvent("ENTER", rendezvous.uuid()), 60000));
    EXPECT_TRUE(c.waitFor(isEvent("ENTER", b.uuid()), 60000));
    EXPECT_TRUE(rendezvous.waitFor(isEvent("ENTER", c.uuid()), 5000));
    zsock_destroy(&forger);
    for (TestNode* node : {&rendezvous, &b, &c})
        node->drain(1000);
    for (TestNode* node : {&rendezvous, &c}) {
        EXPECT_FALSE(node->saw(isEvent("EXIT", b.uuid())));
        EXPECT_EQ(node->count(isEvent("ENTER", b.uuid())), 1u);
    }
    EXPECT_FALSE(b.saw(isEvent("EXIT", rendezvous.uuid())));
}

// A tuple names a new UUID at a live peer's endpoint, again and again (a
// forgery, or the echo of a restart): the peer is checked, answers, and
// stays; nobody sees it leave and come back.
TEST(ZreGossip, NewUuidsAtALivePeersEndpointCauseNoEnterLeaveLoop)
{
    Site site;
    std::string endpoint = gossipEndpoint(freshPort());
    TestNode& rendezvous = site.add("rendezvous");
    zyre_gossip_bind(rendezvous.get(), "%s", endpoint.c_str());
    TestNode& b = site.add("beta");
    TestNode& c = site.add("gamma");
    zyre_gossip_connect(b.get(), "%s", endpoint.c_str());
    zyre_gossip_connect(c.get(), "%s", endpoint.c_str());
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    ASSERT_TRUE(site.allSeeAll(8000));
    std::string victimEndpoint = c.waitFor(isEvent("ENTER", b.uuid()), 0)->addr;

    zsock_t* forger = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(forger, "%s", endpoint.c_str()), 0);
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        zre::GossipMessage m;
        m.id = round == 0 ? zre::GossipId::Hello : zre::GossipId::Ping;
        for (const zre::GossipMessage& out : {m, *zre::publishTuple(randomTuple(random, victimEndpoint), 0)})
            sendGossip(forger, out);
        c.drain(1000);
    }
    zsock_destroy(&forger);
    c.drain(2000);
    for (TestNode* node : {&rendezvous, &c}) {
        EXPECT_FALSE(node->saw(isEvent("EXIT", b.uuid())));
        EXPECT_EQ(node->count(isEvent("ENTER", b.uuid())), 1u);
    }
}

// ---- gossip over CURVE ----------------------------------------------------

struct Keys {
    std::string publicKey;
    std::string secretKey;
    Keys()
    {
        char pub[41], sec[41];
        zmq_curve_keypair(pub, sec);
        publicKey = pub;
        secretKey = sec;
    }
};

// A TCP port where nothing but the test listens: whether anyone connects
// tells whether a node took a tuple naming it.
struct Trap {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    Trap()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x0A4D0001);  // 10.77.0.1
        socklen_t size = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 16);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~Trap() { close(fd); }
    std::string endpoint() const { return "tcp://10.77.0.1:" + std::to_string(port); }
    bool connectedWithin(int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
};

// Publishes one tuple to `endpoint` as a client with `keys` (CURVE, server
// key `serverKey`) or in the clear when `serverKey` is empty.
void publishAs(const std::string& endpoint, const std::string& serverKey, const Keys& keys,
               const zre::GossipTuple& tuple)
{
    zsock_t* client = zsock_new(ZMQ_DEALER);
    zsock_set_linger(client, 500);
    if (!serverKey.empty()) {
        zsock_set_curve_serverkey(client, serverKey.c_str());
        zsock_set_curve_publickey(client, keys.publicKey.c_str());
        zsock_set_curve_secretkey(client, keys.secretKey.c_str());
    }
    zsock_connect(client, "%s", endpoint.c_str());
    zre::GossipMessage hello;
    hello.id = zre::GossipId::Hello;
    for (const zre::GossipMessage& m : {hello, *zre::publishTuple(tuple, 0)})
        sendGossip(client, m);
    zclock_sleep(300);
    zsock_destroy(&client);
}

// Secured nodes whose beacons never meet form a site through a secured
// rendezvous; a client without a trusted key (or without CURVE) cannot
// publish, while a trusted one can (the same tuple is then tried).
TEST(ZreGossip, SecuredGossipTakesTuplesOnlyFromTrustedKeys)
{
    Site site;
    std::string endpoint = gossipEndpoint(freshPort());
    Keys kr, kb, kc, stranger;
    TestNode& r = site.add("rendezvous");
    TestNode& b = site.add("beta");
    TestNode& c = site.add("gamma");
    std::vector<std::pair<TestNode*, Keys*>> members{{&r, &kr}, {&b, &kb}, {&c, &kc}};
    for (auto& [node, keys] : members) {
        ASSERT_EQ(zyre_set_curve_keypair(node->get(), keys->publicKey.c_str(), keys->secretKey.c_str()), 0);
        for (auto& [other, otherKeys] : members) {
            std::string identity = other == &r ? "rv" : other->uuid();
            if (other != node) {
                ASSERT_EQ(zyre_trust_key(node->get(), otherKeys->publicKey.c_str(), identity.c_str(), "*"), 0);
            }
        }
    }
    zyre_gossip_bind(r.get(), "%s", endpoint.c_str());
    zyre_gossip_connect_curve(b.get(), kr.publicKey.c_str(), "%s", endpoint.c_str());
    zyre_gossip_connect_curve(c.get(), kr.publicKey.c_str(), "%s", endpoint.c_str());
    for (auto& node : site.nodes)
        ASSERT_TRUE(node->start());
    ASSERT_TRUE(site.allSeeAll(20000));
    auto entered = c.waitFor(isEvent("ENTER", b.uuid()), 0);
    EXPECT_EQ(entered->headers[ZYRE_IDENTITY_HEADER], b.uuid());

    // A tuple under a trusted key, naming the trap.
    zre::GossipTuple tuple;
    tuple.uuid = *zre::uuidFromString("0123456789ABCDEF0123456789ABCDEF");
    tuple.publicKey = kb.publicKey;
    {
        Trap trap;
        tuple.endpoint = trap.endpoint();
        publishAs(endpoint, kr.publicKey, stranger, tuple);
        publishAs(endpoint, "", stranger, tuple);
        EXPECT_FALSE(trap.connectedWithin(3000)) << "a tuple from an untrusted client was taken";
    }
    {
        Trap trap;
        tuple.endpoint = trap.endpoint();
        publishAs(endpoint, kr.publicKey, kc, tuple);
        EXPECT_TRUE(trap.connectedWithin(5000));
    }
    // A client that connected with a trusted key publishes nothing once
    // that key is revoked, though its connection stays up.
    {
        Keys kx;
        ASSERT_EQ(zyre_trust_key(r.get(), kx.publicKey.c_str(), "publisher", "*"), 0);
        ASSERT_EQ(zyre_apply_trust(r.get()), 0);
        zclock_sleep(300);  // applied by the node's thread
        zsock_t* client = zsock_new(ZMQ_DEALER);
        zsock_set_curve_serverkey(client, kr.publicKey.c_str());
        zsock_set_curve_publickey(client, kx.publicKey.c_str());
        zsock_set_curve_secretkey(client, kx.secretKey.c_str());
        zsock_connect(client, "%s", endpoint.c_str());
        auto send = [&](const zre::GossipMessage& m) { sendGossip(client, m); };
        zre::GossipMessage hello;
        hello.id = zre::GossipId::Hello;
        send(hello);
        Trap before, after;
        zre::GossipTuple first = tuple;
        first.uuid = *zre::uuidFromString("00112233445566778899AABBCCDDEEFF");
        first.endpoint = before.endpoint();
        send(*zre::publishTuple(first, 0));
        EXPECT_TRUE(before.connectedWithin(5000));
        ASSERT_EQ(zyre_untrust_key(r.get(), kx.publicKey.c_str()), 0);
        ASSERT_EQ(zyre_apply_trust(r.get()), 0);
        zclock_sleep(300);
        zre::GossipTuple other = tuple;
        other.uuid = *zre::uuidFromString("FEDCBA9876543210FEDCBA9876543210");
        other.endpoint = after.endpoint();
        send(*zre::publishTuple(other, 0));
        EXPECT_FALSE(after.connectedWithin(3000)) << "a tuple over a connection whose key was revoked was taken";
        zsock_destroy(&client);
    }
    // Nobody was taken for the peer the tuple claimed, and nobody left.
    for (auto& node : site.nodes) {
        EXPECT_FALSE(node->saw(isEvent("ENTER", "0123456789ABCDEF0123456789ABCDEF")));
        EXPECT_FALSE(node->saw(isEvent("EXIT")));
    }
}

// ---- pings ----------------------------------------------------------------

// A bare gossip server for a node to connect to: answers PING with PONG
// (when `answering`) and counts the pings; with `mark`, it binds under the
// routing id this project's servers use.
struct PingCounter {
    zsock_t* socket = zsock_new(ZMQ_ROUTER);
    std::string endpoint = "tcp://10.77.0.1:" + std::to_string(40000 + freshPort());
    int pings = 0;
    bool answering = true;

    explicit PingCounter(const char* mark)
    {
        if (mark)
            zmq_setsockopt(zsock_resolve(socket), ZMQ_ROUTING_ID, mark, std::strlen(mark));
        zsock_bind(socket, "%s", endpoint.c_str());
    }
    ~PingCounter() { zsock_destroy(&socket); }

    void readOne()
    {
        zmsg_t* msg = zmsg_recv(socket);
        if (!msg)
            return;
        zframe_t* identity = zmsg_pop(msg);
        zframe_t* body = zmsg_pop(msg);
        auto message = body ? zre::decodeGossip(zframe_data(body), zframe_size(body)) : std::nullopt;
        if (message && message->id == zre::GossipId::Ping) {
            ++pings;
            if (answering) {
                zre::GossipMessage pong;
                pong.id = zre::GossipId::Pong;
                auto bytes = zre::encodeGossip(pong);
                zmsg_t* reply = zmsg_new();
                zmsg_append(reply, &identity);
                zmsg_addmem(reply, bytes->data(), bytes->size());
                zmsg_send(&reply, socket);
            }
        }
        zframe_destroy(&identity);
        zframe_destroy(&body);
        zmsg_destroy(&msg);
    }
};

// Serves both fake servers (each with a socket and readOne()) for `ms`
// milliseconds.
template <typename Server>
void serve(Server& a, Server& b, int ms)
{
    int64_t end = zclock_mono() + ms;
    for (int64_t left = ms; left > 0; left = end - zclock_mono()) {
        zmq_pollitem_t items[] = {{zsock_resolve(a.socket), 0, ZMQ_POLLIN, 0},
                                  {zsock_resolve(b.socket), 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, 2, long(left)) <= 0)
            continue;
        if (items[0].revents & ZMQ_POLLIN)
            a.readOne();
        if (items[1].revents & ZMQ_POLLIN)
            b.readOne();
    }
}

// zyre's servers forget a client after 1 s of silence, ours after 10 s: a
// node pings a server of this project (known by its routing id) every 3 s
// while it answers, any other every second, and one of ours that stopped
// answering every second too (it may be restarting).
TEST(ZreGossip, ANodePingsOurServersLessOftenThanOthers)
{
    PingCounter plain(nullptr), ours(zre::GossipDiscovery::kServerMark);
    NodeOptions o;
    o.port = freshPort();
    TestNode node("pinger", o);
    zyre_gossip_connect(node.get(), "%s", plain.endpoint.c_str());
    zyre_gossip_connect(node.get(), "%s", ours.endpoint.c_str());
    ASSERT_TRUE(node.start());
    serve(plain, ours, 7000);
    EXPECT_GE(plain.pings, 5);
    EXPECT_GE(ours.pings, 1);
    EXPECT_LE(ours.pings, 3);

    ours.answering = false;
    ours.pings = 0;
    serve(plain, ours, 8000);
    EXPECT_GE(ours.pings, 4);  // within 3 s one unanswered, then every second
}

// Our server keeps a client that pings every 3 s (silent for longer than a
// zyre server allows), and says who it is in the connection's metadata.
TEST(ZreGossip, OurServerKeepsAClientSilentForSecondsAndSaysWhoItIs)
{
    NodeOptions o;
    o.port = freshPort();
    TestNode server("server", o);
    std::string endpoint = gossipEndpoint(o.port);
    zyre_gossip_bind(server.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(server.start());
    zsock_t* client = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(client, "%s", endpoint.c_str()), 0);
    zsock_set_rcvtimeo(client, 3000);
    auto send = [&](zre::GossipId id) {
        zre::GossipMessage m;
        m.id = id;
        sendGossip(client, m);
    };
    send(zre::GossipId::Hello);
    zframe_t* first = zframe_recv(client);  // the server's own tuple
    ASSERT_TRUE(first);
    const char* mark = zframe_meta(first, "Identity");
    EXPECT_STREQ(mark ? mark : "", zre::GossipDiscovery::kServerMark);
    zframe_destroy(&first);
    for (int i = 0; i < 2; ++i) {
        zclock_sleep(4000);
        send(zre::GossipId::Ping);
        std::optional<zre::GossipMessage> answer;
        do {  // tuples passed on meanwhile come first
            zframe_t* frame = zframe_recv(client);
            ASSERT_TRUE(frame);
            answer = zre::decodeGossip(zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
            ASSERT_TRUE(answer);
        } while (answer->id == zre::GossipId::Publish);
        EXPECT_EQ(answer->id, zre::GossipId::Pong) << "after " << 4 * (i + 1) << " s";
    }
    zsock_destroy(&client);
}

// A gossip server that has forgotten its client, or refuses it (as ours
// does a client beyond its 256): every message gets INVALID. After
// `invalidsBeforeTaking` INVALIDs (never when negative) it takes the next
// HELLO, as a server that forgot the client does, and then answers PINGs
// and notes the keys published to it. To the first message it also hands
// the node two tuples, so that a greeting is several messages.
struct RefusingServer {
    zsock_t* socket = zsock_new(ZMQ_ROUTER);
    std::string endpoint = "tcp://10.77.0.1:" + std::to_string(40000 + freshPort());
    int invalidsBeforeTaking = -1;
    int hellos = 0;
    int invalids = 0;
    bool taken = false;
    std::vector<std::string> tupleKeys;
    std::set<std::string> keysSeen;       // in any PUBLISH from the node
    std::set<std::string> keysPublished;  // once the node was taken

    RefusingServer() { zsock_bind(socket, "%s", endpoint.c_str()); }
    ~RefusingServer() { zsock_destroy(&socket); }

    void send(zframe_t* identity, const zre::GossipMessage& message)
    {
        auto bytes = zre::encodeGossip(message);
        zmsg_t* reply = zmsg_new();
        zmsg_addmem(reply, zframe_data(identity), zframe_size(identity));
        zmsg_addmem(reply, bytes->data(), bytes->size());
        zmsg_send(&reply, socket);
    }

    void readOne()
    {
        zmsg_t* msg = zmsg_recv(socket);
        if (!msg)
            return;
        zframe_t* identity = zmsg_pop(msg);
        zframe_t* body = zmsg_pop(msg);
        auto message = body ? zre::decodeGossip(zframe_data(body), zframe_size(body)) : std::nullopt;
        if (identity && tupleKeys.empty()) {
            std::mt19937 random{uint32_t(freshPort())};
            for (int i = 0; i < 2; ++i) {
                // Where nobody listens: the node tries it in vain and keeps it.
                std::string nowhere = "tcp://10.77.0.1:" + std::to_string(50000 + freshPort());
                auto publish = zre::publishTuple(randomTuple(random, nowhere), zre::GossipDiscovery::kOwnTtlMs);
                tupleKeys.push_back(publish->key);
                send(identity, *publish);
            }
        }
        if (identity && message) {
            if (message->id == zre::GossipId::Publish)
                keysSeen.insert(message->key);
            bool takes = invalidsBeforeTaking >= 0 && invalids >= invalidsBeforeTaking;
            if (message->id == zre::GossipId::Hello) {
                ++hellos;
                taken = taken || takes;
            }
            if (taken && message->id == zre::GossipId::Publish)
                keysPublished.insert(message->key);
            if (taken && message->id == zre::GossipId::Ping) {
                zre::GossipMessage pong;
                pong.id = zre::GossipId::Pong;
                send(identity, pong);
            } else if (!taken) {
                zre::GossipMessage invalid;
                invalid.id = zre::GossipId::Invalid;
                send(identity, invalid);
                ++invalids;
            }
        }
        zframe_destroy(&identity);
        zframe_destroy(&body);
        zmsg_destroy(&msg);
    }
};

// Every message of a greeting draws an INVALID from a server that refuses
// the node: greeting again on each would make the two feed each other a
// storm (thousands of greetings a second). A node greets a server at most
// once per ping interval on INVALID, and its next ping draws a new INVALID,
// so a server that merely forgot it still takes it again.
TEST(ZreGossip, AnInvalidBringsAtMostOneGreetingAPingInterval)
{
    RefusingServer refusing, forgetful;
    forgetful.invalidsBeforeTaking = 1;
    NodeOptions o;
    o.port = freshPort();
    TestNode node("refused", o);
    zyre_gossip_connect(node.get(), "%s", refusing.endpoint.c_str());
    zyre_gossip_connect(node.get(), "%s", forgetful.endpoint.c_str());
    ASSERT_TRUE(node.start());
    serve(refusing, forgetful, 1500);
    int hellosBefore = refusing.hellos;
    const int ms = 5000;
    serve(refusing, forgetful, ms);
    int hellos = refusing.hellos - hellosBefore;

    // The node held its own tuple and the four it was handed, and greeted
    // with them (one greeting draws six INVALIDs).
    for (const auto& key : refusing.tupleKeys)
        EXPECT_TRUE(refusing.keysSeen.count(key)) << "a greeting without the tuples held";
    EXPECT_TRUE(refusing.keysSeen.count(node.uuid()));
    // One greeting per ping (every second to a server of another kind),
    // plus one for an interval cut by the window, and slack.
    int intervals = ms / int(zre::GossipDiscovery::kPingMs);
    EXPECT_LE(hellos, intervals + 1 + 2) << "greetings in " << ms << " ms to a server that refuses every message";
    EXPECT_GE(hellos, 2) << "a refusing server is not greeted again";

    EXPECT_TRUE(forgetful.taken) << "a server that forgot the node never heard a new greeting";
    EXPECT_TRUE(forgetful.keysPublished.count(node.uuid())) << "the node's tuple did not come with its new greeting";
}

// ---- what a node publishes ------------------------------------------------

// The tuple a node at `endpoint` publishes, as a gossip client receives it
// after HELLO ("" when none comes).
std::string publishedBy(const std::string& endpoint, const std::string& uuid)
{
    zsock_t* client = zsock_new(ZMQ_DEALER);
    zsock_connect(client, "%s", endpoint.c_str());
    zre::GossipMessage hello;
    hello.id = zre::GossipId::Hello;
    sendGossip(client, hello);
    std::string value;
    zsock_set_rcvtimeo(client, 3000);
    while (zframe_t* got = zframe_recv(client)) {
        auto message = zre::decodeGossip(zframe_data(got), zframe_size(got));
        zframe_destroy(&got);
        if (message && message->key == uuid) {
            value = message->value;
            break;
        }
    }
    zsock_destroy(&client);
    return value;
}

// ---- bounds of the gossip endpoints -----------------------------------------

// The start of a ZMTP 3.0 connection (NULL mechanism) from a socket of
// `type`: the greeting and READY.
std::string zmtpStart(const std::string& type)
{
    std::string bytes("\xFF\0\0\0\0\0\0\0\0\x7F\x03\x00", 12);
    bytes += std::string("NULL") + std::string(16, '\0');
    bytes += std::string(32, '\0');  // as-server, filler
    std::string ready =
        std::string("\x05READY") + "\x0BSocket-Type" + std::string("\0\0\0", 3) + char(type.size()) + type;
    bytes += char(0x04);  // a short command
    bytes += char(ready.size());
    return bytes + ready;
}

// Starts a ZMTP connection on `fd` as a socket of `type`, waits for the
// other side's greeting and READY, sends the header of a frame that
// announces 1 GiB and `more` bytes of it, and reads until the other side
// closes the connection; false when it is still open after `ms`
// milliseconds.
bool closedAfterHugeFrame(int fd, const std::string& type, size_t more, int ms)
{
    std::string start = zmtpStart(type);
    send(fd, start.data(), start.size(), MSG_NOSIGNAL);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string got;
    char buffer[4096];
    // A frame sent before the handshake is done would be taken for a
    // command of the handshake.
    while (got.size() < 66 || got.size() < 66u + uint8_t(got[65])) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ADD_FAILURE() << "no ZMTP handshake";
            return false;
        }
        got.append(buffer, size_t(n));
    }
    std::string header("\x02\0\0\0\0\x40\0\0\0", 9);  // a long frame of 1 GiB
    send(fd, header.data(), header.size(), MSG_NOSIGNAL);
    std::string chunk(64 * 1024, 'x');
    for (size_t sent = 0; sent < more; sent += chunk.size())
        if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
            break;  // closed, or not read within `ms`
    int64_t end = zclock_mono() + ms;
    for (int64_t left = ms; left > 0; left = end - zclock_mono()) {
        pollfd in{fd, POLLIN, 0};
        if (poll(&in, 1, int(left)) <= 0)
            return false;
        if (recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

// A gossip message is at most 1,292 bytes: a frame that announces more
// (1 GiB here) closes the connection at once, on the bound endpoint and on
// a node's connection to a server, instead of being read into memory
// whole. An honest client is still served.
TEST(ZreGossip, AFrameLargerThanAGossipMessageClosesTheConnection)
{
    NodeOptions o;
    o.port = freshPort();
    TestNode server("server", o);
    std::string endpoint = gossipEndpoint(o.port);
    zyre_gossip_bind(server.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(server.start());
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(20000 + o.port));
    to.sin_addr.s_addr = htonl(0x0A4D0001);  // 10.77.0.1
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    EXPECT_TRUE(closedAfterHugeFrame(fd, "DEALER", 8 << 20, 3000)) << "the gossip endpoint kept reading a 1 GiB frame";
    close(fd);
    EXPECT_FALSE(publishedBy(endpoint, server.uuid()).empty()) << "an honest client was not served";

    // A server that sends a node such a frame.
    Trap hostile;
    NodeOptions c;
    c.port = freshPort();
    TestNode client("client", c);
    zyre_gossip_connect(client.get(), "%s", hostile.endpoint().c_str());
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(hostile.connectedWithin(5000));
    int accepted = accept(hostile.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_TRUE(closedAfterHugeFrame(accepted, "ROUTER", 8 << 20, 3000))
        << "a node kept reading a 1 GiB frame from its gossip server";
    close(accepted);
}

// A client that said HELLO is sent the table; HELLOs repeated on its
// connection get it again at most once a second (each costs the whole
// table). A new connection gets the whole table at once.
TEST(ZreGossip, RepeatedHellosOfAClientGetTheTableAtMostOnceASecond)
{
    NodeOptions o;
    o.port = freshPort();
    TestNode server("server", o);
    std::string endpoint = gossipEndpoint(o.port);
    zyre_gossip_bind(server.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(server.start());
    constexpr int kTuples = 20;
    zsock_t* publisher = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(publisher, "%s", endpoint.c_str()), 0);
    zre::GossipMessage hello;
    hello.id = zre::GossipId::Hello;
    sendGossip(publisher, hello);
    std::mt19937 random(33);
    std::set<std::string> keys{server.uuid()};
    for (int i = 0; i < kTuples; ++i) {
        auto publish = zre::publishTuple(randomTuple(random, "tcp://10.77.0.1:" + std::to_string(1 + i)), 30000);
        keys.insert(publish->key);
        sendGossip(publisher, *publish);
    }

    // Counts the PUBLISH messages that come to `client` until none came
    // for `quietMs`, and the keys among them.
    auto collect = [](zsock_t* client, int quietMs, std::set<std::string>& got) {
        zsock_set_rcvtimeo(client, quietMs);
        size_t publishes = 0;
        while (zframe_t* frame = zframe_recv(client)) {
            auto message = zre::decodeGossip(zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
            if (message && message->id == zre::GossipId::Publish) {
                ++publishes;
                got.insert(message->key);
            }
        }
        return publishes;
    };
    // A new client gets the whole table (once the publisher's tuples are in).
    auto newClient = [&] {
        std::set<std::string> got;
        for (int attempt = 0; attempt < 20 && got != keys; ++attempt) {
            got.clear();
            zsock_t* client = zsock_new(ZMQ_DEALER);
            zsock_connect(client, "%s", endpoint.c_str());
            sendGossip(client, hello);
            collect(client, 300, got);
            zsock_destroy(&client);
        }
        return got;
    };
    ASSERT_EQ(newClient(), keys);

    zsock_t* flooder = zsock_new(ZMQ_DEALER);
    ASSERT_EQ(zsock_connect(flooder, "%s", endpoint.c_str()), 0);
    for (int i = 0; i < 100; ++i)
        sendGossip(flooder, hello);
    std::set<std::string> got;
    size_t publishes = collect(flooder, 700, got);
    EXPECT_EQ(got, keys);
    // Once, and once more if the HELLOs were read across a second.
    EXPECT_LE(publishes, 2 * keys.size()) << "tables sent for 100 HELLOs on one connection";
    zsock_destroy(&flooder);
    EXPECT_EQ(newClient(), keys) << "a new connection did not get the whole table";
    zsock_destroy(&publisher);
}

// Run in a namespace with loopback only: a point-to-point interface (a tun
// device, no broadcast) is added. A node that gossips publishes the
// endpoint of a non-loopback interface when none can broadcast, or the one
// it was given; a node that does not gossip still takes loopback.
TEST(ZreGossipInterface, AGossipingNodePublishesAReachableEndpoint)
{
    if (system("ip tuntap add dev tun7 mode tun 2>/dev/null && ip addr add 10.88.0.1/24 dev tun7 && "
               "ip link set tun7 up && ip link set lo up") != 0)
        GTEST_SKIP() << "no tun device can be made here (needs CAP_NET_ADMIN in the namespace)";
    NodeOptions automatic;
    automatic.iface = "";
    automatic.port = freshPort();
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(20000 + automatic.port);
    TestNode gossiping("gossiping", automatic);
    zyre_gossip_bind(gossiping.get(), "%s", endpoint.c_str());
    ASSERT_TRUE(gossiping.start());
    EXPECT_EQ(publishedBy(endpoint, gossiping.uuid()).rfind("tcp://10.88.0.1:", 0), 0u);

    NodeOptions onLoopback = automatic;
    onLoopback.iface = "lo";
    std::string endpoint2 = "tcp://127.0.0.1:" + std::to_string(20001 + automatic.port);
    TestNode given("given", onLoopback);
    zyre_gossip_bind(given.get(), "%s", endpoint2.c_str());
    ASSERT_TRUE(given.start());
    EXPECT_EQ(publishedBy(endpoint2, given.uuid()).rfind("tcp://127.0.0.1:", 0), 0u);

    // Without gossip, beacons need broadcast: loopback, as before. Two such
    // nodes meet there.
    TestNode a("alpha", automatic), b("beta", automatic);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    auto entered = a.waitFor(isEvent("ENTER", b.uuid()), 5000);
    ASSERT_TRUE(entered);
    EXPECT_EQ(entered->addr.rfind("tcp://127.0.0.1:", 0), 0u);
}

}  // namespace
