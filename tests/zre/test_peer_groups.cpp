// The count of peers per group that lets a shout skip a group nobody is in:
// it must follow every way a peer's groups change (JOIN, LEAVE, a HELLO
// that starts afresh) and every way a peer goes (removed, replaced under its
// UUID, the table cleared). A count that stays too low would silently lose
// every shout to that group.
#include <gtest/gtest.h>

#include <memory>

#include "zre_groups.hpp"
#include "zre_peer.hpp"

using namespace zre;

namespace {

class PeerGroups : public ::testing::Test {
protected:
    Peer& addPeer(uint8_t id)
    {
        auto peer = std::make_unique<Peer>();
        peer->uuid[0] = id;
        return table.add(std::move(peer));
    }

    static Message membership(MessageId id, const std::string& group)
    {
        Message m;
        m.id = id;
        m.group = group;
        return m;
    }

    PeerTable table;
};

TEST_F(PeerGroups, JoinsAndLeavesAreCountedPerGroup)
{
    Peer& a = addPeer(1);
    Peer& b = addPeer(2);
    EXPECT_FALSE(table.anyIn("site-log"));

    EXPECT_EQ(Groups::apply(a, membership(MessageId::Join, "site-log")), Groups::Change::Joined);
    EXPECT_EQ(Groups::apply(b, membership(MessageId::Join, "site-log")), Groups::Change::Joined);
    // A repeated JOIN changes nothing, and must not count the peer twice.
    EXPECT_EQ(Groups::apply(a, membership(MessageId::Join, "site-log")), Groups::Change::None);
    EXPECT_TRUE(table.anyIn("site-log"));
    EXPECT_FALSE(table.anyIn("site"));

    Groups::apply(a, membership(MessageId::Leave, "site-log"));
    EXPECT_TRUE(table.anyIn("site-log")) << "b is still in the group";
    // A LEAVE of a group the peer was not in takes nothing away.
    Groups::apply(a, membership(MessageId::Leave, "site-log"));
    EXPECT_TRUE(table.anyIn("site-log"));
    Groups::apply(b, membership(MessageId::Leave, "site-log"));
    EXPECT_FALSE(table.anyIn("site-log"));
}

TEST_F(PeerGroups, GreetingAfreshReplacesTheGroups)
{
    Peer& a = addPeer(1);
    a.groups.insert("old");
    a.groups.insert("kept");
    // What a HELLO of a known peer does: its groups are those it lists now.
    a.groups.clear();
    a.groups.insert("kept");
    a.groups.insert("new");
    EXPECT_FALSE(table.anyIn("old"));
    EXPECT_TRUE(table.anyIn("kept"));
    EXPECT_TRUE(table.anyIn("new"));
}

TEST_F(PeerGroups, GroupsOfAPeerAreCountedFromWhenItIsAdded)
{
    auto early = std::make_unique<Peer>();
    early->uuid[0] = 7;
    early->groups.insert("site");  // before it is in any table
    table.add(std::move(early));
    EXPECT_TRUE(table.anyIn("site"));
}

TEST_F(PeerGroups, PeersThatGoTakeTheirGroupsAlong)
{
    Peer& a = addPeer(1);
    Peer& b = addPeer(2);
    a.groups.insert("site-log");
    b.groups.insert("site-log");
    b.groups.insert("site-prop");

    table.erase(a.uuid);
    EXPECT_TRUE(table.anyIn("site-log"));
    // A peer replaced under its UUID (it started again) leaves its old
    // groups behind.
    Peer& again = addPeer(2);
    EXPECT_FALSE(table.anyIn("site-log"));
    EXPECT_FALSE(table.anyIn("site-prop"));
    again.groups.insert("site");
    EXPECT_TRUE(table.anyIn("site"));
    table.clear();
    EXPECT_FALSE(table.anyIn("site"));
}

TEST_F(PeerGroups, ManyPeersJoiningAndLeavingLeaveNoCountBehind)
{
    for (int round = 0; round < 3; ++round) {
        for (uint8_t id = 1; id <= 100; ++id)
            Groups::apply(addPeer(id), membership(MessageId::Join, "g" + std::to_string(id % 7)));
        for (uint8_t id = 1; id <= 100; ++id) {
            Uuid uuid{};
            uuid[0] = id;
            if (id % 2)
                Groups::apply(*table.find(uuid), membership(MessageId::Leave, "g" + std::to_string(id % 7)));
            else
                table.erase(uuid);
        }
        for (int g = 0; g < 7; ++g)
            EXPECT_FALSE(table.anyIn("g" + std::to_string(g))) << "round " << round << ", group g" << g;
        table.clear();
    }
}

}  // namespace

// The counts of names and endpoints that spare the walks for twins and for a
// peer replaced at its endpoint: a count too low would hide a peer (a
// replaced peer's mailbox would stay open, a twin would never be checked).
TEST_F(PeerGroups, PeersAreFoundByEndpointAndNameThroughEveryChange)
{
    Peer& a = addPeer(1);
    table.moveTo(a, "tcp://10.0.0.1:5670");
    table.rename(a, "mount");
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.1:5670"), &a);
    EXPECT_EQ(table.named("mount"), 1u);

    // Moved and renamed: found only by what it has now.
    table.moveTo(a, "tcp://10.0.0.1:5671");
    table.rename(a, "dome");
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.1:5670"), nullptr);
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.1:5671"), &a);
    EXPECT_EQ(table.named("mount"), 0u);

    // Two at one endpoint: the one that stays is still found.
    auto b = std::make_unique<Peer>();
    b->uuid[0] = 2;
    b->endpoint = "tcp://10.0.0.1:5671";
    b->name = "dome";
    Peer& added = table.add(std::move(b));
    EXPECT_EQ(table.named("dome"), 2u);
    table.erase(a.uuid);
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.1:5671"), &added);
    EXPECT_EQ(table.named("dome"), 1u);

    // A peer added again under its UUID replaces the old entry and its counts.
    auto again = std::make_unique<Peer>();
    again->uuid[0] = 2;
    again->endpoint = "tcp://10.0.0.2:5670";
    Peer& replaced = table.add(std::move(again));
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.1:5671"), nullptr);
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.2:5670"), &replaced);
    EXPECT_EQ(table.named("dome"), 0u);

    table.clear();
    EXPECT_EQ(table.atEndpoint("tcp://10.0.0.2:5670"), nullptr);
}
