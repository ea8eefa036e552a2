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
