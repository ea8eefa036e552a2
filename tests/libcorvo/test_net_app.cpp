// The event loop of a running program: SIGINT, onIdle, the network drain and
// exceptions from handlers. Every case runs the program in a fresh process
// (threadsafe death tests) inside the test's network namespace.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <stdexcept>

#include "corvo/app.h"
#include "net_peer_thread.h"

namespace {

int runApp(corvo::App& app, const char* site)
{
    const char* argv[] = {"app", "--interface", "lo", "--site", site, nullptr};
    return app.run(5, const_cast<char**>(argv));
}

class LoopApp : public corvo::App {
public:
    LoopApp() : App("app") {}
    void cleanup() override { std::fprintf(stderr, "cleanup\n"); }
    void onIdle() override
    {
        ++idleTurns;
        if (idleTurns == 20)
            raise(signalToRaise);
    }
    int idleTurns = 0;
    int signalToRaise = SIGINT;
};

class NetApp : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

TEST_F(NetApp, SigintRunsCleanupAndMakesRunReturn)
{
    auto scenario = [] {
        LoopApp app;
        int rc = runApp(app, "netapp-int");
        // onIdle ran on every turn although no event came.
        std::fprintf(stderr, "returned %d after %s turns\n", rc, app.idleTurns >= 20 ? "enough" : "too few");
        std::exit(0);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "^cleanup\nreturned 0 after enough turns\n$");
}

TEST_F(NetApp, SigtermKeepsItsDefaultAction)
{
    auto scenario = [] {
        LoopApp app;
        app.signalToRaise = SIGTERM;
        runApp(app, "netapp-term");
        std::fprintf(stderr, "returned\n");
        std::exit(0);
    };
    EXPECT_EXIT(scenario(), ::testing::KilledBySignal(SIGTERM), "^$");
}

// Throws from handlers of every kind; stops when status 3 arrives.
class ThrowingApp : public corvo::App {
public:
    ThrowingApp() : App("app") {}
    void onEnter(std::shared_ptr<corvo::Peer>) override { throw std::runtime_error("enter failed"); }
    void onStatus(std::shared_ptr<corvo::Peer>, unsigned int status) override
    {
        statusesThisTurn++;
        if (status == 1)
            throw 42;
        if (status == 2)
            throw std::logic_error("status failed");
        if (status == 10) {
            stop();
            stopping = true;
        }
    }
    void onIdle() override
    {
        if (++idleTurns > 3000)  // about 15 s: the peer never came
            std::_Exit(3);
        mostPerTurn = std::max(mostPerTurn, statusesThisTurn);
        statusesThisTurn = 0;
        if (stopping)
            throw std::runtime_error("idle failed");
    }
    bool stopping = false;
    int idleTurns = 0;
    int statusesThisTurn = 0;
    int mostPerTurn = 0;
};

TEST_F(NetApp, HandlerExceptionsAreReportedAndTheLoopGoesOn)
{
    auto scenario = [] {
        ThrowingApp app;
        int rc;
        {
            corvotest::PeerThread peer("netapp-throw", "app", [](corvotest::PeerThread& self) {
                // A burst: all ten arrive within one drain of the loop.
                for (unsigned int status = 1; status <= 10; ++status)
                    self.net->sendStatus(status);
            });
            rc = runApp(app, "netapp-throw");
        }
        std::fprintf(stderr, "returned %d, %d statuses in one turn\n", rc, app.mostPerTurn);
        std::exit(0);
    };
    EXPECT_EXIT(
        scenario(), ::testing::ExitedWithCode(0),
        "enter failed\n.*unknown exception\n.*status failed\n.*idle failed\n.*returned 0, 10 statuses in one turn");
}

}  // namespace
