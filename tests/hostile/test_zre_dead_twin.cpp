// A program killed with SIGKILL and started again under the same name: a
// long-running watcher must drop the dead instance as soon as the new one
// enters, not 30 s later; two live programs of one name both stay.
#include "zre_test_util.hpp"
#include "zre_victim.h"

using namespace zreattack;
using zretest::isEvent;

namespace {

std::optional<zretest::Event> enterOf(zretest::TestNode& watcher, const std::string& name,
                                      const std::string& notUuid = "")
{
    return watcher.waitFor(
        [&](const zretest::Event& e) { return e.type == "ENTER" && e.name == name && e.uuid != notUuid; }, 20000);
}

class DeadTwin : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = freshPort();
        zretest::NodeOptions o;
        o.iface = "lo";
        o.port = port;
        watcher = std::make_unique<zretest::TestNode>("watcher", o);
        ASSERT_TRUE(watcher->start());
    }

    Victims victims;
    int port = 0;
    std::unique_ptr<zretest::TestNode> watcher;
};

TEST_F(DeadTwin, KilledInstanceIsDroppedWhenItsSuccessorEnters)
{
    auto first = victims.node(port, "twin");
    auto old = enterOf(*watcher, "twin");
    ASSERT_TRUE(old);
    victims.end(first, SIGKILL);  // no leaving beacon
    auto second = victims.node(port, "twin");
    auto successor = enterOf(*watcher, "twin", old->uuid);
    ASSERT_TRUE(successor);
    // The watcher's evasive/expiry timers (5 s / 30 s) cannot explain an
    // EXIT this soon after the successor entered.
    EXPECT_TRUE(watcher->waitFor(isEvent("EXIT", old->uuid), 4000));
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", successor->uuid)));
}

TEST_F(DeadTwin, TwoLiveProgramsOfOneNameBothStay)
{
    victims.node(port, "twin");
    auto a = enterOf(*watcher, "twin");
    ASSERT_TRUE(a);
    victims.node(port, "twin");
    auto b = enterOf(*watcher, "twin", a->uuid);
    ASSERT_TRUE(b);
    watcher->drain(2000);
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", a->uuid)));
    EXPECT_FALSE(watcher->saw(isEvent("EXIT", b->uuid)));
}

}  // namespace
