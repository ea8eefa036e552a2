// The rules of the gossip tuple table, on a clock of the test's own: how
// long tuples live (TTL, TTL 0 anchored by their publisher's connection or
// their live peer), what replaces what, the bound under floods, the
// back-off of attempts, and the lifetimes passed on.
#include <gtest/gtest.h>

#include <set>

#include "zre_gossip_table.hpp"

using namespace zre;

namespace {

// The peers "the node" knows alive, and the publishers whose connection is up.
struct World : LivePeers {
    std::set<std::pair<std::string, std::string>> alive;  // uuid text, endpoint
    std::set<std::string> upPublishers;

    bool peerLivesAt(const Uuid& uuid, const std::string& endpoint) override
    {
        return alive.count({uuidToString(uuid), endpoint}) != 0;
    }
    std::function<bool(const std::string&)> up()
    {
        return [this](const std::string& p) { return upPublishers.count(p) != 0; };
    }
};

std::string uuidText(int n)
{
    char text[33];
    snprintf(text, sizeof text, "%032X", n);
    return text;
}

std::string endpointOf(int port)
{
    return "tcp://10.77.0.9:" + std::to_string(port);
}

GossipMessage publish(int n, int port, uint32_t ttl)
{
    GossipMessage m;
    m.id = GossipId::Publish;
    m.key = uuidText(n);
    m.value = endpointOf(port);
    m.ttlMs = ttl;
    return m;
}

class GossipTableTest : public ::testing::Test {
protected:
    World world;
    GossipTable table{uuidText(999999)};
    int64_t t = 1000000;

    GossipTable::Stored store(int n, int port, uint32_t ttl, const std::string& publisher = "cA")
    {
        return table.store(publish(n, port, ttl), publisher, t, world);
    }
    // Moves the clock on by `ms`, maintaining every second as the node does.
    void pass(int64_t ms)
    {
        for (int64_t end = t + ms; t < end;) {
            t = std::min(end, t + 1000);
            table.maintain(t, world, world.up());
        }
    }
};

TEST_F(GossipTableTest, TuplesWithATtlExpireUnlessReceivedAgain)
{
    EXPECT_EQ(store(1, 5001, 5000), GossipTable::Stored::New);
    EXPECT_EQ(store(2, 5002, 5000), GossipTable::Stored::New);
    pass(4000);
    EXPECT_EQ(store(2, 5002, 5000), GossipTable::Stored::Refreshed);
    pass(1500);
    EXPECT_FALSE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(2)));
    pass(4000);
    EXPECT_FALSE(table.has(uuidText(2)));
    // Its own tuple, and a tuple that is not a node's, are never held.
    EXPECT_EQ(table.store(publish(999999, 5003, 5000), "cA", t, world), GossipTable::Stored::Ignored);
    GossipMessage odd = publish(3, 5003, 5000);
    odd.key = "not-a-uuid";
    EXPECT_EQ(table.store(odd, "cA", t, world), GossipTable::Stored::Ignored);
    EXPECT_EQ(table.size(), 0u);
}

// The wire allows a TTL of 49.7 days: a forged tuple claiming it would be
// kept, passed on and its endpoint dialled for weeks after its publisher left.
TEST_F(GossipTableTest, ALongTtlIsCappedWhenStoredAndWhenPassedOn)
{
    const uint32_t forever = 0xFFFFFFFFu;
    ASSERT_EQ(store(1, 5001, forever, "cForger"), GossipTable::Stored::New);
    EXPECT_EQ(table.outgoing(uuidText(1), t).ttlMs, uint32_t(GossipTable::kMaxTtlMs));
    auto all = table.all(t, &world);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].ttlMs, uint32_t(GossipTable::kMaxTtlMs));
    pass(GossipTable::kMaxTtlMs / 2);
    // Received again with the same claim: renewed from now, not beyond.
    EXPECT_EQ(store(1, 5001, forever, "cForger"), GossipTable::Stored::Refreshed);
    EXPECT_LE(table.outgoing(uuidText(1), t).ttlMs, uint32_t(GossipTable::kMaxTtlMs));
    pass(GossipTable::kMaxTtlMs - 1000);
    EXPECT_TRUE(table.has(uuidText(1)));  // kept for the cap from its last receipt
    pass(1000);
    EXPECT_FALSE(table.has(uuidText(1)));

    // A copy passed on to another node carries at most the cap either.
    GossipTable other(uuidText(999998));
    store(2, 5002, forever, "cForger");
    other.store(table.outgoing(uuidText(2), t), "sB", t, world);
    EXPECT_LE(other.outgoing(uuidText(2), t).ttlMs, uint32_t(GossipTable::kMaxTtlMs));
    other.maintain(t + GossipTable::kMaxTtlMs, world, world.up());
    EXPECT_FALSE(other.has(uuidText(2)));
}

TEST_F(GossipTableTest, ZeroTtlTuplesLiveWhileTheirPublisherIsConnectedOrTheirPeerIsAlive)
{
    world.upPublishers = {"cZyre1", "cZyre2"};
    store(1, 5001, 0, "cZyre1");  // anchored by its connection
    store(2, 5002, 0, "cZyre2");  // anchored by its peer, once its connection goes
    world.alive.insert({uuidText(2), endpointOf(5002)});
    pass(120000);
    EXPECT_TRUE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(2)));

    world.upPublishers.clear();
    pass(GossipTable::kAnchoredTtlMs - 2000);
    EXPECT_TRUE(table.has(uuidText(1)));  // within the bound
    pass(3000);
    EXPECT_FALSE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(2)));

    world.alive.clear();  // the peer is gone too
    pass(GossipTable::kAnchoredTtlMs + 1000);
    EXPECT_FALSE(table.has(uuidText(2)));

    // A tuple with a TTL is its publisher's to refresh, live peer or not.
    store(3, 5003, 5000, "cZyre1");
    world.alive.insert({uuidText(3), endpointOf(5003)});
    world.upPublishers = {"cZyre1"};
    pass(6000);
    EXPECT_FALSE(table.has(uuidText(3)));
}

TEST_F(GossipTableTest, ANodeRestartedOnItsEndpointReplacesItsOldTuple)
{
    world.upPublishers = {"cA"};
    store(1, 5001, 0);
    pass(2000);
    store(2, 5001, 0);  // new UUID, same endpoint, nobody alive there
    pass(1000);
    EXPECT_FALSE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(2)));
}

TEST_F(GossipTableTest, ANewUuidOnTheEndpointOfALivePeerWaitsForItsCheck)
{
    world.upPublishers = {"cA"};
    store(1, 5001, 0);
    world.alive.insert({uuidText(1), endpointOf(5001)});
    store(2, 5001, 0);  // a forgery, or a restart the node has not yet seen
    pass(1000);
    EXPECT_TRUE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(2)));
    pass(GossipTable::kContendMs);
    EXPECT_TRUE(table.has(uuidText(1)));  // the live peer answered: forged
    EXPECT_FALSE(table.has(uuidText(2)));

    store(3, 5001, 0);
    pass(1000);
    world.alive.clear();  // the check found the old peer gone: a restart
    pass(GossipTable::kContendMs);
    EXPECT_FALSE(table.has(uuidText(1)));
    EXPECT_TRUE(table.has(uuidText(3)));
}

TEST_F(GossipTableTest, AnotherEndpointUnderALivePeersUuidIsRefused)
{
    store(1, 5001, 30000);
    world.alive.insert({uuidText(1), endpointOf(5001)});
    EXPECT_EQ(store(1, 6666, 30000), GossipTable::Stored::Ignored);
    EXPECT_EQ(table.outgoing(uuidText(1), t).value, endpointOf(5001));
    // A peer not known alive may have moved.
    store(2, 5002, 30000);
    EXPECT_EQ(store(2, 5003, 30000), GossipTable::Stored::New);
    EXPECT_EQ(table.outgoing(uuidText(2), t).value, endpointOf(5003));
}

TEST_F(GossipTableTest, AFloodStaysWithinTheBoundAndNeverEvictsLivePeers)
{
    for (int n = 1; n <= 10; ++n) {
        store(n, 4000 + n, 30000);
        world.alive.insert({uuidText(n), endpointOf(4000 + n)});
    }
    for (int n = 100; n < 100100; ++n) {
        store(n, 10000 + n % 50000, 600000, "cForger");
        if (n % 5000 == 0)
            table.maintain(t, world, world.up());
        ASSERT_LE(table.size(), GossipTable::kMaxTuples);
    }
    for (int n = 1; n <= 10; ++n)
        EXPECT_TRUE(table.has(uuidText(n))) << n;
    // A newcomer after the flood still gets in.
    EXPECT_EQ(store(200000, 7000, 30000, "cHonest"), GossipTable::Stored::New);
    EXPECT_TRUE(table.has(uuidText(200000)));

    // A table full of live peers takes nothing more.
    GossipTable full(uuidText(999999));
    World everyone;
    for (int n = 1; n <= int(GossipTable::kMaxTuples); ++n) {
        full.store(publish(n, 20000 + n, 30000), "cA", t, everyone);
        everyone.alive.insert({uuidText(n), endpointOf(20000 + n)});
    }
    EXPECT_EQ(full.store(publish(5000, 9, 30000), "cA", t, everyone), GossipTable::Stored::Ignored);
    EXPECT_EQ(full.size(), GossipTable::kMaxTuples);
}

// The tuples `table` hands out for an attempt at `t`, taking at most
// `room` of them.
std::vector<std::string> attempts(GossipTable& table, int64_t t, LivePeers& live, size_t room = 1000)
{
    std::vector<std::string> taken;
    table.attemptDue(t, live, [&](const GossipTuple& tuple) {
        if (taken.size() >= room)
            return false;
        taken.push_back(uuidToString(tuple.uuid));
        return true;
    });
    return taken;
}

TEST_F(GossipTableTest, AttemptsBackOffAndNewcomersGoFirst)
{
    for (int n = 1; n <= 100; ++n)
        store(n, 5000 + n, 600000);
    // At most a round's worth at once, the newest first.
    auto first = attempts(table, t, world);
    ASSERT_EQ(first.size(), GossipTable::kMaxAttemptsPerRound);
    EXPECT_EQ(first[0], uuidText(100));
    // Refused for lack of room: the round ends, and they keep their turn.
    auto some = attempts(table, t + 500, world, 10);
    EXPECT_EQ(some.size(), 10u);
    auto rest = attempts(table, t + 1000, world);
    EXPECT_EQ(rest.size(), 100 - GossipTable::kMaxAttemptsPerRound - 10);
    // A newcomer comes before every tuple already tried.
    t += 1500;
    store(500, 9000, 600000);
    auto next = attempts(table, t + 60000, world, 1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0], uuidText(500));

    // One tuple alone: the gaps between its attempts grow, to the cap.
    GossipTable one(uuidText(999999));
    one.store(publish(1, 5001, 0), "cA", t, world);
    std::vector<int64_t> at;
    for (int64_t clock = t; clock < t + 400000; clock += 500) {
        one.maintain(clock, world, [](const std::string&) { return true; });
        if (!attempts(one, clock, world).empty())
            at.push_back(clock);
    }
    ASSERT_GE(at.size(), 6u);
    EXPECT_EQ(at[0], t);
    for (size_t i = 2; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], std::min<int64_t>(2 * (at[i - 1] - at[i - 2]), GossipTable::kMaxBackoffMs));
    EXPECT_EQ(at.back() - at[at.size() - 2], GossipTable::kMaxBackoffMs);
    // A live peer is not tried.
    world.alive.insert({uuidText(1), endpointOf(5001)});
    EXPECT_TRUE(attempts(one, t + 1000000, world).empty());
}

TEST_F(GossipTableTest, ANewcomerHearsOfLivePeersLast)
{
    store(1, 5001, 30000);
    store(2, 5002, 30000);
    store(3, 5003, 30000);
    world.alive.insert({uuidText(2), endpointOf(5002)});
    auto all = table.all(t, &world);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.back().key, uuidText(2));
    EXPECT_EQ(table.all(t, nullptr).size(), 3u);
}

TEST_F(GossipTableTest, CopiesNeverOutliveTheOriginalAndRefreshesStopInLoops)
{
    // A TTL-0 tuple goes out with its remaining lifetime, never 0.
    world.upPublishers = {"cZyre"};
    store(1, 5001, 0, "cZyre");
    GossipMessage out = table.outgoing(uuidText(1), t);
    EXPECT_EQ(out.ttlMs, uint32_t(GossipTable::kAnchoredTtlMs));
    pass(5000);
    EXPECT_TRUE(table.dueRelays(t).empty());
    pass(GossipTable::kRelayGainMs);
    auto refresh = table.dueRelays(t);
    ASSERT_EQ(refresh.size(), 1u);
    EXPECT_EQ(refresh[0].publish.ttlMs, uint32_t(GossipTable::kAnchoredTtlMs));
    EXPECT_EQ(refresh[0].publisher, "cZyre");

    // Two relays that pass refreshes to each other: once the origin is
    // gone, both forget the tuple by the original's lifetime.
    GossipTable a(uuidText(999998)), b(uuidText(999997));
    World none;
    a.store(publish(7, 5007, 30000), "sB", t, none);
    for (int64_t clock = t; clock < t + 40000; clock += 1000) {
        a.maintain(clock, none, none.up());
        b.maintain(clock, none, none.up());
        for (const auto& due : a.dueRelays(clock))
            b.store(due.publish, "cA", clock, none);
        for (const auto& due : b.dueRelays(clock))
            a.store(due.publish, "sB", clock, none);
        if (clock == t)
            b.store(a.outgoing(uuidText(7), clock), "cA", clock, none);
    }
    EXPECT_FALSE(a.has(uuidText(7)));
    EXPECT_FALSE(b.has(uuidText(7)));
}

}  // namespace
