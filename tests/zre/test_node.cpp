// Several nodes in one network namespace: discovery, groups, messages,
// departures. Run through the namespace runner with a veth pair (v0).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <memory>

#include "zre_test_util.hpp"

extern char** environ;

using namespace zretest;

namespace {

NodeOptions options(int port)
{
    NodeOptions o;
    o.port = port;
    return o;
}

// Starts both nodes with `member` in `group`, and waits until `other` has
// seen it join.
bool startWithMemberOfGroup(TestNode& other, TestNode& member, const char* group)
{
    zyre_join(member.get(), group);
    return other.start() && member.start() && other.waitFor(isEvent("JOIN", member.uuid(), group), 3000).has_value();
}

TEST(ZreNodes, TwoNodesDiscoverEachOtherWithHeaders)
{
    NodeOptions o = options(freshPort());
    o.headers = {{"client", "0"}, {"type", "camera"}};
    TestNode a("alpha", o);
    o.headers = {{"client", "1"}, {"type", "client"}};
    TestNode b("beta", o);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());

    auto enterB = a.waitFor(isEvent("ENTER", b.uuid()), 3000);
    auto enterA = b.waitFor(isEvent("ENTER", a.uuid()), 3000);
    ASSERT_TRUE(enterB);
    ASSERT_TRUE(enterA);
    EXPECT_EQ(enterB->name, "beta");
    EXPECT_EQ(enterB->headers.at("client"), "1");
    EXPECT_EQ(enterB->headers.at("type"), "client");
    EXPECT_EQ(enterA->headers.at("type"), "camera");
    EXPECT_EQ(enterA->addr.rfind("tcp://10.77.0.1:", 0), 0u) << enterA->addr;
    EXPECT_EQ(enterA->uuid.size(), 32u);
    for (char c : enterA->uuid)
        EXPECT_TRUE(isdigit(c) || (c >= 'A' && c <= 'F')) << enterA->uuid;
}

TEST(ZreNodes, LoopbackDiscovery)
{
    NodeOptions o = options(freshPort());
    o.iface = "lo";
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    auto enter = a.waitFor(isEvent("ENTER", b.uuid()), 3000);
    ASSERT_TRUE(enter);
    EXPECT_EQ(enter->addr.rfind("tcp://127.0.0.1:", 0), 0u) << enter->addr;
    EXPECT_TRUE(b.waitFor(isEvent("ENTER", a.uuid()), 3000));
}

TEST(ZreNodes, InterfaceFromEnvironmentThenFirstBroadcastCapable)
{
    NodeOptions o = options(freshPort());
    o.iface = "";
    TestNode probe("probe", o);  // nothing set: v0, the only broadcast-capable one
    setenv("ZSYS_INTERFACE", "lo", 1);
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    unsetenv("ZSYS_INTERFACE");
    ASSERT_TRUE(probe.start());
    auto enter = a.waitFor(isEvent("ENTER", b.uuid()), 3000);
    ASSERT_TRUE(enter);
    EXPECT_EQ(enter->addr.rfind("tcp://127.0.0.1:", 0), 0u) << enter->addr;
    // The loopback beacon reaches every socket on the port, probe's too, so
    // all three meet; probe announces its inbox on v0.
    auto probeSeen = a.waitFor(isEvent("ENTER", probe.uuid()), 3000);
    ASSERT_TRUE(probeSeen);
    EXPECT_EQ(probeSeen->addr.rfind("tcp://10.77.0.1:", 0), 0u) << probeSeen->addr;
}

TEST(ZreNodes, UnknownInterfaceFailsToStart)
{
    NodeOptions o = options(freshPort());
    o.iface = "nosuch0";
    TestNode a("alpha", o);
    EXPECT_FALSE(a.start());
}

TEST(ZreNodes, GroupsShoutAndWhisper)
{
    NodeOptions o = options(freshPort());
    TestNode a("alpha", o);
    TestNode b("beta", o);
    TestNode c("gamma", o);
    zyre_join(b.get(), "site");
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(c.start());
    // A group joined before start is announced in HELLO.
    ASSERT_TRUE(a.waitFor(isEvent("JOIN", b.uuid(), "site"), 3000));
    ASSERT_TRUE(a.waitFor(isEvent("ENTER", c.uuid()), 3000));
    ASSERT_TRUE(c.waitFor(isEvent("ENTER", b.uuid()), 3000));

    // A group joined after start is announced by JOIN.
    zyre_join(c.get(), "site");
    ASSERT_TRUE(a.waitFor(isEvent("JOIN", c.uuid(), "site"), 3000));
    ASSERT_TRUE(b.waitFor(isEvent("JOIN", c.uuid(), "site"), 3000));

    // A non-member shouts; only members receive, frames unchanged.
    std::string payload("\x00\x01\xff", 3);
    a.shout("site", {"\x02", payload});
    auto atB = b.waitFor(isEvent("SHOUT", a.uuid(), "site"), 3000);
    auto atC = c.waitFor(isEvent("SHOUT", a.uuid(), "site"), 3000);
    ASSERT_TRUE(atB);
    ASSERT_TRUE(atC);
    EXPECT_EQ(atB->frames, (std::vector<std::string>{"\x02", payload}));
    EXPECT_EQ(atC->frames, atB->frames);

    c.whisper(a.uuid(), {"\x07", "info", "third"});
    auto whisper = a.waitFor(isEvent("WHISPER", c.uuid()), 3000);
    ASSERT_TRUE(whisper);
    EXPECT_EQ(whisper->frames, (std::vector<std::string>{"\x07", "info", "third"}));
    EXPECT_EQ(whisper->name, "gamma");

    // After LEAVE, shouts to the group no longer reach the node.
    zyre_leave(c.get(), "site");
    ASSERT_TRUE(a.waitFor(isEvent("LEAVE", c.uuid(), "site"), 3000));
    ASSERT_TRUE(b.waitFor(isEvent("LEAVE", c.uuid(), "site"), 3000));
    a.shout("site", {"\x03", "after"});
    ASSERT_TRUE(b.waitFor(
        [&](const Event& e) { return e.type == "SHOUT" && e.frames.size() == 2 && e.frames[1] == "after"; }, 3000));
    c.drain(200);
    EXPECT_EQ(c.count(isEvent("SHOUT")), 1u);
    EXPECT_FALSE(a.saw(isEvent("SHOUT")));  // a never joined
}

TEST(ZreNodes, ManyMessagesArriveInOrder)
{
    NodeOptions o = options(freshPort());
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startWithMemberOfGroup(a, b, "g"));
    // More than the event pipe holds while b does not read: the rest wait
    // in b's node until b makes room.
    const int total = 50000;
    for (int i = 0; i < total; ++i)
        a.shout("g", {"\x01", std::to_string(i)});
    int expected = 0;
    b.waitFor(
        [&](const Event& e) {
            if (e.type == "SHOUT") {
                EXPECT_EQ(e.frames.at(1), std::to_string(expected));
                ++expected;
            }
            return expected == total;
        },
        20000);
    EXPECT_EQ(expected, total);
    EXPECT_FALSE(b.saw(isEvent("EXIT")));
}

TEST(ZreNodes, TwentyNodesSeeEveryOther)
{
    // Twenty nodes with their mailboxes and connections need more than the
    // usual 1024 descriptors.
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    const int count = 20;
    NodeOptions o = options(freshPort());
    o.interval = 50;
    std::vector<std::unique_ptr<TestNode>> nodes;
    for (int i = 0; i < count; ++i) {
        nodes.push_back(std::make_unique<TestNode>("node" + std::to_string(i), o));
        zyre_join(nodes.back()->get(), "all");
    }
    for (auto& n : nodes)
        ASSERT_TRUE(n->start());
    for (auto& n : nodes) {
        for (auto& other : nodes) {
            if (other == n)
                continue;
            ASSERT_TRUE(n->waitFor(isEvent("JOIN", other->uuid(), "all"), 10000))
                << zyre_name(n->get()) << " misses " << zyre_name(other->get());
        }
    }
    for (auto& n : nodes) {
        EXPECT_EQ(n->count(isEvent("ENTER")), size_t(count - 1));
        EXPECT_FALSE(n->saw(isEvent("EXIT")));
    }
}

TEST(ZreNodes, StoppedNodeIsReportedAtOnce)
{
    NodeOptions o = options(freshPort());
    o.interval = 1000;  // no help from later beacons
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(a.waitFor(isEvent("ENTER", b.uuid()), 3000));
    std::string gone = b.uuid();
    b.stop();
    auto stopEvent = b.waitFor(isEvent("STOP"), 1000);
    EXPECT_TRUE(stopEvent);
    // Well under the 30 s expiry: only the leaving beacon can explain it.
    EXPECT_TRUE(a.waitFor(isEvent("EXIT", gone), 2000));
}

// What was handed to the node before stop reaches the peers, and only
// then do they see the node leave.
TEST(ZreNodes, MessagesSentJustBeforeStopArriveBeforeExit)
{
    NodeOptions o = options(freshPort());
    o.interval = 1000;  // no help from later beacons
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startWithMemberOfGroup(a, b, "g"));
    ASSERT_TRUE(b.waitFor(isEvent("ENTER", a.uuid()), 3000));
    const int shouts = 5000;
    const int whispers = 50;
    for (int i = 0; i < shouts; ++i) {
        a.shout("g", {"\x01", std::to_string(i)});
        if (i % (shouts / whispers) == 0)
            a.whisper(b.uuid(), {"\x02", std::to_string(i)});
    }
    std::string gone = a.uuid();
    a.stop();
    ASSERT_TRUE(a.waitFor(isEvent("STOP"), 2000));

    ASSERT_TRUE(b.waitFor(isEvent("EXIT", gone), 2000));
    // Every message, in order, and all of them before EXIT.
    int nextShout = 0, nextWhisper = 0;
    for (const Event& e : b.events()) {
        if (e.type == "EXIT")
            break;
        if (e.type == "SHOUT" && e.uuid == gone) {
            EXPECT_EQ(e.frames.at(1), std::to_string(nextShout));
            ++nextShout;
        }
        if (e.type == "WHISPER" && e.uuid == gone) {
            EXPECT_EQ(e.frames.at(1), std::to_string(nextWhisper * (shouts / whispers)));
            ++nextWhisper;
        }
    }
    EXPECT_EQ(nextShout, shouts);
    EXPECT_EQ(nextWhisper, whispers);
}

TEST(ZreNodes, StopAndRestartWhileMessagesPourIn)
{
    NodeOptions o = options(freshPort());
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startWithMemberOfGroup(a, b, "g"));
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 500; ++i)
            a.shout("g", {"\x01", "x"});
        b.stop();
        ASSERT_TRUE(b.start());
        ASSERT_TRUE(a.waitFor(
            [&](const Event& e) {
                return e.type == "JOIN" && e.uuid == b.uuid() &&
                       a.count(isEvent("JOIN", b.uuid(), "g")) == size_t(round + 2);
            },
            3000))
            << "round " << round;
    }
    // The group survives a restart, and B is announced anew each time.
    EXPECT_EQ(a.count(isEvent("ENTER", b.uuid())), 21u);
}

TEST(ZreNodes, RestartedNodeWithSameNameIsSeenAsNew)
{
    NodeOptions o = options(freshPort());
    TestNode a("alpha", o);
    auto b = std::make_unique<TestNode>("beta", o);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b->start());
    ASSERT_TRUE(a.waitFor(isEvent("ENTER", b->uuid()), 3000));
    std::string first = b->uuid();
    b = std::make_unique<TestNode>("beta", o);
    ASSERT_TRUE(b->start());
    std::string second = b->uuid();
    ASSERT_NE(first, second);
    ASSERT_TRUE(a.waitFor(isEvent("ENTER", second), 3000));
    EXPECT_TRUE(a.waitFor(isEvent("EXIT", first), 1000));
    EXPECT_EQ(a.count([](const Event& e) { return e.type == "ENTER" && e.name == "beta"; }), 2u);
}

// A node in another process, killed without a chance to say goodbye.
pid_t spawnNode(const std::string& name, int port, int beaconIntervalMs)
{
    std::string portText = std::to_string(port);
    std::string intervalText = std::to_string(beaconIntervalMs);
    const char* argv[] = {ZRE_TEST_NODE, name.c_str(), "v0", portText.c_str(), intervalText.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, ZRE_TEST_NODE, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    return pid;
}

// The node starts as its peer and its ENTER is awaited; -1 on failure (the
// child killed).
struct Child {
    pid_t pid = -1;
    std::string uuid;
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool start(TestNode& a, int port, int beaconIntervalMs = 100)
    {
        pid = spawnNode("victim", port, beaconIntervalMs);
        auto enter = a.waitFor([](const Event& e) { return e.type == "ENTER" && e.name == "victim"; }, 5000);
        if (enter)
            uuid = enter->uuid;
        return pid > 0 && enter;
    }
    void killNow()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

double secondsSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// A killed program's connections close: its peers check it at once and
// report it gone long before the expiry (30 s), without EVASIVE first.
TEST(ZreNodes, KilledNodeIsGoneWithinTwoSeconds)
{
    NodeOptions o = options(freshPort());
    TestNode a("alpha", o);
    ASSERT_TRUE(a.start());
    Child child;
    ASSERT_TRUE(child.start(a, o.port));
    a.drain(300);  // settled
    child.killNow();
    auto killedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(a.waitFor(isEvent("EXIT", child.uuid), 5000));
    EXPECT_LT(secondsSince(killedAt), 2.0);
    EXPECT_FALSE(a.saw(isEvent("SILENT", child.uuid)));
}

// A stopped program (as after a cut cable: nothing closes) is SILENT at the
// evasive timeout, ALIVE when it goes on, and gone at the expiry when it
// stays stopped.
TEST(ZreNodes, StoppedNodeIsSilentAliveAgainThenExpires)
{
    NodeOptions o = options(freshPort());
    o.evasive = 400;
    o.expired = 1500;
    TestNode a("alpha", o);
    ASSERT_TRUE(a.start());
    Child child;
    ASSERT_TRUE(child.start(a, o.port));

    kill(child.pid, SIGSTOP);
    ASSERT_TRUE(a.waitFor(isEvent("SILENT", child.uuid), 3000));
    EXPECT_FALSE(a.saw(isEvent("EXIT", child.uuid)));
    kill(child.pid, SIGCONT);
    ASSERT_TRUE(a.waitFor(isEvent("ALIVE", child.uuid), 3000));
    EXPECT_EQ(a.count(isEvent("SILENT", child.uuid)), 1u);

    kill(child.pid, SIGSTOP);
    auto stoppedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(a.waitFor(isEvent("EXIT", child.uuid), 5000));
    EXPECT_EQ(a.count(isEvent("SILENT", child.uuid)), 2u);
    // Not before the expiry timeout (less the last beacon's age).
    EXPECT_GE(secondsSince(stoppedAt), 1.5 - 0.15);
    kill(child.pid, SIGCONT);
}

// A program restarted under the name of one that hangs (stopped: its
// connections stay open) gets the hung one checked at once: it is gone in
// a few seconds, long before the expiry.
TEST(ZreNodes, HungNodeIsDroppedWhenItsNameEntersAgain)
{
    NodeOptions o = options(freshPort());
    o.evasive = 20000;
    o.expired = 40000;
    TestNode a("alpha", o);
    ASSERT_TRUE(a.start());
    Child hung;
    ASSERT_TRUE(hung.start(a, o.port));
    kill(hung.pid, SIGSTOP);
    Child restarted;
    restarted.pid = spawnNode("victim", o.port, 100);
    std::string first = hung.uuid;
    ASSERT_TRUE(
        a.waitFor([&](const Event& e) { return e.type == "ENTER" && e.name == "victim" && e.uuid != first; }, 5000));
    auto enteredAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(a.waitFor(isEvent("EXIT", first), 8000));
    EXPECT_LT(secondsSince(enteredAt), 8.0);
    kill(hung.pid, SIGCONT);
}

// A peer whose beacons do not reach us (found through gossip, or beaconing
// rarely) and that has nothing to say: its answers to our PINGs are all we
// hear of it. While it answers it is never called SILENT; stopped, it is
// SILENT; resumed, its answer to our PING makes it ALIVE again at once,
// long before its next beacon.
TEST(ZreNodes, QuietPeerIsJudgedByItsAnswersToPings)
{
    NodeOptions o = options(freshPort());
    // A quarter of the evasive timeout (375 ms) to answer, on a loaded machine.
    o.evasive = 1500;
    o.expired = 8000;
    TestNode a("alpha", o);
    ASSERT_TRUE(a.start());
    Child child;
    ASSERT_TRUE(child.start(a, o.port, 60000));
    a.drain(4500);  // three evasive timeouts of silence, answered PINGs only
    // Unasked, it would be SILENT (and ALIVE) at each of them; one answer
    // held up by a stalled machine may still cost one.
    size_t spurious = a.count(isEvent("SILENT", child.uuid));
    EXPECT_LE(spurious, 1u);

    kill(child.pid, SIGSTOP);
    // The n-th event of a type, earlier ones included.
    auto nth = [&](const char* type, size_t n, int ms) {
        for (int waited = 0; waited < ms && a.count(isEvent(type, child.uuid)) < n; waited += 100)
            a.drain(100);
        return a.count(isEvent(type, child.uuid)) >= n;
    };
    ASSERT_TRUE(nth("SILENT", spurious + 1, 5000));
    kill(child.pid, SIGCONT);
    ASSERT_TRUE(nth("ALIVE", spurious + 1, 3000));
    a.drain(3000);
    EXPECT_EQ(a.count(isEvent("SILENT", child.uuid)), spurious + 1);
    EXPECT_EQ(a.count(isEvent("ALIVE", child.uuid)), spurious + 1);
    EXPECT_FALSE(a.saw(isEvent("EXIT", child.uuid)));
}

}  // namespace
