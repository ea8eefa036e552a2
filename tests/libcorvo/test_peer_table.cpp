// The one lookup policy for peers: by UUID, by name (newest live twin), the
// ambiguity of two live programs of one name, and a component's property;
// and the one step from a property to a FITS header card.
#include <gtest/gtest.h>

#include <set>

#include "corvo/image.h"
#include "corvo/peer.h"
#include "corvo/peer_table.h"
#include "corvo/property.h"

using corvo::Peer;
using corvo::PeerTable;
using corvo::Property;

namespace {

class PeerTableTest : public testing::Test {
protected:
    std::shared_ptr<Peer> add(const std::string& name, const std::string& uuid, std::vector<std::string> props = {})
    {
        auto peer = std::make_shared<Peer>(name, uuid, "tcp://127.0.0.1:1");
        for (const auto& p : props)
            peer->properties[p] = Property(p, Property::STRING, "", false, nullptr);
        return table.add(peer);
    }
    PeerTable table;
};

TEST_F(PeerTableTest, AUuidNamesOnePeerAndANameTheNewestThatAnswers)
{
    auto old = add("camera", "OLD");
    auto young = add("camera", "NEW");
    add("wheel", "W");
    EXPECT_EQ(table.find("OLD"), old);
    EXPECT_EQ(table.find("camera"), young);
    EXPECT_EQ(table.find("nobody"), nullptr);
    EXPECT_TRUE(table.ambiguous("camera"));
    EXPECT_FALSE(table.ambiguous("OLD"));
    EXPECT_FALSE(table.ambiguous("wheel"));

    young->silent = true;  // a restarted program's dead twin
    EXPECT_EQ(table.find("camera"), old);
    EXPECT_FALSE(table.ambiguous("camera"));
    EXPECT_EQ(table.candidates("camera"), std::vector<std::shared_ptr<Peer>>{old});

    old->silent = true;  // all silent: the newest
    EXPECT_EQ(table.find("camera"), young);
    EXPECT_EQ(table.candidates("camera").size(), 2u);
    EXPECT_FALSE(table.ambiguous("camera"));
}

TEST_F(PeerTableTest, AComponentsPropertyComesFromTheFirstCandidateThatDescribesIt)
{
    auto old = add("focuser", "F1", {"position", "temperature"});
    auto young = add("focuser", "F2", {"position"});
    EXPECT_EQ(table.findProperty("focuser", "position"), &young->properties.at("position"));
    // The newest does not describe it (yet): an older live twin answers.
    EXPECT_EQ(table.findProperty("focuser", "temperature"), &old->properties.at("temperature"));
    EXPECT_EQ(table.findProperty("F1", "position"), &old->properties.at("position"));
    EXPECT_EQ(table.findProperty("focuser", "none"), nullptr);
    EXPECT_EQ(table.findProperty("nobody", "position"), nullptr);
}

TEST_F(PeerTableTest, IteratesAddsAndRemovesByUuid)
{
    add("a", "A");
    add("b", "B");
    std::set<std::string> seen;
    for (const auto& [uuid, peer] : table)
        seen.insert(uuid + "=" + peer->name);
    EXPECT_EQ(seen, (std::set<std::string>{"A=a", "B=b"}));
    EXPECT_EQ(table.remove("A")->name, "a");
    EXPECT_EQ(table.remove("A"), nullptr);
    EXPECT_EQ(table.size(), 1u);
    // A peer entered again counts as the newest.
    auto again = add("b", "B2");
    EXPECT_GT(again->enterOrder, table.byUuid("B")->enterOrder);
    table.clear();
    EXPECT_TRUE(table.empty());
}

TEST(FitsCard, ScalarsMakeCardsOfTheirTypeAndListsNone)
{
    corvo::FitsHdrMap entry{"focuser", "position", "FOCUS", "focus position"};
    corvo::FitsHdrItem card;
    Property big("position", Property::INT, "", false, nullptr);
    big.intValue = 1LL << 40;  // a 32-bit card would keep only the low half
    ASSERT_TRUE(corvo::fitsCard(entry, big, card));
    EXPECT_EQ(card.type, TLONGLONG);
    EXPECT_EQ(card.longValue, 1LL << 40);
    EXPECT_EQ(card.key, "FOCUS");
    EXPECT_EQ(card.comment, "focus position");
    Property text("object", Property::STRING, "", false, nullptr);
    text.strValue = "M31";
    ASSERT_TRUE(corvo::fitsCard(entry, text, card));
    EXPECT_EQ(card.type, TSTRING);
    EXPECT_EQ(card.strValue, "M31");
    Property real("t", Property::DOUBLE, "", false, nullptr);
    real.doubleValue = -12.5;
    ASSERT_TRUE(corvo::fitsCard(entry, real, card));
    EXPECT_EQ(card.type, TDOUBLE);
    EXPECT_EQ(card.doubleValue, -12.5);
    EXPECT_FALSE(corvo::fitsCard(entry, Property("l", Property::INT_LIST, "", false, nullptr), card));

    // A template's cards keep its order and skip what has no card.
    std::vector<corvo::FitsHdrMap> entries{
        {"c", "object", "OBJECT", ""}, {"c", "missing", "NONE", ""}, {"c", "l", "LIST", ""}, {"c", "t", "TEMP", ""}};
    Property list("l", Property::INT_LIST, "", false, nullptr);
    auto cards = corvo::headerCards(entries, [&](const std::string&, const std::string& name) -> const Property* {
        return name == "object" ? &text : name == "t" ? &real : name == "l" ? &list : nullptr;
    });
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].key, "OBJECT");
    EXPECT_EQ(cards[1].key, "TEMP");
}

}  // namespace
