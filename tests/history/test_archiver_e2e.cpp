// The archiver end to end, for both backends, in a network namespace: the
// simulated camera changes a property on request and logs; the archiver
// records; `corvo history` returns exactly what was sent, in order. The
// archiver is killed mid-stream (what it committed survives) and stopped
// with SIGTERM (it flushes); with PostgreSQL the server also goes away and
// comes back while values are sent.
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>

#include "support/child_process.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"
#include "system/observer.h"

namespace h = corvo::history;
using namespace std::chrono_literals;

namespace {

class ArchiverE2E : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        site = "hist" + std::to_string(getpid());
        if (GetParam() == "sqlite") {
            db = dir / "history.db";
        } else {
            if (!corvotest::PgCluster::installed())
                GTEST_SKIP() << "PostgreSQL 15 is not installed";
            cluster = std::make_unique<corvotest::PgCluster>();
            ASSERT_TRUE(cluster->ok()) << cluster->serverLog();
            ASSERT_TRUE(cluster->createDatabase("e2e"));
            db = cluster->url("e2e");
        }
        camera = spawn({SIMCAM_PATH, "-i", "lo", "-s", site});
        observer = std::make_unique<corvotest::Observer>(site);
        cameraPeer = observer->waitForInfo("camera", 60s);
        ASSERT_TRUE(cameraPeer) << camera.err();
    }

    void TearDown() override
    {
        for (pid_t pid : {archiver.pid, camera.pid}) {
            if (pid > 0) {
                kill(pid, SIGINT);
                corvotest::waitFor(pid, 30s);
            }
        }
    }

    corvotest::Child spawn(const std::vector<std::string>& argv)
    {
        return corvotest::spawn(argv, dir.path(), {{"HOME", dir.path()}});
    }

    // Starts an archiver and waits until it has recorded the camera's Info
    // (so that every later broadcast reaches a described peer).
    void startArchiver(const std::vector<std::string>& options = {})
    {
        size_t infoBefore = infoSamples();
        std::vector<std::string> argv{ARCHIVER_PATH, "-i", "lo", "-s", site, "--db", db};
        argv.insert(argv.end(), options.begin(), options.end());
        archiver = spawn(argv);
        ASSERT_TRUE(waitFor([&] { return infoSamples() > infoBefore; })) << archiver.err();
    }

    // Samples of camera/expotime from the camera's Info, as stored now.
    size_t infoSamples()
    {
        size_t n = 0;
        forEachStored([&](const h::Point& p) { n += p.source == h::SOURCE_INFO; });
        return n;
    }

    std::vector<double> storedBroadcasts()
    {
        std::vector<double> values;
        forEachStored([&](const h::Point& p) {
            if (p.source == h::SOURCE_BROADCAST)
                values.push_back(p.value.realValue);
        });
        return values;
    }

    void forEachStored(const std::function<void(const h::Point&)>& each)
    {
        try {
            h::Store::open(db, false)->samples("camera", "expotime", 0, INT64_MAX, each);
        } catch (const std::exception&) {
            // not there yet
        }
    }

    // Asks the camera to take each value and waits for its confirmations.
    void send(int from, int to)
    {
        corvo::Property expotime = cameraPeer->properties.at("expotime");
        size_t before = observer->countProperties("expotime");
        for (int i = from; i <= to; ++i) {
            expotime.doubleValue = i;
            observer->net.changeProperty(cameraPeer, &expotime);
            sent.push_back(i);
        }
        size_t want = before + static_cast<size_t>(to - from + 1);
        ASSERT_TRUE(observer->waitUntil([&] { return observer->countProperties("expotime") >= want; }, 60s));
    }

    bool waitFor(const std::function<bool()>& done)
    {
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            observer->drainFor(20ms);
        }
        return true;
    }

    // Runs `corvo history ...` and returns its exit status and output.
    int tool(const std::vector<std::string>& args, std::string& out)
    {
        std::vector<std::string> argv{TOOL_PATH, "history", "--db", db};
        argv.insert(argv.end(), args.begin(), args.end());
        corvotest::Child child = spawn(argv);
        int status = corvotest::waitFor(child.pid, 60s);
        out = child.out();
        return corvotest::exitCode(status);
    }

    corvotest::TempDir dir{"corvo-archiver-e2e"};
    std::unique_ptr<corvotest::PgCluster> cluster;
    std::string site;
    std::string db;
    corvotest::Child camera, archiver;
    std::unique_ptr<corvotest::Observer> observer;
    std::shared_ptr<corvo::Peer> cameraPeer;
    std::vector<double> sent;
};

std::vector<double> sequence(int from, int to)
{
    std::vector<double> v;
    for (int i = from; i <= to; ++i)
        v.push_back(i);
    return v;
}

TEST_P(ArchiverE2E, records_exactly_what_was_sent_across_a_crash_a_restart_and_a_database_outage)
{
    // A first archiver records 1..40, then is killed without warning: what
    // it had committed is there.
    startArchiver();
    send(1, 40);
    ASSERT_TRUE(waitFor([&] { return storedBroadcasts().size() == 40; })) << archiver.err();
    kill(archiver.pid, SIGKILL);
    corvotest::waitFor(archiver.pid, 30s);
    EXPECT_EQ(storedBroadcasts(), sequence(1, 40));

    // A second archiver records 41..80; with PostgreSQL the server goes away
    // meanwhile and comes back: the buffer keeps the rows.
    startArchiver();
    if (cluster) {
        ASSERT_TRUE(cluster->stop("immediate"));
    }
    send(41, 80);
    if (cluster) {
        observer->drainFor(500ms);
        ASSERT_TRUE(cluster->start());
    }
    ASSERT_TRUE(waitFor([&] { return storedBroadcasts().size() == 80; })) << archiver.err();
    kill(archiver.pid, SIGTERM);
    int status = corvotest::waitFor(archiver.pid, 60s);
    archiver.pid = -1;
    EXPECT_TRUE(corvotest::exitedWith(status, 0)) << archiver.err();
    EXPECT_NE(archiver.out().find("History flushed"), std::string::npos) << archiver.out();
    if (cluster) {
        EXPECT_NE(archiver.out().find("buffering"), std::string::npos) << "the outage was noticed";
    }

    // Nobody records 81..90; a third archiver records 91..100.
    send(81, 90);
    startArchiver();
    send(91, 100);
    // The observer having seen a value does not mean the archiver has: the
    // last ones may still be on their way to it when the signal comes.
    ASSERT_TRUE(waitFor([&] { return storedBroadcasts().size() == 90; })) << archiver.err();
    kill(archiver.pid, SIGINT);
    ASSERT_TRUE(corvotest::exitedWith(corvotest::waitFor(archiver.pid, 60s), 0)) << archiver.err();
    archiver.pid = -1;

    std::vector<double> expected = sequence(1, 80);
    for (double v : sequence(91, 100))
        expected.push_back(v);
    std::string out;
    ASSERT_EQ(tool({"camera", "expotime", "--since", "1h", "--json"}, out), 0) << out;
    std::vector<double> fromTool;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"source\": \"broadcast\"") == std::string::npos)
            continue;
        size_t at = line.find("\"value\": ");
        ASSERT_NE(at, std::string::npos) << line;
        fromTool.push_back(std::stod(line.substr(at + 9)));
    }
    EXPECT_EQ(fromTool, expected);

    // Round values print as written (10, not 1e+01), in every format.
    ASSERT_EQ(tool({"camera", "expotime", "--since", "1h"}, out), 0);
    EXPECT_NE(out.find("  10\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  100\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("e+"), std::string::npos) << out;
    ASSERT_EQ(tool({"camera", "expotime", "--since", "1h", "--csv"}, out), 0);
    EXPECT_NE(out.find(",10\n"), std::string::npos) << out;

    // --until is exclusive: a span ending at a sample's time leaves it out.
    std::vector<h::Point> stored;
    forEachStored([&](const h::Point& p) {
        if (p.source == h::SOURCE_BROADCAST)
            stored.push_back(p);
    });
    ASSERT_GE(stored.size(), 3u);
    auto at = [](h::Micros t) {
        char text[40];
        std::snprintf(text, sizeof text, "@%lld.%06lld", static_cast<long long>(t / 1000000),
                      static_cast<long long>(t % 1000000));
        return std::string(text);
    };
    ASSERT_EQ(tool({"camera", "expotime", "--since", at(stored[0].time), "--until", at(stored[2].time), "--csv"}, out),
              0);
    EXPECT_EQ(out, "time,value\n" + h::isoTime(stored[0].time) + ",1\n" + h::isoTime(stored[1].time) + ",2\n");

    // --list names what was recorded, with its span and count; --points
    // bounds the number of intervals.
    ASSERT_EQ(tool({"--list", "camera", "--csv"}, out), 0);
    EXPECT_NE(out.find("camera,expotime,double,"), std::string::npos) << out;
    EXPECT_EQ(out.find("archiver,"), std::string::npos) << out;
    ASSERT_EQ(tool({"camera", "expotime", "--since", "1h", "--points", "3", "--csv"}, out), 0);
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 4) << out;
    EXPECT_EQ(out.rfind("time,min,mean,max,count,last\n", 0), 0u) << out;

    // The two times without an archiver are gaps.
    ASSERT_EQ(tool({"--gaps", "--since", "1h"}, out), 0);
    size_t notRecording = 0;
    for (size_t at = out.find("not recording"); at != std::string::npos; at = out.find("not recording", at + 1))
        ++notRecording;
    EXPECT_EQ(notRecording, 2u) << out;

    // The camera's log records and status are there too.
    ASSERT_EQ(tool({"--log", "camera", "--since", "1h"}, out), 0);
    EXPECT_NE(out.find("Peer archiver has entered"), std::string::npos) << out;
    ASSERT_EQ(tool({"--status", "camera", "--since", "1h"}, out), 0);
    EXPECT_NE(out.find("IDLE"), std::string::npos) << out;

    // Errors: one line each, documented statuses.
    EXPECT_EQ(tool({"camera", "nothing"}, out), 3);
    EXPECT_EQ(tool({"nobody", "expotime"}, out), 3);
    EXPECT_EQ(tool({"camera", "expotime", "--since", "someday"}, out), 2);
    EXPECT_EQ(tool({"camera", "expotime", "--every", "1m", "--since", "1h"}, out), 0);
    // An interval per millisecond over ten years: refused before anything
    // is read, not held in memory.
    EXPECT_EQ(tool({"camera", "expotime", "--every", "1ms", "--since", "3650d"}, out), 2);
    EXPECT_EQ(tool({"camera", "expotime", "--points", "2000001", "--since", "3650d"}, out), 2);
    EXPECT_EQ(tool({"camera", "expotime", "--points", "2000000", "--since", "1h"}, out), 0);
}

// The database goes away and the buffer (10 rows) overflows while the
// camera's value changes 30 times: the last value is lost with the others.
// It must not count as recorded: once the database is back, the camera's
// value is stored as it is now, although the camera never sends it again.
TEST_P(ArchiverE2E, a_value_lost_for_want_of_room_is_recorded_once_the_database_is_back)
{
    startArchiver({"--buffer", "10"});
    sqlite3* blocker = nullptr;  // holds SQLite's write lock: no row goes in
    if (cluster) {
        ASSERT_TRUE(cluster->stop("immediate"));
    } else {
        ASSERT_EQ(sqlite3_open(db.c_str(), &blocker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    send(1, 30);
    std::shared_ptr<corvo::Peer> archiverPeer = observer->peerNamed("archiver");
    ASSERT_TRUE(archiverPeer);
    EXPECT_TRUE(waitFor([&] { return archiverPeer->properties.at("dropped").intValue >= 20; }))
        << "dropped: " << archiverPeer->properties.at("dropped").intValue;
    if (cluster) {
        ASSERT_TRUE(cluster->start());
    } else {
        sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(blocker);
    }

    std::vector<h::Point> stored;
    EXPECT_TRUE(waitFor([&] {
        stored.clear();
        forEachStored([&](const h::Point& p) { stored.push_back(p); });
        return !stored.empty() && stored.back().value.realValue == 30;
    })) << "the last value stored is "
        << (stored.empty() ? -1 : stored.back().value.realValue) << ", not 30";
}

INSTANTIATE_TEST_SUITE_P(Backends, ArchiverE2E, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST(ArchiverTool, an_unreachable_database_is_status_6)
{
    corvotest::TempDir dir{"corvo-archiver-e2e"};
    corvotest::Child child = corvotest::spawn({TOOL_PATH, "history", "camera", "x", "--db", dir / "none.db"},
                                              dir.path(), {{"HOME", dir.path()}});
    EXPECT_TRUE(corvotest::exitedWith(corvotest::waitFor(child.pid, 60s), 6));
    std::string err = child.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
