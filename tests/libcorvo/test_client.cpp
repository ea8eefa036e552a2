// What a client announces and which groups it joins (the node is not
// started: no one-shot mode here).
#include <gtest/gtest.h>

#include "corvo/client.h"

namespace {

class TestClient : public corvo::Client {
public:
    explicit TestClient(bool oneShot) : Client("viewer", oneShot) {}

    void prepare(std::vector<const char*> args)
    {
        args.insert(args.begin(), "viewer");
        optionParser.parseArgs(static_cast<int>(args.size()), args.data());
        processOptions();
        initSocket();
    }
    bool isOneShot() const { return oneShot; }
};

TEST(Client, JoinsTheSiteAndPropertyGroupsButNotTheLogGroup)
{
    TestClient client(false);
    client.prepare({"--site", "lab1", "--name", "tool7"});
    client.beforeLoop();  // returns: not one-shot
    auto network = client.getNetwork();
    EXPECT_EQ(network->joinedGroups(), (std::unordered_set<std::string>{"lab1", "lab1-prop"}));
    EXPECT_FALSE(network->isStarted());
    EXPECT_EQ(client.getName(), "tool7");
}

TEST(Client, OneShotIsChosenByTheConstructor)
{
    EXPECT_FALSE(TestClient(false).isOneShot());
    EXPECT_TRUE(TestClient(true).isOneShot());
}

}  // namespace
