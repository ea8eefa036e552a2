// The archiver under a hostile peer, in a network namespace: one Info with
// 2,000 string properties of 7 KB, 60 tiny Infos, then a flood of broadcasts
// and 60 KB log records, while an operator makes 5 changes of the camera's
// exposure time with `corvo set`. Every change is in the archive with a
// timely receive time, the archive stays small, and the attacker's dropped
// rows are counted and reported.
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "system/observer.h"

namespace h = corvo::history;
using namespace std::chrono_literals;

namespace {

off_t fileSize(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

class ArchiverBudget : public ::testing::Test {
protected:
    void SetUp() override
    {
        site = "budget" + std::to_string(getpid());
        db = dir / "history.db";
        camera = spawn({SIMCAM_PATH, "-i", "lo", "-s", site});
        observer = std::make_unique<corvotest::Observer>(site);
        ASSERT_TRUE(observer->waitForInfo("camera", 60s)) << camera.err();
        archiver = spawn({ARCHIVER_PATH, "-i", "lo", "-s", site, "--db", db});
        ASSERT_TRUE(observer->waitForInfo("archiver", 60s)) << archiver.err();
        ASSERT_TRUE(waitFor([&] { return !points("camera", "expotime").empty(); })) << archiver.err();
    }

    void TearDown() override
    {
        for (pid_t pid : {attacker.pid, archiver.pid, camera.pid}) {
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

    std::vector<h::Point> points(const std::string& peer, const std::string& property)
    {
        std::vector<h::Point> out;
        try {
            out = h::Store::open(db, false)->samplesList(peer, property, 0, INT64_MAX);
        } catch (const std::exception&) {
            // not there yet
        }
        return out;
    }

    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            observer->drainFor(50ms);
        }
        return true;
    }

    off_t archiveSize() { return fileSize(db) + fileSize(db + "-wal"); }

    corvotest::TempDir dir{"corvo-budget"};
    std::string site, db;
    corvotest::Child camera, archiver, attacker;
    std::unique_ptr<corvotest::Observer> observer;
};

TEST_F(ArchiverBudget, an_attacker_loses_its_own_rows_and_the_operators_changes_are_all_recorded_in_time)
{
    off_t before = archiveSize();
    attacker = spawn({ATTACKER_PATH, "-i", "lo", "-s", site, "--big", "2000", "--size", "7000", "--tiny", "60",
                      "--flood", "8", "--log-size", "60000"});
    ASSERT_TRUE(observer->waitForInfo("attacker", 60s)) << attacker.err();
    // The big Info is on its way: the operator works meanwhile.
    observer->drainFor(500ms);
    const std::vector<double> wanted{1.25, 2.5, 3.75, 5.0, 6.25};
    for (double v : wanted) {
        corvotest::Child set = spawn({TOOL_PATH, "-i", "lo", "-s", site, "--name", "operator", "--timeout", "30", "set",
                                      "camera", "expotime", std::to_string(v)});
        int status = corvotest::waitFor(set.pid, 60s);
        ASSERT_TRUE(corvotest::exitedWith(status, 0)) << set.err();
        observer->drainFor(300ms);
    }
    ASSERT_TRUE(waitFor([&] { return attacker.out().find("attack done") != std::string::npos; }, 120s))
        << attacker.err();

    // Every confirmed change is there, received within a second of being
    // sent (the camera and the archiver share this machine's clock).
    std::vector<double> found;
    ASSERT_TRUE(waitFor([&] {
        found.clear();
        for (const h::Point& p : points("camera", "expotime"))
            if (p.source == h::SOURCE_BROADCAST)
                found.push_back(p.value.realValue);
        return found.size() >= wanted.size();
    })) << archiver.err();
    EXPECT_EQ(found, wanted);
    for (const h::Point& p : points("camera", "expotime")) {
        if (p.source != h::SOURCE_BROADCAST)
            continue;
        ASSERT_NE(p.sendTime, h::kNoTime);
        EXPECT_LT(p.time - p.sendTime, 1000000) << "received " << (p.time - p.sendTime) / 1000 << " ms late";
    }

    // Nothing of the honest camera was dropped, and the attacker's first
    // values were recorded only as far as its budget went.
    // The rows lost were the attacker's, dropped by its budget: none was
    // lost for want of room in the buffer.
    auto archiverPeer = observer->peerNamed("archiver");
    ASSERT_TRUE(archiverPeer);
    ASSERT_TRUE(waitFor([&] { return archiverPeer->properties.at("overbudget").intValue > 0; }, 10s));
    EXPECT_EQ(archiverPeer->properties.at("dropped").intValue, 0);
    size_t bigRecorded = 0;
    for (int i = 0; i < 2000; ++i)
        bigRecorded += points("attacker", "big" + std::to_string(i)).size();
    EXPECT_GT(bigRecorded, 0u);
    EXPECT_LT(bigRecorded, 2000u) << "the budget held nothing back";
    // No property was recorded twice: the 60 Infos repeated old values.
    for (int i = 0; i < 2000; i += 97)
        EXPECT_LE(points("attacker", "big" + std::to_string(i)).size(), 1u);

    // The archive grew by the budget's worth, not by the attack's 14 MB an
    // Info (unbounded, it grew by hundreds of megabytes).
    kill(archiver.pid, SIGTERM);
    ASSERT_TRUE(corvotest::exitedWith(corvotest::waitFor(archiver.pid, 60s), 0)) << archiver.err();
    archiver.pid = -1;
    off_t growth = archiveSize() - before;
    EXPECT_LT(growth, 48 << 20) << "the archive grew by " << (growth >> 20) << " MiB";
    std::string log = archiver.out() + archiver.err();
    EXPECT_NE(log.find("Peer attacker is over its budget"), std::string::npos) << log;
    EXPECT_NE(log.find("rows dropped over its budget"), std::string::npos) << log;

    // The reports are in the archive too, under the archiver's name.
    size_t reports = 0;
    h::Store::open(db, false)->logs("archiver", 0, INT64_MAX, [&](const h::LogRecord& r) {
        reports += r.text.find("over its budget") != std::string::npos;
    });
    EXPECT_GE(reports, 1u);
}

}  // namespace
