// Clients on a live network: one-shot mode ends the process, a looping client
// runs until SIGINT and announces itself as a client. Each case runs in a
// fresh process (threadsafe death tests) inside the test's namespace.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "corvo/client.h"
#include "net_peer_thread.h"

namespace {

class NetClient : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

class IdleOneShot : public corvo::Client {
public:
    IdleOneShot() : Client("oneshot", true) {}
    void oneShotWork() override { std::fprintf(stderr, "work\n"); }
    void cleanup() override { std::fprintf(stderr, "cleanup\n"); }
};

TEST_F(NetClient, OneShotWorksOnceAndExitsWithZero)
{
    auto scenario = [] {
        IdleOneShot client;
        const char* argv[] = {"oneshot", "--interface", "lo", "--site", "netclient-one", nullptr};
        client.run(5, const_cast<char**>(argv));
        std::fprintf(stderr, "run returned\n");
        std::_Exit(5);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "^work\ncleanup\n$");
}

class LoopingClient : public corvo::Client {
public:
    LoopingClient() : Client("viewer") {}
};

TEST_F(NetClient, ALoopingClientAnnouncesItselfAndRunsUntilSigint)
{
    auto scenario = [] {
        LoopingClient client;
        bool isClient = false;
        std::string type;
        {
            corvotest::PeerThread peer("netclient-loop", "tool7", [&](corvotest::PeerThread& self) {
                isClient = self.found->client;
                type = self.found->type;
                kill(getpid(), SIGINT);
            });
            const char* argv[] = {"viewer", "-i", "lo", "-s", "netclient-loop", "--name", "tool7", nullptr};
            client.run(7, const_cast<char**>(argv));
        }
        std::fprintf(stderr, "client=%d type=%s\n", isClient, type.c_str());
        std::exit(0);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "^client=1 type=client\n$");
}

}  // namespace
