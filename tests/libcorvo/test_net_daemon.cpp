// A running daemon and a node that receives its values and its log: what the
// daemon sends must stay within what the node accepts (else the node drops
// it for good), and its throttled records are summed up while it runs. Every
// case runs the daemon in a fresh process (threadsafe death tests) inside the
// test's network namespace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "corvo/daemon.h"
#include "corvo/peer.h"

namespace {

std::atomic<bool> finished{false};
std::atomic<bool> returned{false};  // the daemon's run() has returned

// A daemon that stops once its node has finished.
class FinishingDaemon : public corvo::Daemon {
public:
    using corvo::Daemon::Daemon;
    void onIdle() override
    {
        if (++turns > 12000)  // about 60 s: the node never finished
            std::_Exit(3);
        if (finished)
            stop();
    }
    int turns = 0;
};

class BoundsDaemon : public FinishingDaemon {
public:
    BoundsDaemon() : FinishingDaemon("boundsd")
    {
        createProperty("n", corvo::Property::INT, "a counter", true);
        createProperty("spectrum", corvo::Property::DOUBLE_LIST, "samples", false);
        createProperty("names", corvo::Property::STR_LIST, "names", false);
        createCommand(
            "go",
            [this] {
                logger->info("{}", std::string(70000, 'x'));
                properties["spectrum"]->doubleList.assign(corvo::kMaxPropertyListItems + 1, 0.5);
                properties["spectrum"]->sendProperty();
                properties["names"]->strList.assign(corvo::kMaxPropertyListItems + 1, "a");
                properties["names"]->sendProperty();
                properties["n"]->setValue(1L);
            },
            "too much, then a counter");
    }
};

// A node on its own thread that receives values and log records.
class Listener : public corvo::EventCallback {
public:
    Listener(const std::string& site, const std::string& name)
    {
        net = std::make_unique<corvo::Network>(this, false);
        net->setName(name);
        net->setInterface("lo");
        net->siteGroup = site;
        net->propGroup = site + "-prop";
        net->logGroup = site + "-log";
        net->join(site);
        net->setRecvLog(true);
        net->setRecvValue(true);
    }
    void onInfo(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name == watched)
            daemon = peer;
    }
    void onLog(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Log& log) override
    {
        if (peer->name == watched)
            logs += log.message() + "\n";
    }
    void onProperty(std::shared_ptr<corvo::Peer> peer, const corvo::Property& property) override
    {
        if (peer->name == watched && property.name == "n")
            n = property.getValue<long>();
    }
    // Handles events until `done` holds or `seconds` have passed (a hang guard).
    template <class F>
    bool until(F done, int seconds)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (net->poll(5))
                net->recv();
        }
        return true;
    }

    std::unique_ptr<corvo::Network> net;
    std::string watched = "boundsd";  // the daemon's name
    std::shared_ptr<corvo::Peer> daemon;
    std::string logs;
    long n = 0;
};

// Values of its own that are not UTF-8 (a device's or a file's bytes).
class Latin1Daemon : public FinishingDaemon {
public:
    Latin1Daemon() : FinishingDaemon("latind")
    {
        createProperty("label", corvo::Property::STRING, "a label", false);
        createProperty("names", corvo::Property::STR_LIST, "names", false);
        createProperty("n", corvo::Property::INT, "a counter", true);
        createCommand(
            "go",
            [this] {
                properties["label"]->setValue(std::string("H\xe9"));
                properties["names"]->strList = {"ok", "H\xe9"};
                properties["names"]->sendProperty();
                properties["n"]->setValue(1L);
            },
            "Latin-1 values, then a counter");
    }
};

// Runs `daemon` on `site` with `node` (the listening side, which writes its
// findings into the result) on a thread of its own, and prints what the
// daemon's run returned and the result. A daemon whose loop is stuck never
// returns: the result is then printed as "stuck".
template <class Node>
void runBeside(corvo::Daemon& daemon, const char* site, Node node)
{
    std::string result;
    std::thread thread([&] {
        node(result);
        finished = true;
        for (int i = 0; i < 100 && !returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!returned) {
            std::fprintf(stderr, "stuck; %s\n", result.c_str());
            std::_Exit(0);
        }
    });
    const char* argv[] = {"boundsd", "--interface", "lo", "--site", site, nullptr};
    int rc = daemon.run(5, const_cast<char**>(argv));
    returned = true;
    thread.join();
    std::fprintf(stderr, "returned %d; %s\n", rc, result.c_str());
    std::exit(0);
}

class NetDaemon : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

// A 70,000-byte log record and lists beyond the bounds: the node keeps the
// daemon, gets its later broadcast and the record cut, and is told which
// values were not published; a node that joins later accepts its Info.
TEST_F(NetDaemon, LongRecordsAndValuesBeyondTheBoundsDoNotCostTheDaemonItsPeers)
{
    auto scenario = [] {
        BoundsDaemon daemon;
        Listener first("netd-bounds", "first");
        runBeside(daemon, "netd-bounds", [&](std::string& result) {
            first.net->start();
            bool ok = first.until([&] { return first.daemon != nullptr; }, 20);
            if (ok) {
                first.net->sendCommand(first.daemon, "go", {});
                ok = first.until([&] { return first.n == 1 && first.logs.find("names") != std::string::npos; }, 20);
            }
            result += ok ? "broadcast after: yes" : "broadcast after: no";
            result += first.net->findPeer("boundsd") ? "; kept: yes" : "; kept: no";
            result += first.logs.find("... [cut, 70000 bytes]") != std::string::npos ? "; cut record: yes"
                                                                                     : "; cut record: no";
            bool named =
                first.logs.find("Value of spectrum not published: 16385 list items (at most 16384)") !=
                    std::string::npos &&
                first.logs.find("Value of names not published: 16385 list items (at most 16384)") != std::string::npos;
            result += named ? "; errors name the properties: yes" : "; errors name the properties: no";
            {
                Listener late("netd-bounds", "late");
                late.net->start();
                bool info = late.until([&] { return late.daemon != nullptr; }, 20);
                long n = info ? late.daemon->properties.at("n").getValue<long>() : -1;
                result += "; late node reads n = " + std::to_string(n);
                late.net.reset();
            }
            first.net.reset();
        });
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0),
                "returned 0; broadcast after: yes; kept: yes; cut record: yes; errors name the properties: yes; late "
                "node reads n = 1\n");
}

// A node whose name is not UTF-8 ("caf\xe9" in Latin-1) enters: the daemon
// logs it and goes on. Values of its own that are not UTF-8 are refused with
// an error that names the property, so a node that joins later still gets
// the whole Info: every property with its type, and the command.
TEST_F(NetDaemon, TextThatIsNotUtf8CostsTheDaemonNeitherItsLoopNorItsInfo)
{
    auto scenario = [] {
        Latin1Daemon daemon;
        Listener cafe("netd-utf8", "caf\xe9");
        cafe.watched = "latind";
        runBeside(daemon, "netd-utf8", [&](std::string& result) {
            cafe.net->start();
            bool ok = cafe.until([&] { return cafe.daemon != nullptr; }, 20);
            if (ok) {
                cafe.net->sendCommand(cafe.daemon, "go", {});
                ok = cafe.until([&] { return cafe.n == 1 && cafe.logs.find("names") != std::string::npos; }, 20);
            }
            result += ok ? "answers: yes" : "answers: no";
            bool named =
                cafe.logs.find("Value of label not published: a string that is not valid UTF-8") != std::string::npos &&
                cafe.logs.find("Value of names not published: a list item that is not valid UTF-8") !=
                    std::string::npos;
            result += named ? "; errors name the properties: yes" : "; errors name the properties: no";
            {
                Listener late("netd-utf8", "late");
                late.watched = "latind";
                late.net->start();
                bool info = late.until([&] { return late.daemon != nullptr; }, 20);
                if (info) {
                    const auto& props = late.daemon->properties;
                    bool whole = props.size() == 3 && props.count("n") && props.count("label") &&
                                 props.at("label").type == corvo::Property::STRING &&
                                 props.at("label").toString().empty() && props.count("names") &&
                                 props.at("names").type == corvo::Property::STR_LIST &&
                                 late.daemon->commands.count("go");
                    result += whole ? "; late node: whole Info" : "; late node: Info cut short";
                    result += ", n = " + std::to_string(props.count("n") ? props.at("n").getValue<long>() : -1);
                } else {
                    result += "; late node: no Info";
                }
                late.net.reset();
            }
            cafe.net.reset();
        });
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0),
                "returned 0; answers: yes; errors name the properties: yes; late node: whole Info, n = 1\n");
}

// 25 change requests from one node, then none: the count of the request
// lines held back (20 are written) is logged once their window has passed,
// while the daemon runs on.
TEST_F(NetDaemon, ThrottledCountsAreWrittenOnceTheWindowHasPassed)
{
    auto scenario = [] {
        BoundsDaemon daemon;
        Listener node("netd-burst", "helper");
        runBeside(daemon, "netd-burst", [&](std::string& result) {
            node.net->start();
            bool ok = node.until([&] { return node.daemon != nullptr; }, 20);
            if (ok) {
                corvo::Property n = node.daemon->properties.at("n");
                for (long i = 1; i <= 25; ++i) {
                    n.intValue = i;
                    node.net->changeProperty(node.daemon, &n);
                }
                ok = node.until([&] { return node.n == 25; }, 20);
            }
            result += ok ? "applied" : "not applied";
            // The window is 10 s: a generous bound, only against a hang.
            bool summed = node.until(
                [&] {
                    return node.logs.find("onPropertyCommand: last line of helper repeated 5 times") !=
                           std::string::npos;
                },
                40);
            result += summed ? "; summed up while running" : "; not summed up";
            node.net.reset();
        });
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "returned 0; applied; summed up while running\n");
}

}  // namespace
