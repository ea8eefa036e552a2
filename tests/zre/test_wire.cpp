// One node against a hand-made peer that speaks the wire format directly:
// what the node sends (sequence numbers, status counter, identity) and how
// it treats malformed or out-of-order input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "zre_codec.hpp"
#include "zre_test_util.hpp"

using namespace zretest;
using zre::Message;
using zre::MessageId;

namespace {

const char* kAddress = "10.77.0.1";

// A fake peer: a ROUTER inbox, one DEALER mailbox towards the node and a
// UDP socket for beacons.
class RawPeer {
public:
    // With `smallInbox`, the inbox holds few messages (its queue and TCP's
    // receive buffer): what the node sends beyond waits on its side.
    explicit RawPeer(int udpPort, uint8_t seed = 0x11, bool smallInbox = false) : udpPort_(udpPort)
    {
        for (size_t i = 0; i < uuid_.size(); ++i)
            uuid_[i] = uint8_t(seed + i);
        inbox_ = zsock_new(ZMQ_ROUTER);
        zsock_set_router_handover(inbox_, 1);  // as the node's own inbox
        if (smallInbox) {
            zsock_set_rcvhwm(inbox_, 100);
            zsock_set_rcvbuf(inbox_, 64 * 1024);
        }
        port_ = zsock_bind(inbox_, "tcp://%s:*", kAddress);
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
    }
    ~RawPeer()
    {
        zsock_destroy(&mailbox_);
        zsock_destroy(&inbox_);
        close(udp_);
    }

    std::string uuidText() const { return zre::uuidToString(uuid_); }
    std::string endpoint() const { return std::string("tcp://") + kAddress + ":" + std::to_string(port_); }

    void sendUdp(const void* data, size_t size)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(udpPort_));
        inet_pton(AF_INET, kAddress, &to.sin_addr);
        sendto(udp_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void beacon(uint16_t port)
    {
        auto bytes = zre::encodeBeacon(zre::Beacon{uuid_, port});
        sendUdp(bytes.data(), bytes.size());
    }
    void beacon() { beacon(uint16_t(port_)); }
    // A beacon to the broadcast address of the test network: every node
    // on the port hears it, as one from a program on this host.
    void broadcastBeacon(uint16_t port)
    {
        int on = 1;
        setsockopt(udp_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        auto bytes = zre::encodeBeacon(zre::Beacon{uuid_, port});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(udpPort_));
        inet_pton(AF_INET, "10.77.0.255", &to.sin_addr);
        sendto(udp_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // Connects a mailbox to `endpoint` with the given identity bytes.
    void connect(const std::string& endpoint, const std::string& identity)
    {
        zsock_destroy(&mailbox_);
        mailbox_ = zsock_new(ZMQ_DEALER);
        zmq_setsockopt(zsock_resolve(mailbox_), ZMQ_ROUTING_ID, identity.data(), identity.size());
        zsock_connect(mailbox_, "%s", endpoint.c_str());
    }
    void connect(const std::string& endpoint)
    {
        auto id = zre::identityOf(uuid_);
        connect(endpoint, std::string(id.begin(), id.end()));
    }

    void sendRaw(const std::vector<std::string>& frames)
    {
        zmsg_t* msg = zmsg_new();
        for (const auto& f : frames)
            zmsg_addmem(msg, f.data(), f.size());
        zmsg_send(&msg, mailbox_);
    }
    void send(const Message& m, const std::vector<std::string>& content = {})
    {
        auto bytes = zre::encodeMessage(m);
        ASSERT_TRUE(bytes);
        std::vector<std::string> frames{std::string(bytes->begin(), bytes->end())};
        frames.insert(frames.end(), content.begin(), content.end());
        sendRaw(frames);
    }
    Message hello(const std::string& name = "raw") const
    {
        Message m;
        m.id = MessageId::Hello;
        m.sequence = 1;
        m.endpoint = endpoint();
        m.name = name;
        m.headers = {{"type", "fake"}};
        return m;
    }

    // Next message the node sent to this peer's inbox: identity and frames.
    // Once `from` is set, messages of other identities are passed over: the
    // mailbox of an earlier test's node, still lingering, may reconnect to
    // the port this peer was given again.
    bool receive(std::string& identity, Message& m, std::vector<std::string>& content, int ms = 3000)
    {
        zsock_set_rcvtimeo(inbox_, ms);
        zmsg_t* msg = zmsg_recv(inbox_);
        auto foreign = [&](zmsg_t* msg) {
            zframe_t* id = zmsg_first(msg);
            return !from.empty() && std::string(reinterpret_cast<char*>(zframe_data(id)), zframe_size(id)) != from;
        };
        while (msg && foreign(msg)) {
            zmsg_destroy(&msg);
            msg = zmsg_recv(inbox_);
        }
        if (!msg)
            return false;
        char* id = nullptr;
        zframe_t* idFrame = zmsg_pop(msg);
        identity.assign(reinterpret_cast<char*>(zframe_data(idFrame)), zframe_size(idFrame));
        zframe_destroy(&idFrame);
        zframe_t* first = zmsg_pop(msg);
        bool ok = first && zre::decodeMessage(zframe_data(first), zframe_size(first), m) == zre::DecodeError::None;
        zframe_destroy(&first);
        content.clear();
        for (zframe_t* f = zmsg_first(msg); f; f = zmsg_next(msg))
            content.emplace_back(reinterpret_cast<char*>(zframe_data(f)), zframe_size(f));
        zmsg_destroy(&msg);
        (void)id;
        return ok;
    }
    bool receive(Message& m)
    {
        std::string identity;
        std::vector<std::string> content;
        return receive(identity, m, content);
    }

    zre::Uuid uuid_{};
    int udpPort_;
    int port_ = 0;
    zsock_t* inbox_ = nullptr;
    zsock_t* mailbox_ = nullptr;
    int udp_ = -1;
    std::string from;  // the identity of the node under test
};

class ZreWire : public ::testing::Test {
protected:
    void SetUp() override { startNode(NodeOptions{}); }

    // (Re)starts the node under test with `o` (port and headers are set
    // here) and a fresh fake peer.
    void startNode(NodeOptions o)
    {
        peer_.reset();
        node_.reset();
        o.port = freshPort();
        o.headers = {{"client", "0"}};
        node_ = std::make_unique<TestNode>("subject", o);
        zyre_join(node_->get(), "before");
        ASSERT_TRUE(node_->start());
        peer_ = std::make_unique<RawPeer>(o.port);
    }

    // The peer beacons, receives the node's HELLO, and answers with its own.
    void handshake()
    {
        peer_->beacon();
        std::string identity;
        std::vector<std::string> content;
        ASSERT_TRUE(peer_->receive(identity, hello_, content));
        ASSERT_EQ(identity.size(), 17u);
        peer_->from = identity;
        EXPECT_EQ(identity[0], '\x01');
        EXPECT_EQ(zre::uuidToString(*zre::uuidFromIdentity(reinterpret_cast<const uint8_t*>(identity.data()), 17)),
                  node_->uuid());
        peer_->connect(hello_.endpoint);
        peer_->send(peer_->hello());
        ASSERT_TRUE(node_->waitFor(isEvent("ENTER", peer_->uuidText()), 3000));
    }

    Message join(const std::string& group, uint16_t sequence, uint8_t status, MessageId id = MessageId::Join)
    {
        Message m;
        m.id = id;
        m.sequence = sequence;
        m.group = group;
        m.status = status;
        return m;
    }

    std::unique_ptr<TestNode> node_;
    std::unique_ptr<RawPeer> peer_;
    Message hello_;
};

TEST_F(ZreWire, HelloThenSequenceAndStatusCountUp)
{
    handshake();
    EXPECT_EQ(hello_.id, MessageId::Hello);
    EXPECT_EQ(hello_.sequence, 1);
    EXPECT_EQ(hello_.name, "subject");
    EXPECT_EQ(hello_.groups, std::vector<std::string>{"before"});
    EXPECT_EQ(hello_.status, 1);  // one JOIN so far
    EXPECT_EQ(hello_.headers, (zre::Headers{{"client", "0"}}));
    EXPECT_TRUE(zre::isValidEndpoint(hello_.endpoint)) << hello_.endpoint;

    zyre_join(node_->get(), "g");
    zyre_join(node_->get(), "g");  // already a member: nothing sent
    zyre_leave(node_->get(), "g");
    zyre_leave(node_->get(), "never");  // not a member: nothing sent
    Message m;
    ASSERT_TRUE(peer_->receive(m));
    EXPECT_EQ(m.id, MessageId::Join);
    EXPECT_EQ(m.sequence, 2);
    EXPECT_EQ(m.status, 2);
    EXPECT_EQ(m.group, "g");
    ASSERT_TRUE(peer_->receive(m));
    EXPECT_EQ(m.id, MessageId::Leave);
    EXPECT_EQ(m.sequence, 3);
    EXPECT_EQ(m.status, 3);

    node_->whisper(peer_->uuidText(), {"\x04", "payload"});
    std::string identity;
    std::vector<std::string> content;
    ASSERT_TRUE(peer_->receive(identity, m, content));
    EXPECT_EQ(m.id, MessageId::Whisper);
    EXPECT_EQ(m.sequence, 4);
    EXPECT_EQ(content, (std::vector<std::string>{"\x04", "payload"}));
}

TEST_F(ZreWire, ShoutsOnlyToMembersAndAnswersPing)
{
    handshake();
    node_->shout("g", {"\x01", "x"});  // peer is no member yet: nothing sent
    node_->whisper(peer_->uuidText(), {"\x01", "marker"});
    Message m;
    std::string identity;
    std::vector<std::string> content;
    ASSERT_TRUE(peer_->receive(identity, m, content));
    EXPECT_EQ(m.id, MessageId::Whisper);
    EXPECT_EQ(m.sequence, 2);
    peer_->send(join("g", 2, 1));
    ASSERT_TRUE(node_->waitFor(isEvent("JOIN", peer_->uuidText(), "g"), 3000));
    node_->shout("g", {"\x01", "y"});
    ASSERT_TRUE(peer_->receive(identity, m, content));
    EXPECT_EQ(m.id, MessageId::Shout);
    EXPECT_EQ(m.sequence, 3);
    EXPECT_EQ(m.group, "g");
    EXPECT_EQ(content, (std::vector<std::string>{"\x01", "y"}));

    Message ping;
    ping.id = MessageId::Ping;
    ping.sequence = 3;
    peer_->send(ping);
    ASSERT_TRUE(peer_->receive(m));
    EXPECT_EQ(m.id, MessageId::PingOk);
    EXPECT_EQ(m.sequence, 4);
}

TEST_F(ZreWire, SequenceWrapsAfter65535)
{
    handshake();
    peer_->send(join("g", 2, 1));
    ASSERT_TRUE(node_->waitFor(isEvent("JOIN", peer_->uuidText(), "g"), 3000));
    Message w;
    w.id = MessageId::Whisper;
    for (uint32_t seq = 3; seq <= 65536 + 2; ++seq) {
        w.sequence = uint16_t(seq);
        peer_->send(w, {"\x01", std::to_string(seq)});
    }
    auto last = node_->waitFor([](const Event& e) { return e.type == "WHISPER" && e.frames.at(1) == "65538"; }, 20000);
    EXPECT_TRUE(last);
    EXPECT_FALSE(node_->saw(isEvent("EXIT")));
}

TEST_F(ZreWire, SequenceGapDropsThePeer)
{
    handshake();
    peer_->send(join("g", 3, 1));  // 2 was never sent
    EXPECT_TRUE(node_->waitFor(isEvent("EXIT", peer_->uuidText()), 3000));
    EXPECT_FALSE(node_->saw(isEvent("JOIN", peer_->uuidText(), "g")));
}

TEST_F(ZreWire, StatusJumpIsToleratedAndMembershipFollows)
{
    handshake();
    peer_->send(join("g", 2, 9));  // expected 1
    EXPECT_TRUE(node_->waitFor(isEvent("JOIN", peer_->uuidText(), "g"), 3000));
    peer_->send(join("g", 3, 10, MessageId::Leave));
    EXPECT_TRUE(node_->waitFor(isEvent("LEAVE", peer_->uuidText(), "g"), 3000));
    EXPECT_FALSE(node_->saw(isEvent("EXIT")));
}

TEST_F(ZreWire, MalformedFramesAreDroppedAndTheNodeGoesOn)
{
    handshake();
    std::vector<std::vector<std::string>> junk = {
        {},
        {""},
        {"\xAA"},
        {std::string("\xAA\xA1\x04\x02\x00\x02\x09g", 8)},                  // string past the end
        {std::string("\xAA\xA1\x63\x02\x00\x02", 6)},                       // unknown id
        {std::string("\xAA\xA1\x04\x03\x00\x02\x01g\x01", 9)},              // wrong version
        {std::string("\xAA\xA1\x01\x02\x00\x01\x00\xff\xff\xff\xff", 11)},  // absurd count
        {std::string(1 << 20, '\xAA')},
    };
    for (const auto& frames : junk)
        peer_->sendRaw(frames);
    // None of that counted: the next message in sequence is accepted.
    peer_->send(join("g", 2, 1));
    EXPECT_TRUE(node_->waitFor(isEvent("JOIN", peer_->uuidText(), "g"), 3000));
    EXPECT_FALSE(node_->saw(isEvent("EXIT")));
}

TEST_F(ZreWire, WrongIdentitySizeAndMessagesBeforeHelloAreIgnored)
{
    peer_->beacon();
    Message nodeHello;
    ASSERT_TRUE(peer_->receive(nodeHello));
    // A five-byte identity: not a ZRE mailbox.
    peer_->connect(nodeHello.endpoint, "\x01"
                                       "abcd");
    peer_->send(peer_->hello());
    // The right identity, but JOIN before HELLO.
    peer_->connect(nodeHello.endpoint);
    peer_->send(join("g", 1, 1));
    node_->drain(300);
    EXPECT_FALSE(node_->saw(isEvent("ENTER")));
    EXPECT_FALSE(node_->saw(isEvent("JOIN")));
    // A HELLO with a bad endpoint is refused too.
    Message bad = peer_->hello();
    bad.endpoint = "tcp://some.host:1";
    peer_->send(bad);
    node_->drain(200);
    EXPECT_FALSE(node_->saw(isEvent("ENTER")));
    peer_->send(peer_->hello());
    EXPECT_TRUE(node_->waitFor(isEvent("ENTER", peer_->uuidText()), 3000));
}

TEST_F(ZreWire, MalformedBeaconsAreIgnored)
{
    auto good = zre::encodeBeacon(zre::Beacon{peer_->uuid_, uint16_t(peer_->port_)});
    std::vector<std::string> junk = {"", "ZRE", std::string(good.begin(), good.end()) + "x",
                                     std::string(good.begin(), good.end() - 1), std::string(2000, 'Z')};
    std::string wrongVersion(good.begin(), good.end());
    wrongVersion[3] = 2;
    junk.push_back(wrongVersion);
    for (const auto& j : junk)
        peer_->sendUdp(j.data(), j.size());
    Message m;
    std::string identity;
    std::vector<std::string> content;
    EXPECT_FALSE(peer_->receive(identity, m, content, 300));  // nobody connected
    handshake();                                              // and the node still discovers properly
}

// A leaving beacon is checked with a PING; a peer that does not answer (as
// this one) is dropped after the check's short deadline.
TEST_F(ZreWire, LeavingBeaconDropsThePeerAtOnce)
{
    handshake();
    peer_->beacon(0);
    EXPECT_TRUE(node_->waitFor(isEvent("EXIT", peer_->uuidText()), 3000));
}

// Whispers go straight to the mailbox when no command waits for the actor,
// and through the actor when one does: either way, in the order given.
TEST_F(ZreWire, JoinsAndWhispersLeaveInTheOrderGiven)
{
    handshake();
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        zyre_join(node_->get(), ("g" + std::to_string(i)).c_str());
        node_->whisper(peer_->uuidText(), {std::to_string(i)});
    }
    Message m;
    std::string identity;
    std::vector<std::string> content;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(peer_->receive(identity, m, content));
        EXPECT_EQ(m.id, MessageId::Join);
        EXPECT_EQ(m.group, "g" + std::to_string(i));
        EXPECT_EQ(m.sequence, 2 + 2 * i);
        ASSERT_TRUE(peer_->receive(identity, m, content));
        EXPECT_EQ(m.id, MessageId::Whisper);
        EXPECT_EQ(content, std::vector<std::string>{std::to_string(i)});
        EXPECT_EQ(m.sequence, 3 + 2 * i);
    }
}

// At stop, a peer that was sent something is pinged after it, and the node
// leaves once the peer answers; a peer that never answers delays it only
// for a bounded time.
TEST_F(ZreWire, StopPingsPeersThatWereSentSomethingAndLeavesOnTheirAnswer)
{
    for (bool answer : {true, false}) {
        SCOPED_TRACE(answer ? "peer answers" : "peer is silent");
        startNode(NodeOptions{});
        handshake();
        node_->whisper(peer_->uuidText(), {"\x05", "last words"});
        auto stopped = std::async(std::launch::async, [this] { node_->stop(); });
        Message m;
        std::string identity;
        std::vector<std::string> content;
        ASSERT_TRUE(peer_->receive(identity, m, content));
        EXPECT_EQ(m.id, MessageId::Whisper);
        EXPECT_EQ(content, (std::vector<std::string>{"\x05", "last words"}));
        ASSERT_TRUE(peer_->receive(m));
        EXPECT_EQ(m.id, MessageId::Ping);
        EXPECT_EQ(m.sequence, uint16_t(3));
        if (answer) {
            Message ok;
            ok.id = MessageId::PingOk;
            ok.sequence = 2;
            peer_->send(ok);
        }
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_TRUE(node_->waitFor(isEvent("STOP"), 1000));
    }
}

// A node that sent nothing has nothing to confirm: no PING at stop.
TEST_F(ZreWire, StopSendsNoPingWhenNothingWasSent)
{
    handshake();
    node_->stop();
    EXPECT_TRUE(node_->waitFor(isEvent("STOP"), 1000));
    Message m;
    std::string identity;
    std::vector<std::string> content;
    EXPECT_FALSE(peer_->receive(identity, m, content, 200)) << "got " << zre::messageIdName(m.id);
}

// A peer that dropped the node greets it again over its open mailbox (a new
// connection under the same identity would not be read while the old one
// is open: the inbox hands no identity over).
TEST_F(ZreWire, SecondHelloMeansRestart)
{
    handshake();
    peer_->send(peer_->hello("raw2"));
    auto enter = node_->waitFor([](const Event& e) { return e.type == "ENTER" && e.name == "raw2"; }, 3000);
    ASSERT_TRUE(enter);
    // EXIT of the old incarnation comes before the new ENTER.
    const auto& events = node_->events();
    size_t exitAt = events.size(), enterAt = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].type == "EXIT" && exitAt == events.size())
            exitAt = i;
        if (events[i].type == "ENTER" && events[i].name == "raw2")
            enterAt = i;
    }
    EXPECT_LT(exitAt, enterAt);
    // The node greets the new incarnation again.
    Message m;
    bool gotHello = false;
    for (int i = 0; i < 3 && !gotHello; ++i)
        gotHello = peer_->receive(m) && m.id == MessageId::Hello && m.sequence == 1;
    EXPECT_TRUE(gotHello);
}

TEST_F(ZreWire, NewUuidOnAKnownEndpointReplacesThePeer)
{
    handshake();
    RawPeer other(peer_->udpPort_, 0x51);
    other.port_ = peer_->port_;  // same endpoint, as after a restart
    other.beacon(uint16_t(peer_->port_));
    EXPECT_TRUE(node_->waitFor(isEvent("EXIT", peer_->uuidText()), 3000));
}

// Once the node has answered a second HELLO with its own, the peer's next
// HELLO on the same connection is its answer to that one (two nodes of
// ours that each took the other's HELLO for a restart): taken without
// EXIT or ENTER, and not answered again.
TEST_F(ZreWire, HelloThatAnswersTheNodesSecondHelloIsNoRestart)
{
    handshake();
    peer_->send(peer_->hello("raw2"));
    ASSERT_TRUE(node_->waitFor([](const Event& e) { return e.type == "ENTER" && e.name == "raw2"; }, 3000));
    Message m;
    bool gotHello = false;
    for (int i = 0; i < 3 && !gotHello; ++i)
        gotHello = peer_->receive(m) && m.id == MessageId::Hello;
    ASSERT_TRUE(gotHello);
    // The answer, in a group since.
    Message answer = peer_->hello("raw2");
    answer.groups = {"joined"};
    answer.status = 1;
    peer_->send(answer);
    ASSERT_TRUE(node_->waitFor(isEvent("JOIN", peer_->uuidText(), "joined"), 3000));
    Message whisper;
    whisper.id = MessageId::Whisper;
    whisper.sequence = 2;
    peer_->send(whisper, {"after the answer"});
    ASSERT_TRUE(node_->waitFor(isEvent("WHISPER", peer_->uuidText()), 3000));
    EXPECT_EQ(node_->count(isEvent("EXIT", peer_->uuidText())), 1u);
    EXPECT_EQ(node_->count(isEvent("ENTER", peer_->uuidText())), 2u);
    std::string identity;
    std::vector<std::string> content;
    while (peer_->receive(identity, m, content, 500))
        EXPECT_NE(m.id, MessageId::Hello) << "the node answered the answer";
}

// A HELLO under another UUID that names a live peer's endpoint is anyone's
// claim: the peer is checked, not dropped, and keeps its place while it
// answers. One that does not answer is taken for restarted: the newcomer
// enters.
TEST_F(ZreWire, HelloNamingALivePeersEndpointGetsThePeerCheckedNotDropped)
{
    handshake();
    RawPeer forger(peer_->udpPort_, 0x77);
    forger.connect(hello_.endpoint);
    Message forged = forger.hello("forger");
    forged.endpoint = peer_->endpoint();
    forger.send(forged);
    // The peer answers the PING that checks it.
    Message m;
    std::string identity;
    std::vector<std::string> content;
    bool pinged = false;
    for (int i = 0; i < 5 && !pinged; ++i)
        pinged = peer_->receive(identity, m, content) && m.id == MessageId::Ping;
    ASSERT_TRUE(pinged);
    Message ok;
    ok.id = MessageId::PingOk;
    ok.sequence = 2;
    peer_->send(ok);
    Message whisper;
    whisper.id = MessageId::Whisper;
    whisper.sequence = 3;
    peer_->send(whisper, {"still here"});
    auto got = node_->waitFor(isEvent("WHISPER", peer_->uuidText()), 3000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->frames, std::vector<std::string>{"still here"});
    node_->drain(1500);  // past the check's deadline
    EXPECT_FALSE(node_->saw(isEvent("EXIT", peer_->uuidText())));
    EXPECT_FALSE(node_->saw(isEvent("ENTER", forger.uuidText())));

    // Again, and now the peer stays silent, as a killed program would.
    forger.send(forged);
    auto enter = node_->waitFor(isEvent("ENTER", forger.uuidText()), 3000);
    ASSERT_TRUE(enter);
    EXPECT_EQ(enter->name, "forger");
    EXPECT_TRUE(node_->saw(isEvent("EXIT", peer_->uuidText())));
}

// A check of a peer to which messages wait in the node's backlog: its PING
// waits behind them, and the peer cannot answer before it has read them.
// A HELLO under another UUID naming the peer's endpoint and a leaving beacon
// under its UUID (anyone's to send) come right after a burst; the peer
// reads slowly for longer than a check's 500 ms (but makes progress well
// within the backlog's 1 s), then at full speed. The check counts from
// when its PING left: the peer answers it, keeps its place and gets every
// message; the forger is not taken.
TEST_F(ZreWire, ACheckWaitsForItsPingToLeaveTheBacklog)
{
    peer_ = std::make_unique<RawPeer>(peer_->udpPort_, 0x11, true);
    handshake();
    // The mailbox (1,000 messages), TCP and the peer's small inbox hold
    // about half of it (TCP's send buffer grows to 4 MiB at most): the
    // rest, more than the peer reads while slow, waits in the backlog.
    constexpr int kMessages = 8000;
    const std::string payload(4096, 'x');
    RawPeer forger(peer_->udpPort_, 0x77);
    forger.connect(hello_.endpoint);
    std::atomic<bool> forged{false};
    // The whispers go straight into the mailbox or the backlog (no command
    // waits for the node), so the check's PING is queued behind them all.
    std::thread sender([&] {
        for (int i = 0; i < kMessages; ++i)
            node_->whisper(peer_->uuidText(), {payload});
        Message hello = forger.hello("forger");
        hello.endpoint = peer_->endpoint();
        forger.send(hello);
        peer_->beacon(0);
        forged = true;
    });

    int whispers = 0, whispersBeforePing = -1;
    auto read = [&](int most, int ms) {
        Message m;
        std::string identity;
        std::vector<std::string> content;
        for (int i = 0; i < most; ++i) {
            if (!peer_->receive(identity, m, content, ms))
                return false;
            if (m.id == MessageId::Whisper) {
                ++whispers;
            } else if (m.id == MessageId::Ping && whispersBeforePing < 0) {
                whispersBeforePing = whispers;
                Message ok;
                ok.id = MessageId::PingOk;
                ok.sequence = 2;
                peer_->send(ok);
            }
        }
        return true;
    };
    // 100 messages every 50 ms at most: 2,400 in the 1.2 s after the
    // forgery, and a few hundred while the burst is sent.
    using namespace std::chrono;
    auto slowUntil = steady_clock::time_point::max();
    while (steady_clock::now() < slowUntil) {
        read(100, 5);
        std::this_thread::sleep_for(milliseconds(50));
        if (forged && slowUntil == steady_clock::time_point::max())
            slowUntil = steady_clock::now() + milliseconds(1200);
    }
    int slowly = whispers;
    while ((whispers < kMessages || whispersBeforePing < 0) && read(1, 5000)) {}
    sender.join();
    node_->drain(700);  // past the deadline of a PING that has just left

    EXPECT_EQ(whispersBeforePing, kMessages) << "the PING did not come behind the burst";
    EXPECT_EQ(whispers, kMessages) << slowly << " read slowly";
    EXPECT_FALSE(node_->saw(isEvent("EXIT", peer_->uuidText()))) << slowly << " read slowly";
    EXPECT_FALSE(node_->saw(isEvent("ENTER", forger.uuidText())));
}

// Two nodes of ours, then one forged message that makes one of them greet
// the other twice: a HELLO under a new UUID with B's endpoint, or a beacon
// under a new UUID with B's port (taken as B restarted). The nodes settle:
// a few EXITs at most, and none once settled, and they still talk.
TEST_F(ZreWire, TwoNodesSettleAfterAForgedGreeting)
{
    for (bool byBeacon : {false, true}) {
        SCOPED_TRACE(byBeacon ? "forged beacon" : "forged HELLO");
        NodeOptions o;
        o.interval = 200;
        startNode(o);
        o.port = peer_->udpPort_;
        TestNode other("other", o);
        ASSERT_TRUE(other.start());
        TestNode& a = *node_;
        auto seenB = a.waitFor(isEvent("ENTER", other.uuid()), 5000);
        auto seenA = other.waitFor(isEvent("ENTER", a.uuid()), 5000);
        ASSERT_TRUE(seenB && seenA);

        RawPeer forger(peer_->udpPort_, 0x77);
        if (byBeacon) {
            forger.broadcastBeacon(uint16_t(std::stoi(seenB->addr.substr(seenB->addr.rfind(':') + 1))));
        } else {
            forger.connect(seenA->addr);
            Message forged = forger.hello("forger");
            forged.endpoint = seenB->addr;
            forger.send(forged);
        }
        auto exits = [&] {
            return std::make_pair(a.count(isEvent("EXIT", other.uuid())), other.count(isEvent("EXIT", a.uuid())));
        };
        for (int i = 0; i < 15; ++i) {
            a.drain(100);
            other.drain(100);
        }
        auto settled = exits();
        for (int i = 0; i < 10; ++i) {
            a.drain(100);
            other.drain(100);
        }
        auto last = exits();
        EXPECT_LE(last.first, 2u) << "EXITs of B at A";
        EXPECT_LE(last.second, 2u) << "EXITs of A at B";
        EXPECT_EQ(last, settled) << "still leaving and entering";
        // Whatever happened, each holds the other at the end.
        other.whisper(a.uuid(), {"settled"});
        EXPECT_TRUE(a.waitFor(
            [&](const Event& e) { return e.type == "WHISPER" && e.uuid == other.uuid() && e.frames.size() == 1; },
            3000));
    }
}

// A peer that does not greet within its pending lifetime is forgotten, and
// connected to again at its next beacon, with twice the lifetime: in a site
// too busy to greet within 5 s, no peer would ever enter otherwise.
TEST_F(ZreWire, APeerForgottenWhilePendingIsGivenLongerNextTime)
{
    using namespace std::chrono;
    std::vector<steady_clock::time_point> hellos;
    const auto end = steady_clock::now() + 30s;
    while (hellos.size() < 3 && steady_clock::now() < end) {
        peer_->beacon();
        std::string identity;
        Message m;
        std::vector<std::string> content;
        if (peer_->receive(identity, m, content, 500) && m.id == MessageId::Hello) {
            hellos.push_back(steady_clock::now());
            peer_->from = identity;
        }
    }
    ASSERT_EQ(hellos.size(), 3u) << "the node did not connect again after forgetting the peer";
    const auto first = duration_cast<milliseconds>(hellos[1] - hellos[0]).count();
    const auto second = duration_cast<milliseconds>(hellos[2] - hellos[1]).count();
    EXPECT_GE(first, 4500);
    EXPECT_LT(first, 8000);
    EXPECT_GE(second, 9500) << "the second lifetime was not longer than the first (" << first << " ms)";
    EXPECT_EQ(node_->count(isEvent("ENTER")), 0u);
}

TEST_F(ZreWire, SilentPeerIsPingedAndPingOkKeepsItAlive)
{
    NodeOptions o;
    o.evasive = 200;
    o.expired = 800;
    startNode(o);
    handshake();
    // No beacons from the peer from now on: only its PING-OKs keep it.
    uint16_t sequence = 1;
    int pings = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1600);
    while (std::chrono::steady_clock::now() < until) {
        Message m;
        std::string identity;
        std::vector<std::string> content;
        if (!peer_->receive(identity, m, content, 100))
            continue;
        ASSERT_EQ(m.id, MessageId::Ping);
        ++pings;
        Message ok;
        ok.id = MessageId::PingOk;
        ok.sequence = ++sequence;
        peer_->send(ok);
    }
    // Pinged while quiet, before it would be evasive: its answers keep it.
    EXPECT_GE(pings, 2);
    EXPECT_FALSE(node_->saw(isEvent("EXIT")));
    // Once it stops answering, it is silent, then expires.
    EXPECT_TRUE(node_->waitFor(isEvent("EVASIVE", peer_->uuidText()), 3000));
    EXPECT_TRUE(node_->waitFor(isEvent("SILENT", peer_->uuidText()), 3000));
    EXPECT_TRUE(node_->waitFor(isEvent("EXIT", peer_->uuidText()), 3000));
}

TEST_F(ZreWire, GoodbyeDropsThePeer)
{
    handshake();
    Message bye;
    bye.id = MessageId::Goodbye;
    bye.sequence = 2;
    peer_->send(bye);
    EXPECT_TRUE(node_->waitFor(isEvent("EXIT", peer_->uuidText()), 3000));
}

}  // namespace
