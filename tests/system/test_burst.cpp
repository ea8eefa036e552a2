// A daemon that broadcasts a long burst of property values from one turn of
// its loop (one command handler), and nodes of the test as separate
// processes that count what arrives: every value, once, in order. The same
// program plays the daemon ("daemon" mode). Runs inside a network namespace
// of its own.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <string>
#include <thread>

#include "corvo/daemon.h"
#include "observer.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using corvotest::Child;
using corvotest::Observer;

namespace {

constexpr long kBurst = 20000;
// More than a node keeps as unread events for a program that does not read
// (it stops reading from peers at 100,000), and yet no more than the
// sender's backlog for that peer (100,000) and its mailbox (1,000) hold
// should the reader's node take none of it while the burst is sent: a
// burst beyond both drops the reader by design, and how much of it the
// reader's node takes meanwhile depends on the machine's speed.
constexpr long kFlood = 100500;

class BurstDaemon : public corvo::Daemon {
public:
    BurstDaemon() : Daemon("burstd")
    {
        createProperty("counter", corvo::Property::INT, "the burst's values", false);
        createCommand(
            "burst",
            [this](std::vector<std::string> args) {
                long n = std::stol(args[0]);
                for (long i = 1; i <= n; ++i)
                    properties["counter"]->setValue(i);
            },
            "broadcast n values in one go", 1, corvo::ARG_INT, "n");
    }
};

std::string self;

// Counts the values of "counter" as they arrive and notes the first one
// out of order.
class Counter : public Observer {
public:
    using Observer::Observer;

    void onProperty(std::shared_ptr<corvo::Peer> peer, const corvo::Property& property) override
    {
        if (property.name != "counter")
            return;
        ++received;
        long value = property.getValue<long>();
        if (value != received && firstOutOfOrder == 0)
            firstOutOfOrder = received;
        if (value <= last)
            ++notIncreasing;
        last = value;
        (void)peer;
    }

    long received = 0;
    long firstOutOfOrder = 0;  // position of the first value out of order
    long last = 0;
    long notIncreasing = 0;  // values repeated or older than the one before
};

class BurstTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = tmp.path();
        site = std::string("burst-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    void TearDown() override
    {
        for (auto& child : children) {
            kill(child.pid, SIGKILL);
            corvotest::waitFor(child.pid, 2s);
            if (HasFailure())
                std::fprintf(stderr, "daemon's output:\n%s%s", child.out().c_str(), child.err().c_str());
        }
    }

    Child startDaemon()
    {
        std::vector<std::string> argv = {self, "daemon", "--interface", "lo", "--site", site};
        std::map<std::string, std::string> env = {{"HOME", dir}, {"CORVO_CONF_PATH", dir + "/conf"}};
        Child child = corvotest::spawn(argv, dir, env);
        children.push_back(child);
        return child;
    }

    // Waits until the count stops short of `expected` for a while, or is
    // reached (so a shortfall fails without waiting for the whole timeout).
    static void receiveAll(Counter& counter, long expected)
    {
        long last = -1;
        auto lastChange = std::chrono::steady_clock::now();
        counter.waitUntil(
            [&] {
                if (counter.received != last) {
                    last = counter.received;
                    lastChange = std::chrono::steady_clock::now();
                }
                return counter.received >= expected || std::chrono::steady_clock::now() - lastChange > 20s;
            },
            180s);
        // Anything beyond the burst would be a duplicate.
        counter.drainFor(200ms);
    }

    corvotest::TempDir tmp{"corvo-burst"};
    std::string dir;
    std::string site;
    std::vector<Child> children;
};

TEST_F(BurstTest, EveryValueOfALongBurstArrivesInOrder)
{
    Counter near(site, "near");
    Counter far(site, "far");
    startDaemon();
    auto daemon = near.waitForInfo("burstd", 20s);
    ASSERT_TRUE(daemon);
    ASSERT_TRUE(far.waitForInfo("burstd", 20s));

    near.sendCommand(daemon, {"burst", std::to_string(kBurst)});
    // The second node reads nothing meanwhile: its share waits for it.
    receiveAll(near, kBurst);
    receiveAll(far, kBurst);

    for (Counter* counter : {&near, &far}) {
        EXPECT_EQ(counter->received, kBurst);
        EXPECT_EQ(counter->firstOutOfOrder, 0);
        EXPECT_EQ(counter->exits.size(), 0u);  // the daemon was never taken for gone
    }
    EXPECT_EQ(daemon->properties.at("counter").getValue<long>(), kBurst);
    EXPECT_EQ(near.net.droppedEvents(), 0u);
    EXPECT_EQ(far.net.droppedEvents(), 0u);
}

// Beyond what the node keeps for a program that does not read, the rest
// waits with the peers: read late (but within the second after which a
// sender drops a peer of whose backlog nothing went out), every value
// arrives, in order, none dropped, and the daemon is never taken for gone.
TEST_F(BurstTest, AProgramThatReadsLateLosesNoValue)
{
    Counter late(site, "late");
    late.net.setRecvLog(false);  // only the burst is counted
    startDaemon();
    auto daemon = late.waitForInfo("burstd", 20s);
    ASSERT_TRUE(daemon);

    late.sendCommand(daemon, {"burst", std::to_string(kFlood)});
    std::this_thread::sleep_for(500ms);  // reads nothing meanwhile
    receiveAll(late, kFlood);

    EXPECT_EQ(late.received, kFlood);
    EXPECT_EQ(late.firstOutOfOrder, 0);
    EXPECT_EQ(late.notIncreasing, 0);
    EXPECT_EQ(late.net.droppedEvents(), 0u);
    EXPECT_EQ(late.exits.size(), 0u);
}

}  // namespace

int main(int argc, char** argv)
{
    self = "/proc/self/exe";
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0)
        self.assign(path, size_t(n));
    if (argc > 1 && std::string(argv[1]) == "daemon") {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // ends with the test
        BurstDaemon daemon;
        return daemon.run(argc - 1, argv + 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
