// The event loop of a running program: SIGINT, onIdle, the network drain and
// exceptions from handlers. Every case runs the program in a fresh process
// (threadsafe death tests) inside the test's network namespace.
#include <gtest/gtest.h>

#include <unistd.h>

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
        if (status == 10)
            stopping = true;
    }
    void onIdle() override
    {
        if (++idleTurns > 3000)  // about 15 s: the peer never came
            std::_Exit(3);
        mostPerTurn = std::max(mostPerTurn, statusesThisTurn);
        statusesThisTurn = 0;
        if (stopping) {
            stop();
            throw std::runtime_error("idle failed");
        }
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

// Counts turns, statuses and the ticks of a timer of its own while a peer
// sends statuses 1..`last`; stops a few turns after the last one.
class CountingApp : public corvo::App {
public:
    explicit CountingApp(unsigned int last) : App("app"), last(last) {}
    void beforeLoop() override
    {
        uv_timer_init(loop, &tick);
        tick.data = this;
        uv_timer_start(
            &tick, [](uv_timer_t* handle) { ++static_cast<CountingApp*>(handle->data)->ticks; }, 20, 20);
    }
    void cleanup() override { uv_close(reinterpret_cast<uv_handle_t*>(&tick), nullptr); }
    void onStatus(std::shared_ptr<corvo::Peer>, unsigned int status) override
    {
        if (status != expected + 1)
            outOfOrder = true;
        expected = status;
        if (status == 1) {
            firstMs = uv_hrtime() / 1000000;
            startTurns = turns;
            startTicks = ticks;
            if (blockOnFirst)
                usleep(300000);  // the rest piles up meanwhile
        }
    }
    void onIdle() override
    {
        ++turns;
        if (turns > 3000)  // about 15 s: the statuses never all came
            std::_Exit(3);
        if (expected == last && ++turnsAfterLast == 4)
            stop();
    }
    void report(int rc) const
    {
        const double ms = static_cast<double>(uv_hrtime() / 1000000 - firstMs);
        const double turnsSeen = turns - startTurns;
        const double ticksSeen = ticks - startTicks;
        std::fprintf(stderr, "returned %d; statuses %s; turns %s; timer %s (%.0f turns, %.0f ticks in %.0f ms)\n", rc,
                     expected == last && !outOfOrder ? "all in order" : "missing or out of order",
                     turnsSeen >= ms / 5 / 5 && turnsSeen <= ms / 5 + 2 ? "one per 5 ms" : "off",
                     ticksSeen >= ms / 20 / 5 && ticksSeen <= ms / 20 + 2 ? "on time" : "off", turnsSeen, ticksSeen,
                     ms);
    }
    unsigned int last;
    bool blockOnFirst = false;
    unsigned int expected = 0;
    bool outOfOrder = false;
    int turns = 0;
    int startTurns = 0;
    int turnsAfterLast = 0;
    int ticks = 0;
    int startTicks = 0;
    uint64_t firstMs = 0;
    uv_timer_t tick;
};

// Runs a CountingApp while a peer sends statuses 1..last, `pauseUs` apart.
void runCounting(CountingApp& app, const char* site, unsigned int last, useconds_t pauseUs)
{
    int rc;
    {
        corvotest::PeerThread peer(site, "app", [last, pauseUs](corvotest::PeerThread& self) {
            for (unsigned int status = 1; status <= last; ++status) {
                self.net->sendStatus(status);
                if (pauseUs)
                    usleep(pauseUs);
            }
        });
        rc = runApp(app, site);
    }
    app.report(rc);
    std::exit(0);
}

// Events are handled as they come, between turns: they add no turns (a turn
// per event would be a turn more than every 5 ms), and the loop keeps
// turning and firing its timers while they stream in.
TEST_F(NetApp, TurnsAndTimersKeepTheirPaceWhileEventsStreamIn)
{
    auto scenario = [] {
        CountingApp app(300);
        runCounting(app, "netapp-pace", 300, 1000);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0),
                "returned 0; statuses all in order; turns one per 5 ms; timer on time \\(");
}

// More events wait than one pass of the loop takes (1000): the rest is
// taken in the next passes although nothing new arrives to signal it.
TEST_F(NetApp, ABacklogBeyondOnePassIsHandledWithoutNewArrivals)
{
    auto scenario = [] {
        CountingApp app(2500);
        app.blockOnFirst = true;
        runCounting(app, "netapp-backlog", 2500, 0);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "returned 0; statuses all in order;");
}

}  // namespace
