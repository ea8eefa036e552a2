// The archiver under a flood, for both backends, in a network namespace: a
// peer broadcasts three properties as fast as it can; every change must be
// stored exactly once, with its value, in the order sent, with a receive
// time after its send time and within the flood. The rows must be stored
// while the archiver runs (not only when it stops), and stopping it must
// neither lose nor repeat any.
#include <corvo/history/record.h>
#include <corvo/history/store.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <sstream>
#include <thread>

#include "history/archive_flooder.h"
#include "support/child_process.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

namespace h = corvo::history;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kChanges = 30000;

class ArchiverFlood : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        site = "flood" + std::to_string(getpid());
        if (GetParam() == "sqlite") {
            db = dir / "history.db";
        } else {
            if (!corvotest::PgCluster::installed())
                GTEST_SKIP() << "PostgreSQL 15 is not installed";
            cluster = std::make_unique<corvotest::PgCluster>();
            ASSERT_TRUE(cluster->ok()) << cluster->serverLog();
            ASSERT_TRUE(cluster->createDatabase("flood"));
            db = cluster->url("flood");
        }
    }

    void TearDown() override
    {
        for (pid_t pid : {flooder.pid, archiver.pid}) {
            if (pid > 0 && kill(pid, 0) == 0) {
                kill(pid, SIGTERM);
                corvotest::waitFor(pid, 30s);
            }
        }
    }

    corvotest::Child spawn(const std::vector<std::string>& argv)
    {
        return corvotest::spawn(argv, dir.path(), {{"HOME", dir.path()}});
    }

    std::vector<h::Point> broadcasts(const std::string& property)
    {
        std::vector<h::Point> out;
        try {
            h::Store::open(db, false)->samples("flooder", property, 0, INT64_MAX, [&](const h::Point& p) {
                if (p.source == h::SOURCE_BROADCAST)
                    out.push_back(p);
            });
        } catch (const std::exception&) {
            // not there yet
        }
        return out;
    }

    bool waitFor(const std::function<bool()>& done, std::chrono::seconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }

    // Each property's rows: change i as the i-th row, with its value, sent
    // and received within the flood, received after it was sent, in
    // increasing receive times.
    void expectEveryChangeOnce(h::Micros first, h::Micros last)
    {
        auto n = broadcasts("n");
        auto x = broadcasts("x");
        auto label = broadcasts("label");
        ASSERT_EQ(n.size(), size_t(kChanges));
        ASSERT_EQ(x.size(), size_t(kChanges));
        ASSERT_EQ(label.size(), size_t(kChanges));
        h::Micros before = 0;
        for (int64_t i = 1; i <= kChanges; ++i) {
            const h::Point& p = n[size_t(i - 1)];
            ASSERT_EQ(p.value.intValue, i) << "row " << i;
            ASSERT_EQ(x[size_t(i - 1)].value.realValue, double(i) / 4) << "row " << i;
            ASSERT_EQ(label[size_t(i - 1)].value.text, h::cleanText(floodLabel(i))) << "row " << i;
            ASSERT_NE(p.sendTime, h::kNoTime) << "row " << i;
            // One host, one clock: sent within the flood, received after.
            ASSERT_GE(p.sendTime, first - 1000) << "row " << i;
            ASSERT_LE(p.sendTime, last + 1000) << "row " << i;
            ASSERT_GE(p.time, p.sendTime) << "row " << i;
            ASSERT_GT(p.time, before) << "row " << i;
            ASSERT_LE(p.time, last + 120000000) << "row " << i;
            before = p.time;
        }
    }

    corvotest::TempDir dir{"corvo-flood"};
    std::unique_ptr<corvotest::PgCluster> cluster;
    std::string site;
    std::string db;
    corvotest::Child archiver, flooder;
};

TEST_P(ArchiverFlood, stores_every_broadcast_once_with_its_value_and_times_while_running_and_after_stop)
{
    archiver = spawn({ARCHIVER_PATH, "-i", "lo", "-s", site, "--db", db, "--peer-rows", "1e9", "--peer-bytes", "1e12"});
    flooder = spawn({FLOODER_PATH, "-i", "lo", "-s", site, "--count", std::to_string(kChanges)});
    ASSERT_TRUE(waitFor([&] { return flooder.out().find("flood done") != std::string::npos; }, 240s))
        << flooder.err() << archiver.err();
    std::istringstream done(flooder.out().substr(flooder.out().find("flood done") + 10));
    h::Micros first = 0, last = 0;
    done >> first >> last;
    ASSERT_GT(last, first);

    // Stored while the archiver runs: no row waits for a stop or a flush.
    ASSERT_TRUE(waitFor([&] { return broadcasts("label").size() >= size_t(kChanges); }, 120s))
        << broadcasts("label").size() << " of " << kChanges << "\n"
        << archiver.err();
    expectEveryChangeOnce(first, last);

    kill(archiver.pid, SIGTERM);
    ASSERT_TRUE(corvotest::exitedWith(corvotest::waitFor(archiver.pid, 60s), 0)) << archiver.err();
    archiver.pid = -1;
    std::string log = archiver.out() + archiver.err();
    EXPECT_NE(log.find("History flushed"), std::string::npos) << log;
    EXPECT_NE(log.find(", 0 dropped"), std::string::npos) << log;
    expectEveryChangeOnce(first, last);
}

INSTANTIATE_TEST_SUITE_P(Backends, ArchiverFlood, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace
